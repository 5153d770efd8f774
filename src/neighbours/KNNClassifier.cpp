#include "KNNClassifier.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "common/Parallel.h"

namespace quorvane {

namespace {

using Index = Eigen::Index;

const std::string kUnknown = "Unknown";

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

// A search always finds its m neighbours among the samples it indexes (each
// query's seeds pass its own screen): fewer means an index that does not
// describe its samples, as only a damaged model file can hold.
[[noreturn]] void throw_damaged() {
    throw std::invalid_argument("the model's search index does not describe its samples: the model file is damaged");
}

}  // namespace

KNNClassifier::KNNClassifier(int k) : k(k), X_train(nullptr, 0, 0), sq_norms(nullptr, 0) {}

void KNNClassifier::bind_views() {
    // Maps are re-seated in place (Eigen's way): they view, never own.
    new (&X_train) Eigen::Map<const RowMatrix>(search_.samples());
    new (&sq_norms) Eigen::Map<const Eigen::VectorXd>(search_.sq_norms());
}

void KNNClassifier::set_block_sizes(Index query_block, Index sample_block) {
    search_.set_block_sizes(query_block, sample_block);
}

void KNNClassifier::fit(RowMatrix samples, const std::vector<std::string>& y) {
    fit(std::move(samples), std::vector<std::string>(y));
}

void KNNClassifier::fit(RowMatrix samples, std::vector<std::string>&& y) {
    fit(std::move(samples), prepare(std::move(y)));
}

KNNClassifier::Labels KNNClassifier::prepare(std::vector<std::string>&& y) {
    Labels labels;
    labels.names = std::move(y);
    const std::vector<std::string>& names = labels.names;
    const std::size_t n = names.size();

    // Labels become ranks in byte order, so a vote compares small integers.
    std::unordered_map<std::string_view, int> first_seen;
    std::vector<int> rank(n);
    // Millions of labels take tens of milliseconds: Ctrl-C is polled.
    common::InterruptCheck interrupt;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 65536 == 0) interrupt.poll();
        rank[i] = first_seen.try_emplace(names[i], static_cast<int>(first_seen.size())).first->second;
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
    if (n > 0) {
        std::vector<Index> counts(distinct.size(), 0);
        for (int r : rank) ++counts[static_cast<std::size_t>(r)];
        labels.majority = std::max_element(counts.begin(), counts.end()) - counts.begin();
    }
    labels.rank = std::move(rank);
    labels.distinct = std::move(distinct);
    return labels;
}

void KNNClassifier::fit(RowMatrix samples, Labels&& labels) {
    if (static_cast<Index>(labels.names.size()) != samples.rows()) {
        throw std::invalid_argument("y has " + std::to_string(labels.names.size()) + " labels but X has " +
                                    std::to_string(samples.rows()) + " rows");
    }
    if (samples.rows() > INT_MAX) {
        throw std::invalid_argument("X has " + std::to_string(samples.rows()) +
                                    " rows, more than the 2147483647 a reference set can index");
    }
    LabelTable names(labels.names);
    LabelTable distinct(labels.distinct);
    // The search builds aside and swaps in; nothing below can throw.
    search_.fit(std::move(samples));
    bind_views();
    y_train = std::move(names);
    label_rank_ = common::SharedArray<int>::adopt(std::move(labels.rank));
    distinct_labels_ = std::move(distinct);
    majority_rank_ = labels.majority;
}

KNNClassifier::Parts KNNClassifier::parts() const {
    return {search_.parts(), y_train, label_rank_, distinct_labels_, majority_rank_};
}

