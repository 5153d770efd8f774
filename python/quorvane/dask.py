"""Training and classification on a Dask cluster, with the training rows kept on the workers.

``train`` fits the engine's reduction from per-chunk sums and products that the workers
compute and the client adds up in a fixed order, then projects every chunk where it lies
and keeps it there as a reference shard. ``ShardedEngine`` answers queries by asking every
shard for its own nearest rows and merging them under the (distance, index) order: the
nearest rows of a union are the nearest of the per-shard nearest, so the answers are those
of one engine holding every row.

Needs ``dask[array]`` and ``distributed``; the client is the one ``distributed.get_client``
returns (the latest ``Client`` made in this process).
"""

from __future__ import annotations

import hashlib
import json
import operator
import os
from concurrent.futures import CancelledError
from typing import Any, Sequence

import numpy as np

try:
    import dask
    import dask.array as da
    import distributed
    from distributed import Future, get_client, wait
    from distributed.client import FutureCancelledError
except ImportError as error:  # optional dependencies: say which extra brings them
    raise ModuleNotFoundError('quorvane.dask needs dask[array] and distributed: pip install "quorvane[dask]"',
                              name=error.name) from error

from . import _core
from . import load as quorvane_load
from ._core import KNNConfig, KNNEngine

__all__ = ["train", "load", "ShardedEngine", "LostShardsError"]

# Partial sums are added FAN_IN at a time, in chunk order, level by level: a fixed tree,
# so the same chunks give the same bits on every run, and no process holds them all.
FAN_IN = 8


def _summed(*parts: np.ndarray) -> np.ndarray:
    total = np.array(parts[0], dtype=np.float64, copy=True)
    for part in parts[1:]:
        total += part
    return total


def _tree_sum(parts: list[Any]) -> Any:
    while len(parts) > 1:
        parts = [dask.delayed(_summed)(*parts[i : i + FAN_IN]) for i in range(0, len(parts), FAN_IN)]
    return parts[0]


def _reduction(mean: np.ndarray, scale: np.ndarray, components: np.ndarray | None = None) -> Any:
    pca = _core._AdaptivePCA(0.0)
    if components is None:
        pca.set_moments(mean, scale)
    else:
        pca.restore(mean, scale, components)
    return pca


def _floats(X: Any) -> np.ndarray:
    """X as a NumPy array the engine reads in place: float64 and float32 as they are,
    anything else converted to float64."""
    X = np.asarray(X)
    return X if X.dtype in (np.dtype(np.float64), np.dtype(np.float32)) else X.astype(np.float64)


def _labels(values: Any) -> list[bytes]:
    """Labels as the engine reads them: str as its UTF-8 bytes, bytes taken byte for byte."""
    out = []
    for value in np.asarray(values, dtype=object).ravel():
        if isinstance(value, str):
            out.append(value.encode())
        elif isinstance(value, (bytes, bytearray)):
            out.append(bytes(value))
        else:
            raise TypeError(f"labels must be str or bytes, got {type(value).__name__}")
    return out


class LostShardsError(RuntimeError):
    """Shards of a ShardedEngine are gone and cannot be made again: the rows they were
    built from are gone too (data scattered to a worker that died, say)."""


