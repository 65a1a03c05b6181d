// The soil model's section of the storage content file: a written section read back restores
// the zone records and subbasin storages, and every kind of damaged or foreign file stops the
// warm start with its code.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "kernel/error.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
std::string StateFile() { return "storage.txt_" + std::to_string(talvo_test::Rank()); }

std::string ReadText(const std::string& name) {
    std::ifstream in(name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& name, const std::string& text) { std::ofstream(name) << text; }

struct OwnGridsRef {
    unsatzonmodellklasse::OwnGrids& own;
};

class SoilStateTest : public SoilModelTest {
protected:
    unsigned Init() {
        unsigned error = 0;
        model_->InitTracerGrids(error, 0, nullptr, nullptr, 0);
        model_->SelectWaterInput(false);
        return error;
    }
    // Builds and runs a few wet hourly steps so that zone records and storages hold water.
    void RunWet(SoilSection s = {}) {
        std::string t = s.Text();
        t.replace(t.find("1440 time step"), 14, "60 time step");
        ASSERT_EQ(Build(t), 0u) << console_.str();
        ASSERT_EQ(Init(), 0u) << console_.str();
        for (int h = 0; h < 6; ++h) {
            for (int r = 1; r <= 4; ++r)
                for (int c = 1; c <= 5; ++c)
                    if ((*model_->in.waterInput)[r][c] != -9999.0) (*model_->in.waterInput)[r][c] = 20.0 + c;
            model_->BeginTimeStep(h, 1, 6, 2020);
            model_->run(h, 1, 6, 2020);
            model_->ComputeSubbasinRunoff();
        }
    }
    // The code the state reading of a fresh model stops with (0 when it reads).
    int ReadCode(SoilSection s = {}) {
        std::string t = s.Text();
        t.replace(t.find("1440 time step"), 14, "60 time step");
        if (Build(t) != 0u || Init() != 0u) return -1;
        try {
            model_->ReadStorageState();
        } catch (const ModelError& e) {
            return e.code();
        }
        return 0;
    }
};
}  // namespace

TEST_F(SoilStateTest, SectionHasItsLinesInOrder) {
    RunWet();
    model_->WriteStorageState(false);
    std::istringstream in(ReadText(StateFile()));
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(in, line)) lines.push_back(line);
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[0], "[unsatzon_model]");
    EXPECT_EQ(lines[1], "3 (number of subasins)");
    EXPECT_EQ(lines[2], "3\t5\t9\t(code)");
    // kelsqd of 2 h is held in minutes.
    EXPECT_EQ(lines[3], "120 120 120 (kelsqd in min)");
    EXPECT_EQ(lines[5], "2 2 2 (drainage density)");
    EXPECT_EQ(lines[6], "2 2 2 (inverse recession constant for baseflow [needed when using no groundwater model])");
    EXPECT_EQ(lines[8], "0.3 0.3 0.4 (surface runoff fraction of snowmelt)");
    EXPECT_EQ(lines[9], "0 (number of tracers)");
    EXPECT_EQ(lines[10], "0 (0=runoff, 1...9 = tracers)");
    EXPECT_EQ(lines[11].substr(0, 4), "1 " + std::to_string(model_->zonesPerSubbasin[1]) + " ");
    EXPECT_EQ(lines.back(), "");
    // Per subbasin: zone line, two lines per zone, two storage lines.
    std::size_t expected = 12;
    for (int s = 1; s <= 3; ++s) expected += 3 + 2 * static_cast<std::size_t>(model_->zonesPerSubbasin[s]);
    EXPECT_EQ(lines.size(), expected);
}

