// meteointerpol: what is prepared once at construction from the station coordinates. The mesh
// direction of the stations (methods 5-8), the anisotropy check with the rotated station
// coordinates, the grids of rotated cell coordinates, the average distance between neighbouring
// stations, the look-up stations of bilinear interpolation (methods 5, 6) and the station mesh
// with its splines (methods 7, 8).
#include <mpi.h>

#include <algorithm>
#include <cmath>

#include "meteo/meteoint.hpp"

namespace {

constexpr double kHalfPi = 1.570796326795;
constexpr double kPi = 3.14159265359;

// A point rotated by -theta around (x0, y0).
void Rotate(double x, double y, double x0, double y0, double theta, double* rx, double* ry) {
    const double dx = x - x0;
    const double dy = y - y0;
    const double r = std::sqrt(dx * dx + dy * dy);
    double alpha;
    if (dx == 0) {
        alpha = dy > 0 ? kHalfPi : -kHalfPi;
    } else {
        alpha = std::atan2(dy, dx);
    }
    *rx = x0 + r * std::cos(alpha - theta);
    *ry = y0 + r * std::sin(alpha - theta);
}

// Histogram class of a direction in degrees within [-90, 90]: ten-degree classes around
// 0, 10, ..., 170 degrees (directions taken modulo 180).
int DirectionClass(double degrees) {
    return static_cast<int>(std::fmod(static_cast<int>(std::fmod(degrees + 365.0, 360.0) / 10.0), 18.0));
}

}  // namespace

void meteointerpol::PrepareStations() {
    const bool mesh = method >= 5 && method <= 8;
    if (mesh) DetermineMeshDirection();
    anisotropySlope *= 0.017453292519944444;
    CreateRotatedCoordinates();
    CheckAnisotropy();
    MeanStationDistances();
    if (method == 5 || method == 6) ChooseLookUpStations(MeteoInputFiles::StationFileCount(method));
    if (method == 7 || method == 8) StationMeshToGrid(0);
}

void meteointerpol::DetermineMeshDirection() {
    const StationFile& f = Station(0);
    const int n = f.StationCount();
    const std::vector<double>& x = f.X();
    const std::vector<double>& y = f.Y();
    const auto at = [](int k) { return static_cast<std::size_t>(k); };
    // Nearest neighbour of every station; a pair is not taken twice in both directions unless
    // the other candidates are clearly farther away.
    std::vector<int> neighbour(at(n) + 1, -9999);
    for (int k = 1; k <= n; ++k) {
        double best = 1e300, smallest = 1e300;
        int bestJ = 0, smallestJ = 0;
        for (int j = 1; j <= n; ++j) {
            if (j == k) continue;
            const double d2 = (x[at(j)] - x[at(k)]) * (x[at(j)] - x[at(k)]) + (y[at(j)] - y[at(k)]) * (y[at(j)] - y[at(k)]);
            if (d2 < smallest) {
                smallest = d2;
                smallestJ = j;
            }
            if (neighbour[at(j)] == k) continue;
            if (d2 < best) {
                best = d2;
                bestJ = j;
            }
        }
        if (smallestJ == 0) continue;
        neighbour[at(k)] = (bestJ == 0 || best > 1.01 * smallest) ? smallestJ : bestJ;
    }
    // Directions folded into [-90, 90] degrees and their histogram.
    std::vector<double> direction(at(n) + 1, 0.0);
    std::array<int, 18> counts{};
    for (int k = 1; k <= n; ++k) {
        const int j = neighbour[at(k)];
        if (j < 1) continue;
        double a = std::atan2(y[at(j)] - y[at(k)], x[at(j)] - x[at(k)]);
        if (a > kHalfPi) a -= kPi;
        if (a < -kHalfPi) a += kPi;
        direction[at(k)] = a * 180.0 / kPi;
        ++counts[static_cast<std::size_t>(DirectionClass(direction[at(k)]))];
    }
    int winner = 0;
    for (int c = 1; c < 18; ++c)
        if (counts[static_cast<std::size_t>(c)] > counts[static_cast<std::size_t>(winner)]) winner = c;
    // Mean direction of the winning class, directions taken in [0, 180) like the classes
    // (class 0 around 0 degrees from -5 to 5). Taken in [0, 360), a class of negative
    // directions (-30 degrees is class 15 at 150) would have no member near it, and the mesh
    // would count as unturned.
    double sum = 0;
    int members = 0;
    for (int k = 1; k <= n; ++k) {
        if (neighbour[at(k)] < 1 || DirectionClass(direction[at(k)]) != winner) continue;
        double d = std::fmod(direction[at(k)] + 180.0, 180.0);
        if (winner == 0 && d > 5) d -= 180.0;
        if (std::fabs(d - 10.0 * winner) > 5.0) continue;
        sum += d;
        ++members;
    }
    double mean = members > 0 ? sum / members : 0.0;
    if (mean > 45) mean -= 90.0;
    if (std::fabs(mean) > 0.001) {
        anisotropySlope = mean;
        anisotropyRatio = 0.995;
    } else {
        anisotropySlope = 0;
        anisotropyRatio = 1.0;
    }
    *log << "DEBUG: mesh direction of the stations of " << name << ": " << anisotropySlope << " degree"
         << "[end-entry]";
}

