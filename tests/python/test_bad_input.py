"""Every entry point fed with odd, wrong or hostile arguments.

Each row either raises the expected exception or gives a defined answer, and a
refused call leaves the engine answering exactly as before.
"""

import math
import warnings
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
import pytest
from numpy.exceptions import ComplexWarning

from quorvane import KNNConfig, KNNEngine
from reference import train_counting

RNG = np.random.default_rng(17)
CENTRES = RNG.normal(scale=8.0, size=(3, 6))
WHICH = RNG.integers(0, 3, size=90)
X = CENTRES[WHICH] + RNG.normal(size=(90, 6))
Y = [("alpha", "beta", "gamma")[i] for i in WHICH]
QUERIES = np.vstack([CENTRES, X[::7] + RNG.normal(size=(13, 6))])
Q1 = QUERIES[1]
# Sorts before "beta" and "gamma" as "alpha" does, so no vote tie breaks differently.
MEGA = "a" * (1 << 20)
INVALID_UTF8 = b"\xff\xfe"


def engine_with(k=3, variance=0.95):
    config = KNNConfig()
    config.k, config.variance = k, variance
    return KNNEngine(config)


def trained(k=3, variance=0.95):
    engine = engine_with(k, variance)
    train_counting(engine, X, Y, False)
    return engine


def assign(field, value):
    """Sets one config field; a refused value must leave the config untouched."""
    config = KNNConfig()
    before = (config.k, config.variance)
    try:
        setattr(config, field, value)
    except TypeError:
        assert (config.k, config.variance) == before
        raise
    return getattr(config, field)


def kept(variance):
    """Components a fresh engine with this threshold keeps on the 90 x 6 training set."""
    return train_counting(engine_with(variance=variance), X, Y, False)


def answers_with_k(k):
    return trained(k=k).predict_batch(QUERIES)


def retrained(engine, X_train, y_train, queries=QUERIES, scale=False):
    """Trains `engine` (now replaced) and returns its answers to `queries`."""
    train_counting(engine, X_train, y_train, scale)
    return engine.predict_batch(queries)


def broadcast(row, n):
    return np.broadcast_to(row, (n, len(row)))


def readonly(a):
    a = np.array(a)
    a.setflags(write=False)
    return a


def misaligned(a):
    """A float64 copy of `a` starting one byte past an 8-byte boundary."""
    buffer = np.frombuffer(bytearray(a.nbytes + 1), dtype=np.float64, offset=1, count=a.size)
    buffer[...] = a.ravel()
    return buffer.reshape(a.shape)


def odd_strides(a):
    """A float64 view of `a` whose elements lie 9 bytes apart."""
    records = np.zeros(a.shape, dtype=[("value", "<f8"), ("pad", "i1")])
    records["value"] = a
    return records["value"]


def with_nan(a, i, j, value=np.nan):
    a = np.array(a, dtype=np.float64)
    a[i, j] = value
    return a


def with_none(a, i, j):
    a = np.array(a, dtype=object)
    a[i, j] = None  # NumPy turns None into NaN when casting to float
    return a


def reversed_view(a):
    """The same matrix seen through negative strides on both axes."""
    return np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]


def majority(labels):
    counts = {s: labels.count(s) for s in labels}
    return min(counts, key=lambda s: (-counts[s], s.encode()))


@dataclass
class Raises:
    type: type
    match: str | None = None


@dataclass
class Answer:
    value: Any


@dataclass
class Like:
    """The same answer as a well-formed call on an engine in the same state."""
    call: Callable


@dataclass
class Row:
    id: str
    call: Callable  # receives the trained engine
    expect: Raises | Answer | Like
    trains: bool = False  # succeeds in training, so the engine may answer differently afterwards
    warns: type | None = None  # a warning the call must emit (otherwise warnings are errors)


TYPE = Raises(TypeError)  # pybind11 found no conversion; its message is its own
UNKNOWN = Answer(["Unknown"] * len(QUERIES))
SEQ_LABELS = list("ab") * 45
AS_X_Y = Like(lambda e: retrained(e, X, Y))
AS_SEQ = Like(lambda e: retrained(e, X, SEQ_LABELS))
AS_QUERIES = Like(lambda e: e.predict_batch(QUERIES))
AS_Q1 = Like(lambda e: e.predict(Q1))


