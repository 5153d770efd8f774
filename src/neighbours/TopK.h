#pragma once

#include <vector>

#include <Eigen/Dense>

namespace quorvane {

/// The m best (distance, index) pairs of each query of a block, kept in
/// bounded max-heaps while a search offers candidates.
///
/// The order is total: smaller distance first, equal distances to the lower
/// index, a NaN distance (an overflow) as +inf. So the kept set depends only on
/// the candidates, never on the order in which they arrive.
class TopK {
public:
    /// Empties the heaps of `rows` queries, each of capacity `m` >= 1, and
    /// sizes the thresholds for `padded_rows` >= `rows` queries: real rows
    /// admit every candidate (NaN), padding rows none (-inf).
    void reset(Eigen::Index rows, Eigen::Index padded_rows, int m);

    /// Keeps (dist, index) for query r if it beats the worst kept pair.
    /// Returns true when query r is full and its threshold changed.
    bool offer(Eigen::Index r, Eigen::Index index, double dist);

    /// Sorts query r's kept pairs ascending in place; offer no more after it.
    void sort(Eigen::Index r);

    /// Pairs kept for query r: the first `size(r)` entries.
    const double* distances(Eigen::Index r) const { return dist_.data() + r * m_; }
    const int* indices(Eigen::Index r) const { return index_.data() + r * m_; }
    int size(Eigen::Index r) const { return size_[static_cast<std::size_t>(r)]; }

    /// Per query, the distance a candidate must beat: the worst kept once the
    /// heap is full. Scans read it for whole query panels.
    double* thresholds() { return thresholds_.data(); }
    double threshold(Eigen::Index r) const { return thresholds_[static_cast<std::size_t>(r)]; }

private:
    int m_ = 0;                       ///< capacity of each heap
    std::vector<double> dist_;        ///< heap distances, m_ per query
    std::vector<int> index_;          ///< heap sample indices, m_ per query
    std::vector<int> size_;           ///< pairs held so far per query
    std::vector<double> thresholds_;  ///< per padded query, see thresholds()
};

}  // namespace quorvane
