// Cubic splines onto the model grid: the 1-D spline pieces, the raster geometry and the whole
// interpolation of a source grid onto model cells.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <numbers>
#include <omp.h>
#include <sstream>

#include "kernel/tsplines.hpp"
#include "kernel_fixture.hpp"

namespace {
using talvo_test::ErrorCode;
constexpr double kFill = -9999.0;
constexpr const char* kSameCoordinates =
    "The two input coordinates 1 (index 2) \nand 1 (index 3) for the 1-D-Splineevaluation are the same!\n";

// Captures standard output while alive.
class CoutCapture {
public:
    CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old_); }
    std::string Text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};

// A source grid of 4 rows x 5 columns spaced 10 apart, south-west point (100, 200), and a
// model grid of 6 x 7 cells whose centres lie on the raster's evaluation points (raster cell
// size 5): cell (r, c) at x = 102.5 + 5 (c - 1), y = 200 + 5 (6 - r).
struct Scene {
    static constexpr int R = 4, C = 5, MR = 6, MC = 7;
    memory_handling mem;
    Matrix sx, sy, values, cx, cy, out;
    SplineSetup setup;

    explicit Scene(int firstRow = 1, int lastRow = MR) {
        sx = mem.matrix(1, R, 1, C, R);
        sy = mem.matrix(1, R, 1, C, R);
        values = mem.matrix(1, R, 1, C, R);
        for (int r = 1; r <= R; ++r) {
            for (int c = 1; c <= C; ++c) {
                sx[r][c] = 100 + (c - 1) * 10;
                sy[r][c] = 200 + (R - r) * 10;
                values[r][c] = Linear(sx[r][c], sy[r][c]);
            }
        }
        cx = mem.matrix(firstRow, lastRow, 1, MC, MR);
        cy = mem.matrix(firstRow, lastRow, 1, MC, MR);
        out = mem.matrix(firstRow, lastRow, 1, MC, MR);
        for (int r = firstRow; r <= lastRow; ++r) {
            for (int c = 1; c <= MC; ++c) {
                cx[r][c] = 102.5 + 5 * (c - 1);
                cy[r][c] = 200 + 5 * (MR - r);
            }
        }
        setup.sourceRows = R;
        setup.sourceCols = C;
        setup.sourceX = &sx;
        setup.sourceY = &sy;
        setup.dx = setup.dy = 10;
        setup.modelRows = MR;
        setup.modelCols = MC;
        setup.coordX = &cx;
        setup.coordY = &cy;
        setup.cellsize = 10;
        setup.refinement = 2;
        setup.referenceX = 100;
        setup.referenceY = 200;
    }
    static double Linear(double x, double y) { return 3 + 0.5 * x - 0.2 * y; }
    void Run(TSplines& s) {
        s.SetupColumns(values);
        s.InterpolateRaster(out);
    }
};
}  // namespace

TEST(TSplines, SecondDerivativesOfNaturalSplines) {
    TSplines s(SplineSetup{});
    const double x[] = {0, 0, 1, 2};
    const double y[] = {0, 0, 1, 0};
    double y2[4] = {};
    s.SecondDerivatives(x, y, 1, 3, y2, 1e30, 1e30);
    EXPECT_DOUBLE_EQ(y2[1], 0);
    EXPECT_DOUBLE_EQ(y2[2], -3);
    EXPECT_DOUBLE_EQ(y2[3], 0);

    // Clamped ends with the slopes of y = x^2 reproduce its second derivative.
    const double xq[] = {0, 0, 1, 2, 3};
    const double yq[] = {0, 0, 1, 4, 9};
    double y2q[5] = {};
    s.SecondDerivatives(xq, yq, 1, 4, y2q, 0.0, 6.0);
    for (int i = 1; i <= 4; ++i) EXPECT_NEAR(y2q[i], 2.0, 1e-12);

    const double dup[] = {0, 0, 1, 1};
    CoutCapture out;
    EXPECT_EQ(ErrorCode([&] { s.SecondDerivatives(dup, y, 1, 3, y2, 1e30, 1e30); }), 82);
    EXPECT_EQ(out.Text(), kSameCoordinates);
}

