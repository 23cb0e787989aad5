// Where the time of a map handed to the worker pool goes, from the calling thread's side, as a
// Python call sees it: the routines' maps (routines/map.hpp) replayed with items that stamp their
// start and end, run on the calling thread ("here") and on the process-wide pool ("pool").
//
//     cmake -S . -B build -DFINITEMU_BUILD_BENCH=ON && cmake --build build -j2
//     RAYON_NUM_THREADS=2 build/bench/bench_handoff
//
// Before each map (not timed): "warm", nothing: the maps come back to back, and the workers are
// still polling for work when the next one comes; "busy", the calling thread computes for 100 us,
// as a Python call converts its arguments before it hands the map over (about 7000 separations);
// "cold", the calling thread sleeps 2 ms, as a caller doing other things between calls. After
// "busy" and "cold" the workers have gone to sleep if they poll for less than that. Medians over
// the iterations, microseconds:
//     total       the map, from the call to its return
//     first       to the start of the first item (on whichever thread)
//     second      to the start of the first item on the second thread that runs items
//     tail        from the end of the thread that ends first to that of the one that ends last:
//                 one thread idle while the other finishes its last piece
//     return      from the end of the last item to the map's return
//     threads     threads that ran items
// Items: "near" the limb-darkened disk at l in [0, 1) (integrated_witt_mao_magnification, ~8 us),
// "far" at l in [2, 10) (the far-field series, ~0.1 us), "disk" the uniform disk at l in [0, 10)
// (witt_mao_magnification, ~50 ns, so the two clock reads per item roughly double it).
// "routine/..." call the routines of routines/magnification.hpp end to end, with the pool that
// RAYON_NUM_THREADS gives (W = 1: on the calling thread).
#include "integrals/sources.hpp"
#include "kernels/witt_mao.hpp"
#include "parallel/parallel_map.hpp"
#include "parallel/pool.hpp"
#include "routines/magnification.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace par = finitemu::parallel;
namespace rt = finitemu::routines;
using Clock = std::chrono::steady_clock;

constexpr double kRho = 0.1;
constexpr auto kBusyPause = std::chrono::microseconds(100);
constexpr auto kColdPause = std::chrono::milliseconds(2);

enum class Before { nothing, busy, sleep };

std::vector<double> uniform(std::size_t n, double low, double high) {
    std::mt19937_64 rng(20261209);
    std::uniform_real_distribution<double> u(low, high);
    std::vector<double> l(n);
    for (double& x : l) {
        x = u(rng);
    }
    return l;
}

// A small number for each thread that runs items, given at its first item.
int thread_slot() {
    static std::atomic<int> next{0};
    thread_local const int slot = next.fetch_add(1, std::memory_order_relaxed);
    return slot;
}

double item_near(double l) {
    static const finitemu::integrals::LimbDarkenedSource source;
    return source.nested_disks(l, kRho);
}

double item_disk(double l) {
    return finitemu::kernels::witt_mao_magnification_scaled(l * kRho, kRho);
}

using Item = double (*)(double);

struct Stamps {
    std::vector<Clock::time_point> start, end;
    std::vector<int> slot;
    explicit Stamps(std::size_t n) : start(n), end(n), slot(n) {}
};

struct Phases {
    double total, first, second, tail, ret, threads;
};

double us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

