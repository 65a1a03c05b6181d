// The per-step update of the land-use parameter grids: the day's mean temperature is summed
// in every step; in the last step of a day the 7-day mean, the phenology and the parameters
// for the date are renewed; the balance vegetation period is counted in steps.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#include "kernel/controlfile.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/nodata.hpp"
#include "kernel/threading.hpp"
#include "tables/landuse_grids.hpp"

namespace {

// The table values an entry gives a cell of one layer on the day, kept for the next cells of
// the row: an entry without per-cell days gives every cell of the same altitude the same
// values. Set only once all of them were computed.
struct TableValues {
    const landuse_entry* entry = nullptr;
    std::uint64_t altitude = 0;
    std::array<double, 8> values{};
};
constexpr int kKeptLayers = 8;

bool SameForEveryCell(const landuse_entry& e) {
    const bool cellDays = (e.method == landuse_entry::kDynamicPhenology3 || e.method == landuse_entry::kDynamicPhenology4) &&
                          e.cellFixPointDays != nullptr;
    const bool cellStart = e.HasDynamicStart() && e.cellStartDays != nullptr;
    return !cellDays && !cellStart;
}

}  // namespace

void LanduseParameterGrids::LogDailyRenewal(modelobject& setup, std::int64_t hour, std::int64_t day,
                                            std::int64_t month, std::int64_t year, std::int64_t previousHour) {
    const auto hours = static_cast<std::int64_t>(std::trunc(setup.GetHourOffset()));
    if (hours + hour != 24 || setup.log == nullptr) return;
    const int interval = setup.GetRunInterval();
    const std::string head = "INFO: " + StrFormat("%20s", "actual parameters");
    DiagLog& log = *setup.log;
    if (interval == 1)
        log << head.c_str() << " " << day << "." << month << "." << year << " " << hour << ". h" << "[end-entry]";
    else if (interval > 1 && (hours + previousHour) % interval == 0)
        log << head.c_str() << " " << day << "." << month << "." << year << " " << hour << ". h "
            << "(time of meteo data)" << "[end-entry]";
}

void LanduseParameterGrids::UpdateDynamicLanduseParameters(std::int64_t hour, std::int64_t day, std::int64_t month,
                                                           std::int64_t year, int stepMinutes) {
    if (dynamic_) {
        if (temperature_ == nullptr) LookUpTemperature();
        AccumulateTemperature(stepMinutes);
    }
    const auto hours = static_cast<std::int64_t>(std::trunc(setup_.GetHourOffset()));
    if (hours + hour == 24) {
        LogDailyRenewal(setup_, hour, day, month, year, lastDaily_.hour);
        if (dynamic_) {
            MeansOverMinutesWithData();
            DailyMeans();
        }

        lastDaily_ = Date{hour, day, month, year};
        const int d = landuse_entry::JulianDay(day, month, year);
        if (dynamic_) UpdateDynamicPhenology(d, layers_);
        int code = 0;
        try {
            UpdateParameters(d, lastDaily_);
        } catch (const ModelError& e) {
            code = e.code();
        }
        AgreeOnFailure(code);
        if (dynamic_) {
            const int first = setup_.firstRow, last = setup_.lastRow;
#pragma omp parallel for schedule(runtime) if (WorthThreads(first, last, setup_.ncols))
            for (int r = first; r <= last; ++r) {
                const ColumnRange cols = Columns(r);
                for (int c = cols.first; c <= cols.last; ++c)
                    if (OwnCell(r, c)) (*temperatureAvg_)[r][c] = missingMinutes_[r][c] = 0;
            }
        }
        SetVegetationFlags(d);
    }
    CountVegetationDuration();
}

void LanduseParameterGrids::LookUpTemperature() {
    const int index = setup_.FindGrid("temperature", true);
    if (index < 1 || index > GridStore::kMaxIndex || store_[index].grid == nullptr) {
        log_ << "FATAL: could not find grid with label \"" << "temperature"
             << "\". \nThis grid must be present (either by interpolating "
             << "or by reading or as standard grid) for using dynamic phenology" << "[end-entry]";
        throw ModelError(33);
    }
    temperature_ = store_[index].grid;
    const int moisture = setup_.FindGrid("MeanThetaInRootZone", true);
    rootZoneMoisture_ = moisture > 0 ? store_[moisture].grid : nullptr;
}

void LanduseParameterGrids::AccumulateTemperature(int stepMinutes) {
    dayMinutes_ += stepMinutes;
    const int first = setup_.firstRow, last = setup_.lastRow;
#pragma omp parallel for schedule(runtime) if (WorthThreads(first, last, setup_.ncols))
    for (int r = first; r <= last; ++r) {
        if (!temperature_->holds(r)) continue;
        const ColumnRange cols = Columns(r);
        for (int c = cols.first; c <= cols.last; ++c) {
            // A step without temperature data adds nothing to the day's sum, but its minutes.
            if (!OwnCell(r, c)) continue;
            if (NoData((*temperature_)[r][c], setup_.nodata))
                missingMinutes_[r][c] += stepMinutes;
            else
                (*temperatureAvg_)[r][c] += stepMinutes * (*temperature_)[r][c] / 1440.0;
        }
    }
}

