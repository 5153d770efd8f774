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

// Largest magnitude screened in float: squared norms of any dimension stay
// far below float's overflow.
constexpr double kScreenLimit = 0x1p40;

// The nearest float at or above x (NaN stays NaN): a float threshold that
// never drops a sample the double threshold would keep.
float round_up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
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
    // The answer when every sample votes: most votes, ties to the smaller rank.
    std::string majority;
    if (n > 0) {
        std::vector<Index> counts(distinct.size(), 0);
        for (int r : rank) ++counts[static_cast<std::size_t>(r)];
        majority = distinct[static_cast<std::size_t>(std::max_element(counts.begin(), counts.end()) - counts.begin())];
    }

    // Float screening needs every value well inside float's range, so that
    // squares neither overflow nor lose the error bound.
    const bool screen = n > 0 && samples.allFinite() &&
                        (samples.size() == 0 || samples.cwiseAbs().maxCoeff() <= kScreenLimit);
    std::vector<float> screen_panels, screen_norms, screen_roots;
    if (screen) {
        const Index pairs_padded = (padded / kNR + 1) / 2 * 2 * kNR;
        screen_panels.assign(static_cast<std::size_t>(pairs_padded * d), 0.0f);
        std::copy(panels.begin(), panels.end(), screen_panels.begin());
        screen_norms.assign(static_cast<std::size_t>(pairs_padded), 0.0f);
        screen_roots.assign(static_cast<std::size_t>(pairs_padded), 0.0f);
        for (Index i = 0; i < n; ++i) {
            screen_norms[i] = static_cast<float>(norms[i]);
            screen_roots[i] = round_up(std::sqrt(norms[i]) * (1.0 + 0x1p-20));
        }
    }

    X_train = std::move(samples);
    y_train = std::move(labels);
    sq_norms = std::move(norms);
    panels_ = std::move(panels);
    panel_norms_ = std::move(panel_norms);
    label_rank_ = std::move(rank);
    distinct_labels_ = std::move(distinct);
    majority_ = std::move(majority);
    screen_ = screen;
    screen_panels_ = std::move(screen_panels);
    screen_norms_ = std::move(screen_norms);
    screen_roots_ = std::move(screen_roots);
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

bool KNNClassifier::offer(Scratch& s, Index r, Index j, double dist) const {
    const int m = k;
    double* hd = s.heap_dist.data() + r * m;
    int* hi = s.heap_index.data() + r * m;
    int& size = s.heap_size[r];
    // Samples arrive in index order, so at equal distance the one already
    // kept wins.
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
        return false;
    }
    if (size < m) return false;
    s.thresholds[r] = hd[0];
    return true;
}

