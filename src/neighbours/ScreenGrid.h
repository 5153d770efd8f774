#pragma once

#include <vector>

#include <Eigen/Dense>

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

    /// The cell of a point with at least as many values as the grid has axes.
    Eigen::Index cell(const double* x) const;

    /// Sample indices sorted by cell, ties by index.
    const std::vector<int>& order() const { return order_; }

    /// Position in order() of the first sample of cell c (c <= number of cells).
    Eigen::Index cell_start(Eigen::Index c) const { return starts_[static_cast<std::size_t>(c)]; }

private:
    std::vector<Eigen::Index> bins_;  ///< bins per axis, a power of two
    std::vector<double> cuts_;        ///< each axis's bins - 1 ascending cuts, one axis after another
    std::vector<int> order_;
    std::vector<int> starts_;         ///< cells + 1 entries
};

}  // namespace quorvane
