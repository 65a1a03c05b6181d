// Statistics of the routed discharge per subbasin and its goodness-of-fit blocks.
#include <algorithm>
#include <new>

#include "kernel/diaglog.hpp"
#include "kernel/zonestat.hpp"
#include "kernel/zonestat_detail.hpp"

using zonestat_detail::SignalScope;

double FitRSquare(const FitSums& s) {
    const double vo = s.observed > 2.0 ? (s.sumObs2 - s.sumObs * s.sumObs / s.observed) / (s.observed - 1) : 0.0;
    if (!(s.pairs > 2.0)) return 1.0;
    const double vd = s.sumDev2 / (s.pairs - 1);
    if (vo == 0 || vd == 0) return 1.0;
    return 1 - vd / vo;
}

double FitCoefficientOfVariation(const FitSums& s) {
    const double vo = s.observed > 2.0 ? (s.sumObs2 - s.sumObs * s.sumObs / s.observed) / (s.observed - 1) : 0.0;
    if (!(s.pairs > 2.0)) return 1.0;
    const double vd = (s.sumDev2 - s.sumDev * s.sumDev / s.pairs) / (s.pairs - 1);
    if (vo == 0 || vd == 0) return 1.0;
    return 1 - vd / vo;
}

routstatistic::routstatistic(int* error, DiagLog* log, const Matrix* weights, int nrows, int ncols,
                             zoneFZT* records, const std::vector<double>& areas, int nzones, long outputCode,
                             int decimals, const std::string& fileName, const std::string& pathPrefix,
                             int maxSelected, const std::vector<int>& selectedCodes)
    : zonalstatistic(error, log, weights, nrows, ncols, records, nzones, outputCode, decimals, fileName, pathPrefix,
                     maxSelected, selectedCodes) {
    if (!active()) return;
    hasTotal_ = false;
    valueCount_ -= 1;
    obsCount_ = valueCount_;
    try {
        const auto zones = static_cast<std::size_t>(nzones_) + 1;
        zoneAreas_.assign(zones, 0.0);
        std::copy_n(areas.begin(), std::min(areas.size(), zones), zoneAreas_.begin());
        // Sized for every zone position, so the routing can file an observed value under any
        // subbasin whatever the columns of the table.
        const std::size_t size = std::max(static_cast<std::size_t>(valueCount_), zones) + 1;
        obsValues_.assign(size, 0.0);
        obsSecond_.assign(size, 0.0);
        obsAreas_.assign(size, 0.0);
        obsCodes_.assign(size, 0);
    } catch (const std::bad_alloc&) {
        if (log_) *log_ << "FATAL: no free memory in zonalstatistik::zonalstatistik " << "[end-entry]";
        if (error) *error = 1;
        ok_ = false;
        kind_ = -1;
    }
}

routstatistic::~routstatistic() { UnregisterObserved(); }

void routstatistic::UnregisterObserved() {
    if (table_ != nullptr && obsTableIndex_ >= 0) table_[obsTableIndex_] = OutputCodeEntry{};
    obsTableIndex_ = -1;
}

