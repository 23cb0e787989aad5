// The routines of the limb-darkened disk and of flux maps: the source formed once per call
// (integrals/sources.hpp), then one map item per separation. Each item depends on its separation
// and on the source alone, so the doubles are those of one evaluation after another, for any
// number of workers.
#include "integrals/sources.hpp"
#include "routines/magnification.hpp"
#include "routines/map.hpp"
#include "routines/work.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>

namespace finitemu::routines {

namespace {

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
    const double item_seconds =
        l.empty() ? kSeriesSeconds : integral_seconds(l) / static_cast<double>(l.size());
    return map_items<WithoutPool::compute_here>(l, f, item_seconds);
}

} // namespace

Result<std::vector<double>> integrated_witt_mao_magnification(const std::vector<double>& l,
                                                              double re, double rstar) {
    const double rho = rstar / re;
    static const integrals::LimbDarkenedSource source;
    return map_separations(l, [&](double li) noexcept { return source.nested_disks(li, rho); });
}

Result<std::vector<double>> integrated_heyrovsky_magnification(const std::vector<double>& l,
                                                               double re, double rstar) {
    const double rho = rstar / re;
    static const integrals::LimbDarkenedSource source;
    return map_separations(l, [&](double li) noexcept { return source.rings(li, rho); });
}

namespace {

// A flux map's profile, ring by ring. The uniform-disk kernel enters the Witt-Mao variant through
// the ring it differentiates into: the flux of the disk of radius r is F(r) = pi r^2 W(u, rho r),
// and F'(r) = 2 pi r H(l, r), the ring flux, so both variants integrate the ring kernel and give
// the same doubles. Where the disk itself enters, it is as that exact integral: the brightness at
// the lens times int_0^1 F'(r) dr = F(1) (integrals/ring_integral.hpp), the rest by rings. A finite
// annulus, (r2^2 W(r2) - r1^2 W(r1)) / (r2^2 - r1^2), would be F' only to O(h^2) and lose digits
// dividing by its width.
Result<std::vector<double>> integrated_flux_map(std::span<const double> l, double re, double rstar,
                                                const std::vector<double>& bl,
                                                const std::vector<double>& bf) {
    if (auto failure = check_lengths(bl, bf)) {
        return std::unexpected(*failure);
    }
    const double rho = rstar / re;
    const integrals::FluxMapSource source(bl, bf);
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
    const integrals::DiscreteRingsSource source(bl, bf);
    // Each separation stops at its first failing ring; the error raised is that of the first
    // failing (separation, ring) pair in that order, as when the pairs ran one after another.
    auto sums = map_items<WithoutPool::compute_here>(
        std::span<const double>(l),
        [&](double li) noexcept { return source.rings(li, rho, big_r); },
        kRingKernelSeconds * static_cast<double>(std::max<std::size_t>(bl.size(), 1)));
    if (!sums) {
        return std::unexpected(sums.error());
    }
    std::vector<double> result;
    result.reserve(sums->size());
    for (const auto& sum : *sums) {
        if (!sum) {
            return std::unexpected(Error::numeric(sum.error()));
        }
        result.push_back(*sum);
    }
    return result;
}

} // namespace finitemu::routines
