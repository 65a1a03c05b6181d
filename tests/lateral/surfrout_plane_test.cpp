// Overland flow on planes: water balance of a closed tilted plane, the steady depth profile of
// kinematic flow on a long plane, and river cells that hand on what arrives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "surfrout_world.hpp"
#include "support/test_support.hpp"
#include "tables/multilayer_landuse.hpp"

using namespace surfrout_test;

namespace {

class SurfacePlane : public talvo_test::TempDirTest {};

struct Totals {
    double storage = 0;  // mm summed over cells
    double river = 0;
};

// One coupling pass as the soil model drives it: the water left on the surface comes back as
// direct flow with the new input; river cells' direct flow is what the river took.
Totals Pass(World& w, surfaceroutingclass& m, const std::function<double(int, int)>& input, double* riverTotal) {
    for (int r = 1; r <= w.def.nrows; ++r)
        for (int c = 1; c <= w.def.ncols; ++c)
            if (w.zone[r][c] != -9999) {
                (*w.directflow)[r][c] = (*w.storage)[r][c] + input(r, c);
                (*w.storage)[r][c] = 0;  // the soil model empties the store it takes in
            }
    m.run(1, 1, 6, 2020);
    Totals t;
    for (int r = 1; r <= w.def.nrows; ++r)
        for (int c = 1; c <= w.def.ncols; ++c) {
            if (w.zone[r][c] == -9999) continue;
            EXPECT_GE((*w.storage)[r][c], 0.0);
            t.storage += (*w.storage)[r][c];
            t.river += (*w.directflow)[r][c];
        }
    *riverTotal += t.river;
    return t;
}

}  // namespace

TEST_F(SurfacePlane, ClosedTiltedPlaneKeepsItsWater) {
    for (int method = 1; method <= 5; ++method) {
        WorldLayout def;
        def.nrows = 6;
        def.ncols = 12;
        // Tilted to the east and a little to the south, with a river in the last column.
        def.elevation = [](int r, int c) { return 100.0 - 0.2 * c - 0.05 * r + 0.01 * ((r * 7 + c * 3) % 5); };
        def.river = [](int, int c) { return c == 12; };
        World w(def);
        SectionSpec s;
        s.method = method;
        s.maxStep = 60;
        w.WriteControl(s);
        auto m = w.BuildReady();
        double river = 0, input = 0, created = 0;
        for (int pass = 0; pass < 4; ++pass) {
            const double mm = pass < 2 ? 5.0 : 0.0;
            input += mm * 6 * 12;
            const Totals t = Pass(w, *m, [&](int, int) { return mm; }, &river);
            created += m->clipped * 1000.0 / (10.0 * 10.0);  // m3 -> mm over one cell
            EXPECT_NEAR(t.storage + river, input + created, 1e-9 * input) << "method " << method << " pass " << pass;
        }
        EXPECT_GT(river, 0.0) << method;
    }
}

TEST_F(SurfacePlane, SteadyFlowOnALongPlane) {
    WorldLayout def;
    def.nrows = 3;
    def.ncols = 40;
    const double slope = 0.01, cs = 10;
    def.cellsize = cs;
    def.elevation = [=](int, int c) { return 100.0 - slope * cs * c; };
    def.river = [](int, int c) { return c == 40; };
    World w(def);
    SectionSpec s;
    s.method = 5;
    s.maxStep = 120;
    w.WriteControl(s);
    // Twelve coupling passes of 300 s per step: the input comes in small portions.
    auto m = w.BuildReady(12);
    const double i = 1.0 / 12;  // mm per pass
    double river = 0;
    Totals t;
    for (int pass = 0; pass < 480; ++pass) t = Pass(w, *m, [&](int, int) { return i; }, &river);
    // Once steady, the river takes the input of the whole plane in every pass.
    EXPECT_NEAR(t.river, i * 3 * 40, 0.01 * i * 3 * 40);
    // Kinematic wave: q = i x = 10 sqrt(S0) h^(5/3).
    const double rate = i / 1000.0 / 300.0;
    for (int c = 10; c < 40; ++c) {
        const double expected = std::pow(rate * c * cs / (10.0 * std::sqrt(slope)), 0.6);
        const double depth = (*w.storage)[2][c] / 1000.0;
        EXPECT_NEAR(depth / expected, 1.0, 0.05) << "column " << c;
    }
}

