#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include <omp.h>

#include <Eigen/Dense>

#include "linalg/Gemm.h"
#include "linalg/SymmetricEigen.h"

using namespace quorvane::linalg;

namespace {

std::vector<double> random_values(Index count, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 3.0);
    std::vector<double> v(static_cast<std::size_t>(count));
    for (double& x : v) x = normal(rng);
    return v;
}

Operand row_major(const std::vector<double>& data, Index rows, Index cols) {
    return Operand{data.data(), rows, cols, cols, 1};
}

// The product every element must equal: one chain over k, in k order.
std::vector<double> chain_product(const Operand& A, const Operand& B) {
    std::vector<double> C(static_cast<std::size_t>(A.rows * B.cols));
    for (Index i = 0; i < A.rows; ++i) {
        for (Index j = 0; j < B.cols; ++j) {
            double acc = 0.0;
            for (Index k = 0; k < A.cols; ++k) acc = std::fma(A(i, k), B(k, j), acc);
            C[static_cast<std::size_t>(i * B.cols + j)] = acc;
        }
    }
    return C;
}

std::vector<double> product(const Operand& A, const Operand& B, bool symmetric = false,
                            const Blocking& blocking = Blocking{}) {
    std::vector<double> C(static_cast<std::size_t>(A.rows * B.cols), -1.0);
    multiply(A, B, C.data(), B.cols, symmetric, blocking);
    return C;
}

bool bit_equal(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The default blocking, and shrunken ones whose tiles end inside the data.
const Blocking kBlockings[] = {Blocking{}, Blocking{4, 8, 3}, Blocking{5, 11, 7}};

}  // namespace

TEST(Multiply, EveryBlockingGivesTheSameChain) {
    for (auto [m, k, n] : {std::tuple<Index, Index, Index>{1, 1, 1}, {3, 5, 7}, {13, 29, 17}, {50, 300, 9}, {5, 4100, 3}}) {
        const auto a = random_values(m * k, 1), b = random_values(k * n, 2);
        const Operand A = row_major(a, m, k), B = row_major(b, k, n);
        const auto expected = chain_product(A, B);
        for (const Blocking& blocking : kBlockings) {
            EXPECT_TRUE(bit_equal(product(A, B, false, blocking), expected)) << m << "x" << k << "x" << n;
            // Symmetric mode computes one triangle and mirrors it.
            EXPECT_TRUE(bit_equal(product(A.transposed(), A, true, blocking), chain_product(A.transposed(), A)));
            EXPECT_TRUE(bit_equal(product(A, A.transposed(), true, blocking), chain_product(A, A.transposed())));
            // Pre-packed B (the kept components of a reduction) runs the same chain.
            std::vector<double> C(static_cast<std::size_t>(m * n));
            multiply(A, pack(B, blocking), C.data(), n, blocking);
            EXPECT_TRUE(bit_equal(C, expected)) << "packed " << m << "x" << k << "x" << n;
        }
        // Rows read in place by the projection kernel: the same chain again.
        std::vector<double> P(static_cast<std::size_t>(m * n));
        project(A, pack_projection(B), P.data(), n);
        EXPECT_TRUE(bit_equal(P, expected)) << "projected " << m << "x" << k << "x" << n;
    }
    const auto x = random_values(29, 9);
    const Operand row = row_major(x, 1, 29);
    EXPECT_EQ(squared_norm(x.data(), 29), product(row, row.transposed())[0]);
}

