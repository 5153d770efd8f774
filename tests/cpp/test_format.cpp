// The model file's checksum: every path gives the standard CRC-32C, in one
// piece or continued. The loader's refusals are tested from Python, on real
// files, and by the fuzzer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "format/Checksum.h"

using quorvane::format::crc32c;
using quorvane::format::crc32c_portable;

TEST(Checksum, IsCrc32cOnEveryPath) {
    EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);  // the standard check value
    EXPECT_EQ(crc32c_portable("123456789", 9), 0xE3069283u);
    std::vector<unsigned char> data(4099);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
    // Lengths and starts that leave every remainder of an 8-byte step.
    for (std::size_t start = 0; start < 9; ++start) {
        for (std::size_t size : {0, 1, 7, 8, 9, 63, 4090}) {
            const std::uint32_t whole = crc32c_portable(data.data() + start, size);
            EXPECT_EQ(crc32c(data.data() + start, size), whole) << start << " + " << size;
            const std::uint32_t first = crc32c(data.data() + start, size / 3);
            EXPECT_EQ(crc32c(data.data() + start + size / 3, size - size / 3, first), whole) << start << " + " << size;
        }
    }
}
