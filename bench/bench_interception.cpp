// Interception and irrigation steps on a 1000 x 1000 grid, statistics off.
//   BM_InterceptionStep/<layers>: one interception step over the own rows, with one and three
//     vegetation layers; reports cell-layer updates per second of one process (serial loop).
//   BM_IrrigationStep: one irrigation step, every cell irrigated by the soil-moisture method;
//     reports cells per second and the share of the step spent gathering the grids to
//     process 0 and scattering them back. Run it at 1, 2 and 4 processes:
//     mpiexec -n 4 bench_interception --benchmark_filter=Irrigation
// Every process runs the same fixed number of iterations (the irrigation step is collective);
// only process 0 prints.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

#include "bench_domain.hpp"
#include "surface/interzep.hpp"
#include "surface/irrigate.hpp"
#include "tables/irrigation_table.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/multilayer_landuse.hpp"

namespace {

constexpr int kSize = 1000;

struct Domain : talvo_bench::OneZoneDomain {
    explicit Domain(const std::string& section) : OneZoneDomain("interception", kSize, 100) {
        MPI_Comm_rank(MPI_COMM_WORLD, &rank);
        MPI_Comm_size(MPI_COMM_WORLD, &size);
        std::ofstream("bench.ctl") << section << "\n";
        Add("zones", 1);
        Add("[elevation_model]", 1000);
        Add("zonegrid_soilmodel", 1);
        // Rows in bands; the strip table holds whole rows.
        Matrix& regions = Add("MPIRegions", 0);
        Matrix& helper = Add("MPIHelper", 0);
        for (int r = 1; r <= kSize; ++r) {
            const int owner = Owner(r);
            for (int c = 0; c <= kSize; ++c) regions[r][c] = owner, helper[r][c] = 0;
            helper[r][1] = rank == 0 ? owner : 1;
            helper[r][2] = kSize;
        }
        settings.maxZoneCode = 1;
        settings.firstRow = rank * kSize / size + 1;
        settings.lastRow = (rank + 1) * kSize / size;
        settings.latitude = 47;
        settings.endDay = settings.endMonth = 1;
        settings.endYear = 2001;
    }
    int Owner(int r) const {
        for (int p = 0; p < size; ++p)
            if (r >= p * kSize / size + 1 && r <= (p + 1) * kSize / size) return p;
        return 0;
    }
    Matrix& Add(const std::string& name, double value) {
        memory_handling mh;
        grids.emplace_back(mh.matrix(1, kSize, 1, kSize, kSize));
        Matrix& m = grids.back();
        m.fill(value);
        GridStoreEntry& e = store[FirstFreeGridEntry(store)];
        e.grid = &m;
        e.fileName = e.internalName = name;
        e.hasFileName = e.hasInternalName = true;
        return m;
    }
    double OwnCells() const { return static_cast<double>(settings.lastRow - settings.firstRow + 1) * kSize; }

    int rank = 0, size = 1;
    std::deque<Matrix> grids;
};

void BM_InterceptionStep(benchmark::State& state) {
    const int layers = static_cast<int>(state.range(0));
    Domain d("[interception_model]\n1\n60\n2\ntf.asc\n0\ntf.sta 0\nei.asc\n0\nei.sta 0\nst.asc\n0\nst.sta 0\n0.2\n0\n");
    std::vector<landuse_entry> landuse{landuse_entry(1), landuse_entry(1)};
    std::vector<multilayer_landuse_entry> multilayer{multilayer_landuse_entry(1), multilayer_landuse_entry(1)};
    multilayer[1].layerCount = layers;
    d.settings.landuseTable = landuse.data();
    d.settings.multilayerTable = multilayer.data();
    d.Add("precipitation", 0.7);
    for (int k = 1; k <= layers; ++k) {
        const std::string n = std::to_string(k);
        d.Add("landuse" + n, 1);
        d.Add("leaf_area_index" + n, 3);
        d.Add("vegetation_coverage_degree" + n, 0.6);
    }
    for (int k = 0; k <= layers; ++k) {
        const std::string n = std::to_string(k);
        d.Add("pot_transpiration" + n, 0.1);
        d.Add("potential_InterceptionEvap" + n, 0.05);
        d.Add("real_transpiration" + n, 0);
    }
    unsigned error = 0;
    interzeptionsmodellklasse model(error, d.log.get(), d.settings);
    if (error != 0) {
        state.SkipWithError("the interception model could not be built");
        return;
    }
    std::int64_t hour = 1;
    for (auto _ : state) {
        model.run(hour, 15, 6, 2000);
        hour = hour % 24 + 1;
        benchmark::DoNotOptimize(model.layers[0].storage.data[d.settings.firstRow][kSize / 2]);
    }
    state.SetLabel(std::to_string(layers) + " layer(s), serial over the own rows");
    state.counters["cell_layer_updates"] =
        benchmark::Counter(d.OwnCells() * layers, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_IrrigationStep(benchmark::State& state) {
    Domain d("[irrigation]\n1\n60\ngw.sta 0\nsw.sta 0\n");
    std::vector<irrigation_entry> table(2);
    table[0].code = 1;
    table[1].code = 1;
    table[1].method = 3;
    table[1].origin = 1;
    d.settings.irrigationTable = table.data();
    for (const char* name : {"precipitation", "irrigation_codes", "Max_Pumping", "irrigation_amounts", "SB_1_grid",
                             "SBLOW_grid", "SBHIGH_grid", "ETR2ETP", "root_depth1"})
        d.Add(name, 1);
    unsigned error = 0;
    irrigationclass model(error, d.log.get(), d.settings);
    if (error != 0) {
        state.SkipWithError("the irrigation model could not be built");
        return;
    }
    std::int64_t hour = 1;
    for (auto _ : state) {
        model.run(hour, 15, 6, 2000);
        hour = hour % 24 + 1;
    }
    state.SetLabel(std::to_string(d.size) + " process(es)");
    state.counters["cells"] = benchmark::Counter(static_cast<double>(kSize) * kSize,
                                                 benchmark::Counter::kIsIterationInvariantRate);
    state.counters["gather_scatter_share"] = model.stepSeconds > 0 ? model.transferSeconds / model.stepSeconds : 0;
}

// Per core: the loop is serial, so its CPU time is the time of one core.
BENCHMARK(BM_InterceptionStep)->Arg(1)->Arg(3)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IrrigationStep)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

// Processes other than 0 run the same iterations and print nothing.
class SilentReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    benchmark::Initialize(&argc, argv);
    if (rank == 0) {
        benchmark::RunSpecifiedBenchmarks();
    } else {
        SilentReporter silent;
        benchmark::RunSpecifiedBenchmarks(&silent);
    }
    benchmark::Shutdown();
    MPI_Finalize();
    return 0;
}
