// Around the potential step: the open-water settings of "[lake_model]", the snow evaporation
// taken out of the potential values (with the glacier share), the totals and statistics of the
// real values the soil model fills in, the flushing of the statistics and the release.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <omp.h>

#include "kernel/error.hpp"
#include "kernel/threading.hpp"
#include "kernel/zonelanes.hpp"
#include "surface/etpetr.hpp"

verdunstungsmodellklasse::~verdunstungsmodellklasse() {
    if (flowControl == 0 || gridStore == nullptr) return;
    ReleaseInDestructor([&] {
        for (auto* list : {&etpStats, &etrStats, &eipStats})
            for (auto& s : *list)
                if (s) s->Release();
        for (auto* s : {&evapStats, &evapRealStats, &snowEvapStats, &rgexStats, &cloudStats})
            if (*s) (*s)->Release();
    });
    for (const auto* list : {&etpIndex, &etrIndex, &eipIndex})
        for (const int i : *list)
            if (i > 0) ReleaseGrid(i);
    for (const int i : {potEvaporationIndex, realEvaporationIndex, snowEvaporationIndex, correctedRadiationIndex,
                        cloudinessIndex, ssdTempIndex})
        if (i > 0) ReleaseGrid(i);
}

void verdunstungsmodellklasse::FlushStatistics() {
    if (flowControl == 0) return;
    for (std::size_t k = 0; k < etpStats.size(); ++k) {
        etpStats[k]->WriteLine();
        if (k < eipStats.size()) eipStats[k]->WriteLine();
        if (k < etrStats.size()) etrStats[k]->WriteLine();
    }
    for (auto* s : {&rgexStats, &cloudStats, &evapRealStats, &evapStats, &snowEvapStats})
        if (*s) (*s)->WriteLine();
}

void verdunstungsmodellklasse::LinkSoilGrids() {
    if (flowControl == 0) return;
    soilStorage = Required("soil_storage");
    availableSoilMoisture = Required("available_soil_moisture");
}

void verdunstungsmodellklasse::ReadLakeModel(const std::string& section) {
    if (gridStore == nullptr) return;
    if (FindGrid("lake_codes") <= 0) {
        *log << "INFO: no LAKE-grid was found in " << moduleName << "\n"
             << "Lake modelling is switched off for " << moduleName << ".\n" << "[end-entry]";
        return;
    }
    controlFile = OpenFile(controlFileName, "rt");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
    SeekSection(section, true);
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &lakeFlow, "flow control parameter for " + section);
    if (useResponseUnits) {
        lakeFlow = 0;
    } else if (lakeFlow != 0) {
        ReadValue(f, "%d", &lakeInitMethod, "initialization method for " + section);
        ReadBoundedValue(f, "%lf", &albedoOpenWater, "Albedo_OpenWater for " + section, bound::Fraction);
        ReadValue(f, "%lf", &z0OpenWater, "z0_OpenWater for " + section);
        lakeGrid = Required("lake_codes");
        pondGrid = Optional("ponding_storage");
        if (pondGrid == nullptr) pondGrid = Optional("ponding_storage_top");
        if (pondGrid == nullptr) {
            lakeGrid = nullptr;
            *log << "FATAL: \n=======================================\n" << "!!!! ERROR !!!! \n\n"
                 << "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
                 << "\nboth grids as well as the MAXPOND grid must be present."
                 << "\n\n=======================================\n" << "[end-entry]";
            throw ModelError(28);
        }
        if (lakeInitMethod != 1 && lakeInitMethod != 2) {
            lakeGrid = pondGrid = nullptr;
            *log << "FATAL: \n=======================================\n" << "!!!! ERROR !!!! \n\n "
                 << "Error in initialization method for " << section << ".\n"
                 << "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
                 << "In either case, theta_soil will be set to saturated, if the cell is marked as lake and POND "
                    "is > 0."
                 << "\n\n=======================================\n" << "[end-entry]";
            throw ModelError(211);
        }
        // The aerodynamic resistance of open water takes the logarithm of 20/z0.
        if (!(z0OpenWater > 0)) {
            lakeGrid = pondGrid = nullptr;
            *log << "FATAL: z0_OpenWater for " << section << " must be greater than 0, read: " << z0OpenWater
                 << "[end-entry]";
            throw ModelError(211);
        }
    }
    std::FILE* closing = controlFile.release();
    if (std::fclose(closing) != 0) {
        FailOnFile(*log, "error closing " + controlFileName + "after reading initialization method for " + section, 11);
    }
}

