#pragma once

#include <functional>

#include <Eigen/Dense>

namespace quorvane::linalg {

/// All eigenvalues of a symmetric matrix, descending, and the eigenvectors of
/// the leading ones only.
struct LeadingEigenpairs {
    Eigen::VectorXd values;   ///< every eigenvalue, in descending order
    Eigen::MatrixXd vectors;  ///< unit eigenvectors of the first `count` values, as columns
};

/// Decomposes the symmetric S, keeping the eigenvectors of its `count_of(values)`
/// largest eigenvalues: one tridiagonal reduction, eigenvalues from it, inverse
/// iteration for the kept vectors only, and the Householder back-transformation,
/// so the cost after the reduction is O(n^2 count) instead of the O(n^3) of
/// accumulating every rotation. Vectors of a cluster of close eigenvalues are
/// kept orthogonal. Should a check of the vectors fail, the full decomposition
/// is used instead.
LeadingEigenpairs leading_eigenpairs(const Eigen::MatrixXd& S,
                                     const std::function<Eigen::Index(const Eigen::VectorXd&)>& count_of);

}  // namespace quorvane::linalg
