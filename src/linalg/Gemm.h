#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace quorvane::linalg {

using Index = std::ptrdiff_t;

/// A read-only strided matrix: element (i, j) is data[i * row_stride + j * col_stride],
/// or the same element of `floats` when the matrix holds floats (`data` is then
/// null); every reader takes it as a double, which a float converts to exactly.
/// With `shift` set, each element is standardised on the fly along its feature,
/// (value - shift[f]) / scale[f] (the division only when `scale` is set), where
/// f is the row index (`feature_axis` 0) or the column index (`feature_axis` 1).
/// That lets products of centred and scaled data run without a centred copy.
struct Operand {
    const double* data = nullptr;
    Index rows = 0;
    Index cols = 0;
    Index row_stride = 0;
    Index col_stride = 0;
    const double* shift = nullptr;
    const double* scale = nullptr;
    int feature_axis = 1;
    const float* floats = nullptr;

    double operator()(Index i, Index j) const {
        const Index at = i * row_stride + j * col_stride;
        const double raw = floats != nullptr ? static_cast<double>(floats[at]) : data[at];
        if (shift == nullptr) return raw;
        const Index f = feature_axis == 0 ? i : j;
        return scale == nullptr ? raw - shift[f] : (raw - shift[f]) / scale[f];
    }

    /// f(p) with p the typed pointer to element (0, 0): one reader per element type.
    template <typename F>
    decltype(auto) visit(F&& f) const {
        return floats != nullptr ? f(floats) : f(data);
    }

    /// Bytes per element.
    Index element_size() const { return floats != nullptr ? Index{sizeof(float)} : Index{sizeof(double)}; }

    Operand transposed() const {
        Operand t = *this;
        t.rows = cols;
        t.cols = rows;
        t.row_stride = col_stride;
        t.col_stride = row_stride;
        t.feature_axis = 1 - feature_axis;
        return t;
    }

    Operand row_range(Index first, Index count) const { return range(0, first, count); }

    Operand col_range(Index first, Index count) const { return range(1, first, count); }

private:
    // Rows first..first+count (axis 0) or those columns (axis 1), with the
    // standardisation following its feature when the feature runs along that axis.
    Operand range(int axis, Index first, Index count) const {
        Operand r = *this;
        r.advance(first * (axis == 0 ? row_stride : col_stride));
        (axis == 0 ? r.rows : r.cols) = count;
        if (shift != nullptr && feature_axis == axis) {
            r.shift = shift + first;
            if (scale != nullptr) r.scale = scale + first;
        }
        return r;
    }

    void advance(Index elements) {
        if (data != nullptr) data += elements;
        if (floats != nullptr) floats += elements;
    }
};

/// Allocates on cache-line boundaries, so that packed panels start on one and
/// no vector load of a panel is split across two lines.
template <typename T>
struct CacheAligned {
    using value_type = T;
    static constexpr std::align_val_t kAlignment{64};
    CacheAligned() = default;
    template <typename U>
    CacheAligned(const CacheAligned<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlignment)); }
    void deallocate(T* p, std::size_t) { ::operator delete(p, kAlignment); }
    template <typename U>
    bool operator==(const CacheAligned<U>&) const { return true; }
    template <typename U>
    bool operator!=(const CacheAligned<U>&) const { return false; }
};

/// Packed panels, each starting on a cache line.
using PanelBuffer = std::vector<double, CacheAligned<double>>;

/// Cache-blocking sizes. They change speed only, never a result bit.
struct Blocking {
    Index mc = 96;
    Index nc = 4096;
    Index kc = 256;
};

/// C = A * B into the row-major `C` with leading dimension `ldc`.
///
/// Every element is the fused multiply-add chain over k = 0, 1, ..., K - 1,
/// started from zero, whatever the blocking, the tile an element falls in and
/// the number of threads: results are bit-identical for any thread count and
/// any split of A's rows into separate calls. With `symmetric` (A * B known
/// to be symmetric) only the upper triangle is computed and then mirrored.
/// Runs on an OpenMP team when called outside a parallel region and the
/// product is large; inside a region it stays on the calling thread.
void multiply(const Operand& A, const Operand& B, double* C, Index ldc, bool symmetric = false,
              const Blocking& blocking = Blocking{});

/// Widest Bᵀ B that takes the covariance path (`multiply` with `symmetric`,
/// and `gram_with_sums`): its tiles and a depth step of every column stay
/// near L2 size.
constexpr Index kGramWidth = 512;

/// Bᵀ B into C, exactly as `multiply(B.transposed(), B, C, ldc, true)` would
/// compute it, for a B of at most `kGramWidth` columns, and the sums of B's
/// (standardised) columns, taken from the same read of B. A column is summed
/// in row order within fixed steps of rows, then the step sums in order: the
/// same bits for any thread count.
std::vector<double> gram_with_sums(const Operand& B, double* C, Index ldc);

/// A right-hand operand packed once for many products: the panels `multiply`
/// would otherwise pack on every call, for every depth step (a copy, not a view).
struct PackedOperand {
    Index rows = 0;               ///< depth K of the products it takes part in
    Index cols = 0;               ///< N
    Index kc = 0;                 ///< depth step it was packed for
    PanelBuffer panels;           ///< step k0, columns [j, j + kNR) at k0 * round_up(N, kNR) + j * kc
};

/// Packs B for `multiply` with the depth step of `blocking`.
PackedOperand pack(const Operand& B, const Blocking& blocking = Blocking{});

/// C = A * B with B packed beforehand: the same chains, so the same bits, as
/// `multiply` with the unpacked B.
void multiply(const Operand& A, const PackedOperand& B, double* C, Index ldc,
              const Blocking& blocking = Blocking{});

/// A right-hand operand laid out for `project`: panels of the projection
/// kernel's width in columns, each k-major over the whole depth, zero-padded.
struct ProjectionPanels {
    Index rows = 0;              ///< depth K
    Index cols = 0;              ///< N
    PanelBuffer panels;          ///< panel p, depth k at (p * K + k) * width
};

/// Lays B out for `project`.
ProjectionPanels pack_projection(const Operand& B);

/// True when `project` takes A: values contiguous along each row, features
/// (if standardised) along the columns.
inline bool projectable(const Operand& A) { return A.col_stride == 1 && (A.shift == nullptr || A.feature_axis == 1); }

/// C = A * B for a `projectable` A, read in place (never packed): the same
/// chains, so the same bits, as `multiply`. Meant for many rows against few
/// columns, as projections onto a handful of components are.
void project(const Operand& A, const ProjectionPanels& B, double* C, Index ldc);

/// Sum of squares of x[0..n) in the same fused chain as `multiply`, so that a
/// vector's squared norm equals its product with itself bit for bit.
double squared_norm(const double* x, Index n);

}  // namespace quorvane::linalg
