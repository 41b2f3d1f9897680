#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "bounded.hpp"
#include "runtime/submit.hpp"
#include "tree_builder.hpp"

namespace qv {
namespace {

using namespace std::chrono_literals;
using testing::run_bounded;

BufferRef make_buffer(std::vector<double> values) {
    return from_f64_vec(F64Vec(values.begin(), values.end()));
}

std::vector<double> values_of(const BufferRef& b) {
    const auto s = b->as_f64_slice();
    return {s.begin(), s.end()};
}

// x + y over the dense arguments 0 ("x") and 1 ("y").
MapWork add_work(std::unordered_map<std::string, ArgValue> bound) {
    return MapWork{
        {"x", "y"}, test::bin(BinaryOp::Add, test::arg(0), test::arg(1)), std::move(bound)};
}

TaskOutcome submit(Work work, std::optional<ChannelHandle> out = std::nullopt) {
    const bool delivering = out.has_value();
    auto task = std::make_shared<Task>();
    run_submission(task, std::move(work), std::move(out));
    // Without a channel the task is terminal when the submission returns.
    if (!delivering) {
        EXPECT_TRUE(task->is_done()) << task->snapshot_state().debug();
    }
    TaskOutcome outcome;
    run_bounded(10s, [&] { outcome = task->wait_finished(); });
    return outcome;
}

TEST(Submission, MapCompletesWithTheResultBuffer) {
    TaskOutcome o = submit(add_work({{"x", make_buffer({1, 2, 3})}, {"y", 0.5}}));
    ASSERT_EQ(o.state, TaskState::Completed);
    EXPECT_EQ(values_of(std::get<BufferRef>(*o.result)), (std::vector<double>{1.5, 2.5, 3.5}));
}

TEST(Submission, ReductionCompletesWithAScalar) {
    TaskOutcome o = submit(ReduceWork{make_buffer({1, 2, 3, 4}), ReduceOp::Mean});
    ASSERT_EQ(o.state, TaskState::Completed);
    EXPECT_EQ(std::get<double>(*o.result), 2.5);
}

TEST(Submission, ComputationErrorsFailTheTask) {
    struct Case {
        Work work;
        EngineError error;
    };
    const Case cases[] = {
        {add_work({{"x", 1.0}}), EngineError::arg("missing arg: y")},
        // Binding is checked before the lengths.
        {add_work({{"x", make_buffer({1})}, {"z", 1.0}}), EngineError::arg("missing arg: y")},
        {add_work({{"x", make_buffer({1, 2, 3})}, {"y", make_buffer({1, 2, 3, 4})}}),
         EngineError::shape("buffer length mismatch: 3 vs 4")},
        {add_work({{"x", 1.0}, {"y", 2.0}}), EngineError::arg("no buffer arguments provided")},
        {ReduceWork{make_buffer({}), ReduceOp::Count},
         EngineError::empty_collection("cannot Count empty buffer")},
    };
    for (const Case& c : cases) {
        TaskOutcome o = submit(c.work);
        ASSERT_EQ(o.state, TaskState::Failed);
        EXPECT_EQ(*o.error, c.error);
    }
}

TEST(Submission, CancelledTaskKeepsItsState) {
    auto task = std::make_shared<Task>();
    ASSERT_TRUE(task->cancel());
    run_submission(task, ReduceWork{make_buffer({1}), ReduceOp::Sum}, std::nullopt);
    EXPECT_EQ(task->snapshot_state().state, TaskState::Cancelled);
}

TEST(Submission, MapDeliversItsOwnResultBuffer) {
    ChannelHandle ch = make_channel(1);
    TaskOutcome o = submit(add_work({{"x", make_buffer({1, 2})}, {"y", make_buffer({3, 4})}}), ch);
    ASSERT_EQ(o.state, TaskState::Completed);
    std::optional<ChannelItem> item;
    run_bounded(10s, [&] { item = recv_item(ch); });
    ASSERT_TRUE(item && !item->is_end_marker());
    // The channel gets the task's buffer itself, not a copy.
    EXPECT_EQ(item->buffer.get(), std::get<BufferRef>(*o.result).get());
    EXPECT_EQ(values_of(item->buffer), (std::vector<double>{4, 6}));
}

TEST(Submission, ReductionDeliversAOneElementBuffer) {
    ChannelHandle ch = make_channel(1);
    TaskOutcome o = submit(ReduceWork{make_buffer({-0.0}), ReduceOp::Sum}, ch);
    ASSERT_EQ(o.state, TaskState::Completed);
    EXPECT_TRUE(std::signbit(std::get<double>(*o.result)));
    std::optional<ChannelItem> item;
    run_bounded(10s, [&] { item = recv_item(ch); });
    ASSERT_TRUE(item && !item->is_end_marker());
    EXPECT_EQ(item->buffer->shape(), std::vector<std::size_t>{1});
    ASSERT_EQ(values_of(item->buffer).size(), 1u);
    EXPECT_TRUE(std::signbit(values_of(item->buffer)[0]));
}

TEST(Submission, FailedComputationSendsNothing) {
    ChannelHandle ch = make_channel(1);
    TaskOutcome o = submit(ReduceWork{make_buffer({}), ReduceOp::Sum}, ch);
    ASSERT_EQ(o.state, TaskState::Failed);
    close_channel(ch);  // the end marker is then the first item unless a buffer came before
    std::optional<ChannelItem> item;
    run_bounded(10s, [&] { item = recv_item(ch); });
    ASSERT_TRUE(item);
    EXPECT_TRUE(item->is_end_marker());
}

}  // namespace
}  // namespace qv
