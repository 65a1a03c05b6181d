// Surface water that the soil model receives besides its water input: the store
// "SurfStorSiltingUp" (silting-up off: the soil takes it in and empties it) and the direct runoff
// of silted-up surfaces (it leaves with the direct flow). Each cell closes its balance with it,
// and the runoff records count water that surface routing keeps on the surface only once.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>

#include "setup/tracer_ini.hpp"
#include "tables/landuse_entry.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
constexpr int kCells[][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5},
                             {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}};

class SoilSurfaceWater : public SoilModelTest {
protected:
    // With pond set the cells pond up to "max_ponding_storage" (m).
    unsigned Start(int tracers = 0, const TracerDescriptor* d = nullptr, bool pond = false) {
        SoilSection s;
        s.pond = pond ? 1 : 0;
        std::string t = s.Text();
        const std::string from = "1440 time step";
        t.replace(t.find(from), from.size(), "60 time step");
        unsigned error = Build(t);
        if (error != 0) return error;
        model_->InitTracerGrids(error, tracers, d, nullptr, 0);
        model_->SelectWaterInput(false);
        return error;
    }
    // Started with one tracer, "chl", carried as mass.
    unsigned StartWithTracer(double maxConc = 0) {
        tracer_.assign(2, TracerDescriptor{});
        tracer_[1].name = "chl";
        tracer_[1].statext = "txt";
        tracer_[1].gridext = "asc";
        tracer_[1].max_conc = maxConc;
        return Start(1, tracer_.data());
    }
    std::vector<TracerDescriptor> tracer_;
    double Stored(int r, int c) const {
        double s = 0;
        for (int k = 1; k <= 10; ++k) s += Level("theta", r, c, k) * 0.1 * 1000.0;
        return s;
    }
    double Out(int r, int c) const {
        return Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
               Value("real_evaporation", r, c) + Value("directflow", r, c) + Value("interflow", r, c) +
               Value("baseflow", r, c);
    }
    // One step; every own cell closes its balance with the extra surface water it received.
    template <class F>
    void StepAndCheckCells(int h, F extra) {
        std::vector<double> before(20, 0.0);
        auto at = [](int r, int c) { return static_cast<std::size_t>(r * 5 + c - 6); };
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) before[at(cell[0], cell[1])] = Stored(cell[0], cell[1]);
        model_->BeginTimeStep(h, 1, 6, 2020);
        model_->run(h, 1, 6, 2020);
        model_->ComputeSubbasinRunoff();
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const double in = (*model_->in.waterInput)[r][c] + extra(r, c);
            const double dS = Stored(r, c) - before[at(r, c)];
            EXPECT_NEAR(in, Out(r, c) + dS, 1e-9 * (in + std::fabs(dS))) << r << "," << c << " hour " << h;
        }
    }
    // Sum over the cells of subbasin s on every process (s = 0: all cells).
    template <class F>
    double SubbasinSum(int s, F value) const {
        double v = 0;
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1]) && (s == 0 || model_->SubbasinOf(cell[0], cell[1]) == s))
                v += value(cell[0], cell[1]);
        MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        return v;
    }
};

TEST_F(SoilSurfaceWater, TheStoreIsTakenInOnceAndItsReturnIsNotCountedAgain) {
    Matrix& store = AddGrid("SurfStorSiltingUp", 0.0);
    ASSERT_EQ(Start(), 0u) << console_.str();
    for (int h = 0; h < 6; ++h) {
        // Water left on the surface by surface routing, and some rain.
        for (const auto& cell : kCells) {
            if (!Own(cell[0], cell[1])) continue;
            store[cell[0]][cell[1]] = 20.0 + cell[1];
            (*model_->in.waterInput)[cell[0]][cell[1]] = h % 2 == 0 ? 2.0 : 0.0;
        }
        StepAndCheckCells(h, [](int, int c) { return 20.0 + c; });
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) {
                EXPECT_EQ(store[cell[0]][cell[1]], 0.0);  // the soil's water now
            }
        // Without flow times the arrival of direct flow is the subbasin's mean of the records:
        // direct flow less the store water taken in (what served transpiration is not taken).
        for (int s = 1; s <= model_->soilZones.zoneCount; ++s) {
            const double n = SubbasinSum(s, [](int, int) { return 1.0; });
            const double direct = SubbasinSum(s, [&](int r, int c) { return Value("directflow", r, c); });
            const double taken = SubbasinSum(s, [](int, int c) { return 20.0 + c; });
            const double transpired = SubbasinSum(s, [&](int r, int c) { return Value("real_transpiration1", r, c); });
            if (talvo_test::Rank() != 0) continue;
            const double QD = model_->QD[0][static_cast<std::size_t>(s)];
            EXPECT_LE(QD, (direct - taken + transpired) / n + 1e-12) << "subbasin " << s;
            EXPECT_GE(QD, (direct - taken) / n - 1e-12) << "subbasin " << s;
            EXPECT_LT(QD, direct / n);
        }
    }
}

