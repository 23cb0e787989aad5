// What the routines cost, measured on the 2-core build machine (bench/bench_kernels,
// bench/bench_integrated), and the work of a call estimated from its arguments. Two rules are
// made of these figures: a map shorter than about 0.2 ms of work computes on the calling thread
// (parallel::sequential_below_for), and a call of 1000 kernel evaluations or more gives up the
// interpreter lock (the Python side's kReleaseLockWork).
#pragma once

#include "numeric/mean_value_series.hpp"

#include <cstddef>
#include <span>
#include <vector>

namespace finitemu::routines {

inline constexpr double kDiskKernelSeconds = 5e-8; // one uniform-disk kernel evaluation
inline constexpr double kRingKernelSeconds = 4e-8; // one ring kernel evaluation

// One separation of an integrated function: far from the source (l >= 1.5) the mean-value
// series, 0.1 us (0.09 measured from Python for l in [2, 10], 2026-12-09); nearer, integrals of
// about 80 to 160 kernel evaluations, 4 to 11 us.
inline constexpr double kFarFieldFrom = numeric::kMeanValueMinRatio;
inline constexpr double kSeriesSeconds = 1e-7;
inline constexpr double kNearFieldSeconds = 1e-5;

// The seconds the integrals of separations l take, roughly.
inline double integral_seconds(std::span<const double> l) noexcept {
    double seconds = 0.0;
    for (const double li : l) {
        seconds += li >= kFarFieldFrom ? kSeriesSeconds : kNearFieldSeconds;
    }
    return seconds;
}

// Kernel evaluations a call makes, roughly, from its converted arguments (in double: the product
// of three lengths may exceed size_t).
using Separations = std::vector<double>;

inline double per_separation(const Separations& l, double, double) noexcept {
    return static_cast<double>(l.size());
}

inline double per_radius_pair(const Separations& l, const Separations& re,
                              const Separations& rstar) noexcept {
    return static_cast<double>(re.size()) * static_cast<double>(rstar.size()) *
           static_cast<double>(l.size());
}

inline double one_ring(double, double, double, double) noexcept {
    return 1.0;
}

inline double per_integral(const Separations& l, double, double) noexcept {
    return integral_seconds(l) / kDiskKernelSeconds;
}

// The map's moments and flux, then one integral per separation.
inline double per_flux_map_integral(const Separations& l, double, double, const Separations& bl,
                                    const Separations&) noexcept {
    return integral_seconds(l) / kDiskKernelSeconds + static_cast<double>(bl.size());
}

inline double per_ring(const Separations& l, double, double, const Separations& bl,
                       const Separations&) noexcept {
    return static_cast<double>(l.size()) * static_cast<double>(bl.size());
}

} // namespace finitemu::routines