TEST_F(SoilStateTest, WarmModelGetsTheRecordsAndStoragesBack) {
    RunWet();
    model_->WriteStorageState(false);
    const auto qd = model_->zoneFZT_QD, qi = model_->zoneFZT_QI;
    const auto QDd = model_->QDd, QIi = model_->QIi;
    // The storages are routed where the subbasin runoff is gathered: some process holds water.
    int wet = 0;
    for (int s = 1; s <= 3; ++s) wet = wet || QDd[0][static_cast<std::size_t>(s)] > 0;
    MPI_Allreduce(MPI_IN_PLACE, &wet, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    EXPECT_EQ(wet, 1);
    ASSERT_EQ(ReadCode(), 0) << console_.str();
    for (std::size_t s = 1; s <= 3; ++s) {
        // Storages return at six significant digits.
        EXPECT_NEAR(model_->QDd[0][s], QDd[0][s], 1e-5 * std::fabs(QDd[0][s]));
        EXPECT_NEAR(model_->QIi[0][s], QIi[0][s], 1e-5 * std::fabs(QIi[0][s]));
        for (std::size_t z = 1; z < qd[0][s].size(); ++z) {
            for (auto [got, want] : {std::pair{model_->zoneFZT_QD[0][s][z], qd[0][s][z]},
                                     std::pair{model_->zoneFZT_QI[0][s][z], qi[0][s][z]}}) {
                EXPECT_NEAR(got.n, want.n, 1e-5 * std::fabs(want.n));
                EXPECT_NEAR(got.sx, want.sx, 1e-5 * std::fabs(want.sx));
                EXPECT_DOUBLE_EQ(got.zonenwert, want.zonenwert);
                EXPECT_NEAR(got.rel, want.rel, 1e-5 * std::fabs(want.rel));
                EXPECT_NEAR(got.RelCellSum, want.RelCellSum, 1e-5 * std::fabs(want.RelCellSum));
            }
        }
    }
}

TEST_F(SoilStateTest, OtherSectionsBeforeAreSkippedAndAppendKeepsThem) {
    WriteText(StateFile(), "[routing_model]\n1 2 3 (values)\nnot ours\n");
    RunWet();
    model_->WriteStorageState(true);
    const std::string text = ReadText(StateFile());
    EXPECT_EQ(text.rfind("[routing_model]\n", 0), 0u);
    EXPECT_NE(text.find("\n[unsatzon_model]\n"), std::string::npos);
    WriteText(StateFile(), text + "[snow_model]\n4 5 6\n");
    EXPECT_EQ(ReadCode(), 0) << console_.str();
    // Without the routing the file starts with the soil section.
    model_->WriteStorageState(false);
    EXPECT_EQ(ReadText(StateFile()).rfind("[unsatzon_model]\n", 0), 0u);
}

TEST_F(SoilStateTest, DamagedOrForeignFilesStopTheWarmStart) {
    RunWet();
    model_->WriteStorageState(false);
    const std::string good = ReadText(StateFile());
    struct Case {
        const char* what;
        std::string text;  // empty: no file
        int code;
    };
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string t = good;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    const std::size_t firstZone = good.find("(zoneFZT_QD");
    const std::size_t lineStart = good.rfind('\n', firstZone) + 1;
    // The same file with a line's values replaced by text (up to the line's label).
    auto lineOf = [&](const std::string& label, const std::string& values) {
        const std::size_t at = good.find(label), start = good.rfind('\n', at) + 1;
        return good.substr(0, start) + values + " " + good.substr(at);
    };
    const std::vector<Case> cases = {
        {"no file", "", 64},
        {"no section", "[routing_model]\n1 2\n", 71},
        {"subbasin count", replaced("3 (number of subasins)", "4 (number of subasins)"), 71},
        {"subbasin code", replaced("3\t5\t9\t(code)", "3\t5\t8\t(code)"), 71},
        {"changed parameter", replaced("120 120 120 (kelsqd", "120 120 121 (kelsqd"), 71},
        {"parameter within 1e-5", replaced("120 120 120 (kelsqd", "120 120 120.0001 (kelsqd"), 0},
        {"tracer count", replaced("0 (number of tracers)", "1 (number of tracers)"), 71},
        {"four record fields", good.substr(0, lineStart) + "1 2 3 4 (short)\n", 71},
        {"cut after the label", good.substr(0, good.find("(kelsqi in min)")), 71},
        {"section named inside a line", "# see unsatzon_model below\n" + good.substr(good.find('\n') + 1), 0},
        {"storage not a number", lineOf("(QDd[0][2])", "nan"), 71},
        {"record field infinite", lineOf("(zoneFZT_QI", "1 inf 3 1 1"), 71},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(StateFile().c_str());
        if (!c.text.empty()) WriteText(StateFile(), c.text);
        EXPECT_EQ(ReadCode(), c.code) << console_.str();
    }
    EXPECT_NE(console_.str().find("error opening storage content file "), std::string::npos);
    EXPECT_NE(console_.str().find("error in storage file content reading m:\nvalue in actual control is:   "),
              std::string::npos);
    EXPECT_NE(console_.str().find("error in storage file content reading QDd in "), std::string::npos);
    EXPECT_NE(console_.str().find(": the value nan is not a finite number"), std::string::npos);
    EXPECT_NE(console_.str().find(": the value inf is not a finite number"), std::string::npos);
}

TEST_F(SoilStateTest, StoredZeroNeedsAZeroControlValue) {
    RunWet();
    model_->subbasins.Q0[2] = 0.0;
    model_->WriteStorageState(false);
    for (double control : {0.0, 1e-9}) {
        SCOPED_TRACE(control);
        std::string t = SoilSection{}.Text();
        t.replace(t.find("1440 time step"), 14, "60 time step");
        ASSERT_EQ(Build(t), 0u);
        ASSERT_EQ(Init(), 0u);
        model_->subbasins.Q0[2] = control;
        int code = 0;
        try {
            model_->ReadStorageState();
        } catch (const ModelError& e) {
            code = e.code();
        }
        EXPECT_EQ(code, control == 0.0 ? 0 : 71);
    }
}

TEST_F(SoilStateTest, UnwritableFileIsAWriteError) {
    RunWet();
    model_->config.storageFileName = "no_such_dir/storage.txt";
    int code = 0;
    try {
        model_->WriteStorageState(false);
    } catch (const ModelError& e) {
        code = e.code();
    }
    EXPECT_EQ(code, 18);
    EXPECT_NE(console_.str().find("error writing storage content file "), std::string::npos) << console_.str();
}

TEST_F(SoilStateTest, ModelEndWritesTheSectionAndTheSummaryAndLetsGo) {
    SoilSection s;
    s.controlRow = 2;
    s.controlCol = 3;
    RunWet(s);
    model_->ModelEnd(false);
    EXPECT_EQ(ReadText(StateFile()).rfind("[unsatzon_model]\n", 0), 0u);
    EXPECT_EQ(FindGridIndex("theta"), 0);
    EXPECT_EQ(FindGridIndex("groundwater_distance"), 0);
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        const std::string log = ReadText("modell_0.log");
        EXPECT_NE(log.find("mean soil water content for all cells at model-start: "), std::string::npos);
        EXPECT_NE(log.find("mean soil water content for all cells at model-end: "), std::string::npos);
    }
    if (Own(2, 3)) {
        const std::string log = ReadText("modell_" + std::to_string(talvo_test::Rank()) + ".log");
        EXPECT_NE(log.find(") soil water content (control point r=2 c=3) at model-end: "), std::string::npos);
    }
    // A second end does nothing.
    model_->ModelEnd(false);
}

