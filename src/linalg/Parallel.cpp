#include "Parallel.h"

#include <atomic>

#include <pthread.h>

namespace quorvane::linalg {

namespace {

std::atomic<bool> forked_child{false};

void mark_child() { forked_child.store(true, std::memory_order_relaxed); }

// Registered once, when the library is loaded.
const bool registered = pthread_atfork(nullptr, nullptr, &mark_child) == 0;

}  // namespace

bool threads_usable() {
    (void)registered;
    return !forked_child.load(std::memory_order_relaxed);
}

}  // namespace quorvane::linalg
