// The soil model's control-file values: "[unsatzon_model]" with its per-subbasin rows,
// "[heat_transfer]", "[unsatzon_tuning]" and the permafrost conductivity of "[permafrost]".
#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "soil/unsatzon.hpp"
#include "tables/soil_entry.hpp"

const std::array<const char*, SoilHeatConfig::kConstantCount> SoilHeatConfig::kKeys = {
    " dTModLowBoundBase ", " dTModLapseRate ",  " dTModCDrySoil ",      " dTModRhoDrySoil ",
    " dTModLamDrySoil ",   " dTModKmin ",       " dTModLamWat ",        " dTModLamIce ",
    " dTModCWater ",       " dTModCIce20 ",     " dTModCIce0 ",         " dTModLatHeat ",
    " dTModRhoWater ",     " dTModFactor ",     " dTModSEForStat ",     " dTModShortestStep ",
    " dTModLongestStep ",  " dTModNFactorFreezing ", " dTModNFactorThawing "};
const std::array<double, SoilHeatConfig::kConstantCount> SoilHeatConfig::kDefaults = {
    12.0, -0.007, 800.0, 1500.0, 0.58, 1e-10, 0.5562, 2.33, 4187.0, 1940.0,
    2090.0, 334000.0, 1000.0, 1.22, 0.5, 60.0, 1800.0, 1.0, 1.0};

namespace {
constexpr std::array<const char*, SoilModelConfig::kStatCount> kStatPrompts = {
    "name of the QDRAINstatfiles in ", "name of the GWSTANDstatfiles in ", "name of the GWNstatfiles in ",
    "name of the SB_1_statfiles in ",  "name of the SB_2_statfiles in ",   "name of the ROOTstatfiles in ",
    "name of the INFEXstatfiles in ",  "name of the PONDstatfiles in ",    "name of the QDstatfiles in ",
    "name of the QIstatfiles in ",     "name of the QBstatfiles in ",      "name of the Qgstatfiles in ",
    "name of the GWINstatfiles in ",   "name of the GWEXstatfiles in ",    "name of the MACROstatfiles in ",
    "name of the INFILTstatfiles in "};

struct OutputPrompt {
    const char* name;
    const char* code;
};
constexpr std::array<OutputPrompt, SoilModelConfig::kOutputCount> kOutputPrompts = {{
    {"name of the SB05-Grids in ", "Writegrid SB05-Grid in   "},
    {"name of the SB1_-Grids in ", "Writegrid SB1_-Grid in   "},
    {"name of the WURZ-Grids in ", "Writegrid WURZ-Grid in   "},
    {"name of the Theta_stacks in ", "Writecode Theta in "},
    {"name of the hh-stacks in ", "Writecode hh in "},
    {"name of the hgeo-stacks in ", "Writecode hgeo  in "},
    {"name of the q_unten-stacks in ", "Writecode qunten in "},
    {"name of the GWSTAND-Grids in ", "Writegrid GWSTAND-Grid in   "},
    {"name of the GWtheta-Grids in ", "Writegrid GWtheta-Grid in   "},
    {"name of the GWN-Grids in ", "Writegrid GWN-Grid in   "},
    {"name of the GWLEVEL-Grids in ", "Writegrid GWLEVEL-Grid in   "},
    {"name of the QDRAIN-Grids in ", "Writegrid QDRAIN-Grid in   "},
    {"name of the saturation grid in ", "Writegrid Satt-Merker in "},
    {"name of the infiltration excess grid in ", "Writegrid INFEX in "},
    {"name of the QD-Grids in ", "Writegrid QD-Grid in   "},
    {"name of the QI-Grids in ", "Writegrid QI-Grid in   "},
    {"name of the DELTAGW-Grids in ", "Writegrid DELTAGW-Grid in   "},
    {"name of the GWIN-Grids in ", "Writegrid GWIN-Grid in   "},
    {"name of the GWEX-Grids in ", "Writegrid GWEX-Grid in   "},
    {"name of the POND-Grids in ", "Writegrid POND-Grid in   "},
    {"name of the GWN-Uprise-Grids in ", "Writegrid GWN-Uprise-Grid in   "},
    {"name of the GWN-PERCOL-Grids in ", "Writegrid GWN-PERCOL-Grid in   "},
    {"name of MACROPORE-Infiltration-Grids for ", "Writegrid MACROPORE-Infiltration-Grid in   "},
    {"name of the IRRIG-Grids in ", "Writegrid IRRIG-Grid in   "},
}};

constexpr std::array<const char*, SoilModelConfig::kPointFileCount> kPointPrompts = {
    "Name of the Qbottom-file in ",      "Name of the Theta-file in ",     "Name of the hhyd-file in ",
    "Name of the Otherdata file in ",    "Name of the etr-detail file in ", "Name of the interflow file in "};

constexpr const char* kGroupHint =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first AND the last "
    "subbasin code have\nto be specified with all their parameters like this:\n(if the smallest code is 1 and the "
    "largest code is 8)\n1\t8\n3\t3\n8\t8\n14\t14\n0.4\t0.4\n0.01\t0.01\n0.1\t0.1\n..\t..\nThen, to all "
    "subcatchments with zone-codes ranging from 1 to 7 the \nparameters of subbasin 1 will be assigned!";

constexpr const char* kErrorHead = "FATAL: \n-----------------error------------\n";
}  // namespace