double verdunstungsmodellklasse::GlacierFraction(int r, int c) const {
    if (glacierGrid == nullptr) return 0.0;
    const double g = (*glacierGrid)[r][c];
    if (g == nodata || !(g > 0)) return 0.0;
    return std::min(g, 1.0);
}

void verdunstungsmodellklasse::TakeSnowEvaporation(int r, int c, std::span<double> demand, double& snow,
                                                   double& taken) const {
    for (int i = 1; i <= layers; ++i)
        if ((*landuse[static_cast<std::size_t>(i)])[r][c] != nodata)
            evaporation::TakeFromSnow(demand[static_cast<std::size_t>(i)], snow, taken);
    evaporation::TakeFromSnow(demand[0], snow, taken);
}

void verdunstungsmodellklasse::SnowEvaporationOnGlacier(std::int64_t h, std::int64_t d, std::int64_t m,
                                                        std::int64_t y) {
    if (flowControl == 0 || snowStorage == nullptr) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    LogStep("snow_evaporation", h, d, m, y);
    if (!glacierGridsLooked) {
        glacierGridsLooked = true;
        if (FindGrid("SnowEvaporation_onGlacier") > 0 && FindGrid("TotalSnowStorage_onGlacier") > 0) {
            snowEvaporationGlacier = (*gridStore)[GetGridIndex("SnowEvaporation_onGlacier")].grid;
            solidSnowGlacier = (*gridStore)[GetGridIndex("SolidSnowStorage_onGlacier")].grid;
        }
    }
    snowEvapStats->Reset();
    const bool noEvaporation = snowMethod == 5 || snowMethod == 6 || snowMethod == 7 || snowMethod == 11;
    const bool glacierGrids = snowEvaporationGlacier != nullptr && solidSnowGlacier != nullptr;
    // A master cell's snow evaporation touches that cell alone: the rows go to the threads.
    const bool team = WorthThreads(firstRow, lastRow, ncols);
#pragma omp parallel if (team)
    {
        // The demands of a cell (soil evaporation at 0, the layers at 1..n): the glacier share
        // starts from the same demands as the rest of the cell.
        std::vector<double> demand(static_cast<std::size_t>(layers) + 1), glacierDemand(demand.size());
#pragma omp for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            const auto [c1, c2] = ColumnRange(r);
            for (int c = c1; c <= c2; ++c) {
                if (!OwnCell(r, c) || !MasterCell(r, c)) continue;
                double& snow = (*snowStorage)[r][c];
                if (noEvaporation) {
                    if (snow > 0) {
                        for (int i = 1; i <= layers; ++i)
                            if ((*landuse[static_cast<std::size_t>(i)])[r][c] != nodata)
                                etp[static_cast<std::size_t>(i)][r][c] = 0.0;
                        potEvaporation[r][c] = 0.0;
                    }
                    continue;
                }
                snowEvaporation[r][c] = 0.0;
                if (glacierGrids) (*snowEvaporationGlacier)[r][c] = 0.0;
                demand[0] = potEvaporation[r][c];
                for (std::size_t k = 1; k < demand.size(); ++k) demand[k] = etp[k][r][c];
                const double g = GlacierFraction(r, c);
                const bool glacierPart = g > 0 && glacierGrids;
                if (glacierPart) glacierDemand = demand;
                if (g < 1 && snow > 0) {
                    TakeSnowEvaporation(r, c, demand, snow, snowEvaporation[r][c]);
                    potEvaporation[r][c] = demand[0];
                    for (std::size_t k = 1; k < demand.size(); ++k) etp[k][r][c] = demand[k];
                }
                if (glacierPart)
                    TakeSnowEvaporation(r, c, glacierDemand, (*solidSnowGlacier)[r][c],
                                        (*snowEvaporationGlacier)[r][c]);
            }
        }
    }
    snowEvapZones_.Prepare(firstRow, lastRow, ncols);
    if (team && !useResponseUnits && omp_get_max_threads() > 1) {
        // The zones of the own cells by all threads, then one task per group of zones adds the
        // cells of its zones in row order.
        if (snowEvapStats->active()) {
            const auto columns = [&](int r) { return ColumnRange(r); };
            const bool zonesAsBefore = snowEvapZones_.FillOnce(
                firstRow, lastRow, columns, [&](int r, int c1, int c2, int* zoneOf) {
                    for (int c = c1; c <= c2; ++c) zoneOf[c] = OwnCell(r, c) ? ZoneOf(r, c) : CellZoneGrid::kNone;
                });
            snowEvapTasks_.Run(
                {snowEvapStats.get()}, firstRow, lastRow, snowEvapZones_.TaskRows(columns),
                [&](int, int r) {
                    const double* evaporated = snowEvaporation[r];
                    return [evaporated](int c, auto to) { to(evaporated[c], 1.0); };
                },
                zonesAsBefore);
        }
    } else {
        // The cells of a response unit take their master's values (the masters are done; on one
        // thread, in row order, as a master named by the unit table may be a copying cell
        // itself), then the cells add to the statistics in row order.
        snowEvapZones_.FillAndWalkOwnLanes(
            firstRow, lastRow, 1, [&](int r) { return ColumnRange(r); },
            [&](int r, int c1, int c2, int* zoneOf) {
                for (int c = c1; c <= c2; ++c) {
                    zoneOf[c] = CellZoneGrid::kNone;
                    if (!OwnCell(r, c)) continue;
                    int mr = 0, mc = 0;
                    if (useResponseUnits && !MasterCell(r, c) && MasterOf(r, c, &mr, &mc)) {
                        TakePotentialOfMaster(r, c, mr, mc);
                        snowEvaporation[r][c] = snowEvaporation[mr][mc];
                        (*snowStorage)[r][c] = (*snowStorage)[mr][mc];
                        if (glacierGrids) {
                            (*snowEvaporationGlacier)[r][c] = (*snowEvaporationGlacier)[mr][mc];
                            (*solidSnowGlacier)[r][c] = (*solidSnowGlacier)[mr][mc];
                        }
                    }
                    zoneOf[c] = ZoneOf(r, c);
                }
            },
            [&](int r, int c, int zone, const ZoneLaneShare&) {
                snowEvapStats->AddValue(r, c, zone, snowEvaporation[r][c], 1.0);
            });
    }
    snowEvapStats->Step(year, month, day, hour, 1);
    WriteStatisticGrids(snowEvaporationIndex, true, false);
}

