// Complete elliptic integrals in Legendre form, parameter m = k^2 (DLMF 19.2(ii)):
//
//   K(m)    = int_0^(pi/2) dtheta / sqrt(1 - m sin^2 theta)
//   E(m)    = int_0^(pi/2) sqrt(1 - m sin^2 theta) dtheta
//   Pi(n,m) = int_0^(pi/2) dtheta / ((1 - n sin^2 theta) sqrt(1 - m sin^2 theta))
//             (Cauchy principal value for n > 1)
//
// K and E, within 4 ulp of the exact value on -1 <= m < 1:
// - 0 <= m < 0.9: a Taylor polynomial about the centre of the interval trunc(20 m) (tables in
//   elliptic_taylor_tables.hpp).
// - 0.9 <= m <= 1 - 1e-3, and K for m < 0: the arithmetic-geometric mean, K = pi / (2 AGM(1, k')),
//   k' = sqrt(1 - m), and E from the AGM's running sum (DLMF 19.8(i)).
// - 1 - m < 1e-3: the expansions in 1 - m and ln(1 - m) about m = 1 (DLMF 19.12.1, 19.12.2),
//   free of the AGM's rounding build-up in K and of its cancellation in E there.
// - E for m < 0: E(m) = sqrt(1 - m) E(m / (m - 1)) (DLMF 19.7(ii)), m / (m - 1) in (0, 1).
// Pi: reduced to Carlson's integrals, Pi(n, m) = R_F(0, 1-m, 1) + (n/3) R_J(0, 1-m, 1, 1-n)
// (DLMF 19.25(i)), with the changes of characteristic of DLMF 19.7(iii) for n < 0 and n > 1.
//
// Each function returns the value or an error: a pointer to one fixed message (a string literal
// written where the failure is detected). m = 1 is a value (K(1) = +inf, E(1) = 1, Pi(n, 1) = +inf
// for n < 1).
//
// Usage:
//   if (const auto k = finitemu::numeric::ellipk(m)) use(*k); else report(k.error());
#pragma once

#include "numeric/carlson.hpp"
#include "numeric/constants.hpp"
#include "numeric/elliptic_taylor_tables.hpp"

#include <cmath>
#include <cstddef>
#include <expected>
#include <limits>
#include <numbers>
#include <utility>

