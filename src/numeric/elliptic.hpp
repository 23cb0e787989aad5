// Complete elliptic integrals in Legendre form, parameter m = k^2 (DLMF 19.2(ii)):
//
//   K(m)    = int_0^(pi/2) dtheta / sqrt(1 - m sin^2 theta)
//   E(m)    = int_0^(pi/2) sqrt(1 - m sin^2 theta) dtheta
//   Pi(n,m) = int_0^(pi/2) dtheta / ((1 - n sin^2 theta) sqrt(1 - m sin^2 theta))
//             (Cauchy principal value for n > 1)
//
// K and E: on 0 <= m < 0.9 (and -0.05 < m < 0, which truncation of 20 m sends to the first
// interval) a Taylor polynomial about the centre of the interval trunc(20 m) (tables in
// elliptic_taylor_tables.hpp); elsewhere the arithmetic-geometric mean, K = pi / (2 AGM(1, k'))
// and E from the AGM's running sum (DLMF 19.8(i)); E of negative m through
// E(m) = sqrt(1 - m) E(m / (m - 1)) (DLMF 19.7(ii)).
// Pi: reduced to Carlson's integrals, Pi(n, m) = R_F(0, 1-m, 1) + (n/3) R_J(0, 1-m, 1, 1-n)
// (DLMF 19.25(i)), with the changes of characteristic of DLMF 19.7(iii) for n < 0 and n > 1.
//
// Each function returns the value or an error holding one of the fixed messages below (a pointer
// to a string literal). m = 1 is a value (K(1) = +inf, E(1) = 1, Pi(n, 1) = +inf for n < 1).
//
// Usage:
//   if (const auto k = finitemu::numeric::ellipk(m)) use(*k); else report(k.error());
#pragma once

#include "numeric/carlson.hpp"
#include "numeric/elliptic_taylor_tables.hpp"

#include <cmath>
#include <cstdint>
#include <expected>
#include <limits>
#include <numbers>

