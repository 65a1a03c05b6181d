// Overland flow across the borders between processes: the cells divided among the processes
// as the set-up does it (rows shared by two processes included) route exactly as one process.
#include <gtest/gtest.h>

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/steptimes.hpp"
#include "setup/tracer_ini.hpp"
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

// The same basin routed by one process and divided among the processes, each model built
// from one control file.
struct DividedPair {
    DividedPair(const std::function<WorldLayout(bool)>& layout, const SectionSpec& s)
        : reference(layout(false)), divided(layout(true)) {
        reference.WriteControl(s);
        a = reference.BuildReady();
        b = divided.BuildReady();
    }
    World reference;
    World divided;
    std::unique_ptr<surfaceroutingclass> a, b;
};

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

// Compares the divided model's own cells (water depth and direct flow, and what `more` checks)
// with the one-process model's; returns the wet cells of all processes.
template <class More>
int ExpectOwnCellsAsOneProcess(const World& divided, const World& reference, int cols, int method, int pass,
                               More more) {
    int wet = 0;
    for (int r = divided.settings.firstRow; r <= divided.settings.lastRow; ++r)
        for (int c = 1; c <= cols; ++c) {
            if (!divided.Own(r, c)) continue;
            if ((*divided.storage)[r][c] > 0) ++wet;
            EXPECT_EQ((*divided.storage)[r][c], (*reference.storage)[r][c])
                << method << " " << pass << " " << r << " " << c;
            EXPECT_EQ((*divided.directflow)[r][c], (*reference.directflow)[r][c])
                << method << " " << pass << " " << r << " " << c;
            more(r, c);
        }
    MPI_Allreduce(MPI_IN_PLACE, &wet, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    return wet;
}

// Four calls of a divided basin's and the one-process basin's surface routing, with `rain(pass, r, c)`
// on the own cells (and a concentration `conc(c)` where it rains, when a tracer runs); after every
// call the divided own cells are compared with the one-process ones. `check` sees the divided model
// once it is built. Returns the wet cells after the last call.
template <class Rain, class Conc, class Check>
int RouteAsOneProcess(const std::function<WorldLayout(bool)>& layout, int tracerCount, int method, Rain rain,
                      Conc conc, Check check) {
    std::vector<TracerDescriptor> tracers(2);
    tracers[1].name = "chl";
    World reference(layout(false)), divided(layout(true));
    Matrix* concQD[2] = {nullptr, nullptr};
    if (tracerCount > 0) {
        concQD[0] = reference.AddGrid("_CONC_QD_1_", 0);
        concQD[1] = divided.AddGrid("_CONC_QD_1_", 0);
        reference.AddGrid("_CONC_QI_1_", 0);
        divided.AddGrid("_CONC_QI_1_", 0);
    }
    SectionSpec s;
    s.method = method;
    s.maxStep = 120;
    reference.WriteControl(s);
    const std::vector<TracerDescriptor>* list = tracerCount > 0 ? &tracers : nullptr;
    std::unique_ptr<surfaceroutingclass> models[2] = {reference.BuildReady(1, list), divided.BuildReady(1, list)};
    check(*models[1]);
    int wet = 0;
    for (int pass = 0; pass < 4; ++pass) {
        World* worlds[2] = {&reference, &divided};
        for (int i = 0; i < 2; ++i) {
            World& w = *worlds[i];
            for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
                for (int c = 1; c <= w.def.ncols; ++c)
                    if (w.Own(r, c)) {
                        const double amount = rain(pass, r, c);
                        (*w.directflow)[r][c] = (*w.storage)[r][c] + amount;
                        (*w.storage)[r][c] = 0;
                        if (concQD[i] != nullptr) (*concQD[i])[r][c] = amount > 0 ? conc(c) : 0.0;
                    }
            models[i]->run(1, 1, 6, 2020);
        }
        EXPECT_EQ(models[1]->lastSubSteps, models[0]->lastSubSteps);
        wet = ExpectOwnCellsAsOneProcess(divided, reference, divided.def.ncols, method, pass, [&](int r, int c) {
            if (concQD[0] == nullptr) return;
            EXPECT_EQ((*concQD[1])[r][c], (*concQD[0])[r][c]) << method << " " << pass << " " << r << " " << c;
            EXPECT_EQ((*models[1]->surfaceTracers[1].surfaceStore)[r][c],
                      (*models[0]->surfaceTracers[1].surfaceStore)[r][c])
                << method << " " << pass << " " << r << " " << c;
        });
    }
    return wet;
}
}  // namespace

