// Snow slides over a whole grid: elevation order, direction fractions, release threshold,
// deposition limit and the basin's snow mass.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <random>

#include "surface/glacier_slides.hpp"

namespace {

using namespace glacier;

constexpr double kNd = -9999;

class SlideGrid {
public:
    SlideGrid(int rows, int cols) : nr_(rows), nc_(cols) {
        g.nrows = rows;
        g.ncols = cols;
        g.zone = &Make(1);
        g.orderRow = &Make(0);
        g.orderCol = &Make(0);
        for (int d = 1; d <= 4; ++d) g.fraction[d] = &Make(0.25);
        g.slope = &Make(40);
        g.maxDeposition = &Make(1e9);
        g.T = &Make(0);
        g.L = &Make(0);
        g.S = &Make(0);
        g.input = &Make(0);
        g.mobile = &Make(0);
        g.deposition = &Make(0);
        elevation = &Make(0);
    }
    Matrix& Make(double v) {
        memory_handling mh;
        grids_.push_back(mh.matrix(1, nr_, 1, nc_, nr_));
        grids_.back().fill(v);
        return grids_.back();
    }
    Matrix& M(const Matrix* m) { return const_cast<Matrix&>(*m); }
    void WithGlacier() {
        g.glacierFraction = &Make(0);
        g.TG = &Make(0);
        g.LG = &Make(0);
        g.SG = &Make(0);
    }
    // Elevation order from the elevation grid (stable, row-major among equals).
    void Order() {
        std::vector<std::pair<double, std::pair<int, int>>> cells;
        for (int r = 1; r <= nr_; ++r)
            for (int c = 1; c <= nc_; ++c)
                if ((*g.zone)[r][c] != kNd) cells.push_back({(*elevation)[r][c], {r, c}});
        std::stable_sort(cells.begin(), cells.end(), [](auto& a, auto& b) { return a.first < b.first; });
        std::size_t k = 0;
        for (int r = 1; r <= nr_; ++r)
            for (int c = 1; c <= nc_; ++c)
                if ((*g.zone)[r][c] != kNd) {
                    M(g.orderRow)[r][c] = cells[k].second.first;
                    M(g.orderCol)[r][c] = cells[k].second.second;
                    ++k;
                }
    }
    void Snow(int r, int c, double T, double L) {
        (*g.T)[r][c] = T;
        (*g.L)[r][c] = L;
        (*g.S)[r][c] = T - L;
    }
    SlideGrids g;
    Matrix* elevation;

private:
    int nr_, nc_;
    std::deque<Matrix> grids_;
};

TEST(Slides, ReleaseGoesToTheSameZoneNeighboursByTheirFractions) {
    SlideGrid s(3, 3);
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 3; ++c) (*s.elevation)[r][c] = (r == 2 && c == 2) ? 100 : 0;
    s.Order();
    s.Snow(2, 2, 100, 10);
    // West neighbour in another zone: its share goes to the three others.
    s.M(s.g.zone)[2][1] = 2;
    SlideParameters p{30, 0.1};
    SlidePass(s.g, p);
    EXPECT_NEAR((*s.g.input)[2][2], 10, 1e-12);
    EXPECT_NEAR((*s.g.deposition)[1][2], 10.0 / 3, 1e-12);
    EXPECT_NEAR((*s.g.deposition)[3][2], 10.0 / 3, 1e-12);
    EXPECT_NEAR((*s.g.deposition)[2][3], 10.0 / 3, 1e-12);
    EXPECT_EQ((*s.g.deposition)[2][1], 0.0);
    // The source keeps 90 mm with its liquid ratio.
    EXPECT_NEAR((*s.g.T)[2][2], 90, 1e-12);
    EXPECT_NEAR((*s.g.L)[2][2], 9, 1e-12);
    EXPECT_NEAR((*s.g.S)[2][2], 81, 1e-12);
    // A receiving cell without snow takes the deposit as solid snow.
    EXPECT_NEAR((*s.g.T)[1][2], 10.0 / 3, 1e-12);
    EXPECT_EQ((*s.g.L)[1][2], 0.0);
}

