// Glacier and permafrost set-up of the snow model: the section "[ice_firn]", the checks of the
// glacier grids, the glacier statistics, the glacier table of the subbasins shared by every
// process, the glacier records of the dynamic methods and the section "[permafrost]".
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <mpi.h>

#include "kernel/controlfile.hpp"
#include "surface/snowmod.hpp"

namespace {

bool KnownGlacierMethod(int m) { return m == 1 || m == 2 || m == 11 || m == 12 || m == 13; }

}  // namespace

void schneemodellklasse::CloseControlFile() {
    std::FILE* raw = controlFile.release();
    if (raw != nullptr && std::fclose(raw) != 0) {
        *log << "FATAL: cannot close " << controlFileName << "[end-entry]";
        throw ModelError(11);
    }
}

// Agrees on a failure found on process 0 only, so that every process stops together.
static void AgreeOnCode(int& code) { MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD); }

void schneemodellklasse::ReadGlacierSection() {
    // Read only where glaciers exist, the section is no stray one in a control file without them.
    NoteSectionSought("[ice_firn]");
    if (FindGrid("ice_firn") <= 0 && FindGrid("GlacierizedCells") <= 0) return;
    const std::string section = "[ice_firn]";
    controlFile = OpenFile(controlFileName, "r");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
    SeekSection(section, true);
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &glacierMethod, "Glacier-Method for " + section);
    if (!KnownGlacierMethod(glacierMethod)) {
        *log << "FATAL: \n-----------Fatal Error:----------\nMethod for glacier melt must be 1(resp 11 for dynamic "
                "model; t-index)\n or 2 (resp. 12 for dynamic model; t-index with correction by radiation) or 13 "
                "(dynamic glaciers with T-Index for ice and firn and the melt method used for snow as in the snow "
                "model)"
             << "[end-entry]";
        glacierMethod = 0;
        CloseControlFile();
        throw ModelError(80);
    }
    debris = Optional("debris_on_glaciers");
    const bool dynamic = glacier::IsDynamic(glacierMethod);
    if (!dynamic) {
        fractionIndex = GetGridIndex("ice_firn");
    } else {
        wholeGrid = true;
        if (rank == 0) {
            workFirstRow = 1;
            workLastRow = nrows;
        }
        fractionIndex = GetGridIndex("GlacierizedCells");
        codesIndex = GetGridIndex("GlacierCodes");
        glacierCodes = (*gridStore)[codesIndex].grid;
    }
    glacierFraction = (*gridStore)[fractionIndex].grid;
    // Whole copies on process 0 for the table, the checks and the glacier records.
    soilZoneWhole = MPIGatherGridCopy(soilZones.gridIndex);
    fractionWhole = MPIGatherGridCopy(fractionIndex);
    if (dynamic) {
        codesWhole = MPIGatherGridCopy(codesIndex);
        CheckGlacierGrids();
    }

    Qice_slr.assign(static_cast<std::size_t>(soilZones.zoneCount) + 1, 0.0);
    Qfirn_slr = Qice_slr;
    Qsnow_slr = Qice_slr;
    iceInput.assign(static_cast<std::size_t>(soilZones.zoneCount) + 1, zoneFZT{});
    firnInput = iceInput;
    snowInput = iceInput;

    ReadBoundedValue(f, "%lf", &DDFice, "DDFice  for " + section, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &DDFfirn, "DDFfirn for " + section, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &DDFsnow, "DDFsnow for " + section, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &MF, "MF  for " + section, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &Aice_min, "Aice_min for " + section, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &Aice_max, "Aice_max for " + section, bound::AtLeast(Aice_min));
    ReadBoundedValue(f, "%lf", &Asnow_min, "Asnow_min for " + section, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &Asnow_max, "Asnow_max for " + section, bound::AtLeast(Asnow_min));
    ReadBoundedValue(f, "%lf", &kice_els, "kice_els for " + section, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &kfirn_els, "kfirn_els " + section, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &ksnow_els, "ksnow_els for " + section, bound::NonNegative);
    double q0 = 0;
    ReadValue(f, "%lf", &q0, "initial Qice_els for " + section);
    for (std::size_t i = 1; i < Qice_slr.size(); ++i) Qice_slr[i] = q0;
    ReadValue(f, "%lf", &q0, "initial Qfirn_els " + section);
    for (std::size_t i = 1; i < Qfirn_slr.size(); ++i) Qfirn_slr[i] = q0;
    ReadValue(f, "%lf", &q0, "initial Qsnow_els for " + section);
    for (std::size_t i = 1; i < Qsnow_slr.size(); ++i) Qsnow_slr[i] = q0;
    ReadValue(f, "%s", &meltFirn.fileName, "name of the firn grid for " + section);
    ReadValue(f, "%d", &meltFirn.writeCode, "write code for firn grid for " + section);
    ReadFileNameAndCode(f, &statFirnMelt.fileName, &statFirnMelt.code,
                        "name of the qfirn-statistic-file for " + section);
    ReadValue(f, "%s", &meltIce.fileName, "name of the ice grid for " + section);
    ReadValue(f, "%d", &meltIce.writeCode, "write code for ice grid for " + section);
    ReadFileNameAndCode(f, &statIceMelt.fileName, &statIceMelt.code, "name of the qice-statistic-file for " + section);
    ReadFileNameAndCode(f, &statGlacierTotal.fileName, &statGlacierTotal.code,
                        "name of the qglac-statistic-file for " + section);
    if (!dynamic) {
        // The snow-on-ice statistics take the total's code and its file name with "_qsgl_"
        // before the extension.
        const std::string& name = statGlacierTotal.fileName;
        const std::size_t dot = name.rfind('.');
        if (dot == std::string::npos) {
            *log << "FATAL: the name of the qglac-statistic-file for " << section << " (" << name
                 << ") has no '.': the file name of the snow melt from ice areas is made from its extension"
                 << "[end-entry]";
            CloseControlFile();
            throw ModelError(103);
        }
        statSnowOnIce.fileName = name.substr(0, dot) + "_qsgl_" + name.substr(dot);
        statSnowOnIce.code = statGlacierTotal.code;
    } else {
        ReadGlacierDynamicValues(section);
    }
    CloseControlFile();
    CreateGlacierStatistics();
    if (glacier::UsesRadiation(glacierMethod))
        glacierRadiation = (*gridStore)[GetGridIndexOf3("global_radiation", "Ieff_max", "Ieff_max")].grid;
    BuildGlacierTable();
    BroadcastGlacierTable();
    if (dynamic) {
        CreateRankedStatistic(statFirnWE, "WE_in_firn_[mm_per_subbasin]", 4);
        CreateRankedStatistic(statBalanceSubbasin, "glacier_mass_balance_[mm_per_subbasin]", 5);
        CreateRankedStatistic(statBalanceGlacier, "glacier_mass_balance_[mm_GlacierPartOfSubbasin]", 5);
    }
}

