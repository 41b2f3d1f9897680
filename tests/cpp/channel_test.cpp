// Channel queue: blocking by capacity, ordering, close and its end marker, lost ends, stress.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "channel/channel.hpp"
#include "channel_test_util.hpp"
#include "core/fault.hpp"

namespace qv {
namespace {

using namespace testing;  // the shared channel test helpers

TEST(Channel, CapacityFrom2To59IsRefusedBeforeAllocating) {
    try {
        (void)make_channel(std::size_t{1} << 59);
        FAIL() << "expected a fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.text(), "capacity overflow");
    }
#ifndef __SANITIZE_THREAD__  // the sanitizer's allocator aborts instead of throwing
    EXPECT_THROW((void)make_channel((std::size_t{1} << 59) - 1), std::bad_alloc);
#endif
}

TEST(Channel, CapacityOneSecondSendWaitsForReceive) {
    ChannelHandle ch = make_channel(1);
    EXPECT_EQ(send_item(ch, buf(1)), nullptr);
    BoundedThread second([&] { EXPECT_EQ(send_item(ch, buf(2)), nullptr); });
    EXPECT_TRUE(second.stays_blocked());
    EXPECT_EQ(value_of(recv_item(ch)), 1);
    second.join();
    EXPECT_EQ(value_of(recv_item(ch)), 2);
}

TEST(Channel, RendezvousSendWaitsForReceiveAndReceiveForSend) {
    ChannelHandle ch = make_channel(0);
    BoundedThread sender([&] { EXPECT_EQ(send_item(ch, buf(7)), nullptr); });
    EXPECT_TRUE(sender.stays_blocked());
    EXPECT_EQ(value_of(recv_item(ch)), 7);
    sender.join();

    double got = 0;
    BoundedThread receiver([&] { got = value_of(recv_item(ch)); });
    EXPECT_TRUE(receiver.stays_blocked());
    EXPECT_EQ(send_item(ch, buf(8)), nullptr);
    receiver.join();
    EXPECT_EQ(got, 8);
}

class ChannelCapacity : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ChannelCapacity, ItemsComeOutInSendOrder) {
    ChannelHandle ch = make_channel(GetParam());
    constexpr int kItems = 2000;
    BoundedThread producer([&] {
        for (int i = 0; i < kItems; ++i) ASSERT_EQ(send_item(ch, buf(i)), nullptr);
    });
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(value_of(recv_item(ch)), i);
    producer.join();
}

INSTANTIATE_TEST_SUITE_P(Capacities, ChannelCapacity, ::testing::Values(0, 1, 3, 64));

TEST(Channel, CloseQueuesMarkerBehindBuffersAndDrainedReceiveReportsAtOnce) {
    ChannelHandle ch = make_channel(4);
    send_item(ch, buf(1));
    send_item(ch, buf(2));
    close_channel(ch);
    EXPECT_TRUE(is_closed(ch));
    close_channel(ch);  // a second close queues nothing
    std::vector<double> got;
    for (int i = 0; i < 5; ++i) got.push_back(value_of(recv_item(ch)));
    EXPECT_EQ(got, (std::vector<double>{1, 2, kMarker, kClosed, kClosed}));
}

TEST(Channel, CloseOnFullChannelDoesNotWaitAndLaterSendsFollowTheMarker) {
    ChannelHandle ch = make_channel(2);
    send_item(ch, buf(1));
    send_item(ch, buf(2));
    BoundedThread parked([&] { EXPECT_EQ(send_item(ch, buf(3)), nullptr); });
    EXPECT_TRUE(parked.stays_blocked());
    close_channel(ch);
    std::vector<double> got;
    for (int i = 0; i < 5; ++i) got.push_back(value_of(recv_item(ch)));
    parked.join();
    EXPECT_EQ(got, (std::vector<double>{1, 2, kMarker, 3, kClosed}));
}

TEST(Channel, CloseOnRendezvousWithoutReceiverQueuesMarkerFirst) {
    ChannelHandle ch = make_channel(0);
    BoundedThread parked([&] { EXPECT_EQ(send_item(ch, buf(5)), nullptr); });
    EXPECT_TRUE(parked.stays_blocked());
    close_channel(ch);
    std::vector<double> got;
    for (int i = 0; i < 3; ++i) got.push_back(value_of(recv_item(ch)));
    parked.join();
    EXPECT_EQ(got, (std::vector<double>{kMarker, 5, kClosed}));
}

TEST(Channel, CloseWakesParkedReceiversMarkerReportedOnce) {
    for (std::size_t capacity : {0, 1, 8}) {
        ChannelHandle ch = make_channel(capacity);
        std::atomic<int> markers{0}, closed{0};
        std::vector<std::unique_ptr<BoundedThread>> receivers;
        for (int i = 0; i < 4; ++i) {
            receivers.push_back(std::make_unique<BoundedThread>([&] {
                double v = value_of(recv_item(ch));
                (v == kMarker ? markers : closed).fetch_add(1);
            }));
        }
        EXPECT_TRUE(receivers[0]->stays_blocked());
        close_channel(ch);
        for (auto& r : receivers) r->join();
        EXPECT_EQ(markers.load(), 1) << "capacity " << capacity;
        EXPECT_EQ(closed.load(), 3) << "capacity " << capacity;
    }
}

// An item taken and put back comes out first, ahead of queued items and of the marker,
// and needs no slot (full ring, rendezvous); the marker itself can be put back too.
TEST(Channel, PutBackItemsComeOutFirst) {
    for (std::size_t capacity : {0, 1, 4}) {
        ChannelHandle ch = make_channel(capacity);
        BoundedThread sender([&] {
            for (int v : {1, 2, 3}) EXPECT_EQ(send_item(ch, buf(v)), nullptr);
            close_channel(ch);
        });
        std::optional<ChannelItem> first = recv_item(ch);
        std::optional<ChannelItem> second = recv_item(ch);
        put_back_item(ch, std::move(*second));
        put_back_item(ch, std::move(*first));
        std::vector<double> got;
        for (int i = 0; i < 3; ++i) got.push_back(value_of(recv_item(ch)));
        sender.join();
        std::optional<ChannelItem> marker = recv_item(ch);
        ASSERT_TRUE(marker && marker->is_end_marker());
        put_back_item(ch, std::move(*marker));
        got.push_back(value_of(recv_item(ch)));
        got.push_back(value_of(recv_item(ch)));
        EXPECT_EQ(got, (std::vector<double>{1, 2, 3, kMarker, kClosed})) << "capacity " << capacity;
    }
}

TEST(Channel, PutBackGoesToAReceiverParkedMeanwhile) {
    ChannelHandle ch = make_channel(1);
    EXPECT_EQ(send_item(ch, buf(4)), nullptr);
    std::optional<ChannelItem> taken = recv_item(ch);
    double got = 0;
    BoundedThread parked([&] { got = value_of(recv_item(ch)); });
    EXPECT_TRUE(parked.stays_blocked());
    put_back_item(ch, std::move(*taken));
    parked.join();
    EXPECT_EQ(got, 4);
}

TEST(Channel, MissingOtherEndFailsSendAndReceive) {
    for (std::size_t capacity : {0, 1}) {
        ChannelHandle ch = make_channel(capacity);
        ChannelHandle sender{ch.tx, nullptr, ch.closed};
        ChannelHandle receiver{nullptr, ch.rx, ch.closed};
        ch = {};
        if (capacity == 1) send_item(sender, buf(1));
        BoundedThread parked([&] {
            BufferRef back = send_item(sender, buf(2));
            ASSERT_NE(back, nullptr);
            EXPECT_EQ(value_of(back), 2);
        });
        EXPECT_TRUE(parked.stays_blocked());
        receiver.rx.reset();
        parked.join();
    }
    ChannelHandle ch = make_channel(1);
    ChannelHandle receiver{nullptr, ch.rx, ch.closed};
    ChannelHandle sender{ch.tx, nullptr, ch.closed};
    ch = {};
    send_item(sender, buf(1));
    BoundedThread parked([&] {
        EXPECT_EQ(value_of(recv_item(receiver)), 1);  // queued items outlive the senders
        EXPECT_EQ(value_of(recv_item(receiver)), kClosed);
    });
    sender.tx.reset();
    parked.join();
}

// Producers send distinct values while consumers receive; every value must arrive once.
void run_stress(std::size_t capacity, bool close_while_sending) {
    constexpr int kProducers = 4, kConsumers = 4, kPerProducer = 3000;
    ChannelHandle ch = make_channel(capacity);
    std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
    std::atomic<int> sent{0}, markers{0};
    auto take = [&](const std::optional<ChannelItem>& item) {
        double v = value_of(item);
        if (v == kMarker) markers.fetch_add(1);
        if (v >= 0) seen[static_cast<std::size_t>(v)].fetch_add(1);
        return v >= 0;
    };
    {
        std::vector<std::unique_ptr<BoundedThread>> threads;
        for (int c = 0; c < kConsumers; ++c) {
            threads.push_back(std::make_unique<BoundedThread>([&] {
                while (take(recv_item(ch))) {}
            }));
        }
        std::vector<std::unique_ptr<BoundedThread>> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.push_back(std::make_unique<BoundedThread>([&, p] {
                for (int i = 0; i < kPerProducer; ++i) {
                    if (is_closed(ch)) return;  // what the Python send checks first
                    ASSERT_EQ(send_item(ch, buf(p * kPerProducer + i)), nullptr);
                    sent.fetch_add(1);
                }
            }));
        }
        if (close_while_sending) {
            while (sent.load() < kProducers * kPerProducer / 3) std::this_thread::yield();
            close_channel(ch);
            for (auto& t : threads) t->join();
            // Consumers may stop before a late sender parks: keep taking until all are done.
            auto all_done = [&] {
                for (auto& p : producers) {
                    if (!p->done()) return false;
                }
                return true;
            };
            while (!all_done()) take(recv_item(ch));
        }
        for (auto& p : producers) p->join();
        if (!close_while_sending) close_channel(ch);
        for (auto& t : threads) t->join();
    }
    // Sends that passed the flag check may land after the marker: drain them.
    while (take(recv_item(ch))) {}
    int received = 0;
    for (auto& s : seen) {
        ASSERT_LE(s.load(), 1);
        received += s.load();
    }
    EXPECT_EQ(received, sent.load());
    EXPECT_EQ(markers.load(), 1);
}

TEST_P(ChannelCapacity, StressNothingLostNothingDuplicated) { run_stress(GetParam(), false); }
TEST_P(ChannelCapacity, StressCloseRacingSendersAndReceivers) { run_stress(GetParam(), true); }

}  // namespace
}  // namespace qv
