// A one-time "done" that one thread sets and one thread waits for, spinning briefly before
// it sleeps: a hand-over between two running threads then skips the sleep and wake-up
// system calls. The waiter may destroy the signal as soon as wait() returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qv {

class DoneSignal {
public:
    // The notify happens under the mutex, so the waiter cannot return (and destroy the
    // signal) before set() is done with it.
    void set() {
        std::lock_guard<std::mutex> g(m_);
        done_.store(true, std::memory_order_release);
        cv_.notify_one();
    }

    // Returns once set() was called: polls through `spins` pauses, then through `yields`
    // yields of the CPU (which keep the thread awake without keeping others off the CPU),
    // then sleeps.
    void wait(int spins, int yields = 0) {
        for (int i = 0; i < spins + yields; ++i) {
            if (done_.load(std::memory_order_acquire)) {
                std::lock_guard<std::mutex> g(m_);  // waits out the setter's notify
                return;
            }
            if (i < spins) {
                pause();
            } else {
                std::this_thread::yield();
            }
        }
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [this] { return done_.load(std::memory_order_relaxed); });
    }

    // Sleeps until set() was called or `limit` passed; true when set.
    template <class Duration>
    bool wait_for(Duration limit) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, limit, [this] { return done_.load(std::memory_order_relaxed); });
    }

private:
    static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::atomic<bool> done_{false};
};

}  // namespace qv
