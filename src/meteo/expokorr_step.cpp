// The step of the radiation correction: night temperature, the sub-steps of the sun's path with
// terrain shadow and incidence, then the correction factors and the corrected temperature.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

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
        for (int c = ColumnFrom(r), last = ColumnTo(r); c <= last; ++c)
            if (TakesPart(r, c)) night[r][c] = t[r][c];
}

void expokorrklasse::Recompute() {
    double rise = 0, set = 0;
    GetSunriseSunset(latitude, longitude, static_cast<int>(day), static_cast<int>(month), &rise, &set);
    sunrise = std::fmod(24.0 + rise, 24.0);
    sunset = std::fmod(24.0 + set, 24.0);
    horizontalSum_ = 0;

    // The sums start at 0; "Ieff_max" takes every sum in CorrectionFactors and the corrected
    // temperature of every cell is set after the sub-steps (RefreshTemperature).
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        const unsigned char* part = PartRow(r);
        double* sum = correction_[r];
        for (int c = ColumnFrom(r), last = ColumnTo(r); c <= last; ++c)
            if (part[c] != 0) sum[c] = 0.0;
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
    // The shared march sets every cell's shadow itself, and so does a march over the whole grid
    // by a single process: its rays enter at every cell of the first row and of the first column
    // and shift sideways by at most one cell per step, so that together they cross every cell. A
    // shadow already cleared (the sub-steps of a night, every sub-step without shading) stays
    // clear.
    const bool shared = marching && SharedMarch();
    const bool marchSetsAll = marching && (shared || size == 1);
    if (!marchSetsAll && !shadowClear_) ClearShadow();
    shadowClear_ = !marching;
    if (marching) {
        if (shared) {
            MarchShared(azimuth, elevation);
        } else {
            const int threads = omp_get_max_threads();
            if (rank == 0 && threads > 1 && WorthThreads(1, nrows, ncols)) {
                MarchThreads(azimuth, elevation, threads);
            } else if (rank == 0) {
                const double start = MPI_Wtime();
                shadowVisits_ += radiation::MarchTerrainShadow(*elevation_, *zoneGrid, shadow_, nrows, ncols,
                                                               cellsize, nodata, nodata, azimuth, elevation);
                shadowSeconds_ += MPI_Wtime() - start;
            }
            MPIScatterGrid(shadowIndex_);
        }
    }
    // At night every cell's beam is 0, which leaves its sum as it is (a sum that starts at +0
    // never becomes -0): no pass over the cells.
    if (!light.night) {
        const double start = MPI_Wtime();
        IncidenceLoop(radiation::MakeSunStep(azimuth, zenith, beam, light.night), shared);
        incidenceSeconds_ += MPI_Wtime() - start;
    }
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
    const auto n = static_cast<std::size_t>(size);
    ownFirst_.assign(n, 0);
    ownLast_.assign(n, 0);
    MPI_Allgather(&firstRow, 1, MPI_INT, ownFirst_.data(), 1, MPI_INT, MPI_COMM_WORLD);
    MPI_Allgather(&lastRow, 1, MPI_INT, ownLast_.data(), 1, MPI_INT, MPI_COMM_WORLD);
    // Each process packs its own rows and hands them to all others, so that no process waits
    // while process 0 packs the whole grid. That is process 0's terrain where the own rows of
    // the processes cover the grid and process 0 holds every row of the zone grid (then every
    // cell has its zone flag); otherwise process 0 packs and broadcasts.
    const auto holdsRows = [](const Matrix& grid, int first, int last) {
        for (int r = first; r <= last; ++r)
            if (!grid.holds(r)) return false;
        return true;
    };
    std::vector<int> packFirst, packLast;
    int ownersPack = PackedRowsOfOwners(packFirst, packLast) && holdsRows(*elevation_, firstRow, lastRow) &&
                     holdsRows(*zoneGrid, rank == 0 ? 1 : firstRow, rank == 0 ? nrows : lastRow);
    MPI_Allreduce(MPI_IN_PLACE, &ownersPack, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
    if (ownersPack != 0) {
        const auto me = static_cast<std::size_t>(rank);
        PackTerrain(packFirst[me], packLast[me]);
        std::vector<int> counts(n), starts(n);
        for (std::size_t p = 0; p < n; ++p) {
            counts[p] = (packLast[p] - packFirst[p] + 1) * ncols;
            starts[p] = (packFirst[p] - 1) * ncols;
        }
        MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, t.elevation.data(), counts.data(), starts.data(),
                       MPI_DOUBLE, MPI_COMM_WORLD);
        MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, t.inside.data(), counts.data(), starts.data(),
                       MPI_UNSIGNED_CHAR, MPI_COMM_WORLD);
    } else {
        if (rank == 0) PackTerrain(1, nrows);
        MPI_Bcast(t.elevation.data(), static_cast<int>(cells), MPI_DOUBLE, 0, MPI_COMM_WORLD);
        MPI_Bcast(t.inside.data(), static_cast<int>(cells), MPI_UNSIGNED_CHAR, 0, MPI_COMM_WORLD);
    }
    radiation::FindZoneRuns(t);
    marks_.assign(cells, 0);
}

