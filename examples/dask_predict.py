"""Classify noisy copies of scikit-learn's digits on a local Dask cluster.

The engine is trained here once, pickled to two spawned worker processes once, and
each worker classifies whole chunks of a dask array of queries with predict_batch.
The gathered labels must equal a local predict_batch over the same rows.

    .venv/bin/pip install ".[dask]" && .venv/bin/python examples/dask_predict.py [--copies 50] [--chunk 8192]
"""

import argparse
import contextlib
import ctypes
import os
import pickle
import sys
import time
from collections.abc import Iterator

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait
from sklearn.datasets import load_digits

import quorvane

WORKERS = 2


def predict_block(block: np.ndarray, engine: quorvane.KNNEngine) -> np.ndarray:
    return np.array(engine.predict_batch(block), dtype=object)


def openmp_setting() -> tuple[str | None, int]:
    """OMP_NUM_THREADS as this process sees it, and the team size that quorvane's
    OpenMP runtime will actually use (it read the variable when it was loaded)."""
    import quorvane  # loads the runtime, if nothing did yet

    # The runtime quorvane loaded, found through the compiled module's dependencies: a
    # repaired wheel carries its own under another name than libgomp.so.1.
    runtime = ctypes.CDLL(quorvane._core.__file__, mode=os.RTLD_NOLOAD)
    return os.environ.get("OMP_NUM_THREADS"), runtime.omp_get_max_threads()


@contextlib.contextmanager
def environment(**values: str) -> Iterator[None]:
    """Sets variables for processes started inside; restores the whole environment after,
    since the nanny writes its own pre-spawn variables into it as well."""
    saved = os.environ.copy()
    os.environ.update(values)
    try:
        yield
    finally:
        for key in set(os.environ) - set(saved):
            del os.environ[key]
        os.environ.update(saved)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=50, help="noisy copies of each digit to classify")
    parser.add_argument("--chunk", type=int, default=8192, help="rows per chunk")
    args = parser.parse_args()

    X, digits = load_digits(return_X_y=True)
    engine = quorvane.KNNEngine(quorvane.KNNConfig())
    engine.train(X, [str(d) for d in digits])
    size = len(pickle.dumps(engine))
    print(f"engine: {len(X)} digits, {engine.n_components} components, pickles to {size / 1024:.1f} KiB")

    # Spawned, not forked: the OpenMP runtime does not survive a fork once its threads
    # exist. One OpenMP thread per worker, since the workers already fill the cores. The
    # runtime reads OMP_NUM_THREADS once, when it loads, and a spawned worker loads it
    # while re-importing this script, before a nanny's `env` would apply: so the variable
    # goes into the environment the workers start with. (distributed's pre-spawn-environ
    # sets OMP_NUM_THREADS=1 as well, but a value exported in the shell overrides it.)
    # Without a dashboard the scheduler still serves its HTTP routes (health, metrics), on
    # port 8787 unless told otherwise, and warns when another cluster holds that port: they
    # go to a free local port instead.
    with (
        dask.config.set({"distributed.worker.multiprocessing-method": "spawn"}),
        environment(OMP_NUM_THREADS="1"),
        LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None,
                     scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as cluster,
        Client(cluster) as client,
    ):
        client.wait_for_workers(WORKERS, timeout=60)
        settings = client.run(openmp_setting)
        print(f"workers: {len(settings)} processes, (OMP_NUM_THREADS, OpenMP team):",
              ", ".join(map(str, settings.values())))
        if any(setting != ("1", 1) for setting in settings.values()):
            sys.exit("a worker runs more than one OpenMP thread")

        # The queries are made and kept on the workers; only the digits travel in the graph.
        rng = da.random.default_rng(7)
        tiled = da.tile(da.from_array(X, chunks=(-1, -1)), (args.copies, 1)).rechunk((args.chunk, -1))
        queries = (tiled + rng.normal(scale=2.0, size=tiled.shape, chunks=tiled.chunks)).persist()
        wait(queries)

        [shipped] = client.scatter([engine], broadcast=True)  # one copy per worker, sent once
        labels = queries.map_blocks(predict_block, shipped, drop_axis=1, dtype=object,
                                    meta=np.empty((0,), dtype=object))
        start = time.perf_counter()
        distributed = labels.compute().tolist()
        distributed_seconds = time.perf_counter() - start

        Q = queries.compute()

    start = time.perf_counter()
    local = engine.predict_batch(Q)
    local_seconds = time.perf_counter() - start
    _, local_team = openmp_setting()

    print(f"queries: {Q.shape[0]} rows x {Q.shape[1]} features in {queries.numblocks[0]} chunks "
          f"of up to {args.chunk} rows")
    print(f"distributed: {distributed_seconds:.3f} s on {WORKERS} workers x 1 thread")
    print(f"local:       {local_seconds:.3f} s on one OpenMP team of {local_team}")
    agreement = np.mean(np.array(local) == np.tile(digits.astype(str), args.copies))
    print(f"{agreement:.2%} of the noisy copies keep their digit's label")
    if distributed != local:
        sys.exit("the distributed labels differ from the local ones")
    print("distributed labels equal the local predict_batch")


if __name__ == "__main__":
    main()
