// Uniform-disk and ring kernels: the documented edge values, and accuracy
// against mpmath quadrature of the point-source magnification (tests/data,
// tools/gen_kernel_reference.py).
#include "kernels/heyrovsky.hpp"
#include "kernels/witt_mao.hpp"

#include "reference_data.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

using finitemu::kernels::heyrovsky_magnification;
using finitemu::kernels::witt_mao_magnification_scaled;
using finitemu::test::check_grid;
using finitemu::test::relative_error;
using finitemu::test::Values;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The bounds of the grids are a few times the errors measured; the accuracy
// promised is looser: uniform disk 1e-11 away from the limb, 1e-10 across it
// (1e-8 below rho = 1e-3), 2e-12 from 30 to 1e6 source radii; ring 1e-12 away
// from the lens and 1e-10 across it. The ring, one Bulirsch integral of two
// positive terms from exact complementary quantities, is held to 2e-15
// everywhere.
double disk(const Values& v) {
    return witt_mao_magnification_scaled(v[1], v[0]);
}

double ring(const Values& v) {
    const auto r = heyrovsky_magnification(v[0], v[1], v[2], v[3]);
    return r ? *r : kNaN;
}

double point_source(double u) {
    return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
}

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
    // Far from a small source (u = 1000 rho), where the closed form's terms would
    // cancel.
    EXPECT_NEAR(witt_mao_magnification_scaled(1.0, 0.001), 1.3416409296082745, 1e-15);
}

TEST(WittMao, ExactValueOnTheLimb) {
    // u = rho = 1: A = 1 + 2/pi.
    EXPECT_NEAR(witt_mao_magnification_scaled(1.0, 1.0), 1.6366197723675813, 1e-15);
    // u = rho = 1e-5: close to 4 / (pi rho); mpmath 127323.95447776039.
    EXPECT_NEAR(witt_mao_magnification_scaled(1e-5, 1e-5) / 127323.95447776039, 1.0, 1e-15);
}

