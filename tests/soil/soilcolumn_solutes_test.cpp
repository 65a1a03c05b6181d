// Solute balance of the column: conservation of a mass tracer moved with the water, closed
// bottom, concentration rules, radioactive decay and the floating-point report.
#include <gtest/gtest.h>

#include <random>

#include "soilcolumn_fixture.hpp"

namespace {

using namespace soilcolumn_test;

struct Tracer {
    std::vector<double> value, old;
    TracerColumn column;
    Tracer(int n, bool mass) : value(static_cast<std::size_t>(n) + 1, 0.0), old(value.size(), 0.0) {
        column.par.mass = mass;
        column.par.maxValue = 1e9;
        column.value = value.data();
        column.old = old.data();
    }
};

double Sum(const std::vector<double>& v, int from) {
    double s = 0;
    for (std::size_t i = static_cast<std::size_t>(from); i < v.size(); ++i) s += v[i];
    return s;
}

// Rain carrying a mass tracer onto a column whose table lies above its bottom; the load that
// stays on the surface leaves with the direct flow.
double MassBalanceError(int layers, int saturatedFrom) {
    SoilLayout def;
    def.layers = layers;
    const soil_entry soil = MakeSoil(def);
    ColumnState col(layers);
    col.SetSoil(soil, 0);
    for (int i = 1; i <= layers; ++i)
        col.theta[static_cast<std::size_t>(i)] = i >= saturatedFrom ? def.thetaSat : 0.25 + 0.01 * i;
    CellValues cell;
    cell.dt = 900;
    cell.channelDensity = 0.003;
    cell.tanBeta = 0.5;
    DriverWork work(layers);
    Tracer t(layers, true);
    std::vector<double> zero(static_cast<std::size_t>(layers) + 1, 0.0);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0, 1);
    double input = 0, output = 0;
    FpeReport fpe;
    for (int s = 0; s < 300; ++s) {
        Forcing f;
        f.rain = u(rng) * 3 * def.ksat;
        const double load = f.rain * cell.dt * 1000 * 2.5;  // 2.5 units per mm
        t.value[0] += load;
        input += load;
        const Booked b = RunSubstep(soil, col, cell, SolverSettings{}, f, work);
        SoluteWater water;
        water.dt = cell.dt;
        water.factor = cell.dt * 1000;
        water.tableLayer = cell.tableLayer;
        water.p = zero.data();
        water.w = zero.data();
        water.directFlow = b.excess / cell.dt;
        water.interflowTotal = b.lateral / cell.dt;
        ColumnBalance(soil, col, water, &t.column, 1, 1, 1, fpe);
        output += t.column.interflow + t.column.baseflow + t.column.exfiltration + t.value[0];
        t.value[0] = 0;
    }
    EXPECT_GT(Sum(t.value, 1), 0.0);
    return std::fabs(Sum(t.value, 1) + output - input) / input;
}

TEST(SoilColumnSolutes, MassTracerInRainIsConserved) {
    EXPECT_LT(MassBalanceError(12, 9), 1e-12);  // transport ends above the bottom
    EXPECT_LT(MassBalanceError(6, 7), 1e-12);   // unsaturated to the bottom
    EXPECT_LT(MassBalanceError(1, 2), 1e-12);   // one layer: closed bottom
}

TEST(SoilColumnSolutes, ConcentrationRules) {
    const soil_entry soil = MakeSoil(SoilLayout{});
    ColumnState col(10);
    col.SetSoil(soil, 0);
    for (int i = 1; i <= 10; ++i) col.theta[static_cast<std::size_t>(i)] = 0.3;
    BeginSubstep(col);
    col.theta[2] = 0;  // emptied during the sub-step
    col.q[0] = -1e-6;
    col.theta[1] = 0.3 + 1e-6 * 600 / 0.1;  // the water that came in
    Tracer t(10, false);
    for (double& v : t.value) v = 4.0;
    std::vector<double> zero(11, 0.0);
    SoluteWater water;
    water.dt = 600;
    water.factor = 600000;
    water.tableLayer = 10;
    water.p = zero.data();
    water.w = zero.data();
    FpeReport fpe;
    ColumnBalance(soil, col, water, &t.column, 1, 3, 4, fpe);
    EXPECT_EQ(t.value[0], 4.0);  // surface store keeps its concentration
    EXPECT_EQ(t.value[2], 0.0);
    EXPECT_EQ(t.column.interflow, 0.0);  // no interflow water: concentration 0
    EXPECT_NEAR(t.value[1], 4.0, 1e-12);  // same concentration in and out
    EXPECT_FALSE(fpe.recorded);
}

