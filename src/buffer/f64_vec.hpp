// The engine's float64 vector: elements are left uninitialised on resize, so the
// thread that computes a block is the first to touch it; large blocks are advised
// to use transparent huge pages.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace qv {

void* allocate_f64_storage(std::size_t bytes);
void release_f64_storage(void* p, std::size_t bytes) noexcept;

template <class T>
struct UninitAllocator {
    using value_type = T;
    UninitAllocator() noexcept = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(allocate_f64_storage(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { release_f64_storage(p, n * sizeof(T)); }

    // Default-initialise (for double: leave untouched) instead of zeroing.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const UninitAllocator&, const UninitAllocator&) { return true; }
};

using F64Vec = std::vector<double, UninitAllocator<double>>;

}  // namespace qv
