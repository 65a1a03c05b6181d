// Snow slides inside the snow model's step at any process count: the pass on process 0 sees
// the whole basin, so the result of every cell equals one pass over the whole grid, and the
// basin's snow is unchanged by it.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <span>
#include <vector>

#include "glacier_test_domain.hpp"
#include "surface/glacier_slides.hpp"

namespace {

using glacier_test::GlacierOptions;
using snow_test::SectionOptions;

class SlidesMpi : public glacier_test::GlacierDomain {
protected:
    void Terrain() {
        Matrix& z = *store_[2].grid;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                if (zone_[r][c] == -9999) continue;
                z[r][c] = 2600 - 100 * r + 30 * ((c * 7) % 5);
                G("slope_angle")[r][c] = 25 + 4 * ((r + 2 * c) % 5);
                for (int d = 1; d <= 4; ++d) G(StrFormat("slidefraction%d", d))[r][c] = 0.1 * ((r * d + c) % 4) + 0.05;
            }
    }
    static double Solid(int r, int c) { return 10.0 * r + 3 * c; }
    // A slide method's model in frost without precipitation: only the slides change the snow.
    std::unique_ptr<schneemodellklasse> FrozenSnow(const SectionOptions& o) {
        unsigned code = 9;
        auto snow = Make(o, &code);
        EXPECT_EQ(code, 0u) << console_.str();
        snow->LinkPrecipitation(false);
        Fill("temperature", -5);
        Fill("precipitation", 0);
        return snow;
    }

    // The expected grids: one whole-grid pass from the same start.
    struct Reference {
        std::deque<Matrix> grids;
        glacier::SlideGrids g;
        Matrix& Make(double v) {
            memory_handling mh;
            grids.push_back(mh.matrix(1, 4, 1, 5, 4));
            grids.back().fill(v);
            return grids.back();
        }
    };
    // One step from the reference's snow: the model's own cells take it, the model runs a step and
    // the reference one whole-grid pass; every own cell must equal the pass bit for bit. Returns
    // the mass that slides brought to cells of the basin (all processes).
    double StepAgainstThePass(schneemodellklasse& snow, Reference& ref, const SectionOptions& o, int step) {
        ForOwn([&](int r, int c) {
            snow.solid.data[r][c] = (*ref.g.S)[r][c];
            snow.liquid.data[r][c] = (*ref.g.L)[r][c];
        });
        snow.run(12, 5, 1, 2020);
        glacier::SlidePass(ref.g, {o.minSlideSlope, o.slideMassFrac});
        double moved = 0;
        ForOwn([&](int r, int c) {
            moved += snow.inputMass.data[r][c];
            for (auto [model, expected] : {std::pair{&snow.total, ref.g.T}, {&snow.liquid, ref.g.L},
                                           {&snow.solid, ref.g.S}, {&snow.inputMass, ref.g.input},
                                           {&snow.mobileMass, ref.g.mobile}, {&snow.deposition, ref.g.deposition}})
                EXPECT_EQ(model->data[r][c], (*expected)[r][c]) << "step " << step << ", " << r << "," << c;
        });
        MPI_Allreduce(MPI_IN_PLACE, &moved, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        return moved;
    }
    void BuildReference(Reference& ref, const schneemodellklasse& snow, bool glacierPart) {
        glacier::SlideGrids& g = ref.g;
        g.nrows = 4;
        g.ncols = 5;
        g.zone = &zone_;
        Matrix& orow = ref.Make(-9999);
        Matrix& ocol = ref.Make(-9999);
        std::vector<std::pair<double, std::pair<int, int>>> cells;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (zone_[r][c] != -9999) cells.push_back({(*store_[2].grid)[r][c], {r, c}});
        std::stable_sort(cells.begin(), cells.end(), [](auto& a, auto& b) { return a.first < b.first; });
        std::size_t k = 0;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (zone_[r][c] != -9999) {
                    orow[r][c] = cells[k].second.first;
                    ocol[r][c] = cells[k++].second.second;
                }
        g.orderRow = &orow;
        g.orderCol = &ocol;
        for (int d = 1; d <= 4; ++d) g.fraction[d] = &G(StrFormat("slidefraction%d", d));
        g.slope = &G("slope_angle");
        Matrix& maxDep = ref.Make(-9999);
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (zone_[r][c] != -9999)
                    maxDep[r][c] = byName_.count("max_deposition") != 0
                                       ? G("max_deposition")[r][c]
                                       : MaxDepositionOfSlope(1.0, G("slope_angle")[r][c], 55);
        g.maxDeposition = &maxDep;
        Matrix& T = ref.Make(0);
        Matrix& L = ref.Make(0);
        Matrix& S = ref.Make(0);
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                S[r][c] = Solid(r, c);
                L[r][c] = 0.05 * S[r][c];
                T[r][c] = S[r][c] + L[r][c];
            }
        g.T = &T;
        g.L = &L;
        g.S = &S;
        if (glacierPart) {
            g.glacierFraction = &G("GlacierizedCells");
            Matrix& TG = ref.Make(0);
            Matrix& LG = ref.Make(0);
            Matrix& SG = ref.Make(0);
            for (int r = 1; r <= 4; ++r)
                for (int c = 1; c <= 5; ++c) {
                    const bool ice = glacier_test::kFraction[r - 1][c - 1] > 0;
                    SG[r][c] = ice ? 40.0 + c : 0.0;
                    TG[r][c] = SG[r][c];
                }
            g.TG = &TG;
            g.LG = &LG;
            g.SG = &SG;
        }
        g.input = &ref.Make(0);
        g.mobile = &ref.Make(0);
        g.deposition = &ref.Make(0);
        (void)snow;
    }

