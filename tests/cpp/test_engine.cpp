#include <gtest/gtest.h>

#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/KNNEngine.h"

using quorvane::KNNConfig;
using quorvane::KNNEngine;

namespace {

class CoutCapture {
public:
    CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old_); }
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};

// Two well separated clusters in 5 features, labelled "left" and "right".
struct Clusters {
    Eigen::MatrixXd X;
    std::vector<std::string> y;
};

Clusters clusters(int per_side) {
    std::srand(3);
    Clusters c{Eigen::MatrixXd::Random(2 * per_side, 5) * 0.1, {}};
    for (int i = 0; i < 2 * per_side; ++i) {
        const bool right = i % 2 == 1;
        c.X(i, 0) += right ? 5.0 : -5.0;
        c.y.push_back(right ? "right" : "left");
    }
    return c;
}

KNNConfig config(int k, double variance) {
    KNNConfig cfg;
    cfg.k = k;
    cfg.variance = variance;
    return cfg;
}

}  // namespace

TEST(Engine, UntrainedAnswersUnknown) {
    KNNEngine engine(KNNConfig{});
    EXPECT_EQ(engine.predict(Eigen::VectorXd::Ones(3)), "Unknown");
    EXPECT_EQ(engine.predict_batch(Eigen::MatrixXd::Ones(4, 2)), std::vector<std::string>(4, "Unknown"));
    EXPECT_EQ(engine.n_components(), 0);
}

TEST(Engine, TrainPrintsBothLinesAndClassifies) {
    const Clusters c = clusters(20);
    KNNEngine engine(config(3, 2.0));
    CoutCapture out;
    engine.train(c.X, c.y, false);
    EXPECT_EQ(out.text(),
              "[PCA] Fit complete. Mode: Standard | Components: 2\n"
              "[Engine] Trained successfully. Reduced to 2 dimensions.\n");
    EXPECT_EQ(engine.n_components(), 2);

    Eigen::MatrixXd queries = Eigen::MatrixXd::Zero(3, 5);
    queries(0, 0) = 4.0;
    queries(1, 0) = -4.0;
    queries(2, 0) = 6.0;
    const std::vector<std::string> labels = engine.predict_batch(queries);
    EXPECT_EQ(labels, (std::vector<std::string>{"right", "left", "right"}));
    for (Eigen::Index i = 0; i < queries.rows(); ++i) {
        EXPECT_EQ(engine.predict(queries.row(i).transpose()), labels[static_cast<std::size_t>(i)]);
    }
}

TEST(Engine, FailedTrainKeepsThePreviousModel) {
    const Clusters c = clusters(10);
    KNNEngine engine(config(3, 0.95));
    CoutCapture out;
    engine.train(c.X, c.y, false);
    const std::vector<std::string> before = engine.predict_batch(c.X);
    const std::string printed = out.text();

    Eigen::MatrixXd bad = c.X;
    bad(4, 2) = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::pair<Eigen::MatrixXd, std::vector<std::string>>> refused = {
        {Eigen::MatrixXd(0, 5), {}},
        {Eigen::MatrixXd(3, 0), {"a", "b", "c"}},
        {Eigen::MatrixXd::Ones(4, 3), {"a", "b", "c"}},
        {bad, c.y},
    };
    for (const auto& [X, y] : refused) EXPECT_THROW(engine.train(X, y, false), std::invalid_argument);
    try {
        engine.train(bad, c.y, false);
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "X contains NaN or infinity at row 4, column 2");
    }
    EXPECT_EQ(out.text(), printed);  // nothing printed by a refused train
    EXPECT_EQ(engine.predict_batch(c.X), before);
}

TEST(Engine, TrainedEngineRefusesBadQueries) {
    const Clusters c = clusters(5);
    KNNEngine engine(KNNConfig{});
    CoutCapture quiet;
    engine.train(c.X, c.y, false);
    try {
        engine.predict_batch(Eigen::MatrixXd::Zero(2, 7));
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "X has 7 features, but the engine was trained with 5");
    }
    EXPECT_THROW(engine.predict(Eigen::VectorXd::Zero(4)), std::invalid_argument);
    Eigen::VectorXd inf = Eigen::VectorXd::Zero(5);
    inf[3] = std::numeric_limits<double>::infinity();
    EXPECT_THROW(engine.predict(inf), std::invalid_argument);
    EXPECT_TRUE(engine.predict_batch(Eigen::MatrixXd(0, 9)).empty());
}

TEST(Engine, StateRestoresTheSameAnswersAndRefusesMismatches) {
    const Clusters c = clusters(12);
    KNNEngine engine(config(3, 0.9));
    CoutCapture quiet;
    engine.train(c.X, c.y, true);
    KNNEngine restored(engine.state());
    EXPECT_EQ(restored.predict_batch(c.X), engine.predict_batch(c.X));
    EXPECT_EQ(restored.n_components(), engine.n_components());

    auto broken = [&](auto damage) {
        KNNEngine::State s = engine.state();
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
