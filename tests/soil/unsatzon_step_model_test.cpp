// The soil model's step on the test domain: basin water balance, travel-time zones, subbasin
// runoff through the storages, the runoff getters and the external groundwater table. Every
// expectation is computed from the cells' own values, so it holds at any process count.
#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "tables/landuse_entry.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
constexpr int kCells[][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5},
                             {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}};

bool Near(int r, int c) { return c <= 2 || r == 3; }

std::string Hourly(SoilSection s) {
    std::string t = s.Text();
    const std::string from = "1440 time step";
    t.replace(t.find(from), from.size(), "60 time step");
    return t;
}

class SoilStepTest : public SoilModelTest {
protected:
    double Stored(int r, int c) const {
        double s = 0;
        for (int k = 1; k <= 10; ++k) s += Level("theta", r, c, k) * 0.1 * 1000.0;
        return s;
    }
    void Step(int h) {
        model_->BeginTimeStep(h, 1, 6, 2020);
        model_->run(h, 1, 6, 2020);
        model_->ComputeSubbasinRunoff();
    }
    unsigned Init() {
        unsigned error = 0;
        model_->InitTracerGrids(error, 0, nullptr, nullptr, 0);
        model_->SelectWaterInput(false);
        return error;
    }
    static double Sum(double v) {
        MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        return v;
    }
    int Position(int r, int c) const { return model_->SubbasinOf(r, c); }
    // Everything the column gave off in the step (mm): evapotranspiration and runoff.
    double Given(int r, int c) const {
        return Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
               Value("real_evaporation", r, c) + Value("directflow", r, c) + Value("interflow", r, c) +
               Value("baseflow", r, c);
    }
};

TEST_F(SoilStepTest, EveryCellAndTheBasinCloseTheirWaterBalance) {
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    for (int h = 0; h < 12; ++h) {
        // Rain of varying intensity on the water-input grid the model reads.
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if ((*model_->in.waterInput)[r][c] != -9999.0) (*model_->in.waterInput)[r][c] = (h % 4) * 3.0 + c;
        std::vector<double> before(20, 0.0);
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) before[static_cast<std::size_t>(cell[0] * 5 + cell[1] - 6)] = Stored(cell[0], cell[1]);
        Step(h);
        double basinIn = 0, basinOut = 0, basinDS = 0, magnitude = 0;
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const double in = (*model_->in.waterInput)[r][c];
            const double out = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                               Value("real_evaporation", r, c) + Value("directflow", r, c) + Value("interflow", r, c) +
                               Value("baseflow", r, c);
            const double dS = Stored(r, c) - before[static_cast<std::size_t>(r * 5 + c - 6)];
            const double mag = std::fabs(in) + std::fabs(out) + std::fabs(dS);
            EXPECT_LE(std::fabs(in - out - dS), 1e-9 * mag) << r << "," << c << " hour " << h;
            // Phenology reads the suction of the root zone's mean water content: the soil's
            // retention curve (van Genuchten, alpha 2, n 1.5) at the root-zone grid's value.
            const double se = (Value("SB_1_grid", r, c) - 0.05) / (0.4 - 0.05);
            const double suction = std::pow(std::pow(se, -1.0 / (1.0 - 1.0 / 1.5)) - 1.0, 1.0 / 1.5) / 2.0;
            EXPECT_NEAR(Value("MeanThetaInRootZone", r, c), suction, 0.02 * suction + 1e-3) << r << "," << c;
            EXPECT_GT(Value("SB_1_grid", r, c), 0.05);
            EXPECT_LE(Value("SB_1_grid", r, c), 0.4);
            basinIn += in;
            basinOut += out;
            basinDS += dS;
            magnitude += mag;
        }
        basinIn = Sum(basinIn);
        basinOut = Sum(basinOut);
        basinDS = Sum(basinDS);
        magnitude = Sum(magnitude);
        EXPECT_LE(std::fabs(basinIn - basinOut - basinDS), 1e-9 * magnitude) << "hour " << h;
    }
}

