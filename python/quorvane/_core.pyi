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
    """Settings of one engine: ``k`` neighbours vote; ``variance`` below 1.0 is the
    fraction of explained variance to keep, from 1.0 a component count."""

    def __init__(self) -> None: ...
    @property
    def k(self) -> int: ...
    @k.setter
    def k(self, value: typing.SupportsInt | typing.SupportsIndex, /) -> None: ...
    @property
    def variance(self) -> float: ...
    @variance.setter
    def variance(self, value: typing.SupportsFloat | typing.SupportsIndex, /) -> None: ...
    def __getstate__(self, /) -> tuple[int, float]: ...
    def __setstate__(self, state: tuple[int, float], /) -> None: ...

class KNNEngine:
    """k-nearest-neighbour vote after an adaptive PCA; keeps its own copy of the config."""

    def __init__(self, config: KNNConfig, /) -> None: ...
    def train(
        self,
        X: numpy.typing.ArrayLike,
        y: collections.abc.Sequence[str | bytes | bytearray],
        scale: bool = False,
    ) -> None:
        """Fit on ``X`` (n x d, finite) with one label per row; raises ValueError on bad input
        and then leaves the engine as it was."""

    def predict(self, x: numpy.typing.ArrayLike, /) -> str:
        """Label of one feature vector; "Unknown" before training."""

    def predict_batch(self, X: numpy.typing.ArrayLike, /) -> list[str]:
        """Labels of the rows of ``X``, classified in parallel on an OpenMP team."""

    def kneighbors(
        self, X: numpy.typing.ArrayLike, k: typing.SupportsInt | typing.SupportsIndex
    ) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
        """The ``k`` nearest training rows of each row of ``X``: (distances, indices), two
        (rows, k) arrays, each row ascending in (distance, index); Euclidean distances in
        the reduced space. ValueError for an untrained engine or k outside 1..n_train."""

    @property
    def n_components(self) -> int:
        """Components kept by the last successful train; 0 before the first."""

    def transform(self, X: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]:
        """Rows of ``X`` in the reduced space, (rows, n_components): exactly the projection the
        search measures, so ``kneighbors`` distances are Euclidean distances between these rows."""

    @property
    def mean(self) -> numpy.typing.NDArray[numpy.float64]:
        """Per-feature mean of the training samples (d,); empty before training."""

    @property
    def feature_scale(self) -> numpy.typing.NDArray[numpy.float64]:
        """Per-feature divisor (d,): the sample deviation with ``scale=True``, ones without."""

    @property
    def components(self) -> numpy.typing.NDArray[numpy.float64]:
        """The kept axes as the engine uses them, one per column (d, n_components)."""

    @property
    def explained_variance(self) -> numpy.typing.NDArray[numpy.float64]:
        """Sample variance (n - 1) of the training data along each kept axis (n_components,)."""

    @property
    def explained_variance_ratio(self) -> numpy.typing.NDArray[numpy.float64]:
        """Each kept axis's share of the total variance of the (scaled) training data."""

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the model to ``path`` (atomically: a temporary file renamed over it)."""

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
