// Coupling passes of surface routing on a 1000 x 1000 tilted plane with a little noise, 10 mm
// of direct flow on every cell (or on a band of the first rows only, as where rain fell on part
// of a basin) and a river along the last column; reports cell-substeps per second for the fixed
// coefficient (method 5) and the roughness iteration (method 1) with 1 and 8 threads.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "bench_domain.hpp"
#include "lateral/surfrout.hpp"
#include "tables/landuse_entry.hpp"

namespace {

constexpr int kSize = 1000;
constexpr double kCell = 10.0;

struct Domain : talvo_bench::OneZoneDomain {
    explicit Domain(int method) : OneZoneDomain("surfrout", kSize, kCell) {
        std::ofstream ctl("bench.ctl");
        ctl << "[SurfaceRoutingModel]\n1\n60\n" << method
            << "\nqd.txt 0\nqi.txt 0\nqb.txt 0\nqg.txt 0\nvelocity.stk\n0\nfluxes.stk\n0\n0.001\n10\n1e-6\n20\n"
               "0\n600\n0.01\n1\n0\nstorage.txt 0\nstate.txt\n\n";
        ctl.close();
        memory_handling mh;
        const char* names[] = {"zones",    "elevation",         "river_depth", "river_width", "river_links",
                               "landuse1", "vegetation_coverage_degree1", "soil_types", "SurfStorSiltingUp",
                               "directflow", "interflow"};
        grids.resize(11);
        for (int i = 0; i < 11; ++i) {
            grids[static_cast<std::size_t>(i)] = mh.matrix(1, kSize, 1, kSize, kSize);
            grids[static_cast<std::size_t>(i)].fill(0);
            GridStoreEntry& e = store[i + 1];
            e.grid = &grids[static_cast<std::size_t>(i)];
            e.fileName = names[i];
            e.hasFileName = true;
            e.internalName = names[i];
            e.hasInternalName = true;
        }
        for (int r = 1; r <= kSize; ++r)
            for (int c = 1; c <= kSize; ++c) {
                grids[0][r][c] = 1;
                // Falling to the east and south, with a fixed pattern of centimetre noise.
                grids[1][r][c] = 500.0 - 0.01 * kCell * c - 0.002 * kCell * r + 0.01 * ((r * 7919 + c * 104729) % 7);
                if (c == kSize) grids[2][r][c] = grids[3][r][c] = 1;
                grids[5][r][c] = 1;
            }
        landuse.resize(2);
        landuse[1].SR_cultivation = 3;
        landuse[1].SR_K_ST = 10;
        settings.maxZoneCode = 1;
        settings.landuseTable = landuse.data();
        settings.startDay = settings.startMonth = 1;
        settings.startYear = 2000;
        settings.endDay = settings.endMonth = 1;
        settings.endYear = 2001;
    }
    // Direct flow on the first rows that make up the given percentage of the plane.
    void Refill(int wetPercent) {
        for (int r = 1; r <= kSize; ++r)
            for (int c = 1; c <= kSize; ++c) grids[9][r][c] = r <= kSize * wetPercent / 100 ? 10.0 : 0.0;
    }

    std::vector<Matrix> grids;
    std::vector<landuse_entry> landuse;
};

// Arguments: method, threads, percentage of the plane that gets direct flow.
void BM_CouplingPass(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    const int wet = static_cast<int>(state.range(2));
    omp_set_num_threads(threads);
    Domain domain(method);
    unsigned error = 0;
    surfaceroutingclass m(error, domain.log.get(), domain.settings);
    if (error == 0) m.CreateTracerGrids(error, 0, nullptr, nullptr, 0);
    if (error != 0) {
        state.SkipWithError("surface routing could not be built");
        return;
    }
    double cellSubsteps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        domain.Refill(wet);
        state.ResumeTiming();
        m.run(1, 1, 1, 2000);
        cellSubsteps += static_cast<double>(kSize) * kSize * static_cast<double>(m.lastSubSteps);
    }
    state.counters["cell_substeps"] = benchmark::Counter(cellSubsteps, benchmark::Counter::kIsRate);
    state.counters["per_thread"] = benchmark::Counter(cellSubsteps / threads, benchmark::Counter::kIsRate);
    state.SetLabel(std::string(method == 5 ? "method 5" : "method 1") + ", " + std::to_string(threads) + " threads, " +
                   std::to_string(wet) + " % wet");
}
BENCHMARK(BM_CouplingPass)
    ->Args({5, 1, 100})
    ->Args({5, 8, 100})
    ->Args({1, 1, 100})
    ->Args({1, 8, 100})
    ->Args({5, 1, 5})
    ->Args({1, 1, 5})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
