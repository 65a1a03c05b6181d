// Glacier records over whole grids: building, bands, band application, growth passes, the
// yearly balance and the spreading of the lost area's balance.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <string>
#include <vector>

#include "surface/glacier_balance.hpp"

namespace {

using namespace glacier;

constexpr double kNd = -9999;

class Grids {
public:
    Grids(int rows, int cols) : rows_(rows), cols_(cols) {
        g.nrows = rows;
        g.ncols = cols;
        g.cellSize = 100;
        g.zone = &Make(1);
        g.elevation = &Make(2000);
        g.fraction = &Make(0);
        g.codes = &Make(kNd);
        g.fractionOld = &Make(0);
        g.codesOld = &Make(kNd);
        g.massBalance = &Make(0);
        g.oldMassBalance = &Make(0);
        g.firn = &Make(0);
    }
    Matrix& Make(double v) {
        memory_handling mh;
        grids_.push_back(mh.matrix(1, rows_, 1, cols_, rows_));
        grids_.back().fill(v);
        return grids_.back();
    }
    Matrix& M(const Matrix* m) { return const_cast<Matrix&>(*m); }
    void Ice(int r, int c, int code, double f) {
        (*g.codes)[r][c] = code;
        (*g.fraction)[r][c] = f;
    }
    double Area() const {
        double a = 0;
        for (int r = 1; r <= rows_; ++r)
            for (int c = 1; c <= cols_; ++c)
                if ((*g.codes)[r][c] >= 0) a += (*g.fraction)[r][c];
        return a * g.cellSize * g.cellSize / 1e6;
    }
    GlacierGrids g;

private:
    int rows_, cols_;
    std::deque<Matrix> grids_;
};

GlacierList List(int bands, int extra) {
    GlacierList l;
    l.scaling = {28.5, 1.36};
    l.numBands = bands;
    l.extraWeight = extra;
    return l;
}

TEST(GlacierBands, ApplicationsWeightTheLowestBand) {
    // One band with extra weight 2 is applied three times per pass.
    Glacier gl;
    gl.numBands = 1;
    gl.extraWeight = 2;
    gl.lowest = 0;
    gl.highest = 10;
    gl.BuildBands();
    Grids s(1, 4);
    for (int c = 1; c <= 4; ++c) {
        s.Ice(1, c, 1, 0.5);
        gl.AddToBand({1, c}, 5);
    }
    EXPECT_EQ(gl.Applications(1, *s.g.fraction), 4.0 * 3);
    bool stuck = false;
    const double r = gl.ApplyAll(0.01, *s.g.fraction, *s.g.codes, stuck);
    EXPECT_NEAR(r, 0, 1e-12);
    for (int c = 1; c <= 4; ++c) EXPECT_NEAR((*s.g.fraction)[1][c], 0.53, 1e-12);
    // Three bands: band 0 gets 3 + extra * 3 = 9, band 1 two and band 2 one application.
    Glacier three;
    three.numBands = 3;
    three.extraWeight = 2;
    three.lowest = 0;
    three.highest = 30;
    three.BuildBands();
    Grids t(1, 3);
    for (int c = 1; c <= 3; ++c) {
        t.Ice(1, c, 1, 0.1);
        three.AddToBand({1, c}, 10.0 * (c - 1) + 5);
    }
    EXPECT_EQ(three.bands[0].count(), 1);
    EXPECT_EQ(three.bands[2].count(), 1);
    EXPECT_EQ(three.Applications(1, *t.g.fraction), 9.0 + 2 + 1);
    three.ApplyAll(0.01, *t.g.fraction, *t.g.codes, stuck);
    EXPECT_NEAR((*t.g.fraction)[1][1], 0.19, 1e-12);
    EXPECT_NEAR((*t.g.fraction)[1][2], 0.12, 1e-12);
    EXPECT_NEAR((*t.g.fraction)[1][3], 0.11, 1e-12);
}

TEST(GlacierBands, EveryApplicationLeftWithAChangeIsCounted) {
    // Six cells whose emptying ones leave a change in each of the five passes: the two bands
    // hold the same cells, and each application that ends so counts once.
    const double fractions[6] = {0.003760131816549364, 0.30766201174635455, 0.5645589913960644,
                                 0.7730864316523656,   0.8538439488362841,  0.8570909647930253};
    Glacier gl;
    gl.numBands = 2;
    gl.lowest = 0;
    gl.highest = 20;
    gl.BuildBands();
    Grids s(2, 6);
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 6; ++c) {
            s.Ice(r, c, 1, fractions[c - 1]);
            gl.AddToBand({r, c}, 10.0 * r - 5);
        }
    bool stuck = false;
    int count = 0;
    gl.ApplyAll(-3.3607667336991374 / 6, *s.g.fraction, *s.g.codes, stuck, &count);
    EXPECT_TRUE(stuck);
    EXPECT_EQ(count, 2);
}