    // Sets the basin cells' heights to height(r, c), builds the snow model of the slides (method
    // 8, no glacier) and, on process 0, checks its elevation order against the order of the whole
    // basin that BuildReference makes in one stable sort. Returns the model on process 0 and null
    // elsewhere.
    template <class Height>
    std::unique_ptr<schneemodellklasse> OrderedBy(Height height, Reference& ref) {
        Terrain();
        Matrix& z = *store_[2].grid;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (zone_[r][c] != -9999) z[r][c] = height(r, c);
        Drop("GlacierizedCells");
        SectionOptions o;
        o.method = 8;
        auto snow = FrozenSnow(o);
        if (talvo_test::Rank() != 0) return nullptr;
        BuildReference(ref, *snow, false);
        ExpectOrderOfTheReference(*snow, ref);
        return snow;
    }
    // The order grids and the ranks the steps move by name the cells of one stable sort of the
    // whole basin: the k-th basin cell in row order the k-th cell of the order, as the reference's
    // order grids do.
    void ExpectOrderOfTheReference(const schneemodellklasse& snow, const Reference& ref) {
        ASSERT_TRUE(snow.slideOrder_.usable);
        ASSERT_GT(snow.elevOrderRow.index, 0);
        std::size_t k = 0;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                EXPECT_EQ(snow.elevOrderRow.data[r][c], (*ref.g.orderRow)[r][c]) << r << "," << c;
                EXPECT_EQ(snow.elevOrderCol.data[r][c], (*ref.g.orderCol)[r][c]) << r << "," << c;
                if (zone_[r][c] == -9999) continue;
                ASSERT_LT(k, snow.slideOrder_.cells.size());
                const std::pair<int, int> named{static_cast<int>((*ref.g.orderRow)[r][c]),
                                                static_cast<int>((*ref.g.orderCol)[r][c])};
                EXPECT_EQ(snow.slideOrder_.cells[k++], named) << r << "," << c;
            }
        EXPECT_EQ(k, snow.slideOrder_.cells.size());
    }
};

