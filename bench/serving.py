"""Serving figures: threads sharing an engine, a batch beside the main thread, Ctrl-C, thread limits.

    .venv/bin/python bench/serving.py [--repeats N]

Prints one markdown row per figure, medians over the repeats. Run on an idle machine.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import signal
import statistics
import sys
import threading
import time
from pathlib import Path

import numpy as np
from sklearn.datasets import load_digits
from threadpoolctl import threadpool_limits

sys.path.insert(0, str(Path(__file__).resolve().parent))

import workloads  # noqa: E402
from quorvane import KNNConfig, KNNEngine  # noqa: E402


def engine_for(X, y, k=3, variance=0.95):
    config = KNNConfig()
    config.k, config.variance = k, variance
    engine = KNNEngine(config)
    with contextlib.redirect_stdout(io.StringIO()):
        engine.train(X, [str(v) for v in y])
    return engine


def timed(work) -> float:
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def in_threads(count: int, work) -> float:
    threads = [threading.Thread(target=work) for _ in range(count)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def two_threads_of_predict(engine, X, calls=40_000) -> float:
    """Two threads doing half the single-row calls each, over one thread doing all."""
    rows = [X[i % len(X)] for i in range(calls)]
    one = timed(lambda: [engine.predict(r) for r in rows])
    two = in_threads(2, lambda: [engine.predict(r) for r in rows[: calls // 2]])
    return two / one


def counter_rate(seconds: float, busy=None) -> float:
    """Increments per second of a pure-Python loop, optionally while `busy` runs in a thread."""
    done = threading.Event()
    if busy is not None:
        worker = threading.Thread(target=lambda: (busy(), done.set()))
        worker.start()
    else:
        threading.Timer(seconds, done.set).start()
    count, start = 0, time.perf_counter()
    while not done.is_set():
        count += 1
    return count / (time.perf_counter() - start)


def interrupt_latency(call, after: float = 0.5) -> float | None:
    """Seconds from SIGINT to KeyboardInterrupt for `call`, signalled `after` seconds in;
    None when the call finished first."""
    sent = []
    timer = threading.Timer(after, lambda: (sent.append(time.perf_counter()), os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    try:
        call()
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    try:
        timer.join()
    except KeyboardInterrupt:  # the signal came after the call
        pass
    return None


def interrupt_sweep(call, points: int) -> list[float]:
    """Latencies of SIGINT sent at `points` times spread over the whole of `call`."""
    duration = min(timed(call) for _ in range(2))
    latencies = [interrupt_latency(call, share * duration) for share in np.linspace(0.02, 0.97, points)]
    return [latency for latency in latencies if latency is not None]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    # Python's own Ctrl-C handler, also when started in the background of a script.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    median = lambda f: statistics.median(f() for _ in range(args.repeats))  # noqa: E731

    digits_X, digits_y = load_digits(return_X_y=True)
    digits = engine_for(digits_X, digits_y)
    w = workloads.large()
    large = engine_for(w.X_train, w.y_train, w.k, w.variance)
    batch = np.tile(w.X_query, (4, 1))
    long_batch = np.tile(w.X_query, (30, 1))
    long_train = np.tile(w.X_train, (6, 1)), [str(v) for v in np.tile(w.y_train, 6)]

    print("| figure | median |")
    print("| --- | ---: |")
    print(f"| two threads x 20,000 predict(x) on digits, time over one thread x 40,000 | "
          f"{median(lambda: two_threads_of_predict(digits, digits_X)):.2f} |")
    idle = counter_rate(2.0)
    busy = median(lambda: counter_rate(0, lambda: large.predict_batch(batch)))
    print(f"| main-thread counter during a background predict_batch, share of its idle rate | {busy / idle:.2f} |")
    print(f"| SIGINT 0.5 s into a long predict_batch, seconds to KeyboardInterrupt | "
          f"{median(lambda: interrupt_latency(lambda: large.predict_batch(long_batch))):.3f} |")
    quiet = contextlib.redirect_stdout(io.StringIO())
    with quiet:
        sweep = interrupt_sweep(lambda: large.train(*long_train), 20)
    print(f"| SIGINT at 20 points across a train of 600,000 x 256, seconds to KeyboardInterrupt: worst, "
          f"median ({len(sweep)} interrupted) | {max(sweep):.3f}, {statistics.median(sweep):.3f} |")
    free = median(lambda: timed(lambda: large.predict_batch(w.X_query)))
    with threadpool_limits(1):
        held = median(lambda: timed(lambda: large.predict_batch(w.X_query)))
    print(f"| predict_batch under threadpool_limits(1), time over the default team | {held / free:.2f} |")


if __name__ == "__main__":
    main()
