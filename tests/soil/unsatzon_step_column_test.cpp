// Water balance and steady-state physics of one cell's soil column over whole calls.
#include <gtest/gtest.h>

#include <cmath>

#include "soilcolumn_fixture.hpp"
#include "soil/soilheat.hpp"
#include "soil/unsatzon_step_column.hpp"

namespace {

using soilcolumn_test::MakeSoil;
using soilcolumn_test::SoilLayout;
using namespace soilstep;

struct Cell {
    soil_entry soil;
    CellWork work;
    CellValues values;
    double pond = 0, thetaGw = 0;

    Cell(const SoilLayout& def, double tableDepth) : soil(MakeSoil(def)), work(def.layers) {
        ColumnState& col = work.col;
        col.SetSoil(soil, 100.0);
        const double zt = 100.0 - tableDepth;
        for (int i = 1; i <= col.n; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            const double zm = (col.z[l - 1] + col.z[l]) / 2;
            col.theta[l] = zm <= zt ? soil.theta_sat[l] : soil.ThetaFromSuction(i, zm - zt);
        }
        values.tableLayer = TableLayerOf(soil, col);
        values.tableDistance = -tableDepth;
        values.cellsize = 100;
        thetaGw = col.fieldCapacity[static_cast<std::size_t>(values.tableLayer)];
    }
    double Stored() const { return StoredWater(soil, work.col); }
};

double Out(const CellResult& r, int V) {
    double s = r.evaporation + r.directflow + r.interflow + r.baseflow;
    for (int j = 0; j <= V; ++j) s += r.transpiration[static_cast<std::size_t>(j)];
    return s;
}
double Magnitude(const CellResult& r, double input, double dS, int V) {
    double s = std::fabs(input) + std::fabs(r.evaporation) + std::fabs(r.directflow) + std::fabs(r.interflow) +
               std::fabs(r.baseflow) + std::fabs(dS);
    for (int j = 0; j <= V; ++j) s += std::fabs(r.transpiration[static_cast<std::size_t>(j)]);
    return s;
}

struct BalanceCase {
    const char* name;
    double input;   // mm per step
    double Q0;      // mm per step
    double transp;  // mm per step
    double tableDepth;
    int method;
    int N;
    double siltedUp;
    bool ponding;
};

class CellBalance : public ::testing::TestWithParam<BalanceCase> {};

TEST_P(CellBalance, InputEqualsOutputsPlusStorageChangeEveryCall) {
    const BalanceCase& bc = GetParam();
    SoilLayout def;
    def.layers = 20;
    Cell cell(def, bc.tableDepth);
    StepSettings set;
    set.method = bc.method;
    set.N = bc.N;
    set.dtMinutes = 60;
    CellForcing f;
    f.waterInput = bc.input;
    f.Q0 = bc.Q0;
    f.kelsqlat = 1.0;
    f.hasSiltedUp = bc.siltedUp > 0;
    f.siltedUp = bc.siltedUp;
    f.ponding = bc.ponding;
    f.maxPonding = 5.0;
    f.vegetationLayers = 1;
    f.veg[1].present = bc.transp > 0;
    f.veg[1].par = soilcolumn::RootParameters{0, 30.0, 0.95, 0.5};
    f.veg[1].transpiration = bc.transp;
    f.veg[1].rootDepth = 0.5;
    f.veg[1].coverage = 0.8;
    f.potentialEvaporation = bc.transp * 0.3;
    for (int step = 0; step < 24 * bc.N; ++step) {
        const double before = cell.Stored() * 1000.0 + cell.pond;
        const CellResult r = StepCell(cell.soil, cell.work, cell.values, set, f, cell.pond, cell.thetaGw);
        const double dS = cell.Stored() * 1000.0 + cell.pond - before;
        const double in = (bc.input + (f.hasSiltedUp ? bc.siltedUp * bc.N : 0)) / bc.N;
        const double residual = in - Out(r, 1) - dS;
        EXPECT_LE(std::fabs(residual), 1e-9 * Magnitude(r, in, dS, 1)) << bc.name << " step " << step;
        EXPECT_GE(r.directflow, -1e-12);
        EXPECT_GE(r.totalInfiltration, 0.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CellBalance,
                         ::testing::Values(BalanceCase{"rain", 2.0, 1.0, 0.0, 1.5, 2, 1, 0, false},
                                           BalanceCase{"storm", 40.0, 1.0, 0.0, 0.6, 2, 1, 0, false},
                                           BalanceCase{"dry roots", 0.0, 0.5, 0.3, 1.2, 2, 1, 0, false},
                                           BalanceCase{"two inner steps", 3.0, 1.0, 0.2, 1.0, 2, 2, 0, false},
                                           BalanceCase{"dynamic steps", 5.0, 1.0, 0.2, 1.0, 3, 1, 0, false},
                                           BalanceCase{"silted up", 1.0, 1.0, 0.3, 1.0, 2, 1, 0.5, false},
                                           BalanceCase{"ponding", 30.0, 1.0, 0.1, 0.4, 2, 1, 0, true},
                                           BalanceCase{"rising table", 1.0, -2.0, 0.0, 1.5, 2, 1, 0, false}),
                         [](const auto& info) {
                             std::string s = info.param.name;
                             for (char& c : s)
                                 if (c == ' ') c = '_';
                             return s;
                         });

TEST(CellBaseflow, RateFollowsTheTableDistance) {
    SoilLayout def;
    Cell cell(def, 0.6);
    cell.values.tableDistance = -0.6;
    StepSettings set;
    CellForcing f;
    f.Q0 = 1.0;
    f.kelsqlat = 1.0 / 0.5;  // held as reciprocal
    // The table layer holds far more than needed above field capacity: all is taken.
    for (int i = 1; i <= cell.work.col.n; ++i) cell.work.col.theta[static_cast<std::size_t>(i)] = 0.42;
    cell.values.tableLayer = cell.work.col.n;
    const CellResult r = StepCell(cell.soil, cell.work, cell.values, set, f, cell.pond, cell.thetaGw);
    EXPECT_NEAR(r.baseflow, 0.301194, 1e-6);
}

TEST(CellSnow, BypassOnlyAboveTenMillimetres) {
    for (double snow : {10.0, 10.5}) {
        SoilLayout def;
        Cell cell(def, 0.8);
        StepSettings set;
        CellForcing f;
        f.waterInput = 1.0;
        f.hasSnow = true;
        f.snow = snow;
        f.snowRunoffShare = 0.4;
        const CellResult r = StepCell(cell.soil, cell.work, cell.values, set, f, cell.pond, cell.thetaGw);
        if (snow > 10.0)
            EXPECT_GE(r.directflow, 0.4 - 1e-9);
        else
            EXPECT_LT(r.directflow, 0.4 - 1e-6);
    }
}

TEST(CellSubsteps, MethodThreeIsShortUnderRainAndLongWhenDry) {
    SoilLayout def;
    Cell cell(def, 0.8);
    StepSettings set;
    set.method = 3;
    const int wet = SubstepCount(cell.soil, cell.work.col, set, cell.values.tableLayer, 1.0);
    const int dry = SubstepCount(cell.soil, cell.work.col, set, cell.values.tableLayer, 0.0);
    // Under rain K_r = 1: t = d / K_s = 0.1 / 2.89e-6 s.
    EXPECT_EQ(wet, static_cast<int>(std::ceil(3600.0 / (0.1 / 2.89e-6))));
    EXPECT_LE(dry, wet);
    set.minStep = 3600;
    EXPECT_EQ(SubstepCount(cell.soil, cell.work.col, set, cell.values.tableLayer, 1.0), 1);
    set.method = 2;
    EXPECT_EQ(SubstepCount(cell.soil, cell.work.col, set, cell.values.tableLayer, 1.0), 1);
}

// Steady rain on a deep loam column whose table is held by the base flow: the upper part
// drains at unit gradient, so its conductivity equals the rain rate, and what leaves equals
// what falls.
TEST(CellSteadyRain, UpperProfileReachesUnitGradientWaterContent) {
    SoilLayout def;
    def.layers = 50;
    def.ksat = 2.889e-6;
    Cell cell(def, 3.3);
    StepSettings set;
    CellForcing f;
    const double R = 1e-7;
    f.waterInput = R * 3600 * 1000;  // mm per hourly step
    f.Q0 = 10.0;
    f.kelsqlat = 1.0;
    CellResult r;
    double outSum = 0;
    const int days = 400;
    for (int step = 0; step < days * 24; ++step) {
        r = StepCell(cell.soil, cell.work, cell.values, set, f, cell.pond, cell.thetaGw);
        if (step >= (days - 10) * 24) outSum += r.baseflow + r.directflow + r.interflow;
    }
    const double Kr = R / def.ksat;
    // Relative saturation with K_r(Se) = sqrt(Se) (1 - (1 - Se^(1/m))^m)^2 = R / Ks.
    const double m = 1 - 1 / 1.56;
    auto kr = [&](double se) { return std::sqrt(se) * std::pow(1 - std::pow(1 - std::pow(se, 1 / m), m), 2); };
    double lo = 1e-6, hi = 1;
    for (int i = 0; i < 100; ++i) ((kr(0.5 * (lo + hi)) < Kr) ? lo : hi) = 0.5 * (lo + hi);
    const double thetaStar = 0.078 + 0.5 * (lo + hi) * (0.43 - 0.078);
    EXPECT_NEAR(thetaStar, 0.345, 0.01);
    for (int i = 1; i <= 20; ++i) {
        const double th = cell.work.col.theta[static_cast<std::size_t>(i)];
        EXPECT_NEAR(th, thetaStar, 0.01) << "layer " << i;
    }
    EXPECT_NEAR(outSum / (10 * 24), f.waterInput, 0.01 * f.waterInput);
    EXPECT_NEAR(r.tableDistance, -3.3, 0.3);
}

}  // namespace

namespace {

// An amount tracer in the rain: what enters is found in the column or left with the runoff.
TEST(CellTracer, AmountTracerIsConservedWithTheWater) {
    SoilLayout def;
    def.layers = 20;
    Cell cell(def, 1.0);
    StepSettings set;
    CellForcing f;
    f.waterInput = 6.0;
    f.Q0 = 2.0;
    f.kelsqlat = 1.0;
    f.tracerCount = 1;
    f.inputConcentration[0] = 0.5;  // amount per mm of water
    std::vector<double> value(21, 0.0), old(21, 0.0);
    for (int i = 1; i <= 20; ++i) value[static_cast<std::size_t>(i)] = 0.01 * i;
    soilcolumn::TracerColumn tr;
    tr.par.mass = true;
    tr.par.maxValue = 1e9;
    tr.value = value.data();
    tr.old = old.data();
    CellTracers tracers{&tr, nullptr, 1, 1};
    auto total = [&] {
        double s = 0;
        for (double v : value) s += v;
        return s;
    };
    for (int step = 0; step < 12; ++step) {
        f.waterInput = step < 6 ? 6.0 : 0.0;
        const double before = total();
        const CellResult r = StepCell(cell.soil, cell.work, cell.values, set, f, cell.pond, cell.thetaGw, {}, tracers);
        const double in = f.waterInput * 0.5;
        const double out = r.tracerDirect[0] + r.tracerInterflow[0] + r.tracerBaseflow[0];
        EXPECT_NEAR(in, out + total() - before, 1e-9 * (in + before)) << step;
        for (double v : value) EXPECT_GE(v, -1e-12);
    }
}

}  // namespace

namespace {

TEST(CellSurfaceWater, SiltedUpWaterServesTranspirationFirst) {
    SoilLayout def;
    Cell cell(def, 0.8);
    StepSettings set;
    CellForcing f;
    f.vegetationLayers = 1;
    f.veg[1].present = true;
    f.veg[1].par = soilcolumn::RootParameters{0, 30.0, 0.95, 0.5};
    f.veg[1].transpiration = 0.3;
    f.veg[1].rootDepth = 0.4;
    f.veg[1].coverage = 0.8;
    f.hasSiltedUp = true;
    struct Case {
        double silted, fromSurface;
    };
    for (const Case& c : {Case{0.5, 0.3}, Case{0.1, 0.1}}) {
        f.siltedUp = c.silted;
        const CellResult r = StepCell(cell.soil, cell.work, cell.values, set, f, cell.pond, cell.thetaGw);
        // The surface water covers the demand up to what it holds; the roots take the rest.
        EXPECT_GE(r.transpiration[1], c.fromSurface - 1e-12);
        EXPECT_LE(r.transpiration[1], 0.3 + 1e-12);
        if (c.silted >= 0.3) {
            EXPECT_NEAR(r.transpiration[1], 0.3, 1e-12);
        }
    }
}

// Base flow Q0 x exp(distance) and one vegetation layer of 90 % cover with roots to rootDepth m.
CellForcing BaseFlowAndRoots(double q0, double rootDepth) {
    CellForcing f;
    f.Q0 = q0;
    f.kelsqlat = 1.0;
    f.vegetationLayers = 1;
    f.veg[1].present = true;
    f.veg[1].par = soilcolumn::RootParameters{0, 30.0, 0.95, 0.5};
    f.veg[1].rootDepth = rootDepth;
    f.veg[1].coverage = 0.9;
    return f;
}

TEST(CellTable, RechargeSplitsIntoPercolationAndCapillaryRise) {
    SoilLayout def;
    def.layers = 20;
    Cell cell(def, 1.2);
    StepSettings set;
    CellForcing f = BaseFlowAndRoots(1.0, 0.6);
    for (int step = 0; step < 48; ++step) {
        f.waterInput = step % 12 < 3 ? 8.0 : 0.0;
        f.veg[1].transpiration = step % 12 < 3 ? 0.0 : 0.4;
        const CellResult r = StepCell(cell.soil, cell.work, cell.values, set, f, cell.pond, cell.thetaGw);
        EXPECT_GE(r.percolation, 0.0);
        EXPECT_LE(r.uprise, 0.0);
        EXPECT_DOUBLE_EQ(r.recharge, r.percolation + r.uprise);
        EXPECT_LE(r.tableDistance, 0.0);
        EXPECT_GE(r.tableLayer, 1);
        EXPECT_LE(r.tableLayer, 20);
    }
}

TEST(CellTable, TheWaterAtTheTableFallsByAllTheTableLayerGives) {
    // Roots reach below the table and base flow is drawn from the table layer: the water content
    // at the table falls by the layer's net outflow, which counts the roots' uptake and the base
    // flow drawn from it besides the fluxes through its faces, interflow and the inflow from below.
    SoilLayout def;
    def.layers = 20;
    Cell cell(def, 0.35);
    StepSettings set;  // one sub-step of an hour
    CellForcing f = BaseFlowAndRoots(2.0, 0.8);
    f.veg[1].transpiration = 0.5;
    cell.thetaGw = cell.soil.theta_sat[static_cast<std::size_t>(cell.values.tableLayer)] - 0.01;
    const double before = cell.thetaGw;
    const CellResult r = StepCell(cell.soil, cell.work, cell.values, set, f, cell.pond, cell.thetaGw);
    const ColumnState& col = cell.work.col;
    const std::size_t g = static_cast<std::size_t>(cell.values.tableLayer);
    ASSERT_GT(cell.work.uptakeSum[g], 0.0) << "the roots draw on the table layer " << g;
    ASSERT_GT(cell.work.w[g], 0.0) << "base flow comes from the table layer " << g;
    const double faces = col.q[g - 1] - col.q[g] + col.e[g] + col.rOut[g] - col.rIn[g] - cell.work.p[g];
    const double outflow = faces + cell.work.uptakeSum[g] + cell.work.w[g];
    ASSERT_GT(outflow, 0.0);
    const double expected = std::max(before - outflow * 3600.0 / cell.soil.thickness[g], col.fieldCapacity[g]);
    EXPECT_NEAR(r.thetaAtTable, expected, 1e-12) << "without roots and base flow: "
                                                 << before - faces * 3600.0 / cell.soil.thickness[g];

    // Lowering stops at field capacity; a water content already below it (a cold start takes
    // that of the layer above the table) is neither lowered nor raised.
    Cell low(def, 0.35);
    low.thetaGw = 0.5 * cell.work.col.fieldCapacity[g];
    const double start = low.thetaGw;
    const CellResult q = StepCell(low.soil, low.work, low.values, set, f, low.pond, low.thetaGw);
    ASSERT_EQ(low.values.tableLayer, cell.values.tableLayer);
    EXPECT_EQ(q.thetaAtTable, start);
}

}  // namespace

// A layer's conductivity is taken over from the previous call only when every argument is the
// same: a changed water content, a layer that freezes, another soil or another ice conductivity
// give the freshly computed value.
TEST(CellHeat, ConductivityFollowsEveryChangedArgument) {
    SoilLayout def;
    def.layers = 8;
    Cell cell(def, 1.5);
    soil_entry other = MakeSoil(def);
    const std::size_t size = static_cast<std::size_t>(def.layers) + 1;
    for (soil_entry* s : {&cell.soil, &other}) {
        s->DryDensity.assign(size, 1500.0);
        s->DryHeatCapacity.assign(size, 840.0);
        s->DryThermalConduct.assign(size, s == &other ? 2.1 : 1.2);
        for (auto* table : {&s->unfrozenSaturation, &s->unfrozenDerivative, &s->freezingOffset}) table->assign(size, {});
    }
    for (int k = 1; k <= def.layers; ++k) cell.soil.ComputeFreezingTables(k, 1.0), other.ComputeFreezingTables(k, 1.0);
    CellWork& w = cell.work;
    HeatSettings heat;
    auto expectFresh = [&](const soil_entry& soil, const char* when) {
        HeatProperties(soil, w, heat);
        for (int k = 1; k <= w.col.n; ++k) {
            const std::size_t l = static_cast<std::size_t>(k);
            EXPECT_EQ(w.lambda[l], soilheat::Conductivity(soil.theta_sat[l], w.col.theta[l], w.unfrozen[l],
                                                          soil.DryThermalConduct[l], heat.lamWater, heat.lamIce))
                << when << ", layer " << k;
        }
    };
    for (int k = 1; k <= w.col.n; ++k) w.T[static_cast<std::size_t>(k)] = 4.0 - k;  // frozen below layer 3
    expectFresh(cell.soil, "first call");
    expectFresh(cell.soil, "same arguments");
    w.col.theta[2] *= 0.9;
    w.T[6] = 5.0;  // thaws
    w.T[1] = -3.0;  // freezes
    expectFresh(cell.soil, "water and temperatures changed");
    expectFresh(other, "another soil");
    heat.lamIce = 2.0;
    expectFresh(other, "another ice conductivity");
}
