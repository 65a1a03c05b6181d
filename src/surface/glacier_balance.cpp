// Glacier records, their elevation bands and the yearly area change.
#include "surface/glacier_balance.hpp"

#include <cmath>
#include <sstream>

namespace glacier {

namespace {
constexpr double kTolerance = 1e-5;
constexpr int kPasses = 5;
constexpr int kIterations = 31;
constexpr double kNoCode = -9999.0;

std::string Number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}
}  // namespace

// ------------------------------------------------------------------ bands

void Band::Clear() {
    cells.clear();
    fixed.clear();
}

std::int64_t Band::Changeable(double u, const Matrix& fraction) {
    std::int64_t n = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const double f = fraction[cells[i].row][cells[i].col];
        const bool can = u < 0 ? f > 0 : (u > 0 ? f < 1 : false);
        fixed[i] = can ? 0 : 1;
        if (can) ++n;
    }
    return u == 0 ? 0 : n;
}

double Band::Apply(double u, Matrix& fraction, Matrix& codes, bool& stuck) const {
    // A cell takes part while it is not fixed and can still move in the direction of u: an
    // emptied cell cannot shrink again, a full one cannot grow.
    auto movable = [&](std::size_t i) {
        if (fixed[i] != 0) return false;
        const double f = fraction[cells[i].row][cells[i].col];
        return u < 0 ? (f > 0 && codes[cells[i].row][cells[i].col] >= 0) : f < 1;
    };
    std::vector<char> able(cells.size(), 0);
    std::int64_t a = 0;
    for (std::size_t i = 0; i < cells.size(); ++i)
        if (movable(i)) able[i] = 1, ++a;
    double T = u * static_cast<double>(a);
    std::int64_t stillAble = a;
    for (int pass = 0; pass < kPasses; ++pass) {
        if (stillAble <= 0) return T;  // no cell left to take the rest
        const double before = T;
        const double s = T / static_cast<double>(stillAble);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (!able[i]) continue;
            double& f = fraction[cells[i].row][cells[i].col];
            double& code = codes[cells[i].row][cells[i].col];
            const double old = f;
            const double next = f + s;
            if (next < 0 && code >= 0) {
                f = 0;
                code = kNoCode;
                T -= -old;
                able[i] = 0;
                --stillAble;
            } else if (next > 1 && code >= 0) {
                f = 1;
                T -= 1 - old;
                able[i] = 0;
                --stillAble;
            } else {
                f = next;
                T -= s;
            }
        }
        if (std::fabs(T) <= kTolerance || std::fabs(T - before) <= kTolerance) return T;
    }
    stuck = true;
    return T;
}

// ------------------------------------------------------------------ one glacier

void Glacier::AddCell(bool track, double cellArea, double z, double f) {
    ++cells;
    area += cellArea * f / 1e6;
    if (cells == 1) {
        lowest = highest = z;
    } else if (track) {
        lowest = std::min(lowest, z);
        highest = std::max(highest, z);
    }
}

void Glacier::ResetCount() {
    cells = 0;
    area = 0;
    lowest = 10000.0;
    highest = -10000.0;
}

void Glacier::BuildBands() {
    bands.assign(static_cast<std::size_t>(std::max(numBands, 1)), Band{});
    const double w = (highest - lowest) / static_cast<double>(bands.size());
    for (std::size_t i = 0; i < bands.size(); ++i) {
        bands[i].width = w;
        bands[i].lower = lowest + static_cast<double>(i) * w;
        bands[i].upper = lowest + static_cast<double>(i + 1) * w;
    }
}

void Glacier::ClearBands() {
    for (Band& b : bands) b.Clear();
}

void Glacier::AddToBand(CellPos p, double z) {
    if (bands.empty()) BuildBands();
    std::size_t k = 0;
    if (z >= highest) {
        k = bands.size() - 1;
    } else if (z <= lowest) {
        k = 0;
    } else {
        for (std::size_t i = 0; i < bands.size(); ++i)
            if (bands[i].lower <= z && z < bands[i].upper) {
                k = i;
                break;
            }
    }
    bands[k].cells.push_back(p);
    bands[k].fixed.push_back(0);
}

double Glacier::Applications(double u, const Matrix& fraction) {
    const double n = static_cast<double>(bands.size());
    double sum = 0;
    for (std::size_t i = 0; i < bands.size(); ++i) {
        const double c = static_cast<double>(bands[i].Changeable(u, fraction));
        sum += c * (n - static_cast<double>(i));
        if (i == 0) sum += extraWeight * c * n;
    }
    return sum;
}

