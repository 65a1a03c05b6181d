#pragma once
// One entry of the land-use table: the vegetation parameters of a land use as values at fix
// points of the year, the rules that move those fix points, and scalar parameters.
//
// Record 0 of a table describes no land use: its code holds the number of entries and it
// carries the table-wide balance period. Per-fix-point arrays hold n + 1 values, element 0
// being the last fix point of the year before; the monthly arrays of the old table format
// hold 14 values (0 = December before, 1..12 the months, 13 = January after).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class DiagLog;
class Matrix;
class Stack;

class landuse_entry {
public:
    // Interpolation methods.
    static constexpr std::int32_t kMonthly = 1;
    static constexpr std::int32_t kVariableDayCount = 2;
    static constexpr std::int32_t kDynamicPhenology1 = 3;
    static constexpr std::int32_t kDynamicPhenology2 = 4;
    static constexpr std::int32_t kDynamicPhenology3 = 5;
    static constexpr std::int32_t kDynamicPhenology4 = 6;
    static constexpr std::size_t kMaxNameLength = 199;

    landuse_entry() = default;
    explicit landuse_entry(std::int32_t code_) : code(code_) {}

    // --- reading (table reader)
    // Fills the record from the text of one block entry (head line up to the line holding the
    // first "}"). Any failure is logged with the block and thrown as code 29.
    void ParseLanduseBlock(DiagLog& log, std::string_view text, std::string_view methodName);
    // Fills the record from one line of the old fixed format; failure: code 29.
    void ReadFixedFormat(DiagLog& log, std::string_view line, int soilModelVariant);
    // Reads count numbers of key into values[1..count], values[0] = values[count].
    // False when the key is absent; a present key without count readable numbers throws 29.
    bool ParseValueList(std::string_view text, std::string_view key, std::vector<double>& values, int count);
    // "JulDays" and "SoilTillage": integer lists with element 0 = last element - 366.
    void ParseJulDays(DiagLog& log, std::string_view text);
    void ParseSoilTillage(std::string_view text);

    // --- accessors used by the sub-models
    double GetRootDist() const { return RootDist; }
    double GetHReduDry() const { return HReduDry; }
    double GetTReduWet() const { return TReduWet; }
    double GetLimitReduWet() const { return LimitReduWet; }
    double GetNFactorFreezing() const { return nf_freezing; }
    double GetNFactorThawing() const { return nf_thawing; }
    double GetIntercepCap() const { return IntercepCap; }
    const std::string& GetName() const { return name; }
    std::int32_t GetNumber() const { return code; }
    void GetSoilTillage(std::int32_t* count, const std::int32_t** days) const {
        *count = SoilTillageCount;
        *days = SoilTillage.empty() ? nullptr : SoilTillage.data();
    }
    std::int32_t GetSR_cultivation() const { return SR_cultivation; }
    double GetSR_CropDistX() const { return SR_CropDistX; }
    double GetSR_CropDistY() const { return SR_CropDistY; }
    double GetSR_K_ST() const { return SR_K_ST; }
    double GetSR_C_WR() const { return SR_C_WR; }
    void GetSR_rough_coeff1(double* c1, double* c2, double* c3) const { Coefficients(SR_rough_coeff1, c1, c2, c3); }
    void GetSR_rough_coeff2(double* c1, double* c2, double* c3) const { Coefficients(SR_rough_coeff2, c1, c2, c3); }
    std::int32_t GetMethod() const { return method; }
    std::int32_t GetFixPointCount() const { return fixPointCount; }
    std::int32_t GetInternalParameterMask() const { return internalParameterMask; }
    std::int32_t TestInternalParameter(std::int32_t bits) const { return internalParameterMask & bits; }
    // Fix-point day and altitude shift at index k (out of range: -1 and 0).
    std::int32_t GetJulDay(int k) const { return k >= 0 && k <= fixPointCount ? JulDays[static_cast<std::size_t>(k)] : -1; }
    double GetAltDep(int k) const { return k >= 0 && k <= fixPointCount ? AltDep[static_cast<std::size_t>(k)] : 0.0; }

