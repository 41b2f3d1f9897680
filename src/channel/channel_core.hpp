// The queue behind a channel and its counted ends. Invariants, all under `lock_`:
// - at most one of the send and receive wait queues holds unclaimed entries;
// - a sender waits only while the ring is full (capacity 0: always), and a receiver only
//   while nothing can be taken, the marker is not due and the channel can still get items;
// - the end marker occupies no slot: once queued it is due after `ahead_` more ring items,
//   which are exactly the items queued before the first close();
// - items put back come before everything else, the marker included, and take no slot;
// - entries are unlinked by the claimer that won them, or by their owner afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "channel/channel.hpp"
#include "channel/slot_ring.hpp"
#include "channel/waiter.hpp"
#include "core/fork_reset.hpp"

namespace qv {

class ChannelCore {
public:
    // Capacity >= 2^59: fault "capacity overflow"; failed slot allocation: std::bad_alloc.
    explicit ChannelCore(std::size_t capacity);
    ~ChannelCore();
    ChannelCore(const ChannelCore&) = delete;
    ChannelCore& operator=(const ChannelCore&) = delete;

    // Blocks until taken or queued; returns the buffer back when no receiving end is left,
    // or when `give_up` (if given) turns true while the send waits.
    BufferRef send(BufferRef buffer, const std::function<bool()>& give_up = {});
    // The same without waiting: false when the send would have to wait (`buffer` kept);
    // true when done, with `buffer` null, or still set when no receiving end is left.
    bool try_send(BufferRef& buffer);

    // Takes what a receive would report now: an item, or nullopt when nothing can come
    // any more. False when a receive would have to wait.
    bool try_recv(std::optional<ChannelItem>& out);

    enum class Registration { Linked, TookItem, AlreadyClaimed };
    // One step of a blocking receive or select: unless `entry.waiter` was claimed
    // meanwhile, either claims it with what is ready now or links `entry` to wait.
    Registration recv_or_link(WaitEntry& entry);
    // Removes the entry if no claimer did.
    void unlink_if_linked(WaitEntry& entry);

    // Queues the end marker behind every item queued so far; never blocks.
    void queue_end_marker();

    // Puts an item a receive took back in front of everything else; never blocks.
    void put_back(ChannelItem item);

    void last_sender_gone();
    void last_receiver_gone();

private:
    enum class Marker { None, Pending, Taken };

    // Takes the lock; in a forked child, first forgets the waiters of the parent's threads.
    std::unique_lock<std::mutex> lock_live();
    void drop_stale_waiters_locked();

    bool offer_locked(BufferRef& buffer, WakeChain& wakes);
    bool take_locked(std::optional<ChannelItem>& out, WakeChain& wakes);
    bool ready_locked() const noexcept;
    // The longest-parked receiver not yet served elsewhere, claimed and unlinked; null if
    // there is none. The caller writes what it received and wakes it.
    WaitEntry* claim_receiver_locked();
    // Claims every waiting receiver with "closed".
    void release_receivers_locked(WakeChain& wakes);

    std::mutex lock_;
    SlotRing ring_;
    std::deque<ChannelItem> put_back_;  // front first; almost always empty
    WaitList senders_waiting_;
    WaitList receivers_waiting_;
    Marker marker_ = Marker::None;
    std::size_t ahead_ = 0;  // ring items due before the marker
    bool no_senders_ = false;
    bool no_receivers_ = false;
    std::uint64_t generation_ = fork_generation();  // of the process the waiters live in

    // Every live channel, so that a fork can hold all their locks (LiveChannels).
    friend class LiveChannels;
    ChannelCore* live_prev_ = nullptr;
    ChannelCore* live_next_ = nullptr;
};

// The counted ends: a ChannelHandle holds them through shared references, and the
// destructor of the last reference tells the queue that this end is gone.
class ChannelSender {
public:
    explicit ChannelSender(std::shared_ptr<ChannelCore> core) : core_(std::move(core)) {}
    ~ChannelSender() { core_->last_sender_gone(); }
    ChannelSender(const ChannelSender&) = delete;
    ChannelSender& operator=(const ChannelSender&) = delete;
    ChannelCore& core() const noexcept { return *core_; }

private:
    std::shared_ptr<ChannelCore> core_;
};

class ChannelReceiver {
public:
    explicit ChannelReceiver(std::shared_ptr<ChannelCore> core) : core_(std::move(core)) {}
    ~ChannelReceiver() { core_->last_receiver_gone(); }
    ChannelReceiver(const ChannelReceiver&) = delete;
    ChannelReceiver& operator=(const ChannelReceiver&) = delete;
    ChannelCore& core() const noexcept { return *core_; }

private:
    std::shared_ptr<ChannelCore> core_;
};

}  // namespace qv
