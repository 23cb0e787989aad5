// Magnification of a uniform circular source by a point lens (Witt & Mao 1994, ApJ 430, 505,
// eq. 9), lengths in Einstein radii: separation u of the source centre, source radius rho,
//
//   A = (1/pi) [ (u + rho) s / (2 rho^2) E(m) - (u - rho)(8 + u^2 - rho^2) / (2 s rho^2) K(m)
//                + 2 (u - rho)^2 (1 + rho^2) / (s rho^2 (u + rho)) Pi(n, m) ],
//
//   n = 4 u rho / (u + rho)^2,   s = sqrt(4 + (u - rho)^2),   m = 4 n / s^2   (m = k^2),
//
// with K, E, Pi the complete elliptic integrals. At u = rho (n = 1) the Pi term vanishes and
//
//   A = [ (1 + rho^2)/rho^2 (asin((rho^2 - 1)/(1 + rho^2)) + pi/2) + 2/rho ] / pi
//     = [ (1 + rho^2)/rho^2 2 atan(rho) + 2/rho ] / pi.
//
// Evaluations of the same magnification:
//  - the closed form with the K and Pi terms as one general complete integral of Bulirsch
//    (numeric/bulirsch_cel.hpp), which is linear in its weights:
//      g Pi(n, m) - b K(m) = cel(kc, 1 - n, g - b, g - b (1 - n)),   kc = sqrt(1 - m),
//    g and b the coefficients of Pi and K above, with the complementary quantities
//      1 - n = ((u - rho)/(u + rho))^2,
//      1 - m = (u - rho)^2 (4 + (u + rho)^2) / ((u + rho)^2 (4 + (u - rho)^2)),
//    exact to rounding (formed from n and m they lose about eps / (1 - n) relatively); one
//    quadratically convergent loop instead of K and Carlson's R_F and R_J. E is E(m) from
//    numeric/elliptic.hpp, except near the limb, where m has lost 1 - m to rounding and E is
//    cel(kc, 1, 1, kc^2) from the exact kc;
//  - from u = 3 rho on, the mean-value expansion of A0 over the disk,
//      A = sum_k (rho^2/4)^k / (k! (k+1)!) lap^k A0(u)
//    (numeric/mean_value_series.hpp), to as many terms as bring its truncation below 5e-16:
//    13 at u = 3 rho, 7 at 10 rho, 3 at 1000 rho. There the closed form's three terms, each of
//    order (u/rho)^2 A, cancel: it loses about eps (u/rho)^2, 2e-15 at u = 3 rho.
// A rho <= 0 is a point source, A0(u) = (u^2 + 2) / (u sqrt(u^2 + 4)).
//
// Returns the magnification, or quiet NaN for NaN arguments, u = +inf or a failed elliptic
// integral; it never reports an error otherwise.
#pragma once

#include "numeric/bulirsch_cel.hpp"
#include "numeric/constants.hpp"
#include "numeric/elliptic.hpp"
#include "numeric/mean_value_series.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <span>

