// CPUs available to this process: the affinity mask, limited by a cgroup CPU quota,
// unless RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS name a positive count the machine can run.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// The worker count for the pool; at least 1.
std::size_t available_cpus();

// The pieces, exposed so tests can feed them strings and directories.

// A positive decimal integer, digits only; anything else is nullopt.
std::optional<std::size_t> parse_positive_count(std::string_view text);

// A count above this many threads per CPU available is a slip (or an overflow, such as
// 2^64 - 1), not a pool the machine could start: it is ignored like any other bad value.
inline constexpr std::size_t kMaxThreadsPerCpu = 64;

// The first of the two variables that holds a positive count of at most `max_count`;
// null pointers are unset.
std::optional<std::size_t> env_thread_override(const char* num_threads, const char* rs_num_cpus,
                                               std::size_t max_count);

// cgroup v2 `cpu.max` ("max 100000", "200000 100000"): quota / period rounded up, at least 1.
std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view contents);

// cgroup v1 `cpu.cfs_quota_us` / `cpu.cfs_period_us` (quota -1 means no limit).
std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota, std::string_view period);

// The quota of this process's cgroup under a mount point (v2 first, then the v1 cpu
// controller); `self_cgroup` is the text of /proc/self/cgroup, which names the process's
// own group ("0::/path" for v2, "N:cpu,cpuacct:/path" for v1). The mount root itself is
// tried after the own group, for containers that see their group as the root.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& mount_root,
                                            std::string_view self_cgroup);

// CPUs in this thread's affinity mask; nullopt if it cannot be read.
std::optional<std::size_t> affinity_cpu_count();

}  // namespace qv
