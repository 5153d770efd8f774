#pragma once

#include <string>
#include <vector>

#include <Eigen/Dense>

namespace quorvane {

/// Brute-force k-nearest-neighbour vote over a stored reference set of
/// already-reduced samples. Queries only read the classifier, so any number
/// of them may run at once on one classifier as long as no `fit` runs meanwhile.
///
/// Neighbours are the m = min(k, n) smallest under the total order (squared
/// distance, sample index): equal distances go to the lower index and a NaN
/// distance comes after every number. Equal vote counts go to the byte-wise
/// smaller label.
class KNNClassifier {
public:
    using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    /// Per-thread working memory, reused across query blocks.
    struct Scratch {
        std::vector<double> queries;     ///< packed query panels of one block
        std::vector<double> query_norms; ///< squared norm of each query of the block
        std::vector<double> thresholds;  ///< distance each query's candidates must beat
        std::vector<double> heap_dist;   ///< k-best distances per query (max-heaps)
        std::vector<int> heap_index;     ///< k-best sample indices per query
        std::vector<int> heap_size;      ///< neighbours held so far per query
        std::vector<int> votes;          ///< label ranks of one query's neighbours
        std::vector<float> screen_queries;     ///< the block's queries in float panels
        std::vector<float> screen_norms;       ///< their squared norms in float
        std::vector<float> screen_roots;       ///< their norms, rounded up
        std::vector<float> screen_thresholds;  ///< thresholds rounded up to float
    };

    explicit KNNClassifier(int k);

    /// Replaces the reference set with a copy of `X` (one sample per row) and
    /// its labels. Refuses a label count that differs from the row count.
    void fit(RowMatrix X, const std::vector<std::string>& y);

    /// Majority label among the `k` nearest stored samples, "Unknown" when
    /// nothing is stored or `k` <= 0. Refuses a query of the wrong length.
    std::string predict(const Eigen::VectorXd& query) const;

    /// Labels of `rows` queries of `dimension()` values each, row i at
    /// `queries + i * stride`, written to out[0..rows). Runs on the calling
    /// thread; `predict` is this with one row.
    void classify(const double* queries, Eigen::Index rows, Eigen::Index stride, std::string* out,
                  Scratch& scratch) const;

    /// Components per stored sample (the query length `classify` expects).
    Eigen::Index dimension() const { return X_train.cols(); }

    /// Tile sizes of the search; they change speed only, never an answer.
    void set_block_sizes(Eigen::Index query_block, Eigen::Index sample_block);

    int k;                              ///< neighbours that vote; fixed at construction
    RowMatrix X_train;                  ///< stored samples, each row contiguous
    std::vector<std::string> y_train;   ///< entry i labels row i of X_train
    Eigen::VectorXd sq_norms;           ///< squared Euclidean norm of each row of X_train

private:
    void search_block(const double* queries, Eigen::Index rows, Eigen::Index stride, std::string* out,
                      Scratch& scratch) const;
    void screened_search(const double* queries, Eigen::Index rows, Eigen::Index stride, Scratch& s) const;
    bool offer(Scratch& s, Eigen::Index r, Eigen::Index j, double dist) const;

    std::vector<double> panels_;        ///< X_train in k-major panels of 8 samples, zero-padded
    std::vector<double> panel_norms_;   ///< sq_norms padded to whole panels
    std::vector<int> label_rank_;       ///< rank of each sample's label in byte-wise order
    std::vector<std::string> distinct_labels_;  ///< the distinct labels, byte-wise sorted
    std::string majority_;              ///< the answer when every stored sample votes
    bool screen_ = false;               ///< float screening is safe for these samples
    std::vector<float> screen_panels_;  ///< panels_ in float, padded to whole pairs of panels
    std::vector<float> screen_norms_;   ///< sq_norms in float, padded likewise
    std::vector<float> screen_roots_;   ///< Euclidean norms rounded up to float, padded likewise
    Eigen::Index query_block_ = 64;
    Eigen::Index sample_block_ = 0;     ///< 0: sized from the dimension to stay in cache
};

}  // namespace quorvane
