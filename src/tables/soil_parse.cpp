// Reading one soil type: the block format with horizons ("MultipleHorizons") and the old
// fixed format of one line with a single horizon.
#include <cmath>
#include <exception>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/valuebound.hpp"
#include "tables/soil_entry.hpp"
#include "tables/table_text.hpp"

using namespace table_text;

namespace {

constexpr int kBlockFailure = 29;
constexpr int kFixedFailure = 30;
constexpr int kGrainSizeFailure = 110;
constexpr int kUnsupportedMethod = 131;
constexpr int kBoundFailure = 17;

std::size_t Size(std::int32_t n) { return static_cast<std::size_t>(n); }

}  // namespace

bool soil_entry::ReadSoilValueList(std::string_view text, std::string_view key, std::vector<double>* target,
                                   std::int32_t horizons, std::int32_t* layerTotal) {
    const std::size_t at = FindKey(text, key, true);
    if (at == std::string_view::npos) return false;
    const std::string_view value = ValueText(text, at, key);
    if (target == nullptr) {
        // The "layers" list: one positive layer count per horizon.
        const std::size_t h = SplitTokens(value, " \t\r\n\v\f;,").size();
        if (h < 1 || h > Size(kMaxLayers)) throw ModelError(kBlockFailure);
        layersPerHorizon.assign(h + 1, 0);
        std::size_t pos = 0;
        std::int32_t total = 0;
        for (std::size_t k = 1; k <= h; ++k) {
            std::int32_t v = 0;
            if (!ScanInt(value, pos, v) || v < 1 || v > kMaxLayers - total) throw ModelError(kBlockFailure);
            layersPerHorizon[k] = v;
            total += v;
        }
        layersPerHorizon[0] = total;
        horizonCount = static_cast<std::int32_t>(h);
        layerCount = total;
        if (layerTotal) *layerTotal = total;
        return true;
    }
    // One value per horizon; a list that ends early repeats its last value, further values
    // are ignored. Something other than a number where a value is expected fails.
    target->assign(Size(layerCount) + 1, 0.0);
    std::size_t pos = 0;
    double last = 0;
    bool any = false;
    std::int32_t layer = 1;
    for (std::int32_t h = 1; h <= horizons; ++h) {
        if (!AtEnd(value, pos)) {
            if (!ScanDouble(value, pos, last)) throw ModelError(kBlockFailure);
            any = true;
        }
        if (!any) throw ModelError(kBlockFailure);
        for (std::int32_t j = 0; j < layersPerHorizon[Size(h)]; ++j) (*target)[Size(layer++)] = last;
    }
    (*target)[0] = (*target)[1];
    return true;
}

bool soil_entry::ReadSingleValue(std::string_view text, std::string_view key, double* target) {
    const std::size_t at = FindKey(text, key);
    if (at == std::string_view::npos) return false;
    std::size_t pos = 0;
    double v = 0;
    if (!ScanDouble(ValueText(text, at, key), pos, v)) throw ModelError(kBlockFailure);
    *target = v;
    return true;
}

void soil_entry::ParseGrainSizeDist(std::string_view text) {
    const std::size_t at = FindKey(text, "GrainSizeDist");
    if (at == std::string_view::npos) return;
    std::vector<double> v;
    if (!ScanDoubles(ValueText(text, at, "GrainSizeDist"), 7, v)) throw ModelError(kBlockFailure);
    for (std::size_t k = 0; k < 7; ++k) GrainSizeDist[k] = v[k];
}

void soil_entry::CheckGrainSizes(DiagLog& log, std::string_view block) const {
    const char* message = nullptr;
    double sum = 0;
    for (double f : GrainSizeDist) sum += f;
    bool othersValid = true;
    for (std::size_t k = 1; k < 7; ++k) othersValid = othersValid && GrainSizeDist[k] >= 0;
    if (!(GrainSizeDist[0] > 0)) {
        message = "FATAL: Grainsize distribution: fraction of sand must be > 0 \nsoil type: ";
    } else if (!othersValid) {
        message = "FATAL: Grainsize distribution: all grain size fractions must be >= 0 (sand must be >0)\nsoil type: ";
    } else if (!(std::fabs(sum - 1.0) <= 0.0001)) {
        message = "FATAL: Grainsize distribution: sum of all fractions (sand, silt, clay, stones1..4) must be "
                  "1.0\n soil type: ";
    }
    if (!message) return;
    log << message << code << "\n" << std::string(block) << "[end-entry]";
    throw ModelError(kGrainSizeFailure);
}