TEST_F(SurfaceDivision, SharedRowsRouteLikeOneProcess) {
    for (int method : {1, 3, 5}) {
        SectionSpec s;
        s.method = method;
        s.maxStep = 300;
        DividedPair pair(Slope, s);
        World &reference = pair.reference, &divided = pair.divided;
        auto &a = pair.a, &b = pair.b;
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
    DividedPair pair(layout, s);
    World& divided = pair.divided;
    auto &a = pair.a, &b = pair.b;
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
    DividedPair pair(Slope, SectionSpec{});
    World& divided = pair.divided;
    auto &a = pair.a, &b = pair.b;
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

// Cells of zone 0 are routed but do not lie inside the basin: their neighbours leave their water
// out of the levels, and cells beside them are no interior cells. A strip of them along the west
// border and around a hole of nodata, divided among the processes: the storages after four calls
// are those of the reference values (the model's own, kept as bits), cell for cell.
TEST_F(SurfaceDivision, CellsOfZoneZeroStayOutOfTheLevelsOfTheirNeighbours) {
    auto layout = [](bool decomposed) {
        WorldLayout w;
        w.nrows = 6;
        w.ncols = 6;
        w.decomposed = decomposed;
        w.zone = [](int r, int c) {
            if (r == 3 && c == 4) return -9999.0;
            return c == 1 || (r >= 2 && r <= 4 && c >= 3 && c <= 5) ? 0.0 : 1.0;
        };
        w.elevation = [](int r, int c) { return 30.0 - 0.2 * r - 0.1 * c + 0.03 * ((r * 3 + c) % 4); };
        return w;
    };
    // Storages of the cells row by row (the hole left out), methods 1, 3 and 5 one after the other.
    const char* const want =
        "0x1.6927457e13372p-4 0x1.49bc53b3445f8p-4 0x1.800cb3e993425p-4 0x1.955d5b4a6c72ep-4 0x1.6cf072bb33ccbp-4 "
        "0x1.8900b80f4e974p-4 0x1.7883a9ae636b3p-4 0x1.5ee0b00a37251p-4 0x1.6fd698de54943p-4 0x1.68e7fea0f774fp-4 "
        "0x1.542d30dea1b8p-4 0x1.802d554e6be95p-4 0x1.88221c5da7c41p-4 0x1.337e460017981p-4 0x1.594871c9de794p-4 "
        "0x1.81a4036b11969p-4 0x1.778b4e34839a2p-4 0x1.5fd892997f67ep-4 0x1.644229b663cb7p-4 0x1.474625cdaa9cp-4 "
        "0x1.60c424ab5e82ep-4 0x1.5c2ed315dd3a4p-4 0x1.63e11ded47c62p-4 0x1.595f7e1ab4002p-4 0x1.4965b8ce6cd48p-4 "
        "0x1.85e8746a28952p-4 0x1.764765b0d7a95p-4 0x1.714013387f48ap-4 0x1.8bbea253bab3cp-4 0x1.8a387f2e58a0bp-4 "
        "0x1.963ac6cfc12c4p-4 0x1.3f405c1557e2p-3 0x1.f6f15b086e79cp-3 0x1.d22a200f135edp-3 0x1.164daebee77e2p+9 "
        "0x1.7066714d426dcp-4 0x1.186d255c85b24p-4 0x1.efcc87f2a0b63p-5 0x1.75e507e0b4b13p-4 0x1.5da130531ee94p-4 "
        "0x1.765bdca897636p-4 0x1.48d13b7126c06p-4 0x1.96ce5bed017dcp-4 0x1.441cb23ac72acp-4 0x1.7bd9ae185ff61p-4 "
        "0x1.78edb1bbefcb6p-4 0x1.6dfe7f15f5954p-4 0x1.2938201e0687bp-4 0x1.95cf0d5911173p-4 0x1.4a26bb94111cp-4 "
        "0x1.34170f1319534p-4 0x1.6e1936d7c70b7p-4 0x1.574cda7b1750cp-4 0x1.3e68e97d68666p-4 0x1.7937053e5f4e6p-4 "
        "0x1.6b557efb29467p-4 0x1.587a69fa0f87ap-4 0x1.62097f762e9e7p-4 0x1.4f0ab0d4dfe76p-4 0x1.628372bd8883dp-4 "
        "0x1.56ae65b0136c4p-4 0x1.17e1879356598p-4 0x1.aeaae25a0567cp+1 0x1.3f4a540ff0edp+6 0x1.870379a179e62p-4 "
        "0x1.94824031908c5p-4 0x1.fffde740ccf38p-3 0x1.8f24c021b16cep+5 0x1.c772571779e41p+6 0x1.3658194c1ebb7p+8 "
        "0x1.0aea93935901fp-6 0x1.a0009852782b9p-6 0x1.9f3c2caf34877p-6 0x1.9f3c2caf34826p-6 0x1.0b0753e0413fp-6 "
        "0x1.a03aa87b68cb4p-6 0x1.9f3c2caf347d1p-6 0x1.67be58d8d037cp-5 0x1.88909d5c37b67p-5 0x1.25070990504b5p-5 "
        "0x1.9f3c2caf347d1p-6 0x1.50d2563e9e5e4p-4 0x1.88909d5c37bap-5 0x1.9fd1f442af198p-6 0x1.4db6d3f7ac476p-4 "
        "0x1.3e9f4740958f5p-4 0x1.78ae57f8a07eap-4 0x1.2874960124942p-4 0x1.892ad6bf6bf46p-5 0x1.9fd36839bc8bap-6 "
        "0x1.9ef5cdcb24c9fp-4 0x1.b0d6a560a0c55p-4 0x1.17bb937ec2b26p-3 0x1.3f35d91900cd1p-4 0x1.291960b7012aap-4 "
        "0x1.89fbba56318bp-5 0x1.d26d7d83ce1b9p-6 0x1.e3e3ab1c0ea0fp+2 0x1.36341d09d15d3p+6 0x1.e12ad066b74p-6 "
        "0x1.0542b7338376ep-2 0x1.ee888862b2f07p-2 0x1.7c97d480f67e5p+5 0x1.d63e0a85bcc14p+6 0x1.338cfa54e9f3fp+8 ";
    std::istringstream expected(want);
    for (int method : {1, 3, 5}) {
        SectionSpec s;
        s.method = method;
        s.maxStep = 300;
        World w(layout(true));
        w.WriteControl(s);
        auto m = w.BuildReady();
        Drive(w, *m, 4);
        for (int r = 1; r <= 6; ++r)
            for (int c = 1; c <= 6; ++c) {
                if (r == 3 && c == 4) continue;
                std::string word;
                expected >> word;
                if (!w.Own(r, c)) continue;
                const double got = (*w.storage)[r][c];
                EXPECT_EQ(got, std::strtod(word.c_str(), nullptr)) << method << " " << r << " " << c;
            }
    }
}

// Planes falling along a flow direction, divided among the processes: every interior cell sends
// its water to the main direction and its two sides with the shares of the angles (taken at run
// time, as the model takes them), bit for bit. North and north-west are the directions whose
// sides wrap around the numbering (8 and 2 of direction 1, 7 and 1 of direction 8).
TEST_F(SurfaceDivision, PlanesShareTheirWaterBetweenTheMainDirectionAndItsSides) {
    volatile double zero = 0.0;
    const double phi = zero * surfrout::kRadiansPerDegree, psi = (45.0 - zero) * surfrout::kRadiansPerDegree;
    double wm = std::cos(phi), wl = std::fabs(std::sin(psi) * std::cos(phi)), wr = std::fabs(std::cos(psi) * std::cos(phi));
    const double total = wl + wm + wr;
    wl /= total;
    wm /= total;
    wr /= total;
    struct Plane {
        int main;
        double perRow, perColumn;  // rise to the south and to the east (exact in binary)
    };
    for (const Plane& plane : {Plane{1, 0.5, 0.0}, Plane{8, 0.5, 0.5}, Plane{2, 0.5, -0.5}}) {
        WorldLayout w;
        w.nrows = 9;
        w.ncols = 6;
        w.decomposed = true;
        w.elevation = [plane](int r, int c) { return 100.0 + plane.perRow * r + plane.perColumn * c; };
        SectionSpec s;
        s.method = 1;
        World world(w);
        world.WriteControl(s);
        auto m = world.BuildReady();
        for (int r = world.settings.firstRow; r <= world.settings.lastRow; ++r)
            for (int c = 1; c <= w.ncols; ++c)
                if (world.Own(r, c)) (*world.directflow)[r][c] = 5.0;
        m->run(1, 1, 6, 2020);
        const int main = plane.main, left = main == 1 ? 8 : main - 1, right = main == 8 ? 1 : main + 1;
        double e[9] = {};
        e[main] = wm;
        e[left] = wl;
        e[right] = wr;
        double sum = 0;
        for (int d = 1; d <= 8; ++d) sum += e[d];
        int interior = 0;
        for (int r = world.settings.firstRow; r <= world.settings.lastRow; ++r)
            for (int c = 2; c < w.ncols; ++c) {
                if (r == 1 || r == w.nrows || !world.Own(r, c)) continue;
                ++interior;
                EXPECT_EQ(m->velocity[r][c][0], main) << r << " " << c;
                for (int d = 1; d <= 8; ++d) EXPECT_EQ(m->weights[r][c][d], e[d] / sum) << main << " " << r << " " << c << " " << d;
            }
        MPI_Allreduce(MPI_IN_PLACE, &interior, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
        EXPECT_EQ(interior, 7 * 4);
    }
}

// Rain on the northern rows only, on a slope to the south: the water enters dry cells of the
// processes further south from the cells of the process above them, which the sub steps would
// skip as quiet unless the other process's cells tell that they send water. After every call
// the divided basin holds the one-process storages, bit for bit.
TEST_F(SurfaceDivision, WaterCrossesIntoTheDryCellsOfTheNextProcess) {
    auto layout = [](bool decomposed) {
        WorldLayout w;
        w.nrows = 12;
        w.ncols = 5;
        w.decomposed = decomposed;
        w.elevation = [](int r, int c) { return 80.0 - 0.5 * r + 0.05 * ((r * 3 + c) % 4); };
        w.river = [](int r, int c) { return r == 12 && c == 3; };
        return w;
    };
    for (int method : {1, 3}) {
        SectionSpec s;
        s.method = method;
        s.maxStep = 120;
        DividedPair pair(layout, s);
        World &reference = pair.reference, &divided = pair.divided;
        auto &a = pair.a, &b = pair.b;
        for (int pass = 0; pass < 4; ++pass) {
            for (World* w : {&reference, &divided})
                for (int r = w->settings.firstRow; r <= w->settings.lastRow; ++r)
                    for (int c = 1; c <= 5; ++c)
                        if (w->Own(r, c)) {
                            (*w->directflow)[r][c] = (*w->storage)[r][c] + (pass == 0 && r <= 2 ? 20.0 : 0.0);
                            (*w->storage)[r][c] = 0;
                        }
            a->run(1, 1, 6, 2020);
            b->run(1, 1, 6, 2020);
            const int wet = ExpectOwnCellsAsOneProcess(divided, reference, 5, method, pass, [](int, int) {});
            if (pass == 3) {
                EXPECT_GT(wet, 10) << method;
            }
        }
    }
}

// A basin tall enough that each process holds rows whose neighbourhoods hold no cell of another
// process: the sub steps compute those while the halo values travel, the rows beside the other
// processes once the values are in. Water and a tracer that run across every border come out bit
// for bit as with one process, call after call.
TEST_F(SurfaceDivision, RowsAwayFromTheBordersRouteWhileTheHaloValuesTravel) {
    auto layout = [](bool decomposed) {
        WorldLayout w;
        w.nrows = 24;
        w.ncols = 6;
        w.decomposed = decomposed;
        w.elevation = [](int r, int c) { return 90.0 - 0.4 * r + 0.02 * (c - 3) * (c - 3) + 0.03 * ((r * 7 + c) % 5); };
        w.river = [](int r, int c) { return r == 24 && c == 3; };
        return w;
    };
    for (int method : {1, 3}) {
        const int wet = RouteAsOneProcess(
            layout, 1, method,
            // Rain on the northern rows, with a concentration that differs by column.
            [](int pass, int r, int) { return pass < 2 && r <= 8 ? 15.0 : 0.0; }, [](int c) { return 1.0 + 0.5 * c; },
            [](const surfaceroutingclass& b) {
                EXPECT_EQ(static_cast<int>(b.innerRows.size() + b.edgeRows.size()), b.lastRow - b.firstRow + 1);
                EXPECT_FALSE(b.innerRows.empty());
                if (talvo_test::Size() > 1) {
                    EXPECT_FALSE(b.edgeRows.empty());
                }
            });
        // The water has reached the southern processes' rows.
        EXPECT_GT(wet, 60) << method;
    }
}

namespace {

// A basin whose water gathers in a valley down the middle rows: the process holding them computes
// many more wet cells per sub step than the others, which wait for its edge rows only.
WorldLayout Valley(bool decomposed) {
    WorldLayout w;
    w.nrows = 28;
    w.ncols = 9;
    w.decomposed = decomposed;
    w.elevation = [](int r, int c) {
        const double across = std::fabs(c - 5.0), down = std::fabs(r - 14.0);
        return 60.0 + 0.6 * across + 0.5 * down + 0.03 * ((r * 7 + c * 3) % 5);
    };
    w.river = [](int r, int c) { return r == 14 && c == 5; };
    return w;
}

// Water gathering in the valley from rain on every cell in the first two calls.
int RouteValleyAsOneProcess(int tracerCount, int method) {
    return RouteAsOneProcess(
        Valley, tracerCount, method, [](int pass, int r, int) { return pass < 2 ? 6.0 + 0.5 * (r % 3) : 0.0; },
        [](int c) { return 1.0 + 0.25 * c; },
        [](const surfaceroutingclass& b) {
            // The rows sent to other processes are edge rows: their values go out while the inner
            // rows are computed, which must not write them.
            if (b.sendHalo == nullptr) return;
            for (const HaloRecord& h : *b.sendHalo) {
                if (h.row < b.firstRow || h.row > b.lastRow) continue;
                EXPECT_NE(std::find(b.edgeRows.begin(), b.edgeRows.end(), h.row), b.edgeRows.end()) << h.row;
            }
        });
}

}  // namespace

// Each pass sends the edge rows' values as soon as they are computed and computes the inner rows
// while they travel (the velocity pass starts on the inner rows until the levels are in): water
// gathering in the rows of one process routes bit for bit as with one process, with and without a
// tracer, call after call.
TEST_F(SurfaceDivision, AValleyInTheRowsOfOneProcessRoutesLikeOneProcess) {
    for (const int tracerCount : {0, 1})
        for (const int method : {1, 3}) {
            const int wet = RouteValleyAsOneProcess(tracerCount, method);
            EXPECT_GT(wet, 20) << tracerCount << " " << method;
        }
}

// With the step times on, every call of run hands its start and end, its velocity and storage
// passes, its halo waits and its sub-step agreement to rows of the table of their own, once per
// call and in the same order on every process; the water comes out as without them.
TEST_F(SurfaceDivision, TheStepTimesTakeTheCallsPassesWaitsAndAgreementWithoutChangingAResult) {
    StepTimes& times = StepTimes::Instance();
    const bool enabledBefore = times.Enabled();
    std::vector<double> seen[2];
    for (const bool timed : {false, true}) {
        times.Reset(timed);
        World w(Valley(true));
        SectionSpec s;
        s.method = 3;
        s.maxStep = 120;
        w.WriteControl(s);
        std::unique_ptr<surfaceroutingclass> m = w.BuildReady();
        Drive(w, *m, 3);
        for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
            for (int c = 1; c <= w.def.ncols; ++c)
                if (w.Own(r, c)) {
                    seen[timed].push_back((*w.storage)[r][c]);
                    seen[timed].push_back((*w.directflow)[r][c]);
                }
    }
    const std::vector<StepTimes::Sum> sums = times.Sums();
    times.Reset(enabledBefore);
    ASSERT_EQ(seen[0].size(), seen[1].size());
    EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(double)), 0);
    const char* const rows[] = {"surface routing: start and end", "surface routing: velocity passes",
                                "surface routing: storage passes", "surface routing: halo waits",
                                "surface routing: sub-step agreement"};
    ASSERT_EQ(sums.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(sums[k].name, rows[k]);
        EXPECT_EQ(sums[k].count, 3) << rows[k];
        EXPECT_GE(sums[k].work, 0.0) << rows[k];
        EXPECT_EQ(sums[k].wait, 0.0) << rows[k];
    }
    EXPECT_GT(sums[1].work, 0.0);
}
