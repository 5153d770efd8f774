#include "AdaptivePCA.h"

#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string>

namespace quorvane {

namespace {

// Guards a deviation or a thin-mode axis length against division by ~zero.
constexpr double kEpsilon = 1e-9;

// Eigen returns ascending eigenpairs; the selection wants them descending.
void descending_eigenpairs(const Eigen::MatrixXd& symmetric, Eigen::VectorXd& values,
                           Eigen::MatrixXd& vectors) {
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(symmetric, Eigen::ComputeEigenvectors);
    values = solver.eigenvalues().reverse();
    vectors = solver.eigenvectors().rowwise().reverse();
}

}  // namespace

AdaptivePCA::AdaptivePCA(double variance_threshold)
    : variance_threshold(variance_threshold), n_components(0) {}

void AdaptivePCA::fit(const Eigen::MatrixXd& X, bool scale) {
    const Eigen::Index n = X.rows();
    const Eigen::Index d = X.cols();
    if (n == 0 || d == 0) {
        throw std::invalid_argument("X must have at least one row and one column, got " +
                                    std::to_string(n) + " x " + std::to_string(d));
    }

    Eigen::VectorXd new_mean = X.colwise().sum().transpose() / static_cast<double>(n);
    Eigen::MatrixXd Xc = X.rowwise() - new_mean.transpose();

    Eigen::VectorXd new_scale = Eigen::VectorXd::Ones(d);
    // A single sample has no sample deviation (0/0); it keeps the unit divisor.
    if (scale && n > 1) {
        const double dof = static_cast<double>(n - 1);
        for (Eigen::Index j = 0; j < d; ++j) {
            const double s = std::sqrt(Xc.col(j).squaredNorm() / dof);
            new_scale[j] = s < kEpsilon ? 1.0 : s;
        }
        Xc.array().rowwise() /= new_scale.transpose().array();
    }

    Eigen::VectorXd eigenvalues;
    Eigen::MatrixXd candidates;
    // With more features than samples the n x n Gram matrix has the same
    // non-zero spectrum as the covariance and is far cheaper to decompose.
    const bool thin = d > n;
    if (!thin) {
        // One sample leaves Xc all zeros; dividing by 1 keeps its covariance
        // the zero matrix instead of 0/0.
        const double dof = n > 1 ? static_cast<double>(n - 1) : 1.0;
        Eigen::MatrixXd cov = (Xc.transpose() * Xc) / dof;
        descending_eigenpairs(cov, eigenvalues, candidates);
    } else {
        Eigen::MatrixXd gram = Xc * Xc.transpose();
        Eigen::MatrixXd V;
        descending_eigenpairs(gram, eigenvalues, V);
        candidates = Xc.transpose() * V;
        for (Eigen::Index j = 0; j < candidates.cols(); ++j) {
            const double r = candidates.col(j).norm();
            // Centring leaves rank <= n - 1, so the last axis may be numerically zero.
            if (r > kEpsilon) {
                candidates.col(j) /= r;
            } else {
                candidates.col(j).setZero();
            }
        }
    }

    mean = std::move(new_mean);
    feature_scale = std::move(new_scale);
    select_components(eigenvalues, candidates, thin);
}

void AdaptivePCA::select_components(const Eigen::VectorXd& eigenvalues,
                                    const Eigen::MatrixXd& candidates, bool thin) {
    const Eigen::Index m = eigenvalues.size();
    Eigen::Index count = 0;
    if (variance_threshold >= 1.0) {
        // Thresholds beyond the 32-bit range (or +inf) cannot be truncated to
        // an int; they ask for more than any fit has, so all are kept.
        constexpr double kIntLimit = 2147483648.0;
        count = variance_threshold >= kIntLimit
                    ? m
                    : std::min<Eigen::Index>(m, static_cast<int>(variance_threshold));
    } else if (m > 0) {
        const double total = eigenvalues.sum();
        double running = 0.0;
        // A NaN share (zero total) or a NaN threshold never stops the loop.
        for (Eigen::Index i = 0; i < m; ++i) {
            count = i + 1;
            running += eigenvalues[i];
            if (running / total >= variance_threshold) break;
        }
    }

    components = candidates.leftCols(count);
    n_components = static_cast<int>(count);
    std::cout << "[PCA] Fit complete. Mode: " << (thin ? "Thin" : "Standard")
              << " | Components: " << n_components << std::endl;
}

Eigen::MatrixXd AdaptivePCA::transform(const Eigen::MatrixXd& X) const {
    if (mean.size() != 0 && X.cols() != mean.size()) {
        throw std::invalid_argument("X has " + std::to_string(X.cols()) +
                                    " features, but the reduction was fitted with " +
                                    std::to_string(mean.size()));
    }
    if (mean.size() == 0) return Eigen::MatrixXd(X.rows(), components.cols());
    // Training samples and queries go through exactly this order of
    // arithmetic, so a stored sample and the same vector as a query agree.
    const Eigen::MatrixXd Xc = X.rowwise() - mean.transpose();
    const Eigen::MatrixXd Xs = Xc.array().rowwise() / feature_scale.transpose().array();
    return Xs * components;
}

}  // namespace quorvane
