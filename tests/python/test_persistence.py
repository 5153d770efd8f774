"""Saving and loading engines: exact round trips, labels byte for byte, refusal of damaged states."""

import copy
import math
import pickle

import numpy as np
import pytest

from quorvane import KNNConfig, KNNEngine
from reference import blobs, make_engine, train_counting

QUERIES = np.random.default_rng(8).normal(scale=8.0, size=(300, 6))


@pytest.fixture
def trained():
    engine = make_engine(5, 0.9)
    train_counting(engine, *blobs(5)[:2], True)
    return engine


def test_round_trip_answers_bit_identically(trained):
    expected = trained.predict_batch(QUERIES)
    for restored in (pickle.loads(pickle.dumps(trained)), copy.deepcopy(trained), copy.copy(trained)):
        assert restored.predict_batch(QUERIES) == expected
        assert restored.n_components == trained.n_components
        assert restored.__getstate__() == trained.__getstate__()
    untrained = pickle.loads(pickle.dumps(KNNEngine(KNNConfig())))
    assert (untrained.n_components, untrained.predict([1.0, 2.0])) == (0, "Unknown")
    config = KNNConfig()
    config.k, config.variance = -4, math.nan
    config = pickle.loads(pickle.dumps(config))
    assert config.k == -4 and math.isnan(config.variance)


def test_labels_come_back_byte_for_byte():
    X = np.arange(6.0)[:, None] * 10
    labels = ["héllo wörld", "日本語", b"raw bytes", bytearray(b"\xf0\x9f\x90\x8d"), "", b"\xff raw"]
    engine = make_engine(1)
    train_counting(engine, X, labels, False)
    for answering in (engine, pickle.loads(pickle.dumps(engine))):
        assert answering.predict_batch(X[:5]) == ["héllo wörld", "日本語", "raw bytes", "🐍", ""]
        with pytest.raises(UnicodeDecodeError):  # stored as given; only the way back decodes
            answering.predict(X[5])


def _replace(state, index, value):
    return state[:index] + (value,) + state[index + 1 :]


# One row per check the loader makes.
CORRUPTIONS = {
    "empty tuple": lambda s: (),
    "unknown version": lambda s: _replace(s, 0, 99),
    "version of wrong type": lambda s: _replace(s, 0, "1"),
    "truncated tuple": lambda s: s[:7],
    "k out of range": lambda s: _replace(s, 1, 2**40),
    "negative size": lambda s: _replace(s, 5, -1),
    "sample count off by one": lambda s: _replace(s, 5, s[5] - 1),
    "scale truncated": lambda s: _replace(s, 8, s[8][:-8]),
    "components padded": lambda s: _replace(s, 9, s[9] + b"\0" * 8),
    "labels missing": lambda s: _replace(s, 11, s[11][:-1]),
    "label of wrong type": lambda s: _replace(s, 11, s[11][:-1] + ["str"]),
    "untrained with samples": lambda s: _replace(_replace(_replace(_replace(s, 3, 0), 7, b""), 8, b""), 9, b""),
}


@pytest.mark.parametrize("damage", CORRUPTIONS.values(), ids=CORRUPTIONS.keys())
def test_damaged_state_is_refused(trained, damage):
    state = trained.__getstate__()
    expected = trained.predict_batch(QUERIES)
    engine = KNNEngine.__new__(KNNEngine)
    with pytest.raises(ValueError, match="invalid quorvane state"):
        engine.__setstate__(damage(state))
    assert trained.predict_batch(QUERIES) == expected
