// The interception model's time step: every own cell, layer by layer from the top, the own
// rows shared among the threads; then the zone statistics in row order and the grid outputs.
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "kernel/nodata.hpp"
#include "kernel/steptimes.hpp"
#include "kernel/threading.hpp"
#include "setup/tracer_ini.hpp"
#include "surface/interzep.hpp"
#include "tables/landuse_entry.hpp"

using interception::Evaporation;

bool interzeptionsmodellklasse::OwnCell(const RowView& view, int c) const {
    if (view.zones[c] == nodata) return false;
    return view.regions == nullptr || view.regions[c] == rank;
}

void interzeptionsmodellklasse::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (flowControl == 0) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    teilmodellklasse::run(h, d, m, y);
    ForEachStatistic([](zonalstatistic& s) { s.Reset(); });
    ResetTracerStatistics();

    const Evaporation mode = interception::EvaporationOfMethod(method);
    bool statistics = false;
    ForEachStatistic([&](zonalstatistic& s) { statistics = statistics || s.active(); });
    // Every thread looks at its rows through views of its own.
    const std::size_t threads = static_cast<std::size_t>(std::max(omp_get_max_threads(), 1));
    if (views_.size() < threads)
        views_.resize(threads, RowView{std::vector<LayerRow>(static_cast<std::size_t>(layerCount) + 1)});
    // A cell's work touches only the cell: the rows go to the threads, and the zone statistics
    // then add the cells in row order, as one thread would. With TALVO_STEP_TIMES the three
    // stages get rows of their own in the table of the run's parts.
    PartSeconds times({"interception: cells", "interception: zone sums", "interception: exchange, grids"});
    times.Mark();
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
    InterceptRows(mode);
    times.Add(0);
    if (statistics || tracerCount > 0) AddCellStatistics(statistics);
    times.Add(1);

    // The records of every table reach process 0 in one exchange; the tables step in their order.
    std::vector<zonalstatistic*> stats;
    ForEachStatistic([&](zonalstatistic& s) { stats.push_back(&s); });
    AppendTracerStatistics(stats);
    ReduceStatisticsTogether(stats);
    for (zonalstatistic* s : stats)
        if (s != nullptr) s->StepReduced(year, month, day, hour);
    for (Layer& l : layers)
        for (OwnGrid* g : {&l.throughfall, &l.storage, &l.evaporation})
            if (g->index > 0) WriteStatisticGrids(g->index, true, false);
    for (int t = 1; t <= tracerCount; ++t) {
        const int index = tracers[static_cast<std::size_t>(t)].storageIndex;
        if (index > 0) WriteStatisticGrids(index, true, false);
    }
    times.Add(2);
    times.Report();
}

void interzeptionsmodellklasse::InterceptRows(Evaporation mode) {
    RowView& view = views_[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(runtime)
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!zoneGrid->holds(r)) continue;
        const auto [c0, c1] = BasinColumnsOfRow(r);
        PointRows(view, r);
        for (int c = c0; c <= c1; ++c) {
            if (!OwnCell(view, c)) {
                ClearCell(r, c);
                continue;
            }
            const double g = glacier != nullptr ? std::clamp((*glacier)[r][c], 0.0, 1.0) : 0.0;
            if (g < 1.0) {
                // A step without precipitation data brings no water.
                const double P = NoData(view.input[c], nodata) ? 0.0 : view.input[c];
                if (layerCount == 1)
                    OneLayer(view, r, c, P, mode);
                else
                    SeveralLayers(view, r, c, P, mode);
            }
            if (g >= interception::kGlacierOnly) {
                for (Layer& l : layers) {
                    l.evaporation.data[r][c] = 0;
                    l.storage.data[r][c] = 0;
                    // Nothing passed a cell that is all glacier.
                    if (g >= 1.0) l.throughfall.data[r][c] = 0;
                }
                layers[0].throughfall.data[r][c] = 0;
            }
        }
    }
}

