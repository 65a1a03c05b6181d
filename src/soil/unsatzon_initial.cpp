// The soil model's start state: geodetic heads, water contents, heads and the water table for
// each initial-state mode, and the grids derived from them at start.
#include <algorithm>
#include <cmath>
#include <mpi.h>
#include <span>

#include "kernel/mpirows.hpp"
#include "kernel/threading.hpp"
#include "soil/unsatzon.hpp"
#include "soil/unsatzon_profile.hpp"
#include "tables/irrigation_table.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/soil_entry.hpp"

namespace {
std::span<double> Column(const Stack& s, int r, int c, int n) {
    return {s[r][c], static_cast<std::size_t>(n) + 1};
}

// Copies the own cells of a grid read from file into the model's grid.
template <class Own>
void CopyOwnCells(const Matrix& from, Matrix& to, int first, int last, Own&& own) {
    for (int r = first; r <= last; ++r) {
        if (!from.holds(r) || !to.holds(r)) continue;
        for (int c = 1; c <= to.ncols(); ++c)
            if (own(r, c)) to[r][c] = from[r][c];
    }
}
}  // namespace

void unsatzonmodellklasse::SetInitialState() {
    const int soilCount = settings.soilTable[0].code;
    int badSoil = 0;
    PrepareOwnCells();
    for (int r = firstRow; r <= lastRow; ++r) {
        for (const int c : OwnColumns(r)) {
            const double v = (*in.soilTypes)[r][c];
            if (!(v >= 1 && v <= soilCount)) badSoil = static_cast<int>(v);
        }
    }
    if (badSoil != 0) {
        *log << "FATAL: soil type " << badSoil << " of a basin cell is not in the soil table (" << soilCount
             << " entries) for " << moduleName << "[end-entry]";
        throw ModelError(33);
    }
    if (in.maxPonding != nullptr) {
        // The lake and ponding depths are read in m and held in mm: process 0 converts every
        // basin cell it holds, the others their own cells (as process 0's copy would give them).
        const Matrix& zone = in.zone != nullptr && in.zone->holds(1) && in.zone->holds(nrows) ? *in.zone : *zoneGrid;
        const bool distributed = rank != 0 && mpirows::Distributed(*this);
        for (int r = 1; r <= nrows && (rank == 0 || distributed); ++r) {
            if (!in.maxPonding->holds(r) || !zone.holds(r) || (distributed && !mpiRegions->holds(r))) continue;
            for (int c = 1; c <= ncols; ++c)
                if (zone[r][c] != nodata && (!distributed || (*mpiRegions)[r][c] == rank))
                    (*in.maxPonding)[r][c] *= 1000.0;
        }
    }
    const int mode = config.readgrid;
    if (mode == 1 || mode == 3) ReadInitialState();
    if (mode == 2) {
        auto isOwn = [&](int r, int c) { return IsOwnCell(r, c); };
        Matrix read;
        ReadGrid(config.outputs[SoilModelConfig::GWSTAND_G].name, &read);
        CopyOwnCells(read, own.groundwaterDistance, firstRow, lastRow, isOwn);
        if (in.maxPonding != nullptr) {
            Matrix pond;
            ReadGrid(config.outputs[SoilModelConfig::POND_G].name, &pond);
            CopyOwnCells(pond, own.pondingStorage, firstRow, lastRow, isOwn);
        }
    }
    ComputeGeodeticHeads();
    if (mode != 1 && mode != 3) ComputeProfileState();
    DerivedStartGrids();
    if (gwDistanceIndex > 0 && mode != 2) MPIExchangeHalo(gwDistanceIndex);
    if (frozenSoilIndex > 0) MPIExchangeHalo(frozenSoilIndex);
}

void unsatzonmodellklasse::ReadStackChecked(const std::string& fileName, Stack* target, const char* levelWord) {
    Stack read;
    const int levels = ReadStack(fileName, &read);
    if (levels != nlayers) {
        *log << "FATAL: wrong number of levels in stack " << fileName << " (there are " << levels << levelWord
             << ", it must be " << nlayers << "[end-entry]";
        throw ModelError(13);
    }
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!read.holds(r) || !target->holds(r)) continue;
        const ColumnRange cols = ColumnsOf(r);
        for (int c = cols.first; c <= cols.last; ++c)
            if (IsOwnCell(r, c)) std::copy(read[r][c], read[r][c] + nlayers + 1, (*target)[r][c]);
    }
}

