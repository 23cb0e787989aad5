// Order-preserving parallel map on the worker pool: result i is written into slot i of an output
// allocated at full length before any item runs. The per-item function returns either a value or
// Result<value> (error.hpp); the map returns every result in item order, or the error of the
// lowest-indexed failing item, once every thread working on the map has finished.
//
// The map is shared (Pool::share): the calling thread and up to W - 1 workers take runs of
// consecutive items from a common counter, each run a fraction of what is left (guided
// self-scheduling, Polychronopoulos & Kuck, IEEE Trans. Comput. 36 (1987) 1425), so the runs
// shrink towards the end and every thread finishes within about one small run of the others. The
// caller computes from the start, whether or not a worker is awake yet. A run stops at its first
// failing item; a run that would begin beyond a known failure is skipped.
//
// Which maps are worth the pool at all is decided by the caller (maps_on_calling_thread,
// sequential_below_for; the routines' rule is routines/map.hpp).
#pragma once

#include "error.hpp"
#include "parallel/caller_chore.hpp"
#include "parallel/interruption.hpp"
#include "parallel/pool.hpp"
#include "parallel/spare_buffers.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <expected>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace finitemu::parallel {

namespace detail {
template <class T> struct unwrap_expected { using type = T; };
template <class T> struct unwrap_expected<Result<T>> { using type = T; };
} // namespace detail

template <class Item, class F>
using map_value_t = typename detail::unwrap_expected<
    std::remove_cvref_t<std::invoke_result_t<F&, const Item&>>>::type;

// What a run of items hands back: how many slots it wrote from its start, and the failure that
// stopped it.
struct PieceOutcome {
    std::size_t written = 0;
    std::optional<Error> failure;
};

// Whether a map of n items is better run on the calling thread (sequential_map): below the
// cutoff, or when the pool has one worker. With one worker a hand-off gains nothing: the caller
// would wait while the worker computes, and the worker would fetch the items and the output from
// the caller's cache, which makes each item slower (docs/parallelism.md).
[[nodiscard]] bool maps_on_calling_thread(const Pool& pool, std::size_t n,
                                          std::size_t sequential_below) noexcept;

// The fewest items a thread takes at once from a shared map whose items cost about
// `item_seconds`: some 5 us of work, so that the counter's atomic step (about 0.1 us when threads
// contend for it) stays near 2 % and the last runs end within microseconds of each other.
[[nodiscard]] constexpr std::size_t items_per_take(double item_seconds) noexcept {
    constexpr double kRunSeconds = 5e-6;
    constexpr double kMost = 4096.0;
    const double items = kRunSeconds / item_seconds;
    if (!(items >= 1.0)) {
        return 1;
    }
    return static_cast<std::size_t>(std::min(items, kMost));
}

