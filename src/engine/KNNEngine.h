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
    explicit KNNEngine(KNNConfig config);
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

    /// Components kept by the last successful train; 0 before the first.
    int n_components() const { return pca->n_components; }

private:
    void check_query(const MatrixView& X, const char* what) const;

    KNNConfig config;                           ///< the engine's own copy of its settings
    std::unique_ptr<AdaptivePCA> pca;           ///< the reduction; never null
    std::unique_ptr<KNNClassifier> classifier;  ///< the neighbour vote; never null
};

}  // namespace quorvane
