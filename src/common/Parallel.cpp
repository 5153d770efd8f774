#include "Parallel.h"

#include <omp.h>
#include <pthread.h>

namespace quorvane::common {

namespace {

std::atomic<bool> forked_child{false};
std::atomic<bool (*)()> host_poll{nullptr};

// The host is asked this often: quick enough for a key press, rare enough
// that asking costs nothing measurable.
constexpr std::chrono::milliseconds kPollInterval{20};

void mark_child() { forked_child.store(true, std::memory_order_relaxed); }

// Registered once, when the library is loaded.
const bool registered = pthread_atfork(nullptr, nullptr, &mark_child) == 0;

}  // namespace

bool threads_usable() {
    (void)registered;
    return !forked_child.load(std::memory_order_relaxed);
}

void set_interrupt_poll(bool (*poll)()) { host_poll.store(poll); }

// Work started inside another team (a projection inside a batch) is already
// covered by the check of the operation around it.
InterruptCheck::InterruptCheck()
    : poll_(omp_in_parallel() ? nullptr : host_poll.load()),
      caller_(std::this_thread::get_id()),
      next_ask_(std::chrono::steady_clock::now() + kPollInterval) {}

bool InterruptCheck::stop() {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (poll_ == nullptr || std::this_thread::get_id() != caller_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_ask_) return false;
    next_ask_ = now + kPollInterval;
    if (!poll_()) return false;
    stopped_.store(true, std::memory_order_relaxed);
    return true;
}

void InterruptCheck::finish() const {
    if (stopped_.load(std::memory_order_relaxed)) throw Interrupted();
}

}  // namespace quorvane::common
