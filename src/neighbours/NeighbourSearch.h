#pragma once

#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "ScreenGrid.h"
#include "common/SharedArray.h"
#include "TopK.h"

namespace quorvane {

/// An allocator whose resize leaves new elements uninitialised: buffers the
/// fit writes in full on the whole team are not first zeroed on one thread.
template <typename T>
struct Uninitialised : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = Uninitialised<U>;
    };
    Uninitialised() = default;
    template <typename U>
    Uninitialised(const Uninitialised<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

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
        std::vector<float> screen_queries;     ///< the block's queries times -2, in float panels
        std::vector<double> screen_partials;   ///< each query's squared norm up to each stage's end
        std::vector<double> screen_slack;      ///< each query's allowance for float rounding
        std::vector<double> screen_seeds;      ///< per query, an upper bound on its m-th distance
        std::vector<double> seed_distances;    ///< distances to one query's seed samples
        std::vector<Eigen::Index> slot_cells;  ///< each query's grid cell
        std::vector<Eigen::Index> slot_rows;   ///< the query in each panel slot
        std::vector<float> screen_limits;      ///< per query panel, stage and query: the screen's limits
    };

    /// Replaces the stored samples (one per row) and everything derived from them.
    void fit(RowMatrix samples);

    /// What a search is made of, as a model file stores it: read in place,
    /// the stored arrays are shared with every process that maps the file.
    struct Parts {
        Eigen::Index rows = 0;                     ///< samples
        Eigen::Index dimension = 0;                ///< values per sample
        common::SharedArray<double> samples;       ///< rows x dimension, row-major
        common::SharedArray<double> sq_norms;      ///< per sample
        bool screened = false;                     ///< float screening serves these samples
        ScreenGrid::Parts grid;                    ///< the screen's cells (screened only)
        common::SharedArray<double> screen_rows;   ///< samples in the grid's order (screened only)
        common::SharedArray<double> screen_norms;  ///< their squared norms (screened only)
        common::SharedArray<float> screen_panels;  ///< the float panels (screened only)
        double screen_root = 0.0;                  ///< largest sample norm, rounded up (screened only)
    };
    Parts parts() const;

    /// Replaces everything with stored parts, nothing recomputed from the
    /// samples. Refuses, with std::invalid_argument, parts whose sizes
    /// disagree or whose grid names an index out of range: the search then
    /// never reads outside them. Values are taken as they are.
    void restore(Parts parts);

    /// Finds the min(k, n) nearest stored samples of each of `rows` queries of
    /// `dimension()` values, row i at `queries + i * stride`, into s.top (one
    /// heap per query, unsorted). Needs k >= 1 and at least one stored sample.
    void search(const double* queries, Eigen::Index rows, Eigen::Index stride, int k, Scratch& s) const;

    /// Components per stored sample (the query length `search` expects).
    Eigen::Index dimension() const { return dimension_; }
    /// Stored samples, one per row.
    Eigen::Map<const RowMatrix> samples() const { return {samples_.data(), rows_, dimension_}; }
    /// True when float screening serves these samples: every value lies well
    /// inside float's range, so none is NaN or infinite.
    bool screened() const { return screen_; }
    /// Squared Euclidean norm of each stored sample.
    Eigen::Map<const Eigen::VectorXd> sq_norms() const { return {sq_norms_.data(), rows_}; }

    /// Tile sizes; they change speed only, never an answer. Callers split
    /// their queries into blocks of `query_block()` rows.
    void set_block_sizes(Eigen::Index query_block, Eigen::Index sample_block);
    Eigen::Index query_block() const { return query_block_; }

private:
    /// Takes over checked parts, with the grid built from them and the stage stops.
    void assign(Parts parts, ScreenGrid grid, std::vector<Eigen::Index> stops);
    void scan(const double* queries, Eigen::Index rows, Eigen::Index stride, Scratch& s) const;
    void screened_scan(const double* queries, Eigen::Index rows, Eigen::Index stride, int m, Scratch& s) const;

    Eigen::Index rows_ = 0;                     ///< stored samples
    Eigen::Index dimension_ = 0;                ///< values per sample
    common::SharedArray<double> samples_;       ///< stored samples, each row contiguous
    common::SharedArray<double> sq_norms_;      ///< squared Euclidean norm of each row of samples_
    /// samples_ in k-major double panels of kNR samples with their norms,
    /// zero-padded: only a search the float screen cannot serve needs them,
    /// so the first such search builds them.
    struct DoublePanels {
        std::once_flag once;
        std::vector<double> panels;
        std::vector<double> norms;
    };
    const DoublePanels& double_panels() const;

    bool screen_ = false;                       ///< float screening is safe for these samples
    ScreenGrid grid_;                           ///< cells of the samples; the screen takes them in its order
    common::SharedArray<double> screen_rows_;   ///< samples_ in screen order, for the exact distances
    common::SharedArray<double> screen_norms_;  ///< sq_norms_ in screen order
    common::SharedArray<float> screen_panels_;  ///< samples in screen order: per pair of panels, increments then values
    std::vector<Eigen::Index> stops_;           ///< depth at which each screen stage ends
    double screen_root_ = 0.0;                  ///< largest sample norm, rounded up
    std::shared_ptr<DoublePanels> double_panels_ = std::make_shared<DoublePanels>();
    Eigen::Index query_block_ = 256;
    Eigen::Index sample_block_ = 0;     ///< 0: sized from the dimension to stay in cache
};

}  // namespace quorvane