TEST_F(SoilStepTest, TheWrittenProfileWaterClosesTheBalanceEveryStep) {
    // Rain, then dry hours in which base flow drains the bottom layer: the change of the profile
    // water the model writes ("SB_2_grid", mm) is the water the column gained and lost, to the
    // rounding of the stored amount, also where only the bottom layer changes (the table in it).
    // A negative base-flow factor gives the column water from below instead (a negative base
    // flow), and the balance closes the same way.
    for (const double q0 : {0.1, -0.1}) {
        SCOPED_TRACE(q0);
        model_.reset();
        SoilSection sec;
        sec.iniGwLevel = 1;
        if (q0 < 0) sec.kelsqlat = "0.5 0.5\n-0.1 -0.1 Q0\n0.3 0.4 snow runoff fraction";
        ASSERT_EQ(Build(Hourly(sec)), 0u) << console_.str();
        ASSERT_EQ(Init(), 0u) << console_.str();
        double drained = 0;
        for (int h = 0; h < 12; ++h) {
            for (const auto& cell : kCells) (*model_->in.waterInput)[cell[0]][cell[1]] = h < 2 ? 4.0 : 0.0;
            std::vector<double> before(20, 0.0);
            for (const auto& cell : kCells)
                if (Own(cell[0], cell[1]))
                    before[static_cast<std::size_t>(cell[0] * 5 + cell[1] - 6)] = Value("SB_2_grid", cell[0], cell[1]);
            Step(h);
            for (const auto& cell : kCells) {
                const int r = cell[0], c = cell[1];
                if (!Own(r, c)) continue;
                const double in = h < 2 ? 4.0 : 0.0;
                const double out = Given(r, c);
                const double stored = Value("SB_2_grid", r, c);
                EXPECT_NEAR(stored, Stored(r, c), 1e-12 * stored) << r << "," << c << " hour " << h;
                if (h > 0) {
                    const double dS = stored - before[static_cast<std::size_t>(r * 5 + c - 6)];
                    EXPECT_NEAR(in - out - dS, 0.0, 1e-12 * stored) << r << "," << c << " hour " << h;
                }
                if (h >= 2) drained += Value("baseflow", r, c);
            }
        }
        if (q0 > 0)
            EXPECT_GT(Sum(drained), 0.0);
        else
            EXPECT_LT(Sum(drained), 0.0);
    }
}

TEST_F(SoilStepTest, ACellWithoutSlopeHasNoInterflow) {
    // Conductivity falling with depth makes interflow; cell (2, 2) has no slope value.
    for (std::size_t k = 1; k <= 10; ++k) soils_[1].ksat[k] = 1e-5 / static_cast<double>(k * k);
    Matrix* slope = nullptr;
    for (int i = 1; i < 1000; ++i)
        if (store_[i].internalName == "slope_angle") slope = store_[i].grid;
    ASSERT_NE(slope, nullptr);
    (*slope)[2][2] = -9999.0;
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(Logged("the grid slope_angle (slope_angle) has no value in 1 basin cells")) << console_.str();
    }
    double sloped = 0;  // interflow of the cells with a slope
    for (int h = 0; h < 6; ++h) {
        for (const auto& cell : kCells) (*model_->in.waterInput)[cell[0]][cell[1]] = 8.0;
        std::vector<double> before(20, 0.0);
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) before[static_cast<std::size_t>(cell[0] * 5 + cell[1] - 6)] = Stored(cell[0], cell[1]);
        Step(h);
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const double qi = Value("interflow", r, c);
            if (r == 2 && c == 2) {
                EXPECT_EQ(qi, 0.0) << "hour " << h;
            } else {
                EXPECT_GE(qi, 0.0) << r << "," << c;
                sloped += qi;
            }
            const double out = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                               Value("real_evaporation", r, c) + Value("directflow", r, c) + qi +
                               Value("baseflow", r, c);
            const double dS = Stored(r, c) - before[static_cast<std::size_t>(r * 5 + c - 6)];
            EXPECT_NEAR(8.0 - out - dS, 0.0, 1e-9 * (8.0 + std::fabs(out) + std::fabs(dS))) << r << "," << c;
        }
    }
    // The sloped cells do make interflow with this soil.
    EXPECT_GT(Sum(sloped), 0.0);
}

