// Generalized Gaussian quadrature for a logarithmic end (Ma, Rokhlin & Wandzura, SIAM J. Numer.
// Anal. 33 (1996) 971): for g(s) = a(s) + b(s) ln s on [0, h], a and b analytic near [0, h],
//
//   int_0^h g(s) ds ~ h sum_i w_i g(h x_i),
//
// the N nodes x_i in (0, 1) and weights w_i (numeric/log_gauss_nodes.hpp) exact for a and b
// polynomials of degree below N. Its error is that of approximating a and b, about M rho^-N for
// a and b analytic inside the Bernstein ellipse rho around [0, h] (half the exponent of a
// Gauss-Legendre rule's, whose N points are exact to degree 2N - 1).
#pragma once

#include "numeric/log_gauss_nodes.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <span>

namespace finitemu::numeric::quadrature::log_gauss {

// The order for relative error `relative` when a or b is singular at the points `singular`
// (complex, in the coordinate s), rho taken at 0.9 of its logarithm as in
// gauss_legendre::order_for; 0 when no order of the table suffices.
[[nodiscard]] inline int order_for(double h, std::span<const std::complex<double>> singular,
                                   double relative) noexcept {
    double log_rho = std::numeric_limits<double>::infinity();
    for (const std::complex<double> z : singular) {
        const std::complex<double> zeta = (z - 0.5 * h) / (0.5 * h);
        std::complex<double> root = std::sqrt(zeta * zeta - 1.0);
        // The branch with |zeta + root| >= 1.
        root = std::abs(zeta + root) >= std::abs(zeta - root) ? root : -root;
        log_rho = std::min(log_rho, 0.9 * std::log(std::abs(zeta + root)));
    }
    if (!(log_rho > 0.0)) {
        return 0;
    }
    const double rho = std::exp(log_rho);
    const double log_target = std::log(relative * (rho * rho - 1.0) * 15.0 / 64.0);
    for (std::size_t k = 0; k < detail::kOrderCount; ++k) {
        if (-static_cast<double>(detail::kLogGaussOrders[k]) * log_rho <= log_target) {
            return detail::kLogGaussOrders[k];
        }
    }
    return 0;
}

// h sum_i w_i g(h x_i), g called with the distance s = h x_i from the singular end.
template <class G> double integrate(G&& g, double h, int order) noexcept {
    std::size_t k = 0;
    while (k + 1 < detail::kOrderCount && detail::kLogGaussOrders[k] != order) {
        ++k;
    }
    const std::size_t first = detail::kOrderOffset[k];
    double sum = 0.0;
    for (std::size_t i = first; i < first + static_cast<std::size_t>(detail::kLogGaussOrders[k]);
         ++i) {
        sum = sum + g(h * detail::kNodes[i].abscissa) * detail::kNodes[i].weight;
    }
    return h * sum;
}

} // namespace finitemu::numeric::quadrature::log_gauss
