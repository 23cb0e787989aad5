// The kernels of the integrals (integrals/kernels.hpp), counting their calls: the tests bound the
// kernel samples of a separation with them, bench/bench_integrated reports them.
#pragma once

#include "integrals/kernels.hpp"

namespace finitemu::test {

struct CountingKernels {
    long& count;
    double disk(double u, double rho) const noexcept {
        ++count;
        return integrals::Kernels{}.disk(u, rho);
    }
    double ring(double l, double r, double d, double big_r) const noexcept {
        ++count;
        return integrals::Kernels{}.ring(l, r, d, big_r);
    }
};

} // namespace finitemu::test
