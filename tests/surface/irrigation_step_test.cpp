// The irrigation model's step at 1, 2 and 4 processes: amounts of every method added to the
// precipitation, the pumping limit, the gather of grids held only on own rows, the supply from
// reservoirs and rivers with the shortage rebuild, the statistics tables and the failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "irrigation_test_domain.hpp"
#include "kernel/zonestat.hpp"
#include "setup/tracer_ini.hpp"

namespace {

using submodel_test::CodeOf;

class IrrigationStep : public irrigation_test::IrrigationDomain {
protected:
    // The model with one tracer "chl" and its soil stores linked; a statistics code other than 0
    // gives the tracer a table under the path given.
    std::unique_ptr<irrigationclass> TracedIrrigation(int statcode = 0, const char* path = "") {
        std::vector<TracerDescriptor> tracers(2);
        tracers[1].name = "chl";
        if (statcode != 0) {
            tracers[1].statcode = statcode;
            tracers[1].path = path;
        }
        auto m = ReadyIrrigation();
        unsigned error = 9;
        m->InitTracerGrids(error, 1, tracers.data(), nullptr, 0);
        EXPECT_EQ(error, 0u) << console_.str();
        m->LinkSoilTracerStores();
        return m;
    }
    // Values other processes hold in rows they do not own: never to be used.
    void SpoilForeignRows() {
        for (const char* name : {"SB_1_grid", "SBLOW_grid", "SBHIGH_grid", "ETR2ETP", "Max_Pumping",
                                 "irrigation_amounts", "root_depth1", "irrigation_codes", "precipitation"}) {
            Matrix& m = G(name);
            for (int r = 1; r <= 4; ++r) {
                if (r >= settings_.firstRow && r <= settings_.lastRow) continue;
                for (int c = 1; c <= 5; ++c) m[r][c] = 77;
            }
        }
    }
};

TEST_F(IrrigationStep, MethodsAddTheirAmountsToThePrecipitation) {
    // Column 1: fixed date; 2: soil moisture from groundwater; 3: from surface water;
    // 4: ETR/ETP; 5: method 0. Every code cell is in the basin where the zone grid has a value.
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = c; });
    Fill("precipitation", 0.5);
    Fill("ETR2ETP", 0.5);
    Fill("Max_Pumping", 2);
    SpoilForeignRows();
    auto m = ReadyIrrigation();
    m->run(1, 2, 1, 2020);
    const double expected[] = {0, 1.0, 2.0, 3.125, 2.0, 0};
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(G("irrigation_amounts")[r][c], expected[c], 1e-12) << r << "," << c;
        EXPECT_NEAR(G("precipitation")[r][c], 0.5 + expected[c], 1e-12) << r << "," << c;
    });
    // The next hour keeps the soil-moisture amounts; the fixed date gives its share again.
    Fill("precipitation", 0);
    m->run(2, 2, 1, 2020);
    ForOwn([&](int r, int c) { EXPECT_NEAR(G("precipitation")[r][c], expected[c], 1e-12) << r << "," << c; });
    // Another day: no fixed-date water.
    Fill("precipitation", 0);
    m->run(1, 3, 1, 2020);
    ForOwn([&](int r, int c) {
        if (c == 1) {
            EXPECT_EQ(G("precipitation")[r][c], 0.0);
        }
    });
}

TEST_F(IrrigationStep, WetSoilNeverRemovesRain) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 4; });
    Fill("SB_1_grid", 0.4);  // above SBHIGH
    Fill("ETR2ETP", 0.1);
    Fill("precipitation", 1);
    auto m = ReadyIrrigation();
    m->run(1, 2, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_EQ(G("irrigation_amounts")[r][c], 0.0);
        EXPECT_EQ(G("precipitation")[r][c], 1.0);
    });
    // A step without precipitation data: the irrigated cells get no rain, never nodata plus water.
    Fill("precipitation", -9999);
    m->run(2, 2, 1, 2020);
    ForOwn([&](int r, int c) { EXPECT_EQ(G("precipitation")[r][c], 0.0) << r << "," << c; });
}

