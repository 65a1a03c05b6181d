// Reading one land-use entry: the block format (key = values; in any order) and the old
// fixed format of one line per land use.
#include <exception>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/valuebound.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/table_text.hpp"

using namespace table_text;

namespace {

constexpr int kEntryFailure = 29;

struct MethodName {
    const char* name;
    std::int32_t method;
};
constexpr MethodName kMethodNames[] = {{"VariableDayCount", landuse_entry::kVariableDayCount},
                                       {"DynamicPhenology_1", landuse_entry::kDynamicPhenology1},
                                       {"DynamicPhenology_2", landuse_entry::kDynamicPhenology2},
                                       {"DynamicPhenology_3", landuse_entry::kDynamicPhenology3},
                                       {"DynamicPhenology_4", landuse_entry::kDynamicPhenology4}};

// Days beyond this leave no room for the shifts applied to them later.
constexpr std::int32_t kMaxDayMagnitude = 100000;

bool DaysInRange(const std::vector<std::int32_t>& days) {
    for (std::int32_t d : days) {
        if (d < -kMaxDayMagnitude || d > kMaxDayMagnitude) return false;
    }
    return true;
}

// Fills days[1..count] and element 0 = days[count] - 366.
std::vector<std::int32_t> DayArray(const std::vector<std::int32_t>& days) {
    std::vector<std::int32_t> a(days.size() + 1);
    for (std::size_t k = 0; k < days.size(); ++k) a[k + 1] = days[k];
    a[0] = days.back() - 366;
    return a;
}

bool HasKey(std::string_view block, std::string_view key) { return FindKey(block, key) != std::string_view::npos; }

std::string_view Value(std::string_view block, std::string_view key) {
    return ValueText(block, FindKey(block, key), key);
}

// A required single value: absent fails without a message of its own.
double RequiredDouble(std::string_view block, std::string_view key) {
    if (!HasKey(block, key)) throw ModelError(kEntryFailure);
    return LeadingDouble(Value(block, key));
}

double OptionalDouble(std::string_view block, std::string_view key, double fallback) {
    return HasKey(block, key) ? LeadingDouble(Value(block, key)) : fallback;
}

std::int32_t OptionalInt(std::string_view block, std::string_view key, std::int32_t fallback) {
    return HasKey(block, key) ? LeadingInt(Value(block, key)) : fallback;
}

void MissingPhenologyKey(DiagLog& log, std::string_view key, std::int32_t code) {
    log << "FATAL: parameter \"" << std::string(key) << "\" not found for land use " << code << "[end-entry]";
    throw ModelError(kEntryFailure);
}

double PhenologyDouble(DiagLog& log, std::string_view block, std::string_view key, std::int32_t code) {
    if (!HasKey(block, key)) MissingPhenologyKey(log, key, code);
    return LeadingDouble(Value(block, key));
}

std::int32_t PhenologyInt(DiagLog& log, std::string_view block, std::string_view key, std::int32_t code) {
    if (!HasKey(block, key)) MissingPhenologyKey(log, key, code);
    return LeadingInt(Value(block, key));
}

double PhenologyDoubleOrDefault(DiagLog& log, std::string_view block, std::string_view key, std::int32_t code,
                                double fallback) {
    if (HasKey(block, key)) return LeadingDouble(Value(block, key));
    log << "INFO: parameter \"" << std::string(key) << "\" not found for land use " << code << "; Using default of "
        << fallback << "[end-entry]";
    return fallback;
}

bool IsDynamic(std::int32_t method) {
    return method == landuse_entry::kDynamicPhenology1 || method == landuse_entry::kDynamicPhenology2 ||
           method == landuse_entry::kDynamicPhenology4;
}

}  // namespace

bool landuse_entry::ParseValueList(std::string_view text, std::string_view key, std::vector<double>& values,
                                   int count) {
    const std::size_t at = FindKey(text, key);
    if (at == std::string_view::npos) return false;
    std::vector<double> read;
    if (count < 1 || !ScanDoubles(ValueText(text, at, key), count, read)) throw ModelError(kEntryFailure);
    values.assign(static_cast<std::size_t>(count) + 1, 0.0);
    for (int k = 0; k < count; ++k) values[static_cast<std::size_t>(k) + 1] = read[static_cast<std::size_t>(k)];
    values[0] = values[static_cast<std::size_t>(count)];
    return true;
}