TEST(WittMao, NoStepAtTheLimb) {
    // Inside 0.1 % of the limb the magnification keeps changing (mpmath
    // quadrature).
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
    // The disk's magnification falls as the lens moves out: check it along the
    // dense limb grid.
    double prev_rho = -1.0;
    double prev = kInf;
    int checked = 0;
    for (const auto& row : finitemu::test::read_reference("witt_mao_reference.txt")) {
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

TEST(WittMao, AccurateAgainstQuadratureAwayFromTheLimb) {
    check_grid({"witt_mao_reference.txt", "general"}, 1e-13, disk);
}

TEST(WittMao, AccurateAgainstQuadratureNearTheLimb) {
    check_grid({"witt_mao_reference.txt", "near_limb"}, 2e-15, disk);
}

TEST(WittMao, AccurateAgainstQuadratureForSmallSource) {
    check_grid({"witt_mao_reference.txt", "small_rho"}, 1e-13, disk);
}

TEST(WittMao, AccurateAgainstQuadratureAcrossTheLimb) {
    // u = rho (1 + delta), |delta| = 1e-12 ... 0.1.
    // Near the limb every quantity is exact to rounding: held to 2e-15 for every
    // rho.
    check_grid({.file = "witt_mao_reference.txt", .name = "limb", .label = "rho >= 1e-3"}, 2e-15,
               disk, [](const Values& v) { return v[0] >= 1e-3; });
    check_grid({.file = "witt_mao_reference.txt", .name = "limb", .label = "rho < 1e-3"}, 2e-15,
               disk, [](const Values& v) { return v[0] < 1e-3; });
}

TEST(WittMao, AccurateAgainstQuadratureFarFromTheSource) {
    check_grid({"witt_mao_reference.txt", "far"}, 1e-13, disk);
}

TEST(Heyrovsky, ClosedFormValues) {
    // Ring centred on the lens: A0(r/R).
    EXPECT_NEAR(*heyrovsky_magnification(0.0, 0.5, 2.0, 1.0), 4.093146241443879, 4e-15);
    // mpmath quadrature of A0 over the ring.
    EXPECT_NEAR(*heyrovsky_magnification(1.0, 0.5, 2.0, 1.0), 2.3386489046022699, 1e-13);
    EXPECT_NEAR(*heyrovsky_magnification(3.0, 0.7, 1.5, 1.0), 1.0669582453692220, 1e-13);
}

TEST(Heyrovsky, NearTheLens) {
    // 2e-6 source radii from the lens: the ring mean by mpmath quadrature.
    const auto near = heyrovsky_magnification(1.0, 1.000002, 2.0, 1.0);
    ASSERT_TRUE(near);
    EXPECT_LT(relative_error(*near, 9.9018991812404583), 1e-15);
    // n rounds to 1 here, but 1 - n = (d / (l + r))^2 does not.
    const auto far_out = heyrovsky_magnification(10000.0, 10000.00002, 1.0, 1.0);
    ASSERT_TRUE(far_out);
    EXPECT_LT(relative_error(*far_out, 1.0003469329427737), 1e-15);
    // l = r: the ring passes over the lens.
    EXPECT_EQ(*heyrovsky_magnification(1.0, 1.0, 2.0, 1.0), kInf);
    EXPECT_EQ(*heyrovsky_magnification(10000.0, 10000.0, 1.0, 1.0), kInf);
    // l = r = 0: NaN, not an error.
    const auto origin = heyrovsky_magnification(0.0, 0.0, 1.0, 1.0);
    ASSERT_TRUE(origin);
    EXPECT_TRUE(std::isnan(*origin));
}

TEST(Heyrovsky, SmallRingsNearTheLens) {
    // An expansion about l = 1e-6 would give 415984.172; the ring mean is
    // 202046.28956663480.
    const auto small = heyrovsky_magnification(0.000001, 0.000005, 1.0, 1.0);
    ASSERT_TRUE(small);
    EXPECT_LT(relative_error(*small, 202046.28956663480), 1e-14);
    // Rings around a lens at the source centre keep A0(r/R) at every radius, down
    // to radii whose square underflows (n = 0/0 from n and m; 1 - n = 1 from the
    // complementary form).
    for (const double r : {1e-300, 1e-170, 1e-9, 3e-6, 9.9e-6}) {
        for (const double re : {0.5, 1.0, 100.0}) {
            const auto centred = heyrovsky_magnification(0.0, r, re, 1.0);
            ASSERT_TRUE(centred) << r;
            EXPECT_LT(relative_error(*centred, point_source(r / re)), 1e-14) << r << " " << re;
        }
    }
}

TEST(Heyrovsky, EllipticErrorsAreReported) {
    const char* nan_k = "ellipk: Arguments cannot be NAN.";
    for (const auto& args : {std::array{kNaN, 0.5, 1.0, 1.0}, std::array{0.5, kNaN, 1.0, 1.0},
                             std::array{1.0, 0.5, kNaN, 1.0}, std::array{1.0, 0.5, 1.0, kNaN},
                             std::array{1.0, 1.000001, kNaN, 1.0}}) {
        const auto r = heyrovsky_magnification(args[0], args[1], args[2], args[3]);
        ASSERT_FALSE(r);
        EXPECT_STREQ(r.error(), nan_k);
    }
    // rstar = 0 makes R infinite and m NaN, also next to the lens.
    for (const double r : {0.5, 1.000001}) {
        const auto no_source = heyrovsky_magnification(1.0, r, 1.0, 0.0);
        ASSERT_FALSE(no_source);
        EXPECT_STREQ(no_source.error(), nan_k);
    }
}

TEST(Heyrovsky, AccurateAgainstQuadratureForCentredRings) {
    check_grid({"heyrovsky_reference.txt", "centred"}, 2e-15, ring);
}

TEST(Heyrovsky, AccurateAgainstQuadratureAwayFromTheLens) {
    check_grid({"heyrovsky_reference.txt", "far_ring"}, 2e-15, ring);
}

TEST(Heyrovsky, AccurateAgainstQuadratureNearTheLens) {
    check_grid({"heyrovsky_reference.txt", "near_ring"}, 2e-15, ring);
}

TEST(Heyrovsky, AccurateAgainstQuadratureAcrossTheRing) {
    // r = l (1 + delta), |delta| = 1e-12 ... 1, l = 1e-6 ... 1e4.
    check_grid({"heyrovsky_reference.txt", "across_ring"}, 2e-15, ring);
}