double Glacier::ApplyAll(double u, Matrix& fraction, Matrix& codes, bool& stuck, int* stuckCount) const {
    double r = 0;
    for (std::size_t k = 0; k < bands.size(); ++k)
        for (std::size_t i = 0; i <= k; ++i) {
            const int times = i == 0 ? 1 + extraWeight : 1;
            for (int t = 0; t < times; ++t) {
                bool one = false;
                r += bands[i].Apply(u, fraction, codes, one);
                if (!one) continue;
                stuck = true;
                if (stuckCount != nullptr) ++*stuckCount;
            }
        }
    return r;
}

// ------------------------------------------------------------------ the list

Glacier* GlacierList::Find(int code) {
    const auto it = position.find(code);
    return it == position.end() ? nullptr : &glaciers[it->second];
}

bool GlacierList::IsBasin(const GlacierGrids& g, int r, int c) const {
    return g.zone->holds(r) && (*g.zone)[r][c] != g.nodata;
}

SubbasinConflict GlacierList::Build(const GlacierGrids& g) {
    position.clear();
    glaciers.clear();
    const double cellArea = g.cellSize * g.cellSize;
    for (int r = 1; r <= g.nrows; ++r)
        for (int c = 1; c <= g.ncols; ++c) {
            if (!IsBasin(g, r, c)) continue;
            const double f = (*g.fraction)[r][c];
            if (!(f > 0) || !((*g.codes)[r][c] > 0)) continue;
            const int code = static_cast<int>((*g.codes)[r][c]);
            const int zone = static_cast<int>((*g.zone)[r][c]);
            if (position.find(code) == position.end()) {
                Glacier gl;
                gl.code = code;
                gl.cellSize = g.cellSize;
                gl.scaling = scaling;
                gl.numBands = numBands;
                gl.extraWeight = extraWeight;
                gl.subbasin = zone;
                position[code] = glaciers.size();
                glaciers.push_back(std::move(gl));
            }
            Glacier& gl = *Find(code);
            if (zone != gl.subbasin) return SubbasinConflict{true, code, gl.subbasin, r, c, zone};
            const bool track = (*g.firn)[r][c] == 0;
            gl.AddCell(track, cellArea, (*g.elevation)[r][c], f);
            gl.previousVolume +=
                ((*g.oldMassBalance)[r][c] - (*g.massBalance)[r][c]) * f / 1000.0 * cellArea / 1e6;
        }
    return {};
}

void GlacierList::Start(const GlacierGrids& g) {
    for (Glacier& gl : glaciers) {
        const StartValues v = StartRecord(gl.area, gl.scaling);
        gl.area = v.area;
        gl.volume = v.volume;
        gl.previousVolume = v.previousVolume;
        gl.previousArea = v.previousArea;
        gl.BuildBands();
    }
    FillBands(g, -1);
}

void GlacierList::Collect(const GlacierGrids& g, int code, bool track) {
    const double cellArea = g.cellSize * g.cellSize;
    for (int r = 1; r <= g.nrows; ++r)
        for (int c = 1; c <= g.ncols; ++c) {
            if (!IsBasin(g, r, c)) continue;
            const double v = (*g.codes)[r][c];
            if (!(v >= 0)) continue;
            const int k = static_cast<int>(v);
            if (code >= 0 && k != code) continue;
            Glacier* gl = Find(k);
            if (gl != nullptr) gl->AddCell(track, cellArea, (*g.elevation)[r][c], (*g.fraction)[r][c]);
        }
}

bool GlacierList::Neighbour(const GlacierGrids& g, int r, int c, int dir, int& nr, int& nc) const {
    // Row above, next column, row below, previous column.
    static constexpr int dr[4] = {-1, 0, 1, 0};
    static constexpr int dc[4] = {0, 1, 0, -1};
    nr = r + dr[dir];
    nc = c + dc[dir];
    return nr >= 1 && nr <= g.nrows && nc >= 1 && nc <= g.ncols;
}

