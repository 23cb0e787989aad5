#include "parallel/parallel_map.hpp"
#include "parallel/pool.hpp"
#include "parallel/spare_buffers.hpp"
#include "parallel/worker_count.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <expected>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using finitemu::Error;
using finitemu::ErrorKind;
using finitemu::Result;
using finitemu::parallel::combine;
using finitemu::parallel::map_failure;
using finitemu::parallel::parallel_map;
using finitemu::parallel::PieceOutcome;
using finitemu::parallel::Pool;
using finitemu::parallel::split_budget;

namespace {

std::unique_ptr<Pool> make_pool(std::size_t workers) {
    auto pool = Pool::create(workers);
    if (!pool) {
        ADD_FAILURE() << "errno " << pool.error().first;
        return nullptr;
    }
    return std::move(*pool);
}

std::vector<std::size_t> iota(std::size_t n) {
    std::vector<std::size_t> v(n);
    std::iota(v.begin(), v.end(), std::size_t{0});
    return v;
}

double value_of(std::size_t i) {
    return std::sin(static_cast<double>(i)) * 1e3 + 0.5;
}

// A failing item's error, carrying its index.
Error item_failure(std::size_t i) {
    return Error{ErrorKind::numeric, "item", i};
}

} // namespace

TEST(SplitBudget, HalvesOnTheDividingThreadAndResetsWhenMigrated) {
    std::size_t budget = 8;
    EXPECT_TRUE(split_budget(budget, false, 8));
    EXPECT_EQ(budget, 4u);
    budget = 1;
    EXPECT_TRUE(split_budget(budget, false, 8));
    EXPECT_EQ(budget, 0u);
    EXPECT_FALSE(split_budget(budget, false, 8));
    EXPECT_EQ(budget, 0u);
    EXPECT_TRUE(split_budget(budget, true, 8)); // max(0 / 2, W)
    EXPECT_EQ(budget, 8u);
    budget = 40;
    EXPECT_TRUE(split_budget(budget, true, 8)); // max(40 / 2, W)
    EXPECT_EQ(budget, 20u);
}

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
        EXPECT_FALSE(pool->is_current_worker());
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
    // of the rest (bounded, so that a helper that never comes fails the test instead of hanging).
    const auto items = iota(64);
    std::atomic<int> on_workers{0};
    std::atomic<int> on_caller{0};
    auto shared = parallel_map(*pool, std::span<const std::size_t>(items), [&](std::size_t i) {
        if (pool->is_current_worker()) {
            on_workers.fetch_add(1);
        } else {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            on_caller.fetch_add(1);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (i == 0 && on_workers.load() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        return value_of(i);
    });
    ASSERT_TRUE(shared);
    EXPECT_GT(on_workers.load(), 0);
    EXPECT_GE(on_caller.load(), 16);
    EXPECT_EQ(on_workers.load() + on_caller.load(), 64);
}

// A sleeping worker keeps off the latest caller's CPU; once woken it must run items with the
// affinity it had, or the pool would lose a CPU for good.
TEST(ParallelMap, WorkersWokenFromSleepRunWithTheirOwnAffinity) {
    auto pool = make_pool(2);
    ASSERT_TRUE(pool);
    cpu_set_t own;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof own, &own), 0);
    const auto items = iota(64);
    std::atomic<int> on_workers{0};
    std::atomic<int> other_affinity{0};
    for (int rep = 0; rep < 3; ++rep) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the workers fall asleep
        on_workers.store(0);
        auto out = parallel_map(*pool, std::span<const std::size_t>(items), [&](std::size_t i) {
            if (pool->is_current_worker()) {
                cpu_set_t now;
                if (pthread_getaffinity_np(pthread_self(), sizeof now, &now) != 0 ||
                    !CPU_EQUAL(&now, &own)) {
                    other_affinity.fetch_add(1);
                }
                on_workers.fetch_add(1);
            }
            // The caller holds its first item until a worker has come (bounded).
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (i == 0 && on_workers.load() == 0 &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            return value_of(i);
        });
        ASSERT_TRUE(out);
        EXPECT_GT(on_workers.load(), 0);
    }
    EXPECT_EQ(other_affinity.load(), 0);
}

