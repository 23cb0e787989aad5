// The sources of the integrated functions, each formed once per call: what depends on the call
// alone (the profile, its flux, its moments and far field, a flux map's break points), and the
// magnification of one separation, with the kernels passed in (routines/integrands.hpp).
//
// Domain: a separation that is NaN or negative, a source radius rho (Einstein radii) that is not
// a positive finite number, and a flux map with a NaN or infinite radius or brightness give NaN;
// never a number that only looks like a magnification.
//
//     const LimbDarkenedSource source;
//     double a = source.nested_disks(2.0, 0.1); // the limb-darkened disk at l = 2, rho = 0.1
#pragma once

#include "routines/flux_map_profile.hpp"
#include "routines/integrands.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <vector>

namespace finitemu::routines {

inline bool valid_source(double rho) noexcept {
    return rho > 0.0 && std::isfinite(rho);
}

inline bool all_finite(std::span<const double> values) noexcept {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// The fixed limb-darkening law, I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)).
class LimbDarkenedSource {
public:
    LimbDarkenedSource() noexcept : far_(numeric::limb_darkening_moments(), 1.0) {}

    // By nested uniform disks (integrated_witt_mao_magnification).
    template <class K = Kernels>
    double nested_disks(double l, double rho, const K& kernels = {}) const noexcept {
        if (const auto far = far_value(l, rho)) {
            return *far;
        }
        return limb_darkened_nested_disks(l, rho, kernels);
    }

    // By thin rings (integrated_heyrovsky_magnification).
    template <class K = Kernels>
    double rings(double l, double rho, const K& kernels = {}) const noexcept {
        if (const auto far = far_value(l, rho)) {
            return *far;
        }
        static constexpr double kEnds[] = {0.0, 1.0};
        return ring_integral(l, limb_darkening, rho, kLimbDarkenedFlux, kEnds, true, kernels);
    }

private:
    // NaN outside the domain, the series where it covers l, else nothing.
    std::optional<double> far_value(double l, double rho) const noexcept {
        if (!(l >= 0.0) || !valid_source(rho)) {
            return kNaN;
        }
        if (far_.covers(l)) {
            return far_.value(l, rho);
        }
        return std::nullopt;
    }

    FarField far_;
};

// A flux map's profile: linear between its nodes (bl, bf), 0 outside [bl[0], bl[n-1]]; one node
// is a constant profile. The brightness is scaled by a power of two towards 1: the results do not
// depend on its unit, and no flux overflows.
class FluxMapSource {
public:
    FluxMapSource(std::span<const double> bl, std::span<const double> bf)
        : bl_(bl.begin(), bl.end()), bf_(bf.begin(), bf.end()),
          valid_(all_finite(bl) && all_finite(bf)), profile_(bl_, bf_) {
        double largest = 0.0;
        for (const double f : bf_) {
            largest = std::max(largest, std::abs(f));
        }
        if (valid_ && largest > 0.0) {
            int exponent = 0;
            std::frexp(largest, &exponent);
            for (double& f : bf_) {
                f = std::ldexp(f, -exponent);
            }
        }
        profile_ = FluxMapProfile(bl_, bf_);
        breaks_ = {0.0, 1.0};
        for (const double r : bl_) {
            if (r > 0.0 && r < 1.0) {
                breaks_.push_back(r);
            }
        }
        std::sort(breaks_.begin(), breaks_.end());
        breaks_.erase(std::unique(breaks_.begin(), breaks_.end()), breaks_.end());
        bool ascending = bl_.size() >= 2;
        for (std::size_t i = 0; i + 1 < bl_.size(); ++i) {
            ascending = ascending && bl_[i] < bl_[i + 1];
        }
        // The profile is linear between consecutive node values, whatever their order, so four
        // Gauss points give the flux of each piece exactly.
        for (std::size_t k = 0; k + 1 < breaks_.size(); ++k) {
            flux_ += numeric::quadrature::gauss_legendre::integrate(
                [&](double r) noexcept { return profile_(r) * (kTwoPi * r); }, breaks_[k],
                breaks_[k + 1], 4);
        }
        if (bl_.size() == 1) {
            far_.emplace(numeric::uniform_disk_moments(), 1.0);
        } else if (ascending) {
            far_.emplace(numeric::piecewise_linear_moments(bl_, bf_), 1.0);
        }
    }

    // The profile refers to the nodes held here.
    FluxMapSource(const FluxMapSource&) = delete;
    FluxMapSource& operator=(const FluxMapSource&) = delete;

    // By thin rings (both integrated flux-map functions).
    template <class K = Kernels>
    double rings(double l, double rho, const K& kernels = {}) const noexcept {
        if (const auto far = far_value(l, rho)) {
            return *far;
        }
        return ring_integral(l, profile_, rho, flux_, breaks_, false, kernels);
    }

private:
    std::optional<double> far_value(double l, double rho) const noexcept {
        if (!valid_ || !(l >= 0.0) || !valid_source(rho)) {
            return kNaN;
        }
        if (far_ && far_->covers(l)) {
            return far_->value(l, rho);
        }
        return std::nullopt;
    }

    std::vector<double> bl_;
    std::vector<double> bf_;
    bool valid_;
    FluxMapProfile profile_;
    std::vector<double> breaks_; // 0, the nodes inside (0, 1), 1; ascending
    double flux_ = 0.0;
    std::optional<FarField> far_;
};

} // namespace finitemu::routines
