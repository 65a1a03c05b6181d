// Creation of the land-use parameter grids: registration in the grid store (a grid the
// control file already provides is taken instead), the per-cell fix-point days of the
// phenology methods that move single fix points, and the first fill for the start date.
#include "tables/landuse_grids.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <mpi.h>

#include "kernel/controlfile.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/threading.hpp"

const char* const LanduseParameterGrids::kLayerGridNames[kLayerGridCount] = {
    "root_depth",         "vegetation_coverage_degree", "leaf_area_index",    "SurfaceCanopyResistance",
    "SurfaceIntercepResistance", "RoughnessLength",     "VegetationStart",    "VegetationStop",
    "VegetationDuration", "SumOfForcingUnits",          "Pheno_start",        "SumOfChillingUnits",
    "FStar_ForcingThreshold"};

namespace {

constexpr int kStoreFull = 12;
constexpr int kGridMissing = 33;
constexpr int kNotTablePosition = 31;

// The write code an entry was registered with, rebuilt from its digits.
long WriteCodeOf(const GridStoreEntry& e) {
    const long hundreds = e.minFlag && e.maxFlag ? 3 : e.maxFlag ? 2 : e.minFlag ? 1 : 0;
    return e.units + 10L * e.tens + 100L * hundreds + 1000L * e.thousands;
}

bool DynamicMethod(std::int32_t method) {
    return method >= landuse_entry::kDynamicPhenology1 && method <= landuse_entry::kDynamicPhenology4;
}

}  // namespace

LanduseParameterGrids::LanduseParameterGrids(modelobject& setup, std::vector<landuse_entry>& table, int layers,
                                             const Date& start, bool continued)
    : setup_(setup), log_(*setup.log), store_(*setup.gridStore), table_(table), layers_(std::max(layers, 0)),
      start_(start), continued_(continued), values_(start) {
    if (continued_ && --values_.day < 1) {
        if (--values_.month < 1) {
            values_.month = 12;
            --values_.year;
        }
        // The day of year of these values counts 29 February in leap years, so the day
        // before 1 March is the last day of February of that year.
        values_.day = values_.month == 2 ? landuse_entry::FebruaryLength(values_.year)
                                         : setup_.daysPerMonth[static_cast<std::size_t>(values_.month - 1)];
    }
    lo_ = setup_.firstRow > 1 ? setup_.firstRow - 1 : setup_.firstRow;
    hi_ = setup_.lastRow < setup_.nrows ? setup_.lastRow + 1 : setup_.lastRow;
    const std::size_t slots = static_cast<std::size_t>(layers_) + 1;
    for (auto& v : grids_) v.assign(slots, nullptr);
    for (auto& v : indices_) v.assign(slots, 0);
    freshPhenology_.assign(slots, 0);
    startTimes_.assign(slots, nullptr);
    startTimesIndex_.assign(slots, 0);
    landuse_.assign(slots, nullptr);
    failedRows_.assign(static_cast<std::size_t>(std::max(setup_.nrows, 0)) + 1, 0);

    try {
        CreateAndFill();
    } catch (const ModelError&) {
        Release();
        throw;
    }
}

LanduseParameterGrids::~LanduseParameterGrids() { Release(); }

void LanduseParameterGrids::WriteStartTimesAtEnd() {
    for (int l = 1; l <= layers_; ++l) {
        const int index = startTimesIndex_[static_cast<std::size_t>(l)];
        const Stack* days = startTimes_[static_cast<std::size_t>(l)];
        if (index <= 0 || days == nullptr) continue;
        const GridStoreEntry& e = store_[index];
        const std::string name = StrFormat("%s_End", e.fileName.c_str()).substr(0, 255);
        // Every process holds the whole stack but keeps only its own cells up to date: a text
        // file goes through process 0's gathered copy, a binary one is written by all at once.
        Stack copy;
        if (setup_.textOutput && setup_.size > 1) copy = setup_.MPISynchroniseStackCopy(index);
        setup_.WriteStack(name, copy.empty() ? *days : copy, e.levels, setup_.textOutput, setup_.doublePrecision);
    }
}

