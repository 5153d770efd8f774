"""A scikit-learn classifier on the quorvane engine: adaptive PCA, then an exact k-NN vote."""

from __future__ import annotations

import numbers
from contextlib import contextmanager
from typing import Any, Iterator

import numpy as np

try:
    from sklearn.base import BaseEstimator, ClassifierMixin
    from sklearn.utils import TransformerTags
    from sklearn.utils.multiclass import check_classification_targets
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as error:  # an optional dependency: say which extra brings it
    raise ModuleNotFoundError('quorvane.sklearn needs scikit-learn: pip install "quorvane[sklearn]"',
                              name=error.name) from error

from . import _core
from ._core import KNNConfig, KNNEngine

__all__ = ["QuorvaneClassifier"]


@contextmanager
def _progress_lines(shown: bool) -> Iterator[None]:
    previous = _core._set_quiet(not shown)
    try:
        yield
    finally:
        _core._set_quiet(previous)


class QuorvaneClassifier(ClassifierMixin, BaseEstimator):
    """k-nearest-neighbour classifier after an adaptive PCA, on the quorvane engine.

    The features are reduced by a PCA fitted at every ``fit``; neighbours are then
    searched exactly, in double precision, in the reduced space.

    Parameters
    ----------
    n_neighbors : int, default=3
        Number of neighbours that vote.
    variance : float, default=0.95
        Below 1.0, the fraction of explained variance the PCA keeps (the fewest
        leading components that reach it); from 1.0 upwards, a component count.
    scale : bool, default=False
        Divide every feature by its sample standard deviation before the PCA.
    weights : {"uniform", "distance"}, default="uniform"
        "uniform": every neighbour has one vote. "distance": a neighbour weighs
        1 / its distance; when any neighbour of a query is at distance 0, those
        at distance 0 share the vote and the others have none.
    verbose : bool or int, default=False
        Print the engine's two training lines to ``sys.stdout`` during ``fit``.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The class labels, sorted as ``np.unique`` sorts them.
    n_features_in_ : int
        Number of features seen during ``fit``.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Feature names seen during ``fit``, when ``X`` had string column names.
    n_samples_fit_ : int
        Number of training samples.
    n_components_ : int
        Components the PCA kept.
    mean_ : ndarray of shape (n_features_in_,)
        Per-feature mean of the training samples.
    scale_ : ndarray of shape (n_features_in_,)
        Per-feature divisor: the standard deviation with ``scale=True``, ones without.
    components_ : ndarray of shape (n_components_, n_features_in_)
        The kept principal axes, one per row, by descending explained variance.
    explained_variance_ : ndarray of shape (n_components_,)
        Variance of the (scaled) training data along each kept axis, with n - 1.
    explained_variance_ratio_ : ndarray of shape (n_components_,)
        Each axis's share of the total variance of the (scaled) training data.
    engine_ : quorvane.KNNEngine
        The trained engine.

    Notes
    -----
    Unlike ``KNeighborsClassifier``, distances (those returned by ``kneighbors``
    and those weighting the vote) are measured in the reduced space. Equal
    distances are ordered by training index, and equal vote shares go to the
    first class in ``classes_``. Concurrent ``predict`` calls on one fitted
    classifier are safe; ``fit`` must not overlap any other call.
    """

    def __init__(self, n_neighbors=3, variance=0.95, scale=False, weights="uniform", verbose=False):
        self.n_neighbors = n_neighbors
        self.variance = variance
        self.scale = scale
        self.weights = weights
        self.verbose = verbose

    def __sklearn_tags__(self):
        # transform makes it a transformer too: the reduced rows are always float64.
        tags = super().__sklearn_tags__()
        tags.transformer_tags = TransformerTags(preserves_dtype=["float64"])
        return tags

    def _check_params(self) -> None:
        k = self.n_neighbors
        if not isinstance(k, numbers.Integral) or isinstance(k, bool) or not 1 <= k < 2**31:
            raise ValueError(f"n_neighbors must be an integer between 1 and 2**31 - 1, got {k!r}")
        v = self.variance
        if not isinstance(v, numbers.Real) or isinstance(v, bool) or not 0.0 < v < np.inf:
            raise ValueError(f"variance must be a positive finite number, got {v!r}")
        if self.weights not in ("uniform", "distance"):
            raise ValueError(f"weights must be 'uniform' or 'distance', got {self.weights!r}")

    def fit(self, X, y):
        """Fit the PCA and store the reduced training set.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            float64 and float32 arrays (either memory order, memory maps too) are read in
            place; anything else is converted to float64.
        y : array-like of shape (n_samples,)
            Class labels of any type ``np.unique`` can sort.

        Returns
        -------
        self : QuorvaneClassifier
        """
        self._check_params()
        # float32 stays float32: the engine reads it in place, as exactly as its float64 copy.
        X, y = validate_data(self, X, y, dtype=(np.float64, np.float32))
        check_classification_targets(y)
        self.classes_, self._y = np.unique(y, return_inverse=True)
        # The engine's own vote breaks ties by label byte order: fixed-width class
        # indices make that order the order of classes_.
        width = len(str(len(self.classes_) - 1))
        config = KNNConfig()
        config.k = int(self.n_neighbors)
        config.variance = float(self.variance)
        engine = KNNEngine(config)
        with _progress_lines(bool(self.verbose)):
            engine.train(X, [f"{c:0{width}d}" for c in self._y], scale=bool(self.scale))
        self.engine_ = engine
        self.n_samples_fit_ = X.shape[0]
        self.n_components_ = engine.n_components
        return self

    # The reduction as the engine holds it: read from it, so pickles carry it once.
    @property
    def mean_(self):
        """Per-feature mean of the training samples, (n_features_in_,)."""
        check_is_fitted(self)
        return self.engine_.mean

    @property
    def scale_(self):
        """Per-feature divisor, (n_features_in_,): the standard deviation with ``scale=True``, ones without."""
        check_is_fitted(self)
        return self.engine_.feature_scale

    @property
    def components_(self):
        """The kept principal axes, one per row, (n_components_, n_features_in_)."""
        check_is_fitted(self)
        return self.engine_.components.T

    @property
    def explained_variance_(self):
        """Variance (with n - 1) of the (scaled) training data along each kept axis."""
        check_is_fitted(self)
        return self.engine_.explained_variance

    @property
    def explained_variance_ratio_(self):
        """Each kept axis's share of the total variance of the (scaled) training data."""
        check_is_fitted(self)
        return self.engine_.explained_variance_ratio

    def transform(self, X):
        """Project samples into the reduced space the neighbours are searched in.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)

        Returns
        -------
        X_reduced : ndarray of shape (n_queries, n_components_)
            ``(X - mean_) / scale_ @ components_.T``, exactly as the search measures
            it: the distances ``kneighbors`` returns are Euclidean distances between
            these rows.
        """
        check_is_fitted(self)
        return self.engine_.transform(self._queries(X))

    def fit_transform(self, X, y):
        """Fit on ``X`` and ``y``, then project ``X``: ``fit(X, y).transform(X)``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
        y : array-like of shape (n_samples,)

        Returns
        -------
        X_reduced : ndarray of shape (n_samples, n_components_)
        """
        return self.fit(X, y).transform(X)

    def _queries(self, X):
        # NaN and infinity are left to the engine, which refuses them, naming the
        # row, from the projections it makes anyway: no extra pass over X.
        return validate_data(self, X, reset=False, dtype=(np.float64, np.float32), ensure_all_finite=False)

    def _checked_k(self, n_neighbors: Any, n_queries: int, query_is_train: bool) -> int:
        if n_neighbors is None:
            n_neighbors = self.n_neighbors
        if not isinstance(n_neighbors, numbers.Integral) or isinstance(n_neighbors, bool):
            raise TypeError(f"n_neighbors does not take {type(n_neighbors)} value, enter integer value")
        if n_neighbors <= 0:
            raise ValueError(f"Expected n_neighbors > 0. Got {n_neighbors}")
        wanted = int(n_neighbors) + query_is_train
        if wanted > self.n_samples_fit_:
            relation = "n_neighbors < n_samples_fit" if query_is_train else "n_neighbors <= n_samples_fit"
            raise ValueError(
                f"Expected {relation}, but n_neighbors = {n_neighbors}, "
                f"n_samples_fit = {self.n_samples_fit_}, n_samples = {n_queries}"
            )
        return wanted

    def kneighbors(self, X=None, n_neighbors=None, return_distance=True):
        """The nearest training samples of each query.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features), default=None
            The queries. None: every training sample, each excluding itself.
        n_neighbors : int, default=None
            Neighbours per query; ``self.n_neighbors`` when None.
        return_distance : bool, default=True
            Return the distances as well.

        Returns
        -------
        neigh_dist : ndarray of shape (n_queries, n_neighbors)
            Euclidean distances in the reduced space, ascending.
        neigh_ind : ndarray of shape (n_queries, n_neighbors)
            Indices of the training samples, in the same order.
        """
        check_is_fitted(self)
        query_is_train = X is None
        if query_is_train:
            # From the reduced training rows the engine holds, not the caller's X,
            # which may have changed since fit.
            k = self._checked_k(n_neighbors, self.n_samples_fit_, True)
            dist, ind = self.engine_._training_neighbours(k)
        else:
            X = self._queries(X)
            k = self._checked_k(n_neighbors, X.shape[0], False)
            dist, ind = self.engine_.kneighbors(X, k)
        if query_is_train:
            # Drop each sample itself; when copies of it at lower indices crowd it
            # out of the list, drop the first entry instead, as scikit-learn does.
            keep = ind != np.arange(len(ind))[:, None]
            keep[keep.all(axis=1), 0] = False
            dist = dist[keep].reshape(len(ind), k - 1)
            ind = ind[keep].reshape(len(ind), k - 1)
        return (dist, ind) if return_distance else ind

    def predict_proba(self, X):
        """Vote shares of the classes, columns in ``classes_`` order.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)

        Returns
        -------
        proba : ndarray of shape (n_queries, n_classes)
        """
        check_is_fitted(self)
        X = self._queries(X)
        k = self._checked_k(None, X.shape[0], False)
        dist, ind = self.engine_.kneighbors(X, k)
        if self.weights == "uniform":
            weight = np.ones_like(dist)
        else:
            with np.errstate(divide="ignore", over="ignore"):
                weight = 1.0 / dist
            infinite = np.isinf(weight)
            exact = infinite.any(axis=1)
            weight[exact] = infinite[exact]
            # Neighbours all beyond double range weigh nothing: no share to give.
            lost = ~weight.any(axis=1)
            if lost.any():
                row = int(np.flatnonzero(lost)[0])
                raise ValueError(f"X row {row} is too far from every training sample: its distances overflow "
                                 "double precision, so weights='distance' cannot weigh its neighbours")
        n_classes = len(self.classes_)
        cells = self._y[ind] + n_classes * np.arange(len(ind))[:, None]
        proba = np.bincount(cells.ravel(), weights=weight.ravel(), minlength=len(ind) * n_classes)
        proba = proba.reshape(len(ind), n_classes)
        return proba / proba.sum(axis=1, keepdims=True)

    def predict(self, X):
        """The class with the largest vote share; equal shares go to the first in ``classes_``.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)

        Returns
        -------
        y : ndarray of shape (n_queries,)
        """
        proba = self.predict_proba(X)
        return self.classes_[np.argmax(proba, axis=1)]
