// The soil model's step on a 500 x 500 grid of 10-layer loam columns (hourly, wet under rain
// and dry without, with and without heat transfer by the implicit scheme): the column pass of
// every cell as the model runs it (one parallel loop over the rows with a thread's work arrays),
// then the adding of every cell's runoff into the travel-time zone records and the subbasin
// storages on one thread. Reports cell-substeps per second (in total and per thread) and the
// share of the serial part.
//
// Then varied cells: four soils (sand, loam, silt, clay) with different tables, wet and dry
// columns, rain and no rain and different water tables, mixed over a 200 x 200 grid in a fixed
// random pattern. The grid pass steps every cell once, cell after cell, as the model does; the
// column pass steps each cell several times in a row from the same start, as a column benchmark
// does. Both report cell-substeps per second on one thread, and the grid pass its cost per
// cell-substep over the column pass's, measured side by side.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "../tests/soil/soilcolumn_fixture.hpp"
#include "kernel/zonerecord.hpp"
#include "soil/unsatzon_runoff.hpp"
#include "soil/unsatzon_step_column.hpp"

namespace {

constexpr int kRows = 500, kCols = 500, kLayers = 10, kSubbasins = 20, kZones = 6;

// One call of a cell's column as the model's pass makes it: the layers' water contents th[1..n]
// into the work column and back, the water table kept between calls.
soilstep::CellResult StepOneCell(const soil_entry& soil, soilstep::CellWork& w, const soilstep::StepSettings& set,
                                 const soilstep::CellForcing& forcing, double* th, int& tableLayer,
                                 double& tableDistance, double& pond, double& thetaGw) {
    const int n = soil.layerCount;
    w.col.SetSoil(soil, 100.0);
    for (int l = 1; l <= n; ++l) w.col.theta[static_cast<std::size_t>(l)] = th[l];
    soilcolumn::CellValues cell;
    cell.tableLayer = tableLayer;
    cell.tableDistance = tableDistance;
    cell.channelDensity = 0.002;
    cell.tanBeta = 0.2;
    cell.cellsize = 100;
    const soilstep::CellResult res = soilstep::StepCell(soil, w, cell, set, forcing, pond, thetaGw);
    for (int l = 1; l <= n; ++l) th[l] = w.col.theta[static_cast<std::size_t>(l)];
    tableLayer = res.tableLayer;
    tableDistance = res.tableDistance;
    return res;
}

struct Grid {
    soil_entry soil = soilcolumn_test::MakeSoil(soilcolumn_test::SoilLayout{});
    std::vector<double> theta, temperature, tableDistance, thetaGw, pond, directflow, interflow, baseflow;
    bool heat = false;
    std::vector<int> tableLayer;
    soilstep::StepSettings set;
    soilstep::CellForcing forcing;
    std::vector<soilstep::CellWork> work;
    std::vector<std::vector<zoneFZT>> zones;
    std::vector<double> storage;

