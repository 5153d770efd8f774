"""C++ KNN Engine with Adaptive PCA support"""

# Kept by hand; tests/python/test_typing.py checks it against the built module.
# Arguments that the module leaves unnamed (argN) cannot be passed by keyword,
# hence the positional-only markers.

import collections.abc
import os
import typing

import numpy
import numpy.typing

__all__: list[str] = ["KNNConfig", "KNNEngine", "simd_level"]

class KNNConfig:
    """Settings of one engine, read once when an engine is built.

    ``k`` neighbours vote; ``variance`` below 1.0 is the fraction of explained variance to keep,
    from 1.0 upwards a component count. An engine keeps its own copy: changing a config later
    changes nothing in engines built from it.
    """

    def __init__(self) -> None:
        """A config with k = 3 and variance = 0.95."""

    @property
    def k(self) -> int:
        """Neighbours that vote, a 32-bit integer (default 3).

        Below 1, every answer is "Unknown"; from the training row count on, every training row votes.
        """

    @k.setter
    def k(self, value: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...
    @property
    def variance(self) -> float:
        """How many components the PCA keeps (default 0.95).

        Below 1.0, the fraction of explained variance to keep: the fewest leading components whose
        cumulative share reaches it. From 1.0 upwards, a component count (truncated, at most the
        number of candidates).
        """

    @variance.setter
    def variance(self, value: typing.SupportsFloat | typing.SupportsIndex, /) -> None: ...
    def __getstate__(self, /) -> tuple[int, float]: ...
    def __setstate__(self, state: tuple[int, float], /) -> None: ...

class KNNEngine:
    """k-nearest-neighbour vote after an adaptive PCA.

    ``train`` fits the reduction (how many components it keeps is decided at every train from
    the config's ``variance``) and stores the reduced training rows; ``predict``,
    ``predict_batch`` and ``kneighbors`` search them exactly. The engine keeps its own copy of
    its config. One engine may be shared by threads: queries run side by side without the GIL,
    and ``train`` installs its new model at once, so every query answers wholly from the old
    model or wholly from the new one.
    """

    def __init__(self, config: KNNConfig, /) -> None:
        """An untrained engine with its own copy of ``config`` (given by position)."""

    def train(
        self,
        X: numpy.typing.ArrayLike,
        y: collections.abc.Sequence[str | bytes | bytearray],
        scale: bool = False,
    ) -> None:
        """Fit the PCA and store the reduced training set.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Finite training rows; float64 and float32 arrays are read in place.
        y : sequence of str or bytes
            One label per row (str stored as UTF-8, bytes as they are).
        scale : bool, default=False
            Divide every feature by its sample standard deviation before the PCA.

        Raises
        ------
        ValueError
            An empty X, a label count other than the row count, NaN or infinity (naming the
            row and column), or values whose projection overflows. A failed train changes nothing.
        TypeError
            An argument that cannot be converted, or a label that is neither str nor bytes.
        KeyboardInterrupt
            Ctrl-C, within a few tens of milliseconds; the engine answers as before.

        Notes
        -----
        Prints "[PCA] Fit complete. Mode: ..." and "[Engine] Trained successfully. Reduced to ...
        dimensions." on ``sys.stdout``.
        """

    def predict(self, x: numpy.typing.ArrayLike, /) -> str:
        """The label of one sample.

        Parameters
        ----------
        arg0 : array-like of shape (n_features,) or (n_features, 1)
            One feature vector, given by position only.

        Returns
        -------
        str
            The majority label among the k nearest training rows; equal votes go to the byte-wise
            smaller label. "Unknown" before training or with k below 1.

        Raises
        ------
        ValueError
            Another feature count than training, NaN or infinity, or a projection that overflows.
        """

    def predict_batch(self, X: numpy.typing.ArrayLike, /) -> list[str]:
        """The labels of the rows of ``X``, classified in parallel.

        Parameters
        ----------
        arg0 : array-like of shape (n_rows, n_features)
            Queries, given by position only; float64 and float32 arrays are read in place.

        Returns
        -------
        list of str
            One label per row, in row order: the same as ``predict`` row by row, for any thread
            count and any split of the batch.

        Raises
        ------
        ValueError
            As ``predict``, naming the first bad row.
        """

    def kneighbors(
        self, X: numpy.typing.ArrayLike, k: typing.SupportsInt | typing.SupportsIndex
    ) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
        """The k nearest training rows of each row of ``X``.

        Parameters
        ----------
        X : array-like of shape (n_rows, n_features)
        k : int
            Between 1 and the number of training rows; the config's k plays no part.

        Returns
        -------
        distances : ndarray of float64, shape (n_rows, k)
            Euclidean distances in the reduced space (``inf`` beyond double range).
        indices : ndarray of int64, shape (n_rows, k)
            Training-row indices. Each row is ascending in (squared distance, index).

        Raises
        ------
        ValueError
            An untrained engine or k out of range (checked before anything is allocated), and
            what ``predict_batch`` refuses.
        """

    @property
    def n_components(self) -> int:
        """Components kept by the last successful train; 0 before the first."""

    def transform(self, X: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]:
        """The rows of ``X`` in the reduced space.

        Parameters
        ----------
        X : array-like of shape (n_rows, n_features)

        Returns
        -------
        ndarray of float64, shape (n_rows, n_components)
            ``(X - mean) / feature_scale @ components``, exactly as the search measures it: the
            distances ``kneighbors`` returns are Euclidean distances between these rows. Before
            training, no columns.

        Raises
        ------
        ValueError
            As ``predict_batch``.
        """

    @property
    def mean(self) -> numpy.typing.NDArray[numpy.float64]:
        """Per-feature mean of the training rows, (n_features,); empty before training."""

    @property
    def feature_scale(self) -> numpy.typing.NDArray[numpy.float64]:
        """Per-feature divisor, (n_features,): the sample deviation with ``scale=True``, ones without."""

    @property
    def components(self) -> numpy.typing.NDArray[numpy.float64]:
        """The kept axes as the engine uses them, one per column, (n_features, n_components)."""

    @property
    def explained_variance(self) -> numpy.typing.NDArray[numpy.float64]:
        """Sample variance (with n - 1) of the training data along each kept axis, (n_components,)."""

    @property
    def explained_variance_ratio(self) -> numpy.typing.NDArray[numpy.float64]:
        """Each kept axis's share of the total variance of the (scaled) training data, (n_components,)."""

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the model to a file that ``quorvane.load`` reads.

        Parameters
        ----------
        path : str or os.PathLike

        Raises
        ------
        OSError
            The file cannot be written; an existing file is then left as it was.

        Notes
        -----
        The file is written under a temporary name in the same directory, flushed, and renamed over
        ``path``: a reader never sees half a file, and processes that mapped the old file keep it.
        """

    # The state layout is private to the module and versioned there.
    def __getstate__(self, /) -> tuple[object, ...]: ...
    def __setstate__(self, state: tuple[object, ...], /) -> None: ...
    def _training_neighbours(
        self, k: typing.SupportsInt | typing.SupportsIndex, /
    ) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]: ...

def _load(path: str | os.PathLike[str], mmap: bool, verify: bool) -> KNNEngine: ...

def _set_quiet(on: bool, /) -> bool:
    """Silences this thread's progress lines; returns the previous setting."""

def simd_level() -> str:
    """The instruction set the kernels use: 'avx2', 'neon' or 'portable'. Every level gives the same bits."""
