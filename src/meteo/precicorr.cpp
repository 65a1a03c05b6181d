// Construction of the precipitation correction and the evaluation of an interpolator at a point.
#include "meteo/precicorr.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "meteo/meteoint.hpp"

precicorrclass::precicorrclass(unsigned& error, DiagLog* log_, const std::vector<meteointerpol*>& inputs,
                               const std::vector<std::string>& names, const SubmodelSettings& s)
    : modelobject(log_, s.controlFileName, 0, s.textOutput, s.doublePrecision, s.record) {
    SetModuleName("precipitation_correction");
    CatchIntoError(error, [&] { Construct(inputs, names, s); });
}

void precicorrclass::ReadSection() {
    controlFile = OpenFile(controlFileName, "rt");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
    SeekSection("[precipitation_correction]", true);
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &doIt, "do_it fuer ");
    ReadValue(f, "%lf", &k_.threshold, "Grenztemperatur fuer ");
    // The correction factor constant + slope * wind speed multiplies the precipitation: with a
    // negative constant or slope it could make precipitation negative.
    ReadBoundedValue(f, "%lf", &k_.constantRain, "Konstante Regen fuer ", bound::NonNegative);
    ReadBoundedValue(f, "%lf", &k_.slopeRain, "Anstieg Regen fuer ", bound::NonNegative);
    ReadBoundedValue(f, "%lf", &k_.constantSnow, "Konstante Schnee fuer ", bound::NonNegative);
    ReadBoundedValue(f, "%lf", &k_.slopeSnow, "Anstieg Schnee fuer ", bound::NonNegative);
}

bool precicorrclass::SuperpositionSwitchedOn() {
    int on = 0;
    if (SeekSection("[RegionalSuperposition]", false) == 0) return false;
    if (std::fscanf(ControlStream(), "%d", &on) != 1) return false;
    return on != 0;
}

int precicorrclass::FindInterpolator(const std::vector<meteointerpol*>& inputs,
                                     const std::vector<std::string>& names, const std::string& name) {
    const std::size_t n = std::min(inputs.size(), names.size());
    for (std::size_t i = 1; i < n; ++i)
        if (names[i] == name && inputs[i] != nullptr) return static_cast<int>(i);
    return 0;
}

void precicorrclass::Construct(const std::vector<meteointerpol*>& inputs, const std::vector<std::string>& names,
                               const SubmodelSettings& s) {
    ReadSection();
    const bool superposition = SuperpositionSwitchedOn();
    std::FILE* f = controlFile.release();
    if (std::fclose(f) != 0) {
        FailOnFile(*log, "error closing" + controlFileName, 11);
    }
    if (doIt == 0) return;

    TakeGridOfSettings(*this, s);
    regionSets_ = std::max(s.regionCount, 1);

    const int p = FindInterpolator(inputs, names, "precipitation");
    if (p == 0) notAllInterpolators_ = true;
    precipitation_ = p > 0 ? inputs[static_cast<std::size_t>(p)] : nullptr;
    precipitationGrid_ = (*gridStore)[GetGridIndex("precipitation")].grid;

    // Temperature and wind: an interpolator, else a grid of that name, else absent.
    auto lookUp = [&](const std::string& name, meteointerpol*& ip, const Matrix*& grid, bool& absent) {
        const int i = FindInterpolator(inputs, names, name);
        if (i > 0) {
            ip = inputs[static_cast<std::size_t>(i)];
            grid = (*gridStore)[GetGridIndex(name)].grid;
            return;
        }
        const int g = FindGrid(name);
        if (g > 0) {
            notAllInterpolators_ = true;
            grid = (*gridStore)[g].grid;
        } else {
            absent = true;
        }
    };
    lookUp("temperature", temperature_, temperatureGrid_, temperatureAbsent_);
    lookUp("wind_speed", wind_, windGrid_, windAbsent_);
    const double gridN = std::fabs(nodata);
    precipitationN_ = precipitation_ != nullptr ? precipitation_->N : gridN;
    temperatureN_ = temperature_ != nullptr ? temperature_->N : gridN;
    windN_ = wind_ != nullptr ? wind_->N : gridN;

    if (notAllInterpolators_) {
        // The station variant needs every input as an interpolator; it then leaves
        // precipitation as it is.
        if (!superposition)
            *log << "WARNING: precipitation, temperature or wind_speed of " << moduleName
                 << " is a grid and not interpolated: with regional superposition off precipitation is not "
                    "corrected"
                 << "[end-entry]";
        return;
    }
    method_ = precipitation_->method;
    if (method_ == 2 || method_ == 10)
        stations_ = 1;
    else
        stations_ = precipitation_->HasStations() ? precipitation_->Station(0).StationCount() : 0;
    stationTemperature_.assign(static_cast<std::size_t>(stations_) + 1, 0.0);
    stationWind_.assign(static_cast<std::size_t>(stations_) + 1, 0.0);
}