class _Shard:
    """The reduced training rows of one chunk as an engine of their own (the model's
    reduction, these rows and their labels), with the whole-set index of its first row.
    Pickles as the engine's model file: a shard moved or spilled is not rebuilt."""

    def __init__(self, engine: KNNEngine, offset: int):
        self.engine = engine
        self.offset = offset

    def describe(self) -> tuple[list[bytes], np.ndarray, int, bytes]:
        """Its distinct labels and their counts, its row count, and a digest of its reduction
        (the reduction itself is d x m doubles a shard: too much to send for a comparison)."""
        names, counts = self.engine._label_counts()
        return names, counts, int(counts.sum()), _digest(self.engine._reduction()[:3])

    def reduction(self) -> tuple[Any, ...]:
        return self.engine._reduction()

    def reference(self) -> tuple[np.ndarray, list[bytes]]:
        return self.engine._reference()

    def nearest(self, P: np.ndarray, k: int, codes: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Its k nearest rows of each reduced query: squared distances, whole-set indices and
        the labels' codes in the whole set's byte-wise order."""
        sq, index, ranks = self.engine._nearest(P, k)
        return sq, index + self.offset, codes[ranks]


# Tasks run on the workers; each takes one chunk and its whole-set row offset.
def _chunk_sums(block: np.ndarray, units: np.ndarray, first_row: int) -> np.ndarray:
    return _core._AdaptivePCA.column_sums(block, units, first_row)


def _chunk_sums_max(block: np.ndarray, first_row: int) -> tuple[np.ndarray, np.ndarray]:
    return _core._AdaptivePCA.column_sums_max(block, first_row)


def _chunk_squares(block: np.ndarray, mean: np.ndarray, units: np.ndarray) -> np.ndarray:
    return _core._AdaptivePCA.squared_deviations(block, mean, units)


def _chunk_cross(block: np.ndarray, mean: np.ndarray, scale: np.ndarray) -> np.ndarray:
    return _reduction(mean, scale).cross_product(block)


def _chunk_gram(a: np.ndarray, b: np.ndarray, mean: np.ndarray, scale: np.ndarray) -> np.ndarray:
    return _reduction(mean, scale).gram_block(a, b)


def _chunk_back(block: np.ndarray, V: np.ndarray, mean: np.ndarray, scale: np.ndarray) -> np.ndarray:
    return _reduction(mean, scale).back_project(block, V)


def _digest(arrays: Sequence[Any]) -> bytes:
    return hashlib.sha256(b"".join(np.asarray(a).tobytes() for a in arrays)).digest()


def _config(k: int, variance: float) -> KNNConfig:
    config = KNNConfig()
    config.k, config.variance = k, variance
    return config


def _chunk_shard(block: np.ndarray, labels: Any, settings: tuple[int, float], model: tuple[Any, ...],
                 offset: int) -> _Shard:
    rows = _reduction(*model[:3]).transform(block, offset, "X")  # names a bad row in the whole of X
    return _Shard(_core._engine_from_parts(_config(*settings), *model, rows, _labels(labels)), offset)


def _project(block: np.ndarray, model: tuple[np.ndarray, ...], first_row: int) -> np.ndarray:
    return _reduction(*model).transform(block, first_row, "X")


def _search(shard: _Shard, P: np.ndarray, k: int, codes: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    return shard.nearest(P, k, codes)


def _merge(parts: Sequence[tuple[np.ndarray, ...]], k: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The k best of a few shards' best, ascending in (squared distance, index); a NaN
    squared distance (an overflow, inf - inf) ranks as +inf, as in the engine. The order is
    total, so merging in a tree gives what merging all at once would."""
    sq, index, codes = (np.concatenate([part[i] for part in parts], axis=1) for i in range(3))
    sq = np.where(np.isnan(sq), np.inf, sq)
    order = np.lexsort((index, sq), axis=1)[:, :k]
    return tuple(np.take_along_axis(a, order, axis=1) for a in (sq, index, codes))  # type: ignore[return-value]


def _vote(merged: tuple[np.ndarray, ...]) -> np.ndarray:
    """Per row, the most frequent label code; equal counts go to the smaller code, which is
    the byte-wise smaller label."""
    codes = merged[2]
    rows, k = codes.shape
    if rows == 0:
        return np.empty(0, dtype=np.int32)
    width = int(codes.max()) + 1
    keys = (np.sort(codes, axis=1) + np.arange(rows)[:, None] * width).ravel()
    values, counts = np.unique(keys, return_counts=True)
    row = values // width
    # Within a row: most votes first, then the smaller code.
    order = np.lexsort((values, -counts, row))
    first = order[np.r_[True, row[order][1:] != row[order][:-1]]]
    return (values[first] % width).astype(np.int32)


def _distances(merged: tuple[np.ndarray, ...]) -> tuple[np.ndarray, np.ndarray]:
    sq, index, _ = merged
    # The engine's Euclidean distance: the expanded form may round a tiny square below zero.
    return np.sqrt(np.maximum(sq, 0.0)), index


def _row_blocks(X: Any, name: str) -> tuple[da.Array, list[int]]:
    if not isinstance(X, da.Array):
        raise TypeError(f"{name} must be a dask array, got {type(X).__name__}")
    if X.ndim != 2:
        raise ValueError(f"{name} must be 2-dimensional, got {X.ndim} dimensions")
    if any(np.isnan(c) for c in X.chunks[0]):
        raise ValueError(f"{name} has chunks of unknown size; call compute_chunk_sizes() first")
    X = X.rechunk({1: -1})  # whole rows in every chunk
    offsets = np.concatenate([[0], np.cumsum(X.chunks[0])]).astype(int).tolist()
    return X, offsets


def _computed(tasks: list[Any], progress: bool) -> list[Any]:
    """The results of `tasks` (dask objects), in order. When some fail, the first one's
    error in list order is raised, as the engine names the first bad row of a batch. With
    `progress`, distributed's progress bar follows the pass."""
    client = get_client()
    futures = client.compute(tasks)
    try:
        if progress:
            distributed.progress(futures)
        wait(futures)
        for future in futures:
            if future.status == "error":
                future.result()
        return client.gather(futures)
    except (CancelledError, FutureCancelledError) as e:
        # Lost keys are made again from the graph; only keys without one (data
        # scattered to a worker that died) are cancelled for lost dependencies.
        raise LostShardsError("a pass could not be finished: data it needs was lost with a worker and "
                              f"cannot be made again ({e})") from e


def train(config: KNNConfig, X: da.Array, y: Any, scale: bool = False, progress: bool = False) -> "ShardedEngine":
    """Train the engine's model on the rows of a dask array, keeping the reduced rows on
    the workers, one shard per chunk.

    The reduction is fitted from per-chunk sums and products that the workers compute and
    the client adds up in a fixed tree (chunk order, eight at a time); the mode, the kept
    count and the two progress lines are the engine's. Nothing of ``X`` comes to the
    client. The shards are reached through the graph from ``X``'s own chunks, so that a
    worker lost later is made good by computing again what it held.

    Parameters
    ----------
    config : KNNConfig
        ``k`` and ``variance``, as for ``KNNEngine``.
    X : dask.array.Array
        Training rows, chunked by rows (each chunk becomes one shard), float32 or float64.
    y : dask.array.Array or array-like
        One ``str`` or ``bytes`` label per row.
    scale : bool, default=False
        Divide each feature by its standard deviation before the PCA.
    progress : bool, default=False
        Show distributed's progress bar for each pass over ``X``.

    Returns
    -------
    ShardedEngine

    Raises
    ------
    ValueError
        The engine's refusals: an empty ``X``, a label count that is not the row count,
        NaN or infinity (naming the row in the whole of ``X``).
    """
    X, offsets = _row_blocks(X, "X")
    n, d = X.shape
    if n == 0 or d == 0:
        raise ValueError(f"X must have at least one row and one column, got {n} x {d}")
    if not isinstance(y, da.Array):
        y = np.asarray(y, dtype=object)
    if y.ndim != 1:
        raise ValueError(f"y must be one-dimensional (one label per row), got shape {y.shape}")
    if y.shape[0] != n:
        raise ValueError(f"y has {y.shape[0]} labels but X has {n} rows")
    if isinstance(y, da.Array):
        label_blocks = list(y.rechunk((X.chunks[0],)).to_delayed())
    else:
        label_blocks = [y[a:b] for a, b in zip(offsets, offsets[1:])]
    blocks = list(X.to_delayed().ravel())
    firsts = offsets[:-1]
    delayed = dask.delayed

    parts = [delayed(_chunk_sums_max, nout=2)(b, f) for b, f in zip(blocks, firsts)]
    sums, largest = _computed([_tree_sum([p[0] for p in parts]), delayed(np.maximum.reduce)([p[1] for p in parts])],
                              progress)
    deviate = scale and n > 1
    units = _core._AdaptivePCA.units_for(largest, deviate)
    if np.any(units != 1.0):
        [sums] = _computed([_tree_sum([delayed(_chunk_sums)(b, units, f) for b, f in zip(blocks, firsts)])], progress)
    mean = sums / float(n) * units
    if deviate:
        [squares] = _computed([_tree_sum([delayed(_chunk_squares)(b, mean, units) for b in blocks])], progress)
        divisors = _core._AdaptivePCA.deviations(squares, mean, n, units)
    else:
        divisors = units

    pca = _core._AdaptivePCA(config.variance)
    pca.set_moments(mean, divisors)
    if d <= n:
        [product] = _computed([_tree_sum([delayed(_chunk_cross)(b, mean, divisors) for b in blocks])], progress)
        pca.finish_standard(product, n)
    else:
        # Thin mode: the Gram matrix block by block (the upper ones, mirrored), then the
        # kept eigenvectors mapped back into feature space chunk by chunk.
        pairs = {(i, j): delayed(_chunk_gram)(blocks[i], blocks[j], mean, divisors)
                 for i in range(len(blocks)) for j in range(i, len(blocks))}
        gram = np.empty((n, n))
        for (i, j), part in zip(pairs, _computed(list(pairs.values()), progress)):
            gram[offsets[i] : offsets[i + 1], offsets[j] : offsets[j + 1]] = part
            gram[offsets[j] : offsets[j + 1], offsets[i] : offsets[i + 1]] = part.T
        values, V = pca.gram_eigenpairs(gram)
        [U] = _computed([_tree_sum([delayed(_chunk_back)(b, V[f:e], mean, divisors)
                                    for b, f, e in zip(blocks, offsets, offsets[1:])])], progress)
        pca.finish_thin(values, U, n)

    model = (pca.mean, pca.feature_scale, pca.components, pca.explained_variance, pca.total_variance)
    # Nodes of the graph, not scattered: the shards depend on the model and on X's chunks
    # through the graph, so Dask can compute a lost one again.
    model_node = delayed(model, pure=False)
    settings = (config.k, config.variance)
    client = get_client()
    shards = client.compute([delayed(_chunk_shard)(b, labels, settings, model_node, f)
                             for b, labels, f in zip(blocks, label_blocks, firsts)])
    if progress:
        distributed.progress(shards)
    engine = ShardedEngine._assemble(settings, model, shards, offsets, progress)
    print(f"[Engine] Trained successfully. Reduced to {pca.n_components} dimensions.", flush=True)
    return engine


# Queries go to the shards in blocks of at most this many rows, and every block's lists
# are merged FAN_IN at a time: no task holds more than FAN_IN x QUERY_BLOCK x k candidates,
# however many shards and queries there are.
QUERY_BLOCK = 4096


class ShardedEngine:
    """A trained engine whose reduced training rows stay on the Dask workers, one shard per
    chunk of the training array. The client holds the model (config, mean, feature scale,
    components: features x kept components), the label names and references to the shards.

    It answers as the engine ``gather()`` returns, to the bit: each shard returns its k
    nearest rows of each query (squared distance, whole-set index, label), and the lists are
    merged in a fixed tree, eight at a time, in shard order. Shards, and the model they
    need, are reached through the graph: a worker lost between or during calls is made good
    by Dask computing again what it held. ``save`` writes the shards as model files.

    ``pickle`` carries the model and the shard references, never the rows: it loads in a
    process connected to the same cluster while the shards are still held there.
    """

    def __init__(self, config: KNNConfig, model: tuple[Any, ...], shards: list[Future], offsets: list[int],
                 names: list[bytes], counts: np.ndarray, codes: list[np.ndarray]):
        self.config = _config(config.k, config.variance)
        self.mean, self.feature_scale, self.components, self.explained_variance, self.total_variance = model
        self.shards = shards
        self.offsets = offsets
        self._names = np.array(names, dtype=object)  # every distinct label, byte-wise sorted
        self._counts = counts  # rows per label
        self._codes = codes  # per shard, its labels' positions in _names
        self._reduction = _reduction(*model[:3])
        client = get_client()
        self._cluster = client.scheduler_info()["id"], client.scheduler.address

    @classmethod
    def _assemble(cls, settings: tuple[int, float], model: tuple[Any, ...], shards: list[Future],
                  offsets: list[int], progress: bool) -> "ShardedEngine":
        """The engine over built shards: their labels merged into one byte-wise order, their
        row counts and reductions checked against the offsets and the model."""
        client = get_client()
        described = _computed([dask.delayed(_Shard.describe)(s) for s in shards], progress)
        expected = _digest(model[:3])
        for i, (_, _, rows, reduction) in enumerate(described):
            if rows != offsets[i + 1] - offsets[i] or reduction != expected:
                raise ValueError(f"shard {i} does not belong to this model: it holds {rows} rows for "
                                 f"{offsets[i + 1] - offsets[i]}, or another reduction")
        names = sorted({name for part in described for name in part[0]})
        index = {name: i for i, name in enumerate(names)}
        counts = np.zeros(len(names), dtype=np.int64)
        codes = []
        for part_names, part_counts, _, _ in described:
            part_codes = np.array([index[name] for name in part_names], dtype=np.int32)
            counts[part_codes] += part_counts
            codes.append(part_codes)
        del client
        return cls(_config(*settings), model, shards, offsets, names, counts, codes)

    def __reduce__(self) -> tuple[Any, ...]:
        return _reattached, (self.config, self._model, [f.key for f in self.shards], self.offsets,
                             self._names.tolist(), self._counts, self._codes, self._cluster)

    @property
    def _model(self) -> tuple[Any, ...]:
        return self.mean, self.feature_scale, self.components, self.explained_variance, self.total_variance

    @property
    def n_components(self) -> int:
        """Components the model keeps."""
        return int(self.components.shape[1])

    @property
    def n_samples(self) -> int:
        """Training rows, over all shards."""
        return self.offsets[-1]

    @property
    def label_counts(self) -> dict[bytes, int]:
        """How many training rows carry each label."""
        return dict(zip(self._names.tolist(), self._counts.tolist()))

    @property
    def explained_variance_ratio(self) -> np.ndarray:
        """Each kept axis's share of the total variance of the (scaled) training data."""
        return self.explained_variance / self.total_variance

    def gather(self) -> KNNEngine:
        """An engine on this process holding every reduced training row: it answers exactly
        as this one does. Brings all shards here; only for a set that fits one machine."""
        parts = _computed([dask.delayed(_Shard.reference)(s) for s in self.shards], False)
        reference = np.vstack([rows for rows, _ in parts])
        labels = [label for _, part in parts for label in part]
        return _core._engine_from_parts(self.config, *self._model, reference, labels)

    def save(self, directory: Any, progress: bool = False) -> None:
        """Write the model into ``directory``: one model file per shard (``shard-00000.qv``,
        ...), each an engine of the model and its shard's rows that ``quorvane.load`` reads,
        and ``manifest.json``. Every file is written by a worker, so ``directory`` must be a
        path every worker can write and read (a shared file system), or an fsspec URL
        (``s3://...``, with fsspec and its protocol's package installed there).

        Parameters
        ----------
        directory : str or os.PathLike
        progress : bool, default=False
            Show distributed's progress bar while the shards are written.
        """
        directory = os.fspath(directory)
        files = [f"shard-{i:05d}.qv" for i in range(len(self.shards))]
        manifest = {"format": "quorvane sharded model", "version": 1, "k": self.config.k,
                    "variance": self.config.variance, "offsets": self.offsets, "shards": files}
        written = [dask.delayed(_save_shard)(s, _joined(directory, name)) for s, name in zip(self.shards, files)]
        # The manifest last, once every shard is there.
        _computed([dask.delayed(_write_manifest)(directory, manifest, written)], progress)

    # The checks and their order are the engine's, so a sharded engine refuses what
    # gather()'s engine refuses, with the same words.
    def _queries(self, X: Any, check_rows_first: bool) -> Any:
        """X as a 2-D NumPy or dask array of the trained width; a 1-D X is one column."""
        if not isinstance(X, da.Array):
            X = _floats(X)
        if X.ndim == 1:
            X = X[:, None]
            d = self.mean.shape[0]
            if d != 1 and (X.shape[0] > 0 or not check_rows_first):
                raise ValueError(f"X must be two-dimensional (samples x features): a one-dimensional X of "
                                 f"{X.shape[0]} values reads as one column, but the engine was trained with "
                                 f"{d} features")
        if X.ndim != 2:
            raise TypeError(f"X must be a one- or two-dimensional array, got {X.ndim} dimensions")
        return X

    def _check_width(self, X: Any, what: str = "X") -> None:
        d = self.mean.shape[0]
        if X.shape[1] != d:
            raise ValueError(f"{what} has {X.shape[1]} features, but the engine was trained with {d}")

    def _projected(self, X: Any, what: str = "X") -> list[Any]:
        """The reduced queries in blocks of at most QUERY_BLOCK rows, as graph nodes: NumPy
        queries reduced here (which refuses NaN, infinity and overflow at once), dask ones on
        the workers."""
        if isinstance(X, da.Array):
            X, offsets = _row_blocks(X.rechunk({0: QUERY_BLOCK}), "X")
            model = dask.delayed((self.mean, self.feature_scale, self.components), pure=False)
            return [dask.delayed(_project)(b, model, f) for b, f in zip(X.to_delayed().ravel(), offsets)]
        # In the graph, not scattered: a scattered array is keyed by its content, and a
        # second call with the same queries met the key the first had just released.
        reduced = self._reduction.transform(X, 0, what)
        return [dask.delayed(reduced[i : i + QUERY_BLOCK], pure=False) for i in range(0, len(reduced), QUERY_BLOCK)]

    def _merged(self, P: Any, k: int) -> Any:
        """One block's k nearest of the whole set: the shards' lists merged in a fixed tree,
        FAN_IN at a time, in shard order."""
        parts = [dask.delayed(_search)(s, P, k, codes) for s, codes in zip(self.shards, self._codes)]
        while len(parts) > 1:
            parts = [dask.delayed(_merge)(parts[i : i + FAN_IN], k) for i in range(0, len(parts), FAN_IN)]
        return parts[0]

    def _predicted(self, X: Any, what: str, progress: bool) -> list[str]:
        if X.shape[0] == 0:
            return []
        self._check_width(X, what)
        projected = self._projected(X, what)
        k, n = self.config.k, self.n_samples
        if k <= 0 or k >= n:
            if isinstance(X, da.Array):  # its checks run where its blocks are reduced
                _computed([dask.delayed(len)(P) for P in projected], progress)
            rows = X.shape[0]
            if k <= 0:
                return ["Unknown"] * rows
            # Every training row votes, whatever the query: the most frequent label, ties to
            # the byte-wise smaller (the lower code).
            return [self._names[int(np.argmax(self._counts))].decode()] * rows
        codes = _computed([dask.delayed(_vote)(self._merged(P, k)) for P in projected], progress)
        return [label.decode() for label in self._names[np.concatenate(codes)]]

    def predict_batch(self, X: Any, progress: bool = False) -> list[str]:
        """Labels of the rows of ``X``, in row order: the vote of the engine over the k
        nearest of all shards, searched and voted on the workers.

        Parameters
        ----------
        X : array-like or dask.array.Array of shape (rows, features)
        progress : bool, default=False
            Show distributed's progress bar.

        Returns
        -------
        list of str
        """
        return self._predicted(self._queries(X, check_rows_first=True), "X", progress)

    def predict(self, x: Any, progress: bool = False) -> str:
        """Label of one feature vector (a vector, or an m x 1 column)."""
        x = _floats(x)
        if x.ndim == 2 and x.shape[1] == 1:
            x = x[:, 0]
        if x.ndim != 1:
            raise TypeError(f"predict takes one vector (or an m x 1 column), got shape {x.shape}")
        return self._predicted(x[None, :], "x", progress)[0]

    def kneighbors(self, X: Any, k: int, progress: bool = False) -> tuple[np.ndarray, np.ndarray]:
        """The ``k`` nearest training rows of each row of ``X``, as ``KNNEngine.kneighbors``
        gives them.

        Parameters
        ----------
        X : array-like or dask.array.Array of shape (rows, features)
        k : int
            Between 1 and the number of training rows.
        progress : bool, default=False
            Show distributed's progress bar.

        Returns
        -------
        distances, indices : ndarray of shape (rows, k)
            Euclidean distances in the reduced space and indices into the whole training
            array, each row ascending in (distance, index).
        """
        k = operator.index(k)
        n = self.n_samples
        if k < 1 or k > n:
            raise ValueError(f"k is {k}, but must be between 1 and the {n} training samples")
        X = self._queries(X, check_rows_first=False)
        self._check_width(X)
        if X.shape[0] == 0:
            return np.empty((0, k)), np.empty((0, k), dtype=np.int64)
        parts = _computed([dask.delayed(_distances)(self._merged(P, k)) for P in self._projected(X)], progress)
        return np.vstack([p[0] for p in parts]), np.vstack([p[1] for p in parts])

    def __repr__(self) -> str:
        return (f"ShardedEngine({self.n_samples} rows in {len(self.shards)} shards, "
                f"{self.mean.shape[0]} features -> {self.n_components} components)")


def _reattached(config: KNNConfig, model: tuple[Any, ...], keys: list[Any], offsets: list[int], names: list[bytes],
                counts: np.ndarray, codes: list[np.ndarray], cluster: tuple[str, str]) -> ShardedEngine:
    """A pickled ShardedEngine, back on the cluster that holds its shards: refused anywhere
    else, and once the shards are gone, instead of failing later naming nothing."""
    scheduler_id, address = cluster
    moving = "use gather() or save() to move it"
    try:
        client = get_client()
    except ValueError:
        raise ValueError(f"a ShardedEngine's shards live on the cluster that trained it ({address}); connect a "
                         f"Client to that cluster before loading it, or {moving}") from None
    if client.scheduler_info()["id"] != scheduler_id:
        raise ValueError(f"a ShardedEngine's shards live on the cluster that trained it ({address}), not on this "
                         f"client's ({client.scheduler.address}); {moving}")
    known = client.run_on_scheduler(lambda dask_scheduler: [key in dask_scheduler.tasks for key in keys])
    if not all(known):
        raise ValueError(f"this ShardedEngine's shards are no longer held on {address} (the engine that owned "
                         f"them was released); {moving} while it is alive")
    return ShardedEngine(config, model, [Future(key, client) for key in keys], offsets, names, counts, codes)


def _joined(directory: str, name: str) -> str:
    return directory.rstrip("/") + "/" + name


def _is_url(path: str) -> bool:
    return "://" in path and not path.startswith("file://")


def _save_shard(shard: _Shard, path: str) -> str:
    if _is_url(path):
        import fsspec

        with fsspec.open(path, "wb", auto_mkdir=True) as f:
            f.write(shard.engine.__getstate__()[1])
    else:
        path = path.removeprefix("file://")
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        shard.engine.save(path)
    return path


def _write_manifest(directory: str, manifest: dict[str, Any], written: list[str]) -> None:
    text = json.dumps(manifest, indent=1)
    path = _joined(directory, "manifest.json")
    if _is_url(path):
        import fsspec

        with fsspec.open(path, "w") as f:
            f.write(text)
        return
    path = path.removeprefix("file://")
    temporary = f"{path}.tmp-{os.getpid()}"
    with open(temporary, "w") as f:
        f.write(text)
    os.replace(temporary, path)


def _read_manifest(directory: str) -> dict[str, Any]:
    path = _joined(directory, "manifest.json")
    if _is_url(path):
        import fsspec

        with fsspec.open(path, "r") as f:
            text = f.read()
    else:
        with open(path.removeprefix("file://")) as f:
            text = f.read()
    manifest = json.loads(text)
    if not isinstance(manifest, dict) or manifest.get("format") != "quorvane sharded model":
        raise ValueError(f"{path} is not the manifest of a saved quorvane ShardedEngine")
    if manifest.get("version") != 1:
        raise ValueError(f"{path} has manifest version {manifest.get('version')}; this quorvane reads version 1")
    return manifest


def _load_shard(path: str, offset: int) -> _Shard:
    if _is_url(path):
        import fsspec

        with fsspec.open(path, "rb") as f:
            engine = KNNEngine.__new__(KNNEngine)
            engine.__setstate__((3, f.read()))
    else:
        # Mapped: shards of one file on one machine share its pages.
        engine = quorvane_load(path.removeprefix("file://"))
    return _Shard(engine, offset)


def load(directory: Any, progress: bool = False) -> ShardedEngine:
    """Load a ShardedEngine that ``ShardedEngine.save`` wrote, onto the current client's
    cluster: each shard is loaded by a worker, from a path every worker can read.

    Parameters
    ----------
    directory : str or os.PathLike
        What ``save`` was given: a shared path, or an fsspec URL.
    progress : bool, default=False
        Show distributed's progress bar while the shards are loaded.

    Returns
    -------
    ShardedEngine
        It answers exactly as the one that was saved. Its shards are reached through the
        graph from their files: a worker lost later is made good by loading them again.

    Raises
    ------
    ValueError
        A manifest that is not quorvane's, a damaged shard file ("invalid quorvane model
        file: ..."), or shards that do not make one model.
    FileNotFoundError
        A file is missing.
    """
    directory = os.fspath(directory)
    client = get_client()
    manifest = client.submit(_read_manifest, directory, pure=False).result()
    offsets = [int(v) for v in manifest["offsets"]]
    files = manifest["shards"]
    if len(offsets) != len(files) + 1 or offsets[0] != 0 or any(b < a for a, b in zip(offsets, offsets[1:])):
        raise ValueError(f"the manifest in {directory} gives {len(files)} shards but offsets {offsets[:8]}...")
    shards = client.compute([dask.delayed(_load_shard, pure=False)(_joined(directory, name), offset)
                             for name, offset in zip(files, offsets[:-1])])
    if progress:
        distributed.progress(shards)
    [model] = _computed([dask.delayed(_Shard.reduction)(shards[0])], False)
    return ShardedEngine._assemble((int(manifest["k"]), float(manifest["variance"])), model, shards, offsets, progress)
