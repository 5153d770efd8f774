#include "MatrixView.h"
#include "common/Parallel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace quorvane::linalg {

namespace {

using Index = Eigen::Index;

// NaN and infinity are the doubles whose exponent bits are all set.
bool all_finite(const MatrixView& X) {
    constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;
    const bool rows_contiguous = X.outerStride() == 1;
    const Index outer = rows_contiguous ? X.rows() : X.cols();
    const Index inner = rows_contiguous ? X.cols() : X.rows();
    const Index step = rows_contiguous ? X.innerStride() : X.outerStride();
    const Index stride = rows_contiguous ? X.outerStride() : X.innerStride();
    std::uint64_t bad = 0;
#pragma omp parallel for schedule(static) reduction(| : bad) if (outer * inner > (1 << 18) && common::threads_usable())
    for (Index o = 0; o < outer; ++o) {
        const double* line = X.data() + o * step;
        std::uint64_t line_bad = 0;
        for (Index i = 0; i < inner; ++i) {
            std::uint64_t bits;
            std::memcpy(&bits, line + i * stride, sizeof bits);
            line_bad |= static_cast<std::uint64_t>((bits & kExponent) == kExponent);
        }
        bad |= line_bad;
    }
    return bad == 0;
}

}  // namespace

bool all_finite(const double* values, Index count) {
    return all_finite(MatrixView(Eigen::Map<const Eigen::VectorXd>(values, count)));
}

// Non-finite input would poison the mean and every distance; name where it is.
void require_finite(const MatrixView& X, const char* what, Index first_row) {
    if (all_finite(X)) return;
    for (Index i = 0; i < X.rows(); ++i) {
        for (Index j = 0; j < X.cols(); ++j) {
            if (!std::isfinite(X(i, j))) {
                throw std::invalid_argument(std::string(what) + " contains NaN or infinity at row " +
                                            std::to_string(first_row + i) + ", column " + std::to_string(j));
            }
        }
    }
}

}  // namespace quorvane::linalg