TEST_F(IrrigationStep, StatisticsPerSubbasinWithTheirHeaders) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 2; });
    auto m = ReadyIrrigation(60, "2001 2001");
    m->run(1, 2, 1, 2020);
    m->FlushStatistics();
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        const std::string gw = talvo_test::ReadFile("gw.sta"), sw = talvo_test::ReadFile("sw.sta");
        EXPECT_TRUE(submodel_test::Contains(gw, "irrigation water amount from groundwater [mm]_submodel:irrigation"));
        EXPECT_TRUE(submodel_test::Contains(sw, "irrigation water amount from  surface water [mm]_submodel:irrigation"));
        const auto& values = m->groundwaterStat.stat->lastValues();
        for (int z = 1; z <= 3; ++z) EXPECT_NEAR(values[static_cast<std::size_t>(z)], 3.125, 1e-9) << z;
    }
    ASSERT_NE(m->GetIrrigationTable(), nullptr);
}

// Surface water of 3.125 mm per cell everywhere; reservoirs give 1 mm, rivers too little.
TEST_F(IrrigationStep, ShortageReducesTheSurfaceWaterAmounts) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 3; });
    MakeRoutingArrays(1.0, 1.0);
    auto m = ReadyIrrigation();
    Link(*m);
    m->run(1, 2, 1, 2020);
    // A = 1, F = min(1, 1 / 2.125), r = 1, p = 1 / (1 + F): amount = (1 - p) 3.125 F + p 3.125.
    const double F = 1.0 / 2.125, p = 1.0 / (1.0 + F);
    const double reduced = (1 - p) * 3.125 * F + p * 3.125;
    ForOwn([&](int r, int c) { EXPECT_NEAR(G("irrigation_amounts")[r][c], reduced, 1e-12); });
    if (talvo_test::Rank() == 0)
        for (int s = 1; s <= 3; ++s) {
            EXPECT_NEAR(fromReservoirs_[0][static_cast<std::size_t>(s)], 1.0, 1e-12);
            EXPECT_NEAR(m->surfaceStat.records[static_cast<std::size_t>(s)].sx /
                            m->surfaceStat.records[static_cast<std::size_t>(s)].RelCellSum,
                        reduced, 1e-12);
        }
}

// A lasting shortage: the soil-moisture rule holds the cells' amount of 3.125 mm from hour to hour,
// and each hour's supply reduces that amount, not the one the cells received an hour before (a
// reduction compounding hour by hour would irrigate less the shorter the step). The routing's
// arrays hold the same water every hour.
TEST_F(IrrigationStep, ALastingShortageReducesTheKeptAmountEachStep) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 3; });
    const double F = 1.0 / 2.125, p = 1.0 / (1.0 + F);
    const double reduced = (1 - p) * 3.125 * F + p * 3.125;
    auto m = ReadyIrrigation();
    for (int hour = 1; hour <= 3; ++hour) {
        MakeRoutingArrays(1.0, 1.0);
        Link(*m);
        Fill("precipitation", 0);
        m->run(hour, 2, 1, 2020);
        ForOwn([&](int r, int c) {
            EXPECT_NEAR(G("irrigation_amounts")[r][c], reduced, 1e-12) << hour;
            EXPECT_NEAR(G("precipitation")[r][c], reduced, 1e-12) << hour;
        });
    }
    // Water enough again: the cells receive the amount the rule kept.
    MakeRoutingArrays(10.0, 10.0);
    Link(*m);
    m->run(4, 2, 1, 2020);
    ForOwn([&](int r, int c) { EXPECT_NEAR(G("irrigation_amounts")[r][c], 3.125, 1e-12); });
}

// The soil model adds to "irrigation_amounts" the water its columns draw from groundwater: the
// next hour the soil-moisture rule still gives the amount it decided (taken as the rule's amount,
// the addition would raise the irrigation hour by hour without bound).
TEST_F(IrrigationStep, WaterTheSoilAddsToTheAmountsIsNotTheRulesAmount) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 2; });
    auto m = ReadyIrrigation();
    for (int hour = 1; hour <= 3; ++hour) {
        Fill("precipitation", 0);
        m->run(hour, 2, 1, 2020);
        ForOwn([&](int r, int c) {
            EXPECT_NEAR(G("precipitation")[r][c], 3.125, 1e-12) << hour;
            G("irrigation_amounts")[r][c] += 1.5;  // the soil's step
        });
    }
}

