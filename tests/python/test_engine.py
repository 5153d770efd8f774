"""Behaviour of a KNNEngine as a Python user meets it."""

import numpy as np
import pytest

from quorvane import KNNConfig, KNNEngine


def make_engine(k=3, variance=0.95):
    cfg = KNNConfig()
    cfg.k = k
    cfg.variance = variance
    return KNNEngine(cfg)


def test_console_lines_in_order_on_stdout(blobs, capfd):
    X, y = blobs
    engine = make_engine(variance=2.0)
    engine.train(X, y)
    engine.train(X[:4], y[:4], scale=True)
    out, err = capfd.readouterr()
    assert out == (
        "[PCA] Fit complete. Mode: Standard | Components: 2\n"
        "[Engine] Trained successfully. Reduced to 2 dimensions.\n"
        "[PCA] Fit complete. Mode: Thin | Components: 2\n"
        "[Engine] Trained successfully. Reduced to 2 dimensions.\n"
    )
    assert err == ""


def test_predict_agrees_with_batch_and_keeps_row_order(blobs):
    X, y = blobs
    engine = make_engine(k=1)
    engine.train(X, y)
    labels = engine.predict_batch(X)
    assert labels == y  # k = 1 on the training set itself
    assert [engine.predict(x) for x in X] == labels
    order = np.random.default_rng(0).permutation(len(X))
    assert engine.predict_batch(X[order]) == [labels[i] for i in order]


def test_config_changes_after_construction_change_nothing(blobs):
    X, y = blobs
    cfg = KNNConfig()
    cfg.k = 1
    engine = KNNEngine(cfg)
    reference = make_engine(k=1)
    cfg.k = 0
    cfg.variance = 1.0
    engine.train(X, y)
    reference.train(X, y)
    queries = X + np.random.default_rng(1).normal(scale=3.0, size=X.shape)
    assert engine.predict_batch(queries) == reference.predict_batch(queries)
    assert "Unknown" not in engine.predict_batch(queries)


def test_retraining_replaces_everything(blobs):
    X, y = blobs
    engine = make_engine(k=1)
    engine.train(X, y)
    other = np.random.default_rng(2).normal(size=(10, 2))
    engine.train(other, ["new"] * 10)
    assert set(engine.predict_batch(other * 50)) == {"new"}
    with pytest.raises(ValueError, match="X has 6 features, but the engine was trained with 2"):
        engine.predict_batch(X)