TEST_F(SoilStepTest, PermafrostLimitsInfiltrationAndConductionBelowTheThawDepth) {
    // Thawed to 0.25 m; cell (2, 2) frozen from the surface, cell (2, 3) thawed below the profile.
    // Cells (2, 3) and (2, 4) share subbasin, soil and start: only the frozen layers differ.
    Matrix& thaw = AddGrid("PermafrostThawDepth", 0.25);
    thaw[2][2] = 0.0;
    thaw[2][3] = 2.0;
    AddGrid("SnowFreeDaysGrid", 0.0);
    AddGrid("ThawCoeffPermaFrost", 0.1);
    const std::string permafrost = "[permafrost]\n1 method\n5 age\n10 swe\nthaw.txt 0\n1e-8 reduced k_sat\n\n";
    ASSERT_EQ(Build(Hourly(SoilSection{}) + permafrost), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    auto deep = [&](int r, int c) {  // water below 0.3 m, mm
        double w = 0;
        for (int k = 4; k <= 10; ++k) w += Level("theta", r, c, k) * 100.0;
        return w;
    };
    for (const auto& cell : kCells) (*model_->in.waterInput)[cell[0]][cell[1]] = 20.0;
    if (!Own(2, 2)) {
        for (int h = 0; h < 6; ++h) Step(h);
        return;
    }
    const double open0 = deep(2, 3), thawed0 = deep(2, 4);
    Step(0);
    // A frozen top admits reduced_ksat over the hour, the rest runs off.
    EXPECT_NEAR(Value("total_infiltration", 2, 2), 1e-8 * 3600.0 * 1000.0, 1e-12);
    EXPECT_NEAR(Value("directflow", 2, 2), 20.0 - 0.036, 1e-9);
    EXPECT_GT(Value("total_infiltration", 2, 4), 1.0);
    for (int h = 1; h < 6; ++h) Step(h);
    // Below the thaw depth the water gains far less than where the column is thawed.
    const double open = deep(2, 3) - open0, thawed = deep(2, 4) - thawed0;
    EXPECT_GT(open - thawed, 0.01) << open << " " << thawed;
}

TEST_F(SoilStepTest, AClayLayerHoldsTheRainAboveIt) {
    // A clay layer of nearly no conductivity at 0.25 m (in layer 3, which takes the clay's
    // conductivity at both its faces) everywhere but in cell (2, 4); cells (2, 3) and (2, 4)
    // share subbasin, soil and start. Rain reaches no layer from the clay down in (2, 3), so
    // more of it leaves as runoff; in (2, 4) it goes deeper. Both keep their water balance.
    Matrix& clay = AddGrid("clay_depth", 0.25);
    clay[2][4] = 0.0;
    SoilSection sec;
    sec.clay = 1;
    sec.ksatClay = 1e-14;
    ASSERT_EQ(Build(Hourly(sec)), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    auto water = [&](int r, int c, int from) {  // mm in layers from..10
        double w = 0;
        for (int k = from; k <= 10; ++k) w += Level("theta", r, c, k) * 100.0;
        return w;
    };
    const bool here = Own(2, 3);
    double lower0[2] = {}, given[2] = {};
    if (here)
        for (int i = 0; i < 2; ++i) lower0[i] = water(2, 3 + i, 3);
    for (int h = 0; h < 6; ++h) {
        for (const auto& cell : kCells) (*model_->in.waterInput)[cell[0]][cell[1]] = h < 4 ? 10.0 : 0.0;
        double before[2] = {};
        if (here)
            for (int i = 0; i < 2; ++i) before[i] = Stored(2, 3 + i);
        Step(h);
        if (!here) continue;
        for (int i = 0; i < 2; ++i) {
            const double in = h < 4 ? 10.0 : 0.0, out = Given(2, 3 + i), dS = Stored(2, 3 + i) - before[i];
            EXPECT_NEAR(in - out - dS, 0.0, 1e-9 * (in + std::fabs(out) + std::fabs(dS))) << i << " h" << h;
            given[i] += out;
        }
    }
    if (!here) return;
    const double lowerGain[2] = {water(2, 3, 3) - lower0[0], water(2, 4, 3) - lower0[1]};
    EXPECT_LE(lowerGain[0], 1e-6) << lowerGain[0];
    EXPECT_GT(lowerGain[1], lowerGain[0] + 1.0) << lowerGain[0] << " " << lowerGain[1];
    EXPECT_GT(given[0], given[1] + 1.0) << given[0] << " " << given[1];
}

TEST_F(SoilStepTest, PondsAndDrainsCloseTheBalanceAndDrainsNeedADistance) {
    // Ponding up to 5 mm everywhere; drains at 0.35 m, with no distance in column 2.
    AddGrid("max_ponding_storage", 0.005);  // m
    AddGrid("drainage_depth", 0.35);
    Matrix& distance = AddGrid("drainage_distance", 10.0);
    for (int r = 1; r <= 4; ++r)
        if (distance[r][2] != -9999.0) distance[r][2] = 0.0;
    SoilSection sec;
    sec.pond = 1;
    sec.drainage = 1;
    ASSERT_EQ(Build(Hourly(sec)), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    double drained = 0, ponded = 0;
    for (int h = 0; h < 8; ++h) {
        // A storm, then dry hours in which roots and soil evaporation draw on the column.
        for (const auto& cell : kCells) (*model_->in.waterInput)[cell[0]][cell[1]] = h < 3 ? 30.0 : 0.0;
        std::vector<double> before(20, 0.0);
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1]))
                before[static_cast<std::size_t>(cell[0] * 5 + cell[1] - 6)] =
                    Stored(cell[0], cell[1]) + Value("ponding_storage", cell[0], cell[1]);
        Step(h);
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const double in = h < 3 ? 30.0 : 0.0;
            const double out = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                               Value("real_evaporation", r, c) + Value("directflow", r, c) +
                               Value("interflow", r, c) + Value("baseflow", r, c);
            const double dS = Stored(r, c) + Value("ponding_storage", r, c) - before[static_cast<std::size_t>(r * 5 + c - 6)];
            EXPECT_NEAR(in - out - dS, 0.0, 1e-9 * (in + std::fabs(out) + std::fabs(dS))) << r << "," << c << " h" << h;
            EXPECT_LE(Value("ponding_storage", r, c), 5.0 + 1e-9);
            ponded = std::max(ponded, Value("ponding_storage", r, c));
            EXPECT_GE(Value("real_evaporation", r, c), 0.0);
            EXPECT_GE(Value("real_transpiration1", r, c), 0.0);
            if (c == 2) {
                EXPECT_EQ(Value("drainage_flow", r, c), 0.0) << r;
            } else {
                drained += Value("drainage_flow", r, c);
            }
            for (int k = 1; k <= 10; ++k) EXPECT_GE(Level("theta", r, c, k), 0.0);
        }
    }
    EXPECT_GT(Sum(drained), 0.0);
    EXPECT_GT(Sum(ponded), 0.0);
}

