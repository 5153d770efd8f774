"""float32 and float64 in any layout, read in place or converted, train and answer exactly as
their float64 copy does: every entry point (engine, estimator, the Dask chunk steps)."""

import functools
import pickle

import numpy as np
import pytest

import quorvane.dask as qd
from quorvane.sklearn import QuorvaneClassifier
from reference import make_engine, train_counting


def memmap(a, folder):
    path = folder / f"{len(list(folder.iterdir()))}.npy"
    np.save(path, a)
    return np.load(path, mmap_mode="r")


def misaligned(a):  # starts one byte past its element size: copied, not viewed
    buffer = np.frombuffer(bytearray(a.nbytes + 1), dtype=a.dtype, offset=1, count=a.size)
    buffer[...] = a.ravel()
    return buffer.reshape(a.shape)


# Each turns float32 values into one layout of them; the first group is read in place.
LAYOUTS = {
    "float32 C": lambda a, _: a,
    "float32 Fortran": lambda a, _: np.asfortranarray(a),
    "float32 strided both ways": lambda a, _: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
    "float32 read-only": lambda a, _: np.lib.stride_tricks.as_strided(a, writeable=False),
    "float32 memmap": memmap,
    "float32 Fortran memmap": lambda a, folder: memmap(np.asfortranarray(a), folder),
    "float64 strided": lambda a, _: np.repeat(a.astype(np.float64), 2, axis=1)[:, ::2],
    "float32 big-endian": lambda a, _: a.astype(">f4"),
    "float32 misaligned": lambda a, _: misaligned(a),
    "float32 reversed": lambda a, _: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    "float16": lambda a, _: a.astype(np.float16),
    "int32": lambda a, _: a.astype(np.int32),
}

# (rows, features): the one-read covariance, the two-pass fit with a general product and
# rows of floats projected a depth step at a time (more than 512 features), Thin mode.
SHAPES = [(1500, 24), (700, 600), (60, 300)]


@functools.cache
def problem(shape):
    n, d = shape
    rng = np.random.default_rng(n + d)
    # Integers up to 1000 are exact in float16 and int32 too, so every layout holds the same values.
    centres = rng.integers(-400, 400, size=(3, d))
    which = rng.integers(0, 3, size=n + 40)
    data = (centres[which] + rng.integers(-100, 100, size=(n + 40, d))).astype(np.float32)
    return data[:n], [f"c{v}" for v in which[:n]], data[n:]


def answers(X, y, Q, scale):
    engine = make_engine(k=4, variance=0.9)
    train_counting(engine, X, y, scale)
    distances, indices = engine.kneighbors(Q, 5)
    model = QuorvaneClassifier(n_neighbors=3, variance=0.9, scale=scale).fit(X, y)
    # The Dask chunk steps on X as one chunk, with the engine's moments.
    mean, divisors = engine.mean, engine.feature_scale
    units = np.ones(X.shape[1])
    steps = (qd._chunk_sums_max(X, 0), qd._chunk_squares(X, mean, units), qd._chunk_cross(X, mean, divisors),
             qd._chunk_gram(X, X[:7], mean, divisors), qd._chunk_back(X, np.ones((len(X), 2)), mean, divisors))
    return (pickle.dumps(engine.__getstate__()), engine.predict_batch(Q), engine.predict_batch(Q[:3]),
            distances.tobytes(), indices.tobytes(), engine.transform(Q).tobytes(),
            pickle.dumps(model.engine_.__getstate__()), model.transform(Q).tobytes(),
            model.predict_proba(Q).tobytes(), [a.tobytes() for a in model.kneighbors()],
            pickle.dumps(steps))


@functools.cache
def expected(shape, scale):
    X, y, Q = problem(shape)
    return answers(X.astype(np.float64), y, Q.astype(np.float64), scale)


@pytest.mark.parametrize("scale", [False, True])
@pytest.mark.parametrize("shape", SHAPES, ids=[f"{n}x{d}" for n, d in SHAPES])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_every_layout_gives_the_bits_of_its_float64_copy(layout, shape, scale, tmp_path):
    X, y, Q = problem(shape)
    assert answers(layout(X, tmp_path), y, layout(Q, tmp_path), scale) == expected(shape, scale)
