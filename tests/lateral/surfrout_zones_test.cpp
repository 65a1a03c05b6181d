// Travel-time zones, the linear storages of subbasin runoff and the state section.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <functional>

#include "kernel/exactsum.hpp"
#include "kernel/memory.hpp"
#include "kernel/zonerecord.hpp"
#include "setup/tracer_ini.hpp"
#include "surfrout_world.hpp"
#include "support/test_support.hpp"

using namespace surfrout_test;
using submodel_test::Contains;

namespace {

class SurfaceZones : public talvo_test::TempDirTest {};

// Two subbasins on a 4 x 4 grid of river cells (no overland flow): codes 1 (columns 1-2)
// and 2 (columns 3-4); rows in bands over the processes.
WorldLayout RiverBasin(bool withTimes) {
    WorldLayout w;
    w.nrows = 4;
    w.ncols = 4;
    w.banded = true;
    w.zone = [](int, int c) { return c <= 2 ? 1.0 : 2.0; };
    w.river = [](int, int) { return true; };
    if (withTimes) w.flowTimes = [](int r, int) { return r <= 2 ? 1.0 : 3.0; };
    return w;
}

// One step: prologue, a pass with the given direct flow and interflow everywhere, epilogue.
void Step(World& w, surfaceroutingclass& m, double direct, double inter, int hour) {
    m.ShiftFlowTimeZones(hour, 1, 6, 2020);
    for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
        for (int c = 1; c <= 4; ++c) {
            (*w.directflow)[r][c] = direct;
            (*w.interflow)[r][c] = inter;
        }
    m.run(hour, 1, 6, 2020);
    m.RouteFlowTimeZones(hour, 1, 6, 2020);
}

}  // namespace

TEST_F(SurfaceZones, LinearStoragesAndTotalRunoff) {
    World w(RiverBasin(false));
    w.WriteControl(SectionSpec{});
    auto m = w.BuildReady();
    SubbasinValues kd{0, 120, 120}, ki{0, 60, 60};
    RunoffArray qbb{{0, 0.5, 0.25}};
    m->SetKelsqd(&kd);
    m->SetKelsqi(&ki);
    m->SetQBb(&qbb);
    Step(w, *m, 10, 2, 1);
    if (talvo_test::Rank() == 0) {
        EXPECT_NEAR(m->QDd[0][1], 3.934693, 1e-6);
        EXPECT_NEAR(m->QIi[0][1], 2 * (1 - std::exp(-1.0)), 1e-12);
        EXPECT_NEAR((*m->GetQg())[0][2], m->QDd[0][2] + m->QIi[0][2] + 0.25, 1e-12);
    }
    const double first = m->QDd[0][1];
    for (int h = 2; h <= 4; ++h) {
        const double before = m->QDd[0][1];
        Step(w, *m, 0, 0, h);
        if (talvo_test::Rank() == 0) {
            EXPECT_NEAR(m->QDd[0][1], before * std::exp(-0.5), 1e-12);
        }
    }
    if (talvo_test::Rank() == 0) {
            EXPECT_NEAR(m->QDd[0][1], first * std::exp(-1.5), 1e-12);
        }
    EXPECT_FALSE(Contains(w.console.str(), "without the soil model"));
}

TEST_F(SurfaceZones, WithoutSoilModelStoragesPassThrough) {
    World w(RiverBasin(false));
    w.WriteControl(SectionSpec{});
    auto m = w.BuildReady(2);
    m->SetQBb(nullptr);
    m->SetKelsqd(nullptr);
    m->SetKelsqi(nullptr);
    // Two coupling passes: direct flow and interflow both count per pass.
    m->ShiftFlowTimeZones(1, 1, 6, 2020);
    for (int pass = 0; pass < 2; ++pass) {
        for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
            for (int c = 1; c <= 4; ++c) {
                (*w.directflow)[r][c] = 3;
                (*w.interflow)[r][c] = 1;
            }
        m->run(1, 1, 6, 2020);
    }
    m->RouteFlowTimeZones(1, 1, 6, 2020);
    if (talvo_test::Rank() == 0) {
        EXPECT_NEAR(m->QDd[0][1], 6.0, 1e-12);
        EXPECT_NEAR(m->QIi[0][1], 2.0, 1e-12);
        EXPECT_NEAR(m->Qg[0][1], 8.0, 1e-12);
    }
    Step(w, *m, 0, 0, 2);
    if (talvo_test::Rank() == 0) {
            EXPECT_EQ(m->Qg[0][1], 0.0);
        }
    // Reported once.
    const std::string text = w.console.str();
    const auto first = text.find("without the soil model");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("without the soil model", first + 1), std::string::npos);
}

