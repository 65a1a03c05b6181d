#pragma once
// One entry of the soil table: the numerical layers of a soil type, grouped into horizons,
// with their van Genuchten parameters, conductivities and thicknesses, scalar parameters of
// macropores, interflow, frozen soil, grain sizes and soil heat, and per layer the hydraulic
// look-up tables (retention, conductivity, freezing) that the soil model uses every step.
//
// Per-layer arrays hold n + 1 values: layers 1..n from the surface, element 0 a copy of
// layer 1 where the block format fills the array. Record 0 of a table only carries the
// number of entries in its code.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class DiagLog;

class soil_entry {
public:
    static constexpr std::size_t kMaxNameLength = 199;
    // Points of the retention and conductivity tables (index 1..30; 0 is no table point).
    static constexpr int kTablePoints = 30;
    // Steps and lowest temperature (degrees Celsius) of the freezing tables.
    static constexpr int kFreezingSteps = 1000;
    static constexpr double kFreezingTmin = -10.0;
    // Layer counts above this are refused (they would only come from a broken table).
    static constexpr std::int32_t kMaxLayers = 1000;

    using PointTable = std::array<double, kTablePoints + 1>;

    soil_entry() = default;
    explicit soil_entry(std::int32_t code_) : code(code_) {}

    // --- reading (table reader)
    // Fills the record from one block entry ("MultipleHorizons"); failures throw 29 (110 for
    // the grain sizes), after the block-failure entry where the format has no message of its own.
    void ParseSoilBlock(DiagLog& log, std::string_view text, std::string_view methodWord);
    // Fills the record from one old fixed-format line; failures throw 30 (131: method not 1).
    void ReadFixedFormat(DiagLog& log, std::string_view line, int variant);
    // Reads a per-horizon list into the layers of each horizon (target null: the "layers"
    // list itself, whose layer total is returned). False when the key is absent.
    bool ReadSoilValueList(std::string_view text, std::string_view key, std::vector<double>* target,
                           std::int32_t horizons, std::int32_t* layerTotal = nullptr);
    // One double of a key; false (target unchanged) when the key is absent.
    bool ReadSingleValue(std::string_view text, std::string_view key, double* target);
    void ParseGrainSizeDist(std::string_view text);

