// Output by write code: the grid of a grid-store entry with its running sums or means,
// extremes and vegetation-period grid, and the stack of an entry.
#include "kernel/writecode.hpp"

#include <algorithm>
#include <atomic>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernel/gridio.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/nodata.hpp"
#include "kernel/threading.hpp"

using writecode::NameKind;
using writecode::OutputDate;

namespace {

// The valid cells of an entry: its rows that the grid holds, within each row's basin columns,
// where the zone grid lies above nodata and, for own cells, "MPIRegions" names this process.
class ValidCells {
public:
    ValidCells(const modelobject& o, const GridStoreEntry& e, bool own)
        : o_(o), zone_((*o.gridStore)[1].grid), regions_(own ? o.mpiRegions : nullptr) {
        first_ = static_cast<int>(std::max<std::int64_t>(e.firstRow, 1));
        last_ = static_cast<int>(std::min<std::int64_t>(e.lastRow, o.nrows));
    }
    int first() const { return first_; }
    int last() const { return last_; }

    // Basin columns of row r (1..ncols when no ranges are known); false when it has none.
    bool Columns(int r, int* c1, int* c2) const {
        *c1 = 1;
        *c2 = o_.ncols;
        if (o_.basinColumns == nullptr || r >= static_cast<int>(o_.basinColumns->size())) return true;
        const ColumnRange& range = (*o_.basinColumns)[static_cast<std::size_t>(r)];
        if (range.first < 1 || range.last < range.first) return false;
        *c1 = range.first;
        *c2 = std::min(range.last, o_.ncols);
        return true;
    }

    // The test of the cells of one row, with the row's zone and region values looked up once.
    class Row {
    public:
        bool operator()(int c) const {
            if (zone_ == nullptr || !(zone_[c] > nodata_)) return false;
            return !ownOnly_ || (regions_ != nullptr && regions_[c] == rank_);
        }

        // The step's values added to the period sums of columns from..to, as the cells' tests
        // one by one would: a valid cell with data adds its value, one without keeps its sum, a
        // cell that is not valid gets nodata. Two cells at a time without a branch (the zone
        // and region values are both read, the sum is added and kept or not by a mask): the
        // same additions and the same results. Returns whether a valid cell had no data.
        bool AddToSums(const double* values, double* sums, int from, int to, double nd) const {
            if (zone_ == nullptr || (ownOnly_ && regions_ == nullptr)) {
                for (int c = from; c <= to; ++c) sums[c] = nd;
                return false;
            }
            const double* regions = ownOnly_ ? regions_ : nullptr;
            bool gap = false;
            int c = from;
#if defined(__SSE2__)
            const __m128d zoneFloor = _mm_set1_pd(nodata_), own = _mm_set1_pd(rank_), none = _mm_set1_pd(nd);
            __m128d gaps = _mm_setzero_pd();
            for (; c < to; c += 2) {
                __m128d valid = _mm_cmpgt_pd(_mm_loadu_pd(zone_ + c), zoneFloor);
                if (regions != nullptr) valid = _mm_and_pd(valid, _mm_cmpeq_pd(_mm_loadu_pd(regions + c), own));
                const __m128d v = _mm_loadu_pd(values + c);
                const __m128d data = _mm_cmpgt_pd(v, none);
                gaps = _mm_or_pd(gaps, _mm_andnot_pd(data, valid));
                const __m128d sum = _mm_loadu_pd(sums + c);
                const __m128d kept = _mm_or_pd(_mm_and_pd(data, _mm_add_pd(sum, v)), _mm_andnot_pd(data, sum));
                _mm_storeu_pd(sums + c, _mm_or_pd(_mm_and_pd(valid, kept), _mm_andnot_pd(valid, none)));
            }
            gap = _mm_movemask_pd(gaps) != 0;
#endif
            for (; c <= to; ++c) {
                if (!(zone_[c] > nodata_) || (regions != nullptr && regions[c] != rank_)) {
                    sums[c] = nd;
                } else if (NoData(values[c], nd)) {
                    gap = true;
                } else {
                    sums[c] += values[c];
                }
            }
            return gap;
        }