TEST_F(SlidesMpi, EveryCellMatchesOneWholeGridPassAndTheBasinKeepsItsSnow) {
    for (bool ownLimit : {false, true}) {
        Terrain();
        if (ownLimit) {
            // A deposition limit of the control file, varying over the basin.
            Add("max_deposition", 0);
            ForOwn([&](int r, int c) { G("max_deposition")[r][c] = 0.2 * r + 0.1 * c; });
            for (int r = 1; r <= 4; ++r)
                for (int c = 1; c <= 5; ++c)
                    if (zone_[r][c] != -9999) G("max_deposition")[r][c] = 0.2 * r + 0.1 * c;
        }
        Drop("GlacierizedCells");
        SectionOptions o;
        o.method = 8;
        o.slideMassFrac = 0.3;
        auto snow = FrozenSnow(o);
        ForOwn([&](int r, int c) {
            snow->solid.data[r][c] = Solid(r, c);
            snow->liquid.data[r][c] = 0.05 * Solid(r, c);
        });
        const double before = SumOwn([&](int r, int c) { return snow->solid.data[r][c] + snow->liquid.data[r][c]; });
        snow->run(12, 5, 1, 2020);
        const double after = SumOwn([&](int r, int c) { return snow->total.data[r][c]; });
        EXPECT_NEAR(after, before, 1e-9 * before);
        const double moved = SumOwn([&](int r, int c) { return snow->inputMass.data[r][c]; });
        EXPECT_GT(moved, 0.0);

        Reference ref;
        BuildReference(ref, *snow, false);
        glacier::SlidePass(ref.g, {o.minSlideSlope, o.slideMassFrac});
        ForOwn([&](int r, int c) {
            EXPECT_NEAR(snow->total.data[r][c], (*ref.g.T)[r][c], 1e-12) << r << "," << c;
            EXPECT_NEAR(snow->liquid.data[r][c], (*ref.g.L)[r][c], 1e-12) << r << "," << c;
            EXPECT_NEAR(snow->solid.data[r][c], (*ref.g.S)[r][c], 1e-12) << r << "," << c;
            EXPECT_NEAR(snow->deposition.data[r][c], (*ref.g.deposition)[r][c], 1e-12) << r << "," << c;
            EXPECT_NEAR(snow->mobileMass.data[r][c], (*ref.g.mobile)[r][c], 1e-12) << r << "," << c;
        });
    }
}

TEST_F(SlidesMpi, GlacierPartsSlideAcrossTheProcessBoundary) {
    Terrain();
    SectionOptions o;
    o.method = 12;
    o.slideMassFrac = 0.2;
    GlacierOptions g;
    g.method = 11;
    unsigned code = 9;
    auto snow = MakeGlacier(o, g, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    snow->LinkPrecipitation(false);
    Fill("temperature", -5);
    Fill("precipitation", 0);
    ForOwn([&](int r, int c) {
        snow->solid.data[r][c] = Solid(r, c);
        snow->liquid.data[r][c] = 0.05 * Solid(r, c);
        const bool ice = glacier_test::kFraction[r - 1][c - 1] > 0;
        snow->solidG.data[r][c] = ice ? 40.0 + c : 0.0;
        snow->liquidG.data[r][c] = 0;
    });
    auto basin = [&] {
        return SumOwn([&](int r, int c) {
            const double f = std::clamp(G("GlacierizedCells")[r][c], 0.0, 1.0);
            return (1 - f) * snow->total.data[r][c] + f * snow->totalG.data[r][c];
        });
    };
    const double before = SumOwn([&](int r, int c) {
        const double f = std::clamp(G("GlacierizedCells")[r][c], 0.0, 1.0);
        return (1 - f) * 1.05 * Solid(r, c) + f * snow->solidG.data[r][c];
    });
    snow->run(12, 5, 1, 2020);
    EXPECT_NEAR(basin(), before, 1e-9 * before);

    Reference ref;
    BuildReference(ref, *snow, true);
    glacier::SlidePass(ref.g, {o.minSlideSlope, o.slideMassFrac});
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(snow->total.data[r][c], (*ref.g.T)[r][c], 1e-12) << r << "," << c;
        EXPECT_NEAR(snow->totalG.data[r][c], (*ref.g.TG)[r][c], 1e-12) << r << "," << c;
        EXPECT_NEAR(snow->solidG.data[r][c], (*ref.g.SG)[r][c], 1e-12) << r << "," << c;
    });
}