void soil_entry::ParseSoilBlock(DiagLog& log, std::string_view text, std::string_view /*methodWord*/) {
    if (text.find("MultipleHorizons") == std::string_view::npos) {
        log << "FATAL: soil table definition method unknown " << std::string(text) << "[end-entry]";
        throw ModelError(kBlockFailure);
    }
    const std::size_t brace = text.find('{');
    const std::string_view block = brace == std::string_view::npos ? text : text.substr(brace);
    try {
        std::size_t pos = 0;
        std::string word;
        if (!ScanInt(text, pos, code)) throw ModelError(kBlockFailure);
        if (!ScanWord(text, pos, word) || word.size() > kMaxNameLength) throw ModelError(kBlockFailure);
        name = word;
        method = 0;
        ParseBlockKeys(log, block);
    } catch (const ModelError& e) {
        if (e.code() == kGrainSizeFailure || e.code() == kBoundFailure) throw;
        log << "FATAL: Soil table code " << code << ": some values could not be read\n" << std::string(block)
            << "[end-entry]";
        throw ModelError(kBlockFailure);
    } catch (const std::exception&) {
        log << "FATAL: Soil table code " << code << ": some values could not be read\n" << std::string(block)
            << "[end-entry]";
        throw ModelError(kBlockFailure);
    }
}

void soil_entry::ParseBlockKeys(DiagLog& log, std::string_view block) {
    if (!ReadSoilValueList(block, "layers", nullptr, 0)) throw ModelError(kBlockFailure);
    for (auto [key, array] : {std::pair{"ksat", &ksat}, {"theta_sat", &theta_sat}, {"theta_res", &theta_res},
                              {"alpha", &alpha}, {"Par_n", &Par_n}, {"thickness", &thickness}}) {
        if (!ReadSoilValueList(block, key, array, horizonCount)) throw ModelError(kBlockFailure);
    }
    CheckHydraulicBounds(log);
    EvapMaxDepth = thickness[1];
    ReadSingleValue(block, "EvapMaxDepth", &EvapMaxDepth);
    ThicknessScaling = 1.0;
    ReadSingleValue(block, "ThicknessScaling", &ThicknessScaling);
    if (ThicknessScaling != 1.0) {
        log << "INFO: Soil layers for landuse " << code << " will be scaled by a factor of " << ThicknessScaling
            << "[end-entry]";
    }
    totalDepth = 0;
    for (std::size_t l = 0; l < thickness.size(); ++l) {
        thickness[l] *= ThicknessScaling;
        if (l >= 1) totalDepth += thickness[l];
    }
    ParseGrainSizeDist(block);
    CheckGrainSizes(log, block);
    ParseOptionalBlockKeys(block);
    BuildLayerTables();
    ApplyConductivityRecession();
}

void soil_entry::CheckHydraulicBounds(DiagLog& log) const {
    // Values no soil can have: the water retention and conductivity laws need a positive
    // conductivity, thickness and alpha, n above 1 and 0 <= theta_res < theta_sat <= 1.
    const std::string place = "soil type " + std::to_string(code) + " (" + name + ")";
    for (std::int32_t l = 1; l <= layerCount; ++l) {
        const std::size_t i = Size(l);
        auto check = [&](const char* key, double value, const ValueBound& range) {
            RequireBound(log, "soil table", "[soil_table]", std::string(key) + ", layer " + std::to_string(l), place,
                         value, range);
        };
        check("ksat", ksat[i], bound::Positive);
        check("thickness", thickness[i], bound::Positive);
        check("theta_sat", theta_sat[i], {0, 1, true, false});
        check("theta_res", theta_res[i], {0, theta_sat[i], false, true});
        check("alpha", alpha[i], bound::Positive);
        check("Par_n", Par_n[i], bound::Above(1));
    }
}

