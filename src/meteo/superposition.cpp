// Regional superposition: the section with its entities, and each entity's construction,
// combination and statistics.
#include "kernel/nodata.hpp"
#include "kernel/error.hpp"
#include "meteo/superposition.hpp"
#include "kernel/threading.hpp"

#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

// The next line of the stream without its line end; false at the end of the file.
bool NextLine(std::FILE* f, std::string* line) {
    line->clear();
    int ch = 0;
    bool any = false;
    while ((ch = std::fgetc(f)) != EOF) {
        any = true;
        if (ch == '\n') break;
        line->push_back(static_cast<char>(ch));
    }
    return any;
}

// First and last basin column of row r (1..ncols where the ranges are not known): the cells
// outside lie outside every zone.
std::pair<int, int> BasinColumns(const modelobject& o, int r) {
    const bool ranged = o.basinColumns != nullptr && static_cast<std::size_t>(r) < o.basinColumns->size();
    const int c1 = ranged ? (*o.basinColumns)[static_cast<std::size_t>(r)].first : 1;
    const int c2 = ranged ? (*o.basinColumns)[static_cast<std::size_t>(r)].last : o.ncols;
    return {std::max(c1, 1), std::min(c2, o.ncols)};
}

}  // namespace

// ------------------------------------------------------------------ the sub-model

RegionalSuperposition::RegionalSuperposition(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "RegionalSuperposition", s, 1) {
    CatchIntoError(error, [&] { Construct(); });
}

RegionalSuperposition::~RegionalSuperposition() {
    ReleaseInDestructor([&] {
        for (auto& e : entities_) e->Release();
    });
    entities_.clear();
}

void RegionalSuperposition::Construct() {
    LogBanner("regsuper");
    ReadModuleSection(false);
    if (flowControl == 0 || zoneIndex == nullptr) return;
    FindDecompositionGrids();
    regionCount_ = settings.regionIndex != nullptr ? std::max(settings.regionCount, 0) : 0;
    ReadEntities();
    std::FILE* f = controlFile.release();
    if (f != nullptr && std::fclose(f) != 0) {
        FailOnFile(*log, "error closing control file " + controlFileName, 11);
    }
}

void RegionalSuperposition::ReadEntities() {
    std::FILE* f = ControlStream();
    std::string line;
    NextLine(f, &line);
    const long count = ParseEntityCount(line);
    if (count < 0) {
        *log << "FATAL: could not read \"NumberOfEntities\" keyword in section [" << moduleName << "]\n\n"
             << "[end-entry]";
        throw ModelError(133);
    }
    for (long i = 0; i < count; ++i) {
        std::string block;
        while (NextLine(f, &line)) {
            block += line + "\n";
            if (line.find('}') != std::string::npos) break;
        }
        entities_.push_back(std::make_unique<cSuperposition>(*this, block));
    }
}

long RegionalSuperposition::RegionCodeOfRank(int p) const {
    const std::vector<int>& index = *settings.regionIndex;
    for (std::size_t code = 0; code < index.size(); ++code)
        if (index[code] == p) return static_cast<long>(code);
    return 0;
}

int RegionalSuperposition::RankOf(long code) const {
    const std::vector<int>& index = *settings.regionIndex;
    if (code < 0 || code >= static_cast<long>(index.size())) return 0;
    const int k = index[static_cast<std::size_t>(code)];
    return k >= 1 && k <= regionCount_ ? k : 0;
}

void RegionalSuperposition::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    hour = h;
    day = d;
    month = m;
    year = y;
    if (flowControl == 0) return;
    for (auto& e : entities_) e->Combine(h, d, m, y);
}

void RegionalSuperposition::WriteStatistics() {
    if (flowControl == 0) return;
    for (auto& e : entities_) e->WriteStatistics();
}

void RegionalSuperposition::FlushStatistics() {
    if (flowControl == 0) return;
    for (auto& e : entities_) e->FlushStatistics();
}

// ------------------------------------------------------------------ one entity

