#pragma once

#include <string>
#include <vector>

#include <Eigen/Dense>

namespace quorvane {

/// Brute-force k-nearest-neighbour vote over a stored reference set of
/// already-reduced samples. Queries only read the members, so any number of
/// them may run at once on one classifier as long as no `fit` runs meanwhile.
class KNNClassifier {
public:
    using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    explicit KNNClassifier(int k);

    /// Replaces the reference set with a copy of `X` (one sample per row) and
    /// its labels. Refuses a label count that differs from the row count.
    void fit(const Eigen::MatrixXd& X, const std::vector<std::string>& y);

    /// Majority label among the `k` nearest stored samples, "Unknown" when
    /// nothing is stored or `k` <= 0. Refuses a query of the wrong length.
    std::string predict(const Eigen::VectorXd& query) const;

    int k;                              ///< neighbours that vote; fixed at construction
    RowMatrix X_train;                  ///< stored samples, each row contiguous
    std::vector<std::string> y_train;   ///< entry i labels row i of X_train
    Eigen::VectorXd sq_norms;           ///< squared Euclidean norm of each row of X_train
};

}  // namespace quorvane
