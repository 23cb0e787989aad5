// Magnification of a uniform circular source by a point lens (Witt & Mao 1994, ApJ 430, 505,
// eq. 9), lengths in Einstein radii: separation u of the source centre, source radius rho,
//
//   A = (1/pi) [ (u + rho) s / (2 rho^2) E(m) - (u - rho)(8 + u^2 - rho^2) / (2 s rho^2) K(m)
//                + 2 (u - rho)^2 (1 + rho^2) / (s rho^2 (u + rho)) Pi(n, m) ],
//
//   n = 4 u rho / (u + rho)^2,   s = sqrt(4 + (u - rho)^2),   m = 4 n / s^2   (m = k^2),
//
// with K, E, Pi the complete elliptic integrals of numeric/elliptic.hpp. At u = rho (n = 1) the
// Pi term vanishes and A = [ (1 + rho^2)/rho^2 (asin((rho^2 - 1)/(1 + rho^2)) + pi/2) + 2/rho ] /
// pi. A rho <= 0 is a point source, A0(u) = (u^2 + 2) / (u sqrt(u^2 + 4)).
//
// Returns the magnification, or quiet NaN when an elliptic integral fails (NaN arguments,
// u = +inf); it never reports an error otherwise.
#pragma once

#include "numeric/elliptic.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace finitemu::kernels {

namespace detail {

// Half-width of the band about u = rho inside which the closed form, whose 1 - n and 1 - m are
// formed by subtraction, is replaced by its value at u = rho: 0.1 % of the source radius, at
// least 1e-5 Einstein radii.
constexpr double kEdgeBandRelative = 0.001;
constexpr double kEdgeBandFloor = 0.00001;

// The limit of the closed form at u = rho.
inline double witt_mao_on_edge(double rho) noexcept {
    const double rho2 = rho * rho;
    const double c = (1.0 + rho2) / rho2;
    const double a = std::asin((rho2 - 1.0) / (1.0 + rho2));
    return ((a + std::numbers::pi / 2) * c + 2.0 / rho) / std::numbers::pi;
}

} // namespace detail

[[nodiscard]] inline double witt_mao_magnification_scaled(double u, double rho) noexcept {
    if (rho <= 0.0) {
        return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
    }
    const double relative = detail::kEdgeBandRelative * std::abs(rho);
    const double band = std::isnan(relative) || relative < detail::kEdgeBandFloor
                            ? detail::kEdgeBandFloor
                            : relative;
    if (band > std::abs(u - rho)) {
        return detail::witt_mao_on_edge(rho);
    }

    const double n = (4.0 * rho * u) / ((rho + u) * (rho + u));
    const double s = std::sqrt((u - rho) * (u - rho) + 4.0);
    const double k = std::sqrt(4.0 * n) / s;
    const double m = k * k;

    const auto e = numeric::ellipe(m);
    if (!e) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const auto kk = numeric::ellipk(m);
    if (!kk) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const auto p = numeric::ellippi(n, m);
    if (!p) {
        return std::numeric_limits<double>::quiet_NaN();
    }

    const double rho2 = rho * rho;
    const double term_e = *e * (s * (rho + u) / (2.0 * rho2));
    const double term_k = *kk * ((u - rho) * ((u * u - rho2) * 0.5 + 4.0) / (s * rho2));
    const double term_p =
        *p * (2.0 * ((u - rho) * (u - rho)) * (1.0 + rho2) / (s * (rho2 * (rho + u))));
    return (term_p + (term_e - term_k)) / std::numbers::pi;
}

} // namespace finitemu::kernels
