// The code checks of the set-up's steps on the soil and irrigation grids as the control file
// gives them: every process checks and rewrites the cells it holds, and the first missing code
// in row order decides the message, whichever process holds it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "setup/defltuzr.hpp"
#include "setup/setup_fixture.hpp"
#include "tables/parametertableset.hpp"

using talvo_test::Rank;

namespace {

constexpr double ND = -9999;
constexpr int kRows = 6, kCols = 8;
// The basin ('#', 36 cells). The processes take the cells in row order from the highest process
// down: row 1 belongs to process 1 (of 2) or 3 (of 4) and lies outside process 0's rows and
// halo, rows 5 and 6 belong to process 0.
const char* const kBasin[kRows] = {".#####..", "#######.", "########", "#######.", ".######.", "..###..."};

bool Valid(int r, int c) { return kBasin[r - 1][c - 1] == '#'; }
// Codes 10 and 20 in the basin, 55 (no code of any table) outside it.
double Code(int r, int c) { return Valid(r, c) ? ((r + c) % 2 ? 10.0 : 20.0) : 55.0; }

template <class F>
std::string TextGrid(F value) {
    std::string text = StrFormat("ncols %d\nnrows %d\nxllcorner 0\nyllcorner 0\ncellsize 100\nnodata_value -9999\n",
                                 kCols, kRows);
    for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) text += StrFormat("%g ", value(r, c));
        text += "\n";
    }
    return text;
}

// The tables are given by the test instead of the control file.
class GivenTables : public ParameterTableSet {
public:
    void ReadMultilayerLanduseTable(defaultini&) override {}
    void ReadLanduseTable(defaultini&) override {}
    void ReadSoilTable(defaultini&) override {}
    int ReadIrrigation(defaultini&) override { return 1; }
};

class SetupCodeCheckTest : public setup_test::SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        setup_test::WriteShared("MpiSpeedFactor.dat", "1.0\n");
        setup_test::WriteShared("zones.asc", TextGrid([](int r, int c) { return Valid(r, c) ? 1.0 : ND; }));
        setup_test::WriteShared("dem.asc", TextGrid([](int r, int c) { return Valid(r, c) ? 500.0 - r : ND; }));
        tables_ = std::make_shared<GivenTables>();
        tables_->Soil() = {soil_entry(2), soil_entry(20), soil_entry(10)};
        tables_->Irrigation().resize(2);
        tables_->Irrigation()[0].code = 1;
        tables_->Irrigation()[1].code = 10;
    }

    // Runs the set-up through the soil codes' step with the soil and irrigation grids given;
    // returns the error code (0: none).
    int RunWith(const std::string& soil, const std::string& irrigation,
                const std::string& irrigationLine = "irrigation.asc irrigation_codes 0", const std::string& more = "") {
        setup_test::WriteShared("soil.asc", soil);
        setup_test::WriteShared("irrigation.asc", irrigation);
        setup_test::WriteShared(
            "run.ctl", "[output_interval]\n1\n0\n0\n0\n\n[output_list]\n0\n[coordinates]\n47\n8\n15\n0\n"
                       "[meteo_data_count]\n0\n[meteo_names]\n[model_time]\n1\n1\n1\n2020\n24\n2\n1\n2020\n"
                       "[zone_grid]\nzones.asc\n[elevation_model]\ndem.asc\n[standard_grids]\n" +
                       std::to_string(more.empty() ? 2 : 3) + "\nsoil.asc soil_types 0\n" + irrigationLine + "\n" +
                       more +
                       "[variable_grids]\n0\n[radiation_correction]\n0\n");
        setup_.reset();
        store_ = std::make_unique<GridStore>();
        unsigned error = 1;
        setup_ = std::make_unique<defaultini>(error, log_.get(), "run.ctl", 2, store_.get());
        EXPECT_EQ(error, 0u);
        setup_->SetParameterTables(tables_);
        return ErrorCode([&] {
            bool done = false;
            while (setup_->CurrentStep() <= 16) setup_->InitStep(done);
        });
    }

    void TearDown() override {
        setup_.reset();
        SetupTest::TearDown();
    }

    std::shared_ptr<GivenTables> tables_;
    std::unique_ptr<defaultini> setup_;
};

