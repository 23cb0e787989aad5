// Mean-value series: magnifications and moments against mpmath (tests/data/far_field_reference.txt,
// tools/gen_far_field_reference.py), the limits of the terms, and identities.
#include "kernels/witt_mao.hpp"
#include "numeric/mean_value_series.hpp"

#include "reference_data.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fn = finitemu::numeric;
using finitemu::test::near_relative;
using finitemu::test::Worst;

namespace {

// The rows of one grid of far_field_reference.txt, in file order.
std::vector<finitemu::test::ReferenceRow> grid(const std::string& name) {
    std::vector<finitemu::test::ReferenceRow> rows;
    for (const auto& row : finitemu::test::read_reference("far_field_reference.txt")) {
        if (row.grid == name) {
            rows.push_back(row);
        }
    }
    EXPECT_FALSE(rows.empty()) << "no grid " << name;
    return rows;
}

fn::MeanValueMoments moments_of(const std::string& profile) {
    if (profile == "uniform") {
        return fn::uniform_disk_moments();
    }
    if (profile == "limb") {
        return fn::limb_darkening_moments();
    }
    std::vector<double> bl, bf;
    const auto nodes = grid("profile_" + profile).at(0).values;
    for (std::size_t i = 0; i + 1 < nodes.size(); i += 2) {
        bl.push_back(nodes[i]);
        bf.push_back(nodes[i + 1]);
    }
    return profile == "rings" ? fn::discrete_ring_moments(bl, bf)
                              : fn::piecewise_linear_moments(bl, bf);
}

} // namespace

// With the number of terms from mean_value_terms_needed(l, 5e-16) and no early stop (truncation
// 5e-16 at most, rounding the rest: within 1e-15 at every l, 7.1e-16 measured), and with all the
// moments and the default stop (3.5e-16 measured).
TEST(MeanValueSeries, AgainstQuadrature) {
    for (const std::string profile :
         {"uniform", "limb", "pl_inside", "pl_covering", "pl_kink", "rings"}) {
        const auto moments = moments_of(profile);
        Worst far(profile + ", l >= 3, terms for 5e-16", 1e-15);
        Worst near(profile + ", l < 3, terms for 5e-16", 1e-15);
        Worst full(profile + ", every moment", 7e-16);
        for (const auto& entry : grid(profile)) {
            const auto& row = entry.values;
            const double l = row[0], rho = row[1], u = row[2];
            const std::size_t n = fn::mean_value_terms_needed(l, 5e-16, moments.span());
            ASSERT_GT(n, 0u) << "l " << l;
            const auto fixed = fn::mean_value_series(u, rho, moments.span().first(n), 0.0);
            const auto all = fn::mean_value_series(u, rho, moments.span());
            EXPECT_TRUE(all.converged) << profile << " l " << l << " rho " << rho;
            (l >= 3.0 ? far : near).check(fixed.value, entry);
            full.check(all.value, entry);
        }
    }
}

// Exact moments (rationals; the limb law by its Gamma functions at 50 digits). pl_fine: 1000
// segments of width 1e-3; pl_narrow: one segment of width 5e-4, where differences b^N - a^N
// would lose eps / 5e-4 relative.
TEST(MeanValueMoments, AgainstExact) {
    for (const std::string profile : {"uniform", "limb", "pl_inside", "pl_covering", "pl_kink",
                                      "pl_narrow", "pl_fine", "rings"}) {
        const auto moments = moments_of(profile);
        const auto& rows = grid("moments_" + profile);
        ASSERT_EQ(rows.size(), moments.count);
        Worst worst(profile + " moments", 1e-15);
        EXPECT_EQ(moments.values[0], 1.0);
        for (const auto& row : rows) {
            worst.check(moments.values[static_cast<std::size_t>(row.values[0])], row);
        }
    }
}