// A water content a soil cannot hold (below 0, or above its saturated content by more than the
// rounding of a written state) would start the run with water that does not exist; such a state
// is not from this basin's run and stops the start.
void unsatzonmodellklasse::CheckStartWaterContents(const std::string& fileName) {
    int bad = 0, badRow = 0, badCol = 0, badLevel = 0;
    double badValue = 0, badSat = 0;
    for (int r = firstRow; r <= lastRow && bad == 0; ++r) {
        if (!own.theta.holds(r)) continue;
        const ColumnRange cols = ColumnsOf(r);
        for (int c = cols.first; c <= cols.last && bad == 0; ++c) {
            if (!IsOwnCell(r, c)) continue;
            const soil_entry& soil = SoilOf(r, c);
            const int n = std::min<int>(soil.GetLayerCount(), nlayers);
            for (int k = 1; k <= n; ++k) {
                const double theta = own.theta[r][c][k];
                const double sat = soil.theta_sat[static_cast<std::size_t>(k)];
                if (!(theta >= 0.0 && theta <= sat * 1.01)) {
                    bad = 1, badRow = r, badCol = c, badLevel = k, badValue = theta, badSat = sat;
                    break;
                }
            }
        }
    }
    if (bad != 0)
        *log << "FATAL: error in storage file content reading " << fileName << ": the water content " << badValue
             << " of level " << badLevel << " at row " << badRow << ", column " << badCol
             << " lies outside 0 .. " << badSat << ", the saturated water content of its soil" << "[end-entry]";
    int any = bad;
    MPI_Allreduce(MPI_IN_PLACE, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    if (any != 0) throw ModelError(71);
}

void unsatzonmodellklasse::ReadInitialState() {
    using C = SoilModelConfig;
    // Plain output names: the readers put the input directory in front.
    auto file = [&](int o) { return config.outputs[static_cast<std::size_t>(o)].name; };
    auto isOwn = [&](int r, int c) { return IsOwnCell(r, c); };
    ReadStackChecked(file(C::Theta), &own.theta);
    CheckStartWaterContents(file(C::Theta));
    ReadStackChecked(file(C::HGEO), &own.geodeticHeads);
    ReadStackChecked(file(C::HH), &own.hydraulicHeads);
    if (heat.on()) ReadStackChecked(heat.temperStack.name, &own.soilTemperature);
    struct Item {
        int output;
        Matrix* target;
        bool keepWhole;
    };
    std::vector<Item> items = {{C::GWSTAND_G, &own.groundwaterDistance, false},
                               {C::GWLEVEL, &own.groundwaterLevel, false},
                               {C::GWTHETA, &own.thetaInGwLevel, false},
                               {C::DELTAGW, &own.baseflow, true}};
    if (in.maxPonding != nullptr) items.push_back({C::POND_G, &own.pondingStorage, true});
    // The root zone's water as the last step left it, when that run wrote it: irrigation compares
    // it with its thresholds before the first step of the soil, and the start formula (over the
    // first vegetation layer's root depth) gives another value than a step (over the deepest roots).
    if (config.outputs[C::SB05].code != 0) items.push_back({C::SB05, &own.sb1, false});
    // Irrigation goes on with the amount of its last step until the root zone is filled, so an
    // irrigation that was running continues.
    irrigationAmountsRead = !own.irrigationAmounts.empty() && config.outputs[C::IRRIG].code != 0;
    if (irrigationAmountsRead) items.push_back({C::IRRIG, &own.irrigationAmounts, false});
    for (const Item& item : items) {
        Matrix read;
        ReadGrid(file(item.output), &read, 0, true, false, -9999.0, false, item.keepWhole);
        CopyOwnCells(read, *item.target, firstRow, lastRow, isOwn);
    }
    rootZoneWaterRead = config.outputs[C::SB05].code != 0;
}

void unsatzonmodellklasse::ComputeGeodeticHeads() {
    PrepareOwnCells();
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        for (const int c : OwnColumns(r)) {
            const soil_entry& soil = SoilOf(r, c);
            std::span<double> h = Column(own.geodeticHeads, r, c, nlayers);
            h[0] = (*in.elevation)[r][c];
            for (int k = 1; k <= nlayers; ++k) {
                const std::size_t i = static_cast<std::size_t>(k);
                // A soil type with fewer layers than the deepest one ends in layers of no thickness.
                const double d = k <= soil.GetLayerCount() ? soil.thickness[i] : 0.0;
                h[i] = h[i - 1] - d;
            }
        }
    }
}