// A shortage in subbasin 1 (no reservoir, rivers 0.5 mm) reduces the amounts everywhere, also in
// subbasins 2 and 3 whose reservoirs could give all 3.125 mm: their cells receive less than the
// reservoirs' part. The reservoirs then give only what the cells received (the routing releases
// that and takes the rest of the records from the rivers), so no released water is lost.
TEST_F(IrrigationStep, ReservoirsGiveNoMoreThanTheCellsReceive) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 3; });
    MakeRoutingArrays(0.5, 10.0);
    fromReservoirs_[0][1] = 0;
    auto m = ReadyIrrigation();
    Link(*m);
    m->run(1, 2, 1, 2020);
    if (talvo_test::Rank() != 0) return;
    // Subbasins 2 and 3: A = 3.125 of m = 10, F = 1: r = 0.3125, p = 10 / 11.
    const double p = 10.0 / 11.0, reduced = (1 - p) * 3.125 + p * 3.125 * 0.3125;
    for (int s = 1; s <= 3; ++s) {
        const zoneFZT& rec = m->surfaceStat.records[static_cast<std::size_t>(s)];
        const double received = rec.sx / rec.RelCellSum, reservoir = fromReservoirs_[0][static_cast<std::size_t>(s)];
        EXPECT_LE(reservoir, received + 1e-12) << s;
        if (s > 1) {
            EXPECT_NEAR(received, reduced, 1e-12) << s;
            EXPECT_NEAR(reservoir, received, 1e-12) << s;
        } else {
            EXPECT_EQ(reservoir, 0.0);
        }
    }
}

// A shortage with a tracer: every process mixes its reduced amounts with process 0's river
// concentration of the subbasin (the others hold values never to be used), and process 0 takes the
// surface-water records of the reduced amounts and the tracer's records of the same step, the
// reservoirs giving no more than the cells received.
TEST_F(IrrigationStep, ShortageWithTracersMixesTheReducedAmountsWithProcessZerosRivers) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 3; });
    Add("concflux_tracer_1_input", 2.0);
    Add("concstor_tracer_1_unsatzon_model", 8.0);
    auto m = TracedIrrigation();
    MakeRoutingArrays(0.5, 10.0);
    fromReservoirs_[0][1] = 0;
    const auto river = [](std::size_t s) { return 4.0 + static_cast<double>(s); };
    for (std::size_t s = 1; s <= 3; ++s) maxirrig_[1][s] = talvo_test::Rank() == 0 ? river(s) : 555.0;
    Link(*m);
    Fill("precipitation", 1);
    m->run(1, 2, 1, 2020);
    // Subbasins 2 and 3 as in the test above; subbasin 1 draws its rivers' 0.5 mm alone.
    const double p = 10.0 / 11.0, reduced = (1 - p) * 3.125 + p * 3.125 * 0.3125;
    std::vector<double> water(4, 0.0), cells(4, 0.0);
    ForOwn([&](int r, int c) {
        const std::size_t s = static_cast<std::size_t>((*settings_.zoneIndex)[static_cast<std::size_t>(zone_[r][c])]);
        const double amount = G("irrigation_amounts")[r][c];
        if (s > 1) {
            EXPECT_NEAR(amount, reduced, 1e-12) << r << "," << c;
        }
        EXPECT_NEAR(G("precipitation")[r][c], 1.0 + amount, 1e-12);
        EXPECT_NEAR(m->tracers[1].flux[r][c], (2.0 * 1 + river(s) * amount) / (1.0 + amount), 1e-12) << r << "," << c;
        water[s] += 1.0 + amount;
        cells[s] += 1;
    });
    MPI_Allreduce(MPI_IN_PLACE, water.data(), 4, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, cells.data(), 4, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        for (std::size_t s = 1; s <= 3; ++s) {
            const zoneFZT& rec = m->surfaceStat.records[s];
            const double received = rec.sx / rec.RelCellSum;
            EXPECT_EQ(rec.n, cells[s]) << s;
            EXPECT_LE(fromReservoirs_[0][s], received + 1e-12) << s;
            if (s > 1) {
                EXPECT_NEAR(received, reduced, 1e-12) << s;
            }
            EXPECT_NEAR(m->tracers[1].zones[s].n, water[s], 1e-9) << s;
        }
    }
    m->FreeTracerGrids();
}

