// Construction of the routing model: the section "[routing_model]", the observed-discharge
// table and the network of routing descriptions.
#include <cstdio>

#include "routing/abfluss.hpp"
#include "routing/routing_messages.hpp"
#include "routing/rules.hpp"

namespace {
const char* const kSection = "[routing_model]";
}  // namespace

abflussmodellklasse::abflussmodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s,
                                         const TracerDescriptor* descriptors, int tracerCount, int lakeReadGrids_)
    : teilmodellklasse(log_, "routing_model", s, 1) {
    tracerDescriptors = descriptors;
    nTr = tracerCount;
    lakeReadGrids = lakeReadGrids_;
    CatchIntoError(error, [&] { Construct(); });
}

abflussmodellklasse::~abflussmodellklasse() {
    if (precOnLakesIndex > 0 && gridStore != nullptr) ReleaseGrid(precOnLakesIndex);
}

void abflussmodellklasse::Fatal(const std::string& text, int code) {
    *log << "FATAL: " << text << "[end-entry]";
    throw ModelError(code);
}

void abflussmodellklasse::Construct() {
    ReadModuleSection(true);
    if (rank != 0) {
        routingRequested = flowControl;
        if (flowControl != 0 && ControlStream() != nullptr) routing::NoteRuleSections(ControlStream());
        flowControl = 0;
        controlFile.reset();
        return;
    }
    routingRequested = 1;
    if (flowControl == 0) return;

    LogBanner("abfluss");
    observedInflow = flowControl == 2 ? 1 : 0;
    startDate[0] = static_cast<int>(endYear);
    startDate[1] = static_cast<int>(endMonth);
    startDate[2] = static_cast<int>(endDay);
    startDate[3] = static_cast<int>(endHour);
    nSb = zoneCount;
    abfrel[0].assign(static_cast<std::size_t>(nSb + 1), 0.0);
    for (int i = 0; i <= nSb && zoneRecords != nullptr && static_cast<std::size_t>(i) < zoneRecords->size(); ++i)
        abfrel[0][static_cast<std::size_t>(i)] = (*zoneRecords)[static_cast<std::size_t>(i)].rel;
    abfrel[1].assign(static_cast<std::size_t>(nSb + 1), 1.0);
    targets.Allocate(nSb);
    observedColumn.assign(static_cast<std::size_t>(nSb + 1), 0);

    ReadTableSettings();
    ReadObservedDescriptors();
    totals = routing::CountDescriptions(ControlStream(), *log).counts;
    InitTracerOutputs();
    maxirrig.assign(static_cast<std::size_t>(nTr + 1), std::vector<double>(static_cast<std::size_t>(nSb + 1), 0.0));
    maxirrigFromReservoirs = maxirrig;
    ReadLakeCodes("[lake_model]");
    RegisterPrecOnLakes();
    SkipToDescriptions();
    for (auto* tables : {&fitValues, &fitLogs})
        for (auto& lag : *tables) lag.assign(static_cast<std::size_t>(nSb + 1), FitSums{});
    BuildNetwork();
    CreateStatistic();

    const auto flows = static_cast<std::size_t>(nSb + totals.zl + 1);
    savedRunoff.assign(static_cast<std::size_t>(nTr + 1), std::vector<double>(flows, 0.0));
    inflowHistory.Assign(nTr + 1, nSub, flows);
    OpenObservedTable();
    rSquareCounter = 0;
    std::FILE* closing = controlFile.release();
    if (std::fclose(closing) != 0) FailOnFile(*log, "error closing " + controlFileName, 11);
}

void abflussmodellklasse::ReadTableSettings() {
    std::FILE* f = ControlStream();
    if (std::fscanf(f, "%lf%lf%lf%d", &qmin, &qmax, &nIntervals, &nSub) != 4)
        Fatal(routing::kTableRangeMessage, 17);
    ReadLineRest(f);
    // The tables need a positive, rising discharge range and at least one interval and one
    // sub-interval: anything else divides by zero or sizes an array to nothing.
    const std::string line = std::string(" (min. and max. specific discharge, intervals, sub-intervals) in ") + kSection;
    RequireFinite(qmin, "min. specific discharge" + line);
    RequireFinite(qmax, "max. specific discharge" + line);
    RequireFinite(nIntervals, "intervals of the tables" + line);
    RequireInRange(qmin, "min. specific discharge" + line, bound::Positive);
    RequireInRange(qmax, "max. specific discharge" + line, bound::AtLeast(qmin));
    RequireInRange(nIntervals, "intervals of the tables" + line, {1, 1.0e6, false, true});
    RequireInRange(nSub, "time sub-intervals" + line, bound::AtLeast(1));
    if (!routing::ValidTableRange(qmin, qmax, nIntervals, nSub)) Fatal(routing::kTableRangeMessage, 17);

    const std::string statLabel = std::string("name of the Qstatfiles for ") + kSection;
    std::string rest;
    ReadValue(f, "%s", &statFileName, statLabel, &rest);
    if (std::sscanf(rest.c_str(), "%ld", &statOutputCode) != 1) ControlFileError(statLabel, moduleName);
    ReadValue(f, "%s", &observedFileName, std::string("name of spec.discharge files for ") + kSection);
    ReadValue(f, "%d", &descriptorCount, std::string("number column descriptors for") + kSection);
    if (descriptorCount < 0) ControlFileError(std::string("number column descriptors for") + kSection, moduleName);
}

