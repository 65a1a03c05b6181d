// Whole runs of the application with the set-up of this build: a coupled run in which a thread
// plays the external program, the publication of the semaphore file, and the hydrologic
// response units of a spin-up run.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mpi.h>
#include <thread>
#include <unistd.h>

#include "driver_fixtures.hpp"
#include "kernel/signals.hpp"

using namespace driver_test;
namespace fs = std::filesystem;

namespace {

// The zones of the test domain with two columns of nodata to the east: the set-up divides the
// cells among the processes, and a row needs room for its strips.
constexpr int kCols = 7;
double Zone(int r, int c) { return c < 5 ? kZones[r][c] : -9999; }

std::string Grid(const std::function<double(int, int)>& value) {
    std::string text = StrFormat("ncols %d\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n",
                                 kCols);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < kCols; ++c) text += StrFormat(c == kCols - 1 ? "%g\n" : "%g ", value(r, c));
    return text;
}
std::string Grid(double value) {
    return Grid([value](int, int) { return value; });
}

// Values of a text grid file, row-major; empty when the file is missing.
std::vector<double> Values(const std::string& path) {
    std::istringstream in(talvo_test::ReadFile(path));
    std::string key;
    double h = 0;
    for (int i = 0; i < 6; ++i) in >> key >> h;
    std::vector<double> v;
    for (double x; in >> x;) v.push_back(x);
    return v;
}

// value in the basin cells, nodata outside.
std::vector<double> Basin(double value) {
    std::vector<double> v;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < kCols; ++c) v.push_back(Zone(r, c) == -9999 ? -9999 : value);
    return v;
}

std::string BasinControl(int inputs, const std::string& extra) {
    const std::string before =
        "[output_interval]\n1 run interval\n0\n0\n0 min_to_int_end\nWriteAsciiGrids = 1\n\n"
        "[output_list]\n0 subbasins\n\n[coordinates]\n47.5\n8.5\n15.0\n0\n\n"
        "[meteo_data_count]\n" +
        std::to_string(inputs) +
        "\n\n[meteo_names]\ntemperature\n\n"
        "[model_time]\n12\n1\n1\n2020\n24\n2\n1\n2020\n\n[zone_grid]\nzones.asc\n\n[elevation_model]\ndem.asc\n\n"
        "[standard_grids]\n0\n\n[variable_grids]\n0\n\n[substance_transport]\n0\n\n";
    return ControlFile(before + ParameterTables(1, 1) + extra);
}

const char* const kCoupling =
    "[ExternalCoupling]\n1 Coupling mode\nin.sem name of the semaphore file\n50 wait interval\nD period\n"
    "720 the external model's timestep\n1 grid to read\nin.asc [elevation_model] 0 1\n4 grids to write\n"
    "sum.asc [elevation_model] Sum\nmean.asc [elevation_model] Mean\ntotal.asc [elevation_model] SumTotal_DM\n"
    "now.asc [elevation_model] now\n0 statistics\nout.sem semaphore file name\nready semaphore content\n\n";

DomainOptions BuildSetup() {
    DomainOptions o;
    o.buildSetup = true;
    return o;
}

const std::vector<Date> kTwoDays = {{12, 1, 1, 2020}, {24, 1, 1, 2020}, {12, 2, 1, 2020}, {24, 2, 1, 2020}};

class CoupledRunTest : public talvo_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        WriteShared("zones.asc", Grid(Zone));
        WriteShared("dem.asc", Grid(500));
        WriteShared("MpiSpeedFactor.dat", "1\n");
    }
    void TearDown() override {
        DisableCtrlCHandler();
        TempDirTest::TearDown();
    }
};

struct Published {
    std::vector<double> sum, mean, total, now;
    std::string semaphore;
};