    // --- hydraulic tables (the look-ups may run in many threads at once)
    void AllocateLayerTables(std::int32_t layer);
    double ThetaFromSuction(std::int32_t layer, double suction) const;
    double SuctionFromTheta(std::int32_t layer, double theta) const;
    // The same with a bracket hint: where the layer's retention table falls strictly and theta
    // lies between table points hint and hint + 1, the search is skipped (the search would end
    // there); hint is set to the bracket used. Same result as the plain look-up, bit for bit.
    double SuctionFromTheta(std::int32_t layer, double theta, int& hint) const {
        // Inline for the runs of look-ups in one bracket; the search stays out of line.
        const std::size_t l = static_cast<std::size_t>(layer);
        const PointTable& th = retentionTheta[l];
        const PointTable& hR = retentionSuction[l];
        if (theta <= th[kTablePoints]) return hR[kTablePoints];
        if (theta >= th[1]) return 0.0;
        if (!(hint >= 1 && hint < kTablePoints && l < retentionFalls.size() && retentionFalls[l] != 0 &&
              HintOrNeighbour(th, theta, hint)))
            return SuctionFromThetaSearch(layer, theta, hint);
        return Interpolate(th, hR, hint, theta);
    }
    // Whether the layer's retention water contents (points 1..30) fall strictly; then the bracket
    // of a water content th[30] < theta < th[1] is the k with th[k] > theta >= th[k + 1], which
    // RetentionBracket counts.
    bool RetentionFalls(std::int32_t layer) const {
        const std::size_t l = static_cast<std::size_t>(layer);
        return l < retentionFalls.size() && retentionFalls[l] != 0;
    }
    int RetentionBracket(std::int32_t layer, double theta) const;
    double RelConductivityFromTheta(std::int32_t layer, double theta1, double theta2) const;
    // The same with a bracket hint, as SuctionFromTheta's, for the conductivity table.
    double RelConductivityFromTheta(std::int32_t layer, double theta1, double theta2, int& hint) const {
        // Inline for the look-ups in the bracket of the hint; the search stays out of line.
        const std::size_t l = static_cast<std::size_t>(layer);
        const PointTable& th = conductivityTheta[l];
        const double theta = std::min(theta1, theta2);
        if (theta < th[kTablePoints]) return relConductivity[l][kTablePoints];
        if (theta >= th[1]) return 1.0;
        if (!(hint >= 1 && hint < kTablePoints && l < conductivityFalls.size() && conductivityFalls[l] != 0 &&
              HintOrNeighbour(th, theta, hint)))
            return RelConductivityFromThetaSearch(layer, theta, hint);
        return Interpolate(th, relConductivity[l], hint, theta);
    }
    // The two look-ups above and ThetaFromSuction with the plain bisection search of the bracket:
    // the reference the faster bracket finding is checked against.
    double SuctionFromThetaBySearch(std::int32_t layer, double theta) const;
    double ThetaFromSuctionBySearch(std::int32_t layer, double suction) const;
    double RelConductivityFromThetaBySearch(std::int32_t layer, double theta1, double theta2) const;
    const std::vector<double>& GetKsat() const { return ksat; }
    // Freezing tables of a layer; factor turns a temperature below 0 into a suction.
    void ComputeFreezingTables(std::int32_t layer, double factor);
    // Per-layer arrays indexed 1..n; nothing is done when temperature is null. offsets (optional,
    // per layer): the freezing offsets of theta, computed where NaN and kept, as in
    // UnfrozenAndDerivativePerLayer.
    void UnfrozenFractionPerLayer(double* out, const double* temperature, const double* theta,
                                  double* offsets = nullptr) const;
    void FreezingDerivativePerLayer(double* out, const double* temperature, const double* theta) const;
    // Both of the above in one pass: a layer's freezing offset is computed once for the two.
    // offsets (optional, per layer): the freezing offsets of theta, computed where NaN and kept.
    void UnfrozenAndDerivativePerLayer(double* unfrozen, double* derivative, const double* temperature,
                                       const double* theta, double* offsets = nullptr) const;
    // The same for one layer at temperature T and water content theta; offset (optional) as one
    // element of offsets above.
    void UnfrozenAndDerivative(std::int32_t layer, double T, double theta, double* offset, double& unfrozen,
                               double& derivative) const {
        const std::size_t i = static_cast<std::size_t>(layer);
        // The conditions of the two look-ups above, each on its own.
        const bool fraction = !(T > 0) && !(T <= freezingTmin);
        const bool slope = T <= 0 && T >= freezingTmin;
        unfrozen = T > 0 ? 1.0 : 0.0;
        derivative = 0.0;
        if (!fraction && !slope) return;
        double o;
        if (offset == nullptr) {
            o = FreezingOffset(layer, theta);
        } else {
            if (std::isnan(*offset)) *offset = FreezingOffset(layer, theta);
            o = *offset;
        }
        const double t = T + o;
        const int N = freezingSteps;
        if (t < 0) {
            // The position in the tables, divided once for the two look-ups (the compiler would
            // divide again after the first store, which may alias freezingTmin for all it knows).
            const double y = t * N / freezingTmin;
            if (fraction) unfrozen = UnfrozenAt(unfrozenSaturation[i], y);
            if (slope) derivative = UnfrozenAt(unfrozenDerivative[i], y);
        } else if (fraction) {
            unfrozen = t >= 0 ? 1.0 : UnfrozenAt(unfrozenSaturation[i], t * N / freezingTmin);
        }
    }
    // The unfrozen fraction alone, as UnfrozenAndDerivative gives it (without the derivative's look-up).
    double UnfrozenFraction(std::int32_t layer, double T, double theta) const {
        if (T > 0) return 1.0;
        if (T <= freezingTmin) return 0.0;
        const double t = T + FreezingOffset(layer, theta);
        return t >= 0 ? 1.0
                      : UnfrozenAt(unfrozenSaturation[static_cast<std::size_t>(layer)], t * freezingSteps / freezingTmin);
    }
    void ComputeLayerHeatCapacity(const double* temperature, double* out, const double* unfrozen,
                                  const double* extra, const double* theta, double factor, double cWater,
                                  double cIce0, double cIce20) const;
    // The same for one layer: temperature T, unfrozen fraction f, extra capacity, water content theta.
    double LayerHeatCapacity(std::int32_t layer, double T, double f, double extra, double theta, double factor,
                             double cWater, double cIce0, double cIce20) const {
        const std::size_t i = static_cast<std::size_t>(layer);
        double ice;
        if (T < -20.0) {
            ice = cIce20;
        } else if (T >= 0) {
            ice = cIce0;
        } else {
            ice = T / -20.0 * cIce20 + (T / 20.0 + 1.0) * cIce0;
        }
        return theta * factor * (f * cWater + (1.0 - f) * ice) + DryDensity[i] * DryHeatCapacity[i] + extra;
    }
    // Freezing offset (always >= 0) of water content theta in a layer.
    double FreezingOffset(std::int32_t layer, double theta) const;

    std::int32_t GetLayerCount() const { return layerCount; }

