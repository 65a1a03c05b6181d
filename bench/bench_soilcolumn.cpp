// The soil column solver on fixed loam columns of 10 and 20 layers (dry, wet, raining), with
// root uptake, macropores and two tracers off and on: reports layer-iterations per second
// (iterations x working-range layers / time) and mean iterations per sub-step, on one thread and
// on independent columns over 1..8 OpenMP threads beside a plain reference loop.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "../tests/soil/soilcolumn_fixture.hpp"
#include "soil/soilheat.hpp"

namespace {

using namespace soilcolumn_test;

enum Condition { kDry = 0, kWet = 1, kRaining = 2 };
const char* const kConditionNames[] = {"dry", "wet", "raining"};

// One column with its work arrays and tracers; nothing is allocated while it runs.
struct BenchColumn {
    BenchColumn(const soil_entry& s, Condition c, bool features)
        : soil(s), start(HydrostaticColumn(s)), col(start), work(s.layerCount), condition(c), all(features),
          zero(static_cast<std::size_t>(s.layerCount) + 1, 0.0) {
        if (c == kDry) {
            for (int i = 1; i <= start.n; ++i) start.theta[static_cast<std::size_t>(i)] = 0.15;
            InitialHeads(s, start);
        }
        col = start;
        cell.dt = 900;
        cell.channelDensity = 0.002;
        cell.tanBeta = 0.2;
        forcing.rain = c == kRaining ? 2 * s.ksat[1] : 0.0;
        forcing.roots = features;
        forcing.transpiration = features ? 3e-8 : 0.0;
        forcing.evaporation = features ? 1e-8 : 0.0;
        for (int t = 0; t < 2; ++t) {
            values[t].assign(zero.size(), 1.0);
            olds[t].assign(zero.size(), 0.0);
            tracers[t].par.mass = t == 0;
            tracers[t].par.maxValue = 1e6;
            tracers[t].par.decays = t == 1;
            tracers[t].par.decayFactor = 0.999;
            tracers[t].value = values[t].data();
            tracers[t].old = olds[t].data();
        }
    }

    // Runs n sub-steps from the fixed start state; returns layer-iterations and adds iterations.
    double Run(int substeps, double& iterations) {
        col.theta = start.theta;
        col.H = start.H;
        double layerIterations = 0;
        for (int s = 0; s < substeps; ++s) {
            const Booked b = RunSubstep(soil, col, cell, set, forcing, work);
            iterations += b.iterations;
            layerIterations += b.iterations * WorkingRangeEnd(col, cell.tableLayer, cell.rootLayer, 0, true);
            if (all) {
                SoluteWater water;
                water.dt = cell.dt;
                water.factor = cell.dt * 1000;
                water.tableLayer = cell.tableLayer;
                water.p = zero.data();
                water.w = zero.data();
                water.directFlow = b.excess / cell.dt;
                water.interflowTotal = b.lateral / cell.dt;
                FpeReport fpe;
                ColumnBalance(soil, col, water, tracers, 2, 1, 1, fpe);
            }
        }
        return layerIterations;
    }