TEST(GlacierBands, BandElevationLimits) {
    Glacier gl;
    gl.numBands = 4;
    gl.lowest = 1000;
    gl.highest = 1400;
    gl.BuildBands();
    struct Case {
        double z;
        std::size_t band;
    };
    for (const Case cs : {Case{999, 0}, Case{1000, 0}, Case{1099.9, 0}, Case{1100, 1}, Case{1399, 3}, Case{1400, 3},
                          Case{2000, 3}}) {
        gl.ClearBands();
        gl.AddToBand({1, 1}, cs.z);
        EXPECT_EQ(gl.bands[cs.band].count(), 1) << cs.z;
    }
}

TEST(GlacierBands, ShrinkingToNothingRemovesTheCodes) {
    Band b;
    Grids s(1, 3);
    for (int c = 1; c <= 3; ++c) {
        s.Ice(1, c, 4, 0.2 * c);
        b.cells.push_back({1, c});
        b.fixed.push_back(0);
    }
    ASSERT_EQ(b.Changeable(-1, *s.g.fraction), 3);
    bool stuck = false;
    const double rest = b.Apply(-1.0, *s.g.fraction, *s.g.codes, stuck);
    for (int c = 1; c <= 3; ++c) {
        EXPECT_EQ((*s.g.fraction)[1][c], 0.0);
        EXPECT_EQ((*s.g.codes)[1][c], -9999.0);
    }
    // 3 wanted, 1.2 available: the band returns what it could not take, and a band with no
    // able cell ends at once with its whole target.
    EXPECT_NEAR(rest, -3.0 + 1.2, 1e-12);
    EXPECT_EQ(b.Changeable(-1, *s.g.fraction), 0);
    EXPECT_EQ(b.Apply(-1.0, *s.g.fraction, *s.g.codes, stuck), 0.0);
    Band empty;
    EXPECT_EQ(empty.Apply(2.0, *s.g.fraction, *s.g.codes, stuck), 0.0);
}

TEST(GlacierBands, GrowthFillsCellsToOneAndReturnsTheRest) {
    Band b;
    Grids s(1, 2);
    s.Ice(1, 1, 1, 0.9);
    s.Ice(1, 2, 1, 0.5);
    for (int c = 1; c <= 2; ++c) b.cells.push_back({1, c}), b.fixed.push_back(0);
    b.Changeable(1, *s.g.fraction);
    bool stuck = false;
    const double rest = b.Apply(0.3, *s.g.fraction, *s.g.codes, stuck);
    // 0.6 wanted: cell 1 fills by 0.1, cell 2 takes the other 0.5 in the second pass.
    EXPECT_EQ((*s.g.fraction)[1][1], 1.0);
    EXPECT_NEAR((*s.g.fraction)[1][2], 1.0, 1e-12);
    EXPECT_NEAR(rest, 0.0, 1e-12);
    EXPECT_FALSE(stuck);
}

