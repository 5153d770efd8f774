#pragma once

#include <Eigen/Dense>

#include "Gemm.h"

namespace quorvane {

/// A read-only view of any dense float64 matrix, whatever its strides: a
/// NumPy array of either memory order reaches the core without a copy.
using MatrixView = Eigen::Ref<const Eigen::MatrixXd, 0, Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>>;

namespace linalg {

inline Operand operand(const MatrixView& X) {
    Operand op;
    op.data = X.data();
    op.rows = X.rows();
    op.cols = X.cols();
    op.row_stride = X.innerStride();
    op.col_stride = X.outerStride();
    return op;
}

/// Throws std::invalid_argument naming the first NaN or infinity in X, as
/// "<what> contains NaN or infinity at row i, column j", with i counted from
/// `first_row` (X being rows of a larger matrix).
void require_finite(const MatrixView& X, const char* what, Index first_row = 0);

/// True when values[0..count) holds no NaN and no infinity: one branch-free
/// pass on the team, where Eigen's allFinite tests one value at a time.
bool all_finite(const double* values, Index count);

inline Operand operand(const Eigen::MatrixXd& X) {
    Operand op;
    op.data = X.data();
    op.rows = X.rows();
    op.cols = X.cols();
    op.row_stride = 1;
    op.col_stride = X.rows();
    return op;
}

}  // namespace linalg
}  // namespace quorvane