void interzeptionsmodellklasse::AddCellStatistics(bool statistics) {
    if (statistics) StartStatistics();
    const int targets = statistics ? static_cast<int>(statTargets_.size()) : 0;
    statZones_.Prepare(firstRow, lastRow, ncols);
    const auto columns = [&](int r) {
        const ColumnRange range = BasinColumnsOfRow(r);
        return zoneGrid->holds(r) ? std::pair<int, int>{range.first, range.last} : std::pair{1, 0};
    };
    const auto fill = [&](int r, int c0, int c1, int* zoneOf) {
        const double* zones = (*zoneGrid)[r];
        const double* regions = mpiRegions != nullptr && mpiRegions->holds(r) ? (*mpiRegions)[r] : nullptr;
        for (int c = c0; c <= c1; ++c) {
            zoneOf[c] = CellZoneGrid::kNone;
            if (zones[c] == nodata || (regions != nullptr && regions[c] != rank)) continue;
            const long code = static_cast<long>(std::floor(zones[c] + 0.5));
            int zone = 0;
            if (zoneIndex != nullptr && code >= 0 && code < static_cast<long>(zoneIndex->size()))
                zone = (*zoneIndex)[static_cast<std::size_t>(code)];
            zoneOf[c] = zone;
        }
    };
    if (omp_get_max_threads() < 2 || !WorthThreads(firstRow, lastRow, ncols)) {
        // One walk over the cells in row order; its share owns every lane (the outputs in the
        // order of statTargets_, then the tracers' tables).
        ZoneCellWeight weight = statWeight_;
        statZones_.FillAndWalkOwnLanes(firstRow, lastRow, targets + tracerCount, columns, fill,
                                       [&](int r, int c, int zone, const ZoneLaneShare& share) {
                                           const double g = GlacierShare(r, c);
                                           if (targets > 0) AddStatistics(weight, share, r, c, zone, g);
                                           // The throughfall's concentration, weighed with the
                                           // throughfall of the part not covered by glacier.
                                           if (g < 1.0)
                                               for (int t = 1; t <= tracerCount; ++t)
                                                   if (share.Owns(targets - 1 + t))
                                                       AddTracerStatistic(
                                                           t, r, c, zone, tracers[static_cast<std::size_t>(t)].flux[r][c],
                                                           (1.0 - g) * layers[0].throughfall.data[r][c]);
                                       });
        return;
    }
    // The zones of the own cells by all threads; then one task per table (the outputs in the
    // order of statTargets_, then the tracers' tables) and group of zones adds the cells of its
    // zones in row order.
    const bool zonesAsBefore = statZones_.FillOnce(firstRow, lastRow, columns, fill);
    statOutputs_.clear();
    for (int k = 0; k < targets; ++k) statOutputs_.push_back(statTargets_[static_cast<std::size_t>(k)].statistic);
    statTracers_.clear();
    for (int t = 1; t <= tracerCount; ++t) {
        const zonalstatistic* s = tracers[static_cast<std::size_t>(t)].statistics.get();
        if (s == nullptr || !s->active()) continue;
        statOutputs_.push_back(s);
        statTracers_.push_back(t);
    }
    if (statOutputs_.empty()) return;
    zoneTasks_.Run(
        statOutputs_, firstRow, lastRow,
        statZones_.TaskRows(columns),
        [&](int s, int r) {
            const double* ice = glacier != nullptr ? (*glacier)[r] : nullptr;
            const double* values = nullptr;
            const double* throughfall = nullptr;  // a tracer's table: its weights
            if (s < targets) {
                values = (*statTargets_[static_cast<std::size_t>(s)].grid)[r];
            } else {
                const int t = statTracers_[static_cast<std::size_t>(s - targets)];
                values = tracers[static_cast<std::size_t>(t)].flux[r];
                throughfall = layers[0].throughfall.data[r];
            }
            return [values, throughfall, ice](int c, auto to) {
                const double g = ice != nullptr ? std::clamp(ice[c], 0.0, 1.0) : 0.0;
                if (throughfall != nullptr) {
                    // The throughfall's concentration, weighed with the throughfall of the part
                    // not covered by glacier.
                    if (g < 1.0) to(values[c], (1.0 - g) * throughfall[c]);
                    return;
                }
                // The part of the cell without glacier adds its value, the glacier part zero.
                if (g < 1.0) to(values[c], 1.0 - g);
                if (g > 0) to(0.0, g);
            };
        },
        zonesAsBefore);
}

void interzeptionsmodellklasse::ClearCell(int r, int c) {
    for (Layer& l : layers) {
        l.evaporation.data[r][c] = nodata;
        l.throughfall.data[r][c] = nodata;
    }
}

void interzeptionsmodellklasse::PointRows(RowView& view, int r) {
    view.input = (*waterInput)[r];
    view.zones = (*zoneGrid)[r];
    view.regions = mpiRegions != nullptr && mpiRegions->holds(r) ? (*mpiRegions)[r] : nullptr;
    for (int k = 0; k <= layerCount; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        LayerRow& row = view.layers[i];
        Layer& l = layers[i];
        row.storage = l.storage.data[r];
        row.evaporation = l.evaporation.data[r];
        row.throughfall = l.throughfall.data[r];
        row.etp = (*potentialTranspiration[i])[r];
        row.ei = (*interceptionDemand[i])[r];
        if (k == 0) continue;
        const LayerInputs& v = vegetation[i];
        row.landuse = (*v.landuse)[r];
        row.lai = (*v.lai)[r];
        row.cover = (*v.cover)[r];
    }
}

bool interzeptionsmodellklasse::Vegetation(const RowView& view, int k, int c, double* capacity,
                                           double* cover) const {
    const LayerRow& row = view.layers[static_cast<std::size_t>(k)];
    const double code = row.landuse[c];
    const landuse_entry* table = settings.landuseTable;
    if (code <= nodata || table == nullptr) return false;
    const long position = static_cast<long>(code);
    if (position < 1 || position > landuseCount_) return false;
    *capacity = interception::Capacity(table[position].GetIntercepCap(), row.lai[c], maxThickness);
    *cover = row.cover[c];
    return true;
}

