#pragma once

#include <cstdint>

#include "Gemm.h"

namespace quorvane::linalg {

/// Register tile of the micro-kernels: kMR rows of A by kNR columns of B.
constexpr Index kMR = 4;
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

}  // namespace quorvane::linalg
