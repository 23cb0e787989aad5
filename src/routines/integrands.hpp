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
// jumps of P). A piece that ends at r = l is taken by a generalized Gaussian rule for its
// logarithmic end where the rest of the integrand is analytic far enough around it, else by the
// tanh-sinh rule; both see the distance to l exactly (numeric/quadrature.hpp). A piece away from
// l, where the integrand is analytic, takes a Gauss-Legendre rule of the order the distance to l
// calls for. Every rule stops at (or is chosen for) a relative error of kRelativeTarget, so a
// result means the same for any unit of brightness.
#pragma once

#include "kernels/heyrovsky.hpp"
#include "kernels/witt_mao.hpp"
#include "numeric/mean_value_series.hpp"
#include "numeric/quadrature.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
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

// A flux map of many nodes: beyond the pieces next to l, the rest of each side of l is taken in
// blocks graded away from l, each spanning the distances d to kBlockRatio d from it, by product
// integration (the ring kernel interpolated, the profile's lines integrated exactly: numeric
// integrate_against), whose samples do not grow with the nodes inside. The ratio 3 puts l at
// twice a block's half-length from its centre: 32 samples a block, some 67 a decade of distance,
// where one Gauss-Legendre rule a piece needs at least 4 samples a piece (measured: 401 nodes
// took 1765 samples a separation at l < 1).
inline constexpr double kBlockRatio = 3.0;
// Runs of fewer pieces are taken piece by piece: blocks never need fewer samples there (11 nodes:
// 67 samples a decade against 40 to 70 for the pieces of a whole side).
inline constexpr std::size_t kFewestPiecesForBlocks = 16;
// Blocks start where the pieces are kBlockDepth of their lengths away from l (a block then holds
// at least 2 kBlockDepth of them), and are taken if they need fewer samples than kPieceSamples
// a piece (a piece needs 4 to 8 there; a block adds some arithmetic for each node inside).
inline constexpr double kBlockDepth = 4.0;
// Samples a piece that tanh-sinh takes, for comparison (about 70 where Gauss-Legendre fails).
inline constexpr int kTanhSinhSamples = 70;
inline constexpr double kPieceSamples = 3.0;

// The nearer of the singular points +-l to the centre of [a, b].
inline double nearer_singular_point(double a, double b, double l) noexcept {
    const double centre = 0.5 * (a + b);
    return std::abs(l - centre) <= std::abs(l + centre) ? l : -l;
}

// fn(a, b) for each graded block from `start` (nearer to l) to `end`; a start within rounding of
// l, whose next end would not move away from it, takes the rest in one block.
template <class Fn> void for_each_block(double start, double end, double l, Fn&& fn) {
    double a = start;
    while (a != end) {
        const double reach = l + kBlockRatio * (a - l);
        double b = end > a ? std::min(end, reach) : std::max(end, reach);
        b = std::abs(b - l) > std::abs(a - l) ? b : end;
        fn(std::min(a, b), std::max(a, b));
        a = b;
    }
}

// Samples the graded blocks from `start` to `end` need, or -1 when a block needs more than the
// rule's orders (l too close for the ratio).
inline int block_samples(double start, double end, double l) noexcept {
    namespace gl = numeric::quadrature::gauss_legendre;
    int samples = 0;
    for_each_block(start, end, l, [&](double a, double b) {
        const int order = samples < 0 ? 0
                                      : gl::interpolation_order_for(
                                            a, b, nearer_singular_point(a, b, l), kRelativeTarget);
        samples = order > 0 ? samples + order : -1;
    });
    return samples;
}