// A step in which no cell releases snow (the steep cells bare) settles every cell as a pass would,
// bit for bit; the next step, with snow on the steep cells, slides from there, and the third,
// bare again, clears what the slides left.
TEST_F(SlidesMpi, StepsWithoutReleaseEndAsThePassBetweenStepsWithSlides) {
    Terrain();
    Drop("GlacierizedCells");
    SectionOptions o;
    o.method = 8;
    o.slideMassFrac = 0.3;
    auto snow = FrozenSnow(o);
    Reference ref;
    BuildReference(ref, *snow, false);
    auto steep = [&](int r, int c) { return !(G("slope_angle")[r][c] < o.minSlideSlope); };
    // Step 1: snow (with liquid water of an uneven share) on the gentle slopes alone.
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            (*ref.g.S)[r][c] = steep(r, c) ? 0.0 : 1.1 * Solid(r, c);
            (*ref.g.L)[r][c] = 0.05 * (*ref.g.S)[r][c];
            (*ref.g.T)[r][c] = (*ref.g.S)[r][c] + (*ref.g.L)[r][c];
        }
    for (int step = 1; step <= 3; ++step) {
        if (step >= 2)  // snow on the steep cells, then bare again
            for (int r = 1; r <= 4; ++r)
                for (int c = 1; c <= 5; ++c)
                    if (steep(r, c)) {
                        (*ref.g.S)[r][c] = step == 2 ? Solid(r, c) : 0.0;
                        (*ref.g.L)[r][c] = 0.05 * (*ref.g.S)[r][c];
                        (*ref.g.T)[r][c] = (*ref.g.S)[r][c] + (*ref.g.L)[r][c];
                    }
        EXPECT_EQ(StepAgainstThePass(*snow, ref, o, step) > 0, step == 2);
    }
}