void landuse_entry::ParseJulDays(DiagLog& log, std::string_view text) {
    const std::size_t at = FindKey(text, "JulDays");
    if (at == std::string_view::npos) throw ModelError(kEntryFailure);
    std::vector<std::int32_t> days;
    if (!ReadIntegerList(ValueText(text, at, "JulDays"), days) || days.empty() || !DaysInRange(days))
        throw ModelError(kEntryFailure);
    fixPointCount = static_cast<std::int32_t>(days.size());
    JulDays = DayArray(days);
    actualFixPointDays = JulDays;
    if (method == kDynamicPhenology3) {
        if (days.front() != 1) {
            log << "FATAL: Error in Landuse Table (Code: " << code
                << "): for Method DynamicPhenology_3 the first sample day (JulDay) must be 1 and not " << days.front()
                << "[end-entry]";
            throw ModelError(kEntryFailure);
        }
        if (days.back() != 366) {
            log << "FATAL: Error in Landuse Table (Code: " << code
                << "): for Method DynamicPhenology_3 the last sample day (JulDay) must be 366 and not " << days.back()
                << "[end-entry]";
            throw ModelError(kEntryFailure);
        }
    }
}

void landuse_entry::ParseSoilTillage(std::string_view text) {
    const std::size_t at = FindKey(text, "SoilTillage");
    std::vector<std::int32_t> days;
    if (at != std::string_view::npos) {
        if (!ReadIntegerList(ValueText(text, at, "SoilTillage"), days) || !DaysInRange(days))
            throw ModelError(kEntryFailure);
    }
    if (days.empty()) {
        SoilTillageCount = 0;
        SoilTillage.assign(1, -9999);
        return;
    }
    SoilTillageCount = static_cast<std::int32_t>(days.size());
    SoilTillage = DayArray(days);
}

void landuse_entry::ParseLanduseBlock(DiagLog& log, std::string_view text, std::string_view methodName) {
    std::int32_t m = 0;
    for (const MethodName& mn : kMethodNames) {
        if (methodName == mn.name) m = mn.method;
    }
    if (m == 0) {
        log << "FATAL: landuse table method unknown " << std::string(methodName) << "[end-entry]";
        throw ModelError(kEntryFailure);
    }
    const std::size_t brace = text.find('{');
    const std::string_view block = brace == std::string_view::npos ? text : text.substr(brace);
    try {
        method = m;
        TStart = -1;
        simpleForcing = 0;
        std::size_t pos = 0;
        std::string word;
        if (!ScanInt(text, pos, code)) throw ModelError(kEntryFailure);
        if (!ScanWord(text, pos, word) || word.size() > kMaxNameLength) throw ModelError(kEntryFailure);
        name = word;
        ParseBlockKeys(log, block);
    } catch (const std::exception&) {
        log << "FATAL: landuse table code " << code << ": some values could not be read\n" << std::string(block)
            << "[end-entry]";
        throw ModelError(kEntryFailure);
    }
    CheckPhysicalBounds(log);
}

void landuse_entry::CheckPhysicalBounds(DiagLog& log) const {
    // Leaf area, vegetation cover and roughness length beyond their ranges are read as they
    // stand: their grids hold them within (a leaf area of 0 or more, a cover in [0, 1], a
    // roughness length of at least 0.01 where the table gives less). An albedo has no such hold.
    const std::string place = "land use " + std::to_string(code) + " (" + name + ")";
    for (std::int32_t k = 1; k <= fixPointCount && static_cast<std::size_t>(k) < Albedo.size(); ++k)
        RequireBound(log, "landuse table", "[landuse_table]", "Albedo, fix point " + std::to_string(k), place,
                     Albedo[static_cast<std::size_t>(k)], bound::Fraction);
}

void landuse_entry::ParseBlockKeys(DiagLog& log, std::string_view block) {
    ParseGeneralKeys(block);
    ParseJulDays(log, block);
    ParsePhenologyKeys(log, block);
    ParseFixPointArrays(block);
    ParseSurfaceRoutingKeys(log, block);
}

void landuse_entry::ParseGeneralKeys(std::string_view block) {
    RootDist = RequiredDouble(block, "RootDist");
    TReduWet = RequiredDouble(block, "TReduWet");
    if (HasKey(block, "useInternalParameters")) {
        const std::string_view v = Value(block, "useInternalParameters");
        const std::size_t first = v.find_first_of("01");
        if (first == std::string_view::npos) throw ModelError(kEntryFailure);
        useInternalParameters.assign(v.substr(first));
        internalParameterMask = 0;
        for (std::size_t k = 0; k < 8 && k < useInternalParameters.size(); ++k) {
            if (useInternalParameters[k] == '1') internalParameterMask += 128 >> k;
        }
    } else {
        useInternalParameters = "11111111";
        internalParameterMask = 255;
    }
    LimitReduWet = OptionalDouble(block, "LimitReduWet", 0.0);
    HReduDry = RequiredDouble(block, "HReduDry");
    StartVegetationPeriodForBalance = OptionalInt(block, "StartVegetationPeriodForBalance", 0);
    StopVegetationPeriodForBalance = OptionalInt(block, "StopVegetationPeriodForBalance", 0);
    JDVegetationResetForBalance = OptionalInt(block, "JDVegetationResetForBalance", -1);
    JDVegetationWriteForBalance = OptionalInt(block, "JDVegetationWriteForBalance", -1);
    IntercepCap = OptionalDouble(block, "IntercepCap", -1.0);
    StressFactorDynPhen = OptionalDouble(block, "StressFactorDynPhen", 0.0);
}

