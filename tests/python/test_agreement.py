"""quorvane against scikit-learn's PCA + brute-force k-NN on its bundled data sets."""

import numpy as np
import pytest
from sklearn.datasets import load_breast_cancer, load_digits, load_iris, load_wine
from sklearn.decomposition import PCA
from sklearn.model_selection import train_test_split
from sklearn.neighbors import KNeighborsClassifier
from sklearn.preprocessing import StandardScaler
from threadpoolctl import threadpool_limits

from reference import make_engine, train_counting

LOADERS = {"iris": load_iris, "wine": load_wine, "breast_cancer": load_breast_cancer, "digits": load_digits}
KS = (1, 3, 5, 7)
FRACTIONS = (0.8, 0.9, 0.95, 0.99)
COUNTS = (2.0, 5.0, 10.0)


@pytest.fixture(scope="module", params=sorted(LOADERS))
def split(request):
    data = LOADERS[request.param]()
    labels = np.array([str(t) for t in data.target])
    return train_test_split(data.data, labels, test_size=0.3, stratify=labels, random_state=7)


# Scaler (optional) and PCA as scikit-learn does them; a count threshold becomes an
# integer n_components.
def sklearn_pipeline(X_train, threshold, scale):
    n_components = threshold if threshold < 1.0 else min(int(threshold), X_train.shape[1])
    scaler = StandardScaler().fit(X_train) if scale else None
    X = scaler.transform(X_train) if scale else X_train
    pca = PCA(n_components=n_components, svd_solver="full").fit(X)
    return lambda X: pca.transform(scaler.transform(X) if scale else X), pca.n_components_


@pytest.mark.parametrize("scale", [False, True], ids=["raw", "scaled"])
def test_component_count_and_predictions_match_scikit_learn(split, scale):
    X_train, X_test, y_train, y_test = split
    agree = total = 0
    for threshold in FRACTIONS + COUNTS:
        # scikit-learn's BLAS and OpenMP threads would spin against the engine's
        # team; one thread for it while it runs keeps the module fast.
        with threadpool_limits(1):
            reduce, expected_count = sklearn_pipeline(X_train, threshold, scale)
            Z_train, Z_test = reduce(X_train), reduce(X_test)
        for k in KS:
            with threadpool_limits(1):
                knn = KNeighborsClassifier(n_neighbors=k, algorithm="brute").fit(Z_train, y_train)
                expected = list(knn.predict(Z_test))
            engine = make_engine(k, threshold)
            assert train_counting(engine, X_train, list(y_train), scale) == expected_count, (threshold, k)
            assert engine.n_components == expected_count
            got = engine.predict_batch(X_test)
            agree += sum(a == b for a, b in zip(got, expected))
            total += len(got)
    assert agree / total >= 0.995
