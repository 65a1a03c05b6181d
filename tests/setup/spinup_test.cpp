// "[SpinUp]" and the hydrologic response units on a 6 x 10 grid divided among the processes by
// the set-up's own load balancing (rows may be shared between processes).
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <map>
#include <mpi.h>
#include <sstream>

#include "kernel/modelobject.hpp"
#include "setup/mpiregions.hpp"
#include "setup/spinup.hpp"
#include "setup_fixture.hpp"

namespace {

constexpr int kRows = 6, kCols = 10;
constexpr double kNodata = -9999;

// Reads the values of a text grid file (rows 1..n, columns 1..m, 1-based).
std::vector<std::vector<double>> ReadTextGrid(const std::string& path) {
    std::istringstream in(talvo_test::ReadFile(path));
    std::string key;
    double header[6] = {0};
    for (double& h : header) in >> key >> h;
    std::vector<std::vector<double>> v(static_cast<std::size_t>(header[1]) + 1,
                                       std::vector<double>(static_cast<std::size_t>(header[0]) + 1, kNodata));
    for (std::size_t r = 1; r < v.size(); ++r)
        for (std::size_t c = 1; c < v[r].size(); ++c) in >> v[r][c];
    return v;
}

class SpinUpTest : public setup_test::SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        host_ = std::make_unique<modelobject>(log_.get(), "test.ctl", 0, true, false, ObjectRecord{});
        host_->SetModuleName("defaults");
        host_->gridStore = store_.get();
        host_->ncols = kCols;
        host_->nrows = kRows;
        host_->cellsize = 100;
        host_->nodata = kNodata;
        host_->firstRow = 1;
        host_->lastRow = kRows;
        zone_ = Whole();
        elevation_ = Whole();
        soil_ = Whole();
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                zone_[r][c] = (r == 1 && c == 1) || (r == kRows && c == kCols) ? kNodata : 7;
                elevation_[r][c] = 100.0 * ((r + c) % 3) + 50;
                soil_[r][c] = r == 2 ? kNodata : 5.0 * (c % 2) + 1;
            }
        host_->RegisterGrid(1, "zones.asc", &zone_, nullptr, 0, "[zone_grid]", 0, 1, kRows);
        host_->RegisterGrid(2, "dem.asc", &elevation_, nullptr, 0, "[elevation_model]", 0, 1, kRows);
        host_->RegisterGrid(3, "soil.asc", &soil_, nullptr, 0, "soil", 0, 1, kRows);
        // Per-row range of the basin cells, as the strip walks expect it.
        columns_.assign(kRows + 1, ColumnRange{1, kCols});
        columns_[1].first = 2;
        columns_[kRows].last = kCols - 1;
        host_->basinColumns = &columns_;
    }
    void TearDown() override {
        host_.reset();
        SetupTest::TearDown();
    }

    Matrix Whole() { return host_->matrix(1, kRows, 1, kCols, kRows); }

    // The set-up's division of the valid cells among the processes, with "MPIRegions" and
    // "MPIHelper" in the store.
    void Decompose() {
        setup_test::WriteShared("MpiSpeedFactor.dat", "1\n");
        CreateMPIRegions(*host_, &zone_, grids_, result_, [&](DecompositionGrids& g, int lo, int hi) {
            host_->RegisterGrid(host_->FirstFreeGridIndex(), "MPIRegions", &g.regions, nullptr, 0, "MPIRegions", 0,
                                lo, hi);
            host_->RegisterGrid(host_->FirstFreeGridIndex(), "MPIHelper", &g.helper, nullptr, 0, "MPIHelper", 0, lo,
                                hi);
        });
        host_->firstRow = result_.ownFirstRow;
        host_->lastRow = result_.ownLastRow;
        host_->FindDecompositionGrids();
    }

    SpinUpSettings Create(const std::string& section) {
        setup_test::WriteShared("test.ctl", "control file\n\n" + section + "\n[end]\n");
        return CreateHydrologicResponseUnits(
            *host_, "test.ctl", &units_,
            [&](const std::string& file, const std::string& name, int first, int last, const char* noRoom) {
                const int index = host_->FirstFreeGridIndex();
                if (index > GridStore::kMaxIndex) {
                    *log_ << noRoom << 1000 << ")" << "[end-entry]";
                    throw ModelError(12);
                }
                owned_.push_back(host_->matrix(first, last, 1, kCols, kRows));
                host_->RegisterGrid(index, file, &owned_.back(), nullptr, 0, name, 0, first, last);
                return index;
            });
    }

    int CreateCode(const std::string& section) {
        return ErrorCode([&] { Create(section); });
    }

    std::string KeyOf(int r, int c) const {
        std::string key = StrFormat("%04.0lf'", std::floor(elevation_[r][c] / 100));
        if (soil_[r][c] != kNodata) key += StrFormat("%04.0lf'", std::floor(soil_[r][c] / 5));
        return key;
    }

    std::unique_ptr<modelobject> host_;
    Matrix zone_, elevation_, soil_;
    std::vector<ColumnRange> columns_;
    DecompositionGrids grids_;
    DecompositionResult result_;
    std::deque<Matrix> owned_;
    std::vector<HydrologicResponseUnit> units_;
};

