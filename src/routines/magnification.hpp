// The routines behind the module's eight Python functions, on plain doubles, each taking its
// Python function's parameters in their order. Lengths: separations `l` (and ring radii, flux-map
// radii `bl`) in source radii; `re` (Einstein radius) and `rstar` (source radius) in one unit of
// the caller's choice. Sequences arrive by reference: the caller keeps them.
//
// Every routine maps its separations with routines/map.hpp, on the worker pool or on the calling
// thread, with the same doubles either way. Errors: ErrorKind::numeric from a kernel (only
// heyrovsky_magnification and discrete_flux_map_heyrovsky_magnification report one), the pool's
// failure from the two uniform-disk maps, ErrorKind::flux_map_lengths from the flux-map routines.
//
//     Result<std::vector<double>> a = finitemu::routines::witt_mao_magnification({2.0}, 1.0, 0.5);
//     // a->front() == 1.3810039279...
#pragma once

#include "error.hpp"

#include <vector>

namespace finitemu::routines {

// Uniform disk, one magnification per separation, in the order of `l`; never a numeric error
// (a failed elliptic integral makes that element NaN).
Result<std::vector<double>> witt_mao_magnification(const std::vector<double>& l, double re,
                                                   double rstar);

// One row per (re[i], rstar[j]) pair, re-major: row i * rstar.size() + j.
Result<std::vector<std::vector<double>>>
multi_witt_mao_magnification(const std::vector<double>& l, const std::vector<double>& re,
                             const std::vector<double>& rstar);

// Mean magnification of a thin ring of radius r (source radii) centred at separation l.
Result<double> heyrovsky_magnification(double l, double r, double re, double rstar);

// Linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), integrated over nested uniform disks.
Result<std::vector<double>> integrated_witt_mao_magnification(const std::vector<double>& l,
                                                              double re, double rstar);

// The same profile integrated over thin rings.
Result<std::vector<double>> integrated_heyrovsky_magnification(const std::vector<double>& l,
                                                               double re, double rstar);

// Flux maps: radii `bl` and brightness `bf` of equal lengths (else ErrorKind::flux_map_lengths).
// The integrated ones interpolate the profile linearly (0 outside [bl[0], bl[n-1]]); the
// discrete one sums bf[j] times the ring of radius bl[j].
Result<std::vector<double>>
integrated_flux_map_witt_mao_magnification(const std::vector<double>& l, double re, double rstar,
                                           const std::vector<double>& bl,
                                           const std::vector<double>& bf);
Result<std::vector<double>>
integrated_flux_map_heyrovsky_magnification(const std::vector<double>& l, double re, double rstar,
                                            const std::vector<double>& bl,
                                            const std::vector<double>& bf);
Result<std::vector<double>>
discrete_flux_map_heyrovsky_magnification(const std::vector<double>& l, double re, double rstar,
                                          const std::vector<double>& bl,
                                          const std::vector<double>& bf);

} // namespace finitemu::routines
