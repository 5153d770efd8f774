#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane::format {

/// CRC-32C (Castagnoli) of `size` bytes, continuing a checksum `crc` of the
/// bytes before them (0 for none). Uses the CPU's CRC instruction where it has
/// one (SSE4.2 on x86-64, the CRC extension on aarch64), a table elsewhere;
/// every path gives the same value.
std::uint32_t crc32c(const void* data, std::size_t size, std::uint32_t crc = 0);

/// The table-driven path alone, for checking the others.
std::uint32_t crc32c_portable(const void* data, std::size_t size, std::uint32_t crc = 0);

}  // namespace quorvane::format
