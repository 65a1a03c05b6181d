// Glacier grids of the snow model (created or read at construction), the glacier records of
// the dynamic methods and the whole-grid inputs of the slides on process 0.
#include <mpi.h>

#include "kernel/mpirows.hpp"
#include "surface/snowmod.hpp"

const Matrix& schneemodellklasse::WholeZones() const { return zoneWhole.empty() ? *zoneGrid : zoneWhole; }

const Matrix& schneemodellklasse::WholeElevation() const {
    return elevationWhole.empty() ? *elevation : elevationWhole;
}

void schneemodellklasse::CreateInsideGrid(OwnGrid& grid, const char* name, bool workRows, bool read) {
    const int first = workRows ? workFirstRow : firstRow;
    const int last = workRows ? workLastRow : lastRow;
    // A read grid holds nodata where the file gives this process no value (outside the basin,
    // where the rows are shared), as the whole file gives it at one process.
    grid.data = read ? FilledMatrix(first, last, 1, ncols, nrows, nodata) : matrix(first, last, 1, ncols, nrows);
    if (read) {
        ReadGrid(ExpandPath(inputPath, grid.fileName), &grid.data, 0, false, false, nodata, false,
                 wholeGrid && workRows);
    } else {
        for (int r = first; r <= last; ++r) {
            if (!grid.data.holds(r)) continue;
            for (int c = 1; c <= ncols; ++c) grid.data[r][c] = InsideSoilZones(r, c) ? 0.0 : nodata;
        }
    }
    RegisterOwn(grid, name, first, last);
}

void schneemodellklasse::CreateGlacierGrids() {
    if (glacierMethod == 0) return;
    CreateInsideGrid(meltFirn, "melt_from_firn", false, false);
    CreateInsideGrid(meltIce, "melt_from_ice", false, false);
    if (glacier::IsDynamic(glacierMethod)) CreateDynamicGlacierGrids();
}

void schneemodellklasse::CreateDynamicGlacierGrids() {
    const bool read = readGlacierGrids == 1;
    const int first = workFirstRow, last = workLastRow;
    const Matrix& frac = FractionView();
    const Matrix& z = WholeElevation();
    // Firn stack: level 0 and the 2-D grid hold the sum of the levels.
    if (read) {
        firn_levels = ReadStack(ExpandPath(inputPath, firn.fileName), &firnStack, wholeGrid);
        firn.data = matrix(first, last, 1, ncols, nrows);
        for (int r = first; r <= last; ++r)
            if (firn.data.holds(r) && firnStack.holds(r))
                for (int c = 1; c <= ncols; ++c) firn.data[r][c] = firnStack[r][c][0];
    } else {
        firnStack = matrix3d(first, last, 1, ncols, firn_levels, nrows);
        firn.data = matrix(first, last, 1, ncols, nrows);
        for (int r = first; r <= last; ++r) {
            if (!firn.data.holds(r)) continue;
            for (int c = 1; c <= ncols; ++c) {
                double* levels = firnStack[r][c];
                const bool ice = InsideSoilZones(r, c) && frac.holds(r) && frac[r][c] > 0;
                if (!ice) {
                    for (int l = 0; l <= firn_levels; ++l) levels[l] = nodata;
                    firn.data[r][c] = nodata;
                    continue;
                }
                const double each = std::max(0.0, (z[r][c] - firn_base) * deltafirnper100m);
                for (int l = 1; l <= firn_levels; ++l) levels[l] = each;
                levels[0] = firn.data[r][c] = each * firn_levels;
            }
        }
    }
    firn.index = NextFreeEntry();
    RegisterGrid(firn.index, firn.fileName, &firn.data, &firnStack, firn_levels, "firn_WE_stack", firn.writeCode,
                 first, last);

    CreateInsideGrid(massBalance, "GlacierMassBalance", true, read);
    CreateInsideGrid(oldMassBalance, "OldGlacierMassBalance", true, read);
    if (read) {
        for (int r = first; r <= last; ++r) {
            if (!massBalance.data.holds(r)) continue;
            for (int c = 1; c <= ncols; ++c) {
                double& a = massBalance.data[r][c];
                double& b = oldMassBalance.data[r][c];
                if (a == nodata && b != nodata) a = b;
                if (b == nodata && a != nodata) b = a;
            }
        }
    }
    CreateInsideGrid(solidG, "SolidSnowStorage_onGlacier", true, read);
    CreateInsideGrid(liquidG, "LiquidSnowStorage_onGlacier", true, read);
    CreateInsideGrid(totalG, "TotalSnowStorage_onGlacier", true, read);
    if (snow::IsEnergyBalanceMethod(method)) {
        CreateInsideGrid(surfTempG, "surftemp_onGlacier", true, read);
        CreateInsideGrid(snowTempG, "snowtemp_onGlacier", true, read);
    }
    // Copies of the fraction and code grids as they were before the last change.
    const Matrix& codes = CodesView();
    for (auto [own, source, name] : {std::tuple{&fractionOld, &frac, "GlacierizedCellsOld"},
                                     std::tuple{&codesOld, &codes, "GlacierCodesOld"}}) {
        own->fileName = name;
        own->writeCode = 0;
        own->data = matrix(first, last, 1, ncols, nrows);
        for (int r = first; r <= last; ++r)
            if (own->data.holds(r))
                for (int c = 1; c <= ncols; ++c) own->data[r][c] = source->holds(r) ? (*source)[r][c] : nodata;
        RegisterOwn(*own, name, first, last);
    }
    CreateInsideGrid(meltG, "SnowMelt_onGlacier", false, false);
    CreateInsideGrid(evaporationG, "SnowEvaporation_onGlacier", false, false);
    StartGlacierRecords();
}

