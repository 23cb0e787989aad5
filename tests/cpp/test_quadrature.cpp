#include "numeric/quadrature.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace {

using finitemu::numeric::quadrature::double_exponential::integrate;
namespace detail = finitemu::numeric::quadrature::double_exponential::detail;

TEST(TanhSinhNodes, LevelStructureAndTellingRows) {
    std::size_t total = 0;
    for (std::size_t k = 0; k < detail::kLevels; ++k) {
        EXPECT_EQ(detail::kLevelOffset[k], total);
        total += detail::kLevelSize[k];
    }
    EXPECT_EQ(total, 192u);
    const auto& n = detail::kNodes;
    EXPECT_EQ(n[0].abscissa, 0.9513679640727469);
    EXPECT_EQ(n[0].weight, 0.23002239451478868);
    EXPECT_EQ(n[1].abscissa, 0.9999774771924616);
    EXPECT_EQ(n[1].weight, 0.00026620051375271693);
    EXPECT_EQ(n[2].abscissa, 0.999999999999957);
    EXPECT_EQ(n[2].weight, 1.3581784274539091e-12);
    EXPECT_EQ(n[3].abscissa, 0.6742714922484359);
    EXPECT_EQ(n[3].weight, 0.4829882897061506);
    EXPECT_EQ(n[4].abscissa, 0.9975148564572244);
    EXPECT_EQ(n[4].weight, 0.009171583494963921);
    EXPECT_EQ(n[5].abscissa, 0.9999999888756649);
    EXPECT_EQ(n[5].weight, 1.071560227847152e-07);
    EXPECT_EQ(n[191].abscissa, 0.9999999999999298); // level 6, t = 191/64
    EXPECT_EQ(n[191].weight, 3.411862828005251e-14);
}

TEST(TanhSinhNodes, AgreeWithTheTransformWithinEachLevel) {
    // Against the formulas in double precision: loose bounds, but they catch a node out of order
    // or a weight without its level's step.
    for (std::size_t k = 0; k < detail::kLevels; ++k) {
        const double h = k == 0 ? 1.0 : std::ldexp(1.0, -static_cast<int>(k));
        for (std::size_t j = 0; j < detail::kLevelSize[k]; ++j) {
            const double t =
                k == 0 ? static_cast<double>(j + 1) : static_cast<double>(2 * j + 1) * h;
            const double s = std::numbers::pi / 2 * std::sinh(t);
            const double w = h * std::numbers::pi / 2 * std::cosh(t) / std::pow(std::cosh(s), 2);
            const detail::Node node = detail::kNodes[detail::kLevelOffset[k] + j];
            EXPECT_NEAR(node.weight / w, 1.0, 1e-12) << "level " << k << " node " << j;
            EXPECT_NEAR(node.abscissa, std::tanh(s), 2e-16) << "level " << k << " node " << j;
            EXPECT_LT(node.abscissa, 1.0);
        }
    }
}

TEST(DoubleExponential, WorkedValuesHoldBitForBit) {
    const auto one = [](double) { return 1.0; };
    auto r = integrate(one, 0.0, 1.0, 1e-16);
    EXPECT_EQ(r.value, 0.9999999999999669);
    EXPECT_EQ(r.evaluations, 385u);

    r = integrate(one, 0.0, 1.0, 1e-3);
    EXPECT_EQ(r.value, 1.0000000000000366);
    EXPECT_EQ(r.evaluations, 25u);

    r = integrate([](double y) { return std::sin(y); }, 0.0, std::numbers::pi, 1e-10);
    EXPECT_EQ(r.evaluations, 97u);
    EXPECT_NEAR(r.value, 2.0, 1e-15);
    EXPECT_LT(r.error_estimate, 1e-30);
}