cSuperposition::cSuperposition(RegionalSuperposition& owner, const std::string& blockText) : owner_(owner) {
    DiagLog& log = *owner_.log;
    block_ = ParseSuperpositionBlock(blockText);
    regions_ = owner_.regionCount_;
    if (!block_.missingKey.empty()) {
        // Without the key there is no value to take: the block is refused.
        log << "FATAL: error in control file, the key \"" << block_.missingKey << "\" (with \"= value;\") of the "
            << owner_.moduleName << " entity " << block_.name << " is missing" << "[end-entry]";
        throw ModelError(17);
    }
    for (const SuperpositionInput& in : block_.inputs) {
        Input input;
        input.grid = (*owner_.gridStore)[owner_.GetGridIndex(in.gridName)].grid;
        CheckRegions(in);
        if (static_cast<int>(in.weights.size()) != regions_) {
            log << "\nerror reading weights for regions in " << owner_.moduleName << " entity: " << block_.name
                << ", inputgrid " << in.gridName << "\nThe number of regions (" << regions_
                << ") does not equal the number of weights (" << static_cast<int>(in.weights.size()) << ")\n"
                << "[end-entry]";
            throw ModelError(135);
        }
        input.weightOfRank.assign(static_cast<std::size_t>(regions_) + 1, 0.0);
        for (int p = 1; p <= regions_; ++p)
            input.weightOfRank[static_cast<std::size_t>(p)] = in.weights[static_cast<std::size_t>(p - 1)];
        inputs_.push_back(std::move(input));
    }
    CheckWeights();
    RegisterOutput();
    CreateStatistics();
    LookUpRegionLayers();
}

void cSuperposition::CheckRegions(const SuperpositionInput& in) const {
    DiagLog& log = *owner_.log;
    const std::string head = "\nerror reading regions in " + owner_.moduleName + " entity: " + block_.name +
                             ", inputgrid " + in.gridName;
    if (static_cast<int>(in.regions.size()) != regions_) {
        log << head << "\nThe number of regions here (" << static_cast<int>(in.regions.size())
            << ") does not equal the number of" << "\nregions in the regiongrid (" << regions_ << ")\n"
            << "[end-entry]";
        throw ModelError(134);
    }
    for (int p = 1; p <= regions_; ++p) {
        const long code = in.regions[static_cast<std::size_t>(p - 1)];
        if (owner_.RankOf(code) == 0) {
            log << head << "\nregion on position " << p << " was read as " << code
                << "\nThere is now region with this code in the region grid\n"
                << "\nOnly the region codes from the region grid must be listet in ascending order here\n"
                << "regardless of their actual weight for this superposition instance\n" << "[end-entry]";
            throw ModelError(134);
        }
        if (owner_.RankOf(code) != p) {
            log << head << "\nregion on position " << p << " in the region list should have value "
                << owner_.RegionCodeOfRank(p) << "\nbut was read as " << code
                << "\nAll regions must be listet in ascending order here\n"
                << "regardless of their actual weight for this superposition instance\n" << "[end-entry]";
            throw ModelError(134);
        }
    }
}

void cSuperposition::CheckWeights() const {
    for (int p = 1; p <= regions_; ++p) {
        double sum = 0;
        for (const Input& in : inputs_) sum += in.weightOfRank[static_cast<std::size_t>(p)];
        if (std::fabs(sum - 1.0) > 0.0001) {
            *owner_.log << "\nerror reading weights for regions in " << owner_.moduleName << "\nentity: "
                        << block_.name << "\nregion " << p << ": The sum of all weights is not 1.0 but " << sum
                        << " \n" << "[end-entry]";
            throw ModelError(135);
        }
    }
}

void cSuperposition::RegisterOutput() {
    RegionalSuperposition& o = owner_;
    const int index = FirstFreeGridEntry(*o.gridStore);
    if (index >= 1000) {
        *o.log << "FATAL: no free grid anymore, allowed number of grids is " << 1000 << "!" << "[end-entry]";
        throw ModelError(12);
    }
    output_ = o.matrix(o.firstRow, o.lastRow, 1, o.ncols, o.nrows);
#pragma omp parallel for schedule(static) if (WorthThreads(o.firstRow, o.lastRow, o.ncols))
    for (int r = o.firstRow; r <= o.lastRow; ++r)
        for (int c = 1; c <= o.ncols; ++c)
            if (o.mpiRegions == nullptr || (*o.mpiRegions)[r][c] == o.rank)
                output_[r][c] = (*o.zoneGrid)[r][c] == o.nodata ? o.nodata : 0.0;
    // The writer puts the output folder in front of the name.
    o.RegisterGrid(index, block_.outputGrid, &output_, nullptr, 0,
                   block_.name, block_.writeCode, o.firstRow, o.lastRow);
    gridIndex_ = index;
}

void cSuperposition::CreateStatistics() {
    RegionalSuperposition& o = owner_;
    zones_ = *o.zoneRecords;
    for (zoneFZT& z : zones_) z.n = z.sx = z.RelCellSum = 0;
    int error = 0;
    statistics_ = std::make_unique<zonalstatistic>(&error, o.log, o.relCellArea, o.nrows, o.ncols, zones_.data(),
                                                   o.zoneCount, block_.statCode, 4, block_.outputTable, o.outputPath,
                                                   o.settings.SelectedZoneCount(), o.settings.SelectedZones());
    if (error != 0) throw ModelError(error);
    statistics_->WriteHeader(block_.name, o.moduleName, o.settings.outputCodes, o.settings.outputCodeCount);
}

