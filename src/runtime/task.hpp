// The task record behind a TaskHandle: a small state machine guarded by one mutex, with a
// condition variable woken on every move into a terminal state.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "buffer/inner.hpp"
#include "core/engine_error.hpp"

namespace qv {

enum class TaskState : std::uint8_t {
    Created,
    RunningCompute,
    DeliveryQueued,
    Delivering,
    Completed,
    Failed,
    Cancelled,
};

bool is_terminal(TaskState s) noexcept;

// A map's result buffer, or a reduction's scalar.
using TaskResult = std::variant<BufferRef, double>;

// A copy of the state, with the error when Failed.
struct TaskSnapshot {
    TaskState state;
    std::optional<EngineError> error;
    // "Completed", "Failed(ShapeError(\"m\"))", ...
    std::string debug() const;
};

// What result() needs: the terminal state with its value or error.
struct TaskOutcome {
    TaskState state;                   // Completed, Failed or Cancelled
    std::optional<TaskResult> result;  // when Completed
    std::optional<EngineError> error;  // when Failed
};

class Task {
public:
    void mark_running();
    void complete(TaskResult result);
    void mark_delivery_queued(TaskResult result);
    void fail(EngineError error);
    void mark_delivering();
    void complete_delivery();
    bool cancel();
    bool is_done() const;
    TaskSnapshot snapshot_state() const;
    TaskOutcome wait_finished() const;  // blocks, no time-out

private:
    mutable std::mutex lock_;
    mutable std::condition_variable finished_;
    std::optional<TaskResult> result_;
    TaskState state_ = TaskState::Created;
    std::optional<EngineError> error_;
};

using TaskRef = std::shared_ptr<Task>;

}  // namespace qv
