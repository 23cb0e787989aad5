// Carlson's symmetric elliptic integrals (DLMF 19.16(i)):
//
//   R_F(x, y, z)    = 1/2 int_0^inf dt / sqrt((t + x)(t + y)(t + z))
//   R_D(x, y, z)    = 3/2 int_0^inf dt / ((t + z) sqrt((t + x)(t + y)(t + z)))
//   R_J(x, y, z, p) = 3/2 int_0^inf dt / ((t + p) sqrt((t + x)(t + y)(t + z)))
//                     (Cauchy principal value for p < 0)
//   R_C(x, y)       = 1/2 int_0^inf dt / ((t + y) sqrt(t + x)) = R_F(x, y, y)
//                     (Cauchy principal value for y < 0)
//
// Duplication algorithm and truncated series of B. C. Carlson, "Numerical computation of real or
// complex elliptic integrals", Numer. Algorithms 10 (1995) 13-26 (see also DLMF 19.36(i)); the
// one-zero cases use the arithmetic-geometric mean (DLMF 19.22(i)).
//
// Domain (not checked): x, y, z >= 0 with at most one of them zero; z > 0 for R_D; p != 0 for
// R_J. On the edge of the domain the values are infinite (R_C(x, 0) = +inf). A duplication that
// has not met its stopping test within its step limit returns NaN, which is also what infinite
// or NaN arguments give. Out of the domain the results are unspecified, except that the principal
// value of R_J returns NaN instead of recursing when its transformed p is not positive.
//
// Usage: double rf = finitemu::numeric::elliprf_unchecked(0.0, 1.0 - m, 1.0); // K(m)
#pragma once

#include "numeric/agm.hpp"
#include "numeric/constants.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace finitemu::numeric {

namespace detail {

inline constexpr double kPi = std::numbers::pi;
inline constexpr double kHalfPi = std::numbers::pi / 2.0;
inline constexpr double kThreePi = 9.42477796076938; // the double nearest 3 pi
// Stopping thresholds r^(-1/8) of the duplications: once 4^n |A_n| > r^(-1/8) max|A_0 - x|, the
// series truncated after degree 5 is in error by about r (Carlson 1995). The extra factor 1.2
// of R_D is Carlson's allowance for its larger error coefficient.
inline constexpr double kRfThreshold = 78.8959690786408;   // (3 eps)^(-1/8)
inline constexpr double kRdThreshold = 107.63474115247546; // (eps/4)^(-1/8)
inline constexpr double kRjThreshold = 110.67925377307274; // (eps/5)^(-1/8)
inline constexpr int kRfMaxSteps = 11;
inline constexpr int kRdMaxSteps = 50;
inline constexpr int kRjMaxSteps = 100;

// R_C(x, y) in elementary functions (DLMF 19.2(iv)); for y < 0 the principal value
// R_C(x, y) = sqrt(x / (x - y)) R_C(x - y, -y).
inline double elliprc(double x, double y) noexcept {
    double prefix = 1.0;
    if (y < 0.0) {
        prefix = std::sqrt(x / (x - y));
        x = x - y;
        y = -y;
    }
    if (x == 0.0) {
        return prefix * kHalfPi / std::sqrt(y);
    }
    if (x == y) {
        return prefix / std::sqrt(x);
    }
    if (y < x) {
        if (y / x <= 0.5) {
            return prefix * std::log((std::sqrt(x) + std::sqrt(x - y)) / std::sqrt(y)) /
                   std::sqrt(x - y);
        }
        // atanh(a) / sqrt(x - y) with a = sqrt((x - y) / x), which is accurate near y = x.
        const double a = std::sqrt((x - y) / x);
        return prefix * (std::log1p(a) - std::log1p(-a)) / (2.0 * std::sqrt(x - y));
    }
    // y > x (and the NaN cases, which propagate).
    return prefix * std::atan(std::sqrt((y - x) / x)) / std::sqrt(y - x);
}

// Series of R_D and R_J after the duplication, truncated after degree 5 (Carlson 1995); E2..E5
// are the elementary symmetric functions of the scaled deviations.
inline double rd_rj_series(double e2, double e3, double e4, double e5) noexcept {
    return 1.0 - 3.0 * e2 / 14.0 + e3 / 6.0 + 9.0 * e2 * e2 / 88.0 - 3.0 * e4 / 22.0 -
           9.0 * e2 * e3 / 52.0 + 3.0 * e5 / 26.0 - e2 * e2 * e2 / 16.0 + 3.0 * e3 * e3 / 40.0 +
           3.0 * e2 * e4 / 20.0 + 45.0 * e2 * e2 * e3 / 272.0 - 9.0 * (e3 * e4 + e2 * e5) / 68.0;
}

// C(e) = R_C(1, 1 + e) of the R_J duplication (Carlson 1995), evaluated directly.
inline double rc_one_one_plus(double e) noexcept {
    if (e > 0.0) {
        const double r = std::sqrt(e);
        return std::atan(r) / r;
    }
    if (e == 0.0) {
        return 1.0;
    }
    if (-0.5 < e && e < 0.0) {
        const double r = std::sqrt(-e);
        return (std::log1p(r) - std::log1p(-r)) / (2.0 * r);
    }
    if (e < -1.0) {
        return std::sqrt(-1.0 / e) * elliprc(-e, -e - 1.0);
    }
    const double r = std::sqrt(-e);
    return std::log((1.0 + r) / std::sqrt(1.0 + e)) / r;
}

// R_J for p > 0 (and for NaN p): the special cases and the duplication.
inline double elliprj_positive(double x, double y, double z, double p) noexcept;

} // namespace detail