TEST(GlacierList, BuildCountsAreaAndFindsSubbasinConflicts) {
    Grids s(3, 3);
    s.Ice(1, 1, 7, 1.0);
    s.Ice(1, 2, 7, 0.5);
    s.Ice(3, 3, 9, 1.4);
    s.M(s.g.zone)[2][2] = kNd;
    s.Ice(2, 2, 7, 1.0);  // outside the basin: not counted
    GlacierList l = List(2, 0);
    EXPECT_FALSE(l.Build(s.g).found);
    ASSERT_EQ(l.glaciers.size(), 2u);
    EXPECT_EQ(l.glaciers[0].code, 7);
    EXPECT_EQ(l.glaciers[0].cells, 2);
    EXPECT_NEAR(l.glaciers[0].area, 0.015, 1e-12);
    EXPECT_EQ(l.glaciers[1].code, 9);
    s.M(s.g.zone)[3][3] = 5;
    s.Ice(3, 1, 9, 0.5);
    const SubbasinConflict k = l.Build(s.g);
    ASSERT_TRUE(k.found);
    EXPECT_EQ(k.code, 9);
    EXPECT_EQ(k.firstSubbasin, 1);
    EXPECT_EQ(k.row, 3);
    EXPECT_EQ(k.col, 3);
    EXPECT_EQ(k.zone, 5);
}

TEST(GlacierList, GrowthTriesUpRightDownLeftAndFallsBack) {
    // Cell (2,2) is fully glacierized; each ice-free neighbour joins in the first pass.
    Grids s(3, 3);
    s.Ice(2, 2, 3, 1.0);
    GlacierList l = List(1, 0);
    l.Build(s.g);
    l.Start(s.g);
    EXPECT_EQ(l.Grow(s.g, 3), 4);
    for (auto [r, c] : {std::pair{1, 2}, {2, 3}, {3, 2}, {2, 1}}) {
        EXPECT_EQ((*s.g.codes)[r][c], 3.0);
        EXPECT_EQ((*s.g.fraction)[r][c], 0.0);
    }
    EXPECT_EQ((*s.g.codes)[1][1], kNd);
    // With firn on the neighbour the first pass finds nothing; the second takes every
    // fraction-0 cell next to it and gives it the neighbour's firn.
    Grids f(1, 3);
    f.Ice(1, 2, 3, 1.0);
    (*f.g.firn)[1][2] = 90;
    memory_handling mh;
    Stack stack = mh.matrix3d(1, 1, 1, 3, 3, 1);
    f.g.firnStack = &stack;
    f.g.firnLevels = 3;
    GlacierList lf = List(1, 0);
    lf.Build(f.g);
    lf.Start(f.g);
    EXPECT_EQ(lf.Grow(f.g, 3), 2);
    EXPECT_EQ((*f.g.firn)[1][1], 90.0);
    EXPECT_EQ(stack[1][1][2], 30.0);
    EXPECT_EQ(stack[1][3][0], 90.0);
    // Two full neighbours with firn: the one above is tried before the one to the right.
    Grids o(2, 2);
    o.Ice(1, 1, 3, 1.0);
    o.Ice(2, 2, 3, 1.0);
    (*o.g.firn)[1][1] = 10;
    (*o.g.firn)[2][2] = 20;
    GlacierList lo = List(1, 0);
    lo.Build(o.g);
    lo.Start(o.g);
    EXPECT_EQ(lo.Grow(o.g, 3), 2);
    EXPECT_EQ((*o.g.firn)[2][1], 10.0);  // (1,1) lies above (2,1)
    EXPECT_EQ((*o.g.firn)[1][2], 20.0);  // (2,2) lies below (1,2); (1,1) to its left comes last
    // A neighbour in another subbasin never counts; an unknown code grows nothing.
    Grids z(1, 2);
    z.Ice(1, 1, 3, 1.0);
    z.M(z.g.zone)[1][2] = 2;
    GlacierList lz = List(1, 0);
    lz.Build(z.g);
    EXPECT_EQ(lz.Grow(z.g, 3), 0);
    EXPECT_EQ(lz.Grow(z.g, 99), 0);
}

TEST(GlacierList, UnchangedAreaKeepsItsCells) {
    Grids s(4, 4);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 4; ++c) {
            s.Ice(r, c, 1, (r == 1 || c == 1) ? 0.5 : 1.0);
            s.M(s.g.elevation)[r][c] = 2000 + 10 * r;
        }
    GlacierList l = List(2, 1);
    l.Build(s.g);
    l.Start(s.g);
    std::vector<double> before;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 4; ++c) before.push_back((*s.g.fraction)[r][c]);
    std::vector<std::string> notes;
    l.Balance(s.g, [&](const std::string& t) { notes.push_back(t); });
    std::size_t k = 0;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 4; ++c) EXPECT_EQ((*s.g.fraction)[r][c], before[k++]);
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.front(), "DEBUG: Glacierbalance\n");
}