    const soil_entry& soil;
    ColumnState start, col;
    CellValues cell;
    SolverSettings set;
    Forcing forcing;
    DriverWork work;
    Condition condition;
    bool all;
    std::vector<double> zero, values[2], olds[2];
    TracerColumn tracers[2];
};

constexpr int kSubsteps = 96;  // a day of 15-minute sub-steps

soil_entry Loam(int layers) {
    SoilLayout def;
    def.layers = layers;
    soil_entry s = MakeSoil(def);
    s.MacroCapacity = 2.0 / 3600000.0;
    s.PMacroThresh = 1.0 / 3600000.0;
    s.MacroDepth = 0.4;
    return s;
}

// Args: layers, condition, features (0 off, 1 on).
void BM_Column(benchmark::State& state) {
    const int layers = static_cast<int>(state.range(0));
    const auto condition = static_cast<Condition>(state.range(1));
    const bool features = state.range(2) != 0;
    const soil_entry soil = Loam(layers);
    BenchColumn column(soil, condition, features);
    double layerIterations = 0, iterations = 0, substeps = 0;
    for (auto _ : state) {
        layerIterations += column.Run(kSubsteps, iterations);
        substeps += kSubsteps;
        benchmark::DoNotOptimize(column.col.theta[1]);
    }
    state.SetLabel(std::string(kConditionNames[condition]) + (features ? ", roots+macropores+tracers" : ""));
    state.counters["layer_iterations"] = benchmark::Counter(layerIterations, benchmark::Counter::kIsRate);
    state.counters["iterations_per_substep"] = iterations / substeps;
}
BENCHMARK(BM_Column)
    ->ArgsProduct({{10, 20}, {kDry, kWet, kRaining}, {0, 1}})
    ->Unit(benchmark::kMillisecond);  // rates per CPU second of the one thread: per core

// Independent columns (a mix of the three conditions, 20 layers, all features) on N threads.
void BM_ColumnThreads(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    constexpr int kColumns = 96;
    const soil_entry soil = Loam(20);
    std::vector<std::unique_ptr<BenchColumn>> columns;
    for (int c = 0; c < kColumns; ++c)
        columns.push_back(std::make_unique<BenchColumn>(soil, static_cast<Condition>(c % 3), true));
    double layerIterations = 0;
    for (auto _ : state) {
        double sum = 0;
#pragma omp parallel for schedule(static, 4) num_threads(threads) reduction(+ : sum)
        for (int c = 0; c < kColumns; ++c) {
            double iterations = 0;
            sum += columns[static_cast<std::size_t>(c)]->Run(kSubsteps / 4, iterations);
        }
        layerIterations += sum;
    }
    state.counters["layer_iterations"] = benchmark::Counter(layerIterations, benchmark::Counter::kIsRate);
    state.counters["per_thread"] = benchmark::Counter(layerIterations / threads, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ColumnThreads)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reference: the same loop over independent columns with plain arithmetic of fixed length and no
// memory traffic. The thread efficiency of the solver is its speed-up over that of this loop,
// measured side by side, so that a shared or throttled machine does not count against it.
void BM_ReferenceThreads(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    constexpr int kColumns = 96;
    double units = 0;
    for (auto _ : state) {
        double sum = 0;
#pragma omp parallel for schedule(static, 4) num_threads(threads) reduction(+ : sum)
        for (int c = 0; c < kColumns; ++c) {
            double x = c;
            for (int k = 0; k < 200000; ++k) x = x * 1.0000001 + 1e-9;
            sum += x;
        }
        benchmark::DoNotOptimize(sum);
        units += kColumns;
    }
    state.counters["columns"] = benchmark::Counter(units, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReferenceThreads)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

// Heat conduction of 10-layer columns, explicit (0) or implicit with advection (1), unfrozen
// (mild, high conductivity) or frozen (ice conductivity, latent heat in the capacity), on
// independent columns over 1..8 threads: reports heat layer-substeps per second.
struct HeatColumn {
    static constexpr int n = 10;
    std::vector<double> lambda, capacity, thickness, T, q, dT, start, a, b, c, r, Tnew, flux, macro;
    explicit HeatColumn(bool frozen)
        : lambda(n + 1, frozen ? 2.2 : 1.4), capacity(n + 1, frozen ? 8.0e6 : 2.4e6), thickness(n + 1, 0.1),
          T(n + 1, frozen ? -3.0 : 6.0), q(n + 1), dT(n + 1), start(n + 1), a(n + 1), b(n + 1), c(n + 1), r(n + 1),
          Tnew(n + 1), flux(n + 1, -1e-7), macro(n + 1, 0.0) {}
    void Step(bool implicit, double air) {
        const soilheat::Column col{n, lambda, capacity, thickness};
        if (!implicit) {
            soilheat::ExplicitStep(col, T, air, 2.0, air, 300.0, q, dT, start);
            return;
        }
        const soilheat::Advection adv{flux, macro, 0.0};
        soilheat::ImplicitStep(col, T, air, 2.0, false, 0.0, 300.0, &adv, {a, b, c, r}, Tnew);
        for (int k = 1; k <= n; ++k) T[static_cast<std::size_t>(k)] = Tnew[static_cast<std::size_t>(k)];
    }
};

void BM_HeatThreads(benchmark::State& state) {
    const bool implicit = state.range(0) != 0, frozen = state.range(1) != 0;
    const int threads = static_cast<int>(state.range(2));
    constexpr int kColumns = 4096, kSteps = 16;
    std::vector<HeatColumn> columns;
    columns.reserve(kColumns);
    for (int i = 0; i < kColumns; ++i) columns.emplace_back(frozen);
    double units = 0;
    for (auto _ : state) {
#pragma omp parallel for schedule(runtime) num_threads(threads)
        for (int i = 0; i < kColumns; ++i)
            for (int s = 0; s < kSteps; ++s) columns[static_cast<std::size_t>(i)].Step(implicit, frozen ? -10.0 + s : 10.0 - s);
        units += static_cast<double>(kColumns) * kSteps * HeatColumn::n;
    }
    benchmark::DoNotOptimize(columns.front().T[1]);
    state.SetLabel(std::string(implicit ? "implicit" : "explicit") + (frozen ? " frozen" : " unfrozen"));
    state.counters["heat_layer_substeps"] = benchmark::Counter(units, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HeatThreads)
    ->ArgsProduct({{0, 1}, {0, 1}, {1, 2, 4, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
