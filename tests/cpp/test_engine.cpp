#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/KNNEngine.h"
#include "common/Parallel.h"

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

TEST(Engine, QueriesWhileTrainingAnswerWhollyFromOneModel) {
    Problem a;
    make(a, 64, 6);
    const Eigen::MatrixXd other = -2.0 * a.X;
    std::vector<std::string> other_y;
    for (int i = 0; i < 64; ++i) other_y.push_back("t" + std::to_string(i % 7));
    KNNEngine reference{KNNConfig{1, std::numeric_limits<double>::infinity()}};
    reference.train(other, other_y, false);
    const std::vector<std::string> from_a = a.y, from_b = reference.predict_batch(a.X);

    a.engine.train(a.X, a.y, false);
    std::atomic<bool> done{false};
    std::atomic<int> mixed{0}, answered{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            while (!done) {
                const auto got = a.engine.predict_batch(a.X);
                if (got != from_a && got != from_b) ++mixed;
                const std::string one = a.engine.predict(a.X.row(5).transpose());
                if (one != from_a[5] && one != from_b[5]) ++mixed;
                ++answered;
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        if (round % 2 == 0) a.engine.train(other, other_y, false);
        else a.engine.train(a.X, a.y, false);
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(answered, 0);
}

TEST(Engine, InterruptedBatchThrowsAndChangesNothing) {
    Problem p;
    make(p, 3000, 24);
    p.engine.train(p.X, p.y, false);
    const Eigen::MatrixXd queries = Eigen::MatrixXd::Random(20000, 24);
    quorvane::common::set_interrupt_poll([] { return true; });
    EXPECT_THROW(p.engine.predict_batch(queries), quorvane::common::Interrupted);
    // A covariance product long enough (tens of ms) to meet the first poll.
    EXPECT_THROW(p.engine.train(Eigen::MatrixXd::Random(40000, 256), std::vector<std::string>(40000, "x"), false),
                 quorvane::common::Interrupted);
    quorvane::common::set_interrupt_poll(nullptr);
    EXPECT_EQ(p.engine.predict_batch(p.X), p.y);
}