TEST_F(SurfaceZones, TravelTimeZonesDelayRunoff) {
    World w(RiverBasin(true));
    w.WriteControl(SectionSpec{});
    auto m = w.BuildReady();
    EXPECT_EQ(m->maxzeit[1], 3);
    EXPECT_EQ(m->maxzeit[2], 3);
    // A zone's record starts with the weights of the cells of that zone and beyond, counted once
    // over all processes, whatever the division.
    double weights[3] = {m->ZoneQI(0, 1)[1].RelCellSum, m->ZoneQI(0, 1)[2].RelCellSum, m->ZoneQI(0, 1)[3].RelCellSum};
    MPI_Allreduce(MPI_IN_PLACE, weights, 3, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_EQ(weights[0], 8.0);
    EXPECT_EQ(weights[1], 4.0);
    EXPECT_EQ(weights[2], 4.0);
    if (talvo_test::Rank() == 0) {
        const std::string text = talvo_test::ReadFile("modell_0.log");
        EXPECT_TRUE(Contains(text, "Flow time distribution:\nTG\t   1\t(  3\tZonen):\t0.500\t0.000\t0.500\n"));
    }
    // Rows 1-2 (zone 1) arrive in the step, rows 3-4 (zone 3) two steps later; each half of the
    // subbasin's pulse of 10 mm is spread over the whole subbasin: the pulse returns 10 mm.
    const double expectNow[4] = {5, 0, 5, 0};
    for (int h = 1; h <= 4; ++h) {
        Step(w, *m, h == 1 ? 10 : 0, 0, h);
        if (talvo_test::Rank() == 0) {
            EXPECT_NEAR(m->Qg[0][1], expectNow[h - 1], 1e-12) << h;
        }
    }
}

TEST_F(SurfaceZones, PulseReturnsItsVolumeFromEveryZone) {
    // Zones 1-4 by row, subbasin 2 all 0 (it has one zone): 10 mm in, 10 mm out, at a steady
    // input too, whatever the division over the processes.
    WorldLayout def = RiverBasin(true);
    def.flowTimes = [](int r, int c) { return c <= 2 ? double(r) : 0.0; };
    World w(def);
    w.WriteControl(SectionSpec{});
    auto m = w.BuildReady();
    EXPECT_EQ(m->maxzeit[1], 4);
    EXPECT_EQ(m->maxzeit[2], 1);
    double out[3] = {0, 0, 0};
    for (int h = 1; h <= 6; ++h) {
        Step(w, *m, h == 1 ? 10 : 0, 0, h);
        for (int s = 1; s <= 2; ++s) out[s] += m->Qg[0][static_cast<std::size_t>(s)];
    }
    if (talvo_test::Rank() == 0) {
        EXPECT_NEAR(out[1], 10.0, 1e-12);
        EXPECT_NEAR(out[2], 10.0, 1e-12);
    }
    for (int h = 7; h <= 12; ++h) Step(w, *m, 3, 0, h);
    if (talvo_test::Rank() == 0) {
        EXPECT_NEAR(m->Qg[0][1], 3.0, 1e-12);
        EXPECT_NEAR(m->Qg[0][2], 3.0, 1e-12);
    }
}

TEST_F(SurfaceZones, ZoneErrors) {
    // The code of setting up the zones with the given travel times, and the console text.
    auto setUp = [](const std::function<double(int, int)>& times, std::string* console) {
        WorldLayout def = RiverBasin(true);
        def.flowTimes = times;
        World w(def);
        w.WriteControl(SectionSpec{});
        unsigned error = 0;
        auto m = w.Build(&error);
        m->CreateTracerGrids(error, 0, nullptr, nullptr, 0);
        *console = w.console.str();
        return error;
    };
    std::string console;
    // Subbasin 1 has no zone 1.
    EXPECT_EQ(setUp([](int, int c) { return c <= 2 ? 2.0 : 1.0; }, &console), 61u);
    // No integer.
    EXPECT_EQ(setUp([](int r, int c) { return r == 4 && c == 4 ? 3e9 : 1.0; }, &console), 6u);
    // Zones whose records (plain and exact, direct runoff and interflow, in each of the two
    // subbasins) would take more than a quarter of this machine's memory on its processes: refused
    // before they are allocated. A machine too large for that with the most zones is left out.
    const double perZone = 2.0 * 2.0 * (sizeof(zoneFZT) + sizeof(ExactZoneSums)) * talvo_test::Size();
    const double zones = std::ceil(0.3 * MachineMemoryBytes() / perZone);
    if (zones > 0 && zones <= kMaxFlowTimeZones) {
        EXPECT_EQ(setUp([zones](int, int) { return zones; }, &console), 6u);
        EXPECT_TRUE(Contains(console, "the flow travel time zones of surface routing (up to ")) << console;
        EXPECT_TRUE(Contains(console, "processes of this machine, more than 25 % of its memory")) << console;
    }
    // A negative or nodata zone inside the basin would lose the cell's runoff: the first such
    // cell in row order is named, the same on every process.
    for (double bad : {-9999.0, -1.0}) {
        EXPECT_EQ(setUp([bad](int r, int c) { return (r == 3 && c >= 2) || (r == 4 && c == 1) ? bad : 1.0; },
                        &console),
                  6u);
        EXPECT_TRUE(Contains(console, "flow travel time zone in flow_times.asc is negative or nodata "
                                      "at row 3, column 2 (counted from 1)"))
            << console;
    }
}

TEST_F(SurfaceZones, StateSectionContinuesARun) {
    auto runSteps = [](World& w, surfaceroutingclass& m, int from, int to) {
        for (int h = from; h <= to; ++h) Step(w, m, h == 1 ? 12 : 0, h == 1 ? 3 : 0, h);
    };
    SubbasinValues kd{0, 120, 90}, ki{0, 300, 200};
    // One run of four steps.
    World whole(RiverBasin(true));
    whole.WriteControl(SectionSpec{});
    auto a = whole.BuildReady();
    a->SetKelsqd(&kd);
    a->SetKelsqi(&ki);
    runSteps(whole, *a, 1, 4);
    // The same split in two.
    World first(RiverBasin(true));
    first.WriteControl(SectionSpec{});
    auto b = first.BuildReady();
    b->SetKelsqd(&kd);
    b->SetKelsqi(&ki);
    runSteps(first, *b, 1, 2);
    b->ModelEnd(false);
    const std::string name = "state.txt_" + std::to_string(talvo_test::Rank());
    const std::string text = talvo_test::ReadFile(name);
    EXPECT_TRUE(Contains(text, "[SurfaceRoutingModel]\n2 (number of subasins)\n0 (number of tracers)\n"
                               "0 (0=runoff, 1...9 = tracers)\n1 3 (zone 1 and maxzeit)\n"));
    World second(RiverBasin(true));
    SectionSpec s;
    s.readGrids = 1;
    second.WriteControl(s);
    auto c = second.BuildReady();
    c->SetKelsqd(&kd);
    c->SetKelsqi(&ki);
    runSteps(second, *c, 3, 4);
    for (int sb = 1; sb <= 2 && talvo_test::Rank() == 0; ++sb) {
            EXPECT_NEAR(c->Qg[0][static_cast<std::size_t>(sb)], a->Qg[0][static_cast<std::size_t>(sb)],
                        1e-5 * std::fabs(a->Qg[0][static_cast<std::size_t>(sb)]));
            EXPECT_GT(a->Qg[0][static_cast<std::size_t>(sb)], 0.0);
        }
}

TEST_F(SurfaceZones, StateMismatchesStopTheRun) {
    const std::string name = "state.txt_" + std::to_string(talvo_test::Rank());
    struct Case {
        std::string file;
        std::string key;
    } cases[] = {
        {"[SurfaceRoutingModel]\n2 (number of subasins)\n1 (number of tracers)\n", "number of tracers"},
        {"[SurfaceRoutingModel]\n3 (number of subasins)\n0 (number of tracers)\n", "number of subbasins"},
        {"[SurfaceRoutingModel]\n2 (number of subasins)\n0 (number of tracers)\n0 (t)\n1 2 (zone 1 and maxzeit)\n",
         "maxzeit of actual subbasin"},
        {"[SurfaceRoutingModel]\n2 (number of subasins)\n0 (number of tracers)\n0 (t)\n1 1 (zone)\n1 2 3\n",
         "number of fields for zonal statistics QD"},
        {"[SurfaceRoutingModel]\n2 (number of subasins)\n", "number of tracers"},
        // A storage that is not a finite number would run through every later step's runoff.
        {"[SurfaceRoutingModel]\n2 (number of subasins)\n0 (number of tracers)\n0 (t)\n1 1 (zone)\n1 nan 1 1 1\n",
         "zoneFZT_QD"},
        {"[SurfaceRoutingModel]\n2 (number of subasins)\n0 (number of tracers)\n0 (t)\n1 1 (zone)\n1 1 1 1 1\n"
         "1 1 1 1 1\ninf (QDd)\n",
         "QDd"},
    };
    for (const Case& c : cases) {
        talvo_test::WriteFile(name, c.file);
        World w(RiverBasin(false));
        SectionSpec s;
        s.readGrids = 1;
        w.WriteControl(s);
        unsigned error = 0;
        auto m = w.Build(&error);
        ASSERT_EQ(error, 0u);
        m->CreateTracerGrids(error, 0, nullptr, nullptr, 0);
        EXPECT_EQ(error, 71u) << c.key;
        EXPECT_TRUE(Contains(w.console.str(), "error in storage file content reading " + c.key)) << c.key;
    }
    // A missing file or section only warns.
    std::remove(name.c_str());
    World w(RiverBasin(false));
    SectionSpec s;
    s.readGrids = 1;
    w.WriteControl(s);
    auto m = w.BuildReady();
    EXPECT_TRUE(Contains(w.console.str(), "error opening storage content file"));
    talvo_test::WriteFile(name, "[snow_model]\n1\n");
    World v(RiverBasin(false));
    v.WriteControl(s);
    auto n = v.BuildReady();
    EXPECT_TRUE(Contains(v.console.str(), "error locking for the section [SurfaceRoutingModel]"));
    // A velocity stack that no run wrote (the first run of a chain, or a write code that writes
    // only its statistics) leaves the velocities of a cold start, with a warning.
    std::remove("velocity.stk");
    s.velocityCode = 10;
    World u(RiverBasin(false));
    u.WriteControl(s);
    unsigned error = 0;
    auto q = u.Build(&error);
    ASSERT_EQ(error, 0u) << u.console.str();
    q->CreateTracerGrids(error, 0, nullptr, nullptr, 0);
    EXPECT_EQ(error, 0u) << u.console.str();
    EXPECT_TRUE(Contains(u.console.str(), "no velocity stack velocity.stk to start from in SurfaceRoutingModel"))
        << u.console.str();
}

TEST_F(SurfaceZones, ZonesAndLinearStoragesHoldWhatHasNotLeftYet) {
    // Runoff varying by cell and step enters subbasin 1's zones 1-4 (by row) and subbasin 2's
    // zones 1-2: every step, what entered = what the linear storages gave to the channels + the
    // change of the water in zones 2 and beyond + the change of the storages. The storage whose
    // outflow follows new = in (1 - e) + e old holds e / (1 - e) times its outflow.
    WorldLayout def = RiverBasin(true);
    def.flowTimes = [](int r, int c) { return c <= 2 ? double(r) : double(1 + r % 2); };
    World w(def);
    w.WriteControl(SectionSpec{});
    auto m = w.BuildReady();
    SubbasinValues kd{0, 120, 45}, ki{0, 300, 200};
    RunoffArray qbb{{0, 0, 0}};
    m->SetKelsqd(&kd);
    m->SetKelsqi(&ki);
    m->SetQBb(&qbb);
    const double cells = 8;  // per subbasin, weight 1 each
    auto keep = [](double k) { return std::exp(-60.0 / k) / (1 - std::exp(-60.0 / k)); };
    double held0[3] = {0, 0, 0};
    for (int h = 1; h <= 30; ++h) {
        m->ShiftFlowTimeZones(h, 1, 6, 2020);
        double in[3] = {0, 0, 0};
        for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
            for (int c = 1; c <= 4; ++c) {
                const double d = h <= 12 ? 0.5 * r + c + h % 3 : 0, i = h <= 20 ? 0.1 * c * r : 0;
                (*w.directflow)[r][c] = d;
                (*w.interflow)[r][c] = i;
                in[c <= 2 ? 1 : 2] += d + i;
            }
        m->run(h, 1, 6, 2020);
        m->RouteFlowTimeZones(h, 1, 6, 2020);
        double zones[3] = {0, 0, 0};
        for (int s = 1; s <= 2; ++s)
            for (int z = 2; z <= m->maxzeit[static_cast<std::size_t>(s)]; ++z)
                // A zone's record plus the exact sum of what its cells added since.
                zones[s] += WithExactSums(m->ZoneQD(0, s)[z], m->ExactQD(0, s)[z]).sx +
                            WithExactSums(m->ZoneQI(0, s)[z], m->ExactQI(0, s)[z]).sx;
        MPI_Allreduce(MPI_IN_PLACE, in, 3, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        MPI_Allreduce(MPI_IN_PLACE, zones, 3, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        if (talvo_test::Rank() != 0) continue;
        for (int s = 1; s <= 2; ++s) {
            const auto i = static_cast<std::size_t>(s);
            const double out = (m->QDd[0][i] + m->QIi[0][i]) * cells;
            const double held = zones[s] + (keep(kd[i]) * m->QDd[0][i] + keep(ki[i]) * m->QIi[0][i]) * cells;
            EXPECT_NEAR(in[s], out + held - held0[s], 1e-12 * (in[s] + out + held + held0[s])) << s << " " << h;
            EXPECT_NEAR(m->Qg[0][i] * cells, out, 1e-12 * out) << s << " " << h;
            held0[s] = held;
        }
    }
}

// A tracer that comes with a pulse of direct flow and interflow into the river cells leaves
// through the subbasin's outlet with the total runoff, delayed by the travel-time zones and the
// linear storages: what left (runoff x its concentration) and what the storages still hold
// (water x concentration) add up to what came in, for a tracer carried as mass and for one mixed
// as concentration.
TEST_F(SurfaceZones, TracerPulseLeavesThroughTheOutletWhole) {
    World w(RiverBasin(true));
    std::vector<Matrix*> concQD, concQI;
    for (int t = 1; t <= 2; ++t) {
        concQD.push_back(w.AddGrid(StrFormat("_CONC_QD_%d_", t), 0));
        concQI.push_back(w.AddGrid(StrFormat("_CONC_QI_%d_", t), 0));
    }
    w.WriteControl(SectionSpec{});
    std::vector<TracerDescriptor> tracers(3);
    tracers[1].name = "mas";
    tracers[2].name = "con";
    tracers[2].evaporating = 1;
    unsigned error = 0;
    auto m = w.Build(&error);
    ASSERT_EQ(error, 0u) << w.console.str();
    m->CreateTracerGrids(error, 2, tracers.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << w.console.str();
    SubbasinValues kd{0, 120, 120}, ki{0, 60, 60};
    RunoffArray qbb(3, std::vector<double>(3, 0.0));
    m->SetKelsqd(&kd);
    m->SetKelsqi(&ki);
    m->SetQBb(&qbb);
    double out[3][3] = {};  // [tracer][subbasin]
    for (int h = 1; h <= 30; ++h) {
        for (int t = 0; t < 2; ++t)
            for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
                for (int c = 1; c <= 4; ++c) (*concQD[t])[r][c] = (*concQI[t])[r][c] = h == 1 ? 2.0 : 0.0;
        Step(w, *m, h == 1 ? 10 : 0, h == 1 ? 2 : 0, h);
        for (int t = 0; t <= 2; ++t)
            for (std::size_t s = 1; s <= 2; ++s) out[t][s] += m->Qg[0][s] * (t == 0 ? 1.0 : m->Qg[t][s]);
    }
    if (talvo_test::Rank() != 0) return;
    // Without input a storage of constant k gives Q e, Q e^2, ... at its concentration: what is
    // still to leave is Q e / (1 - e).
    const double ed = std::exp(-60.0 / 120.0), ei = std::exp(-60.0 / 60.0);
    for (std::size_t s = 1; s <= 2; ++s) {
        const double direct = m->QDd[0][s] * ed / (1 - ed), inter = m->QIi[0][s] * ei / (1 - ei);
        EXPECT_NEAR(out[0][s] + direct + inter, 12.0, 1e-9) << s;
        EXPECT_GT(out[0][s], 11.0);  // most of it left
        for (std::size_t t = 1; t <= 2; ++t)
            EXPECT_NEAR(out[t][s] + direct * m->QDd[t][s] + inter * m->QIi[t][s], 12.0 * 2.0, 1e-9)
                << "tracer " << t << " subbasin " << s;
    }
}

// The end of a pass adds each cell to the record of its subbasin's travel-time zone: the water's
// records count the cells and their areas, the tracers' records the water and its mass. With
// varying areas, interflow that is zero in some cells and the cells divided among the
// processes, the sums over all processes hold each cell once.
TEST_F(SurfaceZones, APassAddsEveryCellOnceToItsZoneRecords) {
    WorldLayout def;
    def.nrows = 6;
    def.ncols = 5;
    def.decomposed = true;
    def.zone = [](int r, int c) { return r == 6 && c == 5 ? -9999.0 : 1.0; };
    def.elevation = [](int r, int c) { return 30.0 - 0.2 * r - 0.1 * c; };
    def.flowTimes = [](int, int c) { return c <= 2 ? 1.0 : (c <= 4 ? 2.0 : 3.0); };
    World w(def);
    auto area = [](int r, int c) { return 0.25 * (1 + (r + 2 * c) % 4); };
    auto inter = [](int r, int c) { return (r * c) % 3 == 0 ? 0.0 : 0.5 * ((r + c) % 4); };
    auto conc = [](int, int c) { return 2.0 + c % 2; };
    Matrix* rel = w.AddGrid("RelCellArea", 0);
    Matrix* concQI = w.AddGrid("_CONC_QI_1_", 0);
    w.AddGrid("_CONC_QD_1_", 0);
    for (int r = 1; r <= def.nrows; ++r)
        for (int c = 1; c <= def.ncols; ++c) {
            (*rel)[r][c] = area(r, c);
            (*concQI)[r][c] = conc(r, c);
        }
    w.WriteControl(SectionSpec{});
    std::vector<TracerDescriptor> tracers(2);
    tracers[1].name = "chl";
    auto m = w.BuildReady(2, &tracers);
    ASSERT_EQ(m->maxzeit[1], 3);
    for (int r = w.settings.firstRow; r <= w.settings.lastRow; ++r)
        for (int c = 1; c <= def.ncols; ++c)
            if (w.Own(r, c)) {
                (*w.directflow)[r][c] = 1.0;
                (*w.interflow)[r][c] = inter(r, c);
            }
    m->run(1, 1, 6, 2020);
    // Per zone 1..3: cells, areas, interflow (twice: two passes per step), then the tracer's
    // water, weighed water and mass; all sums of quarters, exact in any order.
    double sums[3][8] = {};
    for (int z = 1; z <= 3; ++z) {
        const ExactZoneSums& qd = m->ExactQD(0, 1)[z];
        const ExactZoneSums& qi = m->ExactQI(0, 1)[z];
        const ExactZoneSums& ti = m->ExactQI(1, 1)[z];
        const double got[8] = {qd.n.Value(),  qi.n.Value(),          qd.RelCellSum.Value(), qi.RelCellSum.Value(),
                               qi.sx.Value(), ti.n.Value(),          ti.RelCellSum.Value(), ti.sx.Value()};
        for (int i = 0; i < 8; ++i) sums[z - 1][i] = got[i];
        EXPECT_EQ(qd.sx.Value(), 0.0) << z;  // no river cells
    }
    MPI_Allreduce(MPI_IN_PLACE, &sums[0][0], 24, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    double expected[3][8] = {};
    for (int r = 1; r <= def.nrows; ++r)
        for (int c = 1; c <= def.ncols; ++c) {
            if (r == 6 && c == 5) continue;
            double* e = expected[static_cast<int>(def.flowTimes(r, c)) - 1];
            const double a = area(r, c), i = inter(r, c);
            const double add[8] = {1, 1, a, a, a * i * 2, i, a * i, a * conc(r, c) * i * 2};
            for (int k = 0; k < 8; ++k) e[k] += add[k];
        }
    for (int z = 0; z < 3; ++z)
        for (int k = 0; k < 8; ++k) EXPECT_EQ(sums[z][k], expected[z][k]) << "zone " << z + 1 << " sum " << k;
    EXPECT_EQ(expected[0][0], 12.0);
    EXPECT_GT(expected[2][4], 0.0);
}