Phases phases(const Stamps& s, Clock::time_point t0, Clock::time_point t1) {
    struct Span {
        Clock::time_point first = Clock::time_point::max(), last = Clock::time_point::min();
    };
    std::vector<Span> spans;
    for (std::size_t i = 0; i < s.slot.size(); ++i) {
        const auto k = static_cast<std::size_t>(s.slot[i]);
        if (spans.size() <= k) {
            spans.resize(k + 1);
        }
        spans[k].first = std::min(spans[k].first, s.start[i]);
        spans[k].last = std::max(spans[k].last, s.end[i]);
    }
    std::vector<Span> used;
    std::copy_if(spans.begin(), spans.end(), std::back_inserter(used),
                 [](const Span& x) { return x.first != Clock::time_point::max(); });
    std::sort(used.begin(), used.end(),
              [](const Span& a, const Span& b) { return a.first < b.first; });
    Phases p{us(t1 - t0), us(used.front().first - t0),     0.0, 0.0,
             0.0,         static_cast<double>(used.size())};
    auto ends = std::minmax_element(used.begin(), used.end(),
                                    [](const Span& a, const Span& b) { return a.last < b.last; });
    if (used.size() > 1) {
        p.second = us(used[1].first - t0);
        p.tail = us(ends.second->last - ends.first->last);
    }
    p.ret = us(t1 - ends.second->last);
    return p;
}

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// One map of l through `item`, on the pool or here, phases into the counters.
void BM_Map(benchmark::State& state, Item item, std::vector<double> l, bool on_pool,
            Before before) {
    const auto pool = par::global_pool();
    if (!pool) {
        state.SkipWithError("the worker pool cannot start");
        return;
    }
    Stamps stamps(l.size());
    std::vector<std::size_t> index(l.size());
    for (std::size_t i = 0; i < index.size(); ++i) {
        index[i] = i;
    }
    const auto f = [&](std::size_t i) noexcept {
        stamps.start[i] = Clock::now();
        const double value = item(l[i]);
        stamps.end[i] = Clock::now();
        stamps.slot[i] = thread_slot();
        return value;
    };
    const std::span<const std::size_t> items(index);
    std::vector<Phases> runs;
    for (auto _ : state) {
        if (before == Before::sleep) {
            std::this_thread::sleep_for(kColdPause);
        } else if (before == Before::busy) {
            const auto until = Clock::now() + kBusyPause;
            while (Clock::now() < until) {
            }
        }
        const auto t0 = Clock::now();
        auto out = on_pool ? par::parallel_map(**pool, items, f) : par::sequential_map(items, f);
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(out);
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        runs.push_back(phases(stamps, t0, t1));
    }
    const auto counter = [&](const char* name, double Phases::*field) {
        std::vector<double> v;
        for (const Phases& p : runs) {
            v.push_back(p.*field);
        }
        state.counters[name] = median(v);
    };
    counter("total", &Phases::total);
    counter("first", &Phases::first);
    counter("second", &Phases::second);
    counter("tail", &Phases::tail);
    counter("return", &Phases::ret);
    counter("threads", &Phases::threads);
    state.counters["W"] = static_cast<double>((*pool)->worker_count());
}

// A routine end to end, its separations passed by value as the Python entry passes them.
template <auto Routine> void BM_Routine(benchmark::State& state, std::vector<double> l) {
    for (auto _ : state) {
        auto out = Routine(l, 1.0, kRho);
        benchmark::DoNotOptimize(out);
    }
}

void register_all() {
    struct Case {
        const char* name;
        Item item;
        double low, high;
        std::size_t n;
    };
    static constexpr Case kCases[] = {
        {"near", item_near, 0.0, 1.0, 39},    {"near", item_near, 0.0, 1.0, 390},
        {"far", item_near, 2.0, 10.0, 1333},  {"far", item_near, 2.0, 10.0, 13330},
        {"disk", item_disk, 0.0, 10.0, 8000}, {"disk", item_disk, 0.0, 10.0, 100000},
    };
    for (const Case& c : kCases) {
        for (const auto& [before, label] :
             {std::pair{Before::nothing, "warm"}, std::pair{Before::busy, "busy"},
              std::pair{Before::sleep, "cold"}}) {
            for (const bool on_pool : {false, true}) {
                const std::string name = std::string(c.name) + "/" + std::to_string(c.n) + "/" +
                                         label + "/" + (on_pool ? "pool" : "here");
                benchmark::RegisterBenchmark(name.c_str(), BM_Map, c.item,
                                             uniform(c.n, c.low, c.high), on_pool, before)
                    ->UseManualTime()
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
    for (const std::size_t n : {39, 390}) {
        benchmark::RegisterBenchmark(("routine/integrated_witt_mao/" + std::to_string(n)).c_str(),
                                     BM_Routine<rt::integrated_witt_mao_magnification>,
                                     uniform(n, 0.0, 1.0))
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    for (const std::size_t n : {8000, 100000}) {
        benchmark::RegisterBenchmark(("routine/witt_mao/" + std::to_string(n)).c_str(),
                                     BM_Routine<rt::witt_mao_magnification>, uniform(n, 0.0, 10.0))
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
}

} // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
