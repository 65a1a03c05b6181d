// External file coupling: the settings of "[ExternalCoupling]", linking, the incoming grids and
// the outgoing grids and statistics files of a coupling period. Coupling works with one
// process only; with more every coupled set-up stops with error 1009.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "kernel/modelobject.hpp"
#include "setup/coupling.hpp"
#include "setup_fixture.hpp"

namespace {

constexpr int kRows = 3, kCols = 4;
constexpr double kNodata = -9999;
const double kZones[kRows][kCols] = {{kNodata, 3, 3, 5}, {3, 3, 5, 5}, {9, 9, kNodata, kNodata}};

std::string GridText(double value) {
    std::string text = StrFormat("ncols %d\nnrows %d\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n", kCols,
                                 kRows);
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) text += StrFormat(c + 1 == kCols ? "%g\n" : "%g ", value + r * 10 + c);
    return text;
}

// Values of a text grid file, row-major.
std::vector<double> Values(const std::string& path) {
    std::istringstream in(talvo_test::ReadFile(path));
    std::string key;
    double h = 0;
    for (int i = 0; i < 6; ++i) in >> key >> h;
    std::vector<double> v;
    for (double x; in >> x;) v.push_back(x);
    return v;
}

std::string Settings(int mode, const std::string& letter = "D", const std::string& readGrids = "0\n",
                     const std::string& writeGrids = "0\n", const std::string& stats = "0\n") {
    return StrFormat("control file\n\n[ExternalCoupling]\n%d Coupling mode\nin.sem name of the semaphore file\n"
                     "250 wait interval\n%s period\n60 the external model's timestep\n",
                     mode, letter.c_str()) +
           readGrids + writeGrids + stats + "out.sem semaphore file name\ndone! semaphore Content\n\n[next]\n";
}

class CouplingTest : public setup_test::SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        host_ = std::make_unique<modelobject>(log_.get(), "test.ctl", 0, true, false, ObjectRecord{});
        host_->SetModuleName("defaults");
        host_->gridStore = store_.get();
        host_->ncols = kCols;
        host_->nrows = kRows;
        host_->cellsize = 1;
        host_->nodata = kNodata;
        host_->firstRow = 1;
        host_->lastRow = kRows;
        zone_ = host_->matrix(1, kRows, 1, kCols, kRows);
        recharge_ = host_->matrix(1, kRows, 1, kCols, kRows);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) zone_[r][c] = kZones[r - 1][c - 1];
        host_->RegisterGrid(1, "zones.asc", &zone_, nullptr, 0, "[zone_grid]", 0, 1, kRows);
        host_->RegisterGrid(2, "recharge.asc", &recharge_, nullptr, 0, "recharge", 0, 1, kRows);
        coupling_ = std::make_unique<ExternalCoupling>(*host_);
    }
    void TearDown() override {
        coupling_.reset();
        host_.reset();
        SetupTest::TearDown();
    }
    int Read(const std::string& text) {
        setup_test::WriteShared("test.ctl", text);
        return ErrorCode([&] { coupling_->ReadSettings("test.ctl"); });
    }
    void SetRecharge(double v) {
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) recharge_[r][c] = v;
    }
    // One table entry of a zone statistic with the values 1..3 for the zones 3, 5, 9.
    void AddStatistic(int index, const std::string& title) {
        titles_[index] = title;
        statValues_[index] = {0, 0, 0, 0};
        table_[index].valueCount = 4;
        table_[index].lastValues = statValues_[index].data();
        table_[index].title = &titles_[index];
        table_[index].codes = codes_.data();
    }

    std::unique_ptr<modelobject> host_;
    std::unique_ptr<ExternalCoupling> coupling_;
    Matrix zone_, recharge_;
    OutputCodeEntry table_[8];
    std::string titles_[8];
    std::vector<double> statValues_[8];
    std::vector<std::int64_t> codes_{0, 3, 5, 9};
};

