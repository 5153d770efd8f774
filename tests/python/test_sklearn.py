"""The scikit-learn estimator and the neighbour API, against scikit-learn and the NumPy model."""

import contextlib
import io
import pickle

import numpy as np
import pytest
from sklearn import datasets
from sklearn.base import clone
from sklearn.decomposition import PCA
from sklearn.exceptions import NotFittedError
from sklearn.model_selection import GridSearchCV, cross_val_score, train_test_split
from sklearn.neighbors import KNeighborsClassifier
from sklearn.pipeline import make_pipeline
from sklearn.utils.estimator_checks import parametrize_with_checks

from quorvane import KNNConfig, KNNEngine
from quorvane.sklearn import QuorvaneClassifier
from reference import Model


@parametrize_with_checks([QuorvaneClassifier(), QuorvaneClassifier(weights="distance", scale=True)])
def test_scikit_learn_checks(estimator, check):
    check(estimator)


def unambiguous(dist, k, rtol=1e-9):
    """Rows whose k-th and (k+1)-th neighbours are clearly apart (dist has k + 1 columns)."""
    return dist[:, k] - dist[:, k - 1] > rtol * np.maximum(dist[:, k], 1.0)


@pytest.mark.parametrize("load", [datasets.load_iris, datasets.load_wine, datasets.load_breast_cancer,
                                  datasets.load_digits])
@pytest.mark.parametrize("k, weights", [(1, "uniform"), (4, "uniform"), (7, "distance"), (2, "distance")])
def test_same_answers_as_pca_and_kneighbors(load, k, weights):
    X, y = load(return_X_y=True)
    X_train, X_test, y_train, _ = train_test_split(X, y, test_size=0.3, random_state=0)
    ours = QuorvaneClassifier(n_neighbors=k, weights=weights).fit(X_train, y_train)
    theirs = make_pipeline(PCA(n_components=ours.n_components_, svd_solver="full"),
                           KNeighborsClassifier(k, weights=weights)).fit(X_train, y_train)
    knn, reduced = theirs[-1], theirs[0].transform(X_test)

    dist, ind = ours.kneighbors(X_test, k + 1)
    ref_dist, ref_ind = knn.kneighbors(reduced, k + 1)
    np.testing.assert_allclose(dist, ref_dist, rtol=1e-9, atol=1e-9 * ref_dist.max())
    clear = unambiguous(ref_dist, k)
    assert clear.mean() > 0.9
    # Equal distances inside the list come in any order from scikit-learn.
    np.testing.assert_array_equal(np.sort(ind[clear, :k]), np.sort(ref_ind[clear, :k]))
    np.testing.assert_array_equal(ours.predict(X_test)[clear], theirs.predict(X_test)[clear])
    # 1/d weights carry the rounding of the expanded distance form, relative to
    # the largest squared norm rather than to d.
    np.testing.assert_allclose(ours.predict_proba(X_test)[clear], theirs.predict_proba(X_test)[clear],
                               rtol=1e-6, atol=1e-9)

    # Without X: every training row's neighbours but itself.
    own_dist, own_ind = ours.kneighbors()
    ref_dist, ref_ind = knn.kneighbors(n_neighbors=k + 1)
    clear = unambiguous(ref_dist, k)
    np.testing.assert_allclose(own_dist, ref_dist[:, :k], rtol=1e-9, atol=1e-9 * ref_dist.max())
    np.testing.assert_array_equal(np.sort(own_ind[clear]), np.sort(ref_ind[clear, :k]))


@pytest.mark.parametrize("k", [1, 3, 8, 90])
def test_kneighbors_equal_numpy_model(blobs, k):
    X, y = blobs
    queries = np.vstack([X[:5], np.random.default_rng(2).normal(scale=8.0, size=(60, 6))])
    config = KNNConfig()
    config.variance = 0.9
    engine = KNNEngine(config)  # k = 3: kneighbors takes its own
    with contextlib.redirect_stdout(io.StringIO()):
        engine.train(X, y, scale=True)
    model = Model(X, y, k, 0.9, scale=True)
    dist, ind = engine.kneighbors(queries, k)
    assert dist.shape == ind.shape == (len(queries), k) and ind.dtype == np.int64
    for q, d, i in zip(queries, dist, ind):
        assert model.cut_margin(q) > 1e-9
        np.testing.assert_array_equal(i, model.voters(q))
        np.testing.assert_allclose(d, np.sqrt(np.maximum(model.distances(q)[i], 0.0)), atol=1e-7)
    assert (dist[:5, 0] == 0.0).all() and (ind[:5, 0] == np.arange(5)).all()
    estimator = QuorvaneClassifier(n_neighbors=k, variance=0.9, scale=True).fit(X, y)
    np.testing.assert_array_equal(estimator.kneighbors(queries)[1], ind)


def test_integer_classes_and_model_selection():
    X, digit = datasets.load_digits(return_X_y=True)
    y = np.where(digit == 9, 10, digit)  # {0, ..., 8, 10}: 10 sorts last, not after 1
    model = QuorvaneClassifier(n_neighbors=2).fit(X, y)
    assert model.classes_.dtype == y.dtype and list(model.classes_) == [0, 1, 2, 3, 4, 5, 6, 7, 8, 10]
    proba = model.predict_proba(X[:300])
    tied = proba.max(axis=1) == 0.5
    assert tied.any() and (model.predict(X[:300])[tied] == model.classes_[proba[tied].argmax(axis=1)]).all()
    assert model.predict(X[:300]).dtype == y.dtype
    again = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(again.predict_proba(X[:300]), proba)
    assert clone(model).get_params() == model.get_params()
    assert cross_val_score(QuorvaneClassifier(), X, y, cv=3).min() > 0.9
    search = GridSearchCV(QuorvaneClassifier(), {"n_neighbors": [1, 3], "variance": [0.8, 0.95]}, cv=3)
    assert search.fit(X, y).best_score_ > 0.9


