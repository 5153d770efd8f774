// The eigen-decomposition of the fit, in plain loops whose summation order is
// fixed: vectorised library code and cache-dependent blocking would change
// the last bits from one CPU to another. Elementwise loops may still be
// vectorised by the compiler, which changes no bit (contraction is off).
// Every outer step polls for Ctrl-C: a Gram matrix of a few thousand samples
// takes seconds to reduce.
#include "SymmetricEigen.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <vector>

#include "Gemm.h"
#include "MatrixView.h"
#include "common/Parallel.h"

namespace quorvane::linalg {

namespace {

using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

constexpr double kEps = std::numeric_limits<double>::epsilon();

// sqrt(x^2 + y^2) without overflow or underflow in the squares; written out
// because C libraries' hypot differ in their last bit.
double length(double x, double y) {
    const double ax = std::abs(x), ay = std::abs(y);
    const double big = std::max(ax, ay), small = std::min(ax, ay);
    if (!(big > 0.0) || std::isinf(big)) return ax + ay;
    const double ratio = small / big;
    return big * std::sqrt(1.0 + ratio * ratio);
}

// T = Q^T A Q for symmetric A, with Q = H_0 H_1 ... H_{n-3} and
// H_k = I - tau_k v_k v_k^T; v_k is zero above row k + 1, 1 in that row.
struct Tridiagonal {
    Index n = 0;
    std::vector<double> diagonal;  ///< n entries
    std::vector<double> off;       ///< n - 1 entries; off[i] couples i and i + 1
    std::vector<double> vectors;   ///< column k holds v_k (column-major n x n)
    std::vector<double> tau;       ///< tau_k; 0 where no reflection was needed
};

Tridiagonal reduce(const Eigen::MatrixXd& S) {
    Tridiagonal t;
    const Index n = S.rows();
    t.n = n;
    t.diagonal.assign(n, 0.0);
    t.off.assign(n > 0 ? n - 1 : 0, 0.0);
    t.vectors.assign(n * n, 0.0);
    t.tau.assign(n, 0.0);
    if (n == 0) return t;
    std::vector<double> A(S.data(), S.data() + n * n);  // column-major; the lower triangle is used
    std::vector<double> p(n), w(n);
    common::InterruptCheck interrupt;
    for (Index k = 0; k + 2 < n; ++k) {
        interrupt.poll();
        const Index m = n - k - 1;  // the trailing block: rows and columns k + 1 ...
        const double* x = A.data() + k * n + k + 1;
        double* v = t.vectors.data() + k * n + k + 1;
        double sigma = 0.0;
        for (Index i = 1; i < m; ++i) sigma += x[i] * x[i];
        const double alpha = x[0];
        double beta = alpha;
        v[0] = 1.0;
        if (sigma > 0.0) {
            // beta opposite in sign to alpha, so alpha - beta never cancels.
            const double mu = std::sqrt(alpha * alpha + sigma);
            beta = alpha <= 0.0 ? mu : -mu;
            const double tau = (beta - alpha) / beta;
            for (Index i = 1; i < m; ++i) v[i] = x[i] / (alpha - beta);
            t.tau[k] = tau;
            // The block becomes H B H = B - v w^T - w v^T with p = tau B v and
            // w = p - (tau / 2)(p.v) v. Only its lower triangle is kept: column
            // j adds B(i, j) v_j to the p[i] below it and gathers the p[j] terms
            // of the rows below in four interleaved sums, added in a fixed order.
            std::fill(p.begin(), p.begin() + m, 0.0);
            for (Index j = 0; j < m; ++j) {
                const double* column = A.data() + (k + 1 + j) * n + k + 1;
                const double vj = v[j];
                double s[4] = {0.0, 0.0, 0.0, 0.0};
                Index i = j + 1;
                for (; i + 4 <= m; i += 4) {
                    for (int l = 0; l < 4; ++l) {
                        p[i + l] += column[i + l] * vj;
                        s[l] += column[i + l] * v[i + l];
                    }
                }
                for (int l = 0; i < m; ++i, ++l) {
                    p[i] += column[i] * vj;
                    s[l] += column[i] * v[i];
                }
                p[j] += column[j] * vj;
                p[j] += (s[0] + s[1]) + (s[2] + s[3]);
            }
            double pv = 0.0;
            for (Index i = 0; i < m; ++i) {
                p[i] *= tau;
                pv += p[i] * v[i];
            }
            const double half = 0.5 * tau * pv;
            for (Index i = 0; i < m; ++i) w[i] = p[i] - half * v[i];
            for (Index j = 0; j < m; ++j) {
                double* column = A.data() + (k + 1 + j) * n + k + 1;
                for (Index i = j; i < m; ++i) column[i] -= v[i] * w[j] + w[i] * v[j];
            }
        }
        t.diagonal[k] = A[k * n + k];
        t.off[k] = beta;
    }
    if (n >= 2) {
        t.diagonal[n - 2] = A[(n - 2) * n + n - 2];
        t.off[n - 2] = A[(n - 2) * n + n - 1];
    }
    t.diagonal[n - 1] = A[(n - 1) * n + n - 1];
    return t;
}

// M = Q M for the row-major M (n rows of `cols`): the reflectors from the
// last to the first. With `identity`, M starts as I, and the columns left of
// k + 1 are still untouched when H_k comes, so they are skipped.
void apply_q(const Tridiagonal& t, double* M, Index cols, bool identity) {
    const Index n = t.n;
    std::vector<double> w(static_cast<std::size_t>(cols));
    common::InterruptCheck interrupt;
    for (Index k = n - 3; k >= 0; --k) {
        interrupt.poll();
        if (t.tau[k] == 0.0) continue;
        const double* v = t.vectors.data() + k * n + k + 1;
        const Index c0 = identity ? k + 1 : 0;
        std::fill(w.begin(), w.end(), 0.0);
        for (Index i = 0; i < n - k - 1; ++i) {
            const double* row = M + (k + 1 + i) * cols;
            for (Index c = c0; c < cols; ++c) w[c] += v[i] * row[c];
        }
        for (Index i = 0; i < n - k - 1; ++i) {
            double* row = M + (k + 1 + i) * cols;
            const double f = t.tau[k] * v[i];
            for (Index c = c0; c < cols; ++c) row[c] -= f * w[c];
        }
    }
}

// One implicit QR step with a Wilkinson shift on the unreduced block
// [start, end] of the tridiagonal (a, b): rotations J chase the bulge down,
// T <- J T J^T, and Z <- Z J^T keeps T0 = Z T Z^T when Z is given.
void qr_step(double* a, double* b, Index start, Index end, double* Z, Index n) {
    // The eigenvalue of the trailing 2 x 2 block nearer its last diagonal entry.
    const double d = 0.5 * (a[end - 1] - a[end]);
    const double e = b[end - 1];
    const double h = length(d, e);
    const double mu = a[end] - e * (e / (d + (d >= 0.0 ? h : -h)));
    double x = a[start] - mu, z = b[start];
    for (Index k = start; k < end; ++k) {
        const double r = length(x, z);
        const double c = r > 0.0 ? x / r : 1.0, s = r > 0.0 ? z / r : 0.0;
        if (k > start) b[k - 1] = r;
        const double p = a[k], q = b[k], rr = a[k + 1];
        const double u = c * p + s * q, v = c * q + s * rr;
        const double w = c * q - s * p, y = c * rr - s * q;
        a[k] = c * u + s * v;
        b[k] = c * v - s * u;
        a[k + 1] = c * y - s * w;
        x = b[k];
        if (k + 1 < end) {
            z = s * b[k + 1];
            b[k + 1] = c * b[k + 1];
        }
        if (Z != nullptr) {
            double* zk = Z + k * n;
            double* zl = zk + n;
            for (Index i = 0; i < n; ++i) {
                const double z0 = zk[i], z1 = zl[i];
                zk[i] = c * z0 + s * z1;
                zl[i] = c * z1 - s * z0;
            }
        }
    }
}

// Diagonalises the tridiagonal (a, b) in place: a ends as the eigenvalues,
// unordered, and the column-major Z (when given, starting as I) as their
// eigenvectors. A matrix holding NaN or infinity is left as it is.
void diagonalise(std::vector<double>& a, std::vector<double>& b, double* Z) {
    const Index n = static_cast<Index>(a.size());
    for (Index i = 0; i < n; ++i) {
        if (!std::isfinite(a[i]) || (i + 1 < n && !std::isfinite(b[i]))) return;
    }
    Index end = n - 1;
    common::InterruptCheck interrupt;
    for (Index steps = 0; end > 0 && steps < 30 * n; ++steps) {
        interrupt.poll();
        // Couplings below the rounding of their neighbours are zero.
        for (Index i = 0; i < end; ++i) {
            if (std::abs(b[i]) <= kEps * (std::abs(a[i]) + std::abs(a[i + 1])) ||
                std::abs(b[i]) < std::numeric_limits<double>::min()) {
                b[i] = 0.0;
            }
        }
        while (end > 0 && b[end - 1] == 0.0) --end;
        if (end == 0) break;
        Index start = end - 1;
        while (start > 0 && b[start - 1] != 0.0) --start;
        qr_step(a.data(), b.data(), start, end, Z, n);
    }
}

// Positions of `values` in descending order, NaN last; equal values keep their order.
std::vector<Index> descending(const std::vector<double>& values) {
    std::vector<Index> order(values.size());
    std::iota(order.begin(), order.end(), Index{0});
    std::stable_sort(order.begin(), order.end(), [&](Index i, Index j) {
        return !std::isnan(values[i]) && (std::isnan(values[j]) || values[i] > values[j]);
    });
    return order;
}

// S scaled to unit largest entry, as squares in the reduction then neither
// overflow nor underflow; `back` undoes it on the eigenvalues.
struct Scaled {
    Eigen::MatrixXd matrix;
    double back = 1.0;
};

Scaled scaled(const Eigen::MatrixXd& S) {
    const double scale = S.size() == 0 ? 1.0 : S.cwiseAbs().maxCoeff();
    if (scale > 0.0 && std::isfinite(scale)) return {S / scale, scale};
    return {S, 1.0};
}

double dot(const double* x, const double* y, Index n) {
    double sum = 0.0;
    for (Index i = 0; i < n; ++i) sum += x[i] * y[i];
    return sum;
}

// LU factors, with partial pivoting, of T - shift I for the symmetric
// tridiagonal T (diagonal `a`, off-diagonal `b`). Row i of U holds u0[i] on
// the diagonal and u1[i], u2[i] right of it; l[i] eliminated row i + 1 after
// rows i and i + 1 were swapped when swapped[i].
struct TridiagonalLU {
    std::vector<double> u0, u1, u2, l;
    std::vector<char> swapped;

