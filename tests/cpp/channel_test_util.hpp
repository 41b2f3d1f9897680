// Shared helpers of the channel tests: buffers carrying one number, and threads whose
// joins are bounded in time so a lost wake-up fails the test instead of hanging it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include "channel/channel.hpp"

namespace qv::testing {

inline BufferRef buf(double v) { return from_f64_vec(F64Vec{v}); }

inline double value_of(const BufferRef& b) { return b->as_f64_slice()[0]; }

// What value_of reports for the end marker and for "closed".
constexpr double kMarker = -1;
constexpr double kClosed = -2;

// Value of a received buffer, or kMarker, or kClosed.
inline double value_of(const std::optional<ChannelItem>& item) {
    if (!item) return kClosed;
    if (item->is_end_marker()) return kMarker;
    return value_of(item->buffer);
}

constexpr auto kJoinLimit = std::chrono::seconds(60);
// How long a thread that should stay blocked is watched.
constexpr auto kBlockedWatch = std::chrono::milliseconds(50);

class BoundedThread {
public:
    explicit BoundedThread(std::function<void()> body)
        : thread_([this, body = std::move(body)] {
              body();
              done_.store(true);
              finished_.set_value();
          }) {}
    BoundedThread(const BoundedThread&) = delete;
    BoundedThread& operator=(const BoundedThread&) = delete;
    ~BoundedThread() { join(); }

    bool done() const { return done_.load(); }
    // Stays unfinished for a while (it is blocked, or at least not done yet).
    bool stays_blocked() const {
        return finished_future_.wait_for(kBlockedWatch) == std::future_status::timeout;
    }
    void join() {
        if (!thread_.joinable()) return;
        if (finished_future_.wait_for(kJoinLimit) != std::future_status::ready) {
            std::fprintf(stderr, "thread did not finish in time: lost wake-up or deadlock\n");
            std::abort();
        }
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::promise<void> finished_;
    std::future<void> finished_future_ = finished_.get_future();
    std::thread thread_;
};

}  // namespace qv::testing
