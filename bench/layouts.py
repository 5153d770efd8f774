"""Data as it comes: train and predict_batch on float64, float32 (C and Fortran order) and a
float32 memory map, each read in place, and the estimator's fit on float64 and float32.

    .venv/bin/python bench/layouts.py [--rows 1000000] [--queries 10000] [--repeats 3]

Every run of a case is a fresh process, which loads its arrays first (np.load; the memory
map with mmap_mode="r") and then times train and predict_batch. Repeats loop outside,
cases inside in rotating order; the table keeps medians. Memory is taken in one more process
per case, in which a thread samples RssAnon every millisecond (so that thread never competes
with a timed call): the figure is the anonymous memory each call added at its peak, in which
pages of a mapped file never count. The data (16 classes in a 17-dimensional subspace of R^256, as the
large benchmark set) is written once to a temporary folder: about 4.2 GiB at 10^6 rows.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import workloads  # noqa: E402

# case -> (training file, query file, memory-mapped, estimator)
CASES = {
    "float64": ("X64", "Q64", False, False),
    "float32": ("X32", "Q32", False, False),
    "float32 Fortran": ("X32F", "Q32F", False, False),
    "float32 memmap": ("X32", "Q32", True, False),
    "estimator float64": ("X64", "Q64", False, True),
    "estimator float32": ("X32", "Q32", False, True),
}


def rss_anon() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("RssAnon:"))


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def added(call) -> int:
    """The anonymous memory the call added at its peak."""
    before, peak, done = rss_anon(), [0], threading.Event()

    def sample() -> None:
        while not done.is_set():
            peak[0] = max(peak[0], rss_anon())
            time.sleep(0.001)

    sampler = threading.Thread(target=sample)
    sampler.start()
    call()
    done.set()
    sampler.join()
    return max(peak[0], rss_anon()) - before


def child(case: str, folder: Path, measure) -> None:
    import quorvane
    from quorvane.sklearn import QuorvaneClassifier

    train_file, query_file, mapped, estimator = CASES[case]
    X = np.load(folder / f"{train_file}.npy", mmap_mode="r" if mapped else None)
    Q = np.load(folder / f"{query_file}.npy", mmap_mode="r" if mapped else None)
    y = np.load(folder / "y.npy")
    result = {}
    with contextlib.redirect_stdout(io.StringIO()):
        if estimator:
            model = QuorvaneClassifier()
            result["train"] = measure(lambda: model.fit(X, y))
            result["predict"] = measure(lambda: model.predict(Q))
        else:
            labels = y.tolist()
            engine = quorvane.KNNEngine(quorvane.KNNConfig())
            result["train"] = measure(lambda: engine.train(X, labels))
            result["predict"] = measure(lambda: engine.predict_batch(Q))
    print(json.dumps(result))


def write_data(folder: Path, rows: int, queries: int) -> None:
    model = workloads.SubspaceMixture(dim=256, rank=17, n_classes=16, seed=20240517)
    for name, n, seed in (("X", rows, 1), ("Q", queries, 2)):
        values, labels = model.sample(n, seed=seed)
        np.save(folder / f"{name}64.npy", values)
        values = values.astype(np.float32)
        np.save(folder / f"{name}32.npy", values)
        np.save(folder / f"{name}32F.npy", np.asfortranarray(values))
        if name == "X":
            np.save(folder / "y.npy", labels)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", nargs=3, metavar=("CASE", "FOLDER", "MEASURE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], Path(args.child[1]), timed if args.child[2] == "time" else added)
        return
    names = list(CASES)
    runs: dict[str, dict[str, list]] = {name: {"train": [], "predict": []} for name in names}
    memory: dict[str, dict[str, int]] = {}

    def run(name: str, measure: str) -> dict:
        done = subprocess.run([sys.executable, __file__, "--child", name, str(folder), measure],
                              check=True, capture_output=True, text=True)
        return json.loads(done.stdout)

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        print(f"writing {args.rows:,} x 256 rows and {args.queries:,} queries", file=sys.stderr)
        write_data(folder, args.rows, args.queries)
        for r in range(args.repeats):
            for name in names[r % len(names):] + names[: r % len(names)]:
                print(f"repeat {r + 1}/{args.repeats}: {name}", file=sys.stderr, flush=True)
                for step, seconds in run(name, "time").items():
                    runs[name][step].append(seconds)
        for name in names:
            print(f"memory: {name}", file=sys.stderr, flush=True)
            memory[name] = run(name, "memory")

    def median(name: str, step: str) -> float:
        return statistics.median(runs[name][step])

    print(f"\n{args.rows:,} x 256 -> 17 components, {args.queries:,} queries; medians of "
          f"{args.repeats} fresh processes per case (range in brackets); anonymous memory the call "
          f"added at its peak\n")
    print("| case | train | / float64 | + anon | predict | / float64 | + anon |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name in names:
        base = "estimator float64" if name.startswith("estimator") else "float64"
        cells = []
        for step in ("train", "predict"):
            t, low, high = median(name, step), min(runs[name][step]), max(runs[name][step])
            cells += [f"{t:.2f} s ({low:.2f}–{high:.2f})", f"{t / median(base, step):.2f}×",
                      f"{memory[name][step] / 2**20:.0f} MiB"]
        print(f"| {name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
