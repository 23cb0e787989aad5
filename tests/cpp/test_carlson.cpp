// Carlson's symmetric integrals: published values, special cases and identities.
#include "numeric/carlson.hpp"
#include "reference_data.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace {

using finitemu::test::check_grid;
using finitemu::test::near_relative;
using finitemu::test::Values;

using finitemu::numeric::elliprd_unchecked;
using finitemu::numeric::elliprf_unchecked;
using finitemu::numeric::elliprj_unchecked;
using finitemu::numeric::detail::elliprc;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Carlson, PublishedValues) {
    // Carlson (1995), Section 3 test values.
    EXPECT_TRUE(near_relative(elliprf_unchecked(1, 2, 0), 1.3110287771460598, 1e-15));
    EXPECT_TRUE(near_relative(elliprf_unchecked(2, 3, 4), 0.5840828416771517, 1e-15));
    EXPECT_TRUE(near_relative(elliprd_unchecked(0, 2, 1), 1.7972103521033882, 1e-15));
    EXPECT_TRUE(near_relative(elliprd_unchecked(2, 3, 4), 0.16510527294261051, 1e-15));
    EXPECT_TRUE(near_relative(elliprj_unchecked(2, 3, 4, 5), 0.14297579667156754, 1e-15));
    EXPECT_TRUE(near_relative(elliprj_unchecked(0, 1, 2, 3), 0.7768862377858231, 1e-15));
    EXPECT_TRUE(near_relative(elliprj_unchecked(2, 3, 4, -0.5), 0.2472381970305158, 1e-14));
}

TEST(Carlson, RcElementaryValues) {
    EXPECT_TRUE(near_relative(elliprc(0, 0.25), std::numbers::pi, 1e-15));
    EXPECT_TRUE(near_relative(elliprc(2.25, 2), std::numbers::ln2, 1e-15));
    EXPECT_TRUE(near_relative(elliprc(0.25, -2), std::numbers::ln2 / 3, 1e-15));
    // y/x <= 1/2 and above it take different logarithmic forms; y > x the arctangent.
    EXPECT_TRUE(near_relative(elliprc(4, 1), std::log(2 + std::sqrt(3.0)) / std::sqrt(3.0), 1e-15));
    EXPECT_TRUE(near_relative(elliprc(1, 4), std::atan(std::sqrt(3.0)) / std::sqrt(3.0), 1e-15));
    EXPECT_EQ(elliprc(2, 0), kInf);
}

TEST(Carlson, EqualArguments) {
    for (const double x : {1e-100, 0.25, 1.0, 3.0, 1e100}) {
        const double x32 = x * std::sqrt(x);
        EXPECT_TRUE(near_relative(elliprf_unchecked(x, x, x), 1 / std::sqrt(x), 1e-15)) << x;
        EXPECT_TRUE(near_relative(elliprd_unchecked(x, x, x), 1 / x32, 1e-15)) << x;
        EXPECT_TRUE(near_relative(elliprj_unchecked(x, x, x, x), 1 / x32, 1e-15)) << x;
        EXPECT_TRUE(
            near_relative(elliprf_unchecked(x, x, 0), std::numbers::pi / 2 / std::sqrt(x), 1e-15))
            << x;
        EXPECT_TRUE(
            near_relative(elliprd_unchecked(0, x, x), 3 * std::numbers::pi / 4 / x32, 1e-15))
            << x;
    }
}

TEST(Carlson, RcIsRfWithTwoEqualArguments) {
    for (const double x : {0.0, 1e-3, 0.5, 1.0, 7.0, 1e4}) {
        for (const double y : {1e-4, 0.3, 1.0, 2.0, 50.0}) {
            EXPECT_TRUE(near_relative(elliprc(x, y), elliprf_unchecked(x, y, y), 1e-15))
                << x << ", " << y;
        }
    }
}

TEST(Carlson, RjReducesToRdWhenPEqualsZ) {
    for (const double x : {0.0, 0.1, 1.0, 4.0}) {
        for (const double y : {0.2, 1.0, 9.0}) {
            for (const double z : {0.05, 0.7, 3.0, 30.0}) {
                EXPECT_TRUE(
                    near_relative(elliprj_unchecked(x, y, z, z), elliprd_unchecked(x, y, z), 1e-15))
                    << x << ", " << y << ", " << z;
            }
        }
    }
}

