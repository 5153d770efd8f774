#pragma once

#include <Eigen/Dense>

namespace quorvane {

/// Principal component analysis whose number of kept axes is chosen at every
/// fit from one threshold: below 1.0 a fraction of explained variance, from
/// 1.0 upwards a component count.
class AdaptivePCA {
public:
    explicit AdaptivePCA(double variance_threshold);

    /// Learns mean, optional per-feature deviation and the kept axes from the
    /// samples in the rows of `X`, then prints the fit line. Refuses an empty X.
    void fit(const Eigen::MatrixXd& X, bool scale);

    /// Keeps the leading candidate columns chosen by the threshold and prints
    /// the fit line. `eigenvalues` are descending; `thin` only names the mode.
    void select_components(const Eigen::VectorXd& eigenvalues, const Eigen::MatrixXd& candidates,
                           bool thin);

    /// Projects the rows of `X`: subtract `mean`, divide by `feature_scale`,
    /// multiply by `components`. Before any fit the result has no columns.
    Eigen::MatrixXd transform(const Eigen::MatrixXd& X) const;

    double variance_threshold;      ///< fraction (< 1.0) or count (>= 1.0); never changed
    int n_components;               ///< kept axes; the column count of `components`
    Eigen::VectorXd mean;           ///< per-feature mean of the training samples
    Eigen::VectorXd feature_scale;  ///< per-feature divisor: ones, or the sample deviation
    Eigen::MatrixXd components;     ///< d x n_components, axes by descending eigenvalue
};

}  // namespace quorvane