// The pieces of [0, 1] between `breaks` (ascending, from 0 to 1), the piece that holds l split
// there: piece(a, b) for those that end at l and, on each side of l, for the pieces nearest to
// it; block(a, b, order) for the graded blocks that take the rest of a side, where they need
// fewer samples than its pieces one by one. With l strictly inside a piece, hinge(far, near) may
// take the half of that piece on one side, [near, l], with the next piece, [far, near], itself
// (returning true).
template <class Piece, class Block, class Hinge>
void for_each_part(std::span<const double> breaks, double l, Piece&& piece, Block&& block,
                   Hinge&& hinge) {
    namespace gl = numeric::quadrature::gauss_legendre;
    const std::size_t n = breaks.size() - 1; // pieces
    // breaks[0 .. left] below the pieces that end at l, breaks[right .. n] above them.
    const std::size_t above = static_cast<std::size_t>(
        std::lower_bound(breaks.begin(), breaks.end(), l) - breaks.begin());
    std::size_t left = n;
    std::size_t right = n;
    if (above <= n) { // l <= 1
        const bool at_break = breaks[above] == l;
        left = above == 0 ? 0 : above - 1;
        right = at_break ? std::min(above + 1, n) : above;
        const bool split = above > 0 && !at_break;
        if (split && left > 0 && hinge(breaks[left - 1], breaks[left])) {
            --left;
        } else if (above > 0) {
            piece(breaks[above - 1], l);
        }
        if (split && right < n && hinge(breaks[right + 1], breaks[right])) {
            ++right;
        } else if (above < n || !at_break) {
            piece(l, breaks[at_break ? above + 1 : above]);
        }
    }
    // A side of `count` pieces, the k-th nearest to l spanning [near(k), far(k)].
    const auto side = [&](std::size_t count, auto near, auto far) {
        std::size_t first_block = count; // pieces from here on go to blocks
        if (count >= kFewestPiecesForBlocks) {
            // From the first piece at least kBlockDepth of its lengths away from l, if the blocks
            // cost fewer samples than kPieceSamples for each piece they take.
            std::size_t k = 0;
            while (k < count && std::abs(near(k) - l) < kBlockDepth * std::abs(far(k) - near(k))) {
                ++k;
            }
            if (k < count) {
                const int blocks = block_samples(near(k), far(count - 1), l);
                if (blocks > 0 &&
                    static_cast<double>(blocks) < kPieceSamples * static_cast<double>(count - k)) {
                    first_block = k;
                }
            }
        }
        for (std::size_t k = 0; k < first_block; ++k) {
            piece(std::min(near(k), far(k)), std::max(near(k), far(k)));
        }
        if (first_block < count) {
            for_each_block(near(first_block), far(count - 1), l, [&](double a, double b) {
                block(a, b,
                      gl::interpolation_order_for(a, b, nearer_singular_point(a, b, l),
                                                  kRelativeTarget));
            });
        }
    };
    side(
        left, [&](std::size_t k) { return breaks[left - k]; },
        [&](std::size_t k) { return breaks[left - k - 1]; });
    side(
        n - right, [&](std::size_t k) { return breaks[right + k]; },
        [&](std::size_t k) { return breaks[right + k + 1]; });
}

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

// int_a^b f(r) dr for an integrand analytic on [a, b] except possibly at r = l: tanh-sinh when
// a piece ends at l (f gets the exact distance), else Gauss-Legendre of the order the nearer of
// the singular points +-l calls for (tanh-sinh, with `ends` and `steps`, when it lies too close).
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
    const auto piece = [&](double a, double b) {
        const auto ring_flux = [&](const de::Sample& s) noexcept {
            const double d = a == l ? s.from_a : b == l ? -s.to_b : s.y - l;
            return (profile(s.y) - level) * (kTwoPi * s.y * kernels.ring(l, s.y, d, big_r));
        };
        const de::Ends ends{end_kind(a), end_kind(b)};
        const de::Steps steps = tanh_sinh_steps(a, b, l, big_r, singular_limb);
        total =
            total +
            (singular_limb && b == 1.0
                 ? de::integrate_relative(ring_flux, a, b, kRelativeTarget, floor, ends, steps)
                       .value
                 : piece_integral(ring_flux, a, b, l, floor, ends, steps, big_r, singular_limb));
    };
    if (singular_limb) {
        for_each_piece(breaks, l, piece);
        return total / divisor;
    }
    // The profile's line on [p, q], less the level, from two of its points. A piece too short for
    // two points (a block's end a rounding away from a node) weighs nothing: any line will do.
    const auto line_of = [&](double p, double q) noexcept {
        const double r1 = p + 0.25 * (q - p);
        const double r2 = p + 0.75 * (q - p);
        const double y1 = profile(r1) - level;
        const double slope = r2 > r1 ? (profile(r2) - level - y1) / (r2 - r1) : 0.0;
        return numeric::quadrature::gauss_legendre::Line{slope, r1, y1};
    };
    const auto block = [&](double a, double b, int order) {
        const auto nodes = std::span(std::upper_bound(breaks.begin(), breaks.end(), a),
                                     std::lower_bound(breaks.begin(), breaks.end(), b));
        const auto line = [&](std::size_t i) noexcept {
            return line_of(i == 0 ? a : nodes[i - 1], i == nodes.size() ? b : nodes[i]);
        };
        const auto ring_flux = [&](double r) noexcept {
            return kTwoPi * r * kernels.ring(l, r, r - l, big_r);
        };
        total = total + numeric::quadrature::gauss_legendre::integrate_against(ring_flux, a, b,
                                                                               order, nodes, line);
    };
    // The half [near, l] of l's piece and the next piece [far, near] at once, when the
    // generalized Gaussian rule on [far, l] needs fewer samples than [far, near] alone (whose end
    // lies as close to l as near does). With P = level + slope (r - l) on l's piece and a line of
    // slope slope + gamma on the next, continuous at near,
    //   int_far^l (P - level) F' = int_far^l (slope (r - l) + gamma (r - near)) F'
    //                              - int_near^l gamma (r - near) F',
    // two integrals that end at l.
    const auto hinge = [&](double far, double near) {
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
            return weight(r) * (kTwoPi * r * kernels.ring(l, r, toward * s, big_r));
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
    };
    for_each_part(breaks, l, piece, block, hinge);
    return total / divisor;
}

} // namespace finitemu::routines