void verdunstungsmodellklasse::InterceptionEvaporationOutput(std::int64_t h, std::int64_t d, std::int64_t m,
                                                             std::int64_t y) {
    if (flowControl == 0) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    if (!omp_in_parallel()) LogStep("real evapotranspir.", h, d, m, y);
    if (!interceptionLinked) {
        const int i = FindGrid(StrFormat("%s%d", "interception_evaporation", 0));
        if (i > 0) {
            interceptionEvaporation = (*gridStore)[i].grid;
            interceptionLinked = true;
        }
    }
    for (auto& s : etrStats) s->Reset();
    evapRealStats->Reset();
}

void verdunstungsmodellklasse::AfterSoilStep(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (flowControl == 0) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    if (ThreadedStatistics()) {
        ThreadedTotals();
    } else {
        SerialTotals();
    }
    ReduceTogether({&etrStats}, {evapRealStats.get()});
    for (int i = 0; i <= layers; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        etrStats[k]->StepReduced(year, month, day, hour);
        WriteStatisticGrids(etrIndex[k], true, false);
    }
    evapRealStats->StepReduced(year, month, day, hour);
    WriteStatisticGrids(realEvaporationIndex, true, false);
}

double verdunstungsmodellklasse::GlacierShare(const double* glacier, int c) const {
    if (glacier == nullptr) return 0.0;
    const double g = glacier[c];
    return g == nodata ? 0.0 : std::clamp(g, 0.0, 1.0);
}

