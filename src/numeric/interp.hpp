// Piecewise-linear interpolation through (x[j], y[j]), j < n = min(len x, len y), x ascending:
//
//   P(q) = m_i q + c_i,   m_i = (y[i+1] - y[i]) / (x[i+1] - x[i]),   c_i = y[i] - x[i] m_i,
//
// with i the segment found by a binary search of x (a query on an interior abscissa takes the
// segment to its left). Outside [x[0], x[n-1]] the mode decides: the first or last segment's line
// continued (Extend), y[0] or y[n-1] (EndValue), or a fixed value (Constant). An empty table gives
// 0, a one-point table y[0] for every query. Never fails; a NaN query gives NaN. Only the selected
// segment's slope and intercept are formed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace finitemu::numeric {

struct ExtrapolationMode {
    enum class Kind { Extend, EndValue, Constant };
    Kind kind;
    double value = 0.0; // used by Constant only

    static constexpr ExtrapolationMode extend() noexcept { return {Kind::Extend, 0.0}; }
    static constexpr ExtrapolationMode end_value() noexcept { return {Kind::EndValue, 0.0}; }
    static constexpr ExtrapolationMode constant(double v) noexcept { return {Kind::Constant, v}; }
};

// The slope and intercept of segment i, formed as interp forms them. A caller that interpolates
// one table many times may form them once per segment and pass them to interp_with.
struct SegmentLine {
    double slope;
    double intercept;
};

inline SegmentLine segment_line(std::span<const double> x, std::span<const double> y,
                                std::size_t i) noexcept {
    const double slope = (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
    return {slope, y[i] - x[i] * slope};
}

// interp with the segment's line given by line_of(i) (a SegmentLine): the same result as interp
// when line_of(i) returns segment_line(x, y, i).
template <class LineOf>
inline double interp_with(std::span<const double> x, std::span<const double> y, double q,
                          ExtrapolationMode mode, const LineOf& line_of) noexcept {
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

    const auto line = [&]() noexcept {
        const SegmentLine segment = line_of(i);
        return segment.slope * q + segment.intercept;
    };
    const auto outside = [&](double end_value) noexcept {
        switch (mode.kind) {
        case ExtrapolationMode::Kind::Extend:
            return line();
        case ExtrapolationMode::Kind::EndValue:
            return end_value;
        case ExtrapolationMode::Kind::Constant:
            break;
        }
        return mode.value;
    };

    if (q == x[0]) {
        return y[0];
    }
    if (q < x[0]) {
        return outside(y[0]);
    }
    if (q == x[n - 1]) {
        return y[n - 1];
    }
    if (q > x[n - 1]) {
        return outside(y[n - 1]);
    }
    return line();
}

// Example: interp(bl, bf, r, ExtrapolationMode::constant(0.0))
inline double interp(std::span<const double> x, std::span<const double> y, double q,
                     ExtrapolationMode mode) noexcept {
    return interp_with(x, y, q, mode,
                       [&](std::size_t i) noexcept { return segment_line(x, y, i); });
}

} // namespace finitemu::numeric
