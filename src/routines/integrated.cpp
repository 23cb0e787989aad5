// Magnifications of extended sources with a radial brightness profile P(r), r in source radii:
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
//
// Every separation is one item of a parallel map: its magnification depends on its separation and
// on values fixed before the map (rho, the profile, the total flux), so the doubles are those of
// one evaluation after another, for any number of workers.
#include "kernels/heyrovsky.hpp"
#include "kernels/witt_mao.hpp"
#include "lib/flux_map_profile.hpp"
#include "lib/magnification.hpp"
#include "numeric/interp.hpp"
#include "numeric/quadrature.hpp"
#include "parallel/parallel_map.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace finitemu {

namespace {

namespace de = numeric::quadrature::double_exponential;

constexpr double kTarget = 1e-16;            // absolute target of every integral
constexpr double kTwoPi = 6.283185307179586; // 2 pi
// Linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)) = 0.4 + 0.6 sqrt(1 - r^2).
constexpr double kUniformWeight = 0.4;
constexpr double kLimbWeight = 0.6;
// int_0^1 I(r) 2 pi r dr = 0.8 pi, kept as this literal (the double nearest 0.8 pi is
// 2.5132741228718345): results stay as callers have them.
constexpr double kLimbDarkenedFlux = 2.5132741228717936;

// The ends 0 and 1 and the break points strictly inside, ascending and distinct (NaNs dropped).
class Pieces {
public:
    Pieces(std::initializer_list<double> breaks) noexcept { add(breaks); }

    // Insertion keeps the few points sorted and distinct.
    void add(std::initializer_list<double> breaks) noexcept {
        for (const double b : breaks) {
            if (!(b > 0.0 && b < 1.0) || count_ == inner_.size()) {
                continue;
            }
            std::size_t k = count_;
            while (k > 0 && inner_[k - 1] > b) {
                --k;
            }
            if (k > 0 && inner_[k - 1] == b) {
                continue;
            }
            for (std::size_t j = count_; j > k; --j) {
                inner_[j] = inner_[j - 1];
            }
            inner_[k] = b;
            ++count_;
        }
    }

    template <class F> double integrate(F&& f) const noexcept {
        double total = 0.0;
        double a = 0.0;
        for (std::size_t k = 0; k < count_; ++k) {
            total = total + de::integrate(f, a, inner_[k], kTarget).value;
            a = inner_[k];
        }
        return total + de::integrate(f, a, 1.0, kTarget).value;
    }

private:
    std::array<double, 5> inner_{};
    std::size_t count_ = 0;
};

// A flux map's brightness jumps to 0 outside [bl[0], bl[n-1]]; one point is a constant profile.
std::pair<double, double> support_ends(std::span<const double> bl) noexcept {
    if (bl.size() < 2) {
        return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    }
    return {bl.front(), bl.back()};
}

std::optional<InternalFailure> check_lengths(const std::vector<double>& bl,
                                             const std::vector<double>& bf) {
    if (bl.size() == bf.size()) {
        return std::nullopt;
    }
    return InternalFailure{"assertion `left == right` failed\n  left: " +
                           std::to_string(bl.size()) + "\n right: " + std::to_string(bf.size())};
}

// N = int_0^1 P(r) 2 pi r dr, split at the support's ends.
double flux_map_total(const FluxMapProfile& profile) noexcept {
    const auto [first, last] = support_ends(profile.nodes());
    return Pieces{first, last}.integrate(
        [&](double r) noexcept { return profile(r) * (kTwoPi * r); });
}

// Cost of one separation's integrals, about 500 kernel evaluations (20 to 30 us measured), and of
// one ring kernel evaluation (about 40 ns): they size the maps worth a hand-off to the pool.
constexpr double kIntegralSeconds = 2e-5;
constexpr double kRingKernelSeconds = 4e-8;

// f(l_i) for every separation, in order: on the worker pool (a map shorter than
// `sequential_below` on the calling thread), or on the calling thread when no pool can be had
// (these functions computed there before the pool existed, and keep working).
template <class F>
std::expected<std::vector<parallel::map_value_t<double, F>>, InternalFailure>
map_separations(std::span<const double> l, const F& f,
                std::size_t sequential_below = parallel::sequential_below_for(kIntegralSeconds)) {
    if (parallel::pool_for_map()) {
        return parallel::parallel_map(l, f, sequential_below);
    }
    std::vector<parallel::map_value_t<double, F>> result;
    result.reserve(l.size());
    for (const double li : l) {
        result.push_back(f(li));
    }
    return result;
}

RoutineResult<std::vector<double>>
routine_result(std::expected<std::vector<double>, InternalFailure> mapped) {
    if (!mapped) {
        return std::unexpected(RoutineError{std::move(mapped.error())});
    }
    return std::move(*mapped);
}

} // namespace

namespace detail {

// M_i = int_0^1 P(r) 2 pi r H(l_i, r) dr / divisor, split at r = l_i and at `break_a`, `break_b`
// (NaN for none). A failed kernel evaluation makes its sample NaN, which the quadrature drops.
template <class Profile>
RoutineResult<std::vector<double>>
integrated_heyrovsky_magnification_with_profile(std::span<const double> l, const Profile& profile,
                                                double re, double rstar, double divisor,
                                                double break_a, double break_b) {
    const double big_r = re / rstar;
    return routine_result(map_separations(l, [&](double li) noexcept {
        const auto ring_flux = [&](double r) noexcept {
            const double h = kernels::heyrovsky_magnification_scaled(li, r, big_r)
                                 .value_or(std::numeric_limits<double>::quiet_NaN());
            return profile(r) * (kTwoPi * r * h);
        };
        return Pieces{li, break_a, break_b}.integrate(ring_flux) / divisor;
    }));
}

} // namespace detail

