// The column call with its memos (conductivities, mineral factors and freezing offsets kept
// between sub-steps) gives bit for bit what the plain computation gives, over cells that differ in
// soil, water and temperature and share one thread's work arrays, as the soil model's pass runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "soilcolumn_fixture.hpp"
#include "soil/unsatzon_step_column.hpp"

namespace {

using soilcolumn_test::MakeSoil;
using soilcolumn_test::SoilLayout;
using namespace soilstep;

constexpr int kLayers = 10;

soil_entry HeatSoil(const SoilLayout& def, double lamDry) {
    soil_entry s = MakeSoil(def);
    const std::size_t size = static_cast<std::size_t>(def.layers) + 1;
    s.DryDensity.assign(size, 1500.0);
    s.DryHeatCapacity.assign(size, 800.0);
    s.DryThermalConduct.assign(size, lamDry);
    for (auto* table : {&s.unfrozenSaturation, &s.unfrozenDerivative, &s.freezingOffset}) table->assign(size, {});
    for (int k = 1; k <= def.layers; ++k) s.ComputeFreezingTables(k, 1.22);
    return s;
}

// One cell's state between calls, as the model's grids hold it.
struct CellState {
    const soil_entry* soil = nullptr;
    std::vector<double> theta, T;
    int tableLayer = 1;
    double tableDistance = 0, pond = 0, thetaGw = 0, air = 0, rain = 0;
};

CellResult Call(CellWork& w, CellState& c, const StepSettings& set) {
    const std::size_t size = static_cast<std::size_t>(kLayers) + 1;
    w.col.SetSoil(*c.soil, 100.0);
    std::copy(c.theta.begin(), c.theta.end(), w.col.theta.begin());
    std::copy(c.T.begin(), c.T.end(), w.T.begin());
    CellValues cell;
    cell.tableLayer = c.tableLayer;
    cell.tableDistance = c.tableDistance;
    cell.channelDensity = 0.002;
    cell.tanBeta = 0.2;
    cell.cellsize = 100;
    CellForcing f;
    f.waterInput = c.rain;
    f.Q0 = 0.5;
    f.kelsqlat = 1.0;
    f.airTemperature = c.air;
    f.lowerTemperature = 2.0;
    const CellResult r = StepCell(*c.soil, w, cell, set, f, c.pond, c.thetaGw);
    std::copy(w.col.theta.begin(), w.col.theta.begin() + static_cast<std::ptrdiff_t>(size), c.theta.begin());
    std::copy(w.T.begin(), w.T.begin() + static_cast<std::ptrdiff_t>(size), c.T.begin());
    c.tableLayer = r.tableLayer;
    c.tableDistance = r.tableDistance;
    return r;
}

std::uint64_t Bits(double v) { return std::bit_cast<std::uint64_t>(v); }

TEST(ColumnMemos, GiveThePlainResultsOnVariedCellsSharingTheirWork) {
    // Loam, sand, silt and clay, each with its own dry conductivity.
    SoilLayout loam, sand, silt, clay;
    sand.thetaSat = 0.38, sand.thetaRes = 0.05, sand.alpha = 14.5, sand.n = 2.68, sand.ksat = 8e-5;
    silt.thetaSat = 0.46, silt.thetaRes = 0.034, silt.alpha = 1.6, silt.n = 1.37, silt.ksat = 7e-7;
    clay.thetaSat = 0.38, clay.thetaRes = 0.068, clay.alpha = 0.8, clay.n = 1.09, clay.ksat = 5.6e-7;
    std::vector<soil_entry> soils;
    for (const auto& [def, lam] : {std::pair{loam, 1.2}, {sand, 2.5}, {silt, 0.9}, {clay, 1.2}})
        soils.push_back(HeatSoil(def, lam));
    // Loam again with another dry conductivity, and that with a larger porosity but the same
    // tables: equal water contents, other conductivities.
    soils.insert(soils.begin() + 1, 2, soils[0]);
    for (soil_entry* s : {&soils[1], &soils[2]}) s->DryThermalConduct.assign(kLayers + 1, 2.0);
    for (double& t : soils[2].theta_sat) t += 0.02;
    // Temperature profiles: frozen top over a warm bottom, below the freezing tables' end,
    // around 0, warm; wet (shallow table, rain) and dry columns.
    const std::vector<std::vector<double>> profiles{{-6, -4, -2.5, -1, -0.2, 0.5, 1, 1.5, 2, 2.5},
                                                    {-12, -11, -10.5, -9, -7, -5, -3, -1, 0.5, 1},
                                                    {-0.3, -0.1, 0.0, 0.1, -0.05, 0.2, 0.3, -0.4, 0.5, 0.6},
                                                    {5, 4.5, 4, 3.5, 3, 3, 3, 2.5, 2.5, 2}};
    std::vector<CellState> cells;
    // Cells by wetness, soil and temperatures. The pass takes them in two orders: neighbours of
    // one soil and wetness with other temperatures (and heat sub-steps), and neighbours of one
    // wetness and temperatures with other soils.
    for (const double tableDepth : {0.35, 3.0})
        for (const soil_entry& soil : soils)
            for (const auto& profile : profiles) {
                CellState c;
                c.soil = &soil;
                ColumnState col(kLayers);
                col.SetSoil(soil, 100.0);
                c.theta.assign(kLayers + 1, 0.0);
                c.T.assign(kLayers + 1, 0.0);
                for (int i = 1; i <= kLayers; ++i) {
                    const std::size_t l = static_cast<std::size_t>(i);
                    const double zm = (col.z[l - 1] + col.z[l]) / 2, zt = 100.0 - tableDepth;
                    c.theta[l] = zm <= zt ? soil.theta_sat[l] : soil.ThetaFromSuction(i, zm - zt);
                    c.T[l] = profile[l - 1];
                }
                c.tableLayer = TableLayerOf(soil, col);
                c.tableDistance = -tableDepth;
                c.thetaGw = soil.ThetaFromSuction(kLayers, soilcolumn::kFieldCapacitySuction);
                c.air = profile[0] - 1.0;
                c.rain = tableDepth < 1 ? 3.0 : 0.0;
                cells.push_back(c);
            }
    // Explicit, implicit, implicit with the heat the water carries.
    for (const int method : {10, 11, 12}) {
        StepSettings set;
        set.heat.method = method;
        set.heat.longest = 600;
        std::vector<CellState> memo = cells, plain = cells;
        // The plain side takes a fresh work for every cell: no memo and no look-up hint (brackets
        // of the flux pass's look-ups) is carried over from other cells or steps.
        CellWork memoWork(kLayers);
        const std::size_t S = soils.size(), P = profiles.size();
        for (int step = 0; step < 4; ++step)
            for (std::size_t j = 0; j < cells.size(); ++j) {
                const std::size_t i = step % 2 == 1 ? j : j / (S * P) * S * P + j % S * P + j % (S * P) / S;
                // Rain every other step, and the air crossing 0.
                memo[i].rain = plain[i].rain = step % 2 == 0 ? cells[i].rain : 0.0;
                memo[i].air = plain[i].air = cells[i].air + 2.0 * step;
                CellWork plainWork(kLayers);
                plainWork.memos = false;
                const CellResult a = Call(memoWork, memo[i], set), b = Call(plainWork, plain[i], set);
                const std::string where = "method " + std::to_string(method) + ", step " + std::to_string(step) +
                                          ", cell " + std::to_string(i);
                for (const auto& [x, y] : {std::pair{a.directflow, b.directflow}, {a.interflow, b.interflow},
                                           {a.baseflow, b.baseflow}, {a.recharge, b.recharge},
                                           {a.totalInfiltration, b.totalInfiltration}, {a.macropore, b.macropore},
                                           {a.sb2, b.sb2}, {a.tableDistance, b.tableDistance},
                                           {a.thetaAtTable, b.thetaAtTable}, {a.topFlux, b.topFlux}})
                    EXPECT_EQ(Bits(x), Bits(y)) << where;
                EXPECT_EQ(a.heatSubsteps, b.heatSubsteps) << where;
                for (std::size_t l = 1; l < memo[i].T.size(); ++l) {
                    EXPECT_EQ(Bits(memo[i].theta[l]), Bits(plain[i].theta[l])) << where << ", layer " << l;
                    ASSERT_EQ(Bits(memo[i].T[l]), Bits(plain[i].T[l])) << where << ", layer " << l;
                }
            }
        // The columns froze and thawed: the memos met changing layers.
        int frozen = 0;
        for (const CellState& c : memo)
            frozen += static_cast<int>(std::count_if(c.T.begin() + 1, c.T.end(), [](double t) { return t < 0; }));
        EXPECT_GT(frozen, 0);
    }
}

}  // namespace
