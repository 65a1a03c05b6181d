// Subbasin storages and travel-time zones, and the exchange of a column with its river and
// with an external groundwater table.
#include <gtest/gtest.h>

#include <cmath>

#include "kernel/zonerecord.hpp"
#include "soil/unsatzon_river.hpp"
#include "soil/unsatzon_runoff.hpp"
#include "soil/unsatzon_step_column.hpp"
#include "soilcolumn_fixture.hpp"

namespace {

using soilcolumn_test::MakeSoil;
using soilcolumn_test::SoilLayout;

TEST(TravelTime, ZoneIsTheNumberOfStartedSteps) {
    struct Case {
        double seconds, dt;
        int zone;
    };
    for (const Case& c : {Case{3600, 60, 1}, Case{3601, 60, 2}, Case{1, 60, 1}, Case{7200, 60, 2}, Case{86400, 1440, 1},
                          Case{86401, 1440, 2}, Case{5400, 30, 3}})
        EXPECT_EQ(soilrunoff::FlowTimeZone(c.seconds, c.dt), c.zone) << c.seconds << " s at " << c.dt << " min";
}

TEST(ZoneRecordReduction, AddsWeightsClearsSumsKeepsZoneValues) {
    zoneFZT in[2] = {{1, 5, 9, 0.5, 2}, {3, 7, 8, 0.25, 4}};
    zoneFZT io[2] = {{10, 6, 1, 0.1, 20}, {30, 8, 2, 0.2, 40}};
    int count = 2;
    MPI_Datatype type = MPI_DOUBLE;
    SumZoneRecords(in, io, &count, &type);
    EXPECT_DOUBLE_EQ(io[0].n, 11);
    EXPECT_DOUBLE_EQ(io[1].RelCellSum, 44);
    EXPECT_DOUBLE_EQ(io[0].sx, 0);
    EXPECT_DOUBLE_EQ(io[1].sx, 0);
    EXPECT_DOUBLE_EQ(io[1].zonenwert, 2);
    EXPECT_DOUBLE_EQ(io[0].rel, 0.1);
}

TEST(SubbasinStorage, EmptiesWithTheRecessionConstant) {
    // kelsqd 2 h, hourly steps, 10 mm in the first step only.
    const double f = soilrunoff::StorageFactor(60, 120, false);
    EXPECT_NEAR(f, std::exp(-0.5), 1e-15);
    const double expected[] = {3.935, 2.387, 1.447};
    double q = 0, stored = 0, released = 0;
    for (int step = 0; step < 3; ++step) {
        const double in = step == 0 ? 10.0 : 0.0;
        // Outflow is the linear-storage mean over the step: the water leaving equals what
        // the storage loses.
        q = soilrunoff::StorageOutflow(in, q, f);
        EXPECT_NEAR(q, expected[step], 5e-4) << step;
        released += q;
        stored = 10.0 - released;
    }
    EXPECT_GT(stored, 0.0);
    // Routed at once: the outflow is the inflow.
    EXPECT_DOUBLE_EQ(soilrunoff::StorageFactor(60, 120, true), 0.0);
    EXPECT_DOUBLE_EQ(soilrunoff::StorageOutflow(7.5, 3.0, 0.0), 7.5);
    // Tracer concentration of the outflow: flow-weighted, 0 without flow.
    EXPECT_NEAR(soilrunoff::StorageConcentration(10, 2, 5, 4, f, soilrunoff::StorageOutflow(10, 5, f)),
                (10 * 2 * (1 - f) + 5 * 4 * f) / (10 * (1 - f) + 5 * f), 1e-12);
    EXPECT_DOUBLE_EQ(soilrunoff::StorageConcentration(0, 2, 0, 4, f, 0.0), 0.0);
}

// A 10-layer loam column with its table in layer g and the water contents at saturation below.
struct RiverColumn {
    soil_entry soil = MakeSoil(SoilLayout{});
    soilcolumn::ColumnState col{10};
    soilcolumn::CellValues cell;
    RiverColumn(double tableDepth, double theta) {
        col.SetSoil(soil, 100.0);
        cell.dt = 3600;
        cell.cellsize = 50;
        cell.tableDistance = -tableDepth;
        cell.tableLayer = static_cast<int>(std::ceil(tableDepth / 0.1 - 1e-9));
        for (int i = 1; i <= 10; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            col.theta[l] = col.thetaOld[l] = col.thetaMean[l] = i > cell.tableLayer ? 0.43 : theta;
            col.H[l] = (col.z[l - 1] + col.z[l]) / 2 - soil.SuctionFromTheta(i, col.theta[l]);
        }
    }
    double In() const {
        double s = 0;
        for (int i = 1; i <= 10; ++i) s += col.rIn[static_cast<std::size_t>(i)];
        return s;
    }
    double Out() const {
        double s = 0;
        for (int i = 1; i <= 10; ++i) s += col.rOut[static_cast<std::size_t>(i)];
        return s;
    }
};

TEST(RiverExchange, NoInteractionChangesNothing) {
    RiverColumn rc(0.25, 0.40);
    rc.col.rIn[3] = 7;
    double A = 1, B = 2;
    soilriver::River river{0.5, 2.0, 1e-5, 3.0, 1.0, 0.0, true};
    soilriver::Exchange(rc.soil, rc.col, rc.cell, 0, river, A, B);
    EXPECT_EQ(A, 1);
    EXPECT_EQ(B, 2);
    EXPECT_EQ(rc.col.rIn[3], 7);
}

TEST(RiverExchange, ExfiltrationTakesOnlyWaterAboveFieldCapacity) {
    soilriver::River river{0.8, 2.0, 1e-5, 3.0, 1.0, 0.0, true};
    {
        RiverColumn wet(0.25, 0.40);
        double A = 0, B = 0;
        soilriver::Exchange(wet.soil, wet.col, wet.cell, 1, river, A, B);
        EXPECT_GT(B, 0.0);
        EXPECT_NEAR(B, wet.Out(), 1e-18);
        EXPECT_LE(B, 1e-5 * (0.8 - 0.25) * 2.0 / 50 + 1e-18);
    }
    {
        RiverColumn dry(0.25, 0.0);
        for (int i = 1; i <= 10; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            dry.col.theta[l] = dry.col.thetaOld[l] = dry.col.thetaMean[l] = dry.col.fieldCapacity[l];
        }
        double A = 0, B = 0;
        soilriver::Exchange(dry.soil, dry.col, dry.cell, 2, river, A, B);
        EXPECT_DOUBLE_EQ(B, 0.0);
        EXPECT_DOUBLE_EQ(dry.Out(), 0.0);
    }
}

TEST(RiverExchange, InfiltrationIsLimitedByTheRiverWaterLeft) {
    // Table 1.5 m deep, bed at 0.5 m: the river infiltrates.
    struct Case {
        double flow, taken, speed;
        bool some;
    };
    for (const Case& c : {Case{2.0, 2.0, 1.0, false}, Case{2.0, 0.0, 1.0, true}, Case{2.0, 1.9999, 0.0, true}}) {
        RiverColumn rc(0.95, 0.30);
        soilriver::River river{0.5, 2.0, 1e-4, c.flow, c.speed, c.taken, true};
        double A = 0, B = 5;
        soilriver::Exchange(rc.soil, rc.col, rc.cell, 2, river, A, B);
        EXPECT_DOUBLE_EQ(B, 0.0);
        if (!c.some) {
            EXPECT_DOUBLE_EQ(A, 0.0);
            continue;
        }
        EXPECT_GT(A, 0.0);
        EXPECT_NEAR(A, rc.In(), 1e-18);
        EXPECT_LE(A * 50 * 50, c.flow - c.taken + 1e-12);
    }
    // Interaction 1: exfiltration only.
    RiverColumn rc(0.95, 0.30);
    soilriver::River river{0.5, 2.0, 1e-4, 2.0, 1.0, 0.0, true};
    double A = 0, B = 0;
    soilriver::Exchange(rc.soil, rc.col, rc.cell, 1, river, A, B);
    EXPECT_DOUBLE_EQ(A, 0.0);
    EXPECT_DOUBLE_EQ(rc.In(), 0.0);
}

TEST(GroundwaterPumping, WaterAboveFieldCapacityDownToTheLastButOneLayer) {
    RiverColumn rc(0.25, 0.40);
    EXPECT_DOUBLE_EQ(soilriver::DrainablePoreVolume(rc.soil, rc.col.fieldCapacity.data(), 10, 10), 0.0);
    const double perLayer = 1000.0 * 0.1 * (0.43 - rc.col.fieldCapacity[5]);
    EXPECT_NEAR(soilriver::DrainablePoreVolume(rc.soil, rc.col.fieldCapacity.data(), 8, 10), 2 * perLayer, 1e-9);
}

TEST(ExternalTable, RisingFillsToSaturationFallingDrainsToFieldCapacity) {
    RiverColumn rc(0.55, 0.30);
    int g = 6;
    double dist = -0.55;
    const double before = soilstep::StoredWater(rc.soil, rc.col);
    const double added = soilriver::ApplyExternalTable(rc.soil, rc.col, g, dist, 100.0 - 0.25);
    EXPECT_GT(added, 0.0);
    EXPECT_NEAR(added, (soilstep::StoredWater(rc.soil, rc.col) - before) * 1000.0, 1e-9);
    EXPECT_EQ(g, 3);
    EXPECT_NEAR(dist, -0.25, 1e-12);
    for (int i = 4; i <= 6; ++i) EXPECT_DOUBLE_EQ(rc.col.theta[static_cast<std::size_t>(i)], 0.43) << i;
    const double mid = soilstep::StoredWater(rc.soil, rc.col);
    const double removed = soilriver::ApplyExternalTable(rc.soil, rc.col, g, dist, 100.0 - 0.85);
    EXPECT_LT(removed, 0.0);
    EXPECT_NEAR(removed, (soilstep::StoredWater(rc.soil, rc.col) - mid) * 1000.0, 1e-9);
    EXPECT_EQ(g, 9);
    for (int i = 4; i <= 8; ++i)
        EXPECT_NEAR(rc.col.theta[static_cast<std::size_t>(i)], rc.col.fieldCapacity[static_cast<std::size_t>(i)], 1e-12) << i;
}

}  // namespace
