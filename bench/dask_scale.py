"""The sharded engine at 8, 64 and 256 shards: answers against gather(), the largest task's
memory, and the bytes that cross the network per query batch.

    .venv/bin/python bench/dask_scale.py [--rows 200000] [--queries 10000] [--k 10]

A LocalCluster of two spawned worker processes (one thread, one OpenMP thread each)
trains on rows x 64 features (16 components) split into the given numbers of chunks, then
answers one batch of queries with predict_batch and kneighbors. For each query batch a
scheduler plugin records, for every task, the bytes of its inputs and its output (the
memory it holds at once), and the workers' transfer logs give the bytes moved between
processes. Prints one markdown row per shard count.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import time

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster
from distributed.diagnostics.plugin import SchedulerPlugin

import quorvane
import quorvane.dask as qd

FEATURES, RANK = 64, 16


class TaskMemory(SchedulerPlugin):
    """The largest inputs + output of any task that finished while it was watching."""

    def __init__(self) -> None:
        self.largest = 0
        self.name = ""

    def transition(self, key, start, finish, *args, **kwargs):  # noqa: ANN001
        if finish != "memory":
            return
        ts = self.scheduler.tasks.get(key)
        if ts is None:
            return
        held = (ts.nbytes or 0) + sum(dep.nbytes or 0 for dep in ts.dependencies)
        if held > self.largest:
            self.largest, self.name = held, str(key)[:40]



def task_name(key: str) -> str:
    """The function a task key names ("('_merge-4f2a...', 3)" -> "_merge")."""
    return key.strip("('\"").split("-")[0]


def moved(client: Client) -> int:
    """Bytes every worker has received from the others so far."""
    return sum(client.run(lambda dask_worker: sum(e["total"] for e in dask_worker.transfer_incoming_log)).values())


def data(n: int, seed: int | list[int]) -> tuple[np.ndarray, np.ndarray]:
    """Rows near a 16-dimensional subspace, labelled by a quadrant of it; the same for a seed."""
    rng = np.random.default_rng(seed)
    basis = np.linalg.qr(np.random.default_rng(0).normal(size=(FEATURES, RANK)))[0].T
    latent = rng.normal(size=(n, RANK)) * np.geomspace(10, 1, RANK)
    X = latent @ basis + 0.1 * rng.normal(size=(n, FEATURES))
    return X, np.array(["north-east", "north-west", "south-east", "south-west"])[(latent[:, 0] < 0) * 2 + (latent[:, 1] < 0)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--shards", type=int, nargs="*", default=[8, 64, 256])
    args = parser.parse_args()
    Q, _ = data(args.queries, 2)
    saved = os.environ.copy()
    os.environ["OMP_NUM_THREADS"] = "1"
    with (
        dask.config.set({"distributed.worker.multiprocessing-method": "spawn"}),
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        os.environ.clear()
        os.environ.update(saved)
        client.wait_for_workers(2)
        def watch(dask_scheduler):  # noqa: ANN001
            plugin = TaskMemory()
            plugin.scheduler = dask_scheduler
            dask_scheduler.add_plugin(plugin, name="task-memory")

        def largest(dask_scheduler, reset=False):  # noqa: ANN001
            plugin = dask_scheduler.plugins["task-memory"]
            found = plugin.largest, plugin.name
            if reset:
                plugin.largest, plugin.name = 0, ""
            return found

        client.run_on_scheduler(watch)
        config = quorvane.KNNConfig()
        config.k = args.k
        print(f"{args.rows:,} rows x {FEATURES} features -> {RANK} components, {args.queries:,} queries, "
              f"k = {args.k}, query blocks of {qd.QUERY_BLOCK}\n")
        print("| shards | train | predict_batch | kneighbors | = gather() | largest task (inputs + output) "
              "| bytes between processes per batch | ... per query |")
        print("| ---: | ---: | ---: | ---: | --- | ---: | ---: | ---: |")
        for shards in args.shards:
            # Made on the workers, chunk by chunk, as data read from storage would be.
            sizes = np.diff(np.linspace(0, args.rows, shards + 1).astype(int))
            parts = [dask.delayed(data, nout=2)(int(size), [1, i]) for i, size in enumerate(sizes)]
            Xd = da.concatenate([da.from_delayed(p[0], shape=(int(s), FEATURES), dtype=float) for p, s in zip(parts, sizes)])
            yd = da.concatenate([da.from_delayed(p[1], shape=(int(s),), dtype="<U10") for p, s in zip(parts, sizes)])
            start = time.perf_counter()
            with contextlib.redirect_stdout(io.StringIO()):
                engine = qd.train(config, Xd, yd)
            train = time.perf_counter() - start
            local = engine.gather()
            client.run_on_scheduler(largest, reset=True)
            before = moved(client)
            start = time.perf_counter()
            labels = engine.predict_batch(Q)
            predict = time.perf_counter() - start
            batch_bytes = moved(client) - before
            held, name = client.run_on_scheduler(largest)
            start = time.perf_counter()
            distances, indices = engine.kneighbors(Q, args.k)
            neighbours = time.perf_counter() - start
            want = local.kneighbors(Q, args.k)
            same = (labels == local.predict_batch(Q) and distances.tobytes() == want[0].tobytes()
                    and np.array_equal(indices, want[1]))
            print(f"| {shards} | {train:.1f} s | {predict:.2f} s | {neighbours:.2f} s | {'yes' if same else 'NO'} "
                  f"| {held / 2**20:.1f} MiB ({task_name(name)}) | {batch_bytes / 2**20:.1f} MiB "
                  f"| {batch_bytes / args.queries:.0f} B |", flush=True)
            del engine


if __name__ == "__main__":
    main()
