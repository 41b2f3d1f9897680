// The channel handle operations: creation, blocking send and receive, the closed flag.
#include "channel/channel.hpp"

#include "channel/channel_core.hpp"

namespace qv {

ChannelHandle make_channel(std::size_t capacity) {
    auto core = std::make_shared<ChannelCore>(capacity);
    return ChannelHandle{std::make_shared<ChannelSender>(core),
                         std::make_shared<ChannelReceiver>(core),
                         std::make_shared<std::atomic<bool>>(false)};
}

ChannelSendEnd send_end(const ChannelHandle& h) { return ChannelSendEnd{h.tx, h.closed}; }

BufferRef send_item(const ChannelHandle& h, BufferRef buffer) {
    return h.tx->core().send(std::move(buffer));
}

BufferRef send_item(const ChannelSendEnd& end, BufferRef buffer,
                    const std::function<bool()>& give_up) {
    return end.tx->core().send(std::move(buffer), give_up);
}

bool try_send_item(const ChannelHandle& h, BufferRef& buffer) {
    return h.tx->core().try_send(buffer);
}

std::optional<ChannelItem> recv_item(const ChannelHandle& h) {
    Waiter self;
    WaitEntry entry;
    entry.waiter = &self;
    // With one entry nobody else can claim the waiter, so it either took or is linked.
    if (h.rx->core().recv_or_link(entry) == ChannelCore::Registration::Linked) self.sleep();
    return std::move(self.received);
}

bool try_recv_item(const ChannelHandle& h, std::optional<ChannelItem>& out) {
    return h.rx->core().try_recv(out);
}

void put_back_item(const ChannelHandle& h, ChannelItem item) {
    h.rx->core().put_back(std::move(item));
}

bool is_closed(const ChannelHandle& h) noexcept {
    return h.closed->load(std::memory_order_acquire);
}

bool is_closed(const ChannelSendEnd& end) noexcept {
    return end.closed->load(std::memory_order_acquire);
}

void close_channel(const ChannelHandle& h) {
    bool was_open = false;
    if (h.closed->compare_exchange_strong(was_open, true, std::memory_order_acq_rel)) {
        (h.rx ? h.rx->core() : h.tx->core()).queue_end_marker();
    }
}

}  // namespace qv
