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
/// milliseconds, and never from inside a parallel region other than a side
/// task's (see InterruptScope).
void set_interrupt_poll(bool (*poll)());

/// One long operation's interruption state. Made on the calling thread before
/// its parallel region; every thread asks `stop()` between work units and
/// skips the rest once it says yes (nothing is thrown inside the region); the
/// calling thread then calls `finish()`, which throws `Interrupted`. Serial
/// loops call `poll()` instead. The first question comes 20 ms after the
/// check is made, so short calls never ask; inside an InterruptWindow the
/// checks share one cadence instead.
class InterruptCheck {
public:
    InterruptCheck();
    InterruptCheck(const InterruptCheck&) = delete;
    InterruptCheck& operator=(const InterruptCheck&) = delete;

    /// True once the operation must stop. On the calling thread it also asks
    /// the host, when the last question is old enough.
    bool stop();

    /// Throws Interrupted if the operation was stopped.
    void finish() const;

    /// Throws Interrupted now if the operation must stop: for serial work,
    /// or work whose caller catches it before it leaves a parallel region.
    void poll() {
        if (stop()) throw Interrupted();
    }

private:
    friend class InterruptScope;
    bool stopped() const;

    using Clock = std::chrono::steady_clock;
    bool (*poll_)();                    ///< the host's question; null: never ask
    InterruptCheck* outer_;             ///< inside a side task's team: the check asked through
    std::thread::id caller_;            ///< the only thread that asks the host
    Clock::time_point own_next_ask_;    ///< when no window is open: this check's own cadence
    Clock::time_point* next_ask_;       ///< the next time the host may be asked; the caller's alone
    std::atomic<bool> stopped_{false};  ///< seen by every thread of the region
};

/// One long operation made of many steps (a train): while it is open on this
/// thread, the checks its steps make ask the host every 20 ms between them,
/// so a chain of short steps is asked as often as one long step.
class InterruptWindow {
public:
    InterruptWindow();
    ~InterruptWindow();
    InterruptWindow(const InterruptWindow&) = delete;
    InterruptWindow& operator=(const InterruptWindow&) = delete;

private:
    std::chrono::steady_clock::time_point next_ask_;  ///< shared by the checks made inside
    std::chrono::steady_clock::time_point* previous_; ///< the window this one hides
};

/// Inside a side task's two-thread team, checks made on this thread answer
/// through `check` (made on the calling thread outside the team): the step on
/// the calling thread asks the host, and the task beside it stops with it.
/// Whatever they throw is caught before the team ends.
class InterruptScope {
public:
    explicit InterruptScope(InterruptCheck& check);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    InterruptCheck* previous_;  ///< the scope this one hides, restored on exit
};

}  // namespace quorvane::common
