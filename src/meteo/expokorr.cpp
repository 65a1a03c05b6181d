// Construction of the radiation correction: the section, the grids it reads and those it
// publishes.
#include "meteo/expokorr.hpp"

#include <algorithm>
#include <cstdio>

#include "kernel/threading.hpp"

expokorrklasse::expokorrklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "radiation_correction", s, 1) {
    CatchIntoError(error, [&] { Construct(); });
}

expokorrklasse::~expokorrklasse() {
    if (gridStore == nullptr) return;
    for (int index : {nightIndex_, corrTemperatureIndex_, shadowIndex_, correctionIndex_, effectiveIndex_})
        if (index > 0) ReleaseGrid(index);
}

void expokorrklasse::Construct() {
    LogBanner("expokorr");
    ReadModuleSection(false);
    if (zoneIndex == nullptr) return;
    if (hourOffset < 0) hourOffset = 0;
    if (flowControl != 0) ReadSection();
    LookUpGrids();
    if (flowControl != 0) RegisterOwnGrids();
    // With long steps the night temperature is a grid of its own, also with the module off.
    if (timeInterval > 720.0 && temperature_ != nullptr)
        nightIndex_ = RegisterNew(nightTemperature_, false, "$$temperature_night$$", "temperature_night", 0);
}

void expokorrklasse::ReadSection() {
    const std::string tail = "[" + moduleName + "]";
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &method_, "methode of correction for ");
    ReadValue(f, "%s", &temperatureFile_, "name of the TKORR-Grid for");
    ReadValue(f, "%ld", &temperatureCode_, "Writegrid EXKORR for ");
    ReadValue(f, "%lf", &scaling_, "scaling factor for Tkorr for ");
    ReadValue(f, "%s", &correctionFile_, "name of the EXKORR-Grids for");
    ReadValue(f, "%ld", &correctionCode_, "Writegrid EXKORR for ");
    ReadValue(f, "%s", &shadowFile_, "name of the SHAPE-Grid for");
    ReadValue(f, "%ld", &shadowCode_, "Writegrid SHAPE for ");
    ReadValue(f, "%d", &interval_, "number if timesteps for ");
    ReadValue(f, "%d", &splittings_, "number of splittings for ");
    std::FILE* stream = controlFile.release();
    if (std::fclose(stream) != 0) {
        FailOnFile(*log, "error closing control file " + controlFileName, 11);
    }
    if (method_ < 1 || method_ > 4) method_ = 2;
    // The sun's path is followed in this many sub-steps: fewer than one has no sub-step.
    if (splittings_ < 1) {
        *log << "FATAL: error in control file, number of splittings for " << tail << " is " << splittings_
             << ", it must be at least 1" << "[end-entry]";
        throw ModelError(17);
    }
    // Nor can a sub-step be shorter than a second: a huge count would never end the step.
    const double longest = std::max(1.0, timeInterval * 60.0);
    if (splittings_ > longest) {
        *log << "FATAL: error in control file, number of splittings for " << tail << " is " << splittings_
             << ", it must be at most " << longest << " (sub-steps of at least one second in a step of "
             << timeInterval << " minutes)" << "[end-entry]";
        throw ModelError(17);
    }
}

void expokorrklasse::LookUpGrids() {
    int t = FindGrid("temperature");
    if (t == 0) t = FindGrid("temperature_14");
    temperature_ = t > 0 ? (*gridStore)[t].grid : nullptr;
    if (flowControl == 0 && !(timeInterval > 720.0)) return;
    FindDecompositionGrids();
    useUnits_ = settings.spinUpSwitch != 0;
    if (useUnits_) {
        GetGridIndex("HydrologicResponseUnits");
        masterUnits_ = (*gridStore)[GetGridIndex("MasterHydrologicResponseUnits")].grid;
    }
    if (flowControl == 0) return;
    elevation_ = (*gridStore)[GetGridIndex("[elevation_model]")].grid;
    aspect_ = (*gridStore)[GetGridIndex("slope_aspect")].grid;
    slope_ = (*gridStore)[GetGridIndex("slope_angle")].grid;
    const int s = FindGrid("sunshine_duration");
    sunshine_ = s > 0 ? (*gridStore)[s].grid : nullptr;

    // The orientation of the cells is fixed: prepared once, a cell without slope or aspect
    // (nodata) counts as horizontal.
    const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
    const int rows = std::max(lastRow - firstRow + 1, 0);
    orientation_.assign(static_cast<std::size_t>(rows) * stride, radiation::CellOrientation{});
    part_.assign(static_cast<std::size_t>(rows) * stride, 0);
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = ColumnFrom(r); c <= ColumnTo(r); ++c)
            if (TakesPart(r, c)) {
                const std::size_t i = static_cast<std::size_t>(r - firstRow) * stride + static_cast<std::size_t>(c);
                part_[i] = 1;
                orientation_[i] = radiation::OrientationOf((*slope_)[r][c], (*aspect_)[r][c], nodata);
            }
}

int expokorrklasse::RegisterNew(Matrix& grid, bool wholeGrid, const std::string& fileName, const std::string& name,
                                long writeCode) {
    const int index = FirstFreeGridEntry(*gridStore);
    if (index >= 1000) {
        *log << "FATAL: no free grid left" << 1000 << "[end-entry]";
        throw ModelError(12);
    }
    const int r1 = wholeGrid ? 1 : firstRow;
    const int r2 = wholeGrid ? nrows : lastRow;
    // Every cell of every row is set below, so the values are not cleared first.
    grid = UnsetMatrix(r1, r2, 1, ncols, nrows);
#pragma omp parallel for schedule(static) if (WorthThreads(r1, r2, ncols))
    for (int r = r1; r <= r2; ++r)
        for (int c = 1; c <= ncols; ++c)
            grid[r][c] = (zoneGrid->holds(r) && (*zoneGrid)[r][c] != nodata) ? 0.0 : nodata;
    RegisterGrid(index, fileName, &grid, nullptr, 0, name, writeCode, r1, r2);
    return index;
}

void expokorrklasse::RegisterOwnGrids() {
    correctionIndex_ = RegisterNew(correction_, false, correctionFile_, "radiation_correction", correctionCode_);
    // Process 0 marches alone over the whole shadow grid unless the march is shared out.
    shadowIndex_ = RegisterNew(shadow_, Shading() && rank == 0 && !SharedMarch(), shadowFile_, "Shadow", shadowCode_);
    effectiveIndex_ = RegisterNew(effective_, false, "Ieff_max", "Ieff_max", 0);
    if ((method_ == 2 || method_ == 4) && temperature_ != nullptr)
        corrTemperatureIndex_ =
            RegisterNew(corrTemperature_, false, temperatureFile_, "corr_temperature", temperatureCode_);
}

bool expokorrklasse::TakesPart(int r, int c) const {
    if ((*zoneGrid)[r][c] == nodata) return false;
    if (mpiRegions != nullptr && (*mpiRegions)[r][c] != rank) return false;
    return !useUnits_ || (*masterUnits_)[r][c] != nodata;
}

int expokorrklasse::ColumnFrom(int r) const {
    const bool ranged = basinColumns != nullptr && static_cast<std::size_t>(r) < basinColumns->size();
    return std::max(ranged ? (*basinColumns)[static_cast<std::size_t>(r)].first : 1, 1);
}

int expokorrklasse::ColumnTo(int r) const {
    const bool ranged = basinColumns != nullptr && static_cast<std::size_t>(r) < basinColumns->size();
    return std::min(ranged ? (*basinColumns)[static_cast<std::size_t>(r)].last : ncols, ncols);
}
