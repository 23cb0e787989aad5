// The sources of the integrated and discrete functions, each formed once per call: what depends
// on the call alone (the profile, its flux, its moments and far field, a flux map's break points),
// and the magnification of one separation: the far field where it covers the separation, else
// the nested disks or the ring integral with the kernels passed in, or the sum of the rings.
//
// Domain: a separation that is NaN or negative, a source radius rho (Einstein radii) that is not
// a positive finite number, and a flux map with a NaN or infinite radius or brightness give NaN;
// never a number that only looks like a magnification. The discrete rings report instead the
// error of the first ring kernel that fails.
//
//     const LimbDarkenedSource source;
//     double a = source.nested_disks(2.0, 0.1); // the limb-darkened disk at l = 2, rho = 0.1
#pragma once

#include "integrals/far_field.hpp"
#include "integrals/flux_map_profile.hpp"
#include "integrals/kernels.hpp"
#include "integrals/limb_darkening.hpp"
#include "integrals/nested_disks.hpp"
#include "integrals/ring_integral.hpp"
#include "kernels/heyrovsky.hpp"
#include "numeric/constants.hpp"
#include "numeric/gauss_legendre.hpp"
#include "numeric/mean_value_series.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <vector>

namespace finitemu::integrals {

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
            return numeric::kNaN;
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
                [&](double r) noexcept { return profile_(r) * (numeric::kTwoPi * r); }, breaks_[k],
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
            return numeric::kNaN;
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

// A flux map as discrete rings: sum_j bf_j H(l, bl_j), the rings' kernels one after another.
// Far from every ring the sum is sum_j bf_j times the mean-value series of the rings: one series
// over the moments sum_j bf_j bl_j^2k / sum_j bf_j, whatever the number of rings. Only where no
// ring kernel could fail: finite non-negative radii, finite brightnesses of a finite non-zero
// sum, some ring off the centre, and a valid source.
class DiscreteRingsSource {
public:
    DiscreteRingsSource(std::span<const double> bl, std::span<const double> bf)
        : bl_(bl.begin(), bl.end()), bf_(bf.begin(), bf.end()) {
        double outer = 0.0;
        bool regular = all_finite(bf) && all_finite(bl) && !bl.empty();
        for (std::size_t j = 0; j < bl.size(); ++j) {
            weight_ += bf[j];
            outer = std::max(outer, bl[j]);
            regular = regular && bl[j] >= 0.0;
        }
        if (regular && outer > 0.0 && weight_ != 0.0 && std::isfinite(weight_)) {
            far_.emplace(numeric::discrete_ring_moments(bl, bf), outer);
        }
    }

    // The sum at separation l (source radii), rho = rstar / re and big_r = re / rstar as the
    // caller forms them; the first ring kernel that fails stops the sum with its error.
    std::expected<double, const char*> rings(double l, double rho, double big_r) const noexcept {
        if (far_ && valid_source(rho) && std::isfinite(l) && far_->covers(l)) {
            return weight_ * far_->value(l, rho);
        }
        double sum = 0.0;
        for (std::size_t j = 0; j < bl_.size(); ++j) {
            const auto h = kernels::heyrovsky_magnification_source_radii(l, bl_[j], big_r);
            if (!h) {
                return std::unexpected(h.error());
            }
            sum = sum + *h * bf_[j];
        }
        return sum;
    }

private:
    std::vector<double> bl_;
    std::vector<double> bf_;
    double weight_ = 0.0; // sum_j bf_j
    std::optional<FarField> far_;
};

} // namespace finitemu::integrals
