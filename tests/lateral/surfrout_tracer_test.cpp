// Tracers carried by overland flow: uniform water keeps its concentration, and the tracer mass
// that entered is on the surface or in the river afterwards.
#include <gtest/gtest.h>
#include <mpi.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "setup/tracer_ini.hpp"
#include "surfrout_world.hpp"
#include "support/test_support.hpp"

using namespace surfrout_test;

namespace {

class SurfaceTracers : public talvo_test::TempDirTest {};

// 5 x 8 cells sloping to the river in the last column.
WorldLayout SlopeToRiver() {
    WorldLayout def;
    def.nrows = 5;
    def.ncols = 8;
    def.elevation = [](int r, int c) { return 100.0 - 0.3 * c - 0.1 * r; };
    def.river = [](int, int c) { return c == 8; };
    return def;
}

}  // namespace

TEST_F(SurfaceTracers, MassIsKeptAndUniformWaterStaysUniform) {
    for (bool uniform : {true, false}) {
        World w(SlopeToRiver());
        Matrix* concQD = w.AddGrid("_CONC_QD_1_", 0);
        w.AddGrid("_CONC_QI_1_", 0);
        SectionSpec s;
        s.maxStep = 60;
        w.WriteControl(s);
        std::vector<TracerDescriptor> tracers(2);
        tracers[1].name = "chl";
        unsigned error = 0;
        auto m = w.Build(&error);
        ASSERT_EQ(error, 0u) << w.console.str();
        m->CreateTracerGrids(error, 1, tracers.data(), nullptr, 0);
        ASSERT_EQ(error, 0u) << w.console.str();
        double massIn = 0;
        for (int r = 1; r <= 5; ++r)
            for (int c = 1; c <= 8; ++c) {
                (*w.directflow)[r][c] = 6.0;
                (*concQD)[r][c] = uniform ? 2.0 : (c <= 4 ? 1.0 : 3.0);
                massIn += 6.0 * (*concQD)[r][c];
            }
        m->run(1, 1, 6, 2020);
        ASSERT_EQ(m->clipped, 0.0);
        const Matrix& store = *m->surfaceTracers[1].surfaceStore;
        double massOut = 0, river = 0;
        for (int r = 1; r <= 5; ++r)
            for (int c = 1; c <= 8; ++c) {
                const double S = (*w.storage)[r][c];
                if (c == 8) {
                    river += (*w.directflow)[r][c];
                    massOut += (*w.directflow)[r][c] * (*concQD)[r][c];
                    if (uniform) {
                        EXPECT_NEAR((*concQD)[r][c], 2.0, 1e-12);
                    }
                } else {
                    massOut += S * store[r][c];
                    if (uniform && S > 0) {
                        EXPECT_NEAR(store[r][c], 2.0, 1e-12) << r << " " << c;
                    }
                }
            }
        EXPECT_GT(river, 0.0);
        EXPECT_NEAR(massOut, massIn, 1e-9 * massIn) << (uniform ? "uniform" : "two halves");
    }
}