    private:
        friend class ValidCells;
        const double* zone_ = nullptr;
        const double* regions_ = nullptr;
        bool ownOnly_ = false;
        double nodata_ = 0;
        double rank_ = 0;
    };
    Row AtRow(int r) const {
        Row row;
        row.nodata_ = o_.nodata;
        row.rank_ = o_.rank;
        if (zone_ != nullptr && zone_->holds(r)) row.zone_ = (*zone_)[r];
        row.ownOnly_ = regions_ != nullptr;
        if (row.ownOnly_ && regions_->holds(r)) row.regions_ = (*regions_)[r];
        return row;
    }

private:
    const modelobject& o_;
    const Matrix* zone_;
    const Matrix* regions_;
    int first_ = 1, last_ = 0;
};

// Runs f(r, from, to, valid) for the entry's rows held by all given grids, one OpenMP thread per
// row: columns from..to are the row's basin columns, or every column where wholeRows is set (for
// the passes that set the cells outside the basin, which no later pass changes); valid(c) tells
// whether cell c of the row is a valid cell of the entry.
template <class F>
void ForRows(const modelobject& o, const ValidCells& valid, std::initializer_list<const Matrix*> grids, F f,
             bool wholeRows) {
    const int first = valid.first(), last = valid.last();
#pragma omp parallel for schedule(runtime) if (WorthThreads(first, last, o.ncols))
    for (int r = first; r <= last; ++r) {
        bool held = true;
        for (const Matrix* m : grids) held = held && m->holds(r);
        if (!held) continue;
        int c1, c2;
        const bool basin = valid.Columns(r, &c1, &c2);
        const ValidCells::Row ok = valid.AtRow(r);
        if (wholeRows) {
            f(r, 1, o.ncols, [&](int c) { return basin && c >= c1 && c <= c2 && ok(c); });
        } else if (basin) {
            f(r, c1, c2, ok);
        }
    }
}

// Runs f(r, c, valid) for the cells ForRows visits.
template <class F>
void ForCells(const modelobject& o, const ValidCells& valid, std::initializer_list<const Matrix*> grids, F f,
              bool wholeRows = false) {
    ForRows(
        o, valid, grids,
        [&](int r, int from, int to, const auto& ok) {
            for (int c = from; c <= to; ++c) f(r, c, ok(c));
        },
        wholeRows);
}

}  // namespace

void modelobject::WriteStatisticGrid(int index, Matrix& grid, const std::string& name, bool own) {
    // Process 0 writes; with own cells spread over several processes it writes a gathered copy.
    Matrix copy;
    const bool gathered = own && size > 1;
    if (gathered) copy = MPIGatherGridCopy(index, &grid, true);
    int error = 0;
    if (rank == 0)
        error = gridio::Attempt([&] { WriteGridOwnCells(name, copy.empty() ? grid : copy, textOutput, doublePrecision); });
    // Every process took part in the gathering: a write that fails on process 0 stops them all
    // with its code, none waits for it in its next exchange.
    gridio::ThrowAgreed(error, gathered);
}

void modelobject::WriteEntryGrid(int index, const std::string& name, bool own) {
    GridStoreEntry& e = (*gridStore)[index];
    Matrix copy;
    const bool gathered = own && size > 1;
    if (gathered) copy = MPIGatherGridCopy(index, nullptr, true);
    int error = 0;
    if (rank == 0) error = gridio::Attempt([&] { WriteGrid(name, copy.empty() ? *e.grid : copy, textOutput, doublePrecision); });
    gridio::ThrowAgreed(error, gathered);
}