TEST(Carlson, Symmetry) {
    const double rj = elliprj_unchecked(1, 2, 3, 4);
    EXPECT_TRUE(near_relative(rj, 0.2398480997495677, 1e-15));
    EXPECT_TRUE(near_relative(elliprj_unchecked(2, 3, 1, 4), rj, 4e-16));
    EXPECT_TRUE(near_relative(elliprj_unchecked(3, 1, 2, 4), rj, 4e-16));
    const double rf = elliprf_unchecked(0.5, 2, 7);
    EXPECT_TRUE(near_relative(elliprf_unchecked(7, 0.5, 2), rf, 4e-16));
    EXPECT_TRUE(near_relative(elliprf_unchecked(2, 7, 0.5), rf, 4e-16));
    EXPECT_TRUE(near_relative(elliprd_unchecked(2, 0.5, 7), elliprd_unchecked(0.5, 2, 7), 4e-16));
}

TEST(Carlson, NonFiniteArgumentsGiveNaNNotAHang) {
    EXPECT_TRUE(std::isnan(elliprf_unchecked(1, 2, kInf)));
    EXPECT_TRUE(std::isnan(elliprd_unchecked(1, 2, kInf)));
    EXPECT_TRUE(std::isnan(elliprd_unchecked(0, 2, kInf)));
    EXPECT_TRUE(std::isnan(elliprj_unchecked(1, 2, 3, kInf)));
    EXPECT_TRUE(std::isnan(elliprj_unchecked(kInf, 2, 3, 4)));
    EXPECT_TRUE(std::isnan(elliprf_unchecked(kNaN, 2, 3)));
    EXPECT_TRUE(std::isnan(elliprd_unchecked(1, kNaN, 3)));
    EXPECT_TRUE(std::isnan(elliprj_unchecked(1, 2, 3, kNaN)));
    EXPECT_TRUE(std::isnan(elliprj_unchecked(1, 2, kNaN, -1)));
}

TEST(Carlson, ExhaustedStepLimitGivesNaN) {
    // In the domain, but spread too widely for the step limits (11 for R_F, 100 for R_J): the
    // duplication stops without meeting its test. (The exact values are finite.)
    EXPECT_TRUE(std::isnan(elliprf_unchecked(1e-300, 2e-300, 1)));
    EXPECT_TRUE(std::isnan(elliprj_unchecked(1, 2, 3, 1e70)));
    // A spread the limits allow still converges.
    EXPECT_TRUE(std::isfinite(elliprf_unchecked(1e-200, 2e-200, 1)));
    EXPECT_TRUE(std::isfinite(elliprj_unchecked(1, 2, 3, 1e50)));
}

TEST(Carlson, EdgeOfDomain) {
    EXPECT_EQ(elliprf_unchecked(0, 0, 2), kInf);
    // Two zeros in R_D(0, y, z): the AGM reaches (0, 0) and must stop there.
    EXPECT_FALSE(std::isfinite(elliprd_unchecked(0, 0, 2)));
    EXPECT_FALSE(std::isfinite(elliprd_unchecked(0, 2, 0)));
}

TEST(Carlson, PrincipalValueOffTheDomainIsNaN) {
    // p' = ((x + y + q) z - x y) / (z + q) is not positive: no further transformation.
    EXPECT_TRUE(std::isnan(elliprj_unchecked(-1, -2, -3, -1)));
    EXPECT_TRUE(std::isnan(elliprj_unchecked(0, 0, 0, -1)));
}

// Against the reference rows RF-, RD- (x y z hi lo) and RJ- (x y z p hi lo).
finitemu::test::Grid grid(const char* name) {
    return {
        .file = "elliptic_reference.txt", .name = name, .reference_columns = 2, .min_points = 300};
}

TEST(Carlson, RfWithinRelativeTolerance) {
    check_grid(grid("RF"), 1e-14,
               [](const Values& v) { return elliprf_unchecked(v[0], v[1], v[2]); });
}

TEST(Carlson, RdWithinRelativeTolerance) {
    check_grid(grid("RD"), 1e-14,
               [](const Values& v) { return elliprd_unchecked(v[0], v[1], v[2]); });
}

TEST(Carlson, RjWithinRelativeTolerance) {
    check_grid(grid("RJ"), 1e-14,
               [](const Values& v) { return elliprj_unchecked(v[0], v[1], v[2], v[3]); });
}

} // namespace
