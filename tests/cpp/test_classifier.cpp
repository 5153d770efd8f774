#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>

#include "linalg/Gemm.h"
#include "neighbours/KNNClassifier.h"

using quorvane::KNNClassifier;

namespace {

// Points on a line: sample i sits at x = positions[i].
Eigen::MatrixXd line(const std::vector<double>& positions) {
    Eigen::MatrixXd X(static_cast<Eigen::Index>(positions.size()), 1);
    for (std::size_t i = 0; i < positions.size(); ++i) X(static_cast<Eigen::Index>(i), 0) = positions[i];
    return X;
}

Eigen::VectorXd at(double x) { return Eigen::VectorXd::Constant(1, x); }

// The search in its plainest form: every distance with the kernels' own
// arithmetic, nth_element under (distance, index), then an ordered-map vote.
std::string straightforward(const KNNClassifier& clf, const Eigen::VectorXd& q) {
    const int n = static_cast<int>(clf.X_train.rows());
    if (n == 0 || clf.k <= 0) return "Unknown";
    const double qq = quorvane::linalg::squared_norm(q.data(), q.size());
    std::vector<double> dist(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        double dot = 0.0;
        for (Eigen::Index j = 0; j < q.size(); ++j) {
            dot = std::fma(q[j], clf.X_train(i, j), dot);
        }
        dist[static_cast<std::size_t>(i)] = (clf.sq_norms[i] - 2.0 * dot) + qq;
    }
    std::vector<int> index(static_cast<std::size_t>(n));
    std::iota(index.begin(), index.end(), 0);
    const int m = std::min(clf.k, n);
    std::nth_element(index.begin(), index.begin() + (m - 1), index.end(), [&](int a, int b) {
        return dist[a] < dist[b] || (dist[a] == dist[b] && a < b);
    });
    std::map<std::string, int> votes;
    for (int i = 0; i < m; ++i) ++votes[clf.y_train[static_cast<std::size_t>(index[i])]];
    auto best = votes.begin();
    for (auto it = votes.begin(); it != votes.end(); ++it)
        if (it->second > best->second) best = it;
    return best->first;
}

}  // namespace

TEST(ClassifierVote, EqualVotesGoToByteWiseSmallerLabel) {
    struct Case { std::string near, far, expected; };
    // The nearer sample carries the larger label, so distance cannot decide.
    for (const Case& c : {Case{"dog", "cat", "cat"}, Case{"a", "B", "B"}, Case{"abc", "ab", "ab"},
                          Case{"\xc3\xa9", "z", "z"}}) {
        KNNClassifier clf(2);
        clf.fit(line({0.0, 5.0, 9.0}), {c.near, c.far, "zzz"});
        EXPECT_EQ(clf.predict(at(0.1)), c.expected) << c.near << " vs " << c.far;
    }
}

TEST(ClassifierVote, StrictMajorityBeatsByteOrder) {
    KNNClassifier clf(3);
    clf.fit(line({0.0, 1.0, 2.0, 50.0}), {"dog", "cat", "dog", "ant"});
    EXPECT_EQ(clf.predict(at(1.0)), "dog");
}

TEST(ClassifierVote, AllDifferentLabelsGiveTheSmallest) {
    KNNClassifier clf(3);
    clf.fit(line({0.0, 1.0, 2.0, 3.0}), {"m", "q", "c", "a"});
    EXPECT_EQ(clf.predict(at(0.0)), "c");
}

TEST(ClassifierQuery, KOfOneIsNearestLabel) {
    KNNClassifier clf(1);
    clf.fit(line({0.0, 10.0, 20.0}), {"x", "y", "z"});
    EXPECT_EQ(clf.predict(at(9.0)), "y");
    EXPECT_EQ(clf.predict(at(100.0)), "z");
    EXPECT_EQ(clf.predict(at(-3.0)), "x");
}

