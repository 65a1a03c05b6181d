// Skipping quiet cells changes nothing: water that arrives, spreads, dries up and rains again on
// a basin of valleys, a river and a hole, with a tracer, divided among the processes, routes bit
// for bit as when every cell is computed in every sub step.
#include <gtest/gtest.h>
#include <mpi.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "setup/tracer_ini.hpp"
#include "surfrout_world.hpp"
#include "support/test_support.hpp"

using namespace surfrout_test;

namespace {

class SurfaceQuietCells : public talvo_test::TempDirTest {};

WorldLayout Valleys() {
    WorldLayout w;
    w.nrows = 9;
    w.ncols = 12;
    w.decomposed = true;
    w.zone = [](int r, int c) { return r == 5 && c == 6 ? -9999.0 : (c <= 6 ? 1.0 : 2.0); };
    // Two valleys running east to a river in the last column, with a flat patch and some noise.
    w.elevation = [](int r, int c) {
        if (r <= 2 && c <= 3) return 60.0;
        return 60.0 - 0.2 * c + 0.3 * ((r - 5) * (r - 5) % 9) + 0.01 * ((r * 7 + c * 3) % 5);
    };
    w.river = [](int r, int c) { return c == 12 && r >= 3; };
    return w;
}

// Rain on a changing part of the basin in some passes, none in others.
double Rain(int pass, int r, int c) {
    switch (pass % 5) {
        case 0:
            return c <= 3 ? 6.0 : 0.0;
        case 2:
            return r == 4 && c == 8 ? 20.0 : 0.0;
        case 4:
            return c >= 7 && r <= 4 ? 3.0 : 0.0;
        default:
            return 0.0;
    }
}

// A dry peak between two river cells, the one towards the east 1 cm lower: rain on that one
// turns the peak's steepest direction south for the first sub step only, after which its
// shares are back and nothing changes around it any more.
WorldLayout Peak() {
    WorldLayout w;
    w.nrows = 5;
    w.ncols = 5;
    w.banded = true;
    w.elevation = [](int r, int c) { return r == 3 && c == 3 ? 70.0 : r == 3 && c == 4 ? 60.0 : r == 4 && c == 3 ? 60.01 : 65.0; };
    w.river = [](int r, int c) { return (r == 3 && c == 4) || (r == 4 && c == 3); };
    return w;
}

double RainOnTheRiver(int pass, int r, int c) { return pass == 1 && r == 3 && c == 4 ? 20.0 : 0.0; }

bool Same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

struct Routed {
    World world;
    std::unique_ptr<surfaceroutingclass> model;
    Matrix* concQD = nullptr;
    double (*rain)(int, int, int);
    double (*concentration)(int, int, int) = nullptr;  // of the direct flow (none: 1 + 0.1 c)
    Routed(const WorldLayout& layout, double (*rainAt)(int, int, int), int method, bool skip, double longest = 300)
        : world(layout), rain(rainAt) {
        concQD = world.AddGrid("_CONC_QD_1_", 0);
        world.AddGrid("_CONC_QI_1_", 0);
        SectionSpec s;
        s.method = method;
        s.maxStep = longest;
        s.minStep = 10;
        world.WriteControl(s);
        unsigned error = 0;
        model = world.Build(&error);
        EXPECT_EQ(error, 0u) << world.console.str();
        std::vector<TracerDescriptor> tracers(2);
        tracers[1].name = "chl";
        model->CreateTracerGrids(error, 1, tracers.data(), nullptr, 0);
        EXPECT_EQ(error, 0u) << world.console.str();
        model->skipQuietCells = skip;
    }
    void Pass(int pass) {
        World& w = world;
        for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
            for (int c = 1; c <= w.def.ncols; ++c)
                if (w.Own(r, c)) {
                    // The soil model takes the surface water in and returns it as direct flow.
                    (*w.directflow)[r][c] = (*w.storage)[r][c] + rain(pass, r, c);
                    (*concQD)[r][c] = concentration != nullptr ? concentration(pass, r, c) : 1.0 + 0.1 * c;
                    (*w.storage)[r][c] = 0;
                }
        model->run(1, 1, 6, 2020);
    }
};

// Number of cell values that differ between the two runs (all grids and stack levels).
int Differences(Routed& a, Routed& b, int method, int pass) {
    int differ = 0;
    auto check = [&](double x, double y, const char* what, int r, int c, int l) {
        if (Same(x, y)) return;
        if (++differ <= 5)
            ADD_FAILURE() << what << " level " << l << " at " << r << " " << c << ": " << x << " vs " << y
                          << " (method " << method << ", pass " << pass << ")";
    };
    const surfaceroutingclass& m = *a.model;
    const surfaceroutingclass& n = *b.model;
    for (int r = a.world.settings.firstRow; r <= a.world.settings.lastRow; ++r)
        for (int c = 1; c <= a.world.def.ncols; ++c) {
            if (!a.world.Own(r, c)) continue;
            check((*a.world.storage)[r][c], (*b.world.storage)[r][c], "storage", r, c, 0);
            check((*a.world.directflow)[r][c], (*b.world.directflow)[r][c], "directflow", r, c, 0);
            check(m.totalInput[r][c], n.totalInput[r][c], "depth", r, c, 0);
            check((*m.qIn)[r][c], (*n.qIn)[r][c], "inflow", r, c, 0);
            check((*m.qOut)[r][c], (*n.qOut)[r][c], "outflow", r, c, 0);
            check((*a.concQD)[r][c], (*b.concQD)[r][c], "tracer in direct flow", r, c, 0);
            check((*m.surfaceTracers[1].surfaceStore)[r][c], (*n.surfaceTracers[1].surfaceStore)[r][c],
                  "tracer store", r, c, 0);
            for (int l = 0; l <= surfaceroutingclass::kLevels; ++l) {
                check(m.velocity[r][c][l], n.velocity[r][c][l], "velocity", r, c, l);
                check(m.fluxes[r][c][l], n.fluxes[r][c][l], "flux", r, c, l);
                check(m.weights[r][c][l], n.weights[r][c][l], "share", r, c, l);
            }
        }
    return differ;
}

}  // namespace