void verdunstungsmodellklasse::ThreadedTotals() {
    // The totals and the zones of the own cells row by row, then one task per statistic and
    // group of zones adds them as SerialTotals does.
    const std::size_t slots = static_cast<std::size_t>(layers) + 1;
    const bool glacierGrids = snowEvaporationGlacier != nullptr;
    // The zones stay from step to step: found at the first step that needs them.
    const bool zonesAsBefore = cellZonesFound;
    SizeCellZones();
    const double nd = nodata;
#pragma omp parallel for schedule(runtime)
    for (int r = firstRow; r <= lastRow; ++r) {
        if (zoneGrid == nullptr || !zoneGrid->holds(r)) continue;
        if (!zonesAsBefore) FillRowZones(r);
        const auto [c1, c2] = ColumnRange(r);
        const double* zones = (*zoneGrid)[r];
        const double* regions = mpiRegions != nullptr ? (*mpiRegions)[r] : nullptr;
        const double* intercepted = interceptionLinked ? (*interceptionEvaporation)[r] : nullptr;
        const double* snowRow = snowEvaporation[r];
        const double* realRow = realEvaporation[r];
        double* total = etr[0][r];
        for (int c = c1; c <= c2; ++c) {
            if (zones[c] == nd || (regions != nullptr && regions[c] != rank)) continue;
            double transpiration = 0.0;
            for (std::size_t k = 1; k < slots; ++k)
                transpiration += (*landuse[k])[r][c] == nd ? 0.0 : etr[k][r][c];
            // Without interception the soil's evaporation and transpiration still count (the
            // soil model leaves the total's grid at 0).
            if (intercepted != nullptr)
                total[c] = intercepted[c] + snowRow[c] + realRow[c] + transpiration;
            else
                total[c] += snowRow[c] + realRow[c] + transpiration;
        }
    }
    // Statistic s of the tasks: layer kind[s] of the real evapotranspiration (0: the total), or
    // the real evaporation where kind[s] is -1.
    std::vector<const zonalstatistic*> statistics;
    std::vector<int> kind;
    for (std::size_t k = 1; k < slots; ++k)
        if (etrStats[k]->active()) statistics.push_back(etrStats[k].get()), kind.push_back(static_cast<int>(k));
    if (etrStats[0]->active()) statistics.push_back(etrStats[0].get()), kind.push_back(0);
    if (evapRealStats->active()) statistics.push_back(evapRealStats.get()), kind.push_back(-1);
    cellZonesFound = true;
    zoneTasks.Run(statistics, firstRow, lastRow, [&](int r) { return ZonesOfRow(r); }, [&](int s, int r) {
        const double* glacier = glacierGrid != nullptr ? (*glacierGrid)[r] : nullptr;
        const int k = kind[static_cast<std::size_t>(s)];
        const auto layer = static_cast<std::size_t>(std::max(k, 0));
        const double* values = k >= 0 ? etr[layer][r] : realEvaporation[r];
        const double* landuseRow = k > 0 ? (*landuse[layer])[r] : nullptr;
        const double* snow = glacierGrids ? (*snowEvaporationGlacier)[r] : snowEvaporation[r];
        return [=, this](int c, auto&& to) {
            const double wg = GlacierShare(glacier, c);
            if (k == 0) {
                to((1.0 - wg) * values[c] + wg * snow[c], 1.0);
            } else {
                to(landuseRow != nullptr && landuseRow[c] == nd ? 0.0 : values[c], 1.0 - wg);
                to(0.0, wg);
            }
        };
    }, zonesAsBefore);
}

