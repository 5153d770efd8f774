#pragma once

#include <Eigen/Dense>

#include "linalg/MatrixView.h"

namespace quorvane {

/// Principal component analysis whose number of kept axes is chosen at every
/// fit from one threshold: below 1.0 a fraction of explained variance, from
/// 1.0 upwards a component count.
class AdaptivePCA {
public:
    explicit AdaptivePCA(double variance_threshold);

    /// Learns mean, optional per-feature deviation and the kept axes from the
    /// samples in the rows of `X`, then prints the fit line. Refuses an empty X
    /// and one holding NaN or infinity, leaving the reduction as it was.
    void fit(const MatrixView& X, bool scale);

    /// Keeps the leading candidate columns chosen by the threshold and prints
    /// the fit line. `eigenvalues` are descending, `candidates` holds at least
    /// the columns kept; `thin` only names the mode.
    void select_components(const Eigen::VectorXd& eigenvalues, const Eigen::MatrixXd& candidates,
                           bool thin);

    /// Number of leading eigenpairs the threshold keeps.
    Eigen::Index component_count(const Eigen::VectorXd& eigenvalues) const;

    /// Projects the rows of `X`: subtract `mean`, divide by `feature_scale`,
    /// multiply by `components`. Before any fit the result has no columns.
    Eigen::MatrixXd transform(const MatrixView& X) const;

    /// Projects rows [first, first + count) of `X` into the row-major `out`
    /// (leading dimension `ld`), each row with exactly the arithmetic of
    /// `transform`, whatever the range. Fitted reductions only.
    void project(const MatrixView& X, Eigen::Index first, Eigen::Index count, double* out,
                 Eigen::Index ld) const;

    /// Puts a saved fit back: the members a fit would have set. Refuses sizes
    /// that disagree (all three empty is the unfitted state).
    void restore(Eigen::VectorXd mean, Eigen::VectorXd feature_scale, Eigen::MatrixXd components);

    /// True once a fit has succeeded.
    bool fitted() const { return mean.size() != 0; }

    double variance_threshold;      ///< fraction (< 1.0) or count (>= 1.0); never changed
    int n_components;               ///< kept axes; the column count of `components`
    Eigen::VectorXd mean;           ///< per-feature mean of the training samples
    Eigen::VectorXd feature_scale;  ///< per-feature divisor: ones, or the sample deviation
    Eigen::MatrixXd components;     ///< d x n_components, axes by descending eigenvalue

private:
    linalg::Operand standardised(const MatrixView& X) const;

    bool unit_scale_ = true;        ///< every feature_scale entry is 1.0: skip the exact division
    linalg::PackedOperand packed_components_;  ///< `components` packed once for every projection
};

}  // namespace quorvane
