// Seasonal interpolation of a land-use entry: day of year, fix points moved by altitude and by
// the start of the growing season, linear interpolation between them, monthly values of the
// old table format, the balance vegetation period and the n-factor.
//
// Nothing here writes into the record: the shifted fix-point days are computed on the fly in
// each call, February's length is a local of each date conversion. The straight line through
// two fix points runs on past them (a day before the wrap-around point of an altitude-shifted
// year, a forcing sum beyond its threshold) and is held at 0 from below only, so that a leaf
// area cannot turn negative.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/matrix.hpp"
#include "tables/landuse_entry.hpp"

namespace {

constexpr int kDayAboveYear = 150;
constexpr int kFixPointOutside = 151;
constexpr int kShiftedDayOutside = 152;
constexpr int kMonthlySplit = 153;
constexpr int kMonthOutside = 154;

constexpr std::int32_t kCommonYear[13] = {31, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Whole days of a shift or a grid value, truncated toward zero; values beyond any calendar
// are held at a bound that every range check rejects or treats as "not reached".
std::int32_t WholeDays(double v) {
    constexpr double kLimit = 1.0e8;
    if (std::isnan(v)) return -static_cast<std::int32_t>(kLimit);
    if (v > kLimit) return static_cast<std::int32_t>(kLimit);
    if (v < -kLimit) return -static_cast<std::int32_t>(kLimit);
    return static_cast<std::int32_t>(std::trunc(v));
}

// The value between fix points (left day, a0) and (right day, a1) at day d. A closing fix
// point at day 0 or below is not reached: a0 holds. Outside [left, right] the nearer value
// holds; two fix points on one day give a0.
double Between(double a0, double a1, double left, double right, double d) {
    if (right <= 0 || left == right || d <= left) return a0;
    if (d >= right) return a1;
    return a0 * (right - d) / (right - left) + a1 * (d - left) / (right - left);
}

// The straight line through (left, a0) and (right, a1) at x, not below 0; two fix points on
// one day give a0.
double Line(double a0, double a1, double left, double right, double x) {
    if (left == right) return a0;
    const double v = a0 * (right - x) / (right - left) + a1 * (x - left) / (right - left);
    return std::max(v, 0.0);
}

void ShiftFailure(DiagLog* log, const char* what, std::int64_t day, int k) {
    if (log)
        *log << "FATAL: \n---ERROR--\n" << what << day << " for fix point " << k
             << " (JD should be between 1 and 366)" << "[end-entry]";
    throw ModelError(kShiftedDayOutside);
}

}  // namespace

std::int32_t landuse_entry::FebruaryLength(std::int64_t year) {
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return leap ? 29 : 28;
}

int landuse_entry::JulianDay(std::int64_t day, std::int64_t month, std::int64_t year) {
    std::int64_t d = day;
    for (std::int64_t m = 1; m < month && m <= 11; ++m) d += m == 2 ? FebruaryLength(year) : kCommonYear[m];
    if (d < 0 || d > 366) throw ModelError(kDayAboveYear);
    return static_cast<int>(d);
}

void landuse_entry::RequireValues(DiagLog* log, const std::vector<double>& a, std::size_t size, int error) const {
    if (fixPointCount >= 1 && a.size() >= size && JulDays.size() > static_cast<std::size_t>(fixPointCount) &&
        AltDep.size() > static_cast<std::size_t>(fixPointCount))
        return;
    if (log) *log << "FATAL: land use " << code << " (" << name << ") has no values at its fix points" << "[end-entry]";
    throw ModelError(error);
}

std::int32_t landuse_entry::ShiftedDay(DiagLog* log, int k, int s, double h) const {
    const std::int32_t table = JulDays[static_cast<std::size_t>(k)];
    if (HasDynamicStart() && k == startFixPoint) {
        if (s < -1 || s > 366)
            ShiftFailure(log, "dynamic phenology (method 1 or 2 at TStart) resulted in a Julian day of ", s, k);
        return s;
    }
    if (HasDynamicStart() && k == startFixPoint + 1) {
        // The table holds the length of the first phase of the season, counted from its start.
        const std::int64_t day = static_cast<std::int64_t>(table) + s;
        if (day > 366)
            ShiftFailure(log, "dynamic phenology (method 1 or 2 after TStart) resulted in a Julian day of ", day, k);
        return static_cast<std::int32_t>(day);
    }
    const std::int64_t day =
        static_cast<std::int64_t>(table) + WholeDays((h - 400.0) * AltDep[static_cast<std::size_t>(k)]);
    if (day >= 367) ShiftFailure(log, "altitude correction resulted in a Julian day of ", day, k);
    return static_cast<std::int32_t>(day);
}

int landuse_entry::ShiftFixPoints(DiagLog& log, int startDay, double altitude,
                                  std::vector<std::int32_t>& actual) const {
    RequireValues(&log, AltDep, static_cast<std::size_t>(fixPointCount) + 1, kFixPointOutside);
    actual.assign(static_cast<std::size_t>(fixPointCount) + 1, 0);
    for (int k = 1; k <= fixPointCount; ++k) actual[static_cast<std::size_t>(k)] = ShiftedDay(&log, k, startDay, altitude);
    actual[0] = JulDays[static_cast<std::size_t>(fixPointCount)] - 366;
    return 0;
}

// One pass over the fix points: every point is shifted and checked (a bad point fails even
// when it lies beyond the interval), and the first point on or after the day, or not reached
// yet, closes the interval.
landuse_entry::Interval landuse_entry::FindInterval(DiagLog* log, int day, int s, double h) const {
    const int n = fixPointCount;
    Interval found{n + 1, 0, 0};
    std::int32_t before = JulDays[static_cast<std::size_t>(n)] - 366;
    for (int k = 1; k <= n; ++k) {
        const std::int32_t a = ShiftedDay(log, k, s, h);
        if (found.k == n + 1 && (a >= day || a < 0)) found = Interval{k, before, a};
        before = a;
    }
    if (found.k == n + 1) found.left = before;
    if (found.k > n + 1) {
        if (log)
            *log << "FATAL: Julian-day-fixpoint at " << found.k << " is outside of the allowed range of " << 1
                 << " to " << n + 1 << "[end-entry]";
        throw ModelError(kFixPointOutside);
    }
    return found;
}

int landuse_entry::FindFixPoint(DiagLog& log, int day, int startDay, double altitude) const {
    RequireValues(&log, AltDep, static_cast<std::size_t>(fixPointCount) + 1, kFixPointOutside);
    return FindInterval(&log, day, startDay, altitude).k;
}

int landuse_entry::CellStartDay(int layer, int row, int col) const {
    if (!HasDynamicStart() || cellStartDays == nullptr) return -1;
    const Matrix* m = cellStartDays[layer];
    if (m == nullptr || !m->holds(row)) return -1;
    return WholeDays((*m)[row][col]);
}

const double* landuse_entry::CellFixPointDays(int layer, int row, int col) const {
    if ((method != kDynamicPhenology3 && method != kDynamicPhenology4) || cellFixPointDays == nullptr) return nullptr;
    const Stack* s = cellFixPointDays[layer];
    if (s == nullptr || !s->holds(row) || s->levels() < fixPointCount) return nullptr;
    return (*s)[row][col];
}

const std::vector<double>& landuse_entry::Values(Parameter p) const {
    switch (p) {
        case Parameter::rsc: return rsc;
        case Parameter::rs_interception: return rs_interception;
        case Parameter::rs_evaporation: return rs_evaporation;
        case Parameter::Albedo: return Albedo;
        case Parameter::LAI: return LAI;
        case Parameter::Z0: return Z0;
        case Parameter::VCF: return VCF;
        case Parameter::RootDepth: return RootDepth;
        case Parameter::SR_StemDiameter: return SR_StemDiameter;
        case Parameter::SR_ResidCovrg: return SR_ResidCovrg;
    }
    return rsc;
}

// Per-cell fix-point days D[0..n] of methods 5 and 6 (D[0] holds the forcing threshold of the
// last point reached, method 5).
double landuse_entry::CellValue(const std::vector<double>& a, const double* D, int d, int layer, int row,
                                int col) const {
    const int n = fixPointCount;
    int k = 1;
    if (!(d < D[1] || n < 2 || D[1] <= 0)) {
        for (k = 2; k < n; ++k)
            if (d < D[k] || D[k] <= 0) break;
    }
    const auto at = [&](int i) { return a[static_cast<std::size_t>(i)]; };
    if (method == kDynamicPhenology3 && ForcingThreshold.size() > static_cast<std::size_t>(k) &&
        ForcingThreshold[static_cast<std::size_t>(k)] > 0) {
        // Between the thresholds of the last point reached and of point k, by the forcing sum.
        const double t = ForcingThreshold[static_cast<std::size_t>(k)];
        const Matrix* sums = cellForcingSums ? cellForcingSums[layer] : nullptr;
        const double sum = sums && sums->holds(row) ? (*sums)[row][col] : 0.0;
        return Line(at(k - 1), at(k), D[0], t, sum);
    }
    return Between(at(k - 1), at(k), D[k - 1], D[k], d);
}

double landuse_entry::ValueAtJulianDay(DiagLog* log, Parameter p, int day, int layer, int row, int col,
                                       double altitude) const {
    const std::vector<double>& a = Values(p);
    const bool monthlyParameter =
        p == Parameter::rsc || p == Parameter::rs_interception || p == Parameter::rs_evaporation;
    if (monthlyParameter && (method == 0 || method == kMonthly)) {
        // A day of the year without its year is read as a day of a common year.
        int d = day > 365 ? day % 365 : day;
        if (d == 0) d = 1;
        int m = 1;
        while (m <= 12 && d > kCommonYear[m]) d -= kCommonYear[m++];
        if (d < 1 || m > 12) throw ModelError(kMonthlySplit);
        return MonthlyValue(a, d, m, 28);
    }
    RequireValues(log, a, static_cast<std::size_t>(fixPointCount) + 1, kFixPointOutside);
    if (const double* D = CellFixPointDays(layer, row, col)) return CellValue(a, D, day, layer, row, col);

    const int s = CellStartDay(layer, row, col);
    Interval iv{};
    try {
        iv = FindInterval(log, day, s, altitude);
    } catch (const ModelError& e) {
        if (log && p == Parameter::RootDepth)
            *log << "FATAL: Coordinates: i=" << row << ", j=" << col << "\nLayer=" << layer << "\nAltitude=" << altitude
                 << "m\nJulday=" << day << "\nLanduse Code=" << code << "\nTStart=" << TStart << "[end-entry]";
        throw;
    }
    double d = day;
    if (iv.k > fixPointCount) {
        // After the last fix point: toward the first point of the next year.
        d -= 366;
        iv = Interval{1, JulDays[static_cast<std::size_t>(fixPointCount)] - 366, ShiftedDay(log, 1, s, altitude)};
    }
    const auto at = [&](int i) { return a[static_cast<std::size_t>(i)]; };
    if (HasDynamicStart() && iv.k == startFixPoint) return at(iv.k - 1);
    return Line(at(iv.k - 1), at(iv.k), iv.left, iv.right, d);
}

// Monthly values of the old table format: element m stands at day 15 of month m (0 the
// December before, 13 the January after).
double landuse_entry::MonthlyValue(const std::vector<double>& a, std::int64_t day, std::int64_t month,
                                   std::int32_t february) const {
    if (a.size() < 14) throw ModelError(kMonthOutside);
    if (month - 1 < 0 || month - 1 > 11) throw ModelError(kMonthOutside);
    std::int32_t lengths[13];
    for (int i = 0; i < 13; ++i) lengths[i] = kCommonYear[i];
    lengths[2] = february;
    std::int64_t m = month;
    std::int64_t d = day;
    if (day <= 14) {
        m = month - 1;
        d = day + lengths[m];
    }
    const double length = lengths[m];
    const double a0 = a[static_cast<std::size_t>(m)];
    const double a1 = a[static_cast<std::size_t>(m) + 1];
    if (length == 0) return a0;
    return a0 * (length + 15 - static_cast<double>(d)) / length + a1 * (static_cast<double>(d) - 15) / length;
}

double landuse_entry::ValueAtDate(DiagLog* log, Parameter p, std::int64_t day, std::int64_t month,
                                  std::int64_t year, int layer, int row, int col, double altitude) const {
    const int d = JulianDay(day, month, year);
    const bool monthlyParameter =
        p == Parameter::rsc || p == Parameter::rs_interception || p == Parameter::rs_evaporation;
    if (monthlyParameter && (method == 0 || method == kMonthly))
        return MonthlyValue(Values(p), day, month, FebruaryLength(year));
    return ValueAtJulianDay(log, p, d, layer, row, col, altitude);
}

double landuse_entry::VegetationDay(DiagLog* log, int day, int layer, int row, int col, double altitude) const {
    const int start = StartVegetationPeriodForBalance, stop = StopVegetationPeriodForBalance;
    if (start == 0) return 0;
    RequireValues(log, AltDep, static_cast<std::size_t>(fixPointCount) + 1, kFixPointOutside);
    const int n = fixPointCount;
    const bool open = start > stop;  // a period across the turn of the year
    if (const double* D = CellFixPointDays(layer, row, col)) {
        int k = 0;
        if (!(day < D[1] || n < 2 || D[1] <= 0)) {
            int j = 2;
            while (j < n && !(day < D[j] || D[j] <= 0)) ++j;
            k = j - 1;
        }
        if (k < start) return -1;
        if (k < stop || open) return day >= D[k] ? day : -1;
        return -1;
    }
    const Interval iv = FindInterval(log, day, CellStartDay(layer, row, col), altitude);
    if (iv.k > n) return -1;  // the first point of the next year: never on or before the day
    if (iv.k < start) return -1;
    if (iv.k < stop || open) return iv.right >= 1 && day >= iv.right ? day : -1;
    return -1;
}

double landuse_entry::VegetationStopDay(DiagLog* log, int day, int layer, int row, int col, double altitude) const {
    const int stop = StopVegetationPeriodForBalance;
    if (stop == 0) return 0;
    RequireValues(log, AltDep, static_cast<std::size_t>(fixPointCount) + 1, kFixPointOutside);
    const int n = fixPointCount;
    if (const double* D = CellFixPointDays(layer, row, col)) {
        if (day < D[1] || n < 2 || D[1] <= 0) return -1;
        int j = 2;
        while (j < n && !(day < D[j] || D[j] <= 0)) ++j;
        return j - 1 == stop && day == D[stop] ? day : -1;
    }
    const Interval iv = FindInterval(log, day, CellStartDay(layer, row, col), altitude);
    return iv.k <= n && iv.k == stop && iv.right == day ? day : -1;
}

double landuse_entry::NFactorAtJulianDay(DiagLog& log, int day) const {
    RequireValues(&log, nFactor, static_cast<std::size_t>(fixPointCount) + 1, kFixPointOutside);
    const int n = fixPointCount;
    int k = 1;
    while (k <= n && !(JulDays[static_cast<std::size_t>(k)] >= day || JulDays[static_cast<std::size_t>(k)] < 0)) ++k;
    double d = day;
    if (k > n) {
        d -= 366;
        k = 1;
    }
    const double a0 = nFactor[static_cast<std::size_t>(k) - 1], a1 = nFactor[static_cast<std::size_t>(k)];
    // A land use without n-factor values (marked -1) has none for the date: the caller takes
    // its freezing/thawing value instead. The line, held at 0, would turn the mark into 0.
    if (a0 < 0 || a1 < 0) return -1.0;
    return Line(a0, a1, JulDays[static_cast<std::size_t>(k) - 1], JulDays[static_cast<std::size_t>(k)], d);
}

double landuse_entry::GetDP3Value(int k) const {
    if (method != kDynamicPhenology3 || k < 0 || k > fixPointCount ||
        static_cast<std::size_t>(k) >= ForcingThreshold.size())
        return -1;
    return ForcingThreshold[static_cast<std::size_t>(k)];
}
