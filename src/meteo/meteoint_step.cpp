// meteointerpol: the time step. The date check, the progress line, the scenario change of the
// day, the grid of the step (method 9), the parallel cell loop and the zone statistics.
#include <omp.h>

#include <cmath>
#include <iomanip>

#include "kernel/signals.hpp"
#include "kernel/threading.hpp"
#include "meteo/meteoint.hpp"
#include "setup/spinup.hpp"

namespace {

// The interrupt signal keeps its default action while a grid is read; restored on every exit.
struct DefaultInterruptScope {
    DefaultInterruptScope() { DisableCtrlCHandler(); }
    ~DefaultInterruptScope() { ResetCtrlCHandler(); }
    DefaultInterruptScope(const DefaultInterruptScope&) = delete;
    DefaultInterruptScope& operator=(const DefaultInterruptScope&) = delete;
};

}  // namespace

bool meteointerpol::ProgressLineDue(std::int64_t stepHour) const {
    if (runInterval == 1) return true;
    return static_cast<std::int64_t>(hourOffset) % runInterval + stepHour == 0;
}

void meteointerpol::CheckStepDate(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) const {
    const MeteoDate& own = input_->Date();
    if (own == MeteoDate{h, d, m, y}) return;
    *log << "FATAL: -----------------------------------------------------------------------------\n"
            "error in date columns of "
         << name << "\n\nfirst Meteo data set (this is the set from which data is get:\n" << d << "." << m << "." << y
         << " " << h << ". h\n\nbut in " << name << ":\n" << own.day << "." << own.month << "." << own.year << " "
         << own.hour << ". h\n\n-----------------------------------------------------------------------------\n"
         << "[end-entry]";
    throw ModelError(52);
}

void meteointerpol::LogProgress(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) const {
    if (!ProgressLineDue(h)) return;
    *log << std::setw(20) << name << " " << d << "." << m << "." << y << " " << h << ". h "
         << (SzenUse == 1 ? "using scenarios!" : "") << "[end-entry]";
}

void meteointerpol::UpdateScenario(std::int64_t d, std::int64_t m) {
    const int month12 = static_cast<int>(((m - 1) % 12 + 12) % 12 + 1);
    if (SzenMeth == 5 || SzenMeth == 6) {
        if (month12 != scenarioMonth) LoadScenarioGrid(month12);
        return;
    }
    // The change of the day, interpolated between the monthly values around the 15th.
    auto length = [&](int k) { return static_cast<double>(daysPerMonth[static_cast<std::size_t>(k - 1)]); };
    const int previous = month12 == 1 ? 12 : month12 - 1;
    const int next = month12 == 12 ? 1 : month12 + 1;
    const auto day = static_cast<double>(d);
    for (auto& p : scenarioTable) {
        auto M = [&](int k) { return p[static_cast<std::size_t>(k + 2)]; };
        if (day < 16) {
            const double L = length(previous);
            p[15] = M(month12) * (L - 16 + day) / L + M(previous) * (16 - day) / L;
        } else {
            const double L = length(month12);
            p[15] = M(next) * (day - 15) / L + M(month12) * (L - day + 15) / L;
        }
    }
}

void meteointerpol::ReadGridOfStep() {
    DefaultInterruptScope scope;
    GridListFile& list = input_->GridList();
    if (list.GridName() == "-9999") {
        if (list.lastValidName.empty()) {
            *log << "FATAL: interpolation method 9 (read from grid) no valid grid name was found (-9999 as input) "
                    "and no last valid grid name present (i.e., simulation starts, when input list file contains "
                    "-9999 only)"
                 << "[end-entry]";
            throw ModelError(1050);
        }
        ReadGrid(list.lastValidName, &result, 0, false);
        return;
    }
    ReadGrid(list.GridName(), &result, 0, false);
    list.lastValidName = list.GridName();
}

