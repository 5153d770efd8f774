#pragma once

#include <memory>
#include <type_traits>

#include <Eigen/Dense>

#include "Gemm.h"

namespace quorvane {

/// A read-only view of a dense matrix of doubles or of floats, whatever its
/// positive strides: a NumPy float64 or float32 array of either memory order
/// reaches the core without a copy. Element (i, j) lies i * row_stride() +
/// j * col_stride() elements past the first; readers take it as a double
/// (exact for a float), block by block, never as a converted whole.
class MatrixView {
public:
    using Index = Eigen::Index;

    MatrixView(const double* data, Index rows, Index cols, Index row_stride, Index col_stride)
        : doubles_(data), rows_(rows), cols_(cols), row_stride_(row_stride), col_stride_(col_stride) {}
    MatrixView(const float* data, Index rows, Index cols, Index row_stride, Index col_stride)
        : floats_(data), rows_(rows), cols_(cols), row_stride_(row_stride), col_stride_(col_stride) {}

    /// Views an Eigen matrix, map or block of doubles or floats; an expression
    /// without storage of its own is evaluated first, and the view keeps it.
    /// Implicit, as Eigen::Ref's is, so Eigen matrices pass wherever views are taken.
    template <typename Derived>
    MatrixView(const Eigen::MatrixBase<Derived>& m) {
        using Scalar = typename Derived::Scalar;
        static_assert(std::is_same_v<Scalar, double> || std::is_same_v<Scalar, float>,
                      "a MatrixView holds doubles or floats");
        if constexpr ((Eigen::internal::traits<Derived>::Flags & Eigen::DirectAccessBit) != 0) {
            const Derived& d = m.derived();
            const Index inner = d.innerStride(), outer = d.outerStride();
            *this = MatrixView(d.data(), d.rows(), d.cols(), Derived::IsRowMajor ? outer : inner,
                               Derived::IsRowMajor ? inner : outer);
        } else {
            auto owned = std::make_shared<const Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic>>(m);
            *this = MatrixView(owned->data(), owned->rows(), owned->cols(), 1, owned->rows());
            owner_ = std::move(owned);
        }
    }
    /// The same for an Eigen array or array expression.
    template <typename Derived>
    MatrixView(const Eigen::ArrayBase<Derived>& a) : MatrixView(a.matrix()) {}

    Index rows() const { return rows_; }
    Index cols() const { return cols_; }
    Index row_stride() const { return row_stride_; }
    Index col_stride() const { return col_stride_; }
    /// The elements when they are doubles, else null.
    const double* doubles() const { return doubles_; }
    /// The elements when they are floats, else null.
    const float* floats() const { return floats_; }

    /// Element (i, j), as a double.
    double operator()(Index i, Index j) const {
        const Index at = i * row_stride_ + j * col_stride_;
        return floats_ != nullptr ? static_cast<double>(floats_[at]) : doubles_[at];
    }

    /// Rows [first, first + count), as Eigen names the same block.
    MatrixView middleRows(Index first, Index count) const {
        MatrixView v = *this;
        if (doubles_ != nullptr) v.doubles_ += first * row_stride_;
        if (floats_ != nullptr) v.floats_ += first * row_stride_;
        v.rows_ = count;
        return v;
    }

    /// f(p) with p the typed pointer to element (0, 0): code that reads the
    /// elements is written once and compiled for each element type.
    template <typename F>
    decltype(auto) visit(F&& f) const {
        return floats_ != nullptr ? f(floats_) : f(doubles_);
    }

private:
    const double* doubles_ = nullptr;   ///< the elements, when they are doubles
    const float* floats_ = nullptr;     ///< the elements, when they are floats
    Index rows_ = 0;                    ///< row count
    Index cols_ = 0;                    ///< column count
    Index row_stride_ = 0;              ///< elements from one row to the next
    Index col_stride_ = 0;              ///< elements from one column to the next
    std::shared_ptr<const void> owner_; ///< an evaluated expression the view is of, if any
};

namespace linalg {

inline Operand operand(const MatrixView& X) {
    Operand op;
    op.data = X.doubles();
    op.floats = X.floats();
    op.rows = X.rows();
    op.cols = X.cols();
    op.row_stride = X.row_stride();
    op.col_stride = X.col_stride();
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
