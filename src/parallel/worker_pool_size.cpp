#include "parallel/worker_pool_size.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#include <unistd.h>
#endif

namespace pwpoly {

namespace {

// Digits only, no sign, no spaces; nullopt when empty or when the value
// does not fit a 64-bit count.
std::optional<std::uint64_t> parse_digits(std::string_view s) {
    if (s.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9')
            return std::nullopt;
        if (__builtin_mul_overflow(value, 10u, &value) || __builtin_add_overflow(value, unsigned(ch - '0'), &value))
            return std::nullopt;
    }
    return value;
}

std::string_view trim(std::string_view s) {
    const auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// ceil(quota / period), at least 1. Both are positive.
std::size_t cpus_from_quota(std::uint64_t quota, std::uint64_t period) {
    std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
    cpus = std::max<std::uint64_t>(cpus, 1);
    return cpus > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(cpus);
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = s.find(sep, start);
        parts.push_back(s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

bool has_token(std::string_view list, std::string_view token) {
    for (std::string_view item : split(list, ','))
        if (item == token)
            return true;
    return false;
}

#if defined(__linux__)

std::optional<std::string> read_text_file(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return std::move(text).str();
}

// mountinfo escapes blanks and backslashes in paths as \ooo.
std::string unescape_mount_path(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto octal = [&s](std::size_t k) { return s[k] >= '0' && s[k] <= '7'; };
        if (s[i] == '\\' && i + 3 < s.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
            continue;
        }
        out.push_back(s[i]);
    }
    return out;
}

struct CgroupMount {
    std::string root;   // the cgroup directory that is mounted
    std::string point;  // where it is mounted
};

// The first mount of a cgroup file system of type `fstype` (and, for v1,
// carrying the `controller`) whose mounted root contains `cgroup_path`.
std::optional<CgroupMount> find_cgroup_mount(std::string_view mountinfo, std::string_view fstype,
                                             std::string_view controller, std::string_view cgroup_path) {
    std::istringstream lines{std::string(mountinfo)};
    std::string line;
    while (std::getline(lines, line)) {
        const std::vector<std::string_view> f = split(line, ' ');
        // id parent dev root point options [optional fields...] - type source superoptions
        std::size_t dash = 6;
        while (dash < f.size() && f[dash] != "-")
            ++dash;
        if (dash + 1 >= f.size() || f[dash + 1] != fstype)
            continue;
        if (!controller.empty() && (dash + 3 >= f.size() || !has_token(f[dash + 3], controller)))
            continue;
        CgroupMount m{unescape_mount_path(f[3]), unescape_mount_path(f[4])};
        if (m.root == "/" || cgroup_path == m.root ||
            (cgroup_path.starts_with(m.root) && cgroup_path.size() > m.root.size() &&
             cgroup_path[m.root.size()] == '/'))
            return m;
    }
    return std::nullopt;
}

// The smallest limit found in the process's cgroup directory and its
// ancestors up to the mount point; `limit_in` reads one directory.
template <class LimitIn>
std::optional<std::size_t> smallest_limit(const CgroupMount& m, std::string_view cgroup_path, LimitIn limit_in) {
    std::string relative(m.root == "/" ? cgroup_path : cgroup_path.substr(m.root.size()));
    while (!relative.empty() && relative.back() == '/')
        relative.pop_back();
    std::optional<std::size_t> best;
    for (;;) {
        if (const std::optional<std::size_t> limit = limit_in(m.point + relative))
            best = best ? std::min(*best, *limit) : *limit;
        if (relative.empty())
            return best;
        relative.erase(relative.rfind('/'));
    }
}

std::optional<std::size_t> affinity_cpu_count() {
    // The mask may be larger than the static cpu_set_t; grow until it fits.
    for (int ncpus = 1024; ncpus <= (1 << 22); ncpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(ncpus);
        if (set == nullptr)
            return std::nullopt;
        const std::size_t bytes = CPU_ALLOC_SIZE(ncpus);
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (rc == 0)
            return count > 0 ? std::optional<std::size_t>(static_cast<std::size_t>(count)) : std::nullopt;
        if (errno != EINVAL)
            return std::nullopt;
    }
    return std::nullopt;
}

#endif  // __linux__

}  // namespace

std::optional<std::size_t> parse_thread_count(const char* text) {
    if (text == nullptr)
        return std::nullopt;
    std::string_view s(text);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    const std::optional<std::uint64_t> value = parse_digits(s);
    if (!value || *value > SIZE_MAX)
        return std::nullopt;
    return static_cast<std::size_t>(*value);
}

std::optional<std::size_t> cgroup2_cpu_limit(std::string_view cpu_max) {
    const std::vector<std::string_view> f = split(trim(cpu_max), ' ');
    if (f.size() != 2 || f[0] == "max")
        return std::nullopt;
    const auto quota = parse_digits(f[0]);
    const auto period = parse_digits(f[1]);
    if (!quota || !period || *period == 0)
        return std::nullopt;
    return cpus_from_quota(*quota, *period);
}

std::optional<std::size_t> cgroup1_cpu_limit(std::string_view quota_us, std::string_view period_us) {
    const auto quota = parse_digits(trim(quota_us));  // "-1" (unlimited) is not digits
    const auto period = parse_digits(trim(period_us));
    if (!quota || !period || *period == 0)
        return std::nullopt;
    return cpus_from_quota(*quota, *period);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup, std::string_view mountinfo,
                                            const std::string& fs_root) {
#if defined(__linux__)
    std::optional<std::size_t> best;
    const auto keep = [&best](std::optional<std::size_t> limit) {
        if (limit)
            best = best ? std::min(*best, *limit) : *limit;
    };
    std::istringstream lines{std::string(proc_cgroup)};
    std::string line;
    while (std::getline(lines, line)) {
        // "<hierarchy id>:<controllers>:<path>"; the path may itself hold ':'.
        const std::size_t c1 = line.find(':');
        const std::size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
        if (c2 == std::string::npos)
            continue;
        const std::string_view id(line.data(), c1);
        const std::string_view controllers(line.data() + c1 + 1, c2 - c1 - 1);
        const std::string_view path(line.data() + c2 + 1, line.size() - c2 - 1);
        if (id == "0" && controllers.empty()) {
            if (const auto m = find_cgroup_mount(mountinfo, "cgroup2", {}, path))
                keep(smallest_limit(*m, path, [&fs_root](const std::string& dir) -> std::optional<std::size_t> {
                    const auto text = read_text_file(fs_root + dir + "/cpu.max");
                    return text ? cgroup2_cpu_limit(*text) : std::nullopt;
                }));
        } else if (has_token(controllers, "cpu")) {
            if (const auto m = find_cgroup_mount(mountinfo, "cgroup", "cpu", path))
                keep(smallest_limit(*m, path, [&fs_root](const std::string& dir) -> std::optional<std::size_t> {
                    const auto quota = read_text_file(fs_root + dir + "/cpu.cfs_quota_us");
                    const auto period = read_text_file(fs_root + dir + "/cpu.cfs_period_us");
                    return quota && period ? cgroup1_cpu_limit(*quota, *period) : std::nullopt;
                }));
        }
    }
    return best;
#else
    (void)proc_cgroup, (void)mountinfo, (void)fs_root;
    return std::nullopt;
#endif
}

std::size_t available_cpu_count() {
#if defined(__linux__)
    std::optional<std::size_t> cpus = affinity_cpu_count();
    if (!cpus) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online > 0)
            cpus = static_cast<std::size_t>(online);
    }
    if (!cpus)
        return 1;
    const std::optional<std::string> cgroups = read_text_file("/proc/self/cgroup");
    const std::optional<std::string> mountinfo = read_text_file("/proc/self/mountinfo");
    if (cgroups && mountinfo) {
        if (const std::optional<std::size_t> limit = cgroup_cpu_limit(*cgroups, *mountinfo, ""))
            cpus = std::min(*cpus, *limit);
    }
    return std::max<std::size_t>(*cpus, 1);
#else
    return 1;
#endif
}

std::size_t default_worker_count() {
    return resolve_worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                available_cpu_count);
}

}  // namespace pwpoly
