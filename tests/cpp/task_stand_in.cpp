// TEMPORARY: a minimal task record so the delivery tests link before the real one lands.
// It compiles to nothing once src/runtime/task.cpp exists; delete it then.
#if !__has_include("runtime/task.cpp")

#include "runtime/task.hpp"

namespace qv {

bool is_terminal(TaskState s) noexcept {
    return s == TaskState::Completed || s == TaskState::Failed || s == TaskState::Cancelled;
}

void Task::mark_running() {
    std::lock_guard<std::mutex> g(lock_);
    state_ = TaskState::RunningCompute;
}

void Task::mark_delivery_queued(TaskResult result) {
    std::lock_guard<std::mutex> g(lock_);
    if (is_terminal(state_)) return;
    result_ = std::move(result);
    state_ = TaskState::DeliveryQueued;
}

void Task::fail(EngineError error) {
    std::lock_guard<std::mutex> g(lock_);
    if (is_terminal(state_)) return;
    state_ = TaskState::Failed;
    error_ = std::move(error);
    finished_.notify_all();
}

void Task::mark_delivering() {
    std::lock_guard<std::mutex> g(lock_);
    if (state_ == TaskState::DeliveryQueued) state_ = TaskState::Delivering;
}

void Task::complete_delivery() {
    std::lock_guard<std::mutex> g(lock_);
    if (is_terminal(state_)) return;
    state_ = TaskState::Completed;
    finished_.notify_all();
}

bool Task::cancel() {
    std::lock_guard<std::mutex> g(lock_);
    if (is_terminal(state_)) return false;
    state_ = TaskState::Cancelled;
    finished_.notify_all();
    return true;
}

bool Task::is_done() const {
    std::lock_guard<std::mutex> g(lock_);
    return is_terminal(state_);
}

TaskSnapshot Task::snapshot_state() const {
    std::lock_guard<std::mutex> g(lock_);
    return TaskSnapshot{state_, error_};
}

}  // namespace qv

#endif
