#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvane::common {

/// A read-only array whose storage is kept alive by a shared owner: the
/// buffer it took over when a model was built in memory, or the pages of a
/// model file mapped into memory, which every process mapping it shares.
/// Copies share the storage; nothing is copied.
template <typename T>
class SharedArray {
public:
    SharedArray() = default;

    /// `size` values at `data`, which `owner` keeps alive.
    SharedArray(std::shared_ptr<const void> owner, const T* data, std::size_t size)
        : owner_(std::move(owner)), data_(data), size_(size) {}

    /// Takes over the buffer of a container of T (a vector, an Eigen matrix):
    /// moved, not copied.
    template <typename Container, typename = std::enable_if_t<!std::is_lvalue_reference_v<Container>>>
    static SharedArray adopt(Container&& values) {
        auto owned = std::make_shared<Container>(std::move(values));
        const T* data = owned->data();
        const auto size = static_cast<std::size_t>(owned->size());
        return SharedArray(std::move(owned), data, size);
    }

    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

private:
    std::shared_ptr<const void> owner_;  ///< keeps the storage alive; shared by copies
    const T* data_ = nullptr;            ///< the first value
    std::size_t size_ = 0;               ///< number of values
};

}  // namespace quorvane::common