void meteointerpol::CheckAnisotropy() {
    weightingMode = static_cast<int>(std::floor(1000.0 * idwWeight));
    if (anisotropySlope < -kHalfPi || anisotropySlope > kHalfPi) {
        *log << "FATAL: anisotropy slope has to range from -90 to +90 degree \n" << "[end-entry]";
        throw ModelError(54);
    }
    if (anisotropyRatio <= 0 || anisotropyRatio > 1) {
        *log << "FATAL: ratio of anisotropy has to range from +1 to >0 liegen" << "[end-entry]";
        throw ModelError(54);
    }
    for (int i = 0; i < MeteoInputFiles::StationFileCount(method); ++i) {
        const StationFile& f = input_->Station(i);
        const auto file = static_cast<std::size_t>(i);
        auto& rx = stationRotX[file];
        auto& ry = stationRotY[file];
        rx = f.X();
        ry = f.Y();
        stationDistance[file].assign(rx.size(), 0.0);
        for (std::size_t k = 1; k < rx.size(); ++k) {
            stationDistance[file][k] = std::hypot(f.X()[k] - xllcorner, f.Y()[k] - yllcorner);
            if (anisotropyRatio < 1) Rotate(f.X()[k], f.Y()[k], xllcorner, yllcorner, anisotropySlope, &rx[k], &ry[k]);
        }
    }
}

void meteointerpol::CreateRotatedCoordinates() {
    if (!(anisotropyRatio < 1) || MeteoInputFiles::StationFileCount(method) == 0) return;
    rotatedX = matrix(firstRow, lastRow, 1, ncols, nrows);
    rotatedY = matrix(firstRow, lastRow, 1, ncols, nrows);
    for (int r = firstRow; r <= lastRow; ++r) {
        for (int c = 1; c <= ncols; ++c) {
            if ((*coordX)[r][c] == nodata) {
                rotatedX[r][c] = rotatedY[r][c] = nodata;
                continue;
            }
            Rotate((*coordX)[r][c], (*coordY)[r][c], xllcorner, yllcorner, anisotropySlope, &rotatedX[r][c],
                   &rotatedY[r][c]);
        }
    }
    for (int k = 0; k < 2; ++k) {
        const int index = FirstFreeGridIndex();
        if (index >= 1000) {
            *log << "FATAL: no more free grids in memeory, (max. " << 1000 << ")!" << "[end-entry]";
            throw ModelError(12);
        }
        const std::string grid = (k == 0 ? "CoordXRot_" : "CoordYRot_") + name;
        RegisterGrid(index, grid, k == 0 ? &rotatedX : &rotatedY, nullptr, 0, grid, 0, firstRow, lastRow);
        (k == 0 ? rotatedXIndex : rotatedYIndex) = index;
    }
}

void meteointerpol::MeanStationDistances() {
    *log << "calculating average horizontal and vertical distance to the next station..." << "[end-entry]";
    const auto& x = stationRotX[0];
    const auto& y = stationRotY[0];
    const int n = Station(0).StationCount();
    double hSum = 0, vSum = 0;
    int hCount = 0, vCount = 0;
    for (int k = 1; k <= n; ++k) {
        double h = -9999.0, v = -9999.0;
        for (int j = 1; j <= n; ++j) {
            const double dx = x[static_cast<std::size_t>(j)] - x[static_cast<std::size_t>(k)];
            const double dy = y[static_cast<std::size_t>(j)] - y[static_cast<std::size_t>(k)];
            const double d = std::sqrt(dx * dx + dy * dy);
            if (std::fabs(dy) <= std::fabs(dx) && dx > 0 && (h < -1000 || d < h)) h = d;
            if (std::fabs(dy) > std::fabs(dx) && dy > 0 && (v < -1000 || d < v)) v = d;
        }
        if (h > -1000) {
            hSum += h;
            ++hCount;
        }
        if (v > -1000) {
            vSum += v;
            ++vCount;
        }
    }
    meanHorizontal = hCount > 0 ? hSum / hCount : -9999.0;
    meanVertical = vCount > 0 ? vSum / vCount : -9999.0;
    *log << "avg. horizontal distance: " << meanHorizontal << " m" << "[end-entry]";
    *log << "avg. vertical   distance: " << meanVertical << " m" << "[end-entry]";
    boxFraction = 0.25;
}

