// Mean of the point-source magnification A(u) = (u^2 + 2) / (u sqrt(u^2 + 4)) over a radially
// symmetric source, by the mean-value expansion:
//
//   M(u) = sum_k T_k m_k,   T_k = (rho^2/4)^k / (k!)^2 Lap^k A(u),
//   m_k  = int_0^1 P(r) r^(2k) r dr / int_0^1 P(r) r dr,
//
// u the separation of the source centre from the lens and rho the source radius (Einstein radii),
// P(r) the surface brightness at r source radii, Lap the Laplacian in the plane. The mean of A
// over a circle of radius b is sum_k (b^2/4)^k / (k!)^2 Lap^k A (Pizzetti's formula in two
// dimensions; Courant & Hilbert, Methods of Mathematical Physics II, ch. IV, sec. 3) and M is its
// mean weighted by P(r) r dr. The series converges for u > rho: the nearest singularity of A is
// the lens (the branch points at u^2 = -4 lie sqrt(u^2 + 4) away). For the uniform disk m_k =
// 1/(k+1) and the first terms are those of kernels/witt_mao.hpp.
//
// The terms are evaluated scaled (tables in mean_value_series_tables.hpp, from
// tools/gen_mean_value_series.py): with t = rho/u, r = u^2/(u^2 + 4), q = 4/(u^2 + 4),
//
//   T_0 = (r + q/2) / sqrt(r),   T_k = t^(2k) q^2 / sqrt(r) sum_j h_kj r^j q^(2k-1-j),
//
// the sum as a polynomial in y = r/q = u^2/4 times q^(2k-1) for u < 2, and in y = q/r = 4/u^2
// times r^(2k-1) for u >= 2, so y <= 1 and nothing overflows or underflows harmfully for any
// u > 0 (u = 1e200 gives T_0 = 1, T_k = 0). The h_kj change sign from k = 4 on (|h_kj| up to
// 6e20 at k = 40), so a term can lose digits of its own, but its rounding error stays below about
// 2k eps G_k t^(2k) relative to M >= 1, G_k = max_r sum_j |h_kj| r^j q^(2k-1-j) = 0.5 (k = 1),
// 21 (k = 12), 674 (k = 24), 1.5e5 (k = 40); for u >= 1.5 rho that is 0.44 eps at k = 1, 0.03 eps
// at k = 12 and 1e-7 eps at k = 40: the sum is as accurate as T_0. Against mpmath quadrature
// (tests/data/far_field_reference.txt: l = u/rho = 1.5 ... 1e4, rho = 1e-4 ... 10, six profiles)
// the series summed to the default tolerance is within 3.5e-16.
//
// Number of terms. For u -> 0 at fixed t the terms tend to m_k a_k t^(2k) A, a_k = (binom(2k,
// k)/4^k)^2 (from Lap^k u^-1 = ((2k-1)!!)^2 u^-(2k+1)), and this limit is the worst case:
// measured with mpmath for rho = 1e-6 ... 100, the relative truncation error after n terms is
// largest at the smallest rho, where it is sum_{k >= n} m_k a_k t^(2k) <= m_n a_n t^(2n) / (1 -
// t^2) (m_k a_k decreasing). Terms n (k = 0 ... n - 1) needed for 1e-15, largest over rho:
//
//   l = u/rho   1.5  1.75  2  2.5  3  4  5  7  10  20  30  50  100  1e3  1e4
//   uniform      34   25  20   16 13 11  9  8   7   5   5   4    4    3    2
//   limb-dark.   33   24  20   16 13 11  9  8   7   5   5   4    4    3    2
//
// (limb-darkened: the fixed law P = 1 - 0.6 (1 - sqrt(1 - r^2))). mean_value_terms_needed gives
// these counts from the bound, one more for the limb-darkened law at l = 1.75 only.
// kMeanValueMinRatio = 1.5: the table's 41 terms reach 1e-15 there with seven to spare.
//
// All routines are noexcept and allocate nothing; the moments live in a fixed-capacity array.
#pragma once

#include "numeric/constants.hpp"
#include "numeric/mean_value_series_tables.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