namespace {

bool AnyValidValue(const StationFile& f, double N) {
    const std::vector<double>& v = f.Values();
    for (int k = 1; k <= f.StationCount(); ++k)
        if (!(v[static_cast<std::size_t>(k)] < -N)) return true;
    return false;
}

}  // namespace

bool meteointerpol::StepHasValues() {
    uniformStep_ = false;
    regressionValid_ = !(regression[RegressionFile::a1] < -N);
    if (method == 2 || method == 10) return regressionValid_;
    if (method == 9) return true;
    StationFile& f = Station(0);
    // Without any valid station value (in either file of the two-file methods) the step has no
    // data, the first step of the run as well.
    if (!AnyValidValue(f, N) || ((method == 6 || method == 8) && !AnyValidValue(Station(1), N))) return false;
    if (!f.AllEqual()) return true;
    std::vector<double>& v = f.Values();
    for (int k = 1; k <= f.StationCount(); ++k) {
        if (v[static_cast<std::size_t>(k)] < -N) continue;
        uniformStep_ = true;
        uniformValue_ = v[static_cast<std::size_t>(k)];
        v[1] = uniformValue_;
        return true;
    }
    return false;
}

std::pair<int, int> meteointerpol::BasinColumns(int r) const {
    const bool ranged = basinColumns != nullptr && static_cast<std::size_t>(r) < basinColumns->size();
    const int c1 = ranged ? (*basinColumns)[static_cast<std::size_t>(r)].first : 1;
    const int c2 = ranged ? (*basinColumns)[static_cast<std::size_t>(r)].last : ncols;
    return {std::max(c1, 1), std::min(c2, ncols)};
}

double meteointerpol::CellValue(int r, int c, double x, double y, double* weights, bool* noStation) const {
    const double xu = (*coordX)[r][c];
    const double yu = (*coordY)[r][c];
    const double z = (*elevation)[r][c];
    if (method == 2 || method == 10) return RegressionValue(xu, yu, z);
    const bool upperGiven = fixedUpperLapse > -9998.0;
    const double hi = upperGiven ? inversionHeight : -9999.0;
    const double upper = upperGiven ? fixedUpperLapse : -9999.0;
    if (uniformStep_) return method == 12 ? ThiessenWithLapseRate(xu, yu, z, lapseRate, hi, upper) : uniformValue_;
    const double missing = -N - 1;
    switch (method) {
        case 1:
        case 3:
        case 11: {
            const double idw = Idw(x, y, 0, weights);
            *noStation = idw < -N;
            // Without a station within reach the cell is missing rather than part regression,
            // part missing-value marker.
            if (method == 1 || !regressionValid_ || *noStation) return idw;
            return (1.0 - idwFraction) * RegressionValue(xu, yu, z) + idwFraction * idw;
        }
        case 4: return Thiessen(xu, yu, 0);
        case 5: return Bilinear(x, y, 0, r, c, weights);
        case 6: {
            const double gradient = Bilinear(x, y, 1, r, c, weights);
            const double base = Bilinear(x, y, 0, r, c, weights);
            return gradient < -N || base < -N ? missing : gradient * z + base;
        }
        case 7: {
            const double s = splineGrid_[r][c];
            return s == nodata || !std::isfinite(s) ? Idw(x, y, 0, weights) : s;
        }
        case 8: {
            const double s = splineGrid_[r][c];
            const double gradient = secondSplineGrid_[r][c];
            if (s == nodata || gradient == nodata || !std::isfinite(s) || !std::isfinite(gradient))
                return Idw(x, y, 0, weights);
            return gradient * z + s;
        }
        case 9: return result[r][c];
        case 12: return ThiessenWithLapseRate(xu, yu, z, lapseRate, hi, upper);
        default: return result[r][c];
    }
}