TEST_F(SurfacePlane, RiverCellsHandOnEverything) {
    WorldLayout def;
    def.nrows = 3;
    def.ncols = 3;
    def.elevation = [](int, int c) { return 10.0 - c; };
    def.river = [](int, int c) { return c == 2; };
    World w(def);
    SectionSpec s;
    s.maxStep = 3600;
    w.WriteControl(s);
    auto m = w.BuildReady();
    double river = 0;
    // Water on the river cells only: all of it leaves the surface in the same pass.
    const Totals t = Pass(w, *m, [](int, int c) { return c == 2 ? 4.0 : 0.0; }, &river);
    EXPECT_EQ(t.storage, 0.0);
    EXPECT_DOUBLE_EQ(t.river, 12.0);
    for (int r = 1; r <= 3; ++r) EXPECT_EQ((*m->qOut)[r][2], 0.0);
    // No water anywhere: one sub step of the longest allowed length.
    Pass(w, *m, [](int, int) { return 0.0; }, &river);
    EXPECT_DOUBLE_EQ(m->lastStep, 3600);
    EXPECT_EQ(m->lastSubSteps, 1);
}

TEST_F(SurfacePlane, OneWetCellHandWorked) {
    // 10 m cells; the centre holds 10 mm and its east neighbour lies 0.1 m lower, all others higher.
    for (double shortest : {0.0, 60.0}) {
        WorldLayout def;
        def.nrows = 3;
        def.ncols = 3;
        def.elevation = [](int r, int c) { return r == 2 && c == 2 ? 10.0 : (r == 2 && c == 3 ? 9.9 : 10.5); };
        World w(def);
        SectionSpec s;
        s.minStep = shortest;
        s.maxStep = 60;  // the 1 m3 of the cell allows 1/60 m3/s, more than the cell sends
        w.WriteControl(s);
        auto m = w.BuildReady();
        m->totalInput[2][2] = 0.01;
        (*w.storage)[2][2] = 10;
        double slope = 0, aspect = 0;
        int type = 0;
        m->ComputeSlopes(2, 2, &slope, &aspect, &type);
        EXPECT_EQ(type, 2);
        EXPECT_EQ(aspect, 90);
        m->ComputeFlowWeights(2, 2, &type, 0, slope, aspect);
        EXPECT_EQ(m->weights[2][2][3], 1.0);
        EXPECT_EQ(m->velocity[2][2][0], 3);
        EXPECT_DOUBLE_EQ(m->velocity[2][2][9], 10.01);
        m->ComputeVelocities(2, 2, 0, 0, type);
        const double v = shortest > 0 ? 10.0 / (20 * shortest) : 0.048681;
        EXPECT_NEAR(m->velocity[2][2][3], v, 1e-6);
        EXPECT_NEAR(m->fluxes[2][2][3], v * 10 * 0.01, 1e-7);
        EXPECT_EQ(m->fluxes[2][2][0], m->fluxes[2][2][3]);
        for (int d : {1, 2, 4, 5, 6, 7, 8}) EXPECT_EQ(m->fluxes[2][2][d], 0.0) << d;
        // The stable step is the cell length over that velocity.
        EXPECT_NEAR(m->StableSubTimeStep(), 10.0 / m->velocity[2][2][3], 1e-9);
        // With sub steps up to an hour the flux is what the cell holds over an hour.
        s.maxStep = 3600;
        w.WriteControl(s);
        auto hour = w.BuildReady();
        hour->totalInput[2][2] = 0.01;
        hour->ComputeFlowWeights(2, 2, &type, 0, slope, aspect);
        hour->ComputeVelocities(2, 2, 0, 0, type);
        EXPECT_NEAR(hour->velocity[2][2][3], v, 1e-6);
        EXPECT_DOUBLE_EQ(hour->fluxes[2][2][3], 100 * 0.01 / 3600);
    }
}

