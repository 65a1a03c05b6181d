#include "setup/zoneranking.hpp"

#include <algorithm>
#include <cmath>
#include <mpi.h>

#include "kernel/modelobject.hpp"
#include "setup/mpiregions.hpp"

long ZoneCode(double value) { return static_cast<long>(std::trunc(std::trunc(value) + 0.5)); }

int FirstCodes::Stop(std::size_t limit) const {
    if (codes.size() > limit) return 4;
    return firstInvalid != kNoPlace ? 3 : 0;
}

FirstCodes MergeFirstCodes(const std::vector<CodePlace>& own, std::int64_t ownFirstInvalid, std::size_t limit) {
    int size = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    const std::size_t kept = std::min(own.size(), limit + 1);
    std::vector<std::int64_t> heads(static_cast<std::size_t>(size) * 2);
    const std::int64_t head[2] = {static_cast<std::int64_t>(kept), ownFirstInvalid};
    MPI_Allgather(head, 2, MPI_INT64_T, heads.data(), 2, MPI_INT64_T, MPI_COMM_WORLD);
    std::vector<int> counts(static_cast<std::size_t>(size)), offsets(static_cast<std::size_t>(size));
    FirstCodes merged;
    int total = 0;
    for (std::size_t p = 0; p < counts.size(); ++p) {
        counts[p] = static_cast<int>(heads[2 * p] * static_cast<std::int64_t>(sizeof(CodePlace)));
        offsets[p] = total;
        total += counts[p];
        merged.firstInvalid = std::min(merged.firstInvalid, heads[2 * p + 1]);
    }
    std::vector<CodePlace> all(static_cast<std::size_t>(total) / sizeof(CodePlace));
    MPI_Allgatherv(own.data(), static_cast<int>(kept * sizeof(CodePlace)), MPI_BYTE, all.data(),
                   counts.data(), offsets.data(), MPI_BYTE, MPI_COMM_WORLD);
    // Every cell has one place, so the order is that of one scan; a code met by several
    // processes counts where it comes first.
    std::sort(all.begin(), all.end(), [](const CodePlace& a, const CodePlace& b) { return a.place < b.place; });
    std::vector<bool> seen;
    for (const CodePlace& c : all) {
        if (c.place >= merged.firstInvalid || merged.codes.size() > limit) break;
        const auto code = static_cast<std::size_t>(c.code);
        if (code >= seen.size()) seen.resize(code + 1, false);
        if (seen[code]) continue;
        seen[code] = true;
        merged.codes.push_back(c);
    }
    return merged;
}

