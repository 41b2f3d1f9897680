// Task state machine: terminal states are final, late outcomes are dropped, and waiters are
// woken only by moves into a terminal state.
#include "runtime/task.hpp"

#include <utility>

namespace qv {
namespace {

const char* state_name(TaskState s) noexcept {
    switch (s) {
        case TaskState::Created: return "Created";
        case TaskState::RunningCompute: return "RunningCompute";
        case TaskState::DeliveryQueued: return "DeliveryQueued";
        case TaskState::Delivering: return "Delivering";
        case TaskState::Completed: return "Completed";
        case TaskState::Failed: return "Failed";
        case TaskState::Cancelled: return "Cancelled";
    }
    return "?";
}

}  // namespace

bool is_terminal(TaskState s) noexcept {
    return s == TaskState::Completed || s == TaskState::Failed || s == TaskState::Cancelled;
}

std::string TaskSnapshot::debug() const {
    std::string text = state_name(state);
    if (state == TaskState::Failed && error) {
        text += '(';
        text += error->debug();
        text += ')';
    }
    return text;
}

// Only reached before the task is shared; a terminal state still stays as it is.
void Task::mark_running() {
    std::lock_guard g(lock_);
    if (!is_terminal(state_)) state_ = TaskState::RunningCompute;
}

void Task::complete(TaskResult result) {
    std::lock_guard g(lock_);
    if (is_terminal(state_)) return;
    result_ = std::move(result);
    state_ = TaskState::Completed;
    finished_.notify_all();
}

void Task::mark_delivery_queued(TaskResult result) {
    std::lock_guard g(lock_);
    if (is_terminal(state_)) return;
    result_ = std::move(result);
    state_ = TaskState::DeliveryQueued;
}

void Task::fail(EngineError error) {
    std::lock_guard g(lock_);
    if (is_terminal(state_)) return;
    error_ = std::move(error);
    state_ = TaskState::Failed;
    finished_.notify_all();
}

void Task::mark_delivering() {
    std::lock_guard g(lock_);
    if (state_ == TaskState::DeliveryQueued) state_ = TaskState::Delivering;
}

void Task::complete_delivery() {
    std::lock_guard g(lock_);
    if (is_terminal(state_)) return;
    state_ = TaskState::Completed;
    finished_.notify_all();
}

bool Task::cancel() {
    std::lock_guard g(lock_);
    if (is_terminal(state_)) return false;
    state_ = TaskState::Cancelled;
    finished_.notify_all();
    return true;
}

bool Task::is_done() const {
    std::lock_guard g(lock_);
    return is_terminal(state_);
}

TaskSnapshot Task::snapshot_state() const {
    std::lock_guard g(lock_);
    return TaskSnapshot{state_, state_ == TaskState::Failed ? error_ : std::nullopt};
}

TaskOutcome Task::wait_finished() const {
    std::unique_lock l(lock_);
    finished_.wait(l, [this] { return is_terminal(state_); });
    TaskOutcome out{state_, std::nullopt, std::nullopt};
    if (state_ == TaskState::Completed) out.result = result_;
    if (state_ == TaskState::Failed) out.error = error_;
    return out;
}

}  // namespace qv
