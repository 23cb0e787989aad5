// The one way the routines spread their separations (or radius pairs) over the worker pool:
// look the pool up once, compute a map of less than about 0.2 ms of work (and every map of a
// one-worker pool) on the calling thread, share a longer one with the pool. Either way item i is
// f(items[i]), the same doubles for any number of workers.
//
// When the pool cannot start, the two uniform-disk maps report it (WithoutPool::report): callers
// of witt_mao_magnification and multi_witt_mao_magnification are told, with the pool's texts,
// that their thread setting failed. The other six functions compute on the calling thread
// (WithoutPool::compute_here): they are documented never to need the pool, and a light curve
// should not fail for want of threads. docs/parallelism.md states the rule.
//
//     auto out = map_items<WithoutPool::report>(std::span<const double>(l), kernel,
//                                               kDiskKernelSeconds);
#pragma once

#include "error.hpp"
#include "parallel/interruption.hpp"
#include "parallel/parallel_map.hpp"
#include "parallel/pool.hpp"

#include <span>
#include <vector>

namespace finitemu::routines {

enum class WithoutPool { report, compute_here };

//
// The map stops early, in ErrorKind::interrupted, when `interruption` (by default the calling
// thread's current one, parallel/interruption.hpp) asks it to.
template <WithoutPool Policy, class Item, class F>
[[nodiscard]] Result<std::vector<parallel::map_value_t<Item, F>>>
map_items(std::span<const Item> items, const F& f, double item_seconds,
          parallel::Interruption* interruption = parallel::current_interruption()) {
    const auto pool = parallel::global_pool();
    if (!pool) {
        if constexpr (Policy == WithoutPool::report) {
            return std::unexpected(pool.error());
        } else {
            return parallel::sequential_map(items, f, interruption);
        }
    }
    if (parallel::maps_on_calling_thread(**pool, items.size(),
                                         parallel::sequential_below_for(item_seconds))) {
        return parallel::sequential_map(items, f, interruption);
    }
    return parallel::parallel_map(**pool, items, f, interruption, item_seconds);
}

} // namespace finitemu::routines
