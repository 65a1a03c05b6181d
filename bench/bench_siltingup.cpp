// The silting-up step on a 1000 x 1000 grid of tilled loam in steady rain, statistics and grid
// output off: the built-in laws (method 2) and the same laws as formulas of the control file
// (method 3, where the formula parser dominates). Reports cell-steps per second at 1 and 8
// threads (the ratio of the two, divided by 8, is the thread efficiency), and a plain loop of
// the built-in cell physics over arrays as the reference for method 2.
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
#include "lateral/siltingup.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/soil_entry.hpp"

namespace {

constexpr int kSize = 1000;

struct Domain : talvo_bench::OneZoneDomain {
    explicit Domain(int method) : OneZoneDomain("silting", kSize, 100) {
        WriteControlFile(method);
        memory_handling mh;
        struct Input {
            Matrix* grid;
            const char* name;
            double value;
        } inputs[] = {{&zones, "zones", 1},
                      {&elevation, "elevation", 400},
                      {&landuse, "landuse1", 1},
                      {&cover, "vegetation_coverage_degree1", 0.2},
                      {&soil, "soil_types", 1},
                      {&surfaceStore, "SurfStorSiltingUp", 0},
                      {&precipitation, "precipitation", 0}};
        int entry = 1;
        for (const Input& in : inputs) {
            *in.grid = mh.matrix(1, kSize, 1, kSize, kSize);
            in.grid->fill(in.value);
            talvo_bench::NameGridEntry(store[entry++], in.grid, in.name);
        }
        landuses.assign(2, landuse_entry{});
        landuses[0] = landuse_entry(1);
        landuses[1].ParseLanduseBlock(
            *log,
            "1 field method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3; JulDays = 1 366;"
            " Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; RootDepth = 0.5 0.5;"
            " AltDep = 0 0; SoilTillage = 100 250; SR_ResidCovrg = 0.1 0.1; }",
            "VariableDayCount");
        soils.assign(2, soil_entry{});
        soils[0].code = 1;
        soils[1] = soil_entry(1);
        soils[1].ParseSoilBlock(*log,
                                "1 loam { method = MultipleHorizons; layers = 2 8; thickness = 0.05 0.1; ksat = 1e-5;"
                                " theta_sat = 0.45 0.40; theta_res = 0.05 0.04; alpha = 2.0 1.5; Par_n = 1.5 1.25;"
                                " GrainSizeDist = 0.4 0.4 0.2 0 0 0 0; }",
                                "MultipleHorizons");
        settings.maxZoneCode = 1;
        settings.endDay = settings.endMonth = 1;
        settings.endYear = 2001;
        settings.landuseTable = landuses.data();
        settings.soilTable = soils.data();
    }

    static void WriteControlFile(int method) {
        std::ofstream ctl("bench.ctl");
        ctl << "[SiltingUpModel]\n1\n60\n" << method << "\nsd.sta 0\nqd.sta 0\n"
            << "d.asc\n0\np.asc\n0\ne.asc\n0\nt.asc\n0\nq.asc\n0\n1\n0.5\n0\n";
        if (method == 2) ctl << "65\n12.2\n0.52\n-0.64\n0.013\n-1.03\n0.7\n-0.19\n";
        if (method == 3)
            ctl << "SiltingUpExpressions {\n"
                   " Z = (O > 0) * 0.013 * (100 * L)^(-1.03) * K^0.7 * (O + (O <= 0))^(-0.19);\n"
                   " Y = 12.2 * K^0.52 * (100 * L)^(-0.64);\n X = 65;\n"
                   " W = (P > 0.05) * (11.89 + 8.73 * log10(P + (P <= 0.05)));\n"
                   " V = (exp(-Z * Q) * (X - Y) + Y) * R / 60;\n}\n";
        ctl << "\n";
    }

    Matrix zones, elevation, landuse, cover, soil, surfaceStore, precipitation;
    std::vector<landuse_entry> landuses;
    std::vector<soil_entry> soils;
};

// Arguments: the method (2 built-in laws, 3 formulas) and the number of threads.
void BM_SiltingStep(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    Domain domain(method);
    unsigned error = 0;
    siltingupclass model(error, domain.log.get(), domain.settings);
    if (error != 0) {
        state.SkipWithError("the silting-up model could not be built");
        return;
    }
    model.UpdateInputGrid(false);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    state.SetLabel(method == 2 ? "built-in laws" : "formulas");
    std::int64_t hour = 1;
    for (auto _ : state) {
        domain.precipitation.fill(12.0);
        model.run(hour, 20, 4, 2020);
        hour = hour % 24 + 1;
        benchmark::DoNotOptimize(model.directRunoff.data[kSize / 2][kSize / 2]);
    }
    omp_set_num_threads(saved);
    state.counters["cell_steps"] =
        benchmark::Counter(static_cast<double>(kSize) * kSize, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_SiltingStep)->Args({2, 1})->Args({2, 8})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SiltingStep)->Args({3, 1})->Args({3, 8})->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The built-in cell physics over plain arrays, one thread: the reference for method 2.
void BM_ReferenceLoop(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(kSize) * kSize;
    std::vector<double> input(n), pause(n, 0.0), energy(n, 0.0), disposition(n, 0.0), runoff(n, 0.0);
    const silting::BuiltInParameters p;
    const double K = silting::GrainSizeK({0.4, 0.4, 0.2, 0, 0, 0, 0});
    for (auto _ : state) {
        for (std::size_t i = 0; i < n; ++i) {
            input[i] = 12.0;
            silting::CellInput in;
            in.input = input[i];
            in.K = K;
            in.sand = 0.4;
            in.cover = 0.3;
            in.timeSinceTillage = 11;
            in.tilled = true;
            in.minPause = 0.5;
            silting::CellState st{pause[i], energy[i], disposition[i]};
            const silting::WaterSplit w = silting::BuiltInCellStep(p, in, st);
            pause[i] = st.rainPause;
            energy[i] = st.energy;
            disposition[i] = st.disposition;
            runoff[i] = w.runoff;
        }
        benchmark::DoNotOptimize(runoff[n / 2]);
    }
    state.counters["cell_steps"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReferenceLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
