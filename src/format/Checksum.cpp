// CRC-32C, reflected, polynomial 0x1EDC6F41: the checksum of every section of
// a model file. The instruction paths process 8 bytes a step; the portable one
// 8 bytes a step through eight tables.
#include "Checksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#elif defined(__aarch64__)
#include <arm_acle.h>
#include <sys/auxv.h>
#endif

namespace quorvane::format {

namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78;  // 0x1EDC6F41 reflected

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t r = b;
        for (int i = 0; i < 8; ++i) r = (r >> 1) ^ ((r & 1) ? kPolynomial : 0);
        t[0][b] = r;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

constexpr Tables kTables = make_tables();

// The register before the final inversion: r = ~crc on entry, ~r on exit.
std::uint32_t update_portable(const unsigned char* p, std::size_t n, std::uint32_t r) {
    for (; n >= 8; p += 8, n -= 8) {
        std::uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + 4, 4);
        low ^= r;  // the register meets the first four bytes (little-endian words)
        r = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
            kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^ kTables[2][(high >> 8) & 0xFF] ^
            kTables[1][(high >> 16) & 0xFF] ^ kTables[0][high >> 24];
    }
    for (; n > 0; ++p, --n) r = (r >> 8) ^ kTables[0][(r ^ *p) & 0xFF];
    return r;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t update_sse42(const unsigned char* p, std::size_t n,
                                                             std::uint32_t r) {
    std::uint64_t wide = r;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        wide = _mm_crc32_u64(wide, v);
    }
    r = static_cast<std::uint32_t>(wide);
    for (; n > 0; ++p, --n) r = _mm_crc32_u8(r, *p);
    return r;
}

bool has_instruction() { return __builtin_cpu_supports("sse4.2"); }
#elif defined(__aarch64__)
__attribute__((target("+crc"))) std::uint32_t update_arm(const unsigned char* p, std::size_t n, std::uint32_t r) {
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        r = __crc32cd(r, v);
    }
    for (; n > 0; ++p, --n) r = __crc32cb(r, *p);
    return r;
}

bool has_instruction() {
    constexpr unsigned long kHwcapCrc32 = 1UL << 7;  // HWCAP_CRC32 in <asm/hwcap.h>
    return (getauxval(AT_HWCAP) & kHwcapCrc32) != 0;
}
#endif

}  // namespace

std::uint32_t crc32c_portable(const void* data, std::size_t size, std::uint32_t crc) {
    return ~update_portable(static_cast<const unsigned char*>(data), size, ~crc);
}

std::uint32_t crc32c(const void* data, std::size_t size, std::uint32_t crc) {
    const auto* p = static_cast<const unsigned char*>(data);
#if defined(__x86_64__)
    static const bool instruction = has_instruction();
    if (instruction) return ~update_sse42(p, size, ~crc);
#elif defined(__aarch64__)
    static const bool instruction = has_instruction();
    if (instruction) return ~update_arm(p, size, ~crc);
#endif
    return ~update_portable(p, size, ~crc);
}

}  // namespace quorvane::format