void GlacierList::FillBands(const GlacierGrids& g, int code) {
    for (Glacier& gl : glaciers)
        if (code < 0 || gl.code == code) gl.ClearBands();
    for (int r = 1; r <= g.nrows; ++r)
        for (int c = 1; c <= g.ncols; ++c) {
            if (!IsBasin(g, r, c)) continue;
            const double f = (*g.fraction)[r][c];
            const double v = (*g.codes)[r][c];
            if (!(f > 0) || !(v > 0) || !((*g.firn)[r][c] <= 0)) continue;
            const int k = static_cast<int>(v);
            if (code >= 0 && k != code) continue;
            Glacier* gl = Find(k);
            if (gl == nullptr) continue;
            bool edge = false;
            for (int d = 0; d < 4 && !edge; ++d) {
                int nr = 0, nc = 0;
                if (Neighbour(g, r, c, d, nr, nc) && g.codes->holds(nr) && (*g.codes)[nr][nc] != v) edge = true;
            }
            if (f >= 1 && !edge) continue;
            gl->AddToBand({r, c}, (*g.elevation)[r][c]);
        }
}

int GlacierList::GrowPass(GlacierGrids& g, Glacier& gl, bool fromNeighbourFirn, bool widened) {
    int added = 0;
    const int n = g.firnLevels;
    for (int r = 1; r <= g.nrows; ++r)
        for (int c = 1; c <= g.ncols; ++c) {
            if (!IsBasin(g, r, c)) continue;
            const double f = (*g.fraction)[r][c];
            if (widened ? !(f <= 0) : f != 0) continue;
            if (!fromNeighbourFirn && !((*g.codes)[r][c] < 0)) continue;
            const double zone = (*g.zone)[r][c];
            for (int d = 0; d < 4; ++d) {
                int nr = 0, nc = 0;
                if (!Neighbour(g, r, c, d, nr, nc) || !IsBasin(g, nr, nc)) continue;
                if ((*g.zone)[nr][nc] != zone || (*g.fraction)[nr][nc] != 1.0) continue;
                if (static_cast<int>((*g.codes)[nr][nc]) != gl.code || (*g.codes)[nr][nc] < 0) continue;
                const double neighbourFirn = (*g.firn)[nr][nc];
                if (!fromNeighbourFirn && !(neighbourFirn < 0.0001)) continue;
                (*g.codes)[r][c] = gl.code;
                (*g.fraction)[r][c] = 0;
                const double firn = fromNeighbourFirn ? neighbourFirn : 0.0;
                (*g.firn)[r][c] = firn;
                if (g.firnStack != nullptr && g.firnStack->holds(r)) {
                    double* levels = (*g.firnStack)[r][c];
                    levels[0] = firn;
                    for (int l = 1; l <= n; ++l) levels[l] = fromNeighbourFirn ? firn / n : 0.0;
                }
                gl.AddToBand({r, c}, (*g.elevation)[r][c]);
                ++added;
                break;
            }
        }
    return added;
}

int GlacierList::Grow(GlacierGrids& g, int code) {
    Glacier* gl = Find(code);
    if (gl == nullptr) return 0;
    gl->ClearBands();
    int added = GrowPass(g, *gl, false, false);
    if (added == 0) added = GrowPass(g, *gl, true, false);
    if (added == 0) added = GrowPass(g, *gl, false, true);
    if (added == 0) added = GrowPass(g, *gl, true, true);
    return added;
}

void GlacierList::Recount(const GlacierGrids& g, Glacier& gl) {
    gl.ResetCount();
    Collect(g, gl.code, false);
    if (gl.cells == 0) {
        gl.ResetCount();
        Collect(g, gl.code, true);
    }
}

