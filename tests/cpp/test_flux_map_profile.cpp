// The flux-map profile gives interp(bl, bf, r, 0) bit for bit, on evenly spaced tables
// (segment found from the spacing) and on any other (bisection).
#include "integrals/flux_map_profile.hpp"
#include "numeric/interp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using finitemu::integrals::FluxMapProfile;
using finitemu::numeric::interp;
using finitemu::numeric::segment_line;

// The same double; any two NaNs count as the same (which operand's NaN an operation on two NaNs
// keeps follows register allocation).
bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Every node, its neighbours one ulp away, the ends, outside points, NaN and random points.
std::vector<double> queries(const std::vector<double>& bl) {
    std::vector<double> q = {-1.0, 2.0, std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(), -0.0};
    for (const double x : bl) {
        q.insert(q.end(), {x, std::nextafter(x, -1e9), std::nextafter(x, 1e9)});
    }
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> uniform(-0.1, 1.1);
    for (int k = 0; k < 20000; ++k) {
        q.push_back(uniform(rng));
    }
    return q;
}

void expect_interp_bits(const std::vector<double>& bl, const std::vector<double>& bf) {
    const FluxMapProfile profile(bl, bf);
    for (const double r : queries(bl)) {
        const double expected =
            interp(bl, bf, r, 0.0, [&](std::size_t i) { return segment_line(bl, bf, i); });
        ASSERT_TRUE(same_bits(profile(r), expected)) << "r = " << r << " nodes " << bl.size();
    }
}

std::vector<double> brightness(const std::vector<double>& bl) {
    std::vector<double> bf;
    for (const double r : bl) {
        bf.push_back(1.0 - 0.6 * (1.0 - std::sqrt(std::max(0.0, 1.0 - r * r))));
    }
    return bf;
}

TEST(FluxMapProfile, EvenlySpacedTablesGiveInterpBitForBit) {
    for (const int intervals : {1, 2, 10, 100, 1000}) {
        std::vector<double> by_division, by_product; // k / n and k * (1 / n): both even to rounding
        for (int k = 0; k <= intervals; ++k) {
            by_division.push_back(static_cast<double>(k) / intervals);
            by_product.push_back(k * (1.0 / intervals));
        }
        expect_interp_bits(by_division, brightness(by_division));
        expect_interp_bits(by_product, brightness(by_product));
    }
    // A support inside [0, 1], as a profile that starts below the centre.
    const std::vector<double> inner = {0.25, 0.5, 0.75};
    expect_interp_bits(inner, {1.0, 3.0, -2.0});
}

TEST(FluxMapProfile, OtherTablesGiveInterpBitForBit) {
    expect_interp_bits({0.0, 0.1, 0.5, 1.0}, {1.0, 0.9, 0.7, 0.2}); // uneven
    expect_interp_bits({0.0, 0.5, 0.5, 1.0}, {1.0, 0.8, 0.6, 0.2}); // a repeated node
    expect_interp_bits({1.0, 0.5, 0.0}, {0.2, 0.6, 1.0});           // descending
    expect_interp_bits({0.0, std::nan(""), 1.0}, {1.0, 0.5, 0.2});  // a NaN node
    expect_interp_bits({0.5}, {0.7});                               // one node
    expect_interp_bits({0.0, 1e-310, 2e-310}, {1.0, 0.5, 0.2});     // no finite inverse spacing
    expect_interp_bits({}, {});                                     // empty
}

} // namespace
