#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "reduction/AdaptivePCA.h"

using quorvane::AdaptivePCA;

namespace {

// Captures what the fit writes to std::cout.
class CoutCapture {
public:
    CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old_); }
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};

int selected(double threshold, const Eigen::VectorXd& eigenvalues) {
    AdaptivePCA pca(threshold);
    CoutCapture quiet;
    pca.select_components(eigenvalues, Eigen::MatrixXd::Identity(eigenvalues.size(), eigenvalues.size()),
                          false);
    EXPECT_EQ(pca.components.cols(), pca.n_components);
    return pca.n_components;
}

Eigen::MatrixXd sample_data(int n, int d, unsigned seed = 7) {
    std::srand(seed);
    return Eigen::MatrixXd::Random(n, d);
}

}  // namespace

TEST(PcaSelection, CountsForAKnownSpectrum) {
    const Eigen::Vector3d spectrum(5.0, 3.0, 2.0);
    struct Case { double threshold; int expected; };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case& c : {Case{0.95, 3}, Case{0.8, 2}, Case{0.5, 1}, Case{1.0, 1}, Case{2.9, 2},
                          Case{10.0, 3}, Case{nan, 3}, Case{0.0, 1}, Case{-4.0, 1},
                          Case{2147483648.0, 3}, Case{1e300, 3}, Case{inf, 3}, Case{-inf, 1}}) {
        EXPECT_EQ(selected(c.threshold, spectrum), c.expected) << "threshold " << c.threshold;
    }
}

TEST(PcaSelection, ZeroSpectrumKeepsEveryCandidate) {
    EXPECT_EQ(selected(0.95, Eigen::Vector3d::Zero()), 3);
    EXPECT_EQ(selected(0.95, Eigen::VectorXd(0)), 0);
}

TEST(PcaFit, PrintsTheExactLine) {
    AdaptivePCA pca(2.0);
    CoutCapture out;
    pca.fit(sample_data(10, 4), false);
    EXPECT_EQ(out.text(), "[PCA] Fit complete. Mode: Standard | Components: 2\n");
}

TEST(PcaFit, StandardModeAxesAreOrthonormalAndDescending) {
    AdaptivePCA pca(0.999999);
    CoutCapture quiet;
    Eigen::MatrixXd X = sample_data(50, 4);
    X.col(1) *= 10.0;  // make the first axis clearly dominant
    pca.fit(X, false);
    const Eigen::MatrixXd& C = pca.components;
    EXPECT_TRUE((C.transpose() * C).isIdentity(1e-9));
    // Variance of the projected data falls with the component index.
    const Eigen::MatrixXd Z = pca.transform(X);
    for (Eigen::Index j = 1; j < Z.cols(); ++j) {
        EXPECT_GE(Z.col(j - 1).squaredNorm(), Z.col(j).squaredNorm() - 1e-9);
    }
    EXPECT_GT(std::abs(C(1, 0)), 0.99);
}

TEST(PcaFit, SquareDataIsStandardWiderDataIsThin) {
    CoutCapture out;
    AdaptivePCA square(0.95);
    square.fit(sample_data(5, 5), false);
    AdaptivePCA wide(0.99999);
    wide.fit(sample_data(3, 10), false);
    EXPECT_NE(out.text().find("Mode: Standard"), std::string::npos);
    EXPECT_NE(out.text().find("Mode: Thin"), std::string::npos);

    EXPECT_LE(wide.n_components, 3);
    EXPECT_EQ(wide.components.rows(), 10);
    for (Eigen::Index j = 0; j < wide.components.cols(); ++j) {
        const double norm = wide.components.col(j).norm();
        EXPECT_TRUE(norm == 0.0 || std::abs(norm - 1.0) < 1e-12) << "column " << j << " norm " << norm;
    }
    // Three centred samples span at most two directions: the third axis is zero.
    AdaptivePCA all(3.0);
    all.fit(sample_data(3, 10), false);
    ASSERT_EQ(all.n_components, 3);
    EXPECT_EQ(all.components.col(2).norm(), 0.0);
}

TEST(PcaFit, ConstantDataKeepsAllCandidates) {
    CoutCapture quiet;
    AdaptivePCA standard(0.5);
    standard.fit(Eigen::MatrixXd::Constant(6, 3, 2.5), false);
    EXPECT_EQ(standard.n_components, 3);
    AdaptivePCA thin(0.5);
    thin.fit(Eigen::MatrixXd::Constant(2, 5, -1.0), false);
    EXPECT_EQ(thin.n_components, 2);
    EXPECT_TRUE(thin.components.isZero(0.0));
}

