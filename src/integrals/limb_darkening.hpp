// The fixed limb-darkening law of integrated_witt_mao_magnification and
// integrated_heyrovsky_magnification, linear in mu = sqrt(1 - r^2):
//
//   I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)) = 0.4 + 0.6 sqrt(1 - r^2),   r in source radii.
#pragma once

#include <cmath>
#include <numbers>

namespace finitemu::integrals {

inline constexpr double kUniformWeight = 0.4;
inline constexpr double kLimbWeight = 0.6;
// int_0^1 I(r) 2 pi r dr = 0.8 pi (once the literal 2.5132741228717936, which made every
// magnification 1.6e-14 too large).
inline constexpr double kLimbDarkenedFlux = 0.8 * std::numbers::pi;

inline double limb_darkening(double r) noexcept {
    return (1.0 - std::sqrt(1.0 - r * r)) * -kLimbWeight + 1.0;
}

} // namespace finitemu::integrals
