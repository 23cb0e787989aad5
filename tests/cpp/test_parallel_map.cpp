#include "parallel/parallel_map.hpp"
#include "parallel/pool.hpp"
#include "parallel_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <expected>
#include <new>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

using finitemu::ErrorKind;
using finitemu::Result;
using finitemu::parallel::Interruption;
using finitemu::parallel::parallel_map;
using finitemu::parallel::Pool;
using finitemu::parallel::sequential_map;
using parallel_support::iota;
using parallel_support::item_failure;
using parallel_support::make_pool;
using parallel_support::value_of;
using parallel_support::wait_for;

TEST(ParallelMap, WritesEveryItemOnceInOrderForAnyWorkerCount) {
    for (std::size_t workers : {1u, 2u, 3u, 8u}) {
        auto pool = make_pool(workers);
        ASSERT_TRUE(pool);
        EXPECT_EQ(pool->worker_count(), workers);
        for (std::size_t n : {0u, 1u, 2u, 3u, 5u, 16u, 17u, 1000u, 100003u}) {
            const auto items = iota(n);
            std::vector<std::atomic<int>> calls(n);
            auto out = parallel_map(*pool, std::span<const std::size_t>(items), [&](std::size_t i) {
                calls[i].fetch_add(1, std::memory_order_relaxed);
                return value_of(i);
            });
            ASSERT_TRUE(out);
            ASSERT_EQ(out->size(), n);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(calls[i].load(), 1) << "W=" << workers << " n=" << n << " i=" << i;
                ASSERT_EQ((*out)[i], value_of(i)) << "W=" << workers << " n=" << n << " i=" << i;
            }
        }
    }
}

TEST(ParallelMap, TheCallerComputesAndWorkersHelp) {
    auto pool = make_pool(2);
    ASSERT_TRUE(pool);
    const auto caller = std::this_thread::get_id();
    const std::vector<double> one = {2.0};
    auto single = parallel_map(*pool, std::span<const double>(one), [&](double x) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        return 2 * x;
    });
    ASSERT_TRUE(single);
    EXPECT_EQ(*single, std::vector<double>{4.0});

    int calls = 0;
    auto empty = parallel_map(*pool, std::span<const double>(), [&](double x) {
        ++calls;
        return x;
    });
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(calls, 0);

    // The caller takes the first run, [0, 16), and holds it until a worker has computed an item
    // of the rest.
    const auto items = iota(64);
    std::atomic<int> on_workers{0};
    std::atomic<int> on_caller{0};
    auto shared = parallel_map(*pool, std::span<const std::size_t>(items), [&](std::size_t i) {
        (std::this_thread::get_id() == caller ? on_caller : on_workers).fetch_add(1);
        if (i == 0) {
            wait_for([&] { return on_workers.load() > 0; });
        }
        return value_of(i);
    });
    ASSERT_TRUE(shared);
    EXPECT_GT(on_workers.load(), 0);
    EXPECT_GE(on_caller.load(), 16);
    EXPECT_EQ(on_workers.load() + on_caller.load(), 64);
}

TEST(ParallelMap, BusyWorkersDoNotHoldUpTheCaller) {
    // Both workers are kept busy by another thread's shared task; a map from this thread then
    // runs wholly here, its offers to the workers withdrawn, and returns without waiting for them.
    auto pool = make_pool(2);
    ASSERT_TRUE(pool);
    std::atomic<int> busy{0};
    std::atomic<bool> release{false};
    auto hold = [&](bool helper) {
        if (!helper) { // the other thread's own part: done once both workers hold theirs
            wait_for([&] { return busy.load() == 2; });
            return;
        }
        busy.fetch_add(1);
        wait_for([&] { return release.load(); });
    };
    auto nothing = [](bool) {};
    std::thread blocker([&] { pool->share(hold, 2, nothing, std::chrono::milliseconds(50)); });
    ASSERT_TRUE(wait_for([&] { return busy.load() == 2; }));
    const auto caller = std::this_thread::get_id();
    const auto items = iota(1000);
    std::atomic<int> on_workers{0};
    const auto out = parallel_map(*pool, std::span<const std::size_t>(items), [&](std::size_t i) {
        on_workers += std::this_thread::get_id() != caller ? 1 : 0;
        return value_of(i);
    });
    const bool released_before = release.load();
    release.store(true);
    blocker.join();
    ASSERT_TRUE(out);
    EXPECT_FALSE(released_before);
    EXPECT_EQ(on_workers.load(), 0);
    EXPECT_EQ((*out)[999], value_of(999));
}