inline double elliprf_unchecked(double x, double y, double z) noexcept {
    using namespace detail;
    if (x == y) {
        if (x == z) {
            return 1.0 / std::sqrt(x);
        }
        if (z == 0.0) {
            return kPi / (2.0 * std::sqrt(x));
        }
        return elliprc(z, x);
    }
    if (x == z) {
        if (y == 0.0) {
            return kPi / (2.0 * std::sqrt(x));
        }
        return elliprc(y, x);
    }
    if (y == z) {
        if (x == 0.0) {
            return kPi / (2.0 * std::sqrt(y));
        }
        return elliprc(x, y);
    }
    if (x == 0.0) {
        std::swap(x, z);
    } else if (y == 0.0) {
        std::swap(y, z);
    }
    if (z == 0.0) {
        // R_F(x, y, 0) = pi / (2 AGM(sqrt x, sqrt y)) (DLMF 19.22(i)). Quadratic convergence: 11
        // steps reach a relative spread of 2.7 eps from any pair of finite doubles of practical
        // ratio; the pair reached after the last step is used without a further test.
        const AgmPair mean = agm<false>(std::sqrt(x), std::sqrt(y), kRfMaxSteps);
        return kPi / (mean.a + mean.g);
    }

    const double x0 = x;
    const double y0 = y;
    const double a0 = (x + y + z) / 3.0;
    // std::fmax ignores a NaN operand (an infinite argument gives inf - inf here).
    double q = kRfThreshold * std::fmax(std::fmax(std::fabs(a0), std::fabs(a0 - x)),
                                        std::fmax(std::fabs(a0 - y), std::fabs(a0 - z)));
    double a = a0;
    double f = 1.0;
    bool converged = false;
    for (int step = 0; step < kRfMaxSteps; ++step) {
        const double sx = std::sqrt(x);
        const double sy = std::sqrt(y);
        const double sz = std::sqrt(z);
        const double lambda = sx * sy + sx * sz + sy * sz;
        a = (a + lambda) / 4.0;
        x = (x + lambda) / 4.0;
        y = (y + lambda) / 4.0;
        z = (z + lambda) / 4.0;
        q /= 4.0;
        f *= 4.0;
        if (std::fabs(a) > q) {
            converged = true;
            break;
        }
    }
    if (!converged) {
        return kNaN;
    }
    // Carlson 1995 eq. 2.12 truncated after degree 5.
    const double dx = (a0 - x0) / (f * a);
    const double dy = (a0 - y0) / (f * a);
    const double dz = -dx - dy;
    const double e2 = dx * dy - dz * dz;
    const double e3 = dx * dy * dz;
    return (1.0 + e3 * (1.0 / 14.0 + 3.0 * e3 / 104.0) +
            e2 * (-1.0 / 10.0 + e2 / 24.0 - 3.0 * e3 / 44.0 - 5.0 * e2 * e2 / 208.0 +
                  e2 * e3 / 16.0)) /
           std::sqrt(a);
}

