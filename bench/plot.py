"""The throughput plot: predict queries per second against training-set size."""

from __future__ import annotations

from pathlib import Path


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
