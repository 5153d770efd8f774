// Same bits at every instruction-set level and on every architecture: the
// suite runs once per level, and the qemu run on aarch64 compares against
// the same digests.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/KNNEngine.h"
#include "format/ModelFile.h"
#include "linalg/Kernels.h"

using quorvane::KNNConfig;
using quorvane::KNNEngine;
using quorvane::linalg::kernels;

namespace {

// Integer arithmetic only: a library's normal distribution may differ between platforms.
struct Draw {
    std::uint64_t state;
    double operator()() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
    }
};

// Four classes around random centres, with uneven feature scales.
Eigen::MatrixXd samples(Eigen::Index n, Eigen::Index d, std::uint64_t seed, std::vector<std::string>* y) {
    Draw draw{seed};
    Eigen::MatrixXd centres(4, d), X(n, d);
    for (Eigen::Index i = 0; i < centres.size(); ++i) centres(i) = 8.0 * draw();
    for (Eigen::Index i = 0; i < n; ++i) {
        const Eigen::Index c = i * 7 % 4;
        for (Eigen::Index j = 0; j < d; ++j) X(i, j) = (centres(c, j) + draw()) * static_cast<double>(1 + j % 5);
        if (y != nullptr) y->push_back("class-" + std::to_string(c));
    }
    return X;
}

void mix(std::uint64_t& h, const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 0x100000001B3ULL;  // FNV-1a
}

// An engine trained quietly on the samples of one case.
std::unique_ptr<KNNEngine> trained(Eigen::Index n, Eigen::Index d, double variance, bool scale) {
    std::vector<std::string> y;
    const Eigen::MatrixXd X = samples(n, d, 17 + static_cast<std::uint64_t>(d), &y);
    auto engine = std::make_unique<KNNEngine>(KNNConfig{3, variance});
    testing::internal::CaptureStdout();
    engine->train(X, y, scale);
    testing::internal::GetCapturedStdout();
    return engine;
}

// Everything a trained engine answers from, and its answers.
std::uint64_t digest(Eigen::Index n, Eigen::Index d, double variance, bool scale) {
    const std::unique_ptr<KNNEngine> engine = trained(n, d, variance, scale);
    const KNNEngine::State s = engine->state();
    std::uint64_t h = 0xCBF29CE484222325ULL;
    for (const Eigen::MatrixXd* m : {&s.reference, &s.components}) mix(h, m->data(), sizeof(double) * m->size());
    mix(h, s.mean.data(), sizeof(double) * s.mean.size());
    mix(h, s.feature_scale.data(), sizeof(double) * s.feature_scale.size());
    for (const std::string& label : engine->predict_batch(samples(50, d, 99, nullptr))) mix(h, label.data(), label.size() + 1);
    return h;
}

// A trained engine's model file, and the answers of the engine loaded from it.
std::uint64_t file_digest(Eigen::Index n, Eigen::Index d, double variance, bool scale) {
    const std::string image = trained(n, d, variance, scale)->image();
    std::uint64_t h = 0xCBF29CE484222325ULL;
    mix(h, image.data(), image.size());
    const KNNEngine loaded(quorvane::format::ModelFile::parse(image.data(), image.size(), true));
    for (const std::string& label : loaded.predict_batch(samples(50, d, 99, nullptr))) mix(h, label.data(), label.size() + 1);
    return h;
}

std::string hex(std::uint64_t h) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

}  // namespace

TEST(Levels, ModelFilesHaveTheSameBytesEverywhere) {
    struct Case {
        Eigen::Index n, d;
        double variance;
        bool scale;
        std::uint64_t expected;
    };
    for (const Case& c : {Case{300, 24, 0.9, true, 0xb48b5d13122df9f0ULL}, Case{40, 130, 0.8, false, 0x31847066cace990bULL}}) {
        const std::uint64_t h = file_digest(c.n, c.d, c.variance, c.scale);
        EXPECT_EQ(h, c.expected) << c.n << " x " << c.d << " at " << kernels().name << ": 0x" << hex(h);
    }
}

TEST(Levels, TrainedEnginesHaveTheSameBitsEverywhere) {
    // Standard and Thin modes, with and without scaling, by fraction and by count.
    struct Case {
        Eigen::Index n, d;
        double variance;
        bool scale;
        std::uint64_t expected;
    };
    for (const Case& c : {Case{300, 24, 0.9, true, 0xaf29bef0d3182315ULL},
                          Case{40, 130, 0.8, false, 0xd341c2320425f110ULL},
                          Case{60, 61, 5.0, true, 0xe432bd041d3f1bd8ULL},
                          Case{2500, 40, 0.9, false, 0x5fa498aff7b37f6dULL}}) {
        const std::uint64_t h = digest(c.n, c.d, c.variance, c.scale);
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
        EXPECT_EQ(h, c.expected) << c.n << " x " << c.d << " at " << kernels().name << ": 0x" << hex;
    }
}
