#include "numeric/interp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using finitemu::numeric::segment_line;

// interp with each segment's line formed on the spot, as a one-off query forms it.
double interp(const std::vector<double>& x, const std::vector<double>& y, double q,
              double outside = 0.0) {
    return finitemu::numeric::interp(x, y, q, outside,
                                     [&](std::size_t i) { return segment_line(x, y, i); });
}

TEST(Interp, EmptyAndOnePointTables) {
    const std::vector<double> none;
    const std::vector<double> x1{0.3}, y1{7.5};
    EXPECT_EQ(interp(none, none, 0.5, 2.0), 0.0);
    for (const double q : {-1.0, 0.3, 0.5, 9.0}) {
        EXPECT_EQ(interp(x1, y1, q, -3.0), 7.5);
    }
}

TEST(Interp, InsideAndOutsideTheRange) {
    const std::vector<double> x{0, 1, 2}, y{0, 10, 40};
    EXPECT_EQ(interp(x, y, 0.5), 5.0);
    EXPECT_EQ(interp(x, y, 1.0), 10.0);
    EXPECT_EQ(interp(x, y, 1.5), 25.0);
    EXPECT_EQ(interp(x, y, 2.0), 40.0);
    EXPECT_EQ(interp(x, y, 0.0), 0.0);
    EXPECT_EQ(interp(x, y, 3.0), 0.0);
    EXPECT_EQ(interp(x, y, -1.0, 2.5), 2.5);
    EXPECT_EQ(interp(x, y, 5.0, 2.5), 2.5);
}

TEST(Interp, UnequalLengthsUseTheCommonPrefix) {
    const std::vector<double> x{0, 1, 2, 3}, y{0, 1, 4};
    EXPECT_EQ(interp(x, y, 1.5), 2.5);
    EXPECT_EQ(interp(x, y, 2.5), 0.0);
    // The shorter side may be x as well.
    EXPECT_EQ(interp(y, x, 3.0), 5.0 / 3.0);
}

TEST(Interp, InteriorAbscissaTakesTheLeftSegment) {
    const std::vector<double> x{0, 1, 1, 2}, y{0, 1, 5, 6};
    EXPECT_EQ(interp(x, y, 1.0), 1.0);
    EXPECT_EQ(interp(x, y, 1.5), 5.5);
}

TEST(Interp, NanQueryGivesNan) {
    const std::vector<double> x{0, 1, 2}, y{0, 10, 40};
    EXPECT_TRUE(std::isnan(interp(x, y, std::numeric_limits<double>::quiet_NaN())));
}

TEST(Interp, SlopeInterceptFormAndLinearReproduction) {
    // m q + c, not y[i] + m (q - x[i]): the two differ in the last bits, and callers compare bits.
    const std::vector<double> x{0.1, 0.35, 0.8, 1.0}, y{0.3, 2.0 / 3.0, 0.9, 0.05};
    for (const double q : {0.12, 0.2, 0.37, 0.5, 0.79, 0.95}) {
        std::size_t i = 0;
        while (i + 2 < x.size() && q > x[i + 1]) {
            ++i;
        }
        const double m = (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
        const double c = y[i] - x[i] * m;
        EXPECT_EQ(interp(x, y, q), m * q + c) << q;
    }
    // Samples of a straight line are reproduced everywhere inside.
    std::vector<double> xs, ys;
    for (int j = 0; j < 17; ++j) {
        xs.push_back(0.25 * j - 1.0);
        ys.push_back(3.0 * xs.back() - 2.0);
    }
    for (double q = -1.0; q <= 3.0; q += 0.173) {
        EXPECT_NEAR(interp(xs, ys, q), 3.0 * q - 2.0, 1e-13) << q;
    }
}

} // namespace