void modelobject::UpdateVegetationGrid(int index, bool own) {
    GridStoreEntry& e = (*gridStore)[index];
    if (e.vegStart == nullptr || e.vegStop == nullptr || e.vegDuration == nullptr) {
        const std::string suffix = writecode::VegetationSuffix(e.baseFileName);
        e.vegStart = (*gridStore)[GetGridIndex("VegetationStart" + suffix)].grid;
        e.vegStop = (*gridStore)[GetGridIndex("VegetationStop" + suffix)].grid;
        e.vegDuration = (*gridStore)[GetGridIndex("VegetationDuration" + suffix)].grid;
    }
    const ValidCells valid(*this, e, own);
    const Matrix& grid = *e.grid;
    Matrix& veg = e.vegGrid;
    const Matrix &start = *e.vegStart, &stop = *e.vegStop, &duration = *e.vegDuration;
    const double nd = nodata;
    ForCells(*this, valid, {&grid, &veg, &start, &stop}, [&](int r, int c, bool ok) {
        if (ok && start[r][c] >= 0 && stop[r][c] <= 0 && grid[r][c] != nd) veg[r][c] += grid[r][c];
    });
    if (e.vegEndFlag == 1) {
        e.vegEndFlag = 0;
        if (e.thousands == 2) {
            // A cell without duration has no mean: it is written as nodata.
            ForCells(*this, valid, {&veg, &duration}, [&](int r, int c, bool ok) {
                if (ok) veg[r][c] = duration[r][c] != 0 ? veg[r][c] / duration[r][c] : nd;
            });
        }
        WriteStatisticGrid(index, veg, writecode::VegetationName(e.vegFileName, e.thousands, year), own);
    }
    if (e.vegStartFlag == 1) {
        e.vegStartFlag = 0;
        const Matrix* zone = (*gridStore)[1].grid;
        for (int r = valid.first(); r <= valid.last(); ++r) {
            if (!veg.holds(r)) continue;
            const bool zoneRow = zone != nullptr && zone->holds(r);
            for (int c = 1; c <= ncols; ++c) veg[r][c] = zoneRow && (*zone)[r][c] > nd ? 0.0 : nd;
        }
    }
}

