"""Engines served from several Python threads: the GIL is released, Ctrl-C is honoured,
and threadpoolctl holds the OpenMP team."""

import ctypes
import os
import signal
import threading
import time

import numpy as np
import pytest
from threadpoolctl import threadpool_limits

from reference import make_engine, train_counting

rng = np.random.default_rng(11)
X = rng.normal(size=(6000, 40))
Y = [str(i % 5) for i in range(len(X))]
Q = rng.normal(size=(6000, 40))


@pytest.fixture(scope="module")
def engine():
    e = make_engine(k=5, variance=30.0)
    train_counting(e, X, Y, False)
    return e


@pytest.fixture
def interruptible():
    """Python's own Ctrl-C handler, whatever the runner left: a run started in the
    background of a non-interactive shell inherits SIGINT ignored, and then nothing raises."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_other_threads_run_during_a_batch(engine):
    done = threading.Event()
    worker = threading.Thread(target=lambda: (engine.predict_batch(np.tile(Q, (3, 1))), done.set()))
    counter = 0
    worker.start()
    while not done.is_set():
        counter += 1
    worker.join()
    # Holding the GIL for the whole batch would leave this thread a handful of turns.
    assert counter > 100_000


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals reach the main thread")
def test_ctrl_c_stops_a_batch_and_changes_nothing(engine, interruptible):
    expected = engine.predict_batch(Q)
    big = np.tile(Q, (8, 1))
    start = time.perf_counter()
    engine.predict_batch(big[: len(big) // 4])
    quarter = time.perf_counter() - start
    timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        engine.predict_batch(big)
    # Finishing the batch first would take about four quarters.
    assert time.perf_counter() - start < 0.1 + 0.5 * quarter + 0.3
    timer.join()
    assert engine.predict_batch(Q) == expected


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals reach the main thread")
def test_ctrl_c_stops_a_train_and_changes_nothing(interruptible):
    # Keeping 95% of this Thin fit's variance, about 1,100 of its 1,200 axes, takes a
    # second or more of decomposing and checking from about 0.1 s on; that once ran to
    # its end before Ctrl-C was seen.
    wide = np.random.default_rng(5).normal(size=(1200, 1500))
    labels = [str(i % 3) for i in range(len(wide))]
    engine = make_engine()
    train_counting(engine, X, Y, False)
    expected = engine.predict_batch(Q)
    for delay in (0.3, 0.6):
        timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
        start = time.perf_counter()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            train_counting(engine, wide, labels, False)
        timer.join()
        assert time.perf_counter() - start < delay + 0.2
        assert engine.predict_batch(Q) == expected


def test_threadpool_limits_holds_the_team(engine):
    # The OpenMP runtime the module is linked against, not some other copy in the process.
    ours = ctypes.CDLL("libgomp.so.1", mode=os.RTLD_NOLOAD)
    expected, team = engine.predict_batch(Q), ours.omp_get_max_threads()
    with threadpool_limits(1):
        assert ours.omp_get_max_threads() == 1
        assert engine.predict_batch(Q) == expected
    assert ours.omp_get_max_threads() == team
