#pragma once

#include <cstddef>

namespace quorvane::common {

/// Asks the kernel to back the whole 2 MiB pages inside a fresh buffer of
/// `bytes` with huge pages. Call it before the buffer is first written: a
/// training set's reduced copies are tens of megabytes, and faulting them in
/// 4 KiB at a time costs more than the writes. Advice only: where it is not
/// available or refused, nothing changes but the time.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

}  // namespace quorvane::common
