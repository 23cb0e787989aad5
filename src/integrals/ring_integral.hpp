// The magnification of one separation for a source with radial brightness profile P(r), r in
// source radii, by thin rings:
//
//   M(l) = int_0^1 P(r) 2 pi r H(l, r) dr / N,   N = int_0^1 P(r) 2 pi r dr,
//
// H the mean magnification of the ring of radius r (Heyrovsky 2003). With the uniform-disk
// kernel W (Witt & Mao 1994) the ring flux 2 pi r H is F'(r), F(r) = pi r^2 W(l rho, r rho) the
// lensed flux of the disk of radius r (rho the source radius in Einstein radii).
//
// The ring integral is P(l) F(1) plus int_0^1 (P(r) - P(l)) F'(r) dr, split where the integrand
// breaks (integrals/partition.hpp): at r = l (logarithmic singularity of H, kink of W) and at a
// flux map's nodes (kinks and jumps of P). A piece that ends at r = l is taken by a generalized
// Gaussian rule for its logarithmic end (numeric/log_gauss.hpp) where the rest of the integrand
// is analytic far enough around it, else by the tanh-sinh rule (numeric/tanh_sinh.hpp); both see
// the distance to l exactly. A piece away from l, where the integrand is analytic, takes a
// Gauss-Legendre rule (numeric/gauss_legendre.hpp) of the order the distance to l calls for.
// Every rule stops at (or is chosen for) a relative error of kRelativeTarget.
#pragma once

#include "integrals/kernels.hpp"
#include "integrals/partition.hpp"
#include "numeric/constants.hpp"
#include "numeric/gauss_legendre.hpp"
#include "numeric/log_gauss.hpp"
#include "numeric/tanh_sinh.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <numbers>
#include <span>