TEST_F(SoilStepTest, WithoutFlowTimesOneZoneFeedsTheStoragesInTheSameStep) {
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u);
    const int S = model_->soilZones.zoneCount;
    for (int s = 1; s <= S; ++s) {
        EXPECT_EQ(model_->zonesPerSubbasin[static_cast<std::size_t>(s)], 1);
        EXPECT_DOUBLE_EQ(model_->zoneFZT_QD[0][static_cast<std::size_t>(s)][1].rel, 1.0);
    }
    if (talvo_test::Rank() == 0) {
        std::ifstream f("modell_0.log");
        std::stringstream ss;
        ss << f.rdbuf();
        EXPECT_NE(ss.str().find("flow time distribution will not be calculated since no flow time grid was provided"),
                  std::string::npos);
    }
    std::vector<double> previous(static_cast<std::size_t>(S) + 1, 0.0);
    for (int h = 0; h < 3; ++h) {
        Step(h);
        // Expected per subbasin: mean of the cells' values, through the storage.
        std::vector<double> qd(static_cast<std::size_t>(S) + 1, 0.0), qi(qd), qb(qd), n(qd);
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const std::size_t s = static_cast<std::size_t>(Position(r, c));
            qd[s] += Value("directflow", r, c);
            qi[s] += Value("interflow", r, c);
            qb[s] += Value("baseflow", r, c);
            n[s] += 1;
        }
        for (auto* v : {&qd, &qi, &qb, &n})
            MPI_Allreduce(MPI_IN_PLACE, v->data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        if (talvo_test::Rank() != 0) continue;
        for (int s = 1; s <= S; ++s) {
            const std::size_t i = static_cast<std::size_t>(s);
            const double fd = std::exp(-60.0 / model_->subbasins.kelsqd[i]);
            const double expectQDd = qd[i] / n[i] * (1 - fd) + fd * previous[i];
            previous[i] = expectQDd;
            EXPECT_NEAR((*model_->GetQD())[0][i], qd[i] / n[i], 1e-12);
            EXPECT_NEAR(model_->QDd[0][i], expectQDd, 1e-12);
            EXPECT_NEAR((*model_->GetQBb())[0][i], std::max(0.0, qb[i] / n[i]), 1e-12);
            EXPECT_NEAR((*model_->GetQg())[0][i], model_->QDd[0][i] + model_->QIi[0][i] + model_->QBb[0][i], 1e-12);
        }
    }
}

