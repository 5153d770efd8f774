// libFuzzer target: a model file from a stranger must be refused with
// std::invalid_argument or load into an engine that answers without reading
// outside it. Each input has its checksums made to match first, so that the
// mutations reach the structural checks behind them: safety must not rest on
// a checksum anyone can recompute.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/KNNEngine.h"
#include "format/Checksum.h"
#include "format/ModelFile.h"

namespace {

std::uint64_t read64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Section checksums, then the header's, recomputed where the table can be read.
void reseal(std::vector<unsigned char>& file) {
    using quorvane::format::crc32c;
    if (file.size() < 64) return;
    std::uint32_t count;
    std::memcpy(&count, file.data() + 12, 4);
    if (count > 64 || 64 + std::size_t{count} * 48 > file.size()) return;
    for (std::uint32_t i = 0; i < count; ++i) {
        unsigned char* entry = file.data() + 64 + i * 48;
        const std::uint64_t offset = read64(entry + 8), bytes = read64(entry + 16);
        if (offset > file.size() || bytes > file.size() - offset) continue;
        const std::uint32_t crc = crc32c(file.data() + offset, bytes);
        std::memcpy(entry + 40, &crc, 4);
    }
    std::memset(file.data() + 32, 0, 4);
    const std::uint32_t crc = crc32c(file.data(), 64 + std::size_t{count} * 48);
    std::memcpy(file.data() + 32, &crc, 4);
}

// What a loaded engine is used for, on queries near and far from any data.
void use(const quorvane::KNNEngine& engine) {
    const Eigen::Index d = engine.n_features(), n = engine.n_samples(), c = engine.n_components();
    if (d == 0 || d > 4096) return;
    Eigen::MatrixXd Q(3, d);
    for (Eigen::Index j = 0; j < d; ++j) {
        Q(0, j) = 0.0;
        Q(1, j) = static_cast<double>(j % 7) - 3.0;
        Q(2, j) = 1e12 * (j % 2 == 0 ? 1.0 : -1.0);  // beyond the float screen
    }
    try {
        engine.predict_batch(Q);
    } catch (const std::invalid_argument&) {  // a query whose projection overflows
    }
    const int k = static_cast<int>(std::min<Eigen::Index>(n, 5));
    std::vector<double> distances(static_cast<std::size_t>(3 * k));
    std::vector<std::int64_t> indices(distances.size());
    try {
        engine.kneighbors(Q.topRows(2), k, distances.data(), indices.data());
    } catch (const std::invalid_argument&) {
    }
    std::vector<double> reduced(static_cast<std::size_t>(3 * c));
    try {
        engine.transform(Q.topRows(2), reduced.data());
    } catch (const std::invalid_argument&) {
    }
    if (c > 0) {  // as a shard of a sharded engine answers, from reduced queries
        const std::vector<double> P(static_cast<std::size_t>(2 * c), 0.5);
        std::vector<double> sq(static_cast<std::size_t>(2 * k));
        std::vector<std::int64_t> which(sq.size());
        std::vector<int> ranks(sq.size());
        engine.nearest_reduced(P.data(), 2, c, k, sq.data(), which.data(), ranks.data());
        engine.label_counts();
        engine.distinct_labels();
    }
    if (n <= 4096) {
        std::vector<double> all(static_cast<std::size_t>(n * k));
        std::vector<std::int64_t> which(all.size());
        engine.training_neighbours(k, all.data(), which.data());
    }
    const std::string again = engine.image();
    quorvane::KNNEngine reloaded(quorvane::format::ModelFile::parse(again.data(), again.size(), true));
    engine.state();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<unsigned char> file(data, data + size);
    reseal(file);
    try {
        const quorvane::KNNEngine engine(quorvane::format::ModelFile::parse(file.data(), file.size(), size % 2 == 0));
        use(engine);
    } catch (const std::invalid_argument&) {  // refused: the one acceptable failure
    }
    return 0;
}
