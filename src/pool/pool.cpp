// The process-wide worker pool. Each worker owns a deque of ranges: it pushes the upper half
// of every cut onto its back and pops from there (newest, smallest first), while idle workers
// steal from the front (oldest, largest). A caller from outside cuts and runs its own call
// too, leaving the halves it cuts off in a shared queue, and sleeps only for halves a worker
// took: waking a sleeping worker costs more than a small call (see bench/pool_handoff).
// Since the caller computes, it fills one of the pool's thread slots: a pool of N threads
// starts N - 1 workers, so N threads compute and none of them waits for a CPU.
#include "pool/pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/done_signal.hpp"
#include "core/engine_thread.hpp"
#include "core/fault.hpp"
#include "core/fork_reset.hpp"
#include "pool/cpu_count.hpp"

namespace qv {
namespace {

using Piece = std::function<void(std::size_t, std::size_t)>;

constexpr std::size_t kNoWorker = SIZE_MAX;
constexpr std::size_t kCaller = SIZE_MAX - 1;  // any thread outside the pool
// Yields before an idle worker goes to sleep. Yielding, not spinning: a spinning worker
// would keep other threads, the woken caller among them, off its CPU (bench/pool_handoff).
constexpr int kIdleSpins = 100;
// Pauses (about 25 ns each) a caller polls for the last pieces before it sleeps: the
// worker finishing them is running, and a futex wake-up would cost more than that.
constexpr int kJoinSpins = 2000;

// One parallel_for call. Lives on the caller's stack, which waits until `remaining` drops
// to zero; the worker that takes it there is the last one to touch this record.
struct Join {
    const Piece* piece;
    std::size_t min_piece;
    bool capped = false;                 // under a thread limit: its pieces are never cut again
    std::atomic<std::size_t> remaining;  // indices neither run nor skipped yet
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // written only by the thread that set `failed`
    DoneSignal done;

    Join(const Piece& p, std::size_t min, std::size_t n)
        : piece(&p), min_piece(min), remaining(n) {}
};

struct Range {
    Join* join;
    std::size_t begin;
    std::size_t end;
    std::size_t budget;
    std::size_t cut_by;  // worker (or kCaller) that cut it off, kNoWorker for a root
};

class Pool;
thread_local Pool* tl_pool = nullptr;  // set on worker threads only

class Pool {
public:
    explicit Pool(std::size_t threads)
        : deques_(std::make_unique<Deque[]>(threads - 1)), workers_(threads - 1) {}

    // Starts the workers (engine threads: signals blocked, so they stay with the caller's).
    void start() {
        std::size_t started = 0;
        std::optional<std::string> failure;
        for (; started < workers(); ++started) {
            failure = start_engine_thread("qv-pool-" + std::to_string(started),
                                          [this, started] { work(started); });
            if (failure) break;
        }
        if (started < workers()) {
            if (started == 0) fault("failed to spawn worker pool thread: " + *failure);
            // Carry on with fewer workers rather than fail every evaluation.
            workers_.store(started, std::memory_order_relaxed);
        }
    }

    // The caller's slot and the workers.
    std::size_t threads() const { return workers() + 1; }

    // Runs the call: the caller cuts and runs pieces itself, leaving the halves it cuts off
    // in the shared queue for the workers, then waits for the ones they took.
    void run(std::size_t n, std::size_t min_piece, const Piece& piece, std::size_t limit) {
        Join join(piece, min_piece, n);
        std::optional<Range> r = Range{&join, 0, n, threads(), kNoWorker};
        if (limit < threads()) r = cut_capped(join, n, limit);
        while (r) {
            execute(*r, kCaller);
            r = take_back(join);
        }
        join.done.wait(kJoinSpins);
        if (join.error) std::rethrow_exception(join.error);
    }

private:
    struct Deque {
        std::mutex lock;
        std::deque<Range> ranges;
    };

    void work(std::size_t self) {
        tl_pool = this;
        for (;;) {
            std::uint64_t seen = epoch_.load(std::memory_order_seq_cst);
            if (auto r = find(self)) {
                execute(*r, self);
                continue;
            }
            if (spin_until_announced(seen)) continue;
            sleep_until_announced(seen);
        }
    }

    std::size_t workers() const { return workers_.load(std::memory_order_relaxed); }

    std::optional<Range> find(std::size_t self) {
        std::size_t n = workers();
        if (auto r = pop(deques_[self], /*back=*/true)) return r;
        for (std::size_t i = 1; i < n; ++i)
            if (auto r = pop(deques_[(self + i) % n], /*back=*/false)) return r;
        return pop(injected_, /*back=*/false);
    }

    // Halves cut on a worker go to its own deque, those cut by a caller to the shared queue.
    void push(Range r) {
        Deque& d = r.cut_by == kCaller ? injected_ : deques_[r.cut_by];
        std::lock_guard g(d.lock);
        d.ranges.push_back(r);
    }

    // A range of this call that nobody runs yet: the newest the caller cut off, else the
    // oldest (largest) a worker cut off, so the caller keeps computing instead of waiting.
    std::optional<Range> take_back(const Join& join) {
        if (auto r = take_of(injected_, join, /*newest=*/true)) return r;
        for (std::size_t w = 0; w < workers(); ++w)
            if (auto r = take_of(deques_[w], join, /*newest=*/false)) return r;
        return std::nullopt;
    }

    // Leaves `limit` - 1 pieces (fewer when min_piece forbids) in the shared queue and
    // returns the first for the caller; none of them is ever cut again.
    std::optional<Range> cut_capped(Join& join, std::size_t n, std::size_t limit) {
        join.capped = true;
        const std::size_t pieces = std::max<std::size_t>(1, std::min(limit, n / join.min_piece));
        const std::size_t step = (n + pieces - 1) / pieces;
        for (std::size_t begin = step; begin < n; begin += step) {
            push(Range{&join, begin, std::min(n, begin + step), 0, kCaller});
            announce();
        }
        return Range{&join, 0, std::min(n, step), 0, kNoWorker};
    }