TEST_F(SetupCodeCheckTest, EveryProcessHoldsTablePositionsOfItsCells) {
    ASSERT_EQ(RunWith(TextGrid(Code), TextGrid([](int r, int c) { return Valid(r, c) && r < 3 ? 10.0 : 0.0; })), 0);
    const Matrix& soil = *(*store_)[setup_->FindGrid("soil_types", true)].grid;
    const Matrix& irrigation = *(*store_)[setup_->FindGrid("irrigation_codes", true)].grid;
    // Process 0 holds its own rows with the halo, as every process does.
    for (const Matrix* g : {&soil, &irrigation}) {
        EXPECT_EQ(g->firstRow(), std::max(1, setup_->firstRow - 1));
        EXPECT_EQ(g->lastRow(), std::min(kRows, setup_->lastRow + 1));
    }
    std::vector<std::vector<bool>> halo(kRows + 1, std::vector<bool>(kCols + 1, false));
    for (const HaloRecord& h : *setup_->recvHalo)
        for (int c = h.firstCol; c < h.firstCol + h.count; ++c) halo[h.row][c] = true;
    const Matrix& regions = *setup_->mpiRegions;
    for (int r = soil.firstRow(); r <= soil.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c) {
            // Process 0 holds every cell of its rows, the others their own cells and the halo.
            const bool held = Rank() == 0 || regions[r][c] == Rank() || halo[r][c];
            const double position = !held ? ND : !Valid(r, c) ? 55.0 : Code(r, c) == 20.0 ? 1.0 : 2.0;
            ASSERT_EQ(soil[r][c], position) << r << "/" << c << " on process " << Rank();
            ASSERT_EQ(irrigation[r][c], !held ? ND : Valid(r, c) && r < 3 ? 1.0 : 0.0) << r << "/" << c;
        }
    if (Rank() == 0) {
        EXPECT_TRUE(Logged("20 replaced by 1 ...\n10 replaced by 2 ...\n"));
        EXPECT_TRUE(Logged("10 replaced by 1 ...\n"));
    }
}

TEST_F(SetupCodeCheckTest, FirstMissingCodeInRowOrderStopsEveryProcess) {
    // Outside the basin (row 1, column 1) nothing is checked; row 1 belongs to the last process,
    // row 5 to process 0: the code of row 1 is the one reported, as with one process.
    auto faulty = [](int r, int c) { return r == 1 && c == 3 ? 77.0 : r == 5 && c == 4 ? 66.0 : Code(r, c); };
    EXPECT_EQ(RunWith(TextGrid(faulty), TextGrid([](int, int) { return 0.0; })), 32);
    EXPECT_EQ(Logged("soil type 77 in grid soil.asc (soil_types)\nis not present in the control file"), Rank() == 0);
    EXPECT_FALSE(Logged("soil type 66"));
    EXPECT_FALSE(Logged("replacing soil type codes"));

    // Irrigation: values of 0 or below are no codes; a missing code in process 0's rows alone.
    auto irrigation = [](int r, int c) { return r == 6 && c == 5 ? 30.0 : r < 3 ? -1.0 : 0.0; };
    EXPECT_EQ(RunWith(TextGrid(Code), TextGrid(irrigation)), 31);
    EXPECT_EQ(Logged("irrigation type 30 in grid irrigation.asc (irrigation_codes)"), Rank() == 0);
}

// An irrigation grid read again from a dated file during the run gets the check and the
// code-to-position mapping of the start; a code the table lacks stops every process.
TEST_F(SetupCodeCheckTest, ReReadIrrigationCodesBecomeTablePositions) {
    auto codes = [](double inBasin) { return TextGrid([inBasin](int r, int c) { return Valid(r, c) ? inBasin : 0.0; }); };
    tables_->Irrigation().resize(3);
    tables_->Irrigation()[2].code = 40;
    setup_test::WriteShared("irrigation.asc_2020010101", codes(40));
    setup_test::WriteShared("irrigation.asc_2020010201", codes(30));
    ASSERT_EQ(RunWith(TextGrid(Code), codes(10), "irrigation.asc irrigation_codes fillcode = 0 periodicity = 1 D 1"), 0);
    const Matrix& irrigation = *(*store_)[setup_->FindGrid("irrigation_codes", true)].grid;
    const Matrix& regions = *setup_->mpiRegions;
    auto expectOwn = [&](double position) {
        for (int r = std::max(1, setup_->firstRow); r <= std::min(kRows, setup_->lastRow); ++r)
            for (int c = 1; c <= kCols; ++c)
                if (Valid(r, c) && regions[r][c] == Rank()) {
                    ASSERT_EQ(irrigation[r][c], position) << r << "/" << c;
                }
    };
    expectOwn(1);  // code 10: the first entry of the table
    setup_->UpdatePeriodicGrids(1, 1, 1, 2020);
    expectOwn(2);  // code 40: the second entry
    setup_->UpdatePeriodicGrids(24, 1, 1, 2020);
    EXPECT_EQ(ErrorCode([&] { setup_->UpdatePeriodicGrids(1, 2, 1, 2020); }), 31);
    EXPECT_EQ(Logged("irrigation type 30 in grid irrigation.asc (irrigation_codes)"), Rank() == 0);
}

// A land-use grid read again during the run, with a multilayer table: its codes are checked
// against the multilayer table and become positions in it; a code the table lacks stops the run
// with the multilayer table's message.
class LayeredTables : public GivenTables {
public:
    void generateMultiLayerParameterGrids(defaultini&, int) override {}
};

