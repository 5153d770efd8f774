#include "Gemm.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <omp.h>

#include "Kernels.h"
#include "Parallel.h"

namespace quorvane::linalg {

namespace {

// Copies `lanes` lanes (rows of A or columns of B) of depth kc into
// zero-padded panels of `width` lanes, k-major, so the micro-kernel reads
// both operands contiguously. Element (l, k) sits at data[l * ls + k * ks].
// Standardisation, when asked for, is applied here, once per packed value;
// `shift` and `scale` are indexed by lane or by k as `feature_on_lane` says.
template <Index width>
void pack_panels(const double* data, Index ls, Index ks, Index lanes, Index kc, const double* shift,
                 const double* scale, bool feature_on_lane, double* out) {
    Index whole = 0;
    if (ls == 1 && (shift == nullptr || feature_on_lane)) {
        // Contiguous lanes: each source row is read once, straight through, and
        // spread over the panels, instead of one narrow strip per panel (which
        // revisits every row and, at power-of-two row strides, thrashes the cache).
        whole = lanes / width * width;
        for (Index k = 0; k < kc; ++k) {
            const double* src = data + k * ks;
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
        const double* base = data + p * ls;
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
                    const double* src = base + k * ks;
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
                const double* row = base + l * ls;
                if (scale != nullptr) {
                    for (Index k = 0; k < kc; ++k) panel[k * width + l] = (row[k] - shift[k]) / scale[k];
                } else {
                    for (Index k = 0; k < kc; ++k) panel[k * width + l] = row[k] - shift[k];
                }
            }
        } else {
            for (Index l = 0; l < w; ++l) {
                const double* row = base + l * ls;
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
    pack_panels<kMR>(A.data + i0 * A.row_stride + k0 * A.col_stride, A.row_stride, A.col_stride, mc, kc,
                     A.shift != nullptr ? A.shift + offset : nullptr,
                     A.scale != nullptr ? A.scale + offset : nullptr, on_lane, out);
}

// Lanes of B are its columns.
void pack_b(const Operand& B, Index k0, Index kc, Index j0, Index nc, double* out) {
    const bool on_lane = B.feature_axis == 1;
    const Index offset = on_lane ? j0 : k0;
    pack_panels<kNR>(B.data + k0 * B.row_stride + j0 * B.col_stride, B.col_stride, B.row_stride, nc, kc,
                     B.shift != nullptr ? B.shift + offset : nullptr,
                     B.scale != nullptr ? B.scale + offset : nullptr, on_lane, out);
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

// The product with B either packed here per call (`packed` null) or packed beforehand.
void product(const Operand& A, const Operand& B, const PackedOperand* packed, double* C, Index ldc,
             bool symmetric, const Blocking& blocking) {
    const Index M = A.rows, N = B.cols, K = A.cols;
    if (M == 0 || N == 0) return;
    if (K == 0) {
        for (Index i = 0; i < M; ++i) std::fill(C + i * ldc, C + i * ldc + N, 0.0);
        return;
    }
    const MicroKernel kernel = kernels().micro_kernel;

    const Index kc_max = packed != nullptr ? packed->kc : std::max<Index>(1, blocking.kc);
    const Index nc_max = round_up(std::max<Index>(1, blocking.nc), kNR);
    const double flops = 2.0 * static_cast<double>(M) * static_cast<double>(N) * static_cast<double>(K);
    // Small products run on the calling thread: a team costs more than it saves.
    const bool parallel = !omp_in_parallel() && flops > 1e8 && threads_usable();
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

    InterruptCheck interrupt;
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
                                kernel(kc, packed_a + ip * kc, bp, tile, !first);
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
    constexpr Index kRows = 64;
    const Index blocks = (M + kRows - 1) / kRows;
    const double flops = 2.0 * static_cast<double>(M) * static_cast<double>(N) * static_cast<double>(K);
    const bool parallel = !omp_in_parallel() && blocks > 1 && flops > 1e8 && threads_usable();
    InterruptCheck interrupt;
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
    for (Index block = 0; block < blocks; ++block) {
        if (interrupt.stop()) continue;
        const Index i0 = block * kRows, rows = std::min(kRows, M - i0);
        const Index groups = (rows + kPR - 1) / kPR;
        alignas(32) double tiles[kRows / kPR * 4 * kPR * kPW];
        for (Index p0 = 0; p0 < panels; p0 += 4) {
            // At most four panels at a time, so the tiles fit on the stack.
            const Index np = std::min<Index>(4, panels - p0);
            const Index depth_step = 4096 / np;
            for (Index k0 = 0; k0 < K; k0 += depth_step) {
                const Index kc = std::min(depth_step, K - k0);
                for (Index g = 0; g < groups; ++g) {
                    const double* x = A.data + (i0 + g * kPR) * A.row_stride + k0;
                    const Index r = std::min(kPR, rows - g * kPR);
                    for (Index p = 0; p < np; ++p) {
                        kernel(kc, x, A.row_stride, r, A.shift != nullptr ? A.shift + k0 : nullptr,
                               A.scale != nullptr ? A.scale + k0 : nullptr,
                               B.panels.data() + ((p0 + p) * K + k0) * kPW, tiles + (g * 4 + p) * kPR * kPW,
                               k0 > 0);
                    }
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
