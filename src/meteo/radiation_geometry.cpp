// Sun path sub-steps, incidence and terrain shadow of the radiation correction.
#include "meteo/radiation_geometry.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

// A ray's walk over one process's whole grids (elevation, zone, shadow): the cursor of March.
struct GridCursor {
    const Matrix& elevation;
    const Matrix& zone;
    Matrix& shadow;
    double zoneNodata;
    int row, col;
    bool Inside() const { return zone[row][col] != zoneNodata; }
    double Height() const { return elevation[row][col]; }
    void Mark(bool shaded) { shadow[row][col] = shaded ? 1.0 : 0.0; }
    void MoveRow(int dr) { row += dr; }
    void MoveCol(int dc) { col += dc; }
};

// A ray's walk over the shared terrain, for every lit sub-step of a divided run. A mark records
// which block of rays wrote the cell last (lit, plus 1 in shadow), and the spans which columns of
// a row got marks. The cell's place in the storage moves with the steps instead of being computed
// from row and column at each visit.
struct SharedCursor {
    const unsigned char* inside;
    const double* height;
    std::uint8_t* marks;
    int* spanFirst;
    int* spanLast;
    std::uint8_t lit;
    std::ptrdiff_t rowStep;
    int row, col;
    std::ptrdiff_t at;
    bool Inside() const { return inside[at] != 0; }
    double Height() const { return height[at]; }
    void Mark(bool shaded) {
        marks[at] = static_cast<std::uint8_t>(lit + (shaded ? 1 : 0));
        int& first = spanFirst[row - 1];
        int& last = spanLast[row - 1];
        first = std::min(first, col);
        last = std::max(last, col);
    }
    void MoveRow(int dr) {
        row += dr;
        at += dr * rowStep;
    }
    void MoveCol(int dc) {
        col += dc;
        at += dc;
    }
};

// One ray from its entry cell (the cursor's place) to the grid's edge: a basin cell lower than
// the ray's horizon is shaded, any other basin cell is lit and raises the horizon to its height;
// the horizon falls by the ray's drop per step. The cursor is a local copy, so that its storage
// stays in registers across the marks it writes.
// One visit of March: a basin cell lower than the horizon is shaded, any other lit and raising
// the horizon to its height.
template <class Cursor>
inline __attribute__((always_inline)) void Visit(Cursor& at, double& horizon) {
    if (at.Inside()) {
        const double z = at.Height();
        const bool shaded = horizon > z;
        at.Mark(shaded);
        if (!shaded) horizon = z;
    }
}

template <class Cursor>
std::int64_t March(const Ray& ray, Cursor at, int nrows, int ncols) {
    const int majorCount = ray.majorCount, increment = ray.increment, dr = ray.dr, dc = ray.dc;
    const double drop = ray.drop, gridNodata = ray.gridNodata;
    double horizon = at.Height();
    int error = -majorCount / 2;
    std::int64_t visits = 0;
    if (ray.rowsMajor) {
        while (at.row >= 1 && at.row <= nrows && at.col >= 1 && at.col <= ncols) {
            ++visits;
            Visit(at, horizon);
            at.MoveRow(dr);
            error += increment;
            if (error >= 0) {
                at.MoveCol(dc);
                error -= majorCount;
            }
            horizon -= drop;
        }
    } else {
        while (at.row >= 1 && at.row <= nrows && at.col >= 1 && at.col <= ncols) {
            ++visits;
            Visit(at, horizon);
            at.MoveCol(dc);
            error += increment;
            if (error >= 0) {
                at.MoveRow(dr);
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
    std::int64_t visits = 0;
    for (int k = 0; k < nrows + ncols; ++k) {
        int row = 0, col = 0;
        RayStart(ray, k, nrows, ncols, row, col);
        visits += March(ray, GridCursor{elevationGrid, zone, shadow, zoneNodata, row, col}, nrows, ncols);
    }
    return visits;
}

namespace {

// Eight cells of a row of zone flags (0 or 1) as one word, for skipping cells eight at a time.
inline std::uint64_t EightCells(const unsigned char* in) {
    std::uint64_t w;
    std::memcpy(&w, in, sizeof w);
    return w;
}

constexpr std::uint64_t kAllInside = 0x0101010101010101ull;

// The end of the run of zone cells from column c (in[c - 1] != 0) of a row of ncols cells.
inline int RunEnd(const unsigned char* in, int c, int ncols) {
    int end = c;
    while (end + 8 <= ncols && EightCells(in + end) == kAllInside) end += 8;
    while (end < ncols && in[end] != 0) ++end;
    return end;
}

}  // namespace

void FindZoneRuns(Terrain& t) {
    // Every process finds the runs of the whole grid at the first lit sub-step: the passes read
    // the rows through pointers (the row above and below at hand) rather than computing each
    // cell's place, and skip eight cells at a time where nothing can start or end (no zone cell,
    // or zone cells with zone cells above and below).
    const auto cols = static_cast<std::size_t>(t.ncols);
    const int ncols = t.ncols;
    auto row = [&](int r) { return t.inside.data() + static_cast<std::size_t>(r - 1) * cols; };
    t.rowRuns.clear();
    t.rowRunStart.assign(static_cast<std::size_t>(t.nrows) + 1, 0);
    for (int r = 1; r <= t.nrows; ++r) {
        const unsigned char* in = row(r);
        for (int c = 1; c <= ncols; ++c) {
            if (c + 7 <= ncols && EightCells(in + c - 1) == 0) {
                c += 7;
                continue;
            }
            if (in[c - 1] == 0) continue;
            const int end = RunEnd(in, c, ncols);
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
        int* starts = cursor.data() + 1;
        if (r == 1) {
            for (std::size_t c = 0; c < cols; ++c) starts[c] += in[c] != 0 ? 1 : 0;
            continue;
        }
        const unsigned char* above = row(r - 1);
        for (std::size_t c = 0; c < cols; ++c) starts[c] += ((in[c] != 0) & (above[c] == 0)) ? 1 : 0;
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
            if (c + 7 <= ncols) {
                const std::uint64_t here = EightCells(in + c - 1);
                const std::uint64_t up = above != nullptr ? EightCells(above + c - 1) : 0;
                const std::uint64_t down = below != nullptr ? EightCells(below + c - 1) : 0;
                if ((here & ~(up & down)) == 0) {
                    c += 7;
                    continue;
                }
            }
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
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(row - 1) * terrain.ncols + (col - 1);
        visits += March(ray,
                        SharedCursor{terrain.inside.data(), terrain.elevation.data(), marks.data(), spans.first.data(),
                                     spans.last.data(), lit, terrain.ncols, row, col, at},
                        terrain.nrows, terrain.ncols);
    }
    return visits;
}

}  // namespace radiation
