#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

#include "bounded.hpp"
#include "core/fault.hpp"
#include "pool/cpu_count.hpp"
#include "pool/pool.hpp"

namespace qv {
namespace {

using namespace std::chrono_literals;
using testing::run_bounded;

struct Pieces {
    std::mutex lock;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    std::vector<std::thread::id> threads;
};

class PoolCoverage : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(PoolCoverage, EveryIndexOnceInLongEnoughPieces) {
    auto [n, min_piece] = GetParam();
    std::vector<std::atomic<int>> hits(n);
    Pieces pieces;
    run_bounded(60s, [&] {
        parallel_for(n, min_piece, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
            std::lock_guard g(pieces.lock);
            pieces.ranges.emplace_back(b, e);
            pieces.threads.push_back(std::this_thread::get_id());
        });
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
    if (n / 2 < min_piece) {
        EXPECT_LE(pieces.ranges.size(), 1u);
        return;
    }
    EXPECT_GE(pieces.ranges.size(), 2u) << "a range that can be cut was not";
    for (auto [b, e] : pieces.ranges) EXPECT_GE(e - b, min_piece) << b << ".." << e;
}

// (n, min_piece): below, at and above the pool threshold, odd sizes, tree and flat pieces.
INSTANTIATE_TEST_SUITE_P(Sizes, PoolCoverage,
                         ::testing::ValuesIn(std::vector<std::pair<std::size_t, std::size_t>>{
                             {0, 1},
                             {1, 1},
                             {2, 1},
                             {3, 1},
                             {1000, 1},
                             {2047, 1024},
                             {2048, 1024},
                             {4095, 1024},
                             {4096, 1024},
                             {4097, 1024},
                             {4096, 1},
                             {4097, 1},
                             {65537, 1024},
                             {100003, 1},
                             {1000003, 1024}}));

TEST(Pool, ThreadCountFollowsAvailableCpus) {
    EXPECT_GE(pool_thread_count(), 1u);
    EXPECT_EQ(pool_thread_count(), available_cpus());
}

TEST(Pool, WorkersTakePiecesWithSignalsBlocked) {
    if (pool_thread_count() < 2) GTEST_SKIP() << "a pool of one thread has no workers";
    std::mutex lock;
    std::vector<std::thread::id> seen;
    std::atomic<int> on_workers{0}, signals_open{0};
    run_bounded(60s, [&] {
        const auto caller = std::this_thread::get_id();
        parallel_for(4096, 1024, [&](std::size_t, std::size_t) {
            {
                std::lock_guard g(lock);
                if (std::find(seen.begin(), seen.end(), std::this_thread::get_id()) == seen.end())
                    seen.push_back(std::this_thread::get_id());
            }
            // Hold every piece until a second thread has joined in, so a worker must take one.
            for (int i = 0; i < 10000; ++i) {
                {
                    std::lock_guard g(lock);
                    if (seen.size() >= 2) break;
                }
                std::this_thread::sleep_for(1ms);
            }
            if (std::this_thread::get_id() == caller) return;
            on_workers.fetch_add(1);
            sigset_t mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            if (!sigismember(&mask, SIGINT) || !sigismember(&mask, SIGTERM))
                signals_open.fetch_add(1);
        });
    });
    EXPECT_GE(seen.size(), 2u);
    EXPECT_GE(on_workers.load(), 1);
    EXPECT_EQ(signals_open.load(), 0);
}

TEST(Pool, FirstExceptionReachesTheCallerAfterEveryPieceEnded) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<std::size_t> ran{0};
        std::atomic<int> active{0}, active_at_return{-1};
        try {
            run_bounded(60s, [&] {
                try {
                    parallel_for(1 << 14, 1, [&](std::size_t b, std::size_t e) {
                        active.fetch_add(1);
                        ran.fetch_add(e - b);
                        std::this_thread::sleep_for(std::chrono::microseconds(100));
                        active.fetch_sub(1);
                        if (b <= 5000 && 5000 < e) fault("piece at 5000 failed");
                        if (b <= 9000 && 9000 < e) fault("piece at 9000 failed");
                    });
                } catch (...) {
                    active_at_return.store(active.load());
                    throw;
                }
            });
            FAIL() << "no exception came back";
        } catch (const Fault& f) {
            EXPECT_TRUE(f.text() == "piece at 5000 failed" || f.text() == "piece at 9000 failed")
                << f.text();
        }
        EXPECT_EQ(active_at_return.load(), 0) << "rethrown while pieces were still running";
        EXPECT_LE(ran.load(), std::size_t{1} << 14);
    }
}

TEST(Pool, ExceptionFromAWorkerThreadIsCarriedBack) {
    std::atomic<bool> worker_joined{false};
    try {
        run_bounded(60s, [&] {
            const auto caller = std::this_thread::get_id();
            parallel_for(4096, 1024, [&](std::size_t, std::size_t) {
                if (std::this_thread::get_id() != caller) {
                    worker_joined.store(true);
                    fault("failed on a worker");
                }
                // Keep the caller busy until a worker has taken a piece.
                for (int i = 0; i < 10000 && !worker_joined.load(); ++i)
                    std::this_thread::sleep_for(1ms);
            });
        });
        FAIL() << "no exception came back";
    } catch (const Fault& f) {
        EXPECT_EQ(f.text(), "failed on a worker");
    }
    std::atomic<std::size_t> sum{0};
    parallel_for(10000, 1024, [&](std::size_t b, std::size_t e) { sum.fetch_add(e - b); });
    EXPECT_EQ(sum.load(), 10000u) << "pool unusable after a failed call";
}

TEST(Pool, ConcurrentCallersShareTheWorkers) {
    constexpr int kCallers = 8, kCalls = 40;
    std::vector<std::vector<double>> results(kCallers);
    run_bounded(120s, [&] {
        std::vector<std::thread> callers;
        for (int c = 0; c < kCallers; ++c) {
            callers.emplace_back([&, c] {
                for (int k = 0; k < kCalls; ++k) {
                    std::size_t n = 4096 + 977 * static_cast<std::size_t>(c + k);
                    std::vector<double> out(n, -1.0);
                    parallel_for(n, (c % 2) ? 1 : 1024, [&](std::size_t b, std::size_t e) {
                        for (std::size_t i = b; i < e; ++i)
                            out[i] = static_cast<double>(i) * 0.5 + c;
                    });
                    double sum = std::accumulate(out.begin(), out.end(), 0.0);
                    results[c].push_back(
                        sum - (0.25 * static_cast<double>(n) * static_cast<double>(n - 1) +
                               c * static_cast<double>(n)));
                }
            });
        }
        for (auto& t : callers) t.join();
    });
    for (int c = 0; c < kCallers; ++c) {
        ASSERT_EQ(results[c].size(), static_cast<std::size_t>(kCalls));
        for (double diff : results[c]) EXPECT_EQ(diff, 0.0) << "caller " << c;
    }
}

TEST(Pool, NestedCallFromAPieceRunsInline) {
    std::atomic<std::size_t> inner{0};
    run_bounded(60s, [&] {
        parallel_for(8, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i)
                parallel_for(4096, 1024,
                             [&](std::size_t ib, std::size_t ie) { inner.fetch_add(ie - ib); });
        });
    });
    EXPECT_EQ(inner.load(), 8u * 4096u);
}