void unsatzonmodellklasse::ComputeProfileState() {
    const int mode = config.readgrid;
    if (mode != 2 && !(config.ini_gw_level > 0)) {
        *log << "FATAL: error in control file,  ini_gw_level  " << moduleName << " (" << config.ini_gw_level
             << "): the initial groundwater level parameter must be greater than 0" << "[end-entry]";
        throw ModelError(17);
    }
    PrepareOwnCells();
    // Every cell's column from its own soil and heads alone: the rows go to the team.
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
    {
        std::vector<double> thetaSat(static_cast<std::size_t>(nlayers) + 1);
#pragma omp for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            for (const int c : OwnColumns(r)) {
                const soil_entry& soil = SoilOf(r, c);
                const int n = std::min(nlayers, static_cast<int>(soil.GetLayerCount()));
                std::span<const double> h = Column(own.geodeticHeads, r, c, nlayers);
                std::span<double> theta = Column(own.theta, r, c, nlayers);
                std::span<double> hh = Column(own.hydraulicHeads, r, c, nlayers);
                const int g = mode == 2 ? soil_profile::WaterTableLayerFromDepth(h, n, -own.groundwaterDistance[r][c])
                                        : soil_profile::WaterTableLayerFromLevel(n, config.ini_gw_level);
                soil_profile::HydrostaticColumn(soil, h, n, g, theta, hh);
                for (int k = n + 1; k <= nlayers; ++k) {
                    const std::size_t i = static_cast<std::size_t>(k);
                    theta[i] = theta[i - 1];
                    hh[i] = hh[i - 1];
                }
                for (int k = 1; k <= n; ++k) thetaSat[static_cast<std::size_t>(k)] = soil.theta_sat[static_cast<std::size_t>(k)];
                const soil_profile::WaterTable t = soil_profile::FindWaterTable(theta, thetaSat, h, n);
                own.baseflow[r][c] = 0.0;
                own.groundwaterLevel[r][c] = t.level;
                own.thetaInGwLevel[r][c] = t.thetaAbove;
                if (mode != 2) own.groundwaterDistance[r][c] = t.distance;
            }
        }
    }
    if (heat.on()) deriveInitialTemperatures = true;
}

double unsatzonmodellklasse::LowerBoundaryTemperature(double elevation) const {
    return heat[SoilHeatConfig::LapseRate] * elevation + heat[SoilHeatConfig::LowBoundBase];
}

