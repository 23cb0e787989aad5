// Bulirsch's general complete elliptic integral (Bulirsch 1969, Numer. Math. 13, 305;
// DLMF 19.2.11),
//
//   cel(kc, p, a, b) = int_0^(pi/2) (a cos^2 t + b sin^2 t) dt
//                                   / ((cos^2 t + p sin^2 t) sqrt(cos^2 t + kc^2 sin^2 t)),
//
// evaluated for p > 0 by Bulirsch's Gauss-type transformation, which carries the arithmetic-
// geometric mean of (1, kc) and converges quadratically. It is linear in (a, b), so one
// evaluation gives any combination of the complete integrals of the first and third kinds with
// the same kc and p = 1 - n:
//
//   cel(kc, 1, 1, 1) = K(m),   cel(kc, p, 1, 1) = Pi(n, m),
//   cel(kc, p, g - b, g - b p) = g Pi(n, m) - b K(m),       m = 1 - kc^2.
//
// The loop stops when the AGM pair (g, kc) agrees to kCelTolerance relatively; the error left is
// of order kCelTolerance^2, below the rounding of the result; for 1e-308 < kc < 1e150 (above,
// kc times the running mean overflows) that takes at most 13 steps. A NaN or infinite kc, which
// never converges, gives NaN after kCelMaxSteps. kc > 0 and p > 0 are the caller's to ensure.
#pragma once

#include "numeric/constants.hpp"

#include <cmath>
#include <numbers>

namespace finitemu::numeric {

namespace detail {
// sqrt(eps) / 2: two further steps past this agreement would not change the double.
inline constexpr double kCelTolerance = 0x1p-27;
inline constexpr int kCelMaxSteps = 40;
} // namespace detail

[[nodiscard]] inline double cel_unchecked(double kc, double p, double a, double b) noexcept {
    double e = kc;
    double em = 1.0;
    p = std::sqrt(p);
    b /= p;
    for (int step = 0;; ++step) {
        if (step == detail::kCelMaxSteps) {
            return kNaN;
        }
        const double inv_p = 1.0 / p;
        const double f = a;
        a += b * inv_p;
        const double g = e * inv_p;
        b = 2.0 * (b + f * g);
        p += g;
        const double previous = em;
        em += kc;
        if (std::fabs(previous - kc) <= previous * detail::kCelTolerance) {
            break;
        }
        kc = 2.0 * std::sqrt(e);
        e = kc * em;
    }
    return (std::numbers::pi / 2.0) * (b + a * em) / (em * (em + p));
}

} // namespace finitemu::numeric