// Each stage ends with every process knowing whether another one failed, so that none waits
// in a halo exchange for a process that stopped.
void LanduseParameterGrids::CreateAndFill() {
    auto stage = [this](auto&& work) {
        int code = 0;
        try {
            work();
        } catch (const ModelError& e) {
            code = e.code();
        }
        AgreeOnFailure(code);
    };
    stage([this] {
        ScanTable();
        FindInputs();
        CreateSharedGrids();
    });
    for (int l = 1; l <= layers_; ++l) {
        stage([this, l] {
            CreateLayerGrids(l);
            if (l == 1) SetEntryReferences();
            FillLayer(l);
        });
        ExchangeLayerHalos(l);
    }
}

void LanduseParameterGrids::Release() {
    for (landuse_entry& e : table_) {
        if (e.cellStartDays == grids_[kPhenoStart].data()) {
            e.SetCellStartDays(nullptr);
            e.SetCellForcingThresholds(nullptr);
            e.SetCellForcingSums(nullptr);
        }
        if (e.cellFixPointDays == startTimes_.data()) e.SetCellFixPointDays(nullptr, 0);
    }
    // Only the entries that still hold this object's grids are released.
    for (int index : registered_) {
        GridStoreEntry& entry = store_[index];
        const bool ours =
            std::any_of(ownedGrids_.begin(), ownedGrids_.end(), [&](const Matrix& m) { return entry.grid == &m; }) ||
            std::any_of(ownedStacks_.begin(), ownedStacks_.end(), [&](const Stack& s) { return entry.stack == &s; });
        if (ours) entry = GridStoreEntry{};
    }
    registered_.clear();
}

void LanduseParameterGrids::ScanTable() {
    for (std::size_t i = 1; i < table_.size(); ++i) {
        const landuse_entry& e = table_[i];
        maxFixPoints_ = std::max(maxFixPoints_, e.fixPointCount);
        dynamic_ = dynamic_ || DynamicMethod(e.method);
        cellFixPoints_ = cellFixPoints_ || e.method == landuse_entry::kDynamicPhenology3 ||
                         e.method == landuse_entry::kDynamicPhenology4;
    }
    // A run that begins after the latest season start of a land use takes that start as given.
    const int startDay = landuse_entry::JulianDay(start_.day, start_.month, start_.year);
    for (std::size_t i = 1; i < table_.size(); ++i) {
        landuse_entry& e = table_[i];
        if (!e.HasDynamicStart()) continue;
        e.simpleForcing = 1;
        if (e.maxStartJDforDP1 < startDay) e.TStart = e.maxStartJDforDP1 - e.GetJulDay(e.startFixPoint + 1);
    }
}

void LanduseParameterGrids::FindInputs() {
    zone_ = store_[1].grid;
    if (zone_ == nullptr) {
        log_ << "FATAL: land-use parameter grids: the zone grid is not in memory" << "[end-entry]";
        throw ModelError(kGridMissing);
    }
    elevation_ = store_[setup_.GetGridIndex("[elevation_model]")].grid;
    for (int l = 1; l <= layers_; ++l)
        landuse_[static_cast<std::size_t>(l)] = store_[setup_.GetGridIndex(StrFormat("landuse%d", l))].grid;
    setup_.FindDecompositionGrids();
    regions_ = setup_.mpiRegions;

    const int albedo = setup_.FindGrid("albedo", true);
    if (albedo <= 0 || store_[albedo].grid == nullptr) {
        log_ << "FATAL: Albedo Grid not found for use within Landuse-Table.\n This grid must be read in as standard "
                "or variable grid (there, it can be created automatically)"
             << "[end-entry]";
        throw ModelError(kStoreFull);
    }
    albedo_ = store_[albedo].grid;
    if (setup_.FirstFreeGridIndex() > GridStore::kMaxIndex) {
        log_ << "FATAL: no free grid found in memory (at position " << GridStore::kMaxIndex + 1 << ")\n"
             << "[end-entry]";
        throw ModelError(kStoreFull);
    }
}

