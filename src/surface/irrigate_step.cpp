// The irrigation step: the amount of every cell on its own process, the sums per subbasin in the
// row order of the whole grid, the surface-water supply per subbasin on process 0 (with the
// reduction of the amounts under a shortage), the amounts added to the precipitation and the
// statistics.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "kernel/nodata.hpp"
#include "kernel/steptimes.hpp"
#include "setup/tracer_ini.hpp"
#include "surface/irrigate.hpp"
#include "tables/irrigation_table.hpp"

struct irrigationclass::Grids {
    Matrix *precipitation = nullptr, *codes = nullptr, *pumping = nullptr, *amounts = nullptr, *moisture = nullptr;
    Matrix *lower = nullptr, *upper = nullptr, *ratio = nullptr, *root = nullptr, *subbasins = nullptr;
    Matrix* weights = nullptr;
    std::vector<Matrix*> tracerFlux, tracerInput, soilStore;  // 1..tracerCount; null: none
};

// What process 0's supply tells every process about the cells' amounts.
struct irrigationclass::Shortage {
    bool shortage = false;
    std::vector<double> reservoirs, fromReservoirs, factor;  // 0..N
};

namespace {
constexpr int kSumsPerZone = 3;  // n, sx, RelCellSum
}  // namespace

irrigationclass::Grids irrigationclass::StepGrids() {
    auto grid = [&](int index) { return index > 0 ? (*gridStore)[index].grid : nullptr; };
    Grids g;
    g.precipitation = grid(precipitationIndex);
    g.codes = grid(codesIndex);
    g.pumping = grid(pumpingIndex);
    g.amounts = grid(amountsIndex);
    g.moisture = grid(soilMoistureIndex);
    g.lower = grid(lowerIndex);
    g.upper = grid(upperIndex);
    g.ratio = grid(ratioIndex);
    g.root = grid(rootDepthIndex);
    g.subbasins = grid(subbasinIndex);
    g.weights = hasCellWeights ? grid(cellWeightsIndex) : nullptr;
    const std::size_t slots = static_cast<std::size_t>(tracerCount) + 1;
    g.tracerFlux.assign(slots, nullptr);
    g.tracerInput.assign(slots, nullptr);
    g.soilStore.assign(slots, nullptr);
    for (int t = 1; t <= tracerCount; ++t) {
        const std::size_t i = static_cast<std::size_t>(t);
        g.tracerFlux[i] = &tracers[i].flux;
        if (i < tracerInputIndex.size()) g.tracerInput[i] = grid(tracerInputIndex[i]);
        if (i < soilStoreIndex.size()) g.soilStore[i] = grid(soilStoreIndex[i]);
    }
    // The rules of the irrigation table as the demand takes them.
    const irrigation_entry* table = settings.irrigationTable;
    rules_.assign(static_cast<std::size_t>(std::max(tableCount_, 0)) + 1, irrigation::Rule{});
    for (int code = 1; code <= tableCount_; ++code) {
        const irrigation_entry& e = table[code];
        irrigation::Rule& rule = rules_[static_cast<std::size_t>(code)];
        rule.method = e.method;
        rule.ratioThreshold = e.minRatio;
        rule.count = std::min<int>(e.tabcnt, static_cast<int>(std::min({e.months.size(), e.days.size(),
                                                                        e.amounts.size()})) - 1);
        rule.months = e.months;
        rule.days = e.days;
        rule.amounts = e.amounts;
    }
    return g;
}

template <class To>
inline void irrigationclass::AddRecord(const To& to, std::size_t first, std::size_t zones, double area, int zone,
                                double value, bool weight) const {
    if (zone < 0 || static_cast<std::size_t>(zone) >= zones) return;
    const std::size_t z = first + kSumsPerZone * static_cast<std::size_t>(zone);
    // The count of cells takes whole numbers only.
    to.AddWhole(z, 1.0);
    // Whole weights need no place in the row order: the process adds its own total once.
    const auto addWeight = [&](double w) {
        if (wholeWeights_)
            to.AddWhole(z + 2, w);
        else
            to.Add(z + 2, w);
    };
    if (area > 0) {
        to.Add(z + 1, value * area);
        if (weight) addWeight(area);
    } else {
        to.Add(z + 1, value);
        if (weight) addWeight(1.0);
    }
}