namespace {

// Ranking on process 0 over the whole grid, in one pass: cells are counted per code as they
// come (row by row), which adds each zone's weights in the same order as counting per zone.
void RankOnRoot(modelobject& obj, const Matrix& zone, const Matrix* relArea, const std::string& zoneFile,
                ZoneTables& t) {
    const int nrows = obj.nrows, ncols = obj.ncols;
    const double nodata = obj.nodata;
    t.codeToZone.assign(ZoneTables::kMaxCode + 1, 0);
    t.columns.assign(static_cast<std::size_t>(nrows) + 1, ColumnRange{0, -1});
    t.zoneCount = 0;
    t.maxCode = 0;
    struct CodeSums {
        double cells = 0, weighted = 0;
    };
    std::vector<CodeSums> sums(ZoneTables::kMaxCode + 1);
    double total = 0;  // accumulated as a double: large grids exceed any 32-bit count
    // A row goes run by run of equal values (nodata runs skipped whole): the first cell of a run
    // is checked and ranked as it comes, the others only counted. Without weights every count
    // adds ones to whole numbers (far below 2^53), so a run's cells go in at once.
    for (int r = 1; r <= nrows; ++r) {
        const double* row = zone[r];
        const double* weights = relArea ? (*relArea)[r] : nullptr;
        ColumnRange& range = t.columns[static_cast<std::size_t>(r)];
        for (int c = 1; c <= ncols;) {
            const double v = row[c];
            if (v == nodata) {
                c = EqualRunEnd(row, c + 1, ncols, nodata);
                continue;
            }
            const int end = EqualRunEnd(row, c + 1, ncols, v);
            if (range.first == 0) range.first = c;
            range.last = end - 1;
            const long code = ZoneCode(v);
            if (code < 0 || code > ZoneTables::kMaxCode) {
                *obj.log << "FATAL: invalid zone code in " << zoneFile << "!\n (codes has to be between 0 and "
                         << ZoneTables::kMaxCode << ")!" << "[end-entry]";
                throw ModelError(3);
            }
            std::int32_t& seen = t.codeToZone[static_cast<std::size_t>(code)];
            if (seen == 0) {
                if (t.zoneCount + 1 > ZoneTables::kMaxZones) {
                    *obj.log << "FATAL: too much zones in " << zoneFile << ", (max. " << ZoneTables::kMaxZones
                             << ")!" << "[end-entry]";
                    throw ModelError(4);
                }
                ++t.zoneCount;
                seen = 1;
                t.maxCode = std::max(t.maxCode, static_cast<int>(code));
            }
            CodeSums& sum = sums[static_cast<std::size_t>(code)];
            if (weights == nullptr) {
                const double cells = end - c;
                sum.cells += cells;
                sum.weighted += cells;
                total += cells;
            } else {
                for (int k = c; k < end; ++k) {
                    sum.cells += 1;
                    sum.weighted += weights[k];
                    total += weights[k];
                }
            }
            c = end;
        }
    }
    // Zones numbered by ascending code.
    t.records.assign(1, ZoneRecord{});
    for (int code = 0; code <= t.maxCode; ++code) {
        if (t.codeToZone[static_cast<std::size_t>(code)] == 0) continue;
        const CodeSums& sum = sums[static_cast<std::size_t>(code)];
        ZoneRecord rec;
        rec.code = static_cast<double>(code);
        rec.cellCount = sum.cells;
        rec.weightedCount = sum.weighted;
        rec.weightedCount2 = sum.weighted;
        t.records.push_back(rec);
        t.codeToZone[static_cast<std::size_t>(code)] = static_cast<std::int32_t>(t.records.size() - 1);
    }
    if (t.zoneCount == 0 || total == 0) {
        *obj.log << "FATAL: all cells in the zone grid " << zoneFile << " are NODATA!" << "[end-entry]";
        throw ModelError(7);
    }
    for (int z = 1; z <= t.zoneCount; ++z) {
        ZoneRecord& rec = t.records[static_cast<std::size_t>(z)];
        rec.share = rec.weightedCount / total;
        t.records[0].cellCount += rec.cellCount;
    }
    t.records[0].weightedCount = total;
    t.records[0].weightedCount2 = total;
    t.records[0].share = total * obj.cellsize * obj.cellsize / 1e6;
}

}  // namespace

void RankZones(modelobject& obj, const Matrix* zone, const Matrix* relArea, const std::string& zoneFile,
               ZoneTables& t) {
    if (obj.rank == 0) {
        *obj.log << "ranking zones from " << zoneFile << " for " << obj.moduleName << "[end-entry]";
        // A failure on process 0 is announced to the others, so that every process stops alike.
        int failure = 0;
        try {
            RankOnRoot(obj, *zone, relArea, zoneFile, t);
        } catch (const ModelError& e) {
            failure = e.code();
            if (obj.size > 1) MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
            throw;
        }
        if (obj.size > 1) MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
    } else {
        int failure = 0;
        MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
        if (failure != 0) {
            *obj.log << "FATAL: zone ranking failed on process 0" << "[end-entry]";
            throw ModelError(failure);
        }
    }
    if (obj.size <= 1) return;
    int counts[2] = {t.zoneCount, t.maxCode};
    MPI_Bcast(counts, 2, MPI_INT, 0, MPI_COMM_WORLD);
    if (obj.rank != 0) {
        t.zoneCount = counts[0];
        t.maxCode = counts[1];
        t.codeToZone.assign(ZoneTables::kMaxCode + 1, 0);
        t.records.assign(static_cast<std::size_t>(t.zoneCount) + 1, ZoneRecord{});
        t.columns.assign(static_cast<std::size_t>(obj.nrows) + 1, ColumnRange{0, -1});
    }
    MPI_Bcast(t.codeToZone.data(), t.maxCode + 1, MPI_INT32_T, 0, MPI_COMM_WORLD);
    static_assert(sizeof(ZoneRecord) == 5 * sizeof(double));
    MPI_Bcast(t.records.data(), (t.zoneCount + 1) * 5, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    static_assert(sizeof(ColumnRange) == 2 * sizeof(std::int32_t));
    MPI_Bcast(t.columns.data(), (obj.nrows + 1) * 2, MPI_INT32_T, 0, MPI_COMM_WORLD);
    if (obj.rank != 0) {
        for (int r = 0; r <= obj.nrows; ++r)
            if (r < obj.firstRow || r > obj.lastRow) t.columns[static_cast<std::size_t>(r)] = ColumnRange{0, -1};
    }
}
