// Mean magnification of a thin uniform ring by a point lens (Heyrovsky 2003, ApJ 594, 464):
// the average of A0(D) = (D^2 + 2) / (D sqrt(D^2 + 4)) over a ring of radius r whose centre lies
// at separation l from the lens, l and r in source radii, R = re / rstar the Einstein radius in
// source radii, d = r - l:
//
//   A = 2 (2 R^2 K(m) + d^2 Pi(n, m)) / (pi (l + r) sqrt(4 R^2 + d^2)),
//   n = 4 l r / (l + r)^2,   m = 16 R^2 l r / ((l + r)^2 (4 R^2 + d^2))   (m = k^2).
//
// For finite l, r >= 0 and d != 0 the numerator is one general complete integral of Bulirsch
// (numeric/bulirsch_cel.hpp), linear in its weights:
//
//   2 R^2 K + d^2 Pi = cel(kc, 1 - n, 2 R^2 + d^2, 2 R^2 (1 - n) + d^2),   kc = sqrt(1 - m),
//   1 - n = (d / (l + r))^2,   1 - m = d^2 (4 R^2 + (l + r)^2) / ((l + r)^2 (4 R^2 + d^2)),
//
// the complementary quantities exact to rounding (formed from n and m they would lose about
// eps / (1 - n) relatively near the ring), and both terms positive: it holds to a few units of
// rounding at every d. Other arguments go through numeric/elliptic.hpp, whose errors are
// reported. The expansion about r = l in d,
//
//   A = (1/2pi) [ (2R/l)(1 - d/(2l)) ln(8 R l / (|d| sqrt(l^2 + R^2))) + 4 atan(l/R)
//                 + R (2 l^2 + R^2) d / (l^2 (l^2 + R^2)) ],
//
// gives the value at the singular point d = 0: +inf for l = r > 0, NaN for l = r = 0.
//
// Returns the mean magnification, or the message of the elliptic integral that failed
// (NaN or infinite R, NaN l or r).
#pragma once

#include "numeric/bulirsch_cel.hpp"
#include "numeric/elliptic.hpp"

#include <algorithm>
#include <cmath>
#include <expected>
#include <limits>
#include <numbers>

namespace finitemu::kernels {

namespace detail {

// Lengths beyond which the ring's mean is 1 to rounding (and their squares would overflow).
inline constexpr double kFarLengths = 1e150;

// A0(u) = (u^2 + 2) / (u sqrt(u^2 + 4)), in a form that neither overflows nor underflows.
inline double point_source(double u) noexcept {
    if (u >= 1.0) {
        const double v = 1.0 / u;
        const double v2 = v * v;
        return (1.0 + 2.0 * v2) / std::sqrt(1.0 + 4.0 * v2);
    }
    return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
}

inline double heyrovsky_logarithmic(double l, double d, double big_r) noexcept {
    const double l2 = l * l;
    const double r2 = big_r * big_r;
    const double a = (1.0 - d / (l + l)) * ((big_r + big_r) / l);
    const double g = std::log((8.0 * big_r * l) / (std::sqrt(l2 + r2) * std::abs(d)));
    const double b = 4.0 * std::atan(l / big_r);
    const double c = ((l2 + l2 + r2) * big_r) / ((l2 + r2) * l2) * d;
    return (g * a + b + c) / (2.0 * std::numbers::pi);
}

// The closed form from n and m through numeric/elliptic.hpp, for the arguments cel is not given.
inline std::expected<double, const char*> heyrovsky_closed_form(double l, double r, double d,
                                                                double big_r) noexcept {
    const double r2 = big_r * big_r;
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

// The closed form as one general complete integral of Bulirsch, for finite l, r >= 0, d != 0 and
// finite R: 2 R^2 K + d^2 Pi = cel(kc, 1 - n, 2 R^2 + d^2, 2 R^2 (1 - n) + d^2), with
// kc = sqrt(1 - m) and 1 - n from the complementary forms above.
inline double heyrovsky_cel(double l, double r, double d, double big_r) noexcept {
    const double r2x2 = 2.0 * (big_r * big_r);
    const double sum = l + r;
    const double ratio = d / sum;
    const double one_minus_n = ratio * ratio;
    const double q = r2x2 * 2.0 + d * d;
    const double kc = std::sqrt(one_minus_n * ((r2x2 * 2.0 + sum * sum) / q));
    const double d2 = d * d;
    const double c = numeric::cel_unchecked(kc, one_minus_n, r2x2 + d2, r2x2 * one_minus_n + d2);
    return c * (4.0 / (sum * std::sqrt(q))) / (2.0 * std::numbers::pi);
}

} // namespace detail

// The same with every length in source radii: l, r and the Einstein radius big_r = re / rstar,
// formed by the caller (once for the many rings of an integral), and d = r - l given: an integral
// over r that ends at r = l knows d there to full precision, where r - l has lost it. (A name
// ending in `_scaled` takes lengths in Einstein radii, as witt_mao_magnification_scaled does.)
[[nodiscard]] inline std::expected<double, const char*>
heyrovsky_magnification_source_radii(double l, double r, double d, double big_r) noexcept {
    if (d == 0.0) {
        // Through the lens: +inf for l = r > 0 (the logarithm's limit, also where l^2 would
        // overflow), NaN for l = r = 0 or a NaN Einstein radius.
        return l > 0.0 && big_r > 0.0 && std::isfinite(big_r)
                   ? std::numeric_limits<double>::infinity()
                   : detail::heyrovsky_logarithmic(l, d, big_r);
    }
    if (l == 0.0 && r > 0.0 && big_r > 0.0 && std::isfinite(r) && std::isfinite(big_r)) {
        // Centred on the lens: every point at u = r / R, A0(u) without overflow or underflow
        // (a subnormal r gives +inf, a huge one 1).
        return detail::point_source(r / big_r);
    }
    if (l >= 0.0 && r >= 0.0 && big_r > 0.0 && std::isfinite(d) &&
        std::max(l, r) > detail::kFarLengths * std::max(big_r, 1.0)) {
        // Every point of the ring more than 1e150 Einstein radii from the lens, or a ring that
        // wide passing it at |d|: the mean differs from 1 by less than R / max(l, r).
        return 1.0;
    }
    if (l >= 0.0 && r >= 0.0 && std::isfinite(d) && std::isfinite(big_r)) {
        const double value = detail::heyrovsky_cel(l, r, d, big_r);
        if (std::isfinite(value)) {
            return value;
        }
        // Overflow or underflow in forming kc and 1 - n: the closed form decides.
    }
    return detail::heyrovsky_closed_form(l, r, d, big_r);
}

[[nodiscard]] inline std::expected<double, const char*>
heyrovsky_magnification_source_radii(double l, double r, double big_r) noexcept {
    return heyrovsky_magnification_source_radii(l, r, r - l, big_r);
}

[[nodiscard]] inline std::expected<double, const char*>
heyrovsky_magnification(double l, double r, double re, double rstar) noexcept {
    return heyrovsky_magnification_source_radii(l, r, re / rstar);
}

} // namespace finitemu::kernels