// The fixture's soil and irrigation tables, land uses 10 and 20, and the multilayer types 100
// (land uses 10 over 20) and 200 (land use 10 alone).
std::shared_ptr<LayeredTables> TwoLayerTables() {
    auto tables = std::make_shared<LayeredTables>();
    tables->Soil() = {soil_entry(2), soil_entry(20), soil_entry(10)};
    tables->Irrigation().resize(2);
    tables->Irrigation()[0].code = 1;
    tables->Irrigation()[1].code = 10;
    tables->Landuse() = {landuse_entry(2), landuse_entry(10), landuse_entry(20)};
    std::vector<multilayer_landuse_entry>& layered = tables->MultilayerLanduse();
    layered = {multilayer_landuse_entry(2), multilayer_landuse_entry(100), multilayer_landuse_entry(200)};
    for (std::size_t i = 1; i <= 2; ++i) {
        layered[i].layerCount = 2;
        layered[i].layerCodes = {2, 10, i == 1 ? 20 : -9999};
        layered[i].layerCodesAsRead = layered[i].layerCodes;
        layered[i].codeAsRead = layered[i].code;
    }
    return tables;
}

TEST_F(SetupCodeCheckTest, ReReadMultilayerLanduseCodesBecomeTablePositions) {
    auto codes = [](double inBasin) { return TextGrid([inBasin](int r, int c) { return Valid(r, c) ? inBasin : 0.0; }); };
    tables_ = TwoLayerTables();
    setup_test::WriteShared("landuse.asc", codes(100));
    setup_test::WriteShared("landuse.asc_2020010101", codes(200));
    setup_test::WriteShared("landuse.asc_2020010201", codes(150));
    ASSERT_EQ(RunWith(TextGrid(Code), codes(10), "irrigation.asc irrigation_codes 0",
                      "landuse.asc landuse fillcode = 0 periodicity = 1 D 1\n"),
              0)
        << console_.str();
    const Matrix& landuse = *(*store_)[setup_->FindGrid("landuse", true)].grid;
    const Matrix& regions = *setup_->mpiRegions;
    auto expectOwn = [&](double position) {
        for (int r = std::max(1, setup_->firstRow); r <= std::min(kRows, setup_->lastRow); ++r)
            for (int c = 1; c <= kCols; ++c)
                if (Valid(r, c) && regions[r][c] == Rank()) {
                    ASSERT_EQ(landuse[r][c], position) << r << "/" << c;
                }
    };
    expectOwn(1);  // code 100: the first multilayer entry
    setup_->UpdatePeriodicGrids(1, 1, 1, 2020);
    expectOwn(2);  // code 200: the second
    setup_->UpdatePeriodicGrids(24, 1, 1, 2020);
    EXPECT_EQ(ErrorCode([&] { setup_->UpdatePeriodicGrids(1, 2, 1, 2020); }), 311);
    EXPECT_EQ(Logged("land use 150 in grid landuse.asc (landuse)\nis not present in the multilayer-landuse-table in "
                     "the control file \n"),
              Rank() == 0);
}

// Code grids that return to their first values after a switch return to the table positions of
// the codes first read, not to the codes themselves (which the sub-models would take as positions).
TEST_F(SetupCodeCheckTest, NonPersistentCodeGridsReturnToTheirTablePositions) {
    auto codes = [](double inBasin) { return TextGrid([inBasin](int r, int c) { return Valid(r, c) ? inBasin : 0.0; }); };
    tables_ = TwoLayerTables();
    tables_->Irrigation().resize(3);
    tables_->Irrigation()[2].code = 40;
    setup_test::WriteShared("irrigation.asc_2020010101", codes(40));
    setup_test::WriteShared("landuse.asc", codes(100));
    setup_test::WriteShared("landuse.asc_2020010101", codes(200));
    ASSERT_EQ(RunWith(TextGrid(Code), codes(10),
                      "irrigation.asc irrigation_codes fillcode = 0 periodicity = 1 D 1 persistent = 0 2",
                      "landuse.asc landuse fillcode = 0 periodicity = 1 D 1 persistent = 0 2\n"),
              0)
        << console_.str();
    const Matrix& irrigation = *(*store_)[setup_->FindGrid("irrigation_codes", true)].grid;
    const Matrix& landuse = *(*store_)[setup_->FindGrid("landuse", true)].grid;
    const Matrix& regions = *setup_->mpiRegions;
    auto expectOwn = [&](double irrigationPosition, double landusePosition) {
        for (int r = std::max(1, setup_->firstRow); r <= std::min(kRows, setup_->lastRow); ++r)
            for (int c = 1; c <= kCols; ++c)
                if (Valid(r, c) && regions[r][c] == Rank()) {
                    ASSERT_EQ(irrigation[r][c], irrigationPosition) << r << "/" << c;
                    ASSERT_EQ(landuse[r][c], landusePosition) << r << "/" << c;
                }
    };
    expectOwn(1, 1);  // irrigation code 10, multilayer code 100
    setup_->UpdatePeriodicGrids(1, 1, 1, 2020);
    expectOwn(2, 2);  // the dated files: codes 40 and 200
    setup_->UpdatePeriodicGrids(2, 1, 1, 2020);
    setup_->UpdatePeriodicGrids(3, 1, 1, 2020);
    expectOwn(1, 1);  // two steps after the switch: the positions of the codes first read
}

}  // namespace