// A grid of the control file with this name is used as it is; otherwise a zeroed grid over
// the rows of this process is registered at the next free entry.
Matrix* LanduseParameterGrids::TakeOrCreate(const std::string& name, int* index, long writeCode) {
    const int existing = setup_.FindGrid(name, true);
    if (existing > 0 && store_[existing].grid != nullptr) {
        Matrix* grid = store_[existing].grid;
        for (int r = lo_; r <= hi_; ++r) {
            if (!grid->holds(r) || grid->ncols() < setup_.ncols) {
                log_ << "FATAL: grid " << name << " in memory does not cover row " << r << " of the process" << "[end-entry]";
                throw ModelError(24);
            }
        }
        *index = existing;
        return grid;
    }
    const int at = setup_.FirstFreeGridIndex();
    ownedGrids_.push_back(setup_.matrix(lo_, hi_, 1, setup_.ncols, setup_.nrows));
    Matrix* grid = &ownedGrids_.back();
    setup_.RegisterGrid(at, name, grid, nullptr, 0, name, writeCode, lo_, hi_);
    registered_.push_back(at);
    *index = at;
    return grid;
}

void LanduseParameterGrids::CreateSharedGrids() {
    evaporationResistance_ = TakeOrCreate("SurfaceEvaporationResistance", &evaporationIndex_);
    if (!dynamic_) return;
    int index = 0;
    temperatureAvg_ = TakeOrCreate("TemperatureAVG", &index);
    const long averageCode = WriteCodeOf(store_[index]);
    leafFallStart_ = TakeOrCreate("StartDayOfLeaveFall", &index);
    const bool given = setup_.FindGrid("TemperatureMOVAVG7", true) > 0;
    movingAverage_ = TakeOrCreate("TemperatureMOVAVG7", &movingAverageIndex_, averageCode);
    history_ = setup_.matrix3d(lo_, hi_, 1, setup_.ncols, 7, setup_.nrows);
    missingMinutes_ = setup_.matrix(lo_, hi_, 1, setup_.ncols, setup_.nrows);
    missingMinutes_.fill(0.0);
    const double nodata = setup_.nodata;
    for (int r = lo_; r <= hi_; ++r)
        for (int c = 1; c <= setup_.ncols; ++c) {
            const double v = ValidZone(r, c) ? 0.0 : nodata;
            std::fill(history_[r][c], history_[r][c] + 8, v);
            if (!given) (*movingAverage_)[r][c] = v;
        }
}

void LanduseParameterGrids::CreateLayerGrids(int l) {
    const std::size_t slot = static_cast<std::size_t>(l);
    const int count = dynamic_ ? kLayerGridCount : kPhenologyGrids;
    for (int g = 0; g < count; ++g) {
        const std::string name = StrFormat("%s%d", kLayerGridNames[g], l);
        const std::size_t before = registered_.size();
        grids_[static_cast<std::size_t>(g)][slot] = TakeOrCreate(name, &indices_[static_cast<std::size_t>(g)][slot]);
        if (g >= kPhenologyGrids && registered_.size() > before) freshPhenology_[slot] |= 1u << (g - kPhenologyGrids);
    }
    if (cellFixPoints_) CreateStartTimes(l);
}

// Per-cell fix-point days: level k the day on which the cell reaches fix point k (-1 not yet,
// nodata for points its land use lacks), level 0 the forcing threshold of the last point
// reached (method 5). All rows on every process.
void LanduseParameterGrids::CreateStartTimes(int l) {
    const std::string name = StrFormat("MultipleStartTimes%d", l);
    if (setup_.FindGrid(name, true) > 0) {
        log_ << "FATAL: " << name << " is already in memory: the fix-point days of the cells are made from the "
                "land use table and cannot be read"
             << "[end-entry]";
        throw ModelError(kStoreFull);
    }
    const int levels = maxFixPoints_;
    ownedStacks_.push_back(setup_.matrix3d(1, setup_.nrows, 1, setup_.ncols, levels, setup_.nrows));
    Stack& D = ownedStacks_.back();
    const int at = setup_.FirstFreeGridIndex();
    // The entry carries an empty plain grid beside the stack: a grid-only search of the store
    // ends at an entry without one, and the sub-models would no longer find the grids entered
    // after the set-up's (the meteorological inputs among them).
    ownedGrids_.emplace_back();
    setup_.RegisterGrid(at, name, &ownedGrids_.back(), &D, levels, name, 3, 1, setup_.nrows);
    registered_.push_back(at);
    startTimes_[static_cast<std::size_t>(l)] = &D;
    startTimesIndex_[static_cast<std::size_t>(l)] = at;

    const int d0 = landuse_entry::JulianDay(start_.day, start_.month, start_.year);
    const Matrix* landuse = landuse_[static_cast<std::size_t>(l)];
    const double nodata = setup_.nodata;
    for (int r = 1; r <= setup_.nrows; ++r)
        for (int c = 1; c <= setup_.ncols; ++c) {
            double* cell = D[r][c];
            const landuse_entry* e = nullptr;
            if (OwnCell(r, c) && landuse->holds(r) && (*landuse)[r][c] > nodata)
                e = Entry(&log_, (*landuse)[r][c], l, r, c);
            if (e == nullptr) {
                std::fill(cell + 1, cell + levels + 1, nodata);
                continue;
            }
            const bool degreeDays = e->method == landuse_entry::kDynamicPhenology3;
            cell[0] = 0;
            for (int k = 1; k <= levels; ++k) {
                const double threshold = e->GetDP3Value(k);
                const std::int32_t day = e->GetJulDay(k);
                if (k > e->fixPointCount)
                    cell[k] = nodata;
                else if (degreeDays && threshold >= 0 && day > d0)
                    cell[k] = -1;
                else
                    cell[k] = std::trunc((Altitude(r, c) - 400.0) * e->GetAltDep(k)) + day;
                if (degreeDays && k <= e->fixPointCount && day <= d0 && threshold > 0) cell[0] = threshold;
            }
        }
}

