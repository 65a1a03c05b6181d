// The end of the soil model's construction: the control-point files, the option tag, the
// per-subbasin glacier table and the model-start summary of the soil water.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <mpi.h>
#include <omp.h>

#include "kernel/threading.hpp"
#include "soil/unsatzon.hpp"
#include "tables/soil_entry.hpp"

namespace {
constexpr long kPointBufferBytes = 2097152;

int RecordsFor(int values) { return std::max(1, static_cast<int>(kPointBufferBytes / (32 + 8L * values))); }
}  // namespace

void unsatzonmodellklasse::CreateControlPoint() {
    const int row = config.control_row, col = config.control_col;
    controlPointHere = row > 0 && col > 0 && row >= firstRow && row <= lastRow &&
                       (mpiRegions == nullptr || !mpiRegions->holds(row) || (*mpiRegions)[row][col] == rank);
    if (!controlPointHere) return;
    const int layerValues = nlayers + 1;
    const int otherValues = 6 * n_veg_layers + 19;
    const int buffers = heat.on() ? 7 : 6;
    pointBuffers.resize(static_cast<std::size_t>(buffers));
    for (int b = 0; b < buffers; ++b) {
        PointBuffer& p = pointBuffers[static_cast<std::size_t>(b)];
        p.values = b == 5 ? otherValues : layerValues;
        p.capacity = RecordsFor(p.values);
        p.dates.assign(static_cast<std::size_t>(p.capacity) * 4 + 4, 0);
        p.data.assign(static_cast<std::size_t>(p.capacity + 1) * static_cast<std::size_t>(p.values), 0.0);
    }

    auto layers = [&](int from) {
        std::string s;
        for (int k = from; k <= nlayers; ++k) s += StrFormat("[%d]\t", k);
        return s;
    };
    std::string other = StrFormat("YY\tMM\tDD\tHH\totherdata[%d][%d]", row, col);
    other += "QD\tQI\tDELTAGW/QB\tQINF\tGWIN\tGWEX\tGWN\tUPRISE\tPERCOL\tMACR\tQDRAIN\tACT_POND\tINFEX\tGWST\tGWLEVEL\tROOT";
    other += "\tAlbedo\tRSE";
    for (int v = 1; v <= n_veg_layers; ++v)
        other += StrFormat("\tLAI_%d\tVCF_%d\tRSC_%d\tRSI_%d\tROOT_%d\tZ0_%d", v, v, v, v, v, v);
    using C = SoilModelConfig;
    struct PointFile {
        std::size_t buffer;
        std::string name;
        std::string header;
        const char* failure;
    };
    const auto& files = config.pointFiles;
    std::vector<PointFile> list = {
        {0, files[C::HHYD], StrFormat("YY\tMM\tDD\tHH\thhyd[%d][%d]", row, col) + layers(1),
         "FATAL: error opening file for hydraulic head (single point) \n-> check disk space or user rights"},
        {5, files[C::OTHERDATA], other,
         "FATAL: error opening file for other detail data (single point) \n-> check disk space or user rights"},
        {1, files[C::THETA_FILE], StrFormat("YY\tMM\tDD\tHH\ttheta[%d][%d]", row, col) + layers(1),
         "FATAL: error opening file for soil theta (single point) \n-> check disk space or user rights"},
        {2, files[C::QBOTTOM], StrFormat("YY\tMM\tDD\tHH\tq_bottom[%d][%d]", row, col) + layers(1), nullptr},
        {3, files[C::ETR_DETAIL],
         StrFormat("YY\tMM\tDD\tHH\tetr[%d][%d](etr[0] is evaporation from first layer)", row, col) + layers(0),
         "FATAL: error opening file for transpiration/evaporation per layer (single point) \n-> check disk space or "
         "user rights"},
        {4, files[C::INTERFLOW], StrFormat("YY\tMM\tDD\tHH\tinterflow_per_layer[%d][%d]", row, col) + layers(1),
         "FATAL: error opening file for interflow (single point) \n-> check disk space or user rights"},
    };
    if (heat.on())
        list.push_back({6, heat.temperatureFile, StrFormat("YY\tMM\tDD\tHH\ttemper[%d][%d]", row, col) + layers(1),
                        "FATAL: error opening file for soil temperatures (single point details) \n-> check disk "
                        "space or user rights"});
    // Each file starts anew under its temporary name; the file of the run before stays in place
    // until the first records (or the normal end).
    for (const PointFile& pf : list) {
        auto table = std::make_unique<TableFile>(pf.name);
        std::FILE* f = table->Open(false);
        if (f != nullptr) std::fprintf(f, "%s\n", pf.header.c_str());
        if (f == nullptr || !table->Close()) {
            const int reason = errno;
            if (pf.failure != nullptr)
                *log << pf.failure << "[end-entry]";
            else
                *log << "FATAL: error opening file " << pf.name << " for the bottom fluxes (single point)"
                     << "[end-entry]";
            LogSystemReason(*log, reason);
            throw ModelError(62);
        }
        pointBuffers[pf.buffer].table = std::move(table);
    }
}