// Steps after the first with releases in every step: each owner releases its own cells, one
// process moves the released snow, and only the touched cells travel back. Deposition limits
// well above what arrives keep most depositions below them (cells that receive snow but pass
// none on), glacier parts release and receive; every cell equals a whole-grid pass of each
// step bit for bit.
TEST_F(SlidesMpi, StepAfterStepEveryCellEqualsTheWholeGridPass) {
    for (const bool glacierPart : {true, false}) {
        Terrain();
        Add("max_deposition", 0);
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (zone_[r][c] != -9999) G("max_deposition")[r][c] = (r + c) % 3 == 0 ? 0.05 : 40.0 + r;
        SectionOptions o;
        o.method = glacierPart ? 12 : 8;
        o.slideMassFrac = 0.25;
        std::unique_ptr<schneemodellklasse> snow;
        if (glacierPart) {
            GlacierOptions g;
            g.method = 11;
            unsigned code = 9;
            snow = MakeGlacier(o, g, &code);
            ASSERT_EQ(code, 0u) << console_.str();
            snow->LinkPrecipitation(false);
            Fill("temperature", -5);
            Fill("precipitation", 0);
        } else {
            Drop("GlacierizedCells");
            snow = FrozenSnow(o);
        }
        Reference ref;
        BuildReference(ref, *snow, glacierPart);
        for (int step = 1; step <= 4; ++step) {
            // New snow of every step, more on some cells than others.
            for (int r = 1; r <= 4; ++r)
                for (int c = 1; c <= 5; ++c) {
                    (*ref.g.S)[r][c] = (step * 7 + r * c) % 5 == 0 ? 0.0 : Solid(r, c) + step;
                    (*ref.g.L)[r][c] = 0.04 * (*ref.g.S)[r][c];
                    (*ref.g.T)[r][c] = (*ref.g.S)[r][c] + (*ref.g.L)[r][c];
                    if (glacierPart) {
                        (*ref.g.SG)[r][c] = glacier_test::kFraction[r - 1][c - 1] > 0 ? 30.0 + step * c : 0.0;
                        (*ref.g.LG)[r][c] = 0;
                        (*ref.g.TG)[r][c] = (*ref.g.SG)[r][c];
                    }
                }
            ForOwn([&](int r, int c) {
                snow->solid.data[r][c] = (*ref.g.S)[r][c];
                snow->liquid.data[r][c] = (*ref.g.L)[r][c];
                if (glacierPart) {
                    snow->solidG.data[r][c] = (*ref.g.SG)[r][c];
                    snow->liquidG.data[r][c] = 0;
                }
            });
            snow->run(12, 5, 1, 2020);
            glacier::SlidePass(ref.g, {o.minSlideSlope, o.slideMassFrac});
            int kept = 0;
            ForOwn([&](int r, int c) {
                kept += (*ref.g.deposition)[r][c] > 0 && (*ref.g.deposition)[r][c] < G("max_deposition")[r][c];
                for (auto [model, expected] :
                     {std::pair{&snow->total, ref.g.T}, {&snow->liquid, ref.g.L}, {&snow->solid, ref.g.S},
                      {&snow->inputMass, ref.g.input}, {&snow->mobileMass, ref.g.mobile},
                      {&snow->deposition, ref.g.deposition}})
                    EXPECT_EQ(model->data[r][c], (*expected)[r][c]) << "step " << step << ", " << r << "," << c;
                if (!glacierPart) return;
                for (auto [model, expected] :
                     {std::pair{&snow->totalG, ref.g.TG}, {&snow->liquidG, ref.g.LG}, {&snow->solidG, ref.g.SG}})
                    EXPECT_EQ(model->data[r][c], (*expected)[r][c]) << "step " << step << ", " << r << "," << c;
            });
            MPI_Allreduce(MPI_IN_PLACE, &kept, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
            EXPECT_GT(kept, 0) << "step " << step;
        }
        Drop("max_deposition");
    }
}

// Snow on one steep cell alone, first the basin's first cell (process 0's first own cell), then
// its last (the last process's last own cell), then on none: every process moves what the one
// cell releases, and the bare step settles every cell, each as the whole-grid pass, bit for bit.
TEST_F(SlidesMpi, ALoneReleaseAtEitherEndOfTheBasinMovesOnEveryProcess) {
    Terrain();
    Drop("GlacierizedCells");
    const std::pair<int, int> lone[2] = {{1, 2}, {4, 3}};
    for (const auto& [r, c] : lone) G("slope_angle")[r][c] = 40;
    SectionOptions o;
    o.method = 8;
    o.slideMassFrac = 0.5;
    auto snow = FrozenSnow(o);
    Reference ref;
    BuildReference(ref, *snow, false);
    for (int step = 1; step <= 3; ++step) {
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                const bool snowy = step <= 2 && std::pair{r, c} == lone[step - 1];
                (*ref.g.S)[r][c] = snowy ? Solid(r, c) : 0.0;
                (*ref.g.L)[r][c] = 0.05 * (*ref.g.S)[r][c];
                (*ref.g.T)[r][c] = (*ref.g.S)[r][c] + (*ref.g.L)[r][c];
            }
        EXPECT_EQ(StepAgainstThePass(*snow, ref, o, step) > 0, step <= 2) << "step " << step;
    }
}

}  // namespace