@pytest.mark.parametrize("rows", [1797, 40])  # Standard, and Thin (40 digits of 64 features)
def test_reduction_is_scikit_learn_pca(rows):
    X, y = datasets.load_digits(return_X_y=True)
    X, y = X[:rows], y[:rows]
    ours = QuorvaneClassifier(variance=0.95).fit(X, y)
    m = ours.n_components_
    pca = PCA(svd_solver="full").fit(X)
    np.testing.assert_allclose(ours.explained_variance_ratio_, pca.explained_variance_ratio_[:m], rtol=0, atol=1e-9)
    np.testing.assert_allclose(ours.explained_variance_, pca.explained_variance_[:m], rtol=1e-9)
    signs = np.sign(np.sum(ours.components_ * pca.components_[:m], axis=1))[:, None]
    np.testing.assert_allclose(ours.components_ * signs, pca.components_[:m], rtol=0, atol=1e-9)
    np.testing.assert_allclose(ours.mean_, pca.mean_, rtol=1e-12)
    assert (ours.scale_ == 1.0).all()
    # transform is the space the search measures: kneighbors' distances are between its rows.
    reduced = ours.transform(X)
    np.testing.assert_allclose(reduced * signs.T, pca.transform(X)[:, :m], rtol=0, atol=1e-9)
    dist, ind = ours.kneighbors(X[:30], 4)
    np.testing.assert_allclose(dist, np.linalg.norm(reduced[:30, None] - reduced[ind], axis=2), rtol=0, atol=1e-9)


def test_kneighbors_without_X_answers_from_the_engine(blobs):
    X, y = blobs
    X = X.copy()
    model = QuorvaneClassifier(n_neighbors=4).fit(X, y)
    expected = model.kneighbors(X.copy(), 5)  # each row's own entry is then dropped
    X[:] = 0.0  # the caller's array, changed after fit
    dist, ind = model.kneighbors()
    assert (ind == expected[1][:, 1:]).all() and dist.tobytes() == expected[0][:, 1:].tobytes()
    assert pickle.loads(pickle.dumps(model)).kneighbors()[1].tolist() == ind.tolist()


def test_training_lines_reach_sys_stdout(blobs, capfd):
    X, y = blobs
    with contextlib.redirect_stdout(io.StringIO()) as out:
        KNNEngine(KNNConfig()).train(X, y)
        QuorvaneClassifier().fit(X, y)
    assert out.getvalue() == ("[PCA] Fit complete. Mode: Standard | Components: 2\n"
                              "[Engine] Trained successfully. Reduced to 2 dimensions.\n")
    QuorvaneClassifier(verbose=True).fit(X, y)
    assert capfd.readouterr().out == out.getvalue()


@pytest.mark.parametrize("call, error, message", [
    (lambda m, X: m.kneighbors(X, 0), ValueError, "Expected n_neighbors > 0. Got 0"),
    (lambda m, X: m.kneighbors(X, 91), ValueError, "n_neighbors = 91, n_samples_fit = 90, n_samples = 90"),
    (lambda m, X: m.kneighbors(None, 90), ValueError, "Expected n_neighbors < n_samples_fit"),
    (lambda m, X: m.kneighbors(X, 2.0), TypeError, "enter integer value"),
    (lambda m, X: m.kneighbors(X[:, :3]), ValueError, "X has 3 features, but QuorvaneClassifier is expecting 6"),
    (lambda m, X: m.predict(np.where(np.arange(X.size).reshape(X.shape) == 40, np.inf, X)), ValueError,
     "X contains NaN or infinity at row 6, column 4"),
    (lambda m, X: QuorvaneClassifier().kneighbors(X), NotFittedError, "not fitted"),
    (lambda m, X: m.engine_.kneighbors(X, 0), ValueError, "k is 0, but must be between 1 and the 90"),
    (lambda m, X: m.engine_.kneighbors(X, 91), ValueError, "k is 91"),
    (lambda m, X: KNNEngine(KNNConfig()).kneighbors(X, 1), ValueError, "needs a trained engine"),
    (lambda m, X: QuorvaneClassifier(n_neighbors=0).fit(X, m.classes_[m._y]), ValueError, "n_neighbors"),
    (lambda m, X: QuorvaneClassifier(weights="x").fit(X, m.classes_[m._y]), ValueError, "weights"),
    (lambda m, X: QuorvaneClassifier(variance=-1).fit(X, m.classes_[m._y]), ValueError, "variance"),
    # Distances beyond double range weigh nothing: no row of zeros passes for shares.
    (lambda m, X: QuorvaneClassifier(weights="distance").fit(X, m.classes_[m._y]).predict(np.full((2, 6), 1e200)),
     ValueError, "X row 0 is too far from every training sample"),
])
def test_refusals(blobs, call, error, message):
    X, y = blobs
    with pytest.raises(error, match=message):
        call(QuorvaneClassifier().fit(X, y), X)