void KNNClassifier::search_block(const double* queries, Index rows, Index stride, std::string* out,
                                 Scratch& s) const {
    const Index n = X_train.rows(), d = X_train.cols();
    const int m = k;  // k < n here
    const Index query_panels = (rows + kQR - 1) / kQR;
    const Index padded_rows = query_panels * kQR;

    s.query_norms.assign(static_cast<std::size_t>(padded_rows), 0.0);
    // Padding rows never admit a candidate (nothing is below -inf).
    s.thresholds.assign(static_cast<std::size_t>(padded_rows), -std::numeric_limits<double>::infinity());
    s.heap_dist.resize(static_cast<std::size_t>(rows) * m);
    s.heap_index.resize(static_cast<std::size_t>(rows) * m);
    s.heap_size.assign(static_cast<std::size_t>(rows), 0);
    bool screen = screen_;
    for (Index r = 0; r < rows; ++r) {
        const double* q = queries + r * stride;
        s.query_norms[r] = linalg::squared_norm(q, d);
        // Until a query holds m neighbours every sample is a candidate.
        s.thresholds[r] = std::numeric_limits<double>::quiet_NaN();
        for (Index j = 0; j < d && screen; ++j) screen = std::abs(q[j]) <= kScreenLimit;
    }

    if (screen) {
        screened_search(queries, rows, stride, s);
    } else {
        s.queries.assign(static_cast<std::size_t>(padded_rows * d), 0.0);
        for (Index r = 0; r < rows; ++r) {
            double* panel = s.queries.data() + (r / kQR) * kQR * d;
            for (Index j = 0; j < d; ++j) panel[j * kQR + r % kQR] = queries[r * stride + j];
        }
        const linalg::DistanceScan scan = linalg::distance_scan();
        // Samples per tile: their panels stay in cache while every query panel
        // of the block passes over them.
        Index tile = sample_block_ > 0 ? sample_block_ : (Index{1} << 18) / (8 * std::max<Index>(d, 1));
        tile = std::max<Index>(kNR, tile / kNR * kNR);
        alignas(32) double distances[kQR * kNR];
        for (Index t0 = 0; t0 < n; t0 += tile) {
            const Index tile_panels = (std::min(n, t0 + tile) - t0 + kNR - 1) / kNR;
            for (Index qp = 0; qp < query_panels; ++qp) {
                const double* qpanel = s.queries.data() + qp * kQR * d;
                for (Index p = 0; p < tile_panels;) {
                    std::uint64_t mask = 0;
                    const Index panel0 = t0 / kNR + p;
                    p += scan(d, qpanel, panels_.data() + panel0 * kNR * d, tile_panels - p,
                              panel_norms_.data() + panel0 * kNR, s.query_norms.data() + qp * kQR,
                              s.thresholds.data() + qp * kQR, distances, &mask);
                    if (p == tile_panels) break;
                    const Index base = (t0 / kNR + p) * kNR;
                    ++p;
                    for (; mask != 0; mask &= mask - 1) {
                        const int bit = __builtin_ctzll(mask);
                        const Index r = qp * kQR + bit / kNR, j = base + bit % kNR;
                        if (j < n && r < rows) offer(s, r, j, distances[bit]);
                    }
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

// Float screening at twice the lanes per instruction, then the exact double
// distance for the few samples that pass: the neighbours are exactly those
// of the double search, because the screen's bound covers float rounding.
void KNNClassifier::screened_search(const double* queries, Index rows, Index stride, Scratch& s) const {
    const Index n = X_train.rows(), d = X_train.cols();
    const Index query_panels = (rows + kQR - 1) / kQR;
    const Index padded_rows = query_panels * kQR;
    s.screen_queries.assign(static_cast<std::size_t>(padded_rows * d), 0.0f);
    s.screen_norms.assign(static_cast<std::size_t>(padded_rows), 0.0f);
    s.screen_roots.assign(static_cast<std::size_t>(padded_rows), 0.0f);
    s.screen_thresholds.assign(static_cast<std::size_t>(padded_rows), -std::numeric_limits<float>::infinity());
    for (Index r = 0; r < rows; ++r) {
        float* panel = s.screen_queries.data() + (r / kQR) * kQR * d;
        for (Index j = 0; j < d; ++j) panel[j * kQR + r % kQR] = static_cast<float>(queries[r * stride + j]);
        s.screen_norms[r] = static_cast<float>(s.query_norms[r]);
        s.screen_roots[r] = round_up(std::sqrt(s.query_norms[r]) * (1.0 + 0x1p-20));
        s.screen_thresholds[r] = std::numeric_limits<float>::quiet_NaN();
    }
    // Float rounding of inputs, products and sums stays below
    // (d + 5) 2^-23 (|t| + |q|)^2; the bound takes four times that, plus an
    // absolute term for underflow.
    const float k_bound = static_cast<float>((static_cast<double>(d) + 16.0) * 0x1p-21);
    const float a_bound = static_cast<float>((static_cast<double>(d) + 8.0) * 0x1p-120);

    constexpr Index kPair = 2 * kNR;
    Index tile = sample_block_ > 0 ? sample_block_ : (Index{1} << 18) / (4 * std::max<Index>(d, 1));
    tile = std::max<Index>(kPair, tile / kPair * kPair);
    for (Index t0 = 0; t0 < n; t0 += tile) {
        const Index tile_pairs = (std::min(n, t0 + tile) - t0 + kPair - 1) / kPair;
        for (Index qp = 0; qp < query_panels; ++qp) {
            const Index q0 = qp * kQR;
            for (Index pp = 0; pp < tile_pairs;) {
                std::uint64_t masks[2] = {0, 0};
                const Index first = t0 + pp * kPair;
                pp += linalg::distance_screen(
                    d, s.screen_queries.data() + q0 * d, screen_panels_.data() + first * d, tile_pairs - pp,
                    screen_norms_.data() + first, screen_roots_.data() + first, s.screen_norms.data() + q0,
                    s.screen_roots.data() + q0, s.screen_thresholds.data() + q0, k_bound, a_bound, masks);
                if (pp == tile_pairs) break;
                const Index base = t0 + pp * kPair;
                ++pp;
                for (int half = 0; half < 2; ++half) {
                    for (std::uint64_t mask = masks[half]; mask != 0; mask &= mask - 1) {
                        const int bit = __builtin_ctzll(mask);
                        const Index r = q0 + bit / kNR, j = base + half * kNR + bit % kNR;
                        if (j >= n || r >= rows) continue;
                        const double dist = linalg::exact_distance(queries + r * stride, X_train.row(j).data(), d,
                                                                   sq_norms[j], s.query_norms[r]);
                        if (offer(s, r, j, dist)) s.screen_thresholds[r] = round_up(s.thresholds[r]);
                    }
                }
            }
        }
    }
}

}  // namespace quorvane
