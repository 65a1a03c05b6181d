// One potential-evapotranspiration step of Penman-Monteith on a 1000 x 1000 grid: one layer
// with hourly steps, and three layers with daily steps (night and day parts, 12 clear-sky
// sub-steps at the equinox). Reports cell evaluations (a cell's step with all its layers and
// parts) per second and per core, at 1 and 8 threads, so that the thread efficiency is the
// ratio of the per-core figures.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "bench_domain.hpp"
#include "surface/etpetr.hpp"
#include "tables/multilayer_landuse.hpp"

namespace {

constexpr int kSize = 1000;

struct Domain : talvo_bench::OneZoneDomain {
    explicit Domain(int layers, int step) : OneZoneDomain("etp", kSize, 100) {
        WriteControlFile(step);
        Put("[zone_grid]", 1);
        Put("[elevation_model]", 0);
        for (int r = 1; r <= kSize; ++r)
            for (int c = 1; c <= kSize; ++c) grids["[elevation_model]"][r][c] = 200 + r * 0.5 + c * 0.25;
        Put("temperature", 15);
        Put("temperature_night", 8);
        Put("albedo", 0.2);
        Put("wind_speed", 2.5);
        Put("air_humidity", 0.65);
        Put("sunshine_duration", 0.55);
        Put("SurfaceEvaporationResistance", 250);
        if (layers > 1) Put("landuse", 1);
        for (int i = 1; i <= layers; ++i) {
            const std::string n = std::to_string(i);
            Put("landuse" + n, 1);
            Put("leaf_area_index" + n, 4.0 - i);
            Put("root_depth" + n, 0.5);
            Put("vegetation_coverage_degree" + n, 0.8);
            Put("SurfaceCanopyResistance" + n, 60 + 10 * i);
            Put("SurfaceIntercepResistance" + n, 0);
            Put("RoughnessLength" + n, 0.5 / i);
        }
        table.assign(2, multilayer_landuse_entry{});
        table[0].code = 1;
        table[1].layerCount = layers;
        settings.latitude = 47.5;
        settings.longitude = 8.5;
        settings.meridian = 15;
        settings.multilayerTable = layers > 1 ? table.data() : nullptr;
    }
    void Put(const std::string& name, double value) {
        memory_handling mh;
        Matrix& m = grids[name];
        m = mh.matrix(1, kSize, 1, kSize, kSize);
        m.fill(value);
        GridStoreEntry& e = store[next++];
        e.grid = &m;
        e.fileName = name;
        e.hasFileName = true;
        e.internalName = name;
        e.hasInternalName = true;
    }
    void WriteControlFile(int step) const {
        std::ofstream ctl("bench.ctl");
        ctl << "[evapotranspiration]\n1\n" << step << "\n1\n1 1 1 1 1 1 1 1 1 1 1 1\n"
            << "0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26\n1\n"
            << "etp.asc\n0\netp.stat 0\netr.asc\n0\netr.stat 0\nevap.asc\n0\nevap.stat 0\nevapr.asc\n0\n"
            << "evapr.stat 0\nsnowevap.asc\n0\nsnowevap.stat 0\neip.asc\n0\neip.stat 0\nrgex.stat 0\n"
            << "0.2 0.8 0 0\n0.072 -0.808 1.749 -0.239\n0.75 0.05\n1000\n";
        for (int m = 1; m <= 12; ++m) ctl << "8\n";
        ctl << "0.6 0.1\ncloudiness 0\n";
    }

    int next = 1;
    std::map<std::string, Matrix> grids;
    std::vector<multilayer_landuse_entry> table;
};

// Arguments: layers, step in minutes, threads.
void BM_PotentialEvapotranspirationStep(benchmark::State& state) {
    const int layers = static_cast<int>(state.range(0));
    const int step = static_cast<int>(state.range(1));
    const int threads = static_cast<int>(state.range(2));
    Domain domain(layers, step);
    unsigned error = 0;
    verdunstungsmodellklasse etp(error, domain.log.get(), domain.settings);
    if (error != 0) {
        state.SkipWithError("the evapotranspiration model could not be built");
        return;
    }
    const int previous = omp_get_max_threads();
    omp_set_num_threads(threads);
    // Hourly: a lit hour in June; daily: the equinox, about 12 hours of daylight.
    const std::int64_t hour = step < 1440 ? 13 : 24, day = step < 1440 ? 15 : 21, month = step < 1440 ? 6 : 3;
    for (auto _ : state) {
        etp.PotentialEvapotranspirationStep(hour, day, month, 2020);
        benchmark::DoNotOptimize(etp.etp[0][kSize / 2][kSize / 2]);
    }
    omp_set_num_threads(previous);
    const double cells = static_cast<double>(kSize) * kSize;
    state.counters["cells"] = benchmark::Counter(cells, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["cells_per_core"] =
        benchmark::Counter(cells / threads, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(std::to_string(layers) + (layers == 1 ? " layer, " : " layers, ") +
                   (step < 1440 ? "hourly, " : "daily, ") + std::to_string(threads) + " threads");
}
BENCHMARK(BM_PotentialEvapotranspirationStep)
    ->Args({1, 60, 1})
    ->Args({1, 60, 8})
    ->Args({3, 1440, 1})
    ->Args({3, 1440, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