TEST_F(SurfaceQuietCells, SkippingRoutesBitForBitAsComputingEveryCell) {
    for (int method : {1, 3, 4, 5}) {
        Routed skipping(Valleys(), Rain, method, true), full(Valleys(), Rain, method, false);
        long skipped = 0;
        for (int pass = 0; pass < 7; ++pass) {
            skipping.Pass(pass);
            full.Pass(pass);
            EXPECT_EQ(Differences(skipping, full, method, pass), 0);
            EXPECT_TRUE(Same(skipping.model->clipped, full.model->clipped));
            EXPECT_EQ(skipping.model->lastSubSteps, full.model->lastSubSteps);
            EXPECT_EQ(full.model->quietCellPasses, 0);
            skipped += skipping.model->quietCellPasses;
        }
        // Some cells were quiet (on a process that owns cells).
        int own = 0;
        for (int r = skipping.world.settings.firstRow; r <= skipping.world.settings.lastRow; ++r)
            for (int c = 1; c <= skipping.world.def.ncols; ++c) own += skipping.world.Own(r, c) ? 1 : 0;
        if (own > 0) {
            EXPECT_GT(skipped, 0) << method;
        }
    }
}

// Valleys() with a pit 2 m deep at (6, 4): water that rains into it stays, its level and those
// around it unchanged from one sub step to the next, while the pit is neither dry nor settled.
WorldLayout ValleysWithAPit() {
    WorldLayout w = Valleys();
    const auto valley = w.elevation;
    w.elevation = [valley](int r, int c) { return r == 6 && c == 4 ? valley(r, c) - 2.0 : valley(r, c); };
    return w;
}

// The pit fills in the first pass; later passes wet its rim (the water flows in) and rain on the
// whole western valley.
double RainOnThePit(int pass, int r, int c) {
    if (pass == 0) return r == 6 && c == 4 ? 30.0 : 0.0;
    if (pass == 3) return r == 5 && c >= 3 && c <= 5 ? 4.0 : 0.0;
    if (pass == 5) return c <= 6 ? 2.0 : 0.0;
    return 0.0;
}

