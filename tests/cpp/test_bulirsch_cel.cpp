// Bulirsch's cel against the mpmath values of K, E and Pi (tests/data/elliptic_reference.txt)
// through cel(kc, 1, 1, 1) = K, cel(kc, 1, 1, kc^2) = E, cel(kc, 1 - n, 1, 1) = Pi(n, m), and
// against Carlson's integrals where kc and 1 - n are too small to form from m and n.
#include "numeric/bulirsch_cel.hpp"
#include "numeric/carlson.hpp"
#include "reference_data.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

namespace {

using finitemu::numeric::cel_unchecked;
using finitemu::test::check_grid;
using finitemu::test::near_relative;
using finitemu::test::relative_error;
using finitemu::test::Values;
using finitemu::test::Worst;

// kc = sqrt(1 - m) carries up to about one rounding of 1 - m and one of the root; K, E and Pi
// change by at most that much relatively, so 6 eps leaves room for cel's own rounding only.
constexpr double kTolerance = 6 * 0x1p-52;

TEST(BulirschCel, CompleteIntegralsOfTheFirstAndSecondKinds) {
    Worst k_worst("elliptic_reference.txt/KE, cel K", kTolerance, 500);
    Worst e_worst("elliptic_reference.txt/KE, cel E", kTolerance, 500);
    for (const auto& row : finitemu::test::read_reference("elliptic_reference.txt")) {
        const double m = row.values[0];
        if (row.grid != "KE" || !(m >= 0.0)) {
            continue;
        }
        const double kc = std::sqrt(1.0 - m);
        const double k = cel_unchecked(kc, 1.0, 1.0, 1.0);
        const double e = cel_unchecked(kc, 1.0, 1.0, kc * kc);
        k_worst.note(relative_error(k, row.values[1] + row.values[2]), row.at(1));
        e_worst.note(relative_error(e, row.values[3] + row.values[4]), row.at(1));
    }
}

TEST(BulirschCel, CompleteIntegralOfTheThirdKind) {
    check_grid(
        {.file = "elliptic_reference.txt",
         .name = "PI",
         .reference_columns = 2,
         .min_points = 500,
         .label = "cel"},
        kTolerance,
        [](const Values& v) { return cel_unchecked(std::sqrt(1.0 - v[1]), 1.0 - v[0], 1.0, 1.0); },
        [](const Values& v) { return v[0] < 1.0 && v[1] >= 0.0 && v[1] < 1.0; });
}

TEST(BulirschCel, TinyModulusAndCharacteristicAgreeWithCarlson) {
    // Pi(n, m) = R_F(0, kc^2, 1) + (n/3) R_J(0, kc^2, 1, 1 - n) (DLMF 19.25.2), with kc and
    // 1 - n given exactly down to 1e-15: the regime of a ring next to the lens.
    for (const double kc : {1e-15, 3e-9, 1e-4, 0.3}) {
        for (const double p : {1e-30, 1e-18, 1e-8, 0.5}) {
            const double y = kc * kc;
            const double carlson =
                finitemu::numeric::elliprf_unchecked(0.0, y, 1.0) +
                (1.0 - p) / 3.0 * finitemu::numeric::elliprj_unchecked(0.0, y, 1.0, p);
            EXPECT_TRUE(near_relative(cel_unchecked(kc, p, 1.0, 1.0), carlson, 1e-14))
                << "kc " << kc << " p " << p;
        }
    }
}

TEST(BulirschCel, ExtremeModuliConvergeAndNonFiniteArgumentsStop) {
    // K = ln(4/kc) + O(kc^2 ln kc) (DLMF 19.12.1): exact to rounding at kc = 1e-300.
    const double k = cel_unchecked(1e-300, 1.0, 1.0, 1.0);
    EXPECT_TRUE(near_relative(k, std::log(4.0) + 300.0 * std::log(10.0), 4e-16));
    // kc > 1: cel(kc, 1, 1, 1) = cel(1/kc, 1, 1, 1) / kc (t -> pi/2 - t in the integral).
    EXPECT_TRUE(near_relative(cel_unchecked(1e100, 1.0, 1.0, 1.0) * 1e100,
                              std::log(4.0) + 100.0 * std::log(10.0), 4e-16));
    // p -> inf: Pi(n, m) -> 0 as n -> -inf.
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(cel_unchecked(0.5, inf, 1.0, 1.0), 0.0);
    // No convergence is possible: NaN, not an endless loop.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const auto& [kc, p] : {std::pair{nan, 0.5}, std::pair{0.5, nan}, std::pair{inf, 0.5}}) {
        EXPECT_TRUE(std::isnan(cel_unchecked(kc, p, 1.0, 1.0))) << kc << " " << p;
    }
}

TEST(BulirschCel, LinearInTheWeights) {
    // cel(kc, p, a, b) = a cel(kc, p, 1, 0) + b cel(kc, p, 0, 1); weights of opposite signs as
    // the uniform-disk kernel uses them, with a result far from zero.
    for (const double kc : {0.01, 0.5, 1.0}) {
        for (const double p : {0.05, 1.0, 7.0}) {
            const double first = cel_unchecked(kc, p, 1.0, 0.0);
            const double second = cel_unchecked(kc, p, 0.0, 1.0);
            for (const auto& [a, b] : {std::pair{3.0, -0.5}, std::pair{-2.0, 5.0}}) {
                const double combined = a * first + b * second;
                EXPECT_TRUE(near_relative(cel_unchecked(kc, p, a, b), combined, 1e-14))
                    << kc << " " << p << " " << a << " " << b;
            }
        }
    }
}

} // namespace
