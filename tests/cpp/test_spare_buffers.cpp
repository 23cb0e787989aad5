#include "parallel/spare_buffers.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

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
