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

// NaN and infinity are the values whose exponent bits are all set.
template <typename T>
struct ExponentBits;
template <>
struct ExponentBits<double> {
    using Bits = std::uint64_t;
    static constexpr Bits kMask = 0x7ff0000000000000ULL;
};
template <>
struct ExponentBits<float> {
    using Bits = std::uint32_t;
    static constexpr Bits kMask = 0x7f800000U;
};

template <typename T>
bool all_finite(const T* data, const MatrixView& X) {
    using Bits = typename ExponentBits<T>::Bits;
    constexpr Bits kExponent = ExponentBits<T>::kMask;
    const bool rows_contiguous = X.col_stride() == 1;
    const Index outer = rows_contiguous ? X.rows() : X.cols();
    const Index inner = rows_contiguous ? X.cols() : X.rows();
    const Index step = rows_contiguous ? X.row_stride() : X.col_stride();
    const Index stride = rows_contiguous ? X.col_stride() : X.row_stride();
    unsigned bad = 0;
#pragma omp parallel for schedule(static) reduction(| : bad) if (outer * inner > (1 << 18) && common::threads_usable())
    for (Index o = 0; o < outer; ++o) {
        const T* line = data + o * step;
        unsigned line_bad = 0;
        for (Index i = 0; i < inner; ++i) {
            Bits bits;
            std::memcpy(&bits, line + i * stride, sizeof bits);
            line_bad |= static_cast<unsigned>((bits & kExponent) == kExponent);
        }
        bad |= line_bad;
    }
    return bad == 0;
}

}  // namespace

bool all_finite(const double* values, Index count) {
    return all_finite(values, MatrixView(values, count, 1, 1, count));
}

// Non-finite input would poison the mean and every distance; name where it is.
void require_finite(const MatrixView& X, const char* what, Index first_row) {
    if (X.visit([&X](const auto* data) { return all_finite(data, X); })) return;
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
