// The limb-darkened source of integrated_witt_mao_magnification by nested uniform disks: with
// the law I(r) = 0.4 + 0.6 sqrt(1 - r^2) (integrals/limb_darkening.hpp) and W(u, rho) the
// uniform-disk magnification (Witt & Mao 1994), integration by parts gives
//
//   M(l) = (0.4 W(u, rho) + 0.6 int_0^1 (1 - x^2) W(u, rho sqrt(1 - x^2)) dx) / 0.8,   u = l rho,
//
// the integral by the tanh-sinh rule (numeric/tanh_sinh.hpp), split where the lens meets a disk.
#pragma once

#include "integrals/kernels.hpp"
#include "integrals/limb_darkening.hpp"
#include "numeric/tanh_sinh.hpp"

#include <cmath>
#include <numbers>

namespace finitemu::integrals {

// Separations (source radii) below which the nested disks are split beside the limb (above 1).
inline constexpr double kNearLimb = 1.05;

// The limb-darkened disk by parts, as nested uniform disks: the sqrt(1 - r^2) part carries
//   int_0^1 pi r^2 W(u, rho r) r / sqrt(1 - r^2) dr = pi int_0^1 (1 - x^2) W(u, rho sqrt(1 - x^2))
//   dx
// with x = sqrt(1 - r^2), bounded at the limb; the lens at r = l sits at x = sqrt(1 - l^2).
template <class K = Kernels>
double limb_darkened_nested_disks(double l, double rho, const K& kernels = {}) noexcept {
    namespace de = numeric::quadrature::double_exponential;
    const double u = l * rho;
    const auto nested = [&](const de::Sample& sample) noexcept {
        const double s2 = 1.0 - sample.y * sample.y;
        if (s2 == 0.0) {
            return 0.0;
        }
        const double s = std::sqrt(s2);
        return s * s * kernels.disk(u, rho * s);
    };
    const double full = kernels.disk(u, rho);
    const double floor = 0.5 * kRelativeTarget * std::abs(full);
    double integral = 0.0;
    if (l > 0.0 && l < 1.0) {
        const double lens = std::sqrt(1.0 - l * l);
        integral = de::integrate_relative(nested, 0.0, lens, kRelativeTarget, floor).value +
                   de::integrate_relative(nested, lens, 1.0, kRelativeTarget, floor).value;
    } else if (l > 1.0 && l < kNearLimb) {
        // Just outside the limb the disk of radius s passes the lens at x^2 = 1 - l^2 < 0: a
        // singularity at x = i sqrt(l^2 - 1), beside the end x = 0, which the rule's error
        // estimate misses (measured: up to 4.3e-14 for l - 1 from 1e-4 to 3e-3). Split there,
        // each piece sees it at a distance of its own length.
        const double beside = std::sqrt((l - 1.0) * (l + 1.0));
        integral = de::integrate_relative(nested, 0.0, beside, kRelativeTarget, floor).value +
                   de::integrate_relative(nested, beside, 1.0, kRelativeTarget, floor).value;
    } else {
        integral = de::integrate_relative(nested, 0.0, 1.0, kRelativeTarget, floor).value;
    }
    return (kUniformWeight * full + kLimbWeight * integral) * std::numbers::pi / kLimbDarkenedFlux;
}

} // namespace finitemu::integrals
