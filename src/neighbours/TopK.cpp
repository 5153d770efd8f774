#include "TopK.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace quorvane {

namespace {

using Index = Eigen::Index;

// (distance, index) with NaN taken as +inf: a strict weak order even when
// NaN distances appear, and the same neighbours for any tiling. Inputs are
// finite, so a NaN distance is inf - inf, an overflow: farther than any number.
bool nearer(double da, int ia, double db, int ib) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (std::isnan(da)) da = kInf;
    if (std::isnan(db)) db = kInf;
    if (da < db) return true;
    if (db < da) return false;
    return ia < ib;
}

// Max-heap under `nearer`: the root is the worst kept pair.
void sift_down(double* dist, int* index, int size, int pos) {
    for (;;) {
        int worst = pos;
        const int left = 2 * pos + 1, right = left + 1;
        if (left < size && nearer(dist[worst], index[worst], dist[left], index[left])) worst = left;
        if (right < size && nearer(dist[worst], index[worst], dist[right], index[right])) worst = right;
        if (worst == pos) return;
        std::swap(dist[pos], dist[worst]);
        std::swap(index[pos], index[worst]);
        pos = worst;
    }
}

void sift_up(double* dist, int* index, int pos) {
    while (pos > 0) {
        const int parent = (pos - 1) / 2;
        if (!nearer(dist[parent], index[parent], dist[pos], index[pos])) return;
        std::swap(dist[pos], dist[parent]);
        std::swap(index[pos], index[parent]);
        pos = parent;
    }
}

}  // namespace

void TopK::reset(Index rows, Index padded_rows, int m) {
    m_ = m;
    dist_.resize(static_cast<std::size_t>(rows) * m);
    index_.resize(static_cast<std::size_t>(rows) * m);
    size_.assign(static_cast<std::size_t>(rows), 0);
    thresholds_.assign(static_cast<std::size_t>(padded_rows), -std::numeric_limits<double>::infinity());
    std::fill(thresholds_.begin(), thresholds_.begin() + rows, std::numeric_limits<double>::quiet_NaN());
}

bool TopK::offer(Index r, Index j, double dist) {
    double* hd = dist_.data() + r * m_;
    int* hi = index_.data() + r * m_;
    int& size = size_[static_cast<std::size_t>(r)];
    // Ties go to the lower index (nearer), whatever order samples arrive in.
    if (size < m_) {
        hd[size] = dist;
        hi[size] = static_cast<int>(j);
        sift_up(hd, hi, size);
        ++size;
    } else if (nearer(dist, static_cast<int>(j), hd[0], hi[0])) {
        hd[0] = dist;
        hi[0] = static_cast<int>(j);
        sift_down(hd, hi, m_, 0);
    } else {
        return false;
    }
    if (size < m_) return false;
    thresholds_[static_cast<std::size_t>(r)] = hd[0];
    return true;
}

void TopK::sort(Index r) {
    double* hd = dist_.data() + r * m_;
    int* hi = index_.data() + r * m_;
    // Heap sort: the worst pair moves to the end, one place earlier each time.
    for (int end = size(r) - 1; end > 0; --end) {
        std::swap(hd[0], hd[end]);
        std::swap(hi[0], hi[end]);
        sift_down(hd, hi, end, 0);
    }
}

}  // namespace quorvane