    TridiagonalLU(const std::vector<double>& a, const std::vector<double>& b, double shift, double tiny) {
        const Index n = static_cast<Index>(a.size());
        u0.assign(n, 0.0);
        u1.assign(n, 0.0);
        u2.assign(n, 0.0);
        l.assign(n, 0.0);
        swapped.assign(n, 0);
        double diag = a[0] - shift, super = n > 1 ? b[0] : 0.0, beyond = 0.0;
        for (Index i = 0; i + 1 < n; ++i) {
            const double below = b[i];
            const double next_diag = a[i + 1] - shift, next_super = i + 2 < n ? b[i + 1] : 0.0;
            if (std::abs(diag) >= std::abs(below)) {
                if (diag == 0.0) diag = tiny;  // singular: a tiny pivot is what inverse iteration wants
                l[i] = below / diag;
                u0[i] = diag;
                u1[i] = super;
                u2[i] = beyond;
                diag = next_diag - l[i] * super;
                super = next_super;
                beyond = 0.0;
            } else {
                swapped[i] = 1;
                l[i] = diag / below;
                u0[i] = below;
                u1[i] = next_diag;
                u2[i] = next_super;
                diag = super - l[i] * next_diag;
                super = beyond - l[i] * next_super;
                beyond = 0.0;
            }
        }
        u0[n - 1] = diag == 0.0 ? tiny : diag;
    }