TEST_F(SoilStepTest, TravelTimeZonesDelayTheCellsAndCountTheWholeAreaOnce) {
    // 3600 s -> zone 1, 3601 s and 7200 s -> zone 2; every subbasin has cells in both.
    Matrix& times = AddGrid("flow_times", 0.0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            if (times[r][c] != -9999.0) times[r][c] = Near(r, c) ? 3600.0 : (c == 3 ? 3601.0 : 7200.0);
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    const int S = model_->soilZones.zoneCount;
    std::vector<double> zone1(static_cast<std::size_t>(S) + 1, 0.0), total(zone1);
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        EXPECT_DOUBLE_EQ(times[r][c], Near(r, c) ? 1.0 : 2.0);
        total[static_cast<std::size_t>(Position(r, c))] += 1;
        if (Near(r, c)) zone1[static_cast<std::size_t>(Position(r, c))] += 1;
    }
    MPI_Allreduce(MPI_IN_PLACE, zone1.data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, total.data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    for (int s = 1; s <= S; ++s) {
        const std::size_t i = static_cast<std::size_t>(s);
        if (zone1[i] == total[i]) continue;
        EXPECT_EQ(model_->zonesPerSubbasin[i], 2);
        EXPECT_NEAR(model_->zoneFZT_QD[0][i][1].rel, zone1[i] / total[i], 1e-12);
    }
    // Direct flow per cell: the delayed part arrives one step later, over the whole area.
    std::vector<double> sum1(static_cast<std::size_t>(S) + 1, 0.0), sum2(sum1);
    Step(0);
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1]))
            (Near(cell[0], cell[1]) ? sum1 : sum2)[static_cast<std::size_t>(Position(cell[0], cell[1]))] +=
                Value("directflow", cell[0], cell[1]);
    MPI_Allreduce(MPI_IN_PLACE, sum1.data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, sum2.data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        for (int s = 1; s <= S; ++s) {
            const std::size_t i = static_cast<std::size_t>(s);
            EXPECT_NEAR(model_->QD[0][i], sum1[i] / total[i], 1e-12) << s;
        }
    }
    std::vector<double> now1(static_cast<std::size_t>(S) + 1, 0.0);
    Step(1);
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1]) && Near(cell[0], cell[1]))
            now1[static_cast<std::size_t>(Position(cell[0], cell[1]))] += Value("directflow", cell[0], cell[1]);
    MPI_Allreduce(MPI_IN_PLACE, now1.data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0)
        for (int s = 1; s <= S; ++s) {
            const std::size_t i = static_cast<std::size_t>(s);
            EXPECT_NEAR(model_->QD[0][i], (now1[i] + sum2[i]) / total[i], 1e-12) << s;
        }
    if (talvo_test::Rank() == 0) {
        std::ifstream f("modell_0.log");
        std::stringstream ss;
        ss << f.rdbuf();
        EXPECT_NE(ss.str().find("flow time distribution:\nTG\t"), std::string::npos) << ss.str();
    }
}

TEST_F(SoilStepTest, AFlowTimeOfZeroIsInTheOutletZone) {
    // Every cell at the outlet: one zone per subbasin, and no runoff is lost in a zone 0.
    Matrix& times = AddGrid("flow_times", 0.0);
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    const int S = model_->soilZones.zoneCount;
    for (int s = 1; s <= S; ++s) {
        const std::size_t i = static_cast<std::size_t>(s);
        EXPECT_EQ(model_->zonesPerSubbasin[i], 1) << s;
        EXPECT_DOUBLE_EQ(model_->zoneFZT_QD[0][i][1].rel, 1.0) << s;
    }
    for (const auto& cell : kCells) (*model_->in.waterInput)[cell[0]][cell[1]] = 40.0;
    Step(0);
    std::vector<double> qd(static_cast<std::size_t>(S) + 1, 0.0), n(qd);
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        EXPECT_DOUBLE_EQ(times[cell[0]][cell[1]], 1.0);
        qd[static_cast<std::size_t>(Position(cell[0], cell[1]))] += Value("directflow", cell[0], cell[1]);
        n[static_cast<std::size_t>(Position(cell[0], cell[1]))] += 1;
    }
    for (auto* v : {&qd, &n}) MPI_Allreduce(MPI_IN_PLACE, v->data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (talvo_test::Rank() != 0) return;
    for (int s = 1; s <= S; ++s) {
        const std::size_t i = static_cast<std::size_t>(s);
        EXPECT_GT(qd[i], 0.0);
        EXPECT_NEAR(model_->QD[0][i], qd[i] / n[i], 1e-12) << s;
    }
}

TEST_F(SoilStepTest, ANodataOrNegativeFlowTimeInTheBasinStopsNamingTheCell) {
    for (double bad : {-9999.0, -60.0}) {
        Matrix& times = AddGrid("flow_times", 3600.0);
        times[3][2] = bad;
        ASSERT_EQ(Build(Hourly(SoilSection{})), 0u) << console_.str();
        EXPECT_EQ(Init(), 6u) << bad;
        EXPECT_TRUE(Logged("the flow travel time of the basin cell in row 3, column 2 of flow_times is "
                           "nodata or negative"))
            << console_.str();
        model_.reset();
        for (int i = 1; i < 1000; ++i)
            if (store_[i].internalName == "flow_times") store_[i].internalName = "used_flow_times";
    }
}

TEST_F(SoilStepTest, AnEmptyFirstZoneStops) {
    Matrix& times = AddGrid("flow_times", 7200.0);
    (void)times;
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u);
    EXPECT_EQ(Init(), 61u);
    EXPECT_NE(console_.str().find("in flow-travel-time grid: the first time zone of subbasin "),
              std::string::npos);
}