void unsatzonmodellklasse::BuildConfigTag() {
    config_tag.clear();
    if (in.flowTimes != nullptr) config_tag += "+ft,";
    if (!own.irrigationAmounts.empty()) config_tag += "+ir,";
    if (config.surface_interaction > 1)
        config_tag += "+srf2,";
    else if (config.surface_interaction == 1)
        config_tag += "+srf1";
    if (in.drainageDepth != nullptr) config_tag += "+dr,";
    if (in.clayDepth != nullptr) config_tag += "+cl,";
    if (in.maxPonding != nullptr) config_tag += "+po,";
    config_tag = config_tag.substr(0, 30);
}

void unsatzonmodellklasse::BuildGlacierTable() {
    if (FindGrid("ice_firn", true) <= 0 && FindGrid("GlacierMassBalance", true) <= 0) return;
    int fractionIndex = 0;
    if (FindGrid("GlacierizedCells", true) > 0 && FindGrid("GlacierMassBalance", true) > 0) {
        fractionIndex = GetGridIndex("GlacierizedCells");
        in.glacierFractionOld = (*gridStore)[GetGridIndex("GlacierizedCellsOld")].grid;
        const SoilModelConfig::NamedCode& sb2 = config.stats[SoilModelConfig::SB_2];
        std::string name = sb2.name;
        const std::size_t dot = name.rfind('.');
        name = dot == std::string::npos ? name + "_immo" : name.substr(0, dot) + "_immo" + name.substr(dot);
        CreateStatistic(SB2_GLACIER, name, sb2.code,
                        "immobilised or mobilised soil water by glacier resizing 0..profile depth per zone ", 5);
    } else {
        fractionIndex = GetGridIndex("ice_firn");
    }
    in.glacierFraction = (*gridStore)[fractionIndex].grid;

    const int n = soilZones.zoneCount;
    glacier_table.assign(static_cast<std::size_t>(n) + 1, GlacierSubbasinRecord{});
    if (rank == 0) {
        // Process 0 holds the whole grids (a process of its own keeps them whole).
        const Matrix wholeCopy = MPIGatherGridCopy(fractionIndex);
        const Matrix& fraction = wholeCopy.empty() ? *in.glacierFraction : wholeCopy;
        for (int r = 1; r <= nrows; ++r) {
            if (!fraction.holds(r) || !in.zone->holds(r)) continue;
            for (int c = 1; c <= ncols; ++c) {
                const double z = (*in.zone)[r][c];
                if (z == nodata) continue;
                const long code = std::lround(z);
                if (code < 0 || code >= static_cast<long>(soilZones.index.size())) continue;
                GlacierSubbasinRecord& g = glacier_table[static_cast<std::size_t>(soilZones.index[static_cast<std::size_t>(code)])];
                const double f = fraction[r][c];
                if (f > 0) {
                    g.glacierized = true;
                    g.fractionSum += f;
                    g.iceFreeSum += 1.0 - f;
                } else {
                    g.iceFreeSum += 1.0;
                }
            }
        }
    } else {
        MPIGatherGridCopy(fractionIndex);
    }
    MPI_Barrier(MPI_COMM_WORLD);
    MPI_Datatype type;
    const int lengths[3] = {1, 1, 1};
    const MPI_Aint displacements[3] = {offsetof(GlacierSubbasinRecord, glacierized),
                                       offsetof(GlacierSubbasinRecord, fractionSum),
                                       offsetof(GlacierSubbasinRecord, iceFreeSum)};
    const MPI_Datatype types[3] = {MPI_CXX_BOOL, MPI_DOUBLE, MPI_DOUBLE};
    MPI_Type_create_struct(3, lengths, displacements, types, &type);
    MPI_Type_commit(&type);
    MPI_Bcast(glacier_table.data(), n + 1, type, 0, MPI_COMM_WORLD);
    MPI_Type_free(&type);
}

void unsatzonmodellklasse::WriteStartSummary() { WriteSoilWaterSummary(false); }