void landuse_entry::ParsePhenologyKeys(DiagLog& log, std::string_view block) {
    if (method < kDynamicPhenology1 || method > kDynamicPhenology4) return;
    if (IsDynamic(method)) {
        TStart = -1;
        startFixPoint = -1;
        FStar = PhenologyDouble(log, block, "F*", code);
    }
    DP1_t1_dorm = PhenologyInt(log, block, "DP1_t1_dorm", code);
    DP1_T_Bf = PhenologyDouble(log, block, "DP1_T_Bf", code);
    JDReset_TStart = PhenologyInt(log, block, "JDReset_TStart", code);
    maxStartJDforDP1 = PhenologyInt(log, block, "maxStartJDforDP1", code);
    // The fix point of the dynamic season start is the first one (before the last) whose
    // day is negative: its day is found at run time.
    if (IsDynamic(method) && fixPointCount > 1) {
        for (std::int32_t k = 1; k < fixPointCount; ++k) {
            if (JulDays[static_cast<std::size_t>(k)] < 0) {
                startFixPoint = k;
                break;
            }
        }
    }
    if (method == kDynamicPhenology2) {
        DP2_t0_dorm = PhenologyInt(log, block, "DP2_t0_dorm", code);
        DP2_t1_dorm = PhenologyInt(log, block, "DP2_t1_dorm", code);
        DP2_T_Bf = PhenologyDouble(log, block, "DP2_T_Bf", code);
        DP2_T_Bc = PhenologyDouble(log, block, "DP2_T_Bc", code);
        DP2_Par_a = PhenologyDouble(log, block, "DP2_Par_a", code);
        DP2_Par_b = PhenologyDouble(log, block, "DP2_Par_b", code);
        DP2_Offset_1 = PhenologyDoubleOrDefault(log, block, "DP2_Offset_1", code, -3.4);
        DP2_Offset_2 = PhenologyDoubleOrDefault(log, block, "DP2_Offset_2", code, 12.0);
    } else if (method == kDynamicPhenology4) {
        DP4_t0_dorm = PhenologyInt(log, block, "DP4_t0_dorm", code);
        DP4_t1_dorm = PhenologyInt(log, block, "DP4_t1_dorm", code);
        DP4_T0 = PhenologyDouble(log, block, "DP4_T0", code);
        DP4_T1 = PhenologyDouble(log, block, "DP4_T1", code);
        DP4_Par_a = PhenologyDouble(log, block, "DP4_Par_a", code);
        DP4_Par_b = PhenologyDouble(log, block, "DP4_Par_b", code);
        DP4_T_xylstop = PhenologyDouble(log, block, "DP4_T_xylstop", code);
        DP4_t_xs1 = PhenologyInt(log, block, "DP4_t_xs1", code);
        DP4_SPSLF = PhenologyInt(log, block, "DP4_SPSLF", code);
    }
}

void landuse_entry::ParseFixPointArrays(std::string_view block) {
    const int n = fixPointCount;
    if (method == kDynamicPhenology3 && !ParseValueList(block, "ForcingThreshold", ForcingThreshold, n))
        throw ModelError(kEntryFailure);
    for (auto [key, array] : {std::pair{"Albedo", &Albedo}, {"rsc", &rsc}, {"LAI", &LAI}, {"Z0", &Z0},
                              {"VCF", &VCF}, {"RootDepth", &RootDepth}, {"AltDep", &AltDep}}) {
        if (!ParseValueList(block, key, *array, n)) throw ModelError(kEntryFailure);
    }
    const std::size_t size = static_cast<std::size_t>(n) + 1;
    if (!ParseValueList(block, "rs_interception", rs_interception, n)) rs_interception.assign(size, 20.0);
    if (!ParseValueList(block, "rs_evaporation", rs_evaporation, n)) rs_evaporation.assign(size, 200.0);
}

