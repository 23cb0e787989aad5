// The routines behind witt_mao_magnification, multi_witt_mao_magnification and
// heyrovsky_magnification: the kernels of src/kernels mapped over the caller's separations.
#include "lib/magnification.hpp"

#include "kernels/heyrovsky.hpp"
#include "kernels/witt_mao.hpp"
#include "parallel/parallel_map.hpp"

#include <span>
#include <utility>
#include <variant>

namespace finitemu {

namespace {
// One uniform-disk kernel evaluation, about 50 ns: it sizes the maps worth a hand-off to the pool.
constexpr double kDiskKernelSeconds = 5e-8;
} // namespace

RoutineResult<std::vector<double>> witt_mao_magnification(std::vector<double> l, double re,
                                                          double rstar) {
    const double rho = rstar / re;
    auto out = parallel::parallel_map(
        std::span<const double>(l),
        [rho](double li) { return kernels::witt_mao_magnification_scaled(li * rho, rho); },
        parallel::sequential_below_for(kDiskKernelSeconds));
    if (!out) {
        return std::unexpected(RoutineError{std::move(out.error())});
    }
    return std::move(*out);
}

RoutineResult<std::vector<std::vector<double>>>
multi_witt_mao_magnification(std::vector<double> l, std::vector<double> re,
                             std::vector<double> rstar) {
    // Full Cartesian product, re-major: pair i * rstar.size() + j is (re[i], rstar[j]).
    std::vector<std::pair<double, double>> pairs;
    pairs.reserve(re.size() * rstar.size());
    for (const double re_i : re) {
        for (const double rstar_j : rstar) {
            pairs.emplace_back(re_i, rstar_j);
        }
    }
    const std::span<const double> separations(l);
    auto rows = parallel::parallel_map(
        std::span<const std::pair<double, double>>(pairs),
        [separations](const std::pair<double, double>& pair)
            -> std::expected<std::vector<double>, InternalFailure> {
            // Each row maps over its own copy of the separations (nested in the outer map).
            auto row =
                witt_mao_magnification(std::vector<double>(separations.begin(), separations.end()),
                                       pair.first, pair.second);
            if (row) {
                return std::move(*row);
            }
            if (auto* failure = std::get_if<InternalFailure>(&row.error())) {
                return std::unexpected(std::move(*failure));
            }
            // witt_mao_magnification reports no numeric error; keep the message if one appears.
            return std::unexpected(InternalFailure{std::get<NumericError>(row.error()).message});
        },
        parallel::sequential_below_for(kDiskKernelSeconds * static_cast<double>(l.size())));
    if (!rows) {
        return std::unexpected(RoutineError{std::move(rows.error())});
    }
    return std::move(*rows);
}

RoutineResult<double> heyrovsky_magnification(double l, double r, double re, double rstar) {
    const auto value = kernels::heyrovsky_magnification(l, r, re, rstar);
    if (!value) {
        return std::unexpected(RoutineError{NumericError{value.error()}});
    }
    return *value;
}

} // namespace finitemu
