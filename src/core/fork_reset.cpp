// The handler table behind on_fork. Constant-initialised, so registrations from static
// initialisers in any order find it ready; pthread_atfork is called once, by the first.
#include "core/fork_reset.hpp"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>

#include "core/fault.hpp"

namespace qv {
namespace {

constexpr std::size_t kMaxRegistrations = 8;

constinit std::array<ForkHandlers, kMaxRegistrations> g_handlers{};
constinit std::atomic<std::size_t> g_count{0};

void run_prepare() {
    for (std::size_t i = g_count.load(std::memory_order_acquire); i-- > 0;)
        if (g_handlers[i].prepare) g_handlers[i].prepare();
}

void run_parent() {
    const std::size_t n = g_count.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < n; ++i)
        if (g_handlers[i].parent) g_handlers[i].parent();
}

void run_child() {
    detail::fork_generation.fetch_add(1, std::memory_order_relaxed);
    const std::size_t n = g_count.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < n; ++i)
        if (g_handlers[i].child) g_handlers[i].child();
}

}  // namespace

void on_fork(ForkHandlers handlers) {
    // Registrations run from static initialisers, one library load at a time; the lock
    // only keeps a late caller from racing another.
    static std::mutex registering;
    std::lock_guard g(registering);
    const std::size_t n = g_count.load(std::memory_order_relaxed);
    if (n == kMaxRegistrations) fault("too many fork handler registrations");
    if (n == 0) pthread_atfork(run_prepare, run_parent, run_child);
    g_handlers[n] = handlers;
    g_count.store(n + 1, std::memory_order_release);
}

}  // namespace qv
