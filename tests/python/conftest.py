import os

# Lets scikit-learn's array API check run on the estimator instead of skipping;
# it must be set before SciPy is first imported.
os.environ.setdefault("SCIPY_ARRAY_API", "1")

import numpy as np
import pytest


@pytest.fixture
def blobs():
    """Three well separated clusters in 6 features, with str labels."""
    rng = np.random.default_rng(5)
    centres = rng.normal(scale=8.0, size=(3, 6))
    labels = np.array(["alpha", "beta", "gamma"])
    which = rng.integers(0, 3, size=90)
    X = centres[which] + rng.normal(size=(90, 6))
    return X, [str(s) for s in labels[which]]
