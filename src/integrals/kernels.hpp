// What the integrals of one separation are made of: the kernels they call, passed in so that
// bench/bench_integrated and the tests can count the calls (tests/cpp/counting_kernels.hpp), and
// the relative error every rule is taken to, so that a result means the same for any unit of
// brightness.
#pragma once

#include "kernels/heyrovsky.hpp"
#include "kernels/witt_mao.hpp"
#include "numeric/constants.hpp"

namespace finitemu::integrals {

// Relative error at which each piece's refinement stops: below it, further levels only add
// rounding (measured against the mpmath references: 1e-15 and 1e-16 give the same results).
inline constexpr double kRelativeTarget = 1e-15;

// The kernels as the integrals call them: the uniform disk W(u, rho) in Einstein radii, and the
// ring H in source radii with d = r - l given, a failed evaluation as NaN (a dropped sample).
struct Kernels {
    double disk(double u, double rho) const noexcept {
        return kernels::witt_mao_magnification_scaled(u, rho);
    }
    double ring(double l, double r, double d, double big_r) const noexcept {
        return kernels::heyrovsky_magnification_source_radii(l, r, d, big_r)
            .value_or(numeric::kNaN);
    }
};

} // namespace finitemu::integrals
