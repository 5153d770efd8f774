#include "SideTask.h"

#include <omp.h>

#include <utility>

#include "Parallel.h"

namespace quorvane::common {

SideTask::SideTask(std::function<void()> task) : task_(std::move(task)) {}

void SideTask::run() noexcept {
    ran_ = true;
    try {
        task_();
    } catch (...) {
        error_ = std::current_exception();
    }
}

void SideTask::beside(const std::function<void()>& step) {
    if (ran_ || !task_ || omp_in_parallel() || !threads_usable() || omp_get_max_threads() < 2) {
        step();
        return;
    }
    std::exception_ptr step_error;
#pragma omp parallel num_threads(2)
    {
        const InterruptScope scope(check_);
        if (omp_get_thread_num() == 1) {
            run();
        } else {
            try {
                step();
            } catch (...) {
                step_error = std::current_exception();
            }
        }
    }
    if (step_error) std::rethrow_exception(step_error);
}

void SideTask::finish() {
    if (!ran_ && task_) run();
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

}  // namespace quorvane::common
