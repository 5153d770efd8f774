"""Benchmark quorvane against scikit-learn and NumPy + faiss, in one process.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv/bin/python bench/run.py [--quick] [--repeats N]

Every repeat runs every system once (repeat loop outside, systems inside, in rotating
order) and the report keeps medians. Labels are checked against an exact float64 NumPy
reference. Results go to bench/results/ (latest.md, latest.json, throughput.png);
--quick writes to bench/results/quick/ instead.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from importlib import metadata
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import systems  # noqa: E402
import workloads  # noqa: E402

clock = time.perf_counter


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def median(xs) -> float:
    return float(statistics.median(xs))


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


# ---------------------------------------------------------------- machine

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
    t = median(times)
    return {"n": n, "seconds": times, "gflops": 2.0 * n**3 / t / 1e9}


# ---------------------------------------------------------------- timing

def make_systems(w: workloads.Workload, ref: systems.Reference) -> dict:
    """name -> (factory, also time predict?). Extra scikit-learn solvers time fit only."""
    k, v, n, d = w.k, w.variance, *w.X_train.shape
    entries = {
        "quorvane": (lambda: systems.Quorvane(k, v), True),
        "scikit-learn": (lambda: systems.Sklearn(k, v, "full"), True),
        "NumPy + faiss": (lambda: systems.NumpyFaiss(k, v), True),
        # randomized needs a count; the reference's count is the one the rule gives.
        "scikit-learn randomized": (
            lambda: systems.Sklearn(k, ref.n_components, "randomized"), False),
    }
    # covariance_eigh forms the d × d covariance: hopeless for 20,000 features.
    if d <= n:
        entries["scikit-learn covariance_eigh"] = (
            lambda: systems.Sklearn(k, v, "covariance_eigh"), False)
    return entries


def summarize(samples: list[float]) -> dict | None:
    """Thousands of one-row timings would swamp the JSON; percentiles tell enough."""
    if not samples:
        return None
    p10, p50, p90 = np.percentile(samples, [10, 50, 90])
    return {"calls": len(samples), "p10": p10, "median": p50, "p90": p90,
            "min": min(samples), "max": max(samples)}


def fit_input(name: str, w: workloads.Workload):
    return w.y_train_list if name == "quorvane" else w.y_train


def settle() -> None:
    """Collects garbage and waits for the worker threads of the previous system (OpenBLAS
    pthreads, faiss's and quorvane's OpenMP teams) to stop spinning: the libraries share
    two cores, and a timing must not pay for the spin-wait of the library timed before."""
    gc.collect()
    time.sleep(0.2)


def bench_workload(w: workloads.Workload, repeats: int, one_row_calls: dict | None) -> dict:
    log(f"[{w.name}] {w.shape}: exact NumPy reference")
    t0 = clock()
    ref = systems.Reference(w.X_train, w.y_train, w.X_query, w.k, w.variance)
    ref_seconds = clock() - t0
    entries = make_systems(w, ref)
    names = list(entries)
    times = {name: {"fit": [], "predict": [], "predict_one": []} for name in names}
    checks: dict = {}
    for r in range(repeats):
        log(f"[{w.name}] repeat {r + 1}/{repeats}")
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            factory, with_predict = entries[name]
            system = factory()
            settle()
            times[name]["fit"].append(system.fit_timed(w.X_train, fit_input(name, w), clock))
            if not with_predict:
                continue
            settle()
            t0 = clock()
            labels = system.predict(w.X_query)
            times[name]["predict"].append(clock() - t0)
            if r == 0:
                labels = np.asarray(labels, dtype=str)
                checks[name] = {
                    "n_components": system.n_components,
                    "vs_reference": ref.compare(labels),
                    "accuracy": float(np.mean(labels == w.y_query)),
                }
                if name == "quorvane":
                    checks[name]["console"] = system.console.strip().splitlines()
            if one_row_calls:
                x = w.X_query[0]
                settle()
                system.predict_one(x)  # first call pays one-off set-up
                for _ in range(one_row_calls[name]):
                    t0 = clock()
                    system.predict_one(x)
                    times[name]["predict_one"].append(clock() - t0)
            del system
    med = {name: {step: median(ts) for step, ts in steps.items() if ts}
           for name, steps in times.items()}
    for steps in times.values():
        steps["predict_one"] = summarize(steps["predict_one"])
    solvers = {name.split()[-1] if " " in name else "full": med[name]["fit"]
               for name in names if name.startswith("scikit-learn")}
    best = min(solvers, key=solvers.get)
    return {
        "name": w.name, "shape": list(w.X_train.shape), "queries": len(w.X_query),
        "k": w.k, "variance": w.variance, "note": w.note, "repeats": repeats,
        "reference": {"n_components": ref.n_components, "mode": ref.mode,
                      "accuracy": float(np.mean(ref.labels == w.y_query)),
                      "seconds": ref_seconds},
        "checks": checks, "times": times, "medians": med,
        "sklearn_fit_by_solver": solvers, "sklearn_fastest_solver": best,
    }


def bench_sweep(base: workloads.Workload, sizes: list[int], n_query: int, repeats: int) -> dict:
    parts = [base.prefix(n, n_query) for n in sizes]
    factories = {
        "quorvane": lambda w: systems.Quorvane(w.k, w.variance),
        "scikit-learn": lambda w: systems.Sklearn(w.k, w.variance, "full"),
        "NumPy + faiss": lambda w: systems.NumpyFaiss(w.k, w.variance),
    }
    names = list(factories)
    fitted = {}
    for w in parts:
        log(f"[sweep] fitting on {len(w.X_train)} samples")
        for name in names:
            system = factories[name](w)
            system.fit_timed(w.X_train, fit_input(name, w), clock)
            fitted[name, len(w.X_train)] = system
    times = {name: {n: [] for n in sizes} for name in names}
    for r in range(repeats):
        log(f"[sweep] repeat {r + 1}/{repeats}")
        order = names[r % len(names):] + names[:r % len(names)]
        for w in parts:
            for name in order:
                settle()
                t0 = clock()
                fitted[name, len(w.X_train)].predict(w.X_query)
                times[name][len(w.X_train)].append(clock() - t0)
    fitted.clear()
    return {
        "sizes": sizes, "queries": n_query, "repeats": repeats, "times": times,
        "queries_per_second": {name: {n: n_query / median(ts) for n, ts in by.items()}
                               for name, by in times.items()},
    }


def measure_memory(w: workloads.Workload) -> dict:
    log(f"[memory] quorvane train + predict_batch on {w.name} in a subprocess")
    with tempfile.TemporaryDirectory() as folder:
        np.save(os.path.join(folder, "X_train.npy"), w.X_train)
        np.save(os.path.join(folder, "X_query.npy"), w.X_query)
        np.save(os.path.join(folder, "y_train.npy"), np.asarray(w.y_train, dtype=str))
        subprocess.run([sys.executable, str(HERE / "memory_probe.py"), folder, str(w.k),
                        repr(w.variance)], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(folder, "memory.json")) as f:
            return json.load(f)


# ---------------------------------------------------------------- report

def fmt_time(s: float | None) -> str:
    if s is None:
        return "–"
    if s >= 1.0:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms"
    return f"{s * 1e6:.1f} µs"


def fmt_ratio(peer: float | None, ours: float | None) -> str:
    if not peer or not ours:
        return "–"
    return f"{peer / ours:.2f}×"


def mib(b: float) -> str:
    return f"{b / 2**20:.0f} MiB"


def bound_of(res: dict, rate: float) -> dict:
    n, d = res["shape"]
    q = res["queries"]
    m = res["checks"]["quorvane"]["n_components"] or res["reference"]["n_components"]
    flops = 2.0 * n * q * m + 2.0 * q * d * m
    return {"flops": flops, "seconds": flops / (rate * 1e9), "n_components": m}


def report(info: dict, gemm: dict, results: list[dict], sweep: dict, memory: dict | None,
           quick: bool, foreign: dict) -> str:
    blas = info["numpy_blas"] or {}
    fblas = info["faiss_blas"] or {}
    lines = [
        f"# quorvane benchmark{' (quick)' if quick else ''}",
        "",
        f"- Machine: {info['cpu']}, {info['cpu_count']} logical CPUs "
        f"({info['affinity']} usable), {info['memory_gib']} GiB; Python {info['python']}",
        f"- NumPy {info['versions']['numpy']} BLAS: {blas.get('internal_api')} "
        f"{blas.get('version')}, kernel architecture {blas.get('architecture')}, "
        f"{blas.get('num_threads')} threads ({blas.get('threading_layer')}); "
        f"OPENBLAS_CORETYPE={info['env']['OPENBLAS_CORETYPE'] or 'unset'}, "
        f"OPENBLAS_L2_SIZE={info['env']['OPENBLAS_L2_SIZE'] or 'unset'}",
        f"- faiss-cpu {info['versions']['faiss-cpu']}: {info['faiss_omp_threads']} OpenMP threads, "
        f"own BLAS {fblas.get('internal_api')} {fblas.get('version')} "
        f"({fblas.get('architecture')}, {fblas.get('threading_layer')})",
        f"- scikit-learn {info['versions']['scikit-learn']}; quorvane "
        f"{info['versions']['quorvane']} built {info['quorvane_built']} at {info['git_head']}"
        f"{' (src/ modified)' if info['src_modified'] else ''}; "
        f"OMP_NUM_THREADS={info['env']['OMP_NUM_THREADS'] or 'unset'}",
        f"- DGEMM (NumPy matmul, {gemm['n']}² float64, median of "
        f"{len(gemm['start']['seconds'])} at the start and at the end, the better kept): "
        f"{gemm['gflops']:.1f} GFLOP/s (start {gemm['start']['gflops']:.1f}, "
        f"end {gemm['end']['gflops']:.1f})",
        "- CPU used by other processes during the timings (cores, average): "
        + ", ".join(f"{name} {cores:.2f}" for name, cores in foreign.items())
        + (" (noisy: treat ratios with care)" if max(foreign.values()) > 0.1 else ""),
        "",
        "## Median times",
        "",
        "Ratios are peer time ÷ quorvane time: above 1× quorvane is faster. scikit-learn is "
        "PCA(svd_solver='full') + brute-force KNeighborsClassifier (n_jobs=-1); NumPy + faiss is "
        "an eigh PCA + IndexFlatL2 (float32) + a vote.",
        "",
        "| data set | step | quorvane | scikit-learn | NumPy + faiss | sklearn ÷ quorvane "
        "| faiss ÷ quorvane |",
        "| --- | --- | ---: | ---: | ---: | ---: | ---: |",
    ]
    for res in results:
        med = res["medians"]
        q, sk, fa = med["quorvane"], med["scikit-learn"], med["NumPy + faiss"]
        n, d = res["shape"]
        head = f"{res['name']} ({n}×{d}, {res['queries']} queries, ×{res['repeats']})"
        best = res["sklearn_fastest_solver"]
        best_fit = res["sklearn_fit_by_solver"][best]
        rows = [
            ("train / fit", q["fit"], sk["fit"], fa["fit"]),
            (f"fit, fastest sklearn PCA solver ({best})", q["fit"], best_fit, None),
            ("predict_batch / predict", q["predict"], sk["predict"], fa["predict"]),
        ]
        if "predict_one" in q:
            rows.append(("predict one row", q["predict_one"], sk.get("predict_one"),
                         fa.get("predict_one")))
        for i, (step, a, b, c) in enumerate(rows):
            lines.append(f"| {head if i == 0 else ''} | {step} | {fmt_time(a)} | {fmt_time(b)} "
                         f"| {fmt_time(c)} | {fmt_ratio(b, a)} | {fmt_ratio(c, a)} |")
    lines += [
        "",
        "## predict_batch against the arithmetic bound",
        "",
        "Bound = (2·n_train·n_queries·m + 2·n_queries·d·m) flops at the DGEMM rate above "
        "(distance products plus the projection).",
        "",
        "| data set | m | GFLOP | bound | quorvane | quorvane ÷ bound | NumPy + faiss ÷ bound |",
        "| --- | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for res in results:
        b = res["bound"]
        q = res["medians"]["quorvane"]["predict"]
        f = res["medians"]["NumPy + faiss"]["predict"]
        lines.append(f"| {res['name']} | {b['n_components']} | {b['flops'] / 1e9:.2f} "
                     f"| {fmt_time(b['seconds'])} | {fmt_time(q)} | {q / b['seconds']:.1f}× "
                     f"| {f / b['seconds']:.1f}× |")
    lines += [
        "",
        "## Labels against the exact float64 NumPy reference",
        "",
        "Differing labels per system (first repeat); 'near-ties' counts those whose k-th and "
        "(k+1)-th reference distances are within 1e-9 relative.",
        "",
        "| data set | components (ref / quorvane / sklearn / faiss) | quorvane | scikit-learn "
        "| NumPy + faiss | accuracy (ref / quorvane) |",
        "| --- | --- | ---: | ---: | ---: | --- |",
    ]
    for res in results:
        c = res["checks"]
        comps = " / ".join(str(x) for x in (res["reference"]["n_components"],
                                              c["quorvane"]["n_components"],
                                              c["scikit-learn"]["n_components"],
                                              c["NumPy + faiss"]["n_components"]))

        def diff(name: str) -> str:
            v = c[name]["vs_reference"]
            s = f"{v['differing']} of {v['of']}"
            return s + (f" ({v['at_near_ties']} near-ties)" if v["differing"] else "")

        lines.append(f"| {res['name']} ({res['reference']['mode']}) | {comps} | {diff('quorvane')} "
                     f"| {diff('scikit-learn')} | {diff('NumPy + faiss')} "
                     f"| {res['reference']['accuracy']:.4f} / {c['quorvane']['accuracy']:.4f} |")
    qps = sweep["queries_per_second"]
    lines += [
        "",
        f"## Predict throughput against training-set size ({sweep['queries']} queries, "
        f"large generator, ×{sweep['repeats']})",
        "",
        "| training samples | quorvane (queries/s) | scikit-learn | NumPy + faiss |",
        "| ---: | ---: | ---: | ---: |",
    ]
    for n in sweep["sizes"]:
        lines.append(f"| {n} | {qps['quorvane'][n]:,.0f} | {qps['scikit-learn'][n]:,.0f} "
                     f"| {qps['NumPy + faiss'][n]:,.0f} |")
    if memory:
        lines += [
            "",
            f"## Peak memory, quorvane train + predict_batch on {memory['workload']} "
            "(separate process)",
            "",
            f"- ru_maxrss {mib(memory['peak_rss'])} (after train {mib(memory['peak_after_train'])}, "
            f"VmHWM {mib(memory['vm_hwm'])});"
            f" inputs {mib(memory['input_bytes'])} → peak minus inputs "
            f"{mib(memory['peak_rss'] - memory['input_bytes'])}",
            f"- interpreter + modules before loading {mib(memory['baseline_rss'])}; "
            f"resident before train {mib(memory['rss_before_train'])} → working memory of "
            f"train + predict_batch {mib(memory['peak_rss'] - memory['rss_before_train'])}",
        ]
    return "\n".join(lines) + "\n"


def plot(sweep: dict, info: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for name, marker in (("quorvane", "o"), ("scikit-learn", "s"), ("NumPy + faiss", "^")):
        qps = sweep["queries_per_second"][name]
        ax.plot(sweep["sizes"], [qps[n] for n in sweep["sizes"]], marker=marker, label=name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xticks(sweep["sizes"], [f"{n // 1000}k" for n in sweep["sizes"]])
    ax.minorticks_off()
    ax.yaxis.set_major_locator(matplotlib.ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
    ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:,.0f}"))
    ax.set_xlabel("training samples (256 features, ~17 kept components)")
    ax.set_ylabel("predict throughput (queries/s)")
    ax.set_title(f"k-NN predict, {sweep['queries']} queries, median of {sweep['repeats']}\n"
                 f"{info['cpu']}, {info['affinity']} threads", fontsize=10)
    ax.grid(True, which="major", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=130)
    plt.close(fig)


def to_json(obj):
    if isinstance(obj, dict):
        return {str(k): to_json(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [to_json(v) for v in obj]
    if isinstance(obj, np.generic):
        return obj.item()
    return obj


# ---------------------------------------------------------------- main

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

    if args.quick:
        sizes = dict(large=(20_000, 2_000), thin=(300, 500, 5_000), sweep=[5_000, 10_000, 20_000],
                     sweep_queries=500, gemm=2_000)
        repeats = args.repeats or 3
        out = args.out or HERE / "results" / "quick"
    else:
        sizes = dict(large=(100_000, 10_000), thin=(500, 2_000, 20_000),
                     sweep=[10_000, 25_000, 50_000, 100_000], sweep_queries=2_000, gemm=4_000)
        repeats = args.repeats or 5
        out = args.out or HERE / "results"
    out.mkdir(parents=True, exist_ok=True)
    if os.environ.get("OPENBLAS_CORETYPE") or os.environ.get("OPENBLAS_L2_SIZE"):
        log("warning: OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE are set; NumPy runs a slower kernel. "
            "Run with: env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE ...")

    import faiss

    # faiss keeps its own OpenMP runtime; give it every core, like the others get.
    faiss.omp_set_num_threads(os.cpu_count())
    info = machine_info()
    wait_until = clock() + 60.0 * args.wait_idle
    quiet = 0
    while True:
        with ForeignLoad() as load:
            time.sleep(2.0)
        quiet = quiet + 1 if load.cores < 0.1 else 0
        if quiet >= 5 or clock() >= wait_until:
            break
        log(f"waiting for the machine to go quiet (others use {load.cores:.2f} cores)")
    if load.cores >= 0.1:
        log(f"warning: other processes keep {load.cores:.2f} cores busy; timings will be noisy")
    started = clock()

    log(f"DGEMM rate ({sizes['gemm']}²)")
    with ForeignLoad() as load:
        gemm = dgemm_rate(sizes["gemm"])
    foreign = {"dgemm (start)": load.cores}

    log("generating data sets")
    large = workloads.large(*sizes["large"])
    sets = [large, workloads.thin(*sizes["thin"]), workloads.digits()]
    small = 3 * repeats
    one_row = {"quorvane": 500, "scikit-learn": 40, "NumPy + faiss": 200}
    results = []
    for w in sets:
        reps = repeats if w is large else small
        with ForeignLoad() as load:
            res = bench_workload(w, reps, one_row if w.name == "digits" else None)
        foreign[w.name] = load.cores
        results.append(res)

    with ForeignLoad() as load:
        sweep = bench_sweep(large, sizes["sweep"], sizes["sweep_queries"], repeats)
    foreign["sweep"] = load.cores

    # A neighbour's burst slows one measurement; the bound wants the machine's rate,
    # so the better of a measurement at either end of the run is kept.
    with ForeignLoad() as load:
        gemm_end = dgemm_rate(sizes["gemm"])
    foreign["dgemm (end)"] = load.cores
    gemm = {"n": gemm["n"], "start": gemm, "end": gemm_end,
            "gflops": max(gemm["gflops"], gemm_end["gflops"])}
    for res in results:
        res["bound"] = bound_of(res, gemm["gflops"])
    memory = None
    if not args.no_memory:
        memory = measure_memory(large)
        memory["workload"] = f"large ({large.shape})"

    text = report(info, gemm, results, sweep, memory, args.quick, foreign)
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
    (out / "latest.json").write_text(json.dumps(to_json(payload), indent=1) + "\n")
    plot(sweep, info, out / "throughput.png")
    print(text, end="")
    log(f"wrote {out / 'latest.md'}, {out / 'latest.json'}, {out / 'throughput.png'}")


if __name__ == "__main__":
    main()