// A day with steps without temperature data (no valid station value): the sum of the steps with
// data is taken over their minutes. A day without any data keeps the sum 0.
void LanduseParameterGrids::MeansOverMinutesWithData() {
    const double minutes = dayMinutes_;
    dayMinutes_ = 0;
    const int first = setup_.firstRow, last = setup_.lastRow;
#pragma omp parallel for schedule(runtime) if (WorthThreads(first, last, setup_.ncols))
    for (int r = first; r <= last; ++r) {
        const ColumnRange cols = Columns(r);
        for (int c = cols.first; c <= cols.last; ++c) {
            if (!OwnCell(r, c)) continue;
            const double missing = missingMinutes_[r][c];
            if (missing > 0 && missing < minutes) (*temperatureAvg_)[r][c] *= minutes / (minutes - missing);
        }
    }
}

// The day's mean enters the history; the 7-day mean divides by the days seen so far (at most 7).
void LanduseParameterGrids::DailyMeans() {
    dayCounter_ = std::min(dayCounter_ + 1, 7);
    const double days = dayCounter_;
    const int first = setup_.firstRow, last = setup_.lastRow;
#pragma omp parallel for schedule(runtime) if (WorthThreads(first, last, setup_.ncols))
    for (int r = first; r <= last; ++r) {
        const ColumnRange cols = Columns(r);
        for (int c = cols.first; c <= cols.last; ++c) {
            if (!OwnCell(r, c)) continue;
            double* h = history_[r][c];
            for (int k = 7; k >= 2; --k) h[k] = h[k - 1];
            h[1] = (*temperatureAvg_)[r][c];
            double sum = 0;
            for (int k = 1; k <= 7; ++k) sum += h[k];
            (*movingAverage_)[r][c] = sum / days;
        }
    }
    setup_.WriteStatisticGrids(movingAverageIndex_, true, false);
}

// Rows run in parallel without messages; the first failing row (in row order) is then run
// again on this thread with the log, so the failure is reported as a serial run reports it.
void LanduseParameterGrids::UpdateParameters(int d, const Date& date) {
    const int first = setup_.firstRow, last = setup_.lastRow;
#pragma omp parallel for schedule(runtime) if (WorthThreads(first, last, setup_.ncols))
    for (int r = first; r <= last; ++r) {
        int code = 0;
        try {
            UpdateRow(nullptr, r, d, date);
        } catch (const ModelError& e) {
            code = e.code();
        }
        failedRows_[static_cast<std::size_t>(r)] = code;
    }
    for (int r = first; r <= last; ++r) {
        const int code = failedRows_[static_cast<std::size_t>(r)];
        if (code == 0) continue;
        UpdateRow(&log_, r, d, date);
        throw ModelError(code);
    }
}