bool expokorrklasse::PackedRowsOfOwners(std::vector<int>& first, std::vector<int>& last) const {
    // In the order of their first own rows, each process packs its own rows below those packed
    // already; rows shared by neighbours go to the one that comes first.
    const std::size_t n = ownFirst_.size();
    std::vector<std::size_t> order(n);
    for (std::size_t p = 0; p < n; ++p) order[p] = p;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::pair(ownFirst_[a], ownLast_[a]) < std::pair(ownFirst_[b], ownLast_[b]);
    });
    first.assign(n, 1);
    last.assign(n, 0);
    int next = 1;
    for (std::size_t p : order) {
        if (ownLast_[p] < ownFirst_[p]) continue;
        if (ownFirst_[p] > next) return false;
        if (ownLast_[p] < next) continue;
        first[p] = next;
        last[p] = ownLast_[p];
        next = ownLast_[p] + 1;
    }
    return next == nrows + 1;
}

void expokorrklasse::MarchShared(double azimuth, double elevation) {
    // Each process marches a block of the rays; the largest mark of a cell is that of the block
    // marched last in the order of a whole march, so that the shadow is that of one process
    // marching all rays.
    if (terrain_.elevation.empty()) ShareTerrain();
    const double start = MPI_Wtime();
    ClearMarks();
    spans_.Clear(nrows, ncols);
    const std::vector<int> blocks = radiation::RayBlocks(terrain_, azimuth, size);
    const auto p = static_cast<std::size_t>(rank);
    shadowVisits_ +=
        radiation::MarchTerrainShadowRays(terrain_, marks_, spans_, static_cast<std::uint8_t>(2 * rank + 1),
                                          blocks[p], blocks[p + 1], cellsize, nodata, azimuth, elevation);
    shadowSeconds_ += MPI_Wtime() - start;
    SendMarksToOwners();
    // Every process sets the shadow of its own cells from the marks in the pass of the
    // incidence (IncidenceLoop).
}

void expokorrklasse::LocalTerrain() {
    radiation::Terrain& t = terrain_;
    t.nrows = nrows;
    t.ncols = ncols;
    const auto cols = static_cast<std::size_t>(ncols);
    t.elevation.assign(static_cast<std::size_t>(nrows) * cols, nodata);
    t.inside.assign(static_cast<std::size_t>(nrows) * cols, 0);
    PackTerrain(1, nrows);
    radiation::FindZoneRuns(t);
}

void expokorrklasse::PackTerrain(int first, int last) {
    // The flags are written through a pointer that aliases nothing else, so that the compiler
    // need not read the zone row again after each flag it writes.
    radiation::Terrain& t = terrain_;
    const auto cols = static_cast<std::size_t>(ncols);
    const double nd = nodata;
    for (int r = first; r <= last; ++r) {
        const std::size_t at = static_cast<std::size_t>(r - 1) * cols;
        std::copy_n((*elevation_)[r] + 1, ncols, t.elevation.data() + at);
        if (!zoneGrid->holds(r)) continue;
        const double* __restrict zone = (*zoneGrid)[r] + 1;
        unsigned char* __restrict inside = t.inside.data() + at;
        for (std::size_t c = 0; c < cols; ++c) inside[c] = zone[c] != nd ? 1 : 0;
    }
}

