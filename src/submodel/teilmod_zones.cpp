// Ranking of the zones of "zonegrid_soilmodel" (used by the snow and soil models): the zone
// codes are numbered 1..n in ascending order of their values, with cell counts and area shares;
// every process scans its own cells and then holds the same tables as one row-order scan of the
// whole grid gives. Also the zone statistics tables the sub-models make over their zones.
#include <algorithm>
#include <cmath>
#include <functional>
#include <mpi.h>

#include "setup/zoneranking.hpp"
#include "submodel/teilmod.hpp"

namespace {
constexpr const char* kSoilZoneGrid = "zonegrid_soilmodel";
// Message tag of the zone weights' running sums.
constexpr int kZoneSumsTag = 7032;

// Zone code of a cell value (zone grids hold whole numbers; the nearest one counts).
long NearestCode(double value) { return static_cast<long>(std::floor(value + 0.5)); }

// The FATAL entry of a stop of the scan (3: a code out of range, 4: too many zones).
void LogScanStop(DiagLog& log, int stop, const std::string& file) {
    if (stop == 3)
        log << "FATAL: wrong zone index in " << file << "!\n Zones have to range from 0 to "
            << teilmodellklasse::kMaxZoneCode << "!" << "[end-entry]";
    else
        log << "FATAL: too much zones in " << file << ", (max. " << teilmodellklasse::kMaxZones << "!)"
            << "[end-entry]";
}

// Area shares and the checks after the scan, from the zones' cell weights; logs on process 0
// (log not null). Returns the stop (0: ranked).
int FinishRanking(ZoneRanking& ranking, int count, double cellsize, const std::string& file,
                  const std::string& moduleName, DiagLog* log) {
    long total = 0;
    for (int i = 1; i <= count; ++i) total += static_cast<long>(ranking.records[static_cast<std::size_t>(i)].n);
    if (count == 0 || total == 0) {
        if (log) *log << "FATAL: all cells in " << file << " are NODATA!" << "[end-entry]";
        return 7;
    }
    for (int i = 1; i <= count; ++i)
        ranking.records[static_cast<std::size_t>(i)].rel =
            ranking.records[static_cast<std::size_t>(i)].n / static_cast<double>(total);
    ranking.records[0].rel = static_cast<double>(total) * cellsize * cellsize / 1000000.0;
    if (count > teilmodellklasse::kMaxSubbasins) {
        if (log)
            *log << "FATAL: too much subbasins (" << count << ") in " << moduleName << " (max. "
                 << teilmodellklasse::kMaxSubbasins << "). Ende!" << "[end-entry]";
        return 4;
    }
    return 0;
}

// The cells of the ranking a process scans, in row order: in each of its own rows the cells of
// the row's basin columns whose next owned cell (itself included) is its own, so that the cells
// between the basin's cells of a row (not owned by anyone) are scanned exactly once. The owners
// of the decomposition follow one another in row order, so each process's cells are one
// stretch of the row-order scan. visit(r, c, value) returns false to end the scan.
template <class Visit>
void ScanOwnZoneCells(const modelobject& o, const Matrix& grid, std::vector<int>& nextOwner, Visit&& visit) {
    const Matrix& owners = *o.mpiRegions;
    nextOwner.resize(static_cast<std::size_t>(o.ncols) + 2);
    for (int r = std::max(o.firstRow, 1); r <= o.lastRow; ++r) {
        if (!grid.holds(r) || !owners.holds(r) || static_cast<std::size_t>(r) >= o.basinColumns->size()) continue;
        const ColumnRange range = (*o.basinColumns)[static_cast<std::size_t>(r)];
        const int c0 = std::max(range.first, 1), c1 = std::min(range.last, o.ncols);
        int owner = -1;
        for (int c = c1; c >= c0; --c) {
            if (owners[r][c] != o.nodata) owner = static_cast<int>(owners[r][c]);
            nextOwner[static_cast<std::size_t>(c)] = owner;
        }
        for (int c = c0; c <= c1; ++c) {
            const double v = grid[r][c];
            if (nextOwner[static_cast<std::size_t>(c)] == o.rank && v != o.nodata && !visit(r, c, v)) return;
        }
    }
}

// The weights of the zones added cell by cell in row order across the processes: each adds its
// cells to the running sums of the process before it and hands them on; the last one's sums go
// to every process. Exactly the additions of one scan of the whole grid.
void AddInRowOrder(std::vector<double>& sums, std::int64_t firstPlace, const std::function<void()>& addOwn) {
    int size = 1, rank = 0;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    std::vector<std::int64_t> firsts(static_cast<std::size_t>(size));
    MPI_Allgather(&firstPlace, 1, MPI_INT64_T, firsts.data(), 1, MPI_INT64_T, MPI_COMM_WORLD);
    std::vector<int> order;
    for (int p = 0; p < size; ++p)
        if (firsts[static_cast<std::size_t>(p)] != FirstCodes::kNoPlace) order.push_back(p);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return firsts[static_cast<std::size_t>(a)] < firsts[static_cast<std::size_t>(b)]; });
    if (order.empty()) return;
    const auto at = std::find(order.begin(), order.end(), rank);
    const int count = static_cast<int>(sums.size());
    if (at != order.end()) {
        if (at != order.begin())
            MPI_Recv(sums.data(), count, MPI_DOUBLE, *(at - 1), kZoneSumsTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        addOwn();
        if (at + 1 != order.end()) MPI_Send(sums.data(), count, MPI_DOUBLE, *(at + 1), kZoneSumsTag, MPI_COMM_WORLD);
    }
    MPI_Bcast(sums.data(), count, MPI_DOUBLE, order.back(), MPI_COMM_WORLD);
}

