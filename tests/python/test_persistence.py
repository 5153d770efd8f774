"""Saving and loading engines: exact round trips, labels byte for byte, refusal of damaged states."""

import copy
import math
import pickle
import threading

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


FIELDS = ["version", "k", "variance", "d", "c", "n", "order", "mean", "scale", "components", "reference", "labels"]


def changed(state, **fields):
    return tuple(fields.get(name, value) for name, value in zip(FIELDS, state))


def doubles(state, field, value, at=None):
    """`field` with all its doubles, or only the one at `at`, set to `value`."""
    a = np.frombuffer(state[FIELDS.index(field)], "<f8").copy()
    a[slice(None) if at is None else at] = value
    return changed(state, **{field: a.tobytes()})


# One row per check the loader makes. Claimed sizes are checked against the bytes
# carried before anything that large is allocated: MemoryError would mean too late.
CORRUPTIONS = {
    "empty tuple": (lambda s: (), "empty"),
    "unknown version": (lambda s: changed(s, version=99), "unknown version 99"),
    "version of wrong type": (lambda s: changed(s, version="1"), "wrong type"),
    "truncated tuple": (lambda s: s[:7], "7 fields, expected 12"),
    "k out of range": (lambda s: changed(s, k=2**40), "k has the wrong type"),
    "negative size": (lambda s: changed(s, n=-1), "out of range: -1"),
    "size beyond 32 bits": (lambda s: changed(s, d=2**31), "out of range"),
    "sample count off by one": (lambda s: changed(s, n=s[5] - 1), "reference holds"),
    "scale truncated": (lambda s: changed(s, scale=s[8][:-8]), "scale holds"),
    "components padded": (lambda s: changed(s, components=s[9] + b"\0" * 8), "components holds"),
    "huge feature count": (lambda s: changed(s, d=2**31 - 1), r"mean holds \d+ bytes, expected 2147483647 doubles"),
    "sizes whose product passes 64 bits": (lambda s: changed(s, d=2**31 - 1, c=2**31 - 1), "expected 2147483647"),
    "huge component count": (lambda s: changed(s, c=2**31 - 1), "components holds"),
    "huge sample count": (lambda s: changed(s, n=2**31 - 1), "reference holds"),
    "NaN mean": (lambda s: doubles(s, "mean", np.nan, 0), "mean holds NaN"),
    "infinite reference": (lambda s: doubles(s, "reference", np.inf, 5), "reference holds NaN or infinity"),
    "infinite component": (lambda s: doubles(s, "components", -np.inf, 2), "components holds NaN"),
    "zero divisor": (lambda s: doubles(s, "scale", 0.0, 1), "not positive"),
    "negative divisor": (lambda s: doubles(s, "scale", -2.0, 1), "not positive"),
    "reference whose norms overflow": (lambda s: doubles(s, "reference", 1e200), "overflow"),
    "unknown byte order": (lambda s: changed(s, order="="), "byte order"),
    "labels missing": (lambda s: changed(s, labels=s[11][:-1]), "labels for"),
    "label of wrong type": (lambda s: changed(s, labels=s[11][:-1] + ["str"]), "not bytes"),
    "labels as a huge range": (lambda s: changed(s, labels=range(10**9)), "labels must be a list of bytes, got range"),
    "labels None": (lambda s: changed(s, labels=None), "got NoneType"),
    "untrained with samples": (lambda s: changed(s, d=0, mean=b"", scale=b"", components=b""), ""),
}


@pytest.mark.parametrize("damage, message", CORRUPTIONS.values(), ids=CORRUPTIONS.keys())
def test_damaged_state_is_refused(trained, damage, message):
    state = trained.__getstate__()
    expected = trained.predict_batch(QUERIES)
    for engine in (KNNEngine.__new__(KNNEngine), trained):  # a live engine keeps its model
        with pytest.raises(ValueError, match="invalid quorvane state: .*" + message):
            engine.__setstate__(damage(state))
    assert trained.predict_batch(QUERIES) == expected


def test_setstate_replaces_a_live_model_at_once(trained):
    other = make_engine(1, 2.0)
    train_counting(other, QUERIES, [str(i % 4) for i in range(len(QUERIES))], False)
    states = [trained.__getstate__(), other.__getstate__()]
    answers = [trained.predict_batch(QUERIES), other.predict_batch(QUERIES)]
    live, seen, done = make_engine(), [], threading.Event()
    worker = threading.Thread(target=lambda: [seen.append(live.predict_batch(QUERIES)) for _ in iter(done.is_set, True)])
    worker.start()
    for i in range(40):
        live.__setstate__(states[i % 2])
        assert live.__getstate__() == states[i % 2]
    done.set()
    worker.join()
    # Each batch answered wholly from one of the models, never from parts of both.
    assert seen and all(labels in answers + [["Unknown"] * len(QUERIES)] for labels in seen)
    config = KNNConfig()
    config.__setstate__((7, 0.5))
    assert (config.k, config.variance) == (7, 0.5)


def test_big_endian_and_first_layout_states_load_alike(trained):
    state = trained.__getstate__()
    big = {f: np.frombuffer(state[FIELDS.index(f)], "<f8").astype(">f8").tobytes()
           for f in ("mean", "scale", "components", "reference")}
    # The first layout had no byte-order field and held the saving machine's order.
    for loadable in (changed(state, order=">", **big), (1,) + state[1:6] + state[7:]):
        engine = KNNEngine.__new__(KNNEngine)
        engine.__setstate__(loadable)
        assert engine.__getstate__() == state
        assert engine.predict_batch(QUERIES) == trained.predict_batch(QUERIES)