void LanduseParameterGrids::SetEntryReferences() {
    for (std::size_t i = 1; i < table_.size(); ++i) {
        landuse_entry& e = table_[i];
        if (!DynamicMethod(e.method)) continue;
        e.SetCellStartDays(grids_[kPhenoStart].data());
        e.SetCellForcingThresholds(grids_[kForcingThreshold].data());
        e.SetCellForcingSums(grids_[kForcingSum].data());
        if (cellFixPoints_) e.SetCellFixPointDays(startTimes_.data(), maxFixPoints_);
    }
}

// The values an entry gives a cell at the fill date. Where the entry moves its fix points by
// nothing of the cell but its altitude (no dynamic season start, no fix-point days per cell),
// they follow from the entry and the altitude alone: cells of the same entry and altitude share
// them. Each value is computed at the first cell that needs it, as without sharing (so a fault
// stops at the same cell), and taken from there on. One slot per key's hash: a slot taken by
// another key starts again.
struct LanduseParameterGrids::SeasonShare {
    enum Value { kRoot, kLai, kVcf, kRsc, kRsInterception, kZ0, kVegetationDay, kRsEvaporation, kAlbedo, kValues };
    struct Slot {
        const landuse_entry* entry = nullptr;
        std::uint64_t altitude = 0;
        std::uint32_t known = 0;
        std::array<double, kValues> values{};
    };
    static constexpr std::size_t kSlots = 1024;
    std::vector<Slot> slots = std::vector<Slot>(kSlots);

    // The slot of the entry and altitude, null when the entry depends on more than the altitude.
    Slot* Find(const landuse_entry& e, double altitude) {
        if (e.HasDynamicStart() || e.method == landuse_entry::kDynamicPhenology3 ||
            e.method == landuse_entry::kDynamicPhenology4)
            return nullptr;
        const auto bits = std::bit_cast<std::uint64_t>(altitude);
        const std::uint64_t hash = (bits ^ (bits >> 29) ^ reinterpret_cast<std::uintptr_t>(&e)) * 0x9E3779B97F4A7C15ull;
        Slot& slot = slots[static_cast<std::size_t>(hash >> 54) % kSlots];
        if (slot.entry != &e || slot.altitude != bits) slot = Slot{&e, bits, 0, {}};
        return &slot;
    }
};

// Without dynamic phenology a cell's values follow from its own land use and altitude (and the
// entry is only read), so the rows go to a team of threads, each with its own shared values (a
// shared value is the one its first cell computes). Rows run without messages; the first failing
// row (in row order) is then run again on this thread with the log, so that the failure is
// reported as a serial fill reports it. With dynamic phenology the entries learn from the cells
// as the rows pass: one thread.
void LanduseParameterGrids::FillLayer(int l) {
    if (dynamic_ || !WorthThreads(lo_, hi_, setup_.ncols)) {
        SeasonShare share;
        for (int r = lo_; r <= hi_; ++r) FillRow(&log_, l, r, share);
        return;
    }
#pragma omp parallel
    {
        SeasonShare share;
        // The first writes into the layer's new grids: contiguous shares (see WorthThreads).
#pragma omp for schedule(static)
        for (int r = lo_; r <= hi_; ++r) {
            int code = 0;
            try {
                FillRow(nullptr, l, r, share);
            } catch (const ModelError& e) {
                code = e.code();
            }
            failedRows_[static_cast<std::size_t>(r)] = code;
        }
    }
    for (int r = lo_; r <= hi_; ++r) {
        const int code = failedRows_[static_cast<std::size_t>(r)];
        if (code == 0) continue;
        SeasonShare share;
        FillRow(&log_, l, r, share);
        throw ModelError(code);
    }
}

