// Cost of the parallel map itself: a map of a few cheap items against the plain loop, on the
// process-wide pool (W from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS / the available processors).
//
//     cmake -S . -B build-bench -DFINITEMU_BUILD_BENCH=ON && cmake --build build-bench -j2
//     RAYON_NUM_THREADS=2 build-bench/bench/bench_parallel
#include "kernels/witt_mao.hpp"
#include "parallel/parallel_map.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace {

// A cheap item over 0.5, 1.5, 2.5, ...
double item(double x) {
    return std::sqrt(x * x + 1.0);
}

std::vector<double> inputs(std::size_t n) {
    std::vector<double> v(n);
    std::iota(v.begin(), v.end(), 0.5);
    return v;
}

// The uniform-disk kernel over separations uniform in [0, 10] source radii, rho = 0.1: the work
// of witt_mao_magnification without the Python conversions.
double disk_item(double li) {
    return finitemu::kernels::witt_mao_magnification_scaled(li * 0.1, 0.1);
}

std::vector<double> separations(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = 10.0 * static_cast<double>(i) / static_cast<double>(n);
    }
    return v;
}

using Inputs = std::vector<double> (*)(std::size_t);
using Item = double (*)(double);

template <Inputs MakeInputs, Item F> void plain_loop(benchmark::State& state) {
    const auto x = MakeInputs(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<double> out(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            out[i] = F(x[i]);
        }
        benchmark::DoNotOptimize(out.data());
    }
}

template <Inputs MakeInputs, Item F> void map_on_pool(benchmark::State& state) {
    const auto x = MakeInputs(static_cast<std::size_t>(state.range(0)));
    const auto pool = finitemu::parallel::global_pool();
    if (!pool) {
        state.SkipWithError("the worker pool cannot start");
        return;
    }
    state.counters["W"] = static_cast<double>((*pool)->worker_count());
    for (auto _ : state) {
        auto out = finitemu::parallel::parallel_map(**pool, std::span<const double>(x), F);
        benchmark::DoNotOptimize(out->data());
    }
}

} // namespace

BENCHMARK(plain_loop<separations, disk_item>)->Name("kernel_loop")->Arg(1000000)->UseRealTime();
BENCHMARK(map_on_pool<separations, disk_item>)
    ->Name("kernel_parallel_map")
    ->Arg(1000000)
    ->UseRealTime();
BENCHMARK(plain_loop<inputs, item>)->Name("plain_loop")->Arg(10)->Arg(1000)->Arg(1000000);
BENCHMARK(map_on_pool<inputs, item>)
    ->Name("parallel_map_on_pool")
    ->Arg(10)
    ->Arg(1000)
    ->Arg(1000000)
    ->UseRealTime();

BENCHMARK_MAIN();
