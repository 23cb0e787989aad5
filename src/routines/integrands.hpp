// The integrals of the integrated magnifications, for one separation, with the kernels passed in:
// the routines pass the kernels themselves, bench/bench_integrated a wrapper that records their
// arguments, so both evaluate the very same samples.
//
// A source with radial brightness profile P(r), r in source radii, has the magnification
//
//   M(l) = int_0^1 P(r) 2 pi r H(l, r) dr / int_0^1 P(r) 2 pi r dr,
//
// H the mean magnification of the ring of radius r (Heyrovsky 2003). With the uniform-disk
// kernel W (Witt & Mao 1994) the ring flux 2 pi r H is d/dr (pi r^2 W(l rho, r rho)), rho the
// source radius in Einstein radii: for the limb-darkening law the integral is taken by parts, as
// nested disks; for flux maps, whose P has no closed-form derivative, ring by ring with H.
//
// Each integral is split where its integrand breaks, at r = l inside the source (logarithmic
// singularity of H, kink of W) and at the ends of a flux map's support, because the tanh-sinh
// rule converges fast only on pieces that are smooth inside (across a break it stalls near 1e-5,
// across a jump near 1e-3). The pieces get the same target and are added in ascending order.
#pragma once

#include "kernels/heyrovsky.hpp"
#include "kernels/witt_mao.hpp"
#include "numeric/quadrature.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <span>
#include <utility>

namespace finitemu::routines {

inline constexpr double kIntegralTarget = 1e-16; // absolute target of every integral
inline constexpr double kTwoPi = 6.283185307179586;
// Linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)) = 0.4 + 0.6 sqrt(1 - r^2).
inline constexpr double kUniformWeight = 0.4;
inline constexpr double kLimbWeight = 0.6;
// int_0^1 I(r) 2 pi r dr = 0.8 pi, kept as this literal (the double nearest 0.8 pi is
// 2.5132741228718345): results stay as callers have them.
inline constexpr double kLimbDarkenedFlux = 2.5132741228717936;

// The kernels as the integrals call them: the uniform disk W(u, rho) in Einstein radii, and the
// ring H(l, r, R) in source radii with a failed evaluation as NaN (a sample the quadrature drops).
struct Kernels {
    double disk(double u, double rho) const noexcept {
        return kernels::witt_mao_magnification_scaled(u, rho);
    }
    double ring(double l, double r, double big_r) const noexcept {
        return kernels::heyrovsky_magnification_source_radii(l, r, big_r)
            .value_or(std::numeric_limits<double>::quiet_NaN());
    }
};

inline double limb_darkening(double r) noexcept {
    return (1.0 - std::sqrt(1.0 - r * r)) * -kLimbWeight + 1.0;
}

// The ends 0 and 1 and the break points strictly inside, ascending and distinct (NaNs dropped).
class Pieces {
public:
    Pieces(std::initializer_list<double> breaks) noexcept {
        for (const double b : breaks) {
            add(b);
        }
    }

    template <class F> double integrate(F&& f) const noexcept {
        namespace de = numeric::quadrature::double_exponential;
        double total = 0.0;
        double a = 0.0;
        for (std::size_t k = 0; k < count_; ++k) {
            total = total + de::integrate(f, a, inner_[k], kIntegralTarget).value;
            a = inner_[k];
        }
        return total + de::integrate(f, a, 1.0, kIntegralTarget).value;
    }

private:
    // Insertion keeps the few points sorted and distinct.
    void add(double b) noexcept {
        if (!(b > 0.0 && b < 1.0) || count_ == inner_.size()) {
            return;
        }
        std::size_t k = count_;
        while (k > 0 && inner_[k - 1] > b) {
            --k;
        }
        if (k > 0 && inner_[k - 1] == b) {
            return;
        }
        for (std::size_t j = count_; j > k; --j) {
            inner_[j] = inner_[j - 1];
        }
        inner_[k] = b;
        ++count_;
    }

    std::array<double, 5> inner_{};
    std::size_t count_ = 0;
};

// A flux map's brightness jumps to 0 outside [bl[0], bl[n-1]]; one point is a constant profile.
inline std::pair<double, double> support_ends(std::span<const double> bl) noexcept {
    if (bl.size() < 2) {
        return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    }
    return {bl.front(), bl.back()};
}

// N = int_0^1 P(r) 2 pi r dr, split at the ends of the profile's support.
template <class Profile> double profile_flux(const Profile& profile, double first, double last) {
    return Pieces{first, last}.integrate(
        [&](double r) noexcept { return profile(r) * (kTwoPi * r); });
}

// The limb-darkened disk at separation l (source radii), rho the source radius in Einstein radii,
// as nested uniform disks: the sqrt(1 - r^2) part carries the flux
//   int_0^1 pi r^2 W(u, rho r) r / sqrt(1 - r^2) dr = pi int_0^1 (1 - x^2) W(u, rho sqrt(1 - x^2))
//   dx
// with x = sqrt(1 - r^2), bounded at the limb; the lens at r = l sits at x = sqrt(1 - l^2).
template <class K = Kernels>
double limb_darkened_nested_disks(double l, double rho, const K& kernels = {}) noexcept {
    const double u = l * rho;
    const auto nested = [&](double x) noexcept {
        const double s2 = 1.0 - x * x;
        if (s2 == 0.0) {
            return 0.0;
        }
        const double s = std::sqrt(s2);
        return s * s * kernels.disk(u, rho * s);
    };
    const double lens =
        l > 0.0 && l < 1.0 ? std::sqrt(1.0 - l * l) : std::numeric_limits<double>::quiet_NaN();
    const double integral = Pieces{lens}.integrate(nested);
    const double full = kernels.disk(u, rho);
    return (kUniformWeight * full + kLimbWeight * integral) * std::numbers::pi / kLimbDarkenedFlux;
}

// int_0^1 P(r) 2 pi r H(l, r) dr / divisor at separation l, big_r the Einstein radius in source
// radii, split at r = l and at `break_a`, `break_b` (NaN for none).
template <class Profile, class K = Kernels>
double ring_integral(double l, const Profile& profile, double big_r, double divisor, double break_a,
                     double break_b, const K& kernels = {}) noexcept {
    const auto ring_flux = [&](double r) noexcept {
        return profile(r) * (kTwoPi * r * kernels.ring(l, r, big_r));
    };
    return Pieces{l, break_a, break_b}.integrate(ring_flux) / divisor;
}

} // namespace finitemu::routines
