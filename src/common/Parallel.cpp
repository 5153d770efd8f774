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

namespace {

// The cadence of the open InterruptWindow on this thread, if any.
thread_local std::chrono::steady_clock::time_point* window = nullptr;
// The check that checks made inside a side task's team answer through.
thread_local InterruptCheck* side_scope = nullptr;

}  // namespace

// Work started inside another team (a projection inside a batch) is already
// covered by the check of the operation around it; inside a side task's team
// it answers through the task's check.
InterruptCheck::InterruptCheck()
    : poll_(omp_in_parallel() ? nullptr : host_poll.load()),
      outer_(omp_in_parallel() ? side_scope : nullptr),
      caller_(std::this_thread::get_id()),
      own_next_ask_(Clock::now() + kPollInterval),
      next_ask_(window != nullptr && !omp_in_parallel() ? window : &own_next_ask_) {}

bool InterruptCheck::stop() {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (outer_ != nullptr) {
        if (!outer_->stop()) return false;
        stopped_.store(true, std::memory_order_relaxed);
        return true;
    }
    if (poll_ == nullptr || std::this_thread::get_id() != caller_) return false;
    const auto now = Clock::now();
    if (now < *next_ask_) return false;
    *next_ask_ = now + kPollInterval;
    if (!poll_()) return false;
    stopped_.store(true, std::memory_order_relaxed);
    return true;
}

bool InterruptCheck::stopped() const {
    return stopped_.load(std::memory_order_relaxed) || (outer_ != nullptr && outer_->stopped());
}

void InterruptCheck::finish() const {
    if (stopped()) throw Interrupted();
}

InterruptWindow::InterruptWindow()
    : next_ask_(std::chrono::steady_clock::now() + kPollInterval), previous_(window) {
    window = &next_ask_;
}

InterruptWindow::~InterruptWindow() { window = previous_; }

InterruptScope::InterruptScope(InterruptCheck& check) : previous_(side_scope) { side_scope = &check; }

InterruptScope::~InterruptScope() { side_scope = previous_; }

}  // namespace quorvane::common