    Grid(bool wet, bool withHeat) : heat(withHeat) {
        const std::size_t cells = static_cast<std::size_t>(kRows) * kCols;
        if (heat) {
            // Heat properties and freezing tables; the air just below 0 over a profile at 1..5 degrees.
            soil.DryDensity.assign(kLayers + 1, 1500.0);
            soil.DryHeatCapacity.assign(kLayers + 1, 800.0);
            soil.DryThermalConduct.assign(kLayers + 1, 0.58);
            for (auto* t : {&soil.unfrozenSaturation, &soil.unfrozenDerivative, &soil.freezingOffset})
                t->resize(kLayers + 1);
            for (int l = 1; l <= kLayers; ++l) soil.ComputeFreezingTables(l, 1.22);
            set.heat.method = 11;
            forcing.airTemperature = -1.0;
            forcing.lowerTemperature = 5.0;
            temperature.resize(cells * (kLayers + 1));
            for (std::size_t i = 0; i < cells; ++i)
                for (int l = 1; l <= kLayers; ++l)
                    temperature[i * (kLayers + 1) + static_cast<std::size_t>(l)] = 0.5 * l;
        }
        soilcolumn::ColumnState col(kLayers);
        col.SetSoil(soil, 100.0);
        theta.resize(cells * (kLayers + 1));
        for (std::size_t i = 0; i < cells; ++i)
            for (int l = 1; l <= kLayers; ++l) {
                const double zm = 100.0 - (l - 0.5) * 0.1;
                theta[i * (kLayers + 1) + static_cast<std::size_t>(l)] =
                    l >= 8 ? 0.43 : soil.ThetaFromSuction(l, zm - 99.25) * (wet ? 1.0 : 0.8);
            }
        tableDistance.assign(cells, -0.75);
        tableLayer.assign(cells, 8);
        thetaGw.assign(cells, col.fieldCapacity[8]);
        pond.assign(cells, 0.0);
        directflow.assign(cells, 0.0);
        interflow.assign(cells, 0.0);
        baseflow.assign(cells, 0.0);
        forcing.waterInput = wet ? 2.0 : 0.0;
        forcing.Q0 = 1.0;
        forcing.kelsqlat = 1.0;
        forcing.vegetationLayers = 1;
        forcing.veg[1].present = true;
        forcing.veg[1].par = soilcolumn::RootParameters{0, 30.0, 0.95, 0.5};
        forcing.veg[1].transpiration = 0.2;
        forcing.veg[1].rootDepth = 0.4;
        forcing.veg[1].coverage = 0.8;
        forcing.potentialEvaporation = 0.05;
        work.assign(static_cast<std::size_t>(omp_get_max_threads()), soilstep::CellWork(kLayers));
        zones.assign(kSubbasins + 1, std::vector<zoneFZT>(kZones + 1));
        storage.assign(kSubbasins + 1, 0.0);
    }

