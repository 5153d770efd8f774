"""Behaviour of a KNNEngine as a Python user meets it."""

import numpy as np
import pytest

from quorvane import KNNConfig, KNNEngine


def make_engine(k=3, variance=0.95):
    cfg = KNNConfig()
    cfg.k = k
    cfg.variance = variance
    return KNNEngine(cfg)


def test_untrained_engine_answers_unknown():
    engine = KNNEngine(KNNConfig())
    assert engine.predict([1.0, 2.0]) == "Unknown"
    assert engine.predict([]) == "Unknown"
    assert engine.predict_batch(np.zeros((4, 3))) == ["Unknown"] * 4
    assert engine.predict_batch(np.zeros((0, 3))) == []
    assert engine.predict_batch([]) == []


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


def test_non_positive_k_answers_unknown(blobs):
    X, y = blobs
    for k in (0, -3):
        engine = make_engine(k=k)
        engine.train(X, y)
        assert engine.predict_batch(X[:3]) == ["Unknown"] * 3


NAN_X = np.ones((5, 3))
NAN_X[2, 1] = np.nan
INF_X = np.ones((5, 3))
INF_X[4, 0] = -np.inf


@pytest.mark.parametrize(
    "X, y, message",
    [
        (np.zeros((0, 3)), [], "at least one row and one column"),
        (np.zeros((3, 0)), ["a", "b", "c"], "at least one row and one column"),
        (np.ones((4, 3)), ["a", "b", "c"], "y has 3 labels but X has 4 rows"),
        (np.ones((2, 3)), ["a", "b", "c"], "y has 3 labels but X has 2 rows"),
        (NAN_X, list("abcde"), "X contains NaN or infinity at row 2, column 1"),
        (INF_X, list("abcde"), "X contains NaN or infinity at row 4, column 0"),
    ],
)
def test_refused_train_keeps_the_previous_model(blobs, capfd, X, y, message):
    good_X, good_y = blobs
    engine = make_engine()
    engine.train(good_X, good_y)
    before = engine.predict_batch(good_X)
    capfd.readouterr()
    with pytest.raises(ValueError, match=message):
        engine.train(X, y)
    assert capfd.readouterr().out == ""
    assert engine.predict_batch(good_X) == before


@pytest.mark.parametrize(
    "call, arg, message",
    [
        ("predict", [1.0] * 5, "x has 5 features, but the engine was trained with 6"),
        ("predict", [1.0] * 7, "x has 7 features, but the engine was trained with 6"),
        ("predict", [0.0, 1.0, np.nan, 0.0, 0.0, 0.0], "x contains NaN or infinity at row 0, column 2"),
        ("predict_batch", np.ones((3, 4)), "X has 4 features, but the engine was trained with 6"),
        ("predict_batch", np.where(np.eye(6) > 0, np.inf, 0.0), "X contains NaN or infinity at row 0, column 0"),
    ],
)
def test_trained_engine_refuses_bad_queries(blobs, call, arg, message):
    X, y = blobs
    engine = make_engine()
    engine.train(X, y)
    before = engine.predict_batch(X)
    with pytest.raises(ValueError, match=message):
        getattr(engine, call)(arg)
    assert engine.predict_batch(X) == before
    assert engine.predict_batch(np.zeros((0, 6))) == []
    assert engine.predict_batch(np.zeros((0, 2))) == []