void schneemodellklasse::ReadGlacierDynamicValues(const std::string& section) {
    std::FILE* f = ControlStream();
    ReadFileNameAndCode(f, &statSnowOnIce.fileName, &statSnowOnIce.code,
                        "name of the qSnowOnGlac-statistic-file for " + section);
    ReadValue(f, "%d", &readGlacierGrids, "read grid parameter for glacier model " + section);
    auto fatal = [&](const std::string& text) {
        *log << "FATAL: \n------------- Fatal Error: -------------\n" << text << "[end-entry]";
        CloseControlFile();
        throw ModelError(80);
    };
    if (std::fscanf(f, "%d%lf%lf", &firn_levels, &firn_base, &deltafirnper100m) < 3)
        fatal(std::string("Could not read the three parameters firn_levels (int),\n") +
              "firn_base (double), and deltafirnper100m (double)  \n" + "for dynamic glacier modelling ");
    ReadLineRest(f);
    if (std::fscanf(f, "%d%d", &GMBEvalDay, &GMBEvalMonth) < 2)
        fatal(std::string("Could not read the two parameters GMBEvalDay (int 1...31)\n") +
              "and GMBEvalMonth (int 1..12) for dynamic glacier modelling ");
    ReadLineRest(f);
    if (std::fscanf(f, "%lf%lf%d%d", &VAscaling, &VAexponent, &numElevBands, &extraWeightFactorBand0) < 4)
        fatal(std::string("Could not read the four parameters VAscaling, VAexponent, numElevBands and "
                          "extraWeightFactorBand0\n") +
              "for Volume-Area-Relation in dynamic glacier modelling ");
    ReadLineRest(f);
    // The balance divides by these: a level count, band count, scaling or exponent that is not
    // positive is refused here.
    if (firn_levels < 1) fatal("firn_levels must be at least 1. Here: " + std::to_string(firn_levels));
    if (numElevBands < 1) fatal("numElevBands must be at least 1. Here: " + std::to_string(numElevBands));
    if (!(VAscaling > 0)) fatal("VAscaling must be above 0. Here: " + StrFormat("%g", VAscaling));
    if (!(VAexponent > 0)) fatal("VAexponent must be above 0. Here: " + StrFormat("%g", VAexponent));
    // The yearly step runs on this day: a date that no year has would never run it.
    RequireInRange(GMBEvalMonth, "GMBEvalMonth for " + section, bound::Within(1, 12));
    const int longest = GMBEvalMonth == 2 ? 29 : daysPerMonth[static_cast<std::size_t>(GMBEvalMonth - 1)];
    RequireInRange(GMBEvalDay, StrFormat("GMBEvalDay for %s (month %d)", section.c_str(), GMBEvalMonth),
                   bound::Within(1, longest));

    ReadValue(f, "%s", &firn.fileName, "name of the firn stack for " + section);
    ReadValue(f, "%d", &firn.writeCode, "write code for the firn stack in " + section);
    ReadFileNameAndCode(f, &statFirnWE.fileName, &statFirnWE.code, "name of the firn-statistic-file for " + section);
    ReadValue(f, "%s", &massBalance.fileName, "name of the glacier mass balance grid for " + section);
    ReadValue(f, "%d", &massBalance.writeCode, "write code for glacier mass balance grid in " + section);
    ReadValue(f, "%s", &oldMassBalance.fileName, "name of the glacier mass balance grid (old reference) for " + section);
    ReadValue(f, "%d", &oldMassBalance.writeCode,
              "write code for glacier mass balance grid (old reference) in " + section);
    ReadFileNameAndCode(f, &statBalanceSubbasin.fileName, &statBalanceSubbasin.code,
                        "name of the glacier mass balance statistics file (1) for " + section);
    ReadFileNameAndCode(f, &statBalanceGlacier.fileName, &statBalanceGlacier.code,
                        "name of the glacier mass balance statistics file (2) for " + section);
    ReadValue(f, "%lf", &debrisScale,
              "global debris scaling factor (requirede when using a debris_on_glaciers grid) " + section);
    ReadFileNameAndCode(f, &statSnowWithoutGlaciers.fileName, &statSnowWithoutGlaciers.code,
                        "name of the sow statistics for snow on glacier for " + section);
    const std::string part = " (solid fraction of WE, glacierized fraction of cell) ";
    ReadValue(f, "%s", &solidG.fileName, "name of the snow storage grid" + part + "for " + section);
    ReadValue(f, "%d", &solidG.writeCode, "write code for snow storage grid" + part + "in " + section);
    const std::string liquidPart = " (liquid fraction of WE, glacierized fraction of cell) ";
    ReadValue(f, "%s", &liquidG.fileName, "name of the snow storage grid" + liquidPart + "for " + section);
    ReadValue(f, "%d", &liquidG.writeCode, "write code for snow storage grid" + liquidPart + "in " + section);
    ReadValue(f, "%s", &totalG.fileName,
              "name of the snow storage grid (total on glacierized fraction of cell) for " + section);
    ReadValue(f, "%d", &totalG.writeCode,
              "write code for snow storage grid (total on glacierized fraction of cell) in " + section);
    ReadValue(f, "%s", &meltG.fileName,
              "name of the snow snow melt grid (incl. rain, total on glacierized fraction of cell) for " + section);
    ReadValue(f, "%d", &meltG.writeCode,
              "write code for snow melt grid (incl. rain, total on glacierized fraction of cell) in " + section);
    ReadValue(f, "%s", &surfTempG.fileName,
              "name of the snow surface temperature grid (incl. rain, total on glacierized fraction of cell) for " +
                  section);
    ReadValue(f, "%d", &surfTempG.writeCode,
              "write code for snow surface temperature  (incl. rain, total on glacierized fraction of cell) in " +
                  section);
    ReadValue(f, "%s", &snowTempG.fileName,
              "name of the snow temperature grid (incl. rain, total on glacierized fraction of cell) for " + section);
    ReadValue(f, "%d", &snowTempG.writeCode,
              "write code for snow temperature grid (incl. rain, total on glacierized fraction of cell) in " +
                  section);
    ReadValue(f, "%s", &evaporationG.fileName,
              "name of the snow evaporation grid (incl. rain, total on glacierized fraction of cell) for " + section);
    ReadValue(f, "%d", &evaporationG.writeCode,
              "write code for snow evaporation grid (incl. rain, total on glacierized fraction of cell) in " +
                  section);
}