namespace finitemu::numeric {

using EllipticResult = std::expected<double, const char*>;

namespace detail {

inline constexpr double kInfinity = std::numeric_limits<double>::infinity();
inline constexpr double kEps = 0x1p-52;
inline constexpr double kOneMinusEps = 1.0 - kEps;
inline constexpr double kOnePlusEps = 1.0 + kEps;
// Bounds of the int64 conversion of t = 20 m: outside [-2^63, 2^63) it would be undefined.
inline constexpr double kTruncationLow = -0x1p63;
inline constexpr double kTruncationHigh = 0x1p63;
inline constexpr std::int64_t kLastTaylorInterval = 17; // 20 m < 18, m < 0.9
// The largest finite double divided by 100: below it Pi(n, m) underflows to 0.
inline constexpr double kPiUnderflowArgument = -1.7976931348623156e306;

// Row of the Taylor tables for interval i = trunc(20 m), 0 <= i <= 17: intervals of width 0.1
// for m < 0.8, of width 0.05 above, where the derivatives grow towards the singularity at 1.
inline constexpr int kTaylorRowOfInterval[kLastTaylorInterval + 1] = {0, 0, 1, 1, 2, 2, 3, 3, 4,
                                                                      4, 5, 5, 6, 6, 7, 7, 8, 9};

// sum_{j=0}^{Degree} c[j] x^j by Horner's rule from the highest coefficient.
template <int Degree>
inline double horner(const double (&c)[kTaylorMaxDegree + 1], double x) noexcept {
    double p = c[Degree];
    for (int j = Degree - 1; j >= 0; --j) {
        p = p * x + c[j];
    }
    return p;
}

// The Taylor polynomial of row `row` of `table`, with the degrees `degree`, at m.
template <const double (&table)[kTaylorRows][kTaylorMaxDegree + 1],
          const int (&degree)[kTaylorRows]>
inline double taylor(int row, double m) noexcept {
    switch (row) {
    case 0:
        return horner<degree[0]>(table[0], m - kTaylorCentre[0]);
    case 1:
        return horner<degree[1]>(table[1], m - kTaylorCentre[1]);
    case 2:
        return horner<degree[2]>(table[2], m - kTaylorCentre[2]);
    case 3:
        return horner<degree[3]>(table[3], m - kTaylorCentre[3]);
    case 4:
        return horner<degree[4]>(table[4], m - kTaylorCentre[4]);
    case 5:
        return horner<degree[5]>(table[5], m - kTaylorCentre[5]);
    case 6:
        return horner<degree[6]>(table[6], m - kTaylorCentre[6]);
    case 7:
        return horner<degree[7]>(table[7], m - kTaylorCentre[7]);
    case 8:
        return horner<degree[8]>(table[8], m - kTaylorCentre[8]);
    default:
        return horner<degree[9]>(table[9], m - kTaylorCentre[9]);
    }
}

} // namespace detail

inline EllipticResult ellipk(double m) noexcept {
    using namespace detail;
    const double t = 20.0 * m;
    if (std::isnan(t) || t < kTruncationLow || t >= kTruncationHigh) {
        if (std::isnan(m)) {
            return std::unexpected("ellipk: Arguments cannot be NAN.");
        }
        if (m == -kInfinity) {
            return 0.0;
        }
        if (m > 1.0) {
            return std::unexpected("ellipk: m must not be greater than 1.");
        }
        return std::unexpected("ellipk: Unexpected error.");
    }
    const auto interval = static_cast<std::int64_t>(t);
    if (0 <= interval && interval <= kLastTaylorInterval) {
        return taylor<kEllipkTaylor, kEllipkTaylorDegree>(kTaylorRowOfInterval[interval], m);
    }
    if (m >= 1.0) {
        if (m == 1.0) {
            return kInfinity;
        }
        return std::unexpected("ellipk: m must not be greater than 1.");
    }
    // m <= -0.05 or 0.9 <= m < 1: K = pi / (2 AGM(1, sqrt(1 - m))). Ten steps take the pair to
    // within rounding for 1 - m down to about 1e-16; the pair reached is used without a further
    // test.
    double a = 1.0;
    double g = std::sqrt(1.0 - m);
    for (int step = 0; step < 10; ++step) {
        if (std::fabs(a - g) < kAgmTolerance * std::fabs(a)) {
            break;
        }
        const double mean = (a + g) / 2.0;
        g = std::sqrt(a * g);
        a = mean;
    }
    return std::numbers::pi / (a + g);
}

inline EllipticResult ellipe(double m) noexcept {
    using namespace detail;
    // E(m) = sqrt(1 - m) E(m / (m - 1)) maps m < 0 into (0, 1].
    double scale = 1.0;
    double mt = m;
    if (m < 0.0) {
        if (m == -kInfinity) {
            return kInfinity;
        }
        scale = std::sqrt(1.0 - m);
        mt = m / (m - 1.0);
    }
    const double t = 20.0 * mt;
    if (std::isnan(t) || t < kTruncationLow || t >= kTruncationHigh) {
        if (std::isnan(mt)) {
            return std::unexpected("ellipe: Arguments cannot be NAN.");
        }
        return std::unexpected("ellipe: m must not be greater than 1.");
    }
    const auto interval = static_cast<std::int64_t>(t);
    if (0 <= interval && interval <= kLastTaylorInterval) {
        return scale *
               taylor<kEllipeTaylor, kEllipeTaylorDegree>(kTaylorRowOfInterval[interval], mt);
    }
    if (mt == 1.0) {
        return scale;
    }
    if (mt > 1.0) {
        return std::unexpected("ellipe: m must not be greater than 1.");
    }
    // 0.9 <= mt < 1: E = (a_1^2 - sum_n 2^(n-1) c_n^2) pi / (2 AGM), with a_1 = (1 + k')/2 and
    // c_n the half-differences of the AGM of (1, k') (DLMF 19.8(i)). From k' <= sqrt(0.1) the AGM
    // converges quadratically, so the loop needs no step limit.
    double x = 1.0;
    double y = std::sqrt(1.0 - mt);
    const double x_start = x;
    const double y_start = y;
    double sum = 0.0;
    double w = 0.25;
    while (std::fabs(x - y) >= kAgmTolerance * std::fabs(x)) {
        const double mean = (x + y) / 2.0;
        y = std::sqrt(x * y);
        x = mean;
        w *= 2.0;
        sum += w * (x - y) * (x - y);
    }
    const double half_sum = (x_start + y_start) / 2.0;
    return scale * ((half_sum * half_sum - sum) * std::numbers::pi / (x + y));
}

inline EllipticResult ellippi(double n, double m) noexcept {
    using namespace detail;
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    if (n > kOneMinusEps) {
        if (n > kOnePlusEps) {
            // Principal value, Pi(n, m) = K(m) - Pi(m/n, m) (DLMF 19.7(iii)) =
            // -(m / (3n)) R_J(0, 1 - m, 1, 1 - m/n). Neither n nor m is tested here.
            return (-0.3333333333333333 * m / n) *
                   elliprj_unchecked(0.0, 1.0 - m, 1.0, 1.0 - m / n);
        }
        if (n > 1.0) {
            // Limit of the principal value for n -> 1+: K(m) - E(m) / (1 - m).
            const EllipticResult k = ellipk(m);
            if (!k) {
                return k;
            }
            const EllipticResult e = ellipe(m);
            if (!e) {
                return e;
            }
            return *k - *e / (1.0 - m);
        }
        if (n == 1.0) {
            return std::unexpected("ellippi: n cannot be 1.");
        }
        return kInfinity; // n = 1 - eps/2
    }

    // Errors of ellipk and ellipe become NaN here and are answered by the final check.
    double h;
    if (n <= 0.0) {
        if (1.0 - m < kEps) {
            h = -kInfinity;
        } else if (n == 0.0) {
            if (m == 0.0) {
                h = std::numbers::pi / 2.0;
            } else {
                const EllipticResult k = ellipk(m);
                h = k ? *k : kNaN;
            }
        } else if (m == n) {
            // Pi(m, m) = E(m) / (1 - m) (DLMF 19.6(i)); the transformation below would divide
            // by m - n = 0.
            const EllipticResult e = ellipe(m);
            h = (1.0 / (1.0 - m)) * (e ? *e : kNaN);
        } else {
            // n < 0: DLMF 19.7(iii) maps n to (m - n)/(1 - n) in (m, 1), written with Carlson's
            // integrals so that no second Pi is needed.
            const double rf = elliprf_unchecked(0.0, 1.0 - m, 1.0);
            const double rj = elliprj_unchecked(0.0, 1.0 - m, 1.0, (1.0 - m) / (1.0 - n));
            const double t = (-n) * (rf + ((m - n) / (1.0 - n)) * rj / 3.0) / (1.0 - n);
            const EllipticResult k = ellipk(m);
            const double kv = k ? *k : kNaN;
            h = (1.0 - m) * t / (m - n) + m * kv / (m - n);
        }
    } else if (m == n) {
        // Pi(m, m) = E(m) / (1 - m) (DLMF 19.6(i)).
        const EllipticResult e = ellipe(m);
        h = (1.0 / (1.0 - m)) * (e ? *e : kNaN);
    } else {
        // 0 < n <= 1 - eps, or n NaN.
        h = elliprf_unchecked(0.0, 1.0 - m, 1.0) +
            n * elliprj_unchecked(0.0, 1.0 - m, 1.0, 1.0 - n) / 3.0;
    }

    if (std::isfinite(h)) {
        return h;
    }
    if (std::isnan(n) || std::isnan(m)) {
        return std::unexpected("ellippi: Arguments cannot be NAN.");
    }
    if (m > kOneMinusEps) {
        if (m > 1.0) {
            return std::unexpected("ellippi: m must not be greater than 1.");
        }
        return kInfinity; // the sign of 1 - n, positive on these paths
    }
    if (n < kPiUnderflowArgument || m < kPiUnderflowArgument) {
        return 0.0;
    }
    return std::unexpected("ellippi: Unexpected error.");
}

} // namespace finitemu::numeric
