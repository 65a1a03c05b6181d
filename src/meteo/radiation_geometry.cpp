// Sun path sub-steps, incidence and terrain shadow of the radiation correction.
#include "meteo/radiation_geometry.hpp"

#include <algorithm>
#include <cstdlib>

namespace radiation {

SubStepLight SubStepDarkness(double t, double d, double sunrise, double sunset) {
    const double t1 = t - d / 2.0;
    const double t2 = t + d / 2.0;
    SubStepLight l;
    l.darkBeforeSunrise = (t1 <= sunrise && sunrise < t2) ? sunrise - t1 : 0.0;
    double after = 0.0;
    if (sunset > sunrise) {
        if (t2 < sunset && t2 > sunrise)
            after = 0.0;
        else if (t1 < sunset && sunset < t2)
            after = t2 - sunset;
        else
            after = d;
    } else {
        if (sunset > t2)
            after = 0.0;
        else if (sunset > t1)
            after = t2 - sunset;
        else if (sunrise > t2)
            after = d;
        else
            after = 0.0;
    }
    double f = d > 0.0 ? (l.darkBeforeSunrise + after) / d : 1.0;
    if (f > 1.0) f -= 1.0;
    l.darkFraction = f;
    l.daylightFraction = 1.0 - f;
    l.night = f > 0.95 || l.daylightFraction < 0.05;
    return l;
}

double BeamRadiation(double d, double daylightFraction, double elevation, double cosZ) {
    if (!(elevation > kMinimumElevation)) return 0.0;
    return kSolarConstant * d * daylightFraction * std::pow(kTransmission, 0.9 / cosZ);
}

SunStep MakeSunStep(double azimuth, double zenith, double beam, bool night) {
    SunStep s;
    s.night = night;
    if (night) return s;
    s.cosZ = std::cos(zenith);
    s.sinZ = std::sin(zenith);
    s.cosAzimuth = std::cos(azimuth);
    s.sinAzimuth = std::sin(azimuth);
    s.beam = beam;
    return s;
}

CellOrientation OrientationOf(double slopeDegrees, double aspectDegrees, double nodata) {
    CellOrientation o;
    if (slopeDegrees == nodata || aspectDegrees == nodata || !std::isfinite(slopeDegrees) ||
        !std::isfinite(aspectDegrees))
        return o;
    const double rad = 3.141592653 / 180.0;
    const double s = slopeDegrees * rad;
    const double a = aspectDegrees * rad;
    o.cosSlope = std::cos(s);
    o.northSouth = std::sin(s) * std::cos(a);
    o.eastWest = std::sin(s) * std::sin(a);
    return o;
}

namespace {

// One ray from (row, col): the horizon sinks by drop per major step; cells below it are shaded.
struct Ray {
    int dr, dc;         // direction of a row and a column step
    bool rowsMajor;     // a major step moves one row (else one column)
    int majorCount;     // nrows or ncols: the error term's wrap
    int increment;      // growth of the error term per major step
    double drop;        // height drop per major step
    double gridNodata;
};

Ray MakeRay(int nrows, int ncols, double cellsize, double gridNodata, double azimuth, double elevation) {
    const double half = 1.570796326795;
    Ray ray{};
    if (azimuth <= half) {
        ray.dr = 1;
        ray.dc = -1;
    } else if (azimuth <= 3.14159265359) {
        ray.dr = -1;
        ray.dc = -1;
    } else if (azimuth <= 3 * half) {
        ray.dr = -1;
        ray.dc = 1;
    } else {
        ray.dr = 1;
        ray.dc = 1;
    }
    ray.gridNodata = gridNodata;
    const double ca = std::cos(azimuth), sa = std::sin(azimuth);
    const double rise = std::tan(elevation);
    ray.rowsMajor = std::fabs(ca) > 0.707106781;
    if (ray.rowsMajor) {
        ray.majorCount = nrows;
        ray.increment = static_cast<int>(std::fabs(nrows * sa / ca));
        ray.drop = std::fabs(cellsize / ca) * rise;
    } else {
        ray.majorCount = ncols;
        ray.increment = static_cast<int>(std::fabs(ncols * ca / sa));
        ray.drop = std::fabs(cellsize / sa) * rise;
    }
    return ray;
}

// Rays enter at the grid edges that face the sun: first the first row, then the first column in
// marching order. Ray k's entry cell.
void RayStart(const Ray& ray, int k, int nrows, int ncols, int& row, int& col) {
    if (k < ncols) {
        row = ray.dr > 0 ? 1 : nrows;
        col = ray.dc > 0 ? 1 + k : ncols - k;
    } else {
        row = ray.dr > 0 ? 1 + (k - ncols) : nrows - (k - ncols);
        col = ray.dc > 0 ? 1 : ncols;
    }
}

// The cells of one process's whole grids (elevation, zone, shadow).
struct GridCells {
    const Matrix& elevation;
    const Matrix& zone;
    Matrix& shadow;
    double zoneNodata;
    bool Inside(int r, int c) const { return zone[r][c] != zoneNodata; }
    double Height(int r, int c) const { return elevation[r][c]; }
    void Mark(int r, int c, bool shaded) { shadow[r][c] = shaded ? 1.0 : 0.0; }
};

template <class Cells>
std::int64_t March(const Ray& ray, int row, int col, Cells& cells, int nrows, int ncols) {
    double horizon = cells.Height(row, col);
    int error = -ray.majorCount / 2;
    std::int64_t visits = 0;
    while (row >= 1 && row <= nrows && col >= 1 && col <= ncols) {
        ++visits;
        if (cells.Inside(row, col)) {
            const double z = cells.Height(row, col);
            if (horizon > z) {
                cells.Mark(row, col, true);
            } else {
                cells.Mark(row, col, false);
                horizon = z;
            }
        }
        if (ray.rowsMajor) {
            row += ray.dr;
            error += ray.increment;
            if (error >= 0) {
                col += ray.dc;
                error -= ray.majorCount;
            }
            horizon -= ray.drop;
        } else {
            col += ray.dc;
            error += ray.increment;
            if (error >= 0) {
                row += ray.dr;
                error -= ray.majorCount;
            }
            if (horizon > ray.gridNodata) horizon -= ray.drop;
        }
    }
    return visits;
}

template <class Cells>
std::int64_t MarchRays(const Ray& ray, int first, int last, Cells& cells, int nrows, int ncols) {
    std::int64_t visits = 0;
    for (int k = first; k < last; ++k) {
        int row = 0, col = 0;
        RayStart(ray, k, nrows, ncols, row, col);
        visits += March(ray, row, col, cells, nrows, ncols);
    }
    return visits;
}

// March over the shared terrain, for every lit sub-step of a divided run. A mark records which
// block of rays wrote the cell last (lit, plus 1 in shadow), and the spans which columns of a row
// got marks. The storage is held in locals and the cell's place moves with the steps instead of
// being computed from row and column at each visit: a mark is a byte store, after which the
// compiler would otherwise reload every pointer it reads. The cells visited, the marks and the
// horizon's arithmetic are those of March.
std::int64_t MarchSharedRay(const Ray& ray, int row, int col, const Terrain& terrain, std::uint8_t* marks,
                            int* spanFirst, int* spanLast, std::uint8_t lit) {
    const int nrows = terrain.nrows, ncols = terrain.ncols;
    const unsigned char* inside = terrain.inside.data();
    const double* height = terrain.elevation.data();
    const std::ptrdiff_t rowStep = static_cast<std::ptrdiff_t>(ray.dr) * ncols, colStep = ray.dc;
    std::ptrdiff_t at = static_cast<std::ptrdiff_t>(row - 1) * ncols + (col - 1);
    const int majorCount = ray.majorCount, increment = ray.increment;
    const double drop = ray.drop, gridNodata = ray.gridNodata;
    double horizon = height[at];
    int error = -majorCount / 2;
    std::int64_t visits = 0;
    auto visit = [&] {
        ++visits;
        if (inside[at] != 0) {
            const double z = height[at];
            const bool shaded = horizon > z;
            marks[at] = static_cast<std::uint8_t>(lit + (shaded ? 1 : 0));
            if (!shaded) horizon = z;
            int& first = spanFirst[row - 1];
            int& last = spanLast[row - 1];
            first = std::min(first, col);
            last = std::max(last, col);
        }
    };
    if (ray.rowsMajor) {
        while (row >= 1 && row <= nrows && col >= 1 && col <= ncols) {
            visit();
            row += ray.dr;
            at += rowStep;
            error += increment;
            if (error >= 0) {
                col += ray.dc;
                at += colStep;
                error -= majorCount;
            }
            horizon -= drop;
        }
    } else {
        while (row >= 1 && row <= nrows && col >= 1 && col <= ncols) {
            visit();
            col += ray.dc;
            at += colStep;
            error += increment;
            if (error >= 0) {
                row += ray.dr;
                at += rowStep;
                error -= majorCount;
            }
            if (horizon > gridNodata) horizon -= drop;
        }
    }
    return visits;
}

}  // namespace

std::int64_t MarchTerrainShadow(const Matrix& elevationGrid, const Matrix& zone, Matrix& shadow, int nrows,
                                int ncols, double cellsize, double gridNodata, double zoneNodata, double azimuth,
                                double elevation) {
    const Ray ray = MakeRay(nrows, ncols, cellsize, gridNodata, azimuth, elevation);
    GridCells cells{elevationGrid, zone, shadow, zoneNodata};
    return MarchRays(ray, 0, nrows + ncols, cells, nrows, ncols);
}

void FindZoneRuns(Terrain& t) {
    // Every process finds the runs of the whole grid at the first lit sub-step: the passes read
    // the rows through pointers (the row above and below at hand) rather than computing each
    // cell's place.
    const auto cols = static_cast<std::size_t>(t.ncols);
    const int ncols = t.ncols;
    auto row = [&](int r) { return t.inside.data() + static_cast<std::size_t>(r - 1) * cols; };
    t.rowRuns.clear();
    t.rowRunStart.assign(static_cast<std::size_t>(t.nrows) + 1, 0);
    for (int r = 1; r <= t.nrows; ++r) {
        const unsigned char* in = row(r);
        for (int c = 1; c <= ncols; ++c) {
            if (in[c - 1] == 0) continue;
            int end = c;
            while (end < ncols && in[end] != 0) ++end;
            t.rowRuns.push_back(c);
            t.rowRuns.push_back(end);
            c = end;
        }
        t.rowRunStart[static_cast<std::size_t>(r)] = static_cast<int>(t.rowRuns.size() / 2);
    }
    // Column runs in row order: count the runs starting in each column, then fill them, each
    // column's next run at its cursor.
    std::vector<int> cursor(cols + 1, 0);
    for (int r = 1; r <= t.nrows; ++r) {
        const unsigned char* in = row(r);
        const unsigned char* above = r > 1 ? row(r - 1) : nullptr;
        for (int c = 1; c <= ncols; ++c)
            if (in[c - 1] != 0 && (above == nullptr || above[c - 1] == 0)) ++cursor[static_cast<std::size_t>(c)];
    }
    t.colRunStart.assign(cols + 1, 0);
    for (std::size_t c = 1; c <= cols; ++c) t.colRunStart[c] = t.colRunStart[c - 1] + cursor[c];
    for (std::size_t c = 1; c <= cols; ++c) cursor[c] = t.colRunStart[c - 1];
    t.colRuns.assign(2 * static_cast<std::size_t>(t.colRunStart[cols]), 0);
    for (int r = 1; r <= t.nrows; ++r) {
        const unsigned char* in = row(r);
        const unsigned char* above = r > 1 ? row(r - 1) : nullptr;
        const unsigned char* below = r < t.nrows ? row(r + 1) : nullptr;
        for (int c = 1; c <= ncols; ++c) {
            if (in[c - 1] == 0) continue;
            int& j = cursor[static_cast<std::size_t>(c)];
            if (above == nullptr || above[c - 1] == 0) t.colRuns[2 * static_cast<std::size_t>(j)] = r;
            if (below == nullptr || below[c - 1] == 0) t.colRuns[2 * static_cast<std::size_t>(j++) + 1] = r;
        }
    }
}

std::vector<RayWork> RaysWork(const Terrain& t, double azimuth) {
    // In coordinates that grow along the ray (m along the major steps, n along the minor ones,
    // both from 1) every ray runs through (m0 + i, n0 + s(i)) with the same sideways offsets s.
    // Rays enter either on the first major line (m0 = 1, n0 = a, "sideways entries") or on the
    // first minor line (n0 = 1, m0 = b, "forward entries"). A ray crosses each major line once,
    // so the rays crossing a run of zone cells on line m form a range of a (or of b), counted
    // with a difference array.
    const Ray ray = MakeRay(t.nrows, t.ncols, 1.0, 0.0, azimuth, 0.0);
    const int mCount = ray.majorCount, nCount = ray.rowsMajor ? t.ncols : t.nrows;
    const bool mUp = (ray.rowsMajor ? ray.dr : ray.dc) > 0, nUp = (ray.rowsMajor ? ray.dc : ray.dr) > 0;
    // s(i) for i < mCount, as March steps; atLeast[v]: the first i with s(i) >= v (mCount if none).
    std::vector<int> s(static_cast<std::size_t>(mCount));
    for (int i = 0, error = -mCount / 2, n = 0; i < mCount; ++i) {
        s[static_cast<std::size_t>(i)] = n;
        error += ray.increment;
        if (error >= 0) {
            ++n;
            error -= mCount;
        }
    }
    std::vector<int> atLeast(static_cast<std::size_t>(nCount) + 2, mCount);
    for (int i = 0, v = 0; i < mCount; ++i)
        for (; v <= std::min(s[static_cast<std::size_t>(i)], nCount + 1); ++v) atLeast[static_cast<std::size_t>(v)] = i;
    auto at = [&](int v) { return atLeast[static_cast<std::size_t>(std::clamp(v, 0, nCount + 1))]; };

    std::vector<std::int64_t> sideways(static_cast<std::size_t>(nCount) + 2, 0);
    std::vector<std::int64_t> forward(static_cast<std::size_t>(mCount) + 2, 0);
    auto add = [](std::vector<std::int64_t>& d, int from, int to) {
        if (from > to) return;
        ++d[static_cast<std::size_t>(from)];
        --d[static_cast<std::size_t>(to) + 1];
    };
    const std::vector<int>& runs = ray.rowsMajor ? t.rowRuns : t.colRuns;
    const std::vector<int>& start = ray.rowsMajor ? t.rowRunStart : t.colRunStart;
    for (int line = 1; line <= mCount; ++line) {
        const int m = mUp ? line : mCount + 1 - line;
        const int i = m - 1;
        const int si = s[static_cast<std::size_t>(i)];
        for (int j = start[static_cast<std::size_t>(line) - 1]; j < start[static_cast<std::size_t>(line)]; ++j) {
            const int first = runs[2 * static_cast<std::size_t>(j)], last = runs[2 * static_cast<std::size_t>(j) + 1];
            const int lo = nUp ? first : nCount + 1 - last, hi = nUp ? last : nCount + 1 - first;
            add(sideways, std::max(lo - si, 1), std::min(hi - si, nCount));
            // Forward entries b = m - i' with lo - 1 <= s(i') <= hi - 1 and i' < m.
            const int i1 = at(lo - 1), i2 = std::min(at(hi) - 1, i);
            add(forward, m - i2, m - i1);
        }
    }
    std::vector<RayWork> work(static_cast<std::size_t>(t.nrows + t.ncols));
    std::int64_t inA = 0, inB = 0;
    std::vector<RayWork> bySide(static_cast<std::size_t>(nCount) + 1), byForward(static_cast<std::size_t>(mCount) + 1);
    for (int a = 1; a <= nCount; ++a) {
        inA += sideways[static_cast<std::size_t>(a)];
        bySide[static_cast<std::size_t>(a)] = {at(nCount - a + 1), inA};
    }
    for (int b = 1; b <= mCount; ++b) {
        inB += forward[static_cast<std::size_t>(b)];
        byForward[static_cast<std::size_t>(b)] = {std::min(mCount - b + 1, at(nCount)), inB};
    }
    // Ray k enters on the first row for k < ncols, then on the first column.
    for (int k = 0; k < t.nrows + t.ncols; ++k) {
        const bool firstRow = k < t.ncols;
        const int e = firstRow ? k + 1 : k - t.ncols + 1;
        work[static_cast<std::size_t>(k)] =
            firstRow == ray.rowsMajor ? bySide[static_cast<std::size_t>(e)] : byForward[static_cast<std::size_t>(e)];
    }
    return work;
}

std::vector<int> RayBlocks(const Terrain& terrain, double azimuth, int parts) {
    // A marked zone cell reads its height and writes its mark and its row's span: several times
    // the cost of a visit, and the owners' share of the exchange grows with the marks.
    constexpr std::int64_t kMarkCost = 4;
    const std::vector<RayWork> work = RaysWork(terrain, azimuth);
    const int count = static_cast<int>(work.size());
    std::vector<std::int64_t> cost(static_cast<std::size_t>(count) + 1, 0);
    for (int k = 0; k < count; ++k) {
        const RayWork& w = work[static_cast<std::size_t>(k)];
        cost[static_cast<std::size_t>(k) + 1] = cost[static_cast<std::size_t>(k)] + w.visits + kMarkCost * w.zoneCells;
    }
    std::vector<int> bounds(static_cast<std::size_t>(parts) + 1, count);
    bounds[0] = 0;
    int k = 0;
    for (int p = 1; p < parts; ++p) {
        const std::int64_t target = (cost.back() * p + parts - 1) / parts;
        while (k < count && cost[static_cast<std::size_t>(k)] < target) ++k;
        bounds[static_cast<std::size_t>(p)] = k;
    }
    return bounds;
}

std::int64_t MarchTerrainShadowRays(const Terrain& terrain, std::vector<std::uint8_t>& marks, RowSpans& spans,
                                    std::uint8_t lit, int first, int last, double cellsize, double gridNodata,
                                    double azimuth, double elevation) {
    const Ray ray = MakeRay(terrain.nrows, terrain.ncols, cellsize, gridNodata, azimuth, elevation);
    std::int64_t visits = 0;
    for (int k = first; k < last; ++k) {
        int row = 0, col = 0;
        RayStart(ray, k, terrain.nrows, terrain.ncols, row, col);
        visits += MarchSharedRay(ray, row, col, terrain, marks.data(), spans.first.data(), spans.last.data(), lit);
    }
    return visits;
}

}  // namespace radiation