void schneemodellklasse::CheckGlacierGrids() {
    int code = 0;
    if (rank == 0) {
        const Matrix& frac = FractionView();
        const Matrix& codes = CodesView();
        const Matrix& zones = SoilZones();
        bool anyIce = false, anyCode = false;
        if (workLastRow < workFirstRow) {
            code = 80;
        }
        for (int r = 1; r <= nrows && code == 0; ++r) {
            if (!frac.holds(r) || !codes.holds(r)) continue;
            for (int c = 1; c <= ncols && code == 0; ++c) {
                if (frac[r][c] > 0 && codes[r][c] == nodata) {
                    *log << "FATAL: \n-----------Fatal Error:----------\nThere is a cell in the GlacierizedCells-grid "
                            "having no valid value in \n"
                         << "GlacierCodes" << " (must be an integer ID for each separate glacier) at row " << r
                         << " and col " << c << "[end-entry]";
                    code = 80;
                    break;
                }
                if (frac[r][c] > 0) anyIce = true;
                if (zones.holds(r) && zones[r][c] != nodata && codes[r][c] > 0) anyCode = true;
            }
        }
        if (code == 0 && !anyIce) code = 81;
        if (code == 81 || (code == 80 && workLastRow < workFirstRow)) {
            *log << "FATAL: \n-----------Fatal Error:----------\nThere are no glacierized cells in "
                    "GlacierizedCells-grid (all nodata or equal to 0)!"
                 << "[end-entry]";
            code = 80;
        } else if (code == 0 && !anyCode) {
            *log << "FATAL: \n----------- Fatal Error: ----------\nThe " << "GlacierCodes" << " grid ("
                 << (*gridStore)[codesIndex].fileName << ")contains nodata values only. \n"
                 << "Dynamic glacier modelling will not be possible without \n"
                 << "distinct glacier codes for each glacier" << "[end-entry]";
            code = 80;
        }
    }
    AgreeOnCode(code);
    if (code != 0) {
        CloseControlFile();
        throw ModelError(code);
    }
}

