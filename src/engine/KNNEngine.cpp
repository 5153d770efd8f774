#include "KNNEngine.h"

#include <climits>
#include <cmath>
#include <exception>
#include <iostream>
#include <stdexcept>

namespace quorvane {

namespace {

// Non-finite input would poison the mean and every distance; name where it is.
void require_finite(const Eigen::MatrixXd& X, const char* what) {
    if (X.allFinite()) return;
    for (Eigen::Index j = 0; j < X.cols(); ++j) {
        for (Eigen::Index i = 0; i < X.rows(); ++i) {
            if (!std::isfinite(X(i, j))) {
                throw std::invalid_argument(std::string(what) + " contains NaN or infinity at row " +
                                            std::to_string(i) + ", column " + std::to_string(j));
            }
        }
    }
}

}  // namespace

KNNEngine::KNNEngine(KNNConfig config)
    : config(config),
      pca(std::make_unique<AdaptivePCA>(config.variance)),
      classifier(std::make_unique<KNNClassifier>(config.k)) {}

KNNEngine::~KNNEngine() {
    classifier.reset();
    pca.reset();
}

void KNNEngine::train(const Eigen::MatrixXd& X, const std::vector<std::string>& y, bool scale) {
    if (X.rows() == 0 || X.cols() == 0) {
        throw std::invalid_argument("X must have at least one row and one column, got " +
                                    std::to_string(X.rows()) + " x " + std::to_string(X.cols()));
    }
    if (static_cast<Eigen::Index>(y.size()) != X.rows()) {
        throw std::invalid_argument("y has " + std::to_string(y.size()) + " labels but X has " +
                                    std::to_string(X.rows()) + " rows");
    }
    require_finite(X, "X");

    // Built aside and swapped in only when every step succeeded, so a failed
    // train never leaves a reduction and a reference set of different sizes.
    auto new_pca = std::make_unique<AdaptivePCA>(config.variance);
    new_pca->fit(X, scale);
    auto new_classifier = std::make_unique<KNNClassifier>(config.k);
    new_classifier->fit(new_pca->transform(X), y);

    pca.swap(new_pca);
    classifier.swap(new_classifier);
    std::cout << "[Engine] Trained successfully. Reduced to " << pca->n_components
              << " dimensions." << std::endl;
}

void KNNEngine::check_query(const Eigen::MatrixXd& X, const char* what) const {
    if (!trained()) return;
    if (X.cols() != pca->mean.size()) {
        throw std::invalid_argument(std::string(what) + " has " + std::to_string(X.cols()) +
                                    " features, but the engine was trained with " +
                                    std::to_string(pca->mean.size()));
    }
    require_finite(X, what);
}

std::string KNNEngine::predict(const Eigen::VectorXd& x) const {
    const Eigen::MatrixXd row = x.transpose();
    check_query(row, "x");
    const Eigen::VectorXd q = pca->transform(row).transpose();
    return classifier->predict(q);
}

std::vector<std::string> KNNEngine::predict_batch(const Eigen::MatrixXd& X) const {
    if (X.rows() == 0) return {};
    if (X.rows() > INT_MAX) {
        throw std::invalid_argument("X has " + std::to_string(X.rows()) +
                                    " rows, more than the 2147483647 a batch can index");
    }
    check_query(X, "X");

    const Eigen::MatrixXd Z = pca->transform(X);
    std::vector<std::string> labels(static_cast<std::size_t>(Z.rows()));
    const int rows = static_cast<int>(Z.rows());
    // An exception must not leave a worker thread; the first is rethrown here.
    std::exception_ptr failure;
#pragma omp parallel for schedule(static)
    for (int i = 0; i < rows; ++i) {
        try {
            const Eigen::VectorXd q = Z.row(i).transpose();
            labels[i] = classifier->predict(q);
        } catch (...) {
#pragma omp critical(quorvane_batch_failure)
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
    return labels;
}

}  // namespace quorvane
