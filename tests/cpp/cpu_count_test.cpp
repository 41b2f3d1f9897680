#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "pool/cpu_count.hpp"

namespace qv {
namespace {

using Count = std::optional<std::size_t>;
namespace fs = std::filesystem;

TEST(CpuCount, PositiveCountParsing) {
    const std::pair<const char*, Count> cases[] = {
        {"1", 1},
        {"16", 16},
        {"007", 7},
        {"0", std::nullopt},
        {"", std::nullopt},
        {"-3", std::nullopt},
        {"+3", std::nullopt},
        {" 4", std::nullopt},
        {"4x", std::nullopt},
        {"2.5", std::nullopt},
        {"99999999999999999999999", std::nullopt},
    };
    for (auto [text, want] : cases)
        EXPECT_EQ(parse_positive_count(text), want) << '"' << text << '"';
}

TEST(CpuCount, EnvironmentOverrideOrder) {
    constexpr std::size_t kMax = 128;
    EXPECT_EQ(env_thread_override(nullptr, nullptr, kMax), std::nullopt);
    EXPECT_EQ(env_thread_override("3", "5", kMax), Count(3));
    EXPECT_EQ(env_thread_override(nullptr, "5", kMax), Count(5));
    EXPECT_EQ(env_thread_override("0", "5", kMax), Count(5));
    EXPECT_EQ(env_thread_override("many", "5", kMax), Count(5));
    EXPECT_EQ(env_thread_override("0", "-1", kMax), std::nullopt);
    // Beyond what the machine can run: ignored like any other bad value.
    EXPECT_EQ(env_thread_override("128", "5", kMax), Count(128));
    EXPECT_EQ(env_thread_override("129", "5", kMax), Count(5));
    EXPECT_EQ(env_thread_override("18446744073709551615", nullptr, kMax), std::nullopt);
}

TEST(CpuCount, CgroupQuotaTexts) {
    const std::pair<const char*, Count> v2[] = {
        {"max 100000\n", std::nullopt},
        {"200000 100000\n", 2},
        {"150000 100000", 2},
        {"50000 100000", 1},
        {"100000 0", std::nullopt},
        {"garbage", std::nullopt},
        {"", std::nullopt},
    };
    for (auto [text, want] : v2)
        EXPECT_EQ(cpu_limit_from_cpu_max(text), want) << '"' << text << '"';
    EXPECT_EQ(cpu_limit_from_cfs("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cpu_limit_from_cfs("300000\n", "100000\n"), Count(3));
    EXPECT_EQ(cpu_limit_from_cfs("250000", "100000"), Count(3));
    EXPECT_EQ(cpu_limit_from_cfs("1000", "100000"), Count(1));
}

class CgroupTree : public ::testing::Test {
protected:
    fs::path root = fs::temp_directory_path() / ("qv-cgroup-" + std::to_string(getpid()));
    void SetUp() override { fs::create_directories(root); }
    void TearDown() override { fs::remove_all(root); }
    void write(const fs::path& rel, const std::string& text) {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << text;
    }
};

TEST_F(CgroupTree, VersionTwoFirstThenVersionOneControllers) {
    const std::string at_root = "0::/\n";
    EXPECT_EQ(cgroup_cpu_limit(root.string(), at_root), std::nullopt);
    write("cpu,cpuacct/cpu.cfs_quota_us", "400000\n");
    write("cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cgroup_cpu_limit(root.string(), at_root), Count(4));
    write("cpu/cpu.cfs_quota_us", "-1\n");
    write("cpu/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cgroup_cpu_limit(root.string(), at_root), std::nullopt);
    write("cpu.max", "150000 100000\n");
    EXPECT_EQ(cgroup_cpu_limit(root.string(), at_root), Count(2));
}

TEST_F(CgroupTree, OwnGroupNamedInProcSelfCgroup) {
    write("cpu.max", "max 100000\n");
    write("app.slice/job/cpu.max", "300000 100000\n");
    EXPECT_EQ(cgroup_cpu_limit(root.string(), "0::/app.slice/job\n"), Count(3));
    EXPECT_EQ(cgroup_cpu_limit(root.string(), "0::/elsewhere\n"), std::nullopt);

    fs::remove(root / "cpu.max");
    write("cpu,cpuacct/batch/cpu.cfs_quota_us", "50000\n");
    write("cpu,cpuacct/batch/cpu.cfs_period_us", "100000\n");
    const std::string v1 = "4:memory:/other\n2:cpu,cpuacct:/batch\n1:name=systemd:/x\n";
    EXPECT_EQ(cgroup_cpu_limit(root.string(), v1), Count(1));
}

TEST(CpuCount, AvailableIsAtMostTheAffinityMask) {
    auto affinity = affinity_cpu_count();
    ASSERT_TRUE(affinity.has_value());
    EXPECT_GE(*affinity, 1u);
    if (!getenv("RAYON_NUM_THREADS") && !getenv("RAYON_RS_NUM_CPUS")) {
        EXPECT_GE(available_cpus(), 1u);
        EXPECT_LE(available_cpus(), *affinity);
    }
}

}  // namespace
}  // namespace qv
