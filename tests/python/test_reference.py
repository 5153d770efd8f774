"""The engine against the NumPy model in reference.py, over random shapes and settings."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from reference import Model, make_engine, train_counting

# Few labels, some sharing prefixes or differing only in case, so that equal votes
# are common and the byte-wise order ('' < 'B' < 'a' < 'ab' < 'abc' < 'é') decides.
LABELS = ["a", "B", "ab", "abc", "é", ""]

THRESHOLDS = st.one_of(
    st.floats(0.05, 0.999),
    st.sampled_from([0.0, -0.5, 1e-300, math.nan, 1.0, 2.0**31, 2.0**40, math.inf, 1.0 - 1e-12]),
    st.integers(1, 70).map(float),
    st.floats(1.0, 70.0),
)


@st.composite
def problems(draw):
    n, d = draw(st.integers(1, 60)), draw(st.integers(1, 60))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    # Small integers times powers of two keep every mean and sum exact, so a
    # constant feature centres to exactly zero here and in the engine alike.
    # Repeated samples make exact distance ties and zero or repeated eigenvalues.
    distinct = draw(st.one_of(st.just(n), st.integers(1, n)))
    spread = 2.0 ** rng.integers(-3, 4, size=d) if draw(st.booleans()) else np.ones(d)
    pool = rng.integers(-8, 9, size=(distinct, d)) * spread
    X = pool[rng.integers(0, distinct, size=n)]
    labels = LABELS[: draw(st.integers(1, len(LABELS)))]
    y = [labels[i] for i in rng.integers(0, len(labels), size=n)]
    queries = np.vstack([
        X[: draw(st.integers(0, 6))],
        rng.integers(-9, 10, size=(6, d)) * spread,
        rng.normal(scale=4.0, size=(10, d)) * spread,
    ])
    # Mostly a real neighbour search; k <= 0 and k >= n are edge cases.
    k = draw(st.one_of(st.integers(1, max(1, n - 1)), st.integers(1, max(1, n - 1)), st.integers(-2, n + 3)))
    return X, y, k, draw(THRESHOLDS), draw(st.booleans()), queries


# A fixed budget: the same examples on every run, the module well under a minute.
@settings(max_examples=1000, deadline=None, derandomize=True, database=None)
@given(problems())
def test_engine_matches_the_reference(problem):
    X, y, k, threshold, scale, queries = problem
    engine = make_engine(k, threshold)
    count = train_counting(engine, X, y, scale)
    assert engine.n_components == count
    model = Model(X, y, k, threshold, scale)
    if model.share_margin(threshold) > 1e-9:
        assert count == model.n_components
    got = engine.predict_batch(queries)
    assert [engine.predict(q) for q in queries] == got
    # Every vote is fixed when k <= 0 or all samples vote; otherwise compare only where
    # the neighbour set does not hinge on rounding.
    comparable = count == model.n_components and model.well_posed()
    for q, label in zip(queries, got):
        if k <= 0 or k >= len(X) or (comparable and model.cut_margin(q) > 1e-9):
            assert label == model.predict(q)


# Shapes past the sizes the random examples reach, so that products run over several
# cache blocks and query tiles, batches over several blocks: (n, d, k, threshold, scale).
LARGE = [
    (700, 300, 5, 0.9, False),
    (300, 700, 3, 0.95, True),
    (1500, 24, 1, 10.0, True),
    (97, 513, 8, math.inf, False),
    (513, 97, 64, 0.999, True),
]


@pytest.mark.parametrize("n, d, k, threshold, scale", LARGE)
def test_engine_matches_the_reference_on_larger_shapes(n, d, k, threshold, scale):
    rng = np.random.default_rng(n * d)
    # Decaying feature scales give a spread-out spectrum with clear gaps. Rows drawn with
    # replacement repeat, in different blocks: copies must tie and the earliest win.
    X = (rng.normal(size=(n, d)) * np.geomspace(10.0, 0.1, d) + rng.normal(size=d))[rng.integers(0, n, size=n)]
    y = [str(v) for v in rng.integers(0, 3, size=n)]
    queries = np.vstack([X[:50], X[50:100] + rng.normal(scale=0.1, size=X[50:100].shape), rng.normal(size=(100, d))])
    engine = make_engine(k, threshold)
    count = train_counting(engine, X, y, scale)
    model = Model(X, y, k, threshold, scale)
    assert model.share_margin(threshold) > 1e-9 and model.well_posed()
    assert count == model.n_components
    compared = 0
    for q, label in zip(queries, engine.predict_batch(queries)):
        if model.cut_margin(q) > 1e-9:
            compared += 1
            assert label == model.predict(q)
    assert compared > 0.9 * len(queries)