TEST_F(SoilSurfaceWater, SiltedUpRunoffLeavesWithTheDirectFlow) {
    Matrix& silted = AddGrid("DirectRunoffSiltingUp", 0.0);
    Matrix& store = AddGrid("SurfStorSiltingUp", 0.0);
    ASSERT_EQ(Start(), 0u) << console_.str();
    for (int h = 0; h < 4; ++h) {
        // Surface routing takes over the records from the third step on.
        if (h == 2) model_->SetRouteImmediately(1);
        for (const auto& cell : kCells) {
            if (!Own(cell[0], cell[1])) continue;
            silted[cell[0]][cell[1]] = 3.0 + cell[0];
            (*model_->in.waterInput)[cell[0]][cell[1]] = 1.0;
            // What surface routing leaves on the surface at the end of this step; silting-up
            // takes it in at the start of the next one, the soil model does not touch it.
            store[cell[0]][cell[1]] = 0.5 * (h + cell[1]);
        }
        StepAndCheckCells(h, [](int r, int) { return 3.0 + r; });
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            EXPECT_EQ(silted[r][c], 3.0 + r);  // silting-up's grids, read only
            EXPECT_EQ(store[r][c], 0.5 * (h + c));
            EXPECT_GE(Value("directflow", r, c), 3.0 + r - 1e-12);
        }
        // The records hold all of the direct flow while the soil model's runoff is routed; once
        // surface routing runs, they leave out the water it left on the surface in the step
        // before, which came back through silting-up.
        for (int s = 1; s <= model_->soilZones.zoneCount; ++s) {
            const double n = SubbasinSum(s, [](int, int) { return 1.0; });
            const double direct = SubbasinSum(s, [&](int r, int c) { return Value("directflow", r, c); });
            const double back = SubbasinSum(s, [&](int, int c) { return 0.5 * (h - 1 + c); });
            if (talvo_test::Rank() != 0) continue;
            const double expected = h < 2 ? direct / n : (direct - back) / n;
            EXPECT_NEAR(model_->QD[0][static_cast<std::size_t>(s)], expected, 1e-12) << "subbasin " << s << " hour " << h;
        }
    }
}

// The tracer that silting-up sends with its runoff leaves with the direct flow: with a clean
// soil and clean input, the direct flow's load is the silted-up runoff times its concentration.
TEST_F(SoilSurfaceWater, SiltedUpRunoffCarriesItsTracer) {
    Matrix& silted = AddGrid("DirectRunoffSiltingUp", 0.0);
    AddGrid("concflux_tracer_1_SiltingUpModel", 0.25);
    AddGrid("concflux_tracer_1_input", 0.0);
    ASSERT_EQ(StartWithTracer(), 0u) << console_.str();
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        silted[cell[0]][cell[1]] = 4.0;
        (*model_->in.waterInput)[cell[0]][cell[1]] = 0.0;
    }
    StepAndCheckCells(0, [](int, int) { return 4.0; });
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        const double direct = Value("directflow", r, c);
        ASSERT_GT(direct, 0.0);
        EXPECT_NEAR(model_->tracerDirect[1][r][c] * direct, 4.0 * 0.25, 1e-12) << r << "," << c;
    }
}

}  // namespace

namespace {

// The water that surface routing left on the surface brings the tracer of surface routing's store
// (its concentration), not that of the water input: what the cell holds and sent on after the
// step is input x its concentration + surface water x the store's.
TEST_F(SoilSurfaceWater, TheSurfaceWaterBringsItsOwnTracer) {
    Matrix& store = AddGrid("SurfStorSiltingUp", 0.0);
    AddGrid("surface_storage_tracer_1_SurfaceRoutingModel", 3.0);
    AddGrid("concflux_tracer_1_input", 0.5);
    ASSERT_EQ(StartWithTracer(1e12), 0u) << console_.str();
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        store[cell[0]][cell[1]] = 2.0 + cell[1];
        (*model_->in.waterInput)[cell[0]][cell[1]] = 1.0;
    }
    StepAndCheckCells(0, [](int, int c) { return 2.0 + c; });
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        double held = model_->tracerDirect[1][r][c] * Value("directflow", r, c) +
                      model_->tracerInterflow[1][r][c] * Value("interflow", r, c) +
                      model_->tracerBaseflow[1][r][c] * Value("baseflow", r, c);
        for (int l = 0; l <= 10; ++l) held += model_->tracerLayers[1][r][c][l];
        const double brought = 1.0 * 0.5 + (2.0 + c) * 3.0;
        EXPECT_NEAR(held, brought, 1e-9 * brought) << r << "," << c;
    }
}