    // ---- fields
    std::string name;
    std::int32_t code = 0;
    std::int32_t method = 0;
    std::int32_t fixPointCount = 0;       // n
    std::int32_t cellFixPointLevels = 0;  // levels of the per-cell fix-point stacks
    std::int32_t StartVegetationPeriodForBalance = 0;
    std::int32_t StopVegetationPeriodForBalance = 1000;
    std::int32_t JDVegetationResetForBalance = 1;
    std::int32_t JDVegetationWriteForBalance = 0;
    std::int32_t internalParameterMask = 255;
    std::string useInternalParameters = "11111111";

    // Per layer, owned by the set-up object (never freed here).
    Stack* const* cellFixPointDays = nullptr;
    Matrix* const* cellStartDays = nullptr;
    Matrix* const* cellForcingThresholds = nullptr;
    Matrix* const* cellForcingSums = nullptr;

    std::int32_t TStart = 0;
    std::int32_t startFixPoint = 0;
    std::vector<std::int32_t> JulDays;
    std::vector<std::int32_t> actualFixPointDays;
    std::vector<double> rsc;
    std::vector<double> rs_interception;
    std::vector<double> rs_evaporation;
    std::vector<double> Albedo;
    std::vector<double> LAI;
    std::vector<double> Z0;
    std::vector<double> VCF;
    std::vector<double> RootDepth;
    std::vector<double> AltDep;
    std::vector<double> ForcingThreshold;  // method 5 only

    double RootDist = 0;
    double HReduDry = 0;
    double TReduWet = 0;
    double LimitReduWet = 0;
    double FStar = 0;  // key "F*"
    std::int32_t JDReset_TStart = 0;
    std::int32_t DP1_t1_dorm = 0;
    double DP1_T_Bf = 0;
    std::int32_t DP2_t0_dorm = 0;
    std::int32_t DP2_t1_dorm = 0;
    double DP2_T_Bc = 0;
    double DP2_T_Bf = 0;
    double DP2_Par_a = 0;
    double DP2_Par_b = 0;
    double DP2_Offset_1 = 0;
    double DP2_Offset_2 = 0;
    std::int32_t DP4_t0_dorm = 0;
    std::int32_t DP4_t1_dorm = 0;
    double DP4_T0 = 0;
    double DP4_T1 = 0;
    double DP4_Par_a = 0;
    double DP4_Par_b = 0;
    double DP4_T_xylstop = 0;
    std::int32_t DP4_t_xs1 = 0;
    std::int32_t DP4_SPSLF = 0;
    std::int32_t maxStartJDforDP1 = 0;
    std::uint8_t simpleForcing = 0;
    double StressFactorDynPhen = 0;
    double IntercepCap = -1.0;
    std::vector<std::int32_t> SoilTillage;
    std::int32_t SoilTillageCount = 0;
    std::int32_t SR_cultivation = 0;
    std::vector<double> SR_StemDiameter;
    std::vector<double> SR_ResidCovrg;
    double SR_CropDistX = 0;
    double SR_CropDistY = 0;
    double SR_K_ST = 0;
    double SR_C_WR = 0;
    std::vector<double> SR_rough_coeff1;  // elements 1..3
    std::vector<double> SR_rough_coeff2;
    std::vector<double> nFactor;  // key "n-factor"
    double nf_freezing = 0;
    double nf_thawing = 0;
    // Element 0 is December of the year before; element 2 follows the year of the last date
    // converted.
    std::array<std::int32_t, 13> monthLengths{31, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

private:
    static void Coefficients(const std::vector<double>& a, double* c1, double* c2, double* c3) {
        const bool given = a.size() >= 4;
        *c1 = given ? a[1] : 0.0;
        *c2 = given ? a[2] : 0.0;
        *c3 = given ? a[3] : 0.0;
    }
    void ParseBlockKeys(DiagLog& log, std::string_view block);
    void ParseGeneralKeys(std::string_view block);
    void ParsePhenologyKeys(DiagLog& log, std::string_view block);
    void ParseFixPointArrays(std::string_view block);
    void ParseSurfaceRoutingKeys(DiagLog& log, std::string_view block);
    void SetFixedFormatDefaults();
};