void precicorrclass::BlendScenario(meteointerpol& ip) const {
    if (ip.SzenUse != 1) return;
    std::int64_t h = 0, d = 0, m = 0, y = 0;
    ip.GetDate(&h, &d, &m, &y);
    ip.UpdateScenario(d, m);
}

std::pair<int, int> precicorrclass::CellOf(double x, double y) const {
    const int row = std::clamp(nrows - static_cast<int>((y - yllcorner) / cellsize), 1, std::max(nrows, 1));
    const int col = std::clamp(static_cast<int>((x - xllcorner) / cellsize) + 1, 1, std::max(ncols, 1));
    return {row, col};
}

const meteointerpol::PointCell& precicorrclass::PointCellOf(meteointerpol& ip, int row, int column) {
    auto& cells = pointCells_[&ip];
    const long key = static_cast<long>(row) * (ncols + 1) + column;
    const auto it = cells.find(key);
    if (it != cells.end()) return it->second;
    std::vector<meteointerpol::PointCell> one(1);
    one[0].row = row;
    one[0].column = column;
    ip.SharePointCells(one);
    return cells[key] = one[0];
}

void precicorrclass::SharePointCells() {
    pointCells_.clear();
    std::vector<meteointerpol::PointCell> cells;
    auto add = [&](double x, double y) {
        const auto [row, column] = CellOf(x, y);
        for (const auto& p : cells)
            if (p.row == row && p.column == column) return;
        meteointerpol::PointCell p;
        p.row = row;
        p.column = column;
        cells.push_back(p);
    };
    if (method_ != 2 && method_ != 10 && stations_ > 0) {
        StationFile& file = precipitation_->Station(0);
        for (int i = 1; i <= stations_; ++i) add(file.X()[static_cast<std::size_t>(i)], file.Y()[static_cast<std::size_t>(i)]);
    }
    add(nodata, nodata);
    for (meteointerpol* ip : {temperature_, wind_}) {
        // Only bilinear methods, the station mesh methods and scenario grids need values of the
        // cells.
        const bool needed = ip != nullptr && (ip->method == 5 || ip->method == 6 || ip->method == 7 ||
                                              ip->method == 8 ||
                                              (ip->SzenUse == 1 && (ip->SzenMeth == 5 || ip->SzenMeth == 6)));
        if (!needed) continue;
        BlendScenario(*ip);
        std::vector<meteointerpol::PointCell> shared = cells;
        ip->SharePointCells(shared);
        auto& map = pointCells_[ip];
        for (const auto& p : shared) map[static_cast<long>(p.row) * (ncols + 1) + p.column] = p;
    }
}

