#pragma once

namespace quorvane {

/// Settings of one engine, read once when the engine is built.
struct KNNConfig {
    int k = 3;              ///< neighbours that vote; below 1 every answer is "Unknown"
    double variance = 0.95; ///< below 1.0 a variance fraction, from 1.0 a component count
};

}  // namespace quorvane