namespace {

// A map of 100 s of work (10^5 items of 1 ms) under an interruption whose first check, one poll
// period in, asks to stop.
template <class Map> void expect_stopped_at_the_first_check(Map map, const char* which) {
    int checks = 0;
    Interruption interruption(
        [](void* count) {
            ++*static_cast<int*>(count);
            return true;
        },
        &checks);
    const auto items = iota(100000);
    std::atomic<int> computed{0};
    const auto out = map(
        std::span<const std::size_t>(items),
        [&](std::size_t i) {
            computed.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return value_of(i);
        },
        &interruption);
    ASSERT_FALSE(out) << which;
    EXPECT_EQ(out.error().kind, ErrorKind::interrupted) << which;
    EXPECT_EQ(checks, 1) << which;
    EXPECT_LT(computed.load(), 100000) << which;
}

} // namespace

TEST(ParallelMap, InterruptionStopsEveryThreadAtItsNextItem) {
    for (std::size_t workers : {1u, 2u, 3u}) {
        auto pool = make_pool(workers);
        ASSERT_TRUE(pool);
        expect_stopped_at_the_first_check(
            [&](auto items, auto f, Interruption* interruption) {
                return parallel_map(*pool, items, f, interruption);
            },
            workers == 1   ? "W=1"
            : workers == 2 ? "W=2"
                           : "W=3");
        // The pool is usable again and gives the whole map.
        const auto again = parallel_map(*pool, std::span<const std::size_t>(iota(5000)),
                                        [](std::size_t i) { return value_of(i); });
        ASSERT_TRUE(again);
        EXPECT_EQ((*again)[4999], value_of(4999));
    }
    expect_stopped_at_the_first_check(
        [](auto items, auto f, Interruption* interruption) {
            return sequential_map(items, f, interruption);
        },
        "sequential_map");
}

TEST(ParallelMap, ShortMapsAndLoneWorkersStayOnTheCallingThread) {
    using finitemu::parallel::maps_on_calling_thread;
    using finitemu::parallel::sequential_below_for;
    auto one = make_pool(1);
    auto two = make_pool(2);
    ASSERT_TRUE(one && two);
    EXPECT_TRUE(maps_on_calling_thread(*two, 99, 100));
    EXPECT_FALSE(maps_on_calling_thread(*two, 100, 100));
    EXPECT_TRUE(maps_on_calling_thread(*one, 1000000, 2));
    // 0.2 ms of work: 4000 items of 50 ns, 10 of 20 us, never fewer than 2.
    EXPECT_EQ(sequential_below_for(5e-8), 4000u);
    EXPECT_EQ(sequential_below_for(2e-5), 10u);
    EXPECT_EQ(sequential_below_for(1.0), 2u);
    EXPECT_EQ(sequential_below_for(0.0), std::size_t{1} << 50);
}

TEST(ParallelMap, OnTheCallingThreadTheResultsAndFailureAreThePools) {
    auto pool = make_pool(3);
    ASSERT_TRUE(pool);
    std::vector<double> items(5000);
    std::iota(items.begin(), items.end(), 0.0);
    const auto square = [](double x) { return x * x; };
    EXPECT_EQ(sequential_map(std::span<const double>(items), square).value(),
              parallel_map(*pool, std::span<const double>(items), square).value());
    const auto caller = std::this_thread::get_id();
    std::vector<int> computed(items.size(), 0);
    auto failing = [&](double x) -> Result<double> {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        ++computed[static_cast<std::size_t>(x)];
        if (x == 1234.0 || x == 4000.0) {
            return std::unexpected(item_failure(static_cast<std::size_t>(x)));
        }
        return x;
    };
    const auto failed = sequential_map(std::span<const double>(items), failing);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().first, 1234u);
    EXPECT_EQ(std::count(computed.begin(), computed.end(), 1), 1235); // 0 to 1234, once each
}

namespace {

// Items fail at the indices listed; slow ones on the right make sure the map waits for them.
Result<std::vector<double>> map_with_failures(Pool& pool, std::size_t n,
                                              const std::vector<std::size_t>& failing,
                                              std::atomic<int>& running,
                                              std::vector<std::atomic<int>>& computed) {
    const auto items = iota(n);
    return parallel_map(pool, std::span<const std::size_t>(items),
                        [&](std::size_t i) -> Result<double> {
                            running.fetch_add(1);
                            computed[i].store(1);
                            if (i % 97 == 96) {
                                std::this_thread::sleep_for(std::chrono::microseconds(200));
                            }
                            running.fetch_sub(1);
                            if (std::find(failing.begin(), failing.end(), i) != failing.end()) {
                                return std::unexpected(item_failure(i));
                            }
                            return value_of(i);
                        });
}

} // namespace

