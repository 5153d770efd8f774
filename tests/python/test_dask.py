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
            LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
            Client(cluster, timeout="60s") as client,
        ):
            client.wait_for_workers(WORKERS, timeout=60)
            yield client
    finally:
        # The nanny writes its pre-spawn variables into this process's environment too.
        os.environ.clear()
        os.environ.update(saved)
        faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("scale", [False, True])
def test_shipped_engine_answers_as_the_local_one(client, scale):
    assert list(client.run(openmp_team).values()) == [1] * WORKERS

    X, labels = load_digits(return_X_y=True)
    engine = quorvane.KNNEngine(quorvane.KNNConfig())
    engine.train(X, [str(label) for label in labels], scale=scale)
    # Training rows themselves (exact hits at distance zero) and noisy copies, in
    # uneven chunks including one of a single row and one of none.
    Q = np.vstack([X[:400], X + np.random.default_rng(11).normal(scale=3.0, size=X.shape)])
    queries = da.from_array(Q, chunks=((0, 1, 733, 250, Q.shape[0] - 984), Q.shape[1]))

    [shipped] = client.scatter([engine], broadcast=True)
    assert client.submit(lambda e: e.n_components, shipped).result(timeout=60) == engine.n_components
    labels_out = queries.map_blocks(lambda block, e: np.array(e.predict_batch(block), dtype=object), shipped,
                                    drop_axis=1, dtype=object, meta=np.empty((0,), dtype=object))
    assert client.compute(labels_out).result(timeout=120).tolist() == engine.predict_batch(Q)
