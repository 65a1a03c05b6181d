#pragma once
// Zone sums of a cell loop that feeds several zone statistics at once. zonalstatistic::AddValue
// looks up the cell's weight anew for every output and every call goes through the object;
// here the loop reads a cell's weight once and adds each value straight to the records of the
// outputs that are on. Every record gets the additions AddValue would make, in the same order,
// so the sums are the same to the last bit.
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/zonegroups.hpp"
#include "kernel/zonelanes.hpp"
#include "kernel/zonerecord.hpp"
#include "kernel/zonestat.hpp"

// The records of one statistics output that is on (none where it is off or failed).
struct ZoneSumTarget {
    zoneFZT* records = nullptr;
    int highest = -1;  // the last zone position the output takes

    bool on() const { return records != nullptr; }
};

// The target of an output made over records[0..n] (records is the array given to its constructor).
inline ZoneSumTarget SumTargetOf(const zonalstatistic* stat, std::vector<zoneFZT>& records) {
    if (stat == nullptr || !stat->active() || records.empty()) return {};
    return {records.data(), static_cast<int>(records.size()) - 1};
}

// The weight of one cell in the statistics made with a weight grid of nrows x ncols (or none).
class ZoneCellWeight {
public:
    ZoneCellWeight(const Matrix* weights, int nrows, int ncols) : weights_(weights), nrows_(nrows), ncols_(ncols) {}

    // Looks up the weight of cell (r, c): a value of the grid above the statistics' nodata
    // scales the cell's values and weights, else they count as they are.
    void At(int r, int c) {
        scaled_ = false;
        if (r < 1 || r > nrows_ || c < 1 || c > ncols_ || weights_ == nullptr || !weights_->holds(r)) return;
        g_ = (*weights_)[r][c];
        scaled_ = g_ > kStatisticsNodata;
    }

    // Adds the value with its weight to the record of zone position zone (nothing outside the
    // output's zones), as AddValue does for the cell looked up last.
    void Add(const ZoneSumTarget& t, int zone, double value, double weight) const {
        if (!t.on() || zone < 0 || zone > t.highest) return;
        zonalstatistic::AddWeighted(t.records[zone], value, weight, scaled_ ? &g_ : nullptr, kStatisticsNodata);
    }

private:
    // The nodata value of the zone statistics' weights.
    static constexpr double kStatisticsNodata = -9999.0;
    const Matrix* weights_;
    int nrows_, ncols_;
    double g_ = 0;
    bool scaled_ = false;
};

// The zone position of every own cell of rows firstRow..lastRow, kNone elsewhere: the threads
// fill it by rows, then each walks it for the zone sums of its lanes (ZoneLaneShare) without
// looking the zones up again.
class CellZoneGrid {
public:
    static constexpr int kNone = -2147483647 - 1;

    // Sizes the grid for the rows and columns (kept from step to step).
    void Prepare(int firstRow, int lastRow, int ncols) {
        const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
        const std::size_t rows = lastRow >= firstRow ? static_cast<std::size_t>(lastRow - firstRow) + 1 : 0;
        if (firstRow != first_ || stride != stride_ || rows * stride != zones_.size()) found_ = false;
        first_ = firstRow;
        stride_ = stride;
        zones_.resize(rows * stride_);
    }
    // Row r, indexed by column 1..ncols.
    int* Row(int r) { return zones_.data() + static_cast<std::size_t>(r - first_) * stride_; }

    // The rows of the zone group tasks: row r's zones over the columns c1..c2 of columns(r), none
    // where c1 > c2.
    template <class Columns>
    auto TaskRows(Columns columns) {
        return [this, columns](int r) {
            const auto [c1, c2] = columns(r);
            return c1 <= c2 ? ZoneGroupTasks::RowZones{Row(r), c1, c2} : ZoneGroupTasks::RowZones{};
        };
    }

    // The zones stay from step to step: the first call after Prepare sized the grid anew fills
    // the rows first..last on a team of threads (fill as in FillAndWalkOwnLanes); later calls
    // leave them. True when the zones were found by an earlier call.
    template <class Columns, class Fill>
    bool FillOnce(int first, int last, Columns columns, Fill fill) {
        if (found_) return true;
#pragma omp parallel for schedule(runtime)
        for (int r = first; r <= last; ++r) {
            const auto [c1, c2] = columns(r);
            if (c1 <= c2) fill(r, c1, c2, Row(r));
        }
        found_ = true;
        return false;
    }

    // Run by every thread of a team: the rows first..last shared among the threads (an OpenMP
    // loop), fill(r, c1, c2, Row(r)) sets the zone position (kNone: none) of the columns c1..c2 of
    // columns(r); once every row is filled, each thread walks the cells of its lanes
    // (ForCellsOfOwnLanes with columns and cell).
    template <class Columns, class Fill, class Cell>
    void FillAndWalkOwnLanes(int first, int last, int lanes, Columns columns, Fill fill, Cell cell) {
#pragma omp for schedule(runtime)
        for (int r = first; r <= last; ++r) {
            const auto [c1, c2] = columns(r);
            if (c1 <= c2) fill(r, c1, c2, Row(r));
        }
        ForCellsOfOwnLanes(first, last, lanes, columns, cell);
    }

    // Run by every thread of a team: the cells of rows first..last with a zone, in row order and
    // within a row in the columns c1..c2 of columns(r) (c1 > c2: none), whose zone has one of the
    // lanes 0..lanes-1 on the calling thread; cell(r, c, zone, share) makes the additions of the
    // lanes the thread owns (share.Owns).
    template <class Columns, class Cell>
    void ForCellsOfOwnLanes(int first, int last, int lanes, Columns columns, Cell cell) {
        ZoneLaneShare share = ZoneLaneShare::OfThisThread();
        for (int r = first; r <= last; ++r) {
            const auto [c1, c2] = columns(r);
            const int* zoneOf = Row(r);
            for (int c = c1; c <= c2; ++c) {
                const int zone = zoneOf[c];
                if (zone == kNone) continue;
                share.Zone(zone);
                if (!share.OwnsAnyBelow(lanes)) continue;
                cell(r, c, zone, static_cast<const ZoneLaneShare&>(share));
            }
        }
    }

private:
    std::vector<int> zones_;
    int first_ = 0;
    std::size_t stride_ = 1;
    bool found_ = false;  // FillOnce has filled the rows since the grid was last sized anew
};