namespace {
// A file name and an output code on one line ("%s%d"); the rest of the line is comment.
void ReadNameAndCode(modelobject& m, const std::string& prompt, SoilModelConfig::NamedCode& target) {
    char name[modelobject::kLineLength];
    std::FILE* f = m.ControlStream();
    if (f == nullptr || std::fscanf(f, "%1199s%d", name, &target.code) != 2)
        m.ControlFileError(prompt + m.ModuleName(), m.ModuleName());
    target.name = name;
    ReadLineRest(f);
}
}  // namespace

void unsatzonmodellklasse::ReadSection() {
    std::FILE* f = ControlStream();
    const std::string& mod = moduleName;
    SoilModelConfig& c = config;
    // The coupling loop splits the step into the sub-steps of
    // "[soil_surface_groundwater_substeps]": each must last at least one second.
    RequireBound(*log, "control file", "[soil_surface_groundwater_substeps]",
                 StrFormat("sub step counter (for a time step of %g minutes)", timeInterval), mod,
                 static_cast<double>(numSubSteps), bound::Within(1, std::max(1.0, timeInterval * 60.0)));
    ReadValue(f, "%d", &c.method, " methode of " + mod);
    ReadValue(f, "%d", &c.surface_interaction, " surface water interaction parameter of " + mod);
    if (c.surface_interaction > 1 && size > 1) {
        *log << "FATAL: in modul " << mod << ":\n" << "parameter for surface_interaction (actual value: "
             << c.surface_interaction
             << ") can only be 0 or 1 for MPI version when running more than one instance!" << "[end-entry]";
        throw ModelError(9);
    }
    ReadValue(f, "%d", &c.pond, " pond parameter of " + mod);
    ReadValue(f, "%d", &c.drainage, " drainage parameter of " + mod);
    ReadValue(f, "%d", &c.clay, " clay parameter " + mod);
    ReadValue(f, "%lf", &c.ksat_clay, " k_sat. for clay  " + mod);
    ReadValue(f, "%lf", &c.ini_gw_level, " ini_gw_level  " + mod);
    for (int i = 0; i < SoilModelConfig::kStatCount; ++i)
        ReadNameAndCode(*this, kStatPrompts[static_cast<std::size_t>(i)], c.stats[static_cast<std::size_t>(i)]);
    for (int i = 0; i < SoilModelConfig::kOutputCount; ++i) {
        auto& out = c.outputs[static_cast<std::size_t>(i)];
        const OutputPrompt& p = kOutputPrompts[static_cast<std::size_t>(i)];
        ReadValue(f, "%s", &out.name, p.name + mod);
        ReadValue(f, "%d", &out.code, p.code + mod);
    }
    ReadTwoValues(f, "%d%d", &c.control_row, &c.control_col, "control_row/column for control point in " + mod);
    for (int i = 0; i < SoilModelConfig::kPointFileCount; ++i) {
        std::string& name = c.pointFiles[static_cast<std::size_t>(i)];
        ReadValue(f, "%s", &name, kPointPrompts[static_cast<std::size_t>(i)] + mod);
        name = ExpandPath(outputPath, name);
    }
    CheckSection();
}