void unsatzonmodellklasse::DerivedStartGrids() {
    const int mode = config.readgrid;
    long long slopesMissing = 0;
    const double pi = 3.141592653;
    PrepareOwnCells();
    // Each cell's grids from its own column and inputs: the rows go to the team (the count of
    // cells without a slope is a sum of integers).
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols)) reduction(+ : slopesMissing)
    {
        std::vector<double> thickness(static_cast<std::size_t>(nlayers) + 1, 0.0);
#pragma omp for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            for (const int c : OwnColumns(r)) {
                const soil_entry& soil = SoilOf(r, c);
                const int n = std::min(nlayers, static_cast<int>(soil.GetLayerCount()));
                std::span<const double> h = Column(own.geodeticHeads, r, c, nlayers);
                std::span<const double> theta = Column(own.theta, r, c, nlayers);
                for (int k = 1; k <= nlayers; ++k) thickness[static_cast<std::size_t>(k)] = h[k - 1] - h[k];
                std::fill(own.qDown[r][c], own.qDown[r][c] + nlayers + 1, 0.0);
                if (own.qDownExt.holds(r)) own.qDownExt[r][c] = 0.0;
                if (in.maxPonding != nullptr && mode != 1 && mode != 2 && mode != 3) own.pondingStorage[r][c] = 0.0;
                if (mode != 1 && mode != 3 && own.baseflow.holds(r)) own.baseflow[r][c] = 0.0;
                if (rootZoneWaterRead) {
                    // As the step that wrote it left it.
                    own.meanThetaRootZone[r][c] = soil.SuctionFromTheta(1, own.sb1[r][c]);
                } else {
                    own.sb1[r][c] = soil_profile::RootZoneWater(theta, thickness, nlayers, (*in.rootDepth[1])[r][c]);
                    // Holds a suction (m) from the start on, as every step leaves it.
                    own.meanThetaRootZone[r][c] = soil.SuctionFromTheta(1, theta[1]);
                }
                if (!own.etr2etp.empty()) own.etr2etp[r][c] = 1.0;
                for (Matrix* m : {&own.gwTableExtern, &own.balance, &own.sb2, &own.macroporeInfiltration, &own.substeps,
                                  &own.rootGrid, &own.groundwaterRecharge, &own.capillaryUprise, &own.percolation,
                                  &own.directflow, &own.interflow, &own.infiltrationExcess, &own.totalInfiltration,
                                  &own.infiltrationSaturation, &own.thawDepth, &own.drainageFlow, &own.maxPumping})
                    if (!m->empty()) (*m)[r][c] = 0.0;
                if (!own.irrigationAmounts.empty() && !irrigationAmountsRead) own.irrigationAmounts[r][c] = 0.0;
                // A slope without a value gives the cell no interflow, never a negative one.
                const double slope = (*in.slope)[r][c];
                const bool noSlope = slope == nodata || !std::isfinite(slope);
                own.tangensBeta[r][c] = noSlope ? 0.0 : slope * pi / 180.0;
                if (noSlope) ++slopesMissing;
                if (!own.frozenSoilInGroundwater.empty()) own.frozenSoilInGroundwater[r][c] = h[0] - h[nlayers];
                if (heat.on() && mode != 1 && mode != 3)
                    std::fill(own.soilTemperature[r][c], own.soilTemperature[r][c] + nlayers + 1, 0.0);
                if (lowerBoundaryIndex > 0) own.lowerBoundaryTemperature[r][c] = LowerBoundaryTemperature(h[0]);
                if (!own.drainageLevel.empty())
                    own.drainageLevel[r][c] = soil_profile::DrainageLayer(h, n, (*in.drainageDepth)[r][c]);
                if (!own.sbLow.empty()) {
                    const double code = (*in.irrigationCodes)[r][c];
                    const int count = settings.irrigationTable[0].code;
                    if (code >= 1 && code <= count) {
                        const irrigation_entry& e = settings.irrigationTable[static_cast<int>(code)];
                        const int layer = std::min(2, n);
                        double upper = e.psi_wet;
                        if (e.method == 4) {
                            const int lu = static_cast<int>((*in.landuse[1])[r][c]);
                            upper = settings.landuseTable[lu].GetHReduDry();
                        }
                        own.sbLow[r][c] = soil.ThetaFromSuction(layer, e.psi_dry);
                        own.sbHigh[r][c] = soil.ThetaFromSuction(layer, upper);
                    }
                }
            }
        }
    }
    // Process 0 makes the whole grid of the lower boundary's temperature from its whole zone and
    // elevation grids where it holds them and the surface heads came from the elevation (not from
    // a state file), instead of gathering it; it says so in the sum.
    const bool distributed = lowerBoundaryIndex > 0 && mode != 1 && mode != 3 && mpirows::Distributed(*this);
    auto whole = [&](const Matrix* m) { return m != nullptr && m->holds(1) && m->holds(nrows); };
    long long sums[2] = {slopesMissing, distributed && rank == 0 && whole(in.zone) && whole(in.elevation) &&
                                                whole(mpiRegions) ? 1 : 0};
    MPI_Allreduce(MPI_IN_PLACE, sums, 2, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
    slopesMissing = sums[0];
    if (slopesMissing > 0 && rank == 0)
        *log << "WARNING: the grid slope_angle (" << (*gridStore)[FindGrid("slope_angle", true)].fileName
             << ") has no value in " << slopesMissing
             << " basin cells; they get a slope of 0 and no interflow" << "[end-entry]";
    if (lowerBoundaryIndex > 0) {
        // Process 0 writes the whole grid once all rows have met there: the value of each cell a
        // process owns in the soil model's zones, nodata elsewhere.
        Matrix all = sums[1] != 0 ? Matrix() : MPIGatherGridCopy(lowerBoundaryIndex);
        if (sums[1] != 0 && rank == 0) {
            all = UnsetMatrix(1, nrows, 1, ncols, nrows);  // every cell is set below
            // The temperature of LowerBoundaryTemperature, its constants in locals and the rows in
            // pointers: a store into the grid could otherwise change them as far as the compiler
            // knows, and every cell would read them again.
            const double lapse = heat[SoilHeatConfig::LapseRate], base = heat[SoilHeatConfig::LowBoundBase];
            const double none = nodata;
            for (int r = 1; r <= nrows; ++r) {
                const double* const owner = (*mpiRegions)[r];
                const double* const zone = (*in.zone)[r];
                const double* const z = (*in.elevation)[r];
                double* const to = all[r];
                for (int c = 1; c <= ncols; ++c) {
                    const double t = lapse * z[c] + base;
                    to[c] = owner[c] != none && zone[c] != none ? t : none;
                }
            }
        }
        const Matrix& written = all.empty() ? own.lowerBoundaryTemperature : all;
        // Every process formats a share of the text file's rows.
        if (textOutput) FormatTextRowsTogether({rank == 0 ? &written : nullptr});
        if (rank == 0) WriteGrid("T_Lower_Boundary_Condition", written, textOutput, doublePrecision);
        DropFormattedTextRows();
    }
}