    // The column pass; returns the number of cell-substeps.
    double Pass() {
        double substeps = 0;
#pragma omp parallel reduction(+ : substeps)
        {
            soilstep::CellWork& w = work[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(runtime)
            for (int r = 0; r < kRows; ++r)
                for (int c = 0; c < kCols; ++c) {
                    const std::size_t i = static_cast<std::size_t>(r) * kCols + static_cast<std::size_t>(c);
                    double* th = &theta[i * (kLayers + 1)];
                    w.col.SetSoil(soil, 100.0);
                    for (int l = 1; l <= kLayers; ++l) w.col.theta[static_cast<std::size_t>(l)] = th[l];
                    double* T = heat ? &temperature[i * (kLayers + 1)] : nullptr;
                    if (heat) std::copy(T + 1, T + kLayers + 1, w.T.begin() + 1);
                    soilcolumn::CellValues cell;
                    cell.tableLayer = tableLayer[i];
                    cell.tableDistance = tableDistance[i];
                    cell.channelDensity = 0.002;
                    cell.tanBeta = 0.2;
                    cell.cellsize = 100;
                    const soilstep::CellResult res =
                        soilstep::StepCell(soil, w, cell, set, forcing, pond[i], thetaGw[i]);
                    for (int l = 1; l <= kLayers; ++l) th[l] = w.col.theta[static_cast<std::size_t>(l)];
                    if (heat) std::copy(w.T.begin() + 1, w.T.begin() + kLayers + 1, T + 1);
                    tableLayer[i] = res.tableLayer;
                    tableDistance[i] = res.tableDistance;
                    directflow[i] = res.directflow;
                    interflow[i] = res.interflow;
                    baseflow[i] = res.baseflow;
                    substeps += res.substeps;
                }
        }
        return substeps;
    }

    // Zone records and storages on one thread.
    void Runoff() {
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c) {
                const std::size_t i = static_cast<std::size_t>(r) * kCols + static_cast<std::size_t>(c);
                zoneFZT& z = zones[static_cast<std::size_t>(1 + r % kSubbasins)][static_cast<std::size_t>(1 + c % kZones)];
                z.sx += directflow[i] + interflow[i];
                z.n += 1;
                z.RelCellSum += 1;
            }
        const double f = soilrunoff::StorageFactor(60, 120, false);
        for (int s = 1; s <= kSubbasins; ++s) {
            auto& q = zones[static_cast<std::size_t>(s)];
            const double in = q[1].RelCellSum > 0 ? q[1].sx / q[1].RelCellSum : 0.0;
            storage[static_cast<std::size_t>(s)] = soilrunoff::StorageOutflow(in, storage[static_cast<std::size_t>(s)], f);
            for (int z = 1; z < kZones; ++z) q[static_cast<std::size_t>(z)] = q[static_cast<std::size_t>(z + 1)];
            q[kZones] = zoneFZT{};
        }
    }
};

void BM_SoilStep(benchmark::State& state) {
    const bool wet = state.range(0) == 1;
    const int threads = static_cast<int>(state.range(1));
    const bool heat = state.range(2) == 1;
    omp_set_num_threads(threads);
    Grid grid(wet, heat);
    double substeps = 0, serial = 0, total = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        substeps += grid.Pass();
        const auto t1 = std::chrono::steady_clock::now();
        grid.Runoff();
        const auto t2 = std::chrono::steady_clock::now();
        serial += std::chrono::duration<double>(t2 - t1).count();
        total += std::chrono::duration<double>(t2 - t0).count();
    }
    state.counters["cell_substeps"] = benchmark::Counter(substeps, benchmark::Counter::kIsRate);
    state.counters["per_thread"] = benchmark::Counter(substeps / threads, benchmark::Counter::kIsRate);
    state.counters["serial_share"] = total > 0 ? serial / total : 0.0;
    state.SetLabel(std::string(wet ? "wet" : "dry") + (heat ? ", heat" : ""));
}
// Heat transfer's cost per cell-substep is the heat variant's rate against the same run without.
BENCHMARK(BM_SoilStep)
    ->ArgsProduct({{0, 1}, {1, 2, 4, 8}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

constexpr int kVariedSide = 200, kVariedLayers = 10, kRepeats = 8;

soil_entry VariedSoil(int kind) {
    soilcolumn_test::SoilLayout def;
    def.layers = kVariedLayers;
    switch (kind) {
        case 0:  // sand
            def.ksat = 8.25e-5, def.thetaSat = 0.43, def.thetaRes = 0.045, def.alpha = 14.5, def.n = 2.68;
            break;
        case 1:  // loam: the layout's defaults
            break;
        case 2:  // silt
            def.ksat = 6.94e-7, def.thetaSat = 0.46, def.thetaRes = 0.034, def.alpha = 1.6, def.n = 1.37;
            break;
        default:  // clay
            def.ksat = 5.56e-7, def.thetaSat = 0.38, def.thetaRes = 0.068, def.alpha = 0.8, def.n = 1.09;
            break;
    }
    return soilcolumn_test::MakeSoil(def);
}

struct VariedCells {
    std::vector<soil_entry> soils;
    std::vector<int> soilOf, tableLayer0;
    std::vector<double> theta0, tableDistance0, thetaGw0;
    std::vector<char> raining;
    std::vector<double> theta, tableDistance, thetaGw, pond;
    std::vector<int> tableLayer;
    soilstep::StepSettings set;
    soilstep::CellForcing rain, dry;
    soilstep::CellWork work{kVariedLayers};
    std::size_t cells = static_cast<std::size_t>(kVariedSide) * kVariedSide;

    VariedCells() {
        for (int k = 0; k < 4; ++k) soils.push_back(VariedSoil(k));
        std::mt19937 gen(49);
        std::uniform_int_distribution<int> kind(0, 3), table(6, kVariedLayers);
        std::uniform_real_distribution<double> share(0.55, 1.0);
        theta0.resize(cells * (kVariedLayers + 1));
        for (std::size_t i = 0; i < cells; ++i) {
            const int k = kind(gen);
            const soil_entry& soil = soils[static_cast<std::size_t>(k)];
            const int g = table(gen);
            const bool wet = gen() % 2 == 0;
            const double f = wet ? 1.0 : share(gen);
            soilOf.push_back(k);
            tableLayer0.push_back(g);
            tableDistance0.push_back(-0.1 * g + 0.05);
            raining.push_back(static_cast<char>(gen() % 3 == 0));
            for (int l = 1; l <= kVariedLayers; ++l) {
                const double above = 0.1 * (g - l) + 0.05;  // m above the table
                theta0[i * (kVariedLayers + 1) + static_cast<std::size_t>(l)] =
                    l >= g ? soil.theta_sat[1] : soil.ThetaFromSuction(l, above) * f;
            }
            soilcolumn::ColumnState col(kVariedLayers);
            col.SetSoil(soil, 100.0);
            thetaGw0.push_back(col.fieldCapacity[static_cast<std::size_t>(g)]);
        }
        for (soilstep::CellForcing* fc : {&rain, &dry}) {
            fc->waterInput = fc == &rain ? 2.0 : 0.0;
            fc->Q0 = 1.0;
            fc->kelsqlat = 1.0;
            fc->vegetationLayers = 1;
            fc->veg[1].present = true;
            fc->veg[1].par = soilcolumn::RootParameters{0, 30.0, 0.95, 0.5};
            fc->veg[1].transpiration = 0.2;
            fc->veg[1].rootDepth = 0.4;
            fc->veg[1].coverage = 0.8;
            fc->potentialEvaporation = 0.05;
        }
        Reset();
    }

    void Reset() {
        theta = theta0;
        tableDistance = tableDistance0;
        thetaGw = thetaGw0;
        tableLayer = tableLayer0;
        pond.assign(cells, 0.0);
    }

    void ResetCell(std::size_t i) {
        const std::size_t at = i * (kVariedLayers + 1);
        std::copy(theta0.begin() + static_cast<std::ptrdiff_t>(at),
                  theta0.begin() + static_cast<std::ptrdiff_t>(at + kVariedLayers + 1),
                  theta.begin() + static_cast<std::ptrdiff_t>(at));
        tableDistance[i] = tableDistance0[i];
        thetaGw[i] = thetaGw0[i];
        tableLayer[i] = tableLayer0[i];
        pond[i] = 0.0;
    }

    // One call of the column of cell i, as the model's pass makes it; returns its sub-steps.
    double Step(std::size_t i) {
        return StepOneCell(soils[static_cast<std::size_t>(soilOf[i])], work, set, raining[i] ? rain : dry,
                           &theta[i * (kVariedLayers + 1)], tableLayer[i], tableDistance[i], pond[i], thetaGw[i])
            .substeps;
    }
};

// Seconds per cell-substep of the grid pass, for the ratio reported by the column pass.
double& GridPassCost() {
    static double cost = 0;
    return cost;
}

// Arg 0: the grid pass (every cell once, cell after cell); 1: the column pass (each cell
// kRepeats times in a row from its start state).
void BM_SoilStepVaried(benchmark::State& state) {
    const bool columns = state.range(0) == 1;
    VariedCells v;
    double substeps = 0, seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        v.Reset();
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        if (columns) {
            for (std::size_t i = 0; i < v.cells; ++i)
                for (int k = 0; k < kRepeats; ++k) {
                    v.ResetCell(i);
                    substeps += v.Step(i);
                }
        } else {
            for (int k = 0; k < kRepeats; ++k) {
                for (std::size_t i = 0; i < v.cells; ++i) substeps += v.Step(i);
                // Every round starts from the start state, as the column pass does.
                if (k + 1 < kRepeats) v.Reset();
            }
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    state.counters["cell_substeps"] = benchmark::Counter(substeps, benchmark::Counter::kIsRate);
    const double cost = substeps > 0 ? seconds / substeps : 0.0;
    if (!columns) GridPassCost() = cost;
    if (columns && cost > 0 && GridPassCost() > 0) state.counters["grid_over_column_cost"] = GridPassCost() / cost;
    state.SetLabel(columns ? "varied cells, column after column" : "varied cells, grid pass");
}
BENCHMARK(BM_SoilStepVaried)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
