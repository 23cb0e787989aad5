// Constants of the whole code base: the one quiet NaN (a value outside a routine's domain, a
// failed evaluation, a dropped sample) and 2 pi.
#pragma once

#include <limits>

namespace finitemu::numeric {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The double nearest 2 pi (twice that nearest pi, exactly).
inline constexpr double kTwoPi = 6.283185307179586;

} // namespace finitemu::numeric
