#pragma once

#include <vector>

#include <Eigen/Dense>

#include "TopK.h"

namespace quorvane {

/// Exact brute-force search over a stored set of samples: for each query,
/// the m = min(k, n) nearest under (squared distance, sample index), with
/// squared distances in the expanded form (|t|^2 - 2 q.t) + |q|^2. Searches
/// only read it, so any number may run at once while no `fit` runs.
class NeighbourSearch {
public:
    using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    /// Per-thread working memory, reused across query blocks.
    struct Scratch {
        TopK top;                              ///< the neighbours found for the block
        std::vector<double> queries;           ///< packed query panels of one block
        std::vector<double> query_norms;       ///< squared norm of each query of the block
        std::vector<float> screen_queries;     ///< the block's queries in float panels
        std::vector<float> screen_norms;       ///< their squared norms in float
        std::vector<float> screen_roots;       ///< their norms, rounded up
        std::vector<float> screen_thresholds;  ///< thresholds rounded up to float
    };

    /// Replaces the stored samples (one per row) and everything derived from them.
    void fit(RowMatrix samples);

    /// Finds the min(k, n) nearest stored samples of each of `rows` queries of
    /// `dimension()` values, row i at `queries + i * stride`, into s.top (one
    /// heap per query, unsorted). Needs k >= 1 and at least one stored sample.
    void search(const double* queries, Eigen::Index rows, Eigen::Index stride, int k, Scratch& s) const;

    /// Components per stored sample (the query length `search` expects).
    Eigen::Index dimension() const { return samples_.cols(); }
    const RowMatrix& samples() const { return samples_; }
    const Eigen::VectorXd& sq_norms() const { return sq_norms_; }

    /// Tile sizes; they change speed only, never an answer. Callers split
    /// their queries into blocks of `query_block()` rows.
    void set_block_sizes(Eigen::Index query_block, Eigen::Index sample_block);
    Eigen::Index query_block() const { return query_block_; }

private:
    void scan(const double* queries, Eigen::Index rows, Eigen::Index stride, Scratch& s) const;
    void screened_scan(const double* queries, Eigen::Index rows, Eigen::Index stride, Scratch& s) const;

    RowMatrix samples_;                 ///< stored samples, each row contiguous
    Eigen::VectorXd sq_norms_;          ///< squared Euclidean norm of each row of samples_
    std::vector<double> panels_;        ///< samples_ in k-major panels of 8 samples, zero-padded
    std::vector<double> panel_norms_;   ///< sq_norms_ padded to whole panels
    bool screen_ = false;               ///< float screening is safe for these samples
    std::vector<float> screen_panels_;  ///< panels_ in float, padded to whole pairs of panels
    std::vector<float> screen_norms_;   ///< sq_norms_ in float, padded likewise
    std::vector<float> screen_roots_;   ///< Euclidean norms rounded up to float, padded likewise
    Eigen::Index query_block_ = 64;
    Eigen::Index sample_block_ = 0;     ///< 0: sized from the dimension to stay in cache
};

}  // namespace quorvane
