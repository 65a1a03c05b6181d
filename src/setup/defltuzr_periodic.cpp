// Per-step work on the set-up's grids: periodic re-reading, output by write code and the zone
// statistics of the standard grids. They walk the grid-store indices the set-up registered.
#include <algorithm>

#include "kernel/signals.hpp"
#include "setup/defltuzr.hpp"

namespace {
// The set-up's grids in ascending store order, without the zone grid.
std::vector<int> StandardGridIndices(const std::vector<int>& registered) {
    std::vector<int> indices;
    for (int i : registered)
        if (i > 1) indices.push_back(i);
    std::sort(indices.begin(), indices.end());
    return indices;
}
}  // namespace

void defaultini::UpdatePeriodicGrids(std::int64_t hour_, std::int64_t day_, std::int64_t month_,
                                     std::int64_t year_) {
    for (GridDefinition& def : gridDefinitions_) {
        if (!def.HasPeriodicity() || def.index < 1 || (*gridStore)[def.index].grid == nullptr) continue;
        // The letters choose the date field whose wrap starts a new period.
        const std::string& letters = def.periodLetters;
        std::int64_t observed = 0;
        if (letters.find('H') != std::string::npos || letters.find('D') != std::string::npos)
            observed = hour_;
        else if (letters.find('M') != std::string::npos)
            observed = day_;
        else if (letters.find('Y') != std::string::npos)
            observed = month_;
        else
            continue;

        if (observed > def.lastSeen) {
            ++def.stepsSeen;
        } else if (observed < def.lastSeen) {
            ++def.periodsSeen;
            def.stepsSeen = 1;
        }
        def.lastSeen = observed;

        if (def.periodsSeen == def.periodCount && def.stepsSeen == def.periodSteps) {
            SwitchPeriodicGrid(def, hour_, day_, month_, year_);
        } else if (def.reverting && def.revertSteps > 0) {
            // The counter rises from 1 and returns the grid when it reaches the revert count;
            // a count of 0 or less is never reached and the grid keeps the values read.
            if (++def.revertCounter >= def.revertSteps) RevertPeriodicGrid(def);
        }
    }
}

void defaultini::SwitchPeriodicGrid(GridDefinition& def, std::int64_t hour_, std::int64_t day_, std::int64_t month_,
                                    std::int64_t year_) {
    GridStoreEntry& e = (*gridStore)[def.index];
    Matrix& grid = *e.grid;
    def.currentFileName = StrFormat("%s_%04ld%02ld%02ld%02ld", def.fileName.c_str(), static_cast<long>(year_),
                                    static_cast<long>(month_), static_cast<long>(day_), static_cast<long>(hour_));
    // The values to return to are those before the first switch.
    if (!def.persistent && def.firstValues.empty()) KeepFirstValues(def);
    ReadGrid(def.currentFileName, &grid, def.fillCode, false, false, def.defaultValue, false, true, false, true);
    ResetCtrlCHandler();
    AfterCodeGridChange(def, true);
    MPIExchangeHalo(def.index);
    def.periodsSeen = 0;
    def.stepsSeen = 0;
    if (!def.persistent) {
        def.revertCounter = 0;
        def.reverting = true;
    }
}

void defaultini::RevertPeriodicGrid(GridDefinition& def) {
    Matrix& grid = *(*gridStore)[def.index].grid;
    if (!def.firstValues.empty()) {
        for (int r = grid.firstRow(); r <= grid.lastRow(); ++r)
            if (grid.holds(r) && def.firstValues.holds(r))
                std::copy(def.firstValues[r], def.firstValues[r] + ncols + 1, grid[r]);
        // The copy of a code grid holds the codes already mapped to table positions.
        AfterCodeGridChange(def, false);
    }
    MPIExchangeHalo(def.index);
    def.reverting = false;
}

void defaultini::AfterCodeGridChange(const GridDefinition& def, bool checkCodes) {
    // The internal name as defined: a single-layer run renames the grid "landuse" to "landuse1".
    const std::string& name = def.internalName;
    if (checkCodes && tables_) {
        if (name == "landuse")
            tables_->RecheckLanduse(*this, def.index);
        else if (name == "soil_types")
            tables_->check_SOIL_Codes(*this, def.index);
        else if (name == "irrigation_codes" && irrigationSwitch_ != 0)
            tables_->check_irrig_Codes(*this, def.index);
    }
    if (name == "landuse") RefillLanduseLayers();
}

void defaultini::RefillLanduseLayers() {
    const int layers = tables_ ? tables_->MultilayerLayerCount() : 0;
    if (layers < 1 || static_cast<int>(landuseLayers_.size()) <= layers || landuseLayers_[0] == nullptr) return;
    FindDecompositionGrids();
    const Matrix& landuse = *landuseLayers_[0];
    const Matrix* zone = (*gridStore)[1].grid;
    const Matrix* owners = mpiRegions;
    const ParameterTables& tables = *tables_;
    const double nd = nodata;
    const int me = rank;
    const int first = std::max(firstRow, 1), last = std::min(lastRow, nrows);
    for (int l = 1; l <= layers; ++l) {
        Matrix* layer = landuseLayers_[static_cast<std::size_t>(l)];
        if (layer == nullptr) continue;
#pragma omp parallel for schedule(runtime)
        for (int r = first; r <= last; ++r) {
            if (!layer->holds(r) || !landuse.holds(r) || !zone->holds(r)) continue;
            const ColumnRange range = zones_.columns[static_cast<std::size_t>(r)];
            for (int c = std::max(range.first, 1); c <= std::min(range.last, ncols); ++c) {
                const bool own = (*zone)[r][c] > nd && (owners == nullptr || (owners->holds(r) && (*owners)[r][c] == me));
                (*layer)[r][c] = own ? tables.MultilayerLanduseCode(static_cast<int>(landuse[r][c]), l) : nd;
            }
        }
        MPIExchangeHalo(0, layer);
    }
}

