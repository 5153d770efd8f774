"""Inputs that once crashed the process or trained a silently wrong model."""

import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvane import KNNEngine
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
    assert all(np.isfinite(np.frombuffer(b, "<f8")).all() for b in e.__getstate__()[7:11])


def test_range_too_wide_for_double_is_refused():
    e = engine(1, 2.0)
    with pytest.raises(ValueError, match="too wide a range"):
        e.train([[-1.7e308], [1.7e308], [1.7e308]], list("abc"))
    assert e.predict([1.0]) == "Unknown"


@pytest.fixture(scope="module")
def state():
    e = engine(k=3, variance=0.9)
    train_counting(e, WIDE[:, :4], list("ppppp" "qqqqq"), True)
    return e.__getstate__()


FIELDS = ["version", "k", "variance", "d", "c", "n", "order", "mean", "scale", "components", "reference", "labels"]


def replaced(state, **changes):
    s = list(state)
    for key, value in changes.items():
        s[FIELDS.index(key)] = value
    return tuple(s)


def filled(state, field, value, at=None):
    """The doubles of `field`, all `value` or only the one at index `at`."""
    a = np.frombuffer(state[FIELDS.index(field)], "<f8").copy()
    a[slice(None) if at is None else at] = value
    return {field: a.astype("<f8").tobytes()}


@pytest.mark.parametrize("changes, message", [
    (lambda s: {"d": 2**31 - 1}, "mean holds 32 bytes, expected 2147483647 doubles"),
    (lambda s: {"d": 2**31 - 1, "c": 2**31 - 1}, "expected 2147483647 doubles"),
    (lambda s: {"c": 2**31 - 1}, "components holds"),
    (lambda s: {"n": 2**31 - 1}, "reference holds"),
    (lambda s: {"d": 2**31}, "out of range"),
    (lambda s: filled(s, "mean", np.nan, 0), "mean holds NaN"),
    (lambda s: filled(s, "reference", np.inf, 5), "reference holds NaN or infinity"),
    (lambda s: filled(s, "components", -np.inf, 2), "components holds NaN"),
    (lambda s: filled(s, "scale", 0.0, 1), "not positive"),
    (lambda s: filled(s, "scale", -2.0, 1), "not positive"),
    (lambda s: filled(s, "reference", 1e200), "overflow"),
    (lambda s: {"order": "="}, "byte order"),
])
def test_damaged_states_are_refused_before_allocating(state, changes, message):
    # Claimed sizes are checked against the bytes before anything that large
    # is allocated: MemoryError here would mean the check came too late.
    e = KNNEngine.__new__(KNNEngine)
    with pytest.raises(ValueError, match=message):
        e.__setstate__(replaced(state, **changes(state)))


def test_big_endian_state_loads_alike(state):
    big = {f: np.frombuffer(state[FIELDS.index(f)], "<f8").astype(">f8").tobytes()
           for f in ("mean", "scale", "components", "reference")}
    e, saved = KNNEngine.__new__(KNNEngine), KNNEngine.__new__(KNNEngine)
    e.__setstate__(replaced(state, order=">", **big))
    saved.__setstate__(state)
    assert e.__getstate__() == state
    assert e.predict_batch(WIDE[:, :4]) == saved.predict_batch(WIDE[:, :4])
    # The first layout had no byte-order field and held this machine's order.
    legacy = KNNEngine.__new__(KNNEngine)
    legacy.__setstate__((1,) + state[1:6] + state[7:])
    assert legacy.__getstate__() == state


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
