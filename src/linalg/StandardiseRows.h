#pragma once

#include "Kernels.h"

namespace quorvane::linalg {

// Included by each instruction set's kernel file: the unnamed namespace gives
// every file its own copy, compiled with that file's flags.
namespace {

// Rows of X standardised into `a` (kPR rows of kProjectionChunk), depth kc;
// absent rows are zeros. Subtract, then divide: the order every product uses.
constexpr Index kProjectionChunk = 64;

void standardise_rows(const double* x, Index ldx, Index rows, const double* shift, const double* scale, Index kc,
                      double* a) {
    for (Index r = 0; r < kPR; ++r) {
        double* out = a + r * kProjectionChunk;
        if (r >= rows) {
            for (Index k = 0; k < kc; ++k) out[k] = 0.0;
            continue;
        }
        const double* row = x + r * ldx;
        if (shift == nullptr) {
            for (Index k = 0; k < kc; ++k) out[k] = row[k];
        } else if (scale == nullptr) {
            for (Index k = 0; k < kc; ++k) out[k] = row[k] - shift[k];
        } else {
            for (Index k = 0; k < kc; ++k) out[k] = (row[k] - shift[k]) / scale[k];
        }
    }
}

}  // namespace

}  // namespace quorvane::linalg
