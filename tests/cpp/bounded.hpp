// Runs a test body on its own thread and ends the process if it overruns, so a deadlock
// shows up as a failure instead of a hung test run.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

namespace qv::testing {

inline void run_bounded(std::chrono::seconds limit, std::function<void()> body) {
    std::packaged_task<void()> task(std::move(body));
    auto finished = task.get_future();
    std::thread runner(std::move(task));
    if (finished.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "test body still running after %lld s: deadlock?\n",
                     static_cast<long long>(limit.count()));
        std::_Exit(3);
    }
    runner.join();
    finished.get();  // rethrows what the body threw
}

}  // namespace qv::testing
