// Cost per separation of the integrated magnifications against the cost of the kernel evaluations
// they make, in the same run: how much the quadrature, the splitting and the map add to the
// kernels. For each routine the samples of its integrals are replayed with the same integrand and
// the same quadrature (so the same refinement levels are reached), their kernel arguments recorded,
// and the kernel timed alone over exactly those arguments.
//
//   cmake -S . -B build-bench -DFINITEMU_BUILD_BENCH=ON
//   cmake --build build-bench -j2 --target bench_integrated
//   RAYON_NUM_THREADS=1 build-bench/bench/bench_integrated
//
// Compare "<routine>" (on the pool, wall-clock time) and "<routine>/calling_thread" (one call per
// separation, CPU time) with "<routine>/kernels" (the kernels alone): each reports items (=
// separations) per second, and the kernel evaluations per separation as a counter. The replay
// runs the routines' own integrals (routines/integrands.hpp) with kernels that record their
// arguments, and checks that it reproduces the routines' values.
#include "routines/flux_map_profile.hpp"
#include "routines/integrands.hpp"
#include "routines/magnification.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace rt = finitemu::routines;

constexpr double kRe = 1.0;
constexpr double kRstar = 0.5;

std::vector<double> separations() {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> uniform(0.0, 3.0);
    std::vector<double> l(1000);
    for (double& x : l) {
        x = uniform(rng);
    }
    return l;
}

// The kernels the integrals call, each evaluation's arguments recorded.
struct RecordingKernels {
    std::vector<std::pair<double, double>>& samples;
    double disk(double u, double rho) const noexcept {
        samples.emplace_back(u, rho);
        return rt::Kernels{}.disk(u, rho);
    }
    double ring(double l, double r, double big_r) const noexcept {
        samples.emplace_back(l, r);
        return rt::Kernels{}.ring(l, r, big_r);
    }
};

void check_replay(double replayed, double routine_value, const char* name) {
    if (replayed != routine_value) {
        std::fprintf(stderr, "replay of %s differs\n", name);
        std::exit(1);
    }
}

// The disk kernel's arguments (u, rho') of integrated_witt_mao_magnification.
std::vector<std::pair<double, double>> witt_mao_samples(const std::vector<double>& l) {
    std::vector<std::pair<double, double>> samples;
    for (const double li : l) {
        check_replay(rt::limb_darkened_nested_disks(li, kRstar / kRe, RecordingKernels{samples}),
                     finitemu::integrated_witt_mao_magnification({li}, kRe, kRstar)->front(),
                     "integrated_witt_mao_magnification");
    }
    return samples;
}

// The ring kernel's arguments (l, r) of integrated_heyrovsky_magnification.
std::vector<std::pair<double, double>> heyrovsky_samples(const std::vector<double>& l) {
    std::vector<std::pair<double, double>> samples;
    const double none = std::numeric_limits<double>::quiet_NaN();
    for (const double li : l) {
        check_replay(rt::ring_integral(li, rt::limb_darkening, kRe / kRstar, rt::kLimbDarkenedFlux,
                                       none, none, RecordingKernels{samples}),
                     finitemu::integrated_heyrovsky_magnification({li}, kRe, kRstar)->front(),
                     "integrated_heyrovsky_magnification");
    }
    return samples;
}

// A limb-darkened profile tabulated at r = 0, 0.1, ..., 1 as a flux map, as a caller gives one.
struct FluxMap {
    std::vector<double> bl, bf;
    explicit FluxMap(int intervals) {
        for (int k = 0; k <= intervals; ++k) {
            const double r = static_cast<double>(k) / intervals;
            bl.push_back(r);
            bf.push_back(1.0 - 0.6 * (1.0 - std::sqrt(1.0 - r * r)));
        }
    }
};
// The discrete sum is also timed with a finer map (101 rings), where the fixed costs of a call
// weigh less against its kernels.
template <int Intervals = 10> const FluxMap& flux_map() {
    static const FluxMap map(Intervals);
    return map;
}

// The ring kernel's arguments (l, r) of the integrated flux-map functions (both integrate the same
// ring flux).
std::vector<std::pair<double, double>> flux_map_samples(const std::vector<double>& l) {
    const auto& map = flux_map();
    const rt::FluxMapProfile profile(map.bl, map.bf);
    const auto [first, last] = rt::support_ends(map.bl);
    const double total = rt::profile_flux(profile, first, last);
    std::vector<std::pair<double, double>> samples;
    for (const double li : l) {
        check_replay(
            rt::ring_integral(li, profile, kRe / kRstar, total, first, last,
                              RecordingKernels{samples}),
            finitemu::integrated_flux_map_heyrovsky_magnification({li}, kRe, kRstar, map.bl, map.bf)
                ->front(),
            "the integrated flux-map functions");
    }
    return samples;
}

