// Channel operations that never wait: they complete what can complete now, or leave
// everything as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "channel/channel.hpp"
#include "channel_test_util.hpp"

namespace qv {
namespace {

using namespace testing;  // the shared channel test helpers

// Retries until the other thread has parked; bounded so a lost hand-over fails.
template <class F>
bool eventually(F&& attempt) {
    const auto deadline = std::chrono::steady_clock::now() + testing::kJoinLimit;
    while (!attempt()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(ChannelTry, FullOrEmptyLeavesEverythingAsItWas) {
    ChannelHandle ch = make_channel(1);
    std::optional<ChannelItem> out;
    EXPECT_FALSE(try_recv_item(ch, out));
    EXPECT_FALSE(out.has_value());

    BufferRef first = buf(1), second = buf(2);
    ASSERT_TRUE(try_send_item(ch, first));
    EXPECT_EQ(first, nullptr);
    EXPECT_FALSE(try_send_item(ch, second));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(value_of(second), 2);

    ASSERT_TRUE(try_recv_item(ch, out));
    EXPECT_EQ(value_of(out), 1);
    EXPECT_FALSE(try_recv_item(ch, out));
}

TEST(ChannelTry, RendezvousCompletesOnlyWithAParkedPartner) {
    ChannelHandle ch = make_channel(0);
    BufferRef b = buf(5);
    EXPECT_FALSE(try_send_item(ch, b));
    ASSERT_NE(b, nullptr);

    double got = 0;
    BoundedThread receiver([&] { got = value_of(recv_item(ch)); });
    EXPECT_TRUE(eventually([&] { return try_send_item(ch, b); }));
    receiver.join();
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(got, 5);

    BoundedThread sender([&] { EXPECT_EQ(send_item(ch, buf(6)), nullptr); });
    std::optional<ChannelItem> out;
    EXPECT_TRUE(eventually([&] { return try_recv_item(ch, out); }));
    sender.join();
    EXPECT_EQ(value_of(out), 6);
}

TEST(ChannelTry, MarkerThenClosedAndNoReceiverHandsTheBufferBack) {
    ChannelHandle ch = make_channel(2);
    BufferRef b = buf(1);
    ASSERT_TRUE(try_send_item(ch, b));
    close_channel(ch);
    std::optional<ChannelItem> out;
    ASSERT_TRUE(try_recv_item(ch, out));
    EXPECT_EQ(value_of(out), 1);
    ASSERT_TRUE(try_recv_item(ch, out));
    EXPECT_EQ(value_of(out), kMarker);
    ASSERT_TRUE(try_recv_item(ch, out));
    EXPECT_EQ(value_of(out), kClosed);

    ChannelHandle sender{ch.tx, nullptr, ch.closed};
    ch = {};
    BufferRef refused = buf(3);
    EXPECT_TRUE(try_send_item(sender, refused));
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(value_of(refused), 3);
}

}  // namespace
}  // namespace qv