RoutineResult<std::vector<double>> integrated_witt_mao_magnification(std::vector<double> l,
                                                                     double re, double rstar) {
    // Nested uniform disks: the sqrt(1 - r^2) part carries the flux
    // int_0^1 pi r^2 W(u, rho r) r / sqrt(1 - r^2) dr = pi int_0^1 (1 - x^2) W(u, rho sqrt(1 -
    // x^2)) dx with x = sqrt(1 - r^2), bounded at the limb; the lens at r = l sits at x = sqrt(1 -
    // l^2).
    const double rho = rstar / re;
    return routine_result(map_separations(l, [rho](double li) noexcept {
        const double u = li * rho;
        const auto nested = [&](double x) noexcept {
            const double s2 = 1.0 - x * x;
            if (s2 == 0.0) {
                return 0.0;
            }
            const double s = std::sqrt(s2);
            return s * s * kernels::witt_mao_magnification_scaled(u, rho * s);
        };
        const double lens = li > 0.0 && li < 1.0 ? std::sqrt(1.0 - li * li)
                                                 : std::numeric_limits<double>::quiet_NaN();
        const double integral = Pieces{lens}.integrate(nested);
        const double full = kernels::witt_mao_magnification_scaled(u, rho);
        return (kUniformWeight * full + kLimbWeight * integral) * std::numbers::pi /
               kLimbDarkenedFlux;
    }));
}

RoutineResult<std::vector<double>> integrated_heyrovsky_magnification(std::vector<double> l,
                                                                      double re, double rstar) {
    const auto limb_darkening = [](double r) noexcept {
        return (1.0 - std::sqrt(1.0 - r * r)) * -kLimbWeight + 1.0;
    };
    const double none = std::numeric_limits<double>::quiet_NaN();
    return detail::integrated_heyrovsky_magnification_with_profile(l, limb_darkening, re, rstar,
                                                                   kLimbDarkenedFlux, none, none);
}

namespace {

// A flux map: P the linear interpolation of (bl, bf), 0 outside [bl[0], bl[n-1]], integrated
// ring by ring.
RoutineResult<std::vector<double>> integrated_flux_map_magnification(std::span<const double> l,
                                                                     std::vector<double> bl,
                                                                     std::vector<double> bf,
                                                                     double re, double rstar) {
    if (auto failure = check_lengths(bl, bf)) {
        return std::unexpected(std::move(*failure));
    }
    const FluxMapProfile profile(bl, bf);
    const double total = flux_map_total(profile);
    const auto [first, last] = support_ends(bl);
    return detail::integrated_heyrovsky_magnification_with_profile(l, profile, re, rstar, total,
                                                                   first, last);
}

} // namespace

// The uniform-disk kernel enters through the ring it differentiates into: the flux of the disk
// of radius r is pi r^2 W(u, rho r), and
//
//   d/dr (pi r^2 W(u, rho r)) = 2 pi r H(l, r),
//
// the ring flux, so the integrand is P(r) 2 pi r H(l, r) with the ring kernel itself. A finite
// annulus, (r2^2 W(u, rho r2) - r1^2 W(u, rho r1)) / (r2^2 - r1^2), is that derivative only to
// O(h^2): with h = 1e-4 it is biased by ~3e-9 near the limb, smears the kink of W at r = l
// (~1e-5 inside the source), underweights the 1/r magnification of the clipped first annulus
// when the lens is at the centre (~4e-5), and loses four digits dividing by its width.
RoutineResult<std::vector<double>>
integrated_flux_map_witt_mao_magnification(std::vector<double> l, std::vector<double> bl,
                                           std::vector<double> bf, double re, double rstar) {
    return integrated_flux_map_magnification(l, std::move(bl), std::move(bf), re, rstar);
}

RoutineResult<std::vector<double>>
integrated_flux_map_heyrovsky_magnification(std::vector<double> l, std::vector<double> bl,
                                            std::vector<double> bf, double re, double rstar) {
    return integrated_flux_map_magnification(l, std::move(bl), std::move(bf), re, rstar);
}

RoutineResult<std::vector<double>>
discrete_flux_map_heyrovsky_magnification(std::vector<double> l, std::vector<double> bl,
                                          std::vector<double> bf, double re, double rstar) {
    if (auto failure = check_lengths(bl, bf)) {
        return std::unexpected(std::move(*failure));
    }
    const double big_r = re / rstar;
    // Each separation stops at its first failing ring; the error raised is that of the first
    // failing (separation, ring) pair in that order, as when the pairs ran one after another.
    struct RingSum {
        double value = 0.0;
        const char* error = nullptr;
    };
    const std::size_t sequential_below = parallel::sequential_below_for(
        kRingKernelSeconds * static_cast<double>(std::max<std::size_t>(bl.size(), 1)));
    auto sums = map_separations(
        l,
        [&](double li) noexcept {
            RingSum sum;
            for (std::size_t j = 0; j < bl.size(); ++j) {
                const auto h = kernels::heyrovsky_magnification_scaled(li, bl[j], big_r);
                if (!h) {
                    return RingSum{0.0, h.error()};
                }
                sum.value = sum.value + *h * bf[j];
            }
            return sum;
        },
        sequential_below);
    if (!sums) {
        return std::unexpected(RoutineError{std::move(sums.error())});
    }
    std::vector<double> result;
    result.reserve(sums->size());
    for (const RingSum& sum : *sums) {
        if (sum.error != nullptr) {
            return std::unexpected(NumericError{sum.error});
        }
        result.push_back(sum.value);
    }
    return result;
}

} // namespace finitemu
