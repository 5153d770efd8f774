#include "Gemm.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <omp.h>

#include "Kernels.h"
#include "common/Parallel.h"

namespace quorvane::linalg {

namespace {

// Copies `lanes` lanes (rows of A or columns of B) of depth kc into
// zero-padded panels of `width` lanes, k-major, so the micro-kernel reads
// both operands contiguously. Element (l, k) sits at data[l * ls + k * ks].
// Standardisation, when asked for, is applied here, once per packed value;
// `shift` and `scale` are indexed by lane or by k as `feature_on_lane` says.
// Floats become doubles here too, a panel at a time, never as a whole copy.
template <Index width, typename T>
void pack_panels(const T* data, Index ls, Index ks, Index lanes, Index kc, const double* shift,
                 const double* scale, bool feature_on_lane, double* out) {
    Index whole = 0;
    if (ls == 1 && (shift == nullptr || feature_on_lane)) {
        // Contiguous lanes: each source row is read once, straight through, and
        // spread over the panels, instead of one narrow strip per panel (which
        // revisits every row and, at power-of-two row strides, thrashes the cache).
        whole = lanes / width * width;
        for (Index k = 0; k < kc; ++k) {
            const T* src = data + k * ks;
            double* dst = out + k * width;
            if (shift == nullptr) {
                for (Index p = 0; p < whole; p += width)
                    for (Index l = 0; l < width; ++l) dst[p * kc + l] = src[p + l];
            } else if (scale == nullptr) {
                for (Index p = 0; p < whole; p += width)
                    for (Index l = 0; l < width; ++l) dst[p * kc + l] = src[p + l] - shift[p + l];
            } else {
                for (Index p = 0; p < whole; p += width)
                    for (Index l = 0; l < width; ++l) dst[p * kc + l] = (src[p + l] - shift[p + l]) / scale[p + l];
            }
        }
    }
    for (Index p = whole; p < lanes; p += width) {
        const Index w = std::min<Index>(width, lanes - p);
        double* panel = out + p * kc;
        const T* base = data + p * ls;
        if (w < width) std::fill(panel, panel + width * kc, 0.0);
        double lane_shift[width], lane_scale[width];
        for (Index l = 0; l < w; ++l) {
            lane_shift[l] = shift != nullptr && feature_on_lane ? shift[p + l] : 0.0;
            lane_scale[l] = scale != nullptr && feature_on_lane ? scale[p + l] : 1.0;
        }
        if (shift == nullptr) {
            if (ks == 1) {
                for (Index l = 0; l < w; ++l)
                    for (Index k = 0; k < kc; ++k) panel[k * width + l] = base[l * ls + k];
            } else {
                for (Index k = 0; k < kc; ++k)
                    for (Index l = 0; l < w; ++l) panel[k * width + l] = base[l * ls + k * ks];
            }
        } else if (feature_on_lane) {
            if (ls == 1 && w == width) {
                // Whole panels of contiguous lanes: fixed-length rows the compiler vectorises.
                for (Index k = 0; k < kc; ++k) {
                    const T* src = base + k * ks;
                    double* dst = panel + k * width;
                    if (scale != nullptr) {
                        for (Index l = 0; l < width; ++l) dst[l] = (src[l] - lane_shift[l]) / lane_scale[l];
                    } else {
                        for (Index l = 0; l < width; ++l) dst[l] = src[l] - lane_shift[l];
                    }
                }
            } else {
                for (Index k = 0; k < kc; ++k) {
                    for (Index l = 0; l < w; ++l) {
                        const double v = base[l * ls + k * ks] - lane_shift[l];
                        panel[k * width + l] = scale != nullptr ? v / lane_scale[l] : v;
                    }
                }
            }
        } else if (ks == 1) {
            for (Index l = 0; l < w; ++l) {
                const T* row = base + l * ls;
                if (scale != nullptr) {
                    for (Index k = 0; k < kc; ++k) panel[k * width + l] = (row[k] - shift[k]) / scale[k];
                } else {
                    for (Index k = 0; k < kc; ++k) panel[k * width + l] = row[k] - shift[k];
                }
            }
        } else {
            for (Index l = 0; l < w; ++l) {
                const T* row = base + l * ls;
                if (scale != nullptr) {
                    for (Index k = 0; k < kc; ++k) panel[k * width + l] = (row[k * ks] - shift[k]) / scale[k];
                } else {
                    for (Index k = 0; k < kc; ++k) panel[k * width + l] = row[k * ks] - shift[k];
                }
            }
        }
    }
}

// Lanes of A are its rows; its features lie along rows or along k.
void pack_a(const Operand& A, Index i0, Index mc, Index k0, Index kc, double* out) {
    const bool on_lane = A.feature_axis == 0;
    const Index offset = on_lane ? i0 : k0;
    A.visit([&](const auto* data) {
        pack_panels<kMR>(data + i0 * A.row_stride + k0 * A.col_stride, A.row_stride, A.col_stride, mc, kc,
                         A.shift != nullptr ? A.shift + offset : nullptr,
                         A.scale != nullptr ? A.scale + offset : nullptr, on_lane, out);
    });
}

// Lanes of B are its columns.
void pack_b(const Operand& B, Index k0, Index kc, Index j0, Index nc, double* out) {
    const bool on_lane = B.feature_axis == 1;
    const Index offset = on_lane ? j0 : k0;
    B.visit([&](const auto* data) {
        pack_panels<kNR>(data + k0 * B.row_stride + j0 * B.col_stride, B.col_stride, B.row_stride, nc, kc,
                         B.shift != nullptr ? B.shift + offset : nullptr,
                         B.scale != nullptr ? B.scale + offset : nullptr, on_lane, out);
    });
}

Index round_up(Index x, Index m) { return (x + m - 1) / m * m; }

// One row of a tile; whole rows take a fixed-size copy the compiler inlines.
inline void copy_row(double* dst, const double* src, Index cols) {
    if (cols == kNR) {
        std::memcpy(dst, src, sizeof(double) * kNR);
    } else {
        std::memcpy(dst, src, sizeof(double) * static_cast<std::size_t>(cols));
    }
}

}  // namespace

double squared_norm(const double* x, Index n) { return kernels().squared_norm(x, n); }

namespace {

// Rows [k0, k0 + kc) of B, columns [0, cols), standardised, into `out`
// with rows `ld` apart; columns [cols, ld) are left as they are. Floats are
// widened to doubles on the way, so the copy is what a double B would give.
void copy_rows(const Operand& B, Index k0, Index kc, Index cols, double* out, Index ld) {
    if (B.col_stride == 1 && (B.shift == nullptr || B.feature_axis == 1)) {
        if (B.floats != nullptr) {
            const StandardiseFloatRow standardise = kernels().standardise_float_row;
            for (Index k = 0; k < kc; ++k)
                standardise(B.floats + (k0 + k) * B.row_stride, cols, B.shift, B.scale, out + k * ld);
        } else {
            const StandardiseRow standardise = kernels().standardise_row;
            for (Index k = 0; k < kc; ++k)
                standardise(B.data + (k0 + k) * B.row_stride, cols, B.shift, B.scale, out + k * ld);
        }
        return;
    }
    if (B.row_stride == 1) {
        // Columns of B lie along memory (B is the transpose of a row-major X,
        // or a column-major X): each is read as one run, its features along
        // k or one feature to the column.
        const bool along_k = B.feature_axis == 0;
        const double* shift = B.shift != nullptr && along_k ? B.shift + k0 : nullptr;
        const double* scale = B.scale != nullptr && along_k ? B.scale + k0 : nullptr;
        B.visit([&](const auto* data) {
            for (Index j = 0; j < cols; ++j) {
                const auto* src = data + k0 + j * B.col_stride;
                if (B.shift != nullptr && !along_k) {
                    const double s = B.shift[j];
                    if (B.scale == nullptr) {
                        for (Index k = 0; k < kc; ++k) out[k * ld + j] = static_cast<double>(src[k]) - s;
                    } else {
                        const double c = B.scale[j];
                        for (Index k = 0; k < kc; ++k) out[k * ld + j] = (static_cast<double>(src[k]) - s) / c;
                    }
                } else if (shift == nullptr) {
                    for (Index k = 0; k < kc; ++k) out[k * ld + j] = static_cast<double>(src[k]);
                } else if (scale == nullptr) {
                    for (Index k = 0; k < kc; ++k) out[k * ld + j] = static_cast<double>(src[k]) - shift[k];
                } else {
                    for (Index k = 0; k < kc; ++k) out[k * ld + j] = (static_cast<double>(src[k]) - shift[k]) / scale[k];
                }
            }
        });
        return;
    }
    const Operand rows = B.row_range(k0, kc);
    for (Index k = 0; k < kc; ++k)
        for (Index j = 0; j < cols; ++j) out[k * ld + j] = rows(k, j);
}

// Touches, in `steps` even portions, every cache line of rows [k0, k0 + kc)
// and columns [0, cols) of B, walking along memory (B's rows, or its
// columns when those are contiguous). Counts bytes, for either element type.
class Prefetch {
public:
    Prefetch(const Operand& B, Index k0, Index kc, Index cols, Index steps) {
        const bool by_row = B.col_stride == 1;
        const Index outer = by_row ? kc : cols, inner = by_row ? cols : kc;
        const Index size = B.element_size();
        run_ = B.visit([](const auto* data) { return reinterpret_cast<const char*>(data); }) + k0 * B.row_stride * size;
        stride_ = (by_row ? B.row_stride : B.col_stride) * size;
        run_bytes_ = (inner * size + kLine - 1) / kLine * kLine;
        total_ = by_row || B.row_stride == 1 ? outer * (run_bytes_ / kLine) : 0;
        per_step_ = (total_ + steps - 1) / std::max<Index>(1, steps);
    }

