"""Every entry point fed with odd, wrong or hostile arguments, conversions and keywords included."""

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from quorvane import KNNConfig, KNNEngine
from reference import blobs, make_engine, train_counting

X, Y, QUERIES = blobs(17)
Q1 = QUERIES[1]


# Answers to `queries` of a fresh engine trained on X_train, y_train.
def answers(X_train=X, y_train=Y, queries=QUERIES, scale=False, k=3):
    engine = make_engine(k)
    train_counting(engine, X_train, y_train, scale)
    return engine.predict_batch(queries)


def retrained_on_two_features():
    engine = make_engine(k=1)
    train_counting(engine, X, Y, False)
    train_counting(engine, X[:10, :2], ["new"] * 10, False)
    return engine


def config_changed_after_construction():
    config = KNNConfig()
    config.k = 1
    engine = KNNEngine(config)
    config.k, config.variance = 0, 1.0  # the engine keeps its own copy
    train_counting(engine, X, Y, False)
    return engine.predict_batch(QUERIES)


def assign(field, value):
    config = KNNConfig()
    try:
        setattr(config, field, value)
    except TypeError:
        assert (config.k, config.variance) == (3, 0.95)  # a refused value leaves the config untouched
        raise
    return getattr(config, field)


def with_value(a, i, j, value=np.nan):
    a = np.array(a, dtype=np.float64)
    a[i, j] = value
    return a


def misaligned(a):  # a float64 copy of `a` starting one byte past an 8-byte boundary
    buffer = np.frombuffer(bytearray(a.nbytes + 1), dtype=np.float64, offset=1, count=a.size)
    buffer[...] = a.ravel()
    return buffer.reshape(a.shape)


def odd_strides(a):  # a float64 view of `a` whose elements lie 9 bytes apart
    records = np.zeros(a.shape, dtype=[("value", "<f8"), ("pad", "i1")])
    records["value"] = a
    return records["value"]


def overflowing(engine):  # finite, but its projection onto the first component exceeds double range
    return 1e308 * np.sign(engine.components[:, 0])


def features(n, name="X", trained=6):
    return ValueError, f"{name} has {n} features, but the engine was trained with {trained}"


def non_finite(i, j, name="X"):
    return ValueError, f"{name} contains NaN or infinity at row {i}, column {j}"


# An expected value is a refusal (exception type, message pattern), a callable giving
# the answer of a well-formed call on the same trained engine, or the answer itself.
TYPE = (TypeError, None)  # pybind11 found no conversion; its message is its own
UNKNOWN = ["Unknown"] * len(QUERIES)
MAJORITY = [max(sorted(set(Y)), key=Y.count)] * len(QUERIES)  # ties to the smaller label
AS_QUERIES = lambda e: e.predict_batch(QUERIES)  # noqa: E731