TEST(MeanValueMoments, Identities) {
    const std::vector<double> bl{-0.3, 0.2, 0.55, 0.9, 1.4};
    const std::vector<double> f1{0.7, 1.0, 0.2, 0.6, 0.3};
    const std::vector<double> f2{0.1, 0.4, 0.9, 0.5, 1.0};
    // int_0^1 P r dr of these maps: each segment clipped to [0, 1] by its line.
    const auto flux = [&](const std::vector<double>& bf) {
        double total = 0.0;
        for (std::size_t i = 0; i + 1 < bl.size(); ++i) {
            const double slope = (bf[i + 1] - bf[i]) / (bl[i + 1] - bl[i]);
            const double a = std::max(bl[i], 0.0), b = std::min(bl[i + 1], 1.0);
            const double c = bf[i] - slope * bl[i];
            total += a < b ? c * (b * b - a * a) / 2 + slope * (b * b * b - a * a * a) / 3 : 0.0;
        }
        return total;
    };
    std::vector<double> sum(bl.size()), scaled(bl.size());
    for (std::size_t i = 0; i < bl.size(); ++i) {
        sum[i] = f1[i] + f2[i];
        scaled[i] = 3.7 * f1[i];
    }
    const auto m1 = fn::piecewise_linear_moments(bl, f1);
    const auto m2 = fn::piecewise_linear_moments(bl, f2);
    const auto m12 = fn::piecewise_linear_moments(bl, sum);
    const auto m_scaled = fn::piecewise_linear_moments(bl, scaled);
    const double w1 = flux(f1), w2 = flux(f2);
    // The uniform disk from a two-node map of any height; the line from the limb law's ends,
    // P = 1 - 0.6 r: m_k = (1/(2k+2) - 0.6/(2k+3)) / 0.3.
    const double one[] = {0.0, 1.0}, height[] = {2.5, 2.5}, line[] = {1.0, 0.4};
    const auto flat = fn::piecewise_linear_moments(one, height);
    const auto ends = fn::piecewise_linear_moments(one, line);
    const double ring_radius[] = {0.6}, ring_weight[] = {2.0};
    const auto ring = fn::discrete_ring_moments(ring_radius, ring_weight);
    for (std::size_t k = 0; k <= fn::kMeanValueMaxOrder; ++k) {
        const double kd = static_cast<double>(k);
        EXPECT_TRUE(near_relative(m12.values[k],
                                  (w1 * m1.values[k] + w2 * m2.values[k]) / (w1 + w2), 2e-15))
            << k;
        EXPECT_TRUE(near_relative(m_scaled.values[k], m1.values[k], 1e-15)) << k;
        EXPECT_TRUE(near_relative(flat.values[k], 1.0 / (kd + 1.0), 4e-16)) << k;
        EXPECT_TRUE(
            near_relative(ends.values[k], (0.5 / (kd + 1) - 0.6 / (2 * kd + 3)) / 0.3, 1e-15))
            << k;
        EXPECT_TRUE(near_relative(ring.values[k], std::pow(0.36, kd), 1e-14)) << k;
    }
    // No flux in [0, 1]: NaN moments, NaN magnification.
    const double outside[] = {1.2, 2.0}, zeros[] = {0.0, 0.0};
    EXPECT_TRUE(std::isnan(fn::piecewise_linear_moments(outside, line).values[1]));
    EXPECT_TRUE(std::isnan(fn::discrete_ring_moments(one, zeros).values[0]));
    EXPECT_TRUE(std::isnan(
        fn::mean_value_series(3.0, 1.0, fn::piecewise_linear_moments(outside, line).span()).value));
    EXPECT_EQ(fn::piecewise_linear_moments(one, line, 5).count, 6u);
}

// The limits of the terms, independent of the table's inner coefficients: for u -> 0,
// T_k -> a_k t^(2k) / u (1 + O(u^2)), a_k = (binom(2k, k)/4^k)^2; for u -> inf, T_k -> 2 (k+1)^2
// t^(2k) / u^4 (1 + O(k^2/u^2)) for k >= 1 (from A - 1 = 2/u^4 - ...).
TEST(MeanValueSeries, TermLimits) {
    double terms[fn::kMeanValueMaxOrder + 1];
    ASSERT_EQ(fn::mean_value_terms(1e-4, 5e-5, terms), fn::kMeanValueMaxOrder + 1);
    double a = 1.0;
    for (std::size_t k = 0; k <= fn::kMeanValueMaxOrder; ++k) {
        const double kd = static_cast<double>(k);
        const double f = k == 0 ? 1.0 : (2.0 * kd - 1.0) / (2.0 * kd);
        a *= f * f;
        EXPECT_TRUE(near_relative(terms[k], a * std::pow(0.25, kd) / 1e-4, 1e-7)) << k;
    }
    ASSERT_EQ(fn::mean_value_terms(1e7, 2e6, terms), fn::kMeanValueMaxOrder + 1);
    EXPECT_EQ(terms[0], 1.0);
    for (std::size_t k = 1; k <= fn::kMeanValueMaxOrder; ++k) {
        const double kd = static_cast<double>(k);
        EXPECT_TRUE(
            near_relative(terms[k], 2.0 * (kd + 1) * (kd + 1) * std::pow(0.04, kd) / 1e28, 4e-11))
            << k;
    }
}

