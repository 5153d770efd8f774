"""The systems under test behind one fit/predict surface, and the exact NumPy reference."""

from __future__ import annotations

import contextlib
import ctypes
import os
import re
import sys
import tempfile

import numpy as np

_libc = ctypes.CDLL(None)


class Console:
    text = ""


@contextlib.contextmanager
def captured_fd1():
    """Sends whatever C or C++ code writes to file descriptor 1 into `Console.text`,
    so quorvane's training lines cannot land in the middle of the report."""
    sys.stdout.flush()
    _libc.fflush(None)
    box = Console()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            yield box
        finally:
            _libc.fflush(None)
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            box.text = sink.read().decode("utf-8", "replace")


def label_codes(labels: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Classes in code-point order (which is UTF-8 byte order) and each label's index,
    so that the smallest index among equal votes is the byte-wise smallest label."""
    classes, codes = np.unique(np.asarray(labels, dtype=str), return_inverse=True)
    return classes, codes.astype(np.intp)


def vote(neighbour_codes: np.ndarray, n_classes: int) -> np.ndarray:
    rows = neighbour_codes.shape[0]
    flat = (np.arange(rows)[:, None] * n_classes + neighbour_codes).ravel()
    counts = np.bincount(flat, minlength=rows * n_classes).reshape(rows, n_classes)
    return counts.argmax(axis=1)  # first maximum: the smallest code wins a tie


def component_count(eigenvalues: np.ndarray, threshold: float) -> int:
    m = len(eigenvalues)
    if threshold >= 1.0:
        return min(m, int(threshold))
    # A sequential running sum, as a running loop would add them.
    share = np.cumsum(eigenvalues) / eigenvalues.sum()
    reached = np.flatnonzero(share >= threshold)
    return int(reached[0]) + 1 if len(reached) else m


def eigh_pca(X: np.ndarray, threshold: float) -> tuple[np.ndarray, np.ndarray, str]:
    """Mean and the kept axes (d × m): covariance eigh, or Gram eigh when d > n."""
    n, d = X.shape
    mean = X.mean(axis=0)
    Xc = X - mean
    if d > n:
        values, vectors = np.linalg.eigh(Xc @ Xc.T)
        values, vectors = values[::-1], vectors[:, ::-1]
        m = component_count(values, threshold)
        axes = Xc.T @ vectors[:, :m]
        norms = np.linalg.norm(axes, axis=0)
        axes = np.where(norms > 1e-9, axes / np.where(norms > 1e-9, norms, 1.0), 0.0)
        return mean, axes, "thin"
    values, vectors = np.linalg.eigh(Xc.T @ Xc / max(n - 1, 1))
    values, vectors = values[::-1], vectors[:, ::-1]
    m = component_count(values, threshold)
    return mean, np.ascontiguousarray(vectors[:, :m]), "standard"


def exact_neighbours(Z: np.ndarray, Zq: np.ndarray, k: int, block: int = 256):
    """The k + 1 nearest training rows of every query in (distance, index) order.

    GEMM with the expanded formula screens; every candidate within a rounding margin of
    the (k + 1)-th is then re-measured as a plain sum of squared differences, so equal
    vectors tie exactly and the lower index wins. Returns indices and distances, q × (k + 1).
    """
    n = len(Z)
    want = min(k + 1, n)
    z_norms = np.einsum("ij,ij->i", Z, Z)
    idx_out = np.empty((len(Zq), want), dtype=np.intp)
    dist_out = np.empty((len(Zq), want))
    for start in range(0, len(Zq), block):
        Q = Zq[start:start + block]
        q_norms = np.einsum("ij,ij->i", Q, Q)
        D = Q @ Z.T
        D *= -2.0
        D += z_norms
        D += q_norms[:, None]
        cut = np.partition(D, want - 1, axis=1)[:, want - 1] if want < n else D.max(axis=1)
        margin = 1e-9 * (q_norms + z_norms.max())
        rows, cols = np.nonzero(D <= (cut + margin)[:, None])
        exact = np.square(Q[rows] - Z[cols]).sum(axis=1)
        order = np.lexsort((cols, exact, rows))
        rows, cols, exact = rows[order], cols[order], exact[order]
        first = np.searchsorted(rows, np.arange(len(Q)))
        rank = np.arange(len(rows)) - first[rows]
        keep = rank < want
        idx_out[start:start + len(Q)] = cols[keep].reshape(len(Q), want)
        dist_out[start:start + len(Q)] = exact[keep].reshape(len(Q), want)
    return idx_out, dist_out


class Reference:
    """Float64 PCA + exact k-NN in NumPy; answers the labels every system should give."""

    def __init__(self, X, y, Q, k: int, variance: float) -> None:
        self.mean, self.axes, self.mode = eigh_pca(X, variance)
        self.n_components = self.axes.shape[1]
        classes, codes = label_codes(y)
        Z = (X - self.mean) @ self.axes
        Zq = (Q - self.mean) @ self.axes
        idx, dist = exact_neighbours(Z, Zq, k)
        self.labels = classes[vote(codes[idx[:, :k]], len(classes))]
        # How far the k-th neighbour is from being displaced by the next one.
        if idx.shape[1] > k:
            kth, nxt = dist[:, k - 1], dist[:, k]
            self.boundary_gap = (nxt - kth) / np.maximum(np.abs(kth), 1e-300)
        else:
            self.boundary_gap = np.full(len(Q), np.inf)

    def compare(self, labels, near_tie: float = 1e-9) -> dict:
        labels = np.asarray(labels, dtype=str)
        differ = np.flatnonzero(labels != self.labels)
        ties = int(np.sum(self.boundary_gap[differ] < near_tie))
        return {"differing": int(len(differ)), "of": int(len(labels)),
                "at_near_ties": ties,
                "min_gap_of_differing": float(self.boundary_gap[differ].min()) if len(differ) else None}


class Quorvane:
    name = "quorvane"

    def __init__(self, k: int, variance: float) -> None:
        import quorvane

        cfg = quorvane.KNNConfig()
        cfg.k, cfg.variance = k, variance
        self._engine = quorvane.KNNEngine(cfg)
        self.n_components: int | None = None
        self.console = ""

    def fit_timed(self, X, y_list, clock):
        with captured_fd1() as out:
            t0 = clock()
            self._engine.train(X, y_list, scale=False)
            elapsed = clock() - t0
        self.console = out.text
        self.n_components = getattr(self._engine, "n_components", None)
        if self.n_components is None:
            found = re.search(r"Reduced to (\d+) dimensions", out.text)
            self.n_components = int(found.group(1)) if found else None
        return elapsed

    def predict(self, Q):
        return self._engine.predict_batch(Q)

    def predict_one(self, x):
        return self._engine.predict(x)


class Sklearn:
    name = "scikit-learn"

    def __init__(self, k: int, variance: float, solver: str = "full") -> None:
        from sklearn.decomposition import PCA
        from sklearn.neighbors import KNeighborsClassifier
        from sklearn.pipeline import make_pipeline

        # The randomized solver takes a component count only: the caller passes one.
        extra = {"random_state": 0} if solver == "randomized" else {}
        self._pipe = make_pipeline(PCA(n_components=variance, svd_solver=solver, **extra),
                                   KNeighborsClassifier(n_neighbors=k, algorithm="brute",
                                                        n_jobs=-1))
        self.solver = solver

    @property
    def n_components(self) -> int:
        return int(self._pipe[0].n_components_)

    def fit_timed(self, X, y, clock):
        t0 = clock()
        self._pipe.fit(X, y)
        return clock() - t0

    def predict(self, Q):
        return self._pipe.predict(Q)

    def predict_one(self, x):
        return self._pipe.predict(x[None, :])[0]


class NumpyFaiss:
    name = "NumPy + faiss"

    def __init__(self, k: int, variance: float) -> None:
        import faiss

        self._faiss = faiss
        self.k, self.variance = k, variance
        self.n_components = None

    def fit_timed(self, X, y, clock):
        t0 = clock()
        self.mean, self.axes, _ = eigh_pca(X, self.variance)
        Z = ((X - self.mean) @ self.axes).astype(np.float32)
        self.index = self._faiss.IndexFlatL2(Z.shape[1])
        self.index.add(Z)
        self.classes, self.codes = label_codes(y)
        elapsed = clock() - t0
        self.n_components = self.axes.shape[1]
        return elapsed

    def predict(self, Q):
        Zq = np.ascontiguousarray((Q - self.mean) @ self.axes, dtype=np.float32)
        _, neighbours = self.index.search(Zq, self.k)
        return self.classes[vote(self.codes[neighbours], len(self.classes))]

    def predict_one(self, x):
        return self.predict(x[None, :])[0]
