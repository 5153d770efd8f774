#include "KNNClassifier.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "linalg/Gemm.h"
#include "linalg/Kernels.h"

namespace quorvane {

namespace {

using linalg::kQR;
using linalg::kNR;
using Index = Eigen::Index;

const std::string kUnknown = "Unknown";

// (distance, index) with NaN after every number: a strict weak order even
// when NaN distances appear, and the same neighbours for any tiling.
bool nearer(double da, int ia, double db, int ib) {
    if (da < db) return true;
    if (db < da) return false;
    const bool na = std::isnan(da), nb = std::isnan(db);
    if (na != nb) return nb;
    return ia < ib;
}

// Max-heap of the m best (distance, index) pairs; the root is the worst kept.
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

// Most votes wins; ranks follow byte order, so the first of equal runs is
// the byte-wise smaller label.
int winning_rank(std::vector<int>& ranks) {
    std::sort(ranks.begin(), ranks.end());
    int best = ranks.front(), best_count = 0;
    for (std::size_t i = 0; i < ranks.size();) {
        std::size_t j = i;
        while (j < ranks.size() && ranks[j] == ranks[i]) ++j;
        if (static_cast<int>(j - i) > best_count) {
            best_count = static_cast<int>(j - i);
            best = ranks[i];
        }
        i = j;
    }
    return best;
}

}  // namespace

KNNClassifier::KNNClassifier(int k) : k(k) {}

void KNNClassifier::set_block_sizes(Index query_block, Index sample_block) {
    query_block_ = std::max<Index>(1, query_block);
    sample_block_ = std::max<Index>(0, sample_block);
}

void KNNClassifier::fit(RowMatrix samples, const std::vector<std::string>& y) {
    const RowMatrix& X = samples;
    if (static_cast<Index>(y.size()) != X.rows()) {
        throw std::invalid_argument("y has " + std::to_string(y.size()) + " labels but X has " +
                                    std::to_string(X.rows()) + " rows");
    }
    if (X.rows() > INT_MAX) {
        throw std::invalid_argument("X has " + std::to_string(X.rows()) +
                                    " rows, more than the 2147483647 a reference set can index");
    }
    const Index n = X.rows(), d = X.cols();
    std::vector<std::string> labels = y;

    // The same fused chain as the distance kernel's products, so a query equal
    // to a stored sample is at distance exactly 0.
    Eigen::VectorXd norms(n);
    for (Index i = 0; i < n; ++i) norms[i] = linalg::squared_norm(samples.row(i).data(), d);

    const Index padded = (n + kNR - 1) / kNR * kNR;
    std::vector<double> panels(static_cast<std::size_t>(padded * d), 0.0);
    for (Index i = 0; i < n; ++i) {
        double* panel = panels.data() + (i / kNR) * kNR * d;
        for (Index j = 0; j < d; ++j) panel[j * kNR + i % kNR] = samples(i, j);
    }
    std::vector<double> panel_norms(static_cast<std::size_t>(padded), 0.0);
    std::copy(norms.data(), norms.data() + n, panel_norms.begin());

    // Labels become ranks in byte order, so a vote compares small integers.
    std::unordered_map<std::string_view, int> first_seen;
    std::vector<int> rank(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i) {
        rank[i] = first_seen.try_emplace(labels[i], static_cast<int>(first_seen.size())).first->second;
    }
    std::vector<std::string> distinct;
    distinct.reserve(first_seen.size());
    for (const auto& entry : first_seen) distinct.emplace_back(entry.first);
    std::sort(distinct.begin(), distinct.end());
    std::vector<int> order(first_seen.size());
    for (const auto& entry : first_seen) {
        order[entry.second] = static_cast<int>(std::lower_bound(distinct.begin(), distinct.end(), entry.first) - distinct.begin());
    }
    for (int& r : rank) r = order[r];
    std::string majority;
    if (n > 0) {
        std::vector<int> all = rank;
        majority = distinct[winning_rank(all)];
    }

    X_train = std::move(samples);
    y_train = std::move(labels);
    sq_norms = std::move(norms);
    panels_ = std::move(panels);
    panel_norms_ = std::move(panel_norms);
    label_rank_ = std::move(rank);
    distinct_labels_ = std::move(distinct);
    majority_ = std::move(majority);
}

std::string KNNClassifier::predict(const Eigen::VectorXd& query) const {
    if (X_train.rows() == 0 || k <= 0) return kUnknown;
    if (query.size() != X_train.cols()) {
        throw std::invalid_argument("query has " + std::to_string(query.size()) +
                                    " components but the reference set has " +
                                    std::to_string(X_train.cols()));
    }
    Scratch scratch;
    std::string label;
    classify(query.data(), 1, query.size(), &label, scratch);
    return label;
}

void KNNClassifier::classify(const double* queries, Index rows, Index stride, std::string* out,
                             Scratch& scratch) const {
    const Index n = X_train.rows();
    if (n == 0 || k <= 0) {
        std::fill(out, out + rows, kUnknown);
        return;
    }
    // Every stored sample votes, whatever the query.
    if (k >= n) {
        std::fill(out, out + rows, majority_);
        return;
    }
    for (Index first = 0; first < rows; first += query_block_) {
        const Index count = std::min(query_block_, rows - first);
        search_block(queries + first * stride, count, stride, out + first, scratch);
    }
}

void KNNClassifier::search_block(const double* queries, Index rows, Index stride, std::string* out,
                                 Scratch& s) const {
    const Index n = X_train.rows(), d = X_train.cols();
    const int m = k;  // k < n here
    const Index query_panels = (rows + kQR - 1) / kQR;
    const Index padded_rows = query_panels * kQR;

    s.queries.assign(static_cast<std::size_t>(padded_rows * d), 0.0);
    s.query_norms.assign(static_cast<std::size_t>(padded_rows), 0.0);
    // Padding rows never admit a candidate (nothing is below -inf).
    s.thresholds.assign(static_cast<std::size_t>(padded_rows), -std::numeric_limits<double>::infinity());
    s.heap_dist.resize(static_cast<std::size_t>(rows) * m);
    s.heap_index.resize(static_cast<std::size_t>(rows) * m);
    s.heap_size.assign(static_cast<std::size_t>(rows), 0);
    for (Index r = 0; r < rows; ++r) {
        const double* q = queries + r * stride;
        double* panel = s.queries.data() + (r / kQR) * kQR * d;
        for (Index j = 0; j < d; ++j) panel[j * kQR + r % kQR] = q[j];
        s.query_norms[r] = linalg::squared_norm(q, d);
        // Until a query holds m neighbours every sample is a candidate.
        s.thresholds[r] = std::numeric_limits<double>::quiet_NaN();
    }

    const linalg::DistanceScan scan = linalg::distance_scan();
    // Samples per tile: their panels stay in cache while every query panel of
    // the block passes over them.
    Index tile = sample_block_ > 0 ? sample_block_ : (Index{1} << 18) / (8 * std::max<Index>(d, 1));
    tile = std::max<Index>(kNR, tile / kNR * kNR);
    alignas(32) double distances[kQR * kNR];

    for (Index t0 = 0; t0 < n; t0 += tile) {
        const Index t1 = std::min(n, t0 + tile);
        const Index tile_panels = (t1 - t0 + kNR - 1) / kNR;
        for (Index qp = 0; qp < query_panels; ++qp) {
            const double* qpanel = s.queries.data() + qp * kQR * d;
            const double* norms = s.query_norms.data() + qp * kQR;
            double* limits = s.thresholds.data() + qp * kQR;
            for (Index p = 0; p < tile_panels;) {
                std::uint64_t mask = 0;
                const Index panel0 = t0 / kNR + p;
                p += scan(d, qpanel, panels_.data() + panel0 * kNR * d, tile_panels - p,
                          panel_norms_.data() + panel0 * kNR, norms, limits, distances, &mask);
                if (p == tile_panels) break;
                const Index base = (t0 / kNR + p) * kNR;
                ++p;
                while (mask != 0) {
                    const int bit = __builtin_ctzll(mask);
                    mask &= mask - 1;
                    const Index r = qp * kQR + bit / kNR;
                    const Index j = base + bit % kNR;
                    if (j >= n || r >= rows) continue;
                    const double dist = distances[bit];
                    double* hd = s.heap_dist.data() + r * m;
                    int* hi = s.heap_index.data() + r * m;
                    int& size = s.heap_size[r];
                    // Samples arrive in index order, so at equal distance the
                    // one already kept wins.
                    if (size < m) {
                        hd[size] = dist;
                        hi[size] = static_cast<int>(j);
                        sift_up(hd, hi, size);
                        ++size;
                    } else if (nearer(dist, static_cast<int>(j), hd[0], hi[0])) {
                        hd[0] = dist;
                        hi[0] = static_cast<int>(j);
                        sift_down(hd, hi, m, 0);
                    } else {
                        continue;
                    }
                    if (size == m) limits[bit / kNR] = hd[0];
                }
            }
        }
    }

    for (Index r = 0; r < rows; ++r) {
        s.votes.clear();
        const int* hi = s.heap_index.data() + r * m;
        for (int i = 0; i < m; ++i) s.votes.push_back(label_rank_[hi[i]]);
        out[r] = distinct_labels_[winning_rank(s.votes)];
    }
}

}  // namespace quorvane