namespace finitemu::kernels {

namespace detail {

// Switch-overs, in units of rho, measured against mpmath quadrature (tools/gen_kernel_reference.py)
// for rho = 1e-4 ... 10.
// |u - rho| < 0.1 rho: E from kc, within 7.2e-16 at every |u - rho| / rho from 1e-12 to 0.1
// measured. E from m (and formerly every term from n and m) is within 5e-14 at 0.1 rho, 3e-13 at
// 0.03 rho, 1e-11 at 0.003 rho (error about eps rho^2 / (u - rho)^2); E(m) costs about a fifth of
// the cel that replaces it.
constexpr double kNearLimb = 0.1;
// Beyond this source radius (Einstein radii) the magnification is 1 to rounding wherever the
// lens is (its largest excess, on the limb, is 2 / (pi rho)); the closed form would overflow.
constexpr double kHugeSource = 1e20;
// u >= 3 rho: the mean-value series, within 3.5e-16 of mpmath there and beyond (measured
// for rho = 1e-4 ... 10).
constexpr double kSeries = 3.0;
// Its truncation target, below the rounding of the sum.
constexpr double kSeriesTarget = 5e-16;
// The moments of the uniform disk, m_k = 1 / (k + 1).
inline constexpr std::array<double, numeric::kMeanValueMaxOrder + 1> kUniformMoments = [] {
    std::array<double, numeric::kMeanValueMaxOrder + 1> m{};
    for (std::size_t k = 0; k < m.size(); ++k) {
        m[k] = 1.0 / static_cast<double>(k + 1);
    }
    return m;
}();

// The limit at u = rho; asin((rho^2 - 1)/(1 + rho^2)) + pi/2 = 2 atan(rho) without the
// cancellation near rho = 0.
inline double witt_mao_on_limb(double rho) noexcept {
    const double rho2 = rho * rho;
    const double c = (1.0 + rho2) / rho2;
    return (2.0 * std::atan(rho) * c + 2.0 / rho) / std::numbers::pi;
}

// The closed form with the K and Pi terms as one cel. E comes from m by numeric/elliptic.hpp,
// or near the limb as cel(kc, 1, 1, kc^2) from the exact kc: there m, formed from n, has lost
// 1 - m to rounding.
template <bool NearLimb> inline double witt_mao_closed_form(double u, double rho) noexcept {
    const double diff = u - rho;
    const double sum = u + rho;
    const double s2 = diff * diff + 4.0;
    const double s = std::sqrt(s2);
    const double ratio = diff / sum;
    const double one_minus_n = ratio * ratio;
    const double kc = std::sqrt(one_minus_n * ((4.0 + sum * sum) / s2));

    double e;
    if constexpr (NearLimb) {
        e = numeric::cel_unchecked(kc, 1.0, 1.0, kc * kc);
    } else {
        const double n = (4.0 * rho * u) / (sum * sum);
        const auto e_of_m = numeric::ellipe(4.0 * n / s2);
        if (!e_of_m) {
            return numeric::kNaN;
        }
        e = *e_of_m;
    }
    const double rho2 = rho * rho;
    const double coef_e = s * sum / (2.0 * rho2);
    const double coef_k = diff * ((u * u - rho2) * 0.5 + 4.0) / (s * rho2);
    const double coef_p = 2.0 * (diff * diff) * (1.0 + rho2) / (s * (rho2 * sum));
    const double kp =
        numeric::cel_unchecked(kc, one_minus_n, coef_p - coef_k, coef_p - coef_k * one_minus_n);
    return (kp + coef_e * e) / std::numbers::pi;
}

inline double witt_mao_series(double u, double rho) noexcept {
    const std::span<const double> moments(kUniformMoments);
    const std::size_t n = numeric::mean_value_terms_needed(u / rho, kSeriesTarget, moments);
    return numeric::mean_value_series(u, rho, moments.first(n == 0 ? moments.size() : n), 0.0)
        .value;
}

} // namespace detail

[[nodiscard]] inline double witt_mao_magnification_scaled(double u, double rho) noexcept {
    if (rho <= 0.0) {
        return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
    }
    if (u == 0.0) {
        // The lens at the centre: sqrt(rho^2 + 4) / rho, with no square to overflow or underflow.
        return std::hypot(rho, 2.0) / rho;
    }
    if (rho > detail::kHugeSource && u < detail::kSeries * rho) {
        // The lens inside or near a source that wide: A - 1 < 2 / (pi rho), below rounding.
        return 1.0;
    }
    if (u == rho) {
        return detail::witt_mao_on_limb(rho);
    }
    if (std::abs(u - rho) < detail::kNearLimb * rho) {
        return detail::witt_mao_closed_form<true>(u, rho);
    }
    if (u >= detail::kSeries * rho && u < std::numeric_limits<double>::infinity()) {
        return detail::witt_mao_series(u, rho);
    }
    return detail::witt_mao_closed_form<false>(u, rho);
}

} // namespace finitemu::kernels