void irrigationclass::TakeSums(const double* sums, std::vector<zoneFZT>& records) const {
    if (rank != 0) return;
    for (std::size_t z = 0; z < records.size(); ++z) {
        records[z].n = sums[kSumsPerZone * z];
        records[z].sx = sums[kSumsPerZone * z + 1];
        records[z].RelCellSum = sums[kSumsPerZone * z + 2];
    }
}

int irrigationclass::SubbasinOf(const Grids& g, int r, int c) const {
    const long code = static_cast<long>(std::floor((*g.subbasins)[r][c] + 0.5));
    if (zoneIndex == nullptr || code < 0 || code >= static_cast<long>(zoneIndex->size())) return 0;
    return (*zoneIndex)[static_cast<std::size_t>(code)];
}

int irrigationclass::CodeOf(const Grids& g, int r, int c) const {
    const double v = (*g.codes)[r][c];
    if (!(v > -1e9 && v < 1e9)) return -1;
    return static_cast<int>(std::floor(v + 0.5));
}

double irrigationclass::CellWeight(const Grids& g, int r, int c) const {
    return g.weights != nullptr && g.weights->holds(r) ? (*g.weights)[r][c] : nodata;
}

void irrigationclass::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (Inert()) return;
    const double start = MPI_Wtime();
    hour = h;
    day = d;
    month = m;
    year = y;
    teilmodellklasse::run(h, d, m, y);
    // The records serve the supply even when a statistics table is switched off.
    for (StatOutput* s : {&groundwaterStat, &surfaceStat}) {
        s->stat->Reset();
        for (zoneFZT& z : s->records) z.n = z.sx = z.RelCellSum = 0;
    }
    ResetTracerStatistics();
    for (int t = 1; t <= tracerCount; ++t)
        for (zoneFZT& z : tracers[static_cast<std::size_t>(t)].zones) z.n = z.sx = z.RelCellSum = 0;

    const Grids g = StepGrids();
    std::optional<TimedPart> part(std::in_place, "irrigation: cells");
    CellAmounts(g);
    part.emplace("irrigation: sums in row order");
    double transfer = MPI_Wtime();
    RecordAmounts(g);
    transferSeconds += MPI_Wtime() - transfer;

    // The supply on process 0; a failure there ends every process with its code.
    part.emplace("irrigation: process 0");
    int failure = 0;
    Shortage shortage;
    if (rank == 0) {
        try {
            shortage = SurfaceSupply();
        } catch (const ModelError& e) {
            failure = e.code();
        } catch (...) {
            *log << "FATAL: irrigation: the step failed on mpi-rank 0" << "[end-entry]";
            failure = 103;
        }
    }
    transfer = MPI_Wtime();
    ShareShortage(shortage, failure);
    transferSeconds += MPI_Wtime() - transfer;

    part.emplace("irrigation: cells");
    AddToPrecipitation(g, shortage);
    part.emplace("irrigation: sums in row order");
    transfer = MPI_Wtime();
    RecordAfterSupply(g, shortage.shortage);
    transferSeconds += MPI_Wtime() - transfer;
    AfterShortage(shortage);
    part.emplace("irrigation: statistics");

    // The routing withdraws what the cells received in this step, taken before the statistics
    // add the earlier steps of their interval to the records.
    if (withdrawal.size() == surfaceStat.records.size())
        std::copy(surfaceStat.records.begin(), surfaceStat.records.end(), withdrawal.begin());

    // "irrigation_amounts" is the soil model's grid, which writes it once a step after its own
    // additions: a second write of the entry in the step would end its period sums twice.
    for (int t = 1; t <= tracerCount; ++t) {
        const int index = tracers[static_cast<std::size_t>(t)].fluxIndex;
        if (index > 0) WriteStatisticGrids(index, true, false);
    }
    if (keptIndex_ > 0) WriteStatisticGrids(keptIndex_, true, false);
    for (StatOutput* s : {&groundwaterStat, &surfaceStat}) s->stat->Step(year, month, day, hour, 0);
    // The tracers' records are the sums over every cell, held on process 0.
    StepTracerStatistics(year, month, day, hour, 0);
    stepSeconds += MPI_Wtime() - start;
}

