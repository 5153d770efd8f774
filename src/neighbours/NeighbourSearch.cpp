#include "NeighbourSearch.h"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>
#include <cmath>
#include <cstdint>
#include <limits>

#include "linalg/Gemm.h"
#include "linalg/Kernels.h"
#include "common/Memory.h"
#include "common/Parallel.h"

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

// Depths at which the screen checks whether a pair of panels can still hold
// a neighbour: soon, while the leading components already tell most samples
// apart, then at growing steps.
std::vector<Index> screen_stops(Index d) {
    std::vector<Index> stops;
    for (Index stop = std::min<Index>(d, 6);;) {
        if (d - stop < 3) stop = d;
        stops.push_back(stop);
        if (stop == d) return stops;
        stop = std::min(d, stop + std::max<Index>(3, stop / 2));
    }
}

}  // namespace

void NeighbourSearch::set_block_sizes(Index query_block, Index sample_block) {
    query_block_ = std::max<Index>(1, query_block);
    sample_block_ = std::max<Index>(0, sample_block);
}

void NeighbourSearch::fit(RowMatrix samples) {
    const Index n = samples.rows(), d = samples.cols();
    // The same fused chain as the distance kernel's products, so a query equal
    // to a stored sample is at distance exactly 0. With the screen they are
    // computed in its fill below, on the whole team.
    Eigen::VectorXd norms(n);
    const auto norm_of = [&samples, d](Index i) { return linalg::squared_norm(samples.row(i).data(), d); };
    // Float screening needs every value well inside float's range, so that
    // squares neither overflow nor lose the error bound. NaN fails too.
    int outside = 0;
    const double* values = samples.data();
    // Ctrl-C is polled between runs of rows: building the index of a large
    // set takes tens of milliseconds.
    common::InterruptCheck interrupt;
#pragma omp parallel for schedule(static) reduction(| : outside) if (n * d > (1 << 18) && common::threads_usable())
    for (Index i = 0; i < n * d; ++i) outside |= !(std::abs(values[i]) <= kScreenLimit);
    interrupt.poll();
    const bool screen = n > 0 && outside == 0;
    ScreenGrid grid;
    RowMatrix rows;
    Eigen::VectorXd row_norms;
    std::vector<float, Uninitialised<float>> screen_panels;
    std::vector<Index> stops = screen_stops(d);
    double root = 0.0;
    if (screen) {
        constexpr Index kPair = 2 * kNR;
        const Index stages = static_cast<Index>(stops.size());
        const Index pairs = (n + kPair - 1) / kPair;
        grid = ScreenGrid(samples);
        const common::SharedArray<int>& order = grid.order();
        rows.resize(n, d);
        common::advise_huge_pages(rows.data(), static_cast<std::size_t>(rows.size()) * sizeof(double));
        row_norms.resize(n);
        // Per pair of panels, a block of stages + d rows of kPair floats: the
        // stage increments, then the values one depth step to a row. Every
        // sample's lane is written below; the lanes past the last are zeros.
        screen_panels.resize(static_cast<std::size_t>(pairs * (stages + d) * kPair));
        common::advise_huge_pages(screen_panels.data(), screen_panels.size() * sizeof(float));
        for (Index pos = n; pos < pairs * kPair; ++pos) {
            float* lane = screen_panels.data() + (pos / kPair) * (stages + d) * kPair + pos % kPair;
            for (Index r = 0; r < stages + d; ++r) lane[r * kPair] = 0.0f;
        }
        // Every position is written by one iteration alone, and a max is the
        // same in any order: the team changes nothing but the time. Runs of
        // whole blocks go to threads as they come free.
        constexpr Index kRun = 64 * kPair;
        const Index runs = (n + kRun - 1) / kRun;
#pragma omp parallel for schedule(dynamic, 1) reduction(max : root) if (n * d > (1 << 18) && common::threads_usable())
        for (Index run = 0; run < runs; ++run) {
            if (interrupt.stop()) continue;
            for (Index pos = run * kRun; pos < std::min(n, (run + 1) * kRun); ++pos) {
                const Index i = order[static_cast<std::size_t>(pos)];
                // Rows are taken in cell order, all over memory: fetch ahead.
                if (pos + 16 < n) {
                    const double* ahead = samples.row(order[static_cast<std::size_t>(pos + 16)]).data();
                    for (Index j = 0; j < d; j += 8) __builtin_prefetch(ahead + j);
                }
                float* inc = screen_panels.data() + (pos / kPair) * (stages + d) * kPair + pos % kPair;
                float* panel = inc + stages * kPair;
                for (Index j = 0; j < d; ++j) panel[j * kPair] = static_cast<float>(samples(i, j));
                rows.row(pos) = samples.row(i);
                norms[i] = norm_of(i);
                row_norms[pos] = norms[i];
                for (Index st = 0, j = 0; st < stages; ++st) {
                    double sum = 0.0;
                    for (; j < stops[static_cast<std::size_t>(st)]; ++j) sum += samples(i, j) * samples(i, j);
                    inc[st * kPair] = static_cast<float>(sum);
                }
                root = std::max(root, norms[i]);
            }
        }
        interrupt.finish();
        root = std::sqrt(root) * (1.0 + 0x1p-20);
    } else {
        for (Index i = 0; i < n; ++i) {
            if (i % 4096 == 0) interrupt.poll();
            norms[i] = norm_of(i);
        }
    }

    Parts p;
    p.rows = n;
    p.dimension = d;
    p.samples = common::SharedArray<double>::adopt(std::move(samples));
    p.sq_norms = common::SharedArray<double>::adopt(std::move(norms));
    p.screened = screen;
    p.screen_rows = common::SharedArray<double>::adopt(std::move(rows));
    p.screen_norms = common::SharedArray<double>::adopt(std::move(row_norms));
    p.screen_panels = common::SharedArray<float>::adopt(std::move(screen_panels));
    p.screen_root = root;
    assign(std::move(p), std::move(grid), std::move(stops));
}

