#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "common/SideTask.h"
#include "reduction/AdaptivePCA.h"

using quorvane::AdaptivePCA;

TEST(PcaSelection, ThresholdEdgeCases) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Eigen::VectorXd spectrum = Eigen::Vector3d(5.0, 3.0, 2.0), zero = Eigen::Vector3d::Zero();
    struct Case { double threshold; Eigen::VectorXd eigenvalues; int expected; };
    // Shares 0.5, 0.8, 1.0: a share equal to the fraction is enough; counts are
    // truncated and capped; NaN keeps everything, as does a zero spectrum.
    for (const Case& c : {Case{0.95, spectrum, 3}, Case{0.8, spectrum, 2}, Case{0.5, spectrum, 1},
                          Case{1.0, spectrum, 1}, Case{2.9, spectrum, 2}, Case{10.0, spectrum, 3},
                          Case{nan, spectrum, 3}, Case{0.0, spectrum, 1}, Case{-4.0, spectrum, 1},
                          Case{2147483648.0, spectrum, 3}, Case{1e300, spectrum, 3}, Case{inf, spectrum, 3},
                          Case{-inf, spectrum, 1}, Case{0.95, zero, 3}, Case{0.95, Eigen::VectorXd(0), 0}}) {
        AdaptivePCA pca(c.threshold);
        const Eigen::Index m = c.eigenvalues.size();
        pca.select_components(c.eigenvalues, Eigen::MatrixXd::Identity(m, m), false);
        EXPECT_EQ(pca.n_components, c.expected) << "threshold " << c.threshold << " over " << m;
        EXPECT_EQ(pca.components.cols(), c.expected);
    }
}

// A fit takes the column sums (and with `scale` the deviations) from the
// covariance's own read of X, about a shift near the mean: against the
// two-pass steps on data far from the origin, on rows sorted so that the mean
// drifts, and on a team-sized set.
TEST(PcaFit, OnePassMatchesTwoPasses) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    struct Case { Eigen::Index n, d; double offset; bool sorted, scale; };
    for (const Case& c : {Case{500, 12, 1e6, false, false}, Case{3000, 9, -2.0, true, false},
                          Case{4000, 160, 3.0, false, false}, Case{500, 12, 1e6, false, true},
                          Case{3000, 9, -2.0, true, true}}) {
        Eigen::MatrixXd X(c.n, c.d);
        for (Eigen::Index i = 0; i < c.n; ++i)
            for (Eigen::Index j = 0; j < c.d; ++j) X(i, j) = c.offset + normal(rng) * static_cast<double>(1 + j % 4);
        if (c.sorted) {
            std::vector<Eigen::Index> order(static_cast<std::size_t>(c.n));
            std::iota(order.begin(), order.end(), 0);
            std::sort(order.begin(), order.end(), [&X](Eigen::Index a, Eigen::Index b) { return X(a, 0) < X(b, 0); });
            const Eigen::MatrixXd unsorted = X;
            for (Eigen::Index i = 0; i < c.n; ++i) X.row(i) = unsorted.row(order[static_cast<std::size_t>(i)]);
        }
        testing::internal::CaptureStdout();
        AdaptivePCA one(0.9), two(0.9);
        one.fit(X, c.scale);
        const Eigen::VectorXd ones = Eigen::VectorXd::Ones(c.d);
        const Eigen::VectorXd mean = AdaptivePCA::column_sums(X, ones) / static_cast<double>(c.n);
        two.set_moments(mean, c.scale ? AdaptivePCA::deviations(AdaptivePCA::squared_deviations(X, mean, ones),
                                                                mean, c.n, ones)
                                      : ones);
        two.finish_standard(two.cross_product(X), c.n);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(one.n_components, two.n_components) << c.n << " x " << c.d;
        EXPECT_LT((one.mean - two.mean).cwiseAbs().maxCoeff(), 1e-12 * (1.0 + std::abs(c.offset)));
        EXPECT_LT((one.feature_scale.array() / two.feature_scale.array() - 1.0).abs().maxCoeff(), 1e-12);
        for (int j = 0; j < one.n_components; ++j)
            EXPECT_NEAR(std::abs(one.components.col(j).dot(two.components.col(j))), 1.0, 1e-9) << "axis " << j;
    }
    // NaN in a row the shift is not taken from is still refused, by name.
    Eigen::MatrixXd X = Eigen::MatrixXd::Random(5000, 4);
    X(4999, 2) = std::numeric_limits<double>::quiet_NaN();
    AdaptivePCA pca(0.9);
    EXPECT_THROW(
        try { pca.fit(X, false); } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "X contains NaN or infinity at row 4999, column 2");
            throw;
        },
        std::invalid_argument);
    EXPECT_FALSE(pca.fitted());
}

// A task run beside the decomposition runs once on every path (one read, two
// passes past 512 features, thin); when it throws, the fit throws it and
// keeps the old fit.
TEST(PcaFit, SideTaskRunsOnceAndItsFailureKeepsTheFit) {
    struct Case { Eigen::Index n, d; bool scale; };
    for (const Case& c : {Case{300, 8, true}, Case{520, 513, true}, Case{20, 50, false}}) {
        const Eigen::MatrixXd X = Eigen::MatrixXd::Random(c.n, c.d);
        testing::internal::CaptureStdout();
        AdaptivePCA pca(0.9);
        int runs = 0;
        quorvane::common::SideTask count([&runs] { ++runs; });
        pca.fit(X, c.scale, count);
        EXPECT_EQ(runs, 1) << c.n << " x " << c.d;
        const Eigen::VectorXd mean = pca.mean;
        quorvane::common::SideTask fail([] { throw std::runtime_error("side"); });
        EXPECT_THROW(pca.fit(X.array() + 1.0, c.scale, fail), std::runtime_error);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(pca.mean, mean);
    }
}
