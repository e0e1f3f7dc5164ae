// How many workers the process-wide pool gets.
//
// The count W is decided once, when the pool is created:
//  1. RAYON_NUM_THREADS, if it is a count greater than 0. If it is exactly 0,
//     the CPU count (rule 3) decides and RAYON_RS_NUM_CPUS is not consulted.
//  2. Otherwise RAYON_RS_NUM_CPUS, if it is a count greater than 0.
//  3. Otherwise the number of CPUs this process may run on: the size of its
//     affinity mask, lowered to a cgroup CPU quota if one applies (a quota
//     of 1.5 CPUs counts as 2), and at least 1.
// A "count" is what parse_thread_count accepts: ASCII digits with an
// optional leading '+', nothing else (no sign '-', no spaces, no empty text),
// and representable in std::size_t. Anything else counts as unset.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pwpoly {

std::optional<std::size_t> parse_thread_count(const char* text);

// Rules 1-3 above on already fetched variables (nullptr means "not set");
// `available_cpus()` is asked only when rule 3 decides. Pure, so that every
// rule can be tested without touching the environment.
template <class AvailableCpus>
std::size_t resolve_worker_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                 AvailableCpus&& available_cpus) {
    const auto cpus = [&] {
        const std::size_t n = available_cpus();
        return n > 0 ? n : std::size_t{1};
    };
    if (const std::optional<std::size_t> n = parse_thread_count(rayon_num_threads))
        return *n > 0 ? *n : cpus();
    if (const std::optional<std::size_t> n = parse_thread_count(rayon_rs_num_cpus); n && *n > 0)
        return *n;
    return cpus();
}

// CPU limit of a cgroup v2 "cpu.max" text ("<quota> <period>" or
// "max <period>"), rounded up; nullopt when unlimited or unreadable.
std::optional<std::size_t> cgroup2_cpu_limit(std::string_view cpu_max);

// CPU limit from cgroup v1 cpu.cfs_quota_us / cpu.cfs_period_us texts,
// rounded up; nullopt when the quota is -1 (unlimited) or unreadable.
std::optional<std::size_t> cgroup1_cpu_limit(std::string_view quota_us, std::string_view period_us);

// The CPU limit of the cgroups (v2 cpu.max, v1 CFS quota) that the texts
// of /proc/self/cgroup and /proc/self/mountinfo describe: the smallest
// limit over the process's cgroup and its ancestors, rounded up; nullopt
// when none applies. Files are read below `fs_root` ("" for the real
// system; tests pass a scratch directory).
std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup, std::string_view mountinfo,
                                            const std::string& fs_root);

// Rule 3: CPUs available to this process, at least 1.
std::size_t available_cpu_count();

// Rules 1-3 with the current environment and operating system.
std::size_t default_worker_count();

}  // namespace pwpoly