namespace detail {

// The output of a map of n items, all value-initialised; doubles in a spare buffer of this
// thread's when it has one (parallel/spare_buffers.hpp).
template <class R> std::vector<R> map_output(std::size_t n) {
    if constexpr (std::is_same_v<R, double>) {
        std::vector<double> out = reuse_buffer(n);
        out.resize(n);
        return out;
    } else {
        return std::vector<R>(n);
    }
}

// Items between two polls of an interruption on the calling thread. A poll reads the clock: every
// 64 items that costs under 1 % of the cheapest item, a uniform-disk kernel (docs/parallelism.md).
inline constexpr std::size_t kItemsPerPoll = 64;

// Items [a, b) in index order, each result into its slot, up to the first failing item, or the
// first not begun once `stop` is requested.
template <class Item, class F, class R>
PieceOutcome run_items(std::span<const Item> items, F& f, R* out, std::size_t a, std::size_t b,
                       const Interruption* stop) noexcept {
    using Raw = std::remove_cvref_t<std::invoke_result_t<F&, const Item&>>;
    std::size_t i = a;
    try {
        for (; i < b; ++i) {
            if (stop != nullptr && stop->stop_requested()) {
                return {i - a, Error::of(ErrorKind::interrupted)};
            }
            if constexpr (std::is_same_v<Raw, R>) {
                out[i] = f(items[i]);
            } else {
                auto r = f(items[i]);
                if (!r) {
                    return {i - a, r.error()};
                }
                out[i] = std::move(*r);
            }
        }
    } catch (const std::bad_alloc&) { // building a row
        return {i - a, Error::of(ErrorKind::out_of_memory)};
    } catch (...) {
        return {i - a, Error::of(ErrorKind::item_exception)};
    }
    return {b - a, std::nullopt};
}

// A map shared between the calling thread and the workers that help it (see the top).
template <class Item, class F, class R> struct SharedRun {
    std::span<const Item> items;
    F& f;
    R* out;
    Interruption* interruption;
    std::size_t participants;
    std::size_t smallest; // fewest items taken at once

    // relaxed throughout: the counters only hand out disjoint ranges and tally them; the writes
    // into `out` reach the caller through the pool's latch (Pool::share).
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> written{0};
    std::atomic<std::size_t> failed_at{std::numeric_limits<std::size_t>::max()};
    std::mutex failure_mutex{};
    // The failure of the lowest failing index, under failure_mutex; meaningful once failed_at is
    // set (an optional here draws a false maybe-uninitialized from g++ 12).
    Error failure = Error::of(ErrorKind::incomplete_map);

    // The next run [a, b): half of what is left per participant, at least `smallest` items.
    bool take(std::size_t& a, std::size_t& b) noexcept {
        const std::size_t n = items.size();
        std::size_t start = next.load(std::memory_order_relaxed);
        do {
            if (start >= n) {
                return false;
            }
            const std::size_t size = std::max(smallest, (n - start) / (2 * participants));
            b = start + std::min(size, n - start);
        } while (!next.compare_exchange_weak(start, b, std::memory_order_relaxed));
        a = start;
        return true;
    }

    void record(std::size_t index, Error error) {
        std::lock_guard lock(failure_mutex);
        if (index < failed_at.load(std::memory_order_relaxed)) {
            failed_at.store(index, std::memory_order_relaxed);
            failure = error;
        }
    }

    // One participant's part: runs until no items are left. On the calling thread (`helper`
    // false) the interruption is polled every kItemsPerPoll items; a poll may throw.
    void work(bool helper) {
        const bool polls = !helper && interruption != nullptr;
        std::size_t a = 0;
        std::size_t b = 0;
        while (take(a, b)) {
            for (std::size_t start = a; start < b;) {
                if (start > failed_at.load(std::memory_order_relaxed)) {
                    break;
                }
                const std::size_t end = polls ? std::min(b, start + kItemsPerPoll) : b;
                const PieceOutcome done = run_items(items, f, out, start, end, interruption);
                written.fetch_add(done.written, std::memory_order_relaxed);
                if (done.failure) {
                    record(start + done.written, *done.failure);
                    break;
                }
                start = end;
                if (polls && interruption->poll()) {
                    record(end, Error::of(ErrorKind::interrupted));
                    return;
                }
            }
        }
    }
};

} // namespace detail

