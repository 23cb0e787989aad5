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
//  - far from the source, the mean-value expansion of A0 over the disk,
//      A = sum_k (rho^2/4)^k / (k! (k+1)!) lap^k A0(u)
//        = A0 + rho^2/8 lap A0 + rho^4/192 lap^2 A0 + rho^6/9216 lap^3 A0 + O((rho/u)^8),
//      lap A0   = 32 (x + 1) / (u^3 w^(5/2)),
//      lap^2 A0 = 384 (3x^3 + 6x^2 + 14x + 12) / (u^5 w^(9/2)),
//      lap^3 A0 = 36864 (2x^5 + 2x^4 + 22x^3 + 57x^2 + 82x + 50) / (u^7 w^(13/2)),
//    x = u^2, w = x + 4; there the closed form's three terms, each of order (u/rho)^2 A, cancel.
// A rho <= 0 is a point source, A0(u) = (u^2 + 2) / (u sqrt(u^2 + 4)).
//
// Returns the magnification, or quiet NaN for NaN arguments, u = +inf or a failed elliptic
// integral; it never reports an error otherwise.
#pragma once

#include "numeric/bulirsch_cel.hpp"
#include "numeric/elliptic.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace finitemu::kernels {

namespace detail {

// Switch-overs, in units of rho, measured against mpmath quadrature (tools/gen_kernel_reference.py)
// for rho = 1e-4 ... 10.
// |u - rho| < 0.1 rho: E from kc, within 7.2e-16 at every |u - rho| / rho from 1e-12 to 0.1
// measured. E from m (and formerly every term from n and m) is within 5e-14 at 0.1 rho, 3e-13 at
// 0.03 rho, 1e-11 at 0.003 rho (error about eps rho^2 / (u - rho)^2); E(m) costs about a fifth of
// the cel that replaces it.
constexpr double kNearLimb = 0.1;
// u > 25 rho: expansion. Truncated after rho^6 it is in error by about 0.015 (rho/u)^8: 6e-13
// at u = 20 rho, 1e-13 at 25 rho, 2e-14 at 30 rho; the closed form loses about eps (u/rho)^2,
// 1e-13 at 25 rho and 2e-13 at 30 rho.
constexpr double kFar = 25.0;

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
            return std::numeric_limits<double>::quiet_NaN();
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

// Mean-value expansion for u >> rho, with z = (rho/u)^2, g = 1/w, r = x/w = x g:
//   A = (r + 2g + g (T1 + T2 + T3)) / sqrt(r),
//   T1 = 4 z g (r + g),
//   T2 = 2 z^2 g (3r^3 + 6r^2 g + 14 r g^2 + 12 g^3),
//   T3 = 4 z^3 g (2r^5 + 2r^4 g + 22 r^3 g^2 + 57 r^2 g^3 + 82 r g^4 + 50 g^5),
// the terms above divided by powers of w so that nothing overflows for large u.
inline double witt_mao_multipole(double u, double rho) noexcept {
    const double x = u * u;
    const double g = 1.0 / (x + 4.0);
    const double r = x * g;
    const double z = (rho / u) * (rho / u);
    const double t1 = 4.0 * (r + g);
    const double t2 = 2.0 * (((3.0 * r + 6.0 * g) * r + 14.0 * g * g) * r + 12.0 * g * g * g);
    const double g2 = g * g;
    const double t3 =
        4.0 *
        (((((2.0 * r + 2.0 * g) * r + 22.0 * g2) * r + 57.0 * g2 * g) * r + 82.0 * g2 * g2) * r +
         50.0 * g2 * g2 * g);
    const double correction = z * g * (t1 + z * (t2 + z * t3));
    return (r + 2.0 * g + g * correction) / std::sqrt(r);
}

} // namespace detail

[[nodiscard]] inline double witt_mao_magnification_scaled(double u, double rho) noexcept {
    if (rho <= 0.0) {
        return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
    }
    if (u == rho) {
        return detail::witt_mao_on_limb(rho);
    }
    if (std::abs(u - rho) < detail::kNearLimb * rho) {
        return detail::witt_mao_closed_form<true>(u, rho);
    }
    if (u > detail::kFar * rho) {
        return detail::witt_mao_multipole(u, rho);
    }
    return detail::witt_mao_closed_form<false>(u, rho);
}

} // namespace finitemu::kernels
