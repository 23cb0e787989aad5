// The routines behind witt_mao_magnification and multi_witt_mao_magnification: the uniform-disk
// kernel (kernels/witt_mao.hpp) mapped over the caller's separations.
#include "kernels/witt_mao.hpp"
#include "routines/magnification.hpp"
#include "routines/map.hpp"
#include "routines/work.hpp"

#include <algorithm>
#include <cstddef>
#include <new>
#include <span>
#include <vector>

namespace finitemu::routines {

namespace {

// rho = rstar / re. A source of radius -0.0 is no source, as 0 is: u = l rho keeps the sign of l.
double source_ratio(double re, double rstar) noexcept {
    const double rho = rstar / re;
    return rho == 0.0 ? 0.0 : rho;
}

// A run of consecutive separations of one row of multi_witt_mao_magnification: slots
// [begin, end) of `row`, at rho = rstar / re. 128 separations are some 6 us of work, so that two
// threads sharing a few rows end within microseconds of each other.
struct RowChunk {
    double* row;
    double rho;
    std::size_t begin;
    std::size_t end;
};
constexpr std::size_t kSeparationsPerChunk = 128;

} // namespace

Result<std::vector<double>> witt_mao_magnification(const std::vector<double>& l, double re,
                                                   double rstar) {
    // The uniform disk over the separations, u = l rho: one map item each.
    const double rho = source_ratio(re, rstar);
    return map_items<WithoutPool::report>(
        std::span<const double>(l),
        [rho](double li) { return kernels::witt_mao_magnification_scaled(li * rho, rho); },
        kDiskKernelSeconds);
}

Result<std::vector<std::vector<double>>>
multi_witt_mao_magnification(const std::vector<double>& l, const std::vector<double>& re,
                             const std::vector<double>& rstar) {
    // Full Cartesian product, re-major: row i * rstar.size() + j is (re[i], rstar[j]).
    std::vector<std::vector<double>> rows;
    std::vector<RowChunk> chunks;
    try {
        rows.reserve(re.size() * rstar.size());
        for (const double re_i : re) {
            for (const double rstar_j : rstar) {
                rows.emplace_back(l.size());
                const double rho = source_ratio(re_i, rstar_j);
                for (std::size_t a = 0; a < l.size(); a += kSeparationsPerChunk) {
                    chunks.push_back(
                        {rows.back().data(), rho, a, std::min(l.size(), a + kSeparationsPerChunk)});
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::of(ErrorKind::out_of_memory));
    }
    // One map over the pieces of every row, so that a few long rows still divide evenly; each
    // piece writes its own slots of its row.
    const auto done = map_items<WithoutPool::report>(
        std::span<const RowChunk>(chunks),
        [&l](const RowChunk& chunk) {
            for (std::size_t k = chunk.begin; k < chunk.end; ++k) {
                chunk.row[k] = kernels::witt_mao_magnification_scaled(l[k] * chunk.rho, chunk.rho);
            }
            return chunk.end - chunk.begin;
        },
        kDiskKernelSeconds * static_cast<double>(kSeparationsPerChunk));
    if (!done) {
        return std::unexpected(done.error());
    }
    return rows;
}

} // namespace finitemu::routines