// Cells of another origin add to neither record: a subbasin without any weight has no demand
// (no 0 / 0 handed to the routing), and the cells keep their amounts.
TEST_F(IrrigationStep, SubbasinsWithoutWeightedCellsDemandNothing) {
    table_[5].method = 3;
    table_[5].origin = 3;
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 5; });
    MakeRoutingArrays(1.0, 2.0);
    auto m = ReadyIrrigation();
    Link(*m);
    m->run(1, 2, 1, 2020);
    ForOwn([&](int r, int c) { EXPECT_NEAR(G("irrigation_amounts")[r][c], 3.125, 1e-12); });
    if (talvo_test::Rank() == 0)
        for (int s = 1; s <= 3; ++s) {
            EXPECT_EQ(fromReservoirs_[0][static_cast<std::size_t>(s)], 0.0) << s;
            EXPECT_EQ(maxirrig_[0][static_cast<std::size_t>(s)], 1.0) << s;
        }
}

TEST_F(IrrigationStep, RiverRecordsLoseTheWithdrawal) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 3; });
    MakeRoutingArrays(100.0, 0.0);
    targets_[1] = {0, 2, 0, 0};  // subbasin 2 draws from its river, the chain ends there
    std::vector<riverflow_table> records(4, riverflow_table{});
    records[2].flowm3s = 50;
    records[2].area = 4;
    records[2].routingObject = 1;
    auto m = ReadyIrrigation();
    Link(*m);
    m->SetRiverflowTable(records.data());
    m->run(1, 2, 1, 2020);
    if (talvo_test::Rank() == 0) {
        // a(2) = basin area x share of subbasin 2; 3.125 mm in 60 minutes.
        const double q = 3.125 * (0.014 * 6.0 / 14) / (60 * 0.06);
        EXPECT_NEAR(records[2].flowm3s, 50 - q, 1e-12);
        EXPECT_NEAR(records[2].flow_mm[0], (50 - q) / 4 * 60 * 0.06, 1e-12);
        EXPECT_EQ(records[1].flowm3s, 0.0);
    }
}

TEST_F(IrrigationStep, BadRoutingTargetsStopWith60) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 3; });
    MakeRoutingArrays(1.0, 0.0);
    targets_[1] = {0, 2, 3, 2};
    auto m = ReadyIrrigation();
    Link(*m);
    EXPECT_EQ(CodeOf([&] { m->run(1, 2, 1, 2020); }), 60);
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(Logged("runs in a circle in the chain of subbasin 5"));
    }
}

TEST_F(IrrigationStep, TracersMixTheInputWithTheSourceWater) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = c % 2 == 0 ? 2 : 5; });
    Add("concflux_tracer_1_input", 2.0);
    Add("concstor_tracer_1_unsatzon_model", 8.0);
    Fill("precipitation", 1);
    auto m = TracedIrrigation(2001, "out_");  // the tracer's table, a row a step
    m->run(1, 2, 1, 2020);
    double sums[2] = {0, 0};  // tracer carried, water
    ForOwn([&](int r, int c) {
        // Groundwater water carries the soil store's concentration, weighted by the amount.
        const double expected = c % 2 == 0 ? (2.0 * 1 + 8.0 * 3.125) / 4.125 : 2.0;
        EXPECT_NEAR(m->tracers[1].flux[r][c], expected, 1e-12) << r << "," << c;
        sums[0] += m->tracers[1].flux[r][c] * G("precipitation")[r][c];
        sums[1] += G("precipitation")[r][c];
    });
    MPI_Allreduce(MPI_IN_PLACE, sums, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    m->FlushStatistics();
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        // The step's row: the basin's concentration of the water that reached the ground.
        const zonalstatistic& table = *m->tracers[1].statistics;
        EXPECT_NEAR(table.lastValues()[static_cast<std::size_t>(table.valuesPerRow() - 1)], sums[0] / sums[1], 1e-9);
        EXPECT_TRUE(submodel_test::Contains(talvo_test::ReadFile(m->tracers[1].statFileName), "\n2020\t"));
    }
    m->FreeTracerGrids();
}