    void next() {
        for (const Index end = std::min(total_, line_ + per_step_); line_ < end; ++line_) {
            __builtin_prefetch(run_ + offset_, 0, 2);
            offset_ += kLine;
            if (offset_ == run_bytes_) {
                offset_ = 0;
                run_ += stride_;
            }
        }
    }

private:
    static constexpr Index kLine = 64;
    const char* run_;
    Index stride_ = 0, run_bytes_ = kLine, total_ = 0, per_step_ = 0, line_ = 0, offset_ = 0;
};

// Revisions of the covariance team's split over the whole depth.
constexpr Index kEpochs = 32;

// Bᵀ B for a B of few columns and many rows (a covariance: n samples of d
// features), upper triangle mirrored. Each thread owns a run of the tiles
// above the diagonal, in panel order, and walks the depth on its own: it
// copies the rows it needs itself, standardised, so the team meets only at
// the few points where the runs are revised, and a tile's chain is the same
// whichever thread carries it on.
// The kernel reads both sides of a tile straight from that copy (strips of
// kMR and panels of kNR columns, a row apart), and the tiles live in one
// tile-major buffer until the end, so they are accumulated in place.
// With `sums` set (N zeros), the columns are also summed from the copy.
void gram(const Operand& B, double* C, Index ldc, Index kc_max, std::vector<double>* sums = nullptr) {
    const Index K = B.rows, N = B.cols;
    const Index strips = (N + kMR - 1) / kMR, panels = (N + kNR - 1) / kNR;
    // Strips with a row at or above the last column of panel p.
    const auto strips_of = [&](Index p) { return std::min(strips, ((p + 1) * kNR + kMR - 1) / kMR); };
    std::vector<Index> first_tile(static_cast<std::size_t>(panels + 1), 0);
    for (Index p = 0; p < panels; ++p) first_tile[p + 1] = first_tile[p] + strips_of(p);
    const Index tiles = first_tile[panels];

    const double flops = static_cast<double>(K) * static_cast<double>(N) * static_cast<double>(N);
    const bool parallel = !omp_in_parallel() && flops > 1e8 && common::threads_usable();
    const Index threads = parallel ? std::min<Index>(omp_get_max_threads(), panels) : 1;
    const auto panel_of = [&](Index tile) {
        return static_cast<Index>(std::upper_bound(first_tile.begin(), first_tile.end(), tile) - first_tile.begin()) - 1;
    };
    // Columns a run ending before tile `end` copies: as far as its last strip and panel reach.
    std::vector<Index> columns_to(static_cast<std::size_t>(tiles + 1), 0);
    for (Index p = 0; p < panels; ++p)
        for (Index end = first_tile[p] + 1; end <= first_tile[p + 1]; ++end)
            columns_to[end] = std::min(N, std::max((end - first_tile[p]) * kMR, (p + 1) * kNR));
    // Runs of tiles in panel order, of costs in proportion to each thread's
    // weight: per depth row a tile costs six cycles of FMAs, a copied column
    // about one, and a summed one a quarter (the last run copies every
    // column). A run may start or end inside a panel, whose strips its two
    // threads then share.
    const auto cost = [&](Index begin, Index end) {
        const bool last = end == tiles;
        return 6.0 * static_cast<double>(end - begin) + static_cast<double>(columns_to[end]) +
               (last && sums != nullptr ? 0.25 * static_cast<double>(N) : 0.0);
    };
    std::vector<Index> run(static_cast<std::size_t>(threads + 1), tiles);
    run[0] = 0;
    // One run per weight: as many as the threads in the team.
    const auto split = [&](const std::vector<double>& weight) {
        const auto team = static_cast<Index>(weight.size());
        run.resize(static_cast<std::size_t>(team + 1));  // never grows: no allocation
        run[static_cast<std::size_t>(team)] = tiles;
        // The least cost per unit of weight that the runs, each filled up to it, can cover.
        double low = 0.0, high = cost(0, tiles) / *std::min_element(weight.begin(), weight.end());
        // The furthest end, past begin, within the thread's share (cost only grows with the end).
        const auto fill = [&](Index t, Index begin, double unit) {
            const double share = unit * weight[static_cast<std::size_t>(t)];
            Index low_end = std::min(tiles, begin + 1), high_end = tiles;
            while (low_end < high_end) {
                const Index mid = low_end + (high_end - low_end + 1) / 2;
                if (cost(begin, mid) <= share) {
                    low_end = mid;
                } else {
                    high_end = mid - 1;
                }
            }
            return low_end;
        };
        for (int step = 0; step < 40; ++step) {
            const double target = 0.5 * (low + high);
            Index begin = 0;
            for (Index t = 0; t < team && begin < tiles; ++t) begin = fill(t, begin, target);
            (begin >= tiles ? high : low) = target;
        }
        for (Index t = 0, begin = 0; t + 1 < team; ++t) run[t + 1] = begin = fill(t, begin, high);
    };
    // Sized here: an allocation that failed inside the team could not be carried out of it.
    std::vector<double> weight(static_cast<std::size_t>(threads), 1.0), speed(weight.size(), 0.0);
    if (threads > 1) split(weight);

    // Rows of the copy span whole cache lines, an odd number of them, so
    // that a panel's lines a row apart spread over every set of the L1.
    Index ld = round_up(std::max(strips * kMR, panels * kNR), kNR);
    if (ld / kNR % 2 == 0) ld += kNR;
    // A depth step's copy takes about a quarter of L2, the tiles of a run most of the rest.
    const Index kc_step = std::max<Index>(1, std::min({kc_max, K, std::max<Index>(16, (Index{1} << 14) / ld)}));
    PanelBuffer tile_buffer(static_cast<std::size_t>(tiles * kMR * kNR));
    const auto copy_size = static_cast<std::size_t>(kc_step * ld);
    // Zeros past column N stand for the missing columns of the last strip and panel.
    PanelBuffer copies(copy_size * static_cast<std::size_t>(threads), 0.0);
    const MicroKernel kernel = kernels().micro_kernel;

    // The split is revised every few dozen depth steps from each thread's
    // measured speed: a virtual machine's host may slow one core for a while,
    // and a fixed split would wait for it. Epochs end between depth steps, so
    // every tile's chain and every column sum take the same steps in the same
    // order, whatever the split.
    const Index steps = (K + kc_step - 1) / kc_step;
    const Index epoch = threads > 1 ? kc_step * ((steps + kEpochs - 1) / kEpochs) : K;
    common::InterruptCheck interrupt;
#pragma omp parallel if (parallel) num_threads(threads)
    {
        // OMP_DYNAMIC or OMP_THREAD_LIMIT may start fewer threads than asked:
        // the runs are then shared out among those that came (no allocation:
        // every vector only shrinks).
        if (omp_get_num_threads() < threads) {
#pragma omp single
            {
                weight.resize(static_cast<std::size_t>(omp_get_num_threads()));
                speed.resize(weight.size());
                split(weight);
            }
        }
        const Index t = omp_get_thread_num();
        double* const rows = copies.data() + copy_size * static_cast<std::size_t>(t);
        for (Index e0 = 0; e0 < K; e0 += epoch) {
            const auto started = std::chrono::steady_clock::now();
            const Index t0 = run[t], t1 = run[t + 1];
            // The run: strip s0 of panel p0 up to strip s1 of panel p1, inclusive.
            const Index p0 = panel_of(t0), p1 = panel_of(std::max(t0, t1 - 1));
            const Index s0 = t0 - first_tile[p0], s1 = t1 - 1 - first_tile[p1];
            const Index cols = t0 < t1 ? columns_to[t1] : 0;
            const Index e1 = std::min(K, e0 + epoch);
            for (Index k0 = e0; k0 < e1 && cols > 0; k0 += kc_step) {
                if (interrupt.stop()) break;
                const Index kc = std::min(kc_step, K - k0);
                copy_rows(B, k0, kc, cols, rows, ld);
                // The last run's copy spans every column. Sixteen columns at a
                // time, enough sums in flight to hide the additions' latency,
                // each in row order (the copy is zero from column N to ld).
                if (sums != nullptr && t1 == tiles) {
                    for (Index c = 0; c < N; c += 16) {
                        double step[16] = {};
                        if (c + 16 <= ld) {
                            for (Index k = 0; k < kc; ++k)
                                for (int l = 0; l < 16; ++l) step[l] += rows[k * ld + c + l];
                        } else {
                            for (Index k = 0; k < kc; ++k)
                                for (Index l = 0; l < ld - c; ++l) step[l] += rows[k * ld + c + l];
                        }
                        for (Index l = 0; l < 16 && c + l < N; ++l) (*sums)[static_cast<std::size_t>(c + l)] += step[l];
                    }
                }
                // The next step's values are fetched while this one computes, a
                // few lines after each tile, so the copy above rarely waits for memory.
                Prefetch ahead(B, k0 + kc, std::min(kc_step, K - k0 - kc), cols, t1 - t0);
                for (Index p = p0; p <= p1; ++p) {
                    const Index first = p == p0 ? s0 : 0, last = p == p1 ? s1 : strips_of(p) - 1;
                    double* tile = tile_buffer.data() + (first_tile[p] + first) * kMR * kNR;
                    for (Index s = first; s <= last; ++s, tile += kMR * kNR) {
                        kernel(kc, rows + s * kMR, ld, rows + p * kNR, ld, tile, k0 > 0);
                        ahead.next();
                    }
                }
            }
            if (e0 + epoch >= K) continue;
            // A thread's speed: its run's cost per second; zero without tiles or measurable time.
            const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            speed[static_cast<std::size_t>(t)] = t0 < t1 && spent > 0.0 ? cost(t0, t1) / spent : 0.0;
#pragma omp barrier
#pragma omp single
            {
                // A thread's weight follows its speed; one without a speed keeps its weight.
                double speeds = 0.0, weights = 0.0;
                for (std::size_t v = 0; v < speed.size(); ++v) {
                    if (speed[v] > 0.0) {
                        speeds += speed[v];
                        weights += weight[v];
                    }
                }
                if (speeds > 0.0) {
                    for (std::size_t v = 0; v < speed.size(); ++v)
                        if (speed[v] > 0.0) weight[v] = speed[v] * weights / speeds;
                    split(weight);
                }
            }
        }
    }
    interrupt.finish();

    for (Index p = 0; p < panels; ++p) {
        for (Index s = 0; s < strips_of(p); ++s) {
            const double* tile = tile_buffer.data() + (first_tile[p] + s) * kMR * kNR;
            for (Index r = 0; r < kMR && s * kMR + r < N; ++r) {
                const Index i = s * kMR + r;
                for (Index c = std::max<Index>(0, i - p * kNR); c < kNR && p * kNR + c < N; ++c)
                    C[i * ldc + p * kNR + c] = tile[r * kNR + c];
            }
        }
    }
    for (Index i = 1; i < N; ++i)
        for (Index j = 0; j < i; ++j) C[i * ldc + j] = C[j * ldc + i];
}

// The product with B either packed here per call (`packed` null) or packed beforehand.
void product(const Operand& A, const Operand& B, const PackedOperand* packed, double* C, Index ldc,
             bool symmetric, const Blocking& blocking) {
    const Index M = A.rows, N = B.cols, K = A.cols;
    if (M == 0 || N == 0) return;
    if (K == 0) {
        for (Index i = 0; i < M; ++i) std::fill(C + i * ldc, C + i * ldc + N, 0.0);
        return;
    }
    // A product with its own transpose on few columns takes the path built for it.
    if (symmetric && packed == nullptr && N <= kGramWidth) {
        gram(B, C, ldc, std::max<Index>(1, blocking.kc));
        return;
    }
    const MicroKernel kernel = kernels().micro_kernel;

    const Index kc_max = packed != nullptr ? packed->kc : std::max<Index>(1, blocking.kc);
    const Index nc_max = round_up(std::max<Index>(1, blocking.nc), kNR);
    const double flops = 2.0 * static_cast<double>(M) * static_cast<double>(N) * static_cast<double>(K);
    // Small products run on the calling thread: a team costs more than it saves.
    const bool parallel = !omp_in_parallel() && flops > 1e8 && common::threads_usable();
    // Enough row blocks to keep every thread busy; mc only changes speed.
    const Index threads = parallel ? omp_get_max_threads() : 1;
    Index mc = round_up(std::max<Index>(1, blocking.mc), kMR);
    if (threads > 1) mc = std::min(mc, round_up((M + 4 * threads - 1) / (4 * threads), kMR));
    const Index row_blocks = (M + mc - 1) / mc;

    // B is packed for several depth steps at once (a few MB), so a team meets
    // at a barrier a few dozen times per product instead of twice per step.
    const Index nc_full = std::min(nc_max, round_up(N, kNR));
    // Already packed panels need no barrier at all: one group spans the whole depth.
    const Index steps_total = (K + kc_max - 1) / kc_max;
    const Index group = packed != nullptr ? steps_total
                                          : std::max<Index>(1, std::min(steps_total, (Index{1} << 19) / (kc_max * nc_full)));
    const Index n_padded = round_up(N, kNR);

    // Packing buffers live on per thread: projections run once per small
    // block of queries, and fresh pages for every call cost more than the work.
    // Every buffer is sized here, before the team starts: an allocation that
    // fails inside a parallel region could not be carried out of it.
    thread_local PanelBuffer packed_b, packed_a_all;
    const auto b_size = packed != nullptr ? 0 : static_cast<std::size_t>(group * kc_max * nc_full);
    // Whole cache lines per thread, so every thread's panels start on one.
    const auto a_size = static_cast<std::size_t>(round_up(mc * kc_max, 8));
    if (packed_b.size() < b_size) packed_b.resize(b_size);
    if (packed_a_all.size() < a_size * static_cast<std::size_t>(threads)) packed_a_all.resize(a_size * static_cast<std::size_t>(threads));
    // Thread-local names mean each thread's own copy inside the region, so
    // the team reaches the caller's buffers through these pointers.
    double* const shared_b = packed_b.data();
    double* const all_a = packed_a_all.data();

    common::InterruptCheck interrupt;
#pragma omp parallel if (parallel) num_threads(threads)
    {
        double* const packed_a = all_a + a_size * static_cast<std::size_t>(omp_get_thread_num());
        alignas(32) double tile[kMR * kNR] = {};
        for (Index j0 = 0; j0 < N; j0 += nc_max) {
            const Index nc = std::min(nc_max, N - j0);
            const Index b_panels = (nc + kNR - 1) / kNR;
            for (Index g0 = 0; g0 < K; g0 += group * kc_max) {
                const Index steps = std::min(group, (K - g0 + kc_max - 1) / kc_max);
                // A task packs a run of panels, so that contiguous lanes are read in long runs.
                constexpr Index kRun = 16;
                const Index runs = (b_panels + kRun - 1) / kRun;
                const Index pack_tasks = packed != nullptr ? 0 : steps * runs;
#pragma omp for schedule(static)
                for (Index task = 0; task < pack_tasks; ++task) {
                    // Once stopped, every thread runs the loops' barriers and nothing else.
                    if (interrupt.stop()) continue;
                    const Index step = task / runs, p = task % runs * kRun;
                    const Index k0 = g0 + step * kc_max, kc = std::min(kc_max, K - k0);
                    pack_b(B, k0, kc, j0 + p * kNR, std::min<Index>(kRun * kNR, nc - p * kNR),
                           shared_b + step * kc_max * nc_full + p * kNR * kc);
                }
#pragma omp for schedule(dynamic, 1)
                for (Index block = 0; block < row_blocks; ++block) {
                    if (interrupt.stop()) continue;
                    const Index i0 = block * mc;
                    const Index rows = std::min(mc, M - i0);
                    // Blocks wholly below the diagonal are mirrored later.
                    if (symmetric && i0 >= j0 + nc) continue;
                    // Depth steps in order: each element's chain continues where it stopped.
                    for (Index step = 0; step < steps; ++step) {
                        const Index k0 = g0 + step * kc_max, kc = std::min(kc_max, K - k0);
                        const bool first = k0 == 0;
                        pack_a(A, i0, rows, k0, kc, packed_a);
                        for (Index jp = 0; jp < nc; jp += kNR) {
                            const Index cols = std::min<Index>(kNR, nc - jp);
                            const double* bp = packed != nullptr
                                                   ? packed->panels.data() + k0 * n_padded + (j0 + jp) * kc
                                                   : shared_b + step * kc_max * nc_full + jp * kc;
                            for (Index ip = 0; ip < rows; ip += kMR) {
                                const Index r = std::min<Index>(kMR, rows - ip);
                                if (symmetric && i0 + ip >= j0 + jp + kNR) continue;
                                double* c = C + (i0 + ip) * ldc + j0 + jp;
                                if (!first) {
                                    for (Index x = 0; x < r; ++x) copy_row(tile + x * kNR, c + x * ldc, cols);
                                }
                                kernel(kc, packed_a + ip * kc, kMR, bp, kNR, tile, !first);
                                for (Index x = 0; x < r; ++x) copy_row(c + x * ldc, tile + x * kNR, cols);
                            }
                        }
                    }
                }
            }
        }
    }

    interrupt.finish();
    if (symmetric) {
        for (Index i = 1; i < M; ++i)
            for (Index j = 0; j < std::min(i, N); ++j) C[i * ldc + j] = C[j * ldc + i];
    }
}

}  // namespace

void multiply(const Operand& A, const Operand& B, double* C, Index ldc, bool symmetric,
              const Blocking& blocking) {
    product(A, B, nullptr, C, ldc, symmetric, blocking);
}

std::vector<double> gram_with_sums(const Operand& B, double* C, Index ldc) {
    if (B.cols > kGramWidth) throw std::invalid_argument("gram_with_sums takes at most 512 columns");
    std::vector<double> sums(static_cast<std::size_t>(B.cols), 0.0);
    if (B.cols == 0) return sums;
    if (B.rows == 0) {
        multiply(B.transposed(), B, C, ldc, true);
        return sums;
    }
    gram(B, C, ldc, Blocking{}.kc, &sums);
    return sums;
}

PackedOperand pack(const Operand& B, const Blocking& blocking) {
    PackedOperand packed;
    packed.rows = B.rows;
    packed.cols = B.cols;
    packed.kc = std::max<Index>(1, blocking.kc);
    const Index n_padded = round_up(B.cols, kNR);
    packed.panels.resize(static_cast<std::size_t>(B.rows * n_padded));
    for (Index k0 = 0; k0 < B.rows; k0 += packed.kc) {
        const Index kc = std::min(packed.kc, B.rows - k0);
        pack_b(B, k0, kc, 0, B.cols, packed.panels.data() + k0 * n_padded);
    }
    return packed;
}

void multiply(const Operand& A, const PackedOperand& B, double* C, Index ldc, const Blocking& blocking) {
    Operand shape;
    shape.rows = B.rows;
    shape.cols = B.cols;
    product(A, shape, &B, C, ldc, false, blocking);
}

ProjectionPanels pack_projection(const Operand& B) {
    ProjectionPanels packed;
    packed.rows = B.rows;
    packed.cols = B.cols;
    const Index K = B.rows, panels = (B.cols + kPW - 1) / kPW;
    packed.panels.assign(static_cast<std::size_t>(panels * K * kPW), 0.0);
    for (Index p = 0; p < panels; ++p)
        for (Index k = 0; k < K; ++k)
            for (Index j = p * kPW; j < std::min(B.cols, (p + 1) * kPW); ++j)
                packed.panels[static_cast<std::size_t>((p * K + k) * kPW + j - p * kPW)] = B(k, j);
    return packed;
}

void project(const Operand& A, const ProjectionPanels& B, double* C, Index ldc) {
    const Index M = A.rows, N = B.cols, K = A.cols;
    if (M == 0 || N == 0) return;
    if (K == 0) {
        for (Index i = 0; i < M; ++i) std::fill(C + i * ldc, C + i * ldc + N, 0.0);
        return;
    }
    const ProjectionKernel kernel = kernels().projection_kernel;
    const Index panels = (N + kPW - 1) / kPW;
    // A depth step of the (at most four) panels in use stays in L2 while a
    // block's rows stream past it; long steps keep each row a long run of
    // reads the prefetcher follows. The block's tiles stay in L1.
    constexpr Index kRows = 64, kCopyDepth = 128;
    const Index blocks = (M + kRows - 1) / kRows;
    const double flops = 2.0 * static_cast<double>(M) * static_cast<double>(N) * static_cast<double>(K);
    const bool parallel = !omp_in_parallel() && blocks > 1 && flops > 1e8 && common::threads_usable();
    const Index threads = parallel ? omp_get_max_threads() : 1;
    // Rows to standardise are standardised once per block into a copy the
    // kernel reads in place, not once per panel; its rows span an odd number
    // of cache lines, so the four rows a kernel reads fall in different sets.
    // Only for rows short enough that the copy stays in L2. Floats are
    // always read through the copy, which widens them to doubles; longer
    // rows of floats are copied a depth step at a time.
    const bool by_step = A.floats != nullptr && K > 512;
    const bool copy = A.floats != nullptr || (A.shift != nullptr && M >= kPR && K <= 512);
    Index ld = round_up(by_step ? kCopyDepth : K, 8);
    if (ld / 8 % 2 == 0) ld += 8;
    const auto copy_size = copy ? static_cast<std::size_t>(std::min(kRows, M) * ld) : 0;
    thread_local PanelBuffer copies;
    if (copies.size() < copy_size * static_cast<std::size_t>(threads)) copies.resize(copy_size * static_cast<std::size_t>(threads));
    double* const all_copies = copies.data();
    common::InterruptCheck interrupt;
    // Runs of kChunk blocks, handed out as threads come free (a core the host
    // slows takes fewer); within its run a thread knows its next block and
    // fetches it ahead.
    constexpr Index kChunk = 8;
#pragma omp parallel for schedule(dynamic, kChunk) if (parallel) num_threads(threads)
    for (Index block = 0; block < blocks; ++block) {
        if (interrupt.stop()) continue;
        const Index i0 = block * kRows, rows = std::min(kRows, M - i0);
        const Index next = block % kChunk == kChunk - 1 ? M : std::min(M, i0 + kRows);
        // Spread over every other kernel call of this block.
        const Index calls = panels * ((rows + kPR - 1) / kPR) * ((K + kCopyDepth - 1) / kCopyDepth);
        Prefetch ahead(A, next, std::min(kRows, M - next), K, std::max<Index>(1, calls / 2));
        const Index groups = (rows + kPR - 1) / kPR;
        // The kernel reads depth k of a row at x0 + k - x_k0.
        const double* x0 = nullptr;
        Index ldx = ld, x_k0 = 0;
        const double *shift = nullptr, *scale = nullptr;
        double* const rows_copy =
            copy ? all_copies + copy_size * static_cast<std::size_t>(omp_get_thread_num()) : nullptr;
        if (!copy) {
            x0 = A.data + i0 * A.row_stride;
            ldx = A.row_stride;
            shift = A.shift;
            scale = A.scale;
        } else if (!by_step) {
            copy_rows(A, i0, rows, K, rows_copy, ld);
            x0 = rows_copy;
        }
        alignas(32) double tiles[kRows / kPR * 4 * kPR * kPW];
        Index call = 0;
        for (Index p0 = 0; p0 < panels; p0 += 4) {
            // At most four panels at a time, so the tiles fit on the stack.
            const Index np = std::min<Index>(4, panels - p0);
            // From the copy (in L2), a panel's depth step stays in L1 while
            // every group of rows passes; from X itself, each group is read
            // once for all panels.
            const Index depth_step = copy ? kCopyDepth : 4096 / np;
            const auto tile_of = [&](Index g, Index p, Index k0, Index kc) {
                kernel(kc, x0 + g * kPR * ldx + (k0 - x_k0), ldx, std::min(kPR, rows - g * kPR),
                       shift != nullptr ? shift + k0 : nullptr, scale != nullptr ? scale + k0 : nullptr,
                       B.panels.data() + ((p0 + p) * K + k0) * kPW, std::min(kPW, N - (p0 + p) * kPW),
                       tiles + (g * 4 + p) * kPR * kPW, k0 > 0);
            };
            for (Index k0 = 0; k0 < K; k0 += depth_step) {
                const Index kc = std::min(depth_step, K - k0);
                if (by_step) {
                    copy_rows(A.col_range(k0, kc), i0, rows, kc, rows_copy, ld);
                    x0 = rows_copy;
                    x_k0 = k0;
                }
                if (copy) {
                    for (Index p = 0; p < np; ++p) {
                        for (Index g = 0; g < groups; ++g) {
                            tile_of(g, p, k0, kc);
                            if (++call % 2 == 0) ahead.next();
                        }
                    }
                } else {
                    for (Index g = 0; g < groups; ++g)
                        for (Index p = 0; p < np; ++p) tile_of(g, p, k0, kc);
                }
            }
            for (Index g = 0; g < groups; ++g) {
                for (Index p = 0; p < np; ++p) {
                    const Index j0 = (p0 + p) * kPW, cols = std::min(kPW, N - j0);
                    const double* tile = tiles + (g * 4 + p) * kPR * kPW;
                    for (Index r = 0; r < std::min(kPR, rows - g * kPR); ++r)
                        std::memcpy(C + (i0 + g * kPR + r) * ldc + j0, tile + r * kPW,
                                    sizeof(double) * static_cast<std::size_t>(cols));
                }
            }
        }
    }
    interrupt.finish();
}

}  // namespace quorvane::linalg
