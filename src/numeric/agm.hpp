// The arithmetic-geometric mean of a_0, g_0 > 0 (DLMF 19.8(i)):
//
//   a_{n+1} = (a_n + g_n) / 2,   g_{n+1} = sqrt(a_n g_n),   c_{n+1} = (a_n - g_n) / 2,
//
// and the running sum S = sum_{n>=1} 2^(n-1) c_n^2 from which E(m) and R_G(0, y, z) follow
// (DLMF 19.8.6, 19.22.12; each caller states its form). The iteration stops when the
// pair agrees to within rounding, |a - g| < 2.7 eps |a|, when a = g (a = g = 0 off the domain
// would otherwise never stop), on a NaN, or after `max_steps` steps; the pair reached is used as
// it is. It converges quadratically: from any pair of finite doubles of practical ratio 11 steps
// suffice.
//
// Usage: const auto pair = finitemu::numeric::agm<false>(1.0, std::sqrt(1.0 - m), 10);
//        double k = std::numbers::pi / (pair.a + pair.g); // K(m)
#pragma once

#include <cmath>
#include <limits>

namespace finitemu::numeric {

// 2.7 eps: the AGM pair agrees to within rounding.
inline constexpr double kAgmTolerance = 5.995204332975846e-16;
inline constexpr int kAgmUnlimited = std::numeric_limits<int>::max();

struct AgmPair {
    double a;   // the arithmetic mean reached
    double g;   // the geometric mean reached
    double sum; // sum_n 2^(n-1) c_n^2, when asked for (RunningSum), else 0
};

template <bool RunningSum>
[[nodiscard]] inline AgmPair agm(double a, double g, int max_steps) noexcept {
    double sum = 0.0;
    double w = 0.25;
    for (int step = 0; step < max_steps; ++step) {
        if (!(std::fabs(a - g) >= kAgmTolerance * std::fabs(a)) || a == g) {
            break;
        }
        const double mean = (a + g) / 2.0;
        g = std::sqrt(a * g);
        a = mean;
        if constexpr (RunningSum) {
            w *= 2.0;
            sum += w * (a - g) * (a - g);
        }
    }
    return {a, g, sum};
}

} // namespace finitemu::numeric