inline double elliprd_unchecked(double x, double y, double z) noexcept {
    using namespace detail;
    if (x == z) {
        std::swap(x, y);
    }
    if (y == z) {
        if (x == y) {
            return 1.0 / (x * std::sqrt(x));
        }
        if (x == 0.0) {
            return kThreePi / (4.0 * y * std::sqrt(y));
        }
    }
    if (x == 0.0) {
        // R_D(0, y, z) = 3 (2 R_G(0, y, z) - z R_F(0, y, z)) / (z (y - z)) (DLMF 19.21(ii)),
        // with R_F = pi / (2 M) and R_G from the AGM M of sqrt y, sqrt z and its running sum of
        // squared half-differences (DLMF 19.22(i)). No step limit: the AGM converges
        // quadratically and a NaN ends the loop.
        const double a_start = std::sqrt(y);
        const double g_start = std::sqrt(z);
        const AgmPair mean = agm<true>(a_start, g_start, kAgmUnlimited);
        return 3.0 * (kPi / (mean.a + mean.g)) *
               ((a_start + 3.0 * g_start) / (4.0 * z * (a_start + g_start)) -
                mean.sum / (z * (y - z)));
    }

    const double x0 = x;
    const double y0 = y;
    const double a0 = (x + y + 3.0 * z) / 5.0;
    // The deviations, weighted 1, 1, 3, sum to zero, so their maximum is not negative.
    double q = kRdThreshold * std::max(std::max(a0 - x, a0 - y), a0 - z) * 1.2;
    double a = a0;
    double f = 1.0;
    double sum = 0.0;
    bool converged = false;
    for (int step = 0; step < kRdMaxSteps; ++step) {
        const double sx = std::sqrt(x);
        const double sy = std::sqrt(y);
        const double sz = std::sqrt(z);
        const double lambda = sx * sy + sx * sz + sy * sz;
        sum += f / (sz * (z + lambda));
        a = (a + lambda) / 4.0;
        x = (x + lambda) / 4.0;
        y = (y + lambda) / 4.0;
        z = (z + lambda) / 4.0;
        f /= 4.0;
        q /= 4.0;
        if (a > q) {
            converged = true;
            break;
        }
    }
    if (!converged) {
        return kNaN;
    }
    const double dx = f * (a0 - x0) / a;
    const double dy = f * (a0 - y0) / a;
    const double dz = -(dx + dy) / 3.0;
    const double xy = dx * dy;
    const double dz2 = dz * dz;
    const double e2 = xy - 6.0 * dz2;
    const double e3 = (3.0 * xy - 8.0 * dz2) * dz;
    const double e4 = 3.0 * (xy - dz2) * dz2;
    const double e5 = xy * dz2 * dz;
    return 3.0 * sum + f * std::pow(a, -1.5) * rd_rj_series(e2, e3, e4, e5);
}

