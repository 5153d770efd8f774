"""Scale-out on a real Dask cluster of spawned worker processes: an engine shipped to the
workers answers exactly as it does here, with each worker's OpenMP team held to one thread."""

import ctypes
import faulthandler
import os

import dask
import dask.array as da
import numpy as np
import pytest
from distributed import Client, LocalCluster
from sklearn.datasets import load_digits

import quorvane

WORKERS = 2
# Nothing here should take more than seconds; a cluster that hangs (a worker that never
# connects, a close that never returns) must fail the run rather than stall CI.
HANG_SECONDS = 240


def predict_block(block, engine):
    return np.array(engine.predict_batch(block), dtype=object)


def openmp_setting():
    """This process's id, OMP_NUM_THREADS as it sees it, and the team size quorvane's
    OpenMP runtime uses: the runtime reads the variable only when it is loaded, so the
    two can differ."""
    import quorvane  # noqa: F401  (loads the runtime, if nothing did yet)

    # Loaded with quorvane: the system's, or the copy a repaired wheel carries.
    with open("/proc/self/maps") as maps:
        vendored = [line.split()[-1] for line in maps if "quorvane.libs/libgomp" in line]
    runtime = ctypes.CDLL(vendored[0] if vendored else "libgomp.so.1", mode=os.RTLD_NOLOAD)
    return os.getpid(), os.environ.get("OMP_NUM_THREADS"), runtime.omp_get_max_threads()


@pytest.fixture(scope="module")
def client():
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    saved = os.environ.copy()
    # Spawned, since the OpenMP runtime is not fork-safe. OMP_NUM_THREADS goes into the
    # environment the workers start with: a nanny's `env` applies only after a spawned
    # worker has re-imported the main module, which may load the runtime, and
    # distributed's pre-spawn-environ yields to a value exported in the shell.
    os.environ["OMP_NUM_THREADS"] = "1"
    try:
        with (
            dask.config.set({"distributed.worker.multiprocessing-method": "spawn"}),
            LocalCluster(
                n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            Client(cluster, timeout="60s") as client,
        ):
            client.wait_for_workers(WORKERS, timeout=60)
            yield client
    finally:
        # The nanny writes its pre-spawn variables (PYTHONHASHSEED, thread limits) into
        # this process's environment too; later tests must not inherit them.
        for key in set(os.environ) - set(saved):
            del os.environ[key]
        os.environ.update(saved)
        faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def digits():
    X, labels = load_digits(return_X_y=True)
    return X, [str(label) for label in labels]


def test_each_worker_process_runs_one_openmp_thread(client):
    settings = list(client.run(openmp_setting).values())
    assert len(settings) == WORKERS
    pids = {pid for pid, _, _ in settings}
    assert len(pids) == WORKERS and os.getpid() not in pids
    assert [(variable, team) for _, variable, team in settings] == [("1", 1)] * WORKERS


@pytest.mark.parametrize("scale", [False, True])
def test_shipped_engine_answers_as_the_local_one(client, digits, scale):
    X, labels = digits
    engine = quorvane.KNNEngine(quorvane.KNNConfig())
    engine.train(X, labels, scale=scale)

    # Training rows themselves (exact hits at distance zero) and noisy copies, in
    # uneven chunks including one of a single row and one of none.
    rng = np.random.default_rng(11)
    Q = np.vstack([X[:400], X + rng.normal(scale=3.0, size=X.shape)])
    rows = (0, 1, 733, 250, Q.shape[0] - 984)
    queries = da.from_array(Q, chunks=(rows, Q.shape[1]))

    [shipped] = client.scatter([engine], broadcast=True)
    assert client.submit(lambda e: e.n_components, shipped).result(timeout=60) == engine.n_components
    labels_out = queries.map_blocks(predict_block, shipped, drop_axis=1, dtype=object,
                                    meta=np.empty((0,), dtype=object))
    distributed = client.compute(labels_out).result(timeout=120)

    assert distributed.tolist() == engine.predict_batch(Q)
