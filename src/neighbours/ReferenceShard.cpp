#include "ReferenceShard.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <stdexcept>
#include <string>

#include "linalg/MatrixView.h"
#include "common/Parallel.h"

namespace quorvane {

using Index = Eigen::Index;

ReferenceShard::ReferenceShard(RowMatrix samples, std::int64_t offset) : offset_(offset) {
    if (samples.rows() == 0 || samples.rows() > INT_MAX) {
        throw std::invalid_argument("a shard holds 1 to 2147483647 samples, got " + std::to_string(samples.rows()));
    }
    if (offset < 0) throw std::invalid_argument("offset must not be negative, got " + std::to_string(offset));
    if (!linalg::all_finite(samples.data(), samples.size())) throw std::invalid_argument("shard samples contain NaN or infinity");
    search_.fit(std::move(samples));
    if (!search_.sq_norms().allFinite()) {
        throw std::invalid_argument("reference samples too large: their squared norms overflow");
    }
}

void ReferenceShard::nearest(const double* queries, Index count, Index stride, int k, double* sq_distances,
                             std::int64_t* indices) const {
    if (k < 1) throw std::invalid_argument("k must be at least 1, got " + std::to_string(k));
    const int m = static_cast<int>(std::min<Index>(k, rows()));
    const Index block = search_.query_block();
    const Index blocks = (count + block - 1) / block;
    std::exception_ptr failure;
    // Blocks are independent; an exception must not leave a worker thread.
#pragma omp parallel if (blocks > 1 && common::threads_usable())
    {
        NeighbourSearch::Scratch scratch;
#pragma omp for schedule(dynamic, 1)
        for (Index b = 0; b < blocks; ++b) {
            try {
                const Index first = b * block, size = std::min(block, count - first);
                search_.search(queries + first * stride, size, stride, m, scratch);
                for (Index r = 0; r < size; ++r) {
                    scratch.top.sort(r);
                    for (int j = 0; j < m; ++j) {
                        sq_distances[(first + r) * m + j] = scratch.top.distances(r)[j];
                        indices[(first + r) * m + j] = offset_ + scratch.top.indices(r)[j];
                    }
                }
            } catch (...) {
#pragma omp critical(quorvane_shard_failure)
                if (!failure) failure = std::current_exception();
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace quorvane
