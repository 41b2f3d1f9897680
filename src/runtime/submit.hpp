// One submission of rt.go once its task exists: compute on the calling thread and record
// the outcome in the task, or hand the result to the delivery worker.
#pragma once

#include <optional>

#include "channel/channel.hpp"
#include "runtime/task.hpp"
#include "runtime/work.hpp"

namespace qv {

// Runs without the interpreter lock. Computation errors are stored in the task, never
// thrown; internal faults propagate and leave the task as it was.
void run_submission(TaskRef task, Work work, std::optional<ChannelHandle> out);

}  // namespace qv
