// Delivery worker: job order, blocking, cancel and close at each step, fork, stress.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "channel_test_util.hpp"
#include "runtime/delivery.hpp"

namespace qv {
namespace {

using namespace testing;  // the shared channel test helpers

// What rt.go does with an output channel once the value is computed.
TaskRef submit(const ChannelHandle& ch, double v) {
    auto task = std::make_shared<Task>();
    task->mark_running();
    BufferRef b = buf(v);
    task->mark_delivery_queued(b);
    deliver(DeliveryJob{send_end(ch), task, b});
    return task;
}

TaskState state_of(const TaskRef& t) { return t->snapshot_state().state; }

// Waits (bounded) until the task reaches `s`.
bool reaches(const TaskRef& t, TaskState s) {
    const auto deadline = std::chrono::steady_clock::now() + kJoinLimit;
    while (state_of(t) != s) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Stays in `s` while watched.
bool stays(const TaskRef& t, TaskState s) {
    std::this_thread::sleep_for(kBlockedWatch);
    return state_of(t) == s;
}

TEST(Delivery, SameChannelResultsArriveInSubmissionOrder) {
    ChannelHandle ch = make_channel(64);
    std::vector<TaskRef> tasks;
    for (int i = 0; i < 50; ++i) tasks.push_back(submit(ch, i));
    for (int i = 0; i < 50; ++i) ASSERT_EQ(value_of(recv_item(ch)), i);
    for (auto& t : tasks) EXPECT_TRUE(reaches(t, TaskState::Completed));
}

// Capacity 1, nobody draining: the first delivery completes, the second waits in
// Delivering, and a third for another channel stays queued behind it.
TEST(Delivery, FullChannelHoldsBackLaterJobsForOtherChannels) {
    ChannelHandle a = make_channel(1), b = make_channel(1);
    TaskRef t1 = submit(a, 1), t2 = submit(a, 2), t3 = submit(b, 3);
    EXPECT_TRUE(reaches(t1, TaskState::Completed));
    EXPECT_TRUE(reaches(t2, TaskState::Delivering));
    EXPECT_TRUE(stays(t3, TaskState::DeliveryQueued));
    EXPECT_EQ(value_of(recv_item(a)), 1);
    EXPECT_TRUE(reaches(t2, TaskState::Completed));
    EXPECT_TRUE(reaches(t3, TaskState::Completed));
    EXPECT_EQ(value_of(recv_item(a)), 2);
    EXPECT_EQ(value_of(recv_item(b)), 3);
}

// A cancel while the job waits to send withdraws the buffer and frees the worker.
TEST(Delivery, CancelWhileQueuedOrSendingSendsNothing) {
    ChannelHandle a = make_channel(1);
    TaskRef t1 = submit(a, 1), t2 = submit(a, 2), t3 = submit(a, 3);
    ASSERT_TRUE(reaches(t2, TaskState::Delivering));
    EXPECT_TRUE(t3->cancel());
    EXPECT_TRUE(t2->cancel());
    EXPECT_FALSE(t2->cancel());
    EXPECT_EQ(state_of(t2), TaskState::Cancelled);
    TaskRef t4 = submit(a, 4);
    ASSERT_TRUE(reaches(t4, TaskState::Delivering));  // past 2 and 3 while 1 fills the channel
    std::vector<double> got;
    for (int i = 0; i < 2; ++i) got.push_back(value_of(recv_item(a)));
    EXPECT_EQ(got, (std::vector<double>{1, 4}));
    EXPECT_TRUE(reaches(t4, TaskState::Completed));
    EXPECT_EQ(state_of(t2), TaskState::Cancelled);
    EXPECT_EQ(state_of(t3), TaskState::Cancelled);
}

// The job holds no receiving end: when the last one goes, a waiting send fails.
TEST(Delivery, SendFailsOnceNoReceivingEndIsLeft) {
    auto [send_only, readers] = [] {
        ChannelHandle h = make_channel(0);
        ChannelHandle tx_only{h.tx, nullptr, h.closed};
        return std::pair{tx_only, h};
    }();
    TaskRef t1 = submit(send_only, 1);
    ASSERT_TRUE(reaches(t1, TaskState::Delivering));
    readers = ChannelHandle{};
    ASSERT_TRUE(reaches(t1, TaskState::Failed));
    EXPECT_EQ(t1->snapshot_state().error, EngineError::channel_closed());
    ChannelHandle b = make_channel(1);
    TaskRef t2 = submit(b, 2);
    EXPECT_EQ(value_of(recv_item(b)), 2);
    EXPECT_TRUE(reaches(t2, TaskState::Completed));
}

TEST(Delivery, ChannelClosedBeforeTheJobIsTakenGetsNothing) {
    ChannelHandle a = make_channel(1), b = make_channel(4);
    TaskRef t1 = submit(a, 1), t2 = submit(a, 2), t3 = submit(b, 3);
    ASSERT_TRUE(reaches(t2, TaskState::Delivering));
    close_channel(b);
    EXPECT_EQ(value_of(recv_item(a)), 1);
    ASSERT_TRUE(reaches(t3, TaskState::Failed));
    EXPECT_EQ(t3->snapshot_state().error, EngineError::channel_closed());
    EXPECT_EQ(value_of(recv_item(b)), kMarker);
    EXPECT_EQ(value_of(recv_item(b)), kClosed);
}

TEST(Delivery, ChannelClosedWhileSendingStillCompletes) {
    ChannelHandle a = make_channel(1);
    TaskRef t1 = submit(a, 1), t2 = submit(a, 2);
    ASSERT_TRUE(reaches(t2, TaskState::Delivering));
    close_channel(a);
    std::vector<double> got;
    for (int i = 0; i < 4; ++i) got.push_back(value_of(recv_item(a)));
    EXPECT_EQ(got, (std::vector<double>{1, kMarker, 2, kClosed}));
    EXPECT_TRUE(reaches(t2, TaskState::Completed));
}

int delivery_worker_threads() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "delivery-worker") ++count;
    }
    if (dir) closedir(dir);
    return count;
}

