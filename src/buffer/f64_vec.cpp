// Storage for float64 vectors: large blocks through the block cache with huge-page advice,
// cache-line alignment for medium ones.
#include "buffer/f64_vec.hpp"

#include "buffer/block_cache.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace qv {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
constexpr std::size_t kLineAlignThreshold = std::size_t{64} << 10;

// Advice only, on the whole huge pages inside the block, as NumPy does: the block stays an
// ordinary allocation that the allocator hands out again without new page faults (aligning
// the block itself to 2 MiB made every call map and zero fresh pages). Failure leaves
// ordinary pages, which is still correct.
void advise_huge_pages(void* p, std::size_t bytes) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kHugePage - 1) / kHugePage * kHugePage;
    const std::uintptr_t last = (begin + bytes) / kHugePage * kHugePage;
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

void* allocate_f64_storage(std::size_t bytes) {
    if (bytes == 0) bytes = sizeof(double);
    if (bytes >= kBlockCacheMin) {
        // A kept block was advised when it was first made.
        void* p = block_take(bytes);
        if (bytes >= kHugeThreshold) advise_huge_pages(p, block_class(bytes));
        return p;
    }
    // Small results: the plain allocator's alignment does, and it is much the cheaper call.
    void* p = bytes < kLineAlignThreshold ? std::malloc(bytes)
                                          : std::aligned_alloc(64, (bytes + 63) / 64 * 64);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void release_f64_storage(void* p, std::size_t bytes) noexcept {
    if (bytes >= kBlockCacheMin) {
        block_give_back(p, bytes);
    } else {
        std::free(p);
    }
}

}  // namespace qv
