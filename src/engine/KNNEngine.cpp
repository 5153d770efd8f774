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

// Batches are indexed by a 32-bit counter.
void require_batch_rows(const MatrixView& X) {
    if (X.rows() > INT_MAX) {
        throw std::invalid_argument("X has " + std::to_string(X.rows()) +
                                    " rows, more than the 2147483647 a batch can index");
    }
}

Index block_rows(Index rows) {
    const Index threads = common::threads_usable() ? omp_get_max_threads() : 1;
    return std::clamp<Index>((rows + threads - 1) / threads, kMinBlock, kMaxBlock);
}

// The sections of a model file, as docs/model-file.md lists them. CNFI holds
// k, samples, features, components, screened (0 or 1), distinct labels, the
// majority label's rank and a reserved 0; CNFD the variance setting, the
// total variance and the screen's largest norm.
constexpr format::Tag kIntegers{"CNFI"}, kReals{"CNFD"}, kMean{"MEAN"}, kScale{"SCAL"}, kComponents{"COMP"},
    kExplained{"EVAR"}, kReference{"REFR"}, kNorms{"NORM"}, kLabelOffsets{"LOFF"}, kLabelBytes{"LBYT"},
    kLabelRanks{"LRNK"}, kDistinctOffsets{"DOFF"}, kDistinctBytes{"DBYT"}, kGridBins{"GBIN"}, kGridCuts{"GCUT"},
    kGridOrder{"GORD"}, kGridStarts{"GSTA"}, kScreenRows{"SROW"}, kScreenNorms{"SNRM"}, kScreenPanels{"SPNL"};
constexpr std::uint64_t kIntegerCount = 8, kRealCount = 3;

template <typename T>
format::Section section(format::Tag tag, const T* data, std::uint64_t rows, std::uint64_t cols = 1) {
    return {tag, format::TypeOf<T>::value, rows, cols, data};
}

}  // namespace

// Everything a file holds, taken under the engine's lock. The arrays are
// shared with the engine, so a train or restore meanwhile changes nothing
// of what is written, and nothing large is copied.
struct KNNEngine::Snapshot {
    std::vector<std::int64_t> integers;
    std::vector<double> reals;
    Eigen::VectorXd mean, feature_scale, explained_variance;
    Eigen::MatrixXd components;
    KNNClassifier::Parts parts;

    std::vector<format::Section> sections() const {
        std::vector<format::Section> out = {section(kIntegers, integers.data(), kIntegerCount),
                                            section(kReals, reals.data(), kRealCount)};
        const auto d = static_cast<std::uint64_t>(mean.size());
        if (d == 0) return out;
        const auto n = static_cast<std::uint64_t>(parts.search.rows), m = static_cast<std::uint64_t>(components.cols());
        const NeighbourSearch::Parts& search = parts.search;
        out.insert(out.end(), {
            section(kMean, mean.data(), d), section(kScale, feature_scale.data(), d),
            section(kComponents, components.data(), m, d),  // column j of d x m is row j here
            section(kExplained, explained_variance.data(), m),
            section(kReference, search.samples.data(), n, m), section(kNorms, search.sq_norms.data(), n),
            section(kLabelOffsets, parts.labels.offsets().data(), n + 1),
            section(kLabelBytes, parts.labels.bytes().data(), parts.labels.bytes().size()),
            section(kLabelRanks, parts.ranks.data(), n),
            section(kDistinctOffsets, parts.distinct.offsets().data(), parts.distinct.size() + 1),
            section(kDistinctBytes, parts.distinct.bytes().data(), parts.distinct.bytes().size()),
        });
        if (search.screened) {
            out.insert(out.end(), {
                section(kGridBins, search.grid.bins.data(), search.grid.bins.size()),
                section(kGridCuts, search.grid.cuts.data(), search.grid.cuts.size()),
                section(kGridOrder, search.grid.order.data(), search.grid.order.size()),
                section(kGridStarts, search.grid.starts.data(), search.grid.starts.size()),
                section(kScreenRows, search.screen_rows.data(), n, m),
                section(kScreenNorms, search.screen_norms.data(), n),
                section(kScreenPanels, search.screen_panels.data(), search.screen_panels.size()),
            });
        }
        return out;
    }
};