void landuse_entry::ParseSurfaceRoutingKeys(DiagLog& log, std::string_view block) {
    ParseSoilTillage(block);
    SR_cultivation = 3;
    if (HasKey(block, "SR_cultivation")) {
        const std::string_view v = Value(block, "SR_cultivation");
        if (v.find("other") != std::string_view::npos) {
            SR_cultivation = 3;
        } else if (v.find("nonconserving") != std::string_view::npos) {
            SR_cultivation = 2;
        } else if (v.find("conserving") != std::string_view::npos) {
            SR_cultivation = 1;
        } else {
            log << "FATAL: no valid value for parameter \"SR_cultivation\" for land use " << code << "[end-entry]";
            throw ModelError(kEntryFailure);
        }
    }
    SR_CropDistX = OptionalDouble(block, "SR_CropDistX", 0.3);
    SR_CropDistY = OptionalDouble(block, "SR_CropDistY", 0.3);
    SR_K_ST = OptionalDouble(block, "SR_K_ST", 10.0);
    SR_C_WR = OptionalDouble(block, "SR_C_WR", 1.5);
    if (!ParseValueList(block, "SR_rough_coeff1", SR_rough_coeff1, 3)) SR_rough_coeff1 = {0.0, 0.0198, 0.712, 0.142};
    if (!ParseValueList(block, "SR_rough_coeff2", SR_rough_coeff2, 3)) SR_rough_coeff2 = {0.0, 0.0198, 0.712, 0.142};
    const std::size_t size = static_cast<std::size_t>(fixPointCount) + 1;
    if (!ParseValueList(block, "SR_StemDiameter", SR_StemDiameter, fixPointCount)) SR_StemDiameter.assign(size, 0.01);
    if (!ParseValueList(block, "SR_ResidCovrg", SR_ResidCovrg, fixPointCount)) SR_ResidCovrg.assign(size, 0.01);
    if (!ParseValueList(block, "n-factor", nFactor, fixPointCount)) nFactor.assign(size, -1.0);
    nf_freezing = OptionalDouble(block, "nf_freezing", -1.0);
    nf_thawing = OptionalDouble(block, "nf_thawing", -1.0);
}

void landuse_entry::ReadFixedFormat(DiagLog& log, std::string_view line, int soilModelVariant) {
    std::size_t pos = 0;
    std::string word;
    double albedo = 0;
    double months[12];
    std::vector<std::int32_t> days(4);
    double lai[4], z0[4], vcf[4], rootDepth[4];
    bool ok = ScanInt(line, pos, code) && ScanWord(line, pos, word) && word.size() <= kMaxNameLength &&
              ScanDouble(line, pos, albedo);
    for (double& v : months) ok = ok && ScanDouble(line, pos, v);
    for (std::int32_t& d : days) ok = ok && ScanInt(line, pos, d);
    for (double* group : {lai, z0, vcf, rootDepth}) {
        for (int k = 0; k < 4; ++k) ok = ok && ScanDouble(line, pos, group[k]);
    }
    if (ok && soilModelVariant == 2) ok = ScanDouble(line, pos, RootDist) && ScanDouble(line, pos, HReduDry);
    if (!ok || !DaysInRange(days)) {
        log << "FATAL: landuse table code " << code << ": some values could not be read\n" << std::string(line)
            << "[end-entry]";
        throw ModelError(kEntryFailure);
    }
    name = word;
    method = kMonthly;
    fixPointCount = 4;
    JulDays = DayArray(days);
    actualFixPointDays = JulDays;
    auto fixPoints = [](const double* v) { return std::vector<double>{v[3], v[0], v[1], v[2], v[3]}; };
    LAI = fixPoints(lai);
    Z0 = fixPoints(z0);
    VCF = fixPoints(vcf);
    RootDepth = fixPoints(rootDepth);
    Albedo.assign(5, albedo);
    AltDep = {-0.025, 0.025, 0.025, -0.025, -0.025};
    rsc.assign(14, 0.0);
    for (int k = 0; k < 12; ++k) rsc[static_cast<std::size_t>(k) + 1] = months[k];
    rsc[0] = rsc[12];
    rsc[13] = rsc[1];
    rs_evaporation = rsc;
    // The line holds no interception resistance: the block default stands in every month.
    rs_interception.assign(14, 20.0);
    TReduWet = 0.95;
    LimitReduWet = 0.0;
    SetFixedFormatDefaults();
    CheckPhysicalBounds(log);
}

void landuse_entry::SetFixedFormatDefaults() {
    // The surface-routing and n-factor arrays are not part of the line; they get the block
    // defaults so that every entry has every array.
    const std::size_t size = static_cast<std::size_t>(fixPointCount) + 1;
    SR_StemDiameter.assign(size, 0.01);
    SR_ResidCovrg.assign(size, 0.01);
    nFactor.assign(size, -1.0);
    SR_rough_coeff1 = {0.0, 0.0198, 0.712, 0.142};
    SR_rough_coeff2 = {0.0, 0.0198, 0.712, 0.142};
    SoilTillageCount = 0;
    SoilTillage.assign(1, -9999);
}
