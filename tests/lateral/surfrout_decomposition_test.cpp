// Overland flow across the borders between processes: the cells divided among the processes
// as the set-up does it (rows shared by two processes included) route exactly as one process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "surfrout_world.hpp"
#include "support/test_support.hpp"

using namespace surfrout_test;

namespace {

class SurfaceDivision : public talvo_test::TempDirTest {};

WorldLayout Slope(bool decomposed) {
    WorldLayout w;
    w.nrows = 8;
    w.ncols = 7;
    w.decomposed = decomposed;
    w.zone = [](int r, int c) { return (r == 1 && c >= 6) || (r == 8 && c == 1) ? -9999.0 : (c <= 3 ? 1.0 : 2.0); };
    // Falling to the south with a bump, so that flow crosses rows and spreads sideways.
    w.elevation = [](int r, int c) { return 50.0 - 0.3 * r + 0.05 * (c - 4) * (c - 4) + 0.02 * ((r * 5 + c) % 3); };
    w.river = [](int r, int c) { return r == 8 && c == 4; };
    return w;
}

void Drive(World& w, surfaceroutingclass& m, int passes) {
    for (int pass = 0; pass < passes; ++pass) {
        for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
            for (int c = 1; c <= w.def.ncols; ++c)
                if (w.Own(r, c)) {
                    // The soil model takes the surface water in and returns it as direct flow.
                    (*w.directflow)[r][c] = (*w.storage)[r][c] + (pass < 2 ? 8.0 : 0.0);
                    (*w.storage)[r][c] = 0;
                }
        m.run(1, 1, 6, 2020);
    }
}

}  // namespace

TEST_F(SurfaceDivision, SharedRowsRouteLikeOneProcess) {
    for (int method : {1, 3, 5}) {
        SectionSpec s;
        s.method = method;
        s.maxStep = 300;
        World reference(Slope(false));
        reference.WriteControl(s);
        auto a = reference.BuildReady();
        World divided(Slope(true));
        auto b = divided.BuildReady();
        Drive(reference, *a, 4);
        Drive(divided, *b, 4);
        int compared = 0;
        for (int r = divided.settings.firstRow; r <= divided.settings.lastRow; ++r)
            for (int c = 1; c <= 7; ++c) {
                if (!divided.Own(r, c)) continue;
                ++compared;
                EXPECT_EQ((*divided.storage)[r][c], (*reference.storage)[r][c]) << method << " " << r << " " << c;
                EXPECT_EQ((*divided.directflow)[r][c], (*reference.directflow)[r][c]) << method << " " << r << " " << c;
                EXPECT_EQ((*b->curvature)[r][c], (*a->curvature)[r][c]) << r << " " << c;
            }
        EXPECT_GT(compared, 0);
        if (talvo_test::Size() > 1) {
            EXPECT_NE(b->mpiRegions, nullptr);
        }
        EXPECT_EQ(a->lastStep, b->lastStep);
    }
}

// Cells of the basin without a curvature (no complete terrain around them) take the mean of
// their neighbours in row order, each gap from the gaps filled before it: here a band of such
// cells runs diagonally through every process's rows, so gaps hang on gaps of other processes.
TEST_F(SurfaceDivision, CurvatureGapsFillAcrossProcessesAsInOnePiece) {
    auto terrain = [](int r, int c) {
        return r - c == 2 ? -9999.0 : 40.0 - 0.4 * r + 0.07 * (c - 5) * (c - 5) + 0.03 * ((r * 7 + c) % 4);
    };
    auto layout = [&](bool decomposed) {
        WorldLayout w;
        w.nrows = 12;
        w.ncols = 9;
        w.decomposed = decomposed;
        w.zone = [](int r, int c) { return r == 12 && c >= 7 ? -9999.0 : 1.0; };
        w.elevation = terrain;
        return w;
    };
    SectionSpec s;
    World reference(layout(false));
    reference.WriteControl(s);
    auto a = reference.BuildReady();
    World divided(layout(true));
    auto b = divided.BuildReady();
    int compared = 0, filledGaps = 0;
    for (int r = divided.settings.firstRow; r <= divided.settings.lastRow; ++r)
        for (int c = 1; c <= 9; ++c) {
            if (!divided.Own(r, c)) continue;
            ++compared;
            const bool gap = r > 2 && r < 11 && c > 1 && c < 9 && std::abs(r - c - 2) <= 1;
            if (gap && (*a->curvature)[r][c] != -9999.0) ++filledGaps;
            EXPECT_EQ((*b->curvature)[r][c], (*a->curvature)[r][c]) << r << " " << c;
        }
    EXPECT_GT(compared, 0);
    EXPECT_GT(filledGaps, 0);
}

