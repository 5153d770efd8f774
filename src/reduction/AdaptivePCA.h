#pragma once

#include <limits>

#include <Eigen/Dense>

#include "linalg/MatrixView.h"

namespace quorvane {

namespace common {
class SideTask;
}

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
    /// The same, with `alongside` run beside the single-threaded
    /// eigen-decomposition of the covariance (or after it: without a second
    /// thread, and in Thin mode) and finished before the fit is kept. What it throws, the fit throws, leaving the
    /// reduction as it was.
    void fit(const MatrixView& X, bool scale, common::SideTask& alongside);

    // The steps of `fit`, for data split into row blocks that live apart: each
    // block's sums and products are formed by the first group, the caller adds
    // them up in a fixed block order, and the second group finishes the fit.

    /// Column sums of X / units (one unit per column). Refuses NaN and
    /// infinity, naming the row as first_row + its index in X (X being rows of
    /// a larger matrix). With `column_max` set, each column's largest
    /// magnitude is found in the same pass.
    static Eigen::VectorXd column_sums(const MatrixView& X, const Eigen::VectorXd& units,
                                       Eigen::Index first_row = 0, Eigen::VectorXd* column_max = nullptr);

    /// 1.0 for data of ordinary size, else a power of two near `max_abs`, the
    /// largest magnitude in the data.
    static double unit_for(double max_abs);

    /// The units sums and squares are taken in, from each column's largest
    /// magnitude: the largest column's for every feature, or with
    /// `per_feature` each feature's own (a feature that is all zero takes the
    /// largest's), so that a deviation is found however far its feature's
    /// size is from the rest.
    static Eigen::VectorXd units_for(const Eigen::VectorXd& column_max, bool per_feature);

    /// Sums over the rows of X of ((x - mean) / units)^2, per column.
    static Eigen::VectorXd squared_deviations(const MatrixView& X, const Eigen::VectorXd& mean,
                                              const Eigen::VectorXd& units);

    /// The per-feature divisors from the summed squared deviations of n > 1
    /// samples, taken in `units`: the sample deviation, or the largest unit
    /// where it is rounding noise.
    static Eigen::VectorXd deviations(const Eigen::VectorXd& squares, const Eigen::VectorXd& mean,
                                      Eigen::Index n, const Eigen::VectorXd& units);

    /// Starts a fit from its moments, dropping any axes: the products below
    /// then standardise with them.
    void set_moments(Eigen::VectorXd mean, Eigen::VectorXd feature_scale);

    /// Xs^T Xs, d x d, with Xs the rows of X standardised by the moments.
    Eigen::MatrixXd cross_product(const MatrixView& X) const;

    /// As Bs^T: the block of the Gram matrix between the rows of A and of B.
    Eigen::MatrixXd gram_block(const MatrixView& A, const MatrixView& B) const;

    /// Xs^T V, d x V.cols(): the rows of V pair with the rows of X.
    Eigen::MatrixXd back_project(const MatrixView& X, const MatrixView& V) const;

    /// Ends a standard-mode fit of n samples from their summed cross_product.
    void finish_standard(const Eigen::MatrixXd& product, Eigen::Index n);

    /// Every eigenvalue of the whole Gram matrix, descending, and the
    /// eigenvectors of those the threshold keeps (thin mode).
    void gram_eigenpairs(const Eigen::MatrixXd& gram, Eigen::VectorXd& values, Eigen::MatrixXd& vectors) const;

    /// Ends a thin-mode fit of n samples from the Gram matrix's eigenvalues and
    /// the summed back_project of the kept eigenvectors.
    void finish_thin(const Eigen::VectorXd& eigenvalues, Eigen::MatrixXd back_projected, Eigen::Index n);

    /// Keeps the leading candidate columns chosen by the threshold and prints
    /// the fit line. `eigenvalues` are descending, `candidates` holds at least
    /// the columns kept; `thin` only names the mode. The eigenvalues divided by
    /// `dof` are the variances along the axes (1 for a covariance's, n - 1 for
    /// a Gram matrix's).
    void select_components(const Eigen::VectorXd& eigenvalues, const Eigen::MatrixXd& candidates,
                           bool thin, double dof = 1.0);

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

    /// `project` into rows of n_components values (ld = n_components) that
    /// refuses, with std::invalid_argument, a row holding NaN or infinity or
    /// one whose projection overflows, naming the first as `what`'s row
    /// row_offset + its index in X.
    void project_finite(const MatrixView& X, Eigen::Index first, Eigen::Index count, double* out, const char* what,
                        Eigen::Index row_offset = 0) const;

    /// Puts a saved fit back: the members a fit would have set. Refuses sizes
    /// that disagree (all three empty is the unfitted state). Without
    /// explained variances (a model saved before they were kept) they are NaN.
    void restore(Eigen::VectorXd mean, Eigen::VectorXd feature_scale, Eigen::MatrixXd components,
                 Eigen::VectorXd explained_variance = {},
                 double total_variance = std::numeric_limits<double>::quiet_NaN());

    /// True once a fit has succeeded.
    bool fitted() const { return mean.size() != 0; }

    double variance_threshold;      ///< fraction (< 1.0) or count (>= 1.0); never changed
    int n_components;               ///< kept axes; the column count of `components`
    Eigen::VectorXd mean;           ///< per-feature mean of the training samples
    Eigen::VectorXd feature_scale;  ///< per-feature divisor: ones, or the sample deviation
    Eigen::MatrixXd components;     ///< d x n_components, axes by descending eigenvalue
    Eigen::VectorXd explained_variance;  ///< sample variance (n - 1) of the training data along each kept axis
    double total_variance = 0.0;    ///< the (standardised) training data's total variance: every axis's

private:
    bool fit_shifted(const MatrixView& X, bool scale, common::SideTask& alongside);
    linalg::Operand standardised(const MatrixView& X) const;
    void check_width(const MatrixView& X) const;
    void pack_components();

    bool unit_scale_ = true;        ///< every feature_scale entry is 1.0: skip the exact division
    linalg::PackedOperand packed_components_;  ///< `components` packed once for every projection
    linalg::ProjectionPanels projection_panels_;  ///< the same, laid out for rows read in place
};

}  // namespace quorvane