TEST(ParallelMap, BusyWorkersDoNotHoldUpTheCaller) {
    // Both workers are kept busy by another thread's join; a map from this thread then runs
    // wholly here, its offers to the workers withdrawn, and returns without waiting for them.
    auto pool = make_pool(2);
    ASSERT_TRUE(pool);
    std::atomic<int> busy{0};
    std::atomic<bool> release{false};
    auto hold = [&](bool) {
        busy.fetch_add(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!release.load() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
    };
    std::thread blocker([&] { pool->join(hold, hold); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (busy.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(busy.load(), 2);
    const auto items = iota(1000);
    std::atomic<int> on_workers{0};
    const auto out = parallel_map(*pool, std::span<const std::size_t>(items), [&](std::size_t i) {
        on_workers += pool->is_current_worker() ? 1 : 0;
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

TEST(ParallelMap, InterruptionStopsEveryThreadAtItsNextItem) {
    using finitemu::parallel::Interruption;
    for (std::size_t workers : {1u, 2u, 3u}) {
        auto pool = make_pool(workers);
        ASSERT_TRUE(pool);
        // The first check (after one poll period) asks to stop; uninterrupted, the map would
        // take 100 s.
        int checks = 0;
        Interruption interruption(
            [](void* count) {
                ++*static_cast<int*>(count);
                return true;
            },
            &checks);
        const auto items = iota(100000);
        std::atomic<int> computed{0};
        const auto out = parallel_map(
            *pool, std::span<const std::size_t>(items),
            [&](std::size_t i) {
                computed.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return value_of(i);
            },
            &interruption);
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, ErrorKind::interrupted) << "W=" << workers;
        EXPECT_EQ(checks, 1);
        EXPECT_LT(computed.load(), 100000);
        // The pool is usable again and gives the whole map.
        const auto again = parallel_map(*pool, std::span<const std::size_t>(iota(5000)),
                                        [](std::size_t i) { return value_of(i); });
        ASSERT_TRUE(again);
        EXPECT_EQ((*again)[4999], value_of(4999));
    }
}

TEST(ParallelMap, ShortMapsAndLoneWorkersStayOnTheCallingThread) {
    using finitemu::parallel::maps_on_calling_thread;
    using finitemu::parallel::sequential_below_for;
    auto one = make_pool(1);
    auto two = make_pool(2);
    ASSERT_TRUE(one && two);
    EXPECT_TRUE(maps_on_calling_thread(*two, 99, 100));
    EXPECT_FALSE(maps_on_calling_thread(*two, 100, 100));
    EXPECT_TRUE(maps_on_calling_thread(*one, 1000000, 2)); // an outside thread, one worker
    // On the worker itself (a nested map) the pool's own division rule applies.
    std::atomic<int> nested_inline{0};
    auto check = [&](bool) { nested_inline += maps_on_calling_thread(*one, 1000000, 2) ? 1 : 0; };
    one->join(check, check); // handed whole to the worker
    EXPECT_EQ(nested_inline.load(), 0);
    // 0.2 ms of work: 4000 items of 50 ns, 10 of 20 us, never fewer than 2.
    EXPECT_EQ(sequential_below_for(5e-8), 4000u);
    EXPECT_EQ(sequential_below_for(2e-5), 10u);
    EXPECT_EQ(sequential_below_for(1.0), 2u);
    EXPECT_EQ(sequential_below_for(0.0), std::size_t{1} << 50);
}

TEST(ParallelMap, OnTheCallingThreadTheResultsAndFailureAreThePools) {
    using finitemu::parallel::sequential_map;
    auto pool = make_pool(3);
    ASSERT_TRUE(pool);
    std::vector<double> items(5000);
    std::iota(items.begin(), items.end(), 0.0);
    const auto square = [](double x) { return x * x; };
    EXPECT_EQ(sequential_map(std::span<const double>(items), square).value(),
              parallel_map(*pool, std::span<const double>(items), square).value());
    const auto caller = std::this_thread::get_id();
    auto failing = [&](double x) -> Result<double> {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        if (x == 1234.0 || x == 4000.0) {
            return std::unexpected(item_failure(static_cast<std::size_t>(x)));
        }
        return x;
    };
    const auto failed = sequential_map(std::span<const double>(items), failing);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().first, 1234u);
}

TEST(Pool, WorkersHaveTwoMebibyteStacks) {
    auto pool = make_pool(2);
    ASSERT_TRUE(pool);
    std::size_t sizes[2] = {0, 0};
    auto stack_size = [](std::size_t& size) {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getstacksize(&attributes, &size);
            pthread_attr_destroy(&attributes);
        }
    };
    auto left = [&](bool) { stack_size(sizes[0]); };
    auto right = [&](bool) { stack_size(sizes[1]); };
    pool->join(left, right); // from outside: both halves run on workers
    EXPECT_EQ(sizes[0], 2u * 1024 * 1024);
    EXPECT_EQ(sizes[1], 2u * 1024 * 1024);
}

namespace {

// Sum over a tree of nested maps `depth` levels deep, `fan` items per level; each leaf is 1.
Result<double> nested_sum(Pool& pool, int depth, std::size_t fan) {
    if (depth == 0) {
        return 1.0;
    }
    const auto items = iota(fan);
    auto rows = parallel_map(pool, std::span<const std::size_t>(items),
                             [&](std::size_t) { return nested_sum(pool, depth - 1, fan); });
    if (!rows) {
        return std::unexpected(rows.error());
    }
    return std::accumulate(rows->begin(), rows->end(), 0.0);
}

} // namespace

TEST(ParallelMap, NestedMapsManyLevelsDeepNeverDeadlock) {
    for (std::size_t workers : {1u, 2u, 3u, 8u}) {
        auto pool = make_pool(workers);
        ASSERT_TRUE(pool);
        const auto deep = nested_sum(*pool, 12, 2); // 2^12 leaves through 4095 nested maps
        ASSERT_TRUE(deep);
        EXPECT_EQ(*deep, 4096.0) << "W=" << workers;
        const auto wide = nested_sum(*pool, 4, 9);
        ASSERT_TRUE(wide);
        EXPECT_EQ(*wide, 6561.0) << "W=" << workers;
    }
}

TEST(ParallelMap, RowsOfNestedMapsKeepTheirOrder) {
    auto pool = make_pool(3);
    ASSERT_TRUE(pool);
    const auto rows_in = iota(37);
    const auto cols_in = iota(1001);
    auto rows = parallel_map(*pool, std::span<const std::size_t>(rows_in), [&](std::size_t r) {
        return parallel_map(*pool, std::span<const std::size_t>(cols_in),
                            [r](std::size_t c) { return value_of(r * 1001 + c); });
    });
    ASSERT_TRUE(rows);
    for (std::size_t r = 0; r < rows->size(); ++r) {
        ASSERT_EQ((*rows)[r].size(), 1001u);
        for (std::size_t c = 0; c < 1001; ++c) {
            ASSERT_EQ((*rows)[r][c], value_of(r * 1001 + c));
        }
    }
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

TEST(ParallelMap, WriteCountCheck) {
    // Complete halves add up; an incomplete left half drops the right one, as it is not adjacent.
    EXPECT_EQ(combine({5, std::nullopt}, {7, std::nullopt}, 5).written, 12u);
    EXPECT_EQ(combine({3, item_failure(1)}, {7, item_failure(2)}, 5).written, 3u);
    EXPECT_EQ(combine({3, item_failure(1)}, {7, item_failure(2)}, 5).failure->first, 1u);
    EXPECT_EQ(combine({5, std::nullopt}, {2, item_failure(2)}, 5).failure->first, 2u);
    EXPECT_FALSE(map_failure({12, std::nullopt}, 12));
    const auto short_count = map_failure({11, std::nullopt}, 12);
    ASSERT_TRUE(short_count);
    EXPECT_EQ(short_count->kind, ErrorKind::incomplete_map);
    EXPECT_EQ(short_count->first, 12u);
    EXPECT_EQ(short_count->second, 11u);
    EXPECT_EQ(map_failure({3, item_failure(9)}, 12)->first, 9u);
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
                const auto out =
                    parallel_map(*pool, std::span<const std::size_t>(items), [&](std::size_t i) {
                        // a nested map per item now and then
                        if (i % 16 == 0) {
                            auto d = nested_sum(*pool, 2, 3);
                            return d ? *d + value_of(i) : -1.0;
                        }
                        return 9.0 + value_of(i);
                    });
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

TEST(GlobalPool, CreatedOnceWithTheEnvironmentsWorkerCount) {
    const auto w = finitemu::parallel::worker_count();
    ASSERT_TRUE(w);
    EXPECT_EQ(*w, finitemu::parallel::worker_count_from_environment());
    const auto a = finitemu::parallel::global_pool();
    const auto b = finitemu::parallel::global_pool();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);

    // A map nested in an item finds the pool, on a worker and on the calling thread alike.
    const auto items = iota(1000);
    const auto out = parallel_map(**a, std::span<const std::size_t>(items), [&](std::size_t i) {
        const auto nested_pool = finitemu::parallel::pool_for_map();
        EXPECT_TRUE(nested_pool && *nested_pool == *a);
        const std::vector<double> inner = {1.0, 2.0, 3.0};
        auto row =
            parallel_map(**nested_pool, std::span<const double>(inner), [](double x) { return x; });
        return row ? value_of(i) + (*row)[2] : 0.0;
    });
    ASSERT_TRUE(out);
    for (std::size_t i = 0; i < items.size(); ++i) {
        ASSERT_EQ((*out)[i], value_of(i) + 3.0);
    }
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
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (begun.load() == 0 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            throw std::runtime_error("the caller's part failed");
        }
        running.fetch_add(1);
        begun.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        running.fetch_sub(1);
    };
    auto nothing = [](bool) {};
    EXPECT_THROW(pool->share(work, 2, nothing, std::chrono::milliseconds(50)), std::runtime_error);
    EXPECT_GT(begun.load(), 0);
    EXPECT_EQ(running.load(), 0) << "share returned while a worker's copy was still running";
}

TEST(Interruption, ACheckThatThrowsStopsTheItemsNotBegun) {
    using finitemu::parallel::Interruption;
    Interruption interruption([](void*) -> bool { throw std::runtime_error("thread ends"); },
                              nullptr);
    std::this_thread::sleep_for(Interruption::kPollPeriod + std::chrono::milliseconds(5));
    EXPECT_THROW(static_cast<void>(interruption.poll()), std::runtime_error);
    EXPECT_TRUE(interruption.stop_requested());
}

// Buffers go back to the thread that keeps them and come out again, storage and all, for a call
// that fits; too small or too large ones are not kept, and no more than two.
TEST(SpareBuffers, KeptPerThreadWithinTheirBounds) {
    using finitemu::parallel::keep_buffer;
    using finitemu::parallel::kLargest;
    using finitemu::parallel::kSmallest;
    using finitemu::parallel::reuse_buffer;
    std::thread([] {
        std::vector<double> a = reuse_buffer(kSmallest);
        a.assign(kSmallest, 1.0);
        const double* storage = a.data();
        keep_buffer(std::move(a));
        std::vector<double> b = reuse_buffer(kSmallest / 2);
        EXPECT_EQ(b.data(), storage);
        EXPECT_TRUE(b.empty());
        EXPECT_GE(b.capacity(), kSmallest);

        std::vector<double> small(kSmallest / 2);
        std::vector<double> large;
        large.reserve(kLargest + 1);
        const double* small_storage = small.data();
        const double* large_storage = large.data();
        keep_buffer(std::move(small));
        keep_buffer(std::move(large));
        EXPECT_NE(reuse_buffer(1).data(), small_storage);
        EXPECT_NE(reuse_buffer(kLargest).data(), large_storage);

        // Three kept: the smallest gives way; a request larger than every spare gets a new one.
        std::vector<std::vector<double>> three;
        for (const std::size_t n : {kSmallest, 2 * kSmallest, 4 * kSmallest}) {
            three.emplace_back(n);
        }
        const double* kept_2 = three[1].data();
        const double* kept_4 = three[2].data();
        for (auto& v : three) {
            keep_buffer(std::move(v));
        }
        EXPECT_EQ(reuse_buffer(2 * kSmallest).data(), kept_2);
        EXPECT_EQ(reuse_buffer(kSmallest).data(), kept_4);
        EXPECT_GE(reuse_buffer(8 * kSmallest).capacity(), 8 * kSmallest);
    }).join();
}
