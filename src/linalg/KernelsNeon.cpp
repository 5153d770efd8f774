// Advanced SIMD kernels, compiled only on aarch64. vfmaq rounds once per
// multiply-add like the AVX2 and std::fma kernels, and every element runs
// the same chain in the same k order, so all three give the same bits.
#include <arm_neon.h>

#include "Kernels.h"
#include "StandardiseRows.h"

namespace quorvane::linalg {

namespace {

// One depth step of a 6 x 8 double tile: four vectors of two samples per
// query row, 24 accumulators of the 32 registers.
inline void fma_step(float64x2_t (&c)[kMR][4], const double* a, const double* b) {
    const float64x2_t b0 = vld1q_f64(b), b1 = vld1q_f64(b + 2), b2 = vld1q_f64(b + 4), b3 = vld1q_f64(b + 6);
    for (int r = 0; r < kMR; ++r) {
        const float64x2_t av = vdupq_n_f64(a[r]);
        c[r][0] = vfmaq_f64(c[r][0], av, b0);
        c[r][1] = vfmaq_f64(c[r][1], av, b1);
        c[r][2] = vfmaq_f64(c[r][2], av, b2);
        c[r][3] = vfmaq_f64(c[r][3], av, b3);
    }
}

void micro_kernel_neon(Index kc, const double* a, Index lda, const double* b, Index ldb, double* tile,
                       bool accumulate) {
    static_assert(kMR == 6 && kNR == 8 && kQR == kMR, "the register tile below is 6 by 8");
    float64x2_t c[kMR][4];
    for (int r = 0; r < kMR; ++r)
        for (int v = 0; v < 4; ++v) c[r][v] = accumulate ? vld1q_f64(tile + r * kNR + 2 * v) : vdupq_n_f64(0.0);
    for (Index k = 0; k < kc; ++k, a += lda, b += ldb) fma_step(c, a, b);
    for (int r = 0; r < kMR; ++r)
        for (int v = 0; v < 4; ++v) vst1q_f64(tile + r * kNR + 2 * v, c[r][v]);
}

// A 4 x 12 tile: six vectors of two components per row, 24 accumulators.
void projection_kernel_neon(Index depth, const double* x, Index ldx, Index rows, const double* shift,
                            const double* scale, const double* panel, Index, double* tile, bool accumulate) {
    static_assert(kPR == 4 && kPW == 12, "the register tile below is 4 by 12");
    float64x2_t c[kPR][6];
    for (int r = 0; r < kPR; ++r)
        for (int v = 0; v < 6; ++v) c[r][v] = accumulate ? vld1q_f64(tile + r * kPW + 2 * v) : vdupq_n_f64(0.0);
    double a[kPR * kProjectionChunk];
    for (Index k0 = 0; k0 < depth; k0 += kProjectionChunk) {
        const Index kc = depth - k0 < kProjectionChunk ? depth - k0 : kProjectionChunk;
        standardise_rows(x + k0, ldx, rows, shift != nullptr ? shift + k0 : nullptr,
                         scale != nullptr ? scale + k0 : nullptr, kc, a);
        const double* b = panel + k0 * kPW;
        for (Index k = 0; k < kc; ++k, b += kPW) {
            const float64x2_t b0 = vld1q_f64(b), b1 = vld1q_f64(b + 2), b2 = vld1q_f64(b + 4),
                              b3 = vld1q_f64(b + 6), b4 = vld1q_f64(b + 8), b5 = vld1q_f64(b + 10);
            for (int r = 0; r < kPR; ++r) {
                const float64x2_t av = vdupq_n_f64(a[r * kProjectionChunk + k]);
                c[r][0] = vfmaq_f64(c[r][0], av, b0);
                c[r][1] = vfmaq_f64(c[r][1], av, b1);
                c[r][2] = vfmaq_f64(c[r][2], av, b2);
                c[r][3] = vfmaq_f64(c[r][3], av, b3);
                c[r][4] = vfmaq_f64(c[r][4], av, b4);
                c[r][5] = vfmaq_f64(c[r][5], av, b5);
            }
        }
    }
    for (int r = 0; r < kPR; ++r)
        for (int v = 0; v < 6; ++v) vst1q_f64(tile + r * kPW + 2 * v, c[r][v]);
}

Index distance_scan_neon(Index depth, const double* queries, const double* samples, Index panels,
                    const double* sample_norms, const double* query_norms, const double* thresholds,
                    double* distances, std::uint64_t* mask) {
    const float64x2_t two = vdupq_n_f64(2.0);
    for (Index p = 0; p < panels; ++p) {
        const double* b = samples + p * depth * kNR;
        float64x2_t c[kQR][4];
        for (int r = 0; r < kQR; ++r)
            for (int v = 0; v < 4; ++v) c[r][v] = vdupq_n_f64(0.0);
        const double* a = queries;
        for (Index k = 0; k < depth; ++k, a += kQR, b += kNR) fma_step(c, a, b);
        std::uint64_t m = 0;
        for (int r = 0; r < kQR; ++r) {
            const float64x2_t qq = vdupq_n_f64(query_norms[r]);
            const float64x2_t limit = vdupq_n_f64(thresholds[r]);
            for (int v = 0; v < 4; ++v) {
                // 2 * product is exact: one rounding, as in the other kernels.
                const float64x2_t n = vld1q_f64(sample_norms + p * kNR + 2 * v);
                c[r][v] = vaddq_f64(vsubq_f64(n, vmulq_f64(two, c[r][v])), qq);
                // A lane passes unless d >= limit (NaN on either side passes).
                const uint64x2_t ge = vcgeq_f64(c[r][v], limit);
                const int bit = r * kNR + 2 * v;
                if (vgetq_lane_u64(ge, 0) == 0) m |= std::uint64_t{1} << bit;
                if (vgetq_lane_u64(ge, 1) == 0) m |= std::uint64_t{1} << (bit + 1);
            }
        }
        if (m != 0) {
            for (int r = 0; r < kQR; ++r)
                for (int v = 0; v < 4; ++v) vst1q_f64(distances + r * kNR + 2 * v, c[r][v]);
            *mask = m;
            return p;
        }
    }
    return panels;
}

// Float screen over pairs of panels: 16 samples per query row, four vectors of four.
Index distance_screen_neon(Index depth, const float* queries, const float* blocks, Index pairs,
                           const Index* stops, Index stages, const float* limits, std::uint64_t* masks) {
    constexpr Index kRow = 2 * kNR;
    for (Index pp = 0; pp < pairs; ++pp) {
        const float* inc = blocks + pp * (stages + depth) * kRow;
        const float* b = inc + stages * kRow;
        float32x4_t c[kQR][4];
        for (int r = 0; r < kQR; ++r)
            for (int v = 0; v < 4; ++v) c[r][v] = vdupq_n_f32(0.0f);
        Index k = 0;
        for (Index s = 0; s < stages; ++s) {
            const float32x4_t iv[4] = {vld1q_f32(inc + s * kRow), vld1q_f32(inc + s * kRow + 4),
                                       vld1q_f32(inc + s * kRow + 8), vld1q_f32(inc + s * kRow + 12)};
            for (int r = 0; r < kQR; ++r)
                for (int v = 0; v < 4; ++v) c[r][v] = vaddq_f32(c[r][v], iv[v]);
            for (const float* a = queries + k * kQR; k < stops[s]; ++k, a += kQR) {
                const float32x4_t bv[4] = {vld1q_f32(b + k * kRow), vld1q_f32(b + k * kRow + 4),
                                           vld1q_f32(b + k * kRow + 8), vld1q_f32(b + k * kRow + 12)};
                for (int r = 0; r < kQR; ++r) {
                    const float32x4_t av = vdupq_n_f32(a[r]);
                    for (int v = 0; v < 4; ++v) c[r][v] = vfmaq_f32(c[r][v], av, bv[v]);
                }
            }
            // A lane passes while its value is not >= the limit (so a NaN limit passes).
            uint32x4_t pass[kQR][4];
            uint32x4_t any = vdupq_n_u32(0);
            for (int r = 0; r < kQR; ++r) {
                const float32x4_t limit = vdupq_n_f32(limits[s * kQR + r]);
                for (int v = 0; v < 4; ++v) {
                    pass[r][v] = vmvnq_u32(vcgeq_f32(c[r][v], limit));
                    any = vorrq_u32(any, pass[r][v]);
                }
            }
            if (vmaxvq_u32(any) == 0) break;
            if (s < stages - 1) continue;
            std::uint64_t m[2] = {0, 0};
            for (int r = 0; r < kQR; ++r) {
                for (int v = 0; v < 4; ++v) {
                    const std::uint32_t lanes[4] = {vgetq_lane_u32(pass[r][v], 0), vgetq_lane_u32(pass[r][v], 1),
                                                    vgetq_lane_u32(pass[r][v], 2), vgetq_lane_u32(pass[r][v], 3)};
                    for (int l = 0; l < 4; ++l)
                        if (lanes[l] != 0) m[v / 2] |= std::uint64_t{1} << (r * kNR + 4 * (v % 2) + l);
                }
            }
            masks[0] = m[0];
            masks[1] = m[1];
            return pp;
        }
    }
    return pairs;
}

}  // namespace

// The norm and the single distance are scalar chains; on aarch64 std::fma is
// one instruction, so the portable ones serve here too.
const KernelTable& neon_kernels() {
    static const KernelTable table{"neon",
                                   micro_kernel_neon,
                                   projection_kernel_neon,
                                   portable_kernels().squared_norm,
                                   distance_scan_neon,
                                   distance_screen_neon,
                                   portable_kernels().exact_distance,
                                   portable_kernels().standardise_row,
                                   portable_kernels().standardise_float_row};
    return table;
}

}  // namespace quorvane::linalg
