"""What the adaptive PCA chose on scikit-learn's digits: a scree plot with the cut that
`variance` made, and the digits in the first two components.

    .venv/bin/pip install matplotlib && .venv/bin/python examples/inspect_reduction.py [--out .]

Writes scree.png and digits_2d.png into --out.
"""

import argparse
from pathlib import Path

import numpy as np
from sklearn.datasets import load_digits

from quorvane.sklearn import QuorvaneClassifier

try:
    import matplotlib

    matplotlib.use("Agg")  # files only, no window
    import matplotlib.pyplot as plt
except ModuleNotFoundError as missing:
    raise SystemExit('this example draws with matplotlib: pip install matplotlib') from missing


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("."), help="folder for the PNG files")
    parser.add_argument("--variance", type=float, default=0.95, help="the fraction of variance to keep")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    X, y = load_digits(return_X_y=True)
    # Every axis, to draw the whole spectrum; then the model the threshold makes.
    everything = QuorvaneClassifier(variance=float(X.shape[1])).fit(X, y)
    model = QuorvaneClassifier(variance=args.variance).fit(X, y)
    ratios = everything.explained_variance_ratio_
    kept = model.n_components_
    print(f"digits: {X.shape[0]} samples, {X.shape[1]} features; variance={args.variance} keeps {kept} "
          f"components, {model.explained_variance_ratio_.sum():.1%} of the variance")

    figure, axes = plt.subplots(figsize=(7, 4))
    position = np.arange(1, len(ratios) + 1)
    axes.bar(position[:kept], ratios[:kept], color="tab:blue", label=f"kept ({kept})")
    axes.bar(position[kept:], ratios[kept:], color="lightgray", label="dropped")
    twin = axes.twinx()
    twin.plot(position, np.cumsum(ratios), color="black", linewidth=1)
    twin.axhline(args.variance, color="tab:red", linestyle="--", linewidth=1)
    twin.set_ylim(0, 1.02)
    twin.set_ylabel("cumulative share")
    axes.axvline(kept + 0.5, color="tab:red", linewidth=1)
    axes.set_xlabel("component")
    axes.set_ylabel("share of the variance")
    axes.set_title(f"digits: variance={args.variance} keeps {kept} of {len(ratios)} components")
    axes.legend(loc="center right")
    figure.tight_layout()
    figure.savefig(args.out / "scree.png", dpi=110)

    reduced = model.transform(X)
    figure, axes = plt.subplots(figsize=(6, 5))
    points = axes.scatter(reduced[:, 0], reduced[:, 1], c=y, cmap="tab10", s=6)
    axes.set_xlabel(f"component 1 ({model.explained_variance_ratio_[0]:.1%})")
    axes.set_ylabel(f"component 2 ({model.explained_variance_ratio_[1]:.1%})")
    axes.set_title("digits in the first two components")
    figure.colorbar(points, ax=axes, ticks=range(10), label="digit")
    figure.tight_layout()
    figure.savefig(args.out / "digits_2d.png", dpi=110)
    print(f"wrote {args.out / 'scree.png'} and {args.out / 'digits_2d.png'}")


if __name__ == "__main__":
    main()