void abflussmodellklasse::ReadObservedDescriptors() {
    std::FILE* f = ControlStream();
    for (int d = 0; d < descriptorCount; ++d) {
        int code = 0, column = 0;
        if (std::fscanf(f, "%d", &code) != 1)
            Fatal("error reading a subbasin index for column indexing in routing model", 17);
        if (std::fscanf(f, "%d", &column) != 1)
            Fatal("error reading a column number for column indexing in routing model", 17);
        const bool known = code >= 0 && code <= maxZoneCode && zoneIndex != nullptr &&
                           static_cast<std::size_t>(code) < zoneIndex->size() &&
                           (*zoneIndex)[static_cast<std::size_t>(code)] >= 1 &&
                           (*zoneIndex)[static_cast<std::size_t>(code)] <= nSb;
        if (!known || column < 0) {
            *log << "WARNING: column descriptor " << d + 1 << " (subbasin " << code << ", column " << column
                 << ") of the observed discharge names no subbasin or a negative column: no observation for it"
                 << "[end-entry]";
            continue;
        }
        observedColumn[static_cast<std::size_t>((*zoneIndex)[static_cast<std::size_t>(code)])] = column;
    }
    if (descriptorCount > 0) ReadLineRest(f);
    ReadValue(f, "%d", &rSquareOffset, std::string("Zeitoffset fuer Beginn der R-square-Berechnung fuer ") + kSection);
}

void abflussmodellklasse::RegisterPrecOnLakes() {
    precOnLakesIndex = FirstFreeGridIndex();
    if (precOnLakesIndex >= 1000) {
        precOnLakesIndex = 0;
        Fatal("no more free grids in memory, (max. 1000)!", 12);
    }
    precOnLakes = matrix(firstRow, lastRow, 1, ncols, nrows);
    RegisterGrid(precOnLakesIndex, "", &precOnLakes, nullptr, 0, "PrecOnLakes", 0, firstRow, lastRow);
}

void abflussmodellklasse::SkipToDescriptions() {
    SeekSection(kSection, true);
    std::FILE* f = ControlStream();
    for (int line = 0; line < 7 + descriptorCount; ++line) {
        int c = 0;
        while ((c = std::fgetc(f)) != EOF && c != '\n') {
        }
        if (c == EOF)
            Fatal("error searching the second time for routing descriptions\nthe first run was ok., but not the second",
                  38);
    }
}

void abflussmodellklasse::ReadOutputUnit() {
    if (!SeekSection("[output_interval]", true)) return;
    std::FILE* f = ControlStream();
    ReadLineRest(f);
    ReadLineRest(f);
    // An unreadable unit leaves it at 0 (mm per subbasin).
    int unit = 0;
    if (std::fscanf(f, "%d", &unit) == 1) outputUnit = unit;
    ReadLineRest(f);
}

const char* abflussmodellklasse::UnitTitle(int unit) {
    if (unit == 0) return "routed discharge [mm per subbasin] ";
    if (unit == 1) return "routed discharge [ m3 per sec ] ";
    return "routed discharge (unknown measure)";
}

void abflussmodellklasse::CreateStatistic() {
    int error = 0;
    statRecords.assign(static_cast<std::size_t>(nSb + 1), zoneFZT{});
    for (int i = 0; i <= nSb && zoneRecords != nullptr && static_cast<std::size_t>(i) < zoneRecords->size(); ++i)
        statRecords[static_cast<std::size_t>(i)] = (*zoneRecords)[static_cast<std::size_t>(i)];
    std::vector<int> selected;
    for (std::size_t i = 1; i < outputList.size(); ++i) selected.push_back(outputList[i]);
    statistic = std::make_unique<routstatistic>(&error, log, nullptr, nrows, ncols, statRecords.data(), abfrel[0], nSb,
                                                statOutputCode, 5, statFileName, outputPath,
                                                outputList.empty() ? 0 : outputList[0], selected);
    ReadOutputUnit();
    if (error != 0) throw ModelError(error);
    headerResult = statistic->WriteHeader(UnitTitle(outputUnit), moduleName, settings.outputCodes,
                                          settings.outputCodeCount);
}