void unsatzonmodellklasse::CheckSection() {
    const SoilModelConfig& c = config;
    auto indexError = [&](const char* what, int value, int limit, int code) {
        *log << "FATAL: in modul " << moduleName << ":\n" << what << value << ") for output-cell must be between "
             << 1 << " and " << limit << " (Input as row col) " << "[end-entry]";
        throw ModelError(code);
    };
    if (c.control_row < 0 || c.control_row > nrows) indexError("row index (", c.control_row, nrows, 8);
    if (c.control_col < 0 || c.control_col > ncols) indexError("column index (", c.control_col, ncols, 9);
    if (c.method != 2 && c.method != 3) {
        *log << "FATAL: in modul " << moduleName << ":\n" << "invalid method (" << c.method << ")\n"
             << "possible values are:\n 2 for Finite Differences with fixed timestep\n 3 for Finite Differences "
                "with dynamically calculated timestep\n"
             << "[end-entry]";
        throw ModelError(91);
    }
}

void unsatzonmodellklasse::ReadSubbasinRows() {
    std::FILE* f = ControlStream();
    const int n = soilZones.zoneCount;
    const int largest = soilZones.maxCode;
    SubbasinParameters& p = subbasins;
    for (SubbasinValues* v : {&p.subbasin_codes, &p.kelsqd, &p.kelsqi, &p.flussdichte, &p.kelsqlat, &p.Q0,
                              &p.SR_Anteil})
        v->assign(static_cast<std::size_t>(n) + 1, 0.0);

    // Rows are read one line at a time, so that a missing value is reported in its own row: the
    // entry names the value that is missing (or the row that is too long), then shows the row.
    std::vector<double> numbers;
    std::string line;
    auto rowError = [&](const std::string& detail, const std::string& what) {
        *log << kErrorHead << what << " for " << moduleName << kGroupHint << "\n" << detail << "[end-entry]";
        throw ModelError(10);
    };
    // Code row: codes up to the largest; the positions in between are marked as not listed.
    std::vector<int> listed(static_cast<std::size_t>(n) + 1, 0);
    if (!ReadNumberRow(f, &numbers, &line)) rowError("the subbasin code row is missing", "error reading code[0]");
    int code = 0, previous = 0, first = 0;
    std::size_t used = 0;
    while (code < largest) {
        if (used == numbers.size())
            rowError(StrFormat("the code row \"%s\" ends before the largest subbasin code %d", line.c_str(), largest),
                     StrFormat("error reading code[%d]", code));
        const double value = numbers[used++];
        code = value >= 1 && value <= largest && value == std::floor(value) ? static_cast<int>(value) : 0;
        const int pos = code >= 1 ? soilZones.index[static_cast<std::size_t>(code)] : 0;
        if (pos == 0) {
            *log << kErrorHead << "error! there is no code " << value << " (from " << controlFileName
                 << ") for a subbasin in " << moduleName << kGroupHint << "[end-entry]";
            throw ModelError(10);
        }
        if (first == 0) first = pos;
        for (int k = previous + 1; k < pos; ++k) listed[static_cast<std::size_t>(k)] = -1;
        listed[static_cast<std::size_t>(pos)] = code;
        previous = std::max(previous, pos);
    }
    if (used < numbers.size())
        rowError(StrFormat("the code row \"%s\" goes on after the largest subbasin code %d", line.c_str(), largest),
                 "error reading the code row");
    // Unlisted positions copy the position before them: the first position must be listed,
    // or it would silently keep zeros.
    if (first != 1) {
        *log << kErrorHead << "error reading code[" << soilZones.records[1].zonenwert << "] for " << moduleName
             << ": the first code of the row must be the smallest subbasin code" << kGroupHint << "[end-entry]";
        throw ModelError(10);
    }
    std::vector<int> listedCodes;
    for (int pos = 1; pos <= n; ++pos)
        if (listed[static_cast<std::size_t>(pos)] > 0) listedCodes.push_back(listed[static_cast<std::size_t>(pos)]);

    struct Row {
        const char* label;
        SubbasinValues* values;
        ValueBound range;
    };
    // Recession constants below 0.001 (kelsqd, kelsqi) or below 0 (kelsqlat) select their
    // defaults below, so only the densities and fractions have bounds of their own; a negative
    // base-flow factor gives the column water from below.
    const Row rows[] = {{"kelsqd[", &p.kelsqd, {}},
                        {"kelsqi[", &p.kelsqi, {}},
                        {"channel network density[", &p.flussdichte, bound::NonNegative},
                        {"kelsqlat[", &p.kelsqlat, {}},
                        {"QB-Red.Faktor[", &p.Q0, {}},
                        {"SnowRunoff_fraction[", &p.SR_Anteil, bound::Fraction}};
    for (const Row& row : rows) {
        SubbasinValues& v = *row.values;
        const std::string label = row.label;
        const bool present = ReadNumberRow(f, &numbers, &line);
        if (!present) line.clear();
        if (numbers.size() < listedCodes.size())
            rowError(StrFormat("the row \"%s\" holds %zu values where the code row lists %zu", line.c_str(),
                               numbers.size(), listedCodes.size()),
                     StrFormat("error reading %s%d]", row.label, listedCodes[numbers.size()]));
        if (numbers.size() > listedCodes.size())
            rowError(StrFormat("the row \"%s\" holds %zu values where the code row lists %zu", line.c_str(),
                               numbers.size(), listedCodes.size()),
                     "error reading the row " + label.substr(0, label.size() - 1));
        std::size_t next = 0;
        for (int pos = 1; pos <= n; ++pos) {
            const std::size_t i = static_cast<std::size_t>(pos);
            if (listed[i] == -1) {
                v[i] = v[i - 1];
                continue;
            }
            v[i] = numbers[next++];
            if (!std::isfinite(v[i]))
                rowError(StrFormat("the row \"%s\" holds a value that is not a finite number", line.c_str()),
                         StrFormat("error reading %s%d]", row.label, listed[i]));
            RequireInRange(v[i], StrFormat("%s%d] (row \"%s\")", row.label, listed[i], line.c_str()), row.range);
        }
    }

    bool zeroRecession = false;
    for (int pos = 1; pos <= n; ++pos) {
        const std::size_t i = static_cast<std::size_t>(pos);
        p.subbasin_codes[i] = soilZones.records[i].zonenwert;
        p.kelsqd[i] = p.kelsqd[i] < 0.001 ? 0.06 : p.kelsqd[i] * 60.0;
        p.kelsqi[i] = p.kelsqi[i] < 0.001 ? 0.06 : p.kelsqi[i] * 60.0;
        // A recession constant of 0 has no reciprocal: such a subbasin gives no base flow at
        // any depth (Q0 0 with a finite exponent) instead of 0 x infinity.
        if (p.kelsqlat[i] == 0.0) {
            zeroRecession = true;
            p.Q0[i] = 0.0;
        } else {
            p.kelsqlat[i] = p.kelsqlat[i] < 0 ? 0.0 : 1.0 / p.kelsqlat[i];
        }
    }
    if (zeroRecession)
        *log << "INFO: a recession constant kelsqlat of 0 in " << moduleName
             << " gives its subbasins no base flow (without the groundwater model)" << "[end-entry]";
}

