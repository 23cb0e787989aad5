// Tanh-sinh (double-exponential) quadrature of Takahasi & Mori, Publ. RIMS 9 (1974) 721-741:
//
//   int_a^b f(y) dy = c int_-inf^inf f(d + c x(t)) x'(t) dt,   x(t) = tanh((pi/2) sinh t),
//   c = (b - a)/2, d = (a + b)/2,
//
// by the trapezoid rule in t, truncated at |t| <= 3 and refined level by level: halving the step
// from 1 to 1/64 (seven levels, 385 samples at most), or (integrate_relative on request) with the
// steps 1, 1/3, 1/6, ..., 1/96 (37 samples at 1/6), each end sampled as far as the integrand there
// needs (t <= 2.75, 3.25 or 3.5). After each level from the third on, with D the
// change of the estimate, D' the previous change and q = ln D / ln D', the error is taken as D^2
// for q near 2, else D (integrate), or as D^min(q, 2) relative to the estimate
// (integrate_relative); the refinement stops when it falls below the target.
//
// Never fails: a NaN or infinite sample counts as 0, and the result carries the estimate, its error
// estimate and the number of samples. The integrand is never evaluated at a or b.
#pragma once

#include "numeric/tanh_sinh_nodes.hpp"
#include "numeric/tanh_sinh_thirds_nodes.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>