TEST_F(CouplingTest, SettingsAreReadAndCouplingNeedsOneProcess) {
    EXPECT_EQ(Read("control file\n[other]\n1\n"), 0);
    EXPECT_FALSE(coupling_->IsCoupled());
    EXPECT_EQ(Read(Settings(0, "X")), 0);
    EXPECT_FALSE(coupling_->IsCoupled());
    EXPECT_EQ(coupling_->PeriodLetter(), 'I');
    EXPECT_EQ(coupling_->WaitInterval(), 100);
    if (talvo_test::Size() > 1) {
        EXPECT_EQ(Read(Settings(1)), 1009);
        EXPECT_NE(Console().find("external coupling does not work when running in MPI mode with more than 1 instance"),
                  std::string::npos);
        EXPECT_EQ(Read(Settings(2)), 1009);
        return;
    }
    ASSERT_EQ(Read(Settings(1, "D", "1\nin_a.asc GWTableExtern 1 1\n",
                            "2\nsum.asc recharge Sum mean.asc\n recharge Mean\n", "1 stats\ns.txt soil Sum\n")),
              0);
    EXPECT_TRUE(coupling_->IsCoupled());
    EXPECT_EQ(coupling_->SemaphoreFileName(), "in.sem");
    EXPECT_EQ(coupling_->WaitInterval(), 250);
    EXPECT_EQ(coupling_->PeriodLetter(), 'D');
    EXPECT_EQ(coupling_->ExternalTimeStep(), 60);
    EXPECT_TRUE(coupling_->HasExternalGWTable());
    ASSERT_EQ(coupling_->Outgoing().size(), 2u);
    EXPECT_EQ(coupling_->Outgoing()[1].writeCode, "Mean");
    EXPECT_EQ(coupling_->Statistics()[0].entityName, "soil");
    EXPECT_EQ(coupling_->OutgoingSemaphoreFileName(), "out.sem");
    EXPECT_EQ(coupling_->OutgoingSemaphoreContent(), "done!");
    // Mode 2 reads everything and still does not couple.
    EXPECT_EQ(Read(Settings(2, "Y")), 0);
    EXPECT_FALSE(coupling_->IsCoupled());
    EXPECT_EQ(coupling_->PeriodLetter(), 'Y');
}

// Coupling proper needs one process.
class OneProcessCouplingTest : public CouplingTest {
protected:
    void SetUp() override {
        CouplingTest::SetUp();
        if (talvo_test::Size() > 1) GTEST_SKIP() << "coupling needs one process";
    }
};

TEST_F(OneProcessCouplingTest, UnreadableSettingsAreError10) {
    EXPECT_EQ(Read(Settings(1, "W")), 10);
    EXPECT_NE(Console().find("error reading Coupling Mode (I, H, D, M or Y) for external gw table grid test.ctl\n"
                             "possible reason: parameter missing or a linefeed \nbefore the end of the parameter block"),
              std::string::npos);
    EXPECT_EQ(Read("[ExternalCoupling]\none\n"), 10);
    EXPECT_NE(Console().find("error reading coupling mode for test.ctl"), std::string::npos);
    EXPECT_EQ(Read(Settings(1, "D", "1\nin_a.asc GWTableExtern 1\n\n[next]\n")), 10);
    EXPECT_NE(Console().find("error reading external (read) grid name/entity/fill code/rename code test.ctl"),
              std::string::npos);
    // A write code longer than 49 characters is refused, not cut or overflowed.
    EXPECT_EQ(Read(Settings(1, "D", "0\n", "1\na.asc recharge " + std::string(50, 'S') + "\n")), 10);
    EXPECT_NE(Console().find("error reading external (write) grid name/entity/Writecodetest.ctl"), std::string::npos);
    EXPECT_EQ(Read("[ExternalCoupling]\n1\nin.sem\nsoon\n"), 10);
    EXPECT_NE(Console().find("error reading of wait interval for scanning for external gw table grid test.ctl"),
              std::string::npos);
    const std::string head = "[ExternalCoupling]\n1\nin.sem\n250\nD\n";
    const std::string reason = " test.ctl\npossible reason: parameter missing or a linefeed \nbefore the end of the "
                               "parameter block";
    const std::pair<std::string, std::string> cases[] = {
        {head + "sixty\n", "error reading time step of the external model (should be given in minutes after "
                           "coupling mode)" + reason},
        {head + "60\n0\n0\n1\nstat.txt\n", "error reading external (write) Statfile name/entity/writecodetest.ctl"},
        {head + "60\n0\n0\n0\n", "error reading semaphore file name for file to be written by talvo" + reason},
        {head + "60\n0\n0\n0\nout.sem\n", "error reading semaphore Content for file to be written by talvo" + reason},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(Read(text), 10) << text;
        EXPECT_NE(Console().find(message), std::string::npos) << message;
    }
    EXPECT_EQ(ErrorCode([&] { coupling_->ReadSettings("missing.ctl"); }), 14);
    EXPECT_NE(Console().find("error opening missing.ctl"), std::string::npos);
}