namespace finitemu::integrals {

// Samples a piece that tanh-sinh takes, for comparison (about 70 where Gauss-Legendre fails).
inline constexpr int kTanhSinhSamples = 70;

// The order of the generalized Gaussian rule on [l, l + h] (toward = 1) or [l - h, l]
// (toward = -1) for the ring flux, whose parts A and B are singular at the mirror r = -l, the
// limb r = 1 (`limb`) and r = l +- 2i big_r; 0 when none of the table suffices.
inline int log_gauss_order(double h, double l, double toward, double big_r, bool limb) noexcept {
    const std::complex<double> singular[] = {
        {-2.0 * l * toward, 0.0},
        {(1.0 - l) * toward, limb ? 0.0 : std::numeric_limits<double>::infinity()},
        {0.0, 2.0 * big_r}};
    return numeric::quadrature::log_gauss::order_for(h, singular, kRelativeTarget);
}

// int_a^b f(r) dr for an integrand analytic on [a, b] except possibly at r = l: when a piece ends
// at l, the rule for a logarithmic end or else tanh-sinh (f gets the exact distance either way);
// else Gauss-Legendre of the order the nearer of the singular points +-l calls for (tanh-sinh,
// with `ends` and `steps`, when it lies too close).
//
// A piece that ends at l, where the ring flux is A(r) + B(r) ln|r - l| with A and B analytic near
// l, takes the generalized Gaussian rule for a logarithmic end (numeric log_gauss) when A and B
// are analytic far enough around it: their singular points are the mirror r = -l, the limb
// r = 1 (`limb`: the law's sqrt(1 - r^2)), and r = l +- 2i big_r, where the ring meets the branch
// points of the point-source magnification (dist = 2i Einstein radii).
template <class F>
double piece_integral(const F& f, double a, double b, double l, double floor,
                      numeric::quadrature::double_exponential::Ends ends,
                      numeric::quadrature::double_exponential::Steps steps, double big_r,
                      bool limb) noexcept {
    namespace gl = numeric::quadrature::gauss_legendre;
    namespace de = numeric::quadrature::double_exponential;
    namespace lg = numeric::quadrature::log_gauss;
    if (a == l || b == l) {
        // s, the distance from l into the piece: r = l + s on [l, b], l - s on [a, l].
        const double h = b - a;
        if (const int order = log_gauss_order(h, l, a == l ? 1.0 : -1.0, big_r, limb); order > 0) {
            return lg::integrate(
                [&](double s) noexcept {
                    return a == l ? f(de::Sample{l + s, s, h - s}) : f(de::Sample{l - s, h - s, s});
                },
                h, order);
        }
    } else {
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

// The parts of the ring integral of one separation, each added to `total` as the partition
// hands it over (ring_integral): `level` is the brightness taken out in closed form, `floor` the
// absolute error below which a piece's refinement stops.
template <class Profile, class K> struct RingParts {
    double l;
    double big_r;
    double level;
    double floor;
    bool inside; // l strictly inside a piece of (0, 1)
    bool singular_limb;
    std::span<const double> breaks;
    const Profile& profile;
    const K& kernels;
    double total;

    // The ring flux vanishes like r at r = 0 (l > 0); elsewhere it is bounded.
    numeric::quadrature::double_exponential::End end_kind(double r) const noexcept {
        namespace de = numeric::quadrature::double_exponential;
        return r == l     ? (inside ? de::End::vanishing : de::End::logarithmic)
               : r == 0.0 ? de::End::vanishing
                          : de::End::bounded;
    }

    // (P(r) - level) 2 pi r H on the piece [a, b].
    void piece(double a, double b) noexcept {
        namespace de = numeric::quadrature::double_exponential;
        const auto ring_flux = [&](const de::Sample& s) noexcept {
            const double d = a == l ? s.from_a : b == l ? -s.to_b : s.y - l;
            return (profile(s.y) - level) *
                   (numeric::kTwoPi * s.y * kernels.ring(l, s.y, d, big_r));
        };
        const de::Ends ends{end_kind(a), end_kind(b)};
        const de::Steps steps = tanh_sinh_steps(a, b, l, big_r, singular_limb);
        total =
            total +
            (singular_limb && b == 1.0
                 ? de::integrate_relative(ring_flux, a, b, kRelativeTarget, floor, ends, steps)
                       .value
                 : piece_integral(ring_flux, a, b, l, floor, ends, steps, big_r, singular_limb));
    }

    // The profile's line on [p, q], less the level, from two of its points. A piece too short for
    // two points (a block's end a rounding away from a node) weighs nothing: any line will do.
    numeric::quadrature::gauss_legendre::Line line_of(double p, double q) const noexcept {
        const double r1 = p + 0.25 * (q - p);
        const double r2 = p + 0.75 * (q - p);
        const double y1 = profile(r1) - level;
        const double slope = r2 > r1 ? (profile(r2) - level - y1) / (r2 - r1) : 0.0;
        return numeric::quadrature::gauss_legendre::Line{slope, r1, y1};
    }

    // The graded block [a, b] by product integration against the profile's lines.
    void block(double a, double b, int order) noexcept {
        const auto nodes = std::span(std::upper_bound(breaks.begin(), breaks.end(), a),
                                     std::lower_bound(breaks.begin(), breaks.end(), b));
        const auto line = [&](std::size_t i) noexcept {
            return line_of(i == 0 ? a : nodes[i - 1], i == nodes.size() ? b : nodes[i]);
        };
        const auto ring_flux = [&](double r) noexcept {
            return numeric::kTwoPi * r * kernels.ring(l, r, r - l, big_r);
        };
        total = total + numeric::quadrature::gauss_legendre::integrate_against(ring_flux, a, b,
                                                                               order, nodes, line);
    }

    // The half [near, l] of l's piece and the next piece [far, near] at once, when the
    // generalized Gaussian rule on [far, l] needs fewer samples than [far, near] alone (whose end
    // lies as close to l as near does). With P = level + slope (r - l) on l's piece and a line of
    // slope slope + gamma on the next, continuous at near,
    //   int_far^l (P - level) F' = int_far^l (slope (r - l) + gamma (r - near)) F'
    //                              - int_near^l gamma (r - near) F',
    // two integrals that end at l.
    bool hinge(double far, double near) noexcept {
        namespace gl = numeric::quadrature::gauss_legendre;
        namespace lg = numeric::quadrature::log_gauss;
        if (!inside) {
            return false;
        }
        const double toward = far > l ? 1.0 : -1.0;
        // l's piece runs from near through l to the next break beyond l.
        const auto beyond = toward > 0.0 ? *(std::upper_bound(breaks.begin(), breaks.end(), l) - 1)
                                         : *std::upper_bound(breaks.begin(), breaks.end(), l);
        const double slope = line_of(std::min(near, beyond), std::max(near, beyond)).slope;
        const auto next = line_of(std::min(far, near), std::max(far, near));
        const double next_slope = next.slope;
        const double at_near = level + slope * (near - l);
        const double next_at_near = level + next(near);
        if (!(std::abs(at_near - next_at_near) <= 1e-12 * (std::abs(at_near) + std::abs(level)))) {
            return false; // a jump at near
        }
        const double gamma = next_slope - slope;
        const int whole = log_gauss_order(std::abs(l - far), l, toward, big_r, false);
        const int half = log_gauss_order(std::abs(l - near), l, toward, big_r, false);
        const int alone = gl::order_for(std::min(far, near), std::max(far, near),
                                        nearer_singular_point(far, near, l), kRelativeTarget);
        if (whole == 0 || half == 0 || whole >= (alone > 0 ? alone : kTanhSinhSamples)) {
            return false;
        }
        const auto flux = [&](double s, auto weight) noexcept {
            const double r = l + toward * s;
            return weight(r) * (numeric::kTwoPi * r * kernels.ring(l, r, toward * s, big_r));
        };
        total = total +
                lg::integrate(
                    [&](double s) noexcept {
                        return flux(s, [&](double r) noexcept {
                            return slope * (r - l) + gamma * (r - near);
                        });
                    },
                    std::abs(l - far), whole) -
                lg::integrate(
                    [&](double s) noexcept {
                        return flux(s, [&](double r) noexcept { return gamma * (r - near); });
                    },
                    std::abs(l - near), half);
        return true;
    }
};

// int_0^1 P(r) 2 pi r H(l, r) dr / divisor at separation l, rho the source radius in Einstein
// radii, P linear between `breaks` (ascending from 0 to 1: a flux map's nodes), or, with
// `singular_limb`, analytic but for the sqrt(1 - r^2) of the limb-darkening law at r = 1.
template <class Profile, class K = Kernels>
double ring_integral(double l, const Profile& profile, double rho, double divisor,
                     std::span<const double> breaks, bool singular_limb,
                     const K& kernels = {}) noexcept {
    const double big_r = 1.0 / rho;
    // A piece too small to matter stops at kRelativeTarget of the whole integral's scale, the
    // profile's flux times the disk's magnification.
    const double disk = kernels.disk(l * rho, rho);
    const double floor = kRelativeTarget * std::abs(divisor * disk) / numeric::kTwoPi;
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
    RingParts<Profile, K> parts{.l = l,
                                .big_r = big_r,
                                .level = level,
                                .floor = floor,
                                .inside = inside,
                                .singular_limb = singular_limb,
                                .breaks = breaks,
                                .profile = profile,
                                .kernels = kernels,
                                .total = level * (std::numbers::pi * disk)};
    if (singular_limb) {
        for_each_piece(breaks, l, [&](double a, double b) { parts.piece(a, b); });
    } else {
        for_each_part(
            breaks, l, [&](double a, double b) { parts.piece(a, b); },
            [&](double a, double b, int order) { parts.block(a, b, order); },
            [&](double far, double near) { return parts.hinge(far, near); });
    }
    return parts.total / divisor;
}

} // namespace finitemu::integrals
