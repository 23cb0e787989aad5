// The magnification of one separation for a source with radial brightness profile P(r), r in
// source radii, with the kernels passed in: the routines pass the kernels themselves,
// bench/bench_integrated a wrapper that counts and records their arguments.
//
//   M(l) = int_0^1 P(r) 2 pi r H(l, r) dr / N,   N = int_0^1 P(r) 2 pi r dr,
//
// H the mean magnification of the ring of radius r (Heyrovsky 2003). With the uniform-disk
// kernel W (Witt & Mao 1994) the ring flux 2 pi r H is F'(r), F(r) = pi r^2 W(l rho, r rho) the
// lensed flux of the disk of radius r (rho the source radius in Einstein radii).
//
// Far from the source (l >= 1.5 times the profile's outer radius) M is the mean-value series of
// numeric/mean_value_series.hpp over the profile's moments: a few uniform-disk-like terms. Nearer,
// the ring integral is P(l) F(1) plus int_0^1 (P(r) - P(l)) F'(r) dr, split where the integrand
// breaks: at r = l (logarithmic singularity of H, kink of W) and at a flux map's nodes (kinks and
// jumps of P). A piece that ends at r = l is taken by
// the tanh-sinh rule, which sees the distance to l exactly (numeric/quadrature.hpp); a piece away
// from l, where the integrand is analytic, by a Gauss-Legendre rule of the order the distance to
// l calls for. Every rule stops at a relative error of kRelativeTarget, so a result means the same
// for any unit of brightness.
#pragma once

#include "kernels/heyrovsky.hpp"
#include "kernels/witt_mao.hpp"
#include "numeric/mean_value_series.hpp"
#include "numeric/quadrature.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <span>

