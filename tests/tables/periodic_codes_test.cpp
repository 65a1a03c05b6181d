// Code grids that the set-up re-reads from dated files during the run get the code check and
// the code-to-position mapping of the start before anything uses them.
#include <gtest/gtest.h>

#include <memory>

#include "setup/domain_fixture.hpp"
#include "tables/parametertableset.hpp"

using setup_test::GridText;
using setup_test::kNd;
using setup_test::Rows;

namespace {

constexpr int kRows = 6, kCols = 12;

// Zone 1 everywhere but the first cell; the grid holds a in columns 1-6 and b in 7-12.
Rows Halves(double a, double b) {
    Rows g(kRows, std::vector<double>(kCols));
    for (auto& row : g)
        for (int c = 0; c < kCols; ++c) row[static_cast<std::size_t>(c)] = c < 6 ? a : b;
    g[0][0] = kNd;
    return g;
}

class PeriodicCodesTest : public setup_test::SmallDomainTest {
protected:
    void SetUp() override {
        SmallDomainTest::SetUp();
        Build(Halves(1, 1), {});
        tables_ = std::make_shared<ParameterTableSet>();
        tables_->Soil() = {soil_entry(2), soil_entry(7), soil_entry(3)};
        tables_->Landuse() = {landuse_entry(2), landuse_entry(10), landuse_entry(20)};
        setup_->SetParameterTables(tables_);
    }
    // A daily re-read code grid, checked at start as the initialisation does.
    int CodeGrid(const std::string& file, const std::string& name, const Rows& codes, bool persistent = true) {
        const int index = Given(file, name, codes);
        GridDefinition& def = Define(index);
        def.periodCount = 1;
        def.periodLetters = "D";
        def.periodSteps = 1;
        def.persistent = persistent;
        def.revertSteps = 2;
        return index;
    }
    void DatedFile(const std::string& file, int day, const Rows& codes) {
        setup_test::WriteShared(StrFormat("%s_200001%02d01", file.c_str(), day), GridText(codes, 1000, 2000, 10));
    }
    std::shared_ptr<ParameterTableSet> tables_;
};

TEST_F(PeriodicCodesTest, ReReadSoilCodesBecomeTablePositions) {
    const int index = CodeGrid("soil.asc", "soil_types", Halves(7, 3));
    tables_->check_SOIL_Codes(*setup_, index);
    ExpectOwnCells("soil_types", Halves(1, 2));

    DatedFile("soil.asc", 1, Halves(3, 7));
    setup_->UpdatePeriodicGrids(1, 1, 1, 2000);
    ExpectOwnCells("soil_types", Halves(2, 1));

    // A code the table does not hold stops every process.
    DatedFile("soil.asc", 2, Halves(3, 4));
    setup_->UpdatePeriodicGrids(24, 1, 1, 2000);
    EXPECT_EQ(ErrorCode([&] { setup_->UpdatePeriodicGrids(1, 2, 1, 2000); }), 32);
}

TEST_F(PeriodicCodesTest, ReReadLanduseIsMappedAndRevertsToPositions) {
    const int index = CodeGrid("landuse.asc", "landuse", Halves(20, 10), false);
    tables_->CheckLanduse(*setup_, index);
    ExpectOwnCells("landuse", Halves(2, 1));

    DatedFile("landuse.asc", 1, Halves(10, 10));
    setup_->UpdatePeriodicGrids(1, 1, 1, 2000);
    ExpectOwnCells("landuse", Halves(1, 1));
    setup_->UpdatePeriodicGrids(2, 1, 1, 2000);
    ExpectOwnCells("landuse", Halves(1, 1));
    // Two steps after the switch the grid holds its first positions again, not codes.
    setup_->UpdatePeriodicGrids(3, 1, 1, 2000);
    ExpectOwnCells("landuse", Halves(2, 1));
}

}  // namespace
