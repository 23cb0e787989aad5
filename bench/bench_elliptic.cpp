// Cost of K, E, Pi, R_F and R_J on the arguments the uniform-disk kernel produces, beside
// Boost.Math's ellint_1, ellint_2, ellint_3, ellint_rf, ellint_rj (promote_double<false>, its
// fastest double-precision setting) in the same run. Each batch holds 1024 pairs
//   n = 4 u rho / (u + rho)^2,  m = 4 n / (4 + (u - rho)^2),  u uniform in [0, 10],
// with rho = 0.001, 0.01, 0.1, 1 (arguments 0 to 3) or the four mixed (argument 4).
// Pi and R_J are called as the kernel calls them: Pi(n, m), R_F(0, 1 - m, 1), R_J(0, 1 - m, 1, 1 -
// n).
//
//   cmake -S . -B build-bench -DFINITEMU_BUILD_BENCH=ON -DFINITEMU_BUILD_PYTHON=OFF
//   cmake --build build-bench -j2 --target bench_elliptic && build-bench/bench/bench_elliptic
#include "numeric/carlson.hpp"
#include "numeric/elliptic.hpp"

#include <benchmark/benchmark.h>
#include <boost/math/special_functions/ellint_1.hpp>
#include <boost/math/special_functions/ellint_2.hpp>
#include <boost/math/special_functions/ellint_3.hpp>
#include <boost/math/special_functions/ellint_rf.hpp>
#include <boost/math/special_functions/ellint_rj.hpp>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

namespace fn = finitemu::numeric;
using BoostPolicy = boost::math::policies::policy<boost::math::policies::promote_double<false>>;

constexpr std::size_t kBatch = 1024;
constexpr std::array<double, 4> kRhos = {0.001, 0.01, 0.1, 1.0};

struct Batch {
    std::array<double, kBatch> n, m, k; // k = sqrt(m), Boost's modulus
};

Batch make_batch(std::int64_t which) {
    std::mt19937_64 gen(20261208);
    std::uniform_real_distribution<double> uniform(0.0, 10.0);
    Batch b{};
    for (std::size_t i = 0; i < kBatch; ++i) {
        const double rho = which < 4 ? kRhos[which] : kRhos[i % 4];
        const double u = uniform(gen);
        const double n = 4.0 * u * rho / ((u + rho) * (u + rho));
        const double m = 4.0 * n / (4.0 + (u - rho) * (u - rho));
        b.n[i] = n;
        b.m[i] = m;
        b.k[i] = std::sqrt(m);
    }
    return b;
}

template <class F> void run(benchmark::State& state, F f) {
    const Batch b = make_batch(state.range(0));
    for (auto _ : state) {
        double sum = 0.0;
        for (std::size_t i = 0; i < kBatch; ++i) {
            sum += f(b, i);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kBatch));
}

void BM_ellipk(benchmark::State& s) {
    run(s, [](const Batch& b, std::size_t i) { return fn::ellipk(b.m[i]).value_or(0.0); });
}
void BM_boost_ellint_1(benchmark::State& s) {
    run(s,
        [](const Batch& b, std::size_t i) { return boost::math::ellint_1(b.k[i], BoostPolicy()); });
}
void BM_ellipe(benchmark::State& s) {
    run(s, [](const Batch& b, std::size_t i) { return fn::ellipe(b.m[i]).value_or(0.0); });
}
void BM_boost_ellint_2(benchmark::State& s) {
    run(s,
        [](const Batch& b, std::size_t i) { return boost::math::ellint_2(b.k[i], BoostPolicy()); });
}
void BM_ellippi(benchmark::State& s) {
    run(s, [](const Batch& b, std::size_t i) { return fn::ellippi(b.n[i], b.m[i]).value_or(0.0); });
}
// Boost's ellint_3(k, n) is Pi(n, k^2) with the characteristic entering as 1 - n sin^2 theta,
// the same sign as ours (checked at start-up below).
void BM_boost_ellint_3(benchmark::State& s) {
    run(s, [](const Batch& b, std::size_t i) {
        return boost::math::ellint_3(b.k[i], b.n[i], BoostPolicy());
    });
}
void BM_elliprf(benchmark::State& s) {
    run(s, [](const Batch& b, std::size_t i) {
        return fn::elliprf_unchecked(0.0, 1.0 - b.m[i], 1.0);
    });
}
void BM_boost_ellint_rf(benchmark::State& s) {
    run(s, [](const Batch& b, std::size_t i) {
        return boost::math::ellint_rf(0.0, 1.0 - b.m[i], 1.0, BoostPolicy());
    });
}
void BM_elliprj(benchmark::State& s) {
    run(s, [](const Batch& b, std::size_t i) {
        return fn::elliprj_unchecked(0.0, 1.0 - b.m[i], 1.0, 1.0 - b.n[i]);
    });
}
void BM_boost_ellint_rj(benchmark::State& s) {
    run(s, [](const Batch& b, std::size_t i) {
        return boost::math::ellint_rj(0.0, 1.0 - b.m[i], 1.0, 1.0 - b.n[i], BoostPolicy());
    });
}

BENCHMARK(BM_ellipk)->DenseRange(0, 4);
BENCHMARK(BM_boost_ellint_1)->DenseRange(0, 4);
BENCHMARK(BM_ellipe)->DenseRange(0, 4);
BENCHMARK(BM_boost_ellint_2)->DenseRange(0, 4);
BENCHMARK(BM_ellippi)->DenseRange(0, 4);
BENCHMARK(BM_boost_ellint_3)->DenseRange(0, 4);
BENCHMARK(BM_elliprf)->DenseRange(0, 4);
BENCHMARK(BM_boost_ellint_rf)->DenseRange(0, 4);
BENCHMARK(BM_elliprj)->DenseRange(0, 4);
BENCHMARK(BM_boost_ellint_rj)->DenseRange(0, 4);

// Both libraries must compute the same functions on these batches, or the timings compare
// nothing: every pair of results agrees to 1e-12 relative before any timing starts.
bool same_functions() {
    const Batch b = make_batch(4);
    double worst = 0.0;
    for (std::size_t i = 0; i < kBatch; ++i) {
        const double pairs[5][2] = {
            {fn::ellipk(b.m[i]).value(), boost::math::ellint_1(b.k[i], BoostPolicy())},
            {fn::ellipe(b.m[i]).value(), boost::math::ellint_2(b.k[i], BoostPolicy())},
            {fn::ellippi(b.n[i], b.m[i]).value(),
             boost::math::ellint_3(b.k[i], b.n[i], BoostPolicy())},
            {fn::elliprf_unchecked(0.0, 1.0 - b.m[i], 1.0),
             boost::math::ellint_rf(0.0, 1.0 - b.m[i], 1.0, BoostPolicy())},
            {fn::elliprj_unchecked(0.0, 1.0 - b.m[i], 1.0, 1.0 - b.n[i]),
             boost::math::ellint_rj(0.0, 1.0 - b.m[i], 1.0, 1.0 - b.n[i], BoostPolicy())}};
        for (const auto& p : pairs) {
            worst = std::fmax(worst, std::fabs(p[0] - p[1]) / std::fabs(p[1]));
        }
    }
    std::printf("largest relative difference from Boost.Math on the mixed batch: %.3g\n", worst);
    return worst < 1e-12;
}

} // namespace

int main(int argc, char** argv) {
    if (!same_functions()) {
        return EXIT_FAILURE;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return EXIT_FAILURE;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return EXIT_SUCCESS;
}
