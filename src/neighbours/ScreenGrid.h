#pragma once

#include <cstdint>
#include <vector>

#include <Eigen/Dense>

#include "common/SharedArray.h"

namespace quorvane {

/// A coarse grid over the leading components of a set of samples: each axis
/// cut at its quantiles into a few bins, cells numbered axis by axis, about
/// `per_cell` samples to a cell. Samples taken in cell order lie close
/// together, and a query's own cell holds samples near it; the search uses
/// both to rule samples out sooner. It changes speed only, never an answer.
class ScreenGrid {
public:
    using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    ScreenGrid() = default;
    explicit ScreenGrid(const RowMatrix& samples, Eigen::Index per_cell = 16, Eigen::Index max_axes = 6);

    /// What a grid is made of, as a model file stores it.
    struct Parts {
        std::vector<std::int64_t> bins;      ///< bins per axis
        std::vector<double> cuts;            ///< each axis's bins - 1 cuts, one axis after another
        common::SharedArray<int> order;      ///< sample indices sorted by cell
        common::SharedArray<int> starts;     ///< cells + 1 positions in order
    };
    Parts parts() const { return {bins_, cuts_, order_, starts_}; }

    /// A stored grid over n samples of `dimension` values. Refuses, with
    /// std::invalid_argument, parts that do not describe one: more axes than
    /// values, bins that are not powers of two, counts that disagree, cell
    /// starts out of order or range, a sample index outside [0, n).
    ScreenGrid(Parts parts, Eigen::Index n, Eigen::Index dimension);

    /// The cell of a point with at least as many values as the grid has axes.
    Eigen::Index cell(const double* x) const;

    /// Sample indices sorted by cell, ties by index.
    const common::SharedArray<int>& order() const { return order_; }

    /// Position in order() of the first sample of cell c (c <= number of cells).
    Eigen::Index cell_start(Eigen::Index c) const { return starts_[static_cast<std::size_t>(c)]; }

private:
    std::vector<std::int64_t> bins_;  ///< bins per axis, a power of two
    std::vector<double> cuts_;        ///< each axis's bins - 1 ascending cuts, one axis after another
    common::SharedArray<int> order_;  ///< sample indices sorted by cell, ties by index
    common::SharedArray<int> starts_; ///< cells + 1 entries
};

}  // namespace quorvane
