// Construction of the irrigation model: the section "[irrigation]", the grids it looks up, the
// per-subbasin records with their statistics tables, the links to the discharge routing and
// the soil model, the tracer links and the teardown.
#include "kernel/error.hpp"
#include "kernel/mpirows.hpp"
#include "surface/irrigate.hpp"

#include <mpi.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "setup/tracer_ini.hpp"
#include "tables/irrigation_table.hpp"

irrigationclass::irrigationclass(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "irrigation", s, 1) {
    CatchIntoError(error, [&] { Construct(); });
}

int irrigationclass::Required(const std::string& name) { return GetGridIndex(name); }

void irrigationclass::Construct() {
    ReadModuleSection(false);
    if (flowControl == 0) return;
    LogBanner("irrigate");
    if (settings.spinUpSwitch == 1) {
        std::FILE* raw = controlFile.release();
        if (raw != nullptr) std::fclose(raw);
        return;
    }
    ReadStatistics(groundwaterStat);
    ReadStatistics(surfaceStat);
    std::FILE* raw = controlFile.release();
    if (std::fclose(raw) != 0) {
        FailOnFile(*log, "error closing " + controlFileName, 11);
    }

    precipitationIndex = Required("precipitation");
    codesIndex = Required("irrigation_codes");
    pumpingIndex = Required("Max_Pumping");
    amountsIndex = Required("irrigation_amounts");
    soilMoistureIndex = Required("SB_1_grid");
    lowerIndex = Required("SBLOW_grid");
    upperIndex = Required("SBHIGH_grid");
    ratioIndex = Required("ETR2ETP");
    rootDepthIndex = Required(StrFormat("%s%d", "root_depth", 1));
    // The subbasins are the zones of the soil model.
    subbasinIndex = FindGrid("zonegrid_soilmodel");
    if (subbasinIndex <= 0) subbasinIndex = 1;
    FindDecompositionGrids();
    if (size > 1 && (mpiRegions == nullptr || mpiHelper == nullptr)) {
        *log << "FATAL: irrigation works on mpi-rank 0 for the whole grid and needs the grids MPIRegions and "
                "MPIHelper to gather and scatter the rows of the other processes"
             << "[end-entry]";
        throw ModelError(33);
    }
    if (settings.irrigationTable != nullptr) tableCount_ = settings.irrigationTable[0].code;
    order_ = RowOrder(*this);

    // The cell weights of the statistics, whole on process 0.
    const int weights = FindGrid("RelCellArea");
    if (weights > 0) {
        hasCellWeights = true;
        cellWeightsIndex = weights;
        // Process 0 copies them from its own grid where it holds it whole.
        Matrix copy;
        if (mpirows::Distributed(*this))
            copy = std::move(mpirows::WholeGridCopies(*this, {(*gridStore)[weights].grid}, "RelCellArea")[0]);
        if (rank == 0 && copy) {
            // The gathered copy holds every row already.
            cellWeights = std::move(copy);
        } else if (rank == 0) {
            cellWeights = matrix(1, nrows, 1, ncols, nrows);
            const Matrix& source = *(*gridStore)[weights].grid;
            for (int r = 1; r <= nrows; ++r)
                for (int c = 1; c <= ncols; ++c) cellWeights[r][c] = source.holds(r) ? source[r][c] : nodata;
        }
    }
    wholeWeights_ = WholeWeightsEverywhere();
    CreateStatistic(groundwaterStat, "irrigation water amount from groundwater [mm]");
    CreateStatistic(surfaceStat, "irrigation water amount from  surface water [mm]");
}

