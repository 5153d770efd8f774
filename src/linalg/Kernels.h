#pragma once

#include <cstdint>

#include "Gemm.h"

namespace quorvane::linalg {

/// Register tile of the micro-kernels: kMR rows of A by kNR columns of B.
constexpr Index kMR = 6;
constexpr Index kNR = 8;
/// Queries per distance scan: they are packed kQR values per depth step.
constexpr Index kQR = 6;

/// tile (kMR x kNR, row-major) = [tile +] a_panel^T * b_panel over depth kc,
/// a_panel holding kMR values per k and b_panel kNR values per k.
using MicroKernel = void (*)(Index kc, const double* a_panel, const double* b_panel, double* tile,
                             bool accumulate);

void micro_kernel_fma(Index kc, const double* a, const double* b, double* tile, bool accumulate);
void micro_kernel_plain(Index kc, const double* a, const double* b, double* tile, bool accumulate);

double squared_norm_fma(const double* x, Index n);
double squared_norm_plain(const double* x, Index n);

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

Index distance_scan_fma(Index depth, const double* queries, const double* samples, Index panels,
                        const double* sample_norms, const double* query_norms, const double* thresholds,
                        double* distances, std::uint64_t* mask);
Index distance_scan_plain(Index depth, const double* queries, const double* samples, Index panels,
                          const double* sample_norms, const double* query_norms, const double* thresholds,
                          double* distances, std::uint64_t* mask);

/// The distance scan matching `multiply`'s arithmetic on this machine.
DistanceScan distance_scan();

/// Single-precision screen with fused multiply-adds: kQR packed float
/// queries against `pairs` consecutive pairs of float sample panels. A pair
/// (r, c) passes unless (norm_c - 2 * product) + query_norm_r, in float, is
/// >= thresholds[r] + k_bound * (root_c + query_root_r)^2 + a_bound: with
/// bounds that cover the float rounding, every sample whose exact distance
/// is below the threshold passes. Stops at the first pair of panels with a
/// passing sample: returns its position and the passing bits of each panel
/// in masks[0] and masks[1] (bit r * kNR + c). Needs AVX2 and FMA.
Index distance_screen_fma(Index depth, const float* queries, const float* samples, Index pairs,
                          const float* norms, const float* roots, const float* query_norms,
                          const float* query_roots, const float* thresholds, float k_bound, float a_bound,
                          std::uint64_t* masks);

/// (sample_norm - 2 * q.t) + query_norm with q.t the fused chain of `multiply`:
/// the distance the double scan gives for this pair, bit for bit.
double exact_distance(const double* q, const double* t, Index depth, double sample_norm, double query_norm);

}  // namespace quorvane::linalg