const char* const kClassified =
    "[SpinUp]\n1 switch\n0 pre-spin-up\n3 repetitions\n2 class grids\nelevation_model 100 linear\nsoil 5 linear\n";

TEST(HydrologicClasses, KeysFollowTheClassWidthAndMethod) {
    EXPECT_EQ(HydrologicClass(250, 100, "linear"), 2);
    EXPECT_EQ(HydrologicClass(12, 5, "none"), 2);
    EXPECT_EQ(HydrologicClassKey(2) + HydrologicClassKey(2), "0002'0002'");
    EXPECT_EQ(HydrologicClass(-400, 1, "use sqrt spacing"), 20);
    EXPECT_EQ(HydrologicClass(1000000, 100, "linear"), 10000);
    EXPECT_EQ(HydrologicClass(999999, 100, "linear"), 9999);
    // A negative class is not limited; its key is one character longer.
    EXPECT_EQ(HydrologicClassKey(HydrologicClass(-250, 100, "linear")), "-003'");
    // Keys have no length limit: 60 class grids give a key of 300 characters.
    std::string key;
    for (int j = 0; j < 60; ++j) key += HydrologicClassKey(j);
    EXPECT_EQ(key.size(), 300u);
}

TEST_F(SpinUpTest, MissingSectionOrSwitchZeroCreatesNothing) {
    SpinUpSettings s = Create("[other]\n1\n");
    EXPECT_EQ(s.spinUpSwitch, 0);
    EXPECT_EQ(s.doTemperaturePreSpinUp, 0);
    EXPECT_EQ(s.repeatCnt, 0);
    // Switch 0: the values after it are never read (they would be errors here).
    s = Create("[SpinUp]\n0 off\nnot a number\n");
    EXPECT_EQ(s.spinUpSwitch, 0);
    EXPECT_EQ(s.repeatCnt, 0);
    EXPECT_EQ(host_->FindGrid("HydrologicResponseUnits", true), 0);
    EXPECT_NE(Console().find("Creating HRUs"), std::string::npos);
}

TEST_F(SpinUpTest, ClassGridsBesideAGivenUnitGridAreRefused) {
    // Both would carry the name the sub-models look the units up by; they would find the given
    // grid's values, which are no unit numbers.
    Matrix given = Whole();
    given.fill(9e18);
    host_->RegisterGrid(4, "hru.asc", &given, nullptr, 0, "HydrologicResponseUnits", 0, 1, kRows);
    EXPECT_EQ(CreateCode("[SpinUp]\n1\n0\n2\n1\nelevation_model 100 linear\n"), 17);
    EXPECT_NE(Console().find("[SpinUp] makes the hydrologic response units from 1 class grid(s), but the standard "
                             "grid HydrologicResponseUnits gives them as well: keep one of the two"),
              std::string::npos)
        << Console();
    host_->ReleaseGrid(4);
}

