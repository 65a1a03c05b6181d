// Glacier and permafrost set-up of the snow model: the sections, their checks and codes, the
// glacier table, the firn stack, the glacier records and the permafrost grids.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <filesystem>
#include <mpi.h>

#include "glacier_test_domain.hpp"

namespace {

using glacier_test::GlacierOptions;
using snow_test::SectionOptions;

class GlacierConfig : public glacier_test::GlacierDomain {};

TEST_F(GlacierConfig, NoGlacierGridLeavesTheSectionUnread) {
    Drop("GlacierizedCells");
    unsigned code = 9;
    GlacierOptions g;
    g.method = 3;  // would be fatal if read
    auto snow = MakeGlacier(SectionOptions{}, g, &code);
    EXPECT_EQ(code, 0u) << console_.str();
    EXPECT_EQ(snow->glacierMethod, 0);
    EXPECT_EQ(snow->meltFirn.index, 0);
    EXPECT_FALSE(snow->statFirnMelt.stat);
}

TEST_F(GlacierConfig, UnknownMethodsAndIncompleteLinesStopWith80) {
    struct Case {
        const char* what;
        GlacierOptions g;
        std::string text;
    };
    std::vector<Case> cases;
    GlacierOptions m;
    m.method = 3;
    cases.push_back({"method 3", m, "Method for glacier melt must be 1(resp 11 for dynamic model; t-index)\n"});
    GlacierOptions a;
    a.line24 = "3 2000";
    cases.push_back({"line 24", a, "Could not read the three parameters firn_levels (int),\n"});
    GlacierOptions b;
    b.line25 = "x";
    cases.push_back({"line 25", b, "Could not read the two parameters GMBEvalDay (int 1...31)\n"});
    GlacierOptions c;
    c.line26 = "28.5 1.36 2";
    cases.push_back({"line 26", c, "Could not read the four parameters VAscaling, VAexponent, numElevBands"});
    for (const char* bad : {"28.5 1.36 0 1", "0 1.36 2 1", "28.5 -1 2 1"}) {
        GlacierOptions v;
        v.line26 = bad;
        cases.push_back({bad, v, "must be"});
    }
    GlacierOptions l;
    l.line24 = "0 2000 0.5";
    cases.push_back({"levels 0", l, "firn_levels must be at least 1"});
    for (const Case& cs : cases) {
        console_.str("");
        unsigned code = 0;
        auto snow = MakeGlacier(SectionOptions{}, cs.g, &code);
        EXPECT_EQ(code, 80u) << cs.what;
        EXPECT_TRUE(Logged(cs.text)) << cs.what;
    }
}

TEST_F(GlacierConfig, QglacNameWithoutAPointIsRefused) {
    Drop("GlacierizedCells");
    Add("ice_firn", 0);
    GlacierOptions g;
    g.method = 1;
    g.qglac = "qglac";
    unsigned code = 0;
    auto snow = MakeGlacier(SectionOptions{}, g, &code);
    EXPECT_EQ(code, 103u);
    EXPECT_TRUE(Logged("(qglac) has no '.'"));
    console_.str("");
    g.qglac = "out/qglac.dat";
    snow = MakeGlacier(SectionOptions{}, g, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    EXPECT_EQ(snow->statSnowOnIce.fileName, "out/qglac_qsgl_.dat");
    g.qglac = "qglac.txt";
    snow = MakeGlacier(SectionOptions{}, g, &code);
    EXPECT_EQ(snow->statSnowOnIce.fileName, "qglac_qsgl_.txt");
}

TEST_F(GlacierConfig, GlacierTableClipsFractionsAndIsEqualOnEveryProcess) {
    Drop("GlacierizedCells");
    Add("ice_firn", 0);
    Matrix& f = G("ice_firn");
    f[2][1] = 1.4;   // zone 3
    f[3][1] = -0.2;  // zone 9
    GlacierOptions g;
    g.method = 1;
    unsigned code = 0;
    auto snow = MakeGlacier(SectionOptions{}, g, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    ASSERT_EQ(snow->glacierTable.size(), 4u);
    const auto& t = snow->glacierTable;
    EXPECT_TRUE(t[1].hasGlacier);
    EXPECT_EQ(t[1].glacierCells, 1.0);
    EXPECT_EQ(t[1].freeCells, 3.0);
    EXPECT_FALSE(t[2].hasGlacier);
    EXPECT_EQ(t[2].freeCells, 6.0);
    EXPECT_FALSE(t[3].hasGlacier);
    EXPECT_EQ(t[3].glacierCells, 0.0);
    EXPECT_EQ(t[3].freeCells, 4.0);
    // Process 0's table reached every process.
    double mine[3] = {t[1].glacierCells, t[1].freeCells, t[3].freeCells};
    double first[3] = {mine[0], mine[1], mine[2]};
    MPI_Bcast(first, 3, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(mine[i], first[i]);
}

TEST_F(GlacierConfig, FirnStackStartsFromTheElevation) {
    unsigned code = 0;
    auto snow = MakeGlacier(SectionOptions{}, GlacierOptions{}, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    ASSERT_EQ(snow->firn_levels, 3);
    // Elevations 2500 (row 1), 2400, 2300; base 2000 and 0.5 per m.
    ForOwn([&](int r, int c) {
        const double* l = snow->firnStack[r][c];
        if (glacier_test::kFraction[r - 1][c - 1] > 0) {
            const double each = (2600 - 100 * r - 2000) * 0.5;
            for (int k = 1; k <= 3; ++k) EXPECT_EQ(l[k], each);
            EXPECT_EQ(l[0], 3 * each);
            EXPECT_EQ(snow->firn.data[r][c], 3 * each);
        } else {
            EXPECT_EQ(l[0], -9999.0);
            EXPECT_EQ(snow->firn.data[r][c], -9999.0);
        }
    });
    if (talvo_test::Rank() == 0 && snow->firn.data.holds(2)) {
        // 2400 m: 200 in each level.
        EXPECT_EQ(snow->firnStack[2][4][1], 200.0);
        EXPECT_EQ(snow->firnStack[2][4][0], 600.0);
    }
    // Below the base every level holds 0.
    Matrix& z = *store_[2].grid;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            if (zone_[r][c] != -9999) z[r][c] = 1900;
    snow = MakeGlacier(SectionOptions{}, GlacierOptions{}, &code);
    ForOwn([&](int r, int c) {
        if (glacier_test::kFraction[r - 1][c - 1] > 0) {
            EXPECT_EQ(snow->firnStack[r][c][0], 0.0);
        }
    });
}

TEST_F(GlacierConfig, GlacierRecordsOnProcessZero) {
    unsigned code = 0;
    auto snow = MakeGlacier(SectionOptions{}, GlacierOptions{}, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    if (talvo_test::Rank() != 0) return;
    ASSERT_EQ(snow->glacierList.glaciers.size(), 1u);
    const glacier::Glacier& gl = snow->glacierList.glaciers[0];
    EXPECT_EQ(gl.subbasin, 5);
    EXPECT_EQ(gl.cells, 6);
    // 1 + 1 + 0.5 + 0.3 + 1 + 0.6 cells of 1 km2.
    EXPECT_NEAR(gl.area, 4.4, 1e-12);
    EXPECT_NEAR(gl.volume, 28.5 * std::pow(4.4, 1.36), 1e-9);
    EXPECT_EQ(gl.previousVolume, gl.volume);
    EXPECT_EQ(gl.bands.size(), 2u);
}

TEST_F(GlacierConfig, GlacierInTwoSubbasinsStopsWith84) {
    G("GlacierizedCells")[2][2] = 0.5;  // zone 3
    G("GlacierCodes")[2][2] = 1;
    unsigned code = 0;
    auto snow = MakeGlacier(SectionOptions{}, GlacierOptions{}, &code);
    EXPECT_EQ(code, 84u);
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(Logged("is located in more than one subbasin:\n"));
    }
}

TEST_F(GlacierConfig, GlacierCellWithoutCodeStopsWith80) {
    G("GlacierCodes")[3][4] = -9999;
    unsigned code = 0;
    auto snow = MakeGlacier(SectionOptions{}, GlacierOptions{}, &code);
    EXPECT_EQ(code, 80u);
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(Logged("GlacierCodes (must be an integer ID for each separate glacier) at row 3 and col 4"));
    }
    G("GlacierCodes")[3][4] = 1;
    Fill("GlacierizedCells", 0);
    snow = MakeGlacier(SectionOptions{}, GlacierOptions{}, &code);
    EXPECT_EQ(code, 80u);
}

TEST_F(GlacierConfig, PermafrostSectionAndDayGrids) {
    Drop("GlacierizedCells");
    Add("ThawCoeffPermaFrost", 0.05);
    Add("PermafrostThawDepth", 0);
    Add("root_depth1", 1.0);
    unsigned code = 0;
    auto snow = Make(SectionOptions{}, &code, glacier_test::PermafrostSection(2));
    EXPECT_EQ(code, 80u);
    EXPECT_TRUE(Logged("method for permafrost melt must be 1 (alpha*sqrt(time))"));
    snow.reset();
    snow = Make(SectionOptions{}, &code, glacier_test::PermafrostSection(1));
    ASSERT_EQ(code, 0u) << console_.str();
    EXPECT_TRUE(snow->permafrost);
    EXPECT_GT(snow->snowFreeOwn.index, 0);
    EXPECT_GT(snow->snowCoverOwn.index, 0);
    EXPECT_EQ(snow->minSnowAgeRefreeze, 3.0);
    EXPECT_EQ(snow->maxSweSnowFree, 5.0);
    EXPECT_EQ(snow->reducedKsat, 1e-7);
    // Values no permafrost can have.
    const std::pair<const char*, const char*> refused[] = {
        {"3 Min_Snow_Age_Refreeze", "-3 age"}, {"5 Max_SWE_SnowFree", "-5 swe"}, {"1e-7 reduced k_sat", "0 k_sat"}};
    for (const auto& [good, bad] : refused) {
        snow.reset();
        std::string section = glacier_test::PermafrostSection(1);
        section.replace(section.find(good), std::string(good).size(), bad);
        snow = Make(SectionOptions{}, &code, section);
        EXPECT_EQ(code, 17u) << bad;
        EXPECT_TRUE(Logged("in section [permafrost] must be")) << bad << console_.str();
    }
}

TEST_F(GlacierConfig, ThawStatisticsAreCreatedAfterTheReducedConductivity) {
    // A section that ends before "reduced k_sat" fails without the thaw-depth statistics file.
    Drop("GlacierizedCells");
    Add("ThawCoeffPermaFrost", 0.05);
    Add("PermafrostThawDepth", 0);
    Add("root_depth1", 1.0);
    std::string section = glacier_test::PermafrostSection(1);
    section.replace(section.find("thaw.txt 0 stat\n1e-7 reduced k_sat\n"), 35, "thaw.txt 2001 stat\n");
    unsigned code = 0;
    auto snow = Make(SectionOptions{}, &code, section);
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(Logged("reduced k_sat (in m/s)"));
    snow.reset();
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_FALSE(std::filesystem::exists("thaw.txt"));
    MPI_Barrier(MPI_COMM_WORLD);
    snow = Make(SectionOptions{}, &code, section + "1e-7 reduced k_sat\n");
    ASSERT_EQ(code, 0u) << console_.str();
    snow.reset();
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(std::filesystem::exists("thaw.txt"));
    }
}

}  // namespace

namespace {

class GlacierRead : public glacier_test::GlacierDomain {};

// With the read flag the firn stack and the glacier grids come from files; the two mass
// balance grids fill each other's nodata cells.
TEST_F(GlacierRead, GridsFromFilesAndBalanceGridsFillEachOther) {
    memory_handling mh;
    std::deque<Matrix> m;
    auto grid = [&](double inside) -> Matrix& {
        m.push_back(mh.matrix(1, 4, 1, 5, 4));
        Matrix& g = m.back();
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) g[r][c] = zone_[r][c] == -9999 ? -9999 : inside;
        return g;
    };
    Matrix& mb = grid(-10);
    Matrix& old = grid(-20);
    mb[2][3] = -9999;   // takes the old value
    old[3][4] = -9999;  // takes the new value
    mb[1][2] = old[1][2] = -9999;  // stays nodata
    Stack stack = mh.matrix3d(1, 4, 1, 5, 2, 4);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            stack[r][c][1] = r;
            stack[r][c][2] = c;
            stack[r][c][0] = r + c;
        }
    {
        unsigned code = 9;
        auto writer = MakeGlacier(snow_test::SectionOptions{}, glacier_test::GlacierOptions{}, &code);
        ASSERT_EQ(code, 0u) << console_.str();
        if (talvo_test::Rank() == 0) {
            writer->WriteGrid("gmb.asc", mb, true, true);
            writer->WriteGrid("gmbold.asc", old, true, true);
            for (const char* name : {"sg.asc", "lg.asc", "tg.asc"}) writer->WriteGrid(name, grid(3), true, true);
        }
        writer->WriteStack("firn.stk", stack, 2, true, true);
        MPI_Barrier(MPI_COMM_WORLD);
    }
    glacier_test::GlacierOptions g;
    g.readGrids = 1;
    unsigned code = 9;
    auto snow = MakeGlacier(snow_test::SectionOptions{}, g, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    EXPECT_EQ(snow->firn_levels, 2);
    ForOwn([&](int r, int c) {
        EXPECT_EQ(snow->firnStack[r][c][1], r);
        EXPECT_EQ(snow->firnStack[r][c][2], c);
        EXPECT_EQ(snow->firn.data[r][c], r + c);
        EXPECT_EQ(snow->solidG.data[r][c], 3.0);
        const double a = snow->massBalance.data[r][c], b = snow->oldMassBalance.data[r][c];
        if (r == 2 && c == 3) {
            EXPECT_EQ(a, -20.0);
            EXPECT_EQ(b, -20.0);
        } else if (r == 3 && c == 4) {
            EXPECT_EQ(a, -10.0);
            EXPECT_EQ(b, -10.0);
        } else if (r == 1 && c == 2) {
            EXPECT_EQ(a, -9999.0);
            EXPECT_EQ(b, -9999.0);
        } else {
            EXPECT_EQ(a, -10.0);
            EXPECT_EQ(b, -20.0);
        }
    });
}

}  // namespace