namespace {

template <typename T>
Eigen::Matrix<T, Eigen::Dynamic, 1> copied(const common::SharedArray<T>& values) {
    return Eigen::Map<const Eigen::Matrix<T, Eigen::Dynamic, 1>>(values.data(), static_cast<Index>(values.size()));
}

void require_finite_values(const Eigen::MatrixXd& values, const char* what) {
    if (!values.allFinite()) format::invalid(std::string(what) + " holds NaN or infinity");
}

// The parts of an engine a model file holds, each count and index proved in
// range before anything is built from it.
struct FileModel {
    KNNConfig config;
    std::unique_ptr<AdaptivePCA> pca;
    std::unique_ptr<KNNClassifier> classifier;
};

FileModel read_model(const format::ModelFile& f) {
    const common::SharedArray<std::int64_t> integers = f.array<std::int64_t>(kIntegers, kIntegerCount, 1);
    const common::SharedArray<double> reals = f.array<double>(kReals, kRealCount, 1);
    const std::int64_t k = integers[0], n = integers[1], d = integers[2], m = integers[3], screened = integers[4],
                       distinct = integers[5], majority = integers[6], reserved = integers[7];
    FileModel model;
    if (k < INT_MIN || k > INT_MAX) format::invalid("k of " + std::to_string(k) + " is outside 32 bits");
    model.config.k = static_cast<int>(k);
    model.config.variance = reals[0];
    model.pca = std::make_unique<AdaptivePCA>(model.config.variance);
    model.classifier = std::make_unique<KNNClassifier>(model.config.k);
    std::vector<format::Tag> expected = {kIntegers, kReals};
    if (d == 0) {
        if (n != 0 || m != 0) format::invalid("an untrained model holding " + std::to_string(n) + " samples");
        for (const format::Tag tag : f.tags())
            if (std::find(expected.begin(), expected.end(), tag) == expected.end()) format::invalid("an untrained model has a section " + tag.str());
        return model;
    }
    if (d < 0 || d > INT_MAX) format::invalid(std::to_string(d) + " features");
    if (n < 1 || n > INT_MAX) format::invalid(std::to_string(n) + " samples, not 1 to 2147483647");
    if (m < 1 || m > d) format::invalid(std::to_string(m) + " components for " + std::to_string(d) + " features");
    if (screened != 0 && screened != 1) format::invalid("a screen flag of " + std::to_string(screened));
    if (distinct < 1 || distinct > n) format::invalid(std::to_string(distinct) + " distinct labels for " + std::to_string(n) + " samples");
    if (reserved != 0) format::invalid("a reserved count of " + std::to_string(reserved) + ", not 0");
    expected.insert(expected.end(), {kMean, kScale, kComponents, kExplained, kReference, kNorms, kLabelOffsets,
                                     kLabelBytes, kLabelRanks, kDistinctOffsets, kDistinctBytes});
    if (screened == 1) {
        expected.insert(expected.end(), {kGridBins, kGridCuts, kGridOrder, kGridStarts, kScreenRows, kScreenNorms,
                                         kScreenPanels});
    }
    for (const format::Tag tag : f.tags()) {
        if (std::find(expected.begin(), expected.end(), tag) == expected.end()) {
            format::invalid("a section " + tag.str() + " this model has no use for");
        }
    }
    const auto un = static_cast<std::uint64_t>(n), ud = static_cast<std::uint64_t>(d), um = static_cast<std::uint64_t>(m);

    // The reduction: small, copied, and every value checked.
    Eigen::VectorXd mean = copied(f.array<double>(kMean, ud, 1));
    Eigen::VectorXd scale = copied(f.array<double>(kScale, ud, 1));
    Eigen::MatrixXd components = Eigen::Map<const Eigen::MatrixXd>(f.array<double>(kComponents, um, ud).data(), d, m);
    require_finite_values(mean, "the mean");
    require_finite_values(scale, "the feature scale");
    require_finite_values(components, "the components");
    if ((scale.array() <= 0.0).any()) format::invalid("the feature scale holds a divisor that is not positive");
    model.pca->restore(std::move(mean), std::move(scale), std::move(components), copied(f.array<double>(kExplained, um, 1)),
                       reals[1]);

    // The reference set and the search's index: read in place. Values are
    // taken as they are (a damaged one gives wrong answers, never a read
    // outside the file); counts and indices are proved in range.
    KNNClassifier::Parts parts;
    NeighbourSearch::Parts& search = parts.search;
    search.rows = n;
    search.dimension = m;
    search.samples = f.array<double>(kReference, un, um);
    search.sq_norms = f.array<double>(kNorms, un, 1);
    search.screened = screened == 1;
    if (search.screened) {
        const common::SharedArray<std::int64_t> bins = f.array<std::int64_t>(kGridBins, f.rows(kGridBins), 1);
        const common::SharedArray<double> cuts = f.array<double>(kGridCuts, f.rows(kGridCuts), 1);
        search.grid.bins.assign(bins.begin(), bins.end());
        search.grid.cuts.assign(cuts.begin(), cuts.end());
        search.grid.order = f.array<int>(kGridOrder, un, 1);
        search.grid.starts = f.array<int>(kGridStarts, f.rows(kGridStarts), 1);
        search.screen_rows = f.array<double>(kScreenRows, un, um);
        search.screen_norms = f.array<double>(kScreenNorms, un, 1);
        search.screen_panels = f.array<float>(kScreenPanels, f.rows(kScreenPanels), 1);
        search.screen_root = reals[2];
    }
    parts.labels = LabelTable(f.array<std::uint64_t>(kLabelOffsets, un + 1, 1),
                              f.array<char>(kLabelBytes, f.rows(kLabelBytes), 1));
    parts.ranks = f.array<int>(kLabelRanks, un, 1);
    parts.distinct = LabelTable(f.array<std::uint64_t>(kDistinctOffsets, static_cast<std::uint64_t>(distinct) + 1, 1),
                                f.array<char>(kDistinctBytes, f.rows(kDistinctBytes), 1));
    parts.majority = majority;
    model.classifier->restore(std::move(parts));
    return model;
}

FileModel checked_model(const format::ModelFile& f) {
    // The parts' own refusals, said as the file's.
    try {
        return read_model(f);
    } catch (const std::invalid_argument& e) {
        const std::string why = e.what();
        if (why.rfind("invalid quorvane model file: ", 0) == 0) throw;
        format::invalid(why);
    }
}

}  // namespace