    static std::optional<Range> take_of(Deque& d, const Join& join, bool newest) {
        std::lock_guard g(d.lock);
        auto& q = d.ranges;
        for (std::size_t k = 0; k < q.size(); ++k) {
            const std::size_t i = newest ? q.size() - 1 - k : k;
            if (q[i].join != &join) continue;
            const Range r = q[i];
            q.erase(q.begin() + static_cast<std::ptrdiff_t>(i));
            return r;
        }
        return std::nullopt;
    }

    static std::optional<Range> pop(Deque& d, bool back) {
        std::lock_guard g(d.lock);
        if (d.ranges.empty()) return std::nullopt;
        Range r;
        if (back) {
            r = d.ranges.back();
            d.ranges.pop_back();
        } else {
            r = d.ranges.front();
            d.ranges.pop_front();
        }
        return r;
    }

    void execute(Range r, std::size_t self) {
        Join& join = *r.join;
        if (r.cut_by != kNoWorker && r.cut_by != self && !join.capped)
            r.budget = std::max(r.budget / 2, threads());  // taken over: may be cut again
        try {
            while (!join.failed.load(std::memory_order_relaxed)) {
                std::size_t half = (r.end - r.begin) / 2;
                if (half < join.min_piece || r.budget == 0) break;
                r.budget /= 2;
                push(Range{&join, r.begin + half, r.end, r.budget, self});
                r.end = r.begin + half;
                announce();
            }
            // After a failure the rest of the call is skipped, not run.
            if (!join.failed.load(std::memory_order_relaxed)) (*join.piece)(r.begin, r.end);
        } catch (...) {
            bool expected = false;
            if (join.failed.compare_exchange_strong(expected, true, std::memory_order_relaxed))
                join.error = std::current_exception();
        }
        finish(join, r.end - r.begin);
    }

    static void finish(Join& join, std::size_t count) {
        if (join.remaining.fetch_sub(count, std::memory_order_acq_rel) == count) join.done.set();
    }

    // Every push bumps the epoch; a worker about to sleep registers first and then rechecks
    // the epoch, so either it sees the push or the pusher sees it as a sleeper.
    void announce() {
        epoch_.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
        std::lock_guard g(sleep_lock_);
        sleep_cv_.notify_one();
    }

    bool spin_until_announced(std::uint64_t seen) const {
        for (int i = 0; i < kIdleSpins; ++i) {
            if (epoch_.load(std::memory_order_relaxed) != seen) return true;
            std::this_thread::yield();
        }
        return false;
    }

    void sleep_until_announced(std::uint64_t seen) {
        std::unique_lock l(sleep_lock_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        while (epoch_.load(std::memory_order_seq_cst) == seen) sleep_cv_.wait(l);
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
    }

    std::unique_ptr<Deque[]> deques_;  // one per worker
    std::atomic<std::size_t> workers_;
    Deque injected_;
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<std::size_t> sleepers_{0};
    std::mutex sleep_lock_;
    std::condition_variable sleep_cv_;
};

std::atomic<std::size_t> g_thread_limit{SIZE_MAX};

// One-time creation without a mutex, so the child of a fork can reset it with plain stores.
enum : int { kNone, kBuilding, kReady };
std::atomic<Pool*> g_pool{nullptr};
std::atomic<int> g_pool_state{kNone};

// The child of a fork has none of the parent's workers: forget the old pool (leaked, as its
// locks may be held by threads that no longer exist) and build a new one on demand.
void forget_pool_in_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_pool_state.store(kNone, std::memory_order_relaxed);
}

// Registered at load time, so a fork during the first build is covered too.
const ForkRegistration g_fork{{.child = forget_pool_in_child}};

Pool& the_pool() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    for (;;) {
        int state = kNone;
        if (g_pool_state.compare_exchange_strong(state, kBuilding, std::memory_order_acq_rel)) {
            std::unique_ptr<Pool> pool;
            try {
                pool = std::make_unique<Pool>(available_cpus());
                pool->start();
            } catch (...) {
                g_pool_state.store(kNone, std::memory_order_release);
                g_pool_state.notify_all();
                throw;
            }
            Pool* p = pool.release();  // never destroyed: workers run until the process ends
            g_pool.store(p, std::memory_order_release);
            g_pool_state.store(kReady, std::memory_order_release);
            g_pool_state.notify_all();
            return *p;
        }
        if (state == kReady) return *g_pool.load(std::memory_order_acquire);
        g_pool_state.wait(kBuilding, std::memory_order_acquire);
    }
}

}  // namespace

std::size_t pool_thread_count() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return p->threads();
    return available_cpus();
}

void parallel_for(std::size_t n, std::size_t min_piece, const Piece& piece) {
    min_piece = std::max<std::size_t>(min_piece, 1);
    if (n == 0) return;
    const std::size_t limit = g_thread_limit.load(std::memory_order_relaxed);
    // Too small to cut, limited to one thread, or already on a worker (waiting there could
    // starve the pool).
    if (n / 2 < min_piece || limit <= 1 || tl_pool != nullptr) {
        piece(0, n);
        return;
    }
    the_pool().run(n, min_piece, piece, limit);
}

void set_thread_limit(std::size_t n) {
    if (n == 0) fault("thread limit of 0");
    g_thread_limit.store(n, std::memory_order_relaxed);
}

std::size_t thread_limit() {
    return std::min(g_thread_limit.load(std::memory_order_relaxed), pool_thread_count());
}

}  // namespace qv