TEST_F(SoilStepTest, GettersAreNullWhenOffAndFailBeforeTheirArraysExist) {
    SoilSection off;
    off.flowControl = 0;
    ASSERT_EQ(Build(off.Text()), 0u);
    EXPECT_EQ(model_->GetQg(), nullptr);
    EXPECT_EQ(model_->GetRiverflowTable(), nullptr);
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u);
    EXPECT_THROW(model_->GetQBb(), ModelError);
    EXPECT_NE(console_.str().find("QBb not initialized (may be, tracer module not linked? -> programmers error!)"),
              std::string::npos);
    ASSERT_EQ(Init(), 0u);
    EXPECT_NE(model_->GetQg(), nullptr);
    // The river records exist whenever the model runs (routing and irrigation fill them).
    EXPECT_NE(model_->GetRiverflowTable(), nullptr);
}

TEST_F(SoilStepTest, ExternalTableFillsOrDrainsAndBooksTheWaterMoved) {
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u);
    ASSERT_EQ(Init(), 0u);
    for (double target : {999.85, 999.2, 999.75}) {
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) model_->own.gwTableExtern[cell[0]][cell[1]] = target;
        std::vector<double> before(20, 0.0);
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) before[static_cast<std::size_t>(cell[0] * 5 + cell[1] - 6)] = Stored(cell[0], cell[1]);
        const double oldDistance = Own(2, 2) ? Value("groundwater_distance", 2, 2) : 0;
        model_->ApplyExternalGWTable();
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const double dS = Stored(r, c) - before[static_cast<std::size_t>(r * 5 + c - 6)];
            EXPECT_NEAR(Value("Balance", r, c), dS, 1e-9);
            EXPECT_NEAR(Value("groundwater_distance", r, c), target - 1000.0, 1e-12);
            EXPECT_DOUBLE_EQ(Value("baseflow", r, c), 0.0);
        }
        if (Own(2, 2)) {
            if (target - 1000.0 > oldDistance)
                EXPECT_GT(Value("Balance", 2, 2), 0.0);
            else
                EXPECT_LT(Value("Balance", 2, 2), 0.0);
        }
    }
}

// A table that moves within its layer (here layer 3, 0.2 to 0.3 m deep) changes that layer
// only: rising by dz it fills the share dz / d of the layer's air-filled pores, falling by dz it
// drains (theta_s - field capacity) x dz, never below field capacity.
TEST_F(SoilStepTest, ExternalTableMovingWithinItsLayerChangesThatLayerOnly) {
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u);
    ASSERT_EQ(Init(), 0u);
    auto moveTo = [&](double target) {
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) model_->own.gwTableExtern[cell[0]][cell[1]] = target;
        model_->ApplyExternalGWTable();
    };
    moveTo(999.75);
    // Field capacity: water content at 3.45 m suction (alpha 2 1/m, n 1.5).
    const double fc = 0.05 + 0.35 / std::pow(1.0 + std::pow(2.0 * 3.45, 1.5), 1.0 - 1.0 / 1.5);
    double previous = 999.75;
    for (double target : {999.78, 999.72, 999.705}) {
        std::vector<std::vector<double>> before;
        for (const auto& cell : kCells) {
            std::vector<double> t(11, 0.0);
            if (Own(cell[0], cell[1]))
                for (int k = 1; k <= 10; ++k) t[static_cast<std::size_t>(k)] = Level("theta", cell[0], cell[1], k);
            before.push_back(t);
        }
        moveTo(target);
        for (std::size_t i = 0; i < std::size(kCells); ++i) {
            const int r = kCells[i][0], c = kCells[i][1];
            if (!Own(r, c)) continue;
            const double dz = target - previous;
            const double t3 = before[i][3];
            const double moved = dz > 0 ? (0.4 - t3) * dz : -std::min((0.4 - fc) * -dz, std::max(0.0, t3 - fc) * 0.1);
            EXPECT_NEAR(Value("Balance", r, c), moved * 1000.0, 1e-9) << r << "," << c << " to " << target;
            EXPECT_NEAR(Level("theta", r, c, 3), t3 + moved / 0.1, 1e-12) << r << "," << c;
            for (int k = 1; k <= 10; ++k) {
                if (k == 3) continue;
                EXPECT_EQ(Level("theta", r, c, k), before[i][static_cast<std::size_t>(k)]) << k;
            }
            EXPECT_EQ(Value("groundwater_level", r, c), 3.0);
            EXPECT_NEAR(Value("groundwater_distance", r, c), target - 1000.0, 1e-12);
        }
        previous = target;
    }
}

