#pragma once

#include "Kernels.h"

namespace quorvane::linalg {

// Included by each instruction set's kernel file: the unnamed namespace gives
// every file its own copy, compiled with that file's flags.
namespace {

constexpr Index kProjectionChunk = 64;

// dst[j] = (src[j] - shift[j]) / scale[j] for j < n; no shift: a copy, no
// scale: no division. Each file's flags decide the vector width, never a bit;
// a float source is widened first, exactly, so it gives its double's bits.
template <typename T>
void standardise_row(const T* src, Index n, const double* shift, const double* scale, double* dst) {
    if (shift == nullptr) {
        for (Index j = 0; j < n; ++j) dst[j] = static_cast<double>(src[j]);
    } else if (scale == nullptr) {
        for (Index j = 0; j < n; ++j) dst[j] = static_cast<double>(src[j]) - shift[j];
    } else {
        for (Index j = 0; j < n; ++j) dst[j] = (static_cast<double>(src[j]) - shift[j]) / scale[j];
    }
}

// Rows of X standardised into `a` (kPR rows of kProjectionChunk), depth kc;
// absent rows are zeros. Subtract, then divide: the order every product uses.
void standardise_rows(const double* x, Index ldx, Index rows, const double* shift, const double* scale, Index kc,
                      double* a) {
    for (Index r = 0; r < kPR; ++r) {
        double* out = a + r * kProjectionChunk;
        if (r >= rows) {
            for (Index k = 0; k < kc; ++k) out[k] = 0.0;
            continue;
        }
        standardise_row(x + r * ldx, kc, shift, scale, out);
    }
}

}  // namespace

}  // namespace quorvane::linalg