def label_count(n):
    return Raises(ValueError, f"y has {n} labels but X has 90 rows")


def features(n, name="X"):
    return Raises(ValueError, f"{name} has {n} features, but the engine was trained with 6")


def non_finite(i, j, name="X"):
    return Raises(ValueError, f"{name} contains NaN or infinity at row {i}, column {j}")


ROWS = [
    # KNNConfig.k: a 32-bit int; non-positive answers "Unknown", from n on everything votes.
    Row("k=None", lambda e: assign("k", None), TYPE),
    Row("k=str", lambda e: assign("k", "3"), TYPE),
    Row("k=dict", lambda e: assign("k", {}), TYPE),
    Row("k=object", lambda e: assign("k", object()), TYPE),
    Row("k=float", lambda e: assign("k", 3.0), TYPE),
    Row("k=2**31", lambda e: assign("k", 2**31), TYPE),
    Row("k=-2**31-1", lambda e: assign("k", -(2**31) - 1), TYPE),
    Row("k=-5", lambda e: answers_with_k(-5), UNKNOWN),
    Row("k=-2**31", lambda e: answers_with_k(-(2**31)), UNKNOWN),
    Row("k=0", lambda e: answers_with_k(0), UNKNOWN),
    Row("k=2**31-1", lambda e: answers_with_k(2**31 - 1), Answer([majority(Y)] * len(QUERIES))),
    Row("k=n", lambda e: answers_with_k(90), Answer([majority(Y)] * len(QUERIES))),
    # KNNConfig.variance: any float is accepted and decides how many of the 6 components stay.
    Row("variance=None", lambda e: assign("variance", None), TYPE),
    Row("variance=str", lambda e: assign("variance", "0.5"), TYPE),
    Row("variance=dict", lambda e: assign("variance", {}), TYPE),
    Row("variance=object", lambda e: assign("variance", object()), TYPE),
    Row("variance=complex", lambda e: assign("variance", 0.5 + 0j), TYPE),
    Row("variance=int beyond float", lambda e: assign("variance", 10**400), TYPE),
    Row("variance=nan", lambda e: kept(math.nan), Answer(6)),
    Row("variance=inf", lambda e: kept(math.inf), Answer(6)),
    Row("variance=-inf", lambda e: kept(-math.inf), Answer(1)),
    Row("variance=-0.5", lambda e: kept(-0.5), Answer(1)),
    Row("variance=0", lambda e: kept(0.0), Answer(1)),
    Row("variance=1e300", lambda e: kept(1e300), Answer(6)),
    Row("variance=2**31", lambda e: kept(2.0**31), Answer(6)),
    Row("variance=2**31-1", lambda e: kept(2.0**31 - 1), Answer(6)),
    Row("variance=4.99", lambda e: kept(4.99), Answer(4)),
    Row("variance=int 3", lambda e: kept(3), Answer(3)),
    # KNNEngine(config)
    Row("engine(None)", lambda e: KNNEngine(None), TYPE),
    Row("engine(str)", lambda e: KNNEngine("k=3"), TYPE),
    Row("engine(dict)", lambda e: KNNEngine({"k": 3}), TYPE),
    Row("engine(object)", lambda e: KNNEngine(object()), TYPE),
    Row("engine(class)", lambda e: KNNEngine(KNNConfig), TYPE),
    Row("engine()", lambda e: KNNEngine(), TYPE),
    # train: X
    Row("train X=None", lambda e: e.train(None, Y), TYPE),
    Row("train X=str", lambda e: e.train("X", Y), TYPE),
    Row("train X=dict", lambda e: e.train({}, Y), TYPE),
    Row("train X=object", lambda e: e.train(object(), Y), TYPE),
    Row("train X 0-D", lambda e: e.train(np.float64(1.0), ["a"]), TYPE),
    Row("train X 3-D", lambda e: e.train(X.reshape(90, 2, 3), Y), TYPE),
    Row("train X ragged", lambda e: e.train([[1.0, 2.0], [3.0]], ["a", "b"]), TYPE),
    Row("train X words", lambda e: e.train(np.array([["one", "two"]]), ["a"]), TYPE),
    Row("train X object opaque", lambda e: e.train(np.array([[1.0, object()]], dtype=object), ["a"]), TYPE),
    Row("train X int beyond float", lambda e: e.train([[10**400, 0.0]], ["a"]), TYPE),
    Row("train X 0 x 6", lambda e: e.train(np.zeros((0, 6)), []), Raises(ValueError, "got 0 x 6")),
    Row("train X 90 x 0", lambda e: e.train(np.zeros((90, 0)), Y), Raises(ValueError, "got 90 x 0")),
    Row("train X []", lambda e: e.train([], []), Raises(ValueError, "at least one row and one column")),
    Row("train X nan", lambda e: e.train(with_nan(X, 7, 3), Y), non_finite(7, 3)),
    Row("train X +inf", lambda e: e.train(with_nan(X, 89, 5, np.inf), Y), non_finite(89, 5)),
    Row("train X -inf", lambda e: e.train(with_nan(X, 0, 0, -np.inf), Y), non_finite(0, 0)),
    Row("train X object None", lambda e: e.train(with_none(X, 4, 1), Y), non_finite(4, 1)),
    # Finite but overflowing in the mean: every distance is NaN, so the first k samples vote.
    Row("train X overflowing sums",
        lambda e: retrained(e, [[1e308, 1.0], [1e308, 2.0], [-1e308, 3.0], [5.0, 1e308]], list("cbad"), [[0.0, 0.0]]),
        Answer(["a"]), trains=True),
    Row("train X numeric strings", lambda e: retrained(e, X.astype(str), Y), AS_X_Y, trains=True),
    Row("train X bool", lambda e: retrained(e, X > 0, Y, X[:20] > 0),
        Like(lambda e: retrained(e, (X > 0) * 1.0, Y, X[:20] > 0)), trains=True),
    Row("train X int", lambda e: retrained(e, X.astype(int), Y), Like(lambda e: retrained(e, np.trunc(X), Y)),
        trains=True),
    Row("train X float32", lambda e: retrained(e, X.astype(np.float32), Y),
        Like(lambda e: retrained(e, X.astype(np.float32).astype(np.float64), Y)), trains=True),
    Row("train X 1-D is one column", lambda e: retrained(e, X[:, 0], Y, QUERIES[:, :1]),
        Like(lambda e: retrained(e, X[:, :1], Y, QUERIES[:, :1])), trains=True),
    # NumPy's complex-to-real cast warns; as an error the warning refuses the argument,
    # otherwise the imaginary parts are dropped.
    Row("train X complex, warning as error", lambda e: e.train(X + 1j, Y), TYPE),
    Row("train X complex, warning shown", lambda e: retrained(e, X + 1j, Y), AS_X_Y, trains=True,
        warns=ComplexWarning),
    # train: memory layouts NumPy may hand over without a copy
    Row("train X Fortran order", lambda e: retrained(e, np.asfortranarray(X), Y), AS_X_Y, trains=True),
    Row("train X strided", lambda e: retrained(e, np.repeat(X, 2, axis=1)[:, ::2], Y), AS_X_Y, trains=True),
    Row("train X reversed", lambda e: retrained(e, reversed_view(X), Y), AS_X_Y, trains=True),
    Row("train X read-only", lambda e: retrained(e, readonly(X), Y), AS_X_Y, trains=True),
    Row("train X misaligned", lambda e: retrained(e, misaligned(X), Y), AS_X_Y, trains=True),
    Row("train X odd byte strides", lambda e: retrained(e, odd_strides(X), Y), AS_X_Y, trains=True),
    Row("train X broadcast rows", lambda e: retrained(e, broadcast(X[0], 90), Y),
        Like(lambda e: retrained(e, np.tile(X[0], (90, 1)), Y)), trains=True),
    Row("train X broadcast columns", lambda e: retrained(e, np.broadcast_to(X[:, :1], (90, 6)), Y),
        Like(lambda e: retrained(e, np.repeat(X[:, :1], 6, axis=1), Y)), trains=True),
    # train: y
    Row("train y=None", lambda e: e.train(X, None), TYPE),
    Row("train y=str", lambda e: e.train(X, "a" * 90), TYPE),
    Row("train y=bytes", lambda e: e.train(X, b"a" * 90), TYPE),
    Row("train y=bytearray", lambda e: e.train(X, bytearray(90)), TYPE),
    Row("train y=dict", lambda e: e.train(X, dict.fromkeys(map(str, range(90)))), TYPE),
    Row("train y=ints", lambda e: e.train(X, list(range(90))), TYPE),
    Row("train y with None", lambda e: e.train(X, Y[:-1] + [None]), TYPE),
    Row("train y lone surrogate", lambda e: e.train(X, Y[:-1] + ["\ud800"]), TYPE),
    Row("train y short", lambda e: e.train(X, Y[:-1]), label_count(89)),
    Row("train y long", lambda e: e.train(X, Y + ["extra"]), label_count(91)),
    Row("train y empty", lambda e: e.train(X, []), label_count(0)),
    Row("train y short generator", lambda e: e.train(X, (s for s in Y[:50])), label_count(50)),
    Row("train y long generator", lambda e: e.train(X, (s for s in Y * 2)), label_count(180)),
    Row("train y=tuple", lambda e: retrained(e, X, tuple(SEQ_LABELS)), AS_SEQ, trains=True),
    Row("train y=generator", lambda e: retrained(e, X, (s for s in SEQ_LABELS)), AS_SEQ, trains=True),
    Row("train y=map", lambda e: retrained(e, X, map(str.lower, SEQ_LABELS)), AS_SEQ, trains=True),
    Row("train y=numpy str", lambda e: retrained(e, X, np.array(SEQ_LABELS)), AS_SEQ, trains=True),
    Row("train y=set", lambda e: retrained(e, X, set(map(str, range(90)))),
        Like(lambda e: retrained(e, X, list(set(map(str, range(90)))))), trains=True),
    Row("train y=bytes labels", lambda e: retrained(e, X, [s.encode() for s in Y]), AS_X_Y, trains=True),
    Row("train y=bytearray labels", lambda e: retrained(e, X, [bytearray(s.encode()) for s in Y]), AS_X_Y,
        trains=True),
    Row("train y empty labels", lambda e: retrained(e, X, [""] * 90), Answer([""] * len(QUERIES)), trains=True),
    Row("train y 1 MB labels", lambda e: retrained(e, X, [MEGA if s == "alpha" else s for s in Y]),
        Like(lambda e: [MEGA if s == "alpha" else s for s in retrained(e, X, Y)]), trains=True),
    Row("train y invalid UTF-8", lambda e: retrained(e, X, [INVALID_UTF8] * 90), Raises(UnicodeDecodeError),
        trains=True),
    # train: scale
    Row("train scale=str", lambda e: e.train(X, Y, scale="yes"), TYPE),
    Row("train scale=numpy bool", lambda e: retrained(e, X, Y, scale=np.bool_(True)),
        Like(lambda e: retrained(e, X, Y, scale=True)), trains=True),
    # predict
    Row("predict None", lambda e: e.predict(None), TYPE),
    Row("predict str", lambda e: e.predict("x"), TYPE),
    Row("predict dict", lambda e: e.predict({}), TYPE),
    Row("predict object", lambda e: e.predict(object()), TYPE),
    Row("predict 0-D", lambda e: e.predict(np.float64(1.0)), TYPE),
    Row("predict 3-D", lambda e: e.predict(Q1.reshape(6, 1, 1)), TYPE),
    Row("predict 1 x 6", lambda e: e.predict(Q1.reshape(1, 6)), TYPE),
    Row("predict 2 x 3", lambda e: e.predict(Q1.reshape(2, 3)), TYPE),
    Row("predict words", lambda e: e.predict(["x"] * 6), TYPE),
    Row("predict object opaque", lambda e: e.predict(np.array([object()] * 6)), TYPE),
    Row("predict complex, warning as error", lambda e: e.predict(Q1 + 1j), TYPE),
    Row("predict complex, warning shown", lambda e: e.predict(Q1 + 1j), AS_Q1, warns=ComplexWarning),
    Row("predict empty", lambda e: e.predict([]), features(0, "x")),
    Row("predict short", lambda e: e.predict(Q1[:5]), features(5, "x")),
    Row("predict long", lambda e: e.predict(np.append(Q1, 0.0)), features(7, "x")),
    Row("predict 1 x 1", lambda e: e.predict([[1.0]]), features(1, "x")),
    Row("predict nan", lambda e: e.predict(with_nan([Q1], 0, 4)[0]), non_finite(0, 4, "x")),
    Row("predict -inf", lambda e: e.predict(with_nan([Q1], 0, 0, -np.inf)[0]), non_finite(0, 0, "x")),
    Row("predict None inside", lambda e: e.predict(with_none([Q1], 0, 2)[0]), non_finite(0, 2, "x")),
    Row("predict 6 x 1", lambda e: e.predict(Q1.reshape(6, 1)), AS_Q1),
    Row("predict list", lambda e: e.predict(Q1.tolist()), AS_Q1),
    Row("predict reversed view", lambda e: e.predict(np.ascontiguousarray(Q1[::-1])[::-1]), AS_Q1),
    Row("predict broadcast", lambda e: e.predict(np.broadcast_to(Q1[2], (6,))),
        Like(lambda e: e.predict(np.full(6, Q1[2])))),
    Row("predict numeric strings", lambda e: e.predict(Q1.astype(str)), AS_Q1),
    Row("predict bool", lambda e: e.predict(Q1 > 0), Like(lambda e: e.predict((Q1 > 0) * 1.0))),
    Row("predict object numbers", lambda e: e.predict(Q1.astype(object)), AS_Q1),
    # An untrained engine answers "Unknown" to anything it can convert.
    Row("untrained predict 1-D", lambda e: engine_with().predict(Q1), Answer("Unknown")),
    Row("untrained predict empty", lambda e: engine_with().predict([]), Answer("Unknown")),
    Row("untrained predict nan", lambda e: engine_with().predict([np.nan, np.inf]), Answer("Unknown")),
    Row("untrained predict 1 x 6", lambda e: engine_with().predict(Q1.reshape(1, 6)), TYPE),
    Row("untrained predict None", lambda e: engine_with().predict(None), TYPE),
    Row("untrained batch nan", lambda e: engine_with().predict_batch(np.full((2, 3), np.nan)), Answer(["Unknown"] * 2)),
    Row("untrained batch 3 x 0", lambda e: engine_with().predict_batch(np.zeros((3, 0))), Answer(["Unknown"] * 3)),
    Row("untrained batch 0 x 3", lambda e: engine_with().predict_batch(np.zeros((0, 3))), Answer([])),
    Row("untrained batch 1-D", lambda e: engine_with().predict_batch(Q1), Answer(["Unknown"] * 6)),
    Row("untrained batch 3-D", lambda e: engine_with().predict_batch(np.zeros((1, 1, 1))), TYPE),
    Row("untrained batch str", lambda e: engine_with().predict_batch("X"), TYPE),
    Row("untrained k=0", lambda e: engine_with(k=0).predict_batch(QUERIES), UNKNOWN),
    # predict_batch
    Row("batch None", lambda e: e.predict_batch(None), TYPE),
    Row("batch str", lambda e: e.predict_batch("X"), TYPE),
    Row("batch dict", lambda e: e.predict_batch({}), TYPE),
    Row("batch object", lambda e: e.predict_batch(object()), TYPE),
    Row("batch 0-D", lambda e: e.predict_batch(np.float64(1.0)), TYPE),
    Row("batch 3-D", lambda e: e.predict_batch(QUERIES.reshape(16, 6, 1)), TYPE),
    Row("batch ragged", lambda e: e.predict_batch([list(Q1), list(Q1[:5])]), TYPE),
    Row("batch words", lambda e: e.predict_batch([["x"] * 6]), TYPE),
    Row("batch complex, warning as error", lambda e: e.predict_batch(QUERIES + 1j), TYPE),
    Row("batch complex, warning shown", lambda e: e.predict_batch(QUERIES - 2j), AS_QUERIES, warns=ComplexWarning),
    Row("batch []", lambda e: e.predict_batch([]), Answer([])),
    Row("batch 0 x 6", lambda e: e.predict_batch(np.zeros((0, 6))), Answer([])),
    Row("batch 0 x 2", lambda e: e.predict_batch(np.zeros((0, 2))), Answer([])),
    Row("batch 0 x 2 with nan", lambda e: e.predict_batch(np.full((0, 2), np.nan)), Answer([])),
    Row("batch 5 x 0", lambda e: e.predict_batch(np.zeros((5, 0))), features(0)),
    Row("batch 1-D is one column", lambda e: e.predict_batch(Q1), features(1)),
    Row("batch 16 x 7", lambda e: e.predict_batch(np.hstack([QUERIES, QUERIES[:, :1]])), features(7)),
    Row("batch nan", lambda e: e.predict_batch(with_nan(QUERIES, 15, 5)), non_finite(15, 5)),
    Row("batch +inf", lambda e: e.predict_batch(with_nan(QUERIES, 3, 2, np.inf)), non_finite(3, 2)),
    Row("batch first non-finite in row order",
        lambda e: e.predict_batch(with_nan(with_nan(QUERIES, 9, 0), 4, 5, -np.inf)), non_finite(4, 5)),
    Row("batch first non-finite across blocks",
        lambda e: e.predict_batch(with_nan(with_nan(np.tile(QUERIES, (20, 1)), 300, 0), 70, 1, np.inf)),
        non_finite(70, 1)),
    Row("batch object None", lambda e: e.predict_batch(with_none(QUERIES, 2, 5)), non_finite(2, 5)),
    Row("batch 1 x 6", lambda e: e.predict_batch([Q1]), Like(lambda e: [e.predict(Q1)])),
    Row("batch numeric strings", lambda e: e.predict_batch(QUERIES.astype(str)), AS_QUERIES),
    Row("batch float16", lambda e: e.predict_batch(QUERIES.astype(np.float16)),
        Like(lambda e: e.predict_batch(QUERIES.astype(np.float16).astype(np.float64)))),
    Row("batch big-endian", lambda e: e.predict_batch(QUERIES.astype(">f8")), AS_QUERIES),
    Row("batch memoryview", lambda e: e.predict_batch(memoryview(QUERIES)), AS_QUERIES),
    # predict_batch: memory layouts NumPy may hand over without a copy
    Row("batch Fortran order", lambda e: e.predict_batch(np.asfortranarray(QUERIES)), AS_QUERIES),
    Row("batch strided", lambda e: e.predict_batch(np.repeat(QUERIES, 3, axis=0)[::3]), AS_QUERIES),
    Row("batch reversed", lambda e: e.predict_batch(reversed_view(QUERIES)), AS_QUERIES),
    Row("batch read-only", lambda e: e.predict_batch(readonly(QUERIES)), AS_QUERIES),
    Row("batch misaligned", lambda e: e.predict_batch(misaligned(QUERIES)), AS_QUERIES),
    Row("batch odd byte strides", lambda e: e.predict_batch(odd_strides(QUERIES)), AS_QUERIES),
    Row("batch broadcast rows", lambda e: e.predict_batch(broadcast(Q1, 9)), Like(lambda e: [e.predict(Q1)] * 9)),
    Row("batch broadcast columns", lambda e: e.predict_batch(np.broadcast_to(QUERIES[:, 2:3], (16, 6))),
        Like(lambda e: e.predict_batch(np.repeat(QUERIES[:, 2:3], 6, axis=1)))),
]


@pytest.mark.parametrize("row", ROWS, ids=[r.id for r in ROWS])
def test_entry_point_answers_or_refuses(row):
    engine = trained()
    before = engine.predict_batch(QUERIES), engine.n_components
    with pytest.warns(row.warns) if row.warns else warnings.catch_warnings(action="error"):
        if isinstance(row.expect, Raises):
            with pytest.raises(row.expect.type, match=row.expect.match):
                row.call(engine)
        elif isinstance(row.expect, Answer):
            assert row.call(engine) == row.expect.value
        else:
            assert row.call(engine) == row.expect.call(trained())
    if not row.trains:
        assert (engine.predict_batch(QUERIES), engine.n_components) == before
