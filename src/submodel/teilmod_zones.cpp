// Ranking of the zones of "zonegrid_soilmodel" (used by the snow and soil models): process 0
// numbers the zone codes 1..n in ascending order of their values, counts cells and area shares
// and broadcasts the tables; every process then holds the same tables.
#include <cmath>
#include <mpi.h>

#include "submodel/teilmod.hpp"

namespace {
constexpr const char* kSoilZoneGrid = "zonegrid_soilmodel";

// Zone code of a cell value (zone grids hold whole numbers; the nearest one counts).
long ZoneCode(double value) { return static_cast<long>(std::floor(value + 0.5)); }
}  // namespace

void teilmodellklasse::RankZones(ZoneRanking& ranking) {
    ranking.gridIndex = GetGridIndex(kSoilZoneGrid);
    const GridStoreEntry& entry = (*gridStore)[ranking.gridIndex];
    const Matrix* grid = entry.grid;

    // Process 0 ranks; the outcome (0 or an error code) is agreed before anything else moves,
    // so that every process fails the same way.
    int failure = 0;
    if (rank == 0) {
        *log << "ranking zones from " << entry.fileName << " for " << moduleName << "[end-entry]";
        std::vector<zoneFZT> work(static_cast<std::size_t>(kMaxZones) + 1);
        std::vector<int> index(static_cast<std::size_t>(kMaxZoneCode) + 1, 0);
        work[0] = zoneFZT{0, 0, 1.0, 1.0, 0};
        int count = 0;
        int maxCode = 0;
        auto forEachCell = [&](auto&& visit) {
            for (int r = 1; r <= nrows; ++r) {
                if (grid == nullptr || !grid->holds(r)) continue;
                int c0 = 1, c1 = ncols;
                if (basinColumns != nullptr && r < static_cast<int>(basinColumns->size())) {
                    c0 = (*basinColumns)[static_cast<std::size_t>(r)].first;
                    c1 = (*basinColumns)[static_cast<std::size_t>(r)].last;
                }
                for (int c = c0; c <= c1; ++c) {
                    const double v = (*grid)[r][c];
                    if (v != nodata) visit(r, c, v);
                }
            }
        };
        try {
            forEachCell([&](int, int, double v) {
                const long code = ZoneCode(v);
                if (code < 0 || code > kMaxZoneCode) {
                    *log << "FATAL: wrong zone index in " << entry.fileName << "!\n Zones have to range from 0 to "
                         << kMaxZoneCode << "!" << "[end-entry]";
                    throw ModelError(3);
                }
                if (index[static_cast<std::size_t>(code)] != 0) return;
                if (++count > kMaxZones) {
                    *log << "FATAL: too much zones in " << entry.fileName << ", (max. " << kMaxZones << "!)"
                         << "[end-entry]";
                    throw ModelError(4);
                }
                if (code > maxCode) maxCode = static_cast<int>(code);
                index[static_cast<std::size_t>(code)] = count;
                work[static_cast<std::size_t>(count)] = zoneFZT{0, 0, v, 0, 0};
            });
            // Adjacent exchanges until a pass changes nothing, keeping the index in step.
            for (bool swapped = true; swapped;) {
                swapped = false;
                for (int i = 1; i < count; ++i) {
                    zoneFZT& a = work[static_cast<std::size_t>(i)];
                    zoneFZT& b = work[static_cast<std::size_t>(i) + 1];
                    if (a.zonenwert > b.zonenwert) {
                        std::swap(a, b);
                        index[static_cast<std::size_t>(ZoneCode(a.zonenwert))] = i;
                        index[static_cast<std::size_t>(ZoneCode(b.zonenwert))] = i + 1;
                        swapped = true;
                    }
                }
            }
            ranking.records.assign(work.begin(), work.begin() + count + 1);
            ranking.index.assign(index.begin(), index.begin() + maxCode + 1);
            forEachCell([&](int r, int c, double v) {
                zoneFZT& z = ranking.records[static_cast<std::size_t>(ranking.index[static_cast<std::size_t>(ZoneCode(v))])];
                const double w = (relCellArea != nullptr && relCellArea->holds(r)) ? (*relCellArea)[r][c] : 1.0;
                z.sx += 1.0;
                z.n += w;
                z.RelCellSum += w;
            });
            long total = 0;
            for (int i = 1; i <= count; ++i) total += static_cast<long>(ranking.records[static_cast<std::size_t>(i)].n);
            if (count == 0 || total == 0) {
                *log << "FATAL: all cells in " << entry.fileName << " are NODATA!" << "[end-entry]";
                throw ModelError(7);
            }
            for (int i = 1; i <= count; ++i)
                ranking.records[static_cast<std::size_t>(i)].rel =
                    ranking.records[static_cast<std::size_t>(i)].n / static_cast<double>(total);
            ranking.records[0].rel = static_cast<double>(total) * cellsize * cellsize / 1000000.0;
            if (count > kMaxSubbasins) {
                *log << "FATAL: too much subbasins (" << count << ") in " << moduleName << " (max. " << kMaxSubbasins
                     << "). Ende!" << "[end-entry]";
                throw ModelError(4);
            }
            ranking.zoneCount = count;
            ranking.maxCode = maxCode;
        } catch (const ModelError& e) {
            failure = e.code();
        }
    }
    if (size > 1) MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (failure != 0) throw ModelError(failure);
    if (size <= 1) return;

    int counts[2] = {ranking.zoneCount, ranking.maxCode};
    MPI_Bcast(counts, 2, MPI_INT, 0, MPI_COMM_WORLD);
    ranking.zoneCount = counts[0];
    ranking.maxCode = counts[1];
    ranking.index.resize(static_cast<std::size_t>(ranking.maxCode) + 1);
    ranking.records.resize(static_cast<std::size_t>(ranking.zoneCount) + 1);
    MPI_Bcast(ranking.index.data(), ranking.maxCode + 1, MPI_INT, 0, MPI_COMM_WORLD);
    static_assert(sizeof(zoneFZT) == 5 * sizeof(double));
    MPI_Bcast(ranking.records.data(), 5 * (ranking.zoneCount + 1), MPI_DOUBLE, 0, MPI_COMM_WORLD);
}