void LanduseParameterGrids::UpdateRow(DiagLog* log, int r, int d, const Date& date) {
    using P = landuse_entry::Parameter;
    const double nodata = setup_.nodata;
    const std::int64_t day = date.day, month = date.month, year = date.year;
    const ColumnRange cols = Columns(r);
    // Per layer the values of the last cell; not kept on the pass that logs a failure.
    std::array<TableValues, kKeptLayers> kept;
    for (int c = cols.first; c <= cols.last; ++c) {
        if (!OwnCell(r, c)) continue;
        const double h = Altitude(r, c);
        for (int l = 1; l <= layers_; ++l) {
            const std::size_t slot = static_cast<std::size_t>(l);
            auto at = [&](LayerGrid g) -> double& { return (*grids_[g][slot])[r][c]; };
            const Matrix* landuse = landuse_[slot];
            const landuse_entry* e = landuse->holds(r) ? Entry(log, (*landuse)[r][c], l, r, c) : nullptr;
            if (e == nullptr) {
                for (int g = 0; g < kPhenologyGrids; ++g) at(static_cast<LayerGrid>(g)) = nodata;
                if (l == 1) (*albedo_)[r][c] = (*evaporationResistance_)[r][c] = nodata;
                continue;
            }
            TableValues* keep = log == nullptr && l < kKeptLayers && SameForEveryCell(*e) ? &kept[slot] : nullptr;
            const std::uint64_t altitude = std::bit_cast<std::uint64_t>(h);
            const bool known = keep != nullptr && keep->entry == e && keep->altitude == altitude;
            if (keep != nullptr && !known) keep->entry = nullptr;
            // The k-th value of the entry: the kept one, or computed (and kept) in the order of
            // the plain pass, so that a failure leaves the same grids.
            const auto value = [&](std::size_t k, auto compute) {
                if (known) return keep->values[k];
                const double v = compute();
                if (keep != nullptr) keep->values[k] = v;
                return v;
            };
            if (l == 1) {
                if (e->TestInternalParameter(1))
                    (*albedo_)[r][c] = value(0, [&] { return e->ValueAtDate(log, P::Albedo, day, month, year, l, r, c, h); });
                if (e->TestInternalParameter(2))
                    (*evaporationResistance_)[r][c] =
                        value(1, [&] { return e->ValueAtDate(log, P::rs_evaporation, day, month, year, l, r, c, h); });
            }
            if (e->TestInternalParameter(64))
                at(kRootDepth) = value(2, [&] { return e->ValueAtJulianDay(log, P::RootDepth, d, l, r, c, h); });
            if (e->TestInternalParameter(16))
                at(kLeafAreaIndex) = value(3, [&] { return e->ValueAtJulianDay(log, P::LAI, d, l, r, c, h); });
            if (e->TestInternalParameter(32))
                at(kCoverage) = value(4, [&] { return e->ValueAtJulianDay(log, P::VCF, d, l, r, c, h); });
            if (e->TestInternalParameter(4))
                at(kCanopyResistance) = value(5, [&] { return e->ValueAtDate(log, P::rsc, day, month, year, l, r, c, h); });
            if (e->TestInternalParameter(8))
                at(kInterceptionResistance) =
                    value(6, [&] { return e->ValueAtDate(log, P::rs_interception, day, month, year, l, r, c, h); });
            if (e->TestInternalParameter(128))
                at(kRoughness) = value(7, [&] { return e->ValueAtJulianDay(log, P::Z0, d, l, r, c, h); });
            if (keep != nullptr && !known) {
                keep->entry = e;
                keep->altitude = altitude;
            }
            if (d == e->JDVegetationResetForBalance) {
                at(kVegetationStart) = -1;
                at(kVegetationStop) = -1;
                at(kVegetationDuration) = 0;
            }
            if (at(kVegetationStart) <= 0) at(kVegetationStart) = e->VegetationDay(log, d, l, r, c, h);
            if (at(kVegetationStop) < 0) at(kVegetationStop) = e->VegetationStopDay(log, d, l, r, c, h);
            at(kRootDepth) = std::max(at(kRootDepth), 0.01);
            at(kCoverage) = std::clamp(at(kCoverage), 0.0, 1.0);
            at(kLeafAreaIndex) = std::max(at(kLeafAreaIndex), 0.0);
            at(kInterceptionResistance) = std::max(at(kInterceptionResistance), 0.0);
            if (at(kRoughness) <= 0) at(kRoughness) = 0.01;
        }
    }
}

// The balance vegetation period of every grid in the store starts or ends on the table's days.
void LanduseParameterGrids::SetVegetationFlags(int d) {
    if (table_.empty()) return;
    const landuse_entry& head = table_[0];
    const bool reset = d == head.JDVegetationResetForBalance;
    const bool write = d == head.JDVegetationWriteForBalance;
    if (!reset && !write) return;
    for (int i = 1; i <= GridStore::kMaxIndex && store_[i].hasInternalName; ++i) {
        if (reset) store_[i].vegStartFlag = 1;
        if (write) store_[i].vegEndFlag = 1;
    }
}

void LanduseParameterGrids::CountVegetationDuration() {
    const double nodata = setup_.nodata;
    const double rank = setup_.rank;
    const int first = setup_.firstRow, last = setup_.lastRow;
#pragma omp parallel for schedule(runtime) if (WorthThreads(first, last, setup_.ncols))
    for (int r = first; r <= last; ++r) {
        const ColumnRange cols = Columns(r);
        // The rows of the zone and region grids, as ValidZone and OwnCell read them: a row the
        // zone grid does not hold has no valid zone; with a region grid that does not hold it,
        // no own cell.
        const double* zones = zone_->holds(r) ? (*zone_)[r] : nullptr;
        const bool regionsHeld = regions_ == nullptr || regions_->holds(r);
        const double* regions = regions_ != nullptr && regionsHeld ? (*regions_)[r] : nullptr;
        // Each layer's cells independently of the other layers': a cell's count reads only its
        // own start and stop.
        for (int l = 1; l <= layers_; ++l) {
            const std::size_t slot = static_cast<std::size_t>(l);
            double* duration = (*grids_[kVegetationDuration][slot])[r];
            const double* start = (*grids_[kVegetationStart][slot])[r];
            const double* stop = (*grids_[kVegetationStop][slot])[r];
            for (int c = cols.first; c <= cols.last; ++c) {
                const bool valid = zones != nullptr && zones[c] > nodata;
                const bool own = valid && regionsHeld && (regions == nullptr || regions[c] == rank);
                if (!own) {
                    if (!valid) duration[c] = nodata;  // another process's cell keeps its value
                    continue;
                }
                if (start[c] >= 0 && stop[c] <= 0) duration[c] += 1;
            }
        }
    }
}
