// Complete elliptic integrals: values, interval selection, error messages and identities.
#include "numeric/elliptic.hpp"
#include "reference_data.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string_view>

namespace {

using finitemu::test::check_grid;
using finitemu::test::near_relative;
using finitemu::test::Values;
using finitemu::test::Worst;

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

TEST(Elliptic, PiOfNegativeCharacteristicAndParameterEqual) {
    // Pi(m, m) = E(m) / (1 - m) holds for m < 0 as well; the n < 0 transformation divides by m - n.
    for (const double m : {-0.5, -3.0}) {
        EXPECT_TRUE(near_relative(value(ellippi(m, m)), value(ellipe(m)) / (1 - m), 1e-15)) << m;
    }
}

TEST(Elliptic, LegendreRelation) {
    // E(m) K(1-m) + E(1-m) K(m) - K(m) K(1-m) = pi/2, DLMF 19.7.1.
    for (int i = 1; i < 100; ++i) {
        const double m = i / 100.0;
        const double k = value(ellipk(m));
        const double e = value(ellipe(m));
        const double kc = value(ellipk(1 - m));
        const double ec = value(ellipe(1 - m));
        EXPECT_NEAR(e * kc + ec * k - k * kc, std::numbers::pi / 2, 4e-15) << m;
    }
}

TEST(Elliptic, KIncreasesAndEDecreasesAcrossIntervals) {
    // A polynomial used outside its interval shows as a step at the interval edges.
    double k_prev = value(ellipk(-1));
    double e_prev = value(ellipe(-1));
    for (int i = 1; i < 199000; ++i) {
        const double m = -1 + i * 1e-5;
        const double k = value(ellipk(m));
        const double e = value(ellipe(m));
        ASSERT_GT(k, k_prev) << m;
        ASSERT_LT(e, e_prev) << m;
        k_prev = k;
        e_prev = e;
    }
}

// Error of x against the reference hi + lo in units in the last place of hi.
double ulp_error(double x, double hi, double lo) {
    const double ulp = std::nextafter(std::fabs(hi), kInf) - std::fabs(hi);
    return std::fabs((x - hi) - lo) / ulp;
}

TEST(Elliptic, KAndEWithinFourUlpOfReference) {
    // 4 ulp on all of [-1, 1), with the reference dense on -0.05 < m < 0 (where a polynomial used
    // beyond its interval reached 310 ulp) and towards m = 1 (where the AGM running sum for E
    // reached 7.9 ulp and the AGM for K 4.3 ulp), and across the switch to the expansions about
    // m = 1 at 1 - m = 1e-3. Each Taylor interval trunc(20 m), 0 <= m < 0.9, has rows of its own,
    // so that every polynomial of elliptic_taylor_tables.hpp is held to the bound.
    Worst k_worst("elliptic_reference.txt/KE, K", 4.0, 2000, "ulp error");
    Worst e_worst("elliptic_reference.txt/KE, E", 4.0, 2000, "ulp error");
    int per_interval[19] = {};
    for (const auto& row : finitemu::test::read_reference("elliptic_reference.txt")) {
        if (row.grid != "KE") {
            continue;
        }
        const double m = row.values[0];
        if (m >= 0.0 && m < 0.9) {
            ++per_interval[static_cast<int>(20 * m)];
        }
        k_worst.note(ulp_error(value(ellipk(m)), row.values[1], row.values[2]), row.at(1));
        e_worst.note(ulp_error(value(ellipe(m)), row.values[3], row.values[4]), row.at(1));
    }
    for (int i = 0; i < 18; ++i) {
        EXPECT_GE(per_interval[i], 10) << "rows in Taylor interval " << i;
    }
}

TEST(Elliptic, PiWithinRelativeTolerance) {
    check_grid({.file = "elliptic_reference.txt",
                .name = "PI",
                .reference_columns = 2,
                .min_points = 1000},
               1e-14, [](const Values& v) { return value(ellippi(v[0], v[1])); });
}

} // namespace