// Shares of a wet cell whose neighbourhood keeps its levels are kept, not computed: still bit for
// bit as computing every cell, also when the levels around the kept cell move again.
TEST_F(SurfaceQuietCells, KeptSharesOfAWetCellRouteBitForBitAsComputingThem) {
    for (int method : {1, 3, 4, 5}) {
        Routed keeping(ValleysWithAPit(), RainOnThePit, method, true);
        Routed full(ValleysWithAPit(), RainOnThePit, method, false);
        long kept = 0;
        for (int pass = 0; pass < 7; ++pass) {
            keeping.Pass(pass);
            full.Pass(pass);
            EXPECT_EQ(Differences(keeping, full, method, pass), 0);
            EXPECT_EQ(keeping.model->lastSubSteps, full.model->lastSubSteps);
            EXPECT_EQ(full.model->keptSharePasses, 0);
            kept += keeping.model->keptSharePasses;
        }
        if (keeping.world.Own(6, 4)) {
            EXPECT_GT(keeping.model->totalInput[6][4], 0) << method;
            EXPECT_GT(kept, 0) << method;
        }
    }
}

// Shares of aspects along a flow direction are looked up, not computed: water that spreads over
// the valleys, and over the pit's rim, routes bit for bit as when every share is computed, for
// the methods that spread over the sides and those that send along one direction.
TEST_F(SurfaceQuietCells, LookedUpSharesRouteBitForBitAsComputedOnes) {
    for (int method : {1, 2, 3, 4}) {
        for (const WorldLayout& layout : {Valleys(), ValleysWithAPit()}) {
            Routed lookingUp(layout, RainOnThePit, method, true), computing(layout, RainOnThePit, method, true);
            computing.model->lookUpOnAxisShares = false;
            for (int pass = 0; pass < 7; ++pass) {
                lookingUp.Pass(pass);
                computing.Pass(pass);
                EXPECT_EQ(Differences(lookingUp, computing, method, pass), 0);
                EXPECT_EQ(lookingUp.model->lastSubSteps, computing.model->lastSubSteps);
            }
        }
    }
}

// Moves the river of Valleys() to column c (rows 3 on).
void MoveRiver(World& w, int river) {
    for (int r = 3; r <= w.def.nrows; ++r)
        for (int c : {11, 12}) (*w.store[3].grid)[r][c] = (*w.store[4].grid)[r][c] = c == river ? 1.0 : 0.0;
}

// Calls whose only sub step is the whole call (nothing flows) leave the count of unchanged shares
// of a first sub step, the river moves between calls, and direct flow of an infinite
// concentration arrives once on a dry cell: skipping the cells the new water does not reach from
// a call's first sub step on still routes bit for bit as computing every cell.
TEST_F(SurfaceQuietCells, CallsOfOneSubStepAMovedRiverAndAnInfiniteConcentrationStayBitForBit) {
    auto rain = [](int pass, int r, int c) {
        return pass == 0 && c <= 3 ? 2.0 : pass == 6 && r == 2 && c == 9 ? 5.0 : 0.0;
    };
    auto conc = [](int pass, int r, int c) { return pass == 4 && r == 7 && c == 4 ? HUGE_VAL : 1.0 + 0.1 * c; };
    for (int method : {3, 5}) {
        WorldLayout layout = Valleys();
        layout.cellsize = 60;
        Routed skipping(layout, rain, method, true, 3600), full(layout, rain, method, false, 3600);
        skipping.concentration = full.concentration = conc;
        long single = 0;
        for (int pass = 0; pass < 9; ++pass) {
            for (Routed* routed : {&skipping, &full}) MoveRiver(routed->world, pass % 4 == 2 ? 11 : 12);
            skipping.Pass(pass);
            full.Pass(pass);
            EXPECT_EQ(Differences(skipping, full, method, pass), 0);
            EXPECT_EQ(skipping.model->lastSubSteps, full.model->lastSubSteps) << method << " " << pass;
            single += full.model->lastSubSteps == 1 ? 1 : 0;
        }
        EXPECT_GT(single, 0) << method;
    }
}

// The peak's shares changed in the first sub step: the second computes it again, which sets
// the count of unchanged shares back to 8, although no level around it changes any more.
TEST_F(SurfaceQuietCells, ACellWhoseSharesChangedIsComputedOnceMore) {
    for (int method : {3, 4, 5}) {
        Routed skipping(Peak(), RainOnTheRiver, method, true), full(Peak(), RainOnTheRiver, method, false);
        for (int pass = 0; pass < 3; ++pass) {
            skipping.Pass(pass);
            full.Pass(pass);
            EXPECT_EQ(Differences(skipping, full, method, pass), 0);
        }
        if (full.world.Own(3, 3)) {
            EXPECT_EQ(full.model->weights[3][3][0], 8.0);
        }
    }
}