void irrigationclass::CellAmounts(const Grids& g) {
    const irrigation_entry* table = settings.irrigationTable;
    if (kept_.empty()) StartKeptAmounts(false);
    const double none = nodata;
    order_.ForOwnShared([&](int r, int c) {
        double& amount = (*g.amounts)[r][c];
        double& kept = kept_[r][c];
        // The amount the rule held in the step before: not what a shortage left of it, nor what
        // the soil model added to the grid (the water its column drew from groundwater).
        if (kept != none) amount = kept;
        kept = none;
        if ((*g.subbasins)[r][c] <= nodata) {
            amount = nodata;
            return;
        }
        const int code = CodeOf(g, r, c);
        if (code < 1 || code > tableCount_ || table[code].method < 1) {
            amount = 0;
            return;
        }
        irrigation::CellState cell;
        cell.soilMoisture = (*g.moisture)[r][c];
        cell.lower = (*g.lower)[r][c];
        cell.upper = (*g.upper)[r][c];
        cell.ratio = (*g.ratio)[r][c];
        cell.rootDepth = (*g.root)[r][c];
        amount = irrigation::Amount(rules_[static_cast<std::size_t>(code)], cell, amount, timeInterval, day, month);
        if (table[code].origin == irrigation::kGroundwater) amount = std::max(0.0, std::min(amount, (*g.pumping)[r][c]));
        kept = amount;
    });
}

void irrigationclass::RecordAmounts(const Grids& g) {
    const irrigation_entry* table = settings.irrigationTable;
    const std::size_t gwZones = groundwaterStat.records.size(), swZones = surfaceStat.records.size();
    sums_.resize(kSumsPerZone * (gwZones + swZones));
    const std::size_t gw = 0, sw = kSumsPerZone * gwZones;
    // Every cell adds the same weight to both records of its subbasin, in the same order: with
    // records of the same subbasins the surface water's weight sums are the groundwater's, added
    // once and copied (half the addends that pass from process to process).
    const bool sameWeights = gwZones == swZones;
    const bool swWeight = !sameWeights;
    order_.Accumulate(sums_, [&](int r, int c, const auto& to) {
        if ((*g.subbasins)[r][c] <= nodata) return;
        const int s = SubbasinOf(g, r, c);
        const int code = CodeOf(g, r, c);
        const double area = hasCellWeights ? CellWeight(g, r, c) : 0.0;
        if (code < 1 || code > tableCount_ || table[code].method < 1) {
            AddRecord(to, gw, gwZones, area, s, 0.0);
            AddRecord(to, sw, swZones, area, s, 0.0, swWeight);
            return;
        }
        const double amount = (*g.amounts)[r][c];
        if (table[code].origin == irrigation::kGroundwater) {
            AddRecord(to, gw, gwZones, area, s, amount);
            AddRecord(to, sw, swZones, area, s, 0.0, swWeight);
        } else if (table[code].origin == irrigation::kSurfaceWater) {
            AddRecord(to, gw, gwZones, area, s, 0.0);
            AddRecord(to, sw, swZones, area, s, amount, swWeight);
        }
    });
    if (sameWeights)
        for (std::size_t z = 0; z < swZones; ++z) sums_[sw + kSumsPerZone * z + 2] = sums_[gw + kSumsPerZone * z + 2];
    TakeSums(sums_.data() + gw, groundwaterStat.records);
    TakeSums(sums_.data() + sw, surfaceStat.records);
}

