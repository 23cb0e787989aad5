// Piecewise-linear interpolation through (x[j], y[j]), j < n = min(len x, len y), x ascending:
//
//   P(q) = m_i q + c_i,   m_i = (y[i+1] - y[i]) / (x[i+1] - x[i]),   c_i = y[i] - x[i] m_i,
//
// with i the segment found by a binary search of x (a query on an interior abscissa takes the
// segment to its left). Outside [x[0], x[n-1]] the value is `outside`. An empty table gives 0, a
// one-point table y[0] for every query. Never fails; a NaN query gives NaN. The segment's line
// comes from line_of(i): segment_line(x, y, i), or the same lines formed once by a caller that
// interpolates one table many times.
//
// Example: interp(bl, bf, r, 0.0, [&](std::size_t i) { return segment_line(bl, bf, i); })
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace finitemu::numeric {

// The slope and intercept of segment i.
struct SegmentLine {
    double slope;
    double intercept;
};

inline SegmentLine segment_line(std::span<const double> x, std::span<const double> y,
                                std::size_t i) noexcept {
    const double slope = (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
    return {slope, y[i] - x[i] * slope};
}

template <class LineOf>
inline double interp(std::span<const double> x, std::span<const double> y, double q, double outside,
                     const LineOf& line_of) noexcept {
    const std::size_t n = std::min(x.size(), y.size());
    if (n == 0) {
        return 0.0;
    }
    if (n == 1) {
        return y[0];
    }

    // Number of entries of x below q (for ascending x), by bisection over all of x.
    std::size_t base = 0;
    std::size_t size = x.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        base += static_cast<std::size_t>(q > x[base + half]) * half; // no branch to mispredict
        size -= half;
    }
    const std::size_t below = q > x[base] ? base + 1 : base;
    const std::size_t i = std::min(below == 0 ? std::size_t{0} : below - 1, n - 2);

    if (q == x[0]) {
        return y[0];
    }
    if (q < x[0]) {
        return outside;
    }
    if (q == x[n - 1]) {
        return y[n - 1];
    }
    if (q > x[n - 1]) {
        return outside;
    }
    const SegmentLine segment = line_of(i);
    return segment.slope * q + segment.intercept;
}

} // namespace finitemu::numeric