    void solve(double* x) const {
        const Index n = static_cast<Index>(u0.size());
        for (Index i = 0; i + 1 < n; ++i) {
            if (swapped[i]) std::swap(x[i], x[i + 1]);
            x[i + 1] -= l[i] * x[i];
        }
        for (Index i = n - 1; i >= 0; --i) {
            double v = x[i];
            if (i + 1 < n) v -= u1[i] * x[i + 1];
            if (i + 2 < n) v -= u2[i] * x[i + 2];
            x[i] = v / u0[i];
        }
    }
};

// Inverse iteration on the tridiagonal form of S for the first `count` of
// the descending eigenvalues; empty when the vectors fail their checks.
std::optional<Eigen::MatrixXd> inverse_iteration(const Tridiagonal& t, const Eigen::MatrixXd& S,
                                                 const Eigen::VectorXd& values, Index count, double norm) {
    const Index n = t.n;
    if (count == 0) return Eigen::MatrixXd(n, 0);
    // Eigenvalues this close belong to one cluster, whose vectors are kept orthogonal.
    const double cluster = 1e-3 * norm;
    RowMatrix Z(n, count);
    std::vector<double> x(n), column(n);
    std::vector<std::vector<double>> found;
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;  // a fixed start: results never vary between runs
    common::InterruptCheck interrupt;
    for (Index j = 0; j < count; ++j) {
        interrupt.poll();
        const double lambda = values[j];
        const TridiagonalLU lu(t.diagonal, t.off, lambda, kEps * norm);
        for (Index i = 0; i < n; ++i) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            x[i] = static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
        }
        Index first = j;
        while (first > 0 && std::abs(values[first - 1] - lambda) <= cluster) --first;
        for (int iteration = 0; iteration < 4; ++iteration) {
            lu.solve(x.data());
            for (Index i = first; i < j; ++i) {
                const double f = dot(found[i].data(), x.data(), n);
                for (Index r = 0; r < n; ++r) x[r] -= f * found[i][r];
            }
            const double size = std::sqrt(dot(x.data(), x.data(), n));
            if (!(size > 0.0) || !std::isfinite(size)) return std::nullopt;
            for (double& value : x) value /= size;
        }
        found.push_back(x);
        for (Index i = 0; i < n; ++i) Z(i, j) = x[i];
    }

