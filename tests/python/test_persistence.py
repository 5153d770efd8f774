"""Saving and loading engines: exact round trips through pickles and model files, labels byte for
byte, and refusal of damaged states and files, whatever their checksums say."""

import copy
import math
import pickle
import threading

import numpy as np
import pytest

import quorvane
from quorvane import KNNConfig, KNNEngine
from reference import blobs, make_engine, train_counting

QUERIES = np.random.default_rng(8).normal(scale=8.0, size=(300, 6))
X_TRAIN, Y_TRAIN = blobs(5)[:2]


@pytest.fixture
def trained():
    engine = make_engine(5, 0.9)
    train_counting(engine, X_TRAIN, Y_TRAIN, True)
    return engine


def answers(engine):
    distances, indices = engine.kneighbors(QUERIES, 7)
    return engine.predict_batch(QUERIES), distances.tobytes(), indices.tolist(), engine.transform(QUERIES).tobytes()


def test_round_trip_answers_bit_identically(trained):
    expected = trained.predict_batch(QUERIES)
    for restored in (pickle.loads(pickle.dumps(trained)), copy.deepcopy(trained), copy.copy(trained)):
        assert answers(restored) == answers(trained)
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


def legacy_state(engine, version=2):
    """The tuple that 0.1 (version 1) and the first half of 0.2 (version 2) pickled, from what
    the engine shows: its stored rows are the training rows as transform projects them."""
    d, c = engine.components.shape
    head = [version, 5, 0.9, d, c, len(X_TRAIN)] + (["<"] if version == 2 else [])
    values = [engine.mean, engine.feature_scale, engine.components.T, engine.transform(X_TRAIN)]
    return tuple(head + [np.ascontiguousarray(v, "<f8").tobytes() for v in values] + [[y.encode() for y in Y_TRAIN]])


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
    state = legacy_state(trained)
    expected = trained.predict_batch(QUERIES)
    for engine in (KNNEngine.__new__(KNNEngine), trained):  # a live engine keeps its model
        with pytest.raises(ValueError, match="invalid quorvane state: .*" + message):
            engine.__setstate__(damage(state))
    assert trained.predict_batch(QUERIES) == expected


def test_setstate_replaces_a_live_model_at_once(trained):
    other = make_engine(1, 2.0)
    train_counting(other, QUERIES, [str(i % 4) for i in range(len(QUERIES))], False)
    states = [legacy_state(trained), other.__getstate__()]  # both layouts load into a live engine
    expected = [trained.predict_batch(QUERIES), other.predict_batch(QUERIES)]
    live, seen, done = make_engine(), [], threading.Event()
    worker = threading.Thread(target=lambda: [seen.append(live.predict_batch(QUERIES)) for _ in iter(done.is_set, True)])
    worker.start()
    for i in range(40):
        live.__setstate__(states[i % 2])
        assert live.predict_batch(QUERIES) == expected[i % 2]
    done.set()
    worker.join()
    # Each batch answered wholly from one of the models, never from parts of both.
    assert seen and all(labels in expected + [["Unknown"] * len(QUERIES)] for labels in seen)
    config = KNNConfig()
    config.__setstate__((7, 0.5))
    assert (config.k, config.variance) == (7, 0.5)


def test_earlier_states_load_alike(trained):
    state = legacy_state(trained)
    big = {f: np.frombuffer(state[FIELDS.index(f)], "<f8").astype(">f8").tobytes()
           for f in ("mean", "scale", "components", "reference")}
    # The first layout had no byte-order field and held the saving machine's order.
    for loadable in (state, changed(state, order=">", **big), legacy_state(trained, version=1)):
        engine = KNNEngine.__new__(KNNEngine)
        engine.__setstate__(loadable)
        assert answers(engine) == answers(trained)
        # Their explained variances come from the stored rows; the total was not kept.
        np.testing.assert_allclose(engine.explained_variance, trained.explained_variance, rtol=1e-9)
        assert np.isnan(engine.explained_variance_ratio).all()


