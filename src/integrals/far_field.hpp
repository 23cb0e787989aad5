// Far from the source (l >= 1.5 times the profile's outer radius, at least 1.5 source radii) the
// magnification of one separation is the mean-value series of numeric/mean_value_series.hpp over
// the profile's moments: a few uniform-disk-like terms in place of an integral.
//
//     const FarField far(numeric::limb_darkening_moments(), 1.0);
//     if (far.covers(2.0)) { double a = far.value(2.0, 0.1); } // l = 2, rho = 0.1
#pragma once

#include "numeric/mean_value_series.hpp"

#include <algorithm>
#include <cstddef>

namespace finitemu::integrals {

// Truncation of the far-field series, below the rounding of its sum (at 1e-15 truncation and
// rounding together reach 1.1e-15 at l = 5).
inline constexpr double kSeriesTarget = 5e-16;

// The series of a profile over its moments, summed to as many terms as l needs.
class FarField {
public:
    // `outer`: the profile's outer radius (1 for a source profile, the largest ring of a discrete
    // map); the series converges for l > outer and is used from 1.5 max(outer, 1) on.
    FarField(const numeric::MeanValueMoments& moments, double outer) noexcept
        : moments_(moments), reach_(numeric::kMeanValueMinRatio * std::max(outer, 1.0)) {}

    [[nodiscard]] bool covers(double l) const noexcept { return l >= reach_; }

    // The mean over the profile at separation l (source radii), for covers(l), to as many terms
    // as bring the truncation below kSeriesTarget.
    [[nodiscard]] double value(double l, double rho) const noexcept {
        std::size_t n = numeric::mean_value_terms_needed(l, kSeriesTarget, moments_.span());
        if (n == 0) {
            n = moments_.count;
        }
        return numeric::mean_value_series(l * rho, rho, moments_.span().first(n), 0.0).value;
    }

private:
    numeric::MeanValueMoments moments_;
    double reach_;
};

} // namespace finitemu::integrals
