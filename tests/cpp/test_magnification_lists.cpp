// The routines behind witt_mao_magnification, multi_witt_mao_magnification and
// heyrovsky_magnification: shapes, order, the re-major product and error reporting.
#include "kernels/witt_mao.hpp"
#include "routines/magnification.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <variant>
#include <vector>

using finitemu::ErrorKind;
using finitemu::kernels::witt_mao_magnification_scaled;
using finitemu::routines::heyrovsky_magnification;
using finitemu::routines::multi_witt_mao_magnification;
using finitemu::routines::witt_mao_magnification;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (const double x : v) {
        out.push_back(std::bit_cast<std::uint64_t>(x));
    }
    return out;
}

} // namespace

TEST(WittMaoList, ElementIIsTheKernelAtLiTimesRho) {
    std::vector<double> l;
    for (int i = 0; i < 1000; ++i) {
        l.push_back(0.003 * i - 0.5);
    }
    const double re = 1.7;
    const double rstar = 0.3;
    const auto out = witt_mao_magnification(l, re, rstar);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->size(), l.size());
    const double rho = rstar / re;
    for (std::size_t i = 0; i < l.size(); ++i) {
        const double expected = witt_mao_magnification_scaled(l[i] * rho, rho);
        EXPECT_EQ(std::bit_cast<std::uint64_t>((*out)[i]), std::bit_cast<std::uint64_t>(expected))
            << i;
    }
}

TEST(WittMaoList, KnownValueAndEmptyInput) {
    const auto one = witt_mao_magnification({2.0}, 1.0, 0.5);
    ASSERT_TRUE(one);
    ASSERT_EQ(one->size(), 1u);
    EXPECT_NEAR((*one)[0], 1.3810039279, 1e-9);
    const auto none = witt_mao_magnification({}, 1.0, 0.5);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST(WittMaoList, DegenerateRadii) {
    // rstar = 0: point source at u = +-0 for every finite element.
    const auto no_source = witt_mao_magnification({1.0, -2.0, 0.0}, 1.0, 0.0);
    ASSERT_TRUE(no_source);
    EXPECT_EQ((*no_source)[0], kInf);
    EXPECT_EQ((*no_source)[1], -kInf);
    EXPECT_EQ((*no_source)[2], kInf);
    // rstar = -0.0 is no source either: u = l * 0 keeps the sign of l.
    EXPECT_EQ(*witt_mao_magnification({1.0, -2.0}, 1.0, -0.0), (std::vector<double>{kInf, -kInf}));
    // re = 0: infinite rho, NaN in every element, no error.
    const auto no_lens = witt_mao_magnification({0.5, 1.0, 2.0}, 0.0, 1.0);
    ASSERT_TRUE(no_lens);
    for (const double x : *no_lens) {
        EXPECT_TRUE(std::isnan(x));
    }
    // A NaN element spoils only itself.
    const auto with_nan = witt_mao_magnification({1.0, kNaN, 2.0}, 1.0, 0.5);
    ASSERT_TRUE(with_nan);
    EXPECT_TRUE(std::isnan((*with_nan)[1]));
    EXPECT_NEAR((*with_nan)[2], 1.3810039279, 1e-9);
}

TEST(MultiWittMaoList, ReMajorCartesianProduct) {
    // 1001 separations: rows divide into pieces of unequal lengths, and six rows are enough work
    // to go to the pool; every slot must match the single-row call.
    std::vector<double> l{1.0, 0.3, 4.0};
    for (int k = 0; k < 998; ++k) {
        l.push_back(0.01 * k);
    }
    const std::vector<double> re{1.0, 2.0};
    const std::vector<double> rstar{0.5, 0.25, 0.1};
    const auto rows = multi_witt_mao_magnification(l, re, rstar);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 6u);
    for (std::size_t i = 0; i < re.size(); ++i) {
        for (std::size_t j = 0; j < rstar.size(); ++j) {
            const auto single = witt_mao_magnification(l, re[i], rstar[j]);
            ASSERT_TRUE(single);
            EXPECT_EQ(bits((*rows)[i * rstar.size() + j]), bits(*single)) << i << " " << j;
        }
    }
    // Pairs with different rstar / re give different rows, so a transposed order would show.
    EXPECT_NE(bits((*rows)[0]), bits((*rows)[3]));
    EXPECT_NE(bits((*rows)[1]), bits((*rows)[2]));
}

TEST(MultiWittMaoList, EmptyInputs) {
    const auto no_l = multi_witt_mao_magnification({}, {1.0, 2.0}, {0.5, 0.25, 0.1});
    ASSERT_TRUE(no_l);
    ASSERT_EQ(no_l->size(), 6u);
    for (const auto& row : *no_l) {
        EXPECT_TRUE(row.empty());
    }
    const auto no_re = multi_witt_mao_magnification({1.0}, {}, {0.5});
    ASSERT_TRUE(no_re);
    EXPECT_TRUE(no_re->empty());
    const auto no_rstar = multi_witt_mao_magnification({1.0}, {1.0}, {});
    ASSERT_TRUE(no_rstar);
    EXPECT_TRUE(no_rstar->empty());
}

TEST(HeyrovskyRoutine, ValuesAndErrors) {
    const auto centred = heyrovsky_magnification(0.0, 0.5, 2.0, 1.0);
    ASSERT_TRUE(centred);
    EXPECT_NEAR(*centred, 4.0931462414, 1e-10);
    const auto through = heyrovsky_magnification(1.0, 1.0, 2.0, 1.0);
    ASSERT_TRUE(through);
    EXPECT_EQ(*through, kInf);
    const auto bad = heyrovsky_magnification(kNaN, 0.5, 2.0, 1.0);
    ASSERT_FALSE(bad);
    ASSERT_EQ(bad.error().kind, ErrorKind::numeric);
    EXPECT_STREQ(bad.error().message, "ellipk: Arguments cannot be NAN.");
    const auto no_source = heyrovsky_magnification(1.0, 1.01, 1.0, 0.0);
    ASSERT_FALSE(no_source);
    EXPECT_STREQ(no_source.error().message, "ellipk: Arguments cannot be NAN.");
}
