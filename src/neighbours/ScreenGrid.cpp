#include "ScreenGrid.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "common/Parallel.h"

namespace quorvane {

using Index = Eigen::Index;

ScreenGrid::ScreenGrid(const RowMatrix& samples, Index per_cell, Index max_axes) {
    const Index n = samples.rows();
    const Index axes = std::min<Index>(samples.cols(), max_axes);
    // Bits of cell number, dealt out to the axes in turn, leading axes first.
    Index bits = 0;
    while (bits < 18 && (per_cell << (bits + 1)) <= n) ++bits;
    std::vector<double> column;
    for (Index a = 0; a < axes; ++a) {
        const Index bins = Index{1} << (bits / axes + (a < bits % axes ? 1 : 0));
        if (bins == 1) break;
        bins_.push_back(bins);
        // Quantiles of a sample of the column: the cuts need not be exact.
        const Index stride = std::max<Index>(1, n / 256);
        column.clear();
        for (Index i = 0; i < n; i += stride) column.push_back(samples(i, a));
        std::sort(column.begin(), column.end());
        for (Index b = 1; b < bins; ++b)
            cuts_.push_back(column[static_cast<std::size_t>(b * static_cast<Index>(column.size()) / bins)]);
    }
    Index cells = 1;
    for (const Index b : bins_) cells *= b;

    // A counting sort by cell: stable, so ties stay in index order.
    std::vector<Index> cell_of(static_cast<std::size_t>(n));
    common::InterruptCheck interrupt;
#pragma omp parallel for schedule(static) if (n > (1 << 14) && common::threads_usable())
    for (Index i = 0; i < n; ++i) cell_of[static_cast<std::size_t>(i)] = cell(samples.row(i).data());
    interrupt.poll();
    std::vector<int> starts(static_cast<std::size_t>(cells + 1), 0);
    for (Index i = 0; i < n; ++i) ++starts[static_cast<std::size_t>(cell_of[static_cast<std::size_t>(i)] + 1)];
    for (Index c = 0; c < cells; ++c) starts[static_cast<std::size_t>(c + 1)] += starts[static_cast<std::size_t>(c)];
    std::vector<int> next(starts.begin(), starts.end() - 1);
    std::vector<int> order(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i) order[static_cast<std::size_t>(next[static_cast<std::size_t>(cell_of[static_cast<std::size_t>(i)])]++)] = static_cast<int>(i);
    order_ = common::SharedArray<int>::adopt(std::move(order));
    starts_ = common::SharedArray<int>::adopt(std::move(starts));
}

ScreenGrid::ScreenGrid(Parts parts, Index n, Index dimension)
    : bins_(std::move(parts.bins)), cuts_(std::move(parts.cuts)), order_(std::move(parts.order)),
      starts_(std::move(parts.starts)) {
    // cell() reads one value per axis of a query of `dimension` values, and
    // the search reads order_ and starts_ as indices: each is proved in range.
    if (static_cast<Index>(bins_.size()) > std::min<Index>(dimension, 6)) {
        throw std::invalid_argument("the grid has " + std::to_string(bins_.size()) + " axes for samples of " +
                                    std::to_string(dimension) + " values");
    }
    std::size_t cuts = 0;
    Index cells = 1;
    for (const std::int64_t bins : bins_) {
        if (bins < 2 || bins > (1 << 18) || (bins & (bins - 1)) != 0 || cells * bins > (1 << 18)) {
            throw std::invalid_argument("a grid axis has " + std::to_string(bins) +
                                        " bins, not a power of two within 2^18 cells");
        }
        cells *= bins;
        cuts += static_cast<std::size_t>(bins - 1);
    }
    if (cuts_.size() != cuts) {
        throw std::invalid_argument("the grid holds " + std::to_string(cuts_.size()) + " cuts, expected " +
                                    std::to_string(cuts));
    }
    if (starts_.size() != static_cast<std::size_t>(cells + 1) || starts_[0] != 0 ||
        starts_[static_cast<std::size_t>(cells)] != n) {
        throw std::invalid_argument("the grid's cell starts do not run from 0 to the " + std::to_string(n) +
                                    " samples over its " + std::to_string(cells) + " cells");
    }
    for (Index c = 0; c < cells; ++c) {
        if (starts_[static_cast<std::size_t>(c + 1)] < starts_[static_cast<std::size_t>(c)]) {
            throw std::invalid_argument("the grid's cell starts decrease at cell " + std::to_string(c));
        }
    }
    if (order_.size() != static_cast<std::size_t>(n)) {
        throw std::invalid_argument("the grid orders " + std::to_string(order_.size()) + " samples, expected " +
                                    std::to_string(n));
    }
    for (std::size_t i = 0; i < order_.size(); ++i) {
        if (order_[i] < 0 || order_[i] >= n) {
            throw std::invalid_argument("the grid's order names sample " + std::to_string(order_[i]) + " of " +
                                        std::to_string(n));
        }
    }
}

Index ScreenGrid::cell(const double* x) const {
    Index c = 0;
    const double* cuts = cuts_.data();
    for (std::size_t a = 0; a < bins_.size(); ++a) {
        const Index bins = bins_[a];
        // The number of cuts at or below x, by a search with no branch to
        // mispredict (bins is a power of two); a lone axis has thousands of
        // cuts. NaN lands in bin 0; any bin is right for the order.
        Index bin = 0;
        for (Index step = bins / 2; step > 0; step /= 2) bin += cuts[bin + step - 1] <= x[a] ? step : 0;
        c = c * bins + bin;
        cuts += bins - 1;
    }
    return c;
}

}  // namespace quorvane
