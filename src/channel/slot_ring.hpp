// The fixed slot storage of a bounded channel: a ring of N buffer references allocated
// once, at creation. Slots are raw storage; a reference is constructed on push and
// destroyed on pop, so creating a large channel touches no slot memory.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "buffer/inner.hpp"

namespace qv {

class SlotRing {
public:
    // Throws std::bad_alloc when the storage cannot be had.
    explicit SlotRing(std::size_t capacity)
        : slots_(capacity ? std::allocator<BufferRef>().allocate(capacity) : nullptr),
          capacity_(capacity) {}
    SlotRing(const SlotRing&) = delete;
    SlotRing& operator=(const SlotRing&) = delete;
    ~SlotRing() {
        while (size_) (void)pop();
        if (slots_) std::allocator<BufferRef>().deallocate(slots_, capacity_);
    }

    std::size_t size() const noexcept { return size_; }
    bool full() const noexcept { return size_ == capacity_; }

    // Precondition: !full().
    void push(BufferRef b) noexcept {
        std::size_t tail = head_ + size_;
        if (tail >= capacity_) tail -= capacity_;
        ::new (static_cast<void*>(slots_ + tail)) BufferRef(std::move(b));
        ++size_;
    }
    // Precondition: size() > 0.
    BufferRef pop() noexcept {
        BufferRef b = std::move(slots_[head_]);
        slots_[head_].~BufferRef();
        if (++head_ == capacity_) head_ = 0;
        --size_;
        return b;
    }

private:
    BufferRef* slots_;
    std::size_t capacity_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace qv
