// fork() while other threads hold engine locks: the child finds every lock free.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "channel_test_util.hpp"
#include "runtime/cache.hpp"
#include "tree_builder.hpp"

namespace qv {
namespace {

using namespace testing;  // the shared channel test helpers

#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer cannot start threads in a forked child

// Forks `forks` times while `busy` runs on two threads; each child runs `child` under a
// 20 s alarm (a lock held by a thread the child does not have would hang it).
template <class Busy, class Child>
void fork_amid(int forks, Busy busy, Child child) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            while (!stop.load()) busy();
        });
    int failed = 0;
    for (int i = 0; i < forks; ++i) {
        const pid_t pid = fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            alarm(20);
            _exit(child() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        if (failed) break;  // one hung child is proof enough; each costs the alarm's 20 s
    }
    stop.store(true);
    for (auto& t : threads) t.join();
    EXPECT_EQ(failed, 0) << "children that hung (killed by SIGALRM) or failed";
}

TEST(Fork, AmidChannelTraffic) {
    ChannelHandle ch = make_channel(4);
    fork_amid(
        200,
        [&] {
            BufferRef b = buf(1);
            try_send_item(ch, b);
            std::optional<ChannelItem> item;
            try_recv_item(ch, item);
        },
        [&] {
            std::optional<ChannelItem> item;
            while (try_recv_item(ch, item)) {}
            return send_item(ch, buf(7)) == nullptr && value_of(recv_item(ch)) == 7;
        });
}

TEST(Fork, AmidKernelCacheLookups) {
    const NodeList big = test::right_deep_sum(20000);
    get_or_compile(big);
    fork_amid(
        200, [&] { get_or_compile(big); },
        [&] {
            // A body the parent never compiled needs the write lock.
            return get_or_compile(test::bin(BinaryOp::Add, test::arg(0), test::cst(0.5))) !=
                   nullptr;
        });
}

#endif

}  // namespace
}  // namespace qv