bool meteointerpol::UniformLoop() {
    // The nearest station with lapse rate still depends on the cell; the regression methods
    // never take a uniform step.
    if (!uniformStep_ || method == 12 || method == 2 || method == 10) return false;
    // Without scenario and scaling grid the finished value is the same for every cell: it is
    // computed once. Otherwise each cell finishes it with its coordinates, as the general loop.
    const bool perCell = SzenUse == 1 || scalingGrid != nullptr;
    const double same = perCell ? 0.0 : Finish(uniformValue_, 0.0, 0.0, firstRow, 1);
    const double v = uniformValue_;
    const std::size_t rowStride = static_cast<std::size_t>(ncols) + 1;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        double* row = result[r];
        unsigned char* flags = noStation_.data() + static_cast<std::size_t>(r - firstRow) * rowStride;
        const OwnRow own = OwnRowOf(r);
        const double* xs = perCell ? (*coordX)[r] : nullptr;
        const double* ys = perCell ? (*coordY)[r] : nullptr;
        const auto [c1, c2] = BasinColumns(r);
        for (int c = c1; c <= c2; ++c) {
            flags[c] = 0;
            if (!own.Own(c)) {
                row[c] = nodata;
                continue;
            }
            row[c] = perCell ? Finish(v, xs[c], ys[c], r, c) : same;
        }
    }
    return true;
}

void meteointerpol::CellLoop() {
    if (StationKernelLoop()) return;
    if (UniformLoop()) return;
    const int threads = std::max(omp_get_max_threads(), 1);
    const std::size_t need = static_cast<std::size_t>(threads) * static_cast<std::size_t>(scratchStride_);
    if (scratch_.size() < need) scratch_.resize(need);
    const Matrix& cx = rotatedX ? rotatedX : *coordX;
    const Matrix& cy = rotatedY ? rotatedY : *coordY;
    const std::size_t rowStride = static_cast<std::size_t>(ncols) + 1;
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
    {
        double* weights = scratch_.data() + static_cast<std::size_t>(omp_get_thread_num()) *
                                                static_cast<std::size_t>(scratchStride_);
#pragma omp for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            double* row = result[r];
            unsigned char* flags = noStation_.data() + static_cast<std::size_t>(r - firstRow) * rowStride;
            const auto [c1, c2] = BasinColumns(r);
            for (int c = c1; c <= c2; ++c) {
                flags[c] = 0;
                if (!OwnCell(r, c)) {
                    row[c] = nodata;
                    continue;
                }
                // IDW and bilinear interpolation use the rotated coordinates where they exist; Thiessen
                // and the regression use CoordX/CoordY.
                const double x = cx[r][c];
                const double y = cy[r][c];
                bool none = false;
                const double v = CellValue(r, c, x, y, weights, &none);
                flags[c] = none ? 1 : 0;
                row[c] = Finish(v, (*coordX)[r][c], (*coordY)[r][c], r, c);
            }
        }
    }
}

void meteointerpol::WarnCellsWithoutStation() const {
    if (method != 1 && method != 3 && method != 11) return;
    const Matrix& cx = rotatedX ? rotatedX : *coordX;
    const Matrix& cy = rotatedY ? rotatedY : *coordY;
    const std::size_t rowStride = static_cast<std::size_t>(ncols) + 1;
    const char* prefix = method == 1 ? "WARNING:  at x=" : "WARNING: at x=";
    // Logged after the loop in row order, so that the log is the same for any number of threads.
    for (int r = firstRow; r <= lastRow; ++r) {
        const unsigned char* flags = noStation_.data() + static_cast<std::size_t>(r - firstRow) * rowStride;
        const auto [c1, c2] = BasinColumns(r);
        for (int c = c1; c <= c2; ++c) {
            if (flags[c] == 0) continue;
            *log << prefix << cx[r][c] << ", y=" << cy[r][c] << " " << "no station within the specified search radius!"
                 << "[end-entry]";
        }
    }
}

