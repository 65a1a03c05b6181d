// Construction of surface routing from its control-file section: values, sub-step limits,
// grids and the error codes of bad input.
#include <gtest/gtest.h>

#include <utility>

#include "surfrout_world.hpp"
#include "support/test_support.hpp"

using namespace surfrout_test;
using submodel_test::Contains;

namespace {

class SurfaceConfig : public talvo_test::TempDirTest {};

WorldLayout Tilted() {
    WorldLayout w;
    w.elevation = [](int, int c) { return 100.0 - c; };
    w.river = [](int, int c) { return c == 10; };
    return w;
}

}  // namespace

TEST_F(SurfaceConfig, ReadsTheSectionValueByValue) {
    World w(Tilted());
    SectionSpec s;
    s.method = 3;
    s.minStep = 400;
    s.maxStep = 700;
    s.concentration = 2.5;
    w.WriteControl(s);
    unsigned error = 1;
    auto m = w.Build(&error);
    ASSERT_EQ(error, 0u) << w.console.str();
    EXPECT_EQ(m->GetFlowControl(), 1);
    EXPECT_EQ(m->method, 3);
    EXPECT_EQ(m->velocityStackName, "velocity.stk");
    EXPECT_EQ(m->statNames[3], "qg_sr.txt");
    EXPECT_DOUBLE_EQ(m->aNLTolerance, 0.001);
    EXPECT_EQ(m->aNLIterations, 20);
    EXPECT_EQ(m->velocityIterations, 50);
    EXPECT_DOUBLE_EQ(m->concentrationFactor, 2.5);
    EXPECT_DOUBLE_EQ(m->minSubStep, 400);  // silent
    EXPECT_DOUBLE_EQ(m->maxSubStep, 720);
    EXPECT_TRUE(Contains(w.console.str(), "longest allowed subtimestep changed from 700 to 720. Must be "
                                          "integer fraction of time step in seconds."));
    EXPECT_FALSE(Contains(w.console.str(), "shortest allowed"));
    EXPECT_EQ(m->statNames[4], "storage_stat.txt");
    EXPECT_EQ(m->storageFileName, "state.txt_" + std::to_string(talvo_test::Rank()));
    EXPECT_TRUE(Contains(w.console.str(), "file surfrout, compiled at "));
    // Registered grids, each in the next free entry.
    for (const char* name : {"SurfaceRoutingVelocity", "SurfaceRoutingFluxes", "SurfaceRoutingWeights",
                             "SurfaceRoutingTotalInput", "Plancurvature", "SurfaceRoutingQIn", "SurfaceRoutingQOut",
                             "CriticalShearStress"})
        EXPECT_GT(m->FindGrid(name, true), 0) << name;
    EXPECT_EQ((*m->criticalShear)[2][3], 0.9);
    // Qg before the arrays exist is a programming error.
    EXPECT_EQ(submodel_test::CodeOf([&] { m->GetQg(); }), 57);
    unsigned e2 = 0;
    m->CreateTracerGrids(e2, 0, nullptr, nullptr, 0);
    EXPECT_EQ(e2, 0u);
    EXPECT_NE(m->GetQg(), nullptr);
}

TEST_F(SurfaceConfig, SubStepLimitsAboveTheStep) {
    World w(Tilted());
    SectionSpec s;
    s.minStep = 5000;
    s.maxStep = 5000;
    w.WriteControl(s);
    unsigned error = 0;
    auto m = w.Build(&error);
    ASSERT_EQ(error, 0u);
    EXPECT_DOUBLE_EQ(m->maxSubStep, 3600);
    EXPECT_DOUBLE_EQ(m->minSubStep, 3600);
    EXPECT_TRUE(Contains(w.console.str(), "shortest allowed subtimestep changed from 5000 to 3600."));
    // Two coupling passes per step halve the step the limits divide.
    World w2(Tilted());
    s.maxStep = 0;  // no longest step: the whole pass
    s.minStep = 0;
    w2.WriteControl(s);
    auto m2 = w2.Build(&error, 2);
    ASSERT_EQ(error, 0u);
    EXPECT_DOUBLE_EQ(m2->maxSubStep, 1800);
    EXPECT_DOUBLE_EQ(m2->minSubStep, 0);
    // Without limits a pass still ends: at least one sub step, none longer than the pass.
    m2->CreateTracerGrids(error, 0, nullptr, nullptr, 0);
    w2.directflow->fill(3.0);
    m2->run(1, 1, 6, 2020);
    EXPECT_GE(m2->lastSubSteps, 1);
    EXPECT_GT(m2->lastStep, 0.0);
    EXPECT_LE(m2->lastStep, 1800.0);
}

