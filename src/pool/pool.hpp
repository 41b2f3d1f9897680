// The process-wide worker pool: created lazily at the first evaluation that needs it,
// one thread per CPU available to the process (affinity mask, cgroup quota), or as set by
// RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS. Fork-join by recursive halving; the caller runs
// pieces of its own call and waits for the rest, so it counts as one of those threads.
#pragma once

#include <cstddef>
#include <functional>

namespace qv {

// Number of threads the pool computes on (or will once created): the caller and the workers.
std::size_t pool_thread_count();

// At most `n` threads, the caller included, work on each parallel_for from now on (n >= 1;
// 1 keeps every call on its calling thread). A call already running keeps its own limit.
void set_thread_limit(std::size_t n);
// The number of threads a call may use now: the limit, within pool_thread_count().
std::size_t thread_limit();

// Runs `piece(begin, end)` over disjoint ranges covering [0, n), splitting a range of L
// indices at L/2 while L/2 >= min_piece and the split budget (starting at the thread count,
// halved per cut, reset when a half is stolen) allows. Blocks until every piece is done.
// Under a thread limit below the pool's size, the range is cut once into at most that many
// pieces, none of which is cut again, so no more threads than pieces can work on it.
// The first exception thrown by a piece (on any thread) is rethrown here; remaining pieces
// are still waited for or skipped. Runs no Python code: pieces must not either.
void parallel_for(std::size_t n, std::size_t min_piece,
                  const std::function<void(std::size_t begin, std::size_t end)>& piece);

}  // namespace qv