void soil_entry::ParseOptionalBlockKeys(std::string_view block) {
    const std::size_t size = Size(layerCount) + 1;
    for (std::size_t k = 0; k < SU_PAR.size(); ++k) {
        SU_PAR[k] = 0;
        ReadSingleValue(block, "SU_PAR" + std::to_string(100 + k).substr(1), &SU_PAR[k]);
    }
    if (!ReadSoilValueList(block, "Par_tau", &Par_tau, horizonCount)) Par_tau.assign(size, 0.5);
    if (!ReadSoilValueList(block, "k_recession", &k_recession, horizonCount)) k_recession.assign(size, 1.0);
    PMacroThresh = 1000.0;
    MacroCapacity = 0;
    CapacityRedu = 1.0;
    MacroDepth = 1.0;
    ReadSingleValue(block, "PMacroThresh", &PMacroThresh);
    ReadSingleValue(block, "MacroCapacity", &MacroCapacity);
    ReadSingleValue(block, "CapacityRedu", &CapacityRedu);
    ReadSingleValue(block, "MacroDepth", &MacroDepth);
    if (!ReadSoilValueList(block, "DryHeatCapacity", &DryHeatCapacity, horizonCount)) DryHeatCapacity.assign(size, -1.0);
    if (!ReadSoilValueList(block, "DryDensity", &DryDensity, horizonCount)) DryDensity.assign(size, -1.0);
    if (!ReadSoilValueList(block, "DryThermalConduct", &DryThermalConduct, horizonCount))
        DryThermalConduct.assign(size, -1.0);
    if (ReadSingleValue(block, "KMinFrozenSoil", &KMinFrozenSoil))
        lnKMinFrozenSoil = KMinFrozenSoil > 0 ? std::log(KMinFrozenSoil) : -27.631;
    // mm per hour to m per second
    PMacroThresh /= 3600000.0;
    MacroCapacity /= 3600000.0;
    maxratio = 1000.0;
    ReadSingleValue(block, "maxratio", &maxratio);
    FCap = 25.0;
    mSB = 35.0;
    ksat_topmodel = 1e-5;
    suction = 300.0;
    ReadSingleValue(block, "FCap", &FCap);
    ReadSingleValue(block, "mSB", &mSB);
    ReadSingleValue(block, "ksat_topmodel", &ksat_topmodel);
    ReadSingleValue(block, "suction", &suction);
    scaledDifference = (mSB - FCap) * 0.01;
    if (!ReadSoilValueList(block, "Par_m", &Par_m, horizonCount)) {
        Par_m.assign(size, 0.0);
        for (std::size_t l = 0; l < size; ++l) Par_m[l] = Par_n[l] == 0 ? 0.0 : 1.0 - 1.0 / Par_n[l];
    }
    MaxInterflowDepth = 2.0;
    ReadSingleValue(block, "MaxInterflowDepth", &MaxInterflowDepth);
}

void soil_entry::BuildLayerTables() {
    conductivityTableSize = kTablePoints;
    retentionTableSize = kTablePoints;
    AllocateLayerArrays();
    for (std::int32_t l = 0; l <= layerCount; ++l) AllocateLayerTables(l);
}

void soil_entry::AllocateLayerArrays() {
    const std::size_t size = Size(layerCount) + 1;
    conductivityTheta.assign(size, PointTable{});
    relConductivity.assign(size, PointTable{});
    retentionTheta.assign(size, PointTable{});
    retentionSuction.assign(size, PointTable{});
    retentionFalls.assign(size, 0);
    conductivityFalls.assign(size, 0);
    suctionRises.assign(size, 0);
    // The freezing tables get their N + 1 values when the soil model computes them; until
    // then a layer's tables read as zeros.
    unfrozenSaturation.assign(size, {});
    unfrozenDerivative.assign(size, {});
    freezingOffset.assign(size, {});
}

void soil_entry::ApplyConductivityRecession() {
    // Conductivity decreases with depth below the top of each horizon, down to the mid-depth
    // MaxInterflowDepth below the soil surface; deeper layers keep their conductivity.
    double above = 0;  // depth of the top of the current layer below the surface
    std::int32_t layer = 1;
    for (std::int32_t h = 1; h <= horizonCount; ++h) {
        double inHorizon = 0;
        for (std::int32_t j = 1; j <= layersPerHorizon[Size(h)]; ++j, ++layer) {
            const double d = thickness[Size(layer)];
            inHorizon = j == 1 ? d / 2 : inHorizon + thickness[Size(layer - 1)] / 2 + d / 2;
            if (above + d / 2 > MaxInterflowDepth) return;
            ksat[Size(layer)] *= std::pow(k_recession[Size(layer)], inHorizon);
            above += d;
        }
    }
}

void soil_entry::SetBlockDefaults() {
    const std::size_t size = Size(layerCount) + 1;
    horizonCount = 1;
    layersPerHorizon = {layerCount, layerCount};
    MaxInterflowDepth = 2.0;
    ThicknessScaling = 1.0;
    k_recession.assign(size, 1.0);
    DryHeatCapacity.assign(size, -1.0);
    DryDensity.assign(size, -1.0);
    DryThermalConduct.assign(size, -1.0);
    PMacroThresh = 1000.0 / 3600000.0;
    MacroCapacity = 0;
    CapacityRedu = 1.0;
    MacroDepth = 1.0;
    scaledDifference = (mSB - FCap) * 0.01;
}

