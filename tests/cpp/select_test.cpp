// Select: readiness, polling, fairness, parking on several channels, mixed-receiver stress.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <vector>

#include "channel/select.hpp"
#include "channel_test_util.hpp"
#include "core/fault.hpp"

namespace qv {
namespace {

using namespace testing;  // the shared channel test helpers

std::pair<std::size_t, double> select_value(const std::vector<ChannelHandle>& cases,
                                            bool poll = false) {
    auto r = select_recv(cases, poll);
    if (!r) return {SIZE_MAX, 0};
    return {r->index, value_of(r->item)};
}

TEST(Select, TakesFromTheOnlyReadyCase) {
    std::vector<ChannelHandle> cases{make_channel(1), make_channel(1)};
    send_item(cases[1], buf(4));
    EXPECT_EQ(select_value(cases), std::make_pair(std::size_t{1}, 4.0));
    // Taken for good: a poll now finds nothing.
    EXPECT_FALSE(select_recv(cases, true).has_value());
}

TEST(Select, PollingAndEmptyCaseLists) {
    std::vector<ChannelHandle> cases{make_channel(1), make_channel(0)};
    EXPECT_FALSE(select_recv(cases, true).has_value());
    send_item(cases[0], buf(2));
    EXPECT_EQ(select_value(cases, true), std::make_pair(std::size_t{0}, 2.0));
    EXPECT_FALSE(select_recv({}, true).has_value());
    try {
        (void)select_recv({}, false);
        FAIL() << "expected a fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.text(), "no operations have been added to `Select`");
    }
}

TEST(Select, ClosedChannelYieldsItsBuffersThenMarkerThenClosed) {
    std::vector<ChannelHandle> cases{make_channel(0), make_channel(4)};
    send_item(cases[1], buf(1));
    send_item(cases[1], buf(2));
    close_channel(cases[1]);
    std::vector<std::pair<std::size_t, double>> got;
    for (int i = 0; i < 4; ++i) got.push_back(select_value(cases));
    EXPECT_EQ(got, (std::vector<std::pair<std::size_t, double>>{
                       {1, 1}, {1, 2}, {1, kMarker}, {1, kClosed}}));
}

TEST(Select, ReadyCasesAreChosenUniformly) {
    for (std::size_t n : {2, 4}) {
        std::vector<ChannelHandle> cases;
        for (std::size_t i = 0; i < n; ++i) {
            cases.push_back(make_channel(1));
            send_item(cases.back(), buf(0));
        }
        std::vector<int> chosen(n);
        constexpr int kCalls = 4000;
        for (int call = 0; call < kCalls; ++call) {
            auto r = select_recv(cases, false);
            ASSERT_TRUE(r);
            ++chosen[r->index];
            send_item(cases[r->index], buf(0));  // every case stays ready
        }
        const double expected = double(kCalls) / double(n);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_GT(chosen[i], expected * 0.8) << "case " << i << " of " << n;
            EXPECT_LT(chosen[i], expected * 1.2) << "case " << i << " of " << n;
        }
    }
}

TEST(Select, ParkedSelectWakesOnSendFromAnotherThread) {
    for (std::size_t capacity : {0, 1}) {
        std::vector<ChannelHandle> cases{make_channel(capacity), make_channel(capacity)};
        std::pair<std::size_t, double> got;
        BoundedThread selector([&] { got = select_value(cases); });
        EXPECT_TRUE(selector.stays_blocked());
        EXPECT_EQ(send_item(cases[1], buf(9)), nullptr);  // rendezvous: hands over
        selector.join();
        EXPECT_EQ(got, std::make_pair(std::size_t{1}, 9.0)) << "capacity " << capacity;
        // The selector's entry on the other channel is gone: a later send there must not
        // touch it, and reaches a plain receive.
        BoundedThread sender([&] { EXPECT_EQ(send_item(cases[0], buf(3)), nullptr); });
        EXPECT_EQ(value_of(recv_item(cases[0])), 3);
        sender.join();
    }
}

TEST(Select, TwoCasesOnOneChannel) {
    ChannelHandle ch = make_channel(0);
    std::vector<ChannelHandle> cases{ch, ch};
    std::pair<std::size_t, double> got;
    BoundedThread selector([&] { got = select_value(cases); });
    EXPECT_TRUE(selector.stays_blocked());
    send_item(ch, buf(5));
    selector.join();
    EXPECT_LT(got.first, 2u);
    EXPECT_EQ(got.second, 5);
}

TEST(Select, CloseWakesParkedSelector) {
    std::vector<ChannelHandle> cases{make_channel(0), make_channel(2)};
    std::pair<std::size_t, double> got;
    BoundedThread selector([&] { got = select_value(cases); });
    EXPECT_TRUE(selector.stays_blocked());
    close_channel(cases[0]);
    selector.join();
    EXPECT_EQ(got, std::make_pair(std::size_t{0}, kMarker));
}

// Producers on channels of capacity 0, 1 and 64; consumers mixing recv and select. Every
// value must arrive exactly once and each channel's marker once.
TEST(Select, StressMixedReceiversNothingLostNothingDuplicated) {
    constexpr int kPerChannel = 2, kPerProducer = 2000;
    const std::array<std::size_t, 3> capacities{0, 1, 64};
    std::vector<ChannelHandle> chans;
    for (auto c : capacities) chans.push_back(make_channel(c));
    const int total = int(chans.size()) * kPerChannel * kPerProducer;
    std::vector<std::atomic<int>> seen(static_cast<std::size_t>(total));
    std::atomic<int> markers{0};
    auto take = [&](const std::optional<ChannelItem>& item) {
        double v = value_of(item);
        if (v == kMarker) markers.fetch_add(1);
        if (v >= 0) seen[static_cast<std::size_t>(v)].fetch_add(1);
        return v >= 0;
    };
    std::vector<std::unique_ptr<BoundedThread>> consumers, producers;
    for (auto& ch : chans) {
        consumers.push_back(std::make_unique<BoundedThread>([&] {
            while (take(recv_item(ch))) {}
        }));
    }
    for (int s = 0; s < 3; ++s) {
        consumers.push_back(std::make_unique<BoundedThread>([&] {
            std::vector<ChannelHandle> open = chans;
            while (!open.empty()) {
                auto r = select_recv(open, false);
                if (!take(r->item)) open.erase(open.begin() + std::ptrdiff_t(r->index));
            }
        }));
    }
    int next = 0;
    for (auto& ch : chans) {
        for (int p = 0; p < kPerChannel; ++p, next += kPerProducer) {
            producers.push_back(std::make_unique<BoundedThread>([&ch, first = next] {
                for (int i = 0; i < kPerProducer; ++i)
                    ASSERT_EQ(send_item(ch, buf(first + i)), nullptr);
            }));
        }
    }
    for (auto& p : producers) p->join();
    for (auto& ch : chans) close_channel(ch);
    for (auto& c : consumers) c->join();
    int received = 0;
    for (auto& s : seen) {
        ASSERT_LE(s.load(), 1);
        received += s.load();
    }
    EXPECT_EQ(received, total);
    EXPECT_EQ(markers.load(), int(chans.size()));
}

}  // namespace
}  // namespace qv
