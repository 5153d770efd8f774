#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "engine/KNNEngine.h"

using quorvane::KNNConfig;
using quorvane::KNNEngine;

namespace {

// Random samples, each with its own label, and an engine that keeps every
// component: with k = 1 each sample is then its own nearest neighbour.
struct Problem {
    Eigen::MatrixXd X;
    std::vector<std::string> y;
    KNNEngine engine{KNNConfig{1, std::numeric_limits<double>::infinity()}};
};

void make(Problem& p, int n, int d) {
    std::srand(static_cast<unsigned>(n * d));
    p.X = Eigen::MatrixXd::Random(n, d);
    p.y.clear();
    for (int i = 0; i < n; ++i) p.y.push_back("s" + std::to_string(i));
}

}  // namespace

TEST(Engine, TrainsPredictsAndRefusesWithoutChange) {
    // Standard mode over several batch blocks, and thin mode (more features than samples).
    for (auto [n, d, scale] : {std::tuple{150, 5, true}, {10, 30, false}, {10, 30, true}}) {
        Problem p;
        make(p, n, d);
        EXPECT_EQ(p.engine.predict(Eigen::VectorXd::Ones(3)), "Unknown");
        p.engine.train(p.X, p.y, scale);
        EXPECT_EQ(p.engine.predict_batch(p.X), p.y);
        for (int i = 0; i < n; i += 7) EXPECT_EQ(p.engine.predict(p.X.row(i).transpose()), p.y[i]);

        Eigen::MatrixXd bad = p.X;
        bad(n - 1, d - 1) = std::numeric_limits<double>::quiet_NaN();
        EXPECT_THROW(p.engine.train(bad, p.y, scale), std::invalid_argument);
        EXPECT_THROW(p.engine.train(Eigen::MatrixXd(p.X.topRows(n - 1)), p.y, scale), std::invalid_argument);
        EXPECT_THROW(p.engine.predict_batch(Eigen::MatrixXd::Zero(2, d + 1)), std::invalid_argument);
        EXPECT_THROW(p.engine.predict_batch(bad), std::invalid_argument);
        EXPECT_EQ(p.engine.predict_batch(p.X), p.y) << n << " x " << d;
    }
}

TEST(Engine, StateRestoresTheSameAnswersAndRefusesMismatches) {
    Problem p;
    make(p, 24, 5);
    p.engine.train(p.X, p.y, true);
    KNNEngine restored(p.engine.state());
    EXPECT_EQ(restored.predict_batch(p.X), p.y);
    EXPECT_EQ(restored.n_components(), p.engine.n_components());

    auto broken = [&](auto damage) {
        KNNEngine::State s = p.engine.state();
        damage(s);
        EXPECT_THROW(KNNEngine{std::move(s)}, std::invalid_argument);
    };
    broken([](KNNEngine::State& s) { s.mean.resize(s.mean.size() + 1); });
    broken([](KNNEngine::State& s) { s.feature_scale.resize(1); });
    broken([](KNNEngine::State& s) { s.components.conservativeResize(Eigen::NoChange, s.components.cols() + 1); });
    broken([](KNNEngine::State& s) { s.reference.conservativeResize(s.reference.rows() - 1, Eigen::NoChange); });
    broken([](KNNEngine::State& s) { s.labels.pop_back(); });
    broken([](KNNEngine::State& s) { s.mean.resize(0); s.feature_scale.resize(0); s.components.resize(0, 0); });
}
