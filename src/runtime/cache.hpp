// The process-wide kernel cache: one compiled kernel per distinct kernel body, the least
// recently used dropped beyond a count or size budget. Bodies are identified by a key of
// their pre-order walk.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/poison_rw_lock.hpp"
#include "exec/compiled.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

// Node codes, constant bit patterns and argument indices in pre-order. Names are not part
// of it: bodies carry dense indices.
struct KernelKey {
    std::vector<std::uint8_t> codes;
    std::vector<std::uint64_t> constants;
    std::vector<std::uint64_t> arg_indices;

    friend bool operator==(const KernelKey&, const KernelKey&) = default;
};

KernelKey make_kernel_key(const NodeList& body);
// The same, into `key`, reusing its storage.
void make_kernel_key_into(const NodeList& body, KernelKey& key);
// SipHash-1-3 under a fixed key over the length-prefixed little-endian fields.
std::uint64_t kernel_key_hash(const KernelKey& key);
// Flat when the body has no Select, otherwise the tree itself.
CompiledKernelRef compile_kernel(const NodeList& body);

class KernelCache {
public:
    // Beyond either limit the least recently used entries go, down to three quarters of both.
    struct Limits {
        std::size_t entries;
        std::size_t bytes;  // as entry_bytes estimates them
    };
    // Far more formulas than a program writes by hand; the bytes keep huge bodies in check.
    static constexpr Limits kDefaultLimits{4096, std::size_t{64} << 20};

    explicit KernelCache(Limits limits = kDefaultLimits) : limits_(limits) {}

    // Compiles outside the lock on a miss; the first insertion of an equal key wins. A kernel
    // dropped from the cache lives on while an evaluation holds it.
    CompiledKernelRef get_or_compile(const NodeList& body);
    std::size_t entry_count() const;
    std::size_t byte_count() const;
    // Held across fork() by the forking thread (PoisonRwLock).
    void lock_for_fork() const { state_.lock_for_fork(); }
    void unlock_in_parent() const { state_.unlock_in_parent(); }
    void rebuild_in_child() const { state_.rebuild_in_child(); }

private:
    // The insertion count at an entry's last use. Hits write it under the shared lock, so
    // it is atomic; relaxed: it orders nothing, eviction reads it under the exclusive lock.
    class UseStamp {
    public:
        explicit UseStamp(std::uint64_t t) noexcept : t_(t) {}
        UseStamp(UseStamp&& other) noexcept : t_(other.get()) {}  // moved under the exclusive lock
        UseStamp& operator=(UseStamp&& other) noexcept {
            t_.store(other.get(), std::memory_order_relaxed);
            return *this;
        }
        std::uint64_t get() const noexcept { return t_.load(std::memory_order_relaxed); }
        // Written only when it changes: hits on a hot entry do not bounce its cache line.
        void touch(std::uint64_t now) const noexcept {
            if (get() != now) t_.store(now, std::memory_order_relaxed);
        }

    private:
        mutable std::atomic<std::uint64_t> t_;
    };
    struct Entry {
        KernelKey key;
        CompiledKernelRef kernel;
        std::size_t bytes;
        UseStamp last_used;
    };
    struct State {
        // Keys whose hashes collide share one list, in insertion order.
        std::unordered_map<std::uint64_t, std::vector<Entry>> map;
        std::size_t entries = 0;
        std::size_t bytes = 0;
    };

    // Drops the least recently used entries but `kept` until both counts are at three
    // quarters of their limits.
    void evict(State& state, const CompiledKernel* kept) const;

    PoisonRwLock<State> state_;
    Limits limits_;
    std::atomic<std::uint64_t> insertions_{0};  // the clock of UseStamp
};

// An estimate of what an entry for a body of `nodes` nodes holds: its key, its compiled
// form and a block program decoded for one pattern of arguments.
std::size_t entry_bytes(std::size_t nodes) noexcept;

// The process-wide cache, created on first use and never destroyed.
CompiledKernelRef get_or_compile(const NodeList& body);
std::size_t cache_entry_count();

}  // namespace qv
