// Grid-store registrations of the set-up: first entry without internal name, the list of the
// set-up's indices, the full store, and the release of exactly those entries.
#include <gtest/gtest.h>

#include "setup/defltuzr.hpp"
#include "setup_fixture.hpp"

namespace {
class RegistryTest : public setup_test::SetupTest {
protected:
    std::unique_ptr<defaultini> Make() {
        unsigned error = 1;
        auto setup = std::make_unique<defaultini>(error, log_.get(), "none.ctl", 2, store_.get());
        EXPECT_EQ(error, 0u);
        setup->ncols = 3;
        setup->nrows = 2;
        return setup;
    }
    // An entry taken by another object.
    void Occupy(int index, const std::string& name) {
        GridStoreEntry& e = (*store_)[index];
        e.internalName = name;
        e.hasInternalName = true;
        e.fileName = name + ".grd";
        e.hasFileName = true;
    }
};

TEST_F(RegistryTest, TakesTheFirstEntryWithoutInternalName) {
    Occupy(1, "MPIRegions");
    Occupy(2, "MPIHelper");
    Occupy(4, "MPIHalo");
    // An entry that keeps a file name but lost its internal name counts as free.
    (*store_)[3].fileName = "left.grd";
    (*store_)[3].hasFileName = true;
    {
        auto setup = Make();
        Matrix* a = setup->CreateOwnedGrid(1, 2);
        Matrix* b = setup->CreateOwnedGrid(1, 2);
        (*a)[1][1] = 7.0;
        EXPECT_EQ(setup->RegisterSetupGrid("a.grd", "alpha", a, 1302, 1, 2), 3);
        EXPECT_EQ(setup->RegisterSetupGrid("b.grd", std::string(150, 'n'), b, 0, 1, 2), 5);
        EXPECT_EQ(setup->RegisteredIndices(), (std::vector<int>{3, 5}));

        const GridStoreEntry& e = (*store_)[3];
        EXPECT_EQ(e.internalName, "alpha");
        EXPECT_EQ(e.fileName, "a.grd");
        EXPECT_EQ(e.grid, a);
        EXPECT_EQ(e.units, 2);
        EXPECT_EQ(e.minFlag, 1);
        EXPECT_EQ(e.maxFlag, 1);
        EXPECT_EQ(e.thousands, 1);
        EXPECT_EQ((*e.grid)[1][1], 7.0);
        EXPECT_EQ((*store_)[5].internalName.size(), 100u);
        EXPECT_EQ(setup->FindGrid("alpha", true), 3);
    }
    // The destructor releases its own entries only.
    EXPECT_FALSE((*store_)[3].hasInternalName);
    EXPECT_FALSE((*store_)[5].hasInternalName);
    EXPECT_TRUE((*store_)[4].hasInternalName);
    EXPECT_EQ((*store_)[4].internalName, "MPIHalo");
}

TEST_F(RegistryTest, AFullStoreIsErrorTwelve) {
    for (int i = 1; i <= GridStore::kMaxIndex - 1; ++i) Occupy(i, StrFormat("g%d", i));
    auto setup = Make();
    Matrix* grid = setup->CreateOwnedGrid(1, 2);
    EXPECT_EQ(setup->RegisterSetupGrid("last.grd", "last", grid, 0, 1, 2), GridStore::kMaxIndex);
    EXPECT_EQ(ErrorCode([&] { setup->RegisterSetupGrid("over.grd", "over", grid, 0, 1, 2); }), 12);
    EXPECT_NE(Console().find("no free grid found in memory (at position 1000)"), std::string::npos);
    EXPECT_EQ(setup->RegisteredIndices(), (std::vector<int>{GridStore::kMaxIndex}));
}

TEST_F(RegistryTest, SharedGridRowsAddOneHaloRowEachSideWithinTheGrid) {
    auto setup = Make();
    setup->nrows = 10;
    // rank, own first and last row; expected first and last shared row (process 0 holds all).
    const int cases[][5] = {{1, 4, 6, 3, 7}, {1, 1, 10, 1, 10}, {0, 4, 10, 1, 10}};
    for (const auto& k : cases) {
        setup->rank = k[0];
        setup->firstRow = k[1];
        setup->lastRow = k[2];
        int first = 0, last = 0;
        setup->SharedGridRows(&first, &last);
        EXPECT_EQ(first, k[3]) << k[0] << " " << k[1];
        EXPECT_EQ(last, k[4]) << k[0] << " " << k[1];
    }
}
}  // namespace
