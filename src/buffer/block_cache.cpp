// The large-block cache: a short list of kept blocks under one mutex, and a trimmer thread,
// started with the first kept block, that frees them all after a second without use.
#include "buffer/block_cache.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "core/engine_thread.hpp"
#include "core/fork_reset.hpp"

namespace qv {

namespace {

constexpr auto kIdleRelease = std::chrono::seconds(1);

struct Block {
    void* p;
    std::size_t bytes;  // its class size
};

struct Cache {
    std::mutex lock;
    std::condition_variable wake;  // the trimmer waits on it
    std::vector<Block> kept;       // oldest first
    std::size_t kept_bytes = 0;
    std::uint64_t uses = 0;  // takes and gives, to tell idleness
    bool trimmer_running = false;
    bool trimmer_parked = false;  // waiting for something to be kept
    std::size_t bound = 0;
};

// Never destroyed: blocks may be given back by threads still running at exit.
Cache& cache() {
    static Cache* c = [] {
        auto* made = new Cache;
        // An eighth of the memory, at most 1 GiB.
        const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
        const std::size_t eighth = pages > 0 && page > 0 ? static_cast<std::size_t>(pages) / 8 *
                                                               static_cast<std::size_t>(page)
                                                         : 0;
        made->bound = std::min<std::size_t>(std::size_t{1} << 30, std::max(eighth, kBlockCacheMin));
        return made;
    }();
    return *c;
}

void free_all_locked(Cache& c) noexcept {
    for (const Block& b : c.kept) std::free(b.p);
    c.kept.clear();
    c.kept_bytes = 0;
}

// Parks while nothing is kept; otherwise wakes once a second, unasked, so that a busy loop
// of takes and gives never pays for waking it.
void trim_when_idle() {
    Cache& c = cache();
    std::unique_lock l(c.lock);
    for (;;) {
        if (c.kept.empty()) {
            c.trimmer_parked = true;
            c.wake.wait(l, [&c] { return !c.kept.empty(); });
            c.trimmer_parked = false;
        }
        const std::uint64_t seen = c.uses;
        c.wake.wait_for(l, kIdleRelease);
        if (c.uses == seen) free_all_locked(c);
    }
}

// The child of a fork has no trimmer; the lock was taken around the fork, so the kept list
// is whole, and a fresh lock and condition variable replace the parent's (a waiter recorded
// in the old one does not exist here: signalling it would hang).
void lock_before_fork() { cache().lock.lock(); }
void unlock_in_parent() { cache().lock.unlock(); }
void rebuild_in_fork_child() {
    Cache& c = cache();
    c.trimmer_running = false;
    c.trimmer_parked = false;
    rebuild_in_child(c.lock);
    rebuild_in_child(c.wake);
}
const ForkRegistration g_fork{
    {.prepare = lock_before_fork, .parent = unlock_in_parent, .child = rebuild_in_fork_child}};

// With the lock held. Without a trimmer, kept memory would stay until the bound is reached:
// still correct, so a failure to start one is not an error.
void start_trimmer_locked(Cache& c) noexcept {
    c.trimmer_running = !start_engine_thread("block-trimmer", trim_when_idle).has_value();
}

}  // namespace

std::size_t block_class(std::size_t bytes) noexcept {
    const std::size_t step = std::bit_floor(bytes) / 8;
    return (bytes + step - 1) / step * step;
}

void* block_take(std::size_t bytes) {
    const std::size_t size = block_class(bytes);
    Cache& c = cache();
    {
        std::lock_guard g(c.lock);
        ++c.uses;
        for (std::size_t i = c.kept.size(); i-- > 0;) {
            if (c.kept[i].bytes != size) continue;
            void* p = c.kept[i].p;
            c.kept.erase(c.kept.begin() + static_cast<std::ptrdiff_t>(i));
            c.kept_bytes -= size;
            return p;
        }
    }
    void* p = std::aligned_alloc(64, size);
    if (p == nullptr) {
        // Memory held here may be what the allocator is missing.
        block_cache_release_all();
        p = std::aligned_alloc(64, size);
        if (p == nullptr) throw std::bad_alloc();
    }
    return p;
}

void block_give_back(void* p, std::size_t bytes) noexcept {
    const std::size_t size = block_class(bytes);
    Cache& c = cache();
    {
        std::lock_guard g(c.lock);
        ++c.uses;
        // Past the bound the oldest blocks go first: the newest are the likeliest reused.
        while (!c.kept.empty() && c.kept_bytes + size > c.bound) {
            std::free(c.kept.front().p);
            c.kept_bytes -= c.kept.front().bytes;
            c.kept.erase(c.kept.begin());
        }
        if (size <= c.bound) {
            c.kept.push_back(Block{p, size});
            c.kept_bytes += size;
            if (!c.trimmer_running) start_trimmer_locked(c);
            if (c.trimmer_parked) c.wake.notify_one();
            return;
        }
    }
    std::free(p);
}

void block_cache_release_all() noexcept {
    Cache& c = cache();
    std::lock_guard g(c.lock);
    free_all_locked(c);
}

std::size_t block_cache_kept_bytes() noexcept {
    Cache& c = cache();
    std::lock_guard g(c.lock);
    return c.kept_bytes;
}

std::size_t block_cache_bound() noexcept { return cache().bound; }

}  // namespace qv
