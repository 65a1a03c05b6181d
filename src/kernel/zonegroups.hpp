#pragma once
// The zone statistics of a pass over the cells shared among the threads of a team without
// changing a bit. The zones of each statistic fall into groups; one task per statistic and group
// walks the own rows in order and makes the additions to the records of its zones alone, into
// copies of those records that it writes back when done. Every record thus gets the same
// additions in the same order as from one thread, and no thread writes near another's records
// while it adds.
#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "kernel/zonestat.hpp"

class ZoneGroupTasks {
public:
    // The zone positions of one row's cells: zone[c] for the columns c1..c2, below 0 for a cell
    // outside every zone; zone null for a row without own cells.
    struct RowZones {
        const int* zone = nullptr;
        int c1 = 1, c2 = 0;
    };

    // For each statistic s of statistics (active ones) and each row r from first to last with
    // zones zonesOf(r): cell(c, to) for the row's cells of a zone of the statistics in column
    // order, with cell = rowCells(s, r) (the row's grids looked up once), where to(value, weight)
    // counts as the row adder's Add(c, zone, value, weight). rowCells and the cells it returns
    // run on several threads at once for different statistics and zones. zonesAsBefore: the
    // rows' zones are those of the last call (zones that stay from step to step), so that the
    // stretches of that call serve again when the rows and groups are the same. zonesOf may
    // also take (s, r): each statistic then has zones of its own (the statistics of several
    // grids in one team run), with stretches of its own.
    template <class Zones, class RowCells>
    void Run(const std::vector<const zonalstatistic*>& statistics, int first, int last, Zones zonesOf,
             RowCells rowCells, bool zonesAsBefore = false) {
        int highest = 0;
        for (const zonalstatistic* s : statistics) highest = std::max(highest, s->zoneCount());
        const int groups = std::clamp(highest + 1, 1, std::max(omp_get_max_threads(), 1));
        groupOf_.resize(static_cast<std::size_t>(highest) + 1);
        for (int z = 0; z <= highest; ++z) groupOf_[static_cast<std::size_t>(z)] = z % groups;
        const int tasks = static_cast<int>(statistics.size()) * groups;
        copies_.resize(static_cast<std::size_t>(tasks));
        for (int k = 0; k < tasks; ++k)
            copies_[static_cast<std::size_t>(k)].resize(
                static_cast<std::size_t>(statistics[static_cast<std::size_t>(k / groups)]->zoneCount()) + 1);
        const int* const groupOf = groupOf_.data();
        constexpr bool zonesPerStatistic = std::is_invocable_v<Zones, int, int>;
        const auto zonesOfRow = [&zonesOf](int s, int r) {
            if constexpr (zonesPerStatistic)
                return zonesOf(s, r);
            else
                return zonesOf(r);
        };
        const int zoneSets = zonesPerStatistic ? static_cast<int>(statistics.size()) : 1;
        // The columns of each row that hold a zone of each group, found by all threads at once
        // (a row each): a task then walks only the stretch of each row where its zones lie
        // instead of every cell of the own rows. With two groups the pass to find them costs
        // about what it saves.
        const bool stretches = groups > 2;
        const int rows = stretches ? std::max(last - first + 1, 0) : 0;
        const SpanKey key{first, last, groups, highest, zonesPerStatistic ? statistics : std::vector<const zonalstatistic*>{}};
        const bool spansKept = stretches && zonesAsBefore && key == spansKey_;
        spansKey_ = stretches ? key : SpanKey{};
        // The stretches of zone set z (0 with one set for all statistics), row r and group g.
        const auto spanIndex = [rows, groups, first](int z, int r, int g) {
            return (static_cast<std::size_t>(z) * static_cast<std::size_t>(rows) + static_cast<std::size_t>(r - first)) *
                       static_cast<std::size_t>(groups) +
                   static_cast<std::size_t>(g);
        };
        spans_.resize(static_cast<std::size_t>(zoneSets) * static_cast<std::size_t>(rows) * static_cast<std::size_t>(groups));
        ColumnSpan* const spans = spans_.data();
        if (stretches && !spansKept) {
#pragma omp parallel for schedule(static) collapse(2)
            for (int set = 0; set < zoneSets; ++set) {
                for (int r = first; r <= last; ++r) {
                    ColumnSpan* const of = spans + spanIndex(set, r, 0);
                    for (int g = 0; g < groups; ++g) of[g] = ColumnSpan{};
                    const RowZones row = zonesOfRow(set, r);
                    if (row.zone == nullptr) continue;
                    // Zones come in runs of cells: each run widens its group's stretch once.
                    int runZone = -1, runStart = row.c1;
                    const auto endRun = [&](int runEnd) {
                        if (runZone < 0 || runZone > highest) return;
                        ColumnSpan& span = of[groupOf[runZone]];
                        if (span.c1 > span.c2) span.c1 = runStart;
                        span.c2 = runEnd;
                    };
                    for (int c = row.c1; c <= row.c2; ++c) {
                        const int z = row.zone[c];
                        if (z == runZone) continue;
                        endRun(c - 1);
                        runZone = z;
                        runStart = c;
                    }
                    endRun(row.c2);
                }
            }
        }
#pragma omp parallel for schedule(dynamic, 1)
        for (int k = 0; k < tasks; ++k) {
            const int s = k / groups, g = k % groups;
            const zonalstatistic& statistic = *statistics[static_cast<std::size_t>(s)];
            zoneFZT* const records = statistic.records();
            if (records == nullptr) continue;
            const int zones = statistic.zoneCount();
            zoneFZT* const copy = copies_[static_cast<std::size_t>(k)].data();
            for (int z = g; z <= zones; z += groups) copy[z] = records[z];
            const int set = zonesPerStatistic ? s : 0;
            for (int r = first; r <= last; ++r) {
                const RowZones row = zonesOfRow(s, r);
                if (row.zone == nullptr) continue;
                int c1 = row.c1, c2 = row.c2;
                if (stretches) {
                    const ColumnSpan span = spans[spanIndex(set, r, g)];
                    if (span.c1 > span.c2) continue;
                    c1 = span.c1;
                    c2 = span.c2;
                }
                const zonalstatistic::RowAdder add = statistic.Row(r);
                const auto cell = rowCells(s, r);
                for (int c = c1; c <= c2; ++c) {
                    const int z = row.zone[c];
                    if (z < 0 || z > zones || groupOf[z] != g) continue;
                    zoneFZT& record = copy[z];
                    cell(c, [&](double value, double weight) { add.AddTo(record, c, value, weight); });
                }
            }
            for (int z = g; z <= zones; z += groups) records[z] = copy[z];
        }
    }

private:
    // Columns c1..c2 of a row (c1 > c2: none).
    struct ColumnSpan {
        int c1 = 1, c2 = 0;
    };
    std::vector<ColumnSpan> spans_;
    // The rows, groups and highest zone the stretches in spans_ were found for, and the
    // statistics where each has zones of its own.
    struct SpanKey {
        int first = 0, last = -1, groups = 0, highest = -1;
        std::vector<const zonalstatistic*> statistics;
        bool operator==(const SpanKey&) const = default;
    };
    SpanKey spansKey_;
    std::vector<int> groupOf_;
    std::vector<std::vector<zoneFZT>> copies_;
};