TEST_F(SurfacePlane, RoughnessFlowLimitsAndReuse) {
    // Method 1 on a cell falling east with a gentle side slope: shares over three neighbours.
    WorldLayout def;
    def.nrows = 3;
    def.ncols = 3;
    def.elevation = [](int r, int c) { return 10.0 - 0.5 * c - 0.2 * r; };
    World w(def);
    SectionSpec s;
    s.method = 1;
    s.maxStep = 600;
    w.WriteControl(s);
    auto m = w.BuildReady();
    m->totalInput[2][2] = 0.02;
    (*w.storage)[2][2] = 20;
    double slope = 0, aspect = 0;
    int type = 0;
    m->ComputeSlopes(2, 2, &slope, &aspect, &type);
    m->ComputeFlowWeights(2, 2, &type, 0, slope, aspect);
    m->ComputeVelocities(2, 2, 0, 0, type);
    const double* q = m->fluxes[2][2];
    const double* wt = m->weights[2][2];
    double sum = 0, q2last = 0;
    const double z = 10.0 - 0.5 * 2 - 0.2 * 2;
    for (int d = 1; d <= 8; ++d) {
        sum += q[d];
        if (wt[d] > 0) {
            const int rr = 2 + surfrout::kRowStep[d], cc = 2 + surfrout::kColStep[d];
            q2last = (z - (10.0 - 0.5 * cc - 0.2 * rr)) * wt[d] * 10 * 2 * 10 / 600.0;
        }
    }
    EXPECT_GT(sum, 0.0);
    // Never more than the cell holds in the longest sub step, nor than the last share's drop allows.
    EXPECT_LE(sum, std::min(100 * 0.02 / 600.0, q2last) * (1 + 1e-12));
    EXPECT_EQ(q[0], q[static_cast<int>(m->velocity[2][2][0])]);

    // Unchanged weights: between refresh sub steps the velocities are kept.
    m->ComputeFlowWeights(2, 2, &type, 1, slope, aspect);
    EXPECT_EQ(m->weights[2][2][0], 8);
    const double kept = m->velocity[2][2][3];
    m->totalInput[2][2] = 0.04;  // more water would change the velocity
    m->ComputeVelocities(2, 2, 2, 5, type);
    EXPECT_EQ(m->velocity[2][2][3], kept);
    m->ComputeVelocities(2, 2, 5, 5, type);  // a refresh sub step recomputes
    EXPECT_NE(m->velocity[2][2][3], kept);
}

TEST_F(SurfacePlane, ClosedRoughTerrainCreatesNoWater) {
    // Rough terrain with pits, a gap in the basin and a river: heavy rain on steep diagonal
    // slopes, where a cell's fluxes could take more than it holds within one sub step.
    for (int method = 1; method <= 5; ++method) {
        WorldLayout def;
        def.nrows = 12;
        def.ncols = 15;
        def.zone = [](int r, int c) { return (r == 6 && c >= 5 && c <= 7) ? -9999.0 : 1.0; };
        def.elevation = [](int r, int c) {
            const double noise = ((r * 37 + c * 61 + r * c * 13) % 17) * 0.35;
            const double pit = (r % 4 == 2 && c % 5 == 3) ? -3.0 : 0.0;
            return 100.0 - 0.4 * c - 0.3 * r + noise + pit;
        };
        def.river = [](int r, int c) { return c == 15 && r >= 4; };
        World w(def);
        SectionSpec s;
        s.method = method;
        s.maxStep = 600;
        w.WriteControl(s);
        auto m = w.BuildReady();
        double river = 0, input = 0, cells = 0;
        for (int r = 1; r <= def.nrows; ++r)
            for (int c = 1; c <= def.ncols; ++c) cells += w.zone[r][c] != -9999 ? 1 : 0;
        for (int pass = 0; pass < 6; ++pass) {
            const double mm = pass < 3 ? 20.0 : 0.0;
            input += mm * cells;
            const Totals t = Pass(w, *m, [&](int, int) { return mm; }, &river);
            // No outflow clip: at most rounding of the last bit of a drained cell.
            EXPECT_LE(m->clipped, 1e-12 * input * 0.1) << "method " << method << " pass " << pass;
            EXPECT_NEAR(t.storage + river, input, 1e-9 * input) << "method " << method << " pass " << pass;
        }
        EXPECT_GT(river, 0.0) << method;
    }
}

