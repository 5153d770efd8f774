"""Training, predicting and saving over and over, refusals included, must not grow the process."""

import gc
import pickle

import numpy as np
import psutil

from quorvane import KNNConfig, KNNEngine

RNG = np.random.default_rng(0)
X = RNG.normal(size=(400, 50))
X_THIN = RNG.normal(size=(60, 120))
# Long labels make a leaked copy of the label list cost hundreds of kB per round.
Y = [f"{'label' * 200} {i % 7}" for i in range(400)]
QUERIES = RNG.normal(size=(300, 50))
WARM_UP, ROUNDS = 40, 300
BOUND_MB = 4.0


def refusals(engine):
    yield lambda: engine.train(X, Y[:-1])
    yield lambda: engine.train(np.full((3, 50), np.nan), Y[:3])
    yield lambda: engine.train(None, Y[:3])
    yield lambda: engine.predict_batch(QUERIES[:, :7])
    yield lambda: engine.predict_batch(np.where(QUERIES > 2.0, np.inf, QUERIES))
    yield lambda: engine.predict(QUERIES[0, :-1])
    yield lambda: engine.predict(QUERIES[:2])


def one_round(i):
    config = KNNConfig()
    config.k, config.variance = 1 + i % 9, (0.9, 5.0, 0.99)[i % 3]
    engine = KNNEngine(config)
    engine.train(X, Y, scale=i % 2 == 1)
    engine.predict_batch(QUERIES)
    engine.predict(QUERIES[i % len(QUERIES)])
    pickle.loads(pickle.dumps(engine)).predict_batch(QUERIES[:10])
    for refused in refusals(engine):
        try:
            refused()
        except (TypeError, ValueError):
            pass
    thin = KNNEngine(config)
    thin.train(X_THIN, Y[:60])
    thin.predict_batch(X_THIN)
    # A label that is not UTF-8 fails only on its way back to Python.
    broken = KNNEngine(config)
    broken.train(X[:5], [b"\xff" + label.encode() for label in Y[:5]])
    try:
        broken.predict_batch(QUERIES[:3])
    except UnicodeDecodeError:
        pass


def resident_mb():
    gc.collect()
    return psutil.Process().memory_info().rss / 2**20


def test_repeated_use_does_not_grow_resident_memory():
    for i in range(WARM_UP):
        one_round(i)
    settled = resident_mb()
    for i in range(WARM_UP, WARM_UP + ROUNDS):
        one_round(i)
    assert resident_mb() - settled < BOUND_MB
