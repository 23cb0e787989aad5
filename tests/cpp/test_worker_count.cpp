#include "parallel/worker_count.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using finitemu::parallel::cgroup_cpu_limit;
using finitemu::parallel::max_workers;
using finitemu::parallel::parse_count;
using finitemu::parallel::parse_cpu_max;
using finitemu::parallel::worker_count_from;

TEST(WorkerCount, ParsesOnlyPlusAndDigits) {
    EXPECT_EQ(parse_count("4"), 4u);
    EXPECT_EQ(parse_count("+4"), 4u);
    EXPECT_EQ(parse_count("0"), 0u);
    EXPECT_EQ(parse_count("007"), 7u);
    EXPECT_EQ(parse_count("18446744073709551615"), 18446744073709551615u); // 2^64 - 1
    for (const char* bad : {"", "+", "++4", "-1", " 4", "4 ", "abc", "4a", "0x10", "1e3", "٤",
                            "18446744073709551616", "99999999999999999999"}) {
        EXPECT_EQ(parse_count(bad), std::nullopt) << '"' << bad << '"';
    }
}

TEST(WorkerCount, NumThreadsThenNumCpusThenAvailable) {
    EXPECT_EQ(worker_count_from("4", nullptr, 2), 4u);
    EXPECT_EQ(worker_count_from("+4", "3", 2), 4u);
    // 0 means the available parallelism, and RAYON_RS_NUM_CPUS is not consulted.
    EXPECT_EQ(worker_count_from("0", "2", 7), 7u);
    for (const char* ignored : {"abc", "-1", " 4", "", "+"}) {
        EXPECT_EQ(worker_count_from(ignored, "2", 7), 2u) << '"' << ignored << '"';
    }
    EXPECT_EQ(worker_count_from(nullptr, "3", 7), 3u);
    EXPECT_EQ(worker_count_from(nullptr, "0", 7), 7u);
    EXPECT_EQ(worker_count_from(nullptr, "x", 7), 7u);
    EXPECT_EQ(worker_count_from(nullptr, nullptr, 5), 5u);
    EXPECT_EQ(worker_count_from(nullptr, nullptr, 0), 1u);
}

TEST(WorkerCount, CappedAt65535) {
    EXPECT_EQ(max_workers, 65535u);
    EXPECT_EQ(worker_count_from("100000", nullptr, 2), 65535u);
    EXPECT_EQ(worker_count_from("18446744073709551615", nullptr, 2), 65535u);
    EXPECT_EQ(worker_count_from(nullptr, "65536", 2), 65535u);
    EXPECT_EQ(worker_count_from(nullptr, nullptr, 100000), 65535u);
    EXPECT_EQ(worker_count_from("65535", nullptr, 2), 65535u);
}

TEST(WorkerCount, CpuMaxInWholeCpus) {
    EXPECT_EQ(parse_cpu_max("max 100000"), std::nullopt);
    EXPECT_EQ(parse_cpu_max("150000 100000"), 1u);
    EXPECT_EQ(parse_cpu_max("200000 100000"), 2u);
    EXPECT_EQ(parse_cpu_max("50000 100000"), 1u); // at least one
    EXPECT_EQ(parse_cpu_max("garbage"), std::nullopt);
}

class CgroupTree : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("finitemu-cgroup-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
    }
    void TearDown() override { fs::remove_all(root_); }
    void write(const std::string& path, const std::string& text) {
        const fs::path file = root_.string() + path;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    fs::path root_;
};

TEST_F(CgroupTree, V2TakesTheSmallestQuotaOfTheGroupAndItsAncestors) {
    const std::string mountinfo = "40 30 0:37 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n";
    write("/sys/fs/cgroup/cpu.max", "max 100000\n");
    write("/sys/fs/cgroup/a/cpu.max", "300000 100000\n");
    write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
    EXPECT_EQ(cgroup_cpu_limit("0::/a/b\n", mountinfo, root_.string()), 3u);
    write("/sys/fs/cgroup/a/b/cpu.max", "250000 100000\n");
    EXPECT_EQ(cgroup_cpu_limit("0::/a/b\n", mountinfo, root_.string()), 2u);
    EXPECT_EQ(cgroup_cpu_limit("0::/\n", mountinfo, root_.string()), std::nullopt);
}

TEST_F(CgroupTree, V1ReadsQuotaAndPeriodOfTheCpuController) {
    const std::string mountinfo =
        "31 30 0:28 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
        "34 30 0:31 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";
    const std::string proc_cgroup = "4:memory:/job\n2:cpu,cpuacct:/job\n1:name=systemd:/\n";
    write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
    write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n");
    write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cgroup_cpu_limit(proc_cgroup, mountinfo, root_.string()), std::nullopt);
    write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "450000\n");
    EXPECT_EQ(cgroup_cpu_limit(proc_cgroup, mountinfo, root_.string()), 4u);
    // A memory-only hierarchy is not read.
    write("/sys/fs/cgroup/memory/job/cpu.cfs_quota_us", "100000\n");
    write("/sys/fs/cgroup/memory/job/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cgroup_cpu_limit(proc_cgroup, mountinfo, root_.string()), 4u);
}