bool irrigationclass::WholeWeightsEverywhere() {
    // Without weights every cell counts as 1.
    if (!hasCellWeights) return true;
    // A weight above 0 counts as it is, any other as 1 (AddRecord); 2^20 per cell keeps every sum
    // of a grid's cells below 2^53, where whole numbers add exactly.
    const Matrix& weights = *(*gridStore)[cellWeightsIndex].grid;
    int whole = 1;
    order_.ForOwn([&](int r, int c) {
        const double w = weights.holds(r) ? weights[r][c] : nodata;
        if (w > 0 && !(w <= 1048576.0 && w == std::floor(w))) whole = 0;
    });
    if (size > 1) MPI_Allreduce(MPI_IN_PLACE, &whole, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    return whole != 0;
}

void irrigationclass::ReadStatistics(StatOutput& out) {
    ReadFileNameAndCode(ControlStream(), &out.fileName, &out.code,
                        "Name des GWSTANDstatfiles fuer [" + moduleName + "]");
}

void irrigationclass::CreateStatistic(StatOutput& out, const char* title) {
    out.stat = CreateZoneStatistic(out.records, out.fileName, out.code, title,
                                   hasCellWeights && rank == 0 ? &cellWeights : nullptr, 4, false);
}

// ------------------------------------------------------------------ links

void irrigationclass::SetQg(RunoffArray* qg) {
    if (flowControl != 0) Qg = qg;
}

std::vector<zoneFZT>* irrigationclass::GetIrrigationTable() {
    if (Inert() || !surfaceStat.stat) return nullptr;
    if (withdrawal.size() != surfaceStat.records.size()) withdrawal = surfaceStat.records;
    return &withdrawal;
}

void irrigationclass::SetRiverflowTable(riverflow_table* table) {
    if (flowControl != 0) riverflow = table;
}

void irrigationclass::SetMaxIrrigation(RunoffArray* maxIrrigation, RunoffArray* fromReservoirs) {
    if (flowControl == 0) return;
    if (maxIrrigation == nullptr) {
        *log << "FATAL: if irrigation is modelled, also routing has to be modelled!"
             << "\n(Adress of array maxirrig[] is NULL\n" << "[end-entry]";
        throw ModelError(kRoutingMissing);
    }
    if (fromReservoirs == nullptr) {
        *log << "FATAL: if irrigation is modelled, also routing has to be modelled!"
             << "\n(Adress of array maxirrigFromReservoirs[] is NULL\n" << "[end-entry]";
        throw ModelError(kRoutingMissing);
    }
    maxirrig = maxIrrigation;
    maxirrigFromReservoirs = fromReservoirs;
}

void irrigationclass::SetRoutingTarget(RoutingTargetRows* rows) {
    if (flowControl == 0) return;
    if (rows == nullptr) {
        *log << "FATAL: if irrigation is modelled, also routing has to be modelled! "
             << "\n(Adress of array routing-target is NULL)\n" << "[end-entry]";
        throw ModelError(kRoutingMissing);
    }
    routingTarget = rows;
}

void irrigationclass::SetAbfrel(SubbasinValues* values) {
    if (flowControl == 0) return;
    if (values == nullptr) {
        *log << "FATAL: if irrigation is modelled, also routing has to be modelled!"
             << " \n(Adress of array abfrel is NULL)\n" << "[end-entry]";
        throw ModelError(kRoutingMissing);
    }
    abfrel = values;
}

void irrigationclass::LinkSoilTracerStores() {
    if (Inert()) return;
    soilStoreIndex.assign(static_cast<std::size_t>(std::max(tracerCount, 0)) + 1, 0);
    for (int t = 1; t <= tracerCount; ++t)
        soilStoreIndex[static_cast<std::size_t>(t)] = GetGridIndex(StrFormat("concstor_tracer_%d_%s", t, "unsatzon_model"));
}

void irrigationclass::InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                      OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (Inert()) return;
    teilmodellklasse::InitTracerGrids(error, count, descriptors, table, tableCount);
    if (error != 0) return;
    CatchIntoError(error, [&] {
        tracerInputIndex.assign(static_cast<std::size_t>(std::max(count, 0)) + 1, 0);
        for (int t = 1; t <= count; ++t)
            tracerInputIndex[static_cast<std::size_t>(t)] = FindGrid(StrFormat("concflux_tracer_%1d_%s", t, "input"), true);
    });
}

void irrigationclass::FreeTracerGrids() {
    if (Inert()) return;
    teilmodellklasse::FreeTracerGrids();
    soilStoreIndex.clear();
}

void irrigationclass::FlushStatistics() {
    if (Inert()) return;
    for (StatOutput* s : {&groundwaterStat, &surfaceStat})
        if (s->stat) s->stat->WriteLine();
    FlushTracerStatistics();
}

irrigationclass::~irrigationclass() {
    if (Inert()) return;
    ReleaseInDestructor([&] { ReleaseAll(); });
}

void irrigationclass::ReleaseAll() {
    for (StatOutput* s : {&groundwaterStat, &surfaceStat}) {
        if (!s->stat) continue;
        s->stat->Release();
        s->stat.reset();
    }
}

std::string irrigationclass::KeptAmountsFileName(const std::string& amountsFileName) {
    const std::size_t slash = amountsFileName.find_last_of('/');
    const std::size_t dot = amountsFileName.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return amountsFileName + "_kept";
    return amountsFileName.substr(0, dot) + "_kept" + amountsFileName.substr(dot);
}

void irrigationclass::StartKeptAmounts(bool warmStart) {
    if (Inert() || !kept_.empty() || amountsIndex <= 0) return;
    const GridStoreEntry& amounts = (*gridStore)[amountsIndex];
    const Matrix* grid = amounts.grid;
    if (grid == nullptr) return;
    kept_ = FilledMatrix(grid->firstRow(), grid->lastRow(), 1, ncols, nrows, nodata);
    // The soil model reads its amounts back at a warm start when it writes them.
    const bool written = amounts.units != 0 || amounts.tens != 0 || amounts.minFlag != 0 || amounts.maxFlag != 0 ||
                         amounts.thousands != 0;
    if (!written || amounts.baseFileName.empty()) return;
    const std::string name = KeptAmountsFileName(amounts.baseFileName);
    if (warmStart) {
        // Process 0's look decides for every process, which all take part in the read.
        int there = rank == 0 && std::filesystem::exists(ExpandPath(inputPath, name)) ? 1 : 0;
        MPI_Bcast(&there, 1, MPI_INT, 0, MPI_COMM_WORLD);
        if (there != 0) {
            Matrix read;
            ReadGrid(name, &read, 0, true, false, -9999.0, false, false);
            for (int r = kept_.firstRow(); r <= kept_.lastRow(); ++r) {
                if (!kept_.holds(r) || !read.holds(r)) continue;
                for (int c = 1; c <= ncols; ++c)
                    if (read[r][c] >= 0) kept_[r][c] = read[r][c];
            }
        } else if (rank == 0) {
            *log << "WARNING: irrigation: no " << name
                 << " of the run before; the irrigation goes on with the amounts the cells received" << "[end-entry]";
        }
    }
    keptIndex_ = FirstFreeGridEntry(*gridStore);
    if (keptIndex_ >= 1000) {
        *log << "FATAL: irrigation: no free grid found in memory for " << name << "[end-entry]";
        throw ModelError(12);
    }
    // Written once, at the run's end.
    RegisterGrid(keptIndex_, name, &kept_, nullptr, 0, "irrigation_kept_amounts", 3, kept_.firstRow(),
                 kept_.lastRow());
}
