#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "LabelTable.h"
#include "NeighbourSearch.h"
#include "common/SharedArray.h"

namespace quorvane {

/// k-nearest-neighbour vote on top of an exact NeighbourSearch over a stored
/// reference set of already-reduced samples. Queries only read the
/// classifier, so any number of them may run at once on one classifier as
/// long as no `fit` runs meanwhile.
///
/// Neighbours are the m = min(k, n) smallest under the total order (squared
/// distance, sample index): equal distances go to the lower index and a NaN
/// distance (from an overflow) counts as +inf. Equal vote counts go to the byte-wise
/// smaller label.
class KNNClassifier {
    NeighbourSearch search_;            ///< the stored samples and the search over them

public:
    using RowMatrix = NeighbourSearch::RowMatrix;

    /// Per-thread working memory, reused across query blocks.
    struct Scratch {
        NeighbourSearch::Scratch search;  ///< the search's buffers and found neighbours
        std::vector<int> votes;           ///< label ranks of one query's neighbours
    };

    explicit KNNClassifier(int k);
    KNNClassifier(const KNNClassifier&) = delete;
    KNNClassifier& operator=(const KNNClassifier&) = delete;

    /// Replaces the reference set with a copy of `X` (one sample per row) and
    /// its labels. Refuses a label count that differs from the row count.
    void fit(RowMatrix X, const std::vector<std::string>& y);
    /// The same, taking over the labels instead of copying them.
    void fit(RowMatrix X, std::vector<std::string>&& y);

    /// A label list made ready for `fit`: each label's rank in byte-wise
    /// order. It does not depend on the samples, so it can be made while
    /// other work runs.
    struct Labels {
        std::vector<std::string> names;     ///< entry i labels sample i
        std::vector<int> rank;              ///< rank of names[i] among `distinct`
        std::vector<std::string> distinct;  ///< the distinct labels, byte-wise sorted
        std::int64_t majority = 0;          ///< rank of the most frequent, ties to the smaller
    };
    static Labels prepare(std::vector<std::string>&& y);
    /// As fit(X, y), from labels made ready by `prepare`.
    void fit(RowMatrix X, Labels&& labels);

    /// What a classifier answers from, as a model file stores it.
    struct Parts {
        NeighbourSearch::Parts search;      ///< the stored samples and the search's index
        LabelTable labels;                  ///< entry i labels sample i
        common::SharedArray<int> ranks;     ///< rank of each sample's label among `distinct`
        LabelTable distinct;                ///< the distinct labels, byte-wise sorted
        std::int64_t majority = 0;          ///< rank of the most frequent label
    };
    Parts parts() const;

    /// Replaces the reference set with stored parts, read in place. Refuses,
    /// with std::invalid_argument, parts whose counts disagree or whose ranks
    /// fall outside the distinct labels.
    void restore(Parts parts);

    /// True when every stored value is known finite (and well inside float's
    /// range) from the search's own check.
    bool finite() const { return search_.screened(); }

    /// Majority label among the `k` nearest stored samples, "Unknown" when
    /// nothing is stored or `k` <= 0. Refuses a query of the wrong length.
    std::string predict(const Eigen::VectorXd& query) const;

    /// Labels of `rows` queries of `dimension()` values each, row i at
    /// `queries + i * stride`, written to out[0..rows). Runs on the calling
    /// thread; `predict` is this with one row.
    void classify(const double* queries, Eigen::Index rows, Eigen::Index stride, std::string* out,
                  Scratch& scratch) const;

    /// The `count` nearest stored samples of each of `rows` queries (laid out
    /// as for `classify`), ascending in (distance, index): Euclidean distances
    /// to row i's j-th neighbour at distances[i * count + j], its sample index
    /// at indices[i * count + j]. Needs 1 <= count <= the stored sample count;
    /// the classifier's own `k` plays no part.
    void neighbours(const double* queries, Eigen::Index rows, Eigen::Index stride, int count,
                    double* distances, std::int64_t* indices, Scratch& scratch) const;

    /// The m = min(count, n) nearest stored samples of each query (laid out as
    /// for `classify`), ascending in (squared distance, index): the squared
    /// distances as the search computes them (neither clamped nor rooted) at
    /// sq_distances[i * m + j], sample indices at indices[i * m + j] and the
    /// ranks of their labels among `distinct_labels()` at ranks[i * m + j].
    /// What one part of a reference set split over processes answers. Needs
    /// count >= 1 and a stored sample.
    void nearest(const double* queries, Eigen::Index rows, Eigen::Index stride, int count, double* sq_distances,
                 std::int64_t* indices, int* ranks, Scratch& scratch) const;

    /// The distinct labels, byte-wise sorted; a label's rank is its position here.
    const LabelTable& distinct_labels() const { return distinct_labels_; }
    /// How many stored samples carry each distinct label, in rank order.
    std::vector<std::int64_t> label_counts() const;

    /// Components per stored sample (the query length `classify` expects).
    Eigen::Index dimension() const { return search_.dimension(); }

    /// Tile sizes of the search; they change speed only, never an answer.
    void set_block_sizes(Eigen::Index query_block, Eigen::Index sample_block);

    int k;                                      ///< neighbours that vote; fixed at construction
    Eigen::Map<const RowMatrix> X_train;        ///< stored samples (the search's), each row contiguous
    LabelTable y_train;                         ///< entry i labels row i of X_train
    Eigen::Map<const Eigen::VectorXd> sq_norms; ///< squared Euclidean norm of each row of X_train

private:
    /// Points X_train and sq_norms at the search's arrays after they change.
    void bind_views();
    /// Hands each query's m nearest, sorted, to f(row, squared distances, indices).
    template <typename F>
    void for_each_sorted(const double* queries, Eigen::Index rows, Eigen::Index stride, int m, Scratch& scratch,
                         F f) const;

    common::SharedArray<int> label_rank_;   ///< rank of each sample's label in byte-wise order
    LabelTable distinct_labels_;            ///< the distinct labels, byte-wise sorted
    std::int64_t majority_rank_ = 0;        ///< rank of the answer when every stored sample votes
};

}  // namespace quorvane