TEST(ClassifierQuery, KAtLeastNVotesWithWholeSet) {
    for (int k : {4, 5, 1000}) {
        KNNClassifier clf(k);
        clf.fit(line({0.0, 1.0, 2.0, 3.0}), {"b", "a", "b", "c"});
        EXPECT_EQ(clf.predict(at(-100.0)), "b");
        EXPECT_EQ(clf.predict(at(100.0)), "b");
    }
}

TEST(ClassifierQuery, NonPositiveKAndEmptySetAnswerUnknown) {
    for (int k : {0, -1, -2147483647 - 1}) {
        KNNClassifier clf(k);
        clf.fit(line({0.0, 1.0}), {"a", "b"});
        EXPECT_EQ(clf.predict(at(0.0)), "Unknown");
    }
    KNNClassifier fresh(3);
    EXPECT_EQ(fresh.predict(at(0.0)), "Unknown");
    EXPECT_EQ(fresh.predict(Eigen::VectorXd::Zero(7)), "Unknown");  // no length check when empty

    KNNClassifier emptied(3);
    emptied.fit(line({0.0}), {"a"});
    emptied.fit(Eigen::MatrixXd(0, 2), {});
    EXPECT_EQ(emptied.predict(Eigen::VectorXd::Zero(5)), "Unknown");
}

TEST(ClassifierQuery, RefitReplacesEverything) {
    KNNClassifier clf(1);
    clf.fit(line({0.0, 1.0, 2.0}), {"old", "old", "old"});
    Eigen::MatrixXd X(2, 2);
    X << 3.0, 4.0, -1.0, 0.0;
    clf.fit(X, {"p", "q"});
    EXPECT_EQ(clf.sq_norms.size(), 2);
    EXPECT_DOUBLE_EQ(clf.sq_norms[0], 25.0);
    EXPECT_DOUBLE_EQ(clf.sq_norms[1], 1.0);
    EXPECT_EQ(clf.predict(Eigen::Vector2d(3.0, 3.9)), "p");
    EXPECT_EQ(clf.predict(Eigen::Vector2d(-1.0, 0.0)), "q");
}

TEST(ClassifierQuery, NoComponentsMakesEverySampleEquallyNear) {
    KNNClassifier clf(2);
    clf.fit(Eigen::MatrixXd(3, 0), {"b", "c", "a"});
    EXPECT_TRUE((clf.sq_norms.array() == 0.0).all());
    // Equal distances: the two lowest indices vote, and "b" < "c".
    EXPECT_EQ(clf.predict(Eigen::VectorXd(0)), "b");
}

TEST(ClassifierQuery, EqualDistancesGoToLowerIndexOnLargeSets) {
    // All samples equidistant from the query; past 32 samples the selection
    // partitions, and only the explicit (distance, index) order keeps the rule.
    for (int n : {33, 64, 257, 1000}) {
        Eigen::MatrixXd X = Eigen::MatrixXd::Zero(n, 2);
        std::vector<std::string> y(static_cast<std::size_t>(n), "z");
        for (int i = 0; i < n; ++i) X(i, i % 2) = (i % 4 < 2) ? 1.0 : -1.0;
        y[0] = "low";
        y[1] = "low";
        KNNClassifier clf(2);
        clf.fit(X, y);
        EXPECT_EQ(clf.predict(Eigen::Vector2d::Zero()), "low") << "n = " << n;
    }
}

TEST(ClassifierQuery, NaNDistancesSortAfterNumbers) {
    Eigen::MatrixXd X = line(std::vector<double>(40, 0.0));
    std::vector<std::string> y(40, "num");
    for (int i = 0; i < 40; i += 2) {
        X(i, 0) = std::numeric_limits<double>::quiet_NaN();
        y[static_cast<std::size_t>(i)] = "nan";
    }
    for (int k : {2, 20, 21}) {
        KNNClassifier clf(k);
        clf.fit(X, y);
        EXPECT_EQ(clf.predict(at(0.0)), "num") << "k = " << k;
    }
}

