// CPUs available to this process (affinity, cgroup quota, environment override).
#include "pool/cpu_count.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace qv {
namespace {

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// Digits only: from_chars would also take a leading '-'.
std::optional<std::size_t> parse_count(std::string_view s) {
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::size_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<std::size_t> quota_over_period(std::size_t quota, std::size_t period) {
    if (period == 0) return std::nullopt;
    return std::max<std::size_t>(1, quota / period + (quota % period != 0));
}

// "cpu,cpuacct" and "cpu" name it; "cpuset" and "cpuacct" alone do not.
bool names_cpu_controller(std::string_view controllers) {
    while (!controllers.empty()) {
        auto comma = controllers.find(',');
        if (controllers.substr(0, comma) == "cpu") return true;
        if (comma == std::string_view::npos) break;
        controllers.remove_prefix(comma + 1);
    }
    return false;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::optional<std::size_t> parse_positive_count(std::string_view text) {
    auto v = parse_count(text);
    if (!v || *v == 0) return std::nullopt;
    return v;
}

std::optional<std::size_t> env_thread_override(const char* num_threads, const char* rs_num_cpus,
                                               std::size_t max_count) {
    for (const char* value : {num_threads, rs_num_cpus}) {
        if (value == nullptr) continue;
        if (auto n = parse_positive_count(value); n && *n <= max_count) return n;
    }
    return std::nullopt;
}

std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view contents) {
    contents = trim(contents);
    auto space = contents.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    auto quota = parse_count(contents.substr(0, space));  // "max" is no limit
    auto period = parse_count(contents.substr(space + 1));
    if (!quota || !period) return std::nullopt;
    return quota_over_period(*quota, *period);
}

std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota, std::string_view period) {
    auto q = parse_count(trim(quota));  // "-1" is no limit
    auto p = parse_count(trim(period));
    if (!q || !p) return std::nullopt;
    return quota_over_period(*q, *p);
}

std::optional<std::size_t> cgroup_cpu_limit(const std::string& mount_root,
                                            std::string_view self_cgroup) {
    std::string v2_path, v1_path;
    while (!self_cgroup.empty()) {
        auto eol = self_cgroup.find('\n');
        auto line = self_cgroup.substr(0, eol);
        self_cgroup =
            eol == std::string_view::npos ? std::string_view() : self_cgroup.substr(eol + 1);
        auto c1 = line.find(':');
        auto c2 = c1 == std::string_view::npos ? c1 : line.find(':', c1 + 1);
        if (c2 == std::string_view::npos) continue;
        auto hierarchy = line.substr(0, c1), controllers = line.substr(c1 + 1, c2 - c1 - 1);
        auto path = std::string(trim(line.substr(c2 + 1)));
        if (hierarchy == "0" && controllers.empty()) v2_path = path;
        if (names_cpu_controller(controllers)) v1_path = path;
    }
    for (const auto& dir : {mount_root + v2_path, mount_root}) {
        if (auto v2 = read_file(dir + "/cpu.max")) return cpu_limit_from_cpu_max(*v2);
    }
    for (const char* controller : {"/cpu", "/cpu,cpuacct"}) {
        for (const auto& dir : {mount_root + controller + v1_path, mount_root + controller}) {
            auto quota = read_file(dir + "/cpu.cfs_quota_us");
            auto period = read_file(dir + "/cpu.cfs_period_us");
            if (quota && period) return cpu_limit_from_cfs(*quota, *period);
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> affinity_cpu_count() {
    // Grow the set until the kernel's mask fits (machines with more than CPU_SETSIZE CPUs).
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        int rc = sched_getaffinity(0, size, set);
        std::size_t count = rc == 0 ? static_cast<std::size_t>(CPU_COUNT_S(size, set)) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? std::optional<std::size_t>(count) : std::nullopt;
        if (errno != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

std::size_t available_cpus() {
    std::size_t cpus =
        affinity_cpu_count().value_or(std::max(1u, std::thread::hardware_concurrency()));
    auto self_cgroup = read_file("/proc/self/cgroup").value_or("");
    if (auto limit = cgroup_cpu_limit("/sys/fs/cgroup", self_cgroup)) cpus = std::min(cpus, *limit);
    cpus = std::max<std::size_t>(1, cpus);
    return env_thread_override(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                               cpus * kMaxThreadsPerCpu)
        .value_or(cpus);
}

}  // namespace qv
