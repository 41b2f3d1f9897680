// A thread parked on one or more channel wait queues, and the intrusive FIFO queues that
// hold it. Invariants: a waiter is claimed at most once (one atomic flag), only its
// claimer writes its result, and the claimer wakes it only after releasing the channel
// lock, so no thread ever holds a channel lock and a waiter lock at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

#include "channel/channel.hpp"
#include "core/done_signal.hpp"

namespace qv {

// Lives on the waiting thread's stack; it does not return before its claimer has woken it.
class Waiter {
public:
    // Whoever flips the flag first owns the right to hand this waiter its result.
    bool try_claim() noexcept {
        bool expected = false;
        return claimed_.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
    }
    bool is_claimed() const noexcept { return claimed_.load(std::memory_order_acquire); }

    // Called by the claimer after writing the result, with no channel lock held.
    void wake() { done_.set(); }
    // Waits until wake() was called.
    void sleep() { done_.wait(kSpins, kYields); }
    // Waits at most `limit`; true when woken.
    template <class Duration>
    bool sleep_for(Duration limit) {
        return done_.wait_for(limit);
    }

    // Result, written by the claimer only.
    std::size_t fired = 0;                // receive: index of the case that fired
    std::optional<ChannelItem> received;  // receive: the item, or nullopt when closed
    bool sent = false;                    // send: a receiver took the value

private:
    std::atomic<bool> claimed_{false};
    DoneSignal done_;

    // About 2.5 us of pause: enough to catch a hand-over between two running threads,
    // short enough not to keep a woken partner off a core it has to share.
    static constexpr int kSpins = 100;
    static constexpr int kYields = 200;
};

// One registration of a waiter with one channel's queue.
struct WaitEntry {
    Waiter* waiter = nullptr;
    std::size_t case_index = 0;
    BufferRef value;  // send: the buffer offered
    WaitEntry* prev = nullptr;
    WaitEntry* next = nullptr;
    bool linked = false;  // in a channel queue; guarded by that channel's lock
};

// FIFO of entries, guarded by the owning channel's lock.
class WaitList {
public:
    bool empty() const noexcept { return head_ == nullptr; }
    WaitEntry* front() const noexcept { return head_; }

    void push_back(WaitEntry& e) noexcept {
        e.prev = tail_;
        e.next = nullptr;
        (tail_ ? tail_->next : head_) = &e;
        tail_ = &e;
        e.linked = true;
    }
    void unlink(WaitEntry& e) noexcept {
        (e.prev ? e.prev->next : head_) = e.next;
        (e.next ? e.next->prev : tail_) = e.prev;
        e.prev = e.next = nullptr;
        e.linked = false;
    }

private:
    WaitEntry* head_ = nullptr;
    WaitEntry* tail_ = nullptr;
};

// Claimed entries, already unlinked, to be woken once the channel lock is released.
class WakeChain {
public:
    void add(WaitEntry& e) noexcept {
        e.next = head_;
        head_ = &e;
    }
    void wake_all() {
        while (head_) {
            WaitEntry* e = head_;
            head_ = e->next;  // read before waking: the entry dies with its waiter
            e->waiter->wake();
        }
    }

private:
    WaitEntry* head_ = nullptr;
};

}  // namespace qv
