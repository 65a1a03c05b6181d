#pragma once
// A small model domain on a set-up object, as the first initialisation steps leave it: the
// geometry, the zone grid at store index 1 (all rows on process 0, the own rows with their halo
// elsewhere), the elevation model at index 2, the decomposition over the processes of the
// test, the zone ranking, and given standard grids. The derived-grid steps are then called
// directly.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "kernel/gridio.hpp"
#include "setup/defltuzr.hpp"
#include "setup/derivedgrids.hpp"
#include "setup/mpiregions.hpp"
#include "setup_fixture.hpp"

namespace setup_test {

constexpr double kNd = -9999.0;
using Rows = std::vector<std::vector<double>>;

// The text grid the writer produces for values (row 1 first).
inline std::string GridText(const Rows& v, double xll, double yll, double cs) {
    std::string text = StrFormat("ncols\t%d\nnrows\t%d\nxllcorner\t%g\nyllcorner\t%g\ncellsize\t%g\nnodata_value\t%g\n",
                                 static_cast<int>(v[0].size()), static_cast<int>(v.size()), xll, yll, cs, kNd);
    for (const auto& row : v) {
        for (std::size_t c = 0; c < row.size(); ++c) text += StrFormat(c ? "\t%g" : "%g", row[c]);
        text += "\n";
    }
    return text;
}

// An nrows x ncols grid of f(r, c) (1-based).
template <class F>
Rows Fill(int nrows, int ncols, F f) {
    Rows out(static_cast<std::size_t>(nrows), std::vector<double>(static_cast<std::size_t>(ncols)));
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) out[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] = f(r, c);
    return out;
}
// f(r, c) on the valid cells of zone, nodata elsewhere.
template <class F>
Rows OnZone(const Rows& zone, F f) {
    return Fill(static_cast<int>(zone.size()), static_cast<int>(zone[0].size()), [&](int r, int c) {
        return zone[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] == kNd ? kNd : f(r, c);
    });
}
inline Rows OnZone(const Rows& zone, double v) { return OnZone(zone, [v](int, int) { return v; }); }

// Slope and aspect as one process computes them over the whole elevation model.
inline void WholeGridSlopeAspect(const Rows& terrain, double cellsize, Rows* slope, Rows* aspect) {
    const int nr = static_cast<int>(terrain.size()), nc = static_cast<int>(terrain[0].size());
    memory_handling mh;
    Matrix e = mh.matrix(1, nr, 1, nc, nr), s = mh.matrix(1, nr, 1, nc, nr), a = mh.matrix(1, nr, 1, nc, nr);
    for (int r = 1; r <= nr; ++r)
        for (int c = 1; c <= nc; ++c) e[r][c] = terrain[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
    ComputeSlopeAspect(e, &s, &a, nr, nc, cellsize, kNd);
    *slope = Fill(nr, nc, [&](int r, int c) { return s[r][c]; });
    *aspect = Fill(nr, nc, [&](int r, int c) { return a[r][c]; });
}

// Slope and aspect written out plainly: every cell of the whole grid from its four neighbours
// (the first and last row and column nodata), then each grid's gaps (nodata at a valid
// elevation) filled in row order with the mean of the valid ones of their eight neighbours.
inline void ReferenceSlopeAspect(const Rows& e, double cs, double nodata, Rows* slope, Rows* aspect) {
    const int nr = static_cast<int>(e.size()), nc = static_cast<int>(e[0].size());
    const auto at = [](const Rows& g, int r, int c) { return g[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)]; };
    *slope = Fill(nr, nc, [&](int r, int c) {
        if (r == 1 || r == nr || c == 1 || c == nc) return nodata;
        const double n = at(e, r - 1, c), s = at(e, r + 1, c), w = at(e, r, c - 1), east = at(e, r, c + 1);
        if (n == nodata || s == nodata || w == nodata || east == nodata) return nodata;
        const double dx = (east - w) / (2 * cs), dy = (n - s) / (2 * cs);
        return (dx == 0 && dy == 0) ? 0.0 : std::atan(std::sqrt(dx * dx + dy * dy)) * 57.29577951307855;
    });
    *aspect = Fill(nr, nc, [&](int r, int c) {
        if (r == 1 || r == nr || c == 1 || c == nc) return nodata;
        const double n = at(e, r - 1, c), s = at(e, r + 1, c), w = at(e, r, c - 1), east = at(e, r, c + 1);
        if (n == nodata || s == nodata || w == nodata || east == nodata) return nodata;
        const double dx = (east - w) / (2 * cs), dy = (n - s) / (2 * cs);
        if (dx == 0) return dy > 0 ? 180.0 : 0.0;
        return 180 - std::atan(dy / dx) * 57.29577951307855 + 90 * (dx / std::fabs(dx));
    });
    for (Rows* g : {slope, aspect})
        for (int r = 1; r <= nr; ++r)
            for (int c = 1; c <= nc; ++c) {
                if (at(e, r, c) == nodata || at(*g, r, c) != nodata) continue;
                double sum = 0;
                int n = 0;
                for (int i = std::max(r - 1, 1); i <= std::min(r + 1, nr); ++i)
                    for (int j = std::max(c - 1, 1); j <= std::min(c + 1, nc); ++j)
                        if ((i != r || j != c) && at(*g, i, j) != nodata) sum += at(*g, i, j), ++n;
                if (n > 0) (*g)[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] = sum / n;
            }
}

