// Gauss-Legendre quadrature (Davis & Rabinowitz, Methods of Numerical Integration, 2nd ed.
// (1984), ch. 2): the m-point rule on [a, b],
//
//   int_a^b f(r) dr ~ c sum_i w_i f(d + c x_i),   c = (b - a)/2, d = (a + b)/2,
//
// x_i the roots of the Legendre polynomial P_m and w_i their weights
// (numeric/gauss_legendre_nodes.hpp), exact for polynomials of degree below 2m. For f analytic
// near [a, b] its error is at most (64/15) M rho^-2m / (rho^2 - 1), M the largest |f| inside the
// Bernstein ellipse of parameter rho around [a, b] (Trefethen, Approximation Theory and
// Approximation Practice, Thm 19.3): an integrand whose nearest singularity lies at z needs the
// order that makes rho(z)^-2m small. The same points also give the product rule
// integrate_against for f times a piecewise-linear weight.
#pragma once

#include "numeric/gauss_legendre_nodes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>

namespace finitemu::numeric::quadrature::gauss_legendre {

// The order for relative error `relative` when f is singular at the real point z outside [a, b],
// or 0 when no order of the table suffices. rho is taken as rho(z)^0.9, the ellipse whose
// logarithm is 0.9 of that of the ellipse through z (rho(z) = w + sqrt(w^2 - 1), w the distance
// from the centre to z in half-lengths), inside which f is still bounded by a few times its size
// on [a, b].
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

// The order of the table that interpolation at its points needs for relative error `relative`
// when f is singular at the real point z outside [a, b], or 0 when none suffices. The
// interpolant's error is at most (1 + Lambda_m) 2 M rho^-m / (rho - 1) (Trefethen, ATAP Thm 8.2
// and ch. 15), Lambda_m < 1 + sqrt(m) the Lebesgue constant of the Legendre points, rho as in
// order_for: half the exponent of the quadrature's error, so about twice its order.
[[nodiscard]] inline int interpolation_order_for(double a, double b, double z,
                                                 double relative) noexcept {
    const double half = 0.5 * (b - a);
    const double w = std::abs(z - 0.5 * (a + b)) / half;
    if (!(w > 1.0)) {
        return 0;
    }
    const double log_rho = 0.9 * std::log(w + std::sqrt(w * w - 1.0));
    const double log_target = std::log(relative * std::expm1(log_rho) / 2.0);
    for (std::size_t k = 0; k < detail::kOrderCount; ++k) {
        const double m = detail::kGaussOrders[k];
        if (std::log(2.0 + std::sqrt(m)) - m * log_rho <= log_target) {
            return detail::kGaussOrders[k];
        }
    }
    return 0;
}

namespace detail {
// The Legendre recurrence P_k+1 = ((2k + 1) x P_k - k P_k-1)/(k + 1) and 1/(2k + 1), as
// multipliers, for k up to 65: the product rule runs it once per break and order.
struct LegendreSteps {
    std::array<double, 66> times_x;     // (2k + 1)/(k + 1)
    std::array<double, 66> times_back;  // k/(k + 1)
    std::array<double, 66> inverse_odd; // 1/(2k + 1)
};
inline constexpr LegendreSteps kLegendreSteps = [] {
    LegendreSteps steps{};
    for (std::size_t k = 0; k < 66; ++k) {
        const double kk = static_cast<double>(k);
        steps.times_x[k] = (2.0 * kk + 1.0) / (kk + 1.0);
        steps.times_back[k] = kk / (kk + 1.0);
        steps.inverse_odd[k] = 1.0 / (2.0 * kk + 1.0);
    }
    return steps;
}();

// U_k(x) = int_x^1 P_k and V_k(x) = int_x^1 U_k for k < m, from the Legendre recurrence:
// U_0 = 1 - x, U_k = (P_k-1 - P_k+1)/(2k + 1); V_0 = (1 - x)^2/2, V_k = (U_k-1 - U_k+1)/(2k + 1).
template <std::size_t N>
void integrals_to_one(double x, std::size_t m, std::array<double, N>& u,
                      std::array<double, N>& v) noexcept {
    double p_previous = 1.0; // P_k-1
    double p_current = x;    // P_k
    u[0] = 1.0 - x;
    v[0] = 0.5 * u[0] * u[0];
    double u_before = u[0]; // U_k-2 .. U_k-1 as k advances
    double u_last = 0.0;
    for (std::size_t k = 1; k <= m; ++k) {
        const double p_next =
            kLegendreSteps.times_x[k] * x * p_current - kLegendreSteps.times_back[k] * p_previous;
        // U_k from P_k-1 and P_k+1; V_k-1 from U_k-2 and U_k (k >= 2).
        const double u_k = (p_previous - p_next) * kLegendreSteps.inverse_odd[k];
        if (k < m) {
            u[k] = u_k;
        }
        if (k >= 2) {
            v[k - 1] = (u_before - u_k) * kLegendreSteps.inverse_odd[k - 1];
        }
        u_before = k >= 2 ? u_last : u_before;
        u_last = u_k;
        p_previous = p_current;
        p_current = p_next;
    }
}

inline std::size_t order_index(int order) noexcept {
    std::size_t k = 0;
    while (k + 1 < kOrderCount && kGaussOrders[k] != order) {
        ++k;
    }
    return k;
}
} // namespace detail

// A line of a piecewise-linear weight through (at, value): w(r) = value + slope (r - at), `at`
// on its piece, so that w keeps the digits of its values however steep the line.
struct Line {
    double slope;
    double at;
    double value;
    double operator()(double r) const noexcept { return value + slope * (r - at); }
};

// Product integration: int_a^b w(r) f(r) dr for f analytic near [a, b] and w linear between
// `breaks` (ascending, inside (a, b)), line(i) on the i-th piece (i from 0 to breaks.size()),
// kinks and jumps allowed. f is sampled at the m Gauss-Legendre points and
// replaced by its interpolant p = sum_k a_k P_k (discrete orthogonality, exact for k < m); w p is
// then integrated exactly piece by piece, each piece's line about its midpoint, from
// U_k(x) = int_x^1 P_k and V_k(x) = int_x^1 U_k at the breaks (detail::integrals_to_one): the sum
// has no terms larger than the pieces' own, however rough the weight.
// The error is that of the interpolant (interpolation_order_for); with no breaks the result is
// the m-point rule's on w f. One break's terms cost O(m), so many nodes add no samples of f.
template <class F, class Lines>
double integrate_against(F&& f, double a, double b, int order, std::span<const double> breaks,
                         const Lines& line) noexcept {
    constexpr std::size_t kMaxOrder = 64;
    const std::size_t index = detail::order_index(order);
    const std::size_t m = static_cast<std::size_t>(detail::kGaussOrders[index]);
    const double c = 0.5 * (b - a);
    const double d = 0.5 * (a + b);
    // a_k (without their factor (2k + 1)/2) = sum_j w_j f(x_j) P_k(x_j), the nodes in pairs +-x:
    // P_k(-x) = (-1)^k P_k(x).
    std::array<double, kMaxOrder> coefficient{};
    const std::size_t first = detail::kOrderOffset[index];
    for (std::size_t i = first; i < first + m / 2; ++i) {
        const detail::Node node = detail::kNodes[i];
        const double right = node.weight * f(d + c * node.abscissa);
        const double left = node.weight * f(d - c * node.abscissa);
        const double even = right + left;
        const double odd = right - left;
        double previous = 1.0;
        double current = node.abscissa;
        coefficient[0] += even;
        coefficient[1] += odd * current;
        for (std::size_t k = 1; k + 1 < m; ++k) {
            const double next = detail::kLegendreSteps.times_x[k] * node.abscissa * current -
                                detail::kLegendreSteps.times_back[k] * previous;
            coefficient[k + 1] += ((k + 1) % 2 == 0 ? even : odd) * next;
            previous = current;
            current = next;
        }
    }
    // int_-1^1 w P_k for k < m, w in x = (r - d) / c, piece by piece from U_k and V_k at the
    // piece's ends (P_k(+-1) = (+-1)^k gives U_k and V_k at x = +-1 too).
    std::array<double, kMaxOrder> moment{};
    std::array<std::array<double, kMaxOrder>, 2> u{}; // at the piece's ends, alternately
    std::array<std::array<double, kMaxOrder>, 2> v{};
    detail::integrals_to_one(-1.0, m, u[0], v[0]);
    double from = -1.0;
    for (std::size_t i = 0; i <= breaks.size(); ++i) {
        const double to = i == breaks.size() ? 1.0 : std::clamp((breaks[i] - d) / c, -1.0, 1.0);
        const auto& u_from = u[i % 2];
        const auto& v_from = v[i % 2];
        auto& u_to = u[(i + 1) % 2];
        auto& v_to = v[(i + 1) % 2];
        detail::integrals_to_one(to, m, u_to, v_to);
        // w = w_mid + slope (x - mid) on [from, to]; int_from^to (x - mid) P_k =
        // V_k(from) - V_k(to) - (h/2) (U_k(from) + U_k(to)), h = to - from.
        const Line piece = line(i);
        const double mid = 0.5 * (from + to);
        const double w_mid = piece(d + c * mid);
        const double slope = piece.slope * c;
        const double half = 0.5 * (to - from);
        for (std::size_t k = 0; k < m; ++k) {
            moment[k] += w_mid * (u_from[k] - u_to[k]) +
                         slope * ((v_from[k] - v_to[k]) - half * (u_from[k] + u_to[k]));
        }
        from = to;
    }
    double sum = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
        sum += 0.5 * static_cast<double>(2 * k + 1) * coefficient[k] * moment[k];
    }
    return c * sum;
}

// sum_i w_i f(d + c x_i) c over the m-point rule (m one of kGaussOrders).
template <class F> double integrate(F&& f, double a, double b, int order) noexcept {
    const std::size_t k = detail::order_index(order);
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