#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer cannot start threads in a forked child
std::size_t thread_count_of_this_process() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                      std::filesystem::directory_iterator()));
}

// Runs `body` in a forked child (which dies rather than hangs after 30 s) and returns the
// status it exits with: -1 when a signal killed it, -2 when it could not be started or waited for.
template <class Body>
int exit_status_in_child(Body body) {
    const pid_t child = fork();
    if (child == -1) return -2;
    if (child == 0) {
        alarm(30);
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The child of a fork starts without workers, creates none for work too small to split,
// and then builds a pool of its own of the usual size.
TEST(Pool, ForkedChildRebuildsItsOwnPoolOnDemand) {
    std::atomic<std::size_t> warm{0};
    parallel_for(8192, 1024, [&](std::size_t b, std::size_t e) { warm.fetch_add(e - b); });
    ASSERT_EQ(warm.load(), 8192u);
    const int status = exit_status_in_child([] {
        if (thread_count_of_this_process() != 1) return 10;
        std::atomic<std::size_t> count{0};
        parallel_for(2047, 1024, [&](std::size_t b, std::size_t e) { count.fetch_add(e - b); });
        if (thread_count_of_this_process() != 1) return 11;
        parallel_for(8192, 1024, [&](std::size_t b, std::size_t e) { count.fetch_add(e - b); });
        if (count.load() != 2047 + 8192) return 12;
        // The caller is one of the pool's threads.
        if (thread_count_of_this_process() != pool_thread_count()) return 13;
        return 0;
    });
    EXPECT_EQ(status, 0) << "-1: killed (a hang ends in SIGALRM), 10/11: threads before the pool "
                            "was needed, 12: lost indices, 13: wrong worker count";
}

// A pool of one thread is the caller alone: it runs every piece and starts no thread.
TEST(Pool, PoolOfOneThreadRunsEverythingOnTheCaller) {
    const int status = exit_status_in_child([] {
        setenv("RAYON_NUM_THREADS", "1", 1);
        const auto caller = std::this_thread::get_id();
        std::atomic<std::size_t> count{0};
        std::atomic<bool> elsewhere{false};
        parallel_for(100000, 1, [&](std::size_t b, std::size_t e) {
            count.fetch_add(e - b);
            if (std::this_thread::get_id() != caller) elsewhere.store(true);
        });
        if (count.load() != 100000) return 10;
        if (elsewhere.load()) return 11;
        if (pool_thread_count() != 1 || thread_count_of_this_process() != 1) return 12;
        return 0;
    });
    EXPECT_EQ(status, 0) << "-1: killed, 10: lost indices, 11: a piece ran on another thread, "
                            "12: a worker was started";
}
// A thread limit caps the threads that work on one call at the same time, the caller
// included; a limit of 1 keeps the call on its calling thread.
TEST(Pool, ThreadLimitCapsTheThreadsOfOneCall) {
    const int status = exit_status_in_child([] {
        setenv("RAYON_NUM_THREADS", "4", 1);
        for (std::size_t limit : {1u, 2u, 3u}) {
            set_thread_limit(limit);
            if (thread_limit() != limit) return 10;
            const auto caller = std::this_thread::get_id();
            std::atomic<std::size_t> count{0}, busy{0}, most{0};
            std::atomic<bool> elsewhere{false};
            parallel_for(1 << 16, 1024, [&](std::size_t b, std::size_t e) {
                const std::size_t now = busy.fetch_add(1) + 1;
                std::size_t seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {}
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                count.fetch_add(e - b);
                if (std::this_thread::get_id() != caller) elsewhere.store(true);
                busy.fetch_sub(1);
            });
            if (count.load() != (1u << 16)) return 11;
            if (most.load() > limit) return 12;
            if (limit == 1 && elsewhere.load()) return 13;
        }
        set_thread_limit(1000);
        return thread_limit() == 4 ? 0 : 14;
    });
    EXPECT_EQ(status, 0) << "-1: killed, 10/14: limit not reported, 11: lost indices, "
                            "12: more threads than the limit at once, 13: limit 1 left the caller";
}
#endif

}  // namespace
}  // namespace qv