void irrigationclass::BadRoutingTarget(const irrigation::SupplyResult& result) {
    const std::vector<zoneFZT>& z = surfaceStat.records;
    const double code = result.badSubbasin < static_cast<int>(z.size())
                            ? z[static_cast<std::size_t>(result.badSubbasin)].zonenwert
                            : static_cast<double>(result.badSubbasin);
    *log << "FATAL: irrigation: the routing-target row " << (result.cyclic ? "runs in a circle" : "names no subbasin")
         << " in the chain of subbasin " << static_cast<long>(code) << " (position " << result.badSubbasin
         << "); every entry must lie within 1.." << zoneCount << " and every chain must end" << "[end-entry]";
    throw ModelError(kRoutingMissing);
}

irrigationclass::Shortage irrigationclass::SurfaceSupply() {
    Shortage out;
    if (maxirrig == nullptr || maxirrigFromReservoirs == nullptr || routingTarget == nullptr) return out;
    const int n = zoneCount;
    std::vector<zoneFZT>& rec = surfaceStat.records;
    const auto tooShort = [n](const auto& v) { return static_cast<int>(v.size()) < n + 1; };
    if (maxirrig->empty() || maxirrigFromReservoirs->empty() || tooShort((*maxirrig)[0]) ||
        tooShort((*maxirrigFromReservoirs)[0]) || tooShort(routingTarget[1])) {
        *log << "FATAL: irrigation: the arrays of the discharge routing hold fewer than " << n + 1
             << " subbasin entries" << "[end-entry]";
        throw ModelError(kRoutingMissing);
    }
    std::vector<double> demand(static_cast<std::size_t>(n) + 1, 0.0), area(demand), sx(demand);
    for (int s = 1; s <= n; ++s) {
        const std::size_t i = static_cast<std::size_t>(s);
        demand[i] = irrigation::MeanDemand(rec[i].sx, rec[i].RelCellSum);
        area[i] = rec[0].rel * rec[i].rel;
        sx[i] = rec[i].sx;
    }
    std::vector<double>& rivers = (*maxirrig)[0];
    std::vector<double>& reservoirs = (*maxirrigFromReservoirs)[0];
    std::vector<irrigation::RiverChannel> channels = ReadChannels(n);
    irrigation::SupplyInput in{demand, area, std::span<const int>(routingTarget[1].data(), static_cast<std::size_t>(n) + 1),
                               timeInterval};
    irrigation::SupplyResult result =
        irrigation::DrawSurfaceWater(in, sx, std::span<double>(rivers.data(), static_cast<std::size_t>(n) + 1),
                                     std::span<const double>(reservoirs.data(), static_cast<std::size_t>(n) + 1),
                                     channels);
    if (result.badSubbasin != 0) BadRoutingTarget(result);
    WriteChannels(channels);
    out.shortage = result.shortage;
    out.reservoirs.assign(reservoirs.begin(), reservoirs.begin() + n + 1);
    out.fromReservoirs = std::move(result.fromReservoirs);
    out.factor = std::move(result.factor);
    out.fromReservoirs.resize(static_cast<std::size_t>(n) + 1, 0.0);
    out.factor.resize(static_cast<std::size_t>(n) + 1, 0.0);
    return out;
}

