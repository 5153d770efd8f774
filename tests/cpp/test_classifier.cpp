#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "linalg/Gemm.h"
#include "neighbours/KNNClassifier.h"

using quorvane::KNNClassifier;

namespace {

// The search in its plainest form: every distance with the kernels' own
// arithmetic, nth_element under (distance, index), then an ordered-map vote.
std::string straightforward(const KNNClassifier& clf, const Eigen::VectorXd& q) {
    const int n = static_cast<int>(clf.X_train.rows());
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
    for (int i = 0; i < m; ++i) ++votes[std::string(clf.y_train[static_cast<std::size_t>(index[i])])];
    auto best = votes.begin();
    for (auto it = votes.begin(); it != votes.end(); ++it)
        if (it->second > best->second) best = it;
    return best->first;
}

}  // namespace

TEST(ClassifierSearch, TilesAgreeWithTheStraightforwardSearch) {
    // Small integers make exact distance ties common (203 samples: the selection
    // partitions, so only the explicit (distance, index) order keeps the rule); a large offset with tiny
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

TEST(ClassifierSearch, NaNDistancesRankAsInfinity) {
    Eigen::MatrixXd X = Eigen::MatrixXd::Zero(40, 1);
    std::vector<std::string> y(40, "num");
    for (int i = 0; i < 40; i += 2) {
        X(i, 0) = std::numeric_limits<double>::quiet_NaN();
        y[static_cast<std::size_t>(i)] = "nan";
    }
    for (int k : {2, 20, 21}) {
        KNNClassifier clf(k);
        clf.fit(X, y);
        EXPECT_EQ(clf.predict(Eigen::VectorXd::Zero(1)), "num") << "k = " << k;
    }
    // An overflowing distance (inf - inf is NaN) ties with inf and goes by index,
    // and is reported as inf, never as 0.
    KNNClassifier clf(1);
    clf.fit(Eigen::Vector4d(std::numeric_limits<double>::quiet_NaN(), 1e200, std::numeric_limits<double>::quiet_NaN(), 0.0),
            std::vector<std::string>{"a", "b", "c", "d"});
    KNNClassifier::Scratch scratch;
    const double query = 0.0;
    double distances[4];
    std::int64_t indices[4];
    clf.neighbours(&query, 1, 1, 4, distances, indices, scratch);
    EXPECT_EQ(std::vector<std::int64_t>(indices, indices + 4), (std::vector<std::int64_t>{3, 0, 1, 2}));
    EXPECT_EQ(std::vector<double>(distances, distances + 4),
              (std::vector<double>{0.0, INFINITY, INFINITY, INFINITY}));
}
