// The water input of the soil surface and the take-over of master cells by response units.
#include <gtest/gtest.h>

#include "setup/spinup.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

TEST_F(SoilModelTest, WaterInputFollowsTheOrderOfSnowAndInterception) {
    Matrix& throughfall = AddGrid("throughfall0", 1.0);
    Matrix& snow = AddGrid("snowcover_outflow", 1.0);
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
    model_->SelectWaterInput(true);  // interception first: snow ran last
    EXPECT_EQ(model_->in.waterInput, &snow);
    model_->SelectWaterInput(false);  // the first choice stays
    EXPECT_EQ(model_->in.waterInput, &snow);
    model_.reset();
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
    model_->SelectWaterInput(false);
    EXPECT_EQ(model_->in.waterInput, &throughfall);
}

TEST_F(SoilModelTest, WaterInputFallsBackToPrecipitation) {
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
    model_->SelectWaterInput(true);
    EXPECT_EQ(model_->in.waterInput, store_[FindGridIndex("precipitation")].grid);
    model_->SetDumpMode(true, false);
    EXPECT_TRUE(model_->dumpMode);
    EXPECT_FALSE(model_->closeAfterDump);
}

class ResponseUnitTest : public SoilModelTest {
protected:
    void SetUp() override {
        SoilModelTest::SetUp();
        // One unit per row; its master is the first basin cell of the row.
        units_.resize(5);
        Matrix& unit = AddGrid("HydrologicResponseUnits", 0.0);
        Matrix& master = AddGrid("MasterHydrologicResponseUnits", -9999.0);
        for (int r = 1; r <= 4; ++r) {
            const int first = r == 1 ? 2 : (r == 4 ? 2 : 1);
            units_[static_cast<std::size_t>(r)].row = r;
            units_[static_cast<std::size_t>(r)].column = first;
            master[r][first] = r;
            for (int c = 1; c <= 5; ++c)
                if (unit[r][c] != -9999.0) unit[r][c] = r;
        }
        settings_.spinUpSwitch = 1;
        settings_.responseUnits = &units_;
    }
    std::vector<HydrologicResponseUnit> units_;
};

TEST_F(ResponseUnitTest, DependentCellsTakeTheMasterState) {
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u) << console_.str();
    model_->SelectWaterInput(false);
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r) {
        const int m = units_[static_cast<std::size_t>(r)].column;
        model_->own.theta[r][m][3] = 0.123 * r;
        model_->own.directflow[r][m] = 7.0 * r;
        (*model_->in.waterInput)[r][m] = 2.5 * r;
    }
    model_->ResponseUnitPass();
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!Own(r, c)) continue;
            EXPECT_DOUBLE_EQ(Level("theta", r, c, 3), 0.123 * r);
            EXPECT_DOUBLE_EQ(Value("directflow", r, c), 7.0 * r);
            EXPECT_DOUBLE_EQ(Value("precipitation", r, c), 2.5 * r);
        }
}

TEST_F(ResponseUnitTest, UnitBeyondTheTableEndsTheRun) {
    units_.resize(3);  // units 3 and 4 are missing
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u) << console_.str();
    const bool holdsMissingUnit = settings_.lastRow >= 3;
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->ResponseUnitPass(); }),
              holdsMissingUnit ? unsatzonmodellklasse::kResponseUnitCode : 0);
    if (holdsMissingUnit) {
        EXPECT_TRUE(Logged("is not in the table of units (3 units)"));
    }
}

TEST_F(ResponseUnitTest, MasterOutsideTheOwnRowsEndsTheRun) {
    for (int r = 1; r <= 4; ++r) units_[static_cast<std::size_t>(r)].row = r == 4 ? 1 : r + 1;
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u) << console_.str();
    // Each process holds a band of rows: with more than one, a master in the next band is not
    // readable; one process holds them all.
    const bool outside = talvo_test::Size() > 1;
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->ResponseUnitPass(); }),
              outside ? unsatzonmodellklasse::kResponseUnitCode : 0);
}
