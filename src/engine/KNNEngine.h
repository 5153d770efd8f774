#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "KNNConfig.h"
#include "format/ModelFile.h"
#include "linalg/MatrixView.h"
#include "reduction/AdaptivePCA.h"
#include "neighbours/KNNClassifier.h"

namespace quorvane {

/// Reduces samples with an AdaptivePCA and classifies them with a KNNClassifier.
/// Safe to share between threads: queries run side by side under a shared
/// lock; `train` builds the new model without the lock and installs it under
/// the exclusive lock, so every query answers wholly from one model.
class KNNEngine {
public:
    /// Everything an engine answers from: what saving and loading carry.
    struct State {
        using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
        KNNConfig config;
        Eigen::VectorXd mean;            ///< per-feature mean (empty before training)
        Eigen::VectorXd feature_scale;   ///< per-feature divisor
        Eigen::MatrixXd components;      ///< features x kept components
        Eigen::MatrixXd reference;       ///< projected training samples, one per row
        std::vector<std::string> labels; ///< label of each reference row
        /// Variance along each kept axis; empty in a state saved before it was
        /// kept, where it is then taken from the reference rows.
        Eigen::VectorXd explained_variance;
        double total_variance = std::numeric_limits<double>::quiet_NaN();  ///< NaN where unknown
    };

    /// The reduction as trained, for inspection.
    struct Reduction {
        Eigen::VectorXd mean;                ///< per-feature mean (empty before training)
        Eigen::VectorXd feature_scale;       ///< per-feature divisor
        Eigen::MatrixXd components;          ///< features x kept components, as the engine uses them
        Eigen::VectorXd explained_variance;  ///< sample variance of the training data along each kept axis
        double total_variance;               ///< total variance of the (standardised) training data
    };

    explicit KNNEngine(KNNConfig config);

    /// An engine that answers exactly as the one whose state this is. Refuses
    /// a state whose sizes disagree, with std::invalid_argument.
    explicit KNNEngine(State state);

    /// The engine a model file holds, its arrays read in place (a mapped
    /// file's pages are shared, not copied). Refuses, with
    /// std::invalid_argument("invalid quorvane model file: ..."), a file whose
    /// sections do not make a model: every count and index is proved in range
    /// first, so a search never reads outside the file.
    explicit KNNEngine(const format::ModelFile& file);
    ~KNNEngine();

    KNNEngine(const KNNEngine&) = delete;
    KNNEngine& operator=(const KNNEngine&) = delete;

    /// Fits the reduction and the reference set on the rows of `X`. All or
    /// nothing: when it throws, the engine answers exactly as before.
    void train(const MatrixView& X, const std::vector<std::string>& y, bool scale);
    /// The same, taking over the labels instead of copying them.
    void train(const MatrixView& X, std::vector<std::string>&& y, bool scale);

    /// Label of one sample of the trained feature count.
    std::string predict(const Eigen::VectorXd& x) const;

    /// Labels of the rows of `X`, in row order, classified in parallel; the
    /// same labels as `predict` row by row, for any thread count.
    std::vector<std::string> predict_batch(const MatrixView& X) const;

    /// The `k` nearest training rows of each row of `X`, ascending in
    /// (distance, index), found by the same parallel search as the vote:
    /// Euclidean distances in the reduced space at distances[i * k + j] and
    /// training-row indices at indices[i * k + j]. Refuses an untrained engine
    /// and a `k` outside 1 to the training row count; this `k` is its own,
    /// not the config's.
    void kneighbors(const MatrixView& X, int k, double* distances, std::int64_t* indices) const;

    /// The `k` nearest training rows of every training row (itself included,
    /// as `kneighbors` of the training set would find it), from the reduced
    /// rows the engine holds: the caller's X is not needed.
    void training_neighbours(int k, double* distances, std::int64_t* indices) const;

