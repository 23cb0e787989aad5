// What the routines cost, measured on the 2-core build machine (bench/bench_kernels,
// bench/bench_integrated), and the work of a call estimated from its arguments. Two rules are
// made of these figures: a map shorter than about 0.4 ms of work computes on the calling thread
// (parallel::sequential_below_for), and a call of 1000 kernel evaluations or more gives up the
// interpreter lock (the Python side's kReleaseLockWork).
#pragma once

#include <cstddef>
#include <vector>

namespace finitemu::work {

inline constexpr double kDiskKernelSeconds = 5e-8; // one uniform-disk kernel evaluation
inline constexpr double kRingKernelSeconds = 4e-8; // one ring kernel evaluation
// One separation of an integrated function: its integrals sample a kernel some 500 times,
// 20 to 30 us.
inline constexpr double kIntegralSeconds = 2e-5;
// The kernel evaluations counted for one integral: up to 385 samples (more pieces inside the
// source).
inline constexpr double kIntegralSamples = 385.0;

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
    return kIntegralSamples * static_cast<double>(l.size());
}

// The total flux, then one integral per separation.
inline double per_flux_map_integral(const Separations& l, double, double, const Separations&,
                                    const Separations&) noexcept {
    return kIntegralSamples * static_cast<double>(l.size() + 1);
}

inline double per_ring(const Separations& l, double, double, const Separations& bl,
                       const Separations&) noexcept {
    return static_cast<double>(l.size()) * static_cast<double>(bl.size());
}

} // namespace finitemu::work
