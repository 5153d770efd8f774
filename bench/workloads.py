"""Data sets for the benchmark, all drawn from fixed seeds."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np


@dataclass
class Workload:
    name: str
    X_train: np.ndarray  # float64, C order
    y_train: np.ndarray  # str labels
    X_query: np.ndarray
    y_query: np.ndarray
    k: int = 3
    variance: float = 0.95
    note: str = ""
    y_train_list: list[str] = field(init=False, repr=False)

    def __post_init__(self) -> None:
        self.X_train = np.ascontiguousarray(self.X_train, dtype=np.float64)
        self.X_query = np.ascontiguousarray(self.X_query, dtype=np.float64)
        # quorvane takes a list of str; converting once keeps that out of the timings.
        self.y_train_list = [str(s) for s in self.y_train]

    @property
    def shape(self) -> str:
        n, d = self.X_train.shape
        return f"{n}×{d}, {len(self.X_query)} queries"

    def prefix(self, n_train: int, n_query: int) -> "Workload":
        """A random sample's prefix is a random sample: the size sweep reuses the draw."""
        return Workload(f"{self.name}[:{n_train}]", self.X_train[:n_train], self.y_train[:n_train],
                        self.X_query[:n_query], self.y_query[:n_query], self.k, self.variance)


class SubspaceMixture:
    """Gaussian classes whose centres and spread live in a `rank`-dimensional random
    subspace of R^dim, plus isotropic noise in every direction.

    The population spectrum is known in closed form, so the noise level is solved for:
    the threshold then falls in the middle of the step between `rank` - 1 and `rank`
    components, far from the noise floor, and the kept subspace is well determined.
    """

    def __init__(self, dim: int, rank: int, n_classes: int, seed: int, *,
                 spread: float = 1.0, within: float = 1.0, threshold: float = 0.95,
                 noise_dims: int | None = None) -> None:
        rng = np.random.default_rng(seed)
        self.dim, self.rank, self.n_classes, self.within = dim, rank, n_classes, within
        self.basis, _ = np.linalg.qr(rng.standard_normal((dim, rank)))
        self.centres = rng.normal(scale=spread, size=(n_classes, rank))
        width = max(2, len(str(n_classes - 1)))
        self.labels = np.array([f"class-{c:0{width}d}" for c in range(n_classes)])

        centred = self.centres - self.centres.mean(axis=0)
        between = np.linalg.eigvalsh(centred.T @ centred / n_classes)[::-1]
        signal = np.clip(between, 0.0, None) + within**2
        total_signal, last = signal.sum(), signal[-1]
        # Sample noise energy dim * var spreads evenly over min(dim, n - 1)
        # directions; the caller names that count when samples are fewer.
        directions = dim if noise_dims is None else noise_dims
        tail = 1.0 - threshold
        # Per-direction noise nu puts the unkept share at t = (directions - rank) nu / T
        # with `rank` components and t + (last + nu) / T with one fewer; solve for
        # t + (last + nu) / (2T) = tail, T = total_signal + directions * nu.
        nu = (tail * total_signal - last / 2) / (directions - rank + 0.5 - tail * directions)
        self.noise_var = nu * directions / dim
        if self.noise_var <= 0:
            raise ValueError("the last signal direction is too weak for this threshold")

    def sample(self, n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
        rng = np.random.default_rng(seed)
        which = rng.integers(0, self.n_classes, size=n)
        inside = self.centres[which] + rng.normal(scale=self.within, size=(n, self.rank))
        X = inside @ self.basis.T
        X += rng.normal(scale=np.sqrt(self.noise_var), size=(n, self.dim))
        return X, self.labels[which]


def large(n_train: int = 100_000, n_query: int = 10_000) -> Workload:
    model = SubspaceMixture(dim=256, rank=17, n_classes=16, seed=20240517)
    X, y = model.sample(n_train, seed=1)
    Q, yq = model.sample(n_query, seed=2)
    return Workload("large", X, y, Q, yq,
                    note="16 classes in a 17-dimensional subspace of R^256 plus isotropic noise")


def thin(n_train: int = 500, n_query: int = 2_000, dim: int = 20_000) -> Workload:
    model = SubspaceMixture(dim=dim, rank=12, n_classes=8, seed=20240518,
                            noise_dims=n_train - 1)
    X, y = model.sample(n_train, seed=3)
    Q, yq = model.sample(n_query, seed=4)
    return Workload("thin", X, y, Q, yq,
                    note="8 classes in a 12-dimensional subspace, more features than samples")


def digits() -> Workload:
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    X, target = load_digits(return_X_y=True)
    labels = np.array([str(t) for t in target])
    X_tr, X_te, y_tr, y_te = train_test_split(X, labels, test_size=0.25, random_state=42,
                                              stratify=labels)
    return Workload("digits", X_tr, y_tr, X_te, y_te,
                    note="scikit-learn's bundled 8×8 handwritten digits, 75/25 stratified split")