// Cells of a hydrologic response unit take their master's value whether statistics are kept
// or not: the sub-models read the grid either way.
bool meteointerpol::AccumulateStatistics(bool deferTeam) {
    const bool statistics = statistics_->active();
    if (!statistics && !useResponseUnits) return false;
    // The fields the cells read, in locals: the copy from a master cell is a call the compiler
    // cannot see through.
    const int* positions = zoneIndex_ != nullptr ? zoneIndex_->data() : nullptr;
    const double zoneEntries = zoneIndex_ != nullptr ? static_cast<double>(zoneIndex_->size()) : 0.0;
    if (statistics && !useResponseUnits && omp_get_max_threads() > 1 && WorthThreads(firstRow, lastRow, ncols)) {
        if (deferTeam) {
            FindCellZones();
            return true;
        }
        AccumulateStatisticsThreaded();
        return false;
    }
    const double nd = nodata, lowest = -N, own = rank;
    // Cells outside a row's basin columns lie outside every zone.
    for (int r = firstRow; r <= lastRow; ++r) {
        const auto [c1, c2] = BasinColumns(r);
        const double* zones = (*zoneGrid)[r];
        const double* regions = mpiRegions != nullptr ? (*mpiRegions)[r] : nullptr;
        const double* masters = useResponseUnits ? (*masterResponseUnits)[r] : nullptr;
        const double* values = result[r];
        const zonalstatistic::RowAdder add = statistics_->Row(r);
        for (int c = c1; c <= c2; ++c) {
            const double z = zones[c];
            if (z == nd || (regions != nullptr && regions[c] != own)) continue;
            int position = 0;
            if (positions != nullptr && z >= 0 && z < zoneEntries) position = positions[static_cast<std::size_t>(z)];
            if (masters != nullptr && masters[c] == nd) CopyFromMasterCell(r, c);
            // Missing values are no data: a zone is summed and averaged over its valid cells.
            const double v = values[c];
            if (statistics && v != nd && !(v < lowest)) add.Add(c, position, v);
        }
    }
    return false;
}

void meteointerpol::FindCellZones() {
    const double nd = nodata;
    const auto stride = static_cast<std::size_t>(ncols) + 1;
    // The zone positions of the own cells stay from step to step: found at the first step.
    if (!cellZonesFound_) {
        const int* positions = zoneIndex_ != nullptr ? zoneIndex_->data() : nullptr;
        const double zoneEntries = zoneIndex_ != nullptr ? static_cast<double>(zoneIndex_->size()) : 0.0;
        const double own = rank;
        cellZones_.resize(static_cast<std::size_t>(std::max(lastRow - firstRow + 1, 0)) * stride);
#pragma omp parallel for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            const auto [c1, c2] = BasinColumns(r);
            const double* zones = (*zoneGrid)[r];
            const double* regions = mpiRegions != nullptr ? (*mpiRegions)[r] : nullptr;
            int* zoneOf = cellZones_.data() + static_cast<std::size_t>(r - firstRow) * stride;
            for (int c = c1; c <= c2; ++c) {
                const double z = zones[c];
                int position = -1;
                if (z != nd && (regions == nullptr || regions[c] == own)) {
                    position = 0;
                    if (positions != nullptr && z >= 0 && z < zoneEntries)
                        position = positions[static_cast<std::size_t>(z)];
                }
                zoneOf[c] = position;
            }
        }
    }
}

void meteointerpol::AccumulateStatisticsThreaded() {
    FindCellZones();
    AccumulateStatisticsTogether({this}, zoneTasks_);
}