    // ---- fields
    std::string name;
    std::int32_t code = 0;
    std::int32_t method = 0;
    double FCap = 0;
    double mSB = 0;
    double scaledDifference = 0;  // (mSB - FCap) * 0.01
    double ksat_topmodel = 0;
    double suction = 0;
    std::int32_t conductivityTableSize = 0;
    std::int32_t retentionTableSize = 0;
    std::int32_t layerCount = 0;    // n
    std::int32_t horizonCount = 0;  // H
    std::vector<std::int32_t> layersPerHorizon;  // [0] = n
    std::vector<PointTable> conductivityTheta;   // per layer 0..n
    std::vector<PointTable> relConductivity;
    std::vector<PointTable> retentionTheta;
    std::vector<PointTable> retentionSuction;
    // Per layer: 1 where AllocateLayerTables found the retention water contents (points 1..30)
    // strictly falling; a table written otherwise must not keep a 1.
    std::vector<std::uint8_t> retentionFalls;
    // The same for the water contents of the conductivity table.
    std::vector<std::uint8_t> conductivityFalls;
    // Per layer: 1 where AllocateLayerTables found the retention suctions (points 1..30) strictly
    // rising (ThetaFromSuction then counts its bracket); a table written otherwise must not keep a 1.
    std::vector<std::uint8_t> suctionRises;
    std::vector<double> ksat;
    std::vector<double> thickness;
    std::vector<double> theta_sat;
    std::vector<double> theta_res;
    std::vector<double> Par_n;
    std::vector<double> Par_m;
    std::vector<double> alpha;
    std::vector<double> Par_tau;
    std::vector<double> k_recession;
    double kReduction = 0;  // fixed format: conductivity decrease per m of depth
    double maxratio = 0;
    double EvapMaxDepth = 0.1;
    double MaxInterflowDepth = 0;
    double ThicknessScaling = 0;
    double totalDepth = 0;
    double PMacroThresh = 0;
    double MacroCapacity = 0;
    double MacroDepth = 0;
    double CapacityRedu = 0;
    // sand, silt, clay, stones1..4
    std::array<double, 7> GrainSizeDist{0.3333, 0.3333, 0.3334, 0, 0, 0, 0};
    std::array<double, 11> SU_PAR{};
    std::vector<double> DryHeatCapacity;
    std::vector<double> DryDensity;
    std::vector<double> DryThermalConduct;
    double KMinFrozenSoil = -1.0;
    double lnKMinFrozenSoil = -20.0;
    double freezingTmin = kFreezingTmin;
    std::int32_t freezingSteps = kFreezingSteps;
    // Per layer 0..n: N + 1 values once ComputeFreezingTables has run for the layer.
    std::vector<std::vector<double>> unfrozenSaturation;
    std::vector<std::vector<double>> unfrozenDerivative;
    std::vector<std::vector<double>> freezingOffset;

private:
    void ParseBlockKeys(DiagLog& log, std::string_view block);
    void ParseOptionalBlockKeys(std::string_view block);
    void CheckGrainSizes(DiagLog& log, std::string_view block) const;
    // Conductivity, thickness, water contents and van Genuchten parameters of every layer lie
    // in their physical ranges, or the entry is refused (17).
    void CheckHydraulicBounds(DiagLog& log) const;
    void BuildLayerTables();
    void ApplyConductivityRecession();
    void AllocateLayerArrays();
    void SetBlockDefaults();
    double UnfrozenAt(const std::vector<double>& table, double y) const {
        // Linear between the two points around y, extended beyond the ends of the table.
        // The point below is trunc(y) held to 0..N - 1 (0 for NaN), found without the library's trunc.
        if (table.empty()) return 0.0;
        const int N = freezingSteps;
        int j = 0;
        if (y >= N - 1)
            j = N - 1;
        else if (y > 0)
            j = static_cast<int>(y);
        const double f = y - j;
        const std::size_t a = static_cast<std::size_t>(j);
        return table[a + 1] * f + table[a] * (1.0 - f);
    }
    // The suction look-up's bracket search (hint set to the bracket found): counted where the table
    // falls strictly, else the bisection.
    double SuctionFromThetaSearch(std::int32_t layer, double theta, int& hint) const;
    // The same for the conductivity table, for theta th[30] <= theta < th[1] or no number.
    double RelConductivityFromThetaSearch(std::int32_t layer, double theta, int& hint) const;
    // In a strictly falling table th, whether theta lies in bracket hint (1 <= hint < kTablePoints:
    // th[hint] > theta >= th[hint + 1]) or in a neighbouring one, where a water content that moved a
    // little mostly went; hint is then set to that bracket. The bracket of a water content is unique,
    // so that any bracket found is the one the search would find.
    static bool HintOrNeighbour(const PointTable& th, double theta, int& hint) {
        const std::size_t k = static_cast<std::size_t>(hint);
        if (th[k] > theta) {
            if (theta >= th[k + 1]) return true;
            if (k + 1 < kTablePoints && theta >= th[k + 2]) {
                hint += 1;
                return true;
            }
            return false;
        }
        if (k > 1 && th[k - 1] > theta) {
            hint -= 1;
            return true;
        }
        return false;
    }
    // Linear between points k and k + 1 of a falling table th, the values of table v.
    static double Interpolate(const PointTable& th, const PointTable& v, int k, double theta) {
        const std::size_t a = static_cast<std::size_t>(k), b = a + 1;
        const double span = th[a] - th[b];
        // Two equal water contents (a flat part of the curve) leave no interval to interpolate in.
        const double f = span > 0 ? (theta - th[b]) / span : 0.0;
        return v[a] * f + (1.0 - f) * v[b];
    }
};
