#include "parallel/worker_count.hpp"

#include "parallel/pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace finitemu::parallel {

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(sep, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    text = trim(text);
    if (text.empty() || text.front() == '+') {
        return std::nullopt;
    }
    return parse_count(text);
}

// A mount of /proc/self/mountinfo: "id parent dev root mount-point options [tags] - fstype source
// super-options" (proc(5)).
struct Mount {
    std::string_view root;
    std::string_view point;
    std::string_view fstype;
    std::string_view super_options;
};

std::vector<Mount> parse_mountinfo(std::string_view mountinfo) {
    std::vector<Mount> mounts;
    for (std::string_view line : split(mountinfo, '\n')) {
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos) {
            continue;
        }
        const auto head = split(line.substr(0, dash), ' ');
        const auto tail = split(line.substr(dash + 3), ' ');
        if (head.size() < 5 || tail.size() < 3) {
            continue;
        }
        mounts.push_back({head[3], head[4], tail[0], tail[2]});
    }
    return mounts;
}

// The directory of cgroup `group` under a mount of its hierarchy whose own root is `mount_root`.
std::optional<std::string> cgroup_dir(const Mount& mount, std::string_view group) {
    if (mount.root != "/") {
        if (!group.starts_with(mount.root)) {
            return std::nullopt; // the process's cgroup is outside this mount
        }
        group.remove_prefix(mount.root.size());
    }
    std::string dir(mount.point);
    if (!group.empty() && group != "/") {
        if (group.front() != '/') {
            dir += '/';
        }
        dir += group;
    }
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir;
}

// Calls limit_at(dir) for `dir` and each ancestor up to `top`; the smallest limit found.
template <class Limit>
std::optional<std::size_t> smallest_limit(std::string dir, std::string_view top, Limit limit_at) {
    std::optional<std::size_t> best;
    for (;;) {
        if (const auto limit = limit_at(dir)) {
            best = best ? std::min(*best, *limit) : *limit;
        }
        if (dir.size() <= top.size()) {
            return best;
        }
        dir.erase(dir.rfind('/'));
        if (dir.size() < top.size()) {
            return best;
        }
    }
}

std::size_t whole_cpus(std::uint64_t quota, std::uint64_t period) {
    return period == 0 ? 1 : std::max<std::size_t>(quota / period, 1);
}

} // namespace

std::optional<std::uint64_t> parse_count(std::string_view text) noexcept {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt; // not below 2^64
        }
        value = value * 10 + digit;
    }
    return value;
}

std::size_t worker_count_from(const char* num_threads, const char* num_cpus,
                              std::size_t available) noexcept {
    std::size_t count = std::max<std::size_t>(available, 1);
    if (const auto n = num_threads ? parse_count(num_threads) : std::nullopt) {
        if (*n > 0) {
            count = static_cast<std::size_t>(*n);
        }
    } else if (const auto c = num_cpus ? parse_count(num_cpus) : std::nullopt; c && *c > 0) {
        count = static_cast<std::size_t>(*c);
    }
    return std::min(count, max_workers);
}

std::optional<std::size_t> parse_cpu_max(std::string_view cpu_max) noexcept {
    const auto space = cpu_max.find(' ');
    if (space == std::string_view::npos) {
        return std::nullopt;
    }
    const auto quota = parse_unsigned(cpu_max.substr(0, space));
    const auto period = parse_unsigned(cpu_max.substr(space + 1));
    if (!quota || !period) {
        return std::nullopt; // "max": no quota
    }
    return whole_cpus(*quota, *period);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup,
                                            std::string_view mountinfo, const std::string& root) {
    const auto mounts = parse_mountinfo(mountinfo);
    std::optional<std::size_t> best;
    const auto keep = [&best](std::optional<std::size_t> limit) {
        if (limit) {
            best = best ? std::min(*best, *limit) : *limit;
        }
    };
    // /proc/self/cgroup lines are "hierarchy-id:controllers:path"; v2 is "0::path" (cgroups(7)).
    for (std::string_view line : split(proc_cgroup, '\n')) {
        const auto fields = split(line, ':');
        if (fields.size() < 3) {
            continue;
        }
        const std::string_view group = line.substr(fields[0].size() + fields[1].size() + 2);
        const bool v2 = fields[0] == "0" && fields[1].empty();
        const auto controllers = split(fields[1], ',');
        const bool v1_cpu =
            std::find(controllers.begin(), controllers.end(), "cpu") != controllers.end();
        if (!v2 && !v1_cpu) {
            continue;
        }
        for (const Mount& mount : mounts) {
            const bool matches = v2 ? mount.fstype == "cgroup2" : mount.fstype == "cgroup" && [&] {
                const auto opts = split(mount.super_options, ',');
                return std::find(opts.begin(), opts.end(), "cpu") != opts.end();
            }();
            if (!matches) {
                continue;
            }
            const auto dir = cgroup_dir(mount, group);
            if (!dir) {
                continue;
            }
            const std::string top = root + std::string(mount.point);
            keep(smallest_limit(root + *dir, top, [v2](const std::string& d) {
                if (v2) {
                    const auto text = read_file(d + "/cpu.max");
                    return text ? parse_cpu_max(trim(*text)) : std::nullopt;
                }
                const auto quota_text = read_file(d + "/cpu.cfs_quota_us");
                const auto period_text = read_file(d + "/cpu.cfs_period_us");
                // A quota of -1 (unlimited) does not parse as a count.
                const auto quota = quota_text ? parse_unsigned(*quota_text) : std::nullopt;
                const auto period = period_text ? parse_unsigned(*period_text) : std::nullopt;
                return quota && period ? std::optional(whole_cpus(*quota, *period)) : std::nullopt;
            }));
        }
    }
    return best;
}

std::size_t available_parallelism() noexcept {
    std::size_t count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        count = static_cast<std::size_t>(CPU_COUNT(&set));
    }
    if (count == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? static_cast<std::size_t>(online) : 0;
    }
    if (count == 0) {
        return 1;
    }
    try {
        const auto proc_cgroup = read_file("/proc/self/cgroup");
        const auto mountinfo = read_file("/proc/self/mountinfo");
        if (proc_cgroup && mountinfo) {
            if (const auto limit = cgroup_cpu_limit(*proc_cgroup, *mountinfo)) {
                count = std::min(count, *limit);
            }
        }
    } catch (...) {
        // The quota only lowers the count; without it the processor count stands.
    }
    return count;
}

std::size_t worker_count_from_environment() noexcept {
    return worker_count_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                             available_parallelism());
}

Result<std::size_t> worker_count() {
    const auto pool = global_pool();
    if (!pool) {
        return std::unexpected(pool.error());
    }
    return (*pool)->worker_count();
}

} // namespace finitemu::parallel