    /// For queries already in the reduced space (`n_components()` values each,
    /// row i at P + i * stride), the m = min(k, training rows) nearest training
    /// rows in (squared distance, index) order: squared distances as the search
    /// computes them, indices, and the ranks of their labels among
    /// `distinct_labels()`, each to [i * m + j]. What a shard of a reference set
    /// split over processes answers: merged in that order, the shards' lists
    /// give the whole set's. Refuses an untrained engine and k < 1.
    void nearest_reduced(const double* P, Eigen::Index rows, Eigen::Index stride, int k, double* sq_distances,
                         std::int64_t* indices, int* ranks) const;
    /// The distinct training labels, byte-wise sorted, and how many rows carry each.
    std::vector<std::string> distinct_labels() const;
    std::vector<std::int64_t> label_counts() const;

    /// Refuses, as `kneighbors` does, an untrained engine and a `k` outside 1
    /// to the training row count: for callers that allocate `k` columns first.
    void check_neighbour_count(int k) const;

    /// A copy of everything the engine answers from.
    State state() const;

    /// Replaces the model (config included) with the one `state` holds, all
    /// at once as `train` installs a model; queries running meanwhile answer
    /// wholly from the old one. Refuses an inconsistent state, changing nothing.
    void restore(State state);
    /// The same from a model file.
    void restore(const format::ModelFile& file);

    /// Writes the model to `path` (atomically: see format::ModelFile::save).
    /// Training or restoring meanwhile changes nothing of what is written.
    void save(const std::string& path) const;
    /// The bytes such a file holds, for pickling. The same model always
    /// gives the same bytes.
    std::string image() const;

    /// Rows of X in the reduced space, exactly as the search measures them, to
    /// out[i * n_components() + j], in parallel. Refuses what `kneighbors`
    /// refuses in X; an untrained engine writes nothing.
    void transform(const MatrixView& X, double* out) const;

    /// A copy of the reduction, for inspection.
    Reduction reduction() const;

    /// Components kept by the last successful train; 0 before the first.
    int n_components() const;
    /// The engine's own copy of its settings.
    KNNConfig settings() const;
    /// Features of the training set; 0 before the first train.
    Eigen::Index n_features() const;
    /// Training rows held; 0 before the first train.
    Eigen::Index n_samples() const;

private:
    void check_query(const MatrixView& X, const char* what) const;
    /// Projects rows [first, first + count) of X and writes their labels to out:
    /// the one path of predict and predict_batch.
    void classify_rows(const MatrixView& X, Eigen::Index first, Eigen::Index count, std::string* out,
                       KNNClassifier::Scratch& scratch, std::vector<double>& projected,
                       const char* what) const;
    /// Rows [first, first + count) of X in the reduced space, row-major.
    /// Refuses NaN and infinity in those rows, naming `what`.
    void project_rows(const MatrixView& X, Eigen::Index first, Eigen::Index count,
                      std::vector<double>& projected, const char* what) const;
    /// Runs work(first, count, scratch, projection buffer) over blocks of rows
    /// of X on an OpenMP team; the failure of the earliest block is rethrown here.
    using BlockWork = std::function<void(Eigen::Index, Eigen::Index, KNNClassifier::Scratch&, std::vector<double>&)>;
    void for_each_block(Eigen::Index rows, const BlockWork& work) const;
    /// The kneighbors refusals, under a lock the caller holds.
    void check_count_locked(int k) const;
    /// What a model file holds, taken under the shared lock.
    struct Snapshot;
    Snapshot snapshot() const;
    /// Installs a model built aside, config included, under the exclusive lock.
    void install(KNNConfig settings, std::unique_ptr<AdaptivePCA> new_pca,
                 std::unique_ptr<KNNClassifier> new_classifier);

    mutable std::shared_mutex mutex;            ///< shared by queries, exclusive to install a model
    KNNConfig config;                           ///< the engine's own copy of its settings
    std::unique_ptr<AdaptivePCA> pca;           ///< the reduction; never null
    std::unique_ptr<KNNClassifier> classifier;  ///< the neighbour vote; never null
};

}  // namespace quorvane
