// The one place that knows which instruction sets exist: the kernel table is
// chosen here, once, and everything else calls through it.
#include "Kernels.h"

#include <atomic>
#include <stdexcept>

namespace quorvane::linalg {

namespace {

std::vector<const KernelTable*> available_tables() {
    std::vector<const KernelTable*> tables;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) tables.push_back(&avx2_kernels());
#endif
#if defined(__aarch64__)
    tables.push_back(&neon_kernels());
#endif
    tables.push_back(&portable_kernels());
    return tables;
}

std::atomic<const KernelTable*> active{nullptr};

}  // namespace

const KernelTable& kernels() {
    const KernelTable* table = active.load(std::memory_order_acquire);
    if (table == nullptr) {
        // First use without a choice: the best level. Racing threads store the same table.
        table = available_tables().front();
        active.store(table, std::memory_order_release);
    }
    return *table;
}

std::vector<std::string> available_simd_levels() {
    std::vector<std::string> names;
    for (const KernelTable* table : available_tables()) names.emplace_back(table->name);
    return names;
}

void select_simd_level(const std::string& name) {
    const std::vector<const KernelTable*> tables = available_tables();
    std::string offered;
    for (const KernelTable* table : tables) offered += (offered.empty() ? "" : ", ") + std::string(table->name);
    if (name == "auto") {
        active.store(tables.front(), std::memory_order_release);
        return;
    }
    for (const KernelTable* table : tables) {
        if (name == table->name) {
            active.store(table, std::memory_order_release);
            return;
        }
    }
    if (name == "avx2" || name == "neon" || name == "portable") {
        throw std::invalid_argument("SIMD level '" + name + "' is not available: this CPU offers " + offered);
    }
    throw std::invalid_argument("unknown SIMD level '" + name +
                                "': the levels are auto, avx2, neon and portable; this CPU offers " + offered);
}

}  // namespace quorvane::linalg