namespace {

// The centre cell of a 3 x 3 plane holds 100 mm and its east neighbour lies `drop` m lower; its
// land use routes with K_ST 10 and the given cultivation settings (`shape` may change the world
// before the model is built). One pass of a two-minute step: the water left in the centre cell
// (the plane keeps its water, none reaches a river).
// A land use of the table at position `position`: roughness K_ST and the given cultivation settings.
void ParseLanduse(World& w, int position, double kst, const std::string& cultivation) {
    w.landuse[static_cast<std::size_t>(position)].ParseLanduseBlock(
        *w.log,
        std::to_string(position) +
            " field method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3; "
            "JulDays = 1 366; Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; "
            "RootDepth = 0.5 0.5; AltDep = 0 0; SR_K_ST = " +
            std::to_string(kst) + "; " + cultivation + " }",
        "VariableDayCount");
}

double LeftInTheWetCell(const std::string& cultivation, double drop,
                        const std::function<void(World&)>& shape = nullptr, const SectionSpec& section = {}) {
    WorldLayout def;
    def.nrows = 3;
    def.ncols = 3;
    def.elevation = [drop](int r, int c) { return r == 2 && c == 2 ? 10.0 : (r == 2 && c == 3 ? 10.0 - drop : 10.5); };
    World w(def);
    ParseLanduse(w, 1, 10, cultivation);
    if (shape) shape(w);
    SectionSpec s = section;
    s.method = 1;
    s.maxStep = 600;
    s.timeStep = 2;
    w.WriteControl(s);
    auto m = w.BuildReady();
    double river = 0;
    const Totals t = Pass(w, *m, [](int r, int c) { return r == 2 && c == 2 ? 100.0 : 0.0; }, &river);
    EXPECT_NEAR(t.storage, 100.0, 1e-9) << cultivation;
    EXPECT_EQ(river, 0.0);
    const double left = (*w.storage)[2][2];
    EXPECT_LT(left, 100.0) << cultivation;
    return left;
}

}  // namespace

TEST_F(SurfacePlane, VegetationDragOfNonconservingTillageSlowsTheFlow) {
    // As "other" the flow takes K_ST alone; as nonconserving tillage, stems thinner than a
    // millimetre add no drag, so the flow is that of K_ST alone, and stems of 5 mm at 0.1 m by
    // 0.1 m hold back more of the water.
    const double plain = LeftInTheWetCell("SR_cultivation = other;", 0.1);
    const double thin = LeftInTheWetCell("SR_cultivation = nonconserving; SR_StemDiameter = 0.0005 0.0005;", 0.1);
    const double stems = LeftInTheWetCell(
        "SR_cultivation = nonconserving; SR_StemDiameter = 0.005 0.005; SR_CropDistX = 0.1; SR_CropDistY = 0.1;", 0.1);
    EXPECT_NEAR(thin, plain, 1e-9 * plain);
    EXPECT_GT(stems, plain + 1.0) << plain << " " << stems;
    // Stems of 10 cm at 0.5 m: where the flow is fast enough for a stem Reynolds number above
    // 10000 (0.1 m/s), their drag coefficient is the land use's SR_C_WR, and the flow changes with
    // it; in slow flow the coefficient follows the Reynolds number alone.
    const std::string thick = "SR_cultivation = nonconserving; SR_StemDiameter = 0.1 0.1; SR_CropDistX = 0.5; "
                              "SR_CropDistY = 0.5; SR_C_WR = ";
    const double fast = LeftInTheWetCell(thick + "1.5;", 0.5);
    EXPECT_GT(std::fabs(LeftInTheWetCell(thick + "3;", 0.5) - fast), 1.0) << fast;
    EXPECT_EQ(LeftInTheWetCell(thick + "3;", 0.01), LeftInTheWetCell(thick + "1.5;", 0.01));
}

