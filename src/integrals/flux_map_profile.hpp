// The brightness profile of a flux map for the integrated flux-map magnifications.
#pragma once

#include "numeric/interp.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace finitemu::integrals {

// The profile of a flux map, interp(bl, bf, r, 0) with every segment's line formed once
// (the same doubles interp forms for each query): the integrals query it some 500 times per
// separation. On an evenly spaced, strictly ascending table (as callers usually tabulate) the
// segment is found from the spacing and corrected by comparisons, which gives the segment the
// bisection finds, x[i] < r <= x[i+1], in one or two steps; any other table is bisected.
class FluxMapProfile {
public:
    FluxMapProfile(std::span<const double> bl, std::span<const double> bf) : bl_(bl), bf_(bf) {
        const std::size_t n = std::min(bl.size(), bf.size());
        for (std::size_t i = 0; i + 1 < n; ++i) {
            lines_.push_back(numeric::segment_line(bl, bf, i));
        }
        evenly_spaced_ =
            n >= 2 && bl.size() == n && bl[n - 1] > bl[0] && std::isfinite(bl[n - 1] - bl[0]);
        if (evenly_spaced_) {
            const double step = (bl[n - 1] - bl[0]) / static_cast<double>(n - 1);
            // Strictly ascending, every node within a quarter step of its place on the even grid:
            // (r - bl[0]) / step is then off the segment by at most one.
            for (std::size_t i = 0; i + 1 < n && evenly_spaced_; ++i) {
                const double place = bl[0] + static_cast<double>(i + 1) * step;
                evenly_spaced_ = bl[i + 1] > bl[i] && std::abs(bl[i + 1] - place) <= 0.25 * step;
            }
            inverse_step_ = 1.0 / step;
            // A subnormal spacing has no finite inverse: such a table is bisected.
            evenly_spaced_ = evenly_spaced_ && std::isfinite(inverse_step_);
        }
    }
    double operator()(double r) const noexcept {
        if (!evenly_spaced_) {
            return numeric::interp(bl_, bf_, r, 0.0,
                                   [this](std::size_t i) noexcept { return lines_[i]; });
        }
        // interp's order of tests, for a strictly ascending table.
        const std::size_t last = bl_.size() - 1;
        if (r == bl_[0]) {
            return bf_[0];
        }
        if (r < bl_[0]) {
            return 0.0;
        }
        if (r == bl_[last]) {
            return bf_[last];
        }
        if (r > bl_[last]) {
            return 0.0;
        }
        std::size_t i = 0; // a NaN r: interp's bisection ends at segment 0 too
        if (r > bl_[0]) {
            // Below last - 1 before the conversion, which a value beyond size_t would make
            // undefined.
            const double guess =
                std::min((r - bl_[0]) * inverse_step_, static_cast<double>(last - 1));
            i = static_cast<std::size_t>(guess);
            i = i > 0 && r <= bl_[i] ? i - 1 : i;
            i = i + 1 < last && r > bl_[i + 1] ? i + 1 : i;
        }
        return lines_[i].slope * r + lines_[i].intercept;
    }
    std::span<const double> nodes() const noexcept { return bl_; }

private:
    std::span<const double> bl_;
    std::span<const double> bf_;
    std::vector<numeric::SegmentLine> lines_;
    bool evenly_spaced_ = false;
    double inverse_step_ = 0.0;
};

} // namespace finitemu::integrals
