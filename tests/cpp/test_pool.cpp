#include "parallel/pool.hpp"
#include "parallel_support.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

using parallel_support::make_pool;
using parallel_support::wait_for;

namespace {

constexpr std::chrono::milliseconds kPeriod{50};

} // namespace

TEST(Pool, AtLeastOneWorker) {
    auto none = make_pool(0);
    auto three = make_pool(3);
    ASSERT_TRUE(none && three);
    EXPECT_EQ(none->worker_count(), 1u);
    EXPECT_EQ(three->worker_count(), 3u);
}

TEST(Pool, WorkersHaveTwoMebibyteStacks) {
    auto pool = make_pool(2);
    ASSERT_TRUE(pool);
    std::atomic<int> helped{0};
    std::size_t sizes[2] = {0, 0};
    auto work = [&](bool helper) {
        if (!helper) { // the caller holds its copy until both helpers have begun theirs
            wait_for([&] { return helped.load() == 2; });
            return;
        }
        pthread_attr_t attributes;
        std::size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getstacksize(&attributes, &size);
            pthread_attr_destroy(&attributes);
        }
        sizes[helped.fetch_add(1)] = size;
    };
    auto nothing = [](bool) {};
    pool->share(work, 2, nothing, kPeriod);
    ASSERT_EQ(helped.load(), 2);
    EXPECT_EQ(sizes[0], 2u * 1024 * 1024);
    EXPECT_EQ(sizes[1], 2u * 1024 * 1024);
}

// A sleeping worker keeps off the latest caller's CPU; once woken it must run its copy with the
// affinity it had, or the pool would lose a CPU for good.
TEST(Pool, WorkersWokenFromSleepRunWithTheirOwnAffinity) {
    auto pool = make_pool(2);
    ASSERT_TRUE(pool);
    cpu_set_t own;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof own, &own), 0);
    std::atomic<int> other_affinity{0};
    for (int rep = 0; rep < 3; ++rep) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the workers fall asleep
        std::atomic<int> helped{0};
        auto work = [&](bool helper) {
            if (!helper) {
                wait_for([&] { return helped.load() > 0; });
                return;
            }
            cpu_set_t now;
            if (pthread_getaffinity_np(pthread_self(), sizeof now, &now) != 0 ||
                !CPU_EQUAL(&now, &own)) {
                other_affinity.fetch_add(1);
            }
            helped.fetch_add(1);
        };
        auto nothing = [](bool) {};
        pool->share(work, 2, nothing, kPeriod);
        EXPECT_GT(helped.load(), 0);
    }
    EXPECT_EQ(other_affinity.load(), 0);
}

// The caller's part of a shared task throws (as a poll does when the interpreter ends the thread)
// while workers run theirs: share must not let the exception leave before they have returned,
// since their copies refer to the caller's frame.
TEST(Pool, ShareWaitsForBegunCopiesBeforeAnExceptionLeaves) {
    auto pool = make_pool(3);
    ASSERT_TRUE(pool);
    std::atomic<int> running{0};
    std::atomic<int> begun{0};
    auto work = [&](bool helper) {
        if (!helper) {
            wait_for([&] { return begun.load() > 0; });
            throw std::runtime_error("the caller's part failed");
        }
        running.fetch_add(1);
        begun.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        running.fetch_sub(1);
    };
    auto nothing = [](bool) {};
    EXPECT_THROW(pool->share(work, 2, nothing, kPeriod), std::runtime_error);
    EXPECT_GT(begun.load(), 0);
    EXPECT_EQ(running.load(), 0) << "share returned while a worker's copy was still running";
}

// While the caller waits for a helper's copy it calls while_waiting every period; the helper
// holds its copy until it has been called twice, so share cannot return before.
TEST(Pool, TheWaitingCallerIsCalledBackEveryPeriod) {
    auto pool = make_pool(1);
    ASSERT_TRUE(pool);
    std::atomic<int> begun{0};
    std::atomic<int> callbacks{0};
    const auto caller = std::this_thread::get_id();
    auto work = [&](bool helper) {
        if (!helper) {
            wait_for([&] { return begun.load() > 0; });
            return;
        }
        begun.fetch_add(1);
        wait_for([&] { return callbacks.load() >= 2; });
    };
    auto count = [&](bool) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        callbacks.fetch_add(1);
    };
    pool->share(work, 1, count, std::chrono::milliseconds(1));
    EXPECT_EQ(begun.load(), 1);
    EXPECT_GE(callbacks.load(), 2);
}
