// The channel queue: hand-over to parked receivers, the slot ring, parked senders, the
// end marker and the two "end gone" events. Waiters are woken only after unlocking.
#include "channel/channel_core.hpp"

#include <chrono>

#include "core/fault.hpp"

namespace qv {

namespace {

std::size_t checked_capacity(std::size_t capacity) {
    // Refused before allocating: one slot per item must stay addressable.
    if (capacity >= (std::size_t{1} << 59)) fault("capacity overflow");
    return capacity;
}

// How often a send that may give up looks whether it should: a delay before a cancelled
// delivery frees the worker, against wake-ups of a worker that waits long.
constexpr auto kGiveUpPoll = std::chrono::milliseconds(10);

}  // namespace

// The list of live channels: its lock is taken only when a channel is made or freed, and
// by a fork, which then holds every channel's lock across fork(), so that no child starts
// with a channel locked by a thread it does not have.
class LiveChannels {
public:
    static void add(ChannelCore& c) {
        std::lock_guard g(lock_);
        c.live_next_ = head_;
        if (head_) head_->live_prev_ = &c;
        head_ = &c;
    }
    static void remove(ChannelCore& c) {
        std::lock_guard g(lock_);
        (c.live_prev_ ? c.live_prev_->live_next_ : head_) = c.live_next_;
        if (c.live_next_) c.live_next_->live_prev_ = c.live_prev_;
    }
    // No thread holds a channel lock while it waits for another lock, so this ends.
    static void lock_all() {
        lock_.lock();
        for (ChannelCore* c = head_; c; c = c->live_next_) c->lock_.lock();
    }
    static void unlock_all() {
        for (ChannelCore* c = head_; c; c = c->live_next_) c->lock_.unlock();
        lock_.unlock();
    }
    static void rebuild_all() {
        for (ChannelCore* c = head_; c; c = c->live_next_) rebuild_in_child(c->lock_);
        rebuild_in_child(lock_);
    }

private:
    static constinit inline std::mutex lock_;
    static constinit inline ChannelCore* head_ = nullptr;
};

namespace {
const ForkRegistration g_fork{{
    .prepare = LiveChannels::lock_all,
    .parent = LiveChannels::unlock_all,
    .child = LiveChannels::rebuild_all,
}};
}  // namespace

ChannelCore::ChannelCore(std::size_t capacity) : ring_(checked_capacity(capacity)) {
    LiveChannels::add(*this);
}

ChannelCore::~ChannelCore() { LiveChannels::remove(*this); }

std::unique_lock<std::mutex> ChannelCore::lock_live() {
    std::unique_lock<std::mutex> g(lock_);
    if (generation_ != fork_generation()) drop_stale_waiters_locked();
    return g;
}

// Every waiter linked before the fork belongs to a thread of the parent (the forking
// thread was not waiting): a receiver would take an item for nobody, and a sender's item
// was never sent here. Their entries lie on those threads' stacks, which the child may
// have unmapped, so the lists are dropped without a look at them; the buffers the senders
// offered stay referenced for ever in this process.
void ChannelCore::drop_stale_waiters_locked() {
    generation_ = fork_generation();
    senders_waiting_ = WaitList{};
    receivers_waiting_ = WaitList{};
}

WaitEntry* ChannelCore::claim_receiver_locked() {
    for (WaitEntry* e = receivers_waiting_.front(); e; e = e->next) {
        // A failed claim is a selector already served by another channel; it unlinks its
        // own entry.
        if (!e->waiter->try_claim()) continue;
        receivers_waiting_.unlink(*e);
        e->waiter->fired = e->case_index;
        return e;
    }
    return nullptr;
}

bool ChannelCore::offer_locked(BufferRef& buffer, WakeChain& wakes) {
    if (no_receivers_) return true;
    // A parked receiver means nothing is queued: hand the buffer straight over.
    if (WaitEntry* e = claim_receiver_locked()) {
        e->waiter->received = ChannelItem{std::move(buffer)};
        wakes.add(*e);
        return true;
    }
    if (!ring_.full()) {
        ring_.push(std::move(buffer));
        return true;
    }
    return false;
}

bool ChannelCore::try_send(BufferRef& buffer) {
    WakeChain wakes;
    bool done;
    {
        auto g = lock_live();
        done = offer_locked(buffer, wakes);
    }
    wakes.wake_all();
    return done;
}

BufferRef ChannelCore::send(BufferRef buffer, const std::function<bool()>& give_up) {
    Waiter self;
    WaitEntry entry;
    entry.waiter = &self;
    {
        WakeChain wakes;
        auto g = lock_live();
        if (offer_locked(buffer, wakes)) {
            g.unlock();
            wakes.wake_all();
            return buffer;
        }
        entry.value = std::move(buffer);
        senders_waiting_.push_back(entry);
    }
    while (give_up && !self.sleep_for(kGiveUpPoll)) {
        if (!give_up()) continue;
        auto g = lock_live();
        if (entry.linked) {  // still unclaimed: withdraw it
            senders_waiting_.unlink(entry);
            return std::move(entry.value);
        }
        break;  // a receiver took it meanwhile and wakes us
    }
    self.sleep();
    return self.sent ? nullptr : std::move(entry.value);
}

bool ChannelCore::ready_locked() const noexcept {
    return !put_back_.empty() || (marker_ == Marker::Pending && ahead_ == 0) || ring_.size() > 0 ||
           !senders_waiting_.empty() || no_senders_ || marker_ == Marker::Taken;
}

bool ChannelCore::take_locked(std::optional<ChannelItem>& out, WakeChain& wakes) {
    if (!put_back_.empty()) {  // taken before, so due before anything still queued
        out = std::move(put_back_.front());
        put_back_.pop_front();
        return true;
    }
    if (marker_ == Marker::Pending && ahead_ == 0) {
        marker_ = Marker::Taken;
        out = ChannelItem{};
        return true;
    }
    if (ring_.size() > 0) {
        out = ChannelItem{ring_.pop()};
        if (marker_ == Marker::Pending) --ahead_;
        // The freed slot goes to the longest-waiting sender: its send completes now.
        if (WaitEntry* s = senders_waiting_.front()) {
            senders_waiting_.unlink(*s);
            ring_.push(std::move(s->value));
            s->waiter->sent = true;
            wakes.add(*s);
        }
        return true;
    }
    if (WaitEntry* s = senders_waiting_.front()) {  // rendezvous: take from the sender
        senders_waiting_.unlink(*s);
        out = ChannelItem{std::move(s->value)};
        s->waiter->sent = true;
        wakes.add(*s);
        return true;
    }
    // Closed with its marker gone, or no sender left: nothing can arrive that a waiting
    // receiver could count on, so report "closed" rather than wait for ever.
    if (no_senders_ || marker_ == Marker::Taken) {
        out = std::nullopt;
        return true;
    }
    return false;
}

bool ChannelCore::try_recv(std::optional<ChannelItem>& out) {
    WakeChain wakes;
    bool ready;
    {
        auto g = lock_live();
        ready = take_locked(out, wakes);
    }
    wakes.wake_all();
    return ready;
}

ChannelCore::Registration ChannelCore::recv_or_link(WaitEntry& entry) {
    Waiter& w = *entry.waiter;
    WakeChain wakes;
    {
        auto g = lock_live();
        if (w.is_claimed()) return Registration::AlreadyClaimed;
        if (!ready_locked()) {
            receivers_waiting_.push_back(entry);
            return Registration::Linked;
        }
        // Claim before taking, so an item is never taken for a waiter served elsewhere.
        if (!w.try_claim()) return Registration::AlreadyClaimed;
        w.fired = entry.case_index;
        take_locked(w.received, wakes);
    }
    wakes.wake_all();
    return Registration::TookItem;
}

void ChannelCore::unlink_if_linked(WaitEntry& entry) {
    auto g = lock_live();
    if (entry.linked) receivers_waiting_.unlink(entry);
}

void ChannelCore::release_receivers_locked(WakeChain& wakes) {
    for (WaitEntry* e = receivers_waiting_.front(); e;) {
        WaitEntry* next = e->next;
        if (e->waiter->try_claim()) {
            receivers_waiting_.unlink(*e);
            e->waiter->fired = e->case_index;
            e->waiter->received = std::nullopt;
            wakes.add(*e);
        }
        e = next;
    }
}

void ChannelCore::queue_end_marker() {
    WakeChain wakes;
    {
        auto g = lock_live();
        if (marker_ != Marker::None) return;
        if (no_receivers_) {  // nobody could ever take it
            marker_ = Marker::Taken;
            return;
        }
        // The marker needs no slot, so closing a full or rendezvous channel never waits.
        marker_ = Marker::Pending;
        ahead_ = ring_.size();
        if (ahead_ == 0) {
            // Parked receivers exist only when nothing is queued: the first one takes the
            // marker and the others learn at once that the channel is closed.
            if (WaitEntry* e = claim_receiver_locked()) {
                e->waiter->received = ChannelItem{};
                marker_ = Marker::Taken;
                wakes.add(*e);
                release_receivers_locked(wakes);
            }
        }
    }
    wakes.wake_all();
}

void ChannelCore::put_back(ChannelItem item) {
    WakeChain wakes;
    {
        auto g = lock_live();
        if (no_receivers_) return;  // nobody could ever take it
        // A parked receiver means nothing could be taken: the item is its at once.
        if (WaitEntry* e = claim_receiver_locked()) {
            e->waiter->received = std::move(item);
            wakes.add(*e);
        } else {
            put_back_.push_front(std::move(item));
        }
    }
    wakes.wake_all();
}

void ChannelCore::last_sender_gone() {
    WakeChain wakes;
    {
        auto g = lock_live();
        no_senders_ = true;
        release_receivers_locked(wakes);
    }
    wakes.wake_all();
}

void ChannelCore::last_receiver_gone() {
    WakeChain wakes;
    {
        auto g = lock_live();
        no_receivers_ = true;
        // Parked senders get their buffers back.
        while (WaitEntry* s = senders_waiting_.front()) {
            senders_waiting_.unlink(*s);
            s->waiter->sent = false;
            wakes.add(*s);
        }
    }
    wakes.wake_all();
}

}  // namespace qv
