#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

namespace quorvane::common {

/// False in a child created by fork() after the parent has used OpenMP: the
/// GNU runtime's worker pool does not survive a fork, and a team started in
/// the child waits for it forever. Every parallel region asks this first and
/// runs on the calling thread when it says no.
bool threads_usable();

/// Thrown on the calling thread when a long operation stopped because the
/// host asked it to (Ctrl-C in Python). The operation has changed nothing.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

/// Installs the host's question "should long work stop now?". It is asked
/// only from the thread that started the work, at most every few tens of
/// milliseconds, and never from inside another parallel region.
void set_interrupt_poll(bool (*poll)());

/// One long operation's interruption state. Made on the calling thread before
/// its parallel region; every thread asks `stop()` between work units and
/// skips the rest once it says yes (nothing is thrown inside the region); the
/// calling thread then calls `finish()`, which throws `Interrupted`.
class InterruptCheck {
public:
    InterruptCheck();

    /// True once the operation must stop. On the calling thread it also asks
    /// the host, when the last question is old enough.
    bool stop();

    /// Throws Interrupted if the operation was stopped.
    void finish() const;

private:
    bool (*poll_)();                                  ///< the host's question; null: never stop
    std::thread::id caller_;                          ///< the only thread that asks the host
    std::chrono::steady_clock::time_point next_ask_;  ///< read and written by the caller only
    std::atomic<bool> stopped_{false};                ///< seen by every thread of the region
};

}  // namespace quorvane::common
