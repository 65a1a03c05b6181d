#include "setup/regionweights.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <mpi.h>

#include "kernel/modelobject.hpp"
#include "kernel/threading.hpp"
#include "setup/mpiregions.hpp"
#include "setup/zoneranking.hpp"

namespace {

// The messages of a stop of the ranking (3: an invalid code, 4: too many regions).
void LogRankingStop(modelobject& obj, int stop, const std::string& file) {
    if (stop == 3)
        *obj.log << "FATAL: invalid region code in " << file << "!\n (codes has to be between 1 and "
                 << ZoneTables::kMaxCode << ")!\n" << "[end-entry]";
    else
        *obj.log << "FATAL: too much zones in " << file << ", (max. " << RegionTables::kMaxRegions << ")!\n"
                 << "[end-entry]";
}

void RankRegionsOnRoot(modelobject& obj, const Matrix& zone, const Matrix& region, const std::string& file,
                       RegionTables& t) {
    t.codeToRegion.assign(ZoneTables::kMaxCode + 1, 0);
    t.records.assign(1, RegionRecord{});
    t.codes.assign(1, 0);
    t.regionCount = 0;
    t.maxCode = 0;
    for (int r = 1; r <= obj.nrows; ++r) {
        for (int c = 1; c <= obj.ncols; ++c) {
            if (zone[r][c] == obj.nodata) continue;
            const long code = ZoneCode(region[r][c]);
            if (code < 1 || code > ZoneTables::kMaxCode) {
                LogRankingStop(obj, 3, file);
                throw ModelError(3);
            }
            if (t.codeToRegion[static_cast<std::size_t>(code)] != 0) continue;
            if (t.regionCount + 1 > RegionTables::kMaxRegions) {
                LogRankingStop(obj, 4, file);
                throw ModelError(4);
            }
            ++t.regionCount;
            t.codeToRegion[static_cast<std::size_t>(code)] = t.regionCount;
            t.maxCode = std::max(t.maxCode, static_cast<int>(code));
            t.codes.push_back(static_cast<std::int32_t>(code));
            t.records.emplace_back();
        }
    }
    std::sort(t.codes.begin() + 1, t.codes.end());
    for (int k = 1; k <= t.regionCount; ++k) t.codeToRegion[static_cast<std::size_t>(t.codes[static_cast<std::size_t>(k)])] = k;
    // Rows, columns and cells of each region are whole numbers, so their sums are exact in any
    // order: the threads count over shares of rows and their counts are added up.
    const std::size_t slots = static_cast<std::size_t>(t.regionCount) + 1;
    std::vector<std::int64_t> sumRow(slots, 0), sumCol(slots, 0), cellCount(slots, 0);
    const int nrows = obj.nrows, ncols = obj.ncols;
    const double nodata = obj.nodata;
#pragma omp parallel if (WorthThreads(1, nrows, ncols))
    {
        std::vector<std::int64_t> rows(slots, 0), cols(slots, 0), cells(slots, 0);
#pragma omp for schedule(runtime)
        for (int r = 1; r <= nrows; ++r) {
            for (int c = 1; c <= ncols; ++c) {
                if (zone[r][c] == nodata || region[r][c] == nodata) continue;
                const auto k = static_cast<std::size_t>(t.codeToRegion[static_cast<std::size_t>(ZoneCode(region[r][c]))]);
                rows[k] += r;
                cols[k] += c;
                cells[k] += 1;
            }
        }
#pragma omp critical(region_centres)
        for (std::size_t k = 0; k < slots; ++k) {
            sumRow[k] += rows[k];
            sumCol[k] += cols[k];
            cellCount[k] += cells[k];
        }
    }
    for (int k = 1; k <= t.regionCount; ++k) {
        RegionRecord& rec = t.records[static_cast<std::size_t>(k)];
        rec.cellCount = static_cast<double>(cellCount[static_cast<std::size_t>(k)]);
        if (rec.cellCount > 0) {
            rec.meanRow = static_cast<double>(sumRow[static_cast<std::size_t>(k)]) / rec.cellCount;
            rec.meanCol = static_cast<double>(sumCol[static_cast<std::size_t>(k)]) / rec.cellCount;
        }
        rec.centreRow = static_cast<std::int32_t>(rec.meanRow);
        rec.centreCol = static_cast<std::int32_t>(rec.meanCol);
    }
}

// The ranking from every process's own cells (the valid zone cells the decomposition gives it)
// instead of process 0's scan of the whole grid: the codes each process meets first and its
// first invalid code give the same stop and the same codes as the row-order scan, and the
// sums of rows, columns and cells per region are sums of whole numbers, exact in any order.
// Returns the stop (0: ranked); every process returns the same.
int RankRegionsShared(modelobject& obj, const Matrix& region, RegionTables& t) {
    const Matrix& owners = *obj.mpiRegions;
    const double self = obj.rank;
    const int ncols = obj.ncols;
    // The own cells in row order, run by run of own cells of one region value (equal values
    // have one code): visit(row, first column, last column, code) until it returns false.
    auto ownRuns = [&](auto&& visit) {
        for (int r = std::max(obj.firstRow, 1); r <= obj.lastRow; ++r) {
            if (!owners.holds(r) || !region.holds(r)) continue;
            const double* owner = owners[r];
            const double* value = region[r];
            for (int c = 1; c <= ncols;) {
                const int end = EqualRunEnd(owner, c + 1, ncols, owner[c]);
                for (int a = c; owner[c] == self && a < end;) {
                    const int b = std::min(EqualRunEnd(value, a + 1, ncols, value[a]), end);
                    if (!visit(r, a, b - 1, ZoneCode(value[a]))) return;
                    a = b;
                }
                c = end;
            }
        }
    };
    std::vector<CodePlace> own;
    std::int64_t firstInvalid = FirstCodes::kNoPlace;
    std::vector<bool> met(ZoneTables::kMaxCode + 1, false);
    // Only the first cell of a run can meet its code first.
    ownRuns([&](int r, int c, int, long code) {
        const std::int64_t place = std::int64_t(r - 1) * obj.ncols + (c - 1);
        if (code < 1 || code > ZoneTables::kMaxCode) {
            firstInvalid = place;
            return false;
        }
        if (met[static_cast<std::size_t>(code)]) return true;
        met[static_cast<std::size_t>(code)] = true;
        own.push_back(CodePlace{place, static_cast<std::int32_t>(code), 0, region[r][c]});
        return own.size() <= RegionTables::kMaxRegions;
    });
    const FirstCodes first = MergeFirstCodes(own, firstInvalid, RegionTables::kMaxRegions);
    if (const int stop = first.Stop(RegionTables::kMaxRegions)) return stop;

    t.regionCount = static_cast<int>(first.codes.size());
    t.codes.assign(1, 0);
    for (const CodePlace& c : first.codes) t.codes.push_back(c.code);
    std::sort(t.codes.begin() + 1, t.codes.end());
    t.maxCode = t.codes.back();
    t.codeToRegion.assign(ZoneTables::kMaxCode + 1, 0);
    for (int k = 1; k <= t.regionCount; ++k) t.codeToRegion[static_cast<std::size_t>(t.codes[static_cast<std::size_t>(k)])] = k;
    // Per region: the sum of rows, the sum of columns, the cells.
    std::vector<double> sums(3 * (static_cast<std::size_t>(t.regionCount) + 1), 0.0);
    ownRuns([&](int r, int first, int last, long code) {
        const std::size_t k = 3 * static_cast<std::size_t>(t.codeToRegion[static_cast<std::size_t>(code)]);
        const double n = last - first + 1;
        sums[k] += r * n;
        sums[k + 1] += (double(first) + last) * n / 2;
        sums[k + 2] += n;
        return true;
    });
    MPI_Allreduce(MPI_IN_PLACE, sums.data(), static_cast<int>(sums.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    t.records.assign(static_cast<std::size_t>(t.regionCount) + 1, RegionRecord{});
    for (int k = 1; k <= t.regionCount; ++k) {
        RegionRecord& rec = t.records[static_cast<std::size_t>(k)];
        const std::size_t i = 3 * static_cast<std::size_t>(k);
        rec.cellCount = sums[i + 2];
        if (rec.cellCount > 0) {
            rec.meanRow = sums[i] / rec.cellCount;
            rec.meanCol = sums[i + 1] / rec.cellCount;
        }
        rec.centreRow = static_cast<std::int32_t>(rec.meanRow);
        rec.centreCol = static_cast<std::int32_t>(rec.meanCol);
    }
    return 0;
}

}  // namespace

void RankRegions(modelobject& obj, const Matrix* zone, const Matrix* region, const std::string& file,
                 RegionTables& t) {
    if (obj.rank == 0) *obj.log << "ranking regions from " << file << " for " << obj.moduleName << "[end-entry]";
    if (obj.size > 1 && obj.mpiRegions != nullptr) {
        if (const int stop = RankRegionsShared(obj, *region, t)) {
            if (obj.rank == 0) LogRankingStop(obj, stop, file);
            else *obj.log << "FATAL: region ranking failed on process 0" << "[end-entry]";
            throw ModelError(stop);
        }
        return;
    }
    int failure = 0;
    if (obj.rank == 0) {
        try {
            RankRegionsOnRoot(obj, *zone, *region, file, t);
        } catch (const ModelError& e) {
            failure = e.code();
        }
    }
    if (obj.size > 1) MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (failure) {
        if (obj.rank != 0) *obj.log << "FATAL: region ranking failed on process 0" << "[end-entry]";
        throw ModelError(failure);
    }
    if (obj.size <= 1) return;
    MPI_Barrier(MPI_COMM_WORLD);
    int counts[2] = {t.regionCount, t.maxCode};
    MPI_Bcast(counts, 2, MPI_INT, 0, MPI_COMM_WORLD);
    MPI_Barrier(MPI_COMM_WORLD);
    if (obj.rank != 0) {
        t.regionCount = counts[0];
        t.maxCode = counts[1];
        t.codeToRegion.assign(ZoneTables::kMaxCode + 1, 0);
        t.records.assign(static_cast<std::size_t>(t.regionCount) + 1, RegionRecord{});
        t.codes.assign(static_cast<std::size_t>(t.regionCount) + 1, 0);
    }
    MPI_Bcast(t.codeToRegion.data(), t.maxCode + 1, MPI_INT32_T, 0, MPI_COMM_WORLD);
    MPI_Bcast(t.codes.data(), t.regionCount + 1, MPI_INT32_T, 0, MPI_COMM_WORLD);
    // Records as a structure of two integers and three doubles.
    MPI_Datatype recType;
    int lengths[2] = {2, 3};
    MPI_Aint displs[2] = {offsetof(RegionRecord, centreRow), offsetof(RegionRecord, meanRow)};
    MPI_Datatype types[2] = {MPI_INT32_T, MPI_DOUBLE};
    MPI_Datatype tmp;
    MPI_Type_create_struct(2, lengths, displs, types, &tmp);
    MPI_Type_create_resized(tmp, 0, sizeof(RegionRecord), &recType);
    MPI_Type_commit(&recType);
    MPI_Bcast(t.records.data(), t.regionCount + 1, recType, 0, MPI_COMM_WORLD);
    MPI_Type_free(&recType);
    MPI_Type_free(&tmp);
}

namespace {

struct Point {
    int row = 0, col = 0;
};

// What a cell's search of its neighbourhood finds: w1 the distance (whole cells) to the nearest
// cell of region r2 (0: none found), w2 and w3 the distances that rank a third region r3, p2
// and p3 the cells taken for r2 and r3.
struct Nearest {
    explicit Nearest(double D) : w1(D), w2(D), w3(D) {}
    double w1, w2, w3;
    double r2 = 0, r3 = 0;
    Point p2, p3;
};

// The region grid itself holds nodata there already.
void SetNodata(const RegionWeightGrids& g, int r, int c, double nd) {
    for (Matrix* m : {g.weights1, g.regions2, g.weights2, g.regions3, g.weights3})
        if (m) (*m)[r][c] = nd;
}

// Weights of a cell with three or more regions, from the distances (in cells) to the nearest
// points of regions 2 and 3.
void ThreeRegionWeights(double D, double d2, double d3, double& w1, double& w2, double& w3) {
    double a = D - std::min(d2, d3), b = D + d2, c = D + d3;
    auto inverse = [](double& x) {
        if (x <= 0) {
            x = 1;
            return 1.0;
        }
        return 1.0 / x;
    };
    double A1 = inverse(a), A2 = inverse(b), A3 = inverse(c);
    const double m = std::min({a, b, c});
    const double f = (0.9 - 0.5 * std::cos(m / D * 1.5707963)) / (2 * D);
    A1 = std::max(A1 - f, 0.0);
    A2 = std::max(A2 - f, 0.0);
    A3 = std::max(A3 - f, 0.0);
    const double s = A1 + A2 + A3;
    w1 = s > 0 ? A1 / s : 1.0;
    w2 = s > 0 ? A2 / s : 0.0;
    if (w1 + w2 > 1) w2 = 1 - w1;
    w3 = 1 - w1 - w2;
}

// A cell's neighbourhood: at row offset dr (0..reach, either side) the columns within
// halfWidth[dr] of its own. Inside the grid it holds every cell whose squared offset
// dr * dr + dc * dc is at most inner and none whose squared offset exceeds outer; the two
// differ only where rounding of the half-widths splits the cells that lie exactly on one circle.
struct Neighbourhood {
    int reach = 0;
    std::vector<int> halfWidth;
    std::int64_t inner = 0, outer = 0;
};

Neighbourhood MakeNeighbourhood(double D, int nrows, int ncols) {
    Neighbourhood n;
    n.reach = D >= nrows ? nrows : static_cast<int>(D);
    n.halfWidth.resize(static_cast<std::size_t>(n.reach) + 1);
    for (int i = 0; i <= n.reach; ++i) {
        const double dr = i;
        const double h2 = D * D - dr * dr;
        n.halfWidth[static_cast<std::size_t>(i)] =
            h2 > 0 ? (h2 >= double(ncols) * ncols ? ncols : static_cast<int>(std::sqrt(h2))) : 0;
    }
    std::int64_t firstOutside = std::numeric_limits<std::int64_t>::max();
    n.outer = 0;
    for (std::int64_t dr = 0; dr < nrows; ++dr) {
        if (dr > n.reach) {
            firstOutside = std::min(firstOutside, dr * dr);
            break;
        }
        const std::int64_t h = std::min(n.halfWidth[static_cast<std::size_t>(dr)], ncols - 1);
        n.outer = std::max(n.outer, dr * dr + h * h);
        if (h < ncols - 1) firstOutside = std::min(firstOutside, dr * dr + (h + 1) * (h + 1));
    }
    n.inner = firstOutside - 1;
    return n;
}

// Aids of the search: runs of equal values in each row and stretches of rows holding one
// value, over the rows top..bottom.
struct ScanAids {
    int top = 0;
    std::size_t stride = 0;
    std::vector<std::int32_t> runEnds;
    std::vector<std::int32_t> stretchEnd;
    std::vector<double> stretchValue;
};

ScanAids MakeScanAids(const Matrix& reg, int top, int bottom, int ncols, double nd) {
    ScanAids a;
    a.top = top;
    // runEnd[c] is the last column of the run of equal values that holds column c. A cell whose
    // value is skipped (the own region or no region) lets every cell of its run be skipped, as
    // they compare alike.
    a.stride = static_cast<std::size_t>(ncols) + 1;
    a.runEnds.resize(static_cast<std::size_t>(bottom - top + 1) * a.stride);
    for (int rr = top; rr <= bottom; ++rr) {
        const double* row = reg[rr];
        std::int32_t* end = a.runEnds.data() + static_cast<std::size_t>(rr - top) * a.stride;
        // A run's cells all compare equal to its first (a NaN stands alone): found four cells a
        // test where the processor allows, and the run's end written to all its cells at once.
        for (int c = 1; c <= ncols;) {
            const int next = EqualRunEnd(row, c + 1, ncols, row[c]);
            std::fill(end + c, end + next, next - 1);
            c = next;
        }
    }
    // Stretches of whole rows whose valid values are all one value: stretchEnd[rr] is the last
    // row of the stretch that starts at row rr (rr - 1 when the row itself holds two values),
    // stretchValue its value (NaN while the rows hold no valid value). A cell of that value
    // whose neighbourhood rows lie in one stretch finds no other region.
    const std::size_t window = static_cast<std::size_t>(bottom - top + 1);
    a.stretchEnd.assign(window + 1, bottom);
    a.stretchValue.assign(window + 1, std::nan(""));
    for (int rr = bottom; rr >= top; --rr) {
        const double* row = reg[rr];
        double value = std::nan("");
        bool mixed = false;
        // Run by run: the cells of a run are all valid or all not, and equal to its first.
        for (int c = 1; c <= ncols && !mixed;) {
            const double x = row[c];
            const int next = EqualRunEnd(row, c + 1, ncols, x);
            if (x > nd) {
                if (std::isnan(value)) value = x;
                else if (x != value) mixed = true;
            }
            c = next;
        }
        const auto i = static_cast<std::size_t>(rr - top);
        if (mixed) {
            a.stretchEnd[i] = rr - 1;
        } else if (rr == bottom || a.stretchEnd[i + 1] < rr + 1) {
            a.stretchEnd[i] = rr;
            a.stretchValue[i] = value;
        } else if (std::isnan(value) || std::isnan(a.stretchValue[i + 1]) || value == a.stretchValue[i + 1]) {
            a.stretchEnd[i] = a.stretchEnd[i + 1];
            a.stretchValue[i] = std::isnan(value) ? a.stretchValue[i + 1] : value;
        } else {
            a.stretchEnd[i] = rr;
            a.stretchValue[i] = value;
        }
    }
    return a;
}

// One cell of another value (v, whole distance dist, at rr, cc) through the search's rules: the
// first other region met is r2, the next r3; a further one takes the place of r3 or r2 when
// nearer. Ties go to the cell met later.
void Meet(Nearest& f, double v, double dist, int rr, int cc) {
    if (f.r2 == 0) f.r2 = v;
    if (v == f.r2) {
        if (f.w1 >= dist) {
            f.w1 = f.w2 = dist;
            f.p2 = {rr, cc};
        }
    } else {
        if (f.r3 == 0) f.r3 = v;
        if (v == f.r3) {
            if (f.w3 >= dist) {
                f.w3 = dist;
                f.p3 = {rr, cc};
            }
        } else if (f.w3 > f.w2 && f.w3 > dist) {
            f.r3 = v;
            f.w3 = dist;
            f.p3 = {rr, cc};
        } else if (f.w2 > dist) {
            f.r2 = v;
            f.w2 = dist;
            f.p2 = {rr, cc};
        }
    }
}

// Cells a..b of row rr, all equal to v, met one after the other, as Meet would take them: their
// distances fall from a to b (falling) or grow. A cell that changes nothing leaves the state as
// it was, and whether a cell changes something depends on its distance alone, so the search
// finds the first cell that acts by bisection; once v is r2 or r3, every further cell that acts
// only overwrites the distance and the cell of v, and the last of them is taken directly.
template <class Distance>
void MeetRun(Nearest& f, const double* row, int a, int b, bool falling, int rr, const Distance& dist) {
    const double v = row[a];  // equal to every value of the run (0 and -0 may both be there)
    auto firstCloserThan = [&](double limit) {  // falling: first cell with a distance below limit
        int lo = a, hi = b + 1;
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (dist(mid) < limit) hi = mid;
            else lo = mid + 1;
        }
        return lo;
    };
    while (a <= b) {
        if (f.r2 == 0 || (!(v == f.r2) && f.r3 == 0)) {
            // r2 or r3 still to be set: every cell counts.
            Meet(f, row[a], dist(a), rr, a);
            ++a;
            continue;
        }
        if (v == f.r2 || v == f.r3) {
            const double limit = v == f.r2 ? f.w1 : f.w3;  // a cell acts at a distance up to limit
            if (falling) {
                if (dist(b) <= limit) Meet(f, row[b], dist(b), rr, b);
            } else if (const double d = dist(a); d <= limit) {
                // Then only the cells of the same distance act: the last of them remains.
                int lo = a, hi = b;
                while (lo < hi) {
                    const int mid = lo + (hi - lo + 1) / 2;
                    if (dist(mid) <= d) lo = mid;
                    else hi = mid - 1;
                }
                Meet(f, row[lo], d, rr, lo);
            }
            return;
        }
        // A further region acts where it is nearer than r3 (when r3 is the farther) or than r2.
        const double limit = f.w3 > f.w2 ? f.w3 : f.w2;
        const int j = falling ? firstCloserThan(limit) : (dist(a) < limit ? a : b + 1);
        if (j > b) return;
        Meet(f, row[j], dist(j), rr, j);
        a = j + 1;
    }
}

// The search of cell (r, c): the neighbourhood row by row, each row from left to right,
// each run of equal values as one (left of the cell and from it on apart, where the distances
// fall and grow).
Nearest Scan(const Matrix& reg, const Neighbourhood& n, const ScanAids& a, int r, int c, int nrows, int ncols,
             double D, double nd) {
    Nearest f(D);
    const double own = reg[r][c];
    const int first = std::max(1, r - n.reach), last = std::min(nrows, r + n.reach);
    const auto s = static_cast<std::size_t>(first - a.top);
    const bool alone = a.stretchEnd[s] >= last && (std::isnan(a.stretchValue[s]) || a.stretchValue[s] == own);
    for (int rr = alone ? last + 1 : first; rr <= last; ++rr) {
        const double dr = r - rr;
        const int h = n.halfWidth[static_cast<std::size_t>(std::abs(r - rr))];
        const double* row = reg[rr];
        const std::int32_t* end = a.runEnds.data() + static_cast<std::size_t>(rr - a.top) * a.stride;
        const int right = std::min(ncols, c + h);
        auto dist = [c, dr](int cc) { return std::trunc(std::sqrt(double(c - cc) * (c - cc) + dr * dr)); };
        for (int cc = std::max(1, c - h); cc <= right;) {
            const double v = row[cc];
            const int runEnd = std::min(end[cc], right);
            if (v != own && v > nd) {
                if (cc < c) MeetRun(f, row, cc, std::min(runEnd, c - 1), true, rr, dist);
                if (runEnd >= c) MeetRun(f, row, std::max(cc, c), runEnd, false, rr, dist);
            }
            cc = runEnd + 1;
        }
    }
    return f;
}

std::uint64_t Bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// One past the run of cells from c on (up to end) with the bits of cell c. Cells that compare
// equal have the same bits unless they are zeros (0 and -0): those runs go cell by cell.
int SameBitsRunEnd(const double* row, int c, int end) {
    const double v = row[c];
    if (v != 0) return EqualRunEnd(row, c + 1, end, v);
    const std::uint64_t b = Bits(v);
    int next = c + 1;
    while (next <= end && Bits(row[next]) == b) ++next;
    return next;
}

// The cells of one value (by its bits: 0 and -0 are two) in a window of rows, with the rows and
// columns they span.
struct ValueSpan {
    double value = 0;
    std::uint64_t bits = 0;
    int r0 = 0, r1 = 0, c0 = 0, c1 = 0;
};

// The values above nodata in rows top..bottom; false when there are more than kMaxSpans.
constexpr std::size_t kMaxSpans = 64;
bool CollectValues(const Matrix& reg, int top, int bottom, int ncols, double nd, std::vector<ValueSpan>& spans) {
    std::size_t k = 0;
    for (int rr = top; rr <= bottom; ++rr) {
        const double* row = reg[rr];
        // Run by run of cells with the same bits, each run as its cells one after the other.
        for (int c = 1; c <= ncols;) {
            const int next = SameBitsRunEnd(row, c, ncols);
            if (!(row[c] > nd)) {
                c = next;
                continue;
            }
            const std::uint64_t b = Bits(row[c]);
            if (k >= spans.size() || spans[k].bits != b) {
                k = 0;
                while (k < spans.size() && spans[k].bits != b) ++k;
                if (k == spans.size()) {
                    if (spans.size() == kMaxSpans) return false;
                    spans.push_back({row[c], b, rr, rr, c, c});
                }
            }
            ValueSpan& s = spans[k];
            s.r1 = rr;
            s.c0 = std::min(s.c0, c);
            s.c1 = std::max(s.c1, next - 1);
            c = next;
        }
    }
    return true;
}

// One parabola per position u of a row, height G[u], bottom at u: the lowest of them at every
// position (the lower envelope), exact in integers. s and t are scratch of the row's length.
void LowerEnvelope(const std::int64_t* G, int m, int* s, int* t, std::int64_t* out) {
    auto f = [G](std::int64_t x, int i) { return (x - i) * (x - i) + G[i]; };
    int q = 0;
    s[0] = 0;
    t[0] = 0;
    for (int u = 1; u < m; ++u) {
        while (q >= 0 && f(t[q], s[q]) > f(t[q], u)) --q;
        if (q < 0) {
            q = 0;
            s[0] = u;
        } else {
            // First position where parabola u lies below parabola s[q] (the numerator is not
            // negative: u does not lie below s[q] at t[q] >= 0).
            const std::int64_t i = s[q];
            const std::int64_t w = 1 + (std::int64_t(u) * u - i * i + G[u] - G[i]) / (2 * (u - i));
            if (w < m) {
                ++q;
                s[q] = u;
                t[q] = static_cast<int>(w);
            }
        }
    }
    for (int u = m - 1; u >= 0; --u) {
        out[u] = f(u, s[q]);
        if (u == t[q]) --q;
    }
}

// Whether a cell of columns left..right of a row, inside the zone, holds another value than v.
bool LearnsFromValue(const double* region, const double* zone, int left, int right, double v, double nd) {
    for (int c = left; c <= right; ++c)
        if (!(v == region[c]) && !(zone[c] <= nd)) return true;
    return false;
}

// What the nearest cells of other values tell about each cell of rows lo..hi.
enum Certainty : std::uint8_t {
    kNoOther = 0,  // no cell of another value in the neighbourhood
    kOneOther,     // cells of exactly one other value, the nearest at a known squared offset
    kSearch,       // cells of two or more values, or one on the circle's rounding: search
};

}  // namespace

void RegionWeightRows(const Matrix& reg, const Matrix& zone, const std::vector<ColumnRange>& columns, int lo, int hi,
                      int nrows, int ncols, double D, int regionCount, double nd, RegionWeightGrids& g) {
    if (hi < lo) return;
    const Neighbourhood n = MakeNeighbourhood(D, nrows, ncols);
    // The rows a cell's neighbourhood reaches (the whole grid when the distance spans it).
    const int top = std::max(1, lo - n.reach), bottom = std::min(nrows, hi + n.reach);
    const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
    const std::size_t cells = static_cast<std::size_t>(hi - lo + 1) * stride;
    auto at = [&](int r, int c) { return static_cast<std::size_t>(r - lo) * stride + static_cast<std::size_t>(c); };

    // For each value of the window, the squared offset of its nearest cell from every cell of
    // rows lo..hi within its reach: along each column first, then along each row the lower
    // envelope of the parabolas dc * dc + (column distance)^2. Cost: the cells each value's
    // reach spans, whatever the distance.
    std::vector<ValueSpan> spans;
    const bool direct = D > 0 && CollectValues(reg, top, bottom, ncols, nd, spans);
    std::vector<std::uint8_t> certainty(cells, direct ? kNoOther : kSearch);
    std::vector<std::uint8_t> otherValue(direct ? cells : 0);
    std::vector<std::int64_t> squared(direct ? cells : 0);
    if (direct) {
        const int wide = std::min(n.halfWidth[0], ncols - 1);
        const std::int64_t far = std::int64_t(nrows) + ncols + 2;  // beyond every offset in the grid
        std::vector<std::int32_t> along, last(stride);
#pragma omp parallel if (WorthThreads(lo, hi, ncols))
        {
            std::vector<std::int64_t> G(stride), envelope(stride);
            std::vector<int> s(stride), t(stride);
            for (std::size_t k = 0; k < spans.size(); ++k) {
                const ValueSpan& v = spans[k];
                const int oLo = std::max(lo, v.r0 - n.reach), oHi = std::min(hi, v.r1 + n.reach);
                const int cLo = std::max(1, v.c0 - wide), cHi = std::min(ncols, v.c1 + wide);
                if (oHi < oLo) continue;
                const int m = cHi - cLo + 1;
                const auto width = static_cast<std::size_t>(m);
#pragma omp single
                {
                    // Row distance to the nearest cell of the value in each column, from above
                    // and from below.
                    constexpr std::int32_t kNone = 1 << 29;
                    along.resize(static_cast<std::size_t>(oHi - oLo + 1) * width);
                    std::fill(last.begin(), last.begin() + m, -kNone);
                    // A cell of the value more than reach rows away never counts (its squared
                    // offset exceeds outer): the scans start at most reach rows from the rows asked.
                    for (int rr = std::min(oLo, std::max(v.r0, oLo - n.reach)); rr <= oHi; ++rr) {
                        if (rr >= v.r0 && rr <= v.r1)
                            for (int q = 0; q < m; ++q)
                                if (Bits(reg[rr][cLo + q]) == v.bits) last[static_cast<std::size_t>(q)] = rr;
                        if (rr < oLo) continue;
                        std::int32_t* a = along.data() + static_cast<std::size_t>(rr - oLo) * width;
                        for (int q = 0; q < m; ++q) a[q] = rr - last[static_cast<std::size_t>(q)];
                    }
                    std::fill(last.begin(), last.begin() + m, kNone);
                    for (int rr = std::max(oHi, std::min(v.r1, oHi + n.reach)); rr >= oLo; --rr) {
                        if (rr >= v.r0 && rr <= v.r1)
                            for (int q = 0; q < m; ++q)
                                if (Bits(reg[rr][cLo + q]) == v.bits) last[static_cast<std::size_t>(q)] = rr;
                        if (rr > oHi) continue;
                        std::int32_t* a = along.data() + static_cast<std::size_t>(rr - oLo) * width;
                        for (int q = 0; q < m; ++q) a[q] = std::min(a[q], last[static_cast<std::size_t>(q)] - rr);
                    }
                }
#pragma omp for schedule(static)
                for (int r = oLo; r <= oHi; ++r) {
                    const ColumnRange range = columns[static_cast<std::size_t>(r)];
                    const int right = std::min(range.last, cHi);
                    const int left = std::max({range.first, 1, cLo});
                    // Cells of the value learn nothing from it, and a cell outside the zone is
                    // never asked what it learnt: a row holding no other cell needs no envelope.
                    if (!LearnsFromValue(reg[r], zone[r], left, right, v.value, nd)) continue;
                    const std::int32_t* a = along.data() + static_cast<std::size_t>(r - oLo) * width;
                    for (int q = 0; q < m; ++q) {
                        const std::int64_t d = std::min<std::int64_t>(a[q], far);
                        G[static_cast<std::size_t>(q)] = d * d;
                    }
                    LowerEnvelope(G.data(), m, s.data(), t.data(), envelope.data());
                    for (int c = left; c <= right; ++c) {
                        const std::int64_t x = envelope[static_cast<std::size_t>(c - cLo)];
                        if (x > n.outer || v.value == reg[r][c]) continue;
                        const std::size_t i = at(r, c);
                        if (x > n.inner || certainty[i] != kNoOther) {
                            certainty[i] = kSearch;
                        } else {
                            certainty[i] = kOneOther;
                            otherValue[i] = static_cast<std::uint8_t>(k);
                            squared[i] = x;
                        }
                    }
                }
            }
        }
    }

    // The search where the nearest cells do not settle the result.
    bool search = false;
    for (int r = lo; r <= hi && !search; ++r) {
        const ColumnRange range = columns[static_cast<std::size_t>(r)];
        for (int c = std::max(range.first, 1); c <= range.last; ++c)
            if (certainty[at(r, c)] == kSearch && !(zone[r][c] <= nd)) search = true;
    }
    const ScanAids aids = search ? MakeScanAids(reg, top, bottom, ncols, nd) : ScanAids{};

#pragma omp parallel for schedule(dynamic, 4) if (WorthThreads(lo, hi, ncols))
    for (int r = lo; r <= hi; ++r) {
        const ColumnRange range = columns[static_cast<std::size_t>(r)];
        for (int c = std::max(range.first, 1); c <= range.last; ++c) {
            if (zone[r][c] <= nd) {
                SetNodata(g, r, c, nd);
                continue;
            }
            const std::size_t i = at(r, c);
            Nearest f(D);
            if (certainty[i] == kSearch) {
                f = Scan(reg, n, aids, r, c, nrows, ncols, D, nd);
            } else if (certainty[i] == kOneOther) {
                // The search meets only this value; it keeps the smallest whole distance.
                f.r2 = spans[otherValue[i]].value;
                const double dist = std::trunc(std::sqrt(double(squared[i])));
                if (f.w1 >= dist) f.w1 = f.w2 = dist;
            }
            double w1 = f.w1, w2 = f.w2, w3 = f.w3;
            const double r2 = f.r2, r3 = f.r3;
            const double t = w1 / (2 * D) + 0.5;
            if (regionCount <= 1) {
                w1 = 1;
            } else if (regionCount == 2) {
                w1 = std::min(t, 1.0);
                w2 = 1 - w1;
            } else {
                w1 = std::min(t, 1.0);
                if (r3 > 0) {
                    const double d2 = std::hypot(double(r - f.p2.row), double(c - f.p2.col));
                    const double d3 = std::hypot(double(r - f.p3.row), double(c - f.p3.col));
                    ThreeRegionWeights(D, d2, d3, w1, w2, w3);
                } else {
                    w3 = 0;
                    w2 = r2 > 0 ? 1 - w1 : 0;
                }
            }
            (*g.weights1)[r][c] = w1;
            if (g.regions2) {
                (*g.regions2)[r][c] = r2;
                (*g.weights2)[r][c] = w2;
            }
            if (g.regions3) {
                (*g.regions3)[r][c] = r3;
                (*g.weights3)[r][c] = w3;
            }
        }
    }
}

namespace {

// The weight grids of a process, in a fixed order (null where fewer regions exist).
std::vector<Matrix*> OutputGrids(const RegionWeightGrids& g) {
    std::vector<Matrix*> out;
    for (Matrix* m : {g.weights1, g.regions2, g.weights2, g.regions3, g.weights3})
        if (m) out.push_back(m);
    return out;
}

// Pieces of rows (row, first column, count) as one committed type over their places in grid.
MPI_Datatype PiecesType(const std::vector<const Matrix*>& grids, const std::vector<std::array<int, 3>>& pieces) {
    std::vector<MPI_Aint> places;
    std::vector<int> lengths;
    for (const Matrix* m : grids)
        for (const auto& [r, c, n] : pieces) {
            places.emplace_back();
            MPI_Get_address((*m)[r] + c, &places.back());
            lengths.push_back(n);
        }
    MPI_Datatype type;
    MPI_Type_create_hindexed(static_cast<int>(places.size()), lengths.data(), places.data(), MPI_DOUBLE, &type);
    MPI_Type_commit(&type);
    return type;
}

// The places first..last (row order, 0-based) that lie in rows top..bottom, as row pieces.
std::vector<std::array<int, 3>> PlacesInRows(std::int64_t first, std::int64_t last, int top, int bottom, int ncols) {
    first = std::max(first, std::int64_t(top - 1) * ncols);
    last = std::min(last, std::int64_t(bottom) * ncols - 1);
    std::vector<std::array<int, 3>> pieces;
    for (std::int64_t p = first; p <= last;) {
        const int r = static_cast<int>(p / ncols) + 1, c = static_cast<int>(p % ncols) + 1;
        const int n = static_cast<int>(std::min<std::int64_t>(last - p + 1, ncols - c + 1));
        pieces.push_back({r, c, n});
        p += n;
    }
    return pieces;
}

}  // namespace

RegionWindow StartRegionWindow(modelobject& obj, const Matrix& zone, const std::vector<ColumnRange>& columns,
                               double distance, Matrix& regions) {
    RegionWindow w;
    if (distance <= 0) distance = 0.01;
    w.D = distance / obj.cellsize;
    const double nd = obj.nodata;
    const int nrows = obj.nrows, ncols = obj.ncols;
    // Process 0's region grid keeps nodata where the zone is nodata (in the rows it holds).
    if (obj.rank == 0) {
        for (int r = 1; r <= nrows; ++r)
            if (regions.holds(r))
                for (int c = 1; c <= ncols; ++c)
                    if (zone[r][c] <= nd) regions[r][c] = nd;
    }
    w.columns = columns;
    if (obj.size < 2) return w;
    if (obj.mpiRegions == nullptr) obj.FindDecompositionGrids();
    if (obj.mpiRegions == nullptr) {
        *obj.log << "FATAL: the region weights need the grid MPIRegions" << "[end-entry]";
        throw ModelError(33);
    }
    const Matrix& owners = *obj.mpiRegions;

    // Every process computes the rows of the weight grids it holds (the others their own rows and
    // the rows next to them, process 0 its own rows; the rows no process owns hold no basin cell).
    // A cell's neighbourhood reaches rows top..bottom of the region grid; every valid cell there
    // has its value from its owner, whose cells are one stretch of places in row order (the
    // cells between them, outside the zone, nodata).
    const int size = obj.size, rank = obj.rank;
    w.reach = w.D >= nrows ? nrows : static_cast<int>(w.D);
    // Per process: the rows it computes, the places of its first and last own cell and whether
    // a cell of another owner lies between them (the window of every process would then take a
    // wrong value there).
    std::int64_t mine[5] = {rank == 0 ? obj.firstRow : std::max(obj.firstRow - 1, 1),
                            rank == 0 ? obj.lastRow : std::min(obj.lastRow + 1, nrows),
                            std::numeric_limits<std::int64_t>::max(), -1, 0};
    for (int r = std::max(obj.firstRow, 1); r <= obj.lastRow; ++r)
        for (int c = 1; c <= ncols; ++c) {
            const std::int64_t place = std::int64_t(r - 1) * ncols + (c - 1);
            if (owners[r][c] == rank) {
                mine[2] = std::min(mine[2], place);
                mine[3] = place;
            } else if (owners[r][c] != nd && mine[3] >= 0 && mine[4] == 0) {
                mine[4] = place;  // the first other owner's cell after an own one
            }
        }
    mine[4] = mine[4] > 0 && mine[4] < mine[3];
    w.processes.resize(static_cast<std::size_t>(size) * 5);
    MPI_Allgather(mine, 5, MPI_INT64_T, w.processes.data(), 5, MPI_INT64_T, MPI_COMM_WORLD);
    for (int p = 0; p < size; ++p)
        if (w.processes[static_cast<std::size_t>(5 * p + 4)] != 0) {
            *obj.log << "FATAL: the cells of process " << p << " do not follow one another in row order"
                     << "[end-entry]";
            throw ModelError(33);
        }
    w.columns.resize(static_cast<std::size_t>(nrows) + 1);
    static_assert(sizeof(ColumnRange) == 2 * sizeof(std::int32_t));
    MPI_Bcast(w.columns.data(), (nrows + 1) * 2, MPI_INT32_T, 0, MPI_COMM_WORLD);

    // This process's window of the region grid: nodata, its own cells' regions, then the other
    // owners' cells, under way when this returns.
    if (w.Last(rank) >= w.First(rank)) {
        w.rows = obj.matrix(w.Top(rank), w.Bottom(rank, nrows), 1, ncols, nrows);
        w.rows.fill(nd);
        for (int r = w.Top(rank); r <= w.Bottom(rank, nrows); ++r) w.rows[r][0] = 0;
        for (int r = std::max(obj.firstRow, 1); r <= obj.lastRow; ++r)
            for (int c = 1; c <= ncols; ++c)
                if (owners[r][c] == rank) w.rows[r][c] = regions[r][c];
    }
    const std::vector<const Matrix*> window{&w.rows};
    for (int q = 0; q < size; ++q) {
        if (q == rank || w.Last(rank) < w.First(rank) || w.Last(q) < w.First(q)) continue;
        const auto in = PlacesInRows(w.FirstPlace(q), w.LastPlace(q), w.Top(rank), w.Bottom(rank, nrows), ncols);
        if (!in.empty()) {
            w.types.push_back(PiecesType(window, in));
            w.requests.emplace_back();
            MPI_Irecv(MPI_BOTTOM, 1, w.types.back(), q, 2, MPI_COMM_WORLD, &w.requests.back());
        }
        const auto out = PlacesInRows(w.FirstPlace(rank), w.LastPlace(rank), w.Top(q), w.Bottom(q, nrows), ncols);
        if (!out.empty()) {
            w.types.push_back(PiecesType(window, out));
            w.requests.emplace_back();
            MPI_Isend(MPI_BOTTOM, 1, w.types.back(), q, 2, MPI_COMM_WORLD, &w.requests.back());
        }
    }
    return w;
}

RegionWindow::~RegionWindow() {
    if (!requests.empty()) MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
    for (MPI_Datatype& t : types) MPI_Type_free(&t);
}

void CompleteRegionWindow(RegionWindow& w) {
    if (!w.requests.empty()) MPI_Waitall(static_cast<int>(w.requests.size()), w.requests.data(), MPI_STATUSES_IGNORE);
    w.requests.clear();
}

void ComputeRegionWeights(modelobject& obj, RegionWindow& w, const Matrix& zone, int regionCount,
                          RegionWeightGrids& g) {
    if (obj.rank == 0) *obj.log << "generating region weight grids";
    const double nd = obj.nodata;
    const int nrows = obj.nrows, ncols = obj.ncols;
    if (obj.size < 2) {
        RegionWeightRows(*g.regions, zone, w.columns, 1, nrows, nrows, ncols, w.D, regionCount, nd, g);
        *obj.log << std::string(static_cast<std::size_t>(std::max(nrows, 0)), '.') << "[end-entry]";
        return;
    }
    const int size = obj.size, rank = obj.rank;
    CompleteRegionWindow(w);

    // Process 0 receives the rows it does not compute from the first other process that holds
    // each of them, straight into its weight grids while it computes its own.
    std::vector<int> computedBy(static_cast<std::size_t>(nrows) + 1, 0);
    for (int r = 1; r <= nrows; ++r) {
        if (r >= w.First(0) && r <= w.Last(0)) continue;
        for (int p = 1; p < size; ++p)
            if (r >= w.First(p) && r <= w.Last(p)) {
                computedBy[static_cast<std::size_t>(r)] = p;
                break;
            }
    }
    auto rowsOf = [&](int p) {
        std::vector<std::array<int, 3>> rows;
        for (int r = 1; r <= nrows; ++r)
            if (computedBy[static_cast<std::size_t>(r)] == p) rows.push_back({r, 1, ncols});
        return rows;
    };
    const std::vector<Matrix*> out = OutputGrids(g);
    const std::vector<const Matrix*> outGrids(out.begin(), out.end());
    std::vector<MPI_Request> requests;
    std::vector<MPI_Datatype> types;
    if (rank == 0) {
        for (int p = 1; p < size; ++p) {
            const auto rows = rowsOf(p);
            if (rows.empty()) continue;
            types.push_back(PiecesType(outGrids, rows));
            requests.emplace_back();
            MPI_Irecv(MPI_BOTTOM, 1, types.back(), p, 1, MPI_COMM_WORLD, &requests.back());
        }
    }
    RegionWeightRows(w.rows, *obj.mpiRegions, w.columns, w.First(rank), w.Last(rank), nrows, ncols, w.D, regionCount,
                     nd, g);
    if (rank != 0) {
        const auto rows = rowsOf(rank);
        if (!rows.empty()) {
            types.push_back(PiecesType(outGrids, rows));
            MPI_Send(MPI_BOTTOM, 1, types.back(), 0, 1, MPI_COMM_WORLD);
        }
    }
    MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
    for (MPI_Datatype& t : types) MPI_Type_free(&t);
    if (rank == 0) *obj.log << std::string(static_cast<std::size_t>(nrows), '.') << "[end-entry]";
}
