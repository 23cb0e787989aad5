// The routines of the limb-darkened disk and of flux maps: the integrals of
// routines/integrands.hpp, one map item per separation. Each magnification depends on its
// separation and on values fixed before the map (rho, the profile, the total flux), so the
// doubles are those of one evaluation after another, for any number of workers.
#include "kernels/heyrovsky.hpp"
#include "routines/flux_map_profile.hpp"
#include "routines/integrands.hpp"
#include "routines/magnification.hpp"
#include "routines/map.hpp"
#include "routines/work.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>

namespace finitemu {

namespace {

using routines::map_items;
using routines::WithoutPool;

// A flux map's radii and brightnesses pair up one to one.
std::optional<Error> check_lengths(const std::vector<double>& bl, const std::vector<double>& bf) {
    if (bl.size() == bf.size()) {
        return std::nullopt;
    }
    return Error::of(ErrorKind::flux_map_lengths, bl.size(), bf.size());
}

// The flux map's profile integrated ring by ring: P the linear interpolation of (bl, bf), 0
// outside [bl[0], bl[n-1]], split at those ends.
Result<std::vector<double>> integrated_flux_map(std::span<const double> l, double re, double rstar,
                                                const std::vector<double>& bl,
                                                const std::vector<double>& bf) {
    if (auto failure = check_lengths(bl, bf)) {
        return std::unexpected(*failure);
    }
    const routines::FluxMapProfile profile(bl, bf);
    const auto [first, last] = routines::support_ends(bl);
    const double total = routines::profile_flux(profile, first, last);
    const double big_r = re / rstar;
    return map_items<WithoutPool::compute_here>(
        l,
        [&](double li) noexcept {
            return routines::ring_integral(li, profile, big_r, total, first, last);
        },
        work::kIntegralSeconds);
}

} // namespace

Result<std::vector<double>> integrated_witt_mao_magnification(std::vector<double> l, double re,
                                                              double rstar) {
    const double rho = rstar / re;
    return map_items<WithoutPool::compute_here>(
        std::span<const double>(l),
        [rho](double li) noexcept { return routines::limb_darkened_nested_disks(li, rho); },
        work::kIntegralSeconds);
}

Result<std::vector<double>> integrated_heyrovsky_magnification(std::vector<double> l, double re,
                                                               double rstar) {
    const double big_r = re / rstar;
    const double none = std::numeric_limits<double>::quiet_NaN();
    return map_items<WithoutPool::compute_here>(
        std::span<const double>(l),
        [big_r, none](double li) noexcept {
            return routines::ring_integral(li, routines::limb_darkening, big_r,
                                           routines::kLimbDarkenedFlux, none, none);
        },
        work::kIntegralSeconds);
}

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
Result<std::vector<double>> integrated_flux_map_witt_mao_magnification(std::vector<double> l,
                                                                       double re, double rstar,
                                                                       std::vector<double> bl,
                                                                       std::vector<double> bf) {
    return integrated_flux_map(l, re, rstar, bl, bf);
}

Result<std::vector<double>> integrated_flux_map_heyrovsky_magnification(std::vector<double> l,
                                                                        double re, double rstar,
                                                                        std::vector<double> bl,
                                                                        std::vector<double> bf) {
    return integrated_flux_map(l, re, rstar, bl, bf);
}

Result<std::vector<double>> discrete_flux_map_heyrovsky_magnification(std::vector<double> l,
                                                                      double re, double rstar,
                                                                      std::vector<double> bl,
                                                                      std::vector<double> bf) {
    if (auto failure = check_lengths(bl, bf)) {
        return std::unexpected(*failure);
    }
    const double big_r = re / rstar;
    // Each separation stops at its first failing ring; the error raised is that of the first
    // failing (separation, ring) pair in that order, as when the pairs ran one after another.
    struct RingSum {
        double value = 0.0;
        const char* error = nullptr;
    };
    auto sums = map_items<WithoutPool::compute_here>(
        std::span<const double>(l),
        [&](double li) noexcept {
            RingSum sum;
            for (std::size_t j = 0; j < bl.size(); ++j) {
                const auto h = kernels::heyrovsky_magnification_source_radii(li, bl[j], big_r);
                if (!h) {
                    return RingSum{0.0, h.error()};
                }
                sum.value = sum.value + *h * bf[j];
            }
            return sum;
        },
        work::kRingKernelSeconds * static_cast<double>(std::max<std::size_t>(bl.size(), 1)));
    if (!sums) {
        return std::unexpected(sums.error());
    }
    std::vector<double> result;
    result.reserve(sums->size());
    for (const RingSum& sum : *sums) {
        if (sum.error != nullptr) {
            return std::unexpected(Error::numeric(sum.error));
        }
        result.push_back(sum.value);
    }
    return result;
}

} // namespace finitemu
