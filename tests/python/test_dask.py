"""Dask on a real cluster of spawned worker processes: an engine shipped to the workers
answers as it does here, and an engine trained with its rows sharded over the workers
answers as one engine holding every row."""

import contextlib
import ctypes
import faulthandler
import io
import os
import pickle
import signal
import subprocess
import sys
import threading
import time

import dask
import dask.array as da
import numpy as np
import pytest
from distributed import Client, LocalCluster

import quorvane
import quorvane.dask as qd
from reference import make_engine

WORKERS = 2
NAMES = np.array(["ant", "bee", "émeu", "Cat"], dtype=object)


# The team size of the OpenMP runtime quorvane loads, which reads OMP_NUM_THREADS only
# when it is loaded.
def openmp_team():
    import quorvane  # noqa: F401

    # Loaded with quorvane: the system's, or the copy a repaired wheel carries.
    with open("/proc/self/maps") as maps:
        vendored = [line.split()[-1] for line in maps if "quorvane.libs/libgomp" in line]
    return ctypes.CDLL(vendored[0] if vendored else "libgomp.so.1", mode=os.RTLD_NOLOAD).omp_get_max_threads()


@pytest.fixture(scope="module")
def client():
    # A cluster that hangs (a worker that never connects, a close that never returns)
    # must fail the run rather than stall it.
    faulthandler.dump_traceback_later(240, exit=True)
    saved = os.environ.copy()
    # Spawned, since the OpenMP runtime is not fork-safe. OMP_NUM_THREADS goes into the
    # environment the workers start with: a nanny's `env` applies only after a spawned
    # worker has re-imported the main module, which may load the runtime.
    os.environ["OMP_NUM_THREADS"] = "1"
    try:
        with (
            dask.config.set({"distributed.worker.multiprocessing-method": "spawn"}),
            # The scheduler's HTTP routes on a free port: 8787, when another cluster holds it,
            # draws a warning that fails the run.
            LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None,
                         scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as cluster,
            Client(cluster, timeout="60s") as client,
        ):
            client.wait_for_workers(WORKERS, timeout=60)
            assert list(client.run(openmp_team).values()) == [1] * WORKERS
            yield client
    finally:
        # The nanny writes its pre-spawn variables into this process's environment too.
        os.environ.clear()
        os.environ.update(saved)
        faulthandler.cancel_dump_traceback_later()


def dataset(n, d, seed, magnitude=1.0):
    """Rows near a rank-6 subspace with well separated variances, labelled by region."""
    rng = np.random.default_rng(seed)
    basis = np.linalg.qr(rng.normal(size=(d, 6)))[0].T
    latent = rng.normal(size=(2 * n, 6)) * [20.0, 12.0, 7.0, 4.0, 2.5, 1.5]
    X = (latent @ basis + 0.01 * rng.normal(size=(2 * n, d)) + rng.normal(size=d)) * magnitude
    labels = NAMES[(latent[:, 0] > 0) * 2 + (latent[:, 1] > 0)]
    return X[:n], labels[:n], X[n:]  # training rows, their labels, held-out queries


def chunked(X, parts):
    bounds = np.linspace(0, len(X), parts + 1).astype(int)
    return da.from_array(X, chunks=(tuple(np.diff(bounds)), X.shape[1]))


def quiet_lines(train, *args, **kwargs):
    with contextlib.redirect_stdout(io.StringIO()) as out:
        result = train(*args, **kwargs)
    return result, out.getvalue().splitlines()


# (rows, features, chunk sizes, scale, variance, magnitude): Standard and Thin, scaled and
# not, a chunk of one row, and features of sizes summed in units of a power of two, each
# its own when scaled.
DATASETS = [
    (600, 20, (250, 1, 349), False, 0.95, 1.0),
    (600, 20, (100, 300, 200), True, 5.0, 1.0),
    (400, 12, (150, 250), True, 0.9, np.array([1e300, 1e-300, 1.0] * 4)),
    (60, 200, (25, 1, 34), False, 0.95, 1.0),
    (60, 200, (30, 30), True, 4.0, 1.0),
]


