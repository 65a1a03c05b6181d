// Tracers of the silting-up model: they enter the surface store with the water input and leave
// it with the direct runoff and the infiltrating water; an evaporating tracer leaves at its
// storage concentration.
#include <gtest/gtest.h>

#include <mpi.h>

#include <functional>
#include <vector>

#include "kernel/zonerecord.hpp"
#include "kernel/zonestat.hpp"
#include "setup/tracer_ini.hpp"
#include "siltingup_test_domain.hpp"

namespace {

class SiltingTracers : public silting_test::SiltingDomain {
protected:
    void SetUp() override {
        SiltingDomain::SetUp();
        descriptors_.resize(3);
        descriptors_[1].name = "chl";
        descriptors_[1].max_conc = 1e6;
        descriptors_[2].name = "oxy";
        descriptors_[2].evaporating = 1;
        descriptors_[2].statcode = 2001;  // the tracer's table, a row a step
        descriptors_[2].path = "out_";
    }
    std::vector<TracerDescriptor> descriptors_;
};

TEST_F(SiltingTracers, TracersLeaveWithTheDirectRunoff) {
    Add("concflux_tracer_1_input", 2.0);
    Add("concflux_tracer_2_input", 3.0);
    auto s = Ready(silting_test::SectionOptions{});
    unsigned error = 9;
    s->LinkTracerGrids(error, 2, descriptors_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    EXPECT_GT(EntryOf("concflux_tracer_1_SiltingUpModel"), 0);
    Fill("precipitation", 70);
    s->run(24, 20, 4, 2020);
    std::vector<double> zoneRunoff(4, 0.0);
    ForOwn([&](int r, int c) {
        const double Q = s->directRunoff.data[r][c];
        ASSERT_GT(Q, 1.0);
        // Without water on the surface the input's water leaves as it came, with all its tracer.
        EXPECT_EQ(s->Tracer(1).storage[r][c], 0.0);
        EXPECT_EQ(s->Tracer(1).flux[r][c], 2.0);
        EXPECT_NEAR(s->Tracer(2).storage[r][c], 3.0, 1e-12);
        EXPECT_NEAR(s->Tracer(2).flux[r][c], 3.0, 1e-12);
        zoneRunoff[static_cast<std::size_t>((*settings_.zoneIndex)[static_cast<std::size_t>(zone_[r][c])])] += Q;
    });
    // Process 0's zone records of the step's row hold the runoff of every process's cells.
    MPI_Allreduce(MPI_IN_PLACE, zoneRunoff.data(), 4, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (rank == 0) {
        for (std::size_t z = 1; z <= 3; ++z) EXPECT_NEAR(s->Tracer(2).zones[z].n, zoneRunoff[z], 1e-9);
        // The concentration weighed with the runoff is the store's.
        EXPECT_NEAR(s->Tracer(2).statistics->lastValues()[1], 3.0, 1e-12);
    }
    s->FreeTracerGrids();
    EXPECT_EQ(EntryOf("concflux_tracer_1_SiltingUpModel"), 0);
}

// Water that surface routing left on the surface (its tracer as mass) joins the input of a
// different concentration. All of it leaves in the step, runoff and infiltrating water at the
// concentration of the mixture, so the tracer that leaves is what the store and the input held.
// A rounding-size input with the capped concentration (a snow cover that melted away) hardly
// changes the store's water, and does not charge it with its concentration.
TEST_F(SiltingTracers, StoreWaterLeavesWithItsOwnTracer) {
    Add("concflux_tracer_1_input", 2.0);
    Add("concflux_tracer_2_input", 3.0);
    Add("SurfaceRoutingWeights", 1);  // surface routing keeps water on the surface
    auto s = Ready(silting_test::SectionOptions{});
    unsigned error = 9;
    s->LinkTracerGrids(error, 2, descriptors_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    struct Case {
        double input, cin, store, storeConc;
        bool runoff;
    };
    for (const Case& k : {Case{70, 2.0, 3.0, 5.0, true}, Case{1.3e-266, 1e6, 0.31, 1.0, false}}) {
        Fill("precipitation", k.input);
        Fill("SurfStorSiltingUp", k.store);
        Fill("concflux_tracer_1_input", k.cin);
        Fill("concflux_tracer_2_input", k.cin);
        ForOwn([&](int r, int c) {
            s->Tracer(1).storage[r][c] = k.store * k.storeConc;  // mass, mg/m2
            s->Tracer(2).storage[r][c] = k.storeConc;             // concentration
        });
        s->run(24, 20, 4, 2020);
        ForOwn([&](int r, int c) {
            const double Q = s->directRunoff.data[r][c], infiltrating = G("precipitation")[r][c];
            EXPECT_EQ(Q > 1.0, k.runoff);
            const double water = k.input + k.store, held = k.input * k.cin + k.store * k.storeConc;
            EXPECT_NEAR(Q + infiltrating, water, 1e-12);
            // Both ways out carry the flux concentration; nothing is left behind or made.
            EXPECT_EQ(s->Tracer(1).storage[r][c], 0.0);
            EXPECT_NEAR((Q + infiltrating) * s->Tracer(1).flux[r][c], held, 1e-12 * held);
            EXPECT_NEAR(s->Tracer(2).flux[r][c], held / water, 1e-12);
            if (!k.runoff) {
                EXPECT_NEAR(s->Tracer(1).flux[r][c], 1.0, 1e-12);
            }
        });
    }
    s->FreeTracerGrids();
}

// With interception before snow the water input is the snow's outflow, and its tracer comes with
// it at the snow's concentration, not at that of interception's throughfall: the water handed on
// carries the outflow times the snow's concentration.
TEST_F(SiltingTracers, AfterInterceptionTheSnowsOutflowBringsTheSnowsConcentration) {
    Add("throughfall0", 5);
    Add("snowcover_outflow", 70);
    Add("concflux_tracer_1_interception_model", 7.0);
    Add("concflux_tracer_1_snow_model", 2.0);
    Add("concflux_tracer_1_input", 11.0);
    unsigned error = 9;
    auto s = Make(silting_test::SectionOptions{}, &error);
    ASSERT_EQ(error, 0u) << console_.str();
    s->UpdateInputGrid(true);
    s->LinkTracerGrids(error, 1, descriptors_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    s->run(24, 20, 4, 2020);
    ForOwn([&](int r, int c) {
        const double Q = s->directRunoff.data[r][c], infiltrating = G("snowcover_outflow")[r][c];
        EXPECT_NEAR(Q + infiltrating, 70.0, 1e-12);
        EXPECT_NEAR((Q + infiltrating) * s->Tracer(1).flux[r][c], 70.0 * 2.0, 1e-12 * 140.0);
        EXPECT_EQ(s->Tracer(1).storage[r][c], 0.0);
    });
    s->FreeTracerGrids();
}

TEST_F(SiltingTracers, MissingIncomingFluxIsFatal) {
    auto s = Ready(silting_test::SectionOptions{});
    unsigned error = 0;
    s->LinkTracerGrids(error, 1, descriptors_.data(), nullptr, 0);
    EXPECT_EQ(error, 33u);
    EXPECT_TRUE(Logged("concflux_tracer_1_irrigation or concflux_tracer_1_input"));
}

// The zone sums of the disposition, the direct runoff and a tracer's table are, to the last bit,
// what AddValue gives over the cells with their area weights (a cell without weight counts as
// it is), summed over the processes; a tracer without table gets nothing.
TEST_F(SiltingTracers, ZoneSumsTakeTheCellsWithTheirAreaWeights) {
    Matrix& weights = Grid("RelCellArea", 1);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            if (zone_[r][c] != -9999) weights[r][c] = r == 3 && c == 4 ? -9999 : 0.25 + 0.13 * ((3 * r + c) % 5);
    Register("RelCellArea", &weights);
    Add("concflux_tracer_1_input", 2.0);
    Add("concflux_tracer_2_input", 3.0);
    silting_test::SectionOptions o;
    o.stats = "4001";
    auto s = Ready(o);
    unsigned error = 9;
    s->LinkTracerGrids(error, 2, descriptors_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    ForOwn([&](int r, int c) {
        G("precipitation")[r][c] = 20.0 + 17.0 * ((r + 2 * c) % 4);
        G("concflux_tracer_2_input")[r][c] = 1.0 + 0.5 * c;
    });
    s->run(24, 20, 4, 2020);
    using Value = std::function<double(int, int)>;
    auto expected = [&](const std::vector<zoneFZT>& model, const Value& value, const Value& weight) {
        std::vector<zoneFZT> records = model;
        for (zoneFZT& z : records) z.n = z.sx = z.RelCellSum = 0;
        int code = 0;
        zonalstatistic reference(&code, nullptr, &weights, 4, 5, records.data(), 3, 4001, 4, "reference.sta", "", 0,
                                 {});
        EXPECT_EQ(code, 0);
        ForOwn([&](int r, int c) {
            const int zone = (*settings_.zoneIndex)[static_cast<std::size_t>(zone_[r][c])];
            reference.AddValue(r, c, zone, value(r, c), weight(r, c));
        });
        ReduceZoneRecords(records.data(), 3, true);
        return records;
    };
    auto same = [](const std::vector<zoneFZT>& a, const std::vector<zoneFZT>& b) {
        for (std::size_t z = 0; z < a.size(); ++z)
            if (a[z].n != b[z].n || a[z].sx != b[z].sx || a[z].RelCellSum != b[z].RelCellSum) return false;
        return a.size() == b.size();
    };
    const Value runoff = [&](int r, int c) { return s->directRunoff.data[r][c]; };
    const Value unit = [](int, int) { return 1.0; };
    EXPECT_TRUE(same(s->statDisposition.records,
                     expected(s->statDisposition.records, [&](int r, int c) { return s->disposition.data[r][c]; }, unit)));
    EXPECT_TRUE(same(s->statRunoff.records, expected(s->statRunoff.records, runoff, unit)));
    const std::vector<zoneFZT> tracer = s->Tracer(2).zones;
    EXPECT_TRUE(same(tracer, expected(tracer, [&](int r, int c) { return s->Tracer(2).flux[r][c]; }, runoff)));
    for (const zoneFZT& z : s->Tracer(1).zones) EXPECT_EQ(z.n, 0.0);
    s->FreeTracerGrids();
}

}  // namespace

// The disposition, runoff and tracer tables of one step, their records summed over the processes
// together: each table's row holds its own zone means of every process's cells.
TEST_F(SiltingTracers, EveryTableHoldsItsOwnZoneMeans) {
    Add("concflux_tracer_1_input", 2.0);
    Add("concflux_tracer_2_input", 0.0);
    silting_test::SectionOptions o;
    o.stats = "2001";  // every zone, a row a step
    auto s = Ready(o);
    unsigned error = 9;
    s->LinkTracerGrids(error, 2, descriptors_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    // Rain and the tracer's concentration differ from zone to zone and from cell to cell.
    const auto zoneOf = [&](int r, int c) {
        return static_cast<std::size_t>((*settings_.zoneIndex)[static_cast<std::size_t>(zone_[r][c])]);
    };
    ForOwn([&](int r, int c) {
        G("precipitation")[r][c] = 60.0 + 10.0 * static_cast<double>(zoneOf(r, c)) + c;
        G("concflux_tracer_2_input")[r][c] = 1.0 + r + 3.0 * static_cast<double>(zoneOf(r, c));
    });
    s->run(24, 20, 4, 2020);
    // Per zone (and the basin in 0): cells, runoff, disposition, tracer weighed with the runoff.
    std::vector<double> sums(16, 0.0);
    ForOwn([&](int r, int c) {
        const double Q = s->directRunoff.data[r][c];
        for (std::size_t z : {zoneOf(r, c), std::size_t{0}}) {
            sums[4 * z] += 1;
            sums[4 * z + 1] += Q;
            sums[4 * z + 2] += s->disposition.data[r][c];
            sums[4 * z + 3] += s->Tracer(2).flux[r][c] * Q;
        }
    });
    MPI_Allreduce(MPI_IN_PLACE, sums.data(), 16, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (rank != 0) return;
    const std::vector<double>& runoff = s->statRunoff.stat->lastValues();
    const std::vector<double>& disposition = s->statDisposition.stat->lastValues();
    const std::vector<double>& tracer = s->Tracer(2).statistics->lastValues();
    ASSERT_GE(runoff.size(), 5u);
    ASSERT_GE(tracer.size(), 5u);
    for (std::size_t j = 1; j <= 4; ++j) {
        const std::size_t z = j == 4 ? 0 : j;  // the fourth column is the basin's
        ASSERT_GT(sums[4 * z], 0.0) << j;
        EXPECT_NEAR(runoff[j], sums[4 * z + 1] / sums[4 * z], 1e-9) << j;
        EXPECT_NEAR(disposition[j], sums[4 * z + 2] / sums[4 * z], 1e-12) << j;
        EXPECT_NEAR(tracer[j], sums[4 * z + 3] / sums[4 * z + 1], 1e-9) << j;
    }
    // The zones' values differ, so a table given another's records would not pass.
    EXPECT_NE(runoff[1], runoff[3]);
    EXPECT_NE(tracer[1], tracer[3]);
}