void defaultini::WriteStandardGrids(std::int64_t hour_, std::int64_t day_, std::int64_t month_, std::int64_t year_) {
    hour = hour_;
    day = day_;
    month = month_;
    year = year_;
    // The variable grids are written by WriteVariableGrids alone, so that no grid is written
    // or accumulated twice in a step.
    for (int index : StandardGridIndices(RegisteredIndices())) {
        const GridDefinition* def = DefinitionAt(index);
        if (def == nullptr || !def->variable) WriteStatisticGrids(index, true, false);
    }
}

void defaultini::WriteVariableGrids(std::int64_t hour_, std::int64_t day_, std::int64_t month_, std::int64_t year_) {
    hour = hour_;
    day = day_;
    month = month_;
    year = year_;
    for (const GridDefinition& def : gridDefinitions_)
        if (def.variable) WriteStatisticGrids(def.index, true, false);
}

void defaultini::CreateStandardGridStatistics(OutputCodeEntry* table, int tableCount) {
    const int nzones = zones_.zoneCount;
    for (int index : StandardGridIndices(RegisteredIndices())) {
        const GridDefinition* def = DefinitionAt(index);
        if (def == nullptr || def->statFile.empty()) continue;
        StandardGridStatistic s;
        s.index = index;
        s.records.assign(static_cast<std::size_t>(nzones) + 1, zoneFZT{});
        for (int z = 0; z <= nzones && static_cast<std::size_t>(z) < zones_.records.size(); ++z) {
            const ZoneRecord& rec = zones_.records[static_cast<std::size_t>(z)];
            zoneFZT& out = s.records[static_cast<std::size_t>(z)];
            out.zonenwert = rec.code;
            out.rel = rec.share;
            out.RelCellSum = rec.weightedCount2;
        }
        int error = 0;
        // The statistic keeps a pointer to the records; moving the vector keeps its storage.
        s.statistic = std::make_unique<zonalstatistic>(&error, log, relCellArea, nrows, ncols, s.records.data(),
                                                       nzones, def->statCode, 5, def->statFile, outputPath, 0,
                                                       std::vector<int>{});
        if (error != 0) throw ModelError(error);
        int failure = 0;
        try {
            s.statistic->WriteHeader((*gridStore)[index].internalName, "(default)", table, tableCount);
        } catch (const ModelError& e) {
            failure = e.code();
        }
        statistics_.push_back(std::move(s));
        FailAlike(failure, "writing the header of a statistics table");
    }
}

void defaultini::ResetStandardGridStatistics() {
    for (StandardGridStatistic& s : statistics_) s.statistic->Reset();
}

void defaultini::AddStandardGridStatistics() {
    if (statistics_.empty()) return;
    FindDecompositionGrids();
    const Matrix* zone = (*gridStore)[1].grid;
    if (zone == nullptr) return;
    const Matrix* owners = mpiRegions;
    const std::vector<std::int32_t>& codeToZone = zones_.codeToZone;
    const long maxCode = static_cast<long>(codeToZone.size()) - 1;
    const double nd = nodata;
    const int me = rank;
    const int first = std::max(firstRow, 1), last = std::min(lastRow, nrows);
    const int count = static_cast<int>(statistics_.size());
    // One thread per statistic: each adds into its own records in a fixed cell order, so the
    // sums do not depend on the number of threads. A cell counts on the process that owns it.
#pragma omp parallel for schedule(runtime)
    for (int k = 0; k < count; ++k) {
        StandardGridStatistic& s = statistics_[static_cast<std::size_t>(k)];
        const Matrix* grid = (*gridStore)[s.index].grid;
        if (grid == nullptr) continue;
        for (int r = first; r <= last; ++r) {
            if (!grid->holds(r) || !zone->holds(r) || static_cast<std::size_t>(r) >= zones_.columns.size()) continue;
            const ColumnRange range = zones_.columns[static_cast<std::size_t>(r)];
            for (int c = std::max(range.first, 1); c <= std::min(range.last, ncols); ++c) {
                const double z = (*zone)[r][c];
                if (z == nd || (owners != nullptr && (!owners->holds(r) || (*owners)[r][c] != me))) continue;
                const long code = static_cast<long>(z);
                if (code < 0 || code > maxCode) continue;
                s.statistic->AddValue(r, c, codeToZone[static_cast<std::size_t>(code)], (*grid)[r][c], 1.0);
            }
        }
    }
}

void defaultini::StepStandardGridStatistics(std::int64_t hour_, std::int64_t day_, std::int64_t month_,
                                            std::int64_t year_) {
    if (statistics_.empty()) return;
    // Process 0 alone writes the rows (when a buffer is full).
    int failure = 0;
    for (StandardGridStatistic& s : statistics_) {
        try {
            s.statistic->Step(year_, month_, day_, hour_, 1);
        } catch (const ModelError& e) {
            if (failure == 0) failure = e.code();
        }
    }
    FailAlike(failure, "writing a statistics table");
}

void defaultini::WriteStandardGridStatisticLines() {
    if (statistics_.empty()) return;
    int failure = 0;
    for (StandardGridStatistic& s : statistics_) {
        try {
            s.statistic->WriteLine();
        } catch (const ModelError& e) {
            if (failure == 0) failure = e.code();
        }
    }
    FailAlike(failure, "writing a statistics table");
}

void defaultini::ReleaseStandardGridStatistics() {
    for (StandardGridStatistic& s : statistics_) {
        try {
            s.statistic->Release();
        } catch (const ModelError&) {
            // The failure is in the diagnostics log; the remaining tables are still written.
        }
    }
    statistics_.clear();
}