TEST_F(OneProcessCouplingTest, LinkingKeepsItsOwnListAndNeverTouchesTheTable) {
    AddStatistic(0, "recharge_submodel:defaults");
    AddStatistic(1, "soil moisture_submodel:unsatzon_model");
    OutputCodeEntry before[8];
    std::copy(table_, table_ + 8, before);
    ASSERT_EQ(Read(Settings(1, "D", "1\nin_a.asc recharge 0 0\n", "1\nsum.asc recharge Sum\n",
                            "2\ns.txt soil_moisture Sum\nr.txt recharge_sub Mean\n")),
              0);
    coupling_->Link(table_, 8);
    EXPECT_EQ(coupling_->Statistics()[0].tableIndex, 1);
    EXPECT_EQ(coupling_->Statistics()[1].tableIndex, 0);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(table_[i].lastValues, before[i].lastValues);
        EXPECT_EQ(table_[i].title, before[i].title);
    }
    EXPECT_EQ(coupling_->Incoming()[0].grid, &recharge_);

    ASSERT_EQ(Read(Settings(1, "D", "1\nin_a.asc Recharge 0 0\n")), 0);
    EXPECT_EQ(ErrorCode([&] { coupling_->Link(table_, 8); }), 1003);
    EXPECT_NE(Console().find("error looking for internal grid to read from in_a.asc, with internal name \"Recharge\"\n"
                             "possible reason: internal name of the grid is wrong (case sensitive!)"),
              std::string::npos);
    ASSERT_EQ(Read(Settings(1, "D", "0\n", "1\nsum.asc runoff Sum\n")), 0);
    EXPECT_EQ(ErrorCode([&] { coupling_->Link(table_, 8); }), 1004);
    ASSERT_EQ(Read(Settings(1, "D", "0\n", "0\n", "1\ns.txt snow Sum\n")), 0);
    EXPECT_EQ(ErrorCode([&] { coupling_->Link(table_, 8); }), 1005);
    EXPECT_NE(Console().find("error looking for zonal statistic with internal name \"snow\""), std::string::npos);
}

TEST_F(OneProcessCouplingTest, IncomingGridsAreReadThenRenamedDeletedOrKept) {
    Matrix other = host_->matrix(1, kRows, 1, kCols, kRows);
    host_->RegisterGrid(3, "other.asc", &other, nullptr, 0, "other", 0, 1, kRows);
    ASSERT_EQ(Read(Settings(1, "D", "3\nin_a.asc recharge 0 1\nin_b.asc other 0 0 in_c.asc other 0 2\n")), 0);
    coupling_->Link(table_, 8);
    talvo_test::WriteFile("in_a.asc", GridText(100));
    talvo_test::WriteFile("in_b.asc", GridText(200));
    talvo_test::WriteFile("in_c.asc", GridText(300));
    talvo_test::WriteFile("in.sem", "go");
    coupling_->ReadGrids(2005, 3, 1, 24);
    EXPECT_EQ(recharge_[2][3], 112);
    EXPECT_EQ(other[3][4], 323);
    EXPECT_FALSE(std::filesystem::exists("in_a.asc"));
    EXPECT_FALSE(std::filesystem::exists("in_b.asc"));
    EXPECT_TRUE(std::filesystem::exists("in_c.asc"));
    EXPECT_FALSE(std::filesystem::exists("in.sem"));
    int renamed = 0;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        if (entry.path().filename().string().rfind("in_a.asc_2005_03_01_24_", 0) == 0) ++renamed;
    EXPECT_EQ(renamed, 1);

    // Without the semaphore file, or with a truncated grid, the coupling stops.
    talvo_test::WriteFile("in_a.asc", GridText(100));
    talvo_test::WriteFile("in_b.asc", GridText(200));
    EXPECT_EQ(ErrorCode([&] { coupling_->ReadGrids(2005, 3, 2, 24); }), 1001);
    EXPECT_NE(Console().find("error deleting semaphore file in.sem"), std::string::npos);
    talvo_test::WriteFile("in_a.asc", GridText(100).substr(0, 90));
    EXPECT_EQ(ErrorCode([&] { coupling_->ReadGrids(2005, 3, 3, 24); }), 1001);
    EXPECT_NE(Console().find("error reading external grid in_a.asc"), std::string::npos);
}