namespace finitemu::numeric {

using EllipticResult = std::expected<double, const char*>;

namespace detail {

inline constexpr double kInfinity = std::numeric_limits<double>::infinity();
inline constexpr double kEps = 0x1p-52;
inline constexpr double kOneMinusEps = 1.0 - kEps;
inline constexpr double kOnePlusEps = 1.0 + kEps;
// Interval selection: i = trunc(t), t = 20 m, for 0 <= t < 18, so one test picks the polynomials
// (and keeps the conversion defined). Negative t are left out: truncation towards zero would send
// -1 < t < 0 to interval 0, twice as far from its centre as the polynomial is built for. The
// remaining t are sorted by the int64 truncation: outside [-2^63, 2^63) (or NaN) the out-of-range
// rules, otherwise the fallbacks.
inline constexpr double kFirstIntervalLow = 0.0;
inline constexpr double kLastIntervalHigh = 18.0;
inline constexpr double kTruncationLow = -0x1p63;
inline constexpr double kTruncationHigh = 0x1p63;
// The largest finite double divided by 100: for n or m below it the computation overflows and
// Pi(n, m) takes its limit 0.
inline constexpr double kPiUnderflowArgument = -1.7976931348623156e306;

// Expansions about m = 1 in m1 = 1 - m and L = ln(4 / k') = ln(16 / m1) / 2, for m1 < 1e-3,
// where the AGM builds up rounding (K) or cancels (E):
//   K = sum_j p_j m1^j (L + d_j)                                  (DLMF 19.12.1),
//   E = 1 + sum_j r_j m1^(j+1) (L + d_j - 1/((2j + 1)(2j + 2)))   (DLMF 19.12.2),
//   p_j = ((1/2)_j / j!)^2,  r_j = (1/2)_j (3/2)_j / (2 (2)_j j!),
//   d_j = sum_{i=1}^j (1/i - 2/(2i - 1)),
// written as K = L P(m1) + Q(m1), E = 1 + m1 (L R(m1) + S(m1)) with exact rational coefficients,
// padded with zeros for horner(). At m1 = 1e-3 the first omitted term is 4e-20 K, 2e-19 E.
inline constexpr double kNearOneLimit = 1e-3;
inline constexpr int kEllipkNearOneDegree = 5;
inline constexpr int kEllipeNearOneDegree = 4;
inline constexpr double kEllipkNearOneLog[kTaylorMaxDegree + 1] = {
    1.0, 1.0 / 4.0, 9.0 / 64.0, 25.0 / 256.0, 1225.0 / 16384.0, 3969.0 / 65536.0};
inline constexpr double kEllipkNearOne[kTaylorMaxDegree + 1] = {
    0.0, -1.0 / 4.0, -21.0 / 128.0, -185.0 / 1536.0, -18655.0 / 196608.0, -102501.0 / 1310720.0};
inline constexpr double kEllipeNearOneLog[kTaylorMaxDegree + 1] = {
    1.0 / 2.0, 3.0 / 16.0, 15.0 / 128.0, 175.0 / 2048.0, 2205.0 / 32768.0};
inline constexpr double kEllipeNearOne[kTaylorMaxDegree + 1] = {
    -1.0 / 4.0, -13.0 / 64.0, -9.0 / 64.0, -5255.0 / 49152.0, -11291.0 / 131072.0};

// sum_{j=0}^{Degree} c[j] x^j by Horner's rule from the highest coefficient, written out as a
// fold so that every degree compiles to straight-line code.
template <int Degree>
inline double horner(const double (&c)[kTaylorMaxDegree + 1], double x) noexcept {
    double p = c[Degree];
    [&]<std::size_t... J>(std::index_sequence<J...>) {
        ((p = p * x + c[Degree - 1 - static_cast<int>(J)]), ...);
    }
    (std::make_index_sequence<Degree>{});
    return p;
}

// The Taylor polynomial of interval i = trunc(20 m), 0 <= i <= 17, at m: intervals of width 0.1
// up to m = 0.8 (rows 0 to 7), of width 0.05 above (rows 8, 9), where the derivatives grow
// towards the singularity at m = 1. One switch on i: the row and its degree are constants in
// each case, so every Horner loop is unrolled.
template <const double (&table)[kTaylorRows][kTaylorMaxDegree + 1],
          const int (&degree)[kTaylorRows]>
inline double taylor(int interval, double m) noexcept {
    switch (interval) {
    case 0:
    case 1:
        return horner<degree[0]>(table[0], m - kTaylorCentre[0]);
    case 2:
    case 3:
        return horner<degree[1]>(table[1], m - kTaylorCentre[1]);
    case 4:
    case 5:
        return horner<degree[2]>(table[2], m - kTaylorCentre[2]);
    case 6:
    case 7:
        return horner<degree[3]>(table[3], m - kTaylorCentre[3]);
    case 8:
    case 9:
        return horner<degree[4]>(table[4], m - kTaylorCentre[4]);
    case 10:
    case 11:
        return horner<degree[5]>(table[5], m - kTaylorCentre[5]);
    case 12:
    case 13:
        return horner<degree[6]>(table[6], m - kTaylorCentre[6]);
    case 14:
    case 15:
        return horner<degree[7]>(table[7], m - kTaylorCentre[7]);
    case 16:
        return horner<degree[8]>(table[8], m - kTaylorCentre[8]);
    default:
        return horner<degree[9]>(table[9], m - kTaylorCentre[9]);
    }
}

} // namespace detail

inline EllipticResult ellipk(double m) noexcept {
    using namespace detail;
    const double t = 20.0 * m;
    if (t >= kFirstIntervalLow && t < kLastIntervalHigh) {
        return taylor<kEllipkTaylor, kEllipkTaylorDegree>(static_cast<int>(t), m);
    }
    if (!(t >= kTruncationLow && t < kTruncationHigh)) {
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
    if (m >= 1.0) {
        if (m == 1.0) {
            return kInfinity;
        }
        return std::unexpected("ellipk: m must not be greater than 1.");
    }
    const double m1 = 1.0 - m; // exact for m >= 0.5
    if (m1 < kNearOneLimit) {
        const double log_term = 0.5 * std::log(16.0 / m1);
        return log_term * horner<kEllipkNearOneDegree>(kEllipkNearOneLog, m1) +
               horner<kEllipkNearOneDegree>(kEllipkNearOne, m1);
    }
    // m < 0 or 0.9 <= m <= 1 - 1e-3: K = pi / (2 AGM(1, sqrt(1 - m))). Ten steps take the pair to
    // within rounding over the whole range, from m = -4.6e17 to 1 - 1e-3; the pair reached is
    // used without a further test.
    const AgmPair mean = agm<false>(1.0, std::sqrt(m1), 10);
    return std::numbers::pi / (mean.a + mean.g);
}

namespace detail {

// E(m) for m >= 0 or NaN.
inline EllipticResult ellipe_nonnegative(double m) noexcept {
    const double t = 20.0 * m;
    if (t >= kFirstIntervalLow && t < kLastIntervalHigh) {
        return taylor<kEllipeTaylor, kEllipeTaylorDegree>(static_cast<int>(t), m);
    }
    if (!(t >= kTruncationLow && t < kTruncationHigh)) {
        if (std::isnan(m)) {
            return std::unexpected("ellipe: Arguments cannot be NAN.");
        }
        return std::unexpected("ellipe: m must not be greater than 1.");
    }
    if (m == 1.0) {
        return 1.0;
    }
    if (m > 1.0) {
        return std::unexpected("ellipe: m must not be greater than 1.");
    }
    const double m1 = 1.0 - m; // exact for m >= 0.5
    if (m1 < kNearOneLimit) {
        const double log_term = 0.5 * std::log(16.0 / m1);
        return 1.0 + m1 * (log_term * horner<kEllipeNearOneDegree>(kEllipeNearOneLog, m1) +
                           horner<kEllipeNearOneDegree>(kEllipeNearOne, m1));
    }
    // 0.9 <= m <= 1 - 1e-3: E = (a_1^2 - sum_n 2^(n-1) c_n^2) pi / (2 AGM), with a_1 = (1 + k')/2
    // and c_n the half-differences of the AGM of (1, k') (DLMF 19.8(i)). From k' <= sqrt(0.1) the
    // AGM converges quadratically, so the loop needs no step limit.
    const double y_start = std::sqrt(m1);
    const AgmPair mean = agm<true>(1.0, y_start, kAgmUnlimited);
    const double half_sum = (1.0 + y_start) / 2.0;
    return (half_sum * half_sum - mean.sum) * std::numbers::pi / (mean.a + mean.g);
}

} // namespace detail

inline EllipticResult ellipe(double m) noexcept {
    using namespace detail;
    if (m < 0.0) {
        // E(m) = sqrt(1 - m) E(m / (m - 1)), with m / (m - 1) in (0, 1].
        if (m == -kInfinity) {
            return kInfinity;
        }
        const double scale = std::sqrt(1.0 - m);
        const EllipticResult e = ellipe_nonnegative(m / (m - 1.0));
        if (!e) {
            return e;
        }
        return scale * *e;
    }
    return ellipe_nonnegative(m);
}

inline EllipticResult ellippi(double n, double m) noexcept {
    using namespace detail;
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