int routstatistic::WriteHeader(const std::string& gridName, const std::string& subModelName, OutputCodeEntry* table,
                               int tableSize) {
    if (!active() || rank_ != 0) return -1;
    SignalScope signals(SignalScope::After::Default);
    Open("wt");
    const int index = FindFreeEntry(table, tableSize, 0);
    if (index >= 0) {
        Register(table, index);
        // The observed values take the entry right after this one, when it exists and is free.
        if (index + 1 < tableSize && table[index + 1].isFree()) {
            OutputCodeEntry& e = table[index + 1];
            e.year = obsDate_.year;
            e.month = obsDate_.month;
            e.day = obsDate_.day;
            e.hour = obsDate_.hour;
            e.valueCount = obsCount_;
            e.lastValues = obsValues_.data();
            e.secondValues = obsSecond_.data();
            e.areas = obsAreas_.data();
            e.title = &obsTitle_;
            e.codes = obsCodes_.data();
            obsTableIndex_ = index + 1;
        } else if (log_) {
            *log_ << "WARNING: no free entry after " << index << " in the table of statistics outputs, "
                  << "the observed runoff of " << fileName_ << " is not registered" << "[end-entry]";
        }
    }

    WriteZoneCodes();
    WriteText("\n");
    SetTitle(gridName, subModelName);
    WriteText("--\t--\t--\t--");
    for (int j = 1; j <= ZoneColumns(); ++j) {
        const auto k = static_cast<std::size_t>(j);
        const double area = zoneAreas_[static_cast<std::size_t>(ColumnZone(j))];
        WriteText(StrFormat("\t%.7lf", area));
        areas_[k] = area;
        obsAreas_[k] = area;
        obsCodes_[k] = codes_[k];
        obsValues_[k] = 0;
        obsSecond_[k] = 0;
    }
    WriteText("\n");
    Close();
    return index;
}

void routstatistic::Accumulate(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour) {
    if (!active() || rank_ != 0) return;
    if (interval_ < 2) {
        if (stepCounter_ != interval_) return;
    } else {
        AddIntervalTotals();
        if (stepCounter_ != interval_) {
            SaveIntervalTotals();
            return;
        }
    }
    OpenRow(year, month, day, hour);
    obsDate_ = RowDate{year, month, day, hour};
    for (int i = 1; i <= nzones_; ++i) {
        const zoneFZT& z = records_[i];
        const double value = (z.n > 0 && z.RelCellSum != 0) ? (z.sx / z.n) * (z.n / z.RelCellSum) : 0.0;
        AppendZone(i, value);
    }
    if (interval_ >= 2) ClearIntervalTotals();
    stepCounter_ = 0;
    if (rowsInBuffer_ >= capacity_) FlushBuffer();
}

void routstatistic::WriteEfficiencyBlock(const LagTables& sums, bool coefficient, const char* label,
                                         const char* labelAtZero, bool keepInRecords) {
    const int columns = ZoneColumns();
    for (int k = 0; k < 21; ++k) {
        const int shift = k - 10;
        WriteText(StrFormat("%s\t%d", shift == 0 ? labelAtZero : label, shift));
        const std::vector<FitSums>& table = sums[static_cast<std::size_t>(k)];
        for (int j = 1; j <= columns; ++j) {
            const int zone = ColumnZone(j);
            const FitSums s = static_cast<std::size_t>(zone) < table.size() ? table[static_cast<std::size_t>(zone)]
                                                                            : FitSums{};
            const double value = coefficient ? FitCoefficientOfVariation(s) : FitRSquare(s);
            WriteText(StrFormat("\t%.*lf", decimals_ - 1, value));
            if (keepInRecords && shift == 0) {
                records_[zone].n = 1.0;
                records_[zone].sx = value;
            }
        }
        WriteText("\n");
    }
    WriteText("----------------------\n");
}

void routstatistic::WriteEfficiency(const LagTables& linear, const LagTables& logarithmic) {
    if (!active() || rank_ != 0) return;
    FlushBuffer();
    SignalScope signals(SignalScope::After::Default);
    Open("a+");
    WriteText("----------------------\n");
    WriteEfficiencyBlock(linear, false, "lin. R-square", "LIN. R-SQUARE", false);
    WriteEfficiencyBlock(logarithmic, false, "log. R-square", "LOG. R-SQUARE", false);
    WriteEfficiencyBlock(linear, true, "coeff.var.lin", "COEFF.VAR.LIN", true);
    WriteEfficiencyBlock(logarithmic, true, "coeff.var.log", "COEFF.VAR.LOG", false);
    Close();
}

void routstatistic::Release() {
    UnregisterObserved();
    zoneAreas_ = {};
    obsValues_ = {};
    obsSecond_ = {};
    obsAreas_ = {};
    obsCodes_ = {};
    zonalstatistic::Release();
}
