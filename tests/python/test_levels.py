"""Every instruction-set level trains the same bits and gives the same answers; a level
that is unknown or that the CPU lacks is refused at import."""

import os
import pickle
import platform
import subprocess
import sys

import pytest

# Trains a Standard-mode and a Thin-mode engine at the level in QUORVANE_SIMD, and
# answers with them and with the engines pickled at another level (argv[1]).
CHILD = """
import pickle, sys
import numpy as np
import quorvane

with open(sys.argv[1], "rb") as f:
    foreign = pickle.load(f)
rng = np.random.default_rng(7)
result = {"level": quorvane.simd_level()}
for n, d in ((400, 30), (40, 120)):
    X = rng.normal(size=(n, d)) * np.linspace(1, 5, d)
    y = [f"c{v}" for v in rng.integers(0, 4, n)]
    Q = rng.normal(size=(80, d)) * np.linspace(1, 5, d)
    engine = quorvane.KNNEngine(quorvane.KNNConfig())
    engine.train(X, y, scale=True)
    loaded = [pickle.loads(p).predict_batch(Q) for p in foreign.get(d, [])]
    result[d] = (pickle.dumps(engine), engine.predict_batch(Q), loaded)
with open(sys.argv[2], "wb") as f:
    pickle.dump(result, f)
"""


def run(level, foreign, tmp_path):
    (tmp_path / "in").write_bytes(pickle.dumps(foreign))
    env = {**os.environ, "QUORVANE_SIMD": level}
    subprocess.run([sys.executable, "-P", "-c", CHILD, tmp_path / "in", tmp_path / "out"], env=env, check=True,
                   capture_output=True)
    return pickle.loads((tmp_path / "out").read_bytes())


def test_levels_train_the_same_bits_and_answer_each_others_pickles(tmp_path):
    portable = run("portable", {}, tmp_path)
    best = run("auto", {d: [portable[d][0]] for d in (30, 120)}, tmp_path)
    assert portable["level"] == "portable"
    for d in (30, 120):
        state, answers, _ = portable[d]
        assert best[d][0] == state  # mean, scale, components, reference set: every bit
        assert best[d][1] == answers
        assert best[d][2] == [answers]


UNAVAILABLE = "neon" if platform.machine().lower() in ("x86_64", "amd64") else "avx2"


@pytest.mark.parametrize(
    "level, message",
    [
        ("sse9", "unknown SIMD level 'sse9': the levels are auto, avx2, neon and portable"),
        ("Portable", "unknown SIMD level 'Portable'"),
        (UNAVAILABLE, f"SIMD level '{UNAVAILABLE}' is not available: this CPU offers "),
    ],
)
def test_bad_levels_are_refused_at_import(level, message):
    env = {**os.environ, "QUORVANE_SIMD": level}
    done = subprocess.run([sys.executable, "-P", "-c", "import quorvane"], env=env, capture_output=True, text=True)
    assert done.returncode == 1  # an exception, not a crash
    assert f"ImportError: QUORVANE_SIMD: {message}" in done.stderr