// Ranking from every process's own cells (ScanOwnZoneCells): the codes each process meets
// first give the zones and the stop of the row-order scan; cell counts are whole numbers and
// add up exactly in any order, and so do the cell weights when every one is a whole number
// (cells of equal size); otherwise the weights are added in row order across the processes.
// Returns the stop (0: ranked), the same on every process.
int RankZonesShared(const modelobject& o, const Matrix& grid, const Matrix* weights, ZoneRanking& ranking) {
    using Limit = teilmodellklasse;
    std::vector<int> nextOwner;
    std::vector<CodePlace> own;
    std::int64_t firstInvalid = FirstCodes::kNoPlace, firstPlace = FirstCodes::kNoPlace;
    std::vector<bool> met(static_cast<std::size_t>(Limit::kMaxZoneCode) + 1, false);
    bool wholeWeights = true;
    auto weightOf = [&](int r, int c) { return weights != nullptr && weights->holds(r) ? (*weights)[r][c] : 1.0; };
    ScanOwnZoneCells(o, grid, nextOwner, [&](int r, int c, double v) {
        const std::int64_t place = std::int64_t(r - 1) * o.ncols + (c - 1);
        firstPlace = std::min(firstPlace, place);
        const double w = weightOf(r, c);
        wholeWeights = wholeWeights && w == std::trunc(w) && std::fabs(w) <= 1048576.0;
        const long code = NearestCode(v);
        if (code < 0 || code > Limit::kMaxZoneCode) {
            firstInvalid = std::min(firstInvalid, place);
            return true;  // the scan goes on for the weights' check and the first place
        }
        if (firstInvalid == FirstCodes::kNoPlace && !met[static_cast<std::size_t>(code)] &&
            own.size() <= static_cast<std::size_t>(Limit::kMaxZones)) {
            met[static_cast<std::size_t>(code)] = true;
            own.push_back(CodePlace{place, static_cast<std::int32_t>(code), 0, v});
        }
        return true;
    });
    const FirstCodes first = MergeFirstCodes(own, firstInvalid, Limit::kMaxZones);
    if (const int stop = first.Stop(Limit::kMaxZones)) return stop;

    // Zones numbered by ascending code (the value met first orders as its code does).
    std::vector<CodePlace> codes = first.codes;
    std::sort(codes.begin(), codes.end(), [](const CodePlace& a, const CodePlace& b) { return a.code < b.code; });
    const int count = static_cast<int>(codes.size());
    ranking.records.assign(static_cast<std::size_t>(count) + 1, zoneFZT{});
    ranking.records[0] = zoneFZT{0, 0, 1.0, 1.0, 0};
    ranking.maxCode = count > 0 ? codes.back().code : 0;
    ranking.index.assign(static_cast<std::size_t>(ranking.maxCode) + 1, 0);
    for (int i = 1; i <= count; ++i) {
        const CodePlace& c = codes[static_cast<std::size_t>(i) - 1];
        ranking.records[static_cast<std::size_t>(i)].zonenwert = c.value;
        ranking.index[static_cast<std::size_t>(c.code)] = i;
    }
    // Per zone the cells and the sum of their weights.
    int whole = wholeWeights ? 1 : 0;
    MPI_Allreduce(MPI_IN_PLACE, &whole, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    std::vector<double> sums(2 * (static_cast<std::size_t>(count) + 1), 0.0);
    auto addOwn = [&] {
        ScanOwnZoneCells(o, grid, nextOwner, [&](int r, int c, double v) {
            const std::size_t i = 2 * static_cast<std::size_t>(ranking.index[static_cast<std::size_t>(NearestCode(v))]);
            sums[i] += 1.0;
            sums[i + 1] += weightOf(r, c);
            return true;
        });
    };
    if (whole) {
        addOwn();
        MPI_Allreduce(MPI_IN_PLACE, sums.data(), static_cast<int>(sums.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    } else {
        AddInRowOrder(sums, firstPlace, addOwn);
    }
    for (int i = 1; i <= count; ++i) {
        zoneFZT& z = ranking.records[static_cast<std::size_t>(i)];
        z.sx = sums[2 * static_cast<std::size_t>(i)];
        z.n = z.RelCellSum = sums[2 * static_cast<std::size_t>(i) + 1];
    }
    ranking.zoneCount = count;
    return 0;
}

}  // namespace

void teilmodellklasse::RankZones(ZoneRanking& ranking) {
    ranking.gridIndex = GetGridIndex(kSoilZoneGrid);
    ranking.weights = relCellArea;
    const GridStoreEntry& entry = (*gridStore)[ranking.gridIndex];
    const Matrix* grid = entry.grid;
    // The same grid with the same weights ranked by a sub-model built before: its tables, with
    // no scan of the cells and no collective (every process decides alike).
    if (const ZoneRanking* made = settings.zoneRanking;
        made != nullptr && made->gridIndex == ranking.gridIndex && made->weights == relCellArea && made->zoneCount > 0) {
        if (rank == 0) *log << "ranking zones from " << entry.fileName << " for " << moduleName << "[end-entry]";
        ranking = *made;
        return;
    }
    if (size > 1 && mpiRegions == nullptr) FindDecompositionGrids();
    if (size > 1 && grid != nullptr && mpiRegions != nullptr && basinColumns != nullptr) {
        if (rank == 0) *log << "ranking zones from " << entry.fileName << " for " << moduleName << "[end-entry]";
        int stop = RankZonesShared(*this, *grid, relCellArea, ranking);
        if (stop != 0) {
            if (rank == 0) LogScanStop(*log, stop, entry.fileName);
        } else {
            stop = FinishRanking(ranking, ranking.zoneCount, cellsize, entry.fileName, moduleName,
                                 rank == 0 ? log : nullptr);
        }
        if (stop != 0) throw ModelError(stop);
        return;
    }

    // Without a decomposition process 0 ranks; the outcome (0 or an error code) is agreed before
    // anything else moves, so that every process fails the same way.
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
                const auto [c0, c1] = BasinColumnsOfRow(r);
                for (int c = c0; c <= c1; ++c) {
                    const double v = (*grid)[r][c];
                    if (v != nodata) visit(r, c, v);
                }
            }
        };
        try {
            forEachCell([&](int, int, double v) {
                const long code = NearestCode(v);
                if (code < 0 || code > kMaxZoneCode) {
                    LogScanStop(*log, 3, entry.fileName);
                    throw ModelError(3);
                }
                if (index[static_cast<std::size_t>(code)] != 0) return;
                if (++count > kMaxZones) {
                    LogScanStop(*log, 4, entry.fileName);
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
                        index[static_cast<std::size_t>(NearestCode(a.zonenwert))] = i;
                        index[static_cast<std::size_t>(NearestCode(b.zonenwert))] = i + 1;
                        swapped = true;
                    }
                }
            }
            ranking.records.assign(work.begin(), work.begin() + count + 1);
            ranking.index.assign(index.begin(), index.begin() + maxCode + 1);
            forEachCell([&](int r, int c, double v) {
                zoneFZT& z = ranking.records[static_cast<std::size_t>(ranking.index[static_cast<std::size_t>(NearestCode(v))])];
                const double w = (relCellArea != nullptr && relCellArea->holds(r)) ? (*relCellArea)[r][c] : 1.0;
                z.sx += 1.0;
                z.n += w;
                z.RelCellSum += w;
            });
            if (const int stop = FinishRanking(ranking, count, cellsize, entry.fileName, moduleName, log))
                throw ModelError(stop);
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

std::unique_ptr<zonalstatistic> teilmodellklasse::CreateZoneStatistic(std::vector<zoneFZT>& records,
                                                                      const std::string& fileName, int code,
                                                                      const std::string& title, const Matrix* weights,
                                                                      int decimals, bool keepCellSums) {
    records.assign(static_cast<std::size_t>(zoneCount) + 1, zoneFZT{});
    if (zoneRecords != nullptr) {
        for (std::size_t z = 0; z < records.size() && z < zoneRecords->size(); ++z) {
            const zoneFZT& src = (*zoneRecords)[z];
            records[z] = zoneFZT{0, 0, src.zonenwert, src.rel, keepCellSums ? src.RelCellSum : 0.0};
        }
    }
    int error = 0;
    auto stat = std::make_unique<zonalstatistic>(&error, log, weights, nrows, ncols, records.data(), zoneCount, code,
                                                 decimals, fileName, outputPath, settings.SelectedZoneCount(),
                                                 settings.SelectedZones());
    if (error != 0) throw ModelError(error);
    stat->WriteHeader(title, moduleName, settings.outputCodes, settings.outputCodeCount);
    return stat;
}
