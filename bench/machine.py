"""What the timings ran on: the machine, the libraries, the DGEMM rate, and how busy
the other processes kept the cores meanwhile."""

from __future__ import annotations

import os
import platform
import statistics
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
clock = time.perf_counter


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


class ForeignLoad:
    """Cores kept busy by everything but this process (and its children) while it runs:
    the machine-wide busy time from /proc/stat minus our own CPU time. Anything well
    above zero means the timings were taken on a shared, noisy machine."""

    @staticmethod
    def _busy() -> float:
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:9]]
        return (sum(fields) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")

    @staticmethod
    def _own() -> float:
        t = os.times()
        return t.user + t.system + t.children_user + t.children_system

    def __enter__(self) -> "ForeignLoad":
        self.wall, self.busy, self.own = clock(), self._busy(), self._own()
        return self

    def __exit__(self, *exc) -> None:
        wall = clock() - self.wall
        other = (self._busy() - self.busy) - (self._own() - self.own)
        self.cores = max(other, 0.0) / wall if wall > 0 else 0.0


def wait_until_quiet(minutes: float) -> float:
    """Waits up to `minutes` for five quiet 2 s windows in a row; returns the last load."""
    wait_until = clock() + 60.0 * minutes
    quiet = 0
    while True:
        with ForeignLoad() as load:
            time.sleep(2.0)
        quiet = quiet + 1 if load.cores < 0.1 else 0
        if quiet >= 5 or clock() >= wait_until:
            return load.cores
        log(f"waiting for the machine to go quiet (others use {load.cores:.2f} cores)")


def machine_info() -> dict:
    from threadpoolctl import threadpool_info

    import faiss

    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    pools = [{key: p.get(key) for key in ("user_api", "internal_api", "version", "architecture",
                                          "num_threads", "threading_layer", "filepath")}
             for p in threadpool_info()]
    numpy_blas = next((p for p in pools if p["user_api"] == "blas" and "numpy" in p["filepath"]),
                      None)
    faiss_blas = next((p for p in pools if p["user_api"] == "blas" and "faiss" in p["filepath"]),
                      None)

    def version(dist: str) -> str:
        try:
            return metadata.version(dist)
        except metadata.PackageNotFoundError:
            return "?"

    def git(*args: str) -> str:
        try:
            return subprocess.run(["git", *args], cwd=HERE.parent, capture_output=True,
                                  text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            return "?"

    import quorvane

    module = Path(quorvane.__file__)
    return {
        "quorvane_module": str(module),
        "quorvane_built": time.strftime("%Y-%m-%d %H:%M", time.localtime(module.stat().st_mtime)),
        "cpu": cpu,
        "cpu_count": os.cpu_count(),
        "affinity": len(os.sched_getaffinity(0)),
        "memory_gib": round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, 1),
        "python": platform.python_version(),
        "versions": {d: version(d) for d in ("quorvane", "numpy", "scikit-learn", "faiss-cpu",
                                             "threadpoolctl", "matplotlib")},
        "git_head": git("rev-parse", "--short", "HEAD"),
        "src_modified": bool(git("status", "--porcelain", "--", "src")),
        "env": {v: os.environ.get(v) for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE",
                                               "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS")},
        "faiss_omp_threads": faiss.omp_get_max_threads(),
        "numpy_blas": numpy_blas,
        "faiss_blas": faiss_blas,
        "threadpools": pools,
    }


def dgemm_rate(n: int, repeats: int = 3) -> dict:
    rng = np.random.default_rng(0)
    a, b = rng.standard_normal((n, n)), rng.standard_normal((n, n))
    a @ b  # warm-up: thread start-up, page faults
    times = []
    for _ in range(repeats):
        t0 = clock()
        a @ b
        times.append(clock() - t0)
    t = float(statistics.median(times))
    return {"n": n, "seconds": times, "gflops": 2.0 * n**3 / t / 1e9}