TEST(PcaFit, ConstantFeatureUnderScalingKeepsUnitDivisor) {
    CoutCapture quiet;
    Eigen::MatrixXd X = sample_data(20, 3);
    X.col(1).setConstant(4.0);
    AdaptivePCA pca(0.95);
    pca.fit(X, true);
    EXPECT_EQ(pca.feature_scale[1], 1.0);
    const double expected = std::sqrt((X.col(0).array() - X.col(0).mean()).square().sum() / 19.0);
    EXPECT_NEAR(pca.feature_scale[0], expected, 1e-12);
}

TEST(PcaFit, OneSample) {
    CoutCapture out;
    Eigen::MatrixXd X(1, 4);
    X << 1.0, -2.0, 3.5, 0.0;
    for (bool scale : {false, true}) {
        AdaptivePCA pca(0.95);
        pca.fit(X, scale);
        EXPECT_EQ(pca.n_components, 1);
        EXPECT_TRUE(pca.feature_scale.isOnes(0.0));
        EXPECT_TRUE(pca.components.isZero(0.0));
        EXPECT_TRUE(pca.transform(X).allFinite());
    }
    // One sample, one feature: standard mode, still finite.
    AdaptivePCA single(0.95);
    single.fit(Eigen::MatrixXd::Constant(1, 1, 3.0), true);
    EXPECT_TRUE(single.components.allFinite());
    EXPECT_NE(out.text().find("Mode: Standard | Components: 1\n"), std::string::npos);
}

TEST(PcaTransform, CentresThenProjectsWhenScalingIsOff) {
    CoutCapture quiet;
    const Eigen::MatrixXd X = sample_data(30, 6);
    AdaptivePCA pca(3.0);
    pca.fit(X, false);
    const Eigen::MatrixXd Q = sample_data(4, 6, 11);
    const Eigen::MatrixXd expected = (Q.rowwise() - pca.mean.transpose()) * pca.components;
    EXPECT_TRUE(pca.transform(Q).isApprox(expected, 1e-14));
    EXPECT_EQ(pca.transform(Eigen::MatrixXd(0, 6)).rows(), 0);
    EXPECT_EQ(pca.transform(Eigen::MatrixXd(0, 6)).cols(), 3);
}

TEST(PcaTransform, UnfittedGivesNoColumns) {
    AdaptivePCA pca(0.95);
    for (Eigen::Index cols : {0, 1, 9}) {
        const Eigen::MatrixXd Z = pca.transform(Eigen::MatrixXd::Ones(4, cols));
        EXPECT_EQ(Z.rows(), 4);
        EXPECT_EQ(Z.cols(), 0);
    }
}

TEST(PcaTransform, RefitWithOtherFeatureCountResizes) {
    CoutCapture quiet;
    AdaptivePCA pca(2.0);
    pca.fit(sample_data(10, 5), true);
    pca.fit(sample_data(10, 3), true);
    EXPECT_EQ(pca.mean.size(), 3);
    EXPECT_EQ(pca.feature_scale.size(), 3);
    EXPECT_EQ(pca.components.rows(), 3);
    EXPECT_EQ(pca.transform(sample_data(2, 3)).cols(), 2);
}

TEST(PcaRefusals, EmptyFitAndWrongFeatureCount) {
    CoutCapture out;
    AdaptivePCA pca(0.95);
    EXPECT_THROW(pca.fit(Eigen::MatrixXd(0, 3), false), std::invalid_argument);
    EXPECT_THROW(pca.fit(Eigen::MatrixXd(3, 0), true), std::invalid_argument);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(pca.n_components, 0);

    pca.fit(sample_data(8, 4), false);
    for (Eigen::Index cols : {3, 5}) {
        try {
            pca.transform(Eigen::MatrixXd::Zero(2, cols));
            FAIL() << "expected std::invalid_argument";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "X has " + std::to_string(cols) +
                                                 " features, but the reduction was fitted with 4");
        }
    }
}

TEST(PcaRefusals, NonFiniteValuesAreNamed) {
    CoutCapture out;
    AdaptivePCA pca(0.95);
    Eigen::MatrixXd X = sample_data(6, 3);
    X(4, 1) = -std::numeric_limits<double>::infinity();
    try {
        pca.fit(X, false);
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "X contains NaN or infinity at row 4, column 1");
    }
    // Finite values whose sum overflows are still fitted.
    pca.fit(Eigen::MatrixXd::Constant(4, 2, 1e308), false);
    EXPECT_EQ(out.text(), "[PCA] Fit complete. Mode: Standard | Components: 2\n");
}