void verdunstungsmodellklasse::SerialTotals() {
    // Per row first the own cells' totals, zones and glacier shares, then each statistic adds
    // the row's cells in column order (an inactive one takes nothing): each record gets the
    // same additions in the same order as when every cell added to every statistic in turn.
    const std::size_t slots = static_cast<std::size_t>(layers) + 1;
    const bool glacierGrids = snowEvaporationGlacier != nullptr;
    std::vector<double*> etrRow(slots);
    std::vector<const double*> landuseRow(slots);
    rowZones.resize(static_cast<std::size_t>(ncols) + 1);
    rowGlacier.resize(static_cast<std::size_t>(ncols) + 1);
    int* zoneOf = rowZones.data();
    double* glacierShare = rowGlacier.data();
    const double nd = nodata;
    for (int r = firstRow; r <= lastRow; ++r) {
        // A row the zone grid does not hold has no own cell.
        if (zoneGrid == nullptr || !zoneGrid->holds(r)) continue;
        const auto [c1, c2] = ColumnRange(r);
        const double* zones = (*zoneGrid)[r];
        const double* regions = mpiRegions != nullptr ? (*mpiRegions)[r] : nullptr;
        const double* glacier = glacierGrid != nullptr ? (*glacierGrid)[r] : nullptr;
        for (std::size_t k = 0; k < slots; ++k) {
            etrRow[k] = etr[k][r];
            landuseRow[k] = k > 0 ? (*landuse[k])[r] : nullptr;
        }
        const double* intercepted = interceptionLinked ? (*interceptionEvaporation)[r] : nullptr;
        const double* snowRow = snowEvaporation[r];
        const double* realRow = realEvaporation[r];
        const double* glacierSnowRow = glacierGrids ? (*snowEvaporationGlacier)[r] : snowRow;
        for (int c = c1; c <= c2; ++c) {
            if (zones[c] == nodata || (regions != nullptr && regions[c] != rank)) {
                zoneOf[c] = -1;
                continue;
            }
            double wg = 0.0;
            if (glacier != nullptr) {
                const double g = glacier[c];
                wg = g == nodata ? 0.0 : std::clamp(g, 0.0, 1.0);
            }
            glacierShare[c] = wg;
            zoneOf[c] = ZoneOf(r, c);
            double transpiration = 0.0;
            for (std::size_t k = 1; k < slots; ++k) transpiration += landuseRow[k][c] == nodata ? 0.0 : etrRow[k][c];
            double& total = etrRow[0][c];
            if (intercepted != nullptr)
                total = intercepted[c] + snowRow[c] + realRow[c] + transpiration;
            else
                total += snowRow[c] + realRow[c] + transpiration;
        }
        for (std::size_t k = 1; k < slots; ++k) {
            const double* values = etrRow[k];
            const double* landuseValues = landuseRow[k];
            etrStats[k]->Row(r).AddCells(c1, c2, zoneOf, [&](int c, auto&& to) {
                const double wg = glacierShare[c];
                to(landuseValues[c] == nd ? 0.0 : values[c], 1.0 - wg);
                to(0.0, wg);
            });
        }
        const double* totals = etrRow[0];
        etrStats[0]->Row(r).AddCells(c1, c2, zoneOf, [&](int c, auto&& to) {
            const double wg = glacierShare[c];
            to((1.0 - wg) * totals[c] + wg * glacierSnowRow[c], 1.0);
        });
        evapRealStats->Row(r).AddCells(c1, c2, zoneOf, [&](int c, auto&& to) {
            const double wg = glacierShare[c];
            to(realRow[c], 1.0 - wg);
            to(0.0, wg);
        });
    }
}
