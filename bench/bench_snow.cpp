// One snow step on a 1000 x 1000 grid, half of it snow-covered, statistics off: the degree-day
// method in hourly steps and the energy balance in a cold hour (with the search for the surface
// temperature). Reports snow-covered cell-steps per second of the step, at 1 and 8 threads
// (the ratio of the two, divided by 8, is the thread efficiency of the cell loop).
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

#include "bench_domain.hpp"
#include "surface/snowmod.hpp"

namespace {

constexpr int kSize = 1000;

struct Domain : talvo_bench::OneZoneDomain {
    explicit Domain(int method) : OneZoneDomain("snow", kSize, 100) {
        WriteControlFile(method);
        memory_handling mh;
        const double cold = method == 1 ? 0.2 : -5.0;
        struct Input {
            Matrix* grid;
            const char* name;
            double value;
        } inputs[] = {{&zones, "zones", 1},
                      {&elevation, "elevation", 1500},
                      {&soilZones, "zonegrid_soilmodel", 1},
                      {&albedo, "albedo", 0.2},
                      {&landuse, "landuse1", 1},
                      {&temperature, "temperature", cold},
                      {&precipitation, "precipitation", 0.2},
                      {&wind, "wind_speed", 2},
                      {&cloud, "cloudiness", 0.5},
                      {&humidity, "air_humidity", 0.7},
                      {&radiation, "AspectCorrectedGlobalRadiation", 50},
                      {&evaporation, "snow_evaporation", 0}};
        int entry = 1;
        for (const Input& in : inputs) {
            *in.grid = mh.matrix(1, kSize, 1, kSize, kSize);
            in.grid->fill(in.value);
            talvo_bench::NameGridEntry(store[entry++], in.grid, in.name);
        }
        settings.maxZoneCode = 1;
        settings.latitude = 47;
        settings.endDay = settings.endMonth = 1;
        settings.endYear = 2001;
    }

    static void WriteControlFile(int method) {
        std::ofstream ctl("bench.ctl");
        ctl << "[snow_model]\n1\n60\n" << method
            << "\n1\n0\n0\n0.1\n2\n3\n2\n0.5\n0.1\n1\n3\n0.4\n0.9\n"
               "r.asc\n0\nr.sta 0\ns.asc\n0\ns.sta 0\nd.asc\n0\nd.sta 0\na.asc\n0\na.sta 0\nalb.sta 0\n"
               "o.asc\n0\no.sta 0\nm.asc\n0\nm.sta 0\nsol.asc\n0\nliq.asc\n0\nst.sta 0\ntot.asc\n0\n0\n";
        if (method > 4)
            ctl << "tp.asc\n0\ntp.sta 0\nts.asc\n0\nts.sta 0\ni.asc\n0\ni.sta 0\nmo.asc\n0\nmo.sta 0\n"
                   "de.asc\n0\nde.sta 0\n55\n1\n30\n0.01\n1\n1\n";
        ctl << "\n";
    }

    Matrix zones, elevation, soilZones, albedo, landuse, temperature, precipitation, wind, cloud, humidity,
        radiation, evaporation;
};

// Arguments: the method (1 degree-day, 5 energy balance) and the number of threads.
void BM_SnowStep(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    Domain domain(method);
    unsigned error = 0;
    schneemodellklasse snow(error, domain.log.get(), domain.settings);
    if (error != 0) {
        state.SkipWithError("the snow model could not be built");
        return;
    }
    snow.LinkPrecipitation(false);
    // The upper half of the basin is snow-covered.
    for (int r = 1; r <= kSize / 2; ++r)
        for (int c = 1; c <= kSize; ++c) snow.solid.data[r][c] = 50;
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    state.SetLabel(method == 1 ? "degree-day, hourly" : "energy balance, cold hour");
    std::int64_t hour = 1;
    for (auto _ : state) {
        snow.run(hour, 15, 1, 2000);
        hour = hour % 24 + 1;
        benchmark::DoNotOptimize(snow.solid.data[kSize / 2][kSize / 2]);
    }
    omp_set_num_threads(saved);
    const double snowCells = static_cast<double>(kSize) * kSize / 2;
    state.counters["snow_cell_steps"] = benchmark::Counter(snowCells, benchmark::Counter::kIsIterationInvariantRate);
}
// The parallel cell loop alone, for the thread efficiency.
void BM_CellLoop(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    Domain domain(method);
    unsigned error = 0;
    schneemodellklasse snow(error, domain.log.get(), domain.settings);
    if (error != 0) {
        state.SkipWithError("the snow model could not be built");
        return;
    }
    snow.LinkPrecipitation(false);
    for (int r = 1; r <= kSize / 2; ++r)
        for (int c = 1; c <= kSize; ++c) snow.solid.data[r][c] = 50;
    snow.run(1, 15, 1, 2000);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    for (auto _ : state) {
#pragma omp parallel
        snow.CellLoop(2000, 1, 15);
        benchmark::DoNotOptimize(snow.solid.data[kSize / 2][kSize / 2]);
    }
    omp_set_num_threads(saved);
    const double snowCells = static_cast<double>(kSize) * kSize / 2;
    state.counters["snow_cell_steps"] = benchmark::Counter(snowCells, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CellLoop)->Args({1, 1})->Args({1, 8})->Args({5, 1})->Args({5, 8})->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(BM_SnowStep)
    ->Args({1, 1})
    ->Args({1, 8})
    ->Args({5, 1})
    ->Args({5, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
