"""Choose n_neighbors and variance for QuorvaneClassifier by cross-validation on the digits.

    .venv/bin/python examples/grid_search.py

Needs scikit-learn (pip install "quorvane[sklearn]").
"""

from sklearn.datasets import load_digits
from sklearn.model_selection import GridSearchCV, train_test_split

from quorvane.sklearn import QuorvaneClassifier


def main() -> None:
    X, y = load_digits(return_X_y=True)
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.25, random_state=42, stratify=y)
    grid = {"n_neighbors": [1, 3, 5, 7], "variance": [0.7, 0.8, 0.9, 0.95, 0.99], "weights": ["uniform", "distance"]}
    search = GridSearchCV(QuorvaneClassifier(), grid, cv=5).fit(X_train, y_train)

    print(f"best parameters: {search.best_params_}")
    print(f"cross-validated accuracy: {search.best_score_:.4f}")
    best = search.best_estimator_
    print(f"kept components: {best.n_components_} of {best.n_features_in_}")
    print(f"held-out accuracy: {best.score(X_test, y_test):.4f}")

    # The five nearest training digits of one test digit, distances in the reduced space.
    dist, ind = best.kneighbors(X_test[:1], n_neighbors=5)
    print(f"test digit 0 is a {y_test[0]}; its 5 nearest training digits are {y_train[ind[0]].tolist()} "
          f"at distances {dist[0].round(2).tolist()}")
    shares = best.set_params(n_neighbors=5).fit(X_train, y_train).predict_proba(X_test[:1])[0]
    print("vote shares with 5 neighbours: " +
          ", ".join(f"{c}: {s:.1f}" for c, s in zip(best.classes_, shares) if s > 0))


if __name__ == "__main__":
    main()
