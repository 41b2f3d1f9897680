// The one fork registration of the engine. Each subsystem that owns process-wide state
// registers its handlers here (from a static initialiser, before any thread of ours
// exists); one pthread_atfork installation runs them: prepare in reverse registration
// order, parent and child in registration order, as pthread_atfork itself would.
#pragma once

#include <atomic>
#include <cstdint>

namespace qv {

struct ForkHandlers {
    void (*prepare)() = nullptr;  // in the forking thread, before fork(): quiesce
    void (*parent)() = nullptr;   // in the parent after fork(): undo prepare
    void (*child)() = nullptr;    // in the child: rebuild what the missing threads held
};

// Registers one subsystem's handlers. At most a fixed handful: every registration is one
// subsystem of the engine, so running out is an internal fault.
void on_fork(ForkHandlers handlers);

// Registers at static initialisation: `const ForkRegistration g_fork{{.child = f}};`.
struct ForkRegistration {
    explicit ForkRegistration(ForkHandlers handlers) { on_fork(handlers); }
};

namespace detail {
// Bumped by the child handler; read inline on every channel operation.
inline constinit std::atomic<std::uint64_t> fork_generation{0};
}  // namespace detail

// Counts the forks this process descends from: 0 in the process that loaded the engine,
// one more in each child. Anything a thread records can carry it, so a child tells what
// a thread of an ancestor left behind (that thread does not exist here).
inline std::uint64_t fork_generation() noexcept {
    return detail::fork_generation.load(std::memory_order_relaxed);
}

// Rebuilds a lock in a child: the parent's threads that held it or waited on it are gone,
// so the old object is abandoned (never unlocked nor destroyed) and a fresh one made in
// its place.
template <class Lock>
void rebuild_in_child(Lock& lock) noexcept {
    ::new (static_cast<void*>(&lock)) Lock;
}

}  // namespace qv
