// The step of the radiation correction: night temperature, the sub-steps of the sun's path with
// terrain shadow and incidence, then the correction factors and the corrected temperature.
#include <mpi.h>

#include <algorithm>
#include <cmath>

#include "kernel/nodata.hpp"
#include "kernel/threading.hpp"
#include "meteo/expokorr.hpp"

void expokorrklasse::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (zoneIndex == nullptr) return;
    CopyNightTemperature();
    if (flowControl == 0) return;
    if (stepCounter_ == 0) stepCounter_ = interval_;
    if (stepCounter_ < interval_) {
        ++stepCounter_;
        // The kept factors apply to this step's temperature: the corrected temperature follows
        // the temperature of every step, not that of the last recompute.
        hour = h;
        day = d;
        month = m;
        year = y;
        RefreshTemperature();
        // A temperature of every step is an output of every step.
        if (corrTemperatureIndex_ > 0) WriteStatisticGrids(corrTemperatureIndex_, true, false);
        return;
    }
    stepCounter_ = 1;
    teilmodellklasse::run(h, d, m, y);
    hour = h;
    day = d;
    month = m;
    year = y;
    Recompute();
}

void expokorrklasse::CopyNightTemperature() {
    if (nightIndex_ == 0) return;
    Matrix& night = nightTemperature_;
    const Matrix& t = *temperature_;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = ColumnFrom(r); c <= ColumnTo(r); ++c)
            if (TakesPart(r, c)) night[r][c] = t[r][c];
}

void expokorrklasse::Recompute() {
    double rise = 0, set = 0;
    GetSunriseSunset(latitude, longitude, static_cast<int>(day), static_cast<int>(month), &rise, &set);
    sunrise = std::fmod(24.0 + rise, 24.0);
    sunset = std::fmod(24.0 + set, 24.0);
    horizontalSum_ = 0;

#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = ColumnFrom(r); c <= ColumnTo(r); ++c) {
            const bool part = TakesPart(r, c);
            if (corrTemperatureIndex_ > 0) corrTemperature_[r][c] = part ? (*temperature_)[r][c] : nodata;
            if (part) {
                correction_[r][c] = 0.0;
                effective_[r][c] = 0.0;
            }
        }

    const double dt = timeInterval / 60.0;
    const double sub = dt / splittings_;
    const double base = static_cast<double>(hour) + hourOffset + timeShift;
    const double end = base + 0.01;
    int k = 0;
    for (double t = base - (1.0 - 0.5 / splittings_) * dt; end > t; t += sub, ++k)
        SubStep(t, sub, k + 1 < splittings_ ? 1 : 0);

    CorrectionFactors();
    WriteStatisticGrids(correctionIndex_, true, false);
    if (corrTemperatureIndex_ > 0) WriteStatisticGrids(corrTemperatureIndex_, true, false);
}

void expokorrklasse::SubStep(double t, double d, int laterSubSteps) {
    const radiation::SubStepLight light = radiation::SubStepDarkness(t, d, sunrise, sunset);
    double azimuth = 0, elevation = 0, zenith = 0, beam = 0, cosZ = 1;
    if (!light.night) {
        GetSunPosition(latitude, longitude, radiation::LitMiddle(t, d, light), static_cast<int>(day),
                       static_cast<int>(month), &azimuth, &elevation);
        zenith = pi / 2.0 - elevation;
        cosZ = std::cos(zenith);
        beam = radiation::BeamRadiation(d, light.daylightFraction, elevation, cosZ);
    }
    nightFlag = light.night ? 1 : 0;
    if (!light.night) ++litSubSteps_;
    horizontalSum_ += beam * cosZ;

    const bool marching = Shading() && !light.night && !useUnits_;
    // The shared march sets every cell's shadow itself.
    if (!marching || !SharedMarch()) ClearShadow();
    if (marching) {
        if (SharedMarch()) {
            MarchShared(azimuth, elevation);
        } else {
            if (rank == 0) {
                const double start = MPI_Wtime();
                shadowVisits_ += radiation::MarchTerrainShadow(*elevation_, *zoneGrid, shadow_, nrows, ncols,
                                                               cellsize, nodata, nodata, azimuth, elevation);
                shadowSeconds_ += MPI_Wtime() - start;
            }
            MPIScatterGrid(shadowIndex_);
        }
    }
    MPI_Barrier(MPI_COMM_WORLD);
    const double start = MPI_Wtime();
    IncidenceLoop(radiation::MakeSunStep(azimuth, zenith, beam, light.night));
    incidenceSeconds_ += MPI_Wtime() - start;
    WriteStatisticGrids(shadowIndex_, true, laterSubSteps != 0);
}

bool expokorrklasse::SharedMarch() const {
    // Marks are 8 bits wide: two per process.
    return size > 1 && size < 128 && mpiRegions != nullptr && mpiHelper != nullptr;
}

