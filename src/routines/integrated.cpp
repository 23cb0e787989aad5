// The routines of the limb-darkened disk and of flux maps: the source formed once per call
// (routines/sources.hpp), then one map item per separation. Each item depends on its separation
// and on the source alone, so the doubles are those of one evaluation after another, for any
// number of workers.
#include "kernels/heyrovsky.hpp"
#include "routines/magnification.hpp"
#include "routines/map.hpp"
#include "routines/sources.hpp"
#include "routines/work.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
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

// The separations mapped with f; the map's cost is estimated from how many lie far (series) and
// how many near (integrals).
template <class F> Result<std::vector<double>> map_separations(std::span<const double> l, F f) {
    const double item_seconds = l.empty()
                                    ? work::kSeriesSeconds
                                    : work::integral_seconds(l) / static_cast<double>(l.size());
    return map_items<WithoutPool::compute_here>(l, f, item_seconds);
}

} // namespace

Result<std::vector<double>> integrated_witt_mao_magnification(const std::vector<double>& l,
                                                              double re, double rstar) {
    const double rho = rstar / re;
    static const routines::LimbDarkenedSource source;
    return map_separations(l, [&](double li) noexcept { return source.nested_disks(li, rho); });
}

Result<std::vector<double>> integrated_heyrovsky_magnification(const std::vector<double>& l,
                                                               double re, double rstar) {
    const double rho = rstar / re;
    static const routines::LimbDarkenedSource source;
    return map_separations(l, [&](double li) noexcept { return source.rings(li, rho); });
}

namespace {

// A flux map's profile, ring by ring. The uniform-disk kernel enters the Witt-Mao variant through
// the ring it differentiates into: the flux of the disk of radius r is F(r) = pi r^2 W(u, rho r),
// and F'(r) = 2 pi r H(l, r), the ring flux, so both variants integrate the ring kernel and give
// the same doubles. Where the disk itself enters, it is as that exact integral: the brightness at
// the lens times int_0^1 F'(r) dr = F(1) (routines/integrands.hpp), the rest by rings. A finite
// annulus, (r2^2 W(r2) - r1^2 W(r1)) / (r2^2 - r1^2), would be F' only to O(h^2) and lose digits
// dividing by its width.
Result<std::vector<double>> integrated_flux_map(std::span<const double> l, double re, double rstar,
                                                const std::vector<double>& bl,
                                                const std::vector<double>& bf) {
    if (auto failure = check_lengths(bl, bf)) {
        return std::unexpected(*failure);
    }
    const double rho = rstar / re;
    const routines::FluxMapSource source(bl, bf);
    return map_separations(l, [&](double li) noexcept { return source.rings(li, rho); });
}

} // namespace

Result<std::vector<double>>
integrated_flux_map_witt_mao_magnification(const std::vector<double>& l, double re, double rstar,
                                           const std::vector<double>& bl,
                                           const std::vector<double>& bf) {
    return integrated_flux_map(l, re, rstar, bl, bf);
}

Result<std::vector<double>>
integrated_flux_map_heyrovsky_magnification(const std::vector<double>& l, double re, double rstar,
                                            const std::vector<double>& bl,
                                            const std::vector<double>& bf) {
    return integrated_flux_map(l, re, rstar, bl, bf);
}

Result<std::vector<double>>
discrete_flux_map_heyrovsky_magnification(const std::vector<double>& l, double re, double rstar,
                                          const std::vector<double>& bl,
                                          const std::vector<double>& bf) {
    if (auto failure = check_lengths(bl, bf)) {
        return std::unexpected(*failure);
    }
    const double big_r = re / rstar;
    const double rho = rstar / re;
    // Far from every ring the sum is sum_j bf_j times the mean-value series of the rings: one
    // series over the moments sum_j bf_j bl_j^2k / sum_j bf_j, whatever the number of rings. Only
    // where no ring kernel could fail (finite non-negative radii and finite brightnesses).
    std::optional<routines::FarField> far;
    double weight = 0.0;
    double outer = 0.0;
    bool regular = routines::valid_source(rho) && routines::all_finite(bf) &&
                   routines::all_finite(bl) && !bl.empty();
    for (std::size_t j = 0; j < bl.size(); ++j) {
        weight += bf[j];
        outer = std::max(outer, bl[j]);
        regular = regular && bl[j] >= 0.0;
    }
    if (regular && outer > 0.0 && weight != 0.0 && std::isfinite(weight)) {
        far.emplace(numeric::discrete_ring_moments(bl, bf), outer);
    }
    // Each separation stops at its first failing ring; the error raised is that of the first
    // failing (separation, ring) pair in that order, as when the pairs ran one after another.
    struct RingSum {
        double value = 0.0;
        const char* error = nullptr;
    };
    auto sums = map_items<WithoutPool::compute_here>(
        std::span<const double>(l),
        [&](double li) noexcept {
            if (far && std::isfinite(li) && far->covers(li)) {
                return RingSum{weight * far->value(li, rho), nullptr};
            }
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