TEST_F(SlidesMpi, ElevationOrderOfTheSetUpKeepsEqualHeightsInRowOrderAcrossProcesses) {
    // Equal heights in every row (and so on both sides of each process boundary): the merged
    // order of the processes' own cells must equal one stable sort of the whole basin.
    Terrain();
    Matrix& z = *store_[2].grid;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            if (zone_[r][c] != -9999) z[r][c] = 2000 + 50 * ((r + 2 * c) % 3);
    Drop("GlacierizedCells");
    SectionOptions o;
    o.method = 8;
    auto snow = FrozenSnow(o);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (rank != 0) return;
    Reference ref;
    BuildReference(ref, *snow, false);
    ExpectOrderOfTheReference(*snow, ref);
    EXPECT_GT(snow->slideOrder_.cells.size(), 10u);
    // The ranks the steps move by, made with the grids, are those the grids give.
    const glacier::SlideOrder made = glacier::MakeSlideOrder(ref.g);
    ASSERT_TRUE(made.usable);
    EXPECT_TRUE(snow->slideOrder_.usable);
    EXPECT_EQ(snow->slideOrder_.cells, made.cells);
    EXPECT_EQ(snow->slideOrder_.rankOf, made.rankOf);
}

TEST_F(SlidesMpi, ElevationOrderOfTheSetUpKeepsHeightsApartByLessThanAFloatAcrossProcesses) {
    // Heights falling in row order by steps far below a float's resolution: the processes' lists
    // reach process 0 with their heights, which must arrive to the last bit, or the order would
    // fall back to the row order of equal heights.
    Reference ref;
    const auto snow = OrderedBy([](int r, int c) { return 2000 + (30 - 5 * r - c) * 1e-9; }, ref);
    if (!snow) return;
    // The lowest cell is the last basin cell in row order, (4, 3).
    ASSERT_FALSE(snow->slideOrder_.cells.empty());
    EXPECT_EQ(snow->slideOrder_.cells.front(), (std::pair<int, int>{4, 3}));
    EXPECT_TRUE(snow->slideOrder_.usable);
}

TEST_F(SlidesMpi, ElevationOrderOfTheSetUpOrdersHeightsAcrossZeroWithBothZerosEqual) {
    // Heights below, at and above 0 with ties, 0 written as +0 and as -0 (equal heights, so in
    // row order), and heights far apart: the order must be one stable sort of the whole basin.
    const double heights[] = {-1e300, -2.5, -0.0, 0.0, 1e-300, 2.5, -2.5, 0.0, -0.0, 3e5};
    Reference ref;
    const auto snow = OrderedBy([&](int r, int c) { return heights[(3 * r + c) % 10]; }, ref);
    if (!snow) return;
    EXPECT_TRUE(snow->slideOrder_.usable);
}

