// Engine threads start named with every signal blocked; forks bump the process generation.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "core/engine_thread.hpp"
#include "core/fork_reset.hpp"

namespace qv {
namespace {

TEST(EngineThread, StartsNamedWithEverySignalBlocked) {
    std::promise<std::pair<std::string, bool>> seen;
    auto got = seen.get_future();
    ASSERT_FALSE(start_engine_thread("qv-test", [&seen] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        seen.set_value({name, sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1});
    }));
    ASSERT_EQ(got.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [name, blocked] = got.get();
    EXPECT_EQ(name, "qv-test");
    EXPECT_TRUE(blocked);
    // The caller's own mask is left as it was.
    sigset_t mine;
    pthread_sigmask(SIG_SETMASK, nullptr, &mine);
    EXPECT_FALSE(sigismember(&mine, SIGINT));
}

TEST(ForkReset, EachChildCountsOneMoreGeneration) {
    const std::uint64_t here = fork_generation();
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) _exit(fork_generation() == here + 1 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(fork_generation(), here);
}

}  // namespace
}  // namespace qv