def test_model_file_answers_bit_identically(trained, tmp_path):
    path = tmp_path / "model.qv"
    trained.save(path)
    image = path.read_bytes()
    trained.save(str(path))
    assert path.read_bytes() == image == trained.__getstate__()[1]  # the same model, the same bytes
    for mmap in (True, False):
        for verify in (True, False):
            loaded = quorvane.load(path, mmap=mmap, verify=verify)
            assert answers(loaded) == answers(trained) and loaded.__getstate__()[1] == image
    # Saving over a mapped file leaves its readers the pages they mapped.
    mapped = quorvane.load(path)
    other = make_engine(1, 2.0)
    train_counting(other, QUERIES, ["x"] * len(QUERIES), False)
    other.save(path)
    assert answers(mapped) == answers(trained) and quorvane.load(path).predict(QUERIES[0]) == "x"
    assert [p.name for p in tmp_path.iterdir()] == ["model.qv"]  # no temporary file left
    empty = tmp_path / "untrained.qv"
    KNNEngine(KNNConfig()).save(empty)
    assert quorvane.load(empty).predict([1.0, 2.0]) == "Unknown"


def crc32c(data, crc=0):
    crc ^= 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 & -(crc & 1))
    return crc ^ 0xFFFFFFFF


ENTRY = "<u4,<u8,<u8,<u8,<u8,<u4,<u4"  # a table entry after its tag: type, offset, bytes, rows, cols, crc, 0


