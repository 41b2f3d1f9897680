// Bounded channels of buffers: a FIFO of N >= 1 preallocated slots, or a rendezvous
// queue for N = 0. Counted sending and receiving ends, a shared closed flag, and an end
// marker queued by the first close() behind every buffer already queued.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "buffer/inner.hpp"

namespace qv {

// A buffer reference, or the end marker (null buffer).
struct ChannelItem {
    BufferRef buffer;
    bool is_end_marker() const noexcept { return buffer == nullptr; }
};

class ChannelCore;
class ChannelSender;    // counted sending end
class ChannelReceiver;  // counted receiving end

// What a Channel object, a RecvCase and a delivery job each hold.
struct ChannelHandle {
    std::shared_ptr<ChannelSender> tx;
    std::shared_ptr<ChannelReceiver> rx;
    std::shared_ptr<std::atomic<bool>> closed;
};

// What sending needs, and all a delivery holds: with no receiving end of its own, a send
// into a channel whose every reader is gone fails instead of waiting for ever.
struct ChannelSendEnd {
    std::shared_ptr<ChannelSender> tx;
    std::shared_ptr<std::atomic<bool>> closed;
};

ChannelSendEnd send_end(const ChannelHandle& h);

// Capacity >= 2^59 is the internal fault "capacity overflow"; a failed slot allocation
// throws std::bad_alloc (MemoryError in Python).
ChannelHandle make_channel(std::size_t capacity);

// Blocks until the queue accepts the buffer. Returns the buffer back (non-null) when no
// receiving end is left; returns null on success. Does not look at the closed flag.
BufferRef send_item(const ChannelHandle& h, BufferRef buffer);
// The same through a sending end; it also gives the buffer back when `give_up()` turns
// true while it waits (looked at every few milliseconds).
BufferRef send_item(const ChannelSendEnd& end, BufferRef buffer,
                    const std::function<bool()>& give_up);
// send_item without waiting: false when it would wait, `buffer` kept. True when done;
// `buffer` is then null, or still set when no receiving end is left.
bool try_send_item(const ChannelHandle& h, BufferRef& buffer);

// Blocks until an item can be taken. nullopt: no sending end left and the queue is empty,
// or the channel is closed, its marker already taken, and no item is queued or offered by
// a parked sender; such a receive reports at once instead of waiting for ever.
std::optional<ChannelItem> recv_item(const ChannelHandle& h);
// recv_item without waiting: false when it would wait; otherwise `out` is what recv_item
// would have returned.
bool try_recv_item(const ChannelHandle& h, std::optional<ChannelItem>& out);

// Puts an item that a receive or select took back in front of everything else in the
// queue, the end marker included, so that the next receive takes it: for a receiving call
// that cannot hand the item on after all. Never blocks and needs no free slot.
void put_back_item(const ChannelHandle& h, ChannelItem item);

bool is_closed(const ChannelHandle& h) noexcept;
bool is_closed(const ChannelSendEnd& end) noexcept;

// Sets the flag; the first call queues the end marker without ever blocking: the marker
// takes no slot and is due right after the items queued at this moment. Senders already
// parked may still complete later; their items come after the marker.
void close_channel(const ChannelHandle& h);

}  // namespace qv
