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

from typing import Any, Sequence

import numpy as np

try:
    import dask
    import dask.array as da
    from distributed import Future, get_client
except ImportError as error:  # optional dependencies: say which extra brings them
    raise ModuleNotFoundError('quorvane.dask needs dask[array] and distributed: pip install "quorvane[dask]"',
                              name=error.name) from error

from . import _core
from ._core import KNNConfig, KNNEngine

__all__ = ["train", "ShardedEngine"]

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


class _Shard:
    """The reduced training rows of one chunk, with their labels and whole-set offset.
    Pickles as its rows (for spilling and moving between workers); the search over them
    is rebuilt where it lands."""

    def __init__(self, rows: np.ndarray, offset: int, names: np.ndarray, codes: np.ndarray):
        self.search = _core._ReferenceShard(rows, offset)
        self.names = names  # distinct labels, byte-wise sorted (object array of bytes)
        self.codes = codes  # per row, the position of its label in names

    def __getstate__(self) -> tuple[Any, ...]:
        return self.search.samples, self.search.offset, self.names, self.codes

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        self.__init__(*state)

    def label_counts(self) -> dict[bytes, int]:
        return dict(zip(self.names.tolist(), np.bincount(self.codes, minlength=len(self.names)).tolist()))

    def nearest(self, P: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        sq, index = self.search.nearest(P, k)
        return sq, index, self.names[self.codes[index - self.search.offset]]


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


def _chunk_shard(block: np.ndarray, labels: Any, model: tuple[np.ndarray, ...], offset: int) -> _Shard:
    rows = _reduction(*model).transform(block, offset)
    if not np.isfinite(rows).all():
        raise ValueError("X spans too wide a range of values: its projection overflows double precision")
    names, codes = np.unique(np.array(_labels(labels), dtype=object), return_inverse=True)
    return _Shard(rows, offset, names, codes.reshape(-1).astype(np.int32))


def _project(block: np.ndarray, model: tuple[np.ndarray, ...], first_row: int) -> np.ndarray:
    return _reduction(*model).transform(block, first_row)


def _search(shard: _Shard, P: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    return shard.nearest(P, k)


def _merged(parts: Sequence[tuple[np.ndarray, ...]], k: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The k best of the shards' best, ascending in (squared distance, index)."""
    sq, index, labels = (np.concatenate([part[i] for part in parts], axis=1) for i in range(3))
    order = np.lexsort((index, sq), axis=1)[:, :k]
    return tuple(np.take_along_axis(a, order, axis=1) for a in (sq, index, labels))  # type: ignore[return-value]


def _vote(labels: np.ndarray) -> list[str]:
    """Per row, the most frequent label; equal counts go to the byte-wise smaller."""
    rows, k = labels.shape
    if rows == 0:
        return []
    names, ranks = np.unique(labels, return_inverse=True)
    ranks = ranks.reshape(rows, k)
    width = len(names)
    keys = (np.sort(ranks, axis=1) + np.arange(rows)[:, None] * width).ravel()
    values, counts = np.unique(keys, return_counts=True)
    row = values // width
    # Within a row: most votes first, then the smaller rank (byte order).
    order = np.lexsort((values, -counts, row))
    first = order[np.r_[True, row[order][1:] != row[order][:-1]]]
    return [name.decode() for name in names[values[first] % width]]


def _merged_labels(parts: Sequence[tuple[np.ndarray, ...]], k: int) -> list[str]:
    return _vote(_merged(parts, k)[2])


def _merged_neighbours(parts: Sequence[tuple[np.ndarray, ...]], k: int) -> tuple[np.ndarray, np.ndarray]:
    sq, index, _ = _merged(parts, k)
    # The engine's Euclidean distance: the expanded form may round a tiny square below zero.
    return np.sqrt(np.where(sq > 0.0, sq, 0.0)), index


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


def train(config: KNNConfig, X: da.Array, y: Any, scale: bool = False) -> "ShardedEngine":
    """Fits the engine's reduction on the rows of the dask array ``X`` (chunked by rows) and
    keeps the reduced rows on the workers, one shard per chunk; ``y`` holds one label per row
    (a dask array, or anything NumPy reads). The mode, the kept count and the two progress
    lines are the engine's. Raises the engine's ValueError for bad input, naming the row of
    ``X`` that holds NaN or infinity. Nothing of ``X`` comes to the client."""
    X, offsets = _row_blocks(X, "X")
    n, d = X.shape
    if n == 0 or d == 0:
        raise ValueError(f"X must have at least one row and one column, got {n} x {d}")
    if isinstance(y, da.Array):
        if y.shape[0] != n or y.ndim != 1:
            raise ValueError(f"y has {y.shape[0]} labels but X has {n} rows")
        label_blocks = list(y.rechunk((X.chunks[0],)).to_delayed())
    else:
        y = np.asarray(y, dtype=object)
        if y.ndim != 1 or len(y) != n:
            raise ValueError(f"y has {len(y)} labels but X has {n} rows")
        label_blocks = [y[a:b] for a, b in zip(offsets, offsets[1:])]
    client = get_client()
    blocks = list(X.to_delayed().ravel())
    firsts = offsets[:-1]
    delayed = dask.delayed

    parts = [delayed(_chunk_sums_max, nout=2)(b, f) for b, f in zip(blocks, firsts)]
    sums, largest = dask.compute(_tree_sum([p[0] for p in parts]),
                                 delayed(np.maximum.reduce)([p[1] for p in parts]))
    deviate = scale and n > 1
    units = _core._AdaptivePCA.units_for(largest, deviate)
    if np.any(units != 1.0):
        sums = _tree_sum([delayed(_chunk_sums)(b, units, f) for b, f in zip(blocks, firsts)]).compute()
    mean = sums / float(n) * units
    if deviate:
        squares = _tree_sum([delayed(_chunk_squares)(b, mean, units) for b in blocks]).compute()
        divisors = _core._AdaptivePCA.deviations(squares, mean, n, units)
    else:
        divisors = units

    pca = _core._AdaptivePCA(config.variance)
    pca.set_moments(mean, divisors)
    if d <= n:
        product = _tree_sum([delayed(_chunk_cross)(b, mean, divisors) for b in blocks]).compute()
        pca.finish_standard(product, n)
    else:
        # Thin mode: the Gram matrix block by block (the upper ones, mirrored), then the
        # kept eigenvectors mapped back into feature space chunk by chunk.
        pairs = {(i, j): delayed(_chunk_gram)(blocks[i], blocks[j], mean, divisors)
                 for i in range(len(blocks)) for j in range(i, len(blocks))}
        parts = dict(zip(pairs, dask.compute(*pairs.values())))
        gram = np.empty((n, n))
        for (i, j), part in parts.items():
            gram[offsets[i] : offsets[i + 1], offsets[j] : offsets[j + 1]] = part
            gram[offsets[j] : offsets[j + 1], offsets[i] : offsets[i + 1]] = part.T
        values, V = pca.gram_eigenpairs(gram)
        U = _tree_sum([delayed(_chunk_back)(b, V[f:e], mean, divisors)
                       for b, f, e in zip(blocks, offsets, offsets[1:])]).compute()
        pca.finish_thin(values, U)

    model = (pca.mean, pca.feature_scale, pca.components)
    [shipped] = client.scatter([model], broadcast=True)
    shards = client.compute([delayed(_chunk_shard)(b, labels, shipped, f)
                             for b, labels, f in zip(blocks, label_blocks, firsts)])
    counts: dict[bytes, int] = {}
    for part in client.gather([client.submit(_Shard.label_counts, s, pure=False) for s in shards]):
        for name, count in part.items():
            counts[name] = counts.get(name, 0) + count
    engine = ShardedEngine(config, model, shards, offsets, counts)
    print(f"[Engine] Trained successfully. Reduced to {pca.n_components} dimensions.", flush=True)
    return engine


class ShardedEngine:
    """A trained engine whose reduced training rows stay on the Dask workers, one shard per
    chunk of the training array. The client holds the model (config, mean, feature scale,
    components: features x kept components) and references to the shards.

    ``pickle`` carries the model and the shard references (``distributed.Future``), never
    the rows: it loads in a process connected to the same cluster while the shards are
    still held there. ``gather()`` makes an ordinary ``KNNEngine`` that carries everything.
    """

    def __init__(self, config: KNNConfig, model: tuple[np.ndarray, ...], shards: list[Future],
                 offsets: list[int], label_counts: dict[bytes, int]):
        self.config = KNNConfig()
        self.config.k, self.config.variance = config.k, config.variance
        self.mean, self.feature_scale, self.components = model
        self.shards = shards
        self.offsets = offsets
        self.label_counts = label_counts
        self._reduction = _reduction(*model)

    def __reduce__(self) -> tuple[Any, ...]:
        model = (self.mean, self.feature_scale, self.components)
        return ShardedEngine, (self.config, model, self.shards, self.offsets, self.label_counts)

    @property
    def n_components(self) -> int:
        return int(self.components.shape[1])

    @property
    def n_samples(self) -> int:
        return self.offsets[-1]

    def gather(self) -> KNNEngine:
        """An engine on this process holding every reduced training row: it answers exactly
        as this one does. Brings all shards here; only for a set that fits one machine."""
        shards = get_client().gather(self.shards)
        reference = np.vstack([s.search.samples for s in shards])
        labels = [name for s in shards for name in s.names[s.codes].tolist()]
        return _core._engine_from_parts(self.config, self.mean, self.feature_scale, self.components,
                                        reference, labels)

    def _answer(self, Q: Any, k: int, finish: Any) -> list[Any]:
        """finish(parts, k) per block of queries, on the workers, in block order."""
        client = get_client()
        d = self.mean.shape[0]
        if isinstance(Q, da.Array):
            Q, offsets = _row_blocks(Q, "X")
            if Q.shape[1] != d:
                raise ValueError(f"X has {Q.shape[1]} features, but the engine was trained with {d}")
            [shipped] = client.scatter([(self.mean, self.feature_scale, self.components)], broadcast=True)
            projected = [dask.delayed(_project)(b, shipped, f) for b, f in zip(Q.to_delayed().ravel(), offsets)]
        else:
            if Q.ndim != 2 or Q.shape[1] != d:
                raise ValueError(f"X has {Q.shape[-1] if Q.ndim else 0} features, but the engine was trained with {d}")
            [shipped] = client.scatter([self._reduction.transform(Q, 0)])
            projected = [shipped]
        tasks = [dask.delayed(finish)([dask.delayed(_search)(s, P, k) for s in self.shards], k) for P in projected]
        return client.gather(client.compute(tasks))

    def predict_batch(self, X: Any) -> list[str]:
        """Labels of the rows of ``X`` (NumPy or dask), in row order: the vote of the engine
        over the k nearest of all shards. Searched and voted on the workers; only the
        reduced queries and the labels travel."""
        k, n = self.config.k, self.n_samples
        X = X if isinstance(X, da.Array) else np.asarray(X, dtype=np.float64)
        rows = X.shape[0]
        if rows == 0:
            return []
        if k <= 0:
            return ["Unknown"] * rows
        if k >= n:
            # Every training row votes, whatever the query.
            best = min(self.label_counts.items(), key=lambda item: (-item[1], item[0]))[0]
            return [best.decode()] * rows
        return [label for part in self._answer(X, k, _merged_labels) for label in part]

    def predict(self, x: Any) -> str:
        """Label of one feature vector."""
        return self.predict_batch(np.asarray(x, dtype=np.float64).reshape(1, -1))[0]

    def kneighbors(self, X: Any, k: int) -> tuple[np.ndarray, np.ndarray]:
        """The ``k`` nearest training rows of each row of ``X``, as ``KNNEngine.kneighbors``
        gives them: (distances, indices), ascending in (distance, index), with indices into
        the whole training array."""
        n = self.n_samples
        if k < 1 or k > n:
            raise ValueError(f"k is {k}, but must be between 1 and the {n} training samples")
        X = X if isinstance(X, da.Array) else np.asarray(X, dtype=np.float64)
        if X.shape[0] == 0:
            return np.empty((0, k)), np.empty((0, k), dtype=np.int64)
        parts = self._answer(X, k, _merged_neighbours)
        return np.vstack([p[0] for p in parts]), np.vstack([p[1] for p in parts])

    def __repr__(self) -> str:
        return (f"ShardedEngine({self.n_samples} rows in {len(self.shards)} shards, "
                f"{self.mean.shape[0]} features -> {self.n_components} components)")