void modelobject::WriteStatisticGrids(int index, bool own, bool skip) {
    if (gridStore == nullptr || index < 1 || index > GridStore::kEntries - 1) return;
    GridStoreEntry& e = (*gridStore)[index];
    if ((e.units == 0 && e.tens == 0 && e.minFlag == 0 && e.maxFlag == 0 && e.thousands == 0) || e.grid == nullptr)
        return;
    FindDecompositionGrids();
    e.stepCount += 1;
    Matrix& grid = *e.grid;
    const ValidCells valid(*this, e, own);
    const double nd = nodata;

    if (e.stack != nullptr && e.stackCopied == 0 && e.levels >= 1 && (e.tens != 0 || e.minFlag || e.maxFlag)) {
        const Stack& stack = *e.stack;
        ForCells(*this, valid, {&grid}, [&](int r, int c, bool ok) {
            if (ok && stack.holds(r)) grid[r][c] = stack[r][c][1];
        });
    }
    if (e.tens != 0) {
        // A cell without data in a step (an input without any valid station value) is left out
        // of its sum and mean; the steps it misses are counted once there is one.
        Matrix& sum = e.sumGrid;
        std::atomic<bool> missing{false};
        // The cells outside the basin become nodata in the first step of a period and stay so.
        ForRows(
            *this, valid, {&grid, &sum},
            [&](int r, int from, int to, const auto& ok) {
                const double* values = grid[r];
                double* sums = sum[r];
                bool gap = false;
                if constexpr (std::is_same_v<std::decay_t<decltype(ok)>, ValidCells::Row>) {
                    gap = ok.AddToSums(values, sums, from, to, nd);
                } else {
                    for (int c = from; c <= to; ++c) {
                        if (!ok(c)) {
                            sums[c] = nd;
                        } else if (NoData(values[c], nd)) {
                            gap = true;
                        } else {
                            sums[c] += values[c];
                        }
                    }
                }
                if (gap) missing.store(true, std::memory_order_relaxed);
            },
            e.stepCount == 1);
        if (missing.load() && e.missingSteps.empty()) {
            e.missingSteps = matrix(static_cast<int>(e.firstRow), static_cast<int>(e.lastRow), 1, ncols, nrows);
            e.missingSteps.fill(0.0);
        }
        if (!e.missingSteps.empty()) {
            Matrix& gaps = e.missingSteps;
            ForCells(*this, valid, {&grid, &gaps}, [&](int r, int c, bool ok) {
                if (ok && NoData(grid[r][c], nd)) gaps[r][c] += 1;
            });
        }
    }
    // Only the extreme grids the hundreds digit asked for exist and are kept.
    if (e.minFlag == 1 || e.maxFlag == 1) {
        Matrix* mn = e.minFlag == 1 ? &e.minGrid : nullptr;
        Matrix* mx = e.maxFlag == 1 ? &e.maxGrid : nullptr;
        const bool first = e.extremesStarted == 0;
        // Only the first step sets the cells outside the basin (nodata).
        ForCells(*this, valid, {&grid}, [&](int r, int c, bool ok) {
            const double v = grid[r][c];
            for (Matrix* m : {mn, mx}) {
                if (m == nullptr || !m->holds(r)) continue;
                double& x = (*m)[r][c];
                if (!ok || NoData(v, nd)) {
                    if (first) x = nd;
                } else if (first || NoData(x, nd)) {
                    x = v;
                } else {
                    x = m == mn ? std::min(x, v) : std::max(x, v);
                }
            }
        }, first);
        e.extremesStarted = 1;
    }
    if (e.thousands != 0) UpdateVegetationGrid(index, own);

    const OutputDate date{year, month, day, hour};
    const writecode::PeriodEnds ends = writecode::Ends(GetHourOffset(), date, endKey);
    const writecode::UnitsOutput out = writecode::GridOutput(e.units, ends);
    if (out.kind != NameKind::None) {
        const std::string name = out.kind == NameKind::Plain   ? e.baseFileName
                                 : out.kind == NameKind::Dated ? writecode::NextDatedName(e, e.baseFileName, date, false)
                                                               : writecode::FilledName(e.baseFileName);
        WriteEntryGrid(index, name, own);
        // The run's end writes a dated or filled grid once more under its base name, except where
        // that name is the input file the grid was read from: the input stays as it was given (a
        // code grid holds table positions, which the next run could not read as codes).
        if (out.plainAgain && (e.readFileName.empty() || e.baseFileName != e.readFileName)) WriteEntryGrid(index, e.baseFileName, own);
    }
    if (skip) return;

    if (ends.run) {
        if (e.minFlag == 1) WriteStatisticGrid(index, e.minGrid, writecode::ExtremeName(e.minFileName, false), own);
        if (e.maxFlag == 1) WriteStatisticGrid(index, e.maxGrid, writecode::ExtremeName(e.maxFileName, true), own);
    }
    if (e.tens != 0 && writecode::PeriodEnded(e.tens, ends)) {
        Matrix& sum = e.sumGrid;
        const double steps = e.stepCount;
        const Matrix* gaps = e.missingSteps.empty() ? nullptr : &e.missingSteps;
        // Means over the steps with data; a cell without data in the whole period has none.
        ForCells(*this, valid, {&sum}, [&](int r, int c, bool ok) {
            if (!ok) return;
            const double withData = steps - (gaps != nullptr ? (*gaps)[r][c] : 0.0);
            if (!(withData > 0))
                sum[r][c] = nd;
            else if (e.tens >= 5)
                sum[r][c] /= withData;
        });
        WriteStatisticGrid(index, sum, writecode::PeriodName(e.sumFileName, e.tens, date), own);
        e.stepCount = 0;
        ForCells(*this, valid, {&sum}, [&](int r, int c, bool ok) {
            if (ok) sum[r][c] = 0;
        });
        if (!e.missingSteps.empty()) e.missingSteps.fill(0.0);
    }
}

void modelobject::WriteStackByCode(int index) {
    if (gridStore == nullptr || index < 1 || index > GridStore::kEntries - 1) return;
    GridStoreEntry& e = (*gridStore)[index];
    if ((e.units == 0 && e.tens == 0) || e.stack == nullptr) return;
    const OutputDate date{year, month, day, hour};
    const writecode::UnitsOutput out =
        writecode::StackOutput(e.units, writecode::Ends(GetHourOffset(), date, endKey));
    if (out.kind == NameKind::None) return;
    FindDecompositionGrids();
    const std::string name =
        out.kind == NameKind::Dated ? writecode::NextDatedName(e, e.fileName, date, true) : e.fileName;
    auto write = [&](const std::string& fileName) {
        // Text files pass through process 0 (a gathered copy); binary files are written by
        // every process at once.
        Stack copy;
        if (textOutput && size > 1) copy = MPISynchroniseStackCopy(index);
        WriteStack(fileName, copy.empty() ? *e.stack : copy, e.levels, textOutput, doublePrecision);
    };
    write(name);
    if (out.plainAgain) write(e.fileName);
}
