// Storage for float64 vectors: huge-page advice for large blocks, cache-line alignment for
// medium ones.
#include "buffer/f64_vec.hpp"

#include <sys/mman.h>

#include <cstdlib>

namespace qv {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
constexpr std::size_t kLineAlignThreshold = std::size_t{64} << 10;
}  // namespace

void* allocate_f64_storage(std::size_t bytes) {
    if (bytes == 0) bytes = sizeof(double);
    void* p = nullptr;
    if (bytes >= kHugeThreshold) {
        std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        p = std::aligned_alloc(kHugePage, rounded);
        if (p != nullptr) {
            // Advice only: failure leaves ordinary pages, which is still correct.
            (void)madvise(p, rounded, MADV_HUGEPAGE);
        }
    } else if (bytes >= kLineAlignThreshold) {
        p = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
    } else {
        // Small results: the plain allocator's alignment does, and it is much the cheaper call.
        p = std::malloc(bytes);
    }
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void release_f64_storage(void* p, std::size_t) noexcept { std::free(p); }

}  // namespace qv