TEST(DoubleExponential, ZeroNonFiniteAndEmptyIntervals) {
    for (const double fill :
         {0.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        const auto r = integrate([fill](double) { return fill; }, 0.0, 1.0, 1e-16);
        EXPECT_EQ(r.value, 0.0) << fill;
        EXPECT_EQ(r.error_estimate, 0.0) << fill;
        EXPECT_EQ(r.evaluations, 25u) << fill;
    }
    const auto r = integrate([](double) { return 1.0; }, 0.7, 0.7, 1e-16);
    EXPECT_EQ(r.value, 0.0);
    EXPECT_EQ(r.error_estimate, 0.0);
    EXPECT_EQ(r.evaluations, 25u);
}

TEST(DoubleExponential, SampleCountAndPositions) {
    // Samples stay strictly inside the interval; the first one is at its centre.
    int calls = 0;
    double first = -1.0, lowest = 2.0, highest = -1.0;
    const auto r = integrate(
        [&](double y) {
            if (calls++ == 0) {
                first = y;
            }
            lowest = std::min(lowest, y);
            highest = std::max(highest, y);
            return std::exp(y);
        },
        0.0, 1.0, 1e-16);
    EXPECT_EQ(static_cast<std::uint32_t>(calls), r.evaluations);
    EXPECT_EQ(first, 0.5);
    EXPECT_GT(lowest, 0.0);
    EXPECT_LT(highest, 1.0);
    EXPECT_LT(lowest, 3e-14);
}

TEST(DoubleExponential, InfiniteCentreSampleIsDropped) {
    const auto spike = [](double y) {
        return y == 0.5 ? std::numeric_limits<double>::infinity() : y;
    };
    const auto plain = [](double y) { return y == 0.5 ? 0.0 : y; };
    const auto a = integrate(spike, 0.0, 1.0, 1e-16);
    const auto b = integrate(plain, 0.0, 1.0, 1e-16);
    EXPECT_EQ(a.value, b.value);
    EXPECT_EQ(a.evaluations, b.evaluations);
    // Only the centre's share is missing: half-length 0.5 * step 1/64 * (pi/2) * f(0.5) = 0.5.
    EXPECT_NEAR(a.value, 0.5 - std::numbers::pi / 512.0, 1e-13);
}

TEST(DoubleExponential, ReversedIntervalFlipsTheSignAndRunsAllLevels) {
    const auto f = [](double y) { return y * y; };
    const auto forward = integrate(f, 0.0, 2.0, 1e-16);
    const auto backward = integrate(f, 2.0, 0.0, 1e-16);
    EXPECT_EQ(backward.value, -forward.value);
    EXPECT_EQ(backward.evaluations, 385u);
    EXPECT_LE(backward.error_estimate, 0.0);
}

TEST(DoubleExponential, PolynomialsAndExponentialsMatchExactIntegrals) {
    // The truncation at |t| <= 3 drops weight ~1e-14 of the interval; smooth integrands are exact
    // to that level.
    for (int degree = 0; degree <= 12; ++degree) {
        const auto r =
            integrate([degree](double y) { return std::pow(y, degree); }, -1.0, 2.0, 1e-16);
        const double exact =
            (std::pow(2.0, degree + 1) - std::pow(-1.0, degree + 1)) / (degree + 1);
        EXPECT_NEAR(r.value / exact, 1.0, 5e-13) << "degree " << degree;
    }
    const double intervals[][2] = {{0.0, 1.0}, {-3.0, 0.5}, {2.0, 7.0}, {-20.0, -19.0}, {1.0, 1.5}};
    for (const auto& [a, b] : intervals) {
        const auto r = integrate([](double y) { return std::exp(y); }, a, b, 1e-16);
        const double exact = std::exp(b) - std::exp(a);
        EXPECT_NEAR(r.value / exact, 1.0, 2e-13) << a << " " << b;
    }
}

TEST(DoubleExponential, EndpointSingularitiesConverge) {
    // The double-exponential rule's strength: algebraic end singularities.
    const auto inv_sqrt = integrate([](double y) { return 1.0 / std::sqrt(y); }, 0.0, 1.0, 1e-16);
    EXPECT_NEAR(inv_sqrt.value, 2.0, 2e-6); // the truncation at t = 3 costs ~sqrt(2e-14)
    const auto log_end = integrate([](double y) { return std::log(y); }, 0.0, 1.0, 1e-16);
    EXPECT_NEAR(log_end.value, -1.0, 1e-11);
}

} // namespace
