#include "KNNClassifier.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <numeric>
#include <stdexcept>

namespace quorvane {

KNNClassifier::KNNClassifier(int k) : k(k) {}

void KNNClassifier::fit(const Eigen::MatrixXd& X, const std::vector<std::string>& y) {
    if (static_cast<Eigen::Index>(y.size()) != X.rows()) {
        throw std::invalid_argument("y has " + std::to_string(y.size()) + " labels but X has " +
                                    std::to_string(X.rows()) + " rows");
    }
    if (X.rows() > INT_MAX) {
        throw std::invalid_argument("X has " + std::to_string(X.rows()) +
                                    " rows, more than the 2147483647 a reference set can index");
    }
    X_train = X;
    if (&y != &y_train) y_train = y;
    // Precomputed once so that a query costs one product per sample.
    sq_norms = X_train.rowwise().squaredNorm();
}

std::string KNNClassifier::predict(const Eigen::VectorXd& query) const {
    const Eigen::Index n = X_train.rows();
    if (n == 0 || k <= 0) return "Unknown";
    if (query.size() != X_train.cols()) {
        throw std::invalid_argument("query has " + std::to_string(query.size()) +
                                    " components but the reference set has " +
                                    std::to_string(X_train.cols()));
    }

    const double qq = query.squaredNorm();
    std::vector<double> distance(static_cast<std::size_t>(n));
    {
        const Eigen::VectorXd product = X_train * query;
        // Expanded squared distance; rounding may leave it slightly negative for
        // a query equal to a stored sample, and it is ranked as computed.
        for (Eigen::Index i = 0; i < n; ++i) distance[i] = (sq_norms[i] - 2.0 * product[i]) + qq;
    }

    std::vector<int> index(static_cast<std::size_t>(n));
    std::iota(index.begin(), index.end(), 0);
    const int m = static_cast<int>(std::min<Eigen::Index>(k, n));
    if (m < n) {
        // Total order (distance, index), NaN after every number: the chosen set
        // never depends on the selection algorithm, and the order stays valid.
        auto nearer = [&distance](int a, int b) {
            const double da = distance[a], db = distance[b];
            if (da < db) return true;
            if (db < da) return false;
            const bool na = std::isnan(da), nb = std::isnan(db);
            if (na != nb) return nb;
            return a < b;
        };
        std::nth_element(index.begin(), index.begin() + m, index.end(), nearer);
    }

    // std::map<std::string> orders by unsigned bytes with prefixes first,
    // which is the tie-break between equally voted labels.
    std::map<std::string, int> votes;
    for (int j = 0; j < m; ++j) ++votes[y_train[index[j]]];
    auto winner = votes.begin();
    for (auto it = std::next(votes.begin()); it != votes.end(); ++it) {
        if (it->second > winner->second) winner = it;
    }
    return winner->first;
}

}  // namespace quorvane
