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
    // An albedo outside [0, 1] at a fix point: FATAL naming key, fix point and land use; code 17.
    void CheckPhysicalBounds(DiagLog& log) const;
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
    // -1: not given, the soil's heat section gives the n-factor (an entry of the fixed-column
    // format has no such fields; 0 would cut its soil off from the air).
    double nf_freezing = -1;
    double nf_thawing = -1;
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

public:
    // ---- seasonal interpolation (landuse_season.cpp)
    // A date, a cell and its altitude give the actual value of a parameter by linear
    // interpolation between the fix points. None of these operations changes the record:
    // February's length and the shifted fix-point days are locals of each call, so sub-models
    // call them from any number of threads at once. Failures log a "FATAL: " entry (where the
    // error has a message) and throw: 150 day of year above 366, 151 fix point outside
    // 1..n+1, 152 shifted fix point outside 1..366, 153 invalid monthly split of a day, 154
    // month out of range in monthly mode. The overloads taking a DiagLog pointer accept null:
    // the code is then thrown without a message (parallel loops replay the failing cell to
    // log it).
    enum class Parameter {
        rsc, rs_interception, rs_evaporation, Albedo, LAI, Z0, VCF, RootDepth, SR_StemDiameter, SR_ResidCovrg
    };

    // Day of the year 1..366 (Gregorian leap years); above 366 or negative: 150.
    static int JulianDay(std::int64_t day, std::int64_t month, std::int64_t year);
    static std::int32_t FebruaryLength(std::int64_t year);
    // The fix-point days moved by altitude and the season start: actual[0..n]. Returns 0.
    int ShiftFixPoints(DiagLog& log, int startDay, double altitude, std::vector<std::int32_t>& actual) const;
    // Index k of the fix point that closes the interval holding day (1..n+1).
    int FindFixPoint(DiagLog& log, int day, int startDay, double altitude) const;

    double ValueAtJulianDay(DiagLog* log, Parameter p, int day, int layer, int row, int col, double altitude) const;
    double ValueAtDate(DiagLog* log, Parameter p, std::int64_t day, std::int64_t month, std::int64_t year, int layer,
                       int row, int col, double altitude) const;

#define TALVO_LANDUSE_PARAMETER(NAME)                                                                            \
    double NAME##AtJulianDay(DiagLog& log, int day, int layer, int row, int col, double altitude) const {       \
        return ValueAtJulianDay(&log, Parameter::NAME, day, layer, row, col, altitude);                          \
    }                                                                                                            \
    double NAME##AtDate(DiagLog& log, std::int64_t day, std::int64_t month, std::int64_t year, int layer, int row, \
                        int col, double altitude) const {                                                        \
        return ValueAtDate(&log, Parameter::NAME, day, month, year, layer, row, col, altitude);                  \
    }
    TALVO_LANDUSE_PARAMETER(rsc)
    TALVO_LANDUSE_PARAMETER(rs_interception)
    TALVO_LANDUSE_PARAMETER(rs_evaporation)
    TALVO_LANDUSE_PARAMETER(Albedo)
    TALVO_LANDUSE_PARAMETER(LAI)
    TALVO_LANDUSE_PARAMETER(Z0)
    TALVO_LANDUSE_PARAMETER(VCF)
    TALVO_LANDUSE_PARAMETER(RootDepth)
    TALVO_LANDUSE_PARAMETER(SR_StemDiameter)
    TALVO_LANDUSE_PARAMETER(SR_ResidCovrg)
#undef TALVO_LANDUSE_PARAMETER

    // Balance vegetation period: the day on which it starts or stops at this cell, else -1
    // (0 when the entry sets no start or stop fix point).
    double VegetationDay(DiagLog* log, int day, int layer, int row, int col, double altitude) const;
    double VegetationStopDay(DiagLog* log, int day, int layer, int row, int col, double altitude) const;
    double VegetationDayAtJulianDay(DiagLog& log, int day, int layer, int row, int col, double altitude) const {
        return VegetationDay(&log, day, layer, row, col, altitude);
    }
    double VegetationStopDayAtJulianDay(DiagLog& log, int day, int layer, int row, int col, double altitude) const {
        return VegetationStopDay(&log, day, layer, row, col, altitude);
    }
    double VegetationDayAtDate(DiagLog& log, std::int64_t day, std::int64_t month, std::int64_t year, int layer,
                               int row, int col, double altitude) const {
        return VegetationDay(&log, JulianDay(day, month, year), layer, row, col, altitude);
    }
    double VegetationStopDayAtDate(DiagLog& log, std::int64_t day, std::int64_t month, std::int64_t year, int layer,
                                   int row, int col, double altitude) const {
        return VegetationStopDay(&log, JulianDay(day, month, year), layer, row, col, altitude);
    }

    // n-factor of frozen soil: the table's fix points, never shifted.
    double NFactorAtJulianDay(DiagLog& log, int day) const;
    double NFactorAtDate(DiagLog& log, std::int64_t day, std::int64_t month, std::int64_t year) const {
        return NFactorAtJulianDay(log, JulianDay(day, month, year));
    }
    // Forcing threshold of fix point k (method 5, 0 <= k <= n), else -1.
    double GetDP3Value(int k) const;

    // Per-layer references of the land-use parameter grids (indexed by layer 1..L).
    void SetCellFixPointDays(Stack* const* days, std::int32_t levels) {
        cellFixPointDays = days;
        cellFixPointLevels = levels;
    }
    void SetCellStartDays(Matrix* const* days) { cellStartDays = days; }
    void SetCellForcingThresholds(Matrix* const* thresholds) { cellForcingThresholds = thresholds; }
    void SetCellForcingSums(Matrix* const* sums) { cellForcingSums = sums; }
    bool HasDynamicStart() const {
        return method == kDynamicPhenology1 || method == kDynamicPhenology2 || method == kDynamicPhenology4;
    }

private:
    struct Interval {
        int k;              // the fix point closing the interval (1..n+1)
        std::int32_t left;  // shifted day of fix point k - 1
        std::int32_t right; // shifted day of fix point k (unused when k = n + 1)
    };
    std::int32_t ShiftedDay(DiagLog* log, int k, int startDay, double altitude) const;
    Interval FindInterval(DiagLog* log, int day, int startDay, double altitude) const;
    int CellStartDay(int layer, int row, int col) const;
    const double* CellFixPointDays(int layer, int row, int col) const;
    double CellValue(const std::vector<double>& a, const double* days, int day, int layer, int row, int col) const;
    double MonthlyValue(const std::vector<double>& a, std::int64_t day, std::int64_t month,
                        std::int32_t february) const;
    const std::vector<double>& Values(Parameter p) const;
    void RequireValues(DiagLog* log, const std::vector<double>& a, std::size_t size, int error) const;
};
