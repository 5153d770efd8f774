"""Inputs that once crashed the process or trained a silently wrong model."""

import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from reference import make_engine as engine, train_counting


def answers(X, y, queries, scale, k=1, variance=2.0):
    e = engine(k, variance)
    train_counting(e, X, y, scale)
    return e.predict_batch(queries)


@pytest.mark.parametrize("statement", [
    "KNNEngine.__new__(KNNEngine).n_components",
    "KNNEngine.__new__(KNNEngine).train(np.ones((4, 2)), list('abcd'))",
    "KNNEngine.__new__(KNNEngine).predict([1.0])",
    "KNNEngine.__new__(KNNEngine).predict_batch([[1.0]])",
    "KNNEngine.__new__(KNNEngine).__getstate__()",
    "KNNConfig.__new__(KNNConfig).k",
    "KNNEngine(KNNConfig.__new__(KNNConfig))",
])
def test_uninitialised_instances_raise_type_error(statement):
    # In a child process: the failure this guards against is a crash.
    code = textwrap.dedent(f"""
        import numpy as np
        from quorvane import KNNConfig, KNNEngine
        try:
            {statement}
        except TypeError as e:
            assert "not initialised" in str(e)
        else:
            raise SystemExit("no TypeError")
    """)
    run = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr


SQUARE = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [5.0, 5.0]])
rng = np.random.default_rng(3)
# Two clear clusters, 10 samples of 50 features: a thin fit.
WIDE = np.vstack([rng.normal(0, 1, (5, 50)), rng.normal(6, 1, (5, 50))])
# The second feature alone separates the classes, on a scale far below 1e-9.
TINY = np.column_stack([rng.normal(0, 1, 20), np.repeat([1e-10, 2e-10], 10) + rng.normal(0, 1e-12, 20)])
DATA = {
    "square": (SQUARE, list("abcd"), 2.0),
    "wide": (WIDE, list("ppppp" "qqqqq"), 0.95),
    "tiny": (TINY, ["u"] * 10 + ["v"] * 10, 2.0),
}


@pytest.mark.parametrize("name", sorted(DATA))
@pytest.mark.parametrize("scale", [False, True])
@pytest.mark.parametrize("factor", [2.0**-40, 2.0**40, 1e-300, 1e-200, 1e-12, 1e152, 1e154, 1e200, 2.0**1019])
def test_labels_do_not_depend_on_the_unit(name, scale, factor):
    # Overflowing squares once trained a NaN model, and absolute guards
    # dropped every axis or feature of data measured in small units.
    X, y, variance = DATA[name]
    expected = answers(X, y, X, scale, variance=variance)
    if name == "tiny" and scale:
        assert expected == y
    e = engine(1, variance)
    train_counting(e, X * factor, y, scale)
    assert e.predict_batch(X * factor) == expected
    assert all(np.isfinite(a).all() for a in (e.mean, e.feature_scale, e.components, e.transform(X * factor)))


INTEGERS = np.random.default_rng(0).integers(-2, 3, size=(32, 3)).astype(float)


# Exact distance ties and exact variance shares are decided by the last bits:
# data in another unit must take the same path through the fit, so that every
# bit scales with them.
@pytest.mark.parametrize("X, queries", [
    (np.array([[2.0, 2.0], [0.0, 2.0], [2.0, 0.0]]), np.array([[1.0, 1.0]])),
    (INTEGERS[:12], INTEGERS[12:]),
])
@pytest.mark.parametrize("scale", [False, True])
def test_ties_do_not_depend_on_the_unit(X, queries, scale):
    y = [str(i % 3) for i in range(len(X))]

    def fitted(factor):
        e = engine(3, 0.9)
        train_counting(e, X * factor, y, scale)
        return e.n_components, e.predict_batch(queries * factor), e.kneighbors(queries * factor, 3)[1].tolist()

    assert fitted(2.0**-450) == fitted(1.0) == fitted(2.0**450)


# Scaling gives every feature unit variance, however far its size is from the
# rest: in one shared unit, the squares of a feature 1e300 times smaller than
# another underflowed and it was left unscaled.
@pytest.mark.parametrize("sizes", [(1e150, 1e-150), (2.0**400, 2.0**-600), (1.0, 1e-300)])
def test_scaling_reaches_features_of_any_size(sizes):
    X, y, _ = DATA["tiny"]
    centres = np.array([[0.0, 1e-10], [0.0, 2e-10]])  # one per class, off the training rows
    assert answers(X * sizes, y, centres * sizes, True, k=5) == ["u", "v"]


# A feature far from zero whose spread is 3e5 units in its last place is signal: only a
# deviation within the mean's own rounding marks a constant feature.
@pytest.mark.parametrize("offset", [2.0**39, 5.5e5, 1e12, 1e15])
def test_small_spread_far_from_zero_is_kept(offset):
    X, y, _ = DATA["tiny"]
    centres = np.array([[0.0, 1e-10], [0.0, 2e-10]])  # one per class, off the training rows

    def placed(a):  # the second feature moved to `offset`, its classes 3e5 units in the last place apart
        b = offset + (a[:, 1] - 1.5e-10) / 1e-10 * 3e5 * np.spacing(offset)
        return np.column_stack([a[:, 0], b, np.full(len(a), offset)])

    e = engine(5, 2.0)
    train_counting(e, placed(X), y, True)
    assert e.predict_batch(placed(centres)) == ["u", "v"]
    # The second feature is divided by its deviation; the constant third keeps the unit divisor.
    divisors = e.feature_scale
    np.testing.assert_allclose(divisors[1], np.std(placed(X)[:, 1], ddof=1), rtol=1e-3)
    assert divisors[2] == 1.0


def test_range_too_wide_for_double_is_refused():
    e = engine(1, 2.0)
    with pytest.raises(ValueError, match="too wide a range"):
        e.train([[-1.7e308], [1.7e308], [1.7e308]], list("abc"))
    assert e.predict([1.0]) == "Unknown"


def test_forked_child_answers_batches():
    e = engine(k=3, variance=0.95)
    X = np.random.default_rng(1).normal(size=(4000, 20))
    train_counting(e, X, [str(i % 3) for i in range(4000)], False)
    before = e.predict_batch(X)  # the parent's OpenMP team now exists
    code = textwrap.dedent("""
        import os, pickle, sys
        e, X, before = pickle.load(sys.stdin.buffer)
        e.predict_batch(X)
        pid = os.fork()
        if pid == 0:
            os._exit(0 if e.predict_batch(X) == before else 3)
        sys.exit(os.waitpid(pid, 0)[1] >> 8)
    """)
    run = subprocess.run([sys.executable, "-P", "-W", "ignore", "-c", code], input=pickle.dumps((e, X, before)),
                         capture_output=True, timeout=120)
    assert run.returncode == 0, run.stderr
