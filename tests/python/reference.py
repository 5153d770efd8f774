"""A plain NumPy model of quorvane: the same fit, projection, neighbour order and vote."""

# Written for clarity, not speed; the property tests hold the engine against it. Its
# rounding differs from the engine's, so callers compare only where the answer does
# not hinge on the last bits (see `well_posed` and `cut_margin`).

import contextlib
import io
import re

import numpy as np

from quorvane import KNNConfig, KNNEngine

EPSILON = 1e-9  # an axis below this share of the longest is zero


def noise_floor(mean, n):
    """Deviations below this are the rounding of a constant feature's mean: 2 (2048 + n / 2048)
    units in the mean's last place."""
    return 2.0 * (2048 + n // 2048) * np.where(mean == 0.0, 0.0, np.spacing(np.abs(mean)))
INT_LIMIT = 2.0**31


def kept_count(eigenvalues, threshold):
    """Leading components kept for descending `eigenvalues` under `threshold`."""
    m = len(eigenvalues)
    if threshold >= 1.0:
        return m if threshold >= INT_LIMIT else min(m, int(threshold))
    with np.errstate(invalid="ignore", divide="ignore"):
        share = np.cumsum(eigenvalues) / np.sum(eigenvalues)
    reached = np.flatnonzero(share >= threshold)  # NaN shares and thresholds never reach
    return int(reached[0]) + 1 if len(reached) else m


class Model:
    def __init__(self, X, y, k, threshold, scale):
        X = np.asarray(X, dtype=np.float64)
        n, d = X.shape
        self.k, self.labels = k, [s.encode() if isinstance(s, str) else bytes(s) for s in y]
        self.mean = X.sum(axis=0) / n
        Xc = X - self.mean
        self.scale = np.ones(d)
        if scale and n > 1:
            sd = np.sqrt((Xc**2).sum(axis=0) / (n - 1))
            self.scale = np.where((sd == 0) | (sd < noise_floor(self.mean, n)), 1.0, sd)
        Xc = Xc / self.scale
        self.thin = d > n
        if self.thin:
            values, V = np.linalg.eigh(Xc @ Xc.T)
            values, V = values[::-1], V[:, ::-1]
            axes = Xc.T @ V
            self.lengths = np.linalg.norm(axes, axis=0)
            cut = EPSILON * self.lengths.max(initial=0.0)
            axes = np.where(self.lengths > cut, axes / np.where(self.lengths > 0, self.lengths, 1), 0.0)
        else:
            values, axes = np.linalg.eigh(Xc.T @ Xc / max(n - 1, 1))
            values, axes = values[::-1], axes[:, ::-1]
            self.lengths = np.ones(d)
        self.eigenvalues = values
        self.n_components = kept_count(values, threshold)
        self.components = axes[:, : self.n_components]
        # Copies of one sample are projected, and measured, once: they are at
        # bitwise equal distances from any query and only their index orders them.
        rows, self.point = np.unique(X, axis=0, return_inverse=True)
        self.points = self.project(rows)
        self.train = self.points[self.point]

    def project(self, X):
        return ((np.asarray(X, dtype=np.float64) - self.mean) / self.scale) @ self.components

    def distances(self, q):
        """Expanded squared distances from one raw query to every training sample."""
        p = self.project(np.atleast_2d(q))[0]
        return (((self.points**2).sum(axis=1) - 2.0 * (self.points @ p)) + p @ p)[self.point]

    def voters(self, q):
        """Indices of the min(k, n) nearest samples under the order (distance, index)."""
        dist = self.distances(q)
        # lexsort's last key is the primary one: NaN last, then distance, then index.
        order = np.lexsort((np.arange(len(dist)), np.nan_to_num(dist), np.isnan(dist)))
        return order[: max(0, min(self.k, len(dist)))]

    def predict(self, q):
        voters = self.voters(q)
        if len(voters) == 0:
            return "Unknown"
        votes = {}
        for i in voters:
            votes[self.labels[i]] = votes.get(self.labels[i], 0) + 1
        # Most votes first, then the byte-wise smallest label.
        return min(votes, key=lambda label: (-votes[label], label)).decode()

    # Gap between the last voter's distance and the next sample's, relative to the
    # magnitudes the expanded formula cancels. inf when rounding cannot change the
    # voters: every sample votes, or the samples about the cut are copies of one.
    def cut_margin(self, q, tolerance=1e-9):
        m = min(self.k, len(self.train))
        if m <= 0 or m >= len(self.train):
            return np.inf
        dist = self.distances(q)
        ordered = np.sort(dist)
        p = self.project(np.atleast_2d(q))[0]
        magnitude = max((self.train**2).sum(axis=1).max(), p @ p, 1e-300)
        margin = (ordered[m] - ordered[m - 1]) / magnitude
        near = np.abs(dist - ordered[m - 1]) <= tolerance * magnitude
        near |= np.abs(dist - ordered[m]) <= tolerance * magnitude
        return np.inf if len(np.unique(self.point[near])) == 1 else margin

    # Whether the kept subspace is fixed by the data, not by rounding: the eigenvalue
    # at the cut stands apart from the next one, and in thin mode every kept axis
    # either has a clear length or is clearly zeroed.
    def well_posed(self, gap=1e-6):
        values, c, m = self.eigenvalues, self.n_components, len(self.eigenvalues)
        top = max(abs(values[0]), 1e-300)
        if c < m and values[c - 1] - values[c] <= gap * top:
            return False
        if self.thin:
            length = self.lengths[:c] / max(self.lengths.max(), 1e-300)
            if np.any((length > EPSILON * 1e-3) & (length < EPSILON * 1e3)):
                return False
            # A long axis must carry real variance, not an amplified null direction.
            if np.any((length >= EPSILON * 1e3) & (values[:c] <= gap * top)):
                return False
        return True

    def share_margin(self, threshold):
        """Distance of the nearest cumulative share from a fractional threshold."""
        if not 0.0 < threshold < 1.0:
            return np.inf
        total = np.sum(self.eigenvalues)
        if total == 0.0:
            return np.inf
        return np.min(np.abs(np.cumsum(self.eigenvalues) / total - threshold))


REDUCED = re.compile(r"^\[Engine\] Trained successfully\. Reduced to (\d+) dimensions\.$", re.M)


def blobs(seed):
    """Three well separated clusters of 90 samples in 6 features, str labels, 16 queries near them."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=8.0, size=(3, 6))
    which = rng.integers(0, 3, size=90)
    X = centres[which] + rng.normal(size=(90, 6))
    return X, [("alpha", "beta", "gamma")[i] for i in which], np.vstack([centres, X[::7] + rng.normal(size=(13, 6))])


def make_engine(k=3, variance=0.95):
    config = KNNConfig()
    config.k, config.variance = k, variance
    return KNNEngine(config)


# Trains `engine` and returns the component count it prints.
def train_counting(engine, X, y, scale):
    with contextlib.redirect_stdout(io.StringIO()) as out:
        engine.train(X, y, scale=scale)
    return [int(c) for c in REDUCED.findall(out.getvalue())][-1]
