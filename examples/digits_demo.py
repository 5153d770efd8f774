"""Classify scikit-learn's bundled handwritten digits with quorvane and with a
scikit-learn pipeline (PCA + brute-force k-NN) on the same split, each timed on
the same number of threads."""

import contextlib
import ctypes
import gc
import io
import os
import statistics
import time
from collections.abc import Callable

import numpy as np
from sklearn.datasets import load_digits
from sklearn.decomposition import PCA
from sklearn.model_selection import train_test_split
from sklearn.neighbors import KNeighborsClassifier
from sklearn.pipeline import make_pipeline
from threadpoolctl import threadpool_limits

import quorvane

RUNS = 7

# quorvane's own OpenMP runtime, found through the compiled module's dependencies
# (a repaired wheel carries it under another name than the system's libgomp.so.1).
_openmp = ctypes.CDLL(quorvane._core.__file__, mode=os.RTLD_NOLOAD)


def median_ms(run: Callable[[], None]) -> float:
    """Median of RUNS timed calls, after one untimed call that pays one-off set-up costs."""
    run()
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def settle() -> None:
    """Lets the threads of the library timed before stop spinning, so that they do not
    take the cores from the next one."""
    gc.collect()
    time.sleep(0.2)


def main() -> None:
    X, digits = load_digits(return_X_y=True)
    y = [str(d) for d in digits]
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.25, random_state=42, stratify=y)
    print(f"digits: {len(X_train)} training and {len(X_test)} held-out samples, {X.shape[1]} features")

    config = quorvane.KNNConfig()  # k = 3, keep 95% of the variance
    engine = quorvane.KNNEngine(config)
    engine.train(X_train, y_train)  # prints its two progress lines, once
    predicted = np.array(engine.predict_batch(X_test))

    def quorvane_run() -> None:
        with contextlib.redirect_stdout(io.StringIO()):  # the progress lines, at every run
            engine.train(X_train, y_train)
        engine.predict_batch(X_test)

    pipeline = make_pipeline(
        PCA(n_components=config.variance, svd_solver="full"),
        KNeighborsClassifier(n_neighbors=config.k, algorithm="brute"),
    )
    expected = pipeline.fit(X_train, y_train).predict(X_test)

    def sklearn_run() -> None:
        pipeline.fit(X_train, y_train).predict(X_test)

    # One thread, and the default: quorvane's team as its runtime sized it at import (one
    # thread per core unless OMP_NUM_THREADS says otherwise). threadpool_limits(n) sets every
    # OpenMP runtime and BLAS in the process to n threads, scikit-learn's and quorvane's alike.
    settings = sorted({1, _openmp.omp_get_max_threads()})
    times: dict[str, list[float]] = {"quorvane": [], "scikit-learn": []}
    for threads in settings:
        with threadpool_limits(threads):
            if _openmp.omp_get_max_threads() != threads:
                raise SystemExit(f"quorvane's OpenMP team was not limited to {threads} threads")
            for name, run in (("quorvane", quorvane_run), ("scikit-learn", sklearn_run)):
                settle()
                times[name].append(median_ms(run))

    print(f"\ntrain + predict, median of {RUNS} runs; each library timed alone, on the same number")
    print("of threads (threadpoolctl limits every OpenMP and BLAS pool, quorvane's included):")
    print(f"{'':14}{'accuracy':>10}" + "".join(f"{f'{n} threads' if n > 1 else '1 thread':>13}" for n in settings))
    for name, labels in (("quorvane", predicted), ("scikit-learn", expected)):
        accuracy = np.mean(labels == np.array(y_test))
        print(f"{name:14}{accuracy:>10.4f}" + "".join(f"{t:>10.1f} ms" for t in times[name]))
    print(f"same label on {np.mean(predicted == expected):.2%} of the held-out digits")


if __name__ == "__main__":
    main()