void NeighbourSearch::assign(Parts p, ScreenGrid grid, std::vector<Index> stops) {
    rows_ = p.rows;
    dimension_ = p.dimension;
    samples_ = std::move(p.samples);
    sq_norms_ = std::move(p.sq_norms);
    double_panels_ = std::make_shared<DoublePanels>();
    screen_ = p.screened;
    grid_ = std::move(grid);
    screen_rows_ = std::move(p.screen_rows);
    screen_norms_ = std::move(p.screen_norms);
    screen_panels_ = std::move(p.screen_panels);
    stops_ = std::move(stops);
    screen_root_ = p.screen_root;
}

NeighbourSearch::Parts NeighbourSearch::parts() const {
    Parts p;
    p.rows = rows_;
    p.dimension = dimension_;
    p.samples = samples_;
    p.sq_norms = sq_norms_;
    p.screened = screen_;
    if (screen_) {
        p.grid = grid_.parts();
        p.screen_rows = screen_rows_;
        p.screen_norms = screen_norms_;
        p.screen_panels = screen_panels_;
        p.screen_root = screen_root_;
    }
    return p;
}

namespace {

void require_size(std::size_t size, Index expected, const char* what) {
    if (size != static_cast<std::size_t>(expected)) {
        throw std::invalid_argument(std::string(what) + " holds " + std::to_string(size) + " values, expected " +
                                    std::to_string(expected));
    }
}

}  // namespace

void NeighbourSearch::restore(Parts p) {
    const Index n = p.rows, d = p.dimension;
    if (n < 0 || n > INT_MAX || d < 0 || d > INT_MAX || (n > 0 && d == 0)) {
        throw std::invalid_argument("a reference set of " + std::to_string(n) + " samples of " + std::to_string(d) +
                                    " values");
    }
    require_size(p.samples.size(), n * d, "the reference set");
    require_size(p.sq_norms.size(), n, "the squared norms");
    std::vector<Index> stops = screen_stops(d);
    ScreenGrid grid;
    if (p.screened) {
        if (n == 0) throw std::invalid_argument("an empty reference set cannot be screened");
        constexpr Index kPair = 2 * kNR;
        const Index stages = static_cast<Index>(stops.size());
        require_size(p.screen_rows.size(), n * d, "the screen's rows");
        require_size(p.screen_norms.size(), n, "the screen's norms");
        require_size(p.screen_panels.size(), (n + kPair - 1) / kPair * (stages + d) * kPair, "the screen's panels");
        grid = ScreenGrid(std::move(p.grid), n, d);
    }
    assign(std::move(p), std::move(grid), std::move(stops));
}