void irrigationclass::ShareShortage(Shortage& s, int failure) {
    // The failure code, the shortage flag and, per tracer, the length of the river concentrations
    // (the supply leaves them as they are), then in one message the shortage's arrays (under a
    // shortage) and the concentrations of every tracer after each other.
    const std::size_t tracerSlots = static_cast<std::size_t>(std::max(tracerCount, 0)) + 1;
    std::vector<int> head(tracerSlots + 2, 0);
    head[0] = failure;
    head[1] = s.shortage ? 1 : 0;
    if (rank == 0 && maxirrig != nullptr)
        for (std::size_t t = 1; t < tracerSlots && t < maxirrig->size(); ++t)
            head[t + 2] = static_cast<int>((*maxirrig)[t].size());
    MPI_Bcast(head.data(), static_cast<int>(head.size()), MPI_INT, 0, MPI_COMM_WORLD);
    if (head[0] != 0) throw ModelError(head[0]);
    riverConcLengths_.assign(head.begin() + 2, head.end());
    s.shortage = head[1] != 0;
    riverConc_.assign(tracerSlots, std::vector<double>());

    const std::size_t n = static_cast<std::size_t>(zoneCount) + 1;
    const std::size_t arrays = s.shortage ? 3 * n : 0;
    std::size_t total = arrays;
    for (std::size_t t = 1; t < tracerSlots; ++t) total += static_cast<std::size_t>(riverConcLengths_[t]);
    if (total == 0) return;
    std::vector<double> all(total, 0.0);
    const auto at = [&](std::size_t i) { return all.begin() + static_cast<std::ptrdiff_t>(i); };
    if (rank == 0) {
        if (s.shortage) {
            std::copy(s.reservoirs.begin(), s.reservoirs.end(), at(0));
            std::copy(s.fromReservoirs.begin(), s.fromReservoirs.end(), at(n));
            std::copy(s.factor.begin(), s.factor.end(), at(2 * n));
        }
        std::size_t from = arrays;
        for (std::size_t t = 1; t < tracerSlots; ++t) {
            const std::size_t length = static_cast<std::size_t>(riverConcLengths_[t]);
            if (length > 0) std::copy((*maxirrig)[t].begin(), (*maxirrig)[t].end(), at(from));
            from += length;
        }
    }
    MPI_Bcast(all.data(), static_cast<int>(total), MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (s.shortage) {
        s.reservoirs.assign(at(0), at(n));
        s.fromReservoirs.assign(at(n), at(2 * n));
        s.factor.assign(at(2 * n), at(3 * n));
    }
    std::size_t from = arrays;
    for (std::size_t t = 1; t < tracerSlots; ++t) {
        const std::size_t length = static_cast<std::size_t>(riverConcLengths_[t]);
        if (length > 0) riverConc_[t].assign(at(from), at(from + length));
        from += length;
    }
}

void irrigationclass::AfterShortage(const Shortage& s) {
    if (rank != 0 || s.fromReservoirs.empty()) return;
    // The reservoirs give what the cells take from them: under a shortage the reduced amounts can
    // stay below the reservoir's part, and water a reservoir released beyond what the cells of its
    // subbasin received would be lost.
    std::vector<zoneFZT>& rec = surfaceStat.records;
    std::vector<double>& reservoirs = (*maxirrigFromReservoirs)[0];
    for (int z = 1; z <= zoneCount; ++z) {
        const std::size_t i = static_cast<std::size_t>(z);
        double given = s.fromReservoirs[i];
        if (s.shortage) given = std::min(given, irrigation::MeanDemand(rec[i].sx, rec[i].RelCellSum));
        reservoirs[i] = given;
    }
}

void irrigationclass::AddToPrecipitation(const Grids& g, const Shortage& shortage) {
    const irrigation_entry* table = settings.irrigationTable;
    const int n = zoneCount;
    order_.ForOwnShared([&](int r, int c) {
        if (!((*g.subbasins)[r][c] > 0)) return;
        const int code = CodeOf(g, r, c);
        if (code < 0 || code > tableCount_) return;
        const int origin = code >= 1 ? table[code].origin : 0;
        const int s = SubbasinOf(g, r, c);
        // Under a shortage the surface water of the subbasin reaches its cells reduced.
        if (shortage.shortage && code >= 1 && table[code].method >= 1 && origin == irrigation::kSurfaceWater && s >= 1 &&
            s <= n) {
            const std::size_t i = static_cast<std::size_t>(s);
            double& reduced = (*g.amounts)[r][c];
            reduced = irrigation::ReducedAmount(reduced, shortage.reservoirs[i], shortage.fromReservoirs[i],
                                                shortage.factor[i]);
        }
        const double amount = (*g.amounts)[r][c];
        double& P = (*g.precipitation)[r][c];
        // A step without precipitation data brings only the irrigation water.
        if (NoData(P, nodata)) P = 0.0;
        for (int t = 1; t <= tracerCount; ++t) {
            const std::size_t i = static_cast<std::size_t>(t);
            double& conc = (*g.tracerFlux[i])[r][c];
            const double cin = g.tracerInput[i] != nullptr ? (*g.tracerInput[i])[r][c] : 0.0;
            if (amount > 0) {
                double source = conc;
                bool mixed = true;
                if (origin == irrigation::kGroundwater && g.soilStore[i] != nullptr)
                    source = (*g.soilStore[i])[r][c];
                else if (origin == irrigation::kSurfaceWater && static_cast<int>(riverConc_[i].size()) > s)
                    source = riverConc_[i][static_cast<std::size_t>(s)];
                else
                    mixed = false;
                if (mixed) conc = WeightedMean(cin, source, P, amount);
            } else {
                conc = P > 0 ? cin : 0.0;
            }
        }
        P += amount;
    });
}

void irrigationclass::RecordAfterSupply(const Grids& g, bool shortage) {
    // Under a shortage the surface-water records anew from the reduced amounts; per tracer the
    // carried tracer and the water of every cell, with the water that reached the ground (rain
    // and irrigation: the precipitation after the step). Only process 0 takes either, so both
    // travel along the row order in one pass; each sum keeps its own additions in row order.
    const irrigation_entry* table = settings.irrigationTable;
    const std::size_t swZones = shortage ? surfaceStat.records.size() : 0;
    const int traced = std::max(tracerCount, 0);
    std::vector<std::size_t> offset(static_cast<std::size_t>(traced) + 2, kSumsPerZone * swZones);
    for (int t = 1; t <= traced; ++t) {
        const std::size_t i = static_cast<std::size_t>(t);
        offset[i + 1] = offset[i] + kSumsPerZone * tracers[i].zones.size();
    }
    if (!shortage && traced == 0) return;
    sums_.resize(offset.back());
    const auto addReduced = [&](int r, int c, int code, const auto& to) {
        const double area = hasCellWeights ? CellWeight(g, r, c) : 0.0;
        const int zone = SubbasinOf(g, r, c);
        if (code < 1 || code > tableCount_ || table[code].method < 1 || table[code].origin == irrigation::kGroundwater) {
            AddRecord(to, 0, swZones, area, zone, 0.0);
            return;
        }
        if (table[code].origin != irrigation::kSurfaceWater) return;
        AddRecord(to, 0, swZones, area, zone, (*g.amounts)[r][c]);
    };
    const auto addTracers = [&](int r, int c, int code, const auto& to) {
        if (code < 0 || code > tableCount_) return;
        const double water = (*g.precipitation)[r][c];
        const int s = std::max(SubbasinOf(g, r, c), 0);
        const double weight = hasCellWeights ? CellWeight(g, r, c) : 1.0;
        for (int t = 1; t <= traced; ++t) {
            const std::size_t i = static_cast<std::size_t>(t);
            if (static_cast<std::size_t>(s) >= tracers[i].zones.size()) continue;
            const std::size_t z = offset[i] + kSumsPerZone * static_cast<std::size_t>(s);
            to.Add(z + 1, (*g.tracerFlux[i])[r][c] * weight * water);
            to.Add(z, water);
            to.Add(z + 2, water * weight);
        }
    };
    order_.Accumulate(sums_, [&](int r, int c, const auto& to) {
        if (!((*g.subbasins)[r][c] > 0)) return;
        const int code = CodeOf(g, r, c);
        if (shortage) addReduced(r, c, code, to);
        if (traced > 0) addTracers(r, c, code, to);
    });
    if (shortage) TakeSums(sums_.data(), surfaceStat.records);
    if (rank != 0) return;
    for (int t = 1; t <= traced; ++t) {
        const std::size_t i = static_cast<std::size_t>(t);
        std::vector<zoneFZT>& zones = tracers[i].zones;
        for (std::size_t z = 0; z < zones.size(); ++z) {
            const double* v = sums_.data() + offset[i] + kSumsPerZone * z;
            zones[z].n = v[0];
            zones[z].sx = v[1];
            zones[z].RelCellSum = v[2];
        }
    }
}
