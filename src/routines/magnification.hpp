// The routines behind the module's eight Python functions, on plain doubles. Lengths: separations
// `l` (and ring radii, flux-map radii `bl`) in source radii; `re` (Einstein radius) and `rstar`
// (source radius) in one unit of the caller's choice. Sequences arrive by value: the routine owns
// and releases them.
#pragma once

#include "lib/routine_result.hpp"

#include <vector>

namespace finitemu {

// Uniform disk, one magnification per separation, in the order of `l`; never a numeric error
// (a failed elliptic integral makes that element NaN). Fails only when the worker pool does.
RoutineResult<std::vector<double>> witt_mao_magnification(std::vector<double> l, double re,
                                                          double rstar);

// One row per (re[i], rstar[j]) pair, re-major: row i * rstar.size() + j.
RoutineResult<std::vector<std::vector<double>>>
multi_witt_mao_magnification(std::vector<double> l, std::vector<double> re,
                             std::vector<double> rstar);

// Mean magnification of a thin ring of radius r (source radii) centred at separation l.
RoutineResult<double> heyrovsky_magnification(double l, double r, double re, double rstar);

// Linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), integrated over nested uniform disks.
RoutineResult<std::vector<double>> integrated_witt_mao_magnification(std::vector<double> l,
                                                                     double re, double rstar);

// The same profile integrated over thin rings.
RoutineResult<std::vector<double>> integrated_heyrovsky_magnification(std::vector<double> l,
                                                                      double re, double rstar);

// Flux maps: radii `bl` and brightness `bf` (equal lengths, else an InternalFailure).
RoutineResult<std::vector<double>>
integrated_flux_map_witt_mao_magnification(std::vector<double> l, std::vector<double> bl,
                                           std::vector<double> bf, double re, double rstar);
RoutineResult<std::vector<double>>
integrated_flux_map_heyrovsky_magnification(std::vector<double> l, std::vector<double> bl,
                                            std::vector<double> bf, double re, double rstar);
RoutineResult<std::vector<double>>
discrete_flux_map_heyrovsky_magnification(std::vector<double> l, std::vector<double> bl,
                                          std::vector<double> bf, double re, double rstar);

} // namespace finitemu