// Water from the rivers carries the concentration the routing offers with it in each step; the
// cell's concentration of the step before plays no part (a warm start could not restore it).
TEST_F(IrrigationStep, RiverWaterCarriesTheRoutingsConcentrationOfEachStep) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 3; });
    Add("concflux_tracer_1_input", 2.0);
    Add("concstor_tracer_1_unsatzon_model", 8.0);
    auto m = TracedIrrigation();
    MakeRoutingArrays(100.0, 0.0);
    Link(*m);
    for (const double river : {6.0, 10.0}) {
        // What the routing's step leaves: plenty of water, of this concentration.
        for (int s = 1; s <= 3; ++s) {
            maxirrig_[0][static_cast<std::size_t>(s)] = 100.0;
            maxirrig_[1][static_cast<std::size_t>(s)] = river;
        }
        Fill("precipitation", 1);
        m->run(1, 2, 1, 2020);
        // 3.125 mm of river water mixed with 1 mm of rain of 2 mg/l.
        ForOwn([&](int r, int c) {
            EXPECT_NEAR(G("irrigation_amounts")[r][c], 3.125, 1e-12);
            EXPECT_NEAR(m->tracers[1].flux[r][c], (2.0 * 1 + river * 3.125) / 4.125, 1e-12) << river;
        });
    }
    m->FreeTracerGrids();
}

TEST_F(IrrigationStep, EachTracerTakesItsOwnRiverConcentrationOfProcessZero) {
    // Two tracers, each with its own river concentration per subbasin; only process 0's arrays
    // count (the others hold values never to be used).
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 3; });
    std::vector<TracerDescriptor> tracers(3);
    tracers[1].name = "chl";
    tracers[2].name = "iso";
    for (int t = 1; t <= 2; ++t) {
        Add("concflux_tracer_" + std::to_string(t) + "_input", 2.0 * t);
        Add("concstor_tracer_" + std::to_string(t) + "_unsatzon_model", 8.0);
    }
    auto m = ReadyIrrigation();
    unsigned error = 9;
    m->InitTracerGrids(error, 2, tracers.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    m->LinkSoilTracerStores();
    MakeRoutingArrays(100.0, 0.0);
    maxirrig_.resize(3, std::vector<double>(4, 0.0));
    auto river = [](int t, std::size_t s) { return 10.0 * t + static_cast<double>(s); };
    for (std::size_t t = 1; t <= 2; ++t)
        for (std::size_t s = 0; s < 4; ++s) maxirrig_[t][s] = talvo_test::Rank() == 0 ? river(static_cast<int>(t), s) : 555.0;
    Link(*m);
    Fill("precipitation", 1);
    m->run(1, 2, 1, 2020);
    // 3.125 mm of river water of its subbasin mixed with 1 mm of rain of the tracer's input.
    ForOwn([&](int r, int c) {
        const std::size_t s = static_cast<std::size_t>((*settings_.zoneIndex)[static_cast<std::size_t>(zone_[r][c])]);
        ASSERT_NEAR(G("irrigation_amounts")[r][c], 3.125, 1e-12);
        for (int t = 1; t <= 2; ++t)
            EXPECT_NEAR(m->tracers[static_cast<std::size_t>(t)].flux[r][c], (2.0 * t + river(t, s) * 3.125) / 4.125, 1e-12)
                << t << ": " << r << "," << c;
    });
    m->FreeTracerGrids();
}

TEST_F(IrrigationStep, MissingRoutingArraysStopWith60) {
    auto m = ReadyIrrigation();
    MakeRoutingArrays(1, 1);
    EXPECT_EQ(CodeOf([&] { m->SetMaxIrrigation(nullptr, &fromReservoirs_); }), 60);
    EXPECT_TRUE(Logged("(Adress of array maxirrig[] is NULL"));
    EXPECT_EQ(CodeOf([&] { m->SetMaxIrrigation(&maxirrig_, nullptr); }), 60);
    EXPECT_TRUE(Logged("(Adress of array maxirrigFromReservoirs[] is NULL"));
    EXPECT_EQ(CodeOf([&] { m->SetRoutingTarget(nullptr); }), 60);
    EXPECT_TRUE(Logged("(Adress of array routing-target is NULL)"));
    EXPECT_EQ(CodeOf([&] { m->SetAbfrel(nullptr); }), 60);
    EXPECT_TRUE(Logged("if irrigation is modelled, also routing has to be modelled! \n(Adress of array abfrel"));
}