void abflussmodellklasse::OpenObservedTable() {
    observed = std::make_unique<TimeSeriesTable>();
    int state = TimeSeriesTable::kCannotOpen;
    try {
        observed->Open(observedFileName, 0, 1000000, nullptr);
        state = observed->State();
    } catch (const ModelError&) {
        state = TimeSeriesTable::kFormatError;
    }
    if (state == TimeSeriesTable::kCannotOpen || state == TimeSeriesTable::kNotOpened) {
        *log << "INFO: error opening " << observedFileName
             << "\nRouting will be done without comparison to observed discharge data!" << "[end-entry]";
        endOfTableCounter = 10;
        window.clear();
        observedInflow = 0;
        observed.reset();
        return;
    }
    if (state == TimeSeriesTable::kFormatError)
        Fatal("error analysing or reading " + observedFileName + " at row " + std::to_string(observed->Row()) +
                  " or before \n(e.g. due to wrong formatting or wrong number of columns or start date not found)",
              203);
    observed->SetLog(log);
    FillObservationWindow();
}

void abflussmodellklasse::FillObservationWindow() {
    TimeSeriesTable& t = *observed;
    ncol = static_cast<int>(t.Columns());
    for (int& c : observedColumn)
        if (c > ncol) c = 0;
    window.assign(21, std::vector<double>(static_cast<std::size_t>(ncol + 1), 0.0));
    endOfTableCounter = 0;
    for (int& d : observedDate) d = 0;
    t.SetRow(-1);
    auto sameDate = [&] {
        return observedDate[0] == startDate[0] && observedDate[1] == startDate[1] && observedDate[2] == startDate[2] &&
               observedDate[3] == startDate[3];
    };
    while (!sameDate()) {
        t.NextRow();
        if (t.State() == TimeSeriesTable::kAtEnd) {
            ++endOfTableCounter;
            break;
        }
        t.GetDate(observedDate[0], observedDate[1], observedDate[2], observedDate[3]);
        if (observedDate[0] < 1000) observedDate[0] += 1900;
    }
    observedMinutes = -1;
    CheckObservedRow();
    for (int row = 10; row <= 20; ++row) {
        // Rows past the end of the table hold no observation (the cursor stays on the last row).
        const bool ended = t.State() == TimeSeriesTable::kAtEnd;
        for (int c = 1; c <= ncol; ++c)
            window[static_cast<std::size_t>(row)][static_cast<std::size_t>(c)] =
                ended ? TimeSeriesTable::kNoValue : t.GetValue(c - 1);
        if (t.State() == TimeSeriesTable::kAtEnd) ++endOfTableCounter;
        t.NextRow();
        CheckObservedRow();
    }
    for (int row = 0; row < 10; ++row) window[static_cast<std::size_t>(row)] = window[10];
}

void abflussmodellklasse::CheckObservedRow() {
    TimeSeriesTable& t = *observed;
    if (t.State() == TimeSeriesTable::kAtEnd) return;
    int date[4] = {0, 0, 0, 0};
    t.GetDate(date[0], date[1], date[2], date[3]);
    if (date[0] < 1000) date[0] += 1900;
    const long long minutes = routing::DaysFromCivil(date[0], date[1], date[2]) * 1440 + date[3] * 60LL;
    if (observedMinutes >= 0 && minutes != observedMinutes + static_cast<long long>(timeInterval)) {
        auto text = [](const int* d) {
            return std::to_string(d[2]) + "." + std::to_string(d[1]) + "." + std::to_string(d[0]) + " " +
                   std::to_string(d[3]) + " h";
        };
        // A missing or repeated row would give every later step the observation of another.
        Fatal("the dates of " + observedFileName + " do not advance by one time step: " + text(lastObservedDate) +
                  " is followed by " + text(date) + ", " + std::to_string(minutes - observedMinutes) +
                  " minutes later instead of one step of " + std::to_string(static_cast<long long>(timeInterval)) +
                  " minutes",
              203);
    }
    observedMinutes = minutes;
    std::copy(date, date + 4, lastObservedDate);
}
