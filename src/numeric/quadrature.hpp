// Tanh-sinh (double-exponential) quadrature of Takahasi & Mori, Publ. RIMS 9 (1974) 721-741:
//
//   int_a^b f(y) dy = c int_-inf^inf f(d + c x(t)) x'(t) dt,   x(t) = tanh((pi/2) sinh t),
//   c = (b - a)/2, d = (a + b)/2,
//
// by the trapezoid rule in t, truncated at |t| <= 3 and refined by halving the step from 1 to 1/64
// (seven levels, 385 samples at most). After each level from the third on, with D the change of the
// estimate and D' the previous change: q = ln D / ln D' near 2 means quadratic convergence and the
// error is taken as D^2, otherwise as D; the refinement stops when it falls below target/(4c).
//
// Never fails: a NaN or infinite sample counts as 0, and the result carries the estimate, its error
// estimate and the number of samples. The integrand is never evaluated at a or b.
#pragma once

#include "numeric/tanh_sinh_nodes.hpp"

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

// Example: integrate([](double y) { return std::sin(y); }, 0.0, std::numbers::pi, 1e-10).value
template <class F> QuadratureResult integrate(F&& f, double a, double b, double target) noexcept {
    const double c = 0.5 * (b - a);
    const double d = 0.5 * (a + b);
    const auto phi = [&](double x) noexcept {
        const double y = f(d + c * x);
        return std::isfinite(y) ? y : 0.0;
    };
    const double tau = 0.25 * target / c;

    // The centre term with twice the level-0 step: pi = 2 * (pi/2) * x'(0).
    double estimate = std::numbers::pi * phi(0.0);
    std::uint32_t evaluations = 1;
    double change = std::numeric_limits<double>::max();
    double error = std::numeric_limits<double>::max();

    for (std::size_t level = 0; level < detail::kLevels; ++level) {
        const std::size_t first = detail::kLevelOffset[level];
        const std::size_t count = detail::kLevelSize[level];
        double sum = 0.0;
        for (std::size_t k = first; k < first + count; ++k) {
            const detail::Node node = detail::kNodes[k];
            const double right = phi(node.abscissa);
            const double left = phi(-node.abscissa);
            sum = sum + (left + right) * node.weight;
        }
        evaluations += static_cast<std::uint32_t>(2 * count);

        // The weights carry their level's step, so halving the step is I/2 + S.
        const double previous_change = change;
        const double delta = 0.5 * estimate - sum;
        change = std::abs(delta);
        estimate = 0.5 * estimate + sum;

        if (evaluations < 14) { // levels 0 and 1: too few samples for a ratio of changes
            continue;
        }
        if (delta == 0.0) {
            error = 0.0;
            break;
        }
        const double q = std::log(change) / std::log(previous_change);
        error = (q > 1.9 && q < 2.1) ? delta * delta : change;
        if (error < tau) {
            break;
        }
    }
    return {c * estimate, c * error, evaluations};
}

} // namespace finitemu::numeric::quadrature::double_exponential
