// Kernels in plain C++ for every CPU. Each element is the chain
// acc = fma(a, b, acc) over k, in k order, exactly as in the vector kernels:
// std::fma rounds once like the fused instructions, so the bits agree.
#include <cmath>

#include "Kernels.h"
#include "StandardiseRows.h"

namespace quorvane::linalg {

namespace {

void micro_kernel_portable(Index kc, const double* a, Index lda, const double* b, Index ldb, double* tile,
                           bool accumulate) {
    double acc[kMR * kNR];
    for (Index i = 0; i < kMR * kNR; ++i) acc[i] = accumulate ? tile[i] : 0.0;
    for (Index k = 0; k < kc; ++k) {
        for (Index r = 0; r < kMR; ++r) {
            const double av = a[k * lda + r];
            for (Index c = 0; c < kNR; ++c) acc[r * kNR + c] = std::fma(av, b[k * ldb + c], acc[r * kNR + c]);
        }
    }
    for (Index i = 0; i < kMR * kNR; ++i) tile[i] = acc[i];
}

void projection_kernel_portable(Index depth, const double* x, Index ldx, Index rows, const double* shift,
                                const double* scale, const double* panel, Index, double* tile, bool accumulate) {
    double acc[kPR * kPW];
    for (Index i = 0; i < kPR * kPW; ++i) acc[i] = accumulate ? tile[i] : 0.0;
    double a[kPR * kProjectionChunk];
    for (Index k0 = 0; k0 < depth; k0 += kProjectionChunk) {
        const Index kc = depth - k0 < kProjectionChunk ? depth - k0 : kProjectionChunk;
        standardise_rows(x + k0, ldx, rows, shift != nullptr ? shift + k0 : nullptr,
                         scale != nullptr ? scale + k0 : nullptr, kc, a);
        const double* b = panel + k0 * kPW;
        for (Index k = 0; k < kc; ++k) {
            for (Index r = 0; r < kPR; ++r) {
                const double av = a[r * kProjectionChunk + k];
                for (Index c = 0; c < kPW; ++c) acc[r * kPW + c] = std::fma(av, b[k * kPW + c], acc[r * kPW + c]);
            }
        }
    }
    for (Index i = 0; i < kPR * kPW; ++i) tile[i] = acc[i];
}

Index distance_scan_portable(Index depth, const double* queries, const double* samples, Index panels,
                    const double* sample_norms, const double* query_norms, const double* thresholds,
                    double* distances, std::uint64_t* mask) {
    for (Index p = 0; p < panels; ++p) {
        const double* b = samples + p * depth * kNR;
        double acc[kQR * kNR] = {};
        for (Index k = 0; k < depth; ++k)
            for (Index r = 0; r < kQR; ++r)
                for (Index c = 0; c < kNR; ++c)
                    acc[r * kNR + c] = std::fma(queries[k * kQR + r], b[k * kNR + c], acc[r * kNR + c]);
        std::uint64_t m = 0;
        for (Index r = 0; r < kQR; ++r) {
            for (Index c = 0; c < kNR; ++c) {
                // 2 * product is exact, so this rounds as the fused n - 2 * product does.
                const double d = (sample_norms[p * kNR + c] - 2.0 * acc[r * kNR + c]) + query_norms[r];
                distances[r * kNR + c] = d;
                if (!(d >= thresholds[r])) m |= std::uint64_t{1} << (r * kNR + c);
            }
        }
        if (m != 0) {
            *mask = m;
            return p;
        }
    }
    return panels;
}

Index distance_screen_portable(Index depth, const float* queries, const float* blocks, Index pairs,
                               const Index* stops, Index stages, const float* limits, std::uint64_t* masks) {
    constexpr Index kWide = 2 * kNR;
    for (Index pp = 0; pp < pairs; ++pp) {
        const float* inc = blocks + pp * (stages + depth) * kWide;
        const float* b = inc + stages * kWide;
        float acc[kQR * kWide] = {};
        bool open = true;
        Index k = 0;
        for (Index s = 0; s < stages && open; ++s) {
            for (Index i = 0; i < kQR * kWide; ++i) acc[i] += inc[s * kWide + i % kWide];
            for (; k < stops[s]; ++k) {
                for (Index r = 0; r < kQR; ++r) {
                    const float av = queries[k * kQR + r];
                    for (Index c = 0; c < kWide; ++c) {
                        const float bv = b[k * kWide + c];
                        acc[r * kWide + c] = std::fma(av, bv, acc[r * kWide + c]);
                    }
                }
            }
            std::uint64_t m[2] = {0, 0};
            for (Index r = 0; r < kQR; ++r)
                for (Index c = 0; c < kWide; ++c)
                    if (!(acc[r * kWide + c] >= limits[s * kQR + r]))
                        m[c / kNR] |= std::uint64_t{1} << (r * kNR + c % kNR);
            open = (m[0] | m[1]) != 0;
            if (open && s == stages - 1) {
                masks[0] = m[0];
                masks[1] = m[1];
                return pp;
            }
        }
    }
    return pairs;
}

double squared_norm_portable(const double* x, Index n) {
    double acc = 0.0;
    for (Index i = 0; i < n; ++i) acc = std::fma(x[i], x[i], acc);
    return acc;
}

double exact_distance_portable(const double* q, const double* t, Index depth, double sample_norm, double query_norm) {
    double dot = 0.0;
    for (Index k = 0; k < depth; ++k) dot = std::fma(q[k], t[k], dot);
    return (sample_norm - 2.0 * dot) + query_norm;
}

}  // namespace

const KernelTable& portable_kernels() {
    static const KernelTable table{"portable",           micro_kernel_portable,    projection_kernel_portable,    squared_norm_portable,
                                   distance_scan_portable, distance_screen_portable, exact_distance_portable,
                                   standardise_row<double>, standardise_row<float>};
    return table;
}

}  // namespace quorvane::linalg