int meteointerpol::FindStationInBox(double px, double py, double xFrom, double xTo, double yFrom,
                                    double yTo) const {
    const auto& x = stationRotX[0];
    const auto& y = stationRotY[0];
    const int n = input_->Station(0).StationCount();
    for (int k = 1; k <= n; ++k) {
        const auto i = static_cast<std::size_t>(k);
        if (px + xFrom < x[i] && x[i] < px + xTo && py + yFrom < y[i] && y[i] < py + yTo) return k;
    }
    return 0;
}

bool meteointerpol::AnyNonZero(const int* flags, int n) const {
    for (int k = 1; k <= n; ++k)
        if (flags[k] != 0) return true;
    return false;
}

int meteointerpol::FindNeighbour(int station, int dx, int dy) const {
    if (station < 1) return 0;
    const double f = boxFraction;
    const double H = meanHorizontal, V = meanVertical;
    const double px = stationRotX[0][static_cast<std::size_t>(station)];
    const double py = stationRotY[0][static_cast<std::size_t>(station)];
    if (dx != 0) {
        const double from = dx > 0 ? (1 - f) * H : -(1 + f) * H;
        const double to = dx > 0 ? (1 + f) * H : -(1 - f) * H;
        return FindStationInBox(px, py, from, to, -f * V, f * V);
    }
    const double from = dy > 0 ? (1 - f) * V : -(1 + f) * V;
    const double to = dy > 0 ? (1 + f) * V : -(1 - f) * V;
    return FindStationInBox(px, py, -f * H, f * H, from, to);
}

void meteointerpol::ChooseLookUpStations(int files) {
    if (method != 5 && method != 6) return;
    FindDecompositionGrids();
    const auto rowCells = static_cast<std::size_t>(ncols) + 1;
    lookUp_.assign(static_cast<std::size_t>(std::max(lastRow - firstRow + 1, 0)) * rowCells, {0, 0, 0, 0});
    *log << "choosing look-up-stations..." << "[end-entry]";
    const Matrix& cx = rotatedX ? rotatedX : *coordX;
    const Matrix& cy = rotatedY ? rotatedY : *coordY;
    // Every file has the stations of the first; Bilinear takes the corners found for it.
    for (int r = firstRow; r <= lastRow; ++r) {
        for (int c = 1; c <= ncols; ++c) {
            if ((*zoneGrid)[r][c] == nodata || (mpiRegions != nullptr && (*mpiRegions)[r][c] != rank)) continue;
            lookUp_[static_cast<std::size_t>(r - firstRow) * rowCells + static_cast<std::size_t>(c)] =
                CornersAt(cx[r][c], cy[r][c]);
        }
    }
    const std::string dots(static_cast<std::size_t>(std::max(lastRow - firstRow + 1, 0)), '.');
    for (int i = 0; i < files; ++i) *log << dots << "[end-entry]";
}

std::array<int, 4> meteointerpol::CornersAt(double x, double y) const {
    const auto& sx = stationRotX[0];
    const auto& sy = stationRotY[0];
    const int n = input_->Station(0).StationCount();
    int k = 0;
    double best = 1e30;
    for (int j = 1; j <= n; ++j) {
        const auto i = static_cast<std::size_t>(j);
        const double d2 = (sx[i] - x) * (sx[i] - x) + (sy[i] - y) * (sy[i] - y);
        if (d2 < best) {
            best = d2;
            k = j;
        }
    }
    if (k == 0) return {0, 0, 0, 0};
    const bool left = sx[static_cast<std::size_t>(k)] - x <= 0;
    const bool lower = sy[static_cast<std::size_t>(k)] - y <= 0;
    int ur, ul, ll, lr;
    if (left && lower) {
        ll = k;
        ul = FindNeighbour(k, 0, 1);
        ur = FindNeighbour(ul, 1, 0);
        lr = FindNeighbour(k, 1, 0);
    } else if (left) {
        ul = k;
        ll = FindNeighbour(k, 0, -1);
        lr = FindNeighbour(ll, 1, 0);
        ur = FindNeighbour(k, 1, 0);
    } else if (lower) {
        lr = k;
        ll = FindNeighbour(k, -1, 0);
        ul = FindNeighbour(ll, 0, 1);
        ur = FindNeighbour(k, 0, 1);
    } else {
        ur = k;
        ul = FindNeighbour(k, -1, 0);
        ll = FindNeighbour(ul, 0, -1);
        lr = FindNeighbour(k, 0, -1);
    }
    return {ur, ul, ll, lr};
}

