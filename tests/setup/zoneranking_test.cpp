#include <gtest/gtest.h>

#include "kernel/modelobject.hpp"
#include "setup/zoneranking.hpp"
#include "setup_fixture.hpp"

namespace {

class ZoneRankingTest : public setup_test::SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        obj_ = std::make_unique<modelobject>(log_.get(), "x", 0, false, false, ObjectRecord{});
        obj_->SetModuleName("test");
        obj_->nodata = -9999;
        obj_->cellsize = 1000;
    }
    void TearDown() override {
        obj_.reset();
        SetupTest::TearDown();
    }
    // A grid given by rows of values on process 0 (other processes pass none).
    void Grid(const std::vector<std::vector<double>>& rows) {
        obj_->nrows = static_cast<int>(rows.size());
        obj_->ncols = static_cast<int>(rows[0].size());
        obj_->firstRow = obj_->lastRow = 1;
        zone_ = obj_->matrix(1, obj_->nrows, 1, obj_->ncols, obj_->nrows);
        for (int r = 1; r <= obj_->nrows; ++r)
            for (int c = 1; c <= obj_->ncols; ++c) zone_[r][c] = rows[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
    }
    std::unique_ptr<modelobject> obj_;
    Matrix zone_;
};

TEST_F(ZoneRankingTest, ZonesAreNumberedByAscendingCode) {
    const double nd = -9999;
    Grid({{5, 3, nd}, {nd, 9, 9}, {nd, nd, nd}});
    ZoneTables t;
    RankZones(*obj_, &zone_, nullptr, "zones.grd", t);
    ASSERT_EQ(t.zoneCount, 3);
    EXPECT_EQ(t.maxCode, 9);
    EXPECT_EQ(t.codeToZone[3], 1);
    EXPECT_EQ(t.codeToZone[5], 2);
    EXPECT_EQ(t.codeToZone[9], 3);
    EXPECT_EQ(t.records[3].cellCount, 2);
    EXPECT_DOUBLE_EQ(t.records[3].share, 0.5);
    EXPECT_DOUBLE_EQ(t.records[0].share, 4.0);  // 4 cells of 1 km^2
    // Process 0 keeps every row's range; the others only their own rows.
    if (talvo_test::Rank() == 0) {
        EXPECT_EQ(t.columns[2].first, 2);
        EXPECT_EQ(t.columns[2].last, 3);
    } else {
        EXPECT_EQ(t.columns[2].first, 0);
        EXPECT_EQ(t.columns[2].last, -1);
    }
    EXPECT_EQ(t.columns[1].first, 1);
    EXPECT_EQ(t.columns[1].last, 2);
    EXPECT_EQ(t.columns[3].last, -1);
}

TEST_F(ZoneRankingTest, CodeLimits) {
    EXPECT_EQ(ZoneCode(-1), 0);
    EXPECT_EQ(ZoneCode(-2), -1);
    EXPECT_EQ(ZoneCode(3.7), 3);
    Grid({{32767, 0}});  // both ends of the range are valid
    ZoneTables t;
    EXPECT_EQ(ErrorCode([&] { RankZones(*obj_, &zone_, nullptr, "z", t); }), 0);
    EXPECT_EQ(t.codeToZone[32767], 2);
    const std::pair<std::vector<double>, int> bad[] = {{{32768, 1}, 3}, {{-2, 1}, 3}, {{-9999, -9999}, 7}};
    for (const auto& [row, code] : bad) {
        Grid({row});
        EXPECT_EQ(ErrorCode([&] { RankZones(*obj_, &zone_, nullptr, "z", t); }), code) << row[0];
    }
    std::vector<std::vector<double>> many(1, std::vector<double>(16001));
    for (int i = 0; i < 16001; ++i) many[0][static_cast<std::size_t>(i)] = i;
    Grid(many);
    EXPECT_EQ(ErrorCode([&] { RankZones(*obj_, &zone_, nullptr, "z", t); }), 4);
}

TEST_F(ZoneRankingTest, RelativeCellAreasWeightTheShares) {
    Grid({{1, 2}, {2, 2}});
    Matrix rel = obj_->matrix(1, 2, 1, 2, 2);
    rel[1][1] = 2;
    rel[1][2] = rel[2][1] = rel[2][2] = 1;
    ZoneTables t;
    RankZones(*obj_, &zone_, &rel, "z", t);
    EXPECT_DOUBLE_EQ(t.records[1].weightedCount, 2);
    EXPECT_DOUBLE_EQ(t.records[1].share, 0.4);
    EXPECT_DOUBLE_EQ(t.records[2].cellCount, 3);
}

// Runs of equal values (and of values of one code that differ) count every cell, with and
// without weights, and each row's columns run from its first to its last valid cell.
TEST_F(ZoneRankingTest, RunsOfEqualValuesCountEveryCell) {
    const double nd = -9999;
    Grid({{4, 4, 4, nd, 4, 7, 7}, {7, 7, 2.2, 2.7, 2.9, nd, nd}, {nd, nd, nd, nd, nd, nd, nd}});
    Matrix rel = obj_->matrix(1, 3, 1, 7, 3);
    rel.fill(1);
    for (int c = 1; c <= 5; ++c) rel[1][c] = c == 4 ? nd : c == 5 ? 0.5 : c;
    rel[2][2] = 4;
    for (const bool weighted : {false, true}) {
        ZoneTables t;
        RankZones(*obj_, &zone_, weighted ? &rel : nullptr, "z", t);
        ASSERT_EQ(t.zoneCount, 3);
        const double cells[] = {0, 3, 4, 4}, weights[] = {0, 3, 6.5, 7};  // codes 2, 4, 7
        for (int z = 1; z <= 3; ++z) {
            EXPECT_EQ(t.records[static_cast<std::size_t>(z)].cellCount, cells[z]) << z;
            EXPECT_EQ(t.records[static_cast<std::size_t>(z)].weightedCount, weighted ? weights[z] : cells[z]) << z;
        }
        EXPECT_EQ(t.records[0].cellCount, 11);
        EXPECT_EQ(t.records[0].weightedCount, weighted ? 16.5 : 11);
        EXPECT_EQ(t.columns[1].first, 1);
        EXPECT_EQ(t.columns[1].last, 7);
        if (talvo_test::Rank() == 0) {
            EXPECT_EQ(t.columns[2].first, 1);
            EXPECT_EQ(t.columns[2].last, 5);
        }
    }
}

}  // namespace