// The ring kernel's arguments of discrete_flux_map_heyrovsky_magnification: one per node.
template <int Intervals>
std::vector<std::pair<double, double>> discrete_samples(const std::vector<double>& l) {
    std::vector<std::pair<double, double>> samples;
    for (const double li : l) {
        for (const double r : flux_map<Intervals>().bl) {
            samples.emplace_back(li, r);
        }
    }
    return samples;
}

// The flux-map routines with the map bound, in the shape of the others.
template <auto Routine, int Intervals = 10>
finitemu::Result<std::vector<double>> with_flux_map(std::vector<double> l, double re,
                                                    double rstar) {
    return Routine(std::move(l), re, rstar, flux_map<Intervals>().bl, flux_map<Intervals>().bf);
}

template <auto Routine> void BM_Routine(benchmark::State& state, std::size_t evaluations) {
    const std::vector<double> l = separations();
    for (auto _ : state) {
        auto result = Routine(l, kRe, kRstar);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * l.size()));
    state.counters["evals_per_sep"] =
        static_cast<double>(evaluations) / static_cast<double>(l.size());
}

// The same, one separation per call: a map of one item computes on the calling thread, so the CPU
// time of this thread is the routine's whole cost, comparable with the kernels' CPU time on a
// machine that other work shares.
template <auto Routine> void BM_RoutineOnThisThread(benchmark::State& state) {
    const std::vector<double> l = separations();
    for (auto _ : state) {
        for (const double li : l) {
            auto result = Routine({li}, kRe, kRstar);
            benchmark::DoNotOptimize(result);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * l.size()));
}

template <class Kernel>
void BM_Kernels(benchmark::State& state, const std::vector<std::pair<double, double>>& samples,
                Kernel kernel) {
    for (auto _ : state) {
        double sum = 0.0;
        for (const auto& [a, b] : samples) {
            sum += kernel(a, b);
        }
        benchmark::DoNotOptimize(sum);
    }
    // Per separation, to compare with the routine's items.
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * separations().size()));
    state.counters["evals_per_sep"] =
        static_cast<double>(samples.size()) / static_cast<double>(separations().size());
}

// The routine on the pool, the same one separation per call, and its kernels alone.
template <auto Routine>
void register_routine(const char* name, const std::vector<std::pair<double, double>>& samples,
                      double (*kernel)(double, double)) {
    const std::string base(name);
    benchmark::RegisterBenchmark(base.c_str(), BM_Routine<Routine>, samples.size())
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark((base + "/calling_thread").c_str(),
                                 BM_RoutineOnThisThread<Routine>)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(
        (base + "/kernels").c_str(),
        [&samples, kernel](benchmark::State& state) { BM_Kernels(state, samples, kernel); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

double disk_kernel(double u, double rho) {
    return rt::Kernels{}.disk(u, rho);
}

double ring_kernel(double li, double r) {
    return rt::Kernels{}.ring(li, r, kRe / kRstar);
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<double> l = separations();
    static const auto disk = witt_mao_samples(l);
    static const auto ring = heyrovsky_samples(l);
    static const auto flux = flux_map_samples(l);
    static const auto discrete = discrete_samples<10>(l);
    static const auto discrete_fine = discrete_samples<100>(l);
    namespace fm = finitemu;
    register_routine<fm::integrated_witt_mao_magnification>("integrated_witt_mao_magnification",
                                                            disk, disk_kernel);
    register_routine<fm::integrated_heyrovsky_magnification>("integrated_heyrovsky_magnification",
                                                             ring, ring_kernel);
    register_routine<with_flux_map<fm::integrated_flux_map_witt_mao_magnification>>(
        "integrated_flux_map_witt_mao_magnification", flux, ring_kernel);
    register_routine<with_flux_map<fm::integrated_flux_map_heyrovsky_magnification>>(
        "integrated_flux_map_heyrovsky_magnification", flux, ring_kernel);
    register_routine<with_flux_map<fm::discrete_flux_map_heyrovsky_magnification>>(
        "discrete_flux_map_heyrovsky_magnification", discrete, ring_kernel);
    register_routine<with_flux_map<fm::discrete_flux_map_heyrovsky_magnification, 100>>(
        "discrete_flux_map_heyrovsky_magnification/101_rings", discrete_fine, ring_kernel);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
