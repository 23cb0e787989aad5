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

#include "numeric/gauss_legendre_nodes.hpp"
#include "numeric/log_gauss_nodes.hpp"
#include "numeric/tanh_sinh_nodes.hpp"
#include "numeric/tanh_sinh_thirds_nodes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <span>

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

namespace finitemu::numeric::quadrature::log_gauss {

// Generalized Gaussian rules for an integrand g(s) = a(s) + b(s) ln s on [0, h], a and b analytic
// near [0, h] (a logarithmic singularity at the end s = 0): the N-point rule integrates them
// exactly for polynomials of degree below N (numeric/log_gauss_nodes.hpp), so its error is that
// of approximating a and b, about M rho^-N for a and b analytic inside the Bernstein ellipse
// rho around [0, h] (half the exponent of a Gauss-Legendre rule's, whose N points are exact to
// degree 2N - 1).
//
// The order for relative error `relative` when a or b is singular at the points `singular`
// (complex, in the coordinate s), rho taken at 0.9 of its logarithm as in
// gauss_legendre::order_for; 0 when no order of the table suffices.
[[nodiscard]] inline int order_for(double h, std::span<const std::complex<double>> singular,
                                   double relative) noexcept {
    double log_rho = std::numeric_limits<double>::infinity();
    for (const std::complex<double> z : singular) {
        const std::complex<double> zeta = (z - 0.5 * h) / (0.5 * h);
        std::complex<double> root = std::sqrt(zeta * zeta - 1.0);
        // The branch with |zeta + root| >= 1.
        root = std::abs(zeta + root) >= std::abs(zeta - root) ? root : -root;
        log_rho = std::min(log_rho, 0.9 * std::log(std::abs(zeta + root)));
    }
    if (!(log_rho > 0.0)) {
        return 0;
    }
    const double rho = std::exp(log_rho);
    const double log_target = std::log(relative * (rho * rho - 1.0) * 15.0 / 64.0);
    for (std::size_t k = 0; k < detail::kOrderCount; ++k) {
        if (-static_cast<double>(detail::kLogGaussOrders[k]) * log_rho <= log_target) {
            return detail::kLogGaussOrders[k];
        }
    }
    return 0;
}

// h sum_i w_i g(h x_i), g called with the distance s = h x_i from the singular end.
template <class G> double integrate(G&& g, double h, int order) noexcept {
    std::size_t k = 0;
    while (k + 1 < detail::kOrderCount && detail::kLogGaussOrders[k] != order) {
        ++k;
    }
    const std::size_t first = detail::kOrderOffset[k];
    double sum = 0.0;
    for (std::size_t i = first; i < first + static_cast<std::size_t>(detail::kLogGaussOrders[k]);
         ++i) {
        sum = sum + g(h * detail::kNodes[i].abscissa) * detail::kNodes[i].weight;
    }
    return h * sum;
}

} // namespace finitemu::numeric::quadrature::log_gauss
