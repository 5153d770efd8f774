#include "LabelTable.h"

#include <stdexcept>

namespace quorvane {

LabelTable::LabelTable(const std::vector<std::string>& labels) {
    std::vector<std::uint64_t> offsets(labels.size() + 1, 0);
    for (std::size_t i = 0; i < labels.size(); ++i) offsets[i + 1] = offsets[i] + labels[i].size();
    std::vector<char> bytes;
    bytes.reserve(static_cast<std::size_t>(offsets.back()));
    for (const std::string& label : labels) bytes.insert(bytes.end(), label.begin(), label.end());
    offsets_ = common::SharedArray<std::uint64_t>::adopt(std::move(offsets));
    bytes_ = common::SharedArray<char>::adopt(std::move(bytes));
}

LabelTable::LabelTable(common::SharedArray<std::uint64_t> offsets, common::SharedArray<char> bytes)
    : offsets_(std::move(offsets)), bytes_(std::move(bytes)) {
    if (offsets_.empty()) throw std::invalid_argument("label offsets are empty: they hold one more than the labels");
    if (offsets_[0] != 0) throw std::invalid_argument("label offsets do not start at 0");
    for (std::size_t i = 1; i < offsets_.size(); ++i) {
        if (offsets_[i] < offsets_[i - 1]) {
            throw std::invalid_argument("label offsets decrease at label " + std::to_string(i - 1));
        }
    }
    if (offsets_[offsets_.size() - 1] != bytes_.size()) {
        throw std::invalid_argument("label offsets end at " + std::to_string(offsets_[offsets_.size() - 1]) +
                                    ", but the labels hold " + std::to_string(bytes_.size()) + " bytes");
    }
}

std::vector<std::string> LabelTable::strings() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) out.emplace_back((*this)[i]);
    return out;
}

}  // namespace quorvane
