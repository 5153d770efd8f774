#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "linalg/Gemm.h"
#include "neighbours/KNNClassifier.h"

using quorvane::KNNClassifier;

// Sorted neighbours, tile edges inside the data and ties on an integer grid:
// every block split gives exactly the full sort under (distance, index). With
// many components the screen drops samples stage by stage: it must do so
// whether the leading components carry most of the distance or least of it.
TEST(NeighbourSearch, NeighboursAreTheSortedPrefixForEveryTiling) {
    struct Case { int n, d, slope; };  // component j weighs 2^(slope * j / 3)
    for (const Case c : {Case{157, 3, 0}, Case{700, 14, -1}, Case{700, 14, 1}}) {
        const int n = c.n, d = c.d, queries = 29;
        std::mt19937 rng(23);
        std::uniform_int_distribution<int> coord(-2, 2);
        KNNClassifier::RowMatrix X(n, d), Q(queries, d);
        for (Eigen::Index i = 0; i < X.size(); ++i) X.data()[i] = std::ldexp(coord(rng), c.slope * (i % d) / 3);
        for (Eigen::Index i = 0; i < Q.size(); ++i)
            Q.data()[i] = std::ldexp(coord(rng) + 0.5 * (i % 3 == 0), c.slope * (i % d) / 3);
        KNNClassifier clf(3);
        clf.fit(X, std::vector<std::string>(n, "x"));

        for (int k : {1, 4, 17, n}) {
            std::vector<double> want_dist;
            std::vector<std::int64_t> want_index;
            for (int r = 0; r < queries; ++r) {
                const double qq = quorvane::linalg::squared_norm(Q.row(r).data(), d);
                std::vector<double> dist(n);
                for (int i = 0; i < n; ++i) {
                    double dot = 0.0;
                    for (int j = 0; j < d; ++j) {
                        dot = std::fma(Q(r, j), X(i, j), dot);
                    }
                    dist[i] = (clf.sq_norms[i] - 2.0 * dot) + qq;
                }
                std::vector<int> order(n);
                std::iota(order.begin(), order.end(), 0);
                std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return dist[a] < dist[b]; });
                for (int i = 0; i < k; ++i) {
                    want_dist.push_back(std::sqrt(std::max(0.0, dist[order[i]])));
                    want_index.push_back(order[i]);
                }
            }
            for (auto [query_block, sample_block] : {std::pair<int, int>{1, 8}, {5, 16}, {7, 48}, {64, 0}}) {
                clf.set_block_sizes(query_block, sample_block);
                KNNClassifier::Scratch scratch;
                std::vector<double> dist(queries * k);
                std::vector<std::int64_t> index(queries * k);
                clf.neighbours(Q.data(), queries, d, k, dist.data(), index.data(), scratch);
                EXPECT_EQ(index, want_index) << "d = " << d << ", k = " << k << ", blocks " << query_block << "/" << sample_block;
                EXPECT_EQ(dist, want_dist) << "d = " << d << ", k = " << k << ", blocks " << query_block << "/" << sample_block;
            }
        }
    }
}

TEST(NeighbourSearch, RefusesNeighbourCountsOutOfRange) {
    const int n = 5;
    KNNClassifier clf(3);
    clf.fit(Eigen::MatrixXd::Zero(n, 2), std::vector<std::string>(n, "x"));
    const double q[2] = {0.0, 0.0};
    KNNClassifier::Scratch scratch;
    double dist;
    std::int64_t index;
    for (int k : {0, n + 1}) EXPECT_THROW(clf.neighbours(q, 1, 2, k, &dist, &index, scratch), std::invalid_argument);
}