TEST(Slides, FlatCellsReleaseNothingAndLoneCellsKeepTheirMass) {
    SlideGrid s(1, 3);
    s.Order();
    s.Snow(1, 2, 50, 0);
    s.M(s.g.slope)[1][2] = 10;
    SlidePass(s.g, {30, 0.5});
    EXPECT_EQ((*s.g.input)[1][2], 0.0);
    EXPECT_EQ((*s.g.T)[1][2], 50.0);
    // A cell without any same-zone neighbour: released mass stays as mobile mass and returns.
    SlideGrid lone(1, 3);
    lone.M(lone.g.zone)[1][1] = 2;
    lone.M(lone.g.zone)[1][3] = 3;
    lone.Order();
    lone.Snow(1, 2, 50, 5);
    SlidePass(lone.g, {30, 0.5});
    EXPECT_NEAR((*lone.g.input)[1][2], 25, 1e-12);
    EXPECT_NEAR((*lone.g.mobile)[1][2], 25, 1e-12);
    EXPECT_NEAR((*lone.g.T)[1][2], 50, 1e-12);
    EXPECT_NEAR((*lone.g.L)[1][2], 5, 1e-12);
}

TEST(Slides, DepositionAboveTheLimitMovesOnDownhill) {
    // A row sloping down to the east: cells 1 (high) .. 4 (low); all mass flows east.
    SlideGrid s(1, 4);
    for (int c = 1; c <= 4; ++c) (*s.elevation)[1][c] = 100 - c;
    for (int d = 1; d <= 4; ++d) s.M(s.g.fraction[d]).fill(d == 3 ? 1 : 0);
    s.Order();
    s.Snow(1, 1, 100, 0);
    s.M(s.g.maxDeposition).fill(2);
    SlidePass(s.g, {30, 0.2});
    // 20 mm leave cell 1; cell 2 keeps 2, 18 move on as its mobile mass. Cell 2 is visited
    // before cell 1 (lower), so the excess stays mobile in cell 2 and is snow there.
    EXPECT_NEAR((*s.g.deposition)[1][2], 2, 1e-12);
    EXPECT_NEAR((*s.g.mobile)[1][2], 18, 1e-12);
    EXPECT_NEAR((*s.g.T)[1][2], 20, 1e-12);
    EXPECT_NEAR((*s.g.T)[1][1], 80, 1e-12);
}

TEST(Slides, GlacierPartsReceiveAndRelease) {
    SlideGrid s(1, 2);
    s.WithGlacier();
    (*s.elevation)[1][1] = 10;
    s.Order();
    s.M(s.g.glacierFraction)[1][1] = 0.5;
    s.M(s.g.glacierFraction)[1][2] = 1.0;
    s.Snow(1, 1, 40, 0);
    (*s.g.TG)[1][1] = 20;
    (*s.g.SG)[1][1] = 20;
    SlidePass(s.g, {30, 0.5});
    // Input = 0.5 * 40 * 0.5 + 0.5 * 20 * 0.5 = 15, all to the east cell's glacier part.
    EXPECT_NEAR((*s.g.input)[1][1], 15, 1e-12);
    EXPECT_NEAR((*s.g.TG)[1][2], 15, 1e-12);
    EXPECT_EQ((*s.g.T)[1][2], 0.0);
    // D of a partly glacierized cell goes to both of its parts.
    SlideGrid b(1, 2);
    b.WithGlacier();
    (*b.elevation)[1][2] = 10;
    b.Order();
    b.M(b.g.glacierFraction)[1][1] = 0.25;
    b.Snow(1, 2, 8, 0);
    SlidePass(b.g, {30, 0.5});
    EXPECT_NEAR((*b.g.T)[1][1], 4, 1e-12);
    EXPECT_NEAR((*b.g.TG)[1][1], 4, 1e-12);
}

