#include "NeighbourSearch.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "linalg/Gemm.h"
#include "linalg/Kernels.h"

namespace quorvane {

namespace {

using linalg::kQR;
using linalg::kNR;
using Index = Eigen::Index;

// Largest magnitude screened in float: squared norms of any dimension stay
// far below float's overflow.
constexpr double kScreenLimit = 0x1p40;

// The nearest float at or above x (NaN stays NaN): a float threshold that
// never drops a sample the double threshold would keep.
float round_up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

}  // namespace

void NeighbourSearch::set_block_sizes(Index query_block, Index sample_block) {
    query_block_ = std::max<Index>(1, query_block);
    sample_block_ = std::max<Index>(0, sample_block);
}

void NeighbourSearch::fit(RowMatrix samples) {
    const Index n = samples.rows(), d = samples.cols();
    // The same fused chain as the distance kernel's products, so a query equal
    // to a stored sample is at distance exactly 0.
    Eigen::VectorXd norms(n);
    for (Index i = 0; i < n; ++i) norms[i] = linalg::squared_norm(samples.row(i).data(), d);

    const Index padded = (n + kNR - 1) / kNR * kNR;
    std::vector<double> panels(static_cast<std::size_t>(padded * d), 0.0);
    for (Index i = 0; i < n; ++i) {
        double* panel = panels.data() + (i / kNR) * kNR * d;
        for (Index j = 0; j < d; ++j) panel[j * kNR + i % kNR] = samples(i, j);
    }
    std::vector<double> panel_norms(static_cast<std::size_t>(padded), 0.0);
    std::copy(norms.data(), norms.data() + n, panel_norms.begin());

    // Float screening needs every value well inside float's range, so that
    // squares neither overflow nor lose the error bound.
    const bool screen = n > 0 && samples.allFinite() &&
                        (samples.size() == 0 || samples.cwiseAbs().maxCoeff() <= kScreenLimit);
    std::vector<float> screen_panels, screen_norms, screen_roots;
    if (screen) {
        const Index pairs_padded = (padded / kNR + 1) / 2 * 2 * kNR;
        screen_panels.assign(static_cast<std::size_t>(pairs_padded * d), 0.0f);
        std::copy(panels.begin(), panels.end(), screen_panels.begin());
        screen_norms.assign(static_cast<std::size_t>(pairs_padded), 0.0f);
        screen_roots.assign(static_cast<std::size_t>(pairs_padded), 0.0f);
        for (Index i = 0; i < n; ++i) {
            screen_norms[i] = static_cast<float>(norms[i]);
            screen_roots[i] = round_up(std::sqrt(norms[i]) * (1.0 + 0x1p-20));
        }
    }

    samples_ = std::move(samples);
    sq_norms_ = std::move(norms);
    panels_ = std::move(panels);
    panel_norms_ = std::move(panel_norms);
    screen_ = screen;
    screen_panels_ = std::move(screen_panels);
    screen_norms_ = std::move(screen_norms);
    screen_roots_ = std::move(screen_roots);
}

void NeighbourSearch::search(const double* queries, Index rows, Index stride, int k, Scratch& s) const {
    const Index n = samples_.rows(), d = samples_.cols();
    const int m = static_cast<int>(std::min<Index>(k, n));
    const Index padded_rows = (rows + kQR - 1) / kQR * kQR;
    s.top.reset(rows, padded_rows, m);
    s.query_norms.assign(static_cast<std::size_t>(padded_rows), 0.0);
    bool screen = screen_;
    for (Index r = 0; r < rows; ++r) {
        const double* q = queries + r * stride;
        s.query_norms[r] = linalg::squared_norm(q, d);
        for (Index j = 0; j < d && screen; ++j) screen = std::abs(q[j]) <= kScreenLimit;
    }
    if (screen) {
        screened_scan(queries, rows, stride, s);
    } else {
        scan(queries, rows, stride, s);
    }
}

void NeighbourSearch::scan(const double* queries, Index rows, Index stride, Scratch& s) const {
    const Index n = samples_.rows(), d = samples_.cols();
    const Index query_panels = (rows + kQR - 1) / kQR;
    s.queries.assign(static_cast<std::size_t>(query_panels * kQR * d), 0.0);
    for (Index r = 0; r < rows; ++r) {
        double* panel = s.queries.data() + (r / kQR) * kQR * d;
        for (Index j = 0; j < d; ++j) panel[j * kQR + r % kQR] = queries[r * stride + j];
    }
    const linalg::DistanceScan distance_scan = linalg::distance_scan();
    // Samples per tile: their panels stay in cache while every query panel
    // of the block passes over them.
    Index tile = sample_block_ > 0 ? sample_block_ : (Index{1} << 18) / (8 * std::max<Index>(d, 1));
    tile = std::max<Index>(kNR, tile / kNR * kNR);
    alignas(32) double distances[kQR * kNR];
    for (Index t0 = 0; t0 < n; t0 += tile) {
        const Index tile_panels = (std::min(n, t0 + tile) - t0 + kNR - 1) / kNR;
        for (Index qp = 0; qp < query_panels; ++qp) {
            const double* qpanel = s.queries.data() + qp * kQR * d;
            for (Index p = 0; p < tile_panels;) {
                std::uint64_t mask = 0;
                const Index panel0 = t0 / kNR + p;
                p += distance_scan(d, qpanel, panels_.data() + panel0 * kNR * d, tile_panels - p,
                                   panel_norms_.data() + panel0 * kNR, s.query_norms.data() + qp * kQR,
                                   s.top.thresholds() + qp * kQR, distances, &mask);
                if (p == tile_panels) break;
                const Index base = (t0 / kNR + p) * kNR;
                ++p;
                for (; mask != 0; mask &= mask - 1) {
                    const int bit = __builtin_ctzll(mask);
                    const Index r = qp * kQR + bit / kNR, j = base + bit % kNR;
                    if (j < n && r < rows) s.top.offer(r, j, distances[bit]);
                }
            }
        }
    }
}

// Float screening at twice the lanes per instruction, then the exact double
// distance for the few samples that pass: the neighbours are exactly those
// of the double scan, because the screen's bound covers float rounding.
void NeighbourSearch::screened_scan(const double* queries, Index rows, Index stride, Scratch& s) const {
    const Index n = samples_.rows(), d = samples_.cols();
    const Index query_panels = (rows + kQR - 1) / kQR;
    const Index padded_rows = query_panels * kQR;
    s.screen_queries.assign(static_cast<std::size_t>(padded_rows * d), 0.0f);
    s.screen_norms.assign(static_cast<std::size_t>(padded_rows), 0.0f);
    s.screen_roots.assign(static_cast<std::size_t>(padded_rows), 0.0f);
    s.screen_thresholds.assign(static_cast<std::size_t>(padded_rows), -std::numeric_limits<float>::infinity());
    for (Index r = 0; r < rows; ++r) {
        float* panel = s.screen_queries.data() + (r / kQR) * kQR * d;
        for (Index j = 0; j < d; ++j) panel[j * kQR + r % kQR] = static_cast<float>(queries[r * stride + j]);
        s.screen_norms[r] = static_cast<float>(s.query_norms[r]);
        s.screen_roots[r] = round_up(std::sqrt(s.query_norms[r]) * (1.0 + 0x1p-20));
        s.screen_thresholds[r] = std::numeric_limits<float>::quiet_NaN();
    }
    // Float rounding of inputs, products and sums stays below
    // (d + 5) 2^-23 (|t| + |q|)^2; the bound takes four times that, plus an
    // absolute term for underflow.
    const float k_bound = static_cast<float>((static_cast<double>(d) + 16.0) * 0x1p-21);
    const float a_bound = static_cast<float>((static_cast<double>(d) + 8.0) * 0x1p-120);

    constexpr Index kPair = 2 * kNR;
    Index tile = sample_block_ > 0 ? sample_block_ : (Index{1} << 18) / (4 * std::max<Index>(d, 1));
    tile = std::max<Index>(kPair, tile / kPair * kPair);
    for (Index t0 = 0; t0 < n; t0 += tile) {
        const Index tile_pairs = (std::min(n, t0 + tile) - t0 + kPair - 1) / kPair;
        for (Index qp = 0; qp < query_panels; ++qp) {
            const Index q0 = qp * kQR;
            for (Index pp = 0; pp < tile_pairs;) {
                std::uint64_t masks[2] = {0, 0};
                const Index first = t0 + pp * kPair;
                pp += linalg::distance_screen(
                    d, s.screen_queries.data() + q0 * d, screen_panels_.data() + first * d, tile_pairs - pp,
                    screen_norms_.data() + first, screen_roots_.data() + first, s.screen_norms.data() + q0,
                    s.screen_roots.data() + q0, s.screen_thresholds.data() + q0, k_bound, a_bound, masks);
                if (pp == tile_pairs) break;
                const Index base = t0 + pp * kPair;
                ++pp;
                for (int half = 0; half < 2; ++half) {
                    for (std::uint64_t mask = masks[half]; mask != 0; mask &= mask - 1) {
                        const int bit = __builtin_ctzll(mask);
                        const Index r = q0 + bit / kNR, j = base + half * kNR + bit % kNR;
                        if (j >= n || r >= rows) continue;
                        const double dist = linalg::exact_distance(queries + r * stride, samples_.row(j).data(), d,
                                                                   sq_norms_[j], s.query_norms[r]);
                        if (s.top.offer(r, j, dist)) s.screen_thresholds[r] = round_up(s.top.threshold(r));
                    }
                }
            }
        }
    }
}

}  // namespace quorvane
