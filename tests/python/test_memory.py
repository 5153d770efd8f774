"""Training, predicting and saving over and over, refusals included, must not grow the process."""

import gc
import pickle

import numpy as np
import psutil
import pytest

from reference import make_engine

RNG = np.random.default_rng(0)
X = RNG.normal(size=(400, 50))
# Long labels make a leaked copy of the label list cost hundreds of kB per round.
Y = [f"{'label' * 200} {i % 7}" for i in range(400)]
QUERIES = RNG.normal(size=(300, 50))


def one_round(i):
    engine = make_engine(1 + i % 9, (0.9, 5.0, 0.99)[i % 3])
    engine.train(X, Y, scale=i % 2 == 1)
    engine.predict_batch(QUERIES)
    engine.predict(QUERIES[i % len(QUERIES)])
    pickle.loads(pickle.dumps(engine)).predict_batch(QUERIES[:10])
    for refused in (lambda: engine.train(X, Y[:-1]), lambda: engine.train(None, Y),
                    lambda: engine.predict_batch(np.where(QUERIES > 2.0, np.inf, QUERIES)),
                    lambda: engine.predict(QUERIES[0, :-1])):
        with pytest.raises((TypeError, ValueError)):
            refused()


def resident_mb():
    gc.collect()
    return psutil.Process().memory_info().rss / 2**20


def test_repeated_use_does_not_grow_resident_memory(capfd):
    for i in range(30):
        one_round(i)
    settled = resident_mb()
    for i in range(30, 180):
        one_round(i)
    assert resident_mb() - settled < 4.0