inline double detail::elliprj_positive(double x, double y, double z, double p) noexcept {
    if (x == y) {
        if (x == z) {
            if (p == x) {
                return 1.0 / (x * std::sqrt(x));
            }
            return 3.0 * (elliprc(x, p) - 1.0 / std::sqrt(x)) / (x - p);
        }
        std::swap(x, z);
    }
    if (y == z) {
        if (p == y) {
            return elliprd_unchecked(x, y, y);
        }
        // R_J(x, y, y, p) = 3 (R_C(x, y) - R_C(x, p)) / (p - y) (DLMF 19.20(iii)); cancellation
        // makes it inaccurate for p close to y, where the duplication below takes over.
        if (std::max(y, p) / std::min(y, p) > 1.2) {
            return 3.0 * (elliprc(x, y) - elliprc(x, p)) / (p - y);
        }
    }
    if (z == p) {
        return elliprd_unchecked(x, y, z);
    }

    const double x0 = x;
    const double y0 = y;
    const double z0 = z;
    const double a0 = (x + y + z + 2.0 * p) / 5.0;
    const double q = kRjThreshold * std::max(std::max(std::fabs(a0 - x), std::fabs(a0 - y)),
                                             std::max(std::fabs(a0 - z), std::fabs(a0 - p)));
    // delta = (p - x)(p - y)(p - z) is scaled by 4^-3 per step, so the ratio e = delta / D^2
    // of Carlson (1995) needs no subtraction of nearly equal working values.
    double delta = (p - x) * (p - y) * (p - z);
    double a = a0;
    double f = 1.0;
    double sum = 0.0;
    bool converged = false;
    for (int step = 0; step < kRjMaxSteps; ++step) {
        const double rx = std::sqrt(x);
        const double ry = std::sqrt(y);
        const double rz = std::sqrt(z);
        const double rp = std::sqrt(p);
        const double d = (rp + rx) * (rp + ry) * (rp + rz);
        const double e = delta / (d * d);
        if (-1.5 < e && e < -0.5) {
            // Near e = -1 the argument 1 + e of C(e) loses its digits; b = 1 + e formed
            // without the subtraction.
            const double b = 2.0 * rp * (p + rx * (ry + rz) + ry * rz) / d;
            sum += (f / d) * elliprc(1.0, b);
        } else {
            sum += (f / d) * rc_one_one_plus(e);
        }
        const double lambda = rx * ry + rx * rz + ry * rz;
        a = (a + lambda) / 4.0;
        f /= 4.0;
        if (a > f * q) {
            converged = true;
            break;
        }
        x = (x + lambda) / 4.0;
        y = (y + lambda) / 4.0;
        z = (z + lambda) / 4.0;
        p = (p + lambda) / 4.0;
        delta /= 64.0;
    }
    if (!converged) {
        return kNaN;
    }
    const double dx = f * (a0 - x0) / a;
    const double dy = f * (a0 - y0) / a;
    const double dz = f * (a0 - z0) / a;
    const double dp = (-dx - dy - dz) / 2.0;
    const double xyz = dx * dy * dz;
    const double dp2 = dp * dp;
    const double e2 = dx * dy + dx * dz + dy * dz - 3.0 * dp2;
    const double e3 = xyz + 2.0 * e2 * dp + 4.0 * dp2 * dp;
    const double e4 = (2.0 * xyz + e2 * dp + 3.0 * dp2 * dp) * dp;
    const double e5 = xyz * dp2;
    return 6.0 * sum + f * std::pow(a, -1.5) * rd_rj_series(e2, e3, e4, e5);
}

inline double elliprj_unchecked(double x, double y, double z, double p) noexcept {
    using namespace detail;
    if (p <= 0.0) {
        // Principal value (DLMF 19.20(iii), Carlson 1995), with x <= y <= z and q = -p:
        // (p' - z) R_J(x, y, z, p') = (z + q) R_J(x, y, z, -q) + 3 R_F(x, y, z)
        //                             - 3 sqrt(x y z / (x y + p' q)) R_C(x y + p' q, p' q).
        if (x > y) {
            std::swap(x, y);
        }
        if (y > z) {
            std::swap(y, z);
        }
        if (x > y) {
            std::swap(x, y);
        }
        const double q = -p;
        const double p_prime = ((x + y + q) * z - x * y) / (z + q);
        // In the domain p' > 0; anything else (negative or two zero arguments, p = 0 with
        // x = 0, NaN) would send the transformation into itself again.
        if (!(p_prime > 0.0)) {
            return kNaN;
        }
        const double xy = x * y;
        const double pq = p_prime * q;
        return ((p_prime - z) * elliprj_positive(x, y, z, p_prime) -
                3.0 * elliprf_unchecked(x, y, z) +
                3.0 * std::sqrt(xy * z / (xy + pq)) * elliprc(xy + pq, pq)) /
               (z + q);
    }
    return elliprj_positive(x, y, z, p);
}

} // namespace finitemu::numeric
