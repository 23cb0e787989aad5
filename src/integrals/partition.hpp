// How [0, 1] is cut for the ring integral of one separation: into pieces between the profile's
// break points (a flux map's nodes), the piece that holds the lens at r = l split there, and, for
// a map of many nodes, the pieces away from l gathered into blocks graded away from it
// (integrals/ring_integral.hpp takes each part).
#pragma once

#include "integrals/kernels.hpp"
#include "numeric/gauss_legendre.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

namespace finitemu::integrals {

// fn(a, b) for each piece of [0, 1] between consecutive `breaks` (ascending, from 0 to 1), the
// piece that holds l strictly inside split there.
template <class Fn> void for_each_piece(std::span<const double> breaks, double l, Fn&& fn) {
    for (std::size_t k = 0; k + 1 < breaks.size(); ++k) {
        const double a = breaks[k];
        const double b = breaks[k + 1];
        if (a < l && l < b) {
            fn(a, l);
            fn(l, b);
        } else {
            fn(a, b);
        }
    }
}

// A flux map of many nodes: beyond the pieces next to l, the rest of each side of l is taken in
// blocks graded away from l, each spanning the distances d to kBlockRatio d from it, by product
// integration (the ring kernel interpolated, the profile's lines integrated exactly: numeric
// integrate_against), whose samples do not grow with the nodes inside. The ratio 3 puts l at
// twice a block's half-length from its centre: 32 samples a block, some 67 a decade of distance,
// where one Gauss-Legendre rule a piece needs at least 4 samples a piece (measured: 401 nodes
// took 1765 samples a separation at l < 1).
inline constexpr double kBlockRatio = 3.0;
// Runs of fewer pieces are taken piece by piece: blocks never need fewer samples there (11 nodes:
// 67 samples a decade against 40 to 70 for the pieces of a whole side).
inline constexpr std::size_t kFewestPiecesForBlocks = 16;
// Blocks start where the pieces are kBlockDepth of their lengths away from l (a block then holds
// at least 2 kBlockDepth of them), and are taken if they need fewer samples than kPieceSamples
// a piece (a piece needs 4 to 8 there; a block adds some arithmetic for each node inside).
inline constexpr double kBlockDepth = 4.0;
inline constexpr double kPieceSamples = 3.0;

// The nearer of the singular points +-l to the centre of [a, b].
inline double nearer_singular_point(double a, double b, double l) noexcept {
    const double centre = 0.5 * (a + b);
    return std::abs(l - centre) <= std::abs(l + centre) ? l : -l;
}

// fn(a, b) for each graded block from `start` (nearer to l) to `end`; a start within rounding of
// l, whose next end would not move away from it, takes the rest in one block.
template <class Fn> void for_each_block(double start, double end, double l, Fn&& fn) {
    double a = start;
    while (a != end) {
        const double reach = l + kBlockRatio * (a - l);
        double b = end > a ? std::min(end, reach) : std::max(end, reach);
        b = std::abs(b - l) > std::abs(a - l) ? b : end;
        fn(std::min(a, b), std::max(a, b));
        a = b;
    }
}

// Samples the graded blocks from `start` to `end` need, or -1 when a block needs more than the
// rule's orders (l too close for the ratio).
inline int block_samples(double start, double end, double l) noexcept {
    namespace gl = numeric::quadrature::gauss_legendre;
    int samples = 0;
    for_each_block(start, end, l, [&](double a, double b) {
        const int order = samples < 0 ? 0
                                      : gl::interpolation_order_for(
                                            a, b, nearer_singular_point(a, b, l), kRelativeTarget);
        samples = order > 0 ? samples + order : -1;
    });
    return samples;
}

// The parts of one side of l, of `count` pieces, the k-th nearest to l spanning [near(k), far(k)]:
// piece(a, b) for the pieces nearest to l, block(a, b, order) for the graded blocks that take the
// rest where they need fewer samples (for_each_part).
template <class Near, class Far, class Piece, class Block>
void for_each_side_part(std::size_t count, const Near& near, const Far& far, double l, Piece& piece,
                        Block& block) {
    namespace gl = numeric::quadrature::gauss_legendre;
    std::size_t first_block = count; // pieces from here on go to blocks
    if (count >= kFewestPiecesForBlocks) {
        // From the first piece at least kBlockDepth of its lengths away from l, if the blocks
        // cost fewer samples than kPieceSamples for each piece they take.
        std::size_t k = 0;
        while (k < count && std::abs(near(k) - l) < kBlockDepth * std::abs(far(k) - near(k))) {
            ++k;
        }
        if (k < count) {
            const int blocks = block_samples(near(k), far(count - 1), l);
            if (blocks > 0 &&
                static_cast<double>(blocks) < kPieceSamples * static_cast<double>(count - k)) {
                first_block = k;
            }
        }
    }
    for (std::size_t k = 0; k < first_block; ++k) {
        piece(std::min(near(k), far(k)), std::max(near(k), far(k)));
    }
    if (first_block < count) {
        for_each_block(near(first_block), far(count - 1), l, [&](double a, double b) {
            block(
                a, b,
                gl::interpolation_order_for(a, b, nearer_singular_point(a, b, l), kRelativeTarget));
        });
    }
}

// The pieces of [0, 1] between `breaks` (ascending, from 0 to 1), the piece that holds l split
// there: piece(a, b) for those that end at l and, on each side of l, for the pieces nearest to
// it; block(a, b, order) for the graded blocks that take the rest of a side, where they need
// fewer samples than its pieces one by one. With l strictly inside a piece, hinge(far, near) may
// take the half of that piece on one side, [near, l], with the next piece, [far, near], itself
// (returning true).
template <class Piece, class Block, class Hinge>
void for_each_part(std::span<const double> breaks, double l, Piece&& piece, Block&& block,
                   Hinge&& hinge) {
    const std::size_t n = breaks.size() - 1; // pieces
    // breaks[0 .. left] below the pieces that end at l, breaks[right .. n] above them.
    const std::size_t above = static_cast<std::size_t>(
        std::lower_bound(breaks.begin(), breaks.end(), l) - breaks.begin());
    std::size_t left = n;
    std::size_t right = n;
    if (above <= n) { // l <= 1
        const bool at_break = breaks[above] == l;
        left = above == 0 ? 0 : above - 1;
        right = at_break ? std::min(above + 1, n) : above;
        const bool split = above > 0 && !at_break;
        if (split && left > 0 && hinge(breaks[left - 1], breaks[left])) {
            --left;
        } else if (above > 0) {
            piece(breaks[above - 1], l);
        }
        if (split && right < n && hinge(breaks[right + 1], breaks[right])) {
            ++right;
        } else if (above < n || !at_break) {
            piece(l, breaks[at_break ? above + 1 : above]);
        }
    }
    for_each_side_part(
        left, [&](std::size_t k) { return breaks[left - k]; },
        [&](std::size_t k) { return breaks[left - k - 1]; }, l, piece, block);
    for_each_side_part(
        n - right, [&](std::size_t k) { return breaks[right + k]; },
        [&](std::size_t k) { return breaks[right + k + 1]; }, l, piece, block);
}

} // namespace finitemu::integrals
