// Ring kernel: the documented edge values and error messages, and accuracy against mpmath
// quadrature of the point-source magnification (tests/data, tools/gen_kernel_reference.py).
#include "kernels/heyrovsky.hpp"

#include "reference_data.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

using finitemu::kernels::heyrovsky_magnification;
using finitemu::test::check_grid;
using finitemu::test::relative_error;
using finitemu::test::Values;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The accuracy promised is 1e-12 away from the lens and 1e-10 across the ring; the ring, one
// Bulirsch integral of two positive terms from exact complementary quantities, is held to 2e-15
// everywhere. Rows: l r re rstar magnification.
double ring(const Values& v) {
    const auto r = heyrovsky_magnification(v[0], v[1], v[2], v[3]);
    return r ? *r : kNaN;
}

double point_source(double u) {
    return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
}

constexpr char kFile[] = "heyrovsky_reference.txt";

} // namespace

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
    // An expansion about l = 1e-6 would give 415984.172; the ring mean is 202046.28956663480.
    const auto small = heyrovsky_magnification(0.000001, 0.000005, 1.0, 1.0);
    ASSERT_TRUE(small);
    EXPECT_LT(relative_error(*small, 202046.28956663480), 1e-14);
    // Rings around a lens at the source centre keep A0(r/R) at every radius, down to radii whose
    // square underflows (n = 0/0 from n and m; 1 - n = 1 from the complementary form).
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
    check_grid({kFile, "centred"}, 2e-15, ring);
}

TEST(Heyrovsky, AccurateAgainstQuadratureAwayFromTheLens) {
    check_grid({kFile, "far_ring"}, 2e-15, ring);
}

TEST(Heyrovsky, AccurateAgainstQuadratureNearTheLens) {
    check_grid({kFile, "near_ring"}, 2e-15, ring);
}

TEST(Heyrovsky, AccurateAgainstQuadratureAcrossTheRing) {
    // r = l (1 + delta), |delta| = 1e-12 ... 1, l = 1e-6 ... 1e4.
    check_grid({kFile, "across_ring"}, 2e-15, ring);
}

// Finite arguments at the extremes give their limits, and never an error.
TEST(Heyrovsky, ExtremeArgumentsGiveTheirLimits) {
    const auto value = [](double l, double r, double re, double rstar) {
        const auto h = heyrovsky_magnification(l, r, re, rstar);
        EXPECT_TRUE(h.has_value()) << l << " " << r;
        return h.value_or(kNaN);
    };
    EXPECT_EQ(value(1e200, 0.5, 1.0, 1.0), 1.0);    // far from the lens
    EXPECT_EQ(value(1e200, 1e200, 1.0, 1.0), kInf); // through the lens
    EXPECT_EQ(value(0.0, 1e-310, 1.0, 0.5), kInf);  // a ring of subnormal radius on the lens
    // Centred on the lens, every point at u = r / R: A0(1.5) = 4.25 / 3.75.
    EXPECT_NEAR(value(0.0, 3.0, 1.0, 0.5), 4.25 / 3.75, 2e-16);
}
