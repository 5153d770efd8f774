#pragma once

#include <cstdint>

#include <Eigen/Dense>

#include "NeighbourSearch.h"

namespace quorvane {

/// One part of a reference set split by rows: the reduced samples of rows
/// [offset, offset + rows) of the whole set. Its search measures exactly as a
/// whole set's search does, so the nearest of the whole set are the nearest,
/// under (squared distance, index), of every shard's own nearest. Searches only
/// read it, so any number may run at once.
class ReferenceShard {
public:
    using RowMatrix = NeighbourSearch::RowMatrix;

    /// Takes the reduced samples, one per row; `offset` is the whole-set index
    /// of the first. Refuses NaN and infinity, and squared norms that overflow.
    ReferenceShard(RowMatrix samples, std::int64_t offset);

    /// The m = min(k, rows()) nearest samples of each of `count` queries of
    /// `dimension()` values (row i at queries + i * stride), ascending in
    /// (squared distance, index): squared distances as the search computes them
    /// (neither clamped nor rooted) at sq_distances[i * m + j], whole-set
    /// indices at indices[i * m + j]. Needs k >= 1 and a stored sample.
    void nearest(const double* queries, Eigen::Index count, Eigen::Index stride, int k, double* sq_distances,
                 std::int64_t* indices) const;

    Eigen::Index rows() const { return search_.samples().rows(); }
    Eigen::Index dimension() const { return search_.dimension(); }
    std::int64_t offset() const { return offset_; }
    Eigen::Map<const RowMatrix> samples() const { return search_.samples(); }

private:
    NeighbourSearch search_;  ///< the samples and the exact search over them
    std::int64_t offset_;     ///< whole-set index of sample 0
};

}  // namespace quorvane
