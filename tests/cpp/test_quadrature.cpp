#include "numeric/gauss_legendre.hpp"
#include "numeric/log_gauss.hpp"
#include "numeric/tanh_sinh.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

namespace {

using finitemu::numeric::quadrature::double_exponential::integrate;
namespace detail = finitemu::numeric::quadrature::double_exponential::detail;

TEST(TanhSinhNodes, AgreeWithTheTransformWithinEachLevel) {
    // Against the formulas in double precision: loose bounds, but they catch a node out of order
    // or a weight without its level's step. Level 0 holds t = 1, 2, 3 and level k the odd
    // multiples of 2^-k up to 3.5, those up to 3 first, one level after the other.
    std::size_t offset = 0;
    for (std::size_t k = 0; k < detail::kLevels; ++k) {
        EXPECT_EQ(detail::kLevelOffset[k], offset);
        EXPECT_EQ(detail::kLevelSizeToThree[k], k == 0 ? 3u : 3u << (k - 1));
        EXPECT_EQ(detail::kLevelSize[k], k == 0 ? 3u : ((7u << (k - 1)) + 1) / 2);
        offset += detail::kLevelSize[k];
        const double h = k == 0 ? 1.0 : std::ldexp(1.0, -static_cast<int>(k));
        for (std::size_t j = 0; j < detail::kLevelSize[k]; ++j) {
            const double t =
                k == 0 ? static_cast<double>(j + 1) : static_cast<double>(2 * j + 1) * h;
            const double s = std::numbers::pi / 2 * std::sinh(t);
            const double w = h * std::numbers::pi / 2 * std::cosh(t) / std::pow(std::cosh(s), 2);
            const detail::Node node = detail::kNodes[detail::kLevelOffset[k] + j];
            EXPECT_NEAR(node.weight / w, 1.0, 1e-12) << "level " << k << " node " << j;
            EXPECT_NEAR(node.abscissa, std::tanh(s), 2e-16) << "level " << k << " node " << j;
            // 1 - tanh s = 2 / (1 + e^2s), to full precision where tanh s rounds to 1.
            EXPECT_NEAR(node.complement * (1 + std::exp(2 * s)) / 2, 1.0, 1e-12) << "level " << k;
            EXPECT_EQ(j < detail::kLevelSizeToThree[k], t <= 3.0);
        }
    }
    EXPECT_EQ(offset, detail::kNodes.size());
}

TEST(DoubleExponential, ClosedFormsWithinTheTargetAndTheErrorEstimate) {
    // Integrals F(b) - F(a), smooth and with end singularities. The error is at most the error
    // estimate plus what the truncation at |t| = 3 leaves out, the integral over the strips of
    // width (b - a)(1 - x(3))/2 at each end, plus rounding; when the refinement stops before its
    // last level, the value is within the target. A looser target never costs more samples.
    struct Case {
        const char* name;
        double (*f)(double);
        double (*antiderivative)(double);
        double a, b;
    };
    const Case cases[] = {
        {"exp", [](double y) { return std::exp(y); }, [](double y) { return std::exp(y); }, 0, 1},
        {"sin", [](double y) { return std::sin(y); }, [](double y) { return -std::cos(y); }, 0,
         std::numbers::pi},
        {"1/(1+y^2)", [](double y) { return 1 / (1 + y * y); },
         [](double y) { return std::atan(y); }, -1, 1},
        {"sqrt(1-y^2)", [](double y) { return std::sqrt(1 - y * y); },
         [](double y) { return (y * std::sqrt(1 - y * y) + std::asin(y)) / 2; }, -1, 1},
        {"y log y", [](double y) { return y * std::log(y); },
         [](double y) { return y > 0 ? y * y * (2 * std::log(y) - 1) / 4 : 0.0; }, 0, 1},
        {"log y", [](double y) { return std::log(y); },
         [](double y) { return y > 0 ? y * std::log(y) - y : 0.0; }, 0, 1},
        {"1/sqrt(y)", [](double y) { return 1 / std::sqrt(y); },
         [](double y) { return 2 * std::sqrt(y); }, 0, 1},
        {"log(y)/sqrt(y)", [](double y) { return std::log(y) / std::sqrt(y); },
         [](double y) { return y > 0 ? 2 * std::sqrt(y) * (std::log(y) - 2) : 0.0; }, 0, 1},
    };
    for (const Case& c : cases) {
        const auto& F = c.antiderivative;
        const double exact = F(c.b) - F(c.a);
        const double strip = (c.b - c.a) * (1 - detail::kNodes[2].abscissa) / 2;
        const double cut = std::fabs(F(c.a + strip) - F(c.a)) + std::fabs(F(c.b) - F(c.b - strip));
        const double rounding = 4e-16 * std::fabs(exact);
        std::uint32_t previous = 0;
        for (const double target : {1e-3, 1e-6, 1e-9, 1e-12, 1e-16}) {
            const auto r = integrate(c.f, c.a, c.b, target);
            const double error = std::fabs(r.value - exact);
            EXPECT_LE(error, r.error_estimate + cut + rounding) << c.name << " target " << target;
            if (r.evaluations < 385) {
                EXPECT_LE(error, target + rounding) << c.name << " target " << target;
            }
            EXPECT_GE(r.evaluations, previous) << c.name << " target " << target;
            EXPECT_LE(r.evaluations, 385u) << c.name;
            previous = r.evaluations;
        }
    }
}

TEST(DoubleExponential, ZeroNonFiniteAndEmptyIntervals) {
    for (const double fill :
         {0.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        const auto r = integrate([fill](double) { return fill; }, 0.0, 1.0, 1e-16);
        EXPECT_EQ(r.value, 0.0) << fill;
        EXPECT_EQ(r.error_estimate, 0.0) << fill;
        // Stops at the first level allowed to: 1 + 2 (3 + 3 + 6) samples.
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

TEST(DoubleExponential, ReversedIntervalFlipsTheSign) {
    // int_b^a f = -int_a^b f, also with the singular end last.
    const auto f = [](double y) { return y * y; };
    EXPECT_EQ(integrate(f, 2.0, 0.0, 1e-16).value, -integrate(f, 0.0, 2.0, 1e-16).value);
    EXPECT_NEAR(integrate([](double y) { return std::log(y); }, 1.0, 0.0, 1e-10).value, 1.0, 1e-11);
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

namespace de = finitemu::numeric::quadrature::double_exponential;
namespace gl = finitemu::numeric::quadrature::gauss_legendre;

TEST(DoubleExponentialRelative, SingularEndsAreExactWithTheirTails) {
    // A logarithmic end loses 4e-14 of the half-interval's log at t = 3; its tail to t = 3.5
    // keeps it. The singular point is given by the exact distance to it (y - a has lost it).
    const auto log_from_a = [](const de::Sample& s) { return std::log(s.from_a); };
    const auto tailed =
        de::integrate_relative(log_from_a, 1.0, 2.0, 1e-15, 0.0, {de::End::logarithmic});
    EXPECT_NEAR(tailed.value, -1.0, 2e-16);
    const auto bare = de::integrate_relative(log_from_a, 1.0, 2.0, 1e-15, 0.0);
    EXPECT_GT(std::abs(bare.value + 1.0), 1e-14);
    // At b, with the distance b - y.
    const auto log_to_b = [](const de::Sample& s) { return std::log(s.to_b); };
    EXPECT_NEAR(de::integrate_relative(log_to_b, 0.0, 1.0, 1e-15, 0.0,
                                       {de::End::bounded, de::End::logarithmic})
                    .value,
                -1.0, 2e-16);
}

TEST(DoubleExponentialRelative, StopsWhereTheValueIsReachedWhateverItsScale) {
    // A smooth integrand reaches 1e-15 in three levels (49 samples), and its scale changes
    // neither the samples nor the relative result. The error left, 3e-15, is what the truncation
    // at t = 3 leaves out at two bounded ends.
    for (const double scale : {1e-200, 1.0, 1e200}) {
        const auto r = de::integrate_relative(
            [scale](const de::Sample& s) { return scale * std::exp(s.y); }, 0.0, 1.0, 1e-15, 0.0);
        EXPECT_NEAR(r.value / scale / (std::exp(1.0) - 1.0), 1.0, 5e-15) << scale;
        EXPECT_LE(r.evaluations, 49u) << scale;
    }
}

TEST(TanhSinhThirds, NodesAgreeWithTheTransformWithinEachLevel) {
    // Steps 1, 1/3, 1/6, 1/12, ...: level 0 holds t = 1, 2, 3, level 1 the non-integer multiples
    // of 1/3, level k >= 2 the odd multiples of 1/(3 2^(k-1)), all up to 3.5 and ascending, and
    // the reach counts split them at t = 2.75, 3.25 and 3.5.
    namespace thirds = detail::thirds;
    std::size_t offset = 0;
    for (std::size_t k = 0; k < thirds::kLevels; ++k) {
        EXPECT_EQ(thirds::kLevelOffset[k], offset);
        const double h = k == 0 ? 1.0 : k == 1 ? 1.0 / 3.0 : 1.0 / (3 << (k - 1));
        EXPECT_EQ(thirds::kStepRatio[k], k == 1 ? 1.0 / 3.0 : 0.5);
        std::vector<double> ts;
        for (int m = 1; m * h <= 3.5 + 1e-12; ++m) {
            if ((k == 1 && m % 3 != 0) || (k >= 2 && m % 2 == 1) || k == 0) {
                ts.push_back(m * h);
            }
        }
        ASSERT_EQ(thirds::kLevelReach[k][2], ts.size()) << "level " << k;
        for (std::size_t j = 0; j < ts.size(); ++j) {
            const double t = ts[j];
            const double s = std::numbers::pi / 2 * std::sinh(t);
            const double w = h * std::numbers::pi / 2 * std::cosh(t) / std::pow(std::cosh(s), 2);
            const detail::Node node = thirds::kNodes[offset + j];
            EXPECT_NEAR(node.weight / w, 1.0, 1e-12) << "level " << k << " node " << j;
            EXPECT_NEAR(node.abscissa, std::tanh(s), 2e-16) << "level " << k << " node " << j;
            EXPECT_NEAR(node.complement * (1 + std::exp(2 * s)) / 2, 1.0, 1e-12) << "level " << k;
            EXPECT_EQ(j < thirds::kLevelReach[k][0], t <= 2.75) << "level " << k << " node " << j;
            EXPECT_EQ(j < thirds::kLevelReach[k][1], t <= 3.25) << "level " << k << " node " << j;
        }
        offset += ts.size();
    }
    EXPECT_EQ(offset, thirds::kNodes.size());
}

TEST(TanhSinhThirds, StopsAtTheSixthStepAndReachesEachEndAsAsked) {
    // A smooth integrand stops at h = 1/6: 1 + 2 (3 + 6 + 10) samples to t = 3.25 at both
    // ends, exact to rounding (the halving rule, truncated at t = 3, leaves 3e-15 here).
    const auto exp_y = [](const de::Sample& s) { return std::exp(s.y); };
    const auto smooth = de::integrate_relative(exp_y, 0.0, 1.0, 1e-15, 0.0, {}, de::Steps::thirds);
    EXPECT_EQ(smooth.evaluations, 39u);
    EXPECT_NEAR(smooth.value / (std::exp(1.0) - 1.0), 1.0, 5e-16);
    // thirds_late goes on to h = 1/12 at least and gives the same value.
    const auto late =
        de::integrate_relative(exp_y, 0.0, 1.0, 1e-15, 0.0, {}, de::Steps::thirds_late);
    EXPECT_EQ(late.evaluations, 79u);
    EXPECT_NEAR(late.value / smooth.value, 1.0, 5e-16);
    // y e^y vanishes at 0: the end sampled to t = 2.75 costs fewer samples, as exactly (int = 1).
    const auto y_exp_y = [](const de::Sample& s) { return s.from_a * std::exp(s.y); };
    const auto vanishing = de::integrate_relative(
        y_exp_y, 0.0, 1.0, 1e-15, 0.0, {de::End::vanishing, de::End::bounded}, de::Steps::thirds);
    const auto bounded =
        de::integrate_relative(y_exp_y, 0.0, 1.0, 1e-15, 0.0, {}, de::Steps::thirds);
    EXPECT_LT(vanishing.evaluations, bounded.evaluations);
    EXPECT_NEAR(vanishing.value, 1.0, 5e-16);
    EXPECT_NEAR(bounded.value, 1.0, 5e-16);
    // log y at a: to t = 3.5 (11 nodes at 1/6); cut at 3.25 it loses 1e-17 only, at 2.75 1e-10.
    const auto log_y = [](const de::Sample& s) { return std::log(s.from_a); };
    const auto log_end = de::integrate_relative(log_y, 0.0, 1.0, 1e-15, 0.0, {de::End::logarithmic},
                                                de::Steps::thirds);
    EXPECT_NEAR(log_end.value, -1.0, 3e-16);
    EXPECT_GE(log_end.evaluations, 40u);
    const auto cut = de::integrate_relative(log_y, 0.0, 1.0, 1e-15, 0.0, {de::End::vanishing},
                                            de::Steps::thirds_late);
    EXPECT_GT(std::abs(cut.value + 1.0), 1e-12);
}

TEST(TanhSinhThirds, ErrorEstimateHoldsForAPoleBesideTheInterval) {
    // 1 / (y + e) on [0, 1], the pole a distance e before the end 0: wherever the rule stops, the
    // value is within its error estimate (plus rounding) of ln((1 + e) / e).
    for (const double e : {1.0, 0.3, 0.1, 0.03, 0.01}) {
        const auto r =
            de::integrate_relative([e](const de::Sample& s) { return 1.0 / (s.from_a + e); }, 0.0,
                                   1.0, 1e-15, 0.0, {}, de::Steps::thirds);
        const double exact = std::log1p(1.0 / e);
        EXPECT_LE(std::abs(r.value - exact), r.error_estimate + 4e-16 * exact) << e;
        EXPECT_NEAR(r.value / exact, 1.0, 1e-15) << e;
    }
}

TEST(GaussLegendre, ExactForPolynomialsOfItsDegree) {
    // The m-point rule integrates y^(2m - 1) exactly; one degree more it does not.
    for (const int m : {4, 8, 16, 32, 40, 64}) {
        const auto power = [](int n) { return [n](double y) { return std::pow(y, n); }; };
        const double a = 0.3, b = 1.7;
        const auto exact = [&](int n) {
            return (std::pow(b, n + 1) - std::pow(a, n + 1)) / (n + 1);
        };
        EXPECT_NEAR(gl::integrate(power(2 * m - 1), a, b, m) / exact(2 * m - 1), 1.0, 1e-14) << m;
        if (m <= 8) {
            EXPECT_GT(std::abs(gl::integrate(power(2 * m), a, b, m) / exact(2 * m) - 1.0), 1e-14);
        }
    }
}

TEST(GaussLegendre, OrderForAPoleReachesTheTarget) {
    // int_a^b dy / (z - y) = ln((z - a) / (z - b)), the pole at z outside [a, b]: the order chosen
    // grows as z nears the interval and meets the relative target; no order when z is inside.
    int previous = 0;
    for (const double z : {10.0, 3.0, 1.5, 1.2, 1.1, 1.05, 1.03}) {
        const int m = gl::order_for(0.0, 1.0, z, 1e-15);
        ASSERT_GT(m, 0) << z;
        EXPECT_GE(m, previous) << z;
        previous = m;
        const double value = gl::integrate([z](double y) { return 1.0 / (z - y); }, 0.0, 1.0, m);
        EXPECT_NEAR(value / std::log(z / (z - 1.0)), 1.0, 1e-15) << z;
    }
    EXPECT_EQ(gl::order_for(0.0, 1.0, 0.5, 1e-15), 0);
    EXPECT_EQ(gl::order_for(0.0, 1.0, 1.0 + 1e-9, 1e-15), 0);
}

TEST(GaussLegendre, ProductRuleIntegratesAPiecewiseLinearWeightExactly) {
    // w with two kinks and a jump on [0.2, 1.4], against the 64-point rule on each piece, where
    // w f is a polynomial it integrates exactly or, with f = 1/(z - y), analytic well beyond it.
    const std::vector<double> breaks = {0.5, 0.9, 1.1};
    const std::vector<gl::Line> lines = {
        {2.0, 0.0, 0.1}, {-1.0, 0.0, 1.6}, {-1.0, 0.0, 1.9}, {3.0, 1.0, 0.5}};
    const auto line_of = [&](std::size_t i) { return lines[i]; };
    const double a = 0.2, b = 1.4;
    const auto by_pieces = [&](auto piece) {
        double sum = 0.0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            sum += piece(i == 0 ? a : breaks[i - 1], i == breaks.size() ? b : breaks[i], lines[i]);
        }
        return sum;
    };
    for (const int m : {4, 6, 8, 10, 12, 14, 16, 20, 24, 28, 32, 40, 48, 64}) {
        // f of degree m - 1 is its own interpolant.
        const auto f = [m](double y) { return std::pow(y - 0.7, m - 1) + 0.5 * y; };
        const double exact = by_pieces([&](double p, double q, gl::Line line) {
            return gl::integrate([&](double y) { return line(y) * f(y); }, p, q, 64);
        });
        EXPECT_NEAR(gl::integrate_against(f, a, b, m, breaks, line_of) / exact, 1.0, 2e-15) << m;
    }
    for (const double z : {6.0, 3.0, 2.0, 1.6}) {
        const int m = gl::interpolation_order_for(a, b, z, 1e-15);
        ASSERT_GT(m, 0) << z;
        EXPECT_GE(m, gl::order_for(a, b, z, 1e-15)) << z;
        const double exact = by_pieces([z](double p, double q, gl::Line line) {
            return gl::integrate([&](double y) { return line(y) / (z - y); }, p, q, 64);
        });
        const double value = gl::integrate_against([z](double y) { return 1.0 / (z - y); }, a, b, m,
                                                   breaks, line_of);
        EXPECT_NEAR(value / exact, 1.0, 1e-15) << z;
    }
    // No break: the m-point rule on w f.
    const gl::Line line{0.3, 0.0, -1.2};
    const auto g = [](double y) { return std::exp(y); };
    EXPECT_NEAR(gl::integrate_against(g, a, b, 16, {}, [&](std::size_t) { return line; }),
                gl::integrate([&](double y) { return line(y) * g(y); }, a, b, 16), 1e-15);
}

namespace lg = finitemu::numeric::quadrature::log_gauss;

TEST(LogGauss, ExactForPolynomialsAndTheirLogarithmicParts) {
    // int_0^h s^k ln s ds = h^(k+1) (ln h / (k+1) - 1/(k+1)^2); the N-point rule holds k < N.
    const double h = 0.37;
    for (const int n : {8, 12, 16, 20, 24}) {
        for (const int k : {0, n / 2, n - 1}) {
            const double power = std::pow(h, k + 1) / (k + 1);
            const double exact = power * (1.0 - 0.3 * (std::log(h) - 1.0 / (k + 1)));
            const double value = lg::integrate(
                [k](double s) { return std::pow(s, k) * (1.0 - 0.3 * std::log(s)); }, h, n);
            EXPECT_NEAR(value / exact, 1.0, 2e-15) << n << " " << k;
        }
    }
}

TEST(LogGauss, OrderForAPoleBesideTheRegularPartReachesTheTarget) {
    // ln(s) / (s + z), the pole at s = -z beyond the logarithmic end, against tanh-sinh: the
    // order grows as the pole nears, and none is offered once it is too close.
    const double h = 0.05;
    int previous = 0;
    for (const double z : {2.0, 0.5, 0.2, 0.1, 0.05}) {
        const std::complex<double> pole[] = {{-z, 0.0}};
        const int n = lg::order_for(h, pole, 1e-15);
        ASSERT_GT(n, 0) << z;
        EXPECT_GE(n, previous) << z;
        previous = n;
        const auto g = [z](double s) { return std::log(s) / (s + z); };
        namespace de = finitemu::numeric::quadrature::double_exponential;
        const double reference =
            de::integrate_relative([&](const de::Sample& s) { return g(s.from_a); }, 0.0, h, 1e-17,
                                   0.0, {de::End::logarithmic, de::End::bounded})
                .value;
        EXPECT_NEAR(lg::integrate(g, h, n) / reference, 1.0, 2e-15) << z;
    }
    const std::complex<double> close[] = {{-1e-4, 0.0}};
    EXPECT_EQ(lg::order_for(h, close, 1e-15), 0);
}

} // namespace
