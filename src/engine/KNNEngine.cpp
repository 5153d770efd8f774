#include "KNNEngine.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <exception>
#include <mutex>
#include <stdexcept>

#include <omp.h>

#include "common/Console.h"
#include "linalg/MatrixView.h"
#include "common/Memory.h"
#include "common/Parallel.h"
#include "common/SideTask.h"

namespace quorvane {

namespace {

using Index = Eigen::Index;

// Rows projected and classified together by one thread: at least 64, so a
// small batch is not split finer than it is worth, and up to 256 once there
// are rows enough for every thread, because the search groups near queries
// of a block together (256 rows: 7% faster than 64 on the large benchmark).
constexpr Index kMinBlock = 64;
constexpr Index kMaxBlock = 256;

Index block_rows(Index rows) {
    const Index threads = common::threads_usable() ? omp_get_max_threads() : 1;
    return std::clamp<Index>((rows + threads - 1) / threads, kMinBlock, kMaxBlock);
}

}  // namespace

KNNEngine::KNNEngine(KNNConfig config)
    : config(config),
      pca(std::make_unique<AdaptivePCA>(config.variance)),
      classifier(std::make_unique<KNNClassifier>(config.k)) {}

KNNEngine::KNNEngine(State state) : KNNEngine(state.config) { restore(std::move(state)); }

void KNNEngine::restore(State state) {
    const Index c = state.components.cols();
    if (state.reference.cols() != c && !(state.reference.size() == 0 && state.mean.size() == 0)) {
        throw std::invalid_argument("inconsistent engine state: " + std::to_string(c) +
                                    " components but reference samples of " +
                                    std::to_string(state.reference.cols()));
    }
    if ((state.mean.size() != 0) != (state.reference.rows() != 0)) {
        throw std::invalid_argument("inconsistent engine state: " + std::to_string(state.mean.size()) +
                                    " features but " + std::to_string(state.reference.rows()) +
                                    " reference samples");
    }
    // Built aside and installed at once, as train installs a model.
    auto new_pca = std::make_unique<AdaptivePCA>(state.config.variance);
    new_pca->restore(std::move(state.mean), std::move(state.feature_scale), std::move(state.components));
    auto new_classifier = std::make_unique<KNNClassifier>(state.config.k);
    new_classifier->fit(state.reference, std::move(state.labels));
    if (!new_classifier->sq_norms.allFinite()) {
        throw std::invalid_argument("reference samples too large: their squared norms overflow");
    }
    const std::unique_lock lock(mutex);
    config = state.config;
    pca.swap(new_pca);
    classifier.swap(new_classifier);
}

KNNEngine::State KNNEngine::state() const {
    const std::shared_lock lock(mutex);
    State s;
    s.config = config;
    s.mean = pca->mean;
    s.feature_scale = pca->feature_scale;
    s.components = pca->components;
    s.reference = classifier->X_train;
    s.labels = classifier->y_train;
    return s;
}

KNNEngine::~KNNEngine() {
    classifier.reset();
    pca.reset();
}

void KNNEngine::train(const MatrixView& X, const std::vector<std::string>& y, bool scale) {
    train(X, std::vector<std::string>(y), scale);
}

void KNNEngine::train(const MatrixView& X, std::vector<std::string>&& y, bool scale) {
    // Every step below polls for Ctrl-C on one 20 ms cadence.
    const common::InterruptWindow window;
    const KNNConfig settings = [this] {
        const std::shared_lock lock(mutex);
        return config;
    }();
    if (X.rows() == 0 || X.cols() == 0) {
        throw std::invalid_argument("X must have at least one row and one column, got " +
                                    std::to_string(X.rows()) + " x " + std::to_string(X.cols()));
    }
    if (static_cast<Index>(y.size()) != X.rows()) {
        throw std::invalid_argument("y has " + std::to_string(y.size()) + " labels but X has " +
                                    std::to_string(X.rows()) + " rows");
    }
    // Built aside and swapped in only when every step succeeded, so a failed
    // train never leaves a reduction and a reference set of different sizes.
    // The fit refuses NaN and infinity, which it sees in its column sums,
    // before it prints anything.
    auto new_pca = std::make_unique<AdaptivePCA>(settings.variance);
    // The labels are ranked on the core the eigen-decomposition leaves idle.
    KNNClassifier::Labels labels;
    common::SideTask rank_labels([&labels, &y] { labels = KNNClassifier::prepare(std::move(y)); });
    new_pca->fit(X, scale, rank_labels);
    KNNClassifier::RowMatrix reduced(X.rows(), new_pca->n_components);
    common::advise_huge_pages(reduced.data(), static_cast<std::size_t>(reduced.size()) * sizeof(double));
    new_pca->project(X, 0, X.rows(), reduced.data(), reduced.cols());
    auto new_classifier = std::make_unique<KNNClassifier>(settings.k);
    new_classifier->fit(std::move(reduced), std::move(labels));
    // The search's range check has already vouched for most sets.
    const KNNClassifier::RowMatrix& stored = new_classifier->X_train;
    if (!new_classifier->finite() && !linalg::all_finite(stored.data(), stored.size())) {
        throw std::invalid_argument("X spans too wide a range of values: its projection overflows double precision");
    }

    const int kept = new_pca->n_components;
    {
        const std::unique_lock lock(mutex);
        pca.swap(new_pca);
        classifier.swap(new_classifier);
    }
    console::write_line("[Engine] Trained successfully. Reduced to " + std::to_string(kept) + " dimensions.");
}

void KNNEngine::check_query(const MatrixView& X, const char* what) const {
    if (!pca->fitted()) return;
    if (X.cols() != pca->mean.size()) {
        throw std::invalid_argument(std::string(what) + " has " + std::to_string(X.cols()) +
                                    " features, but the engine was trained with " +
                                    std::to_string(pca->mean.size()));
    }
}

int KNNEngine::n_components() const {
    const std::shared_lock lock(mutex);
    return pca->n_components;
}

Index KNNEngine::n_features() const {
    const std::shared_lock lock(mutex);
    return pca->mean.size();
}

Index KNNEngine::n_samples() const {
    const std::shared_lock lock(mutex);
    return classifier->X_train.rows();
}

std::string KNNEngine::predict(const Eigen::VectorXd& x) const {
    const std::shared_lock lock(mutex);
    const Eigen::Map<const Eigen::MatrixXd> row(x.data(), 1, x.size());
    check_query(row, "x");
    if (!pca->fitted()) return "Unknown";
    // The one-row case of predict_batch, so both always agree.
    KNNClassifier::Scratch scratch;
    std::vector<double> projected;
    std::string label;
    classify_rows(row, 0, 1, &label, scratch, projected, "x");
    return label;
}

void KNNEngine::classify_rows(const MatrixView& X, Index first, Index count, std::string* out,
                              KNNClassifier::Scratch& scratch, std::vector<double>& projected,
                              const char* what) const {
    project_rows(X, first, count, projected, what);
    classifier->classify(projected.data(), count, pca->n_components, out, scratch);
}

void KNNEngine::project_rows(const MatrixView& X, Index first, Index count, std::vector<double>& projected,
                             const char* what) const {
    projected.resize(static_cast<std::size_t>(count * pca->n_components));
    pca->project_finite(X, first, count, projected.data(), what);
}

std::vector<std::string> KNNEngine::predict_batch(const MatrixView& X) const {
    if (X.rows() == 0) return {};
    if (X.rows() > INT_MAX) {
        throw std::invalid_argument("X has " + std::to_string(X.rows()) +
                                    " rows, more than the 2147483647 a batch can index");
    }
    const std::shared_lock lock(mutex);
    check_query(X, "X");
    std::vector<std::string> labels(static_cast<std::size_t>(X.rows()));
    if (!pca->fitted()) {
        std::fill(labels.begin(), labels.end(), "Unknown");
        return labels;
    }

    for_each_block(X.rows(), [&](Index first, Index count, KNNClassifier::Scratch& scratch,
                                 std::vector<double>& projected) {
        classify_rows(X, first, count, labels.data() + first, scratch, projected, "X");
    });
    return labels;
}

void KNNEngine::check_count_locked(int k) const {
    if (!pca->fitted()) throw std::invalid_argument("kneighbors needs a trained engine");
    const Index n = classifier->X_train.rows();
    if (k < 1 || k > n) {
        throw std::invalid_argument("k is " + std::to_string(k) + ", but must be between 1 and the " +
                                    std::to_string(n) + " training samples");
    }
}

void KNNEngine::check_neighbour_count(int k) const {
    const std::shared_lock lock(mutex);
    check_count_locked(k);
}

void KNNEngine::training_neighbours(int k, double* distances, std::int64_t* indices) const {
    const std::shared_lock lock(mutex);
    check_count_locked(k);
    // The stored rows are the training rows as projected for any query, bit
    // for bit, so these are the neighbours kneighbors(X_train) would find.
    const KNNClassifier::RowMatrix& rows = classifier->X_train;
    for_each_block(rows.rows(), [&](Index first, Index count, KNNClassifier::Scratch& scratch, std::vector<double>&) {
        classifier->neighbours(rows.data() + first * rows.cols(), count, rows.cols(), k, distances + first * k,
                               indices + first * k, scratch);
    });
}

void KNNEngine::kneighbors(const MatrixView& X, int k, double* distances, std::int64_t* indices) const {
    const std::shared_lock lock(mutex);
    check_count_locked(k);
    if (X.rows() > INT_MAX) {
        throw std::invalid_argument("X has " + std::to_string(X.rows()) +
                                    " rows, more than the 2147483647 a batch can index");
    }
    check_query(X, "X");
    for_each_block(X.rows(), [&](Index first, Index count, KNNClassifier::Scratch& scratch,
                                 std::vector<double>& projected) {
        project_rows(X, first, count, projected, "X");
        classifier->neighbours(projected.data(), count, pca->n_components, k, distances + first * k,
                               indices + first * k, scratch);
    });
}

void KNNEngine::for_each_block(Index rows, const BlockWork& work) const {
    const Index block = block_rows(rows);
    const int blocks = static_cast<int>((rows + block - 1) / block);
    // An exception must not leave a worker thread; the one of the earliest
    // block is rethrown here, so a bad row is named as a serial scan would.
    std::exception_ptr failure;
    int failed_block = blocks;
    common::InterruptCheck interrupt;
    // One block is not worth a team: small batches, as a server sends them,
    // run on the calling thread.
#pragma omp parallel if (blocks > 1 && common::threads_usable())
    {
        KNNClassifier::Scratch scratch;
        std::vector<double> projected;
        // Blocks go to threads as they come free, so a core the host slows
        // takes fewer; the calling thread, which watches for interruption,
        // takes blocks until none is left, as long as the others.
#pragma omp for schedule(dynamic, 1)
        for (int b = 0; b < blocks; ++b) {
            if (interrupt.stop()) continue;
            try {
                const Index first = b * block;
                const Index count = std::min<Index>(block, rows - first);
                work(first, count, scratch, projected);
            } catch (...) {
#pragma omp critical(quorvane_batch_failure)
                if (b < failed_block) {
                    failure = std::current_exception();
                    failed_block = b;
                }
            }
        }
    }
    interrupt.finish();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace quorvane
