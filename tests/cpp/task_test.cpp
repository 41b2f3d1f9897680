#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bounded.hpp"
#include "runtime/task.hpp"

namespace qv {

namespace {

using namespace std::chrono_literals;
using testing::run_bounded;
using S = TaskState;

BufferRef make_buffer(std::initializer_list<double> values) { return from_f64_vec(F64Vec(values)); }

// A task brought into `state` along the transitions rt.go and the delivery worker use.
TaskRef task_in(S state) {
    auto t = std::make_shared<Task>();
    if (state == S::Created) return t;
    if (state == S::Cancelled) {
        t->cancel();
        return t;
    }
    t->mark_running();
    switch (state) {
        case S::DeliveryQueued: t->mark_delivery_queued(make_buffer({1.0})); break;
        case S::Delivering:
            t->mark_delivery_queued(make_buffer({1.0}));
            t->mark_delivering();
            break;
        case S::Completed: t->complete(2.5); break;
        case S::Failed: t->fail(EngineError::shape("first")); break;
        default: break;
    }
    return t;
}

enum class Op {
    MarkRunning,
    Complete,
    MarkDeliveryQueued,
    Fail,
    MarkDelivering,
    CompleteDelivery,
    Cancel
};

bool apply(Task& t, Op op) {
    switch (op) {
        case Op::MarkRunning: t.mark_running(); break;
        case Op::Complete: t.complete(7.0); break;
        case Op::MarkDeliveryQueued: t.mark_delivery_queued(7.0); break;
        case Op::Fail: t.fail(EngineError::arg("late")); break;
        case Op::MarkDelivering: t.mark_delivering(); break;
        case Op::CompleteDelivery: t.complete_delivery(); break;
        case Op::Cancel: return t.cancel();
    }
    return false;
}

constexpr S kStates[] = {S::Created,   S::RunningCompute, S::DeliveryQueued, S::Delivering,
                         S::Completed, S::Failed,         S::Cancelled};

TEST(Task, EveryOperationFromEveryState) {
    // Rows: operations; columns: the states of kStates.
    struct Row {
        Op op;
        S after[7];
    };
    const Row table[] = {
        {Op::MarkRunning,
         {S::RunningCompute, S::RunningCompute, S::RunningCompute, S::RunningCompute, S::Completed,
          S::Failed, S::Cancelled}},
        {Op::Complete,
         {S::Completed, S::Completed, S::Completed, S::Completed, S::Completed, S::Failed,
          S::Cancelled}},
        {Op::MarkDeliveryQueued,
         {S::DeliveryQueued, S::DeliveryQueued, S::DeliveryQueued, S::DeliveryQueued, S::Completed,
          S::Failed, S::Cancelled}},
        {Op::Fail,
         {S::Failed, S::Failed, S::Failed, S::Failed, S::Completed, S::Failed, S::Cancelled}},
        {Op::MarkDelivering,
         {S::Created, S::RunningCompute, S::Delivering, S::Delivering, S::Completed, S::Failed,
          S::Cancelled}},
        {Op::CompleteDelivery,
         {S::Completed, S::Completed, S::Completed, S::Completed, S::Completed, S::Failed,
          S::Cancelled}},
        {Op::Cancel,
         {S::Cancelled, S::Cancelled, S::Cancelled, S::Cancelled, S::Completed, S::Failed,
          S::Cancelled}},
    };
    for (const Row& row : table) {
        for (int i = 0; i < 7; ++i) {
            auto t = task_in(kStates[i]);
            auto before = t->snapshot_state();
            bool cancelled = apply(*t, row.op);
            auto after = t->snapshot_state();
            SCOPED_TRACE(::testing::Message()
                         << "op " << static_cast<int>(row.op) << " from " << before.debug());
            EXPECT_EQ(after.state, row.after[i]);
            EXPECT_EQ(t->is_done(), is_terminal(row.after[i]));
            if (row.op == Op::Cancel) {
                EXPECT_EQ(cancelled, !is_terminal(kStates[i]));
            }
            if (is_terminal(kStates[i])) {
                EXPECT_EQ(after.error, before.error) << "terminal state changed";
            }
        }
    }
}

TEST(Task, LateOutcomesAreDiscarded) {
    auto late = make_buffer({4.0, 5.0});
    auto t = task_in(S::Cancelled);
    t->complete(late);
    t->mark_delivery_queued(late);
    EXPECT_EQ(late.use_count(), 1) << "a terminal task kept a late buffer";

    auto failed = task_in(S::Failed);
    failed->fail(EngineError::type_error("second"));
    failed->complete(late);
    auto out = failed->wait_finished();
    EXPECT_EQ(out.state, S::Failed);
    EXPECT_EQ(out.error, EngineError::shape("first"));
    EXPECT_FALSE(out.result.has_value());
}

TEST(Task, OutcomeOfEachTerminalState) {
    auto buf = make_buffer({1.0, 2.0, 3.0});
    auto done = task_in(S::RunningCompute);
    done->complete(buf);
    auto out = done->wait_finished();
    ASSERT_EQ(out.state, S::Completed);
    ASSERT_TRUE(out.result && std::holds_alternative<BufferRef>(*out.result));
    EXPECT_EQ(std::get<BufferRef>(*out.result), buf) << "the result must share the buffer";

    auto delivered = task_in(S::Delivering);
    delivered->complete_delivery();
    out = delivered->wait_finished();
    ASSERT_EQ(out.state, S::Completed);
    ASSERT_TRUE(out.result && std::holds_alternative<BufferRef>(*out.result));
    EXPECT_EQ(std::get<BufferRef>(*out.result)->as_f64_slice()[0], 1.0);

    out = task_in(S::Completed)->wait_finished();
    ASSERT_TRUE(out.result && std::holds_alternative<double>(*out.result));
    EXPECT_EQ(std::get<double>(*out.result), 2.5);

    // Cancelled after the result was stored: the result is never handed out.
    auto queued = task_in(S::DeliveryQueued);
    EXPECT_TRUE(queued->cancel());
    out = queued->wait_finished();
    EXPECT_EQ(out.state, S::Cancelled);
    EXPECT_FALSE(out.result.has_value());
    EXPECT_FALSE(out.error.has_value());
}

TEST(Task, StateTexts) {
    const std::pair<TaskRef, std::string> cases[] = {
        {task_in(S::Created), "Created"},
        {task_in(S::RunningCompute), "RunningCompute"},
        {task_in(S::DeliveryQueued), "DeliveryQueued"},
        {task_in(S::Delivering), "Delivering"},
        {task_in(S::Completed), "Completed"},
        {task_in(S::Failed), "Failed(ShapeError(\"first\"))"},
        {task_in(S::Cancelled), "Cancelled"},
    };
    for (const auto& [task, text] : cases) EXPECT_EQ(task->snapshot_state().debug(), text);

    auto closed = task_in(S::Delivering);
    closed->fail(EngineError::channel_closed());
    EXPECT_EQ(closed->snapshot_state().debug(), "Failed(ChannelClosed)");
    auto with_quote = task_in(S::RunningCompute);
    auto err = EngineError::internal("a \"b\"\n");
    with_quote->fail(err);
    EXPECT_EQ(with_quote->snapshot_state().debug(), "Failed(" + err.debug() + ")");
}

TEST(Task, CancelRacingCompletionHasExactlyOneOutcome) {
    constexpr int kRounds = 200, kPerSide = 4;
    int cancelled_rounds = 0;
    run_bounded(120s, [&] {
        for (int round = 0; round < kRounds; ++round) {
            auto t = task_in(round % 2 ? S::Delivering : S::RunningCompute);
            std::atomic<int> go{0}, cancel_wins{0};
            std::vector<std::thread> threads;
            for (int k = 0; k < kPerSide; ++k) {
                threads.emplace_back([&] {
                    while (go.load() == 0) std::this_thread::yield();
                    if (t->cancel()) cancel_wins.fetch_add(1);
                });
                threads.emplace_back([&, k] {
                    while (go.load() == 0) std::this_thread::yield();
                    if (round % 2) {
                        k % 2 ? t->complete_delivery() : t->fail(EngineError::channel_closed());
                    } else {
                        k % 2 ? t->complete(static_cast<double>(k))
                              : t->fail(EngineError::shape("x"));
                    }
                });
            }
            go.store(1);
            for (auto& th : threads) th.join();
            auto out = t->wait_finished();
            ASSERT_TRUE(is_terminal(out.state));
            ASSERT_EQ(cancel_wins.load(), out.state == S::Cancelled ? 1 : 0);
            ASSERT_EQ(t->snapshot_state().state, out.state);
            cancelled_rounds += out.state == S::Cancelled;
        }
    });
    RecordProperty("cancelled_rounds", cancelled_rounds);
}

TEST(Task, AllWaitersWakeOnlyOnTheTerminalMove) {
    constexpr int kWaiters = 16;
    auto t = task_in(S::RunningCompute);
    std::atomic<int> woke{0}, completed{0};
    run_bounded(60s, [&] {
        std::vector<std::thread> waiters;
        for (int i = 0; i < kWaiters; ++i) {
            waiters.emplace_back([&] {
                auto out = t->wait_finished();
                woke.fetch_add(1);
                if (out.state == S::Completed && out.result) completed.fetch_add(1);
            });
        }
        t->mark_delivery_queued(make_buffer({9.0}));
        t->mark_delivering();
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(woke.load(), 0) << "a waiter returned before the task was terminal";
        t->complete_delivery();
        for (auto& w : waiters) w.join();
    });
    EXPECT_EQ(woke.load(), kWaiters);
    EXPECT_EQ(completed.load(), kWaiters);
}

}  // namespace
}  // namespace qv
