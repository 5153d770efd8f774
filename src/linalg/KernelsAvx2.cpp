// AVX2 + FMA kernels, compiled with -mavx2 -mfma and only on x86-64. The
// flags cover the whole file, so it includes nothing with inline functions
// other files also use: an AVX2 copy of one could be the one the linker keeps.
#include "Kernels.h"
#include "StandardiseRows.h"

#include <immintrin.h>

namespace quorvane::linalg {

namespace {

// One depth step of the 6 x 8 double tile held in c00 ... c51: a row of 8
// samples times 6 broadcast query values. A macro, so that the twelve
// accumulators stay in registers in every kernel that uses it.
#define QUORVANE_FMA_STEP(a, b)                            \
    {                                                      \
        const __m256d b0 = _mm256_loadu_pd(b);             \
        const __m256d b1 = _mm256_loadu_pd((b) + 4);       \
        __m256d av = _mm256_broadcast_sd((a) + 0);         \
        c00 = _mm256_fmadd_pd(av, b0, c00);                \
        c01 = _mm256_fmadd_pd(av, b1, c01);                \
        av = _mm256_broadcast_sd((a) + 1);                 \
        c10 = _mm256_fmadd_pd(av, b0, c10);                \
        c11 = _mm256_fmadd_pd(av, b1, c11);                \
        av = _mm256_broadcast_sd((a) + 2);                 \
        c20 = _mm256_fmadd_pd(av, b0, c20);                \
        c21 = _mm256_fmadd_pd(av, b1, c21);                \
        av = _mm256_broadcast_sd((a) + 3);                 \
        c30 = _mm256_fmadd_pd(av, b0, c30);                \
        c31 = _mm256_fmadd_pd(av, b1, c31);                \
        av = _mm256_broadcast_sd((a) + 4);                 \
        c40 = _mm256_fmadd_pd(av, b0, c40);                \
        c41 = _mm256_fmadd_pd(av, b1, c41);                \
        av = _mm256_broadcast_sd((a) + 5);                 \
        c50 = _mm256_fmadd_pd(av, b0, c50);                \
        c51 = _mm256_fmadd_pd(av, b1, c51);                \
    }

void micro_kernel_fma(Index kc, const double* a, Index lda, const double* b, Index ldb, double* tile,
                      bool accumulate) {
    static_assert(kMR == 6 && kNR == 8, "the register tile below is 6 by 8");
    // Twelve accumulators: enough independent chains to keep both FMA pipes busy.
    __m256d c00, c01, c10, c11, c20, c21, c30, c31, c40, c41, c50, c51;
    if (accumulate) {
        c00 = _mm256_loadu_pd(tile + 0);
        c01 = _mm256_loadu_pd(tile + 4);
        c10 = _mm256_loadu_pd(tile + 8);
        c11 = _mm256_loadu_pd(tile + 12);
        c20 = _mm256_loadu_pd(tile + 16);
        c21 = _mm256_loadu_pd(tile + 20);
        c30 = _mm256_loadu_pd(tile + 24);
        c31 = _mm256_loadu_pd(tile + 28);
        c40 = _mm256_loadu_pd(tile + 32);
        c41 = _mm256_loadu_pd(tile + 36);
        c50 = _mm256_loadu_pd(tile + 40);
        c51 = _mm256_loadu_pd(tile + 44);
    } else {
        c00 = c01 = c10 = c11 = c20 = c21 = c30 = c31 = c40 = c41 = c50 = c51 = _mm256_setzero_pd();
    }
    for (Index k = 0; k < kc; ++k, a += lda, b += ldb) {
        QUORVANE_FMA_STEP(a, b)
    }
    _mm256_storeu_pd(tile + 0, c00);
    _mm256_storeu_pd(tile + 4, c01);
    _mm256_storeu_pd(tile + 8, c10);
    _mm256_storeu_pd(tile + 12, c11);
    _mm256_storeu_pd(tile + 16, c20);
    _mm256_storeu_pd(tile + 20, c21);
    _mm256_storeu_pd(tile + 24, c30);
    _mm256_storeu_pd(tile + 28, c31);
    _mm256_storeu_pd(tile + 32, c40);
    _mm256_storeu_pd(tile + 36, c41);
    _mm256_storeu_pd(tile + 40, c50);
    _mm256_storeu_pd(tile + 44, c51);
}

// kThird: the panel's last four columns are in use; a panel of at most
// eight components (the last one, mostly) skips them and a third of the work.
template <bool kThird>
void projection_tile(Index depth, const double* x, Index ldx, Index rows, const double* shift,
                     const double* scale, const double* panel, double* tile, bool accumulate) {
    static_assert(kPR == 4 && kPW == 12, "the register tile below is 4 by 12");
    const __m256d zero = _mm256_setzero_pd();
    __m256d c00 = zero, c01 = zero, c02 = zero, c10 = zero, c11 = zero, c12 = zero, c20 = zero, c21 = zero,
            c22 = zero, c30 = zero, c31 = zero, c32 = zero;
    if (accumulate) {
        c00 = _mm256_loadu_pd(tile + 0);
        c01 = _mm256_loadu_pd(tile + 4);
        c10 = _mm256_loadu_pd(tile + 12);
        c11 = _mm256_loadu_pd(tile + 16);
        c20 = _mm256_loadu_pd(tile + 24);
        c21 = _mm256_loadu_pd(tile + 28);
        c30 = _mm256_loadu_pd(tile + 36);
        c31 = _mm256_loadu_pd(tile + 40);
        if constexpr (kThird) {
            c02 = _mm256_loadu_pd(tile + 8);
            c12 = _mm256_loadu_pd(tile + 20);
            c22 = _mm256_loadu_pd(tile + 32);
            c32 = _mm256_loadu_pd(tile + 44);
        }
    }
    alignas(32) double a[kPR * kProjectionChunk];
    // Whole groups of rows that need no standardising are read where they lie.
    const bool in_place = shift == nullptr && rows == kPR;
    for (Index k0 = 0; k0 < depth; k0 += kProjectionChunk) {
        const Index kc = depth - k0 < kProjectionChunk ? depth - k0 : kProjectionChunk;
        const double* a0 = in_place ? x + k0 : a;
        const Index lda = in_place ? ldx : kProjectionChunk;
        if (!in_place) {
            standardise_rows(x + k0, ldx, rows, shift != nullptr ? shift + k0 : nullptr,
                             scale != nullptr ? scale + k0 : nullptr, kc, a);
        }
        const double* a1 = a0 + lda;
        const double* a2 = a1 + lda;
        const double* a3 = a2 + lda;
        const double* b = panel + k0 * kPW;
        for (Index k = 0; k < kc; ++k, b += kPW) {
            const __m256d b0 = _mm256_loadu_pd(b);
            const __m256d b1 = _mm256_loadu_pd(b + 4);
            __m256d b2;
            if constexpr (kThird) b2 = _mm256_loadu_pd(b + 8);
            __m256d av = _mm256_broadcast_sd(a0 + k);
            c00 = _mm256_fmadd_pd(av, b0, c00);
            c01 = _mm256_fmadd_pd(av, b1, c01);
            if constexpr (kThird) c02 = _mm256_fmadd_pd(av, b2, c02);
            av = _mm256_broadcast_sd(a1 + k);
            c10 = _mm256_fmadd_pd(av, b0, c10);
            c11 = _mm256_fmadd_pd(av, b1, c11);
            if constexpr (kThird) c12 = _mm256_fmadd_pd(av, b2, c12);
            av = _mm256_broadcast_sd(a2 + k);
            c20 = _mm256_fmadd_pd(av, b0, c20);
            c21 = _mm256_fmadd_pd(av, b1, c21);
            if constexpr (kThird) c22 = _mm256_fmadd_pd(av, b2, c22);
            av = _mm256_broadcast_sd(a3 + k);
            c30 = _mm256_fmadd_pd(av, b0, c30);
            c31 = _mm256_fmadd_pd(av, b1, c31);
            if constexpr (kThird) c32 = _mm256_fmadd_pd(av, b2, c32);
        }
    }
    _mm256_storeu_pd(tile + 0, c00);
    _mm256_storeu_pd(tile + 4, c01);
    _mm256_storeu_pd(tile + 8, c02);
    _mm256_storeu_pd(tile + 12, c10);
    _mm256_storeu_pd(tile + 16, c11);
    _mm256_storeu_pd(tile + 20, c12);
    _mm256_storeu_pd(tile + 24, c20);
    _mm256_storeu_pd(tile + 28, c21);
    _mm256_storeu_pd(tile + 32, c22);
    _mm256_storeu_pd(tile + 36, c30);
    _mm256_storeu_pd(tile + 40, c31);
    _mm256_storeu_pd(tile + 44, c32);
}

void projection_kernel_fma(Index depth, const double* x, Index ldx, Index rows, const double* shift,
                           const double* scale, const double* panel, Index width, double* tile, bool accumulate) {
    if (width > 8) {
        projection_tile<true>(depth, x, ldx, rows, shift, scale, panel, tile, accumulate);
    } else {
        projection_tile<false>(depth, x, ldx, rows, shift, scale, panel, tile, accumulate);
    }
}

double squared_norm_fma(const double* x, Index n) {
    double acc = 0.0;
    for (Index i = 0; i < n; ++i) acc = __builtin_fma(x[i], x[i], acc);
    return acc;
}

std::uint32_t below(__m256d d, __m256d t) {
    return static_cast<std::uint32_t>(_mm256_movemask_pd(_mm256_cmp_pd(d, t, _CMP_NGE_UQ)));
}

Index distance_scan_fma(
    Index depth, const double* queries, const double* samples, Index panels, const double* sample_norms,
    const double* query_norms, const double* thresholds, double* distances, std::uint64_t* mask) {
    static_assert(kQR == 6 && kNR == 8, "the register tile below is 6 queries by 8 samples");
    const __m256d two = _mm256_set1_pd(2.0);
    for (Index p = 0; p < panels; ++p) {
        const double* b = samples + p * depth * kNR;
        // Twelve accumulators: enough independent chains to keep both FMA pipes busy.
        __m256d c00 = _mm256_setzero_pd(), c01 = _mm256_setzero_pd(), c10 = _mm256_setzero_pd(),
                c11 = _mm256_setzero_pd(), c20 = _mm256_setzero_pd(), c21 = _mm256_setzero_pd(),
                c30 = _mm256_setzero_pd(), c31 = _mm256_setzero_pd(), c40 = _mm256_setzero_pd(),
                c41 = _mm256_setzero_pd(), c50 = _mm256_setzero_pd(), c51 = _mm256_setzero_pd();
        const double* a = queries;
        for (Index k = 0; k < depth; ++k, a += kQR, b += kNR) {
            QUORVANE_FMA_STEP(a, b)
        }
        // sample_norm - 2 * product is exact in one fused step (2 * product
        // is exact), so this rounds exactly like the two-step expanded formula.
        const __m256d n0 = _mm256_loadu_pd(sample_norms + p * kNR);
        const __m256d n1 = _mm256_loadu_pd(sample_norms + p * kNR + 4);
        std::uint64_t m = 0;
#define QUORVANE_ROW(r, lo, hi)                                                                   \
    {                                                                                             \
        const __m256d qq = _mm256_broadcast_sd(query_norms + r);                                  \
        const __m256d limit = _mm256_broadcast_sd(thresholds + r);                                \
        lo = _mm256_add_pd(_mm256_fnmadd_pd(two, lo, n0), qq);                                    \
        hi = _mm256_add_pd(_mm256_fnmadd_pd(two, hi, n1), qq);                                    \
        m |= std::uint64_t{below(lo, limit) | below(hi, limit) << 4} << (r * kNR);                \
    }
        QUORVANE_ROW(0, c00, c01)
        QUORVANE_ROW(1, c10, c11)
        QUORVANE_ROW(2, c20, c21)
        QUORVANE_ROW(3, c30, c31)
        QUORVANE_ROW(4, c40, c41)
        QUORVANE_ROW(5, c50, c51)
#undef QUORVANE_ROW
        if (m != 0) {
            _mm256_storeu_pd(distances + 0, c00);
            _mm256_storeu_pd(distances + 4, c01);
            _mm256_storeu_pd(distances + 8, c10);
            _mm256_storeu_pd(distances + 12, c11);
            _mm256_storeu_pd(distances + 16, c20);
            _mm256_storeu_pd(distances + 20, c21);
            _mm256_storeu_pd(distances + 24, c30);
            _mm256_storeu_pd(distances + 28, c31);
            _mm256_storeu_pd(distances + 32, c40);
            _mm256_storeu_pd(distances + 36, c41);
            _mm256_storeu_pd(distances + 40, c50);
            _mm256_storeu_pd(distances + 44, c51);
            *mask = m;
            return p;
        }
    }
    return panels;
}

Index distance_screen_fma(Index depth, const float* queries, const float* blocks, Index pairs,
                          const Index* stops, Index stages, const float* limits, std::uint64_t* masks) {
    static_assert(kQR == 6 && kNR == 8, "the register tile below is 6 queries by two halves of 8 samples");
    constexpr Index kRow = 2 * kNR;  // floats per row: one cache line
    const Index block_size = (stages + depth) * kRow;
    for (Index pp = 0; pp < pairs; ++pp) {
        const float* inc = blocks + pp * block_size;
        const float* b = inc + stages * kRow;
        // Every block reads at least its first stage: fetch the next one's now,
        // so the loads meet it in L1 rather than wait on L2.
        if (pp + 1 < pairs) {
            for (Index line = 0; line < stages + stops[0]; ++line)
                _mm_prefetch(reinterpret_cast<const char*>(inc + block_size + line * kRow), _MM_HINT_T0);
        }
        __m256 c00 = _mm256_loadu_ps(inc), c01 = _mm256_loadu_ps(inc + kNR);
        __m256 c10 = c00, c11 = c01, c20 = c00, c21 = c01, c30 = c00, c31 = c01, c40 = c00, c41 = c01, c50 = c00,
               c51 = c01;
        Index k = 0;
        for (Index s = 0;; ++s) {
            if (s > 0) {
                const __m256 i0 = _mm256_loadu_ps(inc + s * kRow), i1 = _mm256_loadu_ps(inc + s * kRow + kNR);
                c00 = _mm256_add_ps(c00, i0), c01 = _mm256_add_ps(c01, i1);
                c10 = _mm256_add_ps(c10, i0), c11 = _mm256_add_ps(c11, i1);
                c20 = _mm256_add_ps(c20, i0), c21 = _mm256_add_ps(c21, i1);
                c30 = _mm256_add_ps(c30, i0), c31 = _mm256_add_ps(c31, i1);
                c40 = _mm256_add_ps(c40, i0), c41 = _mm256_add_ps(c41, i1);
                c50 = _mm256_add_ps(c50, i0), c51 = _mm256_add_ps(c51, i1);
            }
            for (const float* a = queries + k * kQR; k < stops[s]; ++k, a += kQR) {
                const __m256 b0 = _mm256_loadu_ps(b + k * kRow);
                const __m256 b1 = _mm256_loadu_ps(b + k * kRow + kNR);
                __m256 av = _mm256_broadcast_ss(a + 0);
                c00 = _mm256_fmadd_ps(av, b0, c00);
                c01 = _mm256_fmadd_ps(av, b1, c01);
                av = _mm256_broadcast_ss(a + 1);
                c10 = _mm256_fmadd_ps(av, b0, c10);
                c11 = _mm256_fmadd_ps(av, b1, c11);
                av = _mm256_broadcast_ss(a + 2);
                c20 = _mm256_fmadd_ps(av, b0, c20);
                c21 = _mm256_fmadd_ps(av, b1, c21);
                av = _mm256_broadcast_ss(a + 3);
                c30 = _mm256_fmadd_ps(av, b0, c30);
                c31 = _mm256_fmadd_ps(av, b1, c31);
                av = _mm256_broadcast_ss(a + 4);
                c40 = _mm256_fmadd_ps(av, b0, c40);
                c41 = _mm256_fmadd_ps(av, b1, c41);
                av = _mm256_broadcast_ss(a + 5);
                c50 = _mm256_fmadd_ps(av, b0, c50);
                c51 = _mm256_fmadd_ps(av, b1, c51);
            }
            // A lane passes while its value is not >= the limit (so a NaN limit
            // passes). Two short chains of ors, and nothing kept past the test:
            // the twelve accumulators need the registers.
            const float* lim = limits + s * kQR;
            __m256 l = _mm256_broadcast_ss(lim + 0);
            __m256 any0 = _mm256_cmp_ps(c00, l, _CMP_NGE_UQ), any1 = _mm256_cmp_ps(c01, l, _CMP_NGE_UQ);
#define QUORVANE_PASS_ROW(r, lo, hi)                                        \
    l = _mm256_broadcast_ss(lim + r);                                     \
    any0 = _mm256_or_ps(any0, _mm256_cmp_ps(lo, l, _CMP_NGE_UQ));         \
    any1 = _mm256_or_ps(any1, _mm256_cmp_ps(hi, l, _CMP_NGE_UQ));
            QUORVANE_PASS_ROW(1, c10, c11)
            QUORVANE_PASS_ROW(2, c20, c21)
            QUORVANE_PASS_ROW(3, c30, c31)
            QUORVANE_PASS_ROW(4, c40, c41)
            QUORVANE_PASS_ROW(5, c50, c51)
#undef QUORVANE_PASS_ROW
            any0 = _mm256_or_ps(any0, any1);
            if (_mm256_testz_ps(any0, any0)) break;
            if (s < stages - 1) continue;
            std::uint64_t m0 = 0, m1 = 0;
#define QUORVANE_MASK_ROW(r, lo, hi)                                                                    \
    l = _mm256_broadcast_ss(lim + r);                                                                 \
    m0 |= std::uint64_t(_mm256_movemask_ps(_mm256_cmp_ps(lo, l, _CMP_NGE_UQ))) << (r * kNR);          \
    m1 |= std::uint64_t(_mm256_movemask_ps(_mm256_cmp_ps(hi, l, _CMP_NGE_UQ))) << (r * kNR);
            QUORVANE_MASK_ROW(0, c00, c01)
            QUORVANE_MASK_ROW(1, c10, c11)
            QUORVANE_MASK_ROW(2, c20, c21)
            QUORVANE_MASK_ROW(3, c30, c31)
            QUORVANE_MASK_ROW(4, c40, c41)
            QUORVANE_MASK_ROW(5, c50, c51)
#undef QUORVANE_MASK_ROW
            masks[0] = m0;
            masks[1] = m1;
            return pp;
        }
    }
    return pairs;
}

double exact_distance_fma(const double* q, const double* t, Index depth, double sample_norm,
                          double query_norm) {
    double dot = 0.0;
    for (Index k = 0; k < depth; ++k) dot = __builtin_fma(q[k], t[k], dot);
    return (sample_norm - 2.0 * dot) + query_norm;
}

#undef QUORVANE_FMA_STEP

}  // namespace

const KernelTable& avx2_kernels() {
    static const KernelTable table{"avx2", micro_kernel_fma, projection_kernel_fma, squared_norm_fma, distance_scan_fma,
                                   distance_screen_fma, exact_distance_fma, standardise_row<double>,
                                   standardise_row<float>};
    return table;
}

}  // namespace quorvane::linalg