namespace finitemu::numeric::quadrature::double_exponential {

struct [[nodiscard]] QuadratureResult {
    double value;
    double error_estimate; // scaled to [a, b] like the value
    std::uint32_t evaluations;
};

// A sample of [a, b]: y = d + c x, and its distances to both ends, y - a and b - y. Beside an end
// the distance is formed as c (1 - |x|) from the node's stored complement, to full precision,
// where d + c x keeps only the digits of the interval's scale: an integrand singular at an end
// (the ring kernel at r = l) then sees the exact distance.
struct Sample {
    double y;
    double from_a;
    double to_b;
};

// How far the rule samples towards an end of [a, b] (integrate_relative). With the steps 1/3,
// 1/6, ...: t <= 2.75 where the integrand vanishes like the distance to the end or faster, t <=
// 3.25 where it is bounded, t <= 3.5 at a logarithmic singularity
// (numeric/tanh_sinh_thirds_nodes.hpp says why). With the halving steps: t <= 3, and 3.5 at a
// logarithmic singularity, whose part beyond t = 3 (4e-14 of the half-interval) would otherwise be
// lost.
enum class End { vanishing, bounded, logarithmic };
struct Ends {
    End a = End::bounded;
    End b = End::bounded;
};

// The steps of integrate_relative. `halving`: 1, 1/2, 1/4, ..., the error estimated from 1/4 on.
// `thirds`: 1, 1/3, 1/6, 1/12, ..., from 1/6 on (37 samples where halving needs 49 to stop at 1/8).
// `thirds_late`: the same steps, the error trusted from 1/12 on, for an integrand with a
// singularity close to [a, b]: its error then falls more slowly than the steps to 1/6 can show
// (h = 1 is dominated by the integrand's bulk, and 1/3 -> 1/6 may fall by D^1.3 where the
// estimate assumes D^2: 3e-12 left where 1e-16 was estimated).
enum class Steps { halving, thirds, thirds_late };

namespace detail {

// The node tables: the step halving from 1 and the steps 1, 1/3, 1/6, ... count(level, end) is how
// many of the level's nodes (ascending in t) the end gets.
struct HalvingSteps {
    static constexpr std::size_t levels = kLevels;
    static constexpr double ratio(std::size_t) noexcept { return 0.5; }
    static constexpr std::size_t offset(std::size_t level) noexcept { return kLevelOffset[level]; }
    static constexpr std::size_t count(std::size_t level, End end) noexcept {
        return end == End::logarithmic ? kLevelSize[level] : kLevelSizeToThree[level];
    }
    static constexpr const Node& node(std::size_t k) noexcept { return kNodes[k]; }
};
struct ThirdSteps {
    static constexpr std::size_t levels = thirds::kLevels;
    static constexpr double ratio(std::size_t level) noexcept { return thirds::kStepRatio[level]; }
    static constexpr std::size_t offset(std::size_t level) noexcept {
        return thirds::kLevelOffset[level];
    }
    static constexpr std::size_t count(std::size_t level, End end) noexcept {
        return thirds::kLevelReach[level][static_cast<std::size_t>(end)];
    }
    static constexpr const Node& node(std::size_t k) noexcept { return thirds::kNodes[k]; }
};

// The levels of the rule on [a, b] (c = (b - a)/2) with phi(x, complement) the integrand at the
// abscissa x in (-1, 1) and complement = 1 - |x|, each end sampled as far as `ends` asks. From
// the third level on, error(estimate, D, D') estimates the error of the unscaled sum from its
// last two changes D and D', and the refinement stops when that is below tolerance(estimate) or
// the levels run out. A NaN or infinite sample counts as 0.
template <class Table, class Phi, class Error, class Tolerance>
QuadratureResult run_levels(const Phi& phi, double c, const Error& level_error,
                            const Tolerance& tolerance, Ends ends = {},
                            std::size_t first_check = 2) noexcept {
    const auto finite = [](double y) noexcept { return std::isfinite(y) ? y : 0.0; };
    // The centre term with twice the level-0 step: pi = 2 * (pi/2) * x'(0).
    double estimate = std::numbers::pi * finite(phi(0.0, 1.0));
    std::uint32_t evaluations = 1;
    double change = std::numeric_limits<double>::max();
    double error = std::numeric_limits<double>::max();

    for (std::size_t level = 0; level < Table::levels; ++level) {
        const std::size_t first = Table::offset(level);
        const std::size_t to_a = first + Table::count(level, ends.a);
        const std::size_t to_b = first + Table::count(level, ends.b);
        const std::size_t both = std::min(to_a, to_b);
        double sum = 0.0;
        for (std::size_t k = first; k < both; ++k) {
            const Node node = Table::node(k);
            const double right = finite(phi(node.abscissa, node.complement));
            const double left = finite(phi(-node.abscissa, node.complement));
            sum = sum + (left + right) * node.weight;
        }
        for (std::size_t k = both; k < to_b; ++k) {
            const Node node = Table::node(k);
            sum = sum + finite(phi(node.abscissa, node.complement)) * node.weight;
        }
        for (std::size_t k = both; k < to_a; ++k) {
            const Node node = Table::node(k);
            sum = sum + finite(phi(-node.abscissa, node.complement)) * node.weight;
        }
        evaluations += static_cast<std::uint32_t>((to_a - first) + (to_b - first));

        // The weights carry their level's step, so refining the step by `ratio` is ratio I + S.
        const double ratio = Table::ratio(level);
        const double previous_change = change;
        const double delta = (1.0 - ratio) * estimate - sum;
        change = std::abs(delta);
        estimate = ratio * estimate + sum;

        if (level < first_check) { // too few samples for a ratio of changes (or asked to wait)
            continue;
        }
        if (delta == 0.0) {
            error = 0.0;
            break;
        }
        error = level_error(estimate, change, previous_change);
        if (error < tolerance(estimate)) {
            break;
        }
    }
    return {c * estimate, c * error, evaluations};
}

} // namespace detail

// Example: integrate([](double y) { return std::sin(y); }, 0.0, std::numbers::pi, 1e-10).value
template <class F> QuadratureResult integrate(F&& f, double a, double b, double target) noexcept {
    const double c = 0.5 * (b - a);
    const double d = 0.5 * (a + b);
    const double tau = 0.25 * target / c;
    // q = ln D / ln D' near 2: quadratic convergence, the error is about D^2.
    const auto level_error = [](double, double change, double previous_change) noexcept {
        const double q = std::log(change) / std::log(previous_change);
        return (q > 1.9 && q < 2.1) ? change * change : change;
    };
    return detail::run_levels<detail::HalvingSteps>(
        [&](double x, double) noexcept { return f(d + c * x); }, c, level_error,
        [tau](double) noexcept { return tau; });
}

// The same rule with f called on a Sample, stopping at a relative error: when the estimated error
// falls below max(relative |I|, absolute), I the integral. A target relative to the value, unlike
// an absolute one, means the same for any unit of the integrand and stops as soon as further
// levels could only add rounding. The error is estimated as in Bailey's tanh-sinh codes (Bailey,
// Jeyabalan & Li, Exp. Math. 14 (2005) 317): with the relative changes d = D/|I| and d' = D'/|I|,
// the rule converges as d^(ln d / ln d'), and at least quadratically, so the error is
// d^min(ln d / ln d', 2) |I|. The ends are sampled as `ends` asks for the steps `steps` (the
// halving steps to t <= 3, or 3.5 at a logarithmic end).
template <class F>
QuadratureResult integrate_relative(F&& f, double a, double b, double relative, double absolute,
                                    Ends ends = {}, Steps steps = Steps::halving) noexcept {
    const double c = 0.5 * (b - a);
    const double d = 0.5 * (a + b);
    const auto phi = [&](double x, double complement) noexcept {
        const double near_end = c * complement;
        const double y = d + c * x;
        return x < 0.0 ? f(Sample{y, near_end, (b - a) - near_end})
                       : f(Sample{y, (b - a) - near_end, near_end});
    };
    const auto level_error = [](double estimate, double change, double previous_change) noexcept {
        const double size = std::abs(estimate);
        const double relative_change = change / size;
        const double q = std::log(relative_change) / std::log(previous_change / size);
        return relative_change < 1.0 && q > 1.0 ? std::pow(relative_change, std::min(q, 2.0)) * size
                                                : change;
    };
    const double floor = absolute / c;
    const auto tolerance = [relative, floor](double estimate) noexcept {
        return std::max(relative * std::abs(estimate), floor);
    };
    if (steps == Steps::halving) {
        return detail::run_levels<detail::HalvingSteps>(phi, c, level_error, tolerance, ends);
    }
    return detail::run_levels<detail::ThirdSteps>(phi, c, level_error, tolerance, ends,
                                                  steps == Steps::thirds ? 2 : 3);
}

} // namespace finitemu::numeric::quadrature::double_exponential