TEST_F(SlidesMpi, WholeGridsOfTheSetUpHoldTheOwnedCellsWhetherProcessZeroHeldOrGatheredThem) {
    // Cells outside the basin belong to no process (the strips skip them) but hold values in the
    // grids, as a file gives them. Process 0 copies the grids it holds whole and gathers those it
    // does not: either way the whole grids it reads hold the value of every owned cell (copies
    // nodata elsewhere; the slope and fractions it holds whole are read from the store, uncopied),
    // and the slides of a step equal the whole-grid pass.
    const bool root = talvo_test::Rank() == 0;
    for (int r = 1; r <= 4; ++r) {
        int first = 0, last = 0;
        for (int c = 1; c <= 5; ++c)
            if (zone_[r][c] != -9999) {
                if (first == 0) first = c;
                last = c;
            } else {
                regions_[r][c] = -9999;
            }
        for (int c = 0; c <= 5; ++c) helper_[r][c] = 0;
        helper_[r][0] = root ? first - 1 : 0;
        helper_[r][1] = root ? regions_[r][first] : first;
        helper_[r][2] = last - first + 1;
    }
    memory_handling mh;
    Matrix ownRows;
    for (bool gathered : {false, true}) {
        Terrain();
        std::vector<Matrix*> inputs = {store_[1].grid, store_[2].grid, &G("slope_angle")};
        for (int d = 1; d <= 4; ++d) inputs.push_back(&G(StrFormat("slidefraction%d", d)));
        for (Matrix* m : std::span(inputs).subspan(1))
            for (int r = m->firstRow(); r <= m->lastRow(); ++r)
                for (int c = 1; c <= 5; ++c)
                    if (zone_[r][c] == -9999) (*m)[r][c] = 700 + 10 * r + c;
        if (gathered) {
            // Process 0 holds only its own rows of one direction's fractions.
            ownRows = mh.matrix(settings_.firstRow, settings_.lastRow, 1, 5, 4);
            for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
                for (int c = 1; c <= 5; ++c) ownRows[r][c] = G("slidefraction3")[r][c];
            Drop("slidefraction3");
            Register("slidefraction3", &ownRows);
        }
        Drop("GlacierizedCells");
        SectionOptions o;
        o.method = 8;
        o.slideMassFrac = 0.3;
        auto snow = FrozenSnow(o);
        if (root && talvo_test::Size() > 1) {
            const Matrix* copies[] = {&snow->zoneWhole, &snow->elevationWhole, &snow->slopeWhole,
                                      &snow->slideFractionWhole[1], &snow->slideFractionWhole[2],
                                      &snow->slideFractionWhole[3], &snow->slideFractionWhole[4]};
            for (int k = 0; k < 7; ++k) {
                // The zones (nodata outside the regions here), the slope and the fractions process
                // 0 holds whole are read from the store (the slides read the slope and fractions
                // only at owned cells); the elevation and a grid held in part are copies.
                const bool copied = k == 1 || (gathered && k == 5);
                EXPECT_EQ(copies[k]->empty(), !copied) << gathered << " grid " << k;
                const Matrix& read = copied ? *copies[k] : *inputs[static_cast<std::size_t>(k)];
                for (int r = 1; r <= 4; ++r)
                    for (int c = 1; c <= 5; ++c) {
                        const double value = (*inputs[static_cast<std::size_t>(k)])[r][c];
                        if (zone_[r][c] != -9999 || copied) {
                            EXPECT_EQ(read[r][c], zone_[r][c] == -9999 ? -9999 : value)
                                << gathered << " grid " << k << " " << r << "," << c;
                        }
                    }
            }
        }
        ForOwn([&](int r, int c) {
            snow->solid.data[r][c] = Solid(r, c);
            snow->liquid.data[r][c] = 0.05 * Solid(r, c);
        });
        snow->run(12, 5, 1, 2020);
        Reference ref;
        BuildReference(ref, *snow, false);
        glacier::SlidePass(ref.g, {o.minSlideSlope, o.slideMassFrac});
        ForOwn([&](int r, int c) {
            EXPECT_NEAR(snow->total.data[r][c], (*ref.g.T)[r][c], 1e-12) << gathered << " " << r << "," << c;
            EXPECT_NEAR(snow->deposition.data[r][c], (*ref.g.deposition)[r][c], 1e-12) << gathered << " " << r << "," << c;
        });
    }
}

TEST_F(SlidesMpi, ZonesWithACellOutsideEveryRegionAreCopiedWithNodataThere) {
    // A zone cell no process owns: process 0 cannot read the zones from the store, its copy holds
    // nodata there, and the elevation order names every other basin cell once (one process owns
    // every cell).
    Terrain();
    Drop("GlacierizedCells");
    int basin = 0, outR = 0, outC = 0;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (zone_[r][c] == -9999) continue;
            ++basin;
            if (outR == 0) outR = r, outC = c;
        }
    regions_[outR][outC] = -9999;
    SectionOptions o;
    o.method = 8;
    auto snow = FrozenSnow(o);
    if (talvo_test::Rank() != 0) return;
    EXPECT_TRUE(snow->slideOrder_.usable);
    if (talvo_test::Size() == 1) {
        EXPECT_EQ(snow->slideOrder_.cells.size(), static_cast<std::size_t>(basin));
        return;
    }
    EXPECT_EQ(snow->slideOrder_.cells.size(), static_cast<std::size_t>(basin - 1));
    ASSERT_FALSE(snow->zoneWhole.empty());
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            EXPECT_EQ(snow->zoneWhole[r][c], r == outR && c == outC ? -9999 : zone_[r][c]) << r << "," << c;
}

