// Tracers carried by overland flow: uniform water keeps its concentration, and the tracer mass
// that entered is on the surface or in the river afterwards.
#include <gtest/gtest.h>

#include "setup/tracer_ini.hpp"
#include "surfrout_world.hpp"
#include "support/test_support.hpp"

using namespace surfrout_test;

namespace {

class SurfaceTracers : public talvo_test::TempDirTest {};

}  // namespace

TEST_F(SurfaceTracers, MassIsKeptAndUniformWaterStaysUniform) {
    for (bool uniform : {true, false}) {
        WorldLayout def;
        def.nrows = 5;
        def.ncols = 8;
        def.elevation = [](int r, int c) { return 100.0 - 0.3 * c - 0.1 * r; };
        def.river = [](int, int c) { return c == 8; };
        World w(def);
        Matrix* concQD = w.AddGrid("_CONC_QD_1_", 0);
        w.AddGrid("_CONC_QI_1_", 0);
        SectionSpec s;
        s.maxStep = 60;
        w.WriteControl(s);
        std::vector<TracerDescriptor> tracers(2);
        tracers[1].name = "chl";
        unsigned error = 0;
        auto m = w.Build(&error);
        ASSERT_EQ(error, 0u) << w.console.str();
        m->CreateTracerGrids(error, 1, tracers.data(), nullptr, 0);
        ASSERT_EQ(error, 0u) << w.console.str();
        double massIn = 0;
        for (int r = 1; r <= 5; ++r)
            for (int c = 1; c <= 8; ++c) {
                (*w.directflow)[r][c] = 6.0;
                (*concQD)[r][c] = uniform ? 2.0 : (c <= 4 ? 1.0 : 3.0);
                massIn += 6.0 * (*concQD)[r][c];
            }
        m->run(1, 1, 6, 2020);
        ASSERT_EQ(m->clipped, 0.0);
        const Matrix& store = *m->surfaceTracers[1].surfaceStore;
        double massOut = 0, river = 0;
        for (int r = 1; r <= 5; ++r)
            for (int c = 1; c <= 8; ++c) {
                const double S = (*w.storage)[r][c];
                if (c == 8) {
                    river += (*w.directflow)[r][c];
                    massOut += (*w.directflow)[r][c] * (*concQD)[r][c];
                    if (uniform) {
                        EXPECT_NEAR((*concQD)[r][c], 2.0, 1e-12);
                    }
                } else {
                    massOut += S * store[r][c];
                    if (uniform && S > 0) {
                        EXPECT_NEAR(store[r][c], 2.0, 1e-12) << r << " " << c;
                    }
                }
            }
        EXPECT_GT(river, 0.0);
        EXPECT_NEAR(massOut, massIn, 1e-9 * massIn) << (uniform ? "uniform" : "two halves");
    }
}
