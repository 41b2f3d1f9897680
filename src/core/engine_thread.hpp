// The one way the engine starts a thread of its own: detached, named (as /proc and
// debuggers show it), and with every signal blocked, so that signals reach the program's
// own threads (Python handles them on its main thread) and never an engine thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace qv {

// Starts `body` on a new detached thread called `name` (at most 15 characters). Returns
// the system's reason when the thread cannot be started, nothing otherwise. `body` must
// not let an exception escape.
std::optional<std::string> start_engine_thread(const std::string& name, std::function<void()> body);

}  // namespace qv