namespace finitemu::routines {

inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Relative error at which each piece's refinement stops: below it, further levels only add
// rounding (measured against the mpmath references: 1e-15 and 1e-16 give the same results).
inline constexpr double kRelativeTarget = 1e-15;
// Truncation of the far-field series, below the rounding of its sum (at 1e-15 truncation and
// rounding together reach 1.1e-15 at l = 5).
inline constexpr double kSeriesTarget = 5e-16;

// Separations (source radii) below which the nested disks are split beside the limb (above 1).
inline constexpr double kNearLimb = 1.05;

// Linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)) = 0.4 + 0.6 sqrt(1 - r^2).
inline constexpr double kUniformWeight = 0.4;
inline constexpr double kLimbWeight = 0.6;
// int_0^1 I(r) 2 pi r dr = 0.8 pi (once the literal 2.5132741228717936, which made every
// magnification 1.6e-14 too large).
inline constexpr double kLimbDarkenedFlux = 0.8 * std::numbers::pi;

// The kernels as the integrals call them: the uniform disk W(u, rho) in Einstein radii, and the
// ring H in source radii with d = r - l given, a failed evaluation as NaN (a dropped sample).
struct Kernels {
    double disk(double u, double rho) const noexcept {
        return kernels::witt_mao_magnification_scaled(u, rho);
    }
    double ring(double l, double r, double d, double big_r) const noexcept {
        return kernels::heyrovsky_magnification_source_radii(l, r, d, big_r).value_or(kNaN);
    }
};

inline double limb_darkening(double r) noexcept {
    return (1.0 - std::sqrt(1.0 - r * r)) * -kLimbWeight + 1.0;
}

// ---- Far field ----

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

// ---- Near field ----

// fn(a, b) for each piece of [0, 1] between consecutive `breaks` (ascending, from 0 to 1), the
// piece that holds l strictly inside split there.
template <class Fn> void for_each_piece(std::span<const double> breaks, double l, Fn&& fn) {
    for (std::size_t k = 0; k + 1 < breaks.size(); ++k) {
        const double a = breaks[k];
        const double b = breaks[k + 1];
        if (a < l && l < b) {
            fn(a, l);
            fn(l, b);
        } else {
            fn(a, b);
        }
    }
}

// int_a^b f(r) dr for an integrand analytic on [a, b] except possibly at r = l: tanh-sinh when
// a piece ends at l (f gets the exact distance), else Gauss-Legendre of the order the nearer of
// the singular points +-l calls for (tanh-sinh, with `ends` and `steps`, when it lies too close).
template <class F>
double piece_integral(const F& f, double a, double b, double l, double floor,
                      numeric::quadrature::double_exponential::Ends ends,
                      numeric::quadrature::double_exponential::Steps steps) noexcept {
    namespace gl = numeric::quadrature::gauss_legendre;
    namespace de = numeric::quadrature::double_exponential;
    if (a != l && b != l) {
        const double centre = 0.5 * (a + b);
        const double z = std::abs(l - centre) <= std::abs(l + centre) ? l : -l;
        if (const int order = gl::order_for(a, b, z, kRelativeTarget); order > 0) {
            return gl::integrate(
                [&](double r) noexcept {
                    return f(numeric::quadrature::double_exponential::Sample{r, r - a, b - r});
                },
                a, b, order);
        }
    }
    return de::integrate_relative(f, a, b, kRelativeTarget, floor, ends, steps).value;
}

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

// The tanh-sinh steps for the ring flux on [a, b]: from 1/6 on (thirds) unless a singular point
// lies within 0.25 half-lengths outside the piece (r = +-l, and r = 1, the branch point of
// sqrt(1 - r^2), with `singular_limb`), or the Einstein radius big_r (source radii) is shorter
// than the half-length, which puts the kernel's change of regime at |r - l| ~ big_r inside the
// piece: then the error falls more slowly than the steps to 1/6 show (measured: 3e-12 to 4e-10
// left where 1e-16 was estimated, for l < 0.05, l > 0.9 and rho = 10) and is trusted from 1/12 on.
inline numeric::quadrature::double_exponential::Steps
tanh_sinh_steps(double a, double b, double l, double big_r, bool singular_limb) noexcept {
    namespace de = numeric::quadrature::double_exponential;
    const double half = 0.5 * (b - a);
    const auto clearance = [&](double z) noexcept {
        return z < a ? a - z : z > b ? z - b : std::numeric_limits<double>::infinity();
    };
    double nearest = l > 0.0 ? clearance(-l) : std::numeric_limits<double>::infinity();
    nearest = std::min(nearest, clearance(l));
    if (singular_limb) {
        nearest = std::min(nearest, clearance(1.0));
    }
    return nearest < 0.25 * half || big_r < half ? de::Steps::thirds_late : de::Steps::thirds;
}

// int_0^1 P(r) 2 pi r H(l, r) dr / divisor at separation l, rho the source radius in Einstein
// radii, P linear between `breaks` (ascending from 0 to 1: a flux map's nodes), or, with
// `singular_limb`, analytic but for the sqrt(1 - r^2) of the limb-darkening law at r = 1.
template <class Profile, class K = Kernels>
double ring_integral(double l, const Profile& profile, double rho, double divisor,
                     std::span<const double> breaks, bool singular_limb,
                     const K& kernels = {}) noexcept {
    namespace de = numeric::quadrature::double_exponential;
    const double big_r = 1.0 / rho;
    // A piece too small to matter stops at kRelativeTarget of the whole integral's scale, the
    // profile's flux times the disk's magnification.
    const double disk = kernels.disk(l * rho, rho);
    const double floor = kRelativeTarget * std::abs(divisor * disk) / kTwoPi;
    // With l strictly inside a piece, where P is continuous, P(l) int_0^1 2 pi r H dr = P(l) pi
    // W(l rho, rho) in closed form (Witt & Mao): the pieces integrate (P(r) - P(l)) 2 pi r H, which
    // vanishes like (r - l) ln|r - l| where 2 pi r H has its logarithmic singularity, so their end
    // at l is sampled to t = 2.75 instead of 3.5 (5 samples fewer a piece at the step 1/6).
    //
    // Beyond the outer end (l >= 1), P(1) is taken out the same way: the singularity at l, outside
    // [0, 1] but as close as the lens passes the limb, then meets P(r) - P(1), which vanishes at
    // r = 1. Left in, it stalls the rule's convergence near r = 1 where the steps do not show it
    // (measured: 2e-14 to 4.6e-14 for l - 1 from 1e-6 to 1e-5, rho from 0.01 to 1).
    const bool inside =
        l > 0.0 && l < 1.0 && std::find(breaks.begin(), breaks.end(), l) == breaks.end();
    const double level = inside ? profile(l) : l >= 1.0 ? profile(1.0) : 0.0;
    // The ring flux vanishes like r at r = 0 (l > 0); elsewhere it is bounded.
    const auto end_kind = [&](double r) noexcept {
        return r == l     ? (inside ? de::End::vanishing : de::End::logarithmic)
               : r == 0.0 ? de::End::vanishing
                          : de::End::bounded;
    };
    double total = level * (std::numbers::pi * disk);
    for_each_piece(breaks, l, [&](double a, double b) {
        const auto ring_flux = [&](const de::Sample& s) noexcept {
            const double d = a == l ? s.from_a : b == l ? -s.to_b : s.y - l;
            return (profile(s.y) - level) * (kTwoPi * s.y * kernels.ring(l, s.y, d, big_r));
        };
        const de::Ends ends{end_kind(a), end_kind(b)};
        const de::Steps steps = tanh_sinh_steps(a, b, l, big_r, singular_limb);
        total = total +
                (singular_limb && b == 1.0
                     ? de::integrate_relative(ring_flux, a, b, kRelativeTarget, floor, ends, steps)
                           .value
                     : piece_integral(ring_flux, a, b, l, floor, ends, steps));
    });
    return total / divisor;
}

} // namespace finitemu::routines