void unsatzonmodellklasse::ReadStorageSettings() {
    std::FILE* f = ControlStream();
    const std::string& mod = moduleName;
    ReadValue(f, "%d", &config.readgrid, "read control parameter for storage grids for " + mod);
    // The initial-state mode is the run's state-file mode, which the driver hands on to the
    // sub-models that keep state sections; a value outside 0..3 starts cold.
    warmStart = config.readgrid >= 0 && config.readgrid <= 3 ? static_cast<std::uint32_t>(config.readgrid) : 0;
    std::string name;
    ReadValue(f, "%s", &name, "name of the storage content file " + mod);
    config.storageFileName = StrFormat("%s_%d", name.c_str(), rank);
    if (config.method != 3) return;
    ReadValue(f, "%lf", &config.dParameterMinStep, "minimum dynamic time step in secounds " + mod);
    ReadNameAndCode(*this, "name of the SUBSTEPSstatfiles in ", config.substepStat);
    ReadValue(f, "%s", &config.substepGrid.name, "name of SUBSTEPS-Grids for " + mod);
    ReadValue(f, "%d", &config.substepGrid.code, "Writegrid SUBSTEPS-Grid in   " + mod);
}

void unsatzonmodellklasse::CloseControlFile() {
    std::FILE* f = controlFile.release();
    if (f != nullptr && std::fclose(f) != 0) {
        *log << "FATAL: control file \"" << controlFileName << "\" cannot be closed" << "[end-entry]";
        throw ModelError(11);
    }
}

void unsatzonmodellklasse::ReopenControlFile() {
    controlFile = OpenFile(controlFileName, "rt");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
}