double precicorrclass::InterpolateAtPoint(meteointerpol& ip, double* buffer, double x, double y, double z) {
    BlendScenario(ip);
    // The point turned against the anisotropy of the interpolator, about the lower-left corner.
    double tx = x, ty = y;
    if (ip.anisotropyRatio < 1.0 && x != nodata && y != nodata) {
        const double dx = x - xllcorner, dy = y - yllcorner;
        const double r = std::sqrt(dx * dx + dy * dy);
        double angle = dx == 0 ? (dy >= 0 ? 1.570796326795 : -1.570796326795) : std::atan2(dy, dx);
        angle -= ip.anisotropySlope;
        tx = xllcorner + r * std::cos(angle);
        ty = yllcorner + r * std::sin(angle);
    }
    const auto [row, col] = CellOf(x, y);
    const double invalid = -ip.N - 1;
    const bool stations = ip.HasStations();
    double v = invalid;
    switch (ip.method) {
        case 1:
            v = ip.anisotropyRatio < 1.0 ? ip.IDWWeightsAnisotropic(tx, ty, 0, buffer) : ip.IDWWeights(x, y, 0, buffer);
            break;
        case 2:
        case 10:
            v = ip.RegressionValue(x, y, z);
            break;
        case 3:
        case 11: {
            const double idw = ip.IDWWeights(x, y, 0, buffer);
            const double reg = ip.RegressionValue(x, y, z);
            const double w = ip.idwFraction;
            if (idw < -ip.N)
                v = reg;
            else if (reg < -ip.N)
                v = idw;
            else
                v = w * idw + (1 - w) * reg;
            break;
        }
        case 4:
            v = ip.Thiessen(x, y, 0);
            break;
        case 5:
        case 6: {
            // Between the look-up stations of the point's cell, which every process knows from
            // the process holding the cell; the gradient of method 6 applies at the cell's
            // elevation (the point's own where no process holds the cell).
            const meteointerpol::PointCell& cell = PointCellOf(ip, row, col);
            v = ip.Bilinear(tx, ty, 0, cell.corners, buffer);
            if (ip.method == 6 && !(v < -ip.N)) {
                const double second = ip.Bilinear(tx, ty, 1, cell.corners, buffer);
                const double h = cell.held && cell.elevation != nodata ? cell.elevation : z;
                v = second < -ip.N ? invalid : v + second * h;
            }
            break;
        }
        case 12: {
            const bool upperGiven = ip.fixedUpperLapse > -9998.0;
            v = ip.ThiessenWithLapseRate(x, y, z, ip.lapseRate, upperGiven ? ip.inversionHeight : -9999.0,
                                         upperGiven ? ip.fixedUpperLapse : -9999.0);
            break;
        }
        default: {
            // Methods 7-9: the station nearest to the cell's coordinates, which every process
            // knows from the process holding the cell (they follow the cell sizes where these
            // vary); a cell without coordinates (outside the zone grid or held by no process)
            // takes its lower-left corner. The grid list of method 9 has no stations.
            if (!stations) break;
            const meteointerpol::PointCell& cell = PointCellOf(ip, row, col);
            const bool known = cell.held && cell.coordX != nodata && cell.coordY != nodata;
            v = ip.Thiessen(known ? cell.coordX : xllcorner + (col - 1) * cellsize,
                            known ? cell.coordY : yllcorner + (nrows - row) * cellsize, 0);
            break;
        }
    }
    if (v < -ip.N) return v;
    v *= ip.scalingFactor;
    if (v < ip.lowerLimit)
        v = ip.lowerReplacement;
    else if (v > ip.upperLimit)
        v = ip.upperReplacement;
    if (ip.SzenUse == 1) {
        // Scenario grids hold the rows of their process: the cell's value comes from the process
        // holding it; a cell without a value changes nothing.
        double change = ip.SzenMeth == 1 || ip.SzenMeth == 6 ? 0.0 : 1.0;
        if (ip.SzenMeth == 5 || ip.SzenMeth == 6) {
            const meteointerpol::PointCell& cell = PointCellOf(ip, row, col);
            if (cell.held && cell.scenario != nodata) change = cell.scenario;
        } else {
            change = ip.ScenarioChange(x, y, row, col);
        }
        v = ip.SzenMeth == 1 || ip.SzenMeth == 6 ? v + change : v * change;
    }
    return v;
}