TEST(SoilColumnSolutes, DecayAndFloatingPointReport) {
    EXPECT_DOUBLE_EQ(DecayFactor(1.0, 1440), 0.5);
    EXPECT_EQ(DecayFactor(-9999.0, 1440), 1.0);
    const soil_entry soil = MakeSoil(SoilLayout{});
    ColumnState col(10);
    col.SetSoil(soil, 0);
    for (int i = 1; i <= 10; ++i) col.theta[static_cast<std::size_t>(i)] = 0.43;
    BeginSubstep(col);
    Tracer t(10, false);
    t.column.par.decays = true;
    t.column.par.decayFactor = DecayFactor(1.0, 1440);
    for (double& v : t.value) v = 1.0;
    std::vector<double> zero(11, 0.0);
    SoluteWater water;
    water.dt = 86400;
    water.factor = 86400000;
    water.tableLayer = 1;
    water.p = zero.data();
    water.w = zero.data();
    FpeReport fpe;
    fpe.raised = true;
    for (int s = 0; s < 10; ++s) {
        ColumnBalance(soil, col, water, &t.column, 1, 7, 8, fpe);
        if (s == 0) {
            for (double v : t.value) EXPECT_DOUBLE_EQ(v, 0.5);
        }
    }
    for (double v : t.value) EXPECT_NEAR(v, std::pow(2.0, -10), 1e-15);
    // One report, the first layer's, kept for the caller to log once.
    EXPECT_TRUE(fpe.recorded);
    EXPECT_EQ(fpe.row, 7u);
    EXPECT_EQ(fpe.column, 8u);
    EXPECT_EQ(fpe.layer, 1u);
    EXPECT_EQ(fpe.tracer, 1u);
    // Of the reports of several threads the earliest cell is kept, whatever their order.
    FpeReport a, b, merged;
    a.recorded = b.recorded = true;
    a.row = 3;
    b.row = 2;
    b.column = 9;
    MergeFpeReports(merged, a);
    MergeFpeReports(merged, b);
    MergeFpeReports(merged, FpeReport{});
    EXPECT_EQ(merged.row, 2u);
    EXPECT_EQ(merged.column, 9u);
    FpeReport reversed;
    MergeFpeReports(reversed, b);
    MergeFpeReports(reversed, a);
    EXPECT_EQ(reversed.row, 2u);
}

}  // namespace

