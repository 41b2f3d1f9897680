// Storage for float64 vectors: huge-page advice for large blocks.
#include "buffer/f64_vec.hpp"

#include <sys/mman.h>

#include <cstdlib>

namespace qv {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
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
    } else {
        p = std::aligned_alloc(alignof(std::max_align_t) < 64 ? 64 : alignof(std::max_align_t),
                               (bytes + 63) / 64 * 64);
    }
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void release_f64_storage(void* p, std::size_t) noexcept { std::free(p); }

}  // namespace qv
