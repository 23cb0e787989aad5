// Mean magnification of a thin uniform ring by a point lens (Heyrovsky 2003, ApJ 594, 464):
// the average of A0(D) = (D^2 + 2) / (D sqrt(D^2 + 4)) over a ring of radius r whose centre lies
// at separation l from the lens, l and r in source radii, R = re / rstar the Einstein radius in
// source radii, d = r - l:
//
//   A = 2 (2 R^2 K(m) + d^2 Pi(n, m)) / (pi (l + r) sqrt(4 R^2 + d^2)),
//   n = 4 l r / (l + r)^2,   m = 16 R^2 l r / ((l + r)^2 (4 R^2 + d^2))   (m = k^2).
//
// Where the ring nearly passes over the lens (n -> 1) the expansion about r = l in d is used:
//
//   A = (1/2pi) [ (2R/l)(1 - d/(2l)) ln(8 R l / (|d| sqrt(l^2 + R^2))) + 4 atan(l/R)
//                 + R (2 l^2 + R^2) d / (l^2 (l^2 + R^2)) ].
//
// Returns the mean magnification, or the message of the elliptic integral that failed
// (NaN arguments, n rounding to 1). l = r gives +inf; l = r = 0 gives NaN.
#pragma once

#include "numeric/elliptic.hpp"

#include <algorithm>
#include <cmath>
#include <expected>
#include <numbers>

namespace finitemu::kernels {

namespace detail {

// The logarithmic expansion is taken about l and holds for |d| << l: it replaces the closed form
// within 1e-5 source radii of r = l, relative to l below one source radius.
constexpr double kRingBand = 0.00001;

inline double heyrovsky_logarithmic(double l, double d, double big_r) noexcept {
    const double l2 = l * l;
    const double r2 = big_r * big_r;
    const double a = (1.0 - d / (l + l)) * ((big_r + big_r) / l);
    const double g = std::log((8.0 * big_r * l) / (std::sqrt(l2 + r2) * std::abs(d)));
    const double b = 4.0 * std::atan(l / big_r);
    const double c = ((l2 + l2 + r2) * big_r) / ((l2 + r2) * l2) * d;
    return (g * a + b + c) / (2.0 * std::numbers::pi);
}

} // namespace detail

[[nodiscard]] inline std::expected<double, const char*>
heyrovsky_magnification(double l, double r, double re, double rstar) noexcept {
    const double big_r = re / rstar;
    const double r2 = big_r * big_r;
    const double d = r - l;
    if (d == 0.0 || std::abs(d) < detail::kRingBand * std::min(1.0, l)) {
        return detail::heyrovsky_logarithmic(l, d, big_r);
    }

    const double sum = l + r;
    const double q = r2 * 4.0 + d * d;
    const double k = std::sqrt((l * r) / q) * ((4.0 * big_r) / sum);
    const double m = k * k;
    const auto kk = numeric::ellipk(m);
    if (!kk) {
        return std::unexpected(kk.error());
    }
    const double n = ((4.0 * l) * r) / (sum * sum);
    const auto p = numeric::ellippi(n, m);
    if (!p) {
        return std::unexpected(p.error());
    }
    return ((r2 + r2) * *kk + (d * d) * *p) * (4.0 / (sum * std::sqrt(q))) /
           (2.0 * std::numbers::pi);
}

} // namespace finitemu::kernels