void cSuperposition::LookUpRegionLayers() {
    if (regions_ < 1) return;
    const char* regionNames[4] = {"", "regression_regions", "regression_regions2", "regression_regions3"};
    const char* weightNames[4] = {"", "regression_weights1", "regression_weights2", "regression_weights3"};
    for (int layer = 1; layer <= std::min(regions_, 3); ++layer) {
        regionGrid_[layer] = (*owner_.gridStore)[owner_.GetGridIndex(regionNames[layer])].grid;
        weightGrid_[layer] = (*owner_.gridStore)[owner_.GetGridIndex(weightNames[layer])].grid;
    }
}

bool cSuperposition::TakesPart(int r, int c) const {
    const RegionalSuperposition& o = owner_;
    if ((*o.zoneGrid)[r][c] == o.nodata) return false;
    return o.mpiRegions == nullptr || (*o.mpiRegions)[r][c] == o.rank;
}

double cSuperposition::Layer(int layer, int r, int c) const {
    const long code = static_cast<long>((*regionGrid_[layer])[r][c]);
    if (layer > 1 && code < 1) return 0.0;
    const int k = owner_.RankOf(code);
    if (k == 0) return 0.0;
    double sum = 0;
    for (const Input& in : inputs_) sum += (*in.grid)[r][c] * in.weightOfRank[static_cast<std::size_t>(k)];
    return (*weightGrid_[layer])[r][c] * sum;
}

void cSuperposition::Combine(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    hour_ = h;
    day_ = d;
    month_ = m;
    year_ = y;
    statistics_->Reset();
    const RegionalSuperposition& o = owner_;
    const int layers = inputs_.empty() ? 0 : std::min(regions_, 3);
    // Up to kRowInputs inputs, each row's input, region and weight values are looked up once.
    if (inputs_.size() <= kRowInputs) {
#pragma omp parallel for schedule(runtime) if (WorthThreads(o.firstRow, o.lastRow, o.ncols))
        for (int r = o.firstRow; r <= o.lastRow; ++r) CombineRow(r, layers);
        return;
    }
#pragma omp parallel for schedule(runtime) if (WorthThreads(o.firstRow, o.lastRow, o.ncols))
    for (int r = o.firstRow; r <= o.lastRow; ++r) {
        const auto [c1, c2] = BasinColumns(o, r);
        for (int c = c1; c <= c2; ++c) {
            if (!TakesPart(r, c)) continue;
            // An input without data in this step (no valid station value) leaves the cell
            // without data too.
            bool missing = false;
            for (const Input& in : inputs_) missing = missing || NoData((*in.grid)[r][c], o.nodata);
            double out = 0.0;
            for (int layer = 1; layer <= layers && !missing; ++layer) out += Layer(layer, r, c);
            output_[r][c] = missing ? o.nodata : out;
        }
    }
}

// As the general loop of Combine: the cells TakesPart names, the layers added as Layer gives
// them, in the same order.
void cSuperposition::CombineRow(int r, int layers) {
    const RegionalSuperposition& o = owner_;
    const auto [c1, c2] = BasinColumns(o, r);
    const double nd = o.nodata, own = o.rank;
    const double* zones = (*o.zoneGrid)[r];
    const double* regions = o.mpiRegions != nullptr ? (*o.mpiRegions)[r] : nullptr;
    const std::size_t n = inputs_.size();
    std::array<const double*, kRowInputs> values{};
    std::array<const double*, kRowInputs> weightOfRank{};
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = (*inputs_[i].grid)[r];
        weightOfRank[i] = inputs_[i].weightOfRank.data();
    }
    std::array<const double*, 4> codes{}, cellWeights{};
    for (int layer = 1; layer <= layers; ++layer) {
        codes[static_cast<std::size_t>(layer)] = (*regionGrid_[layer])[r];
        cellWeights[static_cast<std::size_t>(layer)] = (*weightGrid_[layer])[r];
    }
    const int* index = o.settings.regionIndex->data();
    const long indexSize = static_cast<long>(o.settings.regionIndex->size());
    const int rankCount = o.regionCount_;
    double* out = output_[r];
    for (int c = c1; c <= c2; ++c) {
        if (zones[c] == nd || (regions != nullptr && regions[c] != own)) continue;
        bool missing = false;
        for (std::size_t i = 0; i < n; ++i) missing = missing || NoData(values[i][c], nd);
        if (missing) {
            out[c] = nd;
            continue;
        }
        double sum = 0.0;
        for (int layer = 1; layer <= layers; ++layer) {
            const auto l = static_cast<std::size_t>(layer);
            const long code = static_cast<long>(codes[l][c]);
            // RankOf(code), the index read from locals.
            int k = 0;
            if (!(layer > 1 && code < 1) && code >= 0 && code < indexSize) {
                const int rank = index[code];
                k = rank >= 1 && rank <= rankCount ? rank : 0;
            }
            double contribution = 0.0;
            if (k != 0) {
                double weighted = 0;
                for (std::size_t i = 0; i < n; ++i) weighted += values[i][c] * weightOfRank[i][static_cast<std::size_t>(k)];
                contribution = cellWeights[l][c] * weighted;
            }
            sum += contribution;
        }
        out[c] = sum;
    }
}