@pytest.mark.parametrize("n, d, chunks, scale, variance, magnitude", DATASETS)
def test_sharded_training_agrees_with_one_engine(client, n, d, chunks, scale, variance, magnitude):
    X, y, Q = dataset(n, d, seed=n + d, magnitude=magnitude)
    local = make_engine(3, variance)
    _, expected_lines = quiet_lines(local.train, X, list(y), scale=scale)
    config = quorvane.KNNConfig()
    config.variance = variance
    sharded, lines = quiet_lines(qd.train, config, da.from_array(X, chunks=(chunks, d)), da.from_array(y, chunks=50),
                                 scale=scale)
    assert lines == expected_lines  # the mode and kept count, printed once, here
    assert sharded.n_components == local.n_components
    mine, theirs = sharded.components, local.components
    np.testing.assert_allclose(mine * np.sign(np.sum(mine * theirs, axis=0)), theirs, rtol=0, atol=1e-9)
    assert sharded.predict_batch(Q) == local.predict_batch(Q)


@pytest.fixture
def small_blocks(monkeypatch):
    monkeypatch.setattr(qd, "QUERY_BLOCK", 64)


def test_sharded_engine_answers_as_its_gathered_engine(client, small_blocks):
    X, y, Q = dataset(300, 10, seed=3)
    # Duplicated rows, in different shards, sit at equal distances: only the index decides.
    X[250:280] = X[10:40]
    Q = np.vstack([Q[:100], X[:40]])
    Q_dask = da.from_array(Q, chunks=((0, 1, 60, 79), 10))
    config = quorvane.KNNConfig()
    config.k = 4  # ties between two labels, two votes each, go to the byte-wise smaller
    # 64 and 256 shards merge in a tree of two and three levels of at most eight lists;
    # a query block of 64 rows makes two blocks of the 140 queries.
    seven = None
    for shards in (1, 2, 7, 64, 256):
        sharded, _ = quiet_lines(qd.train, config, chunked(X, shards), y)
        assert len(sharded.shards) == shards
        gathered = sharded.gather()
        restored = pickle.loads(pickle.dumps(sharded))  # carries the model and shard references
        assert len(pickle.dumps(sharded)) < 300 * sharded.n_components * 8 + 100 * shards
        expected = gathered.predict_batch(Q)
        many = shards > 7  # fewer calls where each costs hundreds of tasks
        seven = sharded if shards == 7 else seven
        # Asked again and again, NumPy and dask alike: a call's queries once met the key
        # the previous call had just released.
        for engine in (sharded, restored) if many else (sharded, restored, sharded, restored):
            assert engine.predict_batch(Q) == engine.predict_batch(Q_dask) == expected
        for k in (4, 300) if many else (1, 4, 50, 300):  # 50 exceeds every shard of 7, 300 is every row
            want = gathered.kneighbors(Q, k)
            for got in (sharded.kneighbors(Q, k), sharded.kneighbors(Q_dask, k), restored.kneighbors(Q, k)):
                assert got[0].tobytes() == want[0].tobytes()
                np.testing.assert_array_equal(got[1], want[1])
    twin, _ = quiet_lines(qd.train, config, chunked(X, 7), y)  # equal to one before, shards and model
    assert twin.predict_batch(Q) == seven.predict_batch(Q) == twin.predict_batch(Q) == expected
    for config.k in (0, 300):  # "Unknown", and the majority of every row
        sharded, _ = quiet_lines(qd.train, config, chunked(X, 3), y)
        assert sharded.predict_batch(Q[:5]) == sharded.gather().predict_batch(Q[:5])


def test_a_bad_chunk_fails_on_the_client_naming_the_row(client):
    X, y, _ = dataset(200, 8, seed=5)
    X[137, 3] = np.nan
    with pytest.raises(ValueError, match="X contains NaN or infinity at row 137, column 3"):
        quiet_lines(qd.train, quorvane.KNNConfig(), chunked(X, 4), y)
    with pytest.raises(ValueError, match="y has 199 labels but X has 200 rows"):
        qd.train(quorvane.KNNConfig(), chunked(X, 4), y[1:])
    with pytest.raises(ValueError, match=r"y must be one-dimensional \(one label per row\), got shape \(200, 1\)"):
        qd.train(quorvane.KNNConfig(), chunked(X, 4), y[:, None])


