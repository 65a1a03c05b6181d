// The irrigation step: the grids it needs gathered to process 0, the amount of every cell, the
// surface-water supply per subbasin, the amounts added to the precipitation, the grids
// scattered back and the statistics.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "kernel/nodata.hpp"
#include "kernel/steptimes.hpp"
#include "setup/tracer_ini.hpp"
#include "surface/irrigate.hpp"
#include "surface/irrigation_demand.hpp"
#include "tables/irrigation_table.hpp"

// A grid as process 0 sees it over the whole basin: the gathered copy with several processes,
// the grid itself with one.
struct GridView {
    int index = 0;
    Matrix* own = nullptr;  // this process's grid
    Matrix copy;
    Matrix* grid = nullptr;  // what process 0 works on
};

struct irrigationclass::WholeGrids {
    GridView precipitation, codes, pumping, amounts, moisture, lower, upper, ratio, root, subbasins;
    std::vector<GridView> tracerFlux, tracerInput, soilStore;  // 1..tracerCount
};

namespace {

void Gather(modelobject& o, GridView& v, int index, Matrix* grid = nullptr) {
    v.index = index;
    v.own = grid != nullptr ? grid : (index > 0 ? (*o.gridStore)[index].grid : nullptr);
    v.grid = v.own;
    if (o.size < 2 || v.own == nullptr) return;
    v.copy = o.MPIGatherGridCopy(index, v.own);
    if (o.rank == 0) v.grid = &v.copy;
}

void Scatter(modelobject& o, GridView& v) {
    if (o.size < 2 || v.own == nullptr) return;
    if (o.rank == 0) {
        // Process 0's own cells go back by copy, the others' by message.
        for (int r = o.firstRow; r <= o.lastRow; ++r) {
            if (!v.own->holds(r) || !o.mpiRegions->holds(r)) continue;
            for (int c = 1; c <= o.ncols; ++c)
                if ((*o.mpiRegions)[r][c] == 0) (*v.own)[r][c] = v.copy[r][c];
        }
        o.MPIScatterGrid(v.index, &v.copy);
    } else {
        o.MPIScatterGrid(v.index, v.own);
    }
}

}  // namespace

void irrigationclass::AddRecord(StatOutput& out, int r, int c, int zone, double value, double weight) {
    if (zone < 0 || zone >= static_cast<int>(out.records.size())) return;
    zoneFZT& z = out.records[static_cast<std::size_t>(zone)];
    z.n += weight;
    const double area = hasCellWeights ? cellWeights[r][c] : 0.0;
    if (area > 0) {
        z.sx += value * area * weight;
        z.RelCellSum += area * weight;
    } else {
        z.sx += value * weight;
        z.RelCellSum += weight;
    }
}

int irrigationclass::SubbasinOf(const WholeGrids& w, int r, int c) const {
    const long code = static_cast<long>(std::floor((*w.subbasins.grid)[r][c] + 0.5));
    if (zoneIndex == nullptr || code < 0 || code >= static_cast<long>(zoneIndex->size())) return 0;
    return (*zoneIndex)[static_cast<std::size_t>(code)];
}