void unsatzonmodellklasse::WriteSoilWaterSummary(bool atEnd) {
    const char* when = atEnd ? "model-end" : "model-start";
    if (controlPointHere) {
        const double* theta = own.theta[config.control_row][config.control_col];
        const double* h = own.geodeticHeads[config.control_row][config.control_col];
        double w = 0;
        for (int k = 1; k <= nlayers; ++k) w += theta[k] * (h[k - 1] - h[k]) * 1000.0;
        AppendToTextLog(StrFormat("modell_%d.log", rank),
                        atEnd ? StrFormat("(mpi_rank %d) soil water content (control point r=%d c=%d) at model-end: "
                                          "%lf mm\n",
                                          rank, config.control_row, config.control_col, w)
                              : StrFormat("soil water content (for control point r=%d c=%d) at model-start: %lf mm\n",
                                          config.control_row, config.control_col, w));
    }
    // Unglacierised and glacierised parts of every cell, weighed by the cell's area share: the
    // four terms of an own cell (false for a cell outside the zones).
    auto cellTerms = [&](int r, int c, std::array<double, 4>& t) {
        if (!((*in.zone)[r][c] > 0)) return false;
        const soil_entry& soil = SoilOf(r, c);
        double g = in.glacierFraction != nullptr ? (*in.glacierFraction)[r][c] : 0.0;
        g = std::clamp(g, 0.0, 1.0);
        const double a = relCellArea != nullptr && relCellArea->holds(r) && (*relCellArea)[r][c] > nodata
                             ? (*relCellArea)[r][c]
                             : 1.0;
        const double* theta = own.theta[r][c];
        const double* h = own.geodeticHeads[r][c];
        double wu = 0, wg = 0;
        for (int k = 1; k <= nlayers; ++k) {
            const double d = h[k - 1] - h[k];
            wu += theta[k] * d;
            wg += (k <= soil.GetLayerCount() ? soil.theta_sat[static_cast<std::size_t>(k)] : 0.0) * d;
        }
        // Both counts take every cell (its area share): the two parts are shares of one mean.
        t = {a, a * wu * (1.0 - g), a, a * wg * g};
        return true;
    };
    // The terms are added in row and column order, as the cells come. With a team the threads
    // work them out by rows first, and one thread adds them up.
    PrepareOwnCells();
    double sums[4] = {0, 0, 0, 0};  // Nu, Wu, Ng, Wg
    auto add = [&sums](const std::array<double, 4>& t) {
        for (std::size_t i = 0; i < 4; ++i) sums[i] += t[i];
    };
    if (WorthThreads(firstRow, lastRow, ncols) && omp_get_max_threads() > 1) {
        const std::size_t cells = ownColumns.size();
        std::vector<std::array<double, 4>> terms(cells);
        std::vector<unsigned char> counted(cells);
#pragma omp parallel for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            const std::size_t rowStart = ownRowStart[static_cast<std::size_t>(r - firstRow)];
            const std::span<const int> columns = OwnColumns(r);
            for (std::size_t i = 0; i < columns.size(); ++i)
                counted[rowStart + i] = cellTerms(r, columns[i], terms[rowStart + i]);
        }
        for (std::size_t at = 0; at < cells; ++at)
            if (counted[at]) add(terms[at]);
    } else {
        std::array<double, 4> t{};
        for (int r = firstRow; r <= lastRow; ++r)
            for (const int c : OwnColumns(r))
                if (cellTerms(r, c, t)) add(t);
    }
    // Partial sums meet on process 0 and are added in process order.
    std::vector<double> all(static_cast<std::size_t>(size) * 4);
    MPI_Gather(sums, 4, MPI_DOUBLE, all.data(), 4, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (rank != 0) return;
    double total[4] = {0, 0, 0, 0};
    for (int p = 0; p < size; ++p)
        for (int i = 0; i < 4; ++i) total[i] += all[static_cast<std::size_t>(p) * 4 + static_cast<std::size_t>(i)];
    const double meanU = total[0] != 0 ? total[1] / total[0] : 0.0;
    const double meanG = total[2] != 0 ? total[3] / total[2] : 0.0;
    AppendToTextLog(
        StrFormat("modell_%d.log", 0),
        StrFormat("mean soil water content for all cells at %s: %lf m^3/m^2\n", when, meanU + meanG) +
            StrFormat("mean soil water content for unglacierized or only partly unglacierized cells at %s: %lf "
                      "m^3/m^2\n",
                      when, meanU) +
            StrFormat("mean soil water content for partly or completely glacierized cells at %s: %lf m^3/m^2\n", when,
                      meanG));
}
