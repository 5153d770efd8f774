"""Timing of every system on one data set, and of predict against training-set size.

Every repeat runs every system once (repeat loop outside, systems inside, in rotating
order) and the results keep medians."""

from __future__ import annotations

import gc
import statistics
import time

import numpy as np

import systems
import workloads
from machine import clock, log


def median(xs) -> float:
    return float(statistics.median(xs))


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
        "extra_rows": [],
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