TEST_F(SpinUpTest, UnreadableSettingsAreControlFileErrors) {
    EXPECT_EQ(CreateCode("[SpinUp]\nyes\n"), 17);
    EXPECT_NE(Console().find("SpinUp-switch not found"), std::string::npos);
    EXPECT_EQ(CreateCode("[SpinUp]\n1\n0\n"), 17);
    EXPECT_NE(Console().find("repeatCnt not found"), std::string::npos);
    EXPECT_EQ(CreateCode("[SpinUp]\n1\n0\n2\n1\nelevation_model zero linear\n"), 17);
    EXPECT_NE(Console().find(" error reading HRU defintions "), std::string::npos);
    // A class width of 0 would divide by zero.
    EXPECT_EQ(CreateCode("[SpinUp]\n1\n0\n2\n1\nelevation_model 0 linear\n"), 17);
    EXPECT_EQ(CreateCode("[SpinUp]\n1\n0\n2\n1\nslope 10 linear\n"), 33);
    EXPECT_EQ(ErrorCode([&] { CreateHydrologicResponseUnits(*host_, "missing.ctl", &units_, nullptr); }), 28);
    EXPECT_NE(Console().find("Error opening missing.ctl"), std::string::npos);
}

// At any number of processes every process numbers the units of its own cells in row-major
// order; process 0 writes the gathered grids.
TEST_F(SpinUpTest, ClassifiedUnitsPerProcess) {
    Decompose();
    const SpinUpSettings s = Create(kClassified);
    EXPECT_EQ(s.spinUpSwitch, 1);
    EXPECT_EQ(s.repeatCnt, 3);
    const int rank = talvo_test::Rank(), size = talvo_test::Size();
    ASSERT_FALSE(units_.empty());
    EXPECT_EQ(units_[0].id, 0u);
    EXPECT_EQ(units_[0].key, "");
    // The list of this process: its own cells in row-major order.
    std::map<std::string, std::uint64_t> seen;
    std::uint64_t next = 1;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (!grids_.regions.holds(r) || grids_.regions[r][c] != rank || zone_[r][c] == kNodata) continue;
            if (seen.emplace(KeyOf(r, c), next).second) {
                ASSERT_LT(next, units_.size());
                EXPECT_EQ(units_[next].key, KeyOf(r, c));
                EXPECT_EQ(units_[next].row, r);
                EXPECT_EQ(units_[next].column, c);
                ++next;
            }
        }
    EXPECT_EQ(units_.size(), next);
    EXPECT_FALSE(talvo_test::ReadFile(StrFormat("Master_HydrologicResponseUnits_%03d", rank)).empty());
    MPI_Barrier(MPI_COMM_WORLD);
    if (rank != 0) return;
    if (size == 1) {
        EXPECT_EQ(talvo_test::ReadFile("All_HydrologicResponseUnits_000"),
                  talvo_test::ReadFile("All_HydrologicResponseUnits"));
    }
    const auto all = ReadTextGrid("All_HydrologicResponseUnits");
    const auto master = ReadTextGrid("Master_HydrologicResponseUnits");
    for (int p = 0; p < size; ++p) {
        std::map<std::string, double> ids;
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const auto R = static_cast<std::size_t>(r), C = static_cast<std::size_t>(c);
                if (zone_[r][c] == kNodata) {
                    EXPECT_EQ(all[R][C], kNodata);
                    continue;
                }
                if (grids_.regions[r][c] != p) continue;
                const auto [it, isNew] = ids.emplace(KeyOf(r, c), static_cast<double>(ids.size() + 1));
                EXPECT_EQ(all[R][C], it->second) << "process " << p << " cell " << r << "/" << c;
                EXPECT_EQ(master[R][C], isNew ? it->second : kNodata) << "process " << p << " cell " << r << "/" << c;
            }
    }
}

TEST_F(SpinUpTest, ClassBeyondTheLimitStopsEveryProcess) {
    Decompose();
    // One cell of the last row, owned by one process only.
    elevation_[kRows][3] = 1000000;
    EXPECT_EQ(CreateCode(kClassified), 1031);
    const bool owner = grids_.regions.holds(kRows) && grids_.regions[kRows][3] == talvo_test::Rank();
    const bool told = Console().find("re-classify result of 10000 for grid elevation_model at row=6 and col=3. Only "
                                     "10'000 Classes are allowed") != std::string::npos;
    EXPECT_EQ(told, owner);
    if (!owner) {
        EXPECT_NE(Console().find("Creating HRUs failed on another MPI process (error 1031)"), std::string::npos);
    }
    // 999999 is the last value of class 9999 (a new run: the grids of the one before are gone).
    host_->ReleaseGrid(host_->FindGrid("HydrologicResponseUnits", true));
    elevation_[kRows][3] = 999999;
    EXPECT_EQ(CreateCode(kClassified), 0);
}

