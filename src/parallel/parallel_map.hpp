// Order-preserving parallel map on the worker pool: result i is written into slot i of an output
// allocated at full length before any item runs. The per-item function returns either a value or
// std::expected<value, InternalFailure>; the map returns every result in item order, or the
// failure of the lowest-indexed failing item, once every piece of the map has finished.
//
// Division: [0, n) is one piece with split budget W (the pool's worker count). A piece of m >= 2
// items is halved at a + m/2 while split_budget() allows it; the thread that divides runs the left
// half and offers the right half to the pool (Pool::join). A piece that is not divided runs its
// items in index order and stops at its first failing item. On a thread that is no worker, a map
// of n <= 1 items runs on that thread; a larger one hands its first division to the pool and
// blocks until it is done. On a worker (a nested map) the pieces join the worker's own pool.
//
// Example:
//     std::vector<double> u = {0.5, 1.0, 2.0};
//     auto a = parallel_map(std::span<const double>(u), [](double x) { return x * x; });
//     // a: std::expected<std::vector<double>, InternalFailure> holding {0.25, 1.0, 4.0}
#pragma once

#include "parallel/internal_failure.hpp"
#include "parallel/pool.hpp"

#include <cstddef>
#include <exception>
#include <expected>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace finitemu::parallel {

namespace detail {
template <class T> struct unwrap_expected { using type = T; };
template <class T> struct unwrap_expected<std::expected<T, InternalFailure>> { using type = T; };
} // namespace detail

template <class Item, class F>
using map_value_t = typename detail::unwrap_expected<
    std::remove_cvref_t<std::invoke_result_t<F&, const Item&>>>::type;

// Decides whether a piece is divided and updates its budget. A piece that runs on another thread
// than the one that divided it (migrated) gets max(budget / 2, workers) and is divided; otherwise
// a budget of 0 stops division and a larger one is halved.
[[nodiscard]] bool split_budget(std::size_t& budget, bool migrated, std::size_t workers) noexcept;

// What a piece hands back: how many slots it wrote from its start, and the failure that stopped it.
struct PieceOutcome {
    std::size_t written = 0;
    std::optional<InternalFailure> failure;
};

// The outcome of a divided piece from those of its halves (`left_size` items on the left). The
// left failure wins; the right's writes count only when the left range is complete, so adjacent.
[[nodiscard]] PieceOutcome combine(PieceOutcome left, PieceOutcome right,
                                   std::size_t left_size) noexcept;

// The map's result from the root outcome: its failure, or "expected {n} total writes, but got
// {count}" when the writes do not cover [0, n).
[[nodiscard]] std::optional<InternalFailure> map_failure(PieceOutcome root, std::size_t n);

// Whether parallel_map(items, f, sequential_below) of n items runs on the calling thread: below
// the cutoff, or from a thread that is no worker when the pool has one worker. With one worker a
// hand-off gains nothing: the caller would wait while the worker computes, and the worker would
// fetch the items and the output from the caller's cache (measured from Python: 94 against 70 ns
// per uniform-disk point).
[[nodiscard]] bool maps_on_calling_thread(const Pool& pool, std::size_t n,
                                          std::size_t sequential_below) noexcept;

// The pool of a nested map (the current worker's), else the process-wide pool.
[[nodiscard]] std::expected<Pool*, InternalFailure> pool_for_map();