void schneemodellklasse::CreateRankedStatistic(StatOutput& out, const char* title, int decimals) {
    const int n = soilZones.zoneCount;
    out.records.assign(static_cast<std::size_t>(n) + 1, zoneFZT{});
    for (std::size_t z = 0; z < out.records.size() && z < soilZones.records.size(); ++z) {
        const zoneFZT& src = soilZones.records[z];
        out.records[z] = zoneFZT{0, 0, src.zonenwert, src.rel, src.RelCellSum};
    }
    int error = 0;
    out.stat = std::make_unique<zonalstatistic>(&error, log, relCellArea, nrows, ncols, out.records.data(), n,
                                                out.code, decimals, out.fileName, outputPath,
                                                settings.SelectedZoneCount(), settings.SelectedZones());
    if (error != 0) throw ModelError(error);
    out.stat->WriteHeader(title, moduleName, settings.outputCodes, settings.outputCodeCount);
}

void schneemodellklasse::CreateGlacierStatistics() {
    CreateRankedStatistic(statFirnMelt, "glacier_melt_from_firn_areas__", 5);
    CreateRankedStatistic(statIceMelt, "glacier_melt_from_ice_areas__", 5);
    CreateRankedStatistic(statSnowOnIce, "snow_melt_from_ice_areas__", 5);
    CreateRankedStatistic(statGlacierTotal, "glacier_melt_total(firn+ice)__", 5);
    // Methods 1 and 2 never name this output: it stays inactive.
    CreateStatistic(statSnowWithoutGlaciers, "snow_storage_in_mm_WITHOUT_GLACIERS_", 3);
}

const Matrix& schneemodellklasse::SoilZones() const {
    if (!soilZoneWhole.empty()) return soilZoneWhole;
    return *(*gridStore)[soilZones.gridIndex].grid;
}

Matrix& schneemodellklasse::FractionView() { return fractionWhole.empty() ? *glacierFraction : fractionWhole; }

Matrix& schneemodellklasse::CodesView() { return codesWhole.empty() ? *glacierCodes : codesWhole; }

int schneemodellklasse::RankedZone(int r, int c) const {
    const Matrix& zones = *(*gridStore)[soilZones.gridIndex].grid;
    if (!zones.holds(r)) return -1;
    const double v = zones[r][c];
    if (v == nodata) return -1;
    const long code = static_cast<long>(std::floor(v + 0.5));
    if (code < 0 || code >= static_cast<long>(soilZones.index.size())) return -1;
    return soilZones.index[static_cast<std::size_t>(code)];
}

