#pragma once

#include <exception>
#include <functional>

#include "Parallel.h"

namespace quorvane::common {

/// A task that depends on nothing around it, run on the core a
/// single-threaded step would leave idle: `beside` runs the step on the
/// calling thread and the task on the second thread of a team, whose worker
/// is still awake just after a parallel product. `finish` runs the task on
/// the calling thread if it has not run, and rethrows what it threw.
class SideTask {
public:
    /// An empty task does nothing.
    explicit SideTask(std::function<void()> task = {});

    /// Runs `step` here and the pending task beside it; parallel regions
    /// inside `step` then run on its thread alone. Rethrows what `step` threw.
    void beside(const std::function<void()>& step);
    void finish();

private:
    void run() noexcept;

    std::function<void()> task_;
    std::exception_ptr error_;
    bool ran_ = false;      ///< the task runs once
    InterruptCheck check_;  ///< what checks inside the team answer through: Ctrl-C stops both sides
};

}  // namespace quorvane::common