// The state the construction leaves, divided among the processes, against one process: the
// stacks and grids hold the one-process values in the own basin cells, nodata in the cells
// outside the basin (halo rows included) and 0 in column 0 of the stacks on every level, as a
// cleared allocation held it. Other processes' basin cells hold what the halo exchanges bring.
TEST_F(SurfaceDivision, SetUpHoldsTheOneProcessStateInTheOwnCells) {
    World reference(Slope(false));
    reference.WriteControl(SectionSpec{});
    auto a = reference.BuildReady();
    World divided(Slope(true));
    auto b = divided.BuildReady();
    const double none = -9999.0;
    // Basin cells of other processes are not compared.
    auto foreign = [&](int r, int c) { return c > 0 && divided.zone[r][c] != none && !divided.Own(r, c); };
    auto expectStack = [&](const Stack& one, const Stack& part, const char* name) {
        for (int r = part.firstRow(); r <= part.lastRow(); ++r)
            for (int c = 0; c <= 7; ++c)
                for (int l = 0; l <= 9; ++l) {
                    if (foreign(r, c)) continue;
                    const double want = c == 0 ? 0.0 : divided.Own(r, c) ? one[r][c][l] : none;
                    EXPECT_EQ(std::memcmp(&part[r][c][l], &want, sizeof want), 0) << name << " " << r << " " << c << " " << l;
                }
    };
    expectStack(a->velocity, b->velocity, "velocity");
    expectStack(a->fluxes, b->fluxes, "fluxes");
    expectStack(a->weights, b->weights, "weights");
    auto expectGrid = [&](const Matrix& one, const Matrix& part, int first, int last, const char* name) {
        for (int r = first; r <= last; ++r)
            for (int c = 0; c <= 7; ++c) {
                if (foreign(r, c)) continue;
                const double want = c > 0 && divided.Own(r, c) ? one[r][c] : none;
                EXPECT_EQ(std::memcmp(&part[r][c], &want, sizeof want), 0) << name << " " << r << " " << c;
            }
    };
    const int lo = b->velocity.firstRow(), hi = b->velocity.lastRow();
    const int first = divided.settings.firstRow, last = divided.settings.lastRow;
    expectGrid(a->totalInput, b->totalInput, lo, hi, "total input");
    expectGrid(a->velocityGrid, b->velocityGrid, lo, hi, "velocity grid");
    expectGrid(a->zoneHalo, b->zoneHalo, lo, hi, "zones");
    expectGrid(a->terrain, b->terrain, lo, hi, "terrain");
    expectGrid(*a->qIn, *b->qIn, first, last, "inflow");
    expectGrid(*a->criticalShear, *b->criticalShear, first, last, "critical shear");
    for (int r = first; r <= last; ++r)
        for (int c = 0; c <= 7; ++c) {
            EXPECT_EQ(b->cellLanduse[r][c], c > 0 && divided.Own(r, c) ? a->cellLanduse[r][c] : -1.0) << r << " " << c;
            EXPECT_EQ(b->cellLayer[r][c], c > 0 && divided.Own(r, c) ? a->cellLayer[r][c] : 0.0) << r << " " << c;
        }
}
