// The routines behind witt_mao_magnification, multi_witt_mao_magnification and
// heyrovsky_magnification: the kernels of src/kernels mapped over the caller's separations.
#include "kernels/heyrovsky.hpp"
#include "kernels/witt_mao.hpp"
#include "routines/magnification.hpp"
#include "routines/map.hpp"
#include "routines/work.hpp"

#include <span>
#include <utility>

namespace finitemu {

namespace {

// The uniform disk over the separations, u = l rho: one map item each.
Result<std::vector<double>> disk_row(std::span<const double> l, double re, double rstar,
                                     parallel::Interruption* interruption) {
    // A source of radius -0.0 is no source, as 0 is: u = l rho keeps the sign of l.
    const double rho = rstar / re == 0.0 ? 0.0 : rstar / re;
    return routines::map_items<routines::WithoutPool::report>(
        l, [rho](double li) { return kernels::witt_mao_magnification_scaled(li * rho, rho); },
        work::kDiskKernelSeconds, interruption);
}

} // namespace

Result<std::vector<double>> witt_mao_magnification(const std::vector<double>& l, double re,
                                                   double rstar) {
    return disk_row(l, re, rstar, parallel::current_interruption());
}

Result<std::vector<std::vector<double>>>
multi_witt_mao_magnification(const std::vector<double>& l, const std::vector<double>& re,
                             const std::vector<double>& rstar) {
    // Full Cartesian product, re-major: pair i * rstar.size() + j is (re[i], rstar[j]).
    std::vector<std::pair<double, double>> pairs;
    pairs.reserve(re.size() * rstar.size());
    for (const double re_i : re) {
        for (const double rstar_j : rstar) {
            pairs.emplace_back(re_i, rstar_j);
        }
    }
    // Each row is a map over the separations, nested in the map over the pairs, and stops with
    // the call (it runs on a worker, whose thread has no interruption of its own).
    const std::span<const double> separations(l);
    parallel::Interruption* interruption = parallel::current_interruption();
    return routines::map_items<routines::WithoutPool::report>(
        std::span<const std::pair<double, double>>(pairs),
        [separations, interruption](const std::pair<double, double>& pair) {
            return disk_row(separations, pair.first, pair.second, interruption);
        },
        work::kDiskKernelSeconds * static_cast<double>(l.size()));
}

Result<double> heyrovsky_magnification(double l, double r, double re, double rstar) {
    const auto value = kernels::heyrovsky_magnification(l, r, re, rstar);
    if (!value) {
        return std::unexpected(Error::numeric(value.error()));
    }
    return *value;
}

} // namespace finitemu
