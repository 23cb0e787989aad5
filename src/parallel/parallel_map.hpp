// Order-preserving map: result i is written into slot i of an output allocated at full length
// before any item runs. The per-item function returns either a value or
// std::expected<value, InternalFailure>; the map returns every result in item order, or the
// failure of the lowest-indexed failing item.
//
// This is the sequential form of the map; it has the interface the worker pool's parallel map
// keeps, so callers do not change when the pool runs the items.
#pragma once

#include "parallel/internal_failure.hpp"

#include <expected>
#include <span>
#include <type_traits>
#include <vector>

namespace finitemu::parallel {

namespace detail {
template <class T> struct unwrap_expected { using type = T; };
template <class T> struct unwrap_expected<std::expected<T, InternalFailure>> { using type = T; };
} // namespace detail

template <class Item, class F>
using map_value_t = typename detail::unwrap_expected<
    std::remove_cvref_t<std::invoke_result_t<F&, const Item&>>>::type;

template <class Item, class F>
[[nodiscard]] std::expected<std::vector<map_value_t<Item, F>>, InternalFailure>
parallel_map(std::span<const Item> items, F&& f) {
    using R = map_value_t<Item, F>;
    using Raw = std::remove_cvref_t<std::invoke_result_t<F&, const Item&>>;
    std::vector<R> out(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if constexpr (std::is_same_v<Raw, R>) {
            out[i] = f(items[i]);
        } else {
            auto r = f(items[i]);
            if (!r) {
                return std::unexpected(std::move(r.error()));
            }
            out[i] = std::move(*r);
        }
    }
    return out;
}

} // namespace finitemu::parallel