TEST_F(IrrigationStep, MissingSoilGridsStopTheConstruction) {
    Drop("root_depth1");  // the last entry: the search ends at a hole
    unsigned code = 0;
    auto m = MakeIrrigation(&code);
    EXPECT_EQ(code, 33u);
    EXPECT_TRUE(Logged("root_depth1 not found in memory"));
}

TEST_F(IrrigationStep, SpinUpSwitchOneAndOffAreInert) {
    settings_.spinUpSwitch = 1;
    Drop("root_depth1");
    auto m = ReadyIrrigation();
    Fill("precipitation", 1);
    m->run(1, 2, 1, 2020);
    m->FlushStatistics();
    EXPECT_EQ(m->GetIrrigationTable(), nullptr);
    ForOwn([&](int r, int c) { EXPECT_EQ(G("precipitation")[r][c], 1.0); });

    settings_.spinUpSwitch = 0;
    submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(irrigation_test::IrrigationSection(0)));
    unsigned error = 9;
    irrigationclass off(error, log_.get(), settings_);
    EXPECT_EQ(error, 0u);
    off.SetMaxIrrigation(nullptr, nullptr);
    off.SetRoutingTarget(nullptr);
    EXPECT_EQ(off.GetIrrigationTable(), nullptr);
}

}  // namespace