void meteointerpol::AccumulateStatisticsTogether(const std::vector<meteointerpol*>& inputs, ZoneGroupTasks& tasks) {
    if (inputs.empty()) return;
    // Inputs of other rows than the first (none so far: they share the division) sum alone.
    for (meteointerpol* p : inputs)
        if (p->firstRow != inputs.front()->firstRow || p->lastRow != inputs.front()->lastRow) {
            for (meteointerpol* q : inputs) q->AccumulateStatisticsThreaded();
            return;
        }
    std::vector<const zonalstatistic*> statistics;
    bool zonesAsBefore = true;
    for (meteointerpol* p : inputs) {
        statistics.push_back(p->statistics_.get());
        zonesAsBefore = zonesAsBefore && p->cellZonesFound_;
        p->cellZonesFound_ = true;
    }
    const meteointerpol& front = *inputs.front();
    const int first = front.firstRow, last = front.lastRow;
    tasks.Run(
        statistics, first, last,
        [&](int s, int r) {
            const meteointerpol& p = *inputs[static_cast<std::size_t>(s)];
            const auto [c1, c2] = p.BasinColumns(r);
            const int* zones = p.cellZones_.data() + static_cast<std::size_t>(r - first) * (static_cast<std::size_t>(p.ncols) + 1);
            return ZoneGroupTasks::RowZones{zones, c1, c2};
        },
        [&](int s, int r) {
            const meteointerpol& p = *inputs[static_cast<std::size_t>(s)];
            const double* values = p.result[r];
            const double nd = p.nodata, lowest = -p.N;
            // A missing value adds nothing: a zone is averaged over its valid cells.
            return [values, nd, lowest](int c, auto&& to) {
                const double v = values[c];
                if (v != nd && !(v < lowest)) to(v, 1.0);
            };
        },
        zonesAsBefore);
}

// A cell of a hydrologic response unit that is not its master takes the master's value.
void meteointerpol::CopyFromMasterCell(int r, int c) {
    const double unitValue = (*responseUnits)[r][c];
    const std::size_t count = unitTable_ ? unitTable_->size() : 0;
    if (!(unitValue >= 0) || unitValue >= static_cast<double>(count)) {
        // The table comes from the set-up; a cell outside it keeps its own value.
        if (!unitWarningGiven_)
            *log << "WARNING: hydrologic response unit " << unitValue << " of " << name
                 << " is not in the unit table; the cell keeps its own value" << "[end-entry]";
        unitWarningGiven_ = true;
        return;
    }
    const HydrologicResponseUnit& unit = (*unitTable_)[static_cast<std::size_t>(unitValue)];
    if (result.holds(unit.row) && unit.column >= 1 && unit.column <= ncols) result[r][c] = result[unit.row][unit.column];
}

void meteointerpol::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    RunBeforeReduction(h, d, m, y);
    statistics_->Step(y, m, d, h, 1);
}

bool meteointerpol::RunBeforeReduction(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y,
                                       bool deferTeamStatistics) {
    CheckStepDate(h, d, m, y);
    // The write code's outputs (dated names, period sums and means, end-of-run grids) follow
    // the object's current date.
    hour = h;
    day = d;
    month = m;
    year = y;
    LogProgress(h, d, m, y);
    if (SzenUse == 1) UpdateScenario(d, m);
    if ((method == 10 || method == 11) && !regressionFitted_) ComputeElevationRegression(0);
    if (method == 9) ReadGridOfStep();
    if (mpiRegions == nullptr) FindDecompositionGrids();
    statistics_->Reset();
    if (StepHasValues()) {
        if ((method == 7 || method == 8) && !uniformStep_) EvaluateSplines();
        CellLoop();
        if (warningSwitch != 0) WarnCellsWithoutStation();
        nodataWarned_ = false;
    } else {
        // A step without any valid value has no data: its cells hold nodata, which the
        // sub-models take as a step without this input. One entry names the first date of each
        // such stretch.
        result.fill(nodata);
        if (!nodataWarned_)
            *log << "WARNING: no valid value of " << name << " for " << d << "." << m << "." << y << " " << h
                 << " h: the grid " << name << " holds nodata until a step brings valid values" << "[end-entry]";
        nodataWarned_ = true;
    }
    return AccumulateStatistics(deferTeamStatistics);
}
