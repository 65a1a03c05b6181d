#include "setup/regionweights.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <mpi.h>

#include "kernel/modelobject.hpp"
#include "setup/zoneranking.hpp"

namespace {

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
                *obj.log << "FATAL: invalid region code in " << file << "!\n (codes has to be between 1 and "
                         << ZoneTables::kMaxCode << ")!\n" << "[end-entry]";
                throw ModelError(3);
            }
            if (t.codeToRegion[static_cast<std::size_t>(code)] != 0) continue;
            if (t.regionCount + 1 > RegionTables::kMaxRegions) {
                *obj.log << "FATAL: too much zones in " << file << ", (max. " << RegionTables::kMaxRegions << ")!\n"
                         << "[end-entry]";
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
    std::vector<double> sumRow(static_cast<std::size_t>(t.regionCount) + 1, 0.0), sumCol(sumRow);
    for (int r = 1; r <= obj.nrows; ++r) {
        for (int c = 1; c <= obj.ncols; ++c) {
            if (zone[r][c] == obj.nodata || region[r][c] == obj.nodata) continue;
            const auto k = static_cast<std::size_t>(t.codeToRegion[static_cast<std::size_t>(ZoneCode(region[r][c]))]);
            sumRow[k] += r;
            sumCol[k] += c;
            t.records[k].cellCount += 1;
        }
    }
    for (int k = 1; k <= t.regionCount; ++k) {
        RegionRecord& rec = t.records[static_cast<std::size_t>(k)];
        if (rec.cellCount > 0) {
            rec.meanRow = sumRow[static_cast<std::size_t>(k)] / rec.cellCount;
            rec.meanCol = sumCol[static_cast<std::size_t>(k)] / rec.cellCount;
        }
        rec.centreRow = static_cast<std::int32_t>(rec.meanRow);
        rec.centreCol = static_cast<std::int32_t>(rec.meanCol);
    }
}

}  // namespace

void RankRegions(modelobject& obj, const Matrix* zone, const Matrix* region, const std::string& file,
                 RegionTables& t) {
    int failure = 0;
    if (obj.rank == 0) {
        *obj.log << "ranking regions from " << file << " for " << obj.moduleName << "[end-entry]";
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

void SetNodata(const RegionWeightGrids& g, int r, int c, double nd) {
    for (Matrix* m : {g.regions, g.weights1, g.regions2, g.weights2, g.regions3, g.weights3})
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

}  // namespace

void ComputeRegionWeights(modelobject& obj, const Matrix& zone, const std::vector<ColumnRange>& columns,
                          double distance, int regionCount, RegionWeightGrids& g) {
    if (obj.rank != 0) return;
    *obj.log << "generating region weight grids";
    if (distance <= 0) distance = 0.01;
    const double D = distance / obj.cellsize;
    const int reach = static_cast<int>(D);
    const double nd = obj.nodata;
    const int nrows = obj.nrows, ncols = obj.ncols;
    Matrix& reg = *g.regions;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
            if (zone[r][c] <= nd) reg[r][c] = nd;

    for (int r = 1; r <= nrows; ++r) {
        const ColumnRange range = columns[static_cast<std::size_t>(r)];
        for (int c = std::max(range.first, 1); c <= range.last; ++c) {
            if (zone[r][c] <= nd) {
                SetNodata(g, r, c, nd);
                continue;
            }
            double w1 = D, w2 = D, w3 = D;
            double r2 = 0, r3 = 0;
            Point p2, p3;
            const double own = reg[r][c];
            for (int rr = std::max(1, r - reach); rr <= std::min(nrows, r + reach); ++rr) {
                const double dr = r - rr;
                const double h2 = D * D - dr * dr;
                const int h = h2 > 0 ? static_cast<int>(std::sqrt(h2)) : 0;
                for (int cc = std::max(1, c - h); cc <= std::min(ncols, c + h); ++cc) {
                    const double v = reg[rr][cc];
                    if (v == own || !(v > nd)) continue;
                    const double dist = std::trunc(std::sqrt(double(c - cc) * (c - cc) + dr * dr));
                    if (r2 == 0) r2 = v;
                    if (v == r2) {
                        if (w1 >= dist) {
                            w1 = w2 = dist;
                            p2 = {rr, cc};
                        }
                    } else {
                        if (r3 == 0) r3 = v;
                        if (v == r3) {
                            if (w3 >= dist) {
                                w3 = dist;
                                p3 = {rr, cc};
                            }
                        } else if (w3 > w2 && w3 > dist) {
                            r3 = v;
                            w3 = dist;
                            p3 = {rr, cc};
                        } else if (w2 > dist) {
                            r2 = v;
                            w2 = dist;
                            p2 = {rr, cc};
                        }
                    }
                }
            }
            const double t = w1 / (2 * D) + 0.5;
            if (regionCount <= 1) {
                w1 = 1;
            } else if (regionCount == 2) {
                w1 = std::min(t, 1.0);
                w2 = 1 - w1;
            } else {
                w1 = std::min(t, 1.0);
                if (r3 > 0) {
                    const double d2 = std::hypot(double(r - p2.row), double(c - p2.col));
                    const double d3 = std::hypot(double(r - p3.row), double(c - p3.col));
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
        *obj.log << ".";
    }
    *obj.log << "[end-entry]";
}