TEST(GlacierList, NegativeBalanceShrinksTheGlacierToItsNewArea) {
    Grids s(6, 6);
    for (int r = 1; r <= 6; ++r)
        for (int c = 1; c <= 6; ++c) {
            s.Ice(r, c, 1, (r == 1 || c == 1 || r == 6 || c == 6) ? 0.6 : 1.0);
            s.M(s.g.elevation)[r][c] = 2000 + 20 * r + c;
            s.M(s.g.massBalance)[r][c] = -2000;
        }
    GlacierList l = List(3, 1);
    l.Build(s.g);
    l.Start(s.g);
    const Glacier before = l.glaciers[0];
    l.Balance(s.g, [](const std::string&) {});
    const Glacier& gl = l.glaciers[0];
    // Volume change: balance / 0.85 over the area (mm to m, m2 to km2).
    EXPECT_NEAR(gl.volume, before.previousVolume - 2.0 / 0.85 * before.area, 1e-9);
    EXPECT_LT(gl.area, before.area);
    EXPECT_EQ(gl.previousArea, gl.area);
    EXPECT_NEAR(s.Area(), gl.area, 1e-6);
}

TEST(GlacierList, HeavilyWeightedLowBandVanishesFirst) {
    // Two cells of 1 km2, half covered; the lower one's band has three extra weights.
    Grids s(1, 2);
    s.g.cellSize = 1000;
    s.Ice(1, 1, 2, 0.5);
    s.Ice(1, 2, 2, 0.5);
    // The balance counts without tracking: the first cell met sets the elevation range, so
    // the lower cell falls into band 0 and the first one into the top band.
    s.M(s.g.elevation)[1][1] = 1100;
    s.M(s.g.elevation)[1][2] = 1000;
    (*s.g.firn)[1][1] = (*s.g.firn)[1][2] = 0;
    for (int c = 1; c <= 2; ++c) s.M(s.g.massBalance)[1][c] = -1e7;
    GlacierList l = List(2, 3);
    l.Build(s.g);
    l.Start(s.g);
    std::vector<std::string> notes;
    l.Balance(s.g, [&](const std::string& t) { notes.push_back(t); });
    // The lower cell is emptied and loses its code; the upper cell holds the floor area.
    EXPECT_EQ((*s.g.fraction)[1][2], 0.0);
    EXPECT_EQ((*s.g.codes)[1][2], -9999.0);
    EXPECT_EQ((*s.g.codes)[1][1], 2.0);
    EXPECT_NEAR(l.glaciers[0].volume, kMinVolume, 1e-12);
}

TEST(GlacierList, LostAreaBalanceIsSpreadOverTheRemainingCells) {
    Grids s(1, 3);
    for (int c = 1; c <= 3; ++c) {
        s.M(s.g.codesOld)[1][c] = 1;
        s.M(s.g.fractionOld)[1][c] = 1.0;
        s.M(s.g.massBalance)[1][c] = -100;
    }
    s.Ice(1, 1, 1, 1.0);
    s.Ice(1, 2, 1, 0.5);
    s.Ice(1, 3, -9999, 0.0);
    GlacierList l = List(1, 0);
    l.Build(s.g);
    l.SpreadLostBalance(s.g, -1);
    // Lost: 0.5 of cell 2 and all of cell 3: sum1 = -50 - 100 = -150 over 1.5 remaining.
    EXPECT_NEAR(l.glaciers[0].mean, -100, 1e-12);
    EXPECT_NEAR((*s.g.massBalance)[1][1], -200, 1e-12);
    EXPECT_NEAR((*s.g.massBalance)[1][2], -200, 1e-12);
    EXPECT_NEAR((*s.g.massBalance)[1][3], -100, 1e-12);
    // The balance of the whole former area stays: sum over the new area of the added mean
    // equals the lost area's balance.
    EXPECT_NEAR(l.glaciers[0].mean * l.glaciers[0].sum3, l.glaciers[0].sum1, 1e-12);
}

}  // namespace