TEST_F(SurfaceConfig, GridsTakeFreeEntriesOnly) {
    // An entry in use between free ones is never overwritten.
    World w(Tilted());
    const int busy = FirstFreeGridEntry(w.store) + 1;
    Matrix* kept = w.AddGrid("busy", 0);
    std::swap(w.store[busy - 1], w.store[busy]);  // one free entry, then one in use
    w.WriteControl(SectionSpec{});
    unsigned error = 0;
    auto m = w.Build(&error);
    ASSERT_EQ(error, 0u) << w.console.str();
    EXPECT_EQ(w.store[busy].internalName, "busy");
    EXPECT_EQ(w.store[busy].grid, kept);
    EXPECT_GT(m->FindGrid("CriticalShearStress", true), busy);
}

TEST_F(SurfaceConfig, ErrorCodesOfBadInput) {
    struct Case {
        const char* what;
        std::function<void(World&, SectionSpec&)> change;
        unsigned code;
    } cases[] = {
        {"method 0", [](World&, SectionSpec& s) { s.method = 0; }, 10},
        {"method 6", [](World&, SectionSpec& s) { s.method = 6; }, 10},
        {"unreadable tolerance", [](World&, SectionSpec& s) { s.anl = "abc"; }, 17},
        {"glacier codes", [](World& w, SectionSpec&) { w.AddGrid("GlacierCodes", 0); }, 2},
        {"glacierized cells", [](World& w, SectionSpec&) { w.AddGrid("GlacierizedCells", 0); }, 2},
        {"no river depth", [](World& w, SectionSpec&) { w.store[3].internalName = "other"; }, 33},
        {"no directflow", [](World& w, SectionSpec&) { w.store[10].internalName = "other"; }, 33},
        {"store full",
         [](World& w, SectionSpec&) {
             for (int i = 15; i <= 999; ++i) {
                 w.store[i].internalName = "filler" + std::to_string(i);
                 w.store[i].hasFileName = true;
                 w.store[i].hasInternalName = true;
             }
         },
         12},
    };
    for (const Case& c : cases) {
        World w(Tilted());
        SectionSpec s;
        c.change(w, s);
        w.WriteControl(s);
        unsigned error = 0;
        auto m = w.Build(&error);
        EXPECT_EQ(error, c.code) << c.what << "\n" << w.console.str();
    }
}

TEST_F(SurfaceConfig, OffAndResponseUnitsAndSuppliedCurvature) {
    {
        World w(Tilted());
        w.WriteControl(SectionSpec{}, "");
        w.settings.spinUpSwitch = 1;  // hydrologic response units
        unsigned error = 0;
        auto m = w.Build(&error);
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(m->GetFlowControl(), 0);
        EXPECT_EQ(m->GetQg(), nullptr);
        m->run(1, 1, 6, 2020);  // returns at once
    }
    World w(Tilted());
    Matrix* supplied = w.AddGrid("Plancurvature", 0.25);
    w.WriteControl(SectionSpec{});
    unsigned error = 0;
    auto m = w.Build(&error);
    ASSERT_EQ(error, 0u);
    EXPECT_EQ(m->curvature, supplied);
    EXPECT_EQ((*supplied)[2][5], 0.25);  // not computed
    m->ModelEnd(false);
    m.reset();
    const int i = FirstFreeGridEntry(w.store);
    EXPECT_GT(i, 0);
    bool still = false;
    for (int k = 1; k < 1000; ++k) still = still || w.store[k].grid == supplied;
    EXPECT_TRUE(still);  // not released
}

TEST_F(SurfaceConfig, StorageNameFollowedBySection) {
    World w(Tilted());
    SectionSpec s;
    s.storageLines = "storage_stat.txt 0\n";
    w.WriteControl(s, "[unsatzon_model]\n0 flow control\n60 time step\n\n");
    unsigned error = 0;
    auto m = w.Build(&error);
    ASSERT_EQ(error, 0u) << w.console.str();
    EXPECT_TRUE(Contains(w.console.str(), "\n-----------------error------------\nerror reading storage file "
                                          "name for SurfaceRoutingModel\npossible reason"));
    EXPECT_EQ(m->storageFileName, "[unsatzon_model]_" + std::to_string(talvo_test::Rank()));
}
