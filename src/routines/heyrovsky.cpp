// The routine behind heyrovsky_magnification: one ring (kernels/heyrovsky.hpp), its elliptic
// integral's failure reported as a numeric error.
#include "kernels/heyrovsky.hpp"
#include "routines/magnification.hpp"

namespace finitemu::routines {

Result<double> heyrovsky_magnification(double l, double r, double re, double rstar) {
    const auto value = kernels::heyrovsky_magnification(l, r, re, rstar);
    if (!value) {
        return std::unexpected(Error::numeric(value.error()));
    }
    return *value;
}

} // namespace finitemu::routines
