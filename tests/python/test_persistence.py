"""Saving and loading engines: exact round trips and refusal of damaged states."""

import copy
import pickle

import numpy as np
import pytest

from quorvane import KNNConfig, KNNEngine


@pytest.fixture
def trained(blobs):
    X, y = blobs
    cfg = KNNConfig()
    cfg.k = 5
    cfg.variance = 0.9
    engine = KNNEngine(cfg)
    engine.train(X, y, scale=True)
    return engine


@pytest.fixture
def queries():
    return np.random.default_rng(8).normal(scale=8.0, size=(300, 6))


def test_round_trip_answers_bit_identically(trained, queries):
    expected = trained.predict_batch(queries)
    for restored in (pickle.loads(pickle.dumps(trained)), copy.deepcopy(trained), copy.copy(trained)):
        assert restored.predict_batch(queries) == expected
        assert [restored.predict(q) for q in queries[:20]] == expected[:20]
        assert restored.n_components == trained.n_components
        assert restored.__getstate__() == trained.__getstate__()
    # The restored engine keeps k and variance: retraining gives the same model.
    X, y = np.random.default_rng(1).normal(size=(50, 6)), [str(i % 4) for i in range(50)]
    restored = pickle.loads(pickle.dumps(trained))
    trained.train(X, y)
    restored.train(X, y)
    assert restored.predict_batch(queries) == trained.predict_batch(queries)


def test_untrained_engine_and_config_round_trip():
    engine = pickle.loads(pickle.dumps(KNNEngine(KNNConfig())))
    assert engine.n_components == 0
    assert engine.predict([1.0, 2.0]) == "Unknown"
    cfg = KNNConfig()
    cfg.k, cfg.variance = -4, float("nan")
    back = pickle.loads(pickle.dumps(cfg))
    assert back.k == -4 and np.isnan(back.variance)


def test_labels_survive_byte_for_byte():
    cfg = KNNConfig()
    cfg.k = 1
    engine = KNNEngine(cfg)
    engine.train([[0.0], [10.0]], [b"\xff raw", "n\u00e4me"])
    restored = pickle.loads(pickle.dumps(engine))
    assert restored.predict([10.0]) == "n\u00e4me"
    with pytest.raises(UnicodeDecodeError):
        restored.predict([0.0])


def test_n_components_is_read_only(trained):
    assert trained.n_components >= 1
    with pytest.raises(AttributeError):
        trained.n_components = 3


def _replace(state, index, value):
    return state[:index] + (value,) + state[index + 1 :]


CORRUPTIONS = {
    "unknown version": lambda s: _replace(s, 0, 99),
    "version of wrong type": lambda s: _replace(s, 0, "1"),
    "truncated tuple": lambda s: s[:7],
    "extra field": lambda s: s + (0,),
    "empty tuple": lambda s: (),
    "feature count off by one": lambda s: _replace(s, 3, s[3] + 1),
    "component count off by one": lambda s: _replace(s, 4, s[4] + 1),
    "sample count off by one": lambda s: _replace(s, 5, s[5] - 1),
    "negative size": lambda s: _replace(s, 5, -1),
    "huge size": lambda s: _replace(s, 4, 2**62),
    "mean truncated": lambda s: _replace(s, 7, s[7][:-1]),
    "scale truncated": lambda s: _replace(s, 8, s[8][:-8]),
    "components padded": lambda s: _replace(s, 9, s[9] + b"\0" * 8),
    "reference truncated": lambda s: _replace(s, 10, s[10][: len(s[10]) // 2]),
    "reference of wrong type": lambda s: _replace(s, 10, list(s[10])),
    "labels missing": lambda s: _replace(s, 11, s[11][:-1]),
    "label of wrong type": lambda s: _replace(s, 11, s[11][:-1] + ["str"]),
    "k out of range": lambda s: _replace(s, 1, 2**40),
    "untrained with samples": lambda s: _replace(_replace(_replace(_replace(s, 3, 0), 7, b""), 8, b""), 9, b""),
}


@pytest.mark.parametrize("damage", CORRUPTIONS.values(), ids=CORRUPTIONS.keys())
def test_damaged_state_is_refused(trained, queries, damage):
    state = trained.__getstate__()
    expected = trained.predict_batch(queries)
    engine = KNNEngine.__new__(KNNEngine)
    with pytest.raises(ValueError, match="invalid quorvane state"):
        engine.__setstate__(damage(state))
    assert trained.predict_batch(queries) == expected


def test_damaged_pickle_bytes_never_crash(trained, queries):
    blob = pickle.dumps(trained)
    rng = np.random.default_rng(3)
    for cut in sorted(set(rng.integers(1, len(blob), size=40))):
        with pytest.raises(Exception):
            pickle.loads(blob[:cut])
    # Flipped bytes inside a double only change numbers; the engine still answers.
    damaged = bytearray(blob)
    damaged[len(blob) // 2] ^= 0xFF
    try:
        engine = pickle.loads(bytes(damaged))
    except Exception:
        return
    assert len(engine.predict_batch(queries)) == len(queries)
