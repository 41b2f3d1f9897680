// Large freed blocks kept for the next allocation of their size class, so that a loop which
// makes and drops arrays of one size reuses pages already faulted in instead of returning
// them to the operating system and faulting fresh ones in (about 20 us per 800 KB here).
// What is kept is bounded; all of it is released once the cache has been unused for a while.
//
// Invariants: a kept block is in `kept` exactly once and belongs to no caller; `kept_bytes`
// is the sum of their class sizes and never exceeds the bound.
#pragma once

#include <cstddef>

namespace qv {

// Blocks below this are left to the allocator, which keeps small blocks well on its own.
inline constexpr std::size_t kBlockCacheMin = std::size_t{128} << 10;

// The size actually allocated for a request of `bytes` (>= kBlockCacheMin): rounded up to one
// of eight steps per power of two, so that near sizes share blocks (at most 1/8 unused).
std::size_t block_class(std::size_t bytes) noexcept;

// A block of block_class(bytes) bytes, 64-byte aligned: a kept one of that class if any
// (the most recently kept), else a new one. Throws std::bad_alloc.
void* block_take(std::size_t bytes);

// Keeps `p` (from block_take with the same `bytes`) for reuse, or frees it when keeping it
// would pass the bound.
void block_give_back(void* p, std::size_t bytes) noexcept;

// Frees every kept block now.
void block_cache_release_all() noexcept;

// Bytes kept now, and the bound on them.
std::size_t block_cache_kept_bytes() noexcept;
std::size_t block_cache_bound() noexcept;

}  // namespace qv
