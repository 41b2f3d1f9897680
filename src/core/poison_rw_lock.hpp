// A reader-writer lock around a value that is poisoned when a writer fails while holding it:
// the value may then be half-changed, so every later use is an internal fault.
#pragma once

#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>

#include "core/fault.hpp"
#include "core/fork_reset.hpp"

namespace qv {

inline constexpr std::string_view kPoisonErrorDebug = "PoisonError { .. }";

template <class T>
class PoisonRwLock {
public:
    template <class... Args>
    explicit PoisonRwLock(Args&&... args) : value_(std::forward<Args>(args)...) {}

    // Runs f(const T&) under the shared lock; faults with `poisoned_message` if poisoned.
    template <class F>
    decltype(auto) read(std::string_view poisoned_message, F&& f) const {
        std::shared_lock lock(mutex_);
        if (poisoned_) fault_expect(poisoned_message, kPoisonErrorDebug);
        return std::forward<F>(f)(std::as_const(value_));
    }

    // Runs f(T&) under the exclusive lock; an exception escaping f poisons the lock.
    template <class F>
    decltype(auto) write(std::string_view poisoned_message, F&& f) {
        std::unique_lock lock(mutex_);
        if (poisoned_) fault_expect(poisoned_message, kPoisonErrorDebug);
        try {
            return std::forward<F>(f)(value_);
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    // Around fork(): the forking thread holds the lock exclusively across it, so the child
    // copies a value no thread is changing; the child then gets a fresh lock, free of
    // the parent's waiting threads.
    void lock_for_fork() const { mutex_.lock(); }
    void unlock_in_parent() const { mutex_.unlock(); }
    void rebuild_in_child() const { qv::rebuild_in_child(mutex_); }

private:
    mutable std::shared_mutex mutex_;
    bool poisoned_ = false;  // written under the exclusive lock, read under either
    T value_;
};

}  // namespace qv
