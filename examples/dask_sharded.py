"""Train on more rows than any one worker may hold, with the reference set sharded.

A local cluster of two spawned workers, each limited to --worker-mib of memory, trains on
a dask array several times that size. The rows are generated chunk by chunk on the
workers (the same rows at every pass, from a seed per chunk), never gathered: the workers
send per-chunk sums and products to this process, which fits the reduction, and then keep
each chunk's reduced rows as a shard. Held-out queries are answered by merging the shards'
nearest rows. The closing lines give each worker's peak resident memory.

    .venv/bin/pip install ".[dask]" && .venv/bin/python examples/dask_sharded.py [--rows 3000000] [--worker-mib 600]
"""

import argparse
import contextlib
import os
import resource
import sys
import time
from collections.abc import Iterator

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

import quorvane
import quorvane.dask

FEATURES, RANK, SEED = 64, 8, 2024
WORKERS = 2


def make_rows(chunk: int, rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Rows near an 8-dimensional subspace, labelled by the quadrant of their first two
    coordinates in it; chunk `chunk` is the same on every call."""
    basis = np.linalg.qr(np.random.default_rng(SEED).normal(size=(FEATURES, RANK)))[0].T
    rng = np.random.default_rng([SEED, chunk])
    latent = rng.normal(size=(rows, RANK)) * np.geomspace(10.0, 2.0, RANK)
    X = latent @ basis + rng.normal(scale=0.3, size=(rows, FEATURES))
    labels = np.array(["north-east", "north-west", "south-east", "south-west"])
    return X, labels[(latent[:, 0] < 0) * 2 + (latent[:, 1] < 0)]


def memory_note(dask_worker) -> tuple[float, int]:
    """Peak resident memory of this worker process (MiB), and the results it spilled to disk."""
    spilled = getattr(dask_worker.data, "slow", {})
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, len(spilled)


@contextlib.contextmanager
def environment(**values: str) -> Iterator[None]:
    """Sets variables for processes started inside; restores the whole environment after,
    since the nanny writes its own pre-spawn variables into it as well."""
    saved = os.environ.copy()
    os.environ.update(values)
    try:
        yield
    finally:
        os.environ.clear()
        os.environ.update(saved)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=3_000_000, help="training rows")
    parser.add_argument("--chunk", type=int, default=50_000, help="rows per chunk (one shard each)")
    parser.add_argument("--worker-mib", type=int, default=600, help="memory limit of each worker")
    args = parser.parse_args()

    # Spawned workers with one OpenMP thread each, and the scheduler's HTTP routes on a free
    # local port (see examples/dask_predict.py for why).
    with (
        dask.config.set({"distributed.worker.multiprocessing-method": "spawn"}),
        environment(OMP_NUM_THREADS="1"),
        LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None,
                     scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                     memory_limit=f"{args.worker_mib}MiB") as cluster,
        Client(cluster) as client,
    ):
        client.wait_for_workers(WORKERS, timeout=60)
        pids = client.run(os.getpid)
        sizes = [args.chunk] * (args.rows // args.chunk) + ([args.rows % args.chunk] if args.rows % args.chunk else [])
        parts = [dask.delayed(make_rows, nout=2)(i, rows) for i, rows in enumerate(sizes)]
        X = da.concatenate([da.from_delayed(p[0], shape=(r, FEATURES), dtype=float) for p, r in zip(parts, sizes)])
        y = da.concatenate([da.from_delayed(p[1], shape=(r,), dtype="<U10") for p, r in zip(parts, sizes)])
        data_mib = X.nbytes / 2**20
        size = f"{data_mib:.0f} MiB" if data_mib >= 1 else f"{X.nbytes / 1024:.0f} KiB"
        print(f"training set: {args.rows} rows x {FEATURES} features = {size} in {len(sizes)} "
              f"chunk{'s' * (len(sizes) > 1)}; {WORKERS} workers of {args.worker_mib} MiB each")

        start = time.perf_counter()
        engine = quorvane.dask.train(quorvane.KNNConfig(), X, y, scale=True)
        train_seconds = time.perf_counter() - start
        print(f"trained in {train_seconds:.1f} s: {engine}")

        Q, truth = make_rows(10**6, 5_000)  # a chunk no training pass made
        start = time.perf_counter()
        predicted = engine.predict_batch(Q)
        predict_seconds = time.perf_counter() - start
        distances, indices = engine.kneighbors(Q[:3], 3)
        print(f"{len(Q)} held-out queries in {predict_seconds:.1f} s, "
              f"{np.mean(np.array(predicted) == truth):.2%} labelled as generated")
        print(f"nearest training rows of query 0: {indices[0].tolist()} at {np.round(distances[0], 3).tolist()}")

        notes = client.run(memory_note)
        restarted = client.run(os.getpid) != pids
        for address, (peak, spilled) in sorted(notes.items()):
            print(f"worker {address}: peak resident memory {peak:.0f} MiB of {args.worker_mib} MiB, "
                  f"{spilled} results spilled to disk")
        if restarted or max(peak for peak, _ in notes.values()) >= args.worker_mib:
            sys.exit("a worker went over its limit")
        if data_mib > args.worker_mib:
            print(f"every worker stayed under its limit while the training set is "
                  f"{data_mib / args.worker_mib:.1f} times that limit")
        else:
            print(f"every worker stayed under its limit; this training set would fit one worker "
                  f"(over {args.worker_mib * 2**20 // (FEATURES * 8):,} rows it would not)")


if __name__ == "__main__":
    main()