void unsatzonmodellklasse::ReadHeatTransfer() {
    if (!SeekSection("[heat_transfer]", false)) return;
    std::FILE* f = ControlStream();
    const std::string& mod = moduleName;
    ReadValue(f, "%d", &heat.control, "heat transfer control parameter for " + mod);
    if (heat.control <= 0) return;
    ReadValue(f, "%d", &heat.method, " method of heat transfer modelling " + mod);
    int discarded = 0;
    ReadValue(f, "%d", &discarded, " method of heat transfer modelling (second value) " + mod);
    ReadValue(f, "%d", &discarded, " method of heat transfer modelling (third value) " + mod);
    for (int k = 0; k < SoilHeatConfig::kConstantCount; ++k) {
        // Heat capacities, densities, conductivities and the latent heat are physical amounts
        // above 0; the n-factors scale a temperature and are not negative.
        ValueBound range;
        if (k >= SoilHeatConfig::CDrySoil && k <= SoilHeatConfig::RhoWater) range = bound::Positive;
        if (k >= SoilHeatConfig::NFactorFreezing) range = bound::NonNegative;
        ReadBoundedValue(f, "%lf", &heat.constants[static_cast<std::size_t>(k)],
                         SoilHeatConfig::kKeys[static_cast<std::size_t>(k)] + mod, range);
    }
    // The sub-step count grows until a step is no longer than the shortest or longest step:
    // a step length of 0 or below would never end it.
    for (SoilHeatConfig::Constant k : {SoilHeatConfig::ShortestStep, SoilHeatConfig::LongestStep}) {
        if (heat[k] > 0) continue;
        *log << "FATAL: error in control file, " << SoilHeatConfig::kKeys[static_cast<std::size_t>(k)] << mod << " ("
             << heat[k] << "): the heat transfer sub-step length must be greater than 0 seconds" << "[end-entry]";
        throw ModelError(17);
    }
    ReadValue(f, "%s", &heat.temperatureFile, "Name of the temperature-file in " + mod);
    heat.temperatureFile = ExpandPath(outputPath, heat.temperatureFile);
    ReadNameAndCode(*this, "name of the temperstatfiles in ", heat.temperStat);
    ReadValue(f, "%s", &heat.temperStack.name, "name of the temper-stacks in " + mod);
    ReadValue(f, "%d", &heat.temperStack.code, "Writecode temper in " + mod);
    ReadValue(f, "%s", &heat.thawDepthGrid.name, "name of the thawdepth-grid (heat-tr.mod.) in " + mod);
    ReadValue(f, "%d", &heat.thawDepthGrid.code, "Writecode thawdepth (heat-tr.mod.) in " + mod);
}

void unsatzonmodellklasse::ReadTuning() {
    if (!SeekSection("[unsatzon_tuning]", false)) return;
    std::FILE* f = ControlStream();
    // Keys up to the first empty line (after leading blanks and tabs are removed).
    for (;;) {
        std::string line = ReadLineRest(f);
        if (line.empty()) break;
        const std::size_t start = line.find_first_not_of(" \t");
        line = start == std::string::npos ? std::string() : line.substr(start);
        if (line.empty() || line[0] == '\n' || line[0] == '\r') break;
        double* target = nullptr;
        if (line.find("max_error") != std::string::npos)
            target = &max_error;
        else if (line.find("max_iterations") != std::string::npos)
            target = &max_iterations;
        const std::size_t eq = line.find('=');
        if (target == nullptr || eq == std::string::npos) continue;
        char* end = nullptr;
        const double v = std::strtod(line.c_str() + eq + 1, &end);
        if (end == line.c_str() + eq + 1 || !std::isfinite(v)) ControlFileError(line, moduleName);
        // An error bound of 0 iterates up to the limit; the count is taken as an int.
        if (target == &max_error)
            RequireInRange(v, "max_error", bound::NonNegative);
        else
            RequireInRange(v, "max_iterations", bound::Within(1, 2147483647.0));
        *target = v;
    }
}

