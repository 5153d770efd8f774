#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Gemm.h"

namespace quorvane::linalg {

/// Register tile of the micro-kernels: kMR rows of A by kNR columns of B.
constexpr Index kMR = 6;
constexpr Index kNR = 8;
/// Queries per distance scan: they are packed kQR values per depth step.
constexpr Index kQR = 6;
/// Tile of the projection kernel: kPR rows of X by kPW components. Few
/// components are the rule, so the tile is wide in rows' place, not in columns.
constexpr Index kPR = 4;
constexpr Index kPW = 12;

/// tile (kMR x kNR, row-major) = [tile +] a_panel^T * b_panel over depth kc,
/// a_panel holding kMR consecutive values per k, lda apart, and b_panel kNR
/// per k, ldb apart (kMR and kNR for packed panels). Every element is the
/// chain acc = fma(a, b, acc) over k, in k order.
using MicroKernel = void (*)(Index kc, const double* a_panel, Index lda, const double* b_panel, Index ldb,
                             double* tile, bool accumulate);

/// tile (kPR x kPW, row-major) = [tile +] Xs * panel over depth `depth`,
/// where row r (r < rows <= kPR) of X starts at x + r * ldx with contiguous
/// values, Xs standardises each as (value - shift[k]) / scale[k] (no
/// division when `scale` is null) and panel holds kPW values per k. X is read
/// in place, not packed; rows past `rows` come out as zeros. Only the first
/// `width` columns of the tile are defined. Every element is the chain
/// acc = fma(a, b, acc) over k, in k order, as in the micro-kernel.
using ProjectionKernel = void (*)(Index depth, const double* x, Index ldx, Index rows, const double* shift,
                                  const double* scale, const double* panel, Index width, double* tile,
                                  bool accumulate);

/// Sum of squares of x[0..n) in the same fused chain.
using SquaredNorm = double (*)(const double* x, Index n);

/// dst[j] = (src[j] - shift[j]) / scale[j] for j < n (a copy without shift,
/// no division without scale): the standardisation every product applies.
using StandardiseRow = void (*)(const double* src, Index n, const double* shift, const double* scale,
                                double* dst);

/// The same from a row of floats, each widened to double first (exactly).
using StandardiseFloatRow = void (*)(const float* src, Index n, const double* shift, const double* scale,
                                     double* dst);

/// Scans kQR packed queries against `panels` consecutive packed panels of
/// kNR samples (panel p at samples + p * depth * kNR, norms at
/// sample_norms + p * kNR). Distances take the expanded form
/// (sample_norm - 2 * product) + query_norm. Stops at the first panel holding
/// a pair that may beat its query's current worst neighbour (a distance not
/// >= thresholds[r]; a NaN threshold lets every pair through): returns that
/// panel's position, its kQR x kNR distances (row-major) in `distances` and
/// the pairs in `mask` (bit r * kNR + c). Returns `panels` when none does.
using DistanceScan = Index (*)(Index depth, const double* queries, const double* samples, Index panels,
                               const double* sample_norms, const double* query_norms,
                               const double* thresholds, double* distances, std::uint64_t* mask);

/// Single-precision screen in stages: kQR packed float queries (each value
/// already times -2) against `pairs` consecutive blocks of 2 * kNR samples.
/// A block is stages + depth rows of 2 * kNR floats: first one row per stage
/// of increments (each sample's squared values over that stage's depth), then
/// one row of values per depth step, so a stage reads one run of memory. The
/// depth is cut into stages ending at stops[0] < ... < stops[stages - 1] =
/// depth; after stage s the value of (query r, sample c) is the float sum of
/// the sample's increments 0..s and the fused chain of (-2 q) t over the
/// depth so far. A block is left after stage s < stages - 1 when every value
/// is >= limits[s * kQR + r] (a NaN limit lets values through). At the last
/// stage the pairs whose value is not >= their limit pass: stops at the first
/// block with one, returning its position and the passing bits of its two
/// halves in masks[0] and masks[1] (bit r * kNR + c); returns `pairs` when
/// none passes.
using DistanceScreen = Index (*)(Index depth, const float* queries, const float* blocks, Index pairs,
                                 const Index* stops, Index stages, const float* limits, std::uint64_t* masks);

/// (sample_norm - 2 * q.t) + query_norm with q.t the fused chain: the
/// distance the scan gives for this pair, bit for bit.
using ExactDistance = double (*)(const double* q, const double* t, Index depth, double sample_norm,
                                 double query_norm);

/// The kernels of one instruction set. Every level computes every element
/// with the same fused chain in the same order, so all give the same bits;
/// they differ in speed only.
struct KernelTable {
    const char* name;
    MicroKernel micro_kernel;
    ProjectionKernel projection_kernel;
    SquaredNorm squared_norm;
    DistanceScan distance_scan;
    DistanceScreen distance_screen;
    ExactDistance exact_distance;
    StandardiseRow standardise_row;
    StandardiseFloatRow standardise_float_row;
};

/// Plain C++ with std::fma: runs on every CPU.
const KernelTable& portable_kernels();
#if defined(__x86_64__)
/// AVX2 and FMA; only to be called where the CPU has both.
const KernelTable& avx2_kernels();
#endif
#if defined(__aarch64__)
/// Advanced SIMD, present on every aarch64 CPU.
const KernelTable& neon_kernels();
#endif

/// The table in use: the one `select_simd_level` chose, or the best this CPU
/// runs when nothing was chosen.
const KernelTable& kernels();

/// Levels this CPU runs, best first ("avx2" or "neon", then "portable").
std::vector<std::string> available_simd_levels();

/// Chooses the table every later call uses: "auto" (the best available) or
/// a level's name. Throws std::invalid_argument naming the request and what
/// the CPU offers when the name is unknown or the CPU cannot run it. Meant
/// to be called once, before any product runs (and between tests).
void select_simd_level(const std::string& name);

/// The distance scan of the table in use.
inline DistanceScan distance_scan() { return kernels().distance_scan; }

inline Index distance_screen(Index depth, const float* queries, const float* blocks, Index pairs,
                             const Index* stops, Index stages, const float* limits, std::uint64_t* masks) {
    return kernels().distance_screen(depth, queries, blocks, pairs, stops, stages, limits, masks);
}

inline double exact_distance(const double* q, const double* t, Index depth, double sample_norm,
                             double query_norm) {
    return kernels().exact_distance(q, t, depth, sample_norm, query_norm);
}

}  // namespace quorvane::linalg