// The map on a given pool. Example:
//     std::vector<double> u = {0.5, 1.0, 2.0};
//     auto a = parallel_map(**global_pool(), std::span<const double>(u),
//                           [](double x) { return x * x; });
//     // a: Result<std::vector<double>> holding {0.25, 1.0, 4.0}
//
// The map is shared with the pool, the calling thread polling the interruption, when there is
// one, while it computes and while it waits. `item_seconds`, the estimated cost of an item (0:
// unknown, one item), sets the fewest items taken at once (items_per_take).
template <class Item, class F>
[[nodiscard]] Result<std::vector<map_value_t<Item, F>>>
parallel_map(Pool& pool, std::span<const Item> items, F&& f, Interruption* interruption = nullptr,
             double item_seconds = 0.0) {
    using R = map_value_t<Item, F>;
    static_assert(!std::is_same_v<R, bool>, "std::vector<bool> slots cannot be written at once");
    const std::size_t n = items.size();
    std::vector<R> out = detail::map_output<R>(n);
    // W threads compute: the caller and W - 1 workers, no more helpers than runs.
    const bool known = item_seconds > 0.0;
    const std::size_t smallest = known ? items_per_take(item_seconds) : 1;
    const std::size_t helpers = std::min(pool.worker_count() - 1, n / smallest / 2);
    detail::SharedRun<Item, std::remove_reference_t<F>, R> run{
        items, f, out.data(), interruption, helpers + 1, smallest};
    auto work = [&run](bool helper) { run.work(helper); };
    auto poll = [interruption](bool) {
        if (interruption != nullptr) {
            static_cast<void>(interruption->poll());
        }
    };
    if (helpers == 0) {
        work(false);
    } else {
        // The caller's chore first (caller_chore.hpp), while the helpers start on the items.
        auto chore_then_work = [&run](bool helper) {
            if (CallerChore* chore = current_chore(); chore != nullptr && !helper) {
                chore->run_once();
            }
            run.work(helper);
        };
        pool.share(chore_then_work, helpers, poll, Interruption::kPollPeriod);
    }
    if (run.failed_at.load(std::memory_order_relaxed) != std::numeric_limits<std::size_t>::max()) {
        return std::unexpected(run.failure);
    }
    if (const std::size_t written = run.written.load(std::memory_order_relaxed); written != n) {
        return std::unexpected(Error::of(ErrorKind::incomplete_map, n, written));
    }
    return out;
}

// The map on the calling thread, with no pool: the items in index order, up to the first failing
// one, with the results and the failure the pool's map gives.
// With an interruption, it is polled every kItemsPerPoll items.
template <class Item, class F>
[[nodiscard]] Result<std::vector<map_value_t<Item, F>>>
sequential_map(std::span<const Item> items, F&& f, Interruption* interruption = nullptr) {
    using R = map_value_t<Item, F>;
    const std::size_t n = items.size();
    std::vector<R> out = detail::map_output<R>(n);
    for (std::size_t a = 0; a < n;) {
        const std::size_t b = interruption != nullptr ? std::min(n, a + detail::kItemsPerPoll) : n;
        PieceOutcome run = detail::run_items(items, f, out.data(), a, b, interruption);
        if (run.failure) {
            return std::unexpected(std::move(*run.failure));
        }
        a = b;
        if (interruption != nullptr && a < n && interruption->poll()) {
            return std::unexpected(Error::of(ErrorKind::interrupted));
        }
    }
    return out;
}

// The items from which a map is worth sharing with the pool when each costs about
// `item_seconds`: 0.2 ms of estimated work, and at least 2 items. Measured from Python
// (bench/bench_pool.py): with the workers polling from a previous call the hand-off costs under
// 6 us, and maps gain from 20 us; with them asleep 2 ms before the call, waking one costs the
// caller about 10 us and brings it in 20 to 70 us later, and maps of 0.1 ms came out at 0.83 to
// 1.07 of their one-worker time (medians of the calls, two runs), maps of 0.2 ms at 0.58 to 0.90.
// A lower threshold while a worker polls was tried: maps below 0.2 ms then never wake a sleeping
// worker, so a caller whose maps are all short never gains from it, and on a loaded run maps of
// 40 to 100 us came out 1.1 to 1.2 times slower with two workers.
[[nodiscard]] constexpr std::size_t sequential_below_for(double item_seconds) noexcept {
    constexpr double kWorthAMap = 2e-4;
    const double items = kWorthAMap / item_seconds;
    if (!(items >= 2.0)) {
        return 2;
    }
    return items > 0x1p50 ? std::size_t{1} << 50 : static_cast<std::size_t>(items);
}

} // namespace finitemu::parallel