void expokorrklasse::ShareTerrain() {
    radiation::Terrain& t = terrain_;
    t.nrows = nrows;
    t.ncols = ncols;
    const std::size_t cells = static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols);
    t.elevation.assign(cells, nodata);
    t.inside.assign(cells, 0);
    if (rank == 0)
        for (int r = 1; r <= nrows; ++r)
            for (int c = 1; c <= ncols; ++c) {
                const std::size_t i = static_cast<std::size_t>(r - 1) * static_cast<std::size_t>(ncols) +
                                      static_cast<std::size_t>(c - 1);
                t.elevation[i] = (*elevation_)[r][c];
                t.inside[i] = zoneGrid->holds(r) && (*zoneGrid)[r][c] != nodata ? 1 : 0;
            }
    MPI_Bcast(t.elevation.data(), static_cast<int>(cells), MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(t.inside.data(), static_cast<int>(cells), MPI_UNSIGNED_CHAR, 0, MPI_COMM_WORLD);
    marks_.assign(cells, 0);
}

void expokorrklasse::MarchShared(double azimuth, double elevation) {
    // Each process marches a block of the rays; the largest mark of a cell is that of the block
    // marched last in the order of a whole march, so that the shadow is that of one process
    // marching all rays.
    if (terrain_.elevation.empty()) ShareTerrain();
    const double start = MPI_Wtime();
    std::fill(marks_.begin(), marks_.end(), std::uint8_t{0});
    const std::vector<int> blocks = radiation::RayBlocks(nrows, ncols, azimuth, size);
    const auto p = static_cast<std::size_t>(rank);
    shadowVisits_ += radiation::MarchTerrainShadowRays(terrain_, marks_, static_cast<std::uint8_t>(2 * rank + 1),
                                                       blocks[p], blocks[p + 1], cellsize, nodata, azimuth, elevation);
    shadowSeconds_ += MPI_Wtime() - start;
    MPI_Allreduce(MPI_IN_PLACE, marks_.data(), static_cast<int>(marks_.size()), MPI_UINT8_T, MPI_MAX,
                  MPI_COMM_WORLD);
    // Process 0 keeps the whole shadow grid, the others their own cells; a cell no ray reached
    // is sunny.
    const int r1 = rank == 0 ? 1 : firstRow;
    const int r2 = rank == 0 ? nrows : lastRow;
#pragma omp parallel for schedule(runtime) if (WorthThreads(r1, r2, ncols))
    for (int r = r1; r <= r2; ++r) {
        const std::size_t row = static_cast<std::size_t>(r - 1) * static_cast<std::size_t>(ncols);
        const std::uint8_t* mark = marks_.data() + row;
        const unsigned char* inside = terrain_.inside.data() + row;
        for (int c = 1; c <= ncols; ++c) {
            const unsigned m = mark[c - 1];
            if (rank == 0 ? inside[c - 1] != 0 : TakesPart(r, c))
                shadow_[r][c] = m != 0 && ((m - 1) & 1u) != 0 ? 1.0 : 0.0;
        }
    }
}

void expokorrklasse::ClearShadow() {
    if (Shading() && rank == 0) {
#pragma omp parallel for schedule(runtime) if (WorthThreads(1, nrows, ncols))
        for (int r = 1; r <= nrows; ++r)
            if (zoneGrid->holds(r))
                for (int c = 1; c <= ncols; ++c)
                    if ((*zoneGrid)[r][c] != nodata) shadow_[r][c] = 0.0;
        return;
    }
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = ColumnFrom(r); c <= ColumnTo(r); ++c)
            if (TakesPart(r, c)) shadow_[r][c] = 0.0;
}

void expokorrklasse::IncidenceLoop(const radiation::SunStep& sun) {
    const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        const std::size_t offset = static_cast<std::size_t>(r - firstRow) * stride;
        const radiation::CellOrientation* o = orientation_.data() + offset;
        const unsigned char* part = part_.data() + offset;
        const double* shade = shadow_[r];
        const double* sunshine = sunshine_ != nullptr ? (*sunshine_)[r] : nullptr;
        double* sum = correction_[r];
        const int c2 = ColumnTo(r);
        if (sunshine == nullptr) {
            for (int c = ColumnFrom(r); c <= c2; ++c)
                if (part[c]) sum[c] += radiation::InclinedBeam(o[c], sun, shade[c] >= 0.5, false);
        } else {
            for (int c = ColumnFrom(r); c <= c2; ++c)
                if (part[c]) sum[c] += radiation::InclinedBeam(o[c], sun, shade[c] >= 0.5, sunshine[c] < 0.1);
        }
    }
}

void expokorrklasse::CorrectionFactors() {
    const double h = horizontalSum_;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = ColumnFrom(r); c <= ColumnTo(r); ++c) {
            if (!TakesPart(r, c)) continue;
            effective_[r][c] = correction_[r][c];
            correction_[r][c] = radiation::CorrectionFactor(correction_[r][c], h);
        }
    RefreshTemperature();
}

void expokorrklasse::RefreshTemperature() {
    if (corrTemperatureIndex_ == 0) return;
    const double h = horizontalSum_;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = ColumnFrom(r); c <= ColumnTo(r); ++c) {
            // A step without temperature data has no corrected temperature either.
            if (!TakesPart(r, c) || NoData((*temperature_)[r][c], nodata)) {
                corrTemperature_[r][c] = nodata;
                continue;
            }
            const double s = sunshine_ != nullptr ? (*sunshine_)[r][c] : 0.5;
            corrTemperature_[r][c] =
                radiation::CorrectedTemperature((*temperature_)[r][c], correction_[r][c], h, scaling_, s);
        }
}