// Far from everything A = 1 to double precision, with u^2 far past the largest double.
TEST(MeanValueSeries, FarLimit) {
    const auto ld = fn::limb_darkening_moments();
    for (const double u : {1e20, 1e155, 1e200, 1e300}) {
        for (const double rho : {1e-6, 1.0, 10.0, u / 2}) {
            const auto m = fn::mean_value_series(u, rho, ld.span());
            EXPECT_EQ(m.value, 1.0) << u << " " << rho;
            EXPECT_TRUE(m.converged);
        }
    }
    double terms[4];
    ASSERT_EQ(fn::mean_value_terms(1e200, 1e199, terms), 4u);
    EXPECT_EQ(terms[0], 1.0);
    EXPECT_EQ(terms[3], 0.0);
}

// The uniform disk far from the source equals the kernel's three-term expansion there.
TEST(MeanValueSeries, UniformDiskMatchesKernelExpansion) {
    const auto uniform = fn::uniform_disk_moments();
    for (const double l : {100.0, 1e3}) {
        for (const double rho : {1e-4, 1e-2, 0.3, 1.0, 3.0, 10.0}) {
            const double u = l * rho;
            EXPECT_TRUE(near_relative(fn::mean_value_series(u, rho, uniform.span()).value,
                                      finitemu::kernels::witt_mao_magnification_scaled(u, rho),
                                      1e-15))
                << l << " " << rho;
        }
    }
}

TEST(MeanValueSeries, Domain) {
    const auto ld = fn::limb_darkening_moments();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(fn::mean_value_series(1.49, 1.0, ld.span()).value));
    EXPECT_EQ(fn::mean_value_series(1.49, 1.0, ld.span()).terms, 0u);
    EXPECT_TRUE(std::isnan(fn::mean_value_series(nan, 1.0, ld.span()).value));
    EXPECT_TRUE(std::isnan(fn::mean_value_series(1.0, nan, ld.span()).value));
    EXPECT_TRUE(std::isnan(fn::mean_value_series(0.0, 0.0, ld.span()).value));
    EXPECT_TRUE(std::isnan(fn::mean_value_series(3.0, 1.0, {}).value));
    EXPECT_EQ(fn::mean_value_series(0.5, 0.0, ld.span()).value, 2.25 / (0.5 * std::sqrt(4.25)));
    // Three terms at l = 2 do not reach the tolerance.
    const auto short_series = fn::mean_value_series(2.0, 1.0, ld.span().first(3));
    EXPECT_FALSE(short_series.converged);
    EXPECT_EQ(short_series.terms, 3u);
}

// The bound's counts against the largest truncation error measured over rho with mpmath: never
// fewer terms, at most one more; and mean_value_min_ratio inverts it.
TEST(MeanValueSeries, TermsNeeded) {
    for (const std::string profile : {"uniform", "limb"}) {
        const auto moments = moments_of(profile);
        for (const auto& entry : grid("terms_" + profile)) {
            const auto& row = entry.values;
            const auto measured = static_cast<std::size_t>(row[2]);
            const std::size_t n = fn::mean_value_terms_needed(row[0], row[1], moments.span());
            EXPECT_GE(n, measured) << profile << " l " << row[0] << " tol " << row[1];
            EXPECT_LE(n, measured + 1) << profile << " l " << row[0] << " tol " << row[1];
        }
        for (std::size_t n = 2; n <= fn::kMeanValueMaxOrder; ++n) {
            const double l = fn::mean_value_min_ratio(n, 1e-15, moments.span());
            EXPECT_EQ(fn::mean_value_terms_needed(l * (1 + 1e-12), 1e-15, moments.span()), n);
            EXPECT_GT(fn::mean_value_terms_needed(l * (1 - 1e-9), 1e-15, moments.span()), n);
        }
    }
    const auto ld = fn::limb_darkening_moments();
    EXPECT_EQ(fn::mean_value_terms_needed(1.0, 1e-15, ld.span()), 0u);
    EXPECT_EQ(fn::mean_value_terms_needed(1.2, 1e-15, ld.span()), 0u); // beyond 41 terms
    EXPECT_LE(fn::mean_value_min_ratio(fn::kMeanValueMaxOrder + 1, 1e-15, ld.span()),
              fn::kMeanValueMinRatio);
}
