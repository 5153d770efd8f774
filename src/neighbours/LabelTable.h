#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/SharedArray.h"

namespace quorvane {

/// A list of labels kept as one run of bytes and n + 1 offsets into it, so
/// that the labels of a model file are read in place, never made into n
/// strings. Entry i is bytes [offsets[i], offsets[i + 1]).
class LabelTable {
public:
    LabelTable() = default;

    /// Packs `labels`, in their order.
    explicit LabelTable(const std::vector<std::string>& labels);

    /// Takes stored offsets and bytes. Refuses, with std::invalid_argument,
    /// offsets that do not start at 0, decrease, or end anywhere but at the
    /// end of `bytes`: every entry then lies inside `bytes`.
    LabelTable(common::SharedArray<std::uint64_t> offsets, common::SharedArray<char> bytes);

    std::size_t size() const { return offsets_.empty() ? 0 : offsets_.size() - 1; }
    std::string_view operator[](std::size_t i) const {
        return {bytes_.data() + offsets_[i], static_cast<std::size_t>(offsets_[i + 1] - offsets_[i])};
    }
    /// Every label as a string of its own.
    std::vector<std::string> strings() const;

    const common::SharedArray<std::uint64_t>& offsets() const { return offsets_; }
    const common::SharedArray<char>& bytes() const { return bytes_; }

private:
    common::SharedArray<std::uint64_t> offsets_;  ///< size() + 1 ascending offsets, from 0 to bytes_.size()
    common::SharedArray<char> bytes_;             ///< the labels' bytes, one after another
};

}  // namespace quorvane
