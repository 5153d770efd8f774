#pragma once

#include <memory>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "KNNConfig.h"
#include "linalg/MatrixView.h"
#include "reduction/AdaptivePCA.h"
#include "neighbours/KNNClassifier.h"

namespace quorvane {

/// Reduces samples with an AdaptivePCA and classifies them with a KNNClassifier.
/// Not synchronised: `train` must not overlap any other call on the same engine;
/// `predict` and `predict_batch` only read it.
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
    };

    explicit KNNEngine(KNNConfig config);

    /// An engine that answers exactly as the one whose state this is. Refuses
    /// a state whose sizes disagree, with std::invalid_argument.
    explicit KNNEngine(State state);
    ~KNNEngine();

    KNNEngine(const KNNEngine&) = delete;
    KNNEngine& operator=(const KNNEngine&) = delete;

    /// Fits the reduction and the reference set on the rows of `X`. All or
    /// nothing: when it throws, the engine answers exactly as before.
    void train(const MatrixView& X, const std::vector<std::string>& y, bool scale);

    /// Label of one sample of the trained feature count.
    std::string predict(const Eigen::VectorXd& x) const;

    /// Labels of the rows of `X`, in row order, classified in parallel; the
    /// same labels as `predict` row by row, for any thread count.
    std::vector<std::string> predict_batch(const MatrixView& X) const;

    /// A copy of everything the engine answers from.
    State state() const;

    /// Components kept by the last successful train; 0 before the first.
    int n_components() const { return pca->n_components; }

private:
    void check_query(const MatrixView& X, const char* what) const;
    /// Projects rows [first, first + count) of X and writes their labels to out:
    /// the one path of predict and predict_batch. Refuses NaN and infinity in
    /// those rows, naming `what`.
    void classify_rows(const MatrixView& X, Eigen::Index first, Eigen::Index count, std::string* out,
                       KNNClassifier::Scratch& scratch, std::vector<double>& projected,
                       const char* what) const;

    KNNConfig config;                           ///< the engine's own copy of its settings
    std::unique_ptr<AdaptivePCA> pca;           ///< the reduction; never null
    std::unique_ptr<KNNClassifier> classifier;  ///< the neighbour vote; never null
};

}  // namespace quorvane
