"""Writes the fuzzer's seed corpus: small real model files of every kind the loader meets."""

import contextlib
import io
import sys
from pathlib import Path

import numpy as np

from quorvane import KNNConfig, KNNEngine


def engine(X, y, scale=False, k=3, variance=0.95):
    e = KNNEngine(KNNConfig())
    config = KNNConfig()
    config.k, config.variance = k, variance
    e = KNNEngine(config)
    with contextlib.redirect_stdout(io.StringIO()):
        e.train(X, y, scale=scale)
    return e


def main(folder: Path) -> None:
    rng = np.random.default_rng(0)
    X = rng.normal(size=(40, 5)) * [4, 3, 2, 1, 0.5]
    labels = [("ant", "bee", "cat")[i % 3] for i in range(40)]
    models = {
        "standard": engine(X, labels, scale=True),
        "thin": engine(rng.normal(size=(8, 20)), [str(i % 2) for i in range(8)], variance=3.0),
        "beyond-the-screen": engine(X * 1e15, labels, k=1),  # reduced values past float screening
        "one-label": engine(X[:12], ["only"] * 12, k=20),
        "byte-labels": engine(X[:10], [b"", b"\xff\xfe", "é", b"x" * 40] * 2 + ["a", "b"], k=2),
        "untrained": KNNEngine(KNNConfig()),
    }
    folder.mkdir(parents=True, exist_ok=True)
    for name, model in models.items():
        model.save(folder / f"{name}.qv")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