// Beside the water's surface-storage table (the subbasins' mean storage) each tracer gets one
// of the surface storage's concentration weighed with the storage: its row is that of the pass's
// storage, not the total runoff's concentration that the tracer's own table holds.
TEST_F(SurfaceTracers, TheStorageTableHoldsTheStoragesConcentration) {
    WorldLayout def;
    def.nrows = 4;
    def.ncols = 6;
    def.zone = [](int, int c) { return c <= 3 ? 1.0 : 2.0; };
    def.elevation = [](int r, int c) { return 100.0 - 0.3 * c - 0.1 * r; };
    def.river = [](int, int c) { return c == 6; };
    World w(def);
    Matrix* concQD = w.AddGrid("_CONC_QD_1_", 0);
    w.AddGrid("_CONC_QI_1_", 0);
    SectionSpec s;
    s.maxStep = 60;
    s.storageLines = "storage_stat.txt 2001\nstate.txt\n";
    w.WriteControl(s);
    std::vector<TracerDescriptor> tracers(2);
    tracers[1].name = "chl";
    tracers[1].statext = "txt";
    tracers[1].statcode = 2001;
    unsigned error = 0;
    auto m = w.Build(&error);
    ASSERT_EQ(error, 0u) << w.console.str();
    m->CreateTracerGrids(error, 1, tracers.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << w.console.str();
    ASSERT_EQ(m->storageTracerStats.size(), 2u);
    ASSERT_NE(m->storageTracerStats[1], nullptr);
    EXPECT_EQ(m->storageTracerStats[1]->fileName(), "chlSurfa_storage.txt");
    for (int pass = 0; pass < 2; ++pass) {
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 6; ++c) {
                (*w.directflow)[r][c] = pass == 0 ? 4.0 + r : 0.0;
                (*concQD)[r][c] = pass == 0 ? 1.0 + c % 3 : 0.0;
            }
        m->ShiftFlowTimeZones(pass + 1, 1, 6, 2020);
        m->run(pass + 1, 1, 6, 2020);
        m->RouteFlowTimeZones(pass + 1, 1, 6, 2020);
        // Per subbasin: the storage's concentration weighed with the water stored after the pass.
        double sum[3] = {0, 0, 0}, water[3] = {0, 0, 0};
        const Matrix& store = *m->surfaceTracers[1].surfaceStore;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 6; ++c) {
                const int z = c <= 3 ? 1 : 2;
                sum[z] += store[r][c] * (*w.storage)[r][c];
                water[z] += (*w.storage)[r][c];
            }
        ASSERT_GT(water[1], 0.0);
        ASSERT_GT(water[2], 0.0);
        if (talvo_test::Rank() != 0) continue;
        // The water's own table: the mean storage of the twelve cells of each subbasin.
        const std::vector<double>& storageRow = m->statistics[4]->lastValues();
        EXPECT_NEAR(storageRow[1], water[1] / 12, 1e-9) << pass;
        EXPECT_NEAR(storageRow[2], water[2] / 12, 1e-9) << pass;
        const std::vector<double>& row = m->storageTracerStats[1]->lastValues();
        EXPECT_NEAR(row[1], sum[1] / water[1], 1e-9) << pass;
        EXPECT_NEAR(row[2], sum[2] / water[2], 1e-9) << pass;
        // Mixed storages: between the inputs' concentrations, and not the runoff's value.
        EXPECT_GT(row[2], 1.0);
        EXPECT_LT(row[2], 3.0);
        EXPECT_NE(row[2], m->tracers[1].statistics->lastValues()[2]);
    }
}

// Beside silting-up the surface water's tracer stays between passes in silting-up's store grid,
// which holds a tracer carried as mass as its mass (mg/m2) and an evaporating one as its
// concentration. After a pass, and after a second one that takes the water left on the surface
// back in, silting-up's grid and the river hold the tracer that came with the direct flow.
TEST_F(SurfaceTracers, SiltingUpsStoreHoldsTheMassOfTheWaterLeftOnTheSurface) {
    World w(SlopeToRiver());
    Matrix* concQD[3] = {nullptr, w.AddGrid("_CONC_QD_1_", 0), w.AddGrid("_CONC_QD_2_", 0)};
    w.AddGrid("_CONC_QI_1_", 0);
    w.AddGrid("_CONC_QI_2_", 0);
    const Matrix* silting[3] = {nullptr, w.AddGrid("concstor_tracer_1_SiltingUpModel", 0),
                                w.AddGrid("concstor_tracer_2_SiltingUpModel", 0)};
    SectionSpec s;
    s.maxStep = 60;
    w.WriteControl(s);
    std::vector<TracerDescriptor> tracers(3);
    tracers[1].name = "chl";
    tracers[2].name = "oxy";
    tracers[2].evaporating = 1;
    auto m = w.BuildReady(1, &tracers);
    ASSERT_TRUE(m->surfaceTracers.size() == 3 && m->surfaceTracers[1].surfaceStore == silting[1]);
    double massIn = 0, river = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (int r = 1; r <= 5; ++r)
            for (int c = 1; c <= 8; ++c) {
                (*w.directflow)[r][c] = pass == 0 ? 6.0 : 0.0;
                (*concQD[1])[r][c] = pass == 0 ? (c <= 4 ? 1.0 : 3.0) : 0.0;
                (*concQD[2])[r][c] = pass == 0 ? 2.0 : 0.0;
                massIn += (*w.directflow)[r][c] * (*concQD[1])[r][c];
            }
        m->run(pass + 1, 1, 6, 2020);
        ASSERT_EQ(m->clipped, 0.0);
        double surface = 0, water = 0;
        for (int r = 1; r <= 5; ++r)
            for (int c = 1; c <= 8; ++c) {
                if (c == 8) {
                    river += (*w.directflow)[r][c] * (*concQD[1])[r][c];
                    continue;
                }
                surface += (*silting[1])[r][c];
                water += (*w.storage)[r][c];
                if ((*w.storage)[r][c] > 0) {
                    EXPECT_NEAR((*silting[2])[r][c], 2.0, 1e-12) << r << " " << c;
                }
            }
        EXPECT_GT(water, 0.0);
        EXPECT_GT(river, 0.0);
        EXPECT_NEAR(surface + river, massIn, 1e-9 * massIn) << "pass " << pass;
    }
}