bool schneemodellklasse::InsideSoilZones(int r, int c) const {
    const Matrix& zones = SoilZones();
    return zones.holds(r) && zones[r][c] != nodata;
}

void schneemodellklasse::BuildGlacierTable() {
    glacierTable.assign(static_cast<std::size_t>(soilZones.zoneCount) + 1, GlacierSubbasinRecord{});
    if (rank != 0) return;
    const Matrix& zones = SoilZones();
    const Matrix& frac = FractionView();
    for (int r = 1; r <= nrows; ++r) {
        if (!zones.holds(r) || !frac.holds(r)) continue;
        for (int c = 1; c <= ncols; ++c) {
            if (!(zones[r][c] > nodata)) continue;
            const long code = static_cast<long>(std::floor(zones[r][c] + 0.5));
            if (code < 0 || code >= static_cast<long>(soilZones.index.size())) continue;
            GlacierSubbasinRecord& rec = glacierTable[static_cast<std::size_t>(soilZones.index[static_cast<std::size_t>(code)])];
            double g = frac[r][c];
            if (g > 1) {
                g = 1;
                rec.hasGlacier = true;
            } else if (g < 0) {
                g = 0;
            } else if (g > 0) {
                rec.hasGlacier = true;
            }
            rec.glacierCells += g;
            rec.freeCells += 1 - g;
        }
    }
}

void schneemodellklasse::BroadcastGlacierTable() {
    MPI_Barrier(MPI_COMM_WORLD);
    int lengths[3] = {1, 1, 1};
    MPI_Aint offsets[3] = {offsetof(GlacierSubbasinRecord, hasGlacier), offsetof(GlacierSubbasinRecord, glacierCells),
                           offsetof(GlacierSubbasinRecord, freeCells)};
    MPI_Datatype types[3] = {MPI_CXX_BOOL, MPI_DOUBLE, MPI_DOUBLE};
    MPI_Datatype record, resized;
    MPI_Type_create_struct(3, lengths, offsets, types, &record);
    MPI_Type_create_resized(record, 0, sizeof(GlacierSubbasinRecord), &resized);
    MPI_Type_commit(&resized);
    MPI_Bcast(glacierTable.data(), static_cast<int>(glacierTable.size()), resized, 0, MPI_COMM_WORLD);
    MPI_Type_free(&resized);
    MPI_Type_free(&record);
}

// ------------------------------------------------------------------ permafrost

void schneemodellklasse::SetUpPermafrost() {
    if (FindGrid("ThawCoeffPermaFrost") <= 0 || FindGrid("PermafrostThawDepth") <= 0) return;
    auto linkOrCreate = [&](OwnGrid& own, const char* name) -> Matrix* {
        const int i = FindGrid(name);
        if (i > 0) return (*gridStore)[i].grid;
        own.fileName = "";
        own.writeCode = 0;
        CreateZeroGrid(own, name, false);
        return &own.data;
    };
    snowFreeDays = linkOrCreate(snowFreeOwn, "SnowFreeDaysGrid");
    snowCoverDays = linkOrCreate(snowCoverOwn, "SnowCoverDaysGrid");
    thawCoefficient = Linked("ThawCoeffPermaFrost");
    thawDepth = (*gridStore)[GetGridIndex("PermafrostThawDepth")].grid;
    rootDepth1 = (*gridStore)[GetGridIndex(StrFormat("%s%d", "root_depth", 1))].grid;
    ReadPermafrostSection();
    permafrost = true;
}

void schneemodellklasse::ReadPermafrostSection() {
    const std::string section = "[permafrost]";
    controlFile = OpenFile(controlFileName, "r");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
    SeekSection(section, true);
    std::FILE* f = ControlStream();
    int m = 0;
    ReadValue(f, "%d", &m, "Permafrost-Method for " + section);
    if (m != 1) {
        *log << "FATAL: method for permafrost melt must be 1 (alpha*sqrt(time))" << "[end-entry]";
        CloseControlFile();
        throw ModelError(80);
    }
    ReadBoundedValue(f, "%lf", &minSnowAgeRefreeze, "Min_Snow_Age_Refreeze for " + section, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &maxSweSnowFree, "Max_SWE_SnowFree for " + section, bound::NonNegative);
    ReadFileNameAndCode(f, &statThaw.fileName, &statThaw.code, "name of thaw depth statistics file " + section);
    ReadBoundedValue(f, "%lf", &reducedKsat, "reduced k_sat (in m/s)" + section, bound::Positive);
    CloseControlFile();
    CreateStatistic(statThaw, "thaw_depth_in_m_", 4);
}
