"""predict_batch gives the same labels for any OpenMP team size (odd ones too) and any batch split."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

from reference import make_engine, train_counting


# Samples repeated with different labels on a coarse grid: exact distance ties
# everywhere, so only the (distance, index) order makes the answer unique.
def tied_problem(seed, distinct, copies, d, queries):
    rng = np.random.default_rng(seed)
    pool = rng.integers(-3, 4, size=(distinct, d)) * rng.uniform(0.5, 3.0, size=d)
    X = np.repeat(pool, copies, axis=0)[rng.permutation(distinct * copies)]
    y = [f"class {v}" for v in rng.integers(0, 5, size=len(X))]
    Q = np.vstack([X[: queries // 4], rng.integers(-3, 4, size=(queries - queries // 4, d)) * 1.5])
    return X, y, Q


# (training shape as distinct x copies x features, queries, k, variance, scale):
# a standard fit and a thin one with more features than samples.
CASES = {
    "standard": (dict(seed=1, distinct=1250, copies=4, d=30, queries=20_000), 5, 0.9, True),
    "thin": (dict(seed=2, distinct=100, copies=3, d=700, queries=2_000), 4, 0.99, False),
}


def engine_for(name):
    shape, k, variance, scale = CASES[name]
    X, y, Q = tied_problem(**shape)
    engine = make_engine(k, variance)
    train_counting(engine, X, y, scale)
    return engine, Q


def labels(engines):
    return {name: engine.predict_batch(Q) for name, (engine, Q) in engines.items()}


@pytest.fixture(scope="module")
def engines():
    return {name: engine_for(name) for name in CASES}


def test_any_team_size_gives_the_same_labels(engines):
    # Trained and asked afresh in a process per team size; this one runs its default team.
    script = f"import json, sys; sys.path.insert(0, {os.path.dirname(__file__)!r}); " \
             "from test_determinism import CASES, engine_for, labels; " \
             "print(json.dumps(labels({name: engine_for(name) for name in CASES})))"
    here = labels(engines)
    assert all(len(set(labels)) > 1 for labels in here.values())
    for threads in ("1", "2", "3", "4"):
        run = subprocess.run([sys.executable, "-P", "-c", script], env=dict(os.environ, OMP_NUM_THREADS=threads),
                             capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout) == here, threads


@pytest.mark.parametrize("name", CASES)
def test_any_batch_split_gives_the_same_labels(engines, name):
    engine, Q = engines[name]
    Q = Q[:1000]  # tiny splits mean many calls
    whole = engine.predict_batch(Q)
    # Splits about the engine's 64-row blocks, and uneven ones.
    uneven = np.sort(np.random.default_rng(3).choice(np.arange(1, len(Q)), size=40, replace=False))
    for cuts in [np.arange(size, len(Q), size) for size in (2, 7, 63, 64, 65, 129)] + [uneven]:
        assert sum((engine.predict_batch(part) for part in np.split(Q, cuts)), []) == whole, cuts[0]
    assert [engine.predict(x) for x in Q[:500]] == whole[:500]