namespace detail {

template <class Item, class F, class R> struct MapRun {
    Pool& pool;
    std::span<const Item> items;
    F& f;
    R* out;
    std::size_t workers;

    PieceOutcome piece(std::size_t a, std::size_t b, std::size_t budget, bool migrated) noexcept {
        const std::size_t m = b - a;
        if (m / 2 >= 1 && split_budget(budget, migrated, workers)) {
            const std::size_t mid = a + m / 2;
            PieceOutcome left, right;
            auto run_left = [&](bool moved) { left = piece(a, mid, budget, moved); };
            auto run_right = [&](bool moved) { right = piece(mid, b, budget, moved); };
            pool.join(run_left, run_right);
            return combine(std::move(left), std::move(right), mid - a);
        }
        return run_items(a, b);
    }

    PieceOutcome run_items(std::size_t a, std::size_t b) noexcept {
        using Raw = std::remove_cvref_t<std::invoke_result_t<F&, const Item&>>;
        std::size_t i = a;
        try {
            for (; i < b; ++i) {
                if constexpr (std::is_same_v<Raw, R>) {
                    out[i] = f(items[i]);
                } else {
                    auto r = f(items[i]);
                    if (!r) {
                        return {i - a, std::move(r.error())};
                    }
                    out[i] = std::move(*r);
                }
            }
        } catch (const std::exception& e) { // e.g. std::bad_alloc building a row
            return {i - a, InternalFailure{e.what()}};
        }
        return {b - a, std::nullopt};
    }
};

} // namespace detail

// The map on a given pool.
template <class Item, class F>
[[nodiscard]] std::expected<std::vector<map_value_t<Item, F>>, InternalFailure>
parallel_map(Pool& pool, std::span<const Item> items, F&& f) {
    using R = map_value_t<Item, F>;
    static_assert(!std::is_same_v<R, bool>, "std::vector<bool> slots cannot be written at once");
    std::vector<R> out(items.size());
    detail::MapRun<Item, std::remove_reference_t<F>, R> run{pool, items, f, out.data(),
                                                            pool.worker_count()};
    if (auto failure = map_failure(run.piece(0, items.size(), run.workers, false), items.size())) {
        return std::unexpected(std::move(*failure));
    }
    return out;
}

// The map on the calling thread: the items in index order, up to the first failing one, with the
// results and the failure the pool's map gives.
template <class Item, class F>
[[nodiscard]] std::expected<std::vector<map_value_t<Item, F>>, InternalFailure>
sequential_map(Pool& pool, std::span<const Item> items, F&& f) {
    using R = map_value_t<Item, F>;
    std::vector<R> out(items.size());
    detail::MapRun<Item, std::remove_reference_t<F>, R> run{pool, items, f, out.data(), 1};
    if (auto failure = map_failure(run.run_items(0, items.size()), items.size())) {
        return std::unexpected(std::move(*failure));
    }
    return out;
}

// The map on the current worker's pool (nested map) or the process-wide pool, created on first
// use even for an empty input. A map of fewer than `sequential_below` items, or any map of a
// thread that is no worker when the pool has one worker, runs on the calling thread instead:
// handing work to a sleeping worker and being woken at its end costs tens of microseconds (about 90
// us per call on the 2-core build machine), more than a short map gains. The caller sizes the
// cutoff from its items' cost (sequential_below_for); the results are the same doubles either way.
template <class Item, class F>
[[nodiscard]] std::expected<std::vector<map_value_t<Item, F>>, InternalFailure>
parallel_map(std::span<const Item> items, F&& f, std::size_t sequential_below = 2) {
    const auto pool = pool_for_map();
    if (!pool) {
        return std::unexpected(pool.error());
    }
    if (maps_on_calling_thread(**pool, items.size(), sequential_below)) {
        return sequential_map(**pool, items, std::forward<F>(f));
    }
    return parallel_map(**pool, items, std::forward<F>(f));
}

// The items from which a map is worth handing to the pool when each costs about `item_seconds`:
// 0.4 ms of work (measured from Python with two workers: uniform-disk maps gain from about 6000
// points, 0.3 ms of kernel work; and at least 2 items).
[[nodiscard]] constexpr std::size_t sequential_below_for(double item_seconds) noexcept {
    constexpr double kWorthAMap = 4e-4;
    const double items = kWorthAMap / item_seconds;
    if (!(items >= 2.0)) {
        return 2;
    }
    return items > 0x1p50 ? std::size_t{1} << 50 : static_cast<std::size_t>(items);
}

} // namespace finitemu::parallel