void expokorrklasse::MarchThreads(double azimuth, double elevation, int threads) {
    if (terrain_.elevation.empty()) LocalTerrain();
    const double start = MPI_Wtime();
    const auto cols = static_cast<std::size_t>(ncols);
    const auto parts = static_cast<std::size_t>(threads);
    if (threadMarks_.size() != parts) {
        threadMarks_.assign(parts, std::vector<std::uint8_t>(static_cast<std::size_t>(nrows) * cols, 0));
        threadSpans_.assign(parts, radiation::RowSpans{});
        for (radiation::RowSpans& spans : threadSpans_) spans.Clear(nrows, ncols);
    }
    const std::vector<int> blocks = radiation::RayBlocks(terrain_, azimuth, threads);
    std::int64_t visits = 0;
    // One block of rays per iteration: its marks are cleared where its last march put them.
#pragma omp parallel for schedule(static, 1) reduction(+ : visits)
    for (int p = 0; p < threads; ++p) {
        std::vector<std::uint8_t>& marks = threadMarks_[static_cast<std::size_t>(p)];
        radiation::RowSpans& spans = threadSpans_[static_cast<std::size_t>(p)];
        for (int r = 1; r <= nrows; ++r) {
            const auto row = static_cast<std::size_t>(r - 1);
            const int c1 = spans.first[row], c2 = spans.last[row];
            if (c2 >= c1)
                std::fill(marks.data() + row * cols + static_cast<std::size_t>(c1 - 1),
                          marks.data() + row * cols + static_cast<std::size_t>(c2), std::uint8_t{0});
        }
        spans.Clear(nrows, ncols);
        visits += radiation::MarchTerrainShadowRays(terrain_, marks, spans, 1, blocks[static_cast<std::size_t>(p)],
                                                    blocks[static_cast<std::size_t>(p) + 1], cellsize, nodata,
                                                    azimuth, elevation);
    }
    shadowVisits_ += visits;
    // The later block's mark stands; a cell no ray reached keeps its shadow, as in one march.
#pragma omp parallel for schedule(runtime)
    for (int r = 1; r <= nrows; ++r) {
        const auto row = static_cast<std::size_t>(r - 1);
        double* shade = shadow_[r];
        for (std::size_t p = 0; p < parts; ++p) {
            const radiation::RowSpans& spans = threadSpans_[p];
            const std::uint8_t* mark = threadMarks_[p].data() + row * cols;
            for (int c = spans.first[row], last = spans.last[row]; c <= last; ++c)
                if (mark[c - 1] != 0) shade[c] = mark[c - 1] == 2 ? 1.0 : 0.0;
        }
    }
    shadowSeconds_ += MPI_Wtime() - start;
}

void expokorrklasse::ClearMarks() {
    // Marks are set by the own march, within its spans, and by the others' marks received for
    // the own rows; every other cell still holds 0 from the terrain's set-up.
    const auto cols = static_cast<std::size_t>(ncols);
    if (spans_.first.size() != static_cast<std::size_t>(nrows)) {
        std::fill(marks_.begin(), marks_.end(), std::uint8_t{0});
        return;
    }
    for (int r = 1; r <= nrows; ++r) {
        const auto row = static_cast<std::size_t>(r - 1);
        const bool own = r >= firstRow && r <= lastRow;
        const int c1 = own ? 1 : spans_.first[row], c2 = own ? ncols : spans_.last[row];
        if (c2 >= c1)
            std::fill(marks_.data() + row * cols + static_cast<std::size_t>(c1 - 1),
                      marks_.data() + row * cols + static_cast<std::size_t>(c2), std::uint8_t{0});
    }
}

void expokorrklasse::SendMarksToOwners() {
    // Each process sends every other one message: the span of columns it marked in each of that
    // process's rows, then the marks of those spans; the owner keeps the largest mark of each own
    // cell. A block of parallel rays crosses a row in one run of columns, so the marks travel
    // about once in all rather than to every process. The messages are taken as they arrive (the
    // largest mark does not depend on the order); a process already in its next march may have
    // sent its next message, so the marches alternate between two tags (none can be two marches
    // ahead: it would need this process's next message first).
    const int tag = 4713 + static_cast<int>(marchRound_++ & 1u);
    const auto cols = static_cast<std::size_t>(ncols);
    packed_.clear();
    std::vector<std::size_t> place(static_cast<std::size_t>(size) + 1, 0);
    for (int p = 0; p < size; ++p) {
        place[static_cast<std::size_t>(p)] = packed_.size();
        if (p == rank) continue;
        const int first = ownFirst_[static_cast<std::size_t>(p)], last = ownLast_[static_cast<std::size_t>(p)];
        for (int r = first; r <= last; ++r) {
            const int span[2] = {spans_.first[static_cast<std::size_t>(r - 1)], spans_.last[static_cast<std::size_t>(r - 1)]};
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(span);
            packed_.insert(packed_.end(), bytes, bytes + sizeof span);
        }
        for (int r = first; r <= last; ++r) {
            const auto row = static_cast<std::size_t>(r - 1);
            const int c1 = spans_.first[row], c2 = spans_.last[row];
            if (c2 < c1) continue;
            const std::uint8_t* from = marks_.data() + row * cols + static_cast<std::size_t>(c1 - 1);
            packed_.insert(packed_.end(), from, from + (c2 - c1 + 1));
        }
    }
    place[static_cast<std::size_t>(size)] = packed_.size();
    std::vector<MPI_Request> sends;
    for (int p = 0; p < size; ++p) {
        if (p == rank) continue;
        const std::size_t at = place[static_cast<std::size_t>(p)];
        sends.emplace_back();
        MPI_Isend(packed_.data() + at, static_cast<int>(place[static_cast<std::size_t>(p) + 1] - at), MPI_UINT8_T, p,
                  tag, MPI_COMM_WORLD, &sends.back());
    }
    const std::size_t ownRows = static_cast<std::size_t>(std::max(lastRow - firstRow + 1, 0));
    for (int left = size - 1; left > 0; --left) {
        MPI_Status status;
        MPI_Probe(MPI_ANY_SOURCE, tag, MPI_COMM_WORLD, &status);
        int count = 0;
        MPI_Get_count(&status, MPI_UINT8_T, &count);
        received_.resize(static_cast<std::size_t>(count));
        MPI_Recv(received_.data(), count, MPI_UINT8_T, status.MPI_SOURCE, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        const std::uint8_t* from = received_.data() + 2 * sizeof(int) * ownRows;
        for (std::size_t i = 0; i < ownRows; ++i) {
            int span[2];
            std::memcpy(span, received_.data() + 2 * sizeof(int) * i, sizeof span);
            std::uint8_t* mark = marks_.data() + (static_cast<std::size_t>(firstRow - 1) + i) * cols;
            for (int c = span[0]; c <= span[1]; ++c, ++from) mark[c - 1] = std::max(mark[c - 1], *from);
        }
    }
    MPI_Waitall(static_cast<int>(sends.size()), sends.data(), MPI_STATUSES_IGNORE);
}

void expokorrklasse::ClearShadow() {
    if (Shading() && rank == 0 && !SharedMarch()) {
#pragma omp parallel for schedule(runtime) if (WorthThreads(1, nrows, ncols))
        for (int r = 1; r <= nrows; ++r) {
            if (!zoneGrid->holds(r)) continue;
            const double* zone = (*zoneGrid)[r];
            double* shade = shadow_[r];
            for (int c = 1; c <= ncols; ++c)
                if (zone[c] != nodata) shade[c] = 0.0;
        }
        return;
    }
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        const unsigned char* part = PartRow(r);
        for (int c = ColumnFrom(r), last = ColumnTo(r); c <= last; ++c)
            if (part[c]) shadow_[r][c] = 0.0;
    }
}