KNNEngine::KNNEngine(KNNConfig config)
    : config(config),
      pca(std::make_unique<AdaptivePCA>(config.variance)),
      classifier(std::make_unique<KNNClassifier>(config.k)) {}

KNNEngine::KNNEngine(State state) : KNNEngine(state.config) { restore(std::move(state)); }

KNNEngine::KNNEngine(const format::ModelFile& file) : KNNEngine(KNNConfig{}) { restore(file); }

void KNNEngine::install(KNNConfig settings, std::unique_ptr<AdaptivePCA> new_pca,
                        std::unique_ptr<KNNClassifier> new_classifier) {
    const std::unique_lock lock(mutex);
    config = settings;
    pca.swap(new_pca);
    classifier.swap(new_classifier);
}

void KNNEngine::restore(const format::ModelFile& file) {
    FileModel model = checked_model(file);
    install(model.config, std::move(model.pca), std::move(model.classifier));
}

KNNEngine::Snapshot KNNEngine::snapshot() const {
    const std::shared_lock lock(mutex);
    Snapshot s;
    const KNNClassifier::Parts parts = classifier->parts();
    s.integers = {config.k, parts.search.rows, pca->mean.size(), pca->n_components, parts.search.screened ? 1 : 0,
                  static_cast<std::int64_t>(parts.distinct.size()), parts.majority, 0};
    s.reals = {config.variance, pca->total_variance, parts.search.screen_root};
    s.mean = pca->mean;
    s.feature_scale = pca->feature_scale;
    s.components = pca->components;
    s.explained_variance = pca->explained_variance;
    s.parts = parts;
    return s;
}

void KNNEngine::save(const std::string& path) const { format::ModelFile::save(path, snapshot().sections()); }

std::string KNNEngine::image() const { return format::ModelFile::image(snapshot().sections()); }

KNNEngine::Reduction KNNEngine::reduction() const {
    const std::shared_lock lock(mutex);
    return {pca->mean, pca->feature_scale, pca->components, pca->explained_variance, pca->total_variance};
}