namespace finitemu::numeric {

// The highest order k of the tables, and the least u/rho the series accepts.
inline constexpr std::size_t kMeanValueMaxOrder = detail::kMeanValueMaxOrder;
inline constexpr double kMeanValueMinRatio = 1.5;
// Default stopping tolerance: the unit roundoff 2^-53.
inline constexpr double kMeanValueTolerance = 0x1p-53;

// m_0 ... m_(count - 1); m_0 = 1 except for a profile without flux, whose moments are NaN.
struct MeanValueMoments {
    std::array<double, kMeanValueMaxOrder + 1> values{};
    std::size_t count = 0;
    std::span<const double> span() const noexcept { return {values.data(), count}; }
};

struct [[nodiscard]] MeanValueResult {
    double value;
    std::size_t terms; // terms summed, k = 0 ... terms - 1
    bool converged;    // two successive terms below the tolerance before the moments ran out
};

namespace detail {

// T_0 = one + rest and T_k = scale z^k poly_k(y) for k >= 1.
struct MeanValueScaling {
    double one;     // 0 (u < 2) or 1 (u >= 2)
    double rest;    // A(u) = (r + q/2) / sqrt(r) (u < 2) or A(u) - 1 (u >= 2)
    double scale;   // q / sqrt(r) (u < 2) or q^2 / r^(3/2) (u >= 2)
    double z;       // (t q)^2 (u < 2) or (t r)^2 (u >= 2)
    double y;       // u^2/4 (u < 2) or 4/u^2 (u >= 2)
    bool ascending; // u < 2: poly_k(y) = sum_j h_kj y^j, else sum_j h_kj y^(2k-1-j)
};

// From s = u^2 below u = 2 (r = s/w, q = 4/w, w = s + 4; 1/sqrt(r) = sqrt(w)/u stays finite when
// s underflows) and from v2 = 4/u^2 above (r = 1/d, q = v2/d, d = 1 + v2; no u^2 to overflow),
// so that 1 - q never cancels. Above 2, A = (1 + v2/2)/sqrt(d) is carried as 1 plus
// A - 1 = (v2^2/4) / (sqrt(d) (1 + v2/2 + sqrt(d))), so that M near 1 takes one rounding.
inline MeanValueScaling mean_value_scaling(double u, double rho) noexcept {
    const double t = rho / u;
    if (u < 2.0) {
        const double s = u * u;
        const double w = s + 4.0;
        const double tq = t * (4.0 / w);
        const double u_sqrt_w = u * std::sqrt(w);
        return {0.0, (s + 2.0) / u_sqrt_w, 4.0 / u_sqrt_w, tq * tq, 0.25 * s, true};
    }
    const double v = 2.0 / u;
    const double v2 = v * v;
    const double d = 1.0 + v2;
    const double sqrt_d = std::sqrt(d);
    const double tr = t / d;
    const double excess = 0.25 * v2 * v2 / (sqrt_d * ((1.0 + 0.5 * v2) + sqrt_d));
    return {1.0, excess, v2 * v2 / sqrt_d, tr * tr, v2, false};
}

// sum_j h_kj y^j (ascending) or sum_j h_kj y^(2k-1-j), k >= 1, by Horner's rule.
inline double mean_value_poly(std::size_t k, double y, bool ascending) noexcept {
    const double* h = kMeanValueCoefficients + k * (k - 1);
    const std::size_t n = 2 * k;
    double acc = 0.0;
    if (ascending) {
        for (std::size_t j = n; j-- > 0;) {
            acc = acc * y + h[j];
        }
    } else {
        for (std::size_t j = 0; j < n; ++j) {
            acc = acc * y + h[j];
        }
    }
    return acc;
}

// a_k = (binom(2k, k) / 4^k)^2 from a_(k-1), k >= 1.
inline double central_binomial_ratio_step(double a, std::size_t k) noexcept {
    const double f = static_cast<double>(2 * k - 1) / static_cast<double>(2 * k);
    return a * f * f;
}

// |m_n| a_n / (1 - t^2) t^(2n), the truncation bound after n terms, as its logarithm; m_n is
// taken as the last moment given when n is past the end (the moments of a non-negative profile
// on [0, 1] decrease).
inline double mean_value_log_bound(std::size_t n, double t2,
                                   std::span<const double> moments) noexcept {
    double a = 1.0;
    for (std::size_t k = 1; k <= n; ++k) {
        a = central_binomial_ratio_step(a, k);
    }
    const double m = std::abs(moments[std::min(n, moments.size() - 1)]);
    return std::log(m * a) + static_cast<double>(n) * std::log(t2) - std::log1p(-t2);
}

// Adds x to the compensated sum (sum, comp) (Neumaier's variant of Kahan summation): the
// moments of a finely tabulated profile add a thousand segments.
inline void compensated_add(double& sum, double& comp, double x) noexcept {
    const double t = sum + x;
    comp += std::abs(sum) >= std::abs(x) ? (sum - t) + x : (x - t) + sum;
    sum = t;
}

} // namespace detail

// T_k = (rho^2/4)^k / (k!)^2 Lap^k A(u) for k = 0 ... min(out.size(), kMeanValueMaxOrder + 1) - 1,
// written to out; returns the number written (0 unless u > 0 and rho >= 0).
inline std::size_t mean_value_terms(double u, double rho, std::span<double> out) noexcept {
    if (!(u > 0.0) || !(rho >= 0.0)) {
        return 0;
    }
    const std::size_t count = std::min(out.size(), kMeanValueMaxOrder + 1);
    const auto c = detail::mean_value_scaling(u, rho);
    double zk = 1.0;
    for (std::size_t k = 0; k < count; ++k) {
        if (k == 0) {
            out[0] = c.one + c.rest;
            continue;
        }
        zk *= c.z;
        out[k] = c.scale * (zk * detail::mean_value_poly(k, c.y, c.ascending));
    }
    return count;
}

// M = sum_k m_k T_k with moments m_0, m_1, ... (m_0 = 1 for a normalised profile), summed until
// two successive terms fall below rel_tol times the sum, or the moments (or the table) run out.
// rho <= 0 is a point source: A(u). NaN with no terms for NaN arguments, no moments, u <= 0, or
// u < kMeanValueMinRatio rho, where the series converges too slowly for the table.
inline MeanValueResult mean_value_series(double u, double rho, std::span<const double> moments,
                                         double rel_tol = kMeanValueTolerance) noexcept {
    if (moments.empty() || !(u > 0.0) || std::isnan(rho)) {
        return {kNaN, 0, false};
    }
    const auto c = detail::mean_value_scaling(u, rho > 0.0 ? rho : 0.0);
    if (rho <= 0.0) {
        return {c.one + c.rest, 1, true};
    }
    if (!(u >= kMeanValueMinRatio * rho)) {
        return {kNaN, 0, false};
    }
    const std::size_t count = std::min(moments.size(), kMeanValueMaxOrder + 1);
    // The terms k >= 1, a correction of at most a few per cent to T_0, summed apart and scaled
    // once; the stop compares them with T_0.
    const double threshold = rel_tol * std::abs(moments[0] * (c.one + c.rest)) / c.scale;
    double correction = 0.0;
    double zk = 1.0;
    std::size_t small = 0;
    std::size_t k = 1;
    for (; k < count && small < 2; ++k) {
        zk *= c.z;
        const double term = (moments[k] * zk) * detail::mean_value_poly(k, c.y, c.ascending);
        correction += term;
        small = std::abs(term) <= threshold ? small + 1 : 0;
    }
    return {moments[0] * c.one + (moments[0] * c.rest + c.scale * correction), k, small >= 2};
}

// The number of terms n (k = 0 ... n - 1) that brings the truncation error of the series below
// rel_tol relative at u = l rho, from the bound above (with the given moments, e.g. those of
// uniform_disk_moments or limb_darkening_moments); 0 when l <= 1, for NaN arguments or when no
// n <= moments.size() suffices.
[[nodiscard]] inline std::size_t mean_value_terms_needed(double l, double rel_tol,
                                                         std::span<const double> moments) noexcept {
    if (moments.empty() || !(l > 1.0) || !(rel_tol > 0.0)) {
        return 0;
    }
    // The bound m_n a_n t^2n / (1 - t^2) built up term by term, with no logarithm: this runs
    // once per separation.
    const double t2 = (1.0 / l) * (1.0 / l);
    const double limit = rel_tol * (1.0 - t2);
    double bound = 1.0; // a_n t^2n
    for (std::size_t n = 1; n <= moments.size(); ++n) {
        bound = detail::central_binomial_ratio_step(bound, n) * t2;
        const double m = std::abs(moments[std::min(n, moments.size() - 1)]);
        if (m * bound <= limit) {
            return n;
        }
    }
    return 0;
}

// The least l = u/rho at which `terms` terms bring the truncation error below rel_tol (the
// inverse of mean_value_terms_needed); +inf when terms is 0 or the moments are empty or NaN.
[[nodiscard]] inline double mean_value_min_ratio(std::size_t terms, double rel_tol,
                                                 std::span<const double> moments) noexcept {
    const double inf = std::numeric_limits<double>::infinity();
    if (terms == 0 || moments.empty() || !(rel_tol > 0.0)) {
        return inf;
    }
    const double log_tol = std::log(rel_tol);
    // The bound rises with x = t^2 from -inf at 0 to +inf at 1: bisect for x.
    double lo = 0.0;
    double hi = 1.0;
    for (int i = 0; i < 64; ++i) {
        const double mid = 0.5 * (lo + hi);
        const double b = detail::mean_value_log_bound(terms, mid, moments);
        if (std::isnan(b)) {
            return inf;
        }
        (b <= log_tol ? lo : hi) = mid;
    }
    return lo > 0.0 ? 1.0 / std::sqrt(lo) : inf;
}

// Moments of the uniform disk, P = 1: m_k = 1/(k+1), k = 0 ... max_order (at most
// kMeanValueMaxOrder).
inline MeanValueMoments uniform_disk_moments(std::size_t max_order = kMeanValueMaxOrder) noexcept {
    MeanValueMoments m;
    m.count = std::min(max_order, kMeanValueMaxOrder) + 1;
    for (std::size_t k = 0; k < m.count; ++k) {
        m.values[k] = 1.0 / static_cast<double>(k + 1);
    }
    return m;
}

// Moments of the linear limb-darkening law P = 1 - 0.6 (1 - sqrt(1 - r^2)):
//   m_k = [0.4/(k+1) + 0.6 B_k] / 0.8,   B_k = Gamma(k+1) Gamma(3/2) / Gamma(k+5/2),
// from B_0 = 2/3, B_k = B_(k-1) k / (k + 3/2): products and sums of positive numbers only,
// within 2.3e-16 of mpmath for every k <= 40.
inline MeanValueMoments
limb_darkening_moments(std::size_t max_order = kMeanValueMaxOrder) noexcept {
    MeanValueMoments m;
    m.count = std::min(max_order, kMeanValueMaxOrder) + 1;
    double beta = 2.0 / 3.0;
    m.values[0] = 1.0;
    for (std::size_t k = 1; k < m.count; ++k) {
        const double kd = static_cast<double>(k);
        beta *= kd / (kd + 1.5);
        m.values[k] = 0.5 / (kd + 1.0) + 0.75 * beta;
    }
    return m;
}

// Moments of a piecewise-linear profile: P linear between the nodes (bl_j, bf_j), j < n =
// min(len bl, len bf), bl ascending, 0 outside [bl_0, bl_(n-1)], only [0, 1] counted (segments
// clipped, their ends interpolated). On a segment [a, b], 0 <= a < b <= 1, h = b - a, with
// P(r) = (f_a (b - r) + f_b (r - a)) / h,
//
//   int_a^b P(r) r^(N-1) dr = h / (N (N+1)) (f_a U_N + f_b V_N),
//   D_1 = 1, D_(N+1) = b^N + a D_N   (D_N = (b^N - a^N)/h),
//   U_N = D_N + a U_(N-1),  V_N = D_N + b V_(N-1),  U_0 = V_0 = 0,
//
// (U_N = sum_i a^i D_(N-i), V_N = sum_i b^(N-1-i) D_(i+1)): sums of positive numbers, each
// value within about 2N eps. Moment k takes N = 2k + 2. The direct form alpha (b^N - a^N)/N +
// beta (b^(N+1) - a^(N+1))/(N+1) cancels on short segments: 1e-10 lost on one of width 5e-4.
// Measured against exact rationals for k <= 40: within 6.1e-16 on the test maps, among them
// 1000 segments of width 1e-3 (2e-16; the segments are summed with compensation) and a single
// one of width 5e-4 (4.5e-16). A profile that changes sign can cancel between segments. NaN
// moments when the flux int_0^1 P r dr is 0.
inline MeanValueMoments
piecewise_linear_moments(std::span<const double> bl, std::span<const double> bf,
                         std::size_t max_order = kMeanValueMaxOrder) noexcept {
    MeanValueMoments m;
    m.count = std::min(max_order, kMeanValueMaxOrder) + 1;
    const std::size_t n = std::min(bl.size(), bf.size());
    const std::size_t last_n = 2 * m.count; // N = 2k + 2 for k = count - 1
    std::array<double, kMeanValueMaxOrder + 1> comp{};
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double x0 = bl[i];
        const double x1 = bl[i + 1];
        const double a = std::max(x0, 0.0);
        const double b = std::min(x1, 1.0);
        if (!(a < b)) {
            continue;
        }
        const double width = x1 - x0;
        const double fa = a == x0 ? bf[i] : (bf[i] * (x1 - a) + bf[i + 1] * (a - x0)) / width;
        const double fb = b == x1 ? bf[i + 1] : (bf[i] * (x1 - b) + bf[i + 1] * (b - x0)) / width;
        const double h = b - a;
        double d = 1.0;  // D_N
        double bn = 1.0; // b^(N-1)
        double un = 0.0; // U_N
        double vn = 0.0; // V_N
        for (std::size_t big_n = 1; big_n <= last_n; ++big_n) {
            if (big_n > 1) {
                bn *= b;
                d = bn + a * d;
            }
            un = d + a * un;
            vn = d + b * vn;
            if (big_n % 2 == 0) {
                const double nd = static_cast<double>(big_n);
                detail::compensated_add(m.values[big_n / 2 - 1], comp[big_n / 2 - 1],
                                        h / (nd * (nd + 1.0)) * (fa * un + fb * vn));
            }
        }
    }
    const double flux = m.values[0] + comp[0];
    for (std::size_t k = 0; k < m.count; ++k) {
        m.values[k] = (m.values[k] + comp[k]) / flux;
    }
    return m;
}