TEST(Multiply, StandardisesOnTheFly) {
    const Index n = 23, d = 11;
    const auto x = random_values(n * d, 3), shift = random_values(d, 4);
    std::vector<double> scale = random_values(d, 5);
    for (double& s : scale) s = std::abs(s) + 0.5;
    Operand X = row_major(x, n, d);
    X.shift = shift.data();
    X.scale = scale.data();
    std::vector<double> standardised(static_cast<std::size_t>(n * d));
    for (Index i = 0; i < n; ++i)
        for (Index j = 0; j < d; ++j) standardised[i * d + j] = (x[i * d + j] - shift[j]) / scale[j];
    const Operand S = row_major(standardised, n, d);
    // Features along columns (X) and along rows (X transposed), both sides.
    for (const Blocking& blocking : kBlockings) {
        EXPECT_TRUE(bit_equal(product(X.transposed(), X, false, blocking), chain_product(S.transposed(), S)));
        EXPECT_TRUE(bit_equal(product(X, X.transposed(), true, blocking), chain_product(S, S.transposed())));
    }
    const auto c = random_values(d * 13, 6);
    const Operand components = row_major(c, d, 13);
    std::vector<double> P(static_cast<std::size_t>(n * 13));
    project(X, pack_projection(components), P.data(), 13);
    EXPECT_TRUE(bit_equal(P, chain_product(S, components)));
}

TEST(Multiply, RowSplitsAndThreadCountsChangeNoBit) {
    const Index m = 301, k = 257, n = 19;  // large enough to run on a team
    const auto a = random_values(m * k, 7), b = random_values(k * n, 8);
    const Operand A = row_major(a, m, k), B = row_major(b, k, n);
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    const auto single = product(A, B);
    omp_set_num_threads(3);
    const auto team = product(A, B);
#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer cannot see GNU OpenMP's barriers
    // Bᵀ B with enough rows for a team: each thread walks the depth on its own tiles.
    // Centred on the fly, and with its column sums taken on the way.
    const auto tall = random_values(1900 * 231, 10), centre = random_values(231, 11);
    Operand T = row_major(tall, 1900, 231);
    T.shift = centre.data();
    const auto gram_team = product(T.transposed(), T, true);
    std::vector<double> with_sums(gram_team.size());
    const std::vector<double> sums_team = gram_with_sums(T, with_sums.data(), 231);
    EXPECT_TRUE(bit_equal(with_sums, gram_team));
    omp_set_num_threads(1);
    EXPECT_TRUE(bit_equal(product(T.transposed(), T, true), gram_team));
    EXPECT_TRUE(bit_equal(gram_team, chain_product(T.transposed(), T)));
    EXPECT_TRUE(bit_equal(gram_with_sums(T, with_sums.data(), 231), sums_team));
    for (Index j = 0; j < 231; ++j) {
        double sum = 0.0;
        for (Index i = 0; i < 1900; ++i) sum += T(i, j);
        EXPECT_NEAR(sums_team[static_cast<std::size_t>(j)], sum, 1e-9) << "column " << j;
    }
#endif
    omp_set_num_threads(threads);
    EXPECT_TRUE(bit_equal(single, team));

    std::vector<double> pieces(static_cast<std::size_t>(m * n));
    for (Index first = 0; first < m; first += 41) {
        multiply(A.row_range(first, std::min<Index>(41, m - first)), B, pieces.data() + first * n, n);
    }
    EXPECT_TRUE(bit_equal(pieces, single));
    const ProjectionPanels panels = pack_projection(B);
    for (Index first = 0; first < m; first += 41) {
        project(A.row_range(first, std::min<Index>(41, m - first)), panels, pieces.data() + first * n, n);
    }
    EXPECT_TRUE(bit_equal(pieces, single));
}

