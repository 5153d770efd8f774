"""predict_batch gives the same labels for any OpenMP team size (odd ones too) and any batch split."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

from quorvane import KNNConfig, KNNEngine
from reference import train_counting


def tied_problem(seed, distinct, copies, d, queries):
    """Samples repeated with different labels on a coarse grid: exact distance ties
    everywhere, so only the (distance, index) order makes the answer unique."""
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

SCRIPT = """
import json, sys
sys.path.insert(0, {here!r})
from quorvane import KNNConfig, KNNEngine
from test_determinism import CASES, tied_problem
answers = {{}}
for name, (shape, k, variance, scale) in CASES.items():
    X, y, Q = tied_problem(**shape)
    config = KNNConfig()
    config.k, config.variance = k, variance
    engine = KNNEngine(config)
    engine.train(X, y, scale=scale)
    answers[name] = engine.predict_batch(Q)
with open(sys.argv[1], "w") as out:
    json.dump(answers, out)
"""


def engine_for(name):
    shape, k, variance, scale = CASES[name]
    X, y, Q = tied_problem(**shape)
    config = KNNConfig()
    config.k, config.variance = k, variance
    engine = KNNEngine(config)
    train_counting(engine, X, y, scale)
    return engine, Q


@pytest.fixture(scope="module")
def engines():
    return {name: engine_for(name) for name in CASES}


def test_any_team_size_gives_the_same_labels(engines, tmp_path):
    script = SCRIPT.format(here=os.path.dirname(os.path.abspath(__file__)))
    results = {}
    for threads in ("1", "2", "3", "4"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        path = tmp_path / f"{threads}.json"
        # Run outside the source tree, whose quorvane/ has no compiled _core.
        run = subprocess.run([sys.executable, "-c", script, str(path)], env=env, capture_output=True,
                             text=True, timeout=300, cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        results[threads] = json.loads(path.read_text())
    # This process runs with its default team, which training in it also used.
    here = {name: engine.predict_batch(Q) for name, (engine, Q) in engines.items()}
    for name in CASES:
        assert len(set(here[name])) > 1
        for threads, answers in results.items():
            assert answers[name] == here[name], (name, threads)


@pytest.mark.parametrize("name", CASES)
@pytest.mark.parametrize("size", [1, 2, 7, 63, 64, 65, 129, 1000])
def test_any_batch_split_gives_the_same_labels(engines, name, size):
    engine, Q = engines[name]
    Q = Q[: min(3000, 300 * size)]  # tiny splits mean many calls; fewer rows keep them quick
    whole = engine.predict_batch(Q)
    split = []
    for first in range(0, len(Q), size):
        split += engine.predict_batch(Q[first:first + size])
    assert split == whole


@pytest.mark.parametrize("name", CASES)
def test_uneven_splits_and_single_predictions_agree_with_the_whole(engines, name):
    engine, Q = engines[name]
    Q = Q[:2000]
    whole = engine.predict_batch(Q)
    cuts = np.sort(np.random.default_rng(3).choice(np.arange(1, len(Q)), size=40, replace=False))
    split = []
    for part in np.split(Q, cuts):
        split += engine.predict_batch(part)
    assert split == whole
    assert [engine.predict(x) for x in Q[:500]] == whole[:500]
    assert [engine.predict_batch([x])[0] for x in Q[:500]] == whole[:500]