// Moments of a set of thin rings of radii bl_j and weights bf_j (j < min(len bl, len bf)):
// the weighted mean over the rings of the circle means, m_k = sum_j bf_j bl_j^(2k) / sum_j bf_j.
// M is then the weighted mean magnification (times sum_j bf_j for the plain weighted sum). The
// series converges for u > rho max_j |bl_j|: for rings outside the unit radius the ratio that
// decides the number of terms is l / max_j |bl_j|. NaN moments when sum_j bf_j = 0.
inline MeanValueMoments discrete_ring_moments(std::span<const double> bl,
                                              std::span<const double> bf,
                                              std::size_t max_order = kMeanValueMaxOrder) noexcept {
    MeanValueMoments m;
    m.count = std::min(max_order, kMeanValueMaxOrder) + 1;
    const std::size_t n = std::min(bl.size(), bf.size());
    std::array<double, kMeanValueMaxOrder + 1> comp{};
    for (std::size_t j = 0; j < n; ++j) {
        const double b2 = bl[j] * bl[j];
        double weight = bf[j];
        for (std::size_t k = 0; k < m.count; ++k) {
            detail::compensated_add(m.values[k], comp[k], weight);
            weight *= b2;
        }
    }
    const double total = m.values[0] + comp[0];
    for (std::size_t k = 0; k < m.count; ++k) {
        m.values[k] = (m.values[k] + comp[k]) / total;
    }
    return m;
}

} // namespace finitemu::numeric