TEST_F(SoilStepTest, FullyGlacierisedCellsOnlyWeighTheZones) {
    Matrix& glacier = AddGrid("ice_firn", 1.0);
    (void)glacier;
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u);
    ASSERT_EQ(Init(), 0u);
    // The skipped cells hand on their last flux through the surface.
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1])) model_->own.qDown[cell[0]][cell[1]][0] = -3e-7;
    Step(0);
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1])) {
            EXPECT_DOUBLE_EQ(Value("directflow", cell[0], cell[1]), 0.0);
            EXPECT_DOUBLE_EQ(Value("baseflow", cell[0], cell[1]), 0.0);
            EXPECT_DOUBLE_EQ(Value("q_downext", cell[0], cell[1]), -3e-7);
        }
    if (talvo_test::Rank() == 0) {
        for (int s = 1; s <= model_->soilZones.zoneCount; ++s)
            EXPECT_DOUBLE_EQ(model_->QD[0][static_cast<std::size_t>(s)], 0.0);
    }
}

TEST_F(SoilStepTest, ThreadCountDoesNotChangeAnyBit) {
    std::vector<double> results[2];
    const int saved = omp_get_max_threads();
    for (int pass = 0; pass < 2; ++pass) {
        omp_set_num_threads(pass == 0 ? 1 : 3);
        ASSERT_EQ(Build(Hourly(SoilSection{})), 0u);
        ASSERT_EQ(Init(), 0u);
        for (int h = 0; h < 4; ++h) {
            for (const auto& cell : kCells)
                if (Own(cell[0], cell[1])) (*model_->in.waterInput)[cell[0]][cell[1]] = 4.0 * cell[1] + h;
            Step(h);
        }
        CollectRunoffAndTheta(results[pass]);
        if (talvo_test::Rank() == 0) results[pass].push_back(model_->Qg[0][1]);
        model_.reset();
    }
    omp_set_num_threads(saved);
    ASSERT_EQ(results[0].size(), results[1].size());
    for (std::size_t i = 0; i < results[0].size(); ++i) EXPECT_EQ(results[0][i], results[1][i]) << i;
}

TEST_F(SoilStepTest, ThePassGivesTheColumnsPlainResultsBitForBit) {
    // Two horizons of different retention: the heads of the layers at their boundary, both from
    // the upper one's table, stay crossed at no flux, and the flux limitation's bisection there
    // ends early. Rain and dry hours; the pass with the plain columns (every memo off, every step
    // of the bisection evaluated) gives the same bits.
    soils_[1] = soil_entry(1);
    soils_[1].ParseSoilBlock(*log_,
                             "1 loam { method = MultipleHorizons; layers = 2 8; thickness = 0.1; ksat = 1e-5; "
                             "theta_sat = 0.45 0.4; theta_res = 0.05; alpha = 2.0 1.5; Par_n = 1.5 1.25; }",
                             "MultipleHorizons");
    std::vector<double> results[2];
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(Build(Hourly(SoilSection{})), 0u);
        ASSERT_EQ(Init(), 0u);
        if (pass == 0) {
            model_->cellWork.assign(static_cast<std::size_t>(omp_get_max_threads()), soilstep::CellWork(10));
            for (soilstep::CellWork& w : model_->cellWork) w.memos = false;
        }
        for (int h = 0; h < 6; ++h) {
            for (const auto& cell : kCells)
                if (Own(cell[0], cell[1]))
                    (*model_->in.waterInput)[cell[0]][cell[1]] = h % 3 == 0 ? 0.0 : 15.0 * cell[1];
            Step(h);
        }
        CollectRunoffAndTheta(results[pass]);
        model_.reset();
    }
    ASSERT_EQ(results[0].size(), results[1].size());
    for (std::size_t i = 0; i < results[0].size(); ++i) EXPECT_EQ(results[0][i], results[1][i]) << i;
}

TEST_F(SoilStepTest, EverySlowSubstepOfACellGetsItsOwnLine) {
    // Fast layers and rain: the dynamic step splits the hour into several sub-steps per cell.
    for (std::size_t k = 1; k <= 10; ++k) soils_[1].ksat[k] = 1e-4;
    SoilSection s;
    s.method = 3;
    ASSERT_EQ(Build(Hourly(s)), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    for (const auto& cell : kCells) (*model_->in.waterInput)[cell[0]][cell[1]] = 5.0;
    model_->max_error = 0.0;
    model_->max_iterations = 101;
    Step(7);
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() != 0) return;
    std::string expected;
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        const int k = static_cast<int>(Value("number_of_substeps", cell[0], cell[1]));
        EXPECT_GT(k, 1);
        for (int i = 0; i < k; ++i) expected += StrFormat(" 7 h r=%3d, c=%3d : ziter=101", cell[0], cell[1]) + "|";
    }
    std::ifstream f("modell_0.log");
    std::string line, logged;
    while (std::getline(f, line))
        if (line.find(" 7 h r=") != std::string::npos) logged += line.substr(line.find(" 7 h r="), 29) + "|";
    EXPECT_EQ(logged, expected);
}