def nan_at(Q, row):
    Q = Q.copy()
    Q[row, 2] = np.nan
    return Q


# Calls a sharded engine must answer, or refuse with the same error, exactly as the engine
# gather() returns: its checks come before any shortcut (every row votes, k <= 0).
QUERY_CASES = {
    "NaN": lambda e, Q: e.predict_batch(nan_at(Q, 3)),
    "NaN in a dask chunk": lambda e, Q: e.predict_batch(da.from_array(nan_at(Q, 7), chunks=(5, 10))),
    "wrong width": lambda e, Q: e.predict_batch(Q[:, :9]),
    "empty of the wrong width": lambda e, Q: e.predict_batch(Q[:0, :9]),
    "one-dimensional": lambda e, Q: e.predict_batch(Q[0]),
    "predict NaN": lambda e, Q: e.predict(nan_at(Q, 0)[0]),
    "predict short": lambda e, Q: e.predict(Q[0, :9]),
    "projection overflows": lambda e, Q: e.predict_batch(Q[-3:]),  # its last row is made to overflow
    "kneighbors of none, wrong width": lambda e, Q: e.kneighbors(Q[:0, :9], 2),
    "kneighbors k beyond the rows": lambda e, Q: e.kneighbors(Q, 301),
    "kneighbors k=0": lambda e, Q: e.kneighbors(Q, 0),
    "kneighbors one-dimensional": lambda e, Q: e.kneighbors(Q[0], 2),
}


def outcome(call):
    try:
        result = call()
    except (TypeError, ValueError) as e:
        return type(e), str(e)
    return result if isinstance(result, (str, list)) else [a.tolist() for a in result]


@pytest.mark.parametrize("k", [3, 0, 300])
def test_sharded_engine_refuses_as_its_gathered_engine(client, k):
    X, y, Q = dataset(300, 10, seed=4)
    config = quorvane.KNNConfig()
    config.k = k
    sharded, _ = quiet_lines(qd.train, config, chunked(X, 3), y)
    gathered = sharded.gather()
    Q = np.vstack([Q[:19], 1e308 * np.sign(sharded.components[:, 0])])  # the last row's projection overflows
    for name, call in QUERY_CASES.items():
        assert outcome(lambda: call(sharded, Q)) == outcome(lambda: call(gathered, Q)), name


def test_pickled_sharded_engine_is_refused_off_its_cluster(client):
    X, y, Q = dataset(100, 10, seed=6)
    blob = pickle.dumps(quiet_lines(qd.train, quorvane.KNNConfig(), chunked(X, 2), y)[0])
    code = "import pickle, sys; pickle.loads(sys.stdin.buffer.read())"
    run = subprocess.run([sys.executable, "-c", code], input=blob, capture_output=True, timeout=120)
    assert b"ValueError: a ShardedEngine's shards live on the cluster that trained it" in run.stderr
    with LocalCluster(n_workers=1, processes=False, dashboard_address=":0") as other, Client(other):
        with pytest.raises(ValueError, match="not on this client's"):
            pickle.loads(blob)


def test_chunk_steps_refuse_per_feature_vectors_of_another_length():
    steps, X = quorvane._core._AdaptivePCA, np.ones((4, 3))
    for call in (lambda: steps.column_sums(X, np.ones(2), 0),
                 lambda: steps.squared_deviations(X, np.zeros(3), np.ones(4)),
                 lambda: steps.deviations(np.ones(3), np.zeros(2), 4, np.ones(3))):
        with pytest.raises(ValueError, match="entries for 3 features"):
            call()


def test_shipped_engine_answers_as_the_local_one(client):
    X, y, Q = dataset(500, 16, seed=9)
    engine = make_engine()
    quiet_lines(engine.train, X, list(y), scale=True)
    # Training rows themselves (exact hits at distance zero) and held-out rows, in uneven
    # chunks including one of a single row and one of none.
    Q = np.vstack([X[:200], Q])
    queries = da.from_array(Q, chunks=((0, 1, 333, 250, Q.shape[0] - 584), Q.shape[1]))
    [shipped] = client.scatter([engine], broadcast=True)
    labels_out = queries.map_blocks(lambda block, e: np.array(e.predict_batch(block), dtype=object), shipped,
                                    drop_axis=1, dtype=object, meta=np.empty((0,), dtype=object))
    assert client.compute(labels_out).result(timeout=120).tolist() == engine.predict_batch(Q)


