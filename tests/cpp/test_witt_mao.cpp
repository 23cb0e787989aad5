// Uniform-disk kernel: the documented edge values, and accuracy against mpmath quadrature of the
// point-source magnification (tests/data, tools/gen_kernel_reference.py).
#include "kernels/witt_mao.hpp"

#include "reference_data.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using finitemu::kernels::witt_mao_magnification_scaled;
using finitemu::test::check_grid;
using finitemu::test::Values;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The bounds of the grids are a few times the errors measured; the accuracy promised is looser:
// 1e-11 away from the limb, 1e-10 across it (1e-8 below rho = 1e-3), 2e-12 from 30 to 1e6 source
// radii. Rows: rho u magnification.
double disk(const Values& v) {
    return witt_mao_magnification_scaled(v[1], v[0]);
}

constexpr char kFile[] = "witt_mao_reference.txt";

} // namespace

TEST(WittMao, PointSourceForNonPositiveRadius) {
    EXPECT_DOUBLE_EQ(witt_mao_magnification_scaled(1.0, 0.0), 1.3416407864998738);
    EXPECT_DOUBLE_EQ(witt_mao_magnification_scaled(1.0, -0.3), 1.3416407864998738);
    EXPECT_EQ(witt_mao_magnification_scaled(0.0, 0.0), kInf);
    EXPECT_EQ(witt_mao_magnification_scaled(-0.0, 0.0), -kInf);
}

TEST(WittMao, ClosedFormValues) {
    // Centred source: n = m = 0 and A = sqrt(rho^2 + 4) / rho.
    EXPECT_NEAR(witt_mao_magnification_scaled(0.0, 0.5), 4.123105625617661, 4e-15);
    // mpmath quadrature of A0 over the disk.
    EXPECT_NEAR(witt_mao_magnification_scaled(1.0, 0.5), 1.3810039278970933, 1e-12);
    EXPECT_NEAR(witt_mao_magnification_scaled(2.0, 0.1), 1.0607984708496800, 1e-12);
    // Far from a small source (u = 1000 rho), where the closed form's terms would cancel.
    EXPECT_NEAR(witt_mao_magnification_scaled(1.0, 0.001), 1.3416409296082745, 1e-15);
}

TEST(WittMao, ExactValueOnTheLimb) {
    // u = rho = 1: A = 1 + 2/pi.
    EXPECT_NEAR(witt_mao_magnification_scaled(1.0, 1.0), 1.6366197723675813, 1e-15);
    // u = rho = 1e-5: close to 4 / (pi rho); mpmath 127323.95447776039.
    EXPECT_NEAR(witt_mao_magnification_scaled(1e-5, 1e-5) / 127323.95447776039, 1.0, 1e-15);
}

TEST(WittMao, NoStepAtTheLimb) {
    // Inside 0.1 % of the limb the magnification keeps changing (mpmath quadrature).
    EXPECT_NEAR(witt_mao_magnification_scaled(1.0009, 1.0), 1.6321825194016966, 1e-15);
    EXPECT_NEAR(witt_mao_magnification_scaled(1.0011, 1.0), 1.6313371862964783, 1e-15);
    EXPECT_NEAR(witt_mao_magnification_scaled(0.001 + 0.99e-5, 0.001) / 1237.4140532358954, 1.0,
                1e-14);
    EXPECT_NEAR(witt_mao_magnification_scaled(0.001 + 1.01e-5, 0.001) / 1236.8199027464492, 1.0,
                1e-14);
    // A small source centred on the lens: sqrt(rho^2 + 4) / rho.
    EXPECT_NEAR(witt_mao_magnification_scaled(0.0, 0.000005) / 400000.00000124997, 1.0, 1e-15);
    // One ulp either side of the limb joins the value on it.
    const double rho = 0.3;
    const double on = witt_mao_magnification_scaled(rho, rho);
    EXPECT_NEAR(witt_mao_magnification_scaled(std::nextafter(rho, 1.0), rho), on, 1e-13 * on);
    EXPECT_NEAR(witt_mao_magnification_scaled(std::nextafter(rho, 0.0), rho), on, 1e-13 * on);
}

TEST(WittMao, MonotoneAcrossTheLimb) {
    // The disk's magnification falls as the lens moves out: check it along the dense limb grid.
    double prev_rho = -1.0;
    double prev = kInf;
    int checked = 0;
    for (const auto& row : finitemu::test::read_reference(kFile)) {
        if (row.grid != "limb") {
            continue;
        }
        const double value = witt_mao_magnification_scaled(row.values[1], row.values[0]);
        if (row.values[0] == prev_rho) {
            EXPECT_LT(value, prev) << row.at(2);
            ++checked;
        }
        prev_rho = row.values[0];
        prev = value;
    }
    EXPECT_GT(checked, 100);
}

TEST(WittMao, NanAndInfiniteArgumentsGiveNan) {
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(kNaN, 0.5)));
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(0.5, kNaN)));
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(kNaN, -1.0)));
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(kInf, 0.5)));
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(kInf, 1e-3)));
}

// Away from the limb: the closed form up to 3 rho, the mean-value series beyond.
TEST(WittMao, AccurateAgainstQuadratureAwayFromTheLimb) {
    check_grid({kFile, "general"}, 3e-15, disk);
}

TEST(WittMao, AccurateAgainstQuadratureNearTheLimb) {
    check_grid({kFile, "near_limb"}, 2e-15, disk);
}

TEST(WittMao, AccurateAgainstQuadratureForSmallSource) {
    check_grid({kFile, "small_rho"}, 3e-15, disk);
}

TEST(WittMao, AccurateAgainstQuadratureAcrossTheLimb) {
    // u = rho (1 + delta), |delta| = 1e-12 ... 0.1.
    // Near the limb every quantity is exact to rounding: held to 2e-15 for every rho.
    check_grid({.file = kFile, .name = "limb", .label = "rho >= 1e-3"}, 2e-15, disk,
               [](const Values& v) { return v[0] >= 1e-3; });
    check_grid({.file = kFile, .name = "limb", .label = "rho < 1e-3"}, 2e-15, disk,
               [](const Values& v) { return v[0] < 1e-3; });
}

// 30 ... 1e6 source radii: the series, within a few units of rounding.
TEST(WittMao, AccurateAgainstQuadratureFarFromTheSource) {
    check_grid({kFile, "far"}, 1e-15, disk);
}

// Every finite argument has its limit, however large or small: no square overflows or
// underflows on the way.
TEST(WittMao, ExtremeArgumentsGiveTheirLimits) {
    EXPECT_EQ(witt_mao_magnification_scaled(1e155, 1.0), 1.0);
    EXPECT_EQ(witt_mao_magnification_scaled(1e300, 1e-3), 1.0);
    // The lens at the centre: sqrt(rho^2 + 4) / rho.
    EXPECT_NEAR(witt_mao_magnification_scaled(0.0, 1e-300) / 2e300, 1.0, 1e-15);
    EXPECT_NEAR(witt_mao_magnification_scaled(0.0, 1e-200) / 2e200, 1.0, 1e-15);
    // A source of 1e300 Einstein radii magnifies by 1 wherever the lens is.
    for (const double u : {0.0, 0.5e300, 1e300, 2e300, 1e301}) {
        EXPECT_EQ(witt_mao_magnification_scaled(u, 1e300), 1.0) << u;
    }
}