int GlacierList::Balance(GlacierGrids& g, const Note& note) {
    bool stuck = false;
    int stuckCount = 0;
    for (Glacier& gl : glaciers) {
        gl.ResetCount();
        gl.volume = gl.previousVolume;
    }
    Collect(g, -1, false);
    for (Glacier& gl : glaciers)
        if (gl.cells == 0) {
            gl.ResetCount();
            Collect(g, gl.code, true);
        }
    for (Glacier& gl : glaciers) gl.BuildBands();
    FillBands(g, -1);

    const double cellArea = g.cellSize * g.cellSize;
    for (int r = 1; r <= g.nrows; ++r)
        for (int c = 1; c <= g.ncols; ++c) {
            if (!IsBasin(g, r, c)) continue;
            const double f = (*g.fraction)[r][c];
            const double v = (*g.codes)[r][c];
            if (!(f >= 0) || !(v >= 0)) continue;
            Glacier* gl = Find(static_cast<int>(v));
            if (gl == nullptr) continue;
            gl->volume += ((*g.massBalance)[r][c] - (*g.oldMassBalance)[r][c]) / conversion * f / 1000.0 * cellArea / 1e6;
        }

    note("DEBUG: Glacierbalance\n");
    for (std::size_t i = 0; i < glaciers.size(); ++i) {
        Glacier& gl = glaciers[i];
        gl.area = AreaOfVolume(gl.volume, gl.scaling);
        gl.toChange = (gl.area - gl.previousArea) * 1e6 / cellArea;
        gl.remainder = 0;
        double r = gl.toChange;
        note("DEBUG: Glacier:\t" + std::to_string(i) + "\nOld Volume:\t" + Number(gl.previousVolume) +
             "\nNew Volume:\t" + Number(gl.volume) + "\nOld Area:\t" + Number(gl.previousArea) + "\nNew Area:\t" +
             Number(gl.area) + "\n");
        bool done = std::fabs(r) <= kTolerance;
        bool recounted = false;
        for (int it = 0; it < kIterations && !done; ++it) {
            const double direction = r;
            double count = 0;
            for (Band& b : gl.bands) count += static_cast<double>(b.Changeable(direction, *g.fraction));
            if (count > 0) {
                const double weight = gl.Applications(direction, *g.fraction);
                const double u = (it == 0 ? gl.toChange : r) / weight;
                note("DEBUG: number of cells to add: \t" + Number(r) + "\nnumber of changeable cells: \t" +
                     Number(count) + "\nfraction of cells to add per iteration: \t" + Number(u));
                r = gl.ApplyAll(u, *g.fraction, *g.codes, stuck, &stuckCount);
                gl.remainder = r;
                if (std::fabs(r) <= kTolerance) {
                    done = true;
                    break;
                }
            }
            gl.ResetCount();
            // The cells a growing glacier takes hold no ice yet, so refilling the bands from
            // the glacier's cells would drop them: they are kept for the next application.
            std::vector<CellPos> grown;
            if (r > 0) {
                note("DEBUG: growing the glacier...");
                Grow(g, gl.code);
                for (const Band& b : gl.bands) grown.insert(grown.end(), b.cells.begin(), b.cells.end());
            } else {
                note("DEBUG: shrinking the glacier...");
            }
            Recount(g, gl);
            recounted = true;
            gl.BuildBands();
            FillBands(g, gl.code);
            for (const CellPos& p : grown)
                if (!((*g.fraction)[p.row][p.col] > 0)) gl.AddToBand(p, (*g.elevation)[p.row][p.col]);
        }
        // A recount stands for the area before the last application: the area reached is
        // counted again, so that the next year starts from it.
        if (recounted && done) Recount(g, gl);
        if (!done)
            note("WARNING: \n----------- WARNING: ----------\nThere were too many iterations when trying to remove or "
                 "add glacier areas for glacier" +
                 std::to_string(i) + "\n-----------------------------\n");
        note("DEBUG: ---------------------------------\n\n");
        gl.previousArea = gl.area;
        gl.previousVolume = gl.volume;
    }
    return stuckCount;
}

void GlacierList::SpreadLostBalance(GlacierGrids& g, int code) {
    for (Glacier& gl : glaciers)
        if (code < 0 || gl.code == code) gl.sum1 = gl.sum2 = gl.sum3 = gl.mean = 0;
    auto selected = [&](double v) -> Glacier* {
        if (!(v >= 0)) return nullptr;
        const int k = static_cast<int>(v);
        if (code >= 0 && k != code) return nullptr;
        return Find(k);
    };
    for (int r = 1; r <= g.nrows; ++r)
        for (int c = 1; c <= g.ncols; ++c) {
            if (!IsBasin(g, r, c)) continue;
            const double mb = (*g.massBalance)[r][c];
            if (Glacier* old = selected((*g.codesOld)[r][c])) {
                if ((*g.codesOld)[r][c] == (*g.codes)[r][c])
                    old->sum1 += ((*g.fractionOld)[r][c] - (*g.fraction)[r][c]) * mb;
                else
                    old->sum1 += mb * (*g.fractionOld)[r][c];
                old->sum2 += (*g.fractionOld)[r][c];
            }
            if (Glacier* now = selected((*g.codes)[r][c])) now->sum3 += (*g.fraction)[r][c];
        }
    for (Glacier& gl : glaciers)
        if (code < 0 || gl.code == code) gl.mean = gl.sum3 > 0 ? gl.sum1 / gl.sum3 : 0.0;
    for (int r = 1; r <= g.nrows; ++r)
        for (int c = 1; c <= g.ncols; ++c)
            if (IsBasin(g, r, c))
                if (Glacier* now = selected((*g.codes)[r][c])) (*g.massBalance)[r][c] += now->mean;
}

}  // namespace glacier