void unsatzonmodellklasse::ReadPermafrost() {
    if (heat.on()) return;
    if (FindGrid("PermafrostThawDepth", true) <= 0 || FindGrid("SnowFreeDaysGrid", true) <= 0 || FindGrid("ThawCoeffPermaFrost", true) <= 0)
        return;
    in.permafrostThawDepth = (*gridStore)[FindGrid("PermafrostThawDepth", true)].grid;
    ReopenControlFile();
    SeekSection("[permafrost]", true);
    std::FILE* f = ControlStream();
    const std::string& mod = moduleName;
    // The snow model's values of the section come first.
    int method = 0;
    double minSnowAge = 0, maxSweSnowFree = 0;
    SoilModelConfig::NamedCode thawStatistics;
    ReadValue(f, "%d", &method, "Permafrost-Method for " + mod);
    ReadBoundedValue(f, "%lf", &minSnowAge, "Min_Snow_Age_Refreeze for " + mod, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &maxSweSnowFree, "Max_SWE_SnowFree for " + mod, bound::NonNegative);
    ReadNameAndCode(*this, "thaw depth statistics file for ", thawStatistics);
    ReadBoundedValue(f, "%lf", &reduced_ksat, "reduced k_sat (in m/s)", bound::Positive);
    CloseControlFile();
}

void unsatzonmodellklasse::CompleteSoilTable() {
    // The soil table belongs to the parameter tables; the soil model completes the dry-soil heat
    // properties and the freezing tables once, before any step reads them.
    soil_entry* table = const_cast<soil_entry*>(settings.soilTable);
    // A layer's freezing tables follow from its van Genuchten parameters and the freezing steps
    // alone, and the layers of one horizon (and alike soils) share them: each set of parameters,
    // the same to the last bit, is computed once and its tables are copied to the other layers.
    struct FreezingSource {
        std::array<std::uint64_t, 4> bits;
        std::int32_t steps;
        const soil_entry* entry;
        std::size_t layer;
    };
    std::vector<FreezingSource> computed;
    const double factor = heat[SoilHeatConfig::Factor];
    for (int s = 1; s <= table[0].code; ++s) {
        soil_entry& e = table[s];
        for (int k = 1; k <= e.GetLayerCount(); ++k) {
            const std::size_t i = static_cast<std::size_t>(k);
            if (i < e.DryDensity.size() && e.DryDensity[i] < 0) e.DryDensity[i] = heat[SoilHeatConfig::RhoDrySoil];
            if (i < e.DryHeatCapacity.size() && e.DryHeatCapacity[i] < 0)
                e.DryHeatCapacity[i] = heat[SoilHeatConfig::CDrySoil];
            if (i < e.DryThermalConduct.size() && e.DryThermalConduct[i] < 0)
                e.DryThermalConduct[i] = heat[SoilHeatConfig::LamDrySoil];
        }
        if (e.KMinFrozenSoil < 0) e.KMinFrozenSoil = heat[SoilHeatConfig::Kmin];
        for (int k = 1; k <= e.GetLayerCount(); ++k) {
            const std::size_t i = static_cast<std::size_t>(k);
            const FreezingSource key{{std::bit_cast<std::uint64_t>(e.freezingTmin), std::bit_cast<std::uint64_t>(e.alpha[i]),
                                      std::bit_cast<std::uint64_t>(e.Par_n[i]), std::bit_cast<std::uint64_t>(e.Par_m[i])},
                                     e.freezingSteps, &e, i};
            const auto same = std::find_if(computed.begin(), computed.end(), [&](const FreezingSource& c) {
                return c.bits == key.bits && c.steps == key.steps;
            });
            if (same == computed.end()) {
                e.ComputeFreezingTables(k, factor);
                computed.push_back(key);
                continue;
            }
            e.unfrozenSaturation[i] = same->entry->unfrozenSaturation[same->layer];
            e.unfrozenDerivative[i] = same->entry->unfrozenDerivative[same->layer];
            e.freezingOffset[i] = same->entry->freezingOffset[same->layer];
        }
    }
    // The frozen-layer threshold of every layer: the first entry of the freezing table (entries
    // 10/N degrees apart) whose unfrozen saturation is at or below " dTModSEForStat ".
    freezingThreshold.assign(static_cast<std::size_t>(table[0].code) + 1, {});
    for (int s = 1; s <= table[0].code; ++s) {
        const soil_entry& e = table[s];
        std::vector<double>& t = freezingThreshold[static_cast<std::size_t>(s)];
        t.assign(static_cast<std::size_t>(e.GetLayerCount()) + 1, 0.0);
        for (int k = 1; k <= e.GetLayerCount(); ++k) {
            const std::vector<double>& U = e.unfrozenSaturation[static_cast<std::size_t>(k)];
            std::size_t j = 0;
            while (j + 1 < U.size() && U[j] > heat[SoilHeatConfig::SEForStat]) ++j;
            t[static_cast<std::size_t>(k)] = e.freezingTmin * static_cast<double>(j) / e.freezingSteps;
        }
    }
}