void cSuperposition::WriteStatistics() {
    RegionalSuperposition& o = owner_;
    o.WriteStatisticGrids(gridIndex_, true, false);
    if (statistics_->active() && omp_get_max_threads() > 1 && WorthThreads(o.firstRow, o.lastRow, o.ncols)) {
        AddStatisticsThreaded();
        statistics_->Step(year_, month_, day_, hour_, 1);
        return;
    }
    const long zoneEntries = static_cast<long>(o.zoneIndex->size());
    for (int r = o.firstRow; r <= o.lastRow; ++r) {
        const auto [c1, c2] = BasinColumns(o, r);
        const double* zones = (*o.zoneGrid)[r];
        const double* regions = o.mpiRegions != nullptr ? (*o.mpiRegions)[r] : nullptr;
        const double* values = output_[r];
        const zonalstatistic::RowAdder add = statistics_->Row(r);
        for (int c = c1; c <= c2; ++c) {
            // The cells TakesPart names.
            if (zones[c] == o.nodata || (regions != nullptr && regions[c] != o.rank)) continue;
            const auto code = static_cast<long>(zones[c]);
            if (code < 0 || code >= zoneEntries || NoData(values[c], o.nodata)) continue;
            add.Add(c, (*o.zoneIndex)[static_cast<std::size_t>(code)], values[c]);
        }
    }
    statistics_->Step(year_, month_, day_, hour_, 1);
}

void cSuperposition::AddStatisticsThreaded() {
    RegionalSuperposition& o = owner_;
    const auto stride = static_cast<std::size_t>(o.ncols) + 1;
    // The cells TakesPart names with a zone code of the index: they stay from step to step, found
    // at the first step.
    if (!cellZonesFound_) {
        const long zoneEntries = static_cast<long>(o.zoneIndex->size());
        const int* positions = o.zoneIndex->data();
        cellZones_.resize(static_cast<std::size_t>(std::max(o.lastRow - o.firstRow + 1, 0)) * stride);
#pragma omp parallel for schedule(runtime)
        for (int r = o.firstRow; r <= o.lastRow; ++r) {
            const auto [c1, c2] = BasinColumns(o, r);
            const double* zones = (*o.zoneGrid)[r];
            const double* regions = o.mpiRegions != nullptr ? (*o.mpiRegions)[r] : nullptr;
            int* zoneOf = cellZones_.data() + static_cast<std::size_t>(r - o.firstRow) * stride;
            for (int c = c1; c <= c2; ++c) {
                zoneOf[c] = -1;
                if (zones[c] == o.nodata || (regions != nullptr && regions[c] != o.rank)) continue;
                const auto code = static_cast<long>(zones[c]);
                if (code < 0 || code >= zoneEntries) continue;
                zoneOf[c] = positions[static_cast<std::size_t>(code)];
            }
        }
    }
    const bool zonesAsBefore = cellZonesFound_;
    cellZonesFound_ = true;
    const std::vector<const zonalstatistic*> statistics = {statistics_.get()};
    const Matrix& output = output_;
    const double nodata = o.nodata;
    zoneTasks_.Run(
        statistics, o.firstRow, o.lastRow,
        [&](int r) {
            const auto [c1, c2] = BasinColumns(o, r);
            return ZoneGroupTasks::RowZones{cellZones_.data() + static_cast<std::size_t>(r - o.firstRow) * stride, c1,
                                            c2};
        },
        [&](int, int r) {
            const double* values = output[r];
            // A cell without a value adds nothing.
            return [values, nodata](int c, auto&& to) {
                if (!NoData(values[c], nodata)) to(values[c], 1.0);
            };
        },
        zonesAsBefore);
}

void cSuperposition::FlushStatistics() {
    if (statistics_) statistics_->WriteLine();
}

void cSuperposition::Release() {
    if (gridIndex_ > 0) owner_.ReleaseGrid(gridIndex_);
    gridIndex_ = 0;
    output_.reset();
    if (statistics_) {
        statistics_->Release();
        statistics_.reset();
    }
    zones_.clear();
}