// A tracer mixed as a concentration (an evaporating one): the water reaching the surface in a
// sub-step takes the concentration of its mixture, the water input at its concentration and
// the surface water at the store's, with and without a ponding store (empty at the start).
TEST_F(SoilSurfaceWater, SurfaceWaterMixesAConcentrationTracer) {
    Matrix& store = AddGrid("SurfStorSiltingUp", 0.0);
    AddGrid("surface_storage_tracer_1_SurfaceRoutingModel", 3.0);
    AddGrid("concflux_tracer_1_input", 0.5);
    tracer_.assign(2, TracerDescriptor{});
    tracer_[1].name = "iso";
    tracer_[1].statext = "txt";
    tracer_[1].gridext = "asc";
    tracer_[1].max_conc = 1e12;
    tracer_[1].evaporating = 1;
    // A land use whose transpiration the surface water serves first: the tracer goes with the
    // water, so what stays keeps the concentration of the mixture.
    std::vector<landuse_entry> landuse(2, landuse_entry{});
    landuse[0].code = 1;
    landuse[1].code = 1;
    landuse[1].RootDist = 1.0;
    landuse[1].HReduDry = 3.0;
    landuse[1].TReduWet = 0.95;
    settings_.landuseTable = landuse.data();
    for (bool ponding : {false, true}) {
        if (ponding) {
            model_.reset();
            AddGrid("max_ponding_storage", 50.0);
        }
        ASSERT_EQ(Start(1, tracer_.data(), ponding), 0u) << console_.str();
        for (const auto& cell : kCells) {
            if (!Own(cell[0], cell[1])) continue;
            store[cell[0]][cell[1]] = 4.0;
            // Only surface water on the cells of row 1; input and surface water elsewhere.
            (*model_->in.waterInput)[cell[0]][cell[1]] = cell[0] == 1 ? 0.0 : 2.0;
            for (Matrix* m : {model_->in.potTranspiration[0], model_->in.potTranspiration[1]})
                (*m)[cell[0]][cell[1]] = 1.0;
        }
        model_->BeginTimeStep(0, 1, 6, 2020);
        model_->run(0, 1, 6, 2020);
        for (const auto& cell : kCells) {
            if (Own(cell[0], cell[1])) {
                EXPECT_GT(Value("real_transpiration1", cell[0], cell[1]), 0.5);
            }
        }
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const double expected = r == 1 ? 3.0 : (2.0 * 0.5 + 4.0 * 3.0) / 6.0;
            EXPECT_NEAR(model_->tracerLayers[1][r][c][0], expected, 1e-12)
                << r << "," << c << (ponding ? " ponding" : "");
        }
    }
    model_.reset();
    settings_.landuseTable = nullptr;
}

// Water standing on a cell that can pond infiltrates through the matrix and the macropores; what
// it cannot take stays in the pond, so no infiltration excess is counted while the pond has room
// (the macropores' share is infiltration, not excess).
TEST_F(SoilSurfaceWater, APondWithRoomHasNoInfiltrationExcess) {
    soils_[1].PMacroThresh = 1.0 / 3600000.0;  // 1 mm per hour
    soils_[1].MacroCapacity = 0.5 / 3600000.0;
    soils_[1].MacroDepth = 0.5;
    AddGrid("max_ponding_storage", 0.2);
    ASSERT_EQ(Start(0, nullptr, true), 0u) << console_.str();
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1])) (*model_->in.waterInput)[cell[0]][cell[1]] = 100.0;
    std::vector<double> before;
    for (const auto& cell : kCells) before.push_back(Own(cell[0], cell[1]) ? Stored(cell[0], cell[1]) : 0.0);
    model_->BeginTimeStep(1, 1, 6, 2020);
    model_->run(1, 1, 6, 2020);
    std::size_t i = 0;
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        const double start = before[i++];
        if (!Own(r, c)) continue;
        // The cell keeps its balance with the pond as a store.
        const double held = Stored(r, c) - start + Value("ponding_storage", r, c);
        EXPECT_NEAR(100.0, Out(r, c) + held, 1e-9 * 100.0) << r << "," << c;
        EXPECT_GT(Value("macropore_infiltration", r, c), 0.1) << r << "," << c;
        EXPECT_GT(Value("ponding_storage", r, c), 0.1) << r << "," << c;
        EXPECT_LT(Value("ponding_storage", r, c), 200.0) << r << "," << c;
        EXPECT_EQ(Value("infiltration_excess", r, c), 0.0) << r << "," << c;
    }
}

}  // namespace