void KNNEngine::transform(const MatrixView& X, double* out) const {
    const std::shared_lock lock(mutex);
    if (!pca->fitted()) return;
    require_batch_rows(X);
    check_query(X, "X");
    const Index c = pca->n_components;
    // The projection of the search itself, block by block on the team.
    for_each_block(X.rows(), [&](Index first, Index count, KNNClassifier::Scratch&, std::vector<double>&) {
        pca->project_finite(X, first, count, out + first * c, "X");
    });
}

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
    if (state.explained_variance.size() == 0 && state.reference.rows() > 0) {
        // A state saved before they were kept: the reduced rows' own variances.
        const Eigen::MatrixXd centred = state.reference.rowwise() - state.reference.colwise().mean();
        const double dof = std::max<double>(1.0, static_cast<double>(state.reference.rows() - 1));
        state.explained_variance = centred.colwise().squaredNorm().transpose() / dof;
    }
    auto new_pca = std::make_unique<AdaptivePCA>(state.config.variance);
    new_pca->restore(std::move(state.mean), std::move(state.feature_scale), std::move(state.components),
                     std::move(state.explained_variance), state.total_variance);
    auto new_classifier = std::make_unique<KNNClassifier>(state.config.k);
    new_classifier->fit(state.reference, std::move(state.labels));
    if (!new_classifier->sq_norms.allFinite()) {
        throw std::invalid_argument("reference samples too large: their squared norms overflow");
    }
    install(state.config, std::move(new_pca), std::move(new_classifier));
}

KNNEngine::State KNNEngine::state() const {
    const std::shared_lock lock(mutex);
    State s;
    s.config = config;
    s.mean = pca->mean;
    s.feature_scale = pca->feature_scale;
    s.components = pca->components;
    s.reference = classifier->X_train;
    s.labels = classifier->y_train.strings();
    s.explained_variance = pca->explained_variance;
    s.total_variance = pca->total_variance;
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
    const auto& stored = new_classifier->X_train;  // a view: no copy of the reduced set
    if (!new_classifier->finite() && !linalg::all_finite(stored.data(), stored.size())) {
        throw std::invalid_argument("X spans too wide a range of values: its projection overflows double precision");
    }

    const int kept = new_pca->n_components;
    install(settings, std::move(new_pca), std::move(new_classifier));
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

KNNConfig KNNEngine::settings() const {
    const std::shared_lock lock(mutex);
    return config;
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
    require_batch_rows(X);
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
    const auto& rows = classifier->X_train;
    for_each_block(rows.rows(), [&](Index first, Index count, KNNClassifier::Scratch& scratch, std::vector<double>&) {
        classifier->neighbours(rows.data() + first * rows.cols(), count, rows.cols(), k, distances + first * k,
                               indices + first * k, scratch);
    });
}

void KNNEngine::nearest_reduced(const double* P, Index rows, Index stride, int k, double* sq_distances,
                                std::int64_t* indices, int* ranks) const {
    const std::shared_lock lock(mutex);
    if (!pca->fitted()) throw std::invalid_argument("the engine is not trained");
    if (k < 1) throw std::invalid_argument("k must be at least 1, got " + std::to_string(k));
    if (rows > INT_MAX) throw std::invalid_argument("more than 2147483647 queries at once");
    const Index m = std::min<Index>(k, classifier->X_train.rows());
    for_each_block(rows, [&](Index first, Index count, KNNClassifier::Scratch& scratch, std::vector<double>&) {
        classifier->nearest(P + first * stride, count, stride, k, sq_distances + first * m, indices + first * m,
                            ranks + first * m, scratch);
    });
}

std::vector<std::string> KNNEngine::distinct_labels() const {
    const std::shared_lock lock(mutex);
    return classifier->distinct_labels().strings();
}

std::vector<std::int64_t> KNNEngine::label_counts() const {
    const std::shared_lock lock(mutex);
    return classifier->label_counts();
}

void KNNEngine::kneighbors(const MatrixView& X, int k, double* distances, std::int64_t* indices) const {
    const std::shared_lock lock(mutex);
    check_count_locked(k);
    require_batch_rows(X);
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