void soil_entry::ReadFixedFormat(DiagLog& log, std::string_view line, int /*variant*/) {
    std::size_t pos = 0;
    std::string word;
    double ts = 0, tr = 0, a = 0, pn = 0;
    const bool ok = ScanInt(line, pos, code) && ScanWord(line, pos, word) && word.size() <= kMaxNameLength &&
                    ScanDouble(line, pos, FCap) && ScanDouble(line, pos, mSB) && ScanDouble(line, pos, ksat_topmodel) &&
                    ScanDouble(line, pos, suction) && ScanInt(line, pos, method) && ScanDouble(line, pos, ts) &&
                    ScanDouble(line, pos, tr) && ScanDouble(line, pos, a) && ScanDouble(line, pos, pn) &&
                    ScanInt(line, pos, layerCount);
    if (!ok) {
        log << "FATAL: soil table code " << code << ": some values could not be read\n" << std::string(line)
            << "[end-entry]";
        throw ModelError(kFixedFailure);
    }
    name = word;
    if (method != 1) {
        log << "FATAL: error reading soil parameters for soil type " << code
            << ": only old method 1 (van-Genuchten Parameter) is supported in Talvo newer than 6.4.\n"
            << "Use the new soil type table format instead." << "[end-entry]";
        throw ModelError(kUnsupportedMethod);
    }
    // The second layer is the rest of the first layer thickness below a 0.05 m top layer.
    if (layerCount < 2 || layerCount > kMaxLayers) {
        log << "FATAL: soil table code " << code << ": the number of layers must lie between 2 and " << kMaxLayers
            << " (here " << layerCount << ")\n" << std::string(line) << "[end-entry]";
        throw ModelError(kFixedFailure);
    }
    const std::size_t size = Size(layerCount) + 1;
    theta_sat.assign(size, ts);
    theta_res.assign(size, tr);
    alpha.assign(size, a);
    Par_n.assign(size, pn);
    Par_m.assign(size, 1.0 - 1.0 / pn);
    Par_tau.assign(size, 0.5);
    thickness.assign(size, 0.0);
    double d = 0;
    if (!ScanDouble(line, pos, d)) {
        log << "FATAL: error reading layer thickness for soiltype " << code << "[end-entry]";
        throw ModelError(kFixedFailure);
    }
    thickness[0] = d;
    if (!ScanDouble(line, pos, maxratio)) {
        log << "FATAL: error reading maxratio for soil type " << code << "[end-entry]";
        throw ModelError(kFixedFailure);
    }
    if (!ScanDouble(line, pos, kReduction)) {
        log << "FATAL: error reading k reduction for soil type " << code << "[end-entry]";
        throw ModelError(kFixedFailure);
    }
    conductivityTableSize = kTablePoints;
    retentionTableSize = kTablePoints;
    AllocateLayerArrays();
    for (std::int32_t l = 0; l <= layerCount; ++l) AllocateLayerTables(l);
    if (!(d >= 0.1)) {
        log << "FATAL: \nerror soil type " << code << ":\nthickness of single layers (here " << d
            << " m)\nhas to be at minimum twice as thick as the\nthickness of the top layer (here " << 0.05 << " m)"
            << "[end-entry]";
        throw ModelError(kFixedFailure);
    }
    thickness[1] = 0.05;
    thickness[2] = d - 0.05;
    for (std::size_t l = 3; l < size; ++l) thickness[l] = d;
    totalDepth = 0;
    for (std::size_t l = 1; l < size; ++l) totalDepth += thickness[l];

    ksat.assign(size, 0.0);
    ksat[1] = ksat_topmodel * std::pow(kReduction, 0.025);
    ksat[2] = ksat_topmodel * std::pow(kReduction, 0.05 + (d - 0.05) / 2);
    for (std::size_t l = 3; l < size; ++l) {
        const double z = (static_cast<double>(l) - 1.5) * d;
        ksat[l] = z <= 2.0 ? ksat_topmodel * std::pow(kReduction, z) : ksat[l - 1];
    }
    ksat[0] = ksat[1];
    CheckHydraulicBounds(log);
    SetBlockDefaults();
}