TEST(TSplines, EvaluatesWithinRunsAndFillsOutside) {
    TSplines s(SplineSetup{});
    // Two points and the invalid marker after them: a straight line, fill outside.
    const double xa[] = {0, 10, 20, 30};
    const double ya[] = {0, 1, 3, kFill};
    const double y2a[] = {0, 0, 0, kFill};
    int lo = 1, up = 2;
    double v = 0;
    s.Evaluate1D(15, kFill, kFill, xa, ya, &lo, &up, y2a, 2, &v);
    EXPECT_DOUBLE_EQ(v, 2.0);
    s.Evaluate1D(20, kFill, kFill, xa, ya, &lo, &up, y2a, 2, &v);
    EXPECT_DOUBLE_EQ(v, 3.0);  // the last point itself
    for (double x : {5.0, 25.0, 35.0, 1e9, std::nan("")}) {
        s.Evaluate1D(x, kFill, kFill, xa, ya, &lo, &up, y2a, 2, &v);
        EXPECT_EQ(v, kFill) << x;
    }
    // A last index past the arrays is never read beyond them.
    s.Evaluate1D(25, kFill, kFill, xa, ya, &lo, &up, y2a, 7, &v);
    EXPECT_EQ(v, kFill);

    // An interval whose upper point has no data is filled; with the extension flag the lower
    // point's value carries on to it.
    const double yg[] = {0, 1, kFill, 5};
    const double y2g[] = {0, 0, kFill, 0};
    s.Evaluate1D(15, kFill, kFill, xa, yg, &lo, &up, y2g, 3, &v);
    EXPECT_EQ(v, kFill);
    SplineSetup ext;
    ext.extend = true;
    TSplines e(ext);
    e.Evaluate1D(15, kFill, kFill, xa, yg, &lo, &up, y2g, 3, &v);
    EXPECT_DOUBLE_EQ(v, 1.0);

    const double xd[] = {0, 0, 1, 1};
    const double yd[] = {0, 0, 1, 2};
    const double y2d[] = {0, 0, 0, 0};
    CoutCapture out;
    EXPECT_EQ(ErrorCode([&] { s.Evaluate1D(1, kFill, kFill, xd, yd, &lo, &up, y2d, 2, &v); }), 82);
    EXPECT_EQ(out.Text(), kSameCoordinates);
}

TEST(TSplines, RotatesAboutTheCentre) {
    SplineSetup setup;
    setup.centreX = 10;
    setup.centreY = 20;
    setup.angle = std::numbers::pi / 2;
    setup.referenceX = 11;
    setup.referenceY = 20;
    TSplines s(setup);
    EXPECT_NEAR(s.ReferenceX(), 10, 1e-12);
    EXPECT_NEAR(s.ReferenceY(), 19, 1e-12);
    double x, y;
    s.RotatePoint(10, 22, &x, &y, 0);
    EXPECT_DOUBLE_EQ(x, 10);
    EXPECT_DOUBLE_EQ(y, 22);
    s.RotatePoint(10, 17, &x, &y, std::numbers::pi);
    EXPECT_NEAR(x, 10, 1e-12);
    EXPECT_NEAR(y, 23, 1e-12);
}

TEST(TSplines, ReproducesALinearField) {
    Scene sc;
    // Source coordinates left out continue the regular grid from the reference point.
    for (int r = 1; r <= Scene::R; ++r) sc.sx[r][2] = sc.sy[r][2] = kFill;
    TSplines s(sc.setup);
    // Raster of 7 x 9 cells of size 5; the model cells cover rows 2..7 and columns 1..7, and
    // the window adds one cell around them where the raster has one.
    EXPECT_EQ(s.RasterRows(), 7);
    EXPECT_EQ(s.RasterCols(), 9);
    EXPECT_EQ(s.WindowFirstRow(), 1);
    EXPECT_EQ(s.WindowLastCol(), 8);
    sc.Run(s);
    for (int r = 1; r <= Scene::MR; ++r)
        for (int c = 1; c <= Scene::MC; ++c)
            EXPECT_NEAR(sc.out[r][c], Scene::Linear(sc.cx[r][c], sc.cy[r][c]), 1e-9) << r << "/" << c;
}

TEST(TSplines, CellsWithoutCoordinatesOrOutsideTheSourceAreFilled) {
    Scene sc;
    Matrix mask = sc.mem.matrix(1, Scene::MR, 1, Scene::MC, Scene::MR);
    mask.fill(1.0);
    mask[2][2] = kFill;
    sc.setup.mask = &mask;
    sc.cx[1][1] = kFill;
    sc.cy[3][3] = kFill;
    sc.cx[4][4] = 500;  // far east of the source grid
    TSplines s(sc.setup);
    sc.Run(s);
    EXPECT_EQ(sc.out[1][1], kFill);
    EXPECT_EQ(sc.out[2][2], kFill);
    EXPECT_EQ(sc.out[3][3], kFill);
    EXPECT_EQ(sc.out[4][4], kFill);
    EXPECT_NEAR(sc.out[4][5], Scene::Linear(sc.cx[4][5], sc.cy[4][5]), 1e-9);
}