// With daily sums in the surface-water table (hourly steps), the routing still gets only the
// water the cells receive in each step: 3.125 mm per cell in every hour, never the day's sum so far.
TEST_F(IrrigationStep, RoutingTakesTheWaterOfEachStepUnderDailySums) {
    ForOwn([&](int r, int c) { G("irrigation_codes")[r][c] = 3; });
    MakeRoutingArrays(100.0, 0.0);
    auto m = ReadyIrrigation(60, "0 4024");
    Link(*m);
    std::vector<zoneFZT>* table = m->GetIrrigationTable();
    ASSERT_NE(table, nullptr);
    for (int h = 1; h <= 3; ++h) {
        MakeRoutingArrays(100.0, 0.0);
        Fill("precipitation", 0);
        m->run(h, 2, 1, 2020);
        double received = 0;
        ForOwn([&](int r, int c) { received += G("precipitation")[r][c]; });
        double all = 0;
        MPI_Allreduce(&received, &all, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        if (talvo_test::Rank() != 0) continue;
        double cells = 0, taken = 0;
        for (int s = 1; s <= 3; ++s) {
            const zoneFZT& z = (*table)[static_cast<std::size_t>(s)];
            EXPECT_NEAR(z.sx / z.RelCellSum, 3.125, 1e-12) << "hour " << h << ", subbasin " << s;
            taken += z.sx;
            cells += z.n;
        }
        EXPECT_NEAR(taken, all, 1e-9) << "hour " << h;
        EXPECT_GT(cells, 0.0);
    }
}

namespace {

// Rows owned out of order, so that the sums pass between the processes several times a step: at
// 2 processes rows 1 and 3 belong to process 1, rows 2 and 4 to process 0; at 4 processes rows
// 1..4 belong to processes 3, 1, 0, 2.
class IrrigationRowOrder : public IrrigationStep {
protected:
    void SetUp() override {
        IrrigationStep::SetUp();
        const int size = talvo_test::Size(), rank = talvo_test::Rank();
        const int twoOwners[] = {1, 0, 1, 0}, fourOwners[] = {3, 1, 0, 2};
        settings_.firstRow = 5;
        settings_.lastRow = 0;
        for (int r = 1; r <= 4; ++r) {
            owner_[r] = size == 2 ? twoOwners[r - 1] : size == 4 ? fourOwners[r - 1] : (r - 1) * size / 4;
            for (int c = 0; c <= 5; ++c) G("MPIRegions")[r][c] = owner_[r];
            G("MPIHelper")[r][1] = rank == 0 ? owner_[r] : (owner_[r] == rank ? 1 : 0);
            if (owner_[r] != rank) continue;
            settings_.firstRow = std::min(settings_.firstRow, r);
            settings_.lastRow = std::max(settings_.lastRow, r);
        }
        Add("RelCellArea", 0);
    }
    template <class F>
    void ForMine(F&& f) {
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (owner_[r] == talvo_test::Rank() && zone_[r][c] != -9999) f(r, c);
    }
    // The whole grid on every process from the owners' cells.
    std::vector<double> Whole(const Matrix& m) {
        std::vector<double> v(20, 0.0);
        ForMine([&](int r, int c) { v[static_cast<std::size_t>((r - 1) * 5 + c - 1)] = m[r][c]; });
        MPI_Allreduce(MPI_IN_PLACE, v.data(), 20, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        return v;
    }
    // Three steps (groundwater alone, surface water alone under a shortage, both) whose sums per
    // subbasin must be the row-order sums; late: the processes start one after the other in the
    // order of their rows, so that the running sums have arrived before a process adds its cells.
    void RowOrderSteps(bool late) {
        Add("concflux_tracer_1_input", 0);
        Add("concstor_tracer_1_unsatzon_model", 0);
        auto k = [](int r, int c) { return (r - 1) * 5 + c; };
        ForMine([&](int r, int c) {
            G("root_depth1")[r][c] = k(r, c) % 3 == 0 ? 1e8 : 1e-3 * k(r, c);
            G("RelCellArea")[r][c] = k(r, c) % 5 == 0 ? 0 : 0.5 + 0.01 * k(r, c);
            G("Max_Pumping")[r][c] = 1e12;
            G("concflux_tracer_1_input")[r][c] = k(r, c);
            G("concstor_tracer_1_unsatzon_model")[r][c] = 2.0 * k(r, c);
        });
        auto m = TracedIrrigation();
        MakeRoutingArrays(0.5, 1.0);
        Link(*m);
        for (int step = 1; step <= 3; ++step) {
            for (int s = 1; s <= 3; ++s) maxirrig_[1][static_cast<std::size_t>(s)] = 3.0 + s;
            ForMine([&](int r, int c) {
                G("precipitation")[r][c] = 0.1 * k(r, c) * step;
                // Groundwater alone, then surface water alone (a shortage), then both.
                const int codes[3][2] = {{2, 4}, {1, 3}, {k(r, c) % 4 + 1, (k(r, c) + 1) % 4 + 1}};
                G("irrigation_codes")[r][c] = codes[step - 1][k(r, c) % 2];
                if (step == 3) G("SB_1_grid")[r][c] = k(r, c) % 3 == 0 ? 0.25 : 0.15;  // keeps or refills
            });
            if (late) {
                // Each process starts when the processes of the rows above have passed their sums on.
                int firstRow = 5;
                ForMine([&](int r, int) { firstRow = std::min(firstRow, r); });
                MPI_Barrier(MPI_COMM_WORLD);
                std::this_thread::sleep_for(std::chrono::milliseconds(40 * (std::min(firstRow, 5) - 1)));
            }
            m->run(step, 2, 1, 2020);
            const std::vector<double> amounts = Whole(G("irrigation_amounts")), water = Whole(G("precipitation")),
                                      flux = Whole(m->tracers[1].flux), codes = Whole(G("irrigation_codes")),
                                      area = Whole(G("RelCellArea"));
            if (talvo_test::Rank() != 0) continue;
            // Row order forwards, and backwards to show that the order matters for these values.
            for (const bool forwards : {true, false}) {
                double gw[4][3] = {}, sw[4][3] = {}, tracer[4][3] = {};
                for (int j = 0; j < 20; ++j) {
                    const int i = forwards ? j : 19 - j;
                    const double zone = zone_[i / 5 + 1][i % 5 + 1];
                    if (zone == -9999) continue;
                    const int s = settings_.zoneIndex->at(static_cast<std::size_t>(zone));
                    const std::size_t u = static_cast<std::size_t>(i);
                    const bool fromGroundwater = table_[static_cast<std::size_t>(codes[u])].origin == 1;
                    auto add = [&](double* z, double value) {
                        z[0] += 1;
                        z[1] += area[u] > 0 ? value * area[u] : value;
                        z[2] += area[u] > 0 ? area[u] : 1;
                    };
                    add(gw[s], fromGroundwater ? amounts[u] : 0.0);
                    add(sw[s], fromGroundwater ? 0.0 : amounts[u]);
                    tracer[s][1] += flux[u] * area[u] * water[u];
                    tracer[s][0] += water[u];
                    tracer[s][2] += water[u] * area[u];
                }
                int same = 0;
                for (std::size_t s = 1; s <= 3; ++s) {
                    const zoneFZT &g = m->groundwaterStat.records[s], &w = m->surfaceStat.records[s],
                                  &t = m->tracers[1].zones[s];
                    const bool equal = g.sx == gw[s][1] && w.sx == sw[s][1] && t.sx == tracer[s][1];
                    same += equal ? 1 : 0;
                    if (!forwards) continue;
                    EXPECT_TRUE(equal) << "step " << step << ", subbasin " << s;
                    EXPECT_EQ(g.n, gw[s][0]);
                    EXPECT_EQ(g.RelCellSum, gw[s][2]);
                    EXPECT_EQ(w.RelCellSum, sw[s][2]);
                    EXPECT_EQ(t.n, tracer[s][0]);
                    EXPECT_EQ(t.RelCellSum, tracer[s][2]);
                }
                if (!forwards) {
                    EXPECT_LT(same, 3) << "step " << step << ": the values do not test the order";
                }
            }
        }
        m->FreeTracerGrids();

    }
    int owner_[5] = {0, 0, 0, 0, 0};
};

// Amounts of very different sizes (root depths from 1e-8 to 1e8 m), so that the sums per
// subbasin depend on the order of the additions: whatever the split, they are the sums in the
// order of rows and columns, step after step with grids that change between the steps and a
// shortage that rebuilds the surface-water sums.
TEST_F(IrrigationRowOrder, SumsPerSubbasinAreTheRowOrderSumsWhateverTheSplit) {
    RowOrderSteps(false);
}

// The same sums when every process but the first finds the running sums there before it adds its
// own cells (they are added at once instead of being kept for the wait).
TEST_F(IrrigationRowOrder, ProcessesThatComeLateAddTheirCellsInRowOrder) { RowOrderSteps(true); }

// Whole weights on some processes and fractional ones on another: the sums of the weights keep
// the row order, in which the small fractions are lost against the large whole weights before
// them. With whole weights everywhere they are the exact totals.
TEST_F(IrrigationRowOrder, WeightSumsKeepTheRowOrderUnlessEveryWeightIsWhole) {
    auto k = [](int r, int c) { return (r - 1) * 5 + c; };
    for (const bool fractions : {true, false}) {
        // 2^20 on rows 1 and 3, 1e-10 (or 3) on rows 2 and 4; one cell without weight counts as 1.
        ForMine([&](int r, int c) {
            G("RelCellArea")[r][c] = k(r, c) == 12 ? -9999 : (r % 2 == 1 ? 1048576.0 : (fractions ? 1e-10 : 3.0));
            G("irrigation_codes")[r][c] = 2;
            G("Max_Pumping")[r][c] = 1e12;
        });
        auto m = ReadyIrrigation();
        MakeRoutingArrays(0.5, 1.0);
        Link(*m);
        m->run(1, 2, 1, 2020);
        const std::vector<double> area = Whole(G("RelCellArea"));
        if (talvo_test::Rank() != 0) continue;
        double sums[4] = {};
        for (int i = 0; i < 20; ++i) {
            const double zone = zone_[i / 5 + 1][i % 5 + 1];
            if (zone == -9999) continue;
            const double a = area[static_cast<std::size_t>(i)];
            sums[settings_.zoneIndex->at(static_cast<std::size_t>(zone))] += a > 0 ? a : 1.0;
        }
        for (std::size_t s = 1; s <= 3; ++s) {
            EXPECT_EQ(m->groundwaterStat.records[s].RelCellSum, sums[s]) << "subbasin " << s << ", " << fractions;
            EXPECT_EQ(m->surfaceStat.records[s].RelCellSum, sums[s]) << "subbasin " << s << ", " << fractions;
        }
    }
}

}  // namespace