void LanduseParameterGrids::FillRow(DiagLog* log, int l, int r, SeasonShare& share) {
    const std::size_t slot = static_cast<std::size_t>(l);
    const Matrix* landuse = landuse_[slot];
    const double nodata = setup_.nodata;
    const int count = dynamic_ ? kLayerGridCount : kPhenologyGrids;
    for (int c = 1; c <= setup_.ncols; ++c) {
        const bool own = OwnCell(r, c);
        const double value = own && landuse->holds(r) ? (*landuse)[r][c] : nodata;
        landuse_entry* e = value > nodata ? Entry(log, value, l, r, c) : nullptr;
        if (e != nullptr) {
            FillCell(log, l, Cell{r, c, Altitude(r, c)}, *e, share);
            continue;
        }
        for (int g = 0; g < count; ++g) (*grids_[static_cast<std::size_t>(g)][slot])[r][c] = nodata;
        if (l == 1) {
            (*evaporationResistance_)[r][c] = nodata;
            if (own) (*albedo_)[r][c] = nodata;
        }
    }
}

void LanduseParameterGrids::FillCell(DiagLog* log, int l, const Cell& cell, landuse_entry& e, SeasonShare& share) {
    const std::size_t slot = static_cast<std::size_t>(l);
    const int r = cell.row, c = cell.col;
    auto at = [&](LayerGrid g) -> double& { return (*grids_[g][slot])[r][c]; };
    const int d = landuse_entry::JulianDay(values_.day, values_.month, values_.year);
    const std::int64_t day = values_.day, month = values_.month, year = values_.year;
    using P = landuse_entry::Parameter;
    using S = SeasonShare;
    SeasonShare::Slot* known = share.Find(e, cell.altitude);
    auto value = [known](S::Value k, auto&& compute) -> double {
        if (known == nullptr) return compute();
        const std::uint32_t bit = 1u << k;
        if (!(known->known & bit)) {
            known->values[k] = compute();
            known->known |= bit;
        }
        return known->values[k];
    };
    const double h = cell.altitude;
    auto julian = [&](S::Value k, P p) {
        return value(k, [&] { return e.ValueAtJulianDay(log, p, d, l, r, c, h); });
    };
    auto dated = [&](S::Value k, P p) {
        return value(k, [&] { return e.ValueAtDate(log, p, day, month, year, l, r, c, h); });
    };

    if (dynamic_ && e.HasDynamicStart()) {
        // A phenology grid the control file does not give holds no values: it counts as not
        // given, as a negative value does. The season has not begun (zeroes would read as a
        // season begun on day 0), the cell's threshold is the entry's F*, and a land use of
        // method 4 or 6 keeps the simple forcing rule until its chilling starts.
        const unsigned fresh = freshPhenology_[slot];
        auto given = [&](LayerGrid g) { return !(fresh & (1u << (g - kPhenologyGrids))) && at(g) >= 0; };
        if (!given(kForcingSum)) at(kForcingSum) = 0;
        if (!given(kPhenoStart)) at(kPhenoStart) = e.TStart;
        // A chilling sum that was given takes the entry off the simple forcing rule.
        if (!given(kChillingSum))
            at(kChillingSum) = 0;
        else
            e.simpleForcing = 0;
        if (!given(kForcingThreshold)) at(kForcingThreshold) = e.FStar;
    }
    if (e.TestInternalParameter(64)) at(kRootDepth) = julian(S::kRoot, P::RootDepth);
    if (e.TestInternalParameter(16)) at(kLeafAreaIndex) = julian(S::kLai, P::LAI);
    if (e.TestInternalParameter(32)) at(kCoverage) = julian(S::kVcf, P::VCF);
    if (e.TestInternalParameter(4)) at(kCanopyResistance) = dated(S::kRsc, P::rsc);
    if (e.TestInternalParameter(8)) at(kInterceptionResistance) = dated(S::kRsInterception, P::rs_interception);
    if (e.TestInternalParameter(128)) at(kRoughness) = julian(S::kZ0, P::Z0);
    if (at(kVegetationStart) <= 0)
        at(kVegetationStart) = value(S::kVegetationDay, [&] { return e.VegetationDay(log, d, l, r, c, h); });
    at(kVegetationDuration) = 0;
    at(kVegetationStop) = -1;
    if (l == 1) {
        double& evaporation = (*evaporationResistance_)[r][c];
        if (e.TestInternalParameter(2)) evaporation = dated(S::kRsEvaporation, P::rs_evaporation);
        if (e.TestInternalParameter(1) && !continued_) (*albedo_)[r][c] = dated(S::kAlbedo, P::Albedo);
        evaporation = std::max(evaporation, 0.0);
    }
    at(kRootDepth) = std::max(at(kRootDepth), 0.01);
    at(kCoverage) = std::clamp(at(kCoverage), 0.0, 1.0);
    at(kLeafAreaIndex) = std::max(at(kLeafAreaIndex), 0.0);
    at(kCanopyResistance) = std::max(at(kCanopyResistance), 0.0);
    at(kInterceptionResistance) = std::max(at(kInterceptionResistance), 0.0);
    if (at(kRoughness) < 0.01) at(kRoughness) = 0.01;
}

