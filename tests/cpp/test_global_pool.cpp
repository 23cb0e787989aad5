#include "parallel/parallel_map.hpp"
#include "parallel/pool.hpp"
#include "parallel/worker_count.hpp"
#include "parallel_support.hpp"

#include <gtest/gtest.h>

#include <span>
#include <vector>

using parallel_support::iota;
using parallel_support::value_of;

TEST(GlobalPool, CreatedOnceWithTheEnvironmentsWorkerCount) {
    const auto w = finitemu::parallel::worker_count();
    ASSERT_TRUE(w);
    EXPECT_EQ(*w, finitemu::parallel::worker_count_from_environment());
    const auto a = finitemu::parallel::global_pool();
    const auto b = finitemu::parallel::global_pool();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(finitemu::parallel::existing_global_pool(), *a);
    EXPECT_EQ((*a)->worker_count(), *w);

    const auto items = iota(1000);
    const auto out = finitemu::parallel::parallel_map(**a, std::span<const std::size_t>(items),
                                                      [](std::size_t i) { return value_of(i); });
    ASSERT_TRUE(out);
    for (std::size_t i = 0; i < items.size(); ++i) {
        ASSERT_EQ((*out)[i], value_of(i));
    }
}