TEST(Slides, BasinSnowIsConservedOnRandomTerrain) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0, 1);
    for (int trial = 0; trial < 20; ++trial) {
        SlideGrid s(12, 9);
        s.WithGlacier();
        for (int r = 1; r <= 12; ++r)
            for (int c = 1; c <= 9; ++c) {
                if (u(rng) < 0.1) s.M(s.g.zone)[r][c] = kNd;
                else if (c > 6) s.M(s.g.zone)[r][c] = 2;
                (*s.elevation)[r][c] = std::floor(u(rng) * 5);
                for (int d = 1; d <= 4; ++d) s.M(s.g.fraction[d])[r][c] = u(rng);
                s.M(s.g.slope)[r][c] = u(rng) * 60;
                s.M(s.g.maxDeposition)[r][c] = u(rng) * 3;
                const double gf = u(rng) < 0.5 ? 0 : std::min(1.2, u(rng) * 1.4);
                s.M(s.g.glacierFraction)[r][c] = gf;
                s.Snow(r, c, u(rng) < 0.2 ? 0 : u(rng) * 100, 0);
                (*s.g.L)[r][c] = 0.1 * (*s.g.T)[r][c];
                (*s.g.S)[r][c] = 0.9 * (*s.g.T)[r][c];
                (*s.g.TG)[r][c] = u(rng) * 50;
                (*s.g.LG)[r][c] = 0;
                (*s.g.SG)[r][c] = (*s.g.TG)[r][c];
            }
        s.Order();
        const double before = BasinSnow(s.g);
        for (int step = 0; step < 3; ++step) {
            SlidePass(s.g, {20, 0.3});
            EXPECT_NEAR(BasinSnow(s.g), before, 1e-9 * before);
        }
        for (int r = 1; r <= 12; ++r)
            for (int c = 1; c <= 9; ++c)
                if ((*s.g.zone)[r][c] != kNd) {
                    EXPECT_NEAR((*s.g.S)[r][c] + (*s.g.L)[r][c], (*s.g.T)[r][c], 1e-9);
                    EXPECT_GE((*s.g.L)[r][c], 0.0);
                }
    }
}

// The pass over the cells that release or receive mobile mass equals the pass over every cell, bit
// for bit, on random terrain with snow on a few steep cells, small deposition limits (mass runs on
// over many cells) and glacier parts, step after step: on small grids, and on grids large enough
// for the threads to share the rows of the releases (each row's releasing cells listed apart).
TEST(Slides, VisitingTheMovingCellsEqualsVisitingEveryCell) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0, 1);
    for (int trial = 0; trial < 22; ++trial) {
        const int rows = trial < 20 ? 14 : 90, cols = trial < 20 ? 11 : 70;
        SlideGrid every(rows, cols), moving(rows, cols);
        every.WithGlacier();
        moving.WithGlacier();
        for (int r = 1; r <= rows; ++r)
            for (int c = 1; c <= cols; ++c) {
                const double zone = u(rng) < 0.1 ? kNd : (c > 7 ? 2 : 1), z = std::floor(u(rng) * 6);
                const double slope = u(rng) * 45, limit = u(rng) * 0.5, gf = u(rng) < 0.7 ? 0 : u(rng) * 1.2;
                const double T = u(rng) < 0.15 ? u(rng) * 100 : 0, TG = u(rng) < 0.1 ? u(rng) * 50 : 0;
                double fractions[5];
                for (int d = 1; d <= 4; ++d) fractions[d] = u(rng);
                for (SlideGrid* s : {&every, &moving}) {
                    s->M(s->g.zone)[r][c] = zone;
                    (*s->elevation)[r][c] = z;
                    for (int d = 1; d <= 4; ++d) s->M(s->g.fraction[d])[r][c] = fractions[d];
                    s->M(s->g.slope)[r][c] = slope;
                    s->M(s->g.maxDeposition)[r][c] = limit;
                    s->M(s->g.glacierFraction)[r][c] = gf;
                    s->Snow(r, c, T, 0.07 * T);
                    (*s->g.TG)[r][c] = (*s->g.SG)[r][c] = TG;
                    (*s->g.LG)[r][c] = 0;
                }
            }
        every.Order();
        moving.Order();
        const SlideOrder order = MakeSlideOrder(moving.g);
        ASSERT_TRUE(order.usable);
        for (int step = 0; step < 3; ++step) {
            EXPECT_EQ(SlidePass(moving.g, {30, 0.3}, order), SlidePass(every.g, {30, 0.3}));
            for (int r = 1; r <= rows; ++r)
                for (int c = 1; c <= cols; ++c)
                    for (auto [a, b] : {std::pair{every.g.T, moving.g.T}, {every.g.L, moving.g.L}, {every.g.TG, moving.g.TG},
                                        {every.g.input, moving.g.input}, {every.g.mobile, moving.g.mobile},
                                        {every.g.deposition, moving.g.deposition}})
                        ASSERT_EQ((*a)[r][c], (*b)[r][c]) << "trial " << trial << ", step " << step << ", " << r << "," << c;
        }
    }
    // An order that names a cell twice is not used: the pass then visits every cell.
    SlideGrid twice(2, 2);
    twice.Order();
    twice.M(twice.g.orderRow)[1][2] = 1;
    twice.M(twice.g.orderCol)[1][2] = 1;
    EXPECT_FALSE(MakeSlideOrder(twice.g).usable);
}

}  // namespace