void NeighbourSearch::search(const double* queries, Index rows, Index stride, int k, Scratch& s) const {
    const Index n = rows_, d = dimension_;
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
        screened_scan(queries, rows, stride, m, s);
    } else {
        scan(queries, rows, stride, s);
    }
}

const NeighbourSearch::DoublePanels& NeighbourSearch::double_panels() const {
    DoublePanels& dp = *double_panels_;
    std::call_once(dp.once, [&] {
        const Index n = rows_, d = dimension_;
        const Index padded = (n + kNR - 1) / kNR * kNR;
        std::vector<double> panels(static_cast<std::size_t>(padded * d), 0.0);
        for (Index i = 0; i < n; ++i) {
            double* panel = panels.data() + (i / kNR) * kNR * d;
            for (Index j = 0; j < d; ++j) panel[j * kNR + i % kNR] = samples_[static_cast<std::size_t>(i * d + j)];
        }
        std::vector<double> norms(static_cast<std::size_t>(padded), 0.0);
        std::copy(sq_norms_.data(), sq_norms_.data() + n, norms.begin());
        dp.panels = std::move(panels);
        dp.norms = std::move(norms);
    });
    return dp;
}

void NeighbourSearch::scan(const double* queries, Index rows, Index stride, Scratch& s) const {
    const Index n = rows_, d = dimension_;
    const DoublePanels& dp = double_panels();
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
                p += distance_scan(d, qpanel, dp.panels.data() + panel0 * kNR * d, tile_panels - p,
                                   dp.norms.data() + panel0 * kNR, s.query_norms.data() + qp * kQR,
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

// Float screening at twice the lanes per instruction, in stages over the
// components, then the exact double distance for the few samples that pass:
// the neighbours are exactly those of the double scan, because a sample is
// dropped only when a partial distance, less an allowance for float
// rounding, already exceeds the query's threshold.
void NeighbourSearch::screened_scan(const double* queries, Index rows, Index stride, int m, Scratch& s) const {
    const Index n = rows_, d = dimension_;
    const Index stages = static_cast<Index>(stops_.size());
    const Index query_panels = (rows + kQR - 1) / kQR;
    const Index padded_rows = query_panels * kQR;
    // Queries take their panel slots in cell order: a panel of near queries
    // rules more samples out together. slot_rows[slot] is the query's row.
    s.slot_cells.resize(static_cast<std::size_t>(rows));
    s.slot_rows.resize(static_cast<std::size_t>(rows));
    for (Index r = 0; r < rows; ++r) {
        s.slot_cells[static_cast<std::size_t>(r)] = grid_.cell(queries + r * stride);
        s.slot_rows[static_cast<std::size_t>(r)] = r;
    }
    std::stable_sort(s.slot_rows.begin(), s.slot_rows.end(), [&](Index a, Index b) {
        return s.slot_cells[static_cast<std::size_t>(a)] < s.slot_cells[static_cast<std::size_t>(b)];
    });
    s.screen_queries.assign(static_cast<std::size_t>(padded_rows * d), 0.0f);
    s.screen_partials.assign(static_cast<std::size_t>(rows * stages), 0.0);
    s.screen_slack.assign(static_cast<std::size_t>(rows), 0.0);
    s.screen_seeds.assign(static_cast<std::size_t>(rows), std::numeric_limits<double>::quiet_NaN());
    // Padding slots never pass: every value is >= -inf.
    s.screen_limits.assign(static_cast<std::size_t>(padded_rows * stages), -std::numeric_limits<float>::infinity());
    // Float rounding of inputs, products and sums stays below
    // (d + stages + 6) 2^-24 (|t| + |q|)^2; the allowance takes eight times
    // that, plus an absolute term for underflow.
    const double k_bound = (static_cast<double>(d + stages) + 16.0) * 0x1p-21;
    const double a_bound = (static_cast<double>(d + stages) + 8.0) * 0x1p-120;
    const auto set_limits = [&](Index slot) {
        double threshold = s.top.threshold(s.slot_rows[static_cast<std::size_t>(slot)]);
        if (std::isnan(threshold) || s.screen_seeds[slot] < threshold) threshold = s.screen_seeds[slot];
        float* limit = s.screen_limits.data() + (slot / kQR) * stages * kQR + slot % kQR;
        for (Index st = 0; st < stages; ++st)
            limit[st * kQR] = round_up(threshold + s.screen_slack[slot] - s.screen_partials[slot * stages + st]);
    };
    const auto distance = [&](Index slot, Index pos) {
        const Index r = s.slot_rows[static_cast<std::size_t>(slot)];
        return linalg::exact_distance(queries + r * stride, screen_rows_.data() + pos * d, d,
                                      screen_norms_[static_cast<std::size_t>(pos)], s.query_norms[r]);
    };
    for (Index slot = 0; slot < rows; ++slot) {
        const Index r = s.slot_rows[static_cast<std::size_t>(slot)];
        const double* q = queries + r * stride;
        float* panel = s.screen_queries.data() + (slot / kQR) * kQR * d + slot % kQR;
        double partial = 0.0;
        for (Index st = 0, j = 0; st < stages; ++st) {
            for (; j < stops_[static_cast<std::size_t>(st)]; ++j) {
                panel[j * kQR] = -2.0f * static_cast<float>(q[j]);
                partial += q[j] * q[j];
            }
            s.screen_partials[slot * stages + st] = partial;
        }
        const double reach = screen_root_ + std::sqrt(s.query_norms[r]);
        s.screen_slack[slot] = k_bound * reach * reach + a_bound;
        // Seeds: the samples of the query's own cell. The m-th nearest of them
        // bounds the m-th nearest of all, so the screen starts near its final
        // threshold instead of letting everything through until m are found.
        const Index seeds = std::min<Index>(n, std::max<Index>(2 * kNR, m));
        const Index first = std::min(grid_.cell_start(s.slot_cells[static_cast<std::size_t>(r)]), n - seeds);
        s.seed_distances.resize(static_cast<std::size_t>(seeds));
        for (Index i = 0; i < seeds; ++i) s.seed_distances[static_cast<std::size_t>(i)] = distance(slot, first + i);
        std::nth_element(s.seed_distances.begin(), s.seed_distances.begin() + (m - 1), s.seed_distances.end());
        s.screen_seeds[slot] = s.seed_distances[static_cast<std::size_t>(m - 1)];
        set_limits(slot);
    }

    constexpr Index kPair = 2 * kNR;
    Index tile = sample_block_ > 0 ? sample_block_ : (Index{1} << 18) / (4 * std::max<Index>(d + stages, 1));
    tile = std::max<Index>(kPair, tile / kPair * kPair);
    for (Index t0 = 0; t0 < n; t0 += tile) {
        const Index tile_pairs = (std::min(n, t0 + tile) - t0 + kPair - 1) / kPair;
        for (Index qp = 0; qp < query_panels; ++qp) {
            const Index q0 = qp * kQR;
            for (Index pp = 0; pp < tile_pairs;) {
                std::uint64_t masks[2] = {0, 0};
                const Index first = t0 + pp * kPair;
                pp += linalg::distance_screen(d, s.screen_queries.data() + q0 * d,
                                              screen_panels_.data() + first * (stages + d), tile_pairs - pp,
                                              stops_.data(), stages, s.screen_limits.data() + q0 * stages, masks);
                if (pp == tile_pairs) break;
                const Index base = t0 + pp * kPair;
                ++pp;
                for (int half = 0; half < 2; ++half) {
                    for (std::uint64_t mask = masks[half]; mask != 0; mask &= mask - 1) {
                        const int bit = __builtin_ctzll(mask);
                        const Index slot = q0 + bit / kNR, pos = base + half * kNR + bit % kNR;
                        if (pos >= n || slot >= rows) continue;
                        const Index j = grid_.order()[static_cast<std::size_t>(pos)];
                        if (s.top.offer(s.slot_rows[static_cast<std::size_t>(slot)], j, distance(slot, pos)))
                            set_limits(slot);
                    }
                }
            }
        }
    }
}

}  // namespace quorvane