void meteointerpol::SharePointCells(std::vector<PointCell>& cells) {
    const Matrix* cx = rotatedX ? &rotatedX : coordX;
    const Matrix* cy = rotatedY ? &rotatedY : coordY;
    const Matrix* elevation = gridStore != nullptr ? (*gridStore)[2].grid : nullptr;
    const bool scenarioCells = SzenUse == 1 && (SzenMeth == 5 || SzenMeth == 6);
    const std::size_t n = cells.size();
    // The holder of each cell's row: the lowest rank among the processes whose rows hold it.
    std::vector<int> mine(n), holder(n);
    for (std::size_t i = 0; i < n; ++i) mine[i] = cells[i].row >= firstRow && cells[i].row <= lastRow ? rank : size;
    MPI_Allreduce(mine.data(), holder.data(), static_cast<int>(n), MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    constexpr std::size_t kFields = 6;
    std::vector<double> values(kFields * n, 0.0), all(kFields * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (holder[i] != rank) continue;
        const int r = cells[i].row, c = cells[i].column;
        double* v = &values[kFields * i];
        v[0] = cx != nullptr && cx->holds(r) ? (*cx)[r][c] : nodata;
        v[1] = cy != nullptr && cy->holds(r) ? (*cy)[r][c] : nodata;
        v[2] = elevation != nullptr && elevation->holds(r) ? (*elevation)[r][c] : nodata;
        v[3] = scenarioCells && scenarioGrid.holds(r) ? scenarioGrid[r][c] : nodata;
        v[4] = coordX != nullptr && coordX->holds(r) ? (*coordX)[r][c] : nodata;
        v[5] = coordY != nullptr && coordY->holds(r) ? (*coordY)[r][c] : nodata;
    }
    // Only the holder gives a cell's values; the others add zeros, which leaves them exact.
    MPI_Allreduce(values.data(), all.data(), static_cast<int>(kFields * n), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    const bool bilinear = (method == 5 || method == 6) && !stationRotX[0].empty();
    for (std::size_t i = 0; i < n; ++i) {
        PointCell& p = cells[i];
        p.held = holder[i] < size;
        const double* v = &all[kFields * i];
        p.x = p.held ? v[0] : nodata;
        p.y = p.held ? v[1] : nodata;
        p.elevation = p.held ? v[2] : nodata;
        p.scenario = p.held ? v[3] : nodata;
        p.coordX = p.held ? v[4] : nodata;
        p.coordY = p.held ? v[5] : nodata;
        p.corners = bilinear && p.x != nodata && p.y != nodata ? CornersAt(p.x, p.y) : std::array<int, 4>{0, 0, 0, 0};
    }
}

int meteointerpol::LookUpStation(int row, int column, Corner corner) const {
    if (lookUp_.empty() || row < firstRow || row > lastRow || column < 1 || column > ncols) return 0;
    const std::size_t cell =
        static_cast<std::size_t>(row - firstRow) * (static_cast<std::size_t>(ncols) + 1) + static_cast<std::size_t>(column);
    return lookUp_[cell][static_cast<std::size_t>(corner)];
}

void meteointerpol::StationMeshToGrid(int file) {
    const int n = Station(file).StationCount();
    const auto& x = stationRotX[0];
    const auto& y = stationRotY[0];
    std::vector<int> unplaced(static_cast<std::size_t>(n) + 1, 1);
    unplaced[0] = 0;
    meshColumns_.clear();
    while (AnyNonZero(unplaced.data(), n)) {
        int start = 0;
        double smallest = 1e40;
        for (int k = 1; k <= n; ++k) {
            if (unplaced[static_cast<std::size_t>(k)] != 0 && x[static_cast<std::size_t>(k)] < smallest) {
                smallest = x[static_cast<std::size_t>(k)];
                start = k;
            }
        }
        // The column starts at its lowest station, whatever the order of the stations in the
        // file; then it is followed upwards.
        for (int below = FindNeighbour(start, 0, -1); below != 0 && unplaced[static_cast<std::size_t>(below)] != 0;
             below = FindNeighbour(start, 0, -1))
            start = below;
        std::vector<int> column;
        for (int s = start; s != 0 && unplaced[static_cast<std::size_t>(s)] != 0; s = FindNeighbour(s, 0, 1)) {
            column.push_back(s);
            unplaced[static_cast<std::size_t>(s)] = 0;
        }
        meshColumns_.push_back(std::move(column));
    }
    for (const auto& column : meshColumns_) {
        if (column.size() == meshColumns_.front().size()) continue;
        *log << "FATAL: Error converting the station coordinates into a grid:\nThe actual version of Talvo-Vey "
                "accepts only station meshs\nwith an equal number of more or less equally spaced stations\nin each "
                "column, whereas the total number of both, rows \nand columns, are each virtually unlimited\n"
             << "[end-entry]";
        throw ModelError(70);
    }
    const int cols = static_cast<int>(meshColumns_.size());
    const int rows = cols > 0 ? static_cast<int>(meshColumns_.front().size()) : 0;
    *log << "station mesh of " << name << ": " << rows << " rows, " << cols << " columns" << "[end-entry]";
    splineGrid_ = matrix(firstRow, lastRow, 1, ncols, nrows);
    splineGrid_.fill(nodata);
    if (method == 8) {
        secondSplineGrid_ = matrix(firstRow, lastRow, 1, ncols, nrows);
        secondSplineGrid_.fill(nodata);
    }
    // Without stations the spline grids keep nodata and every cell falls back to IDW.
    if (rows == 0) return;
    // Mesh row 1 is the northern row, as the splines take their source points.
    meshX_ = matrix(1, rows, 1, cols, rows);
    meshY_ = matrix(1, rows, 1, cols, rows);
    meshValues_ = matrix(1, rows, 1, cols, rows);
    for (int j = 1; j <= cols; ++j) {
        for (int i = 1; i <= rows; ++i) {
            const int s = meshColumns_[static_cast<std::size_t>(j - 1)][static_cast<std::size_t>(rows - i)];
            meshX_[i][j] = x[static_cast<std::size_t>(s)];
            meshY_[i][j] = y[static_cast<std::size_t>(s)];
        }
    }
    SplineSetup setup;
    setup.sourceRows = rows;
    setup.sourceCols = cols;
    setup.sourceX = &meshX_;
    setup.sourceY = &meshY_;
    setup.dx = meanHorizontal;
    setup.dy = meanVertical;
    setup.modelRows = nrows;
    setup.modelCols = ncols;
    setup.coordX = rotatedX ? &rotatedX : coordX;
    setup.coordY = rotatedY ? &rotatedY : coordY;
    setup.nodata = nodata;
    setup.fill = nodata;
    setup.cellsize = cellsize;
    setup.refinement = 1;
    setup.centreX = xllcorner;
    setup.centreY = yllcorner;
    setup.angle = anisotropySlope;
    // The south-western mesh station, unrotated: the splines rotate it as the stations are.
    const int sw = meshColumns_.front().front();
    setup.referenceX = Station(file).X()[static_cast<std::size_t>(sw)];
    setup.referenceY = Station(file).Y()[static_cast<std::size_t>(sw)];
    setup.log = log;
    splines_ = std::make_unique<TSplines>(setup);
}

void meteointerpol::SplineToGrid(int file, Matrix& target) {
    const std::vector<double>& v = Station(file).Values();
    for (std::size_t j = 1; j <= meshColumns_.size(); ++j) {
        const std::vector<int>& column = meshColumns_[j - 1];
        const std::size_t rows = column.size();
        for (std::size_t i = 1; i <= rows; ++i) {
            const double value = v[static_cast<std::size_t>(column[rows - i])];
            meshValues_[static_cast<int>(i)][static_cast<int>(j)] = value < -N ? nodata : value;
        }
    }
    splines_->SetupColumns(meshValues_);
    splines_->InterpolateRaster(target);
}

void meteointerpol::EvaluateSplines() {
    if (!splines_) return;
    // Two equal abscissae stop the run (error 82) on whichever processes meet them; all
    // processes agree on the failure so that none waits for the others.
    int code = 0;
    try {
        SplineToGrid(0, splineGrid_);
        if (method == 8) SplineToGrid(1, secondSplineGrid_);
    } catch (const ModelError& e) {
        code = e.code();
    }
    int initialized = 0;
    MPI_Initialized(&initialized);
    int agreed = code;
    if (initialized != 0) MPI_Allreduce(&code, &agreed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    if (agreed == 0) return;
    *log << "FATAL: the splines over the station mesh of " << name << " cannot be evaluated (error " << agreed
         << ")" << "[end-entry]";
    throw ModelError(agreed);
}
