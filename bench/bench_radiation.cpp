// The radiation correction of one daily step (24 sub-steps, terrain shadow) on 1000 x 1000
// cells: incidence evaluations (cell x lit sub-step) per second and core at 1 and 8 threads with
// the thread efficiency, and the ray march of the terrain shadow in cells visited per second.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

#include "bench_domain.hpp"
#include "meteo/expokorr.hpp"
#include "meteo/radiation_geometry.hpp"

namespace {

constexpr int kSize = 1000;
constexpr double kCell = 100.0;

// Hilly terrain with its slopes and aspects, and the settings of a daily radiation correction.
struct Domain : talvo_bench::OneZoneDomain {
    Domain() : OneZoneDomain("radiation", kSize, kCell) {
        std::ofstream("bench.ctl") << "[radiation_correction]\n1\n1440\n1\ntk.asc\n0\n1\nex.asc\n0\nsh.asc\n0\n1\n24\n";
        memory_handling mh;
        for (Matrix* m : {&zones, &elevation, &slope, &aspect, &temperature})
            *m = mh.matrix(1, kSize, 1, kSize, kSize);
        for (int r = 1; r <= kSize; ++r)
            for (int c = 1; c <= kSize; ++c) {
                const double x = c * 0.02, y = r * 0.03;
                zones[r][c] = 1;
                elevation[r][c] = 1500 + 400 * std::sin(x) * std::cos(y);
                // Slope and aspect of the surface above, in degrees.
                const double dzdx = 400 * 0.02 / kCell * std::cos(x) * std::cos(y);
                const double dzdy = -400 * 0.03 / kCell * std::sin(x) * std::sin(y);
                slope[r][c] = std::atan(std::hypot(dzdx, dzdy)) * 57.29577951308232;
                aspect[r][c] = std::fmod(std::atan2(-dzdx, dzdy) * 57.29577951308232 + 360.0, 360.0);
                temperature[r][c] = 5.0;
            }
        talvo_bench::NameGridEntry(store[1], &zones, "zones");
        talvo_bench::NameGridEntry(store[2], &elevation, "[elevation_model]");
        talvo_bench::NameGridEntry(store[3], &slope, "slope_angle");
        talvo_bench::NameGridEntry(store[4], &aspect, "slope_aspect");
        talvo_bench::NameGridEntry(store[5], &temperature, "temperature");
        settings.latitude = 47.0;
        settings.longitude = settings.meridian = 15.0;
        settings.endDay = settings.endMonth = 1;
        settings.endYear = 2001;
    }

    Matrix zones, elevation, slope, aspect, temperature;
};

// Incidence evaluations per second and core with one thread, for the efficiency at more.
double g_singleThreadRate = 0;

// Argument: the number of OpenMP threads. The incidence rate counts the time of the incidence
// loops alone; the step rate the whole step with the serial ray march.
void BM_RadiationCorrectionDay(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    omp_set_num_threads(threads);
    Domain domain;
    unsigned error = 0;
    expokorrklasse correction(error, domain.log.get(), domain.settings);
    if (error != 0) {
        state.SkipWithError("the radiation correction could not be built");
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const double start = MPI_Wtime();
        correction.run(24, 21, 3, 2020);
        total += MPI_Wtime() - start;
        benchmark::DoNotOptimize(correction.GetCorrectionGrid());
    }
    const double cells = static_cast<double>(kSize) * kSize;
    const double evaluations = cells * static_cast<double>(correction.LitSubSteps());
    const double perCore = evaluations / correction.IncidenceSeconds() / threads;
    state.counters["incidence_per_s_core"] = perCore;
    state.counters["step_cells_per_s"] = cells * static_cast<double>(state.iterations()) / total;
    state.counters["march_visits_per_s"] = static_cast<double>(correction.ShadowCellVisits()) / correction.ShadowSeconds();
    if (threads == 1) g_singleThreadRate = perCore;
    if (threads > 1 && g_singleThreadRate > 0) state.counters["thread_efficiency"] = perCore / g_singleThreadRate;
    omp_set_num_threads(omp_get_num_procs());
}
BENCHMARK(BM_RadiationCorrectionDay)->Arg(1)->Arg(2)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The terrain shadow alone over the whole grid, for a morning, a noon and an evening sun.
void BM_TerrainShadow(benchmark::State& state) {
    Domain domain;
    memory_handling mh;
    Matrix shadow = mh.matrix(1, kSize, 1, kSize, kSize);
    std::int64_t visits = 0;
    const double azimuths[3] = {1.7, 3.14159265359, 4.5};
    int k = 0;
    for (auto _ : state) {
        visits += radiation::MarchTerrainShadow(domain.elevation, domain.zones, shadow, kSize, kSize, kCell, -9999,
                                                -9999, azimuths[k++ % 3], 0.3);
        benchmark::DoNotOptimize(shadow[kSize / 2][kSize / 2]);
    }
    state.counters["cell_visits"] = benchmark::Counter(static_cast<double>(visits), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TerrainShadow)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