TEST_F(SlidesMpi, GridsOfTheSetUpHoldNodataOutsideTheBasinAndZeroInColumnZero) {
    // The zero grids on every process and the slide grids of process 0: 0 (or the limit, or the
    // order) in the basin cells, nodata in every other cell, 0 in column 0, as grids cleared at
    // allocation and filled cell by cell hold them. Compared as bits, so that -0 does not pass.
    Terrain();
    Drop("GlacierizedCells");
    SectionOptions o;
    o.method = 8;
    auto snow = FrozenSnow(o);
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    auto expectRows = [&](const Matrix& m, int first, int last, auto basinValue, const char* name) {
        for (int r = first; r <= last; ++r) {
            ASSERT_TRUE(m.holds(r)) << name << " " << r;
            EXPECT_TRUE(same(m[r][0], 0.0)) << name << " row " << r;
            for (int c = 1; c <= 5; ++c) {
                const double want = zone_[r][c] == -9999 ? -9999.0 : basinValue(r, c);
                EXPECT_TRUE(same(m[r][c], want)) << name << " " << r << "," << c << " " << m[r][c];
            }
        }
    };
    auto zero = [](int, int) { return 0.0; };
    for (auto* g : {&snow->inputMass, &snow->mobileMass, &snow->deposition})
        expectRows(g->data, snow->workFirstRow, snow->workLastRow, zero, g->fileName.c_str());
    for (auto* g : {&snow->snowFraction, &snow->rainFraction, &snow->outflow, &snow->meltOnly, &snow->daysSnow})
        expectRows(g->data, settings_.firstRow, settings_.lastRow, zero, g->fileName.c_str());
    if (talvo_test::Rank() != 0) return;
    Reference ref;
    BuildReference(ref, *snow, false);
    expectRows(snow->maxDeposition.data, 1, 4, [&](int r, int c) { return (*ref.g.maxDeposition)[r][c]; }, "limit");
    ExpectOrderOfTheReference(*snow, ref);
}

namespace {

TEST_F(SlidesMpi, ZeroGridsOfAWarmStartHoldZeroBesideTheStoresReadFromFiles) {
    // The stores of a warm start come from files; the grids that start at zero must not take
    // their values, however the zero grids of the set-up are made.
    Terrain();
    Drop("GlacierizedCells");
    const std::pair<const char*, double> files[] = {{"solid.asc", 12}, {"liquid.asc", 1.5}, {"total.asc", 13.5},
                                                    {"days.asc", 4},   {"age.asc", 6},      {"stemp.asc", 270},
                                                    {"surftemp.asc", 265}};
    for (const auto& [name, value] : files) {
        std::string text = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n";
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) text += std::to_string(value) + (c < 5 ? " " : "\n");
        submodel_test::WriteShared(name, text);
    }
    SectionOptions o;
    o.method = 8;
    o.readStorage = 1;
    auto snow = FrozenSnow(o);
    ForOwn([&](int r, int c) { EXPECT_EQ(snow->solid.data[r][c], 12.0) << r << "," << c; });
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    auto expectZero = [&](const Matrix& m, int first, int last, const std::string& name) {
        for (int r = first; r <= last; ++r) {
            ASSERT_TRUE(m.holds(r)) << name << " " << r;
            EXPECT_TRUE(same(m[r][0], 0.0)) << name << " row " << r;
            for (int c = 1; c <= 5; ++c)
                EXPECT_TRUE(same(m[r][c], zone_[r][c] == -9999 ? -9999.0 : 0.0)) << name << " " << r << "," << c;
        }
    };
    for (auto* g : {&snow->inputMass, &snow->mobileMass, &snow->deposition})
        expectZero(g->data, snow->workFirstRow, snow->workLastRow, g->fileName);
    for (auto* g : {&snow->snowFraction, &snow->rainFraction, &snow->outflow, &snow->meltOnly})
        expectZero(g->data, settings_.firstRow, settings_.lastRow, g->fileName);
}

}  // namespace