ROWS = {
    # KNNConfig: k is a 32-bit int, variance any float; the engine copies both.
    "k=float": (lambda e: assign("k", 3.0), TYPE),
    "k=2**31": (lambda e: assign("k", 2**31), TYPE),
    "k=numpy int": (lambda e: assign("k", np.int64(9)), 9),
    "k=-2**31": (lambda e: answers(k=-(2**31)), UNKNOWN),
    "k=2**31-1": (lambda e: answers(k=2**31 - 1), MAJORITY),
    "variance=str": (lambda e: assign("variance", "0.5"), TYPE),
    "variance=int": (lambda e: assign("variance", 4), 4.0),
    "config changed after construction": (lambda e: config_changed_after_construction(), lambda e: answers(k=1)),
    "engine(None)": (lambda e: KNNEngine(None), TYPE),
    "engine(config=)": (lambda e: KNNEngine(config=KNNConfig()), TYPE),
    "n_components is read-only": (lambda e: setattr(e, "n_components", 3), (AttributeError, None)),
    # train: X
    "train X 0-D": (lambda e: e.train(np.float64(1.0), ["a"]), TYPE),
    "train X 3-D": (lambda e: e.train(X.reshape(90, 2, 3), Y), TYPE),
    "train X 0 x 6": (lambda e: e.train(np.zeros((0, 6)), []), (ValueError, "got 0 x 6")),
    "train X 90 x 0": (lambda e: e.train(np.zeros((90, 0)), Y), (ValueError, "got 90 x 0")),
    "train X nan": (lambda e: e.train(with_value(X, 7, 3), Y), non_finite(7, 3)),
    "train X +inf last": (lambda e: e.train(with_value(X, 89, 5, np.inf), Y), non_finite(89, 5)),
    "train X -inf first": (lambda e: e.train(with_value(X, 0, 0, -np.inf), Y), non_finite(0, 0)),
    "train X float32 nan, Fortran order":
        (lambda e: e.train(np.asfortranarray(with_value(X, 7, 3).astype(np.float32)), Y), non_finite(7, 3)),
    "train X Fortran order": (lambda e: answers(np.asfortranarray(X)), AS_QUERIES),
    "train X strided": (lambda e: answers(np.repeat(X, 2, axis=1)[:, ::2]), AS_QUERIES),
    "retrain replaces everything": (lambda e: retrained_on_two_features().predict_batch(X[:, :2] * 9), ["new"] * 90),
    "retrain with fewer features": (lambda e: retrained_on_two_features().predict_batch(X), features(6, trained=2)),
    # train: y and scale
    "train y=str": (lambda e: e.train(X, "a" * 90), TYPE),
    "train y=ints": (lambda e: e.train(X, list(range(90))), (TypeError, "^labels must be str or bytes; label 0 is int$")),
    "train y numpy ints": (lambda e: e.train(X, Y[:-1] + [np.int64(3)]), (TypeError, "label 89 is numpy.int64$")),
    "train y lone surrogate": (lambda e: e.train(X, Y[:-1] + ["\ud800"]), (TypeError, "label 89 is a str with a lone")),
    "train y short": (lambda e: e.train(X, Y[:-1]), (ValueError, "y has 89 labels but X has 90 rows")),
    "train y long generator": (lambda e: e.train(X, (s for s in Y * 2)), (ValueError, "y has 180 labels")),
    "train y=generator": (lambda e: answers(y_train=(s for s in Y)), AS_QUERIES),
    "train y empty labels": (lambda e: answers(y_train=[""] * 90), [""] * len(QUERIES)),
    "train scale=str": (lambda e: e.train(X, Y, scale="yes"), TYPE),
    # predict takes one vector
    "predict 1 x 6": (lambda e: e.predict(Q1.reshape(1, 6)), TYPE),
    "predict keyword": (lambda e: e.predict(x=Q1), TYPE),
    "predict empty": (lambda e: e.predict([]), features(0, "x")),
    "predict short": (lambda e: e.predict(Q1[:5]), features(5, "x")),
    "predict long": (lambda e: e.predict(np.append(Q1, 0.0)), features(7, "x")),
    "predict nan": (lambda e: e.predict(with_value([Q1], 0, 4)[0]), non_finite(0, 4, "x")),
    "predict list": (lambda e: e.predict(Q1.tolist()), lambda e: e.predict(Q1)),
    # An untrained engine answers "Unknown" to anything it can convert.
    "untrained predict nan": (lambda e: make_engine().predict([np.nan, np.inf]), "Unknown"),
    "untrained batch nan": (lambda e: make_engine().predict_batch(np.full((2, 3), np.nan)), ["Unknown"] * 2),
    "untrained batch 1-D": (lambda e: make_engine().predict_batch(Q1), ["Unknown"] * 6),
    # predict_batch
    "batch keyword": (lambda e: e.predict_batch(X=QUERIES), TYPE),
    "batch complex, cast warning as error": (lambda e: e.predict_batch(QUERIES + 1j), TYPE),
    "batch 0 x 2 with nan": (lambda e: e.predict_batch(np.full((0, 2), np.nan)), []),
    "batch 1-D is one column": (lambda e: e.predict_batch(Q1), (ValueError, "X must be two-dimensional .* of 6 values")),
    "batch 16 x 7": (lambda e: e.predict_batch(np.hstack([QUERIES, QUERIES[:, :1]])), features(7)),
    "batch nan last": (lambda e: e.predict_batch(with_value(QUERIES, 15, 5)), non_finite(15, 5)),
    "batch first non-finite in row order":
        (lambda e: e.predict_batch(with_value(with_value(QUERIES, 9, 0), 4, 5, -np.inf)), non_finite(4, 5)),
    "batch first non-finite across blocks":
        (lambda e: e.predict_batch(with_value(with_value(np.tile(QUERIES, (20, 1)), 300, 0), 70, 1, np.inf)),
         non_finite(70, 1)),
    "batch float32 first non-finite across blocks":
        (lambda e: e.predict_batch(with_value(np.tile(QUERIES, (20, 1)), 70, 1, np.inf).astype(np.float32)),
         non_finite(70, 1)),
    "batch 1 x 6": (lambda e: e.predict_batch([Q1]), lambda e: [e.predict(Q1)]),
    # predict_batch: layouts that the argument may be viewed in without a copy, and those it may not
    "batch big-endian": (lambda e: e.predict_batch(QUERIES.astype(">f8")), AS_QUERIES),
    "batch Fortran order": (lambda e: e.predict_batch(np.asfortranarray(QUERIES)), AS_QUERIES),
    "batch strided": (lambda e: e.predict_batch(np.repeat(QUERIES, 3, axis=0)[::3]), AS_QUERIES),
    "batch reversed": (lambda e: e.predict_batch(np.ascontiguousarray(QUERIES[::-1, ::-1])[::-1, ::-1]),
                       AS_QUERIES),
    "batch read-only": (lambda e: e.predict_batch(as_strided(QUERIES, writeable=False)), AS_QUERIES),
    "batch misaligned": (lambda e: e.predict_batch(misaligned(QUERIES)), AS_QUERIES),
    "batch odd byte strides": (lambda e: e.predict_batch(odd_strides(QUERIES)), AS_QUERIES),
    "batch broadcast rows": (lambda e: e.predict_batch(np.broadcast_to(Q1, (9, 6))), lambda e: [e.predict(Q1)] * 9),
    # Finite queries beyond what double precision measures: refused, or at distance inf, never 0.
    "batch projection overflows": (lambda e: e.predict_batch([Q1, overflowing(e)]),
                                   (ValueError, "X row 1 spans too wide a range of values")),
    "predict projection overflows": (lambda e: e.predict(overflowing(e)), (ValueError, "x row 0 spans too wide")),
    "kneighbors projection overflows": (lambda e: e.kneighbors([overflowing(e)], 3), (ValueError, "X row 0 spans")),
    "kneighbors distances beyond range": (lambda e: [a.tolist() for a in e.kneighbors(np.full((1, 6), 1e200), 3)],
                                          [[[np.inf] * 3], [[0, 1, 2]]]),
    "kneighbors k=2**31-1": (lambda e: e.kneighbors(QUERIES, 2**31 - 1), (ValueError, "k is 2147483647, but")),
    "untrained kneighbors k=2**31-1": (lambda e: make_engine().kneighbors(QUERIES, 2**31 - 1),
                                       (ValueError, "needs a trained engine")),
    "batch broadcast columns": (lambda e: e.predict_batch(np.broadcast_to(QUERIES[:, 2:3], (16, 6))),
                                lambda e: e.predict_batch(np.repeat(QUERIES[:, 2:3], 6, axis=1))),
}


# Each row raises or gives a defined answer, prints nothing (every successful train here
# goes through train_counting, so a refused train must not have printed) and leaves the
# trained engine answering exactly as before.
@pytest.mark.parametrize("call, expect", ROWS.values(), ids=ROWS.keys())
def test_entry_point_answers_or_refuses(call, expect, capfd):
    engine = make_engine()
    train_counting(engine, X, Y, False)
    before = engine.predict_batch(QUERIES), engine.n_components
    if isinstance(expect, tuple):
        with pytest.raises(expect[0], match=expect[1]):
            call(engine)
    else:
        assert call(engine) == (expect(engine) if callable(expect) else expect)
    assert (engine.predict_batch(QUERIES), engine.n_components) == before
    assert capfd.readouterr().out == ""
