#include "parallel/cpu_placement.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <thread>

using finitemu::parallel::KeepOff;
using finitemu::parallel::leave_cpu;

namespace {

cpu_set_t affinity() {
    cpu_set_t set;
    CPU_ZERO(&set);
    EXPECT_EQ(pthread_getaffinity_np(pthread_self(), sizeof set, &set), 0);
    return set;
}

int first_cpu(const cpu_set_t& set) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            return cpu;
        }
    }
    return -1;
}

} // namespace

// On a thread of its own, so that a failure cannot leave the test thread's affinity changed.
TEST(CpuPlacement, KeepOffLeavesTheCpuOutWhileItLivesThenRestoresTheAffinity) {
    const cpu_set_t own = affinity();
    if (CPU_COUNT(&own) < 2) {
        GTEST_SKIP() << "one CPU allowed: there is no other to keep to";
    }
    std::thread([&own] {
        const int cpu = first_cpu(own);
        cpu_set_t others = own;
        CPU_CLR(cpu, &others);
        {
            const KeepOff away(cpu);
            const cpu_set_t inside = affinity();
            EXPECT_TRUE(CPU_EQUAL(&inside, &others));
            EXPECT_NE(sched_getcpu(), cpu); // moved off as the affinity changed
        }
        cpu_set_t after = affinity();
        EXPECT_TRUE(CPU_EQUAL(&after, &own));

        leave_cpu(cpu); // off and back at once
        after = affinity();
        EXPECT_TRUE(CPU_EQUAL(&after, &own));
    }).join();
}

TEST(CpuPlacement, KeepOffLeavesTheAffinityAloneWhenNoOtherCpuIsAllowed) {
    const cpu_set_t own = affinity();
    std::thread([&own] {
        { // no CPU named (a caller whose CPU is unknown)
            const KeepOff away(-1);
            const cpu_set_t inside = affinity();
            EXPECT_TRUE(CPU_EQUAL(&inside, &own));
        }
        const int cpu = first_cpu(own);
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(cpu, &only);
        ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof only, &only), 0);
        { // the only CPU allowed
            const KeepOff away(cpu);
            const cpu_set_t inside = affinity();
            EXPECT_TRUE(CPU_EQUAL(&inside, &only));
            EXPECT_EQ(sched_getcpu(), cpu);
        }
        { // a CPU the thread may not use anyway
            const KeepOff away(cpu + 1);
            const cpu_set_t inside = affinity();
            EXPECT_TRUE(CPU_EQUAL(&inside, &only));
        }
    }).join();
}