def holder_pid(client, futures):
    """The process of a worker holding one of `futures`."""
    address = next(iter(client.who_has(futures).values()))[0]
    return client.run(os.getpid, workers=[address])[address]


def test_lost_workers_are_made_good_from_the_graph(client, small_blocks):
    X, y, Q = dataset(3000, 10, seed=12)
    sharded, _ = quiet_lines(qd.train, quorvane.KNNConfig(), chunked(X, 6), y)
    Q = np.tile(Q, (3, 1))  # 141 blocks of 64 queries: a call long enough to kill a worker in
    expected, want = sharded.predict_batch(Q), sharded.gather().kneighbors(Q[:300], 5)
    # Between calls: its shards (and the model they need) are computed again from X's chunks.
    os.kill(holder_pid(client, sharded.shards), signal.SIGKILL)
    got = sharded.kneighbors(Q[:300], 5)
    assert got[0].tobytes() == want[0].tobytes() and (got[1] == want[1]).all()
    client.wait_for_workers(WORKERS, timeout=60)
    # During a call.
    answer = []
    worker = threading.Thread(target=lambda: answer.append(sharded.predict_batch(Q)))
    worker.start()
    time.sleep(0.3)
    os.kill(holder_pid(client, sharded.shards), signal.SIGKILL)
    assert worker.is_alive()  # killed during the call
    worker.join(timeout=120)
    assert answer == [expected]
    client.wait_for_workers(WORKERS, timeout=60)
    # Rows that only ever lived on one worker, scattered there, cannot be made again.
    address = next(iter(client.scheduler_info()["workers"]))
    parts = client.scatter([X[:1500], X[1500:]], workers=[address])
    scattered = da.concatenate([da.from_delayed(p, shape=(1500, 10), dtype=float) for p in parts])
    lost, _ = quiet_lines(qd.train, quorvane.KNNConfig(), scattered, y)
    os.kill(client.run(os.getpid, workers=[address])[address], signal.SIGKILL)
    with pytest.raises(qd.LostShardsError, match="cannot be made again"):
        lost.predict_batch(Q[:10])
    client.wait_for_workers(WORKERS, timeout=60)


def test_saved_sharded_engine_loads_on_another_cluster(client, tmp_path):
    X, y, Q = dataset(400, 10, seed=13)
    sharded, _ = quiet_lines(qd.train, quorvane.KNNConfig(), chunked(X, 5), y, scale=True)
    expected, want = sharded.predict_batch(Q), sharded.kneighbors(Q, 3)
    sharded.save(tmp_path / "model")
    assert sorted(p.name for p in (tmp_path / "model").iterdir()) == ["manifest.json"] + [
        f"shard-{i:05d}.qv" for i in range(5)]
    # Each shard file is an engine of the model and its rows.
    first = quorvane.load(tmp_path / "model" / "shard-00000.qv")
    assert first.n_components == sharded.n_components and first.transform(Q).shape == (len(Q), first.n_components)
    with LocalCluster(n_workers=1, processes=False, dashboard_address=":0") as other, Client(other):
        loaded = qd.load(tmp_path / "model")
        got = loaded.kneighbors(Q, 3)
        labels, bars = quiet_lines(loaded.predict_batch, Q, progress=True)
        assert labels == expected and "100% Completed" in "".join(bars)
        assert got[0].tobytes() == want[0].tobytes() and (got[1] == want[1]).all()
        # Damaged as files are replaced, renamed over: `loaded` maps the old one.
        damaged = tmp_path / "model" / "shard-00003.qv"
        data = bytearray(damaged.read_bytes())
        data[-5] ^= 1
        (tmp_path / "damaged").write_bytes(bytes(data))
        os.replace(tmp_path / "damaged", damaged)
        with pytest.raises(ValueError, match="invalid quorvane model file: the checksum of section"):
            qd.load(tmp_path / "model")
        # An fsspec URL where every worker reaches it: here, this process's memory.
        loaded.save("memory://quorvane/model")
        assert qd.load("memory://quorvane/model").kneighbors(Q, 3)[0].tobytes() == want[0].tobytes()
