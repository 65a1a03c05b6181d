// The code checks at whatever number of processes the test runs with: process 0 checks and
// rewrites, the owners receive their rows and halo cells, failures reach every process.
#include "../kernel/test_decomposition.hpp"
#include "tables/code_checks.hpp"
#include "table_test_support.hpp"

namespace {

using talvo_test::Rank;

class DistributedCodeCheckTest : public TableTest {
protected:
    static constexpr int kCols = 8, kRows = 6;
    static constexpr double kNodata = -9999.0;

    static bool Valid(int r, int c) { return !(r == 1 && c <= 2) && !(r == kRows && c >= 7); }
    // Codes 10 and 20 of the soil table; every cell outside the basin holds 55.
    static double Code(int r, int c) { return Valid(r, c) ? ((r + c) % 2 ? 10.0 : 20.0) : 55.0; }

    void SetUp() override {
        TableTest::SetUp();
        store_ = std::make_unique<GridStore>();
        obj_ = std::make_unique<modelobject>(&Log(), "control.txt", 0, false, false, ObjectRecord{});
        obj_->gridStore = store_.get();
        obj_->ncols = kCols;
        obj_->nrows = kRows;
        obj_->nodata = kNodata;
        zone_.assign(kRows + 1, std::vector<double>(kCols + 1, kNodata));
        zoneGrid_ = obj_->matrix(1, kRows, 1, kCols, kRows);
        zoneGrid_.fill(kNodata);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (Valid(r, c)) zone_[r][c] = zoneGrid_[r][c] = 1;
        obj_->RegisterGrid(1, "zone.asc", &zoneGrid_, nullptr, 0, "[zone_grid]", 0, 1, kRows);
        talvo_test::Decompose(*obj_, zone_, &d_);
    }
    void TearDown() override {
        obj_.reset();
        store_.reset();
        TableTest::TearDown();
    }

    // The code grid as the set-up holds it: whole on process 0, nodata in the stored rows elsewhere.
    int RegisterCodeGrid(Matrix& g, const std::string& name) {
        g = Rank() == 0 ? obj_->matrix(1, kRows, 1, kCols, kRows) : obj_->matrix(d_.lo, d_.hi, 1, kCols, kRows);
        g.fill(kNodata);
        if (Rank() == 0)
            for (int r = 1; r <= kRows; ++r)
                for (int c = 1; c <= kCols; ++c) g[r][c] = Code(r, c);
        const int index = obj_->FirstFreeGridIndex();
        obj_->RegisterGrid(index, name + ".asc", &g, nullptr, 0, name, 0, 1, kRows);
        return index;
    }

    // Every cell this process owns or receives as halo holds the table position of its code.
    void ExpectPositions(const Matrix& g, double position10, double position20) {
        auto expect = [&](int r, int c) {
            ASSERT_EQ(g[r][c], Code(r, c) == 10.0 ? position10 : position20) << r << "," << c;
        };
        for (int r = d_.lo; r <= d_.hi; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (d_.owner[r][c] == Rank()) expect(r, c);
        for (const HaloRecord& h : d_.recvHalo)
            for (int c = h.firstCol; c < h.firstCol + h.count; ++c) expect(h.row, c);
    }

    std::unique_ptr<GridStore> store_;
    std::unique_ptr<modelobject> obj_;
    std::vector<std::vector<double>> zone_;
    Matrix zoneGrid_;
    talvo_test::TestDecomposition d_;
};

TEST_F(DistributedCodeCheckTest, OwnersReceiveTablePositions) {
    Matrix g;
    const int index = RegisterCodeGrid(g, "soil_types");
    const std::vector<soil_entry> soil{soil_entry(2), soil_entry(20), soil_entry(10)};
    CheckSoilGrid(*obj_, index, soil);
    ExpectPositions(g, 2.0, 1.0);
    if (Rank() == 0) {
        EXPECT_EQ(g[1][1], 55.0);  // outside the basin, no code of the table
        EXPECT_TRUE(Logged("20 replaced by 1 ...\n10 replaced by 2 ...\n"));
    }
    // Index 0: no grid, nothing happens anywhere.
    CheckSoilGrid(*obj_, 0, soil);
}

TEST_F(DistributedCodeCheckTest, EveryProcessFailsWithTheCodeOfProcessZero) {
    Matrix g;
    const int index = RegisterCodeGrid(g, "irrigation_codes");
    std::vector<irrigation_entry> irrigation(2);
    irrigation[0].code = 1;
    irrigation[1].code = 10;
    EXPECT_EQ(ErrorCode([&] { CheckIrrigationGrid(*obj_, index, irrigation); }), 31);
    EXPECT_EQ(Logged("irrigation type 20 in grid irrigation_codes.asc (irrigation_codes)"), Rank() == 0);
}

TEST_F(DistributedCodeCheckTest, MultilayerCodesReachEveryProcess) {
    Matrix g;
    const int index = RegisterCodeGrid(g, "landuse");
    const std::vector<landuse_entry> landuse{landuse_entry(2), landuse_entry(7), landuse_entry(3)};
    std::vector<multilayer_landuse_entry> multilayer(3);
    multilayer[0].code = 2;
    multilayer[1].code = 10;
    multilayer[2].code = 20;
    for (std::size_t r = 1; r <= 2; ++r) {
        multilayer[r].layerCount = 2;
        multilayer[r].layerCodes = {2, r == 1 ? 3 : 7, -9999};
        // Other processes see different codes before the broadcast, to show that they get process 0's.
        if (Rank() != 0) multilayer[r].layerCodes = {2, 0, 0};
        multilayer[r].layerCodesAsRead = multilayer[r].layerCodes;
    }
    CheckLanduseGrid(*obj_, index, landuse, multilayer);
    ExpectPositions(g, 1.0, 2.0);
    EXPECT_EQ(multilayer[1].layerCodes, (std::vector<std::int32_t>{2, 2, -9999}));
    EXPECT_EQ(multilayer[2].layerCodes, (std::vector<std::int32_t>{2, 1, -9999}));
}

}  // namespace