class Image:
    """A model file taken apart as its format describes it, to be damaged and put back
    together with checksums that match: the loader must not lean on them."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.count = int.from_bytes(data[12:16], "little")
        self.entries = [dict(zip(("tag", "type", "offset", "bytes", "rows", "cols", "crc"),
                                 (data[e:e + 4].decode(), *np.frombuffer(data[e + 4:e + 48], ENTRY)[0])))
                        for e in range(64, 64 + 48 * self.count, 48)]

    def values(self, tag, dtype):
        e = next(e for e in self.entries if e["tag"] == tag)
        return np.frombuffer(self.data, dtype, int(e["bytes"]) // np.dtype(dtype).itemsize, int(e["offset"]))

    def set_values(self, tag, dtype, at, value):
        v = self.values(tag, dtype).copy()
        v[at] = value
        e = next(e for e in self.entries if e["tag"] == tag)
        self.data[e["offset"]:e["offset"] + e["bytes"]] = v.tobytes()
        e["crc"] = crc32c(v.tobytes())
        return self

    def sealed(self, version=1):
        table = b"".join(e["tag"].encode() + np.array([(e["type"], e["offset"], e["bytes"], e["rows"], e["cols"],
                                                        e["crc"], 0)], ENTRY).tobytes()
                         for e in self.entries)
        data = self.data
        data[8:16] = np.array([version, len(self.entries)], "<u4").tobytes()
        data[64:64 + len(table)] = table
        data[32:36] = bytes(4)
        data[32:36] = crc32c(bytes(data[:64 + len(table)])).to_bytes(4, "little")
        return bytes(data)

    def without(self, name):
        self.entries = [e for e in self.entries if e["tag"] != name]
        return self

    def entry(self, name, **fields):
        next(e for e in self.entries if e["tag"] == name).update(fields)
        return self


def flipped(data, at):
    data = bytearray(data)
    data[at] ^= 0x10
    return bytes(data)


# Damage, and the refusal it must meet with every way of loading. Where checksums would
# catch it, they are recomputed: every size, offset and index is checked for itself.
DAMAGE = {
    "empty": (lambda b: b"", "0 bytes, shorter than its 64-byte header"),
    "cut short": (lambda b: b[:-100], "cut short"),
    "bytes added": (lambda b: b + bytes(64), "bytes added"),
    "foreign": (lambda b: b"\x89PNG\r\n\x1a\n" + b[8:], "does not begin with the quorvane signature"),
    "from a newer version": (lambda b: Image(b).sealed(version=2), "format version 2, .* newer"),
    "table byte flipped": (lambda b: flipped(b, 70), "checksum of its header and section table"),
    "value flipped": (lambda b: flipped(b, Image(b).entries[6]["offset"] + 3), "checksum of section REFR"),
    "section misaligned": (lambda b: Image(b).entry("REFR", offset=Image(b).entries[6]["offset"] + 8).sealed(),
                           "not on a 64-byte boundary"),
    "sections overlap": (lambda b: Image(b).entry("NORM", offset=Image(b).entries[6]["offset"]).sealed(), "overlap"),
    "section past the end": (lambda b: Image(b).entry("LBYT", rows=2**40, bytes=2**40).sealed(), "past the end"),
    "sizes that overflow": (lambda b: Image(b).entry("REFR", rows=2**62, cols=8).sealed(), "not 4611686018427387904 x 8"),
    "tag repeated": (lambda b: Image(b).entry("NORM", tag="REFR").sealed(), "repeats its tag"),
    "section unknown": (lambda b: Image(b).entry("NORM", tag="XTRA").sealed(), "XTRA this model has no use for"),
    "section missing": (lambda b: Image(b).without("LRNK").sealed(), "it has no section LRNK"),
    "type changed": (lambda b: Image(b).entry("MEAN", type=3).sealed(), "MEAN holds int64, not float64"),
    "shape changed": (lambda b: Image(b).entry("REFR", rows=Image(b).entries[6]["rows"] // 2,
                                               cols=Image(b).entries[6]["cols"] * 2).sealed(), "section REFR holds"),
    "k beyond 32 bits": (lambda b: Image(b).set_values("CNFI", "<i8", 0, 2**40).sealed(), "outside 32 bits"),
    "sample out of the grid's range": (lambda b: Image(b).set_values("GORD", "<i4", 5, 90).sealed(), "names sample 90"),
    "label rank out of range": (lambda b: Image(b).set_values("LRNK", "<i4", 3, 7).sealed(), "label rank of 7"),
    "label offsets decrease": (lambda b: Image(b).set_values("LOFF", "<u8", 2, 2**60).sealed(), "decrease"),
    "cell starts out of order": (lambda b: Image(b).set_values("GSTA", "<i4", 1, 91).sealed(), "cell starts"),
    "majority out of range": (lambda b: Image(b).set_values("CNFI", "<i8", 6, 3).sealed(), "majority label's rank 3"),
    "NaN mean": (lambda b: Image(b).set_values("MEAN", "<f8", 0, np.nan).sealed(), "the mean holds NaN"),
    "zero divisor": (lambda b: Image(b).set_values("SCAL", "<f8", 1, 0.0).sealed(), "not positive"),
}


@pytest.mark.parametrize("damage, message", DAMAGE.values(), ids=DAMAGE.keys())
def test_damaged_model_file_is_refused(trained, tmp_path, damage, message):
    path = tmp_path / "damaged.qv"
    trained.save(path)
    damaged = damage(path.read_bytes())
    path.write_bytes(damaged)
    expected = answers(trained)
    loads = [lambda: quorvane.load(path), lambda: quorvane.load(path, mmap=False),
             lambda: KNNEngine.__new__(KNNEngine).__setstate__((3, damaged)), lambda: trained.__setstate__((3, damaged))]
    if "flipped" not in damage.__code__.co_names or "table" in message:
        loads.append(lambda: quorvane.load(path, verify=False))
    for load in loads:
        with pytest.raises(ValueError, match="invalid quorvane model file: .*" + message):
            load()
    assert answers(trained) == expected
    with pytest.raises(FileNotFoundError):
        quorvane.load(tmp_path / "missing.qv")
    with pytest.raises(IsADirectoryError):
        quorvane.load(tmp_path)