TEST_F(SoilStateTest, RunSplitInTwoContinuesLikeOneRun) {
    auto wetHour = [&](unsatzonmodellklasse& m, int h) {
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if ((*m.in.waterInput)[r][c] != -9999.0) (*m.in.waterInput)[r][c] = 5.0 + 3.0 * (h % 3) + c;
        m.BeginTimeStep(h, 1, 6, 2020);
        m.run(h, 1, 6, 2020);
        m.ComputeSubbasinRunoff();
    };
    // The column state a warm start reads from its grids, own cells in row order.
    auto state = [&](bool restore, std::vector<double>& v) {
        std::size_t at = 0;
        auto io = [&](double& x) {
            if (restore) x = v[at++];
            else v.push_back(x);
        };
        OwnGridsRef g{model_->own};
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                if (!Own(r, c)) continue;
                for (int k = 0; k <= 10; ++k) {
                    io(g.own.theta[r][c][k]);
                    io(g.own.hydraulicHeads[r][c][k]);
                    io(g.own.geodeticHeads[r][c][k]);
                }
                io(g.own.groundwaterDistance[r][c]);
                io(g.own.groundwaterLevel[r][c]);
                io(g.own.thetaInGwLevel[r][c]);
                io(g.own.baseflow[r][c]);
            }
    };
    std::string t = SoilSection{}.Text();
    t.replace(t.find("1440 time step"), 14, "60 time step");
    // One run of 8 wet hours.
    ASSERT_EQ(Build(t), 0u);
    ASSERT_EQ(Init(), 0u);
    for (int h = 0; h < 8; ++h) wetHour(*model_, h);
    std::vector<double> whole;
    state(false, whole);
    const RunoffArray Qg = model_->Qg;
    // The same run stopped after 3 hours with its state section and column state ...
    ASSERT_EQ(Build(t), 0u);
    ASSERT_EQ(Init(), 0u);
    for (int h = 0; h < 3; ++h) wetHour(*model_, h);
    model_->WriteStorageState(false);
    std::vector<double> part;
    state(false, part);
    // ... continued by a fresh model for the other 5 hours.
    ASSERT_EQ(Build(t), 0u);
    ASSERT_EQ(Init(), 0u);
    model_->ReadStorageState();
    state(true, part);
    for (int h = 3; h < 8; ++h) wetHour(*model_, h);
    std::vector<double> split;
    state(false, split);
    ASSERT_EQ(split.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i) ASSERT_EQ(split[i], whole[i]) << i;
    // Subbasin storages come back at six digits, so the runoff agrees to that.
    for (std::size_t s = 1; s < Qg[0].size(); ++s)
        EXPECT_NEAR(model_->Qg[0][s], Qg[0][s], 1e-5 * std::fabs(Qg[0][s]) + 1e-12) << s;
}