TEST_F(SurfacePlane, TheTopLandUseLayerOfACellSetsItsRoughness) {
    // Land use 2 is smoother (K_ST 40) than land use 1 (K_ST 10). The wet cell carries land use 2
    // either on its only layer or on layer 2 of a two-layer multilayer table above land use 1 on
    // layer 1: the highest layer with a code counts, so both route alike, and not as land use 1.
    static std::vector<multilayer_landuse_entry> twoLayers;
    twoLayers.assign(2, multilayer_landuse_entry(1));
    twoLayers[1].layerCount = 2;
    const auto smooth = [](World& w) {
        w.landuse.resize(3);
        w.settings.landuseTable = w.landuse.data();
        ParseLanduse(w, 2, 40, "SR_cultivation = other;");
    };
    const auto layer1 = [](World& w) -> Matrix& { return *w.store[6].grid; };  // the world's "landuse1"
    const double rough = LeftInTheWetCell("SR_cultivation = other;", 0.1);
    const double oneLayer = LeftInTheWetCell("SR_cultivation = other;", 0.1, [&](World& w) {
        smooth(w);
        layer1(w)[2][2] = 2;
    });
    const double topLayer = LeftInTheWetCell("SR_cultivation = other;", 0.1, [&](World& w) {
        smooth(w);
        w.AddGrid("landuse2", -9999);
        (*w.grids.back())[2][2] = 2;
        w.AddGrid("vegetation_coverage_degree2", 0.8);
        w.settings.multilayerTable = twoLayers.data();
    });
    EXPECT_GT(std::fabs(oneLayer - rough), 1.0) << rough;
    EXPECT_EQ(topLayer, oneLayer);

    // A layer the multilayer table has but the grid store lacks stops the model (33).
    World w(WorldLayout{});
    w.WriteControl(SectionSpec{});
    w.settings.multilayerTable = twoLayers.data();
    unsigned error = 0;
    w.Build(&error);
    EXPECT_EQ(error, 33u) << w.console.str();
    EXPECT_NE(w.console.str().find("landuse2 not found in memory"), std::string::npos) << w.console.str();
}

TEST_F(SurfacePlane, LimitsOfZeroAndAConcentrationFactorOfOneOrLessAreAccepted) {
    // A concentration factor of 1 or less changes nothing; a tolerance of 0 iterates up to the
    // limit, and without A_NL iterations the wake takes its fixed share.
    const std::string stems = "SR_cultivation = nonconserving; SR_StemDiameter = 0.005 0.005; SR_CropDistX = 0.1; "
                              "SR_CropDistY = 0.1;";
    const double plain = LeftInTheWetCell(stems, 0.1);
    SectionSpec s;
    s.concentration = 0.5;
    EXPECT_EQ(LeftInTheWetCell(stems, 0.1, nullptr, s), plain);
    s.concentration = -3;
    EXPECT_EQ(LeftInTheWetCell(stems, 0.1, nullptr, s), plain);
    s.anl = "0";
    s.anlSteps = 0;
    const double fixedWake = LeftInTheWetCell(stems, 0.1, nullptr, s);
    EXPECT_GT(fixedWake, 0.0);
    EXPECT_LT(fixedWake, 100.0);
    // A velocity iteration limit of 0 iterates once, as a limit of 1 does.
    s.velocitySteps = 1;
    const double once = LeftInTheWetCell(stems, 0.1, nullptr, s);
    s.velocitySteps = 0;
    EXPECT_EQ(LeftInTheWetCell(stems, 0.1, nullptr, s), once);
}