TEST(TSplines, NodataSplitsRunsAndAllNodataColumnsFill) {
    Scene sc;
    for (int r = 1; r <= Scene::R; ++r) sc.values[r][3] = kFill;  // x = 120
    sc.values[2][1] = kFill;                                      // x = 100, y = 220
    TSplines s(sc.setup);
    sc.Run(s);
    for (int r = 1; r <= Scene::MR; ++r) {
        for (int c = 1; c <= Scene::MC; ++c) {
            const double x = sc.cx[r][c], y = sc.cy[r][c];
            SCOPED_TRACE(testing::Message() << "x " << x << " y " << y);
            if (x > 110 && x < 130) {
                EXPECT_EQ(sc.out[r][c], kFill);  // between the runs of every raster row
            } else if (x > 110 || y <= 210) {
                EXPECT_NEAR(sc.out[r][c], Scene::Linear(x, y), 1e-9);
            } else {
                // West run (columns 1 and 2): column 1 has no value between y 210 and 230.
                EXPECT_EQ(sc.out[r][c], kFill);
            }
        }
    }
}

TEST(TSplines, ExtensionCarriesRunsOnePointFurther) {
    for (bool extend : {false, true}) {
        Scene sc;
        sc.setup.extend = extend;
        sc.cx[3][7] = 142.5;  // east of the last source column
        TSplines s(sc.setup);
        sc.Run(s);
        // Repeating the last value flattens the field east of the last column.
        if (extend) {
            EXPECT_NEAR(sc.out[3][7], Scene::Linear(140, sc.cy[3][7] + 5), 2.0);
        } else {
            EXPECT_EQ(sc.out[3][7], kFill);
        }
    }
}

TEST(TSplines, EqualSourceAbscissaeAreError82) {
    Scene sc;
    for (int c = 1; c <= Scene::C; ++c) sc.sy[3][c] = sc.sy[2][c];
    TSplines s(sc.setup);
    CoutCapture out;
    EXPECT_EQ(ErrorCode([&] { s.SetupColumns(sc.values); }), 82);
    EXPECT_NE(out.Text().find("for the 1-D-Splineevaluation are the same!"), std::string::npos);

    // Two source columns at the same x pass the columns' splines and meet along the raster
    // rows: the same error, reported once, instead of values divided by zero.
    Scene rows;
    for (int r = 1; r <= Scene::R; ++r) rows.sx[r][3] = rows.sx[r][2];
    TSplines t(rows.setup);
    CoutCapture rowOut;
    EXPECT_EQ(ErrorCode([&] { rows.Run(t); }), 82);
    EXPECT_EQ(rowOut.Text(), "The two input coordinates 110 (index 2) \nand 110 (index 3) for the "
                             "1-D-Splineevaluation are the same!\n");
}

TEST(TSplines, ResultsDoNotDependOnThreadsOrRowBands) {
    Scene whole;
    for (int r = 1; r <= Scene::R; ++r)
        for (int c = 1; c <= Scene::C; ++c) whole.values[r][c] = std::cos(r * 0.7 + c * 1.3) * 10;
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    TSplines one(whole.setup);
    whole.Run(one);
    omp_set_num_threads(3);
    Matrix again = whole.mem.matrix(1, Scene::MR, 1, Scene::MC, Scene::MR);
    TSplines three(whole.setup);
    three.SetupColumns(whole.values);
    three.InterpolateRaster(again);
    omp_set_num_threads(saved);

    // This process's band of model rows only, as each MPI process holds them.
    const int n = talvo_test::Size(), rank = talvo_test::Rank();
    const int first = 1 + rank * Scene::MR / n, last = (rank + 1) * Scene::MR / n;
    Scene band(first, last);
    band.values.fill(0);
    for (int r = 1; r <= Scene::R; ++r)
        for (int c = 1; c <= Scene::C; ++c) band.values[r][c] = whole.values[r][c];
    TSplines part(band.setup);
    band.Run(part);
    for (int r = 1; r <= Scene::MR; ++r) {
        for (int c = 1; c <= Scene::MC; ++c) {
            EXPECT_EQ(whole.out[r][c], again[r][c]);
            if (r >= first && r <= last) {
                EXPECT_EQ(whole.out[r][c], band.out[r][c]);
            }
        }
    }
}
