// Complete elliptic integrals: values, interval selection, error messages and identities.
#include "numeric/elliptic.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string_view>

namespace {

using finitemu::numeric::ellipe;
using finitemu::numeric::ellipk;
using finitemu::numeric::ellippi;
using finitemu::numeric::EllipticResult;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEps = 0x1p-52;

double value(const EllipticResult& r) {
    EXPECT_TRUE(r.has_value()) << r.error();
    return r.value_or(kNaN);
}

::testing::AssertionResult is_error(const EllipticResult& r, std::string_view message) {
    if (r.has_value()) {
        return ::testing::AssertionFailure() << "value " << *r << ", expected error " << message;
    }
    if (r.error() != message) {
        return ::testing::AssertionFailure() << "error '" << r.error() << "', expected " << message;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult near_relative(double actual, double expected, double tol) {
    const double err = std::fabs(actual - expected);
    if (err <= tol * std::fabs(expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "actual " << actual << " expected " << expected << " relative error "
           << err / std::fabs(expected) << " > " << tol;
}

TEST(Elliptic, KAcrossIntervalsAndAgm) {
    // mpmath ellipk at 40 digits, rounded.
    EXPECT_TRUE(near_relative(value(ellipk(0.5)), 1.8540746773013719, 5e-16));
    EXPECT_TRUE(near_relative(value(ellipk(0.89999)), 2.5780450621572735, 5e-16));
    EXPECT_TRUE(near_relative(value(ellipk(0.9)), 2.5780921133481733, 5e-16));
    EXPECT_TRUE(near_relative(value(ellipk(-0.01)), 1.5668912730681963, 5e-16));
    EXPECT_TRUE(near_relative(value(ellipk(-0.05)), 1.5516951365365805, 5e-16));
    EXPECT_TRUE(near_relative(value(ellipk(-1)), 1.3110287771460598, 5e-16));
    EXPECT_EQ(value(ellipk(0)), 1.5707963267948966);
}

TEST(Elliptic, KBoundariesAndErrors) {
    EXPECT_EQ(value(ellipk(1)), kInf);
    EXPECT_EQ(value(ellipk(-kInf)), 0.0);
    EXPECT_TRUE(is_error(ellipk(1.0000001), "ellipk: m must not be greater than 1."));
    EXPECT_TRUE(is_error(ellipk(kInf), "ellipk: m must not be greater than 1."));
    EXPECT_TRUE(is_error(ellipk(1e300), "ellipk: m must not be greater than 1."));
    EXPECT_TRUE(is_error(ellipk(kNaN), "ellipk: Arguments cannot be NAN."));
    EXPECT_TRUE(is_error(ellipk(-1e18), "ellipk: Unexpected error."));
}

TEST(Elliptic, EValuesAndErrors) {
    EXPECT_TRUE(near_relative(value(ellipe(0.5)), 1.3506438810476755, 5e-16));
    EXPECT_TRUE(near_relative(value(ellipe(0.95)), 1.0604737277662784, 5e-16));
    EXPECT_EQ(value(ellipe(1)), 1.0);
    EXPECT_EQ(value(ellipe(-kInf)), kInf);
    EXPECT_EQ(value(ellipe(-1)), std::sqrt(2.0) * value(ellipe(0.5)));
    EXPECT_TRUE(is_error(ellipe(2), "ellipe: m must not be greater than 1."));
    EXPECT_TRUE(is_error(ellipe(kInf), "ellipe: m must not be greater than 1."));
    EXPECT_TRUE(is_error(ellipe(kNaN), "ellipe: Arguments cannot be NAN."));
}

TEST(Elliptic, PiSpecialCases) {
    EXPECT_EQ(value(ellippi(0, 0)), std::numbers::pi / 2);
    for (const double m : {0.1, 0.5, 0.95}) {
        EXPECT_EQ(value(ellippi(0, m)), value(ellipk(m))) << m;
        EXPECT_TRUE(near_relative(value(ellippi(m, m)), value(ellipe(m)) / (1 - m), 1e-15)) << m;
    }
    for (const double m : {-3.0, 0.0, 0.5, 1.0, 2.0, kNaN}) {
        EXPECT_TRUE(is_error(ellippi(1, m), "ellippi: n cannot be 1.")) << m;
    }
    for (const double n : {-5.0, 0.0, 0.5, 1 - kEps}) {
        EXPECT_EQ(value(ellippi(n, 1)), kInf) << n;
    }
    EXPECT_EQ(value(ellippi(1 - kEps / 2, 0.3)), kInf);
    EXPECT_TRUE(is_error(ellippi(0.5, 1.5), "ellippi: m must not be greater than 1."));
    EXPECT_EQ(value(ellippi(1 + kEps, 0.5)), value(ellipk(0.5)) - value(ellipe(0.5)) / 0.5);
    EXPECT_TRUE(is_error(ellippi(1 + kEps, 2), "ellipk: m must not be greater than 1."));
    EXPECT_TRUE(is_error(ellippi(kNaN, 0.5), "ellippi: Arguments cannot be NAN."));
    EXPECT_TRUE(is_error(ellippi(0.5, kNaN), "ellippi: Arguments cannot be NAN."));
    EXPECT_TRUE(std::isnan(value(ellippi(3, kNaN))));
}

TEST(Elliptic, PiValues) {
    // mpmath ellippi at 40 digits, rounded (for n > 1 the real part, the principal value).
    EXPECT_TRUE(near_relative(value(ellippi(0.3, 0.6)), 2.377858827830847, 1e-15));
    EXPECT_TRUE(near_relative(value(ellippi(-2, 0.6)), 1.0601883625151312, 1e-15));
    EXPECT_TRUE(near_relative(value(ellippi(2, 0.6)), -0.428291078024821, 1e-15));
}

} // namespace
