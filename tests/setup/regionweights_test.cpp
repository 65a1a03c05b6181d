#include <gtest/gtest.h>

#include <sstream>

#include "kernel/modelobject.hpp"
#include "setup/regionweights.hpp"
#include "setup/zoneranking.hpp"
#include "support/test_support.hpp"

namespace {

class RegionWeightsTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = std::make_unique<DiagLog>("/dev/null", 4);
        log_->SetConsole(console_);
        obj_ = std::make_unique<modelobject>(log_.get(), "x", 0, false, false, ObjectRecord{});
        obj_->nodata = -9999;
        obj_->cellsize = 100;
        obj_->nrows = 3;
        obj_->ncols = 10;
        obj_->firstRow = 1;
        obj_->lastRow = 3;
        for (Matrix* m : {&zone_, &regions_, &w1_, &r2_, &w2_}) {
            *m = obj_->matrix(1, 3, 1, 10, 3);
        }
        zone_.fill(1);
        columns_.assign(4, ColumnRange{1, 10});
    }
    std::ostringstream console_;
    std::unique_ptr<DiagLog> log_;
    std::unique_ptr<modelobject> obj_;
    Matrix zone_, regions_, w1_, r2_, w2_;
    std::vector<ColumnRange> columns_;
};

TEST_F(RegionWeightsTest, TwoRegionsBlendWithinTheTransitionDistance) {
    // Region 1 in columns 1..5, region 2 in 6..10; D = 400 / 100 = 4 cells.
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 10; ++c) regions_[r][c] = c <= 5 ? 1 : 2;
    RegionTables tables;
    RankRegions(*obj_, &zone_, &regions_, "regions.grd", tables);
    ASSERT_EQ(tables.regionCount, 2);
    EXPECT_EQ(tables.records[1].centreCol, 3);
    EXPECT_DOUBLE_EQ(tables.records[2].meanCol, 8);
    RegionWeightGrids g{&regions_, &w1_, &r2_, &w2_, nullptr, nullptr};
    ComputeRegionWeights(*obj_, zone_, columns_, 400, tables.regionCount, g);
    if (talvo_test::Rank() != 0) return;
    // Next to the border: the other region is one cell away.
    EXPECT_DOUBLE_EQ(w1_[2][5], 0.625);
    EXPECT_DOUBLE_EQ(w2_[2][5], 0.375);
    EXPECT_EQ(r2_[2][5], 2);
    // Far from the border: no other region within the disc.
    EXPECT_DOUBLE_EQ(w1_[2][1], 1.0);
    EXPECT_DOUBLE_EQ(w2_[2][1], 0.0);
    EXPECT_EQ(r2_[2][1], 0);
    // Weights of every cell add up to one.
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 10; ++c) EXPECT_DOUBLE_EQ(w1_[r][c] + w2_[r][c], 1.0);
}

TEST_F(RegionWeightsTest, OneRegionGivesWeightOneAndZeroDistanceIsUsable) {
    regions_.fill(1);
    zone_[1][1] = -9999;
    RegionTables tables;
    RankRegions(*obj_, &zone_, &regions_, "r", tables);
    ASSERT_EQ(tables.regionCount, 1);
    RegionWeightGrids g{&regions_, &w1_, nullptr, nullptr, nullptr, nullptr};
    ComputeRegionWeights(*obj_, zone_, columns_, 0, 1, g);
    if (talvo_test::Rank() != 0) return;
    EXPECT_EQ(w1_[2][2], 1.0);
    EXPECT_EQ(w1_[1][1], -9999);
    EXPECT_EQ(regions_[1][1], -9999);
}

TEST_F(RegionWeightsTest, InvalidAndTooManyRegionsAreRefused) {
    regions_.fill(1);
    regions_[2][2] = 0;
    RegionTables tables;
    int code = 0;
    try {
        RankRegions(*obj_, &zone_, &regions_, "r", tables);
    } catch (const ModelError& e) {
        code = e.code();
    }
    EXPECT_EQ(code, 3);
    obj_->nrows = 4;  // 40 cells with distinct codes: more than 30 regions
    zone_ = obj_->matrix(1, 4, 1, 10, 4);
    regions_ = obj_->matrix(1, 4, 1, 10, 4);
    zone_.fill(1);
    for (int c = 1; c <= 10; ++c)
        for (int r = 1; r <= 4; ++r) regions_[r][c] = c + 10 * r;
    code = 0;
    try {
        RankRegions(*obj_, &zone_, &regions_, "r", tables);
    } catch (const ModelError& e) {
        code = e.code();
    }
    EXPECT_EQ(code, 4);
}

}  // namespace