void KNNClassifier::restore(Parts p) {
    const Index n = p.search.rows;
    if (static_cast<Index>(p.labels.size()) != n || static_cast<Index>(p.ranks.size()) != n) {
        throw std::invalid_argument(std::to_string(p.labels.size()) + " labels and " + std::to_string(p.ranks.size()) +
                                    " label ranks for " + std::to_string(n) + " samples");
    }
    const auto distinct = static_cast<std::int64_t>(p.distinct.size());
    for (const int rank : p.ranks) {
        if (rank < 0 || rank >= distinct) {
            throw std::invalid_argument("a label rank of " + std::to_string(rank) + " among " +
                                        std::to_string(distinct) + " distinct labels");
        }
    }
    if (n > 0 && (p.majority < 0 || p.majority >= distinct)) {
        throw std::invalid_argument("the majority label's rank " + std::to_string(p.majority) + " among " +
                                    std::to_string(distinct) + " distinct labels");
    }
    search_.restore(std::move(p.search));
    bind_views();
    y_train = std::move(p.labels);
    label_rank_ = std::move(p.ranks);
    distinct_labels_ = std::move(p.distinct);
    majority_rank_ = p.majority;
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
        std::fill(out, out + rows, std::string(distinct_labels_[static_cast<std::size_t>(majority_rank_)]));
        return;
    }
    const TopK& top = scratch.search.top;
    for (Index first = 0; first < rows; first += search_.query_block()) {
        const Index count = std::min(search_.query_block(), rows - first);
        search_.search(queries + first * stride, count, stride, k, scratch.search);
        for (Index r = 0; r < count; ++r) {
            if (top.size(r) < k) throw_damaged();
            scratch.votes.clear();
            const int* index = top.indices(r);
            for (int i = 0; i < top.size(r); ++i) scratch.votes.push_back(label_rank_[static_cast<std::size_t>(index[i])]);
            out[first + r] = std::string(distinct_labels_[static_cast<std::size_t>(winning_rank(scratch.votes))]);
        }
    }
}

template <typename F>
void KNNClassifier::for_each_sorted(const double* queries, Index rows, Index stride, int m, Scratch& scratch,
                                    F f) const {
    TopK& top = scratch.search.top;
    for (Index first = 0; first < rows; first += search_.query_block()) {
        const Index block = std::min(search_.query_block(), rows - first);
        search_.search(queries + first * stride, block, stride, m, scratch.search);
        for (Index r = 0; r < block; ++r) {
            if (top.size(r) < m) throw_damaged();
            top.sort(r);
            f(first + r, top.distances(r), top.indices(r));
        }
    }
}

void KNNClassifier::nearest(const double* queries, Index rows, Index stride, int count, double* sq_distances,
                            std::int64_t* indices, int* ranks, Scratch& scratch) const {
    const int m = static_cast<int>(std::min<Index>(count, X_train.rows()));
    for_each_sorted(queries, rows, stride, m, scratch, [&](Index row, const double* sq, const int* index) {
        for (int i = 0; i < m; ++i) {
            sq_distances[row * m + i] = sq[i];
            indices[row * m + i] = index[i];
            ranks[row * m + i] = label_rank_[static_cast<std::size_t>(index[i])];
        }
    });
}

std::vector<std::int64_t> KNNClassifier::label_counts() const {
    std::vector<std::int64_t> counts(distinct_labels_.size(), 0);
    for (const int rank : label_rank_) ++counts[static_cast<std::size_t>(rank)];
    return counts;
}

void KNNClassifier::neighbours(const double* queries, Index rows, Index stride, int count,
                               double* distances, std::int64_t* indices, Scratch& scratch) const {
    if (count < 1 || count > X_train.rows()) {
        throw std::invalid_argument("count is " + std::to_string(count) + ", but the reference set holds " +
                                    std::to_string(X_train.rows()) + " samples");
    }
    for_each_sorted(queries, rows, stride, count, scratch, [&](Index row, const double* sq, const int* index) {
        for (int i = 0; i < count; ++i) {
            // The expanded form can round a tiny squared distance below zero;
            // a NaN one overflowed (inf - inf) and is farther than any.
            distances[row * count + i] =
                std::isnan(sq[i]) ? std::numeric_limits<double>::infinity() : std::sqrt(std::max(0.0, sq[i]));
            indices[row * count + i] = index[i];
        }
    });
}

}  // namespace quorvane
