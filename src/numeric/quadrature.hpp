// Tanh-sinh (double-exponential) quadrature of Takahasi & Mori, Publ. RIMS 9 (1974) 721-741:
//
//   int_a^b f(y) dy = c int_-inf^inf f(d + c x(t)) x'(t) dt,   x(t) = tanh((pi/2) sinh t),
//   c = (b - a)/2, d = (a + b)/2,
//
// by the trapezoid rule in t, truncated at |t| <= 3 (or 3.5 at an end that asks for it) and
// refined by halving the step from 1 to 1/64 (seven levels, 385 samples at most on |t| <= 3). After
// each level from the third on, with D the change of the estimate and D' the previous change: q =
// ln D / ln D' near 2 means quadratic convergence and the error is taken as D^2, otherwise as D;
// the refinement stops when it falls below target/(4c).
//
// Never fails: a NaN or infinite sample counts as 0, and the result carries the estimate, its error
// estimate and the number of samples. The integrand is never evaluated at a or b.
#pragma once

#include "numeric/gauss_legendre_nodes.hpp"
#include "numeric/tanh_sinh_nodes.hpp"

#include <algorithm>
#include <cmath>
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

// Which ends of [a, b] get the rule's tail beyond t = 3 (to t = 3.5): an end where the
// integrand is singular, whose part beyond t = 3 (4e-14 of the half-interval) would otherwise be
// lost. A bounded end needs none.
struct Tails {
    bool at_a = false;
    bool at_b = false;
};

namespace detail {

// The levels of the rule on [a, b] (c = (b - a)/2) with phi(x, complement) the integrand at the
// abscissa x in (-1, 1) and complement = 1 - |x|, with the tails asked for. From the third level
// on, error(estimate, D, D') estimates the error of the unscaled sum from its last two changes D
// and D', and the refinement
// stops when that is below tolerance(estimate) or the levels run out. A NaN or infinite sample
// counts as 0.
template <class Phi, class Error, class Tolerance>
QuadratureResult run_levels(const Phi& phi, double c, const Error& level_error,
                            const Tolerance& tolerance, Tails tails = {}) noexcept {
    const auto finite = [](double y) noexcept { return std::isfinite(y) ? y : 0.0; };
    // The centre term with twice the level-0 step: pi = 2 * (pi/2) * x'(0).
    double estimate = std::numbers::pi * finite(phi(0.0, 1.0));
    std::uint32_t evaluations = 1;
    double change = std::numeric_limits<double>::max();
    double error = std::numeric_limits<double>::max();

    for (std::size_t level = 0; level < kLevels; ++level) {
        const std::size_t first = kLevelOffset[level];
        const std::size_t both = first + kLevelSizeToThree[level];
        double sum = 0.0;
        for (std::size_t k = first; k < both; ++k) {
            const Node node = kNodes[k];
            const double right = finite(phi(node.abscissa, node.complement));
            const double left = finite(phi(-node.abscissa, node.complement));
            sum = sum + (left + right) * node.weight;
        }
        const std::size_t tail_end = first + kLevelSize[level];
        for (std::size_t k = both; k < tail_end; ++k) {
            const Node node = kNodes[k];
            if (tails.at_b) {
                sum = sum + finite(phi(node.abscissa, node.complement)) * node.weight;
            }
            if (tails.at_a) {
                sum = sum + finite(phi(-node.abscissa, node.complement)) * node.weight;
            }
        }
        const std::size_t tail_count = tail_end - both;
        evaluations += static_cast<std::uint32_t>(
            2 * (both - first) + (tails.at_a ? tail_count : 0) + (tails.at_b ? tail_count : 0));

        // The weights carry their level's step, so halving the step is I/2 + S.
        const double previous_change = change;
        const double delta = 0.5 * estimate - sum;
        change = std::abs(delta);
        estimate = 0.5 * estimate + sum;

        if (level < 2) { // too few samples for a ratio of changes
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
    return detail::run_levels([&](double x, double) noexcept { return f(d + c * x); }, c,
                              level_error, [tau](double) noexcept { return tau; });
}

// The same rule with f called on a Sample, stopping at a relative error: when the estimated error
// falls below max(relative |I|, absolute), I the integral. A target relative to the value, unlike
// an absolute one, means the same for any unit of the integrand and stops as soon as further
// levels could only add rounding. The error is estimated as in Bailey's tanh-sinh codes (Bailey,
// Jeyabalan & Li, Exp. Math. 14 (2005) 317): with the relative changes d = D/|I| and d' = D'/|I|,
// the rule converges as d^(ln d / ln d'), and at least quadratically, so the error is
// d^min(ln d / ln d', 2) |I|.
template <class F>
QuadratureResult integrate_relative(F&& f, double a, double b, double relative, double absolute,
                                    Tails tails = {}) noexcept {
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
    return detail::run_levels(
        phi, c, level_error,
        [relative, floor](double estimate) noexcept {
            return std::max(relative * std::abs(estimate), floor);
        },
        tails);
}

} // namespace finitemu::numeric::quadrature::double_exponential

namespace finitemu::numeric::quadrature::gauss_legendre {

// The m-point Gauss-Legendre rule on [a, b] for f analytic near [a, b]. Its error is at most
// (64/15) M rho^-2m / (rho^2 - 1), M the largest |f| inside the Bernstein ellipse of parameter
// rho around [a, b] (Trefethen, Approximation Theory and Approximation Practice, Thm 19.3): an
// integrand whose nearest singularity lies at z needs the order that makes rho(z)^-2m small.
//
// The order for relative error `relative` when f is singular at the real point z outside [a, b]
// (rho taken at 0.8 of the way to z, where f is still bounded by a few times its size on
// [a, b]), or 0 when no order of the table suffices.
[[nodiscard]] inline int order_for(double a, double b, double z, double relative) noexcept {
    const double half = 0.5 * (b - a);
    const double w = std::abs(z - 0.5 * (a + b)) / half; // > 1 outside [a, b]
    if (!(w > 1.0)) {
        return 0;
    }
    const double rho = std::pow(w + std::sqrt(w * w - 1.0), 0.9);
    const double needed =
        std::log(64.0 / 15.0 / ((rho * rho - 1.0) * relative)) / (2.0 * std::log(rho));
    for (std::size_t k = 0; k < detail::kOrderCount; ++k) {
        if (detail::kGaussOrders[k] >= needed) {
            return detail::kGaussOrders[k];
        }
    }
    return 0;
}

// sum_i w_i f(d + c x_i) c over the m-point rule (m one of kGaussOrders).
template <class F> double integrate(F&& f, double a, double b, int order) noexcept {
    std::size_t k = 0;
    while (k + 1 < detail::kOrderCount && detail::kGaussOrders[k] != order) {
        ++k;
    }
    const double c = 0.5 * (b - a);
    const double d = 0.5 * (a + b);
    const std::size_t first = detail::kOrderOffset[k];
    const std::size_t count = static_cast<std::size_t>(detail::kGaussOrders[k]) / 2;
    double sum = 0.0;
    for (std::size_t i = first; i < first + count; ++i) {
        const detail::Node node = detail::kNodes[i];
        sum = sum + (f(d - c * node.abscissa) + f(d + c * node.abscissa)) * node.weight;
    }
    return c * sum;
}

} // namespace finitemu::numeric::quadrature::gauss_legendre
