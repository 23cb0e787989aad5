// Number of worker threads W of the pool, decided once, when the pool is created:
//
//   1. RAYON_NUM_THREADS, when it parses as a count: a count above 0 is W; 0 means the available
//      parallelism, and RAYON_RS_NUM_CPUS is then not read;
//   2. otherwise RAYON_RS_NUM_CPUS, when it parses as a count above 0;
//   3. otherwise the available parallelism: the CPUs of the affinity mask (sched_getaffinity) or,
//      when the mask cannot be read or is empty, the online CPUs (sysconf(_SC_NPROCESSORS_ONLN)),
//      lowered to the whole CPUs a cgroup quota allows (floor(quota / period), at least 1); 1 when
//      no count can be had;
//
// and W is capped at max_workers. A count is an optional single '+' followed by one or more ASCII
// digits and nothing else, with a value below 2^64; anything else counts as unset.
//
// Example: worker_count_from("+4", nullptr, 2) == 4; worker_count_from("abc", "2", 8) == 2.
#pragma once

#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace finitemu::parallel {

inline constexpr std::size_t max_workers = 65535;

// The count in `text`, or nullopt when it is not a count.
[[nodiscard]] std::optional<std::uint64_t> parse_count(std::string_view text) noexcept;

// W from the two variables' values (nullptr when unset) and the available parallelism.
[[nodiscard]] std::size_t worker_count_from(const char* num_threads, const char* num_cpus,
                                            std::size_t available) noexcept;

// Whole CPUs allowed by the contents of a cgroup v2 `cpu.max` ("max 100000", "150000 100000"),
// or nullopt when unlimited or unreadable.
[[nodiscard]] std::optional<std::size_t> parse_cpu_max(std::string_view cpu_max) noexcept;

// Whole CPUs allowed by the cgroup CPU quota of a process whose /proc/self/cgroup and
// /proc/self/mountinfo read `proc_cgroup` and `mountinfo`: the smallest limit of its cgroup and
// their ancestors, for v2 (`cpu.max`) and v1 (`cpu.cfs_quota_us` / `cpu.cfs_period_us`)
// hierarchies; nullopt when no quota is set. File paths are prefixed with `root` (for tests).
[[nodiscard]] std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup,
                                                          std::string_view mountinfo,
                                                          const std::string& root = "");

// Step 3 above, for this process.
[[nodiscard]] std::size_t available_parallelism() noexcept;

// W for this process, from its environment.
[[nodiscard]] std::size_t worker_count_from_environment() noexcept;

// W of the process-wide pool, creating it first if need be.
[[nodiscard]] Result<std::size_t> worker_count();

} // namespace finitemu::parallel