TEST_F(OneProcessCouplingTest, OutgoingGridsSumMeanAndRunningTotals) {
    std::filesystem::create_directory("res");
    ASSERT_EQ(Read(Settings(1, "D", "0\n",
                            "4\nsum.asc recharge Sum\nmean.asc recharge Mean\nres/total.asc recharge SumTotal_DM\n"
                            "plain.asc recharge now\n")),
              0);
    coupling_->Link(table_, 8);
    // A period of four steps.
    for (double v : {1.0, 2.0, 3.0}) {
        SetRecharge(v);
        coupling_->Accumulate();
    }
    SetRecharge(6);
    coupling_->Write(1, 3, 2005, true, false, false, 3);
    const std::vector<double> zoneMask = {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0};
    auto expect = [&](const std::string& file, double inside) {
        const std::vector<double> v = Values(file);
        ASSERT_EQ(v.size(), zoneMask.size()) << file;
        for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], zoneMask[i] != 0 ? inside : kNodata) << file << i;
    };
    expect("sum.asc", 12);
    expect("mean.asc", 3);
    // The running total takes only the last step of the period.
    expect("res/total.asc", 6);
    expect("res/SumTotal_EndOf_Day_2005_03_01_total.asc", 6);
    EXPECT_EQ(Values("plain.asc").front(), 6);
    EXPECT_FALSE(std::filesystem::exists("res/SumTotal_EndOf_Month_2005_03_total.asc"));
    EXPECT_EQ(coupling_->StepCount(), 0);

    // A period of two steps: sums and means start again, the running total goes on and adds
    // again only the period's last step.
    SetRecharge(10);
    coupling_->Accumulate();
    SetRecharge(20);
    coupling_->Write(31, 3, 2005, true, true, true, 3);
    expect("sum.asc", 30);
    expect("mean.asc", 15);
    expect("res/total.asc", 26);
    expect("res/SumTotal_EndOf_Day_2005_03_31_total.asc", 26);
    expect("res/SumTotal_EndOf_Month_2005_03_total.asc", 26);
    EXPECT_FALSE(std::filesystem::exists("res/SumTotal_EndOf_Year_2005_total.asc"));

    // A step without data (no valid station value) is left out: the sum and the mean are those
    // of the other step, the running total does not change.
    SetRecharge(4);
    coupling_->Accumulate();
    SetRecharge(kNodata);
    coupling_->Write(1, 4, 2005, true, false, false, 3);
    expect("sum.asc", 4);
    expect("mean.asc", 4);
    expect("res/total.asc", 26);
}

// At the turn of a year every running total writes the dated copies its code names: "_D" a
// copy of the day, "_M" of the month, "_Y" of the year.
TEST_F(OneProcessCouplingTest, RunningTotalsWriteTheDatedCopiesTheirCodesName) {
    ASSERT_EQ(Read(Settings(1, "Y", "0\n",
                            "3\ny.asc recharge SumTotal_Y\nmy.asc recharge SumTotal_MY\ndmy.asc recharge SumTotal_DMY\n")),
              0);
    coupling_->Link(table_, 8);
    SetRecharge(2);
    coupling_->Accumulate();
    SetRecharge(5);
    coupling_->Write(31, 12, 2005, true, true, true, 3);
    namespace fs = std::filesystem;
    for (const char* name : {"y", "my", "dmy"}) {
        SCOPED_TRACE(name);
        // Only the last step of the period counts for a running total.
        EXPECT_EQ(Values(StrFormat("%s.asc", name))[1], 5);
        EXPECT_EQ(Values(StrFormat("SumTotal_EndOf_Year_2005_%s.asc", name))[1], 5);
    }
    EXPECT_FALSE(fs::exists("SumTotal_EndOf_Month_2005_12_y.asc"));
    EXPECT_FALSE(fs::exists("SumTotal_EndOf_Day_2005_12_31_y.asc"));
    EXPECT_TRUE(fs::exists("SumTotal_EndOf_Month_2005_12_my.asc"));
    EXPECT_FALSE(fs::exists("SumTotal_EndOf_Day_2005_12_31_my.asc"));
    EXPECT_TRUE(fs::exists("SumTotal_EndOf_Month_2005_12_dmy.asc"));
    EXPECT_TRUE(fs::exists("SumTotal_EndOf_Day_2005_12_31_dmy.asc"));
    // Without the year's end no year copy; the total goes on.
    fs::remove("SumTotal_EndOf_Year_2005_y.asc");
    coupling_->Write(1, 1, 2006, true, false, false, 3);
    EXPECT_EQ(Values("y.asc")[1], 10);
    EXPECT_FALSE(fs::exists("SumTotal_EndOf_Year_2005_y.asc"));
    EXPECT_FALSE(fs::exists("SumTotal_EndOf_Year_2006_y.asc"));
}