bool WaitForFile(const std::string& name) {
    for (int i = 0; i < 30000; ++i) {
        if (fs::exists(name)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

int StringCount(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

// The external program's side: the grid first, then its semaphore file in one rename.
void Publish(const std::string& grid) {
    talvo_test::WriteFile("in.asc", grid);
    talvo_test::WriteFile("in.sem.part", "go");
    fs::rename("in.sem.part", "in.sem");
}

}  // namespace

TEST_F(CoupledRunTest, ExternalProgramAndModelTakeTurnsDayByDay) {
    WriteShared("test.ctl", BasinControl(1, kCoupling));
    AppHarness run(BuildSetup(), kTwoDays, "2\n");
    if (talvo_test::Size() > 1) {
        EXPECT_EQ(run.Build(), 1009);
        return;
    }
    ASSERT_EQ(run.Build(), 0);

    std::vector<Published> seen;
    bool gaveUp = false;
    std::thread external([&] {
        // The incoming grid of each day: 1 on the first, 3 on the second.
        Publish(Grid(1));
        for (int day = 1; day <= 2; ++day) {
            if (!WaitForFile("out.sem")) {
                gaveUp = true;
                run.app().ctrlCOption.store(1);  // ends the model's wait with the answer 2
                return;
            }
            seen.push_back({Values("sum.asc"), Values("mean.asc"), Values("total.asc"), Values("now.asc"),
                            talvo_test::ReadFile("out.sem")});
            fs::remove("out.sem");
            if (day == 1) Publish(Grid(3));
        }
    });
    int status = -1;
    const int code = CodeOf([&] { status = run.app().run(); });
    external.join();
    ASSERT_FALSE(gaveUp) << run.Console();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(seen.size(), 2u);
    // Day 1: two steps of 1; day 2: two steps of 3. The running total takes the last step of
    // each day and goes on over both days.
    EXPECT_EQ(seen[0].sum, Basin(2));
    EXPECT_EQ(seen[0].mean, Basin(1));
    EXPECT_EQ(seen[0].total, Basin(1));
    EXPECT_EQ(seen[0].semaphore, "ready");
    EXPECT_EQ(seen[1].sum, Basin(6));
    EXPECT_EQ(seen[1].mean, Basin(3));
    EXPECT_EQ(seen[1].total, Basin(4));
    EXPECT_EQ(Values("now.asc")[1], 3);
    // The end of the first day wrote a dated copy of the running total; the run ended on the
    // second day, whose date did not change any more.
    EXPECT_EQ(Values("SumTotal_EndOf_Day_2020_01_01_total.asc"), Basin(1));
    EXPECT_FALSE(fs::exists("SumTotal_EndOf_Day_2020_01_02_total.asc"));
    EXPECT_FALSE(fs::exists("SumTotal_EndOf_Month_2020_01_total.asc"));
    // Every incoming grid stays under a dated name; the semaphore files are gone.
    int kept = 0;
    for (const auto& e : fs::directory_iterator(".")) {
        const std::string name = e.path().filename().string();
        if (name.rfind("in.asc_2020_01_01_12_", 0) == 0 || name.rfind("in.asc_2020_01_02_12_", 0) == 0) ++kept;
    }
    EXPECT_EQ(kept, 2);
    EXPECT_FALSE(fs::exists("in.sem"));
    EXPECT_FALSE(fs::exists("Talvo_Vey_temporary_semaphore.file"));
    const std::string log = run.Console();
    EXPECT_EQ(StringCount(log, "waiting for external synchronisation file in.sem...found it! "), 2);
}

// The period letter decides the coupling periods. Four 12-hour steps over 31 January and
// 1 February: a new hour at every step, a new day and month after the second, the same year.
TEST_F(CoupledRunTest, ThePeriodLetterSetsTheLengthOfACouplingPeriod) {
    if (talvo_test::Size() > 1) GTEST_SKIP() << "coupling needs one process";
    const std::vector<Date> dates = {{12, 31, 1, 2020}, {24, 31, 1, 2020}, {12, 1, 2, 2020}, {24, 1, 2, 2020}};
    struct Case {
        char letter;
        // Per period: the incoming value is the period's number; steps in the period and the
        // running total after it (the last step of every period).
        std::vector<int> steps;
        std::vector<double> totals;
        double januaryTotal;  // of the write after which the month had changed
    };
    const Case cases[] = {{'H', {1, 1, 1, 1}, {1, 3, 6, 10}, 3}, {'M', {2, 2}, {1, 3}, 1}, {'Y', {4}, {1}, 1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string("period letter ") + k.letter);
        const fs::path own = std::string("letter_") + k.letter;
        fs::create_directory(own);
        fs::current_path(own);
        WriteShared("zones.asc", Grid(Zone));
        WriteShared("dem.asc", Grid(500));
        WriteShared("MpiSpeedFactor.dat", "1\n");
        std::string coupling = kCoupling;
        coupling[coupling.find("D period")] = k.letter;
        std::string control = BasinControl(1, coupling);
        const std::string period = "12\n1\n1\n2020\n24\n2\n1\n2020";
        control.replace(control.find(period), period.size(), "12\n31\n1\n2020\n24\n1\n2\n2020");
        WriteShared("test.ctl", control);
        AppHarness run(BuildSetup(), dates, "2\n");
        ASSERT_EQ(run.Build(), 0);

        const int periods = static_cast<int>(k.steps.size());
        std::vector<Published> seen;
        bool gaveUp = false;
        std::thread external([&] {
            Publish(Grid(1));
            for (int p = 1; p <= periods; ++p) {
                if (!WaitForFile("out.sem")) {
                    gaveUp = true;
                    run.app().ctrlCOption.store(1);
                    return;
                }
                seen.push_back({Values("sum.asc"), Values("mean.asc"), Values("total.asc"), Values("now.asc"),
                                talvo_test::ReadFile("out.sem")});
                fs::remove("out.sem");
                if (p < periods) Publish(Grid(p + 1));
            }
        });
        const int code = CodeOf([&] { run.app().run(); });
        external.join();
        ASSERT_FALSE(gaveUp) << run.Console();
        EXPECT_EQ(code, 0);
        ASSERT_EQ(seen.size(), k.steps.size());
        for (int p = 1; p <= periods; ++p) {
            SCOPED_TRACE(StrFormat("period %d", p));
            const Published& got = seen[static_cast<std::size_t>(p - 1)];
            EXPECT_EQ(got.sum, Basin(p * k.steps[static_cast<std::size_t>(p - 1)]));
            EXPECT_EQ(got.mean, Basin(p));
            EXPECT_EQ(got.now[1], p);
            EXPECT_EQ(got.total, Basin(k.totals[static_cast<std::size_t>(p - 1)]));
        }
        EXPECT_EQ(StringCount(run.Console(), "waiting for external synchronisation file in.sem...found it! "), periods);
        // The dated copy of the month of January: written by the write after which the month
        // had changed, with the running total of that moment; the year never changed.
        EXPECT_EQ(Values("SumTotal_EndOf_Month_2020_01_total.asc"), Basin(k.januaryTotal));
        EXPECT_FALSE(fs::exists("SumTotal_EndOf_Year_2020_total.asc"));
        fs::current_path("..");
    }
}

TEST_F(CoupledRunTest, FailedOutputIsNeverAnnounced) {
    if (talvo_test::Size() > 1) GTEST_SKIP() << "coupling needs one process";
    std::string coupling = kCoupling;
    coupling.replace(coupling.find("sum.asc"), 7, "missing/sum.asc");
    WriteShared("test.ctl", BasinControl(1, coupling));
    AppHarness run(BuildSetup(), kTwoDays);
    ASSERT_EQ(run.Build(), 0);
    Publish(Grid(1));
    EXPECT_EQ(CodeOf([&] { run.app().run(); }), 26);
    EXPECT_FALSE(fs::exists("out.sem"));
    EXPECT_TRUE(Contains(run.Console(), "error creating missing/sum.asc"));
    EXPECT_TRUE(Contains(run.Console(), "Exception in Modellapplication::run() caught!"));
}

// An interrupt while the model waits for the external program asks whether to cancel: the
// answer 1 keeps waiting (and asks again at the next look), 2 ends the run with code 98.
TEST_F(CoupledRunTest, CancellingWhileWaitingForTheExternalProgramEndsTheRun) {
    WriteShared("test.ctl", BasinControl(0, ""));
    AppHarness run(BuildSetup(), {}, "1\n2\n");
    ASSERT_EQ(run.Build(), 0);
    run.app().ctrlCOption.store(1);
    EXPECT_EQ(CodeOf([&] { run.app().WaitForFile(StrFormat("never_%d.sem", talvo_test::Rank()), 1); }), 98);
    const std::string log = run.Console();
    EXPECT_EQ(StringCount(log, "Ctrl-C pressed while waiting for never_"), 2) << log;
    EXPECT_TRUE(Contains(log, "Exception in Modellapplication::WaitForFile() caught!"));
}

TEST_F(CoupledRunTest, SemaphoreIsPublishedWhole) {
    WriteShared("test.ctl", BasinControl(0, ""));
    AppHarness run(BuildSetup(), {});
    ASSERT_EQ(run.Build(), 0);
    // A coupled run has one process; here each process publishes in a directory of its own.
    const fs::path own = StrFormat("p%d", talvo_test::Rank());
    fs::create_directory(own);
    fs::current_path(own);
    run.app().WriteSemaphoreFile("a.sem", "done\n");
    EXPECT_EQ(talvo_test::ReadFile("a.sem"), "done\n");
    run.app().WriteSemaphoreFile("empty.sem", nullptr);
    EXPECT_TRUE(fs::exists("empty.sem"));
    EXPECT_EQ(talvo_test::ReadFile("empty.sem"), "");
    // A target that cannot be reached ends the run instead of leaving the other program waiting.
    EXPECT_EQ(CodeOf([&] { run.app().WriteSemaphoreFile("missing/b.sem", "done\n"); }), 18);
    EXPECT_TRUE(Contains(run.Console(), "error publishing the semaphore file missing/b.sem"));
    EXPECT_FALSE(fs::exists("Talvo_Vey_temporary_semaphore.file"));
    // Another file system: the file arrives whole all the same.
    std::error_code ec;
    const fs::path target = fs::path("/dev/shm") / StrFormat("talvo_sem_%d_%d", static_cast<int>(getpid()),
                                                             talvo_test::Rank());
    if (fs::create_directory(target, ec) && !ec) {
        run.app().WriteSemaphoreFile((target / "c.sem").string(), "across\n");
        EXPECT_EQ(talvo_test::ReadFile((target / "c.sem").string()), "across\n");
        EXPECT_FALSE(fs::exists(target / "Talvo_Vey_temporary_semaphore.file"));
        EXPECT_FALSE(fs::exists("Talvo_Vey_temporary_semaphore.file"));
        fs::remove_all(target, ec);
    }
    fs::current_path("..");
}

TEST_F(CoupledRunTest, SpinUpUnitsFromTheZoneAndElevationGrids) {
    // Elevation classes of 100 m: 500 and 550 fall into one class, 650 into the next.
    WriteShared("dem.asc", Grid([](int r, int c) { return r == 3 && c == 2 ? 650 : 510 + 10 * c; }));
    WriteShared("test.ctl", BasinControl(0, "[SpinUp]\n1 switch\n0 pre-spin-up\n2 repetitions\n2 class grids\n"
                                            "zone_grid 1 linear\nelevation_model 100 linear\n\n"));
    AppHarness run(BuildSetup(), {});
    ASSERT_EQ(run.Build(), 0);
    const SubmodelSettings& s = run.app().Settings();
    EXPECT_EQ(s.spinUpSwitch, 1);
    ASSERT_NE(s.responseUnits, nullptr);
    // Every process numbers the units of its own cells; the keys are zone and elevation class.
    for (std::size_t i = 1; i < s.responseUnits->size(); ++i) {
        const HydrologicResponseUnit& u = (*s.responseUnits)[i];
        EXPECT_EQ(u.id, i);
        EXPECT_TRUE(u.key.size() == 10 && u.key.substr(5) == (u.row == 4 && u.column == 3 ? "0006'" : "0005'"))
            << u.key;
    }
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        const std::vector<double> all = Values("All_HydrologicResponseUnits");
        ASSERT_EQ(all.size(), static_cast<std::size_t>(4 * kCols));
        for (std::size_t i = 0; i < all.size(); ++i) {
            const int r = static_cast<int>(i) / kCols, c = static_cast<int>(i) % kCols;
            EXPECT_EQ(all[i] >= 1, Zone(r, c) != -9999) << i;
        }
    }
    EXPECT_TRUE(fs::exists(StrFormat("Master_HydrologicResponseUnits_%03d", talvo_test::Rank())));
}
