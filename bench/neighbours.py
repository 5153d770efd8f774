"""kneighbors and predict_proba against predict_batch on the large workload.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv/bin/python bench/neighbours.py [--repeats N]

The three share one search; the neighbour API must cost no more than 1.3 times
the vote. Prints one markdown row per call with its median and its ratio.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import workloads  # noqa: E402
from quorvane import KNNConfig, KNNEngine  # noqa: E402
from quorvane.sklearn import QuorvaneClassifier  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    w = workloads.large()
    config = KNNConfig()
    config.k, config.variance = w.k, w.variance
    engine = KNNEngine(config)
    with contextlib.redirect_stdout(io.StringIO()):
        engine.train(w.X_train, w.y_train_list)
    estimator = QuorvaneClassifier(n_neighbors=w.k, variance=w.variance).fit(w.X_train, w.y_train)
    calls = {
        "engine.predict_batch": lambda: engine.predict_batch(w.X_query),
        "engine.kneighbors": lambda: engine.kneighbors(w.X_query, w.k),
        "QuorvaneClassifier.predict_proba": lambda: estimator.predict_proba(w.X_query),
        "QuorvaneClassifier.predict": lambda: estimator.predict(w.X_query),
    }
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(args.repeats):  # calls interleaved, so drift hits them alike
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    assert list(estimator.predict(w.X_query)) == engine.predict_batch(w.X_query)
    base = statistics.median(times["engine.predict_batch"])
    print(f"{w.name} ({w.shape}), k = {w.k}, median of {args.repeats}\n")
    print("| call | time | / predict_batch |\n| --- | ---: | ---: |")
    for name, ts in times.items():
        t = statistics.median(ts)
        print(f"| {name} | {t * 1e3:.0f} ms | {t / base:.2f}× |")


if __name__ == "__main__":
    np.seterr(all="raise")
    main()