TEST(ParallelMap, LowestIndexedFailureWinsAfterEveryPieceFinished) {
    const std::vector<std::vector<std::size_t>> cases = {
        {0}, {999}, {500, 3}, {10, 990}, {998, 999}, {1, 2, 3, 4, 5, 700}, {499, 500}};
    for (std::size_t workers : {1u, 2u, 3u, 8u}) {
        auto pool = make_pool(workers);
        ASSERT_TRUE(pool);
        for (const auto& failing : cases) {
            std::atomic<int> running{0};
            std::vector<std::atomic<int>> computed(1000);
            const auto out = map_with_failures(*pool, 1000, failing, running, computed);
            ASSERT_FALSE(out);
            const auto lowest = *std::min_element(failing.begin(), failing.end());
            EXPECT_EQ(out.error().first, lowest) << "W=" << workers;
            EXPECT_EQ(running.load(), 0) << "the map returned before every piece finished";
        }
    }
}

TEST(ParallelMap, FailureSkipsTheRunsBeyondIt) {
    // W = 1: the caller alone takes runs of half what is left, [0, 50), [50, 75), ...; the first
    // stops at its failing item 3 and every later run begins beyond it, so none is computed.
    auto pool = make_pool(1);
    ASSERT_TRUE(pool);
    std::atomic<int> running{0};
    std::vector<std::atomic<int>> computed(100);
    const auto out = map_with_failures(*pool, 100, {3, 60}, running, computed);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().first, 3u);
    for (std::size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(computed[i].load(), i <= 3 ? 1 : 0) << "item " << i;
    }
}

TEST(ParallelMap, ExceptionOfAnItemBecomesItsFailure) {
    auto pool = make_pool(2);
    ASSERT_TRUE(pool);
    const auto items = iota(50);
    const auto out =
        parallel_map(*pool, std::span<const std::size_t>(items), [](std::size_t i) -> double {
            if (i == 31) {
                throw std::bad_alloc();
            }
            return 0.0;
        });
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind, ErrorKind::out_of_memory);
}

// A map started inside an item (on a worker as often as on the caller) shares its items like any
// other: it waits only for copies that other threads have begun, so rows of rows never deadlock.
TEST(ParallelMap, AMapInsideAnItemSharesLikeAnyOther) {
    for (std::size_t workers : {1u, 2u, 8u}) {
        auto pool = make_pool(workers);
        ASSERT_TRUE(pool);
        const auto rows_in = iota(37);
        const auto cols_in = iota(1001);
        auto rows = parallel_map(*pool, std::span<const std::size_t>(rows_in), [&](std::size_t r) {
            return parallel_map(*pool, std::span<const std::size_t>(cols_in),
                                [r](std::size_t c) { return value_of(r * 1001 + c); });
        });
        ASSERT_TRUE(rows);
        ASSERT_EQ(rows->size(), 37u);
        for (std::size_t r = 0; r < rows->size(); ++r) {
            ASSERT_EQ((*rows)[r].size(), 1001u);
            for (std::size_t c = 0; c < 1001; ++c) {
                ASSERT_EQ((*rows)[r][c], value_of(r * 1001 + c)) << "W=" << workers;
            }
        }
    }
}

TEST(ParallelMap, ThousandsOfRepetitions) {
    auto pool = make_pool(3);
    ASSERT_TRUE(pool);
    std::mt19937_64 rng(12345);
    std::uniform_int_distribution<std::size_t> size(0, 300);
    for (int rep = 0; rep < 5000; ++rep) {
        const auto items = iota(size(rng));
        const auto out = parallel_map(*pool, std::span<const std::size_t>(items),
                                      [](std::size_t i) { return value_of(i); });
        ASSERT_TRUE(out);
        ASSERT_EQ(out->size(), items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            ASSERT_EQ((*out)[i], value_of(i)) << "repetition " << rep;
        }
    }
}

// Now and then a caller pauses long enough for the workers to fall asleep and rouses one before
// its next map: a rousing is a hint, and no map may lose a job or hang for it.
TEST(ParallelMap, ConcurrentMapsFromSeveralThreads) {
    auto pool = make_pool(2);
    ASSERT_TRUE(pool);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int rep = 0; rep < 200; ++rep) {
                if (rep % 50 == t) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    pool->rouse();
                }
                const auto items = iota(static_cast<std::size_t>(t * 37 + rep % 50));
                const auto out = parallel_map(*pool, std::span<const std::size_t>(items),
                                              [](std::size_t i) { return 9.0 + value_of(i); });
                if (!out || out->size() != items.size()) {
                    mismatches.fetch_add(1);
                    continue;
                }
                for (std::size_t i = 0; i < items.size(); ++i) {
                    if ((*out)[i] != 9.0 + value_of(i)) {
                        mismatches.fetch_add(1);
                    }
                }
            }
        });
    }
    for (auto& c : callers) {
        c.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}