void interzeptionsmodellklasse::OneLayer(RowView& view, int r, int c, double P, Evaporation mode) {
    LayerRow& l1 = view.layers[1];
    LayerRow& l0 = view.layers[0];
    double& storage = l1.storage[c];
    double& etp = l1.etp[c];
    double capacity = 0, cover = 0;
    if (!Vegetation(view, 1, c, &capacity, &cover)) {
        // Without land use the cell holds nothing: the input passes.
        l1.evaporation[c] = 0;
        l1.throughfall[c] = P;
        storage = 0;
    } else {
        const double before = storage;
        const interception::LayerFluxes f =
            interception::InterceptLayer(P, cover, capacity, mode, storage, etp, l1.ei[c]);
        l1.evaporation[c] = f.evaporation;
        l1.throughfall[c] = f.throughfall;
        if (tracerCount > 0) TracersOfCell(r, c, P, cover, before + cover * P, capacity, f);
    }
    l0.evaporation[c] = l1.evaporation[c];
    l0.storage[c] = storage;
    l0.throughfall[c] = l1.throughfall[c];
    l0.etp[c] = etp;
}

void interzeptionsmodellklasse::SeveralLayers(RowView& view, int r, int c, double P, Evaporation mode) {
    LayerRow& l0 = view.layers[0];
    double evaporation0 = 0, storage0 = 0;
    double& etp0 = l0.etp[c];
    // A layer without land use passes what reaches it on to the layer below.
    double input = P;
    for (int k = 1; k <= layerCount; ++k) {
        LayerRow& l = view.layers[static_cast<std::size_t>(k)];
        double capacity = 0, cover = 0;
        if (!Vegetation(view, k, c, &capacity, &cover)) {
            l.evaporation[c] = 0;
            l.throughfall[c] = 0;
            l.storage[c] = 0;
            continue;
        }
        double& storage = l.storage[c];
        const double before = storage;
        const interception::LayerFluxes f =
            interception::InterceptLayer(input, cover, capacity, mode, storage, l.etp[c], l.ei[c]);
        etp0 -= f.demandTaken;
        l.evaporation[c] = f.evaporation;
        l.throughfall[c] = f.throughfall;
        evaporation0 += f.evaporation;
        storage0 += storage;
        if (k == 1 && tracerCount > 0) TracersOfCell(r, c, P, cover, before + cover * P, capacity, f);
        input = f.throughfall;
    }
    l0.evaporation[c] = evaporation0;
    l0.storage[c] = storage0;
    l0.throughfall[c] = input;
}

void interzeptionsmodellklasse::TracersOfCell(int r, int c, double P, double cover, double storageBefore,
                                              double capacity, const interception::LayerFluxes& f) {
    for (int t = 1; t <= tracerCount; ++t) {
        TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
        const TracerDescriptor& d = tracerDescriptors[t];
        const Matrix* in = tracerInput.size() > static_cast<std::size_t>(t) ? tracerInput[static_cast<std::size_t>(t)]
                                                                          : nullptr;
        const double cin = in != nullptr ? (*in)[r][c] : 0.0;
        double& store = rec.storage[r][c];
        store *= rec.decayPerStep;
        if (d.evaporating == 1) {
            // Concentrations mix by volume; the overflow carries the store's concentration.
            store = WeightedMean(store, cin, storageBefore - cover * P, cover * P);
            rec.flux[r][c] = WeightedMean(cin, store, f.direct, f.overflow);
        } else {
            // Mass: the store gains the caught share and the overflow releases its part.
            store += cin * cover * P;
            const double released = interception::ReleasedTracerMass(store, storageBefore, capacity, d.max_conc);
            store -= released;
            const double mass = cin * f.direct + released;
            rec.flux[r][c] = f.throughfall > 0 ? mass / f.throughfall : 0.0;
        }
    }
}

void interzeptionsmodellklasse::StartStatistics() {
    statWeight_ = ZoneCellWeight(relCellArea, nrows, ncols);
    statTargets_.clear();
    for (Layer& l : layers) {
        const StatTarget outputs[3] = {
            {SumTargetOf(l.evaporationStat.get(), l.evaporationRecords), &l.evaporation.data, l.evaporationStat.get()},
            {SumTargetOf(l.storageStat.get(), l.storageRecords), &l.storage.data, l.storageStat.get()},
            {SumTargetOf(l.throughfallStat.get(), l.throughfallRecords), &l.throughfall.data,
             l.throughfallStat.get()}};
        for (const StatTarget& output : outputs)
            if (output.target.on()) statTargets_.push_back(output);
    }
}

void interzeptionsmodellklasse::AddStatistics(ZoneCellWeight& weight, const ZoneLaneShare& share, int r, int c,
                                              int zone, double g) const {
    // The part of the cell without glacier adds its values, the glacier part zeros.
    weight.At(r, c);
    for (std::size_t k = 0; k < statTargets_.size(); ++k) {
        if (!share.Owns(static_cast<int>(k))) continue;
        const StatTarget& t = statTargets_[k];
        if (g < 1.0) weight.Add(t.target, zone, (*t.grid)[r][c], 1.0 - g);
        if (g > 0) weight.Add(t.target, zone, 0.0, g);
    }
}
