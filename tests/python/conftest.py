import os

# Lets scikit-learn's array API check run on the estimator instead of skipping;
# it must be set before SciPy is first imported.
os.environ.setdefault("SCIPY_ARRAY_API", "1")

import pytest  # noqa: E402

from reference import blobs as make_blobs  # noqa: E402


@pytest.fixture
def blobs():
    return make_blobs(5)[:2]
