#include "SymmetricEigen.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace quorvane::linalg {

namespace {

using Index = Eigen::Index;

// LU factors, with partial pivoting, of T - shift I for the symmetric
// tridiagonal T (diagonal `a`, off-diagonal `b`). Row i of U holds u0[i] on
// the diagonal and u1[i], u2[i] right of it; l[i] eliminated row i + 1 after
// rows i and i + 1 were swapped when swapped[i].
struct TridiagonalLU {
    std::vector<double> u0, u1, u2, l;
    std::vector<char> swapped;

    TridiagonalLU(const Eigen::VectorXd& a, const Eigen::VectorXd& b, double shift, double tiny) {
        const Index n = a.size();
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

    void solve(Eigen::VectorXd& x) const {
        const Index n = x.size();
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

// Inverse iteration on the tridiagonal form of `tri` for the first `count`
// of the descending eigenvalues; empty when the vectors fail their checks.
std::optional<Eigen::MatrixXd> inverse_iteration(const Eigen::Tridiagonalization<Eigen::MatrixXd>& tri,
                                                 const Eigen::MatrixXd& S,
                                                 const Eigen::VectorXd& descending_values, Index count) {
    const Index n = S.rows();
    if (count == 0) return Eigen::MatrixXd(n, 0);
    const Eigen::VectorXd a = tri.diagonal();
    const Eigen::VectorXd b = tri.subDiagonal();
    const double norm = std::max(a.cwiseAbs().maxCoeff() + 2.0 * (n > 1 ? b.cwiseAbs().maxCoeff() : 0.0),
                                 std::numeric_limits<double>::min());
    const double eps = std::numeric_limits<double>::epsilon();
    // Eigenvalues this close belong to one cluster, whose vectors are kept orthogonal.
    const double cluster = 1e-3 * norm;

    Eigen::MatrixXd Z(n, count);
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;  // a fixed start: results never vary between runs
    for (Index j = 0; j < count; ++j) {
        const double lambda = descending_values[j];
        const TridiagonalLU lu(a, b, lambda, eps * norm);
        Eigen::VectorXd x(n);
        for (Index i = 0; i < n; ++i) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            x[i] = static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
        }
        Index first = j;
        while (first > 0 && std::abs(descending_values[first - 1] - lambda) <= cluster) --first;
        for (int iteration = 0; iteration < 4; ++iteration) {
            lu.solve(x);
            for (Index i = first; i < j; ++i) x -= Z.col(i).dot(x) * Z.col(i);
            const double length = x.norm();
            if (!(length > 0.0) || !std::isfinite(length)) return std::nullopt;
            x /= length;
        }
        Z.col(j) = x;
    }

    Eigen::MatrixXd V = tri.matrixQ() * Z;
    // Accept only orthonormal vectors that are eigenvectors to working accuracy.
    if (!((V.transpose() * V - Eigen::MatrixXd::Identity(count, count)).cwiseAbs().maxCoeff() <= 1e-10)) {
        return std::nullopt;
    }
    const double tolerance = 1e3 * eps * static_cast<double>(n) * norm;
    for (Index j = 0; j < count; ++j) {
        const double residual = (S * V.col(j) - descending_values[j] * V.col(j)).norm();
        if (!(residual <= tolerance)) return std::nullopt;
    }
    return V;
}

}  // namespace

LeadingEigenpairs leading_eigenpairs(const Eigen::MatrixXd& S,
                                     const std::function<Index(const Eigen::VectorXd&)>& count_of) {
    LeadingEigenpairs result;
    // Scaled to unit largest entry, as Eigen's own solver does, so that
    // squares in the reduction neither overflow nor underflow.
    const double scale = S.size() == 0 ? 1.0 : S.cwiseAbs().maxCoeff();
    const Eigen::MatrixXd scaled = scale > 0.0 && std::isfinite(scale) ? Eigen::MatrixXd(S / scale) : S;
    const double back = scale > 0.0 && std::isfinite(scale) ? scale : 1.0;
    const Eigen::Tridiagonalization<Eigen::MatrixXd> tri(scaled);
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> values_only;
    values_only.computeFromTridiagonal(tri.diagonal(), tri.subDiagonal(), Eigen::EigenvaluesOnly);
    const Eigen::VectorXd scaled_values = values_only.eigenvalues().reverse();
    result.values = scaled_values * back;
    const Index count = count_of(result.values);
    if (std::optional<Eigen::MatrixXd> vectors = inverse_iteration(tri, scaled, scaled_values, count)) {
        result.vectors = std::move(*vectors);
    } else {
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> full(S, Eigen::ComputeEigenvectors);
        result.vectors = full.eigenvectors().rowwise().reverse().leftCols(count);
    }
    return result;
}

}  // namespace quorvane::linalg