TEST(Delivery, OneNamedWorkerThread) {
    ChannelHandle ch = make_channel(8);
    for (int i = 0; i < 8; ++i) submit(ch, i);
    for (int i = 0; i < 8; ++i) recv_item(ch);
    EXPECT_EQ(delivery_worker_threads(), 1);
}

TEST(Delivery, ForkedChildStartsItsOwnWorker) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "the sanitizer forbids threads in a multi-threaded fork's child";
#else
    ChannelHandle warm = make_channel(1);
    submit(warm, 0);
    recv_item(warm);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        alarm(20);  // a child without a worker would wait for ever
        ChannelHandle ch = make_channel(1);
        submit(ch, 5);
        const bool ok = value_of(recv_item(ch)) == 5 && delivery_worker_threads() == 1;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + kJoinLimit;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            FAIL() << "child did not finish";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
#endif
}

// Cancels land at random points of delivery; every completed task's buffer must arrive
// exactly once, a cancelled one at most once, and nothing else.
TEST(Delivery, StressCancelRacingDelivery) {
    for (std::size_t capacity : {0, 1}) {
        constexpr int kTasks = 600;
        ChannelHandle ch = make_channel(capacity);
        std::vector<int> received(kTasks + 1);
        std::atomic<bool> cancelling{false};
        BoundedThread consumer([&] {
            // Start draining with the cancels, so they meet queued and sending jobs.
            while (!cancelling.load()) std::this_thread::yield();
            for (;;) {
                double v = value_of(recv_item(ch));
                ASSERT_GE(v, 0);
                ++received[static_cast<std::size_t>(v)];
                if (v == kTasks) return;  // the sentinel comes after every other send
            }
        });
        std::vector<TaskRef> tasks;
        for (int i = 0; i < kTasks; ++i) tasks.push_back(submit(ch, i));
        int cancels_won = 0;
        BoundedThread canceller([&] {
            cancelling.store(true);
            for (int i = kTasks - 1; i >= 0; i -= 3) cancels_won += tasks[std::size_t(i)]->cancel();
        });
        canceller.join();
        TaskRef sentinel = submit(ch, kTasks);
        consumer.join();
        EXPECT_TRUE(reaches(sentinel, TaskState::Completed));
        int cancelled = 0;
        for (int i = 0; i < kTasks; ++i) {
            const TaskState s = state_of(tasks[std::size_t(i)]);
            if (s == TaskState::Completed) {
                EXPECT_EQ(received[std::size_t(i)], 1) << i;
            } else {
                ASSERT_EQ(s, TaskState::Cancelled) << i;
                EXPECT_LE(received[std::size_t(i)], 1) << i;
                ++cancelled;
            }
        }
        EXPECT_EQ(cancelled, cancels_won);
        EXPECT_GT(cancels_won, 0);
    }
}

}  // namespace
}  // namespace qv
