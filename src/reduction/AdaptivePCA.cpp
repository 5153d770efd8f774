#include "AdaptivePCA.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>

#include "common/Console.h"
#include "common/Parallel.h"
#include "common/SideTask.h"
#include "linalg/SymmetricEigen.h"

namespace quorvane {

namespace {

using Index = Eigen::Index;
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// A thin-mode axis below this fraction of the longest axis is rounding noise,
// not signal.
constexpr double kEpsilon = 1e-9;

[[noreturn]] void throw_overflow() {
    throw std::invalid_argument(
        "X spans too wide a range of values: its centred products overflow double precision");
}

// The per-feature vectors of the steps below come from the sharded fit's
// callers too: a length that differs from X's is refused, not read past.
void require_length(const Eigen::VectorXd& v, Index d, const char* what) {
    if (v.size() != d) {
        throw std::invalid_argument(std::string(what) + " has " + std::to_string(v.size()) + " entries for " +
                                    std::to_string(d) + " features");
    }
}

// Per-column sums of f(x): each block of kSumRows rows is summed in row
// order, then the block sums in block order. The blocks are fixed, so the
// result is the same for any thread count and either memory order of X.
constexpr Index kSumRows = 2048;

// The unit in the last place of |x|; 0 for 0, whose feature has no rounding
// of a mean to be mistaken for spread.
double last_place(double x) {
    if (x == 0.0) return 0.0;
    int exponent = 0;
    std::frexp(x, &exponent);
    return std::ldexp(1.0, exponent - 53);
}

// With `largest` set, each column's largest magnitude is found in the same
// pass: a max is exact in any order, so it equals a pass of its own. Floats
// are widened as they are read, so they sum as their doubles would.
template <bool kLargest = false, typename T, typename F>
void sums_of(const T* data, const MatrixView& X, F f, Eigen::MatrixXd& partial, Eigen::MatrixXd& partial_largest,
             common::InterruptCheck& interrupt) {
    const Index n = X.rows(), d = X.cols(), rs = X.row_stride(), cs = X.col_stride();
    const Index blocks = partial.cols();
    const bool rows_contiguous = cs == 1 && d > 1;
#pragma omp parallel for schedule(static) if (n * d > (1 << 18) && common::threads_usable())
    for (Index b = 0; b < blocks; ++b) {
        if (interrupt.stop()) continue;
        double* sums = partial.col(b).data();
        double* tops = kLargest ? partial_largest.col(b).data() : nullptr;
        const Index end = std::min(n, (b + 1) * kSumRows);
        if (rows_contiguous) {
            for (Index i = b * kSumRows; i < end; ++i) {
                const T* row = data + i * rs;
                for (Index j = 0; j < d; ++j) {
                    const double x = static_cast<double>(row[j]);
                    sums[j] += f(x, j);
                    if (kLargest) tops[j] = std::max(tops[j], std::abs(x));
                }
            }
        } else {
            for (Index j = 0; j < d; ++j) {
                double s = 0.0;
                for (Index i = b * kSumRows; i < end; ++i) {
                    const double x = static_cast<double>(data[i * rs + j * cs]);
                    s += f(x, j);
                    if (kLargest) tops[j] = std::max(tops[j], std::abs(x));
                }
                sums[j] = s;
            }
        }
    }
}

template <bool kLargest = false, typename F>
Eigen::VectorXd sums_of(const MatrixView& X, F f, Eigen::VectorXd* largest = nullptr) {
    const Index d = X.cols();
    const Index blocks = (X.rows() + kSumRows - 1) / kSumRows;
    Eigen::MatrixXd partial = Eigen::MatrixXd::Zero(d, blocks);
    // Per column, so that the row loop stays one vectorised sweep.
    Eigen::MatrixXd partial_largest = Eigen::MatrixXd::Zero(kLargest ? d : 0, kLargest ? blocks : 0);
    common::InterruptCheck interrupt;
    X.visit([&](const auto* data) { sums_of<kLargest>(data, X, f, partial, partial_largest, interrupt); });
    interrupt.finish();
    Eigen::VectorXd total = Eigen::VectorXd::Zero(d);
    for (Index b = 0; b < blocks; ++b) total += partial.col(b);
    if (kLargest) *largest = partial_largest.rowwise().maxCoeff();
    return total;
}

}  // namespace

AdaptivePCA::AdaptivePCA(double variance_threshold)
    : variance_threshold(variance_threshold), n_components(0) {}

linalg::Operand AdaptivePCA::standardised(const MatrixView& X) const {
    linalg::Operand op = linalg::operand(X);
    op.shift = mean.data();
    // Dividing by 1.0 changes no bit, so unit divisors are skipped.
    op.scale = unit_scale_ ? nullptr : feature_scale.data();
    op.feature_axis = 1;
    return op;
}

Eigen::VectorXd AdaptivePCA::column_sums(const MatrixView& X, const Eigen::VectorXd& units, Index first_row,
                                         Eigen::VectorXd* column_max) {
    require_length(units, X.cols(), "units");
    const auto identity = [](double x, Index) { return x; };
    const auto in_units = [&units](double x, Index j) { return x / units[j]; };
    const bool ones = units.isOnes(0.0);
    Eigen::VectorXd sums;
    if (column_max != nullptr) {
        sums = ones ? sums_of<true>(X, identity, column_max) : sums_of<true>(X, in_units, column_max);
    } else {
        sums = ones ? sums_of(X, identity) : sums_of(X, in_units);
    }
    // A NaN or infinity anywhere makes its column's sum non-finite; only then
    // is X searched for it (a sum can also overflow from finite values).
    if (!sums.allFinite()) linalg::require_finite(X, "X", first_row);
    return sums;
}

// Below the largest magnitude, so that the unit stays finite near the top of the range.
double AdaptivePCA::unit_for(double max_abs) {
    constexpr double kLarge = 0x1p400, kSmall = 0x1p-400;
    if (!(max_abs > kLarge || (max_abs > 0.0 && max_abs < kSmall))) return 1.0;
    int exponent = 0;
    std::frexp(max_abs, &exponent);
    return std::ldexp(1.0, exponent - 1);
}

Eigen::VectorXd AdaptivePCA::units_for(const Eigen::VectorXd& column_max, bool per_feature) {
    const double largest = unit_for(column_max.size() == 0 ? 0.0 : column_max.maxCoeff());
    Eigen::VectorXd units = Eigen::VectorXd::Constant(column_max.size(), largest);
    if (per_feature)
        for (Index j = 0; j < units.size(); ++j)
            if (column_max[j] > 0.0) units[j] = unit_for(column_max[j]);
    return units;
}

Eigen::VectorXd AdaptivePCA::squared_deviations(const MatrixView& X, const Eigen::VectorXd& mu,
                                                const Eigen::VectorXd& units) {
    require_length(mu, X.cols(), "mean");
    require_length(units, X.cols(), "units");
    return sums_of(X, [&mu, &units](double x, Index j) {
        const double c = x / units[j] - mu[j] / units[j];
        return c * c;
    });
}

Eigen::VectorXd AdaptivePCA::deviations(const Eigen::VectorXd& squares, const Eigen::VectorXd& mu, Index n,
                                        const Eigen::VectorXd& units) {
    const Index d = squares.size();
    require_length(mu, d, "mean");
    require_length(units, d, "units");
    // A constant feature keeps the data's unit, that of its largest feature:
    // a query's departure from it then weighs no more than the data's size.
    Eigen::VectorXd scale = Eigen::VectorXd::Constant(d, d == 0 ? 1.0 : units.maxCoeff());
    const double dof = static_cast<double>(n - 1);
    // A constant feature's deviation is the rounding error of its mean, summed
    // in runs of kSumRows rows and then run by run: at most about kSumRows +
    // n / kSumRows units in its last place (1,073 measured at n = 10^7). Twice
    // that is noise; any deviation above it is real spread and is kept.
    const double noise = 2.0 * static_cast<double>(kSumRows + n / kSumRows);
    for (Index j = 0; j < d; ++j) {
        const double s = std::sqrt(squares[j] / dof) * units[j];
        if (s > 0.0 && !(s < noise * last_place(mu[j]))) scale[j] = s;
    }
    return scale;
}

void AdaptivePCA::set_moments(Eigen::VectorXd new_mean, Eigen::VectorXd new_scale) {
    if (new_scale.size() != new_mean.size()) {
        throw std::invalid_argument("feature_scale has " + std::to_string(new_scale.size()) +
                                    " entries, but mean has " + std::to_string(new_mean.size()));
    }
    mean = std::move(new_mean);
    feature_scale = std::move(new_scale);
    unit_scale_ = feature_scale.isOnes(0.0);
    components.resize(mean.size(), 0);
    n_components = 0;
    pack_components();
}

Eigen::MatrixXd AdaptivePCA::cross_product(const MatrixView& X) const {
    const Index d = mean.size();
    check_width(X);
    RowMatrix product(d, d);
    const linalg::Operand Xs = standardised(X);
    linalg::multiply(Xs.transposed(), Xs, product.data(), d, true);
    return product;
}

Eigen::MatrixXd AdaptivePCA::gram_block(const MatrixView& A, const MatrixView& B) const {
    check_width(A);
    check_width(B);
    const bool same = A.doubles() == B.doubles() && A.floats() == B.floats() && A.rows() == B.rows() &&
                      A.row_stride() == B.row_stride() && A.col_stride() == B.col_stride();
    RowMatrix block(A.rows(), B.rows());
    // Each entry is one fused chain over the features, so a block holds the
    // very bits of the same entries of the whole Gram matrix.
    linalg::multiply(standardised(A), standardised(B).transposed(), block.data(), B.rows(), same);
    return block;
}

Eigen::MatrixXd AdaptivePCA::back_project(const MatrixView& X, const MatrixView& V) const {
    check_width(X);
    if (V.rows() != X.rows()) {
        throw std::invalid_argument("V has " + std::to_string(V.rows()) + " rows, but X has " +
                                    std::to_string(X.rows()));
    }
    RowMatrix U(mean.size(), V.cols());
    linalg::multiply(standardised(X).transposed(), linalg::operand(V), U.data(), V.cols());
    return U;
}

void AdaptivePCA::finish_standard(const Eigen::MatrixXd& product, Index n) {
    // One sample leaves Xc all zeros; dividing by 1 keeps its covariance
    // the zero matrix instead of 0/0.
    const double dof = n > 1 ? static_cast<double>(n - 1) : 1.0;
    const Eigen::MatrixXd cov = product / dof;
    // Every eigenvalue decides the count. With many features only the kept
    // vectors are computed (256 features: 16 ms down to 6); with few, all of
    // them cost less than inverse iteration does.
    constexpr Index kLeadingFrom = 128;
    linalg::LeadingEigenpairs leading =
        cov.rows() < kLeadingFrom
            ? linalg::symmetric_eigenpairs(cov)
            : linalg::leading_eigenpairs(cov, [this](const Eigen::VectorXd& v) { return component_count(v); });
    const Eigen::VectorXd& eigenvalues = leading.values;
    const Eigen::MatrixXd& candidates = leading.vectors;
    if (!eigenvalues.allFinite() || !candidates.allFinite()) throw_overflow();
    select_components(eigenvalues, candidates, false);
}

void AdaptivePCA::gram_eigenpairs(const Eigen::MatrixXd& gram, Eigen::VectorXd& values,
                                  Eigen::MatrixXd& vectors) const {
    // All eigenvalues decide the count; only the kept eigenvectors are
    // computed, and only they are mapped back into feature space.
    linalg::LeadingEigenpairs leading =
        linalg::leading_eigenpairs(gram, [this](const Eigen::VectorXd& v) { return component_count(v); });
    values = std::move(leading.values);
    vectors = std::move(leading.vectors);
}

void AdaptivePCA::finish_thin(const Eigen::VectorXd& eigenvalues, Eigen::MatrixXd candidates, Index n) {
    const Index d = candidates.rows(), count = candidates.cols();
    Eigen::VectorXd lengths(count);
    for (Index j = 0; j < count; ++j) lengths[j] = std::sqrt(linalg::squared_norm(candidates.col(j).data(), d));
    // Centring leaves rank <= n - 1, so the last axis may be numerically
    // zero; "zero" is measured against the longest axis, whatever the unit.
    const double shortest = count > 0 ? kEpsilon * lengths.maxCoeff() : 0.0;
    for (Index j = 0; j < count; ++j) {
        const double r = lengths[j];
        if (r > shortest) {
            candidates.col(j) /= r;
        } else {
            candidates.col(j).setZero();
        }
    }
    if (!eigenvalues.allFinite() || !candidates.allFinite()) throw_overflow();
    // The Gram matrix is not divided by n - 1: its eigenvalues are.
    select_components(eigenvalues, candidates, true, n > 1 ? static_cast<double>(n - 1) : 1.0);
}

void AdaptivePCA::fit(const MatrixView& X, bool scale) {
    common::SideTask nothing;
    fit(X, scale, nothing);
}

void AdaptivePCA::fit(const MatrixView& X, bool scale, common::SideTask& alongside) {
    const Index n = X.rows();
    const Index d = X.cols();
    if (n == 0 || d == 0) {
        throw std::invalid_argument("X must have at least one row and one column, got " +
                                    std::to_string(n) + " x " + std::to_string(d));
    }

    AdaptivePCA next(variance_threshold);
    if (d <= n && d <= linalg::kGramWidth && next.fit_shifted(X, scale, alongside)) {
        alongside.finish();
        *this = std::move(next);
        return;
    }
    Eigen::VectorXd largest;
    Eigen::VectorXd sums = column_sums(X, Eigen::VectorXd::Ones(d), 0, &largest);
    // Data far from unit size is worked on in units of a power of two near
    // its largest magnitude, so that squares and their sums neither overflow
    // nor underflow; powers of two scale every value exactly. Scaled
    // features each take their own, for their deviations.
    // A single sample has no sample deviation (0/0); it keeps the unit divisor.
    const bool deviate = scale && n > 1;
    const Eigen::VectorXd units = units_for(largest, deviate);
    if (!units.isOnes(0.0)) sums = column_sums(X, units);
    Eigen::VectorXd mu = (sums / static_cast<double>(n)).cwiseProduct(units);
    Eigen::VectorXd divisors = deviate ? deviations(squared_deviations(X, mu, units), mu, n, units) : units;
    next.set_moments(std::move(mu), std::move(divisors));

    // With more features than samples the n x n Gram matrix has the same
    // non-zero spectrum as the covariance and is far cheaper to decompose.
    if (d <= n) {
        const Eigen::MatrixXd product = next.cross_product(X);
        alongside.beside([&] { next.finish_standard(product, n); });
    } else {
        Eigen::VectorXd eigenvalues;
        Eigen::MatrixXd kept;
        const Eigen::MatrixXd gram = next.gram_block(X, X);
        // Not beside the task: its fewer than d samples leave little to do
        // beside, and a decomposition inside a team runs its products alone.
        next.gram_eigenpairs(gram, eigenvalues, kept);
        next.finish_thin(eigenvalues, next.back_project(X, kept), n);
    }
    alongside.finish();
    *this = std::move(next);
}

// The covariance about a shift near the mean, with the column sums taken
// from the product's own read of X and the mean's share removed after: X is
// read once, not twice. The shift is the mean of up to kSumRows rows spread
// evenly over X, so that sorted or drifting data leave it near the mean too.
// With `scale`, the deviations are the centred product's diagonal and the
// product is divided by them after, not X on the way in.
// Data of extreme magnitude are worked on in units of a power of two near the
// largest of those rows, so that data in any unit take this path or the
// two-pass fit alike, and every bit scales with them.
// Declines, for the two-pass fit, data that hold NaN or infinity, that reach
// far beyond those rows, or whose mean lies so far from the shift that
// removing its share would cost more than a bit of the covariance (with
// `scale`, of any scaled feature's own variance).
bool AdaptivePCA::fit_shifted(const MatrixView& X, bool scale, common::SideTask& alongside) {
    const Index n = X.rows(), d = X.cols();
    const Index m = std::min(n, kSumRows);
    Eigen::VectorXd shift = Eigen::VectorXd::Zero(d);
    double sampled = 0.0;
    for (Index r = 0; r < m; ++r) {
        const Index i = r * n / m;
        for (Index j = 0; j < d; ++j) {
            const double x = X(i, j);
            shift[j] += x;
            sampled = std::max(sampled, std::abs(x));
        }
    }
    shift /= static_cast<double>(m);
    // Sampled rows all zero give no unit to work in: the two-pass fit takes them.
    if (!shift.allFinite() || !(sampled > 0.0)) return false;
    const double unit = unit_for(sampled);
    set_moments(shift, Eigen::VectorXd::Constant(d, unit));
    Eigen::MatrixXd product(d, d);
    const std::vector<double> column_sums = linalg::gram_with_sums(standardised(X), product.data(), d);
    const Eigen::Map<const Eigen::VectorXd> sums(column_sums.data(), d);
    if (!sums.allFinite() || !linalg::all_finite(product.data(), product.size())) return false;
    // Bounds, in the unit, on the largest |x| from the shift and the shifted
    // squares: every |x - shift| is at most sqrt of its column's sum of
    // squares, and their mean square's root at most twice the largest |x|.
    // Within 2^64 of the sampled rows' largest, squares neither overflow nor
    // underflow in the unit; the test takes ratios alone, so it does not
    // depend on the data's unit.
    double upper = 0.0, lower = 0.0;
    for (Index j = 0; j < d; ++j) {
        const double spread = std::sqrt(product(j, j));
        upper = std::max(upper, spread + std::abs(shift[j]) / unit);
        lower = std::max({lower, std::abs(shift[j]) / unit, spread / std::sqrt(static_cast<double>(n)) / 2.0});
    }
    const double largest = sampled / unit;
    if (!(upper <= 0x1p64 * largest && lower >= 0x1p-64 * largest)) return false;

    const double count = static_cast<double>(n);
    const Eigen::VectorXd shifted = product.diagonal();
    for (Index i = 0; i < d; ++i) {
        for (Index j = i; j < d; ++j) {
            const double c = product(i, j) - sums[i] * sums[j] / count;
            product(i, j) = c;
            product(j, i) = c;
        }
    }
    if (shifted.maxCoeff() > 2.0 * product.diagonal().maxCoeff()) return false;
    Eigen::VectorXd mu(d);
    for (Index j = 0; j < d; ++j) mu[j] = shift[j] + sums[j] / count * unit;
    const Eigen::VectorXd units = Eigen::VectorXd::Constant(d, unit);
    Eigen::VectorXd divisors = units;
    if (scale && n > 1) {
        // A feature far smaller than the largest, not zero throughout, would
        // lose its deviation to underflow in the shared unit: the two-pass
        // fit gives it a unit of its own.
        for (Index j = 0; j < d; ++j) {
            const double size = std::max(std::abs(shift[j]) / unit, std::sqrt(shifted[j] / count));
            if (size < 0x1p-400 && (shifted[j] != 0.0 || sums[j] != 0.0)) return false;
        }
        divisors = deviations(product.diagonal(), mu, n, units);
        // Scaling lifts every feature to unit variance, a small one's
        // rounding error with it.
        for (Index j = 0; j < d; ++j)
            if (divisors[j] != unit && shifted[j] > 2.0 * product(j, j)) return false;
        // The product is in the unit: so are the divisors it is divided by.
        for (Index i = 0; i < d; ++i) {
            for (Index j = i; j < d; ++j) {
                const double c = product(i, j) / (divisors[i] / unit) / (divisors[j] / unit);
                product(i, j) = c;
                product(j, i) = c;
            }
        }
        if (!linalg::all_finite(product.data(), product.size())) return false;
    }
    set_moments(std::move(mu), std::move(divisors));
    alongside.beside([&] { finish_standard(product, n); });
    return true;
}

void AdaptivePCA::check_width(const MatrixView& X) const {
    if (X.cols() != mean.size()) {
        throw std::invalid_argument("X has " + std::to_string(X.cols()) +
                                    " features, but the reduction was fitted with " +
                                    std::to_string(mean.size()));
    }
}

void AdaptivePCA::restore(Eigen::VectorXd new_mean, Eigen::VectorXd new_scale, Eigen::MatrixXd new_components,
                          Eigen::VectorXd new_explained, double new_total) {
    const Index d = new_mean.size();
    const bool empty = d == 0 && new_scale.size() == 0 && new_components.size() == 0;
    const bool consistent = d > 0 && new_scale.size() == d && new_components.rows() == d &&
                            new_components.cols() >= 1 && new_components.cols() <= INT_MAX;
    if (!empty && !consistent) {
        throw std::invalid_argument("inconsistent reduction: " + std::to_string(d) + " means, " +
                                    std::to_string(new_scale.size()) + " scales, components of " +
                                    std::to_string(new_components.rows()) + " x " +
                                    std::to_string(new_components.cols()));
    }
    if (new_explained.size() == 0) {
        new_explained = Eigen::VectorXd::Constant(new_components.cols(), std::numeric_limits<double>::quiet_NaN());
    } else if (new_explained.size() != new_components.cols()) {
        throw std::invalid_argument("inconsistent reduction: " + std::to_string(new_explained.size()) +
                                    " explained variances for " + std::to_string(new_components.cols()) +
                                    " components");
    }
    unit_scale_ = new_scale.isOnes(0.0);
    n_components = static_cast<int>(new_components.cols());
    explained_variance = std::move(new_explained);
    total_variance = new_total;
    mean = std::move(new_mean);
    feature_scale = std::move(new_scale);
    components = std::move(new_components);
    pack_components();
}

Index AdaptivePCA::component_count(const Eigen::VectorXd& eigenvalues) const {
    const Index m = eigenvalues.size();
    if (variance_threshold >= 1.0) {
        // Thresholds beyond the 32-bit range (or +inf) cannot be truncated to
        // an int; they ask for more than any fit has, so all are kept.
        constexpr double kIntLimit = 2147483648.0;
        if (variance_threshold >= kIntLimit) return m;
        return std::min<Index>(m, static_cast<int>(variance_threshold));
    }
    Index count = 0;
    // Summed in index order: a vectorised sum would round differently per CPU.
    double total = 0.0;
    for (Index i = 0; i < m; ++i) total += eigenvalues[i];
    double running = 0.0;
    // A NaN share (zero total) or a NaN threshold never stops the loop.
    for (Index i = 0; i < m; ++i) {
        count = i + 1;
        running += eigenvalues[i];
        if (running / total >= variance_threshold) break;
    }
    return count;
}

void AdaptivePCA::select_components(const Eigen::VectorXd& eigenvalues,
                                    const Eigen::MatrixXd& candidates, bool thin, double dof) {
    const Index count = component_count(eigenvalues);
    components = candidates.leftCols(count);
    // Summed in index order, as the count's shares are.
    double total = 0.0;
    for (Index i = 0; i < eigenvalues.size(); ++i) total += eigenvalues[i];
    explained_variance = eigenvalues.head(count) / dof;
    total_variance = total / dof;
    pack_components();
    n_components = static_cast<int>(count);
    console::write_line(std::string("[PCA] Fit complete. Mode: ") + (thin ? "Thin" : "Standard") +
                        " | Components: " + std::to_string(n_components));
}

Eigen::MatrixXd AdaptivePCA::transform(const MatrixView& X) const {
    if (!fitted()) return Eigen::MatrixXd(X.rows(), components.cols());
    RowMatrix Z(X.rows(), components.cols());
    project(X, 0, X.rows(), Z.data(), Z.cols());
    return Z;
}

void AdaptivePCA::project(const MatrixView& X, Index first, Index count, double* out, Index ld) const {
    check_width(X);
    // Subtract, divide, multiply: the order in which training samples and
    // queries alike are reduced, applied per row inside the product. The
    // components are packed once per fit, not once per block of rows.
    const linalg::Operand rows = standardised(X).row_range(first, count);
    if (linalg::projectable(rows)) {
        linalg::project(rows, projection_panels_, out, ld);
    } else {
        linalg::multiply(rows, packed_components_, out, ld);
    }
}

void AdaptivePCA::project_finite(const MatrixView& X, Index first, Index count, double* out, const char* what,
                                 Index row_offset) const {
    const Index c = n_components;
    project(X, first, count, out, c);
    // A NaN or infinity in a row leaves its projection non-finite, so only then
    // are the rows searched: finite queries cost no pass of their own.
    if (linalg::all_finite(out, count * c)) return;
    // The first bad row is named, whatever makes it bad: so is it in any split.
    // Finite values whose projection overflows are refused, as in training:
    // measured, they would come out NaN and pass for an exact match.
    for (Index r = 0; r < count; ++r) {
        if (linalg::all_finite(out + r * c, c)) continue;
        linalg::require_finite(X.middleRows(first + r, 1), what, row_offset + first + r);
        throw std::invalid_argument(std::string(what) + " row " + std::to_string(row_offset + first + r) +
                                    " spans too wide a range of values: its projection overflows double precision");
    }
}

void AdaptivePCA::pack_components() {
    packed_components_ = linalg::pack(linalg::operand(components));
    projection_panels_ = linalg::pack_projection(linalg::operand(components));
}

}  // namespace quorvane
