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

/// Every eigenpair of the symmetric S, eigenvalues descending: Householder
/// reduction to tridiagonal form, implicit QR with Wilkinson shifts, and the
/// back-transformation through the project's own product. Fixed-order loops
/// throughout, so the bits are the same on every CPU and instruction set.
LeadingEigenpairs symmetric_eigenpairs(const Eigen::MatrixXd& S);

/// Decomposes the symmetric S, keeping the eigenvectors of its `count_of(values)`
/// largest eigenvalues: one tridiagonal reduction, eigenvalues from it, inverse
/// iteration for the kept vectors only, and the Householder back-transformation,
/// so the cost after the reduction is O(n^2 count) instead of O(n^3). Vectors
/// of a cluster of close eigenvalues are kept orthogonal. When the kept count
/// cuts through a cluster of numerically equal eigenvalues (whose subspace
/// inverse iteration would pick differently), or a check of the vectors
/// fails, the vectors of `symmetric_eigenpairs` are used instead.
LeadingEigenpairs leading_eigenpairs(const Eigen::MatrixXd& S,
                                     const std::function<Eigen::Index(const Eigen::VectorXd&)>& count_of);

}  // namespace quorvane::linalg