class SmallDomainTest : public SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        gridio::SetRetryWait([](int) {});
    }
    void TearDown() override {
        setup_.reset();
        gridio::SetRetryWait(nullptr);
        SetupTest::TearDown();
    }

    // Sections every test control file carries.
    static std::string Control(const std::string& extra) { return "[region_transition_distance]\n40\n" + extra; }

    // Builds the domain; zone and elevation rows are given for the whole grid.
    void Build(const Rows& zone, const Rows& elevation, double xll = 1000, double yll = 2000, double cs = 10,
               const std::string& zoneFile = "basin.asc", const std::string& demFile = "dem.grd",
               const std::string& control = Control("")) {
        WriteShared("basin.ctl", control);
        WriteShared("MpiSpeedFactor.dat", "1.0\n");
        unsigned error = 1;
        setup_ = std::make_unique<defaultini>(error, log_.get(), "basin.ctl", 2, store_.get());
        ASSERT_EQ(error, 0u);
        defaultini& s = *setup_;
        s.controlFileName = "basin.ctl";
        s.textOutput = true;
        s.nrows = static_cast<int>(zone.size());
        s.ncols = static_cast<int>(zone[0].size());
        s.xllcorner = xll;
        s.yllcorner = yll;
        s.cellsize = cs;
        s.nodata = kNd;
        zoneData_ = zone;
        elevationData_ = elevation;

        // Process 0 holds the whole zone grid and elevation model from the start.
        if (s.rank == 0) {
            zone_ = Filled(1, s.nrows, zone);
            if (!elevation.empty()) elevation_ = Filled(1, s.nrows, elevation);
        }
        s.RegisterSetupGrid(zoneFile, "[zone_grid]", &zone_, 0, 1, s.nrows);
        if (!elevation.empty()) s.RegisterSetupGrid(demFile, "[elevation_model]", &elevation_, 0, 1, s.nrows);

        DecompositionResult res;
        CreateMPIRegions(s, &zone_, decomposition_, res, [&](DecompositionGrids& g, int lo, int hi) {
            s.RegisterSetupGrid("MPIRegions", "MPIRegions", &g.regions, 0, lo, hi);
            s.RegisterSetupGrid("MPIHelper", "MPIHelper", &g.helper, 0, lo, hi);
            s.RegisterSetupGrid("MPIHalo", "MPIHalo", &g.halo, 0, g.halo.firstRow(), g.halo.lastRow());
        });
        s.firstRow = res.ownFirstRow;
        s.lastRow = res.ownLastRow;
        *s.sendHalo = res.sendHalo;
        *s.recvHalo = res.recvHalo;

        // The zone ranking of the initialisation, from the zone grid's definition.
        GridDefinition zoneDefinition;
        zoneDefinition.index = 1;
        zoneDefinition.fileName = zoneFile;
        zoneDefinition.internalName = "[zone_grid]";
        s.GridDefinitions().insert(s.GridDefinitions().begin(), std::move(zoneDefinition));
        s.RankZones();

        // The other processes receive their zone cells from process 0.
        int lo = 0, hi = 0;
        s.SharedGridRows(&lo, &hi);
        if (s.rank != 0) {
            zone_ = s.matrix(lo, hi, 1, s.ncols, s.nrows);
            zone_.fill(kNd);
            (*store_)[1].firstRow = lo;
            (*store_)[1].lastRow = hi;
            if (!elevation.empty()) {
                elevation_ = Filled(lo, hi, elevation);
                (*store_)[2].firstRow = lo;
                (*store_)[2].lastRow = hi;
            }
        }
        s.FindDecompositionGrids();
        s.MPIScatterGrid(1);
        s.MPIExchangeHalo(1);
    }

    // A standard grid of the control file over the shared rows; returns its store index.
    int Given(const std::string& file, const std::string& name, const Rows& values, long writeCode = 0) {
        int lo = 0, hi = 0;
        setup_->SharedGridRows(&lo, &hi);
        given_.push_back(Filled(lo, hi, values));
        return setup_->RegisterSetupGrid(file, name, &given_.back(), writeCode, lo, hi);
    }
    int Given(const std::string& file, const std::string& name, double value, long writeCode = 0) {
        return Given(file, name, Rows(zoneData_.size(), std::vector<double>(zoneData_[0].size(), value)), writeCode);
    }

    // The control file's definition of the grid at a store index.
    GridDefinition& Define(int index) {
        GridDefinition d;
        d.index = index;
        d.fileName = (*store_)[index].fileName;
        d.internalName = (*store_)[index].internalName;
        setup_->GridDefinitions().push_back(std::move(d));
        return setup_->GridDefinitions().back();
    }

    Matrix Filled(int lo, int hi, const Rows& values) {
        memory_handling mh;
        Matrix m = mh.matrix(lo, hi, 1, static_cast<int>(values[0].size()), static_cast<int>(values.size()));
        for (int r = lo; r <= hi; ++r)
            for (int c = 1; c <= m.ncols(); ++c)
                m[r][c] = values[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
        return m;
    }


    // Every row this process holds of the grid named name equals expected (exactly, or within
    // tolerance).
    void ExpectHeldRows(const std::string& name, const Rows& expected, double tolerance = 0) {
        const int index = setup_->FindGrid(name, true);
        ASSERT_GT(index, 0) << name;
        const Matrix& m = *(*store_)[index].grid;
        int held = 0;
        for (int r = 1; r <= setup_->nrows; ++r) {
            if (!m.holds(r)) continue;
            ++held;
            for (int c = 1; c <= setup_->ncols; ++c) {
                const double want = expected[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
                if (tolerance > 0)
                    ASSERT_NEAR(m[r][c], want, tolerance) << name << " row " << r << " column " << c;
                else
                    ASSERT_EQ(m[r][c], want) << name << " row " << r << " column " << c << " on process "
                                             << setup_->rank;
            }
        }
        EXPECT_GT(held, 0) << name;
    }

    // The cells this process owns and its halo cells of the grid named name equal expected:
    // what a grid read and distributed by the kernel guarantees.
    void ExpectOwnCells(const std::string& name, const Rows& expected) {
        const int index = setup_->FindGrid(name, true);
        ASSERT_GT(index, 0) << name;
        const Matrix& m = *(*store_)[index].grid;
        const Matrix* owners = setup_->mpiRegions;
        auto check = [&](int r, int c) {
            ASSERT_TRUE(m.holds(r)) << name << " row " << r;
            ASSERT_EQ(m[r][c], expected[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)])
                << name << " row " << r << " column " << c << " on process " << setup_->rank;
        };
        for (int r = setup_->firstRow; r <= setup_->lastRow; ++r)
            for (int c = 1; c <= setup_->ncols; ++c)
                if (setup_->size == 1 || (*owners)[r][c] == setup_->rank) check(r, c);
        for (const HaloRecord& h : *setup_->recvHalo)
            for (int c = h.firstCol; c < h.firstCol + h.count; ++c) check(h.row, c);
    }

public:
    // Process 0 may have written a file; every process sees it after the barrier.
    static std::string SharedFile(const std::string& path) {
        MPI_Barrier(MPI_COMM_WORLD);
        return talvo_test::ReadFile(path);
    }
    static bool Exists(const std::string& path) {
        MPI_Barrier(MPI_COMM_WORLD);
        FILE* f = std::fopen(path.c_str(), "r");
        if (f) std::fclose(f);
        return f != nullptr;
    }

    // A derived grid's write that fails on process 0 ends every process with the same nonzero
    // code, and the others name process 0 in their log.
    template <class F>
    void ExpectFailedWriteStopsEveryProcess(F&& step) {
        const int code = ErrorCode(step);
        EXPECT_NE(code, 0);
        std::vector<int> codes(static_cast<std::size_t>(setup_->size));
        MPI_Allgather(&code, 1, MPI_INT, codes.data(), 1, MPI_INT, MPI_COMM_WORLD);
        for (int c : codes) EXPECT_EQ(c, code);
        if (setup_->rank != 0) {
            EXPECT_TRUE(Logged("writing a derived grid failed on process 0"));
        }
    }

protected:

    std::unique_ptr<defaultini> setup_;
    Matrix zone_, elevation_;
    Rows zoneData_, elevationData_;
    DecompositionGrids decomposition_;
    std::deque<Matrix> given_;
};

}  // namespace setup_test
