"""Benchmark quorvane against scikit-learn and NumPy + faiss, in one process.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv/bin/python bench/run.py [--quick] [--repeats N]

Drives the parts: machine.py (machine probe, DGEMM rate, foreign load), timing.py (each
system on each data set, the size sweep), memory_probe.py (peak memory in a fresh
process), report.py (Markdown and JSON) and plot.py. Labels are checked against an
exact float64 NumPy reference. Results go to bench/results/ (latest.md, latest.json,
throughput.png); --quick writes to bench/results/quick/ instead.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import machine  # noqa: E402
import memory_probe  # noqa: E402
import plot  # noqa: E402
import report  # noqa: E402
import timing  # noqa: E402
import workloads  # noqa: E402
from machine import clock, log  # noqa: E402
import numpy as np  # noqa: E402

SIZES = {
    "full": dict(large=(100_000, 10_000), thin=(500, 2_000, 20_000),
                 sweep=[10_000, 25_000, 50_000, 100_000], sweep_queries=2_000, gemm=4_000),
    "quick": dict(large=(20_000, 2_000), thin=(300, 500, 5_000), sweep=[5_000, 10_000, 20_000],
                  sweep_queries=500, gemm=2_000),
}


def extra_rows(w: workloads.Workload, repeats: int) -> list[dict]:
    """Steps timed beside train and predict, one row each in the median table:
    {"step": name, "medians": {system name: seconds}} (a system left out shows "–").
    A new step is one entry added here."""
    import systems
    from quorvane.sklearn import QuorvaneClassifier

    ours = QuorvaneClassifier(n_neighbors=w.k, variance=w.variance).fit(w.X_train, w.y_train)
    sklearn = systems.Sklearn(w.k, ours.n_components_)
    sklearn.fit_timed(w.X_train, w.y_train, clock)
    pca, knn = sklearn._pipe[0], sklearn._pipe[-1]
    faiss = systems.NumpyFaiss(w.k, w.variance)
    faiss.fit_timed(w.X_train, w.y_train, clock)

    def faiss_search():
        return faiss.index.search(np.ascontiguousarray((w.X_query - faiss.mean) @ faiss.axes, dtype=np.float32), w.k)

    steps = {
        "kneighbors": {"quorvane": lambda: ours.kneighbors(w.X_query),
                       "scikit-learn": lambda: knn.kneighbors(pca.transform(w.X_query)),
                       "NumPy + faiss": faiss_search},
        "predict_proba": {"quorvane": lambda: ours.predict_proba(w.X_query),
                          "scikit-learn": lambda: sklearn._pipe.predict_proba(w.X_query)},
    }
    rows = []
    for step, calls in steps.items():
        medians = {}
        for name, call in calls.items():
            # As in the main table: the previous library's spinning threads
            # must not share the cores with this one's timings.
            timing.settle()
            call()
            samples = []
            for _ in range(repeats):
                t0 = clock()
                call()
                samples.append(clock() - t0)
            medians[name] = timing.median(samples)
        rows.append({"step": step, "medians": medians})
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--repeats", type=int, default=None,
                        help="repeats for the large set and the sweep (small sets get 3×)")
    parser.add_argument("--out", type=Path, default=None, help="folder for the results")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory subprocess")
    parser.add_argument("--wait-idle", type=float, default=0.0, metavar="MINUTES",
                        help="first wait up to this long for other processes to go quiet")
    args = parser.parse_args()

    sizes = SIZES["quick" if args.quick else "full"]
    repeats = args.repeats or (3 if args.quick else 5)
    out = args.out or (HERE / "results" / "quick" if args.quick else HERE / "results")
    out.mkdir(parents=True, exist_ok=True)
    if os.environ.get("OPENBLAS_CORETYPE") or os.environ.get("OPENBLAS_L2_SIZE"):
        log("warning: OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE are set; NumPy runs a slower kernel. "
            "Run with: env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE ...")

    import faiss

    # faiss keeps its own OpenMP runtime; give it every core, like the others get.
    faiss.omp_set_num_threads(os.cpu_count())
    info = machine.machine_info()
    load = machine.wait_until_quiet(args.wait_idle)
    if load >= 0.1:
        log(f"warning: other processes keep {load:.2f} cores busy; timings will be noisy")
    started = clock()

    log(f"DGEMM rate ({sizes['gemm']}²)")
    with machine.ForeignLoad() as load:
        gemm = machine.dgemm_rate(sizes["gemm"])
    foreign = {"dgemm (start)": load.cores}

    log("generating data sets")
    large = workloads.large(*sizes["large"])
    sets = [large, workloads.thin(*sizes["thin"]), workloads.digits()]
    one_row = {"quorvane": 500, "scikit-learn": 40, "NumPy + faiss": 200}
    results = []
    for w in sets:
        reps = repeats if w is large else 3 * repeats
        with machine.ForeignLoad() as load:
            res = timing.bench_workload(w, reps, one_row if w.name == "digits" else None)
            res["extra_rows"] = extra_rows(w, reps)
        foreign[w.name] = load.cores
        results.append(res)

    with machine.ForeignLoad() as load:
        sweep = timing.bench_sweep(large, sizes["sweep"], sizes["sweep_queries"], repeats)
    foreign["sweep"] = load.cores

    # A neighbour's burst slows one measurement; the bound wants the machine's rate,
    # so the better of a measurement at either end of the run is kept.
    with machine.ForeignLoad() as load:
        gemm_end = machine.dgemm_rate(sizes["gemm"])
    foreign["dgemm (end)"] = load.cores
    gemm = {"n": gemm["n"], "start": gemm, "end": gemm_end,
            "gflops": max(gemm["gflops"], gemm_end["gflops"])}
    for res in results:
        res["bound"] = report.predict_bound(res, gemm["gflops"])
        res["train_bound"] = report.train_bound(res, gemm["gflops"])
    memory = None
    if not args.no_memory:
        memory = memory_probe.measure(large)
        memory["workload"] = f"large ({large.shape})"

    text = report.report(info, gemm, results, sweep, memory, args.quick, foreign)
    elapsed = clock() - started
    text += f"\nTotal benchmark time {elapsed / 60:.1f} min.\n"
    payload = {
        "command": " ".join([Path(sys.executable).name, *sys.argv]),
        "quick": args.quick, "machine": info, "dgemm": gemm, "workloads": results,
        "sweep": sweep, "memory": memory, "foreign_load_cores": foreign,
        "elapsed_seconds": elapsed,
        "created": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
    }
    (out / "latest.md").write_text(text)
    (out / "latest.json").write_text(json.dumps(report.to_json(payload), indent=1) + "\n")
    plot.plot(sweep, info, out / "throughput.png")
    print(text, end="")
    log(f"wrote {out / 'latest.md'}, {out / 'latest.json'}, {out / 'throughput.png'}")


if __name__ == "__main__":
    main()