// The river grids are read anew by each call of run (a periodic grid may replace them between
// passes): a river moved from the last column to the one before and back takes the water at
// once, and the cells that are no longer river hand nothing to it.
TEST_F(SurfaceQuietCells, ARiverMovedBetweenPassesTakesTheWaterAtOnce) {
    for (int method : {3, 5}) {
        Routed routed(Valleys(), Rain, method, true);
        World& w = routed.world;
        Matrix& depth = *w.store[3].grid;  // "river_depth"
        Matrix& width = *w.store[4].grid;  // "river_width"
        for (int pass = 0; pass < 9; ++pass) {
            const int river = pass >= 3 && pass < 6 ? 11 : 12;
            for (int r = 3; r <= w.def.nrows; ++r)
                for (int c : {11, 12}) depth[r][c] = width[r][c] = c == river ? 1.0 : 0.0;
            routed.Pass(pass);
            double taken = 0;
            for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
                for (int c = 1; c <= w.def.ncols; ++c) {
                    if (!w.Own(r, c)) continue;
                    if (c == river && r >= 3) {
                        EXPECT_EQ((*w.storage)[r][c], 0.0) << method << " " << pass << " " << r;
                        EXPECT_EQ(routed.model->totalInput[r][c], 0.0) << method << " " << pass << " " << r;
                        taken += (*w.directflow)[r][c];
                    } else {
                        EXPECT_EQ((*w.directflow)[r][c], 0.0) << method << " " << pass << " " << r << " " << c;
                    }
                }
            double all = 0;
            MPI_Allreduce(&taken, &all, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
            // Rain falls on the east end in the first pass of each river's place.
            if (pass == 4 || pass == 6) {
                EXPECT_GT(all, 0.0) << method << " " << pass;
            }
        }
    }
}

// Rain on the west end of a plane 21 cells wide (passes work on the cells in groups of eight
// columns): it flows through every column, across the groups' edges, into the river at the east
// end, and no water is lost on the way.
TEST_F(SurfaceQuietCells, RainOnTheWestEndCrossesEveryColumnToTheRiver) {
    WorldLayout plane;
    plane.nrows = 4;
    plane.ncols = 21;
    plane.decomposed = true;
    plane.elevation = [](int r, int c) { return 100.0 - 0.5 * c - 0.01 * r; };
    plane.river = [](int, int c) { return c == 21; };
    auto rain = [](int pass, int, int c) { return pass == 0 && c == 1 ? 50.0 : 0.0; };
    for (int method : {3, 5}) {
        Routed routed(plane, rain, method, true);
        World& w = routed.world;
        double river = 0, created = 0;
        std::vector<double> sent(static_cast<std::size_t>(plane.ncols) + 1, 0.0);
        for (int pass = 0; pass < 12; ++pass) {
            routed.Pass(pass);
            double taken = 0, stored = 0;
            for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
                for (int c = 1; c <= w.def.ncols; ++c) {
                    if (!w.Own(r, c)) continue;
                    taken += (*w.directflow)[r][c];
                    stored += (*w.storage)[r][c];
                    sent[static_cast<std::size_t>(c)] += (*routed.model->qOut)[r][c];
                }
            double sums[3] = {taken, stored, routed.model->clipped}, all[3] = {0, 0, 0};
            MPI_Allreduce(sums, all, 3, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
            river += all[0];
            created += all[2] * 1000.0 / (10.0 * 10.0);  // m3 -> mm over one cell
            EXPECT_NEAR(river + all[1], 4 * 50.0 + created, 1e-9 * 200) << method << " " << pass;
        }
        EXPECT_GT(river, 0.9 * 4 * 50.0) << method;
        std::vector<double> total(sent.size(), 0.0);
        MPI_Allreduce(sent.data(), total.data(), static_cast<int>(sent.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        for (int c = 1; c < plane.ncols; ++c) EXPECT_GT(total[static_cast<std::size_t>(c)], 0.0) << method << " " << c;
    }
}

// A basin 150 columns wide whose cells stay dry and settled over long stretches of its rows. A
// valley runs south along column 65: water from further east reaches it after some sub steps,
// when the dry slope west of it has settled, whose shares then follow the rising level; rain near
// the middle and the ends of the rows crosses the rows (and the processes). The sub steps route
// bit for bit as when every cell is computed.
TEST_F(SurfaceQuietCells, AValleyFillingBesideASettledSlopeRoutesBitForBit) {
    WorldLayout wide;
    wide.nrows = 8;
    wide.ncols = 150;
    wide.decomposed = true;
    wide.elevation = [](int r, int c) { return 100.0 + 0.3 * std::abs(c - 65) - 0.05 * r + 0.002 * ((r * 7 + c * 3) % 5); };
    wide.river = [](int r, int c) { return r == 8 && c == 65; };
    auto rain = [](int pass, int r, int c) {
        if (pass == 0) return c >= 75 && c <= 80 ? 4.0 : 0.0;
        if (pass == 1) return c == 129 && r >= 3 ? 10.0 : 0.0;
        if (pass == 2) return c >= 60 && c <= 63 && r <= 2 ? 25.0 : 0.0;
        if (pass == 4) return c <= 2 ? 5.0 : 0.0;
        return 0.0;
    };
    for (int method : {3, 5}) {
        Routed skipping(wide, rain, method, true, 120), full(wide, rain, method, false, 120);
        long skipped = 0;
        for (int pass = 0; pass < 6; ++pass) {
            skipping.Pass(pass);
            full.Pass(pass);
            EXPECT_EQ(Differences(skipping, full, method, pass), 0);
            EXPECT_EQ(skipping.model->lastSubSteps, full.model->lastSubSteps);
            skipped += skipping.model->quietCellPasses;
        }
        long all = skipped;
        MPI_Allreduce(&skipped, &all, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
        EXPECT_GT(all, 0) << method;
    }
}

// Direct flow whose concentration is near the largest double: the first storage pass overflows
// the cell's tracer mass, so its concentration turns infinite in the middle of a call and
// spreads with the water to cells that were finite. Skipping quiet cells still routes bit for
// bit as computing every cell.
TEST_F(SurfaceQuietCells, AConcentrationThatOverflowsInASubStepRoutesBitForBit) {
    auto rain = [](int pass, int, int c) { return pass <= 1 && c <= 3 ? 6.0 : 0.0; };
    auto conc = [](int pass, int r, int c) { return pass == 0 && r == 5 && c == 2 ? 1e308 : 1.0 + 0.1 * c; };
    for (int method : {3, 5}) {
        Routed skipping(Valleys(), rain, method, true), full(Valleys(), rain, method, false);
        skipping.concentration = full.concentration = conc;
        int infinite = 0;
        for (int pass = 0; pass < 4; ++pass) {
            skipping.Pass(pass);
            full.Pass(pass);
            EXPECT_EQ(Differences(skipping, full, method, pass), 0);
            const World& w = full.world;
            for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
                for (int c = 1; c <= w.def.ncols; ++c)
                    if (w.Own(r, c) && !std::isfinite((*full.model->surfaceTracers[1].surfaceStore)[r][c])) ++infinite;
        }
        MPI_Allreduce(MPI_IN_PLACE, &infinite, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
        EXPECT_GT(infinite, 1) << method;
    }
}

// A cell sends nothing when each of its fluxes 1-8 equals 0: +0 and -0 do, the smallest
// subnormal of either sign, a NaN and an infinity do not; the flux at 0 and beyond 8 is not looked at.
TEST(SurfaceQuietFlags, SendsNothingTakesEachFluxAsComparedWithZero) {
    const double nan = std::nan(""), tiny = std::numeric_limits<double>::denorm_min();
    double q[10] = {5.0, 0, 0, 0, 0, 0, 0, 0, 0, 7.0};
    EXPECT_TRUE(surfrout::SendsNothing(q));
    for (int d = 1; d <= 8; ++d)
        for (const double v : {-0.0, tiny, -tiny, nan, -nan, HUGE_VAL, -1.0}) {
            q[d] = v;
            EXPECT_EQ(surfrout::SendsNothing(q), v == 0) << d << " " << v;
            q[d] = 0;
        }
}