// Floats are widened as they are packed or copied, at every kernel level: each
// product of float data holds the bits of the same product of their doubles.
TEST(Multiply, FloatsGiveTheBitsOfTheirDoubles) {
    // Shapes for the covariance path, the general product, long rows projected a
    // depth step at a time, and fewer rows than a projection tile.
    for (auto [n, d] : {std::pair<Index, Index>{37, 11}, {700, 530}, {9, 600}, {3, 20}}) {
        const auto values = random_values(n * d, 12), shift = random_values(d, 13), c = random_values(d * 5, 14);
        std::vector<float> floats(values.begin(), values.end());
        std::vector<double> doubles(floats.begin(), floats.end()), scale(shift);
        for (double& s : scale) s = std::abs(s) + 0.5;
        const ProjectionPanels panels = pack_projection(row_major(c, d, 5));
        for (const bool rows_contiguous : {true, false}) {
            // The same view of both copies: rows contiguous, or columns (Fortran order).
            Operand D = rows_contiguous ? row_major(doubles, n, d) : row_major(doubles, d, n).transposed();
            D.feature_axis = 1;
            D.shift = shift.data();
            D.scale = scale.data();
            Operand F = D;
            F.data = nullptr;
            F.floats = floats.data();
            const std::string where = std::to_string(n) + "x" + std::to_string(d) + (rows_contiguous ? " C" : " F");
            EXPECT_TRUE(bit_equal(product(F.transposed(), F, true), product(D.transposed(), D, true))) << where;
            const auto projected = product(D, row_major(c, d, 5));
            EXPECT_TRUE(bit_equal(product(F, row_major(c, d, 5)), projected)) << where;
            // Floats are projected through a copy in either layout: the same chains again.
            std::vector<double> P(projected.size());
            project(F, panels, P.data(), 5);
            EXPECT_TRUE(bit_equal(P, projected)) << where;
            if (d > kGramWidth) continue;
            std::vector<double> G(static_cast<std::size_t>(d * d)), H(G.size());
            EXPECT_TRUE(bit_equal(gram_with_sums(F, G.data(), d), gram_with_sums(D, H.data(), d))) << where;
            EXPECT_TRUE(bit_equal(G, H)) << where;
        }
    }
}

TEST(LeadingEigenpairs, MatchTheFullDecomposition) {
    std::srand(11);
    const Eigen::MatrixXd A = Eigen::MatrixXd::Random(40, 90);
    // Distinct spectrum, a repeated eigenvalue, and the zero matrix.
    Eigen::MatrixXd Q = Eigen::MatrixXd::Random(40, 40).householderQr().householderQ();
    Eigen::VectorXd repeated = Eigen::VectorXd::LinSpaced(40, 1.0, 40.0);
    repeated.head(3).setConstant(50.0);
    for (const Eigen::MatrixXd& S : {Eigen::MatrixXd(A * A.transpose()),
                                     Eigen::MatrixXd(Q * repeated.asDiagonal() * Q.transpose()),
                                     Eigen::MatrixXd(Eigen::MatrixXd::Zero(40, 40))}) {
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> reference(S);
        const Eigen::VectorXd expected = reference.eigenvalues().reverse();
        // The leading five by inverse iteration, and every pair from the full decomposition.
        for (const LeadingEigenpairs& pairs :
             {leading_eigenpairs(S, [](const Eigen::VectorXd&) { return Index{5}; }), symmetric_eigenpairs(S)}) {
            const Eigen::MatrixXd& V = pairs.vectors;
            EXPECT_TRUE(pairs.values.isApprox(expected, 1e-12) || expected.isZero());
            EXPECT_TRUE((V.transpose() * V).isIdentity(1e-10));
            const double scale = std::max(1.0, S.norm());
            for (Index j = 0; j < V.cols(); ++j) {
                EXPECT_LT((S * V.col(j) - expected[j] * V.col(j)).norm(), 1e-10 * scale) << "vector " << j;
            }
        }
    }
}

TEST(LeadingEigenpairs, KeepingPartOfEqualEigenvaluesTakesTheFullDecomposition) {
    // Inverse iteration would pick its own basis of the three-dimensional eigenspace.
    std::srand(12);
    const Eigen::MatrixXd Q = Eigen::MatrixXd::Random(30, 30).householderQr().householderQ();
    Eigen::VectorXd spectrum = Eigen::VectorXd::LinSpaced(30, 1.0, 30.0);
    spectrum.tail(3).setConstant(40.0);
    const Eigen::MatrixXd S = Q * spectrum.asDiagonal() * Q.transpose();
    const Eigen::MatrixXd two = leading_eigenpairs(S, [](const Eigen::VectorXd&) { return Index{2}; }).vectors;
    const Eigen::MatrixXd full = symmetric_eigenpairs(S).vectors.leftCols(2);
    ASSERT_EQ(two.cols(), 2);
    EXPECT_EQ(std::memcmp(two.data(), full.data(), sizeof(double) * 60), 0);
}