// The tracer inflow of a cell is the sum over its neighbours, in the order of the directions, of
// what each sends towards it times its concentration. A neighbour that sends nothing adds
// nothing while its concentration is finite; next to an infinite concentration (a dry cell
// here) the sum is not a number, as 0 x inf is. One sub step, so that the concentrations the
// storage pass read are those the pass began with.
TEST_F(SurfaceTracers, InflowSumsWhatTheNeighboursSendTimesTheirConcentration) {
    WorldLayout def = SlopeToRiver();
    def.decomposed = true;
    World w(def);
    Matrix* concQD = w.AddGrid("_CONC_QD_1_", 0);
    w.AddGrid("_CONC_QI_1_", 0);
    SectionSpec s;
    s.minStep = 3600;
    s.maxStep = 3600;
    w.WriteControl(s);
    std::vector<TracerDescriptor> tracers(2);
    tracers[1].name = "chl";
    auto m = w.BuildReady(1, &tracers);
    // Water on the western half; an infinite concentration in a dry cell of the eastern half.
    auto start = [](int r, int c) {
        if (r == 3 && c == 6) return std::numeric_limits<double>::infinity();
        return c <= 4 ? 1.0 + 0.25 * r + 0.5 * c : 0.75;
    };
    for (int r = 1; r <= 5; ++r)
        for (int c = 1; c <= 8; ++c) {
            (*concQD)[r][c] = start(r, c);
            (*w.directflow)[r][c] = c <= 4 ? 6.0 + r : 0.0;
        }
    m->run(1, 1, 6, 2020);
    ASSERT_EQ(m->lastSubSteps, 1);
    const double dt = m->lastStep;
    const Matrix& inflow = m->surfaceTracers[1].inflow;
    long cells[3] = {0, 0, 0};  // compared, not a number, with inflow
    for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
        for (int c = 1; c <= 8; ++c) {
            if (!w.Own(r, c)) continue;
            double sum = 0;
            for (int d = 1; d <= 8; ++d) {
                const int rr = r + surfrout::kRowStep[d], cc = c + surfrout::kColStep[d];
                if (rr < 1 || rr > 5 || cc < 1 || cc > 8) continue;
                sum += m->fluxes[rr][cc][surfrout::Opposite(d)] * start(rr, cc);
            }
            const double expected = sum * 1000.0 * dt;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(inflow[r][c]), std::bit_cast<std::uint64_t>(expected))
                << r << " " << c << ": " << inflow[r][c] << " " << expected;
            ++cells[0];
            if (std::isnan(expected)) ++cells[1];
            if (expected > 0) ++cells[2];
        }
    MPI_Allreduce(MPI_IN_PLACE, cells, 3, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_EQ(cells[0], 40);
    EXPECT_EQ(cells[1], 8);  // the eight neighbours of the infinite concentration
    EXPECT_GT(cells[2], 4);
}