glacier::GlacierGrids schneemodellklasse::WholeGlacierGrids() {
    glacier::GlacierGrids g;
    g.zone = &WholeZones();
    g.elevation = &WholeElevation();
    g.fraction = &FractionView();
    g.codes = &CodesView();
    g.fractionOld = &fractionOld.data;
    g.codesOld = &codesOld.data;
    g.massBalance = &massBalance.data;
    g.oldMassBalance = &oldMassBalance.data;
    g.firn = &firn.data;
    g.firnStack = &firnStack;
    g.firnLevels = firn_levels;
    g.nrows = nrows;
    g.ncols = ncols;
    g.nodata = nodata;
    g.cellSize = cellsize;
    return g;
}

void schneemodellklasse::StartGlacierRecords() {
    glacierList.scaling = {VAscaling, VAexponent};
    glacierList.numBands = numElevBands;
    glacierList.extraWeight = extraWeightFactorBand0;
    glacierList.conversion = glacierConversion;
    int code = 0;
    if (rank == 0) {
        const glacier::GlacierGrids g = WholeGlacierGrids();
        const glacier::SubbasinConflict k = glacierList.Build(g);
        if (k.found) {
            *log << "FATAL: \n\n=======================================\n" << "!!!! ERROR !!!! \n\n" << "glacier "
                 << k.code << " is located in more than one subbasin:\n" << "First cell was found in subbasin "
                 << k.firstSubbasin << ",\n" << "whereas the cell in row " << k.row << " and col " << k.col
                 << " belongs to subbasin " << k.zone
                 << ".\nPlease make sure that each single glacier belongs to one specific subbasin only."
                 << "[end-entry]";
            code = 84;
        } else {
            glacierList.Start(g);
        }
    }
    MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (code != 0) throw ModelError(code);
}

void schneemodellklasse::GatherWholeInputs() {
    // Static whole grids of process 0 for the slide grids of the set-up and the steps (zones,
    // elevation, and for the slides the slope and the direction fractions): each holds the value
    // of every cell some process owns and nodata elsewhere, as a gather from the owners gives it.
    std::vector<const Matrix*> grids = {(*gridStore)[1].grid, (*gridStore)[2].grid};
    std::vector<Matrix*> copies = {&zoneWhole, &elevationWhole};
    if (snow::IsSlideMethod(method)) {
        grids.push_back((*gridStore)[GetGridIndex("slope_angle")].grid);
        copies.push_back(&slopeWhole);
        for (int d = 1; d <= 4; ++d) {
            grids.push_back((*gridStore)[GetGridIndex(StrFormat("slidefraction%d", d))].grid);
            copies.push_back(&slideFractionWhole[d]);
        }
    }
    if (!mpirows::Distributed(*this)) return;
    // Where process 0 holds a grid whole, a copy can be left out: the zones when they hold
    // nodata in every cell no process owns (the copy would equal them bit for bit), the slope
    // and the direction fractions always, as the slides read them only at cells of the whole
    // zones (owned cells), where a copy holds the store grid's value. The elevation is copied.
    std::vector<int> copied(grids.size(), 1);
    if (rank == 0) {
        auto whole = [&](const Matrix* m) {
            return m != nullptr && m->holds(1) && m->holds(nrows) && m->ncols() >= ncols;
        };
        copied[0] = whole(grids[0]) && whole(mpiRegions) && NodataWhereUnowned(*grids[0]) ? 0 : 1;
        for (std::size_t k = 2; k < grids.size(); ++k) copied[k] = whole(grids[k]) ? 0 : 1;
    }
    MPI_Bcast(copied.data(), static_cast<int>(copied.size()), MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<const Matrix*> copiedGrids;
    std::vector<Matrix*> copiesMade;
    for (std::size_t k = 0; k < grids.size(); ++k) {
        if (copied[k] == 0) continue;
        copiedGrids.push_back(grids[k]);
        copiesMade.push_back(copies[k]);
    }
    std::vector<Matrix> made = mpirows::WholeGridCopies(*this, copiedGrids, "the whole grids of the snow slides");
    if (rank != 0) return;
    for (std::size_t k = 0; k < copiedGrids.size(); ++k) *copiesMade[k] = std::move(made[k]);
}

bool schneemodellklasse::NodataWhereUnowned(const Matrix& grid) const {
    const Matrix& regions = *mpiRegions;
    const double none = nodata;
    for (int r = 1; r <= nrows; ++r) {
        const double* const owner = regions[r];
        const double* const value = grid[r];
        bool unownedValue = false;
        for (int c = 1; c <= ncols; ++c) unownedValue |= owner[c] == none && value[c] != none;
        if (unownedValue) return false;
    }
    return true;
}

void schneemodellklasse::GatherMaxDeposition() {
    // A deposition limit of the control file holds only the own rows; process 0 needs all.
    int fromStore = rank == 0 && maxDeposition.index == 0 ? 1 : 0;
    MPI_Bcast(&fromStore, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (fromStore != 0) {
        maxDepositionWhole = MPIGatherGridCopy(GetGridIndex("max_deposition"));
        if (!maxDepositionWhole.empty()) maxDepositionGrid = &maxDepositionWhole;
    }
}
