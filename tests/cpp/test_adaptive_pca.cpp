#include <gtest/gtest.h>

#include <limits>

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