TEST_F(SoilStepTest, SlowSubstepsAreLoggedByProcessZeroOnly) {
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u);
    ASSERT_EQ(Init(), 0u);
    // A tolerance no iteration reaches: every sub-step runs to the iteration limit.
    model_->max_error = 0.0;
    model_->max_iterations = 101;
    Step(5);
    MPI_Barrier(MPI_COMM_WORLD);
    int own = 0;
    for (const auto& cell : kCells) own += Own(cell[0], cell[1]) ? 1 : 0;
    if (talvo_test::Rank() == 0) {
        std::ifstream f("modell_0.log");
        std::string line;
        int lines = 0;
        while (std::getline(f, line))
            if (line.find(" 5 h r=") != std::string::npos && line.find("ziter=101, max_err = ") != std::string::npos)
                ++lines;
        EXPECT_EQ(lines, own);
    }
    // One iteration fewer: nothing is logged.
    model_->max_iterations = 100;
    Step(6);
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        std::ifstream f("modell_0.log");
        std::stringstream ss;
        ss << f.rdbuf();
        EXPECT_EQ(ss.str().find(" 6 h r="), std::string::npos);
    }
}

TEST_F(SoilStepTest, TwoInnerSubstepsAddEachCallTwice) {
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u);
    model_->SetNumSubSteps(2);
    ASSERT_EQ(Init(), 0u);
    const int S = model_->soilZones.zoneCount;
    std::vector<double> qd(static_cast<std::size_t>(S) + 1, 0.0), n(qd);
    model_->BeginTimeStep(3, 1, 6, 2020);
    for (int call = 0; call < 2; ++call) {
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) (*model_->in.waterInput)[cell[0]][cell[1]] = 30.0 + 10 * call;
        model_->run(3, 1, 6, 2020);
        for (const auto& cell : kCells) {
            if (!Own(cell[0], cell[1])) continue;
            const std::size_t s = static_cast<std::size_t>(Position(cell[0], cell[1]));
            qd[s] += Value("directflow", cell[0], cell[1]);
            if (call == 0) n[s] += 1;
        }
    }
    model_->ComputeSubbasinRunoff();
    MPI_Allreduce(MPI_IN_PLACE, qd.data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, n.data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        for (int s = 1; s <= S; ++s) {
            const std::size_t i = static_cast<std::size_t>(s);
            // Each call adds N times its value with weight 1: the mean is the sum of both calls.
            EXPECT_GT(qd[i], 0.0);
            EXPECT_NEAR(model_->QD[0][i], qd[i] / n[i], 1e-12 * (1 + qd[i]));
        }
    }
}

}  // namespace

// Two coupling passes of a step share its potential evapotranspiration: the real values the
// evapotranspiration model writes after them are the sum of both passes (the last pass alone
// lost half of it), and the next step starts its sums afresh.
TEST_F(SoilStepTest, CouplingPassesOfAStepAddTheirEvapotranspiration) {
    std::vector<landuse_entry> landuse(2);
    landuse[0].code = 1;
    landuse[1].code = 1;
    settings_.landuseTable = landuse.data();
    ASSERT_EQ(Build(Hourly(SoilSection{})), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    model_->SetNumSubSteps(2);
    const auto real = [&](int r, int c) { return Value("real_transpiration1", r, c) + Value("real_evaporation", r, c); };
    for (int h = 1; h <= 2; ++h) {
        model_->BeginTimeStep(h, 1, 6, 2020);
        model_->run(h, 1, 6, 2020);
        std::vector<double> first;
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) first.push_back(real(cell[0], cell[1]));
        model_->run(h, 1, 6, 2020);
        std::size_t i = 0;
        for (const auto& cell : kCells) {
            if (!Own(cell[0], cell[1])) continue;
            ASSERT_GT(first[i], 0.1) << h;
            // Each pass takes about half of the step's 2 mm.
            EXPECT_GT(real(cell[0], cell[1]), 1.6 * first[i]) << h << " " << cell[0] << "," << cell[1];
            EXPECT_LT(first[i], 1.2) << h;
            ++i;
        }
        model_->ComputeSubbasinRunoff();
    }
    model_.reset();
    settings_.landuseTable = nullptr;
}