void LanduseParameterGrids::ExchangeLayerHalos(int l) {
    const std::size_t slot = static_cast<std::size_t>(l);
    for (LayerGrid g : {kRootDepth, kCoverage, kLeafAreaIndex, kCanopyResistance, kInterceptionResistance}) {
        setup_.MPIExchangeHalo(indices_[g][slot], grids_[g][slot]);
    }
    if (l == 1) setup_.MPIExchangeHalo(evaporationIndex_, evaporationResistance_);
    setup_.MPIExchangeHalo(indices_[kRoughness][slot], grids_[kRoughness][slot]);
}

// A failure on one process stops every process with the same code before the next exchange.
void LanduseParameterGrids::AgreeOnFailure(int localCode) const {
    int global = localCode;
    int running = 0;
    MPI_Initialized(&running);
    if (running && setup_.size > 1) MPI_Allreduce(&localCode, &global, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    if (global == 0) return;
    if (localCode == 0)
        log_ << "FATAL: land-use parameter grids: stopped with error code " << global << " of another process"
             << "[end-entry]";
    throw ModelError(global);
}

landuse_entry* LanduseParameterGrids::Entry(DiagLog* log, double value, int l, int r, int c) const {
    if (!(value > setup_.nodata)) return nullptr;
    const double position = std::trunc(value);
    if (position >= 1 && position < static_cast<double>(table_.size()))
        return &table_[static_cast<std::size_t>(position)];
    if (log)
        *log << "FATAL: land use " << value << " in grid landuse" << l << " (row " << r << ", column " << c
             << ") is not a position of the land use table" << "[end-entry]";
    throw ModelError(kNotTablePosition);
}

bool LanduseParameterGrids::ValidZone(int r, int c) const {
    return zone_->holds(r) && (*zone_)[r][c] > setup_.nodata;
}

bool LanduseParameterGrids::OwnCell(int r, int c) const {
    if (!ValidZone(r, c)) return false;
    if (regions_ == nullptr) return true;
    return regions_->holds(r) && (*regions_)[r][c] == setup_.rank;
}

ColumnRange LanduseParameterGrids::Columns(int r) const {
    const std::vector<ColumnRange>* ranges = setup_.basinColumns;
    if (ranges == nullptr || r < 0 || static_cast<std::size_t>(r) >= ranges->size()) return ColumnRange{1, setup_.ncols};
    const ColumnRange range = (*ranges)[static_cast<std::size_t>(r)];
    return ColumnRange{std::max(range.first, 1), std::min(range.last, setup_.ncols)};
}

double LanduseParameterGrids::Altitude(int r, int c) const {
    return elevation_ != nullptr && elevation_->holds(r) ? (*elevation_)[r][c] : setup_.nodata;
}
