"""Typed use of the whole Python API, accepted by mypy --strict and run as it stands (test_typing.py)."""

import pickle
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

import quorvane


def make_engine(k: int, components: float) -> quorvane.KNNEngine:
    config = quorvane.KNNConfig()
    config.k = k
    config.variance = components
    engine = quorvane.KNNEngine(config)
    config.k = np.int64(k + 1)  # numpy integers convert too; the engine keeps its own copy
    return engine


def fit(engine: quorvane.KNNEngine, X: npt.ArrayLike, labels: Sequence[str | bytes]) -> int:
    engine.train(X, labels, scale=True)
    return engine.n_components


def main() -> None:
    rng = np.random.default_rng(0)
    X: npt.NDArray[np.float64] = rng.normal(size=(40, 5))
    labels = ["even" if i % 2 == 0 else "odd" for i in range(40)]

    engine = make_engine(3, 2)
    before: str = engine.predict(X[0])
    assert (before, engine.n_components) == ("Unknown", 0)

    assert fit(engine, X, labels) == 2
    engine.train(X.tolist(), tuple(labels))
    batch: list[str] = engine.predict_batch(X)
    one: str = engine.predict(X[3].tolist())
    assert one == batch[3]

    # Byte labels are stored as they are and come back as str.
    engine.train(X, [b"even", bytearray(b"odd")] * 20, scale=False)
    assert engine.predict_batch(X) == batch

    clone: quorvane.KNNEngine = pickle.loads(pickle.dumps(engine))
    assert clone.predict_batch(X[:5]) == batch[:5]
    config_state: tuple[int, float] = quorvane.KNNConfig().__getstate__()
    assert config_state == (3, 0.95)


if __name__ == "__main__":
    main()
