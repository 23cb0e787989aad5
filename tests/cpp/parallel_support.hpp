// Helpers of the tests of src/parallel: a pool of one's own, items 0..n-1 and their values, and a
// failing item's error.
#pragma once

#include "error.hpp"
#include "parallel/pool.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

namespace parallel_support {

inline std::unique_ptr<finitemu::parallel::Pool> make_pool(std::size_t workers) {
    auto pool = finitemu::parallel::Pool::create(workers);
    if (!pool) {
        ADD_FAILURE() << "errno " << pool.error().first;
        return nullptr;
    }
    return std::move(*pool);
}

inline std::vector<std::size_t> iota(std::size_t n) {
    std::vector<std::size_t> v(n);
    std::iota(v.begin(), v.end(), std::size_t{0});
    return v;
}

inline double value_of(std::size_t i) {
    return std::sin(static_cast<double>(i)) * 1e3 + 0.5;
}

// A failing item's error, carrying its index.
inline finitemu::Error item_failure(std::size_t i) {
    return finitemu::Error{finitemu::ErrorKind::numeric, "item", i};
}

// Yields until ready() holds or 20 s have passed, so that a thread that never comes fails the
// test instead of hanging it; returns ready().
template <class Ready> bool wait_for(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ready() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    return ready();
}

} // namespace parallel_support