TEST(ClassifierRefusals, LabelCountMustMatchRows) {
    KNNClassifier clf(3);
    try {
        clf.fit(line({0.0, 1.0, 2.0, 3.0}), {"a", "b", "c"});
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "y has 3 labels but X has 4 rows");
    }
    EXPECT_THROW(clf.fit(line({0.0}), {"a", "b"}), std::invalid_argument);
}

TEST(ClassifierRefusals, QueryLengthMustMatchStoredDimension) {
    KNNClassifier clf(1);
    clf.fit(Eigen::MatrixXd::Zero(2, 3), {"a", "b"});
    try {
        clf.predict(Eigen::VectorXd::Zero(5));
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find('5'), std::string::npos);
        EXPECT_NE(message.find('3'), std::string::npos);
    }
    EXPECT_THROW(clf.predict(Eigen::VectorXd::Zero(0)), std::invalid_argument);
}

TEST(ClassifierSearch, TilesAgreeWithTheStraightforwardSearch) {
    // Small integers make exact distance ties common; a large offset with tiny
    // differences leaves float screening unable to tell samples apart; widely
    // mixed scales stress its error bound.
    struct Data { const char* name; double offset, step, spread; };
    for (const Data& data : {Data{"integers", 0.0, 1.0, 0.0}, Data{"offset", 1e6, 1e-3, 0.0},
                             Data{"mixed", 0.0, 1.0, 1e4}}) {
        std::mt19937 rng(17);
        std::uniform_int_distribution<int> coord(-3, 3), label(0, 3);
        std::normal_distribution<double> wide(0.0, 1.0);
        const int n = 203, d = 3, queries = 41;
        auto value = [&](int j) {
            return data.offset + data.step * coord(rng) + (j == 1 ? data.spread * wide(rng) : 0.0);
        };
        Eigen::MatrixXd X(n, d);
        std::vector<std::string> y;
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < d; ++j) X(i, j) = value(j);
            y.push_back(std::string(1, static_cast<char>('a' + label(rng))));
        }
        KNNClassifier::RowMatrix Q(queries, d);
        for (int i = 0; i < queries; ++i)
            for (int j = 0; j < d; ++j) Q(i, j) = value(j) + 0.5 * data.step * (j == 0 && i % 2);

        for (int k : {1, 2, 5, 17, 202, 203, 500}) {
            KNNClassifier clf(k);
            clf.fit(X, y);
            std::vector<std::string> expected;
            for (int i = 0; i < queries; ++i) expected.push_back(straightforward(clf, Q.row(i).transpose()));
            for (auto [query_block, sample_block] : {std::pair<int, int>{1, 8}, {5, 16}, {7, 48}, {64, 0}}) {
                clf.set_block_sizes(query_block, sample_block);
                KNNClassifier::Scratch scratch;
                std::vector<std::string> labels(queries);
                clf.classify(Q.data(), queries, d, labels.data(), scratch);
                EXPECT_EQ(labels, expected) << data.name << ", k = " << k << ", blocks " << query_block << "/"
                                            << sample_block;
            }
            EXPECT_EQ(clf.predict(Q.row(7).transpose()), expected[7]);
        }
    }
}

TEST(ClassifierSearch, QueryEqualToAStoredSampleIsAtDistanceZero) {
    std::mt19937 rng(5);
    std::normal_distribution<double> normal(0.0, 1e3);
    Eigen::MatrixXd X(50, 7);
    for (Eigen::Index i = 0; i < X.size(); ++i) X.data()[i] = normal(rng);
    std::vector<std::string> y;
    for (int i = 0; i < 50; ++i) y.push_back("s" + std::to_string(i));
    KNNClassifier clf(1);
    clf.fit(X, y);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(clf.predict(X.row(i).transpose()), y[static_cast<std::size_t>(i)]);
}