int irrigationclass::CodeOf(const WholeGrids& w, int r, int c) const {
    const double v = (*w.codes.grid)[r][c];
    if (!(v > -1e9 && v < 1e9)) return -1;
    return static_cast<int>(std::floor(v + 0.5));
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

    double transfer = MPI_Wtime();
    WholeGrids w;
    std::optional<TimedPart> part(std::in_place, "irrigation: gathering");
    Gather(*this, w.precipitation, precipitationIndex);
    Gather(*this, w.codes, codesIndex);
    Gather(*this, w.pumping, pumpingIndex);
    Gather(*this, w.amounts, amountsIndex);
    Gather(*this, w.moisture, soilMoistureIndex);
    Gather(*this, w.lower, lowerIndex);
    Gather(*this, w.upper, upperIndex);
    Gather(*this, w.ratio, ratioIndex);
    Gather(*this, w.root, rootDepthIndex);
    Gather(*this, w.subbasins, subbasinIndex);
    const std::size_t slots = static_cast<std::size_t>(tracerCount) + 1;
    w.tracerFlux.resize(slots);
    w.tracerInput.resize(slots);
    w.soilStore.resize(slots);
    for (int t = 1; t <= tracerCount; ++t) {
        const std::size_t i = static_cast<std::size_t>(t);
        Gather(*this, w.tracerFlux[i], tracers[i].fluxIndex, &tracers[i].flux);
        if (i < tracerInputIndex.size() && tracerInputIndex[i] > 0) Gather(*this, w.tracerInput[i], tracerInputIndex[i]);
        if (i < soilStoreIndex.size() && soilStoreIndex[i] > 0) Gather(*this, w.soilStore[i], soilStoreIndex[i]);
    }
    transferSeconds += MPI_Wtime() - transfer;
    part.emplace("irrigation: process 0");

    // The cell work on process 0; a failure there ends every process with its code.
    int failure = 0;
    if (rank == 0) {
        try {
            CellAmounts(w);
            SurfaceSupply(w);
            AddToPrecipitation(w);
        } catch (const ModelError& e) {
            failure = e.code();
        } catch (...) {
            *log << "FATAL: irrigation: the step failed on mpi-rank 0" << "[end-entry]";
            failure = 103;
        }
    }
    MPI_Bcast(&failure, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (failure != 0) throw ModelError(failure);

    part.emplace("irrigation: scattering");
    transfer = MPI_Wtime();
    Scatter(*this, w.precipitation);
    Scatter(*this, w.amounts);
    for (int t = 1; t <= tracerCount; ++t) Scatter(*this, w.tracerFlux[static_cast<std::size_t>(t)]);
    transferSeconds += MPI_Wtime() - transfer;
    part.emplace("irrigation: statistics");

    // The routing withdraws what the cells received in this step, taken before the statistics
    // add the earlier steps of their interval to the records.
    if (withdrawal.size() == surfaceStat.records.size())
        std::copy(surfaceStat.records.begin(), surfaceStat.records.end(), withdrawal.begin());

    WriteStatisticGrids(amountsIndex, true, false);
    for (int t = 1; t <= tracerCount; ++t) {
        const int index = tracers[static_cast<std::size_t>(t)].fluxIndex;
        if (index > 0) WriteStatisticGrids(index, true, false);
    }
    for (StatOutput* s : {&groundwaterStat, &surfaceStat}) s->stat->Step(year, month, day, hour, 0);
    // The tracers' records were filled on process 0, which holds the whole grid.
    StepTracerStatistics(year, month, day, hour, 0);
    stepSeconds += MPI_Wtime() - start;
}

void irrigationclass::CellAmounts(WholeGrids& w) {
    const irrigation_entry* table = settings.irrigationTable;
    StatOutput& gw = groundwaterStat;
    StatOutput& sw = surfaceStat;
    for (int r = 1; r <= nrows; ++r) {
        for (int c = 1; c <= ncols; ++c) {
            double& amount = (*w.amounts.grid)[r][c];
            if ((*w.subbasins.grid)[r][c] <= nodata) {
                amount = nodata;
                continue;
            }
            const int s = SubbasinOf(w, r, c);
            const int code = CodeOf(w, r, c);
            if (code < 1 || code > tableCount_ || table[code].method < 1) {
                amount = 0;
                AddRecord(gw, r, c, s, 0.0, 1);
                AddRecord(sw, r, c, s, 0.0, 1);
                continue;
            }
            const irrigation_entry& e = table[code];
            irrigation::Rule rule;
            rule.method = e.method;
            rule.ratioThreshold = e.minRatio;
            rule.count = std::min<int>(e.tabcnt, static_cast<int>(std::min({e.months.size(), e.days.size(),
                                                                            e.amounts.size()})) - 1);
            rule.months = e.months;
            rule.days = e.days;
            rule.amounts = e.amounts;
            irrigation::CellState cell;
            cell.soilMoisture = (*w.moisture.grid)[r][c];
            cell.lower = (*w.lower.grid)[r][c];
            cell.upper = (*w.upper.grid)[r][c];
            cell.ratio = (*w.ratio.grid)[r][c];
            cell.rootDepth = (*w.root.grid)[r][c];
            amount = irrigation::Amount(rule, cell, amount, timeInterval, day, month);
            if (e.origin == irrigation::kGroundwater) {
                amount = std::max(0.0, std::min(amount, (*w.pumping.grid)[r][c]));
                AddRecord(gw, r, c, s, amount, 1);
                AddRecord(sw, r, c, s, 0.0, 1);
            } else if (e.origin == irrigation::kSurfaceWater) {
                AddRecord(gw, r, c, s, 0.0, 1);
                AddRecord(sw, r, c, s, amount, 1);
            }
        }
    }
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

void irrigationclass::SurfaceSupply(WholeGrids& w) {
    if (maxirrig == nullptr || maxirrigFromReservoirs == nullptr || routingTarget == nullptr) return;
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
    const irrigation::SupplyResult result =
        irrigation::DrawSurfaceWater(in, sx, std::span<double>(rivers.data(), static_cast<std::size_t>(n) + 1),
                                     std::span<const double>(reservoirs.data(), static_cast<std::size_t>(n) + 1),
                                     channels);
    if (result.badSubbasin != 0) BadRoutingTarget(result);
    WriteChannels(channels);

    if (result.shortage) {
        for (zoneFZT& z : rec) z.n = z.sx = z.RelCellSum = 0;
        const irrigation_entry* table = settings.irrigationTable;
        StatOutput& sw = surfaceStat;
        for (int r = 1; r <= nrows; ++r)
            for (int c = 1; c <= ncols; ++c) {
                if (!((*w.subbasins.grid)[r][c] > 0)) continue;
                const int s = SubbasinOf(w, r, c);
                const int code = CodeOf(w, r, c);
                double& amount = (*w.amounts.grid)[r][c];
                if (code < 1 || code > tableCount_ || table[code].method < 1 ||
                    table[code].origin == irrigation::kGroundwater) {
                    AddRecord(sw, r, c, s, 0.0, 1);
                    continue;
                }
                if (table[code].origin != irrigation::kSurfaceWater) continue;
                const std::size_t i = static_cast<std::size_t>(s);
                if (s >= 1 && s <= n)
                    amount = irrigation::ReducedAmount(amount, reservoirs[i], result.fromReservoirs[i],
                                                       result.factor[i]);
                AddRecord(sw, r, c, s, amount, 1);
            }
    }
    // The reservoirs give what the cells take from them: under a shortage the reduced amounts can
    // stay below the reservoir's part, and water a reservoir released beyond what the cells of its
    // subbasin received would be lost.
    for (int s = 1; s <= n; ++s) {
        const std::size_t i = static_cast<std::size_t>(s);
        double given = result.fromReservoirs[i];
        if (result.shortage) given = std::min(given, irrigation::MeanDemand(rec[i].sx, rec[i].RelCellSum));
        reservoirs[i] = given;
    }
}

void irrigationclass::AddToPrecipitation(WholeGrids& w) {
    const irrigation_entry* table = settings.irrigationTable;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
            if (!((*w.subbasins.grid)[r][c] > 0)) continue;
            const int code = CodeOf(w, r, c);
            if (code < 0 || code > tableCount_) continue;
            const double amount = (*w.amounts.grid)[r][c];
            double& P = (*w.precipitation.grid)[r][c];
            // A step without precipitation data brings only the irrigation water.
            if (NoData(P, nodata)) P = 0.0;
            const int origin = code >= 1 ? table[code].origin : 0;
            const int s = SubbasinOf(w, r, c);
            for (int t = 1; t <= tracerCount; ++t) {
                const std::size_t i = static_cast<std::size_t>(t);
                double& conc = (*w.tracerFlux[i].grid)[r][c];
                const double cin = w.tracerInput[i].grid != nullptr ? (*w.tracerInput[i].grid)[r][c] : 0.0;
                if (amount > 0) {
                    double source = conc;
                    bool mixed = true;
                    if (origin == irrigation::kGroundwater && w.soilStore[i].grid != nullptr)
                        source = (*w.soilStore[i].grid)[r][c];
                    else if (origin == irrigation::kSurfaceWater && maxirrig != nullptr && maxirrig->size() > i &&
                             static_cast<int>((*maxirrig)[i].size()) > s)
                        source = (*maxirrig)[i][static_cast<std::size_t>(s)];
                    else
                        mixed = false;
                    if (mixed) conc = WeightedMean(cin, source, P, amount);
                } else {
                    conc = P > 0 ? cin : 0.0;
                }
                zoneFZT& z = tracers[i].zones[static_cast<std::size_t>(std::max(s, 0))];
                const double weight = hasCellWeights ? cellWeights[r][c] : 1.0;
                z.sx += conc * weight * (amount + P);
                z.n += P + amount;
                z.RelCellSum += (P + amount) * weight;
            }
            P += amount;
        }
}
