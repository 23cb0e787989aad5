// Cost per separation of the integrated magnifications, by band of separation (l < 1, 1 <= l < 2,
// l >= 2 source radii), against the uniform-disk kernel on the same separations, and the mean
// number of kernel evaluations each makes there.
//
//   cmake -S . -B build-bench -DFINITEMU_BUILD_BENCH=ON
//   cmake --build build-bench -j2 --target bench_integrated
//   RAYON_NUM_THREADS=1 build-bench/bench/bench_integrated
//
// Before timing, each routine's separations are replayed through its source
// (integrals/sources.hpp) with kernels that count their calls (tests/cpp/counting_kernels.hpp,
// the tests' own); the replay must give the routine's doubles, so the counts are the routine's
// own. Each benchmark reports items (= separations) per second; "<routine>/<band>" calls the
// routine once per separation on this thread, "disk/<band>" the uniform-disk kernel.
#include "integrals/sources.hpp"
#include "routines/magnification.hpp"

#include "counting_kernels.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

namespace ig = finitemu::integrals;
namespace rt = finitemu::routines;
using finitemu::test::CountingKernels;

constexpr double kRe = 1.0;
constexpr double kRstar = 0.1;
constexpr double kRho = kRstar / kRe;

struct Band {
    const char* name;
    double low, high;
};
constexpr Band kBands[] = {{"l<1", 0.0, 1.0}, {"1<=l<2", 1.0, 2.0}, {"l>=2", 2.0, 10.0}};

std::vector<double> separations(const Band& band) {
    std::mt19937_64 rng(20261209);
    std::uniform_real_distribution<double> uniform(band.low, band.high);
    std::vector<double> l(200);
    for (double& x : l) {
        x = uniform(rng);
    }
    return l;
}

// The fixed limb-darkening law tabulated at r = 0, 0.1, ..., 1, as a caller gives one, and at
// every 0.0025 (401 nodes, as a model atmosphere's intensities are tabulated).
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
const FluxMap kMap(10);
const FluxMap kFineMap(400);

using Routine = std::function<double(double)>;                        // one separation, the routine
using Replay = std::function<double(double, const CountingKernels&)>; // the same, counted

struct Entry {
    const char* name;
    Routine routine;
    Replay replay;
};

std::vector<Entry> entries() {
    static const ig::LimbDarkenedSource limb;
    static const ig::FluxMapSource map(kMap.bl, kMap.bf);
    static const ig::FluxMapSource fine_map(kFineMap.bl, kFineMap.bf);
    return {
        {"integrated_witt_mao",
         [](double l) { return rt::integrated_witt_mao_magnification({l}, kRe, kRstar)->front(); },
         [](double l, const CountingKernels& k) { return limb.nested_disks(l, kRho, k); }},
        {"integrated_heyrovsky",
         [](double l) { return rt::integrated_heyrovsky_magnification({l}, kRe, kRstar)->front(); },
         [](double l, const CountingKernels& k) { return limb.rings(l, kRho, k); }},
        {"flux_map_witt_mao",
         [](double l) {
             return rt::integrated_flux_map_witt_mao_magnification({l}, kRe, kRstar, kMap.bl,
                                                                   kMap.bf)
                 ->front();
         },
         [](double l, const CountingKernels& k) { return map.rings(l, kRho, k); }},
        {"flux_map_heyrovsky",
         [](double l) {
             return rt::integrated_flux_map_heyrovsky_magnification({l}, kRe, kRstar, kMap.bl,
                                                                    kMap.bf)
                 ->front();
         },
         [](double l, const CountingKernels& k) { return map.rings(l, kRho, k); }},
        {"flux_map_heyrovsky_401",
         [](double l) {
             return rt::integrated_flux_map_heyrovsky_magnification({l}, kRe, kRstar, kFineMap.bl,
                                                                    kFineMap.bf)
                 ->front();
         },
         [](double l, const CountingKernels& k) { return fine_map.rings(l, kRho, k); }},
    };
}

void BM_Routine(benchmark::State& state, const Routine& routine, const std::vector<double>& l) {
    for (auto _ : state) {
        for (const double li : l) {
            benchmark::DoNotOptimize(routine(li));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * l.size()));
}

void BM_Disk(benchmark::State& state, const std::vector<double>& l) {
    for (auto _ : state) {
        for (const double li : l) {
            benchmark::DoNotOptimize(rt::witt_mao_magnification({li}, kRe, kRstar));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * l.size()));
}

} // namespace

int main(int argc, char** argv) {
    std::printf(
        "Kernel evaluations per separation, rho = %g, 11-node flux map (401 nodes: _401):\n", kRho);
    std::printf("%-24s %10s %10s %10s\n", "routine", kBands[0].name, kBands[1].name,
                kBands[2].name);
    static const auto table = entries();
    for (const Entry& entry : table) {
        std::printf("%-24s", entry.name);
        for (const Band& band : kBands) {
            long count = 0;
            const CountingKernels kernels{count};
            const auto l = separations(band);
            for (const double li : l) {
                if (entry.replay(li, kernels) != entry.routine(li)) {
                    std::fprintf(stderr, "replay of %s differs at l = %.17g\n", entry.name, li);
                    return 1;
                }
            }
            std::printf(" %10.1f", static_cast<double>(count) / static_cast<double>(l.size()));
        }
        std::printf("\n");
    }
    for (const Band& band : kBands) {
        static std::vector<std::vector<double>> kept;
        kept.push_back(separations(band));
        const auto& l = kept.back();
        for (const Entry& entry : table) {
            benchmark::RegisterBenchmark((std::string(entry.name) + "/" + band.name).c_str(),
                                         BM_Routine, entry.routine, l)
                ->Unit(benchmark::kMicrosecond);
        }
        benchmark::RegisterBenchmark((std::string("disk/") + band.name).c_str(), BM_Disk, l)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