    apply_q(t, Z.data(), count, false);
    const Eigen::MatrixXd V = Z;
    // Accept only orthonormal vectors that are eigenvectors to working accuracy.
    for (Index i = 0; i < count; ++i) {
        interrupt.poll();
        for (Index j = 0; j <= i; ++j) {
            const double expected = i == j ? 1.0 : 0.0;
            if (!(std::abs(dot(V.col(i).data(), V.col(j).data(), n) - expected) <= 1e-10)) return std::nullopt;
        }
    }
    const double tolerance = 1e3 * kEps * static_cast<double>(n) * norm;
    for (Index j = 0; j < count; ++j) {
        interrupt.poll();
        for (Index i = 0; i < n; ++i) column[i] = -values[j] * V(i, j);
        for (Index k = 0; k < n; ++k) {
            const double* s = S.col(k).data();
            for (Index i = 0; i < n; ++i) column[i] += s[i] * V(k, j);
        }
        if (!(std::sqrt(dot(column.data(), column.data(), n)) <= tolerance)) return std::nullopt;
    }
    return V;
}

}  // namespace

LeadingEigenpairs symmetric_eigenpairs(const Eigen::MatrixXd& S) {
    const Index n = S.rows();
    const Scaled s = scaled(S);
    const Tridiagonal t = reduce(s.matrix);
    std::vector<double> a = t.diagonal, b = t.off;
    Eigen::MatrixXd Z = Eigen::MatrixXd::Identity(n, n);
    diagonalise(a, b, Z.data());
    const std::vector<Index> order = descending(a);
    LeadingEigenpairs result;
    result.values.resize(n);
    Eigen::MatrixXd sorted(n, n);
    for (Index j = 0; j < n; ++j) {
        result.values[j] = a[order[j]] * s.back;
        sorted.col(j) = Z.col(order[j]);
    }
    // Eigenvectors of S are Q times those of T.
    RowMatrix Q = RowMatrix::Identity(n, n);
    apply_q(t, Q.data(), n, true);
    RowMatrix V(n, n);
    multiply(Operand{Q.data(), n, n, n, 1}, operand(sorted), V.data(), n);
    result.vectors = V;
    return result;
}

LeadingEigenpairs leading_eigenpairs(const Eigen::MatrixXd& S,
                                     const std::function<Index(const Eigen::VectorXd&)>& count_of) {
    const Index n = S.rows();
    const Scaled s = scaled(S);
    const Tridiagonal t = reduce(s.matrix);
    std::vector<double> a = t.diagonal, b = t.off;
    diagonalise(a, b, nullptr);
    const std::vector<Index> order = descending(a);
    Eigen::VectorXd scaled_values(n);
    for (Index j = 0; j < n; ++j) scaled_values[j] = a[order[j]];
    LeadingEigenpairs result;
    result.values = scaled_values * s.back;
    const Index count = count_of(result.values);

    double largest_diagonal = 0.0, largest_off = 0.0;
    for (double v : t.diagonal) largest_diagonal = std::max(largest_diagonal, std::abs(v));
    for (double v : t.off) largest_off = std::max(largest_off, std::abs(v));
    const double norm = std::max(largest_diagonal + 2.0 * largest_off, std::numeric_limits<double>::min());
    // Eigenvalues closer than their own rounding are one eigenvalue: keeping
    // part of such a cluster keeps whichever subspace the method happens to find.
    const bool cuts_cluster = count > 0 && count < n &&
                              std::abs(scaled_values[count - 1] - scaled_values[count]) <=
                                  1e3 * kEps * static_cast<double>(n) * norm;
    std::optional<Eigen::MatrixXd> vectors;
    if (!cuts_cluster) vectors = inverse_iteration(t, s.matrix, scaled_values, count, norm);
    result.vectors = vectors ? std::move(*vectors) : Eigen::MatrixXd(symmetric_eigenpairs(S).vectors.leftCols(count));
    return result;
}

}  // namespace quorvane::linalg