void expokorrklasse::IncidenceLoop(const radiation::SunStep& sun, bool shadowFromMarks) {
    const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        const radiation::CellOrientation* o = orientation_.data() + static_cast<std::size_t>(r - firstRow) * stride;
        const unsigned char* part = PartRow(r);
        double* shade = shadow_[r];
        const double* sunshine = sunshine_ != nullptr ? (*sunshine_)[r] : nullptr;
        double* sum = correction_[r];
        const int c1 = ColumnFrom(r), c2 = ColumnTo(r);
        auto add = [&](auto shaded) {
            if (sunshine == nullptr) {
                for (int c = c1; c <= c2; ++c)
                    if (part[c]) sum[c] += radiation::InclinedBeam(o[c], sun, shaded(c), false);
            } else {
                for (int c = c1; c <= c2; ++c)
                    if (part[c]) sum[c] += radiation::InclinedBeam(o[c], sun, shaded(c), sunshine[c] < 0.1);
            }
        };
        if (shadowFromMarks) {
            // A cell no ray reached is sunny; marks are odd when lit and even (not 0) in shadow.
            const std::uint8_t* mark = marks_.data() + static_cast<std::size_t>(r - 1) * static_cast<std::size_t>(ncols);
            add([&](int c) {
                const unsigned m = mark[c - 1];
                const bool s = m != 0 && (m & 1u) == 0;
                shade[c] = s ? 1.0 : 0.0;
                return s;
            });
        } else {
            add([&](int c) { return shade[c] >= 0.5; });
        }
    }
}

void expokorrklasse::CorrectionFactors() {
    const double h = horizontalSum_;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        const unsigned char* part = PartRow(r);
        double* sum = correction_[r];
        double* effective = effective_[r];
        for (int c = ColumnFrom(r), last = ColumnTo(r); c <= last; ++c) {
            if (!part[c]) continue;
            effective[c] = sum[c];
            sum[c] = radiation::CorrectionFactor(sum[c], h);
        }
    }
    RefreshTemperature();
}

void expokorrklasse::RefreshTemperature() {
    if (corrTemperatureIndex_ == 0) return;
    const double h = horizontalSum_, scaling = scaling_, nd = nodata;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        const unsigned char* part = PartRow(r);
        const double* t = (*temperature_)[r];
        const double* factor = correction_[r];
        const double* sunshine = sunshine_ != nullptr ? (*sunshine_)[r] : nullptr;
        double* corrected = corrTemperature_[r];
        for (int c = ColumnFrom(r), last = ColumnTo(r); c <= last; ++c) {
            // A step without temperature data has no corrected temperature either.
            if (!part[c] || NoData(t[c], nd)) {
                corrected[c] = nd;
                continue;
            }
            const double s = sunshine != nullptr ? sunshine[c] : 0.5;
            corrected[c] = radiation::CorrectedTemperature(t[c], factor[c], h, scaling, s);
        }
    }
}