TEST_F(SpinUpTest, GivenUnitGridIsRenumberedPerProcess) {
    EXPECT_EQ(CreateCode("[SpinUp]\n1\n0\n1\n0 class grids\n"), 1030);
    EXPECT_NE(Console().find("standard grid with identifier HydrologicResponseUnits not found (Hydrologic "
                             "Respond Units, HRU; used for SpinUp mode)"),
              std::string::npos);

    Decompose();
    Matrix hru = Whole();
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) hru[r][c] = c <= 5 ? 70 : 12;
    hru[3][4] = kNodata;  // a hole forms no unit
    std::string input;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) input += StrFormat(c == kCols ? "%g\n" : "%g ", hru[r][c]);
    setup_test::WriteShared("hru.asc", input);
    host_->RegisterGrid(host_->FirstFreeGridIndex(), "hru.asc", &hru, nullptr, 0, "HydrologicResponseUnits", 0, 1,
                        kRows);
    const SpinUpSettings s = Create("[SpinUp]\n1\n1 pre-spin-up\n2\n0 class grids\n");
    EXPECT_EQ(s.doTemperaturePreSpinUp, 1);
    // Input and output are the same directory: the input stays as it was.
    EXPECT_EQ(talvo_test::ReadFile("hru.asc"), input);
    EXPECT_FALSE(talvo_test::ReadFile(StrFormat("hru.asc_%03d", talvo_test::Rank())).empty());
    // Each process numbers the values of its own cells 1, 2 in the order it meets them.
    for (std::size_t i = 1; i < units_.size(); ++i) EXPECT_EQ(units_[i].id, i);
    EXPECT_LE(units_.size(), 3u);
    for (int r = host_->firstRow; r <= host_->lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (!grids_.regions.holds(r) || grids_.regions[r][c] != talvo_test::Rank()) continue;
            if ((r == 3 && c == 4) || zone_[r][c] == kNodata)
                EXPECT_EQ(hru[r][c], kNodata);
            else
                EXPECT_EQ(units_[static_cast<std::size_t>(hru[r][c])].key, c <= 5 ? "70" : "12");
        }
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        const auto all = ReadTextGrid("All_HydrologicResponseUnits");
        const auto master = ReadTextGrid("MasterHydrologicResponseUnits");
        EXPECT_EQ(all[3][4], kNodata);
        EXPECT_EQ(all[1][1], kNodata);
        EXPECT_GE(all[1][2], 1);
        int masters = 0;
        for (const auto& row : master)
            for (double v : row) masters += v >= 1 ? 1 : 0;
        EXPECT_GE(masters, 2);
    }
}

TEST_F(SpinUpTest, GivenUnitGridGoesUnderItsNameIntoAnotherDirectory) {
    if (talvo_test::Rank() == 0) std::filesystem::create_directory("out");
    setup_test::WriteShared("hru.asc", "kept\n");
    host_->outputPath = "out/";
    Matrix hru = Whole();
    hru.fill(4);
    host_->RegisterGrid(host_->FirstFreeGridIndex(), "hru.asc", &hru, nullptr, 0, "HydrologicResponseUnits", 0, 1,
                        kRows);
    Decompose();
    Create("[SpinUp]\n1\n0\n1\n0\n");
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_EQ(talvo_test::ReadFile("hru.asc"), "kept\n");
    EXPECT_FALSE(talvo_test::ReadFile("out/hru.asc").empty());
    EXPECT_TRUE(std::filesystem::exists("out/MasterHydrologicResponseUnits"));
}

TEST_F(SpinUpTest, FullGridStoreIsError12) {
    std::vector<Matrix> fillers;
    fillers.reserve(1000);
    for (int i = host_->FirstFreeGridIndex(); i <= GridStore::kMaxIndex; ++i) {
        fillers.push_back(host_->matrix(1, 1, 1, 1, 1));
        host_->RegisterGrid(i, "f", &fillers.back(), nullptr, 0, StrFormat("filler%d", i), 0, 1, 1);
    }
    EXPECT_EQ(CreateCode(kClassified), 12);
    EXPECT_NE(Console().find("when trying to create HRU grid: no free grid found in memory (max position 1000)"),
              std::string::npos);
}

}  // namespace
