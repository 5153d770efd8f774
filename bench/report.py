"""The Markdown report and the JSON payload, from the results of a run."""

from __future__ import annotations

import numpy as np

PEERS = ("quorvane", "scikit-learn", "NumPy + faiss")


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


def components_of(res: dict) -> int:
    return res["checks"]["quorvane"]["n_components"] or res["reference"]["n_components"]


def predict_bound(res: dict, rate: float) -> dict:
    """Distance products plus the projection of the queries."""
    n, d = res["shape"]
    q, m = res["queries"], components_of(res)
    flops = 2.0 * n * q * m + 2.0 * q * d * m
    return {"flops": flops, "seconds": flops / (rate * 1e9), "n_components": m}


def train_bound(res: dict, rate: float) -> dict:
    """The symmetric product's upper triangle (covariance, or Gram plus mapping the kept
    axes back) and the projection of the training set."""
    n, d = res["shape"]
    m = components_of(res)
    if res["reference"]["mode"] == "thin":
        flops = n * (n + 1.0) * d + 2.0 * n * d * m
    else:
        flops = n * d * (d + 1.0)
    flops += 2.0 * n * d * m
    return {"flops": flops, "seconds": flops / (rate * 1e9), "n_components": m}


def header(info: dict, gemm: dict, quick: bool, foreign: dict) -> list[str]:
    blas = info["numpy_blas"] or {}
    fblas = info["faiss_blas"] or {}
    return [
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
    ]


def median_table(results: list[dict]) -> list[str]:
    lines = [
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
        q, sk, fa = (med[name] for name in PEERS)
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
        # Rows timed beside the main steps: {"step": ..., "medians": {system: seconds}}.
        for extra in res.get("extra_rows", []):
            rows.append((extra["step"], *(extra["medians"].get(name) for name in PEERS)))
        for i, (step, a, b, c) in enumerate(rows):
            lines.append(f"| {head if i == 0 else ''} | {step} | {fmt_time(a)} | {fmt_time(b)} "
                         f"| {fmt_time(c)} | {fmt_ratio(b, a)} | {fmt_ratio(c, a)} |")
    return lines


def bound_tables(results: list[dict]) -> list[str]:
    lines = [
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
        "## train against the arithmetic bound",
        "",
        "Bound = the symmetric product's upper triangle (Standard: n·d·(d+1) flops for the "
        "covariance; Thin: n·(n+1)·d for the Gram matrix plus 2·n·d·m to map the kept axes "
        "back) plus 2·n·d·m for projecting the training set, at the DGEMM rate above; the "
        "eigen-decomposition is not counted.",
        "",
        "| data set | mode | GFLOP | bound | quorvane | achieved GFLOP/s | quorvane ÷ bound |",
        "| --- | --- | ---: | ---: | ---: | ---: | ---: |",
    ]
    for res in results:
        b = res["train_bound"]
        q = res["medians"]["quorvane"]["fit"]
        lines.append(f"| {res['name']} | {res['reference']['mode']} | {b['flops'] / 1e9:.2f} "
                     f"| {fmt_time(b['seconds'])} | {fmt_time(q)} | {b['flops'] / q / 1e9:.1f} "
                     f"| {q / b['seconds']:.1f}× |")
    return lines


def label_table(results: list[dict]) -> list[str]:
    lines = [
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
                                              *(c[name]["n_components"] for name in PEERS)))

        def diff(name: str) -> str:
            v = c[name]["vs_reference"]
            s = f"{v['differing']} of {v['of']}"
            return s + (f" ({v['at_near_ties']} near-ties)" if v["differing"] else "")

        lines.append(f"| {res['name']} ({res['reference']['mode']}) | {comps} | {diff('quorvane')} "
                     f"| {diff('scikit-learn')} | {diff('NumPy + faiss')} "
                     f"| {res['reference']['accuracy']:.4f} / {c['quorvane']['accuracy']:.4f} |")
    return lines


def sweep_table(sweep: dict) -> list[str]:
    qps = sweep["queries_per_second"]
    lines = [
        f"## Predict throughput against training-set size ({sweep['queries']} queries, "
        f"large generator, ×{sweep['repeats']})",
        "",
        "| training samples | quorvane (queries/s) | scikit-learn | NumPy + faiss |",
        "| ---: | ---: | ---: | ---: |",
    ]
    for n in sweep["sizes"]:
        lines.append(f"| {n} | {qps['quorvane'][n]:,.0f} | {qps['scikit-learn'][n]:,.0f} "
                     f"| {qps['NumPy + faiss'][n]:,.0f} |")
    return lines


def memory_lines(memory: dict) -> list[str]:
    return [
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


def report(info: dict, gemm: dict, results: list[dict], sweep: dict, memory: dict | None,
           quick: bool, foreign: dict) -> str:
    sections = [header(info, gemm, quick, foreign), median_table(results),
                bound_tables(results), label_table(results), sweep_table(sweep)]
    if memory:
        sections.append(memory_lines(memory))
    return "\n\n".join("\n".join(s) for s in sections) + "\n"


def to_json(obj):
    if isinstance(obj, dict):
        return {str(k): to_json(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [to_json(v) for v in obj]
    if isinstance(obj, np.generic):
        return obj.item()
    return obj