TEST_F(OneProcessCouplingTest, StatisticsFilesPerZone) {
    AddStatistic(0, "soil moisture_submodel:unsatzon_model");
    AddStatistic(1, std::string(120, 'T'));
    ASSERT_EQ(Read(Settings(1, "D", "0\n", "0\n",
                            "4\nsum.txt soil_moisture Sum\nmean.txt soil_moisture Mean\n"
                            "total.txt soil_moisture SumTotal\nlong.txt TTT last\n")),
              0);
    coupling_->Link(table_, 8);
    statValues_[0] = {0, 1, 2, 3};
    statValues_[1] = {0, 7, 8, 9};
    coupling_->Accumulate();
    coupling_->Write(1, 1, 2020, false, false, false, 3);
    EXPECT_EQ(talvo_test::ReadFile("sum.txt"),
              "soil moisture_submodel:unsatzon_model; 3 zones\n3\t2.000000\n5\t4.000000\n9\t6.000000\n");
    EXPECT_EQ(talvo_test::ReadFile("mean.txt"),
              "soil moisture_submodel:unsatzon_model; 3 zones\n3\t1.000000\n5\t2.000000\n9\t3.000000\n");
    EXPECT_EQ(talvo_test::ReadFile("long.txt"),
              std::string(100, 'T') + "...; 3 Gebiete\n3\t7.000000\n5\t8.000000\n9\t9.000000\n");
    coupling_->Write(2, 1, 2020, false, false, false, 3);
    EXPECT_EQ(talvo_test::ReadFile("sum.txt"),
              "soil moisture_submodel:unsatzon_model; 3 zones\n3\t1.000000\n5\t2.000000\n9\t3.000000\n");
    EXPECT_EQ(talvo_test::ReadFile("total.txt"),
              "soil moisture_submodel:unsatzon_model; 3 zones\n3\t3.000000\n5\t6.000000\n9\t9.000000\n");
}

TEST_F(OneProcessCouplingTest, EveryFailedWriteIsReported) {
    ASSERT_EQ(Read(Settings(1, "D", "0\n", "1\nmissing/sum.asc recharge Sum\n")), 0);
    coupling_->Link(table_, 8);
    EXPECT_EQ(ErrorCode([&] { coupling_->Write(1, 1, 2020, false, false, false, 3); }), 26);
    EXPECT_NE(Console().find("error creating missing/sum.asc"), std::string::npos);

    AddStatistic(0, "soil moisture_submodel:unsatzon_model");
    ASSERT_EQ(Read(Settings(1, "D", "0\n", "0\n", "1\nmissing/s.txt soil Sum\n")), 0);
    coupling_->Link(table_, 8);
    EXPECT_EQ(ErrorCode([&] { coupling_->Write(1, 1, 2020, false, false, false, 3); }), 26);
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(Read(Settings(1, "D", "0\n", "0\n", "1\n/dev/full soil Sum\n")), 0);
    coupling_->Link(table_, 8);
    EXPECT_EQ(ErrorCode([&] { coupling_->Write(1, 1, 2020, false, false, false, 3); }), 18);
    EXPECT_NE(Console().find("write error /dev/full"), std::string::npos);
}

}  // namespace