namespace {

// A still column (no water moves) of 10 layers of 0.1 m with the table in layer 8.
struct Still {
    soil_entry soil = MakeSoil(SoilLayout{});
    ColumnState col{10};
    std::vector<double> zero = std::vector<double>(11, 0.0);
    SoluteWater water;
    FpeReport fpe;
    Still() {
        col.SetSoil(soil, 0);
        for (int i = 1; i <= 10; ++i) col.theta[static_cast<std::size_t>(i)] = i >= 8 ? 0.43 : 0.3;
        BeginSubstep(col);
        water.dt = 1000;
        water.factor = 1e6;
        water.tableLayer = 8;
        water.p = zero.data();
        water.w = zero.data();
    }
};

TEST(SoilColumnSolutes, SaturatedLayersMixWithTheAquifer) {
    Still s;
    s.water.groundwaterActive = true;
    s.water.aquiferThickness = 1.5;  // 0.5 m below the profile
    Tracer mass(10, true), conc(10, false);
    for (int k = 8; k <= 10; ++k) {
        mass.value[static_cast<std::size_t>(k)] = k - 7.0;
        conc.value[static_cast<std::size_t>(k)] = k - 7.0;
    }
    mass.column.groundwater = conc.column.groundwater = 0.01;
    TracerColumn both[2] = {mass.column, conc.column};
    ColumnBalance(s.soil, s.col, s.water, both, 2, 1, 1, s.fpe);
    // Masses: the profile part and the aquifer keep their total and share one concentration.
    const double aquifer = 0.43 * 1000 * 0.5;
    EXPECT_NEAR(mass.value[8] + mass.value[9] + mass.value[10] + both[0].groundwater * aquifer,
                6.0 + 0.01 * aquifer, 1e-12);
    EXPECT_NEAR(mass.value[8] / (0.043 * 1000), both[0].groundwater, 1e-15);
    EXPECT_DOUBLE_EQ(mass.value[8], mass.value[10]);
    // Concentrations: water-weighted mean over layers and aquifer; the aquifer takes layer n's.
    const double mean = (0.043 * (1 + 2 + 3) + 0.01 * 0.43 * 0.5) / (3 * 0.043 + 0.43 * 0.5);
    for (int k = 8; k <= 10; ++k) EXPECT_NEAR(conc.value[static_cast<std::size_t>(k)], mean, 1e-14);
    EXPECT_EQ(both[1].groundwater, conc.value[10]);
    EXPECT_EQ(mass.value[7], 0.0);  // above the table nothing mixes
}

TEST(SoilColumnSolutes, OutflowsBeyondTheLayerWaterTakeTheRestFromAbove) {
    Still s;
    // Layer 2 holds 0.001 m of water; 0.004 m leave it laterally in the sub-step.
    s.col.thetaOld[2] = 0.01;
    s.col.theta[2] = 0;
    s.col.e[2] = 4e-6;
    s.water.interflowTotal = 4e-6;
    Tracer t(10, false);
    t.value[0] = t.value[1] = 2.0;
    t.value[2] = 6.0;
    ColumnBalance(s.soil, s.col, s.water, &t.column, 1, 1, 1, s.fpe);
    // A quarter with the layer's own concentration, the rest with the layer above's.
    EXPECT_NEAR(t.column.interflow, (1 * 6.0 + 3 * 2.0) / 4, 1e-12);
    EXPECT_EQ(t.value[2], 0.0);
    EXPECT_NEAR(t.value[1], 2.0, 1e-15);
}

TEST(SoilColumnSolutes, MassLeavingBeyondTheLayerWaterCarriesTheLayerAbovesConcentration) {
    // 3 mm flow from layer 1 (33 mm of water holding 3.3 mass units) into layer 2 (1 mm holding
    // 6), and 4 mm leave layer 2 laterally: layer 2 ends dry. A quarter of the lateral outflow is
    // layer 2's own water with all of its mass, the rest is water of layer 1 with layer 1's
    // concentration (0.1 per mm): layer 2 keeps no mass, and the column's mass is conserved.
    Still s;
    s.col.thetaOld[1] = 0.33;
    s.col.theta[1] = 0.3;
    s.col.q[1] = -3e-6;
    s.col.thetaOld[2] = 0.01;
    s.col.theta[2] = 0;
    s.col.e[2] = 4e-6;
    s.water.interflowTotal = 4e-6;
    Tracer t(10, true);
    t.value[1] = 3.3;
    t.value[2] = 6.0;
    ColumnBalance(s.soil, s.col, s.water, &t.column, 1, 1, 1, s.fpe);
    EXPECT_NEAR(t.value[1], 3.0, 1e-12);
    EXPECT_NEAR(t.column.interflow, 6.0 + 3 * 0.1, 1e-12);
    EXPECT_NEAR(t.value[2], 0.0, 1e-12);
    EXPECT_NEAR(t.value[1] + t.value[2] + t.column.interflow, 3.3 + 6.0, 1e-12);
}

}  // namespace
