// meteointerpol: construction, the control-file section, the input files and the operations
// on them; the precipitation correction and regional superposition of this build.
#include "meteo/meteoint.hpp"
#include "setup/spinup.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Skips white space including line ends, as the value readers do.
int SkipSpace(std::FILE* f) {
    int c = std::fgetc(f);
    while (c != EOF && std::isspace(c)) c = std::fgetc(f);
    return c;
}

// The next non-blank line of the control file without its end of line; of a line longer than
// 1200 characters the rest is comment.
bool NextValueLine(std::FILE* f, std::string* line) {
    if (f == nullptr) return false;
    const int c = SkipSpace(f);
    if (c == EOF) return false;
    std::ungetc(c, f);
    *line = ReadLineRest(f);
    if (!line->empty() && line->back() == '\n') {
        line->pop_back();
        return true;
    }
    int rest = std::fgetc(f);
    while (rest != EOF && rest != '\n') rest = std::fgetc(f);
    return true;
}

bool IsStationMethod(int method) { return MeteoInputFiles::StationFileCount(method) > 0; }

}  // namespace

meteointerpol::meteointerpol(unsigned& error, DiagLog* log_, const std::string& name_, const SubmodelSettings& s,
                             int gridIndex_)
    : modelobject(log_, s.controlFileName, 0, s.textOutput, s.doublePrecision, s.record), gridIndex(gridIndex_) {
    SetModuleName(name_);
    name = moduleName.substr(0, moduleName.find(' '));
    CatchIntoError(error, [&] { Construct(s); });
}

meteointerpol::~meteointerpol() {
    if (log) *log << "DEBUG: deleting interpolator for " << name << "[end-entry]";
    if (gridStore != nullptr) {
        // The store must not keep pointers to the grids that go with this object.
        for (int index : {scenarioGridIndex, gridIndex, rotatedXIndex, rotatedYIndex}) {
            if (index > 0 && index < 1000 && (*gridStore)[index].grid != nullptr) ReleaseGrid(index);
        }
    }
    ReleaseInDestructor([&] {
        if (statistics_) statistics_->Release();
    });
}

void meteointerpol::Construct(const SubmodelSettings& s) {
    *log << "file meteoint, compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
    *log << "DEBUG: initializing interpolator for " << name << "[end-entry]";
    TakeGridOfSettings(*this, s);
    runInterval = s.runInterval;
    hourOffset = s.minToIntEnd / 60.0;
    startHour = s.startHour;
    startDay = s.startDay;
    startMonth = s.startMonth;
    startYear = s.startYear;
    SetEndDate(s.endYear, s.endMonth, s.endDay, s.endHour);
    zoneIndex_ = s.zoneIndex;
    zoneCount_ = s.zoneCount;
    if (s.zoneRecords != nullptr) zoneRecords_ = *s.zoneRecords;
    outputCodes_ = s.outputCodes;
    selectedZones_ = s.SelectedZones();
    selectedZoneCount_ = s.SelectedZoneCount();
    outputCodeCount_ = s.outputCodeCount;
    useResponseUnits = s.spinUpSwitch != 0;
    unitTable_ = s.responseUnits;
    CheckRunInterval();

    LookUpGrids();
    ReadControlSection();
    if (method < 1 || method > kMaxMethod) {
        *log << "FATAL: error! interpolation method has to range from 1..12 (here: " << method << ")\n"
             << "[end-entry]";
        throw ModelError(53);
    }
    CreateResultGrid();
    if (SzenUse == 1 && (SzenMeth == 5 || SzenMeth == 6)) LoadScenarioGrid(static_cast<int>(startMonth));
    description = DescribeMethod();
    CreateStatistics();
    OpenInputFiles();
    const int scaling = FindGrid("ScalingGrid_" + name);
    if (scaling > 0) scalingGrid = (*gridStore)[scaling].grid;
}

void meteointerpol::CheckRunInterval() {
    if (runInterval >= 1) return;
    // Nothing divides by 0: a run interval below 1 logs every step, as 1 does.
    *log << "WARNING: run interval " << runInterval << " of [output_interval] is below 1; " << name
         << " logs its progress line in every step" << "[end-entry]";
    runInterval = 1;
}

void meteointerpol::LookUpGrids() {
    if (gridStore == nullptr) {
        *log << "FATAL: no grids in memory for " << name << "[end-entry]";
        throw ModelError(33);
    }
    if (useResponseUnits) {
        responseUnits = (*gridStore)[GetGridIndex("HydrologicResponseUnits")].grid;
        masterResponseUnits = (*gridStore)[GetGridIndex("MasterHydrologicResponseUnits")].grid;
    }
    const int rel = FindGrid("RelCellArea");
    if (rel <= 0) {
        *log << "FATAL: \n-----------------------------------------------------------\nTalvo-Vey no longer works "
                "without a RelCellArea-Grid.\nIf this message appears, then something is wrong with the code,\n"
                "so please contact the author.\n-----------------------------------------------------------\n\n"
             << "[end-entry]";
        throw ModelError(74);
    }
    relCellArea = (*gridStore)[rel].grid;
    coordX = (*gridStore)[GetGridIndex("CoordX")].grid;
    coordY = (*gridStore)[GetGridIndex("CoordY")].grid;
    zoneGrid = (*gridStore)[1].grid;
    elevation = (*gridStore)[2].grid;
}

// ------------------------------------------------------------------ control-file section

void meteointerpol::ReadStationFileLine(int i) {
    std::FILE* f = ControlStream();
    std::string line;
    if (!NextValueLine(f, &line)) {
        *log << "FATAL: error reading station data file name nr. " << i << " for interpolation of " << name
             << "[end-entry]";
        throw ModelError(49);
    }
    StationLine& sl = stationLines[static_cast<std::size_t>(i)];
    sl.line = line;
    std::vector<std::string_view> tokens;
    meteo_text::SplitTokens(line, &tokens);
    sl.fileName = tokens.empty() ? std::string() : std::string(tokens[0]);
    sl.additionalColumns = 0;
    const std::size_t at = line.find("AdditionalColumns=");
    if (at != std::string::npos) {
        int ac = 0;
        if (std::sscanf(line.c_str() + at + std::strlen("AdditionalColumns="), "%d", &ac) == 1)
            sl.additionalColumns = std::max(ac, 0);
    }
}

void meteointerpol::ReadMethodLines() {
    std::FILE* f = ControlStream();
    const int files = (method == 6 || method == 8) ? 2 : 1;
    for (int i = 0; i < files; ++i) ReadStationFileLine(i);
    std::string line;
    if (method >= 1 && method <= 8) {
        ReadValue(f, "%s", &regressionFileName, "name of the regression file in " + name);
    } else if (method == 9) {
        const bool ok = NextValueLine(f, &line) && std::sscanf(line.c_str(), "%lf%lf%d%lf%lf", &gifF1, &gifX1,
                                                                &gifThreshold, &gifF2, &gifX2) == 5;
        if (!ok) {
            *log << "FATAL: error reading the required 5 GIF-Mapping parameters f1 (default=8.916787e-5), x1 "
                    "(0.0767528404), threshold (127), f2 (default=6.00e-006), x2 (0.098) for interpolation of "
                 << name << "[end-entry]";
            throw ModelError(49);
        }
        SetGifConversion(gifThreshold, gifF1, gifX1, gifF2, gifX2);
    } else if (method == 10 || method == 11) {
        const int got = NextValueLine(f, &line)
                            ? std::sscanf(line.c_str(), "%lf%lf%lf%d%lf%lf", &lowerInversion, &upperInversion,
                                          &tolerance, &overlap, &clusterRange, &upperLapseAbove)
                            : 0;
        if (got < 5) {
            *log << "FATAL: error reading the required 5 or 6 regression parameters <lower inversion> <upper "
                    "inversion> <tolerance> <overlap> <clusterrange> [<lapse rate above upper inversion>] for "
                    "interpolation of "
                 << name << "[end-entry]";
            throw ModelError(49);
        }
        if (got == 5) upperLapseAbove = -9999.0;
        // Equal inversions leave no band to join the lines across (a division by zero); a
        // lower inversion above the upper one is computed as it stands.
        if (lowerInversion == upperInversion) {
            *log << "FATAL: error reading the regression parameters <lower inversion> <upper inversion> for "
                    "interpolation of "
                 << name << ": the lower inversion (" << lowerInversion << ") has to differ from the upper inversion ("
                 << upperInversion << ")" << "[end-entry]";
            throw ModelError(49);
        }
    } else if (method == 12) {
        char text[kLineLength + 1] = {};
        const int got = NextValueLine(f, &line) ? std::sscanf(line.c_str(), "%lf%lf%lf%1200s", &lapseRate,
                                                              &inversionHeight, &fixedUpperLapse, text)
                                                : 0;
        if (got != 1 && got != 3 && got != 4) {
            *log << "FATAL: error reading the required parameter \"lapse rate\" and/or optional parameters "
                    "inversion_hight and fix upper lapse rate for interpolation of "
                 << name << "[end-entry]";
            throw ModelError(49);
        }
        if (got == 1) inversionHeight = fixedUpperLapse = -9999.0;
        pType = got == 4 && std::strstr(text, "P-type") != nullptr;
    }
    RequireFiniteMethodParameters();
}

// The numbers of a method's parameter line pass the check every control-file number passes.
void meteointerpol::RequireFiniteMethodParameters() {
    if (method == 9) {
        for (double v : {gifF1, gifX1, gifF2, gifX2}) RequireFinite(v, "GIF-Mapping parameters of " + name);
    } else if (method == 10 || method == 11) {
        for (double v : {lowerInversion, upperInversion, tolerance, clusterRange, upperLapseAbove})
            RequireFinite(v, "regression parameters of " + name);
    } else if (method == 12) {
        for (double v : {lapseRate, inversionHeight, fixedUpperLapse})
            RequireFinite(v, "lapse rate parameters of " + name);
    }
}

void meteointerpol::ReadScenarioTable() {
    std::FILE* f = ControlStream();
    ReadCount(f, &SzenNum, "SzenNum in " + name);
    for (int row = 1; row <= SzenNum; ++row) {
        std::array<double, 16> point{};
        for (int column = 1; column <= 14; ++column) {
            if (std::fscanf(f, "%lf", &point[static_cast<std::size_t>(column)]) != 1) {
                *log << "FATAL: error! scenario-data row " << row << ", column " << column << " in " << name
                     << ": read error!" << "[end-entry]";
                throw ModelError(48);
            }
            RequireFinite(point[static_cast<std::size_t>(column)],
                          StrFormat("scenario-data row %d, column %d in ", row, column) + name);
        }
        ReadLineRest(f);
        if (SzenMeth == 3) {
            for (std::size_t k = 3; k <= 14; ++k) point[k] = 1.0 + point[k] / 100.0;
        }
        scenarioTable.push_back(point);
    }
}

void meteointerpol::ReadLimitsAndScenarios() {
    std::FILE* f = ControlStream();
    ReadValue(f, "%lf", &lowerLimit, "lower limit of results in " + name);
    ReadValue(f, "%lf", &lowerReplacement, "upper limit of results in " + name);
    ReadValue(f, "%lf", &upperLimit, "lower replacement for limit-exceeding results in " + name);
    ReadValue(f, "%lf", &upperReplacement, "upper replacement for limit-exceeding results in " + name);
    ReadValue(f, "%d", &SzenUse, "SzenUse in " + name);
    if (SzenUse != 1) return;
    ReadValue(f, "%d", &SzenMeth, "SzenMeth in " + name);
    if (SzenMeth == 5 || SzenMeth == 6) {
        for (int m = 1; m <= 12; ++m) {
            std::string line;
            std::vector<std::string_view> tokens;
            if (NextValueLine(f, &line)) meteo_text::SplitTokens(line, &tokens);
            if (tokens.empty()) {
                *log << "FATAL: error in control file: scenario grid for month " << m << " in " << name
                     << " not found!\nThere have to be exactly 12 filenames after the sceario application mode\n"
                        "referring to each of the 12 months if using scenario method 5.\nHowever, if methods 0..4 "
                        "are used, NO FILENAMES are allowed there\n (for backwards compatibility reasons)"
                     << "[end-entry]";
                throw ModelError(17);
            }
            scenarioGridNames[static_cast<std::size_t>(m)] = std::string(tokens[0]);
        }
    } else {
        ReadScenarioTable();
    }
}

void meteointerpol::ReadControlSection() {
    controlFile = OpenFile(controlFileName, "rt");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
    std::FILE* f = ControlStream();
    SeekSection("[" + name + "]", true);
    ReadValue(f, "%d", &method,
              "1 [idw], 2 [regress], [3] [idw+regr], 4 [thiessen] 5 [bilinear] 6 [BIGRES] 7 [bicubic spline] 8 "
              "[SPLINERES] 9 [ReadGrid] 10 [EDR from station data] 11 [IDW + EDR from station data] 12 [Thiessen "
              "combines with elevation gradient] for " +
                  name);
    ReadMethodLines();
    ReadValue(f, "%s", &resultGridName, "name of the result grid in " + name);
    ReadValue(f, "%ld", &writeCode, "grid write code for result grid in " + name);
    ReadValue(f, "%lf", &scalingFactor, "scaling factor for " + name);
    {
        std::string line;
        char file[kLineLength + 1] = {};
        if (!NextValueLine(f, &line) || std::sscanf(line.c_str(), "%1200s%ld", file, &statCode) != 2)
            ControlFileError("name of the statistic result file in " + name, moduleName);
        statFileName = file;
    }
    ReadValue(f, "%lf", &N, "nodata value in " + name);
    intN = static_cast<std::int64_t>(std::clamp(N, -1e15, 1e15));
    ReadValue(f, "%lf", &idwWeight, "idw-weight in " + name);
    ReadValue(f, "%lf", &idwFraction, "fraction of idw on weighted interpolation (method 3)");
    ReadValue(f, "%lf", &maxDistance, "maximum distance in " + name);
    ReadValue(f, "%lf", &anisotropySlope, "slope of the main axis of the anisotropy ellipse in " + name);
    ReadValue(f, "%lf", &anisotropyRatio, "anisotropy b/a in " + name);
    ReadLimitsAndScenarios();
    // Settings that would leave no station to interpolate from: a station value is valid within
    // [-N, N], which holds no data at all for N <= 0; the distance power and the search distance
    // must give finite, positive weights.
    RequireInRange(N, "nodata value in " + name + " (station values are valid within [-N, N])", bound::Positive);
    // Station files mark a missing value with -N; inside the limits of the results it would be a
    // value that a station can report, and such reports would be dropped as missing.
    if (-N >= lowerLimit && -N <= upperLimit) {
        const std::string limits = StrFormat("[%g, %g]", lowerLimit, upperLimit);
        RequireInRange(N,
                       "nodata value in " + name + " (-N marks a missing station value and lies within the limits " +
                           limits + " of the results)",
                       bound::Above(-lowerLimit));
    }
    RequireInRange(idwWeight, "idw-weight in " + name, {0, 50, true, false});
    RequireInRange(maxDistance, "maximum distance in " + name, bound::Positive);
    if (idwWeight == 2.0) maxDistance *= maxDistance;

    std::FILE* closing = controlFile.release();
    if (std::fclose(closing) != 0) {
        FailOnFile(*log, "error closing " + controlFileName, 11);
    }
}

// ------------------------------------------------------------------ grids and statistics

void meteointerpol::CreateResultGrid() {
    result = matrix(firstRow, lastRow, 1, ncols, nrows);
    result.fill(nodata);
    RegisterGrid(gridIndex, resultGridName, &result, nullptr, 0, name, writeCode, firstRow,
                 lastRow);
    const std::size_t cells =
        static_cast<std::size_t>(std::max(lastRow - firstRow + 1, 0)) * static_cast<std::size_t>(ncols + 1);
    noStation_.assign(cells, 0);
}

void meteointerpol::LoadScenarioGrid(int m) {
    if (m > 12) m = (m - 1) % 12 + 1;
    if (m < 1) m = 1;
    if (scenarioGridIndex > 0) ReleaseGrid(scenarioGridIndex);
    scenarioGrid.reset();
    ReadGrid(scenarioGridNames[static_cast<std::size_t>(m)], &scenarioGrid);
    scenarioGridIndex = FirstFreeGridIndex();
    RegisterGrid(scenarioGridIndex, scenarioGridNames[static_cast<std::size_t>(m)], &scenarioGrid, nullptr, 0,
                 "scenariogrid_" + name, 0, firstRow, lastRow);
    scenarioMonth = m;
}

std::string meteointerpol::DescribeMethod() const {
    const std::string zones = gridStore != nullptr ? (*gridStore)[1].fileName : std::string();
    const double shownD = idwWeight == 2.0 ? std::sqrt(maxDistance) : maxDistance;
    const StationLine& a = stationLines[0];
    const StationLine& b = stationLines[1];
    const char* n = name.c_str();
    const char* z = zones.c_str();
    const char* ctl = controlFileName.c_str();
    switch (method) {
        case 1:
            return StrFormat("%s interpolated with idw from %s, zones from %s, weighting = %4.1f,  maxentf = %8.0f, "
                             "control file %s, additional columns: %d",
                             n, a.fileName.c_str(), z, idwWeight, shownD, ctl, a.additionalColumns);
        case 2:
            return StrFormat("%s interpolated with regression from ", n) +
                   StrFormat("%s %s,", regressionFileName.c_str(), "") +
                   StrFormat("%s zones from %s, control file: %s", "", z, ctl);
        case 3:
            return StrFormat("%s interpolated with idw+regression from %s, zones from %s,weighting = %4.1f, fraction "
                             "distance: = %4.1f max distance = %8.0f, control file %s, additional columns: %d",
                             n, a.fileName.c_str(), z, idwWeight, idwFraction, shownD, ctl, a.additionalColumns);
        case 4:
            return StrFormat("%s interpolated with Thiessen from %s, zones from %s, control file %s, additional "
                             "columns: %d",
                             n, a.fileName.c_str(), z, ctl, a.additionalColumns);
        case 5:
            return StrFormat("%s interpolated with bilinear interpolation from %s, zones from %s, control file %s, "
                             "additional columns: %d",
                             n, a.fileName.c_str(), z, ctl, a.additionalColumns);
        case 6:
        case 8:
            return StrFormat(method == 6 ? "%s interpolated with bilinear interpolation of gradients (%s, add. col.: "
                                           "%d) and residuals (%s, add. col.: %d), linearly combined, zones from "
                                           "%s, control file %s"
                                         : "%s interpolated with bicubic spline interpolation of gradients (%s, add. "
                                           "col.: %d) and residuals (%s, add. col.: %d), linearly combined, zones "
                                           "from %s, control file %s",
                             n, a.fileName.c_str(), a.additionalColumns, b.fileName.c_str(), b.additionalColumns, z,
                             ctl);
        case 7:
            return StrFormat("%s interpolated with bicubic spline interpolation (%s, add. col.: %d), zones from %s, "
                             "control file %s",
                             n, a.fileName.c_str(), a.additionalColumns, z, ctl);
        case 9:
            return StrFormat("%s read in from grids containing already interpolated data (%s, add. col.: %d) zones "
                             "from %s, control file %s",
                             n, a.fileName.c_str(), a.additionalColumns, z, ctl);
        case 10:
            return StrFormat("%s interpolated with elevation dependent regression for values taken from %s, control "
                             "file %s",
                             n, a.fileName.c_str(), ctl);
        case 11:
            return StrFormat("%s interpolated with elevation dependent regression + idw, all values taken from %s, "
                             "control file %s",
                             n, a.fileName.c_str(), ctl);
        case 12:
            return StrFormat("%s interpolated with Thiessen plus elevation lapserate, all values taken from %s, "
                             "control file %s",
                             n, a.fileName.c_str(), ctl);
        default: return std::string();
    }
}

void meteointerpol::CreateStatistics() {
    int error = 0;
    zoneFZT* records = zoneRecords_.empty() ? nullptr : zoneRecords_.data();
    statistics_ = std::make_unique<zonalstatistic>(&error, log, relCellArea, nrows, ncols, records, zoneCount_,
                                                   statCode, 3, statFileName, outputPath, selectedZoneCount_, selectedZones_);
    if (error != 0) throw ModelError(error);
    statistics_->SetMissingAsNodata(true);
    statistics_->WriteHeader(name, description, outputCodes_, outputCodeCount_);
}

// ------------------------------------------------------------------ input files

void meteointerpol::OpenInputFiles() {
    const MeteoDate start{startHour, startDay, startMonth, startYear};
    const MeteoDate end{endHour, endDay, endMonth, endYear};
    input_.emplace(log, name, method, N, start, end);
    for (int i = 0; i < MeteoInputFiles::StationFileCount(method); ++i) {
        const StationLine& sl = stationLines[static_cast<std::size_t>(i)];
        input_->SetStationFile(i, ExpandPath(inputPath, sl.fileName), sl.additionalColumns);
    }
    input_->SetRegressionFile(ExpandPath(inputPath, regressionFileName));
    input_->SetGridList(ExpandPath(inputPath, stationLines[0].fileName), stationLines[0].additionalColumns);

    if (IsStationMethod(method)) {
        input_->OpenStationFiles();
        PrepareStations();
        scratchStride_ = Station(0).StationCount() + 1;
    }
    // Methods 10 and 11 have no regression until it is fitted to the first record.
    if (method == 10 || method == 11) regression.fill(-N - 1);
    if (MeteoInputFiles::UsesRegressionFile(method)) {
        input_->OpenRegressionFile();
        regression = input_->Regression().Parameters();
    }
    if (method == 9) {
        input_->OpenGridList();
        const StationHeader& h = input_->GridList().Header();
        if (h.count >= 1) SetReferenceValues(h.x[1], h.y[1], h.altitude[1], zoneGrid);
    }
}

void meteointerpol::GetDate(std::int64_t* h, std::int64_t* d, std::int64_t* m, std::int64_t* y) const {
    input_->GetDate(h, d, m, y);
}

void meteointerpol::AdvanceRecords() {
    regressionFitted_ = false;
    input_->AdvanceRecords();
    if (MeteoInputFiles::UsesRegressionFile(method)) regression = input_->Regression().Parameters();
}

bool meteointerpol::IsAtEnd() const { return input_->IsAtEnd(); }

bool meteointerpol::DataEndWithThisStep() { return input_->DataEndWithThisRecord(); }
int meteointerpol::BufferedDataEnd() const { return input_->BufferedDataEnd(); }

void meteointerpol::CheckOnlyInterval(std::int64_t stepMinutes) { input_->CheckOnlyInterval(stepMinutes); }

void meteointerpol::EndAtCurrentDate() {
    input_->EndAtCurrentDate();
    const MeteoDate& e = input_->EndDate();
    SetEndDate(e.year, e.month, e.day, e.hour);
}

void meteointerpol::Rewind() {
    regressionFitted_ = false;
    input_->Rewind();
    if (MeteoInputFiles::UsesRegressionFile(method)) regression = input_->Regression().Parameters();
}

void meteointerpol::FlushStatistics() {
    if (statistics_) statistics_->FlushBuffer();
}

void meteointerpol::ReadStationRecords(int file) { Station(file).ReadRecords(input_->EndKey()); }

void meteointerpol::ReadRegressionRecords(int) { input_->Regression().ReadRecords(input_->EndKey()); }

void meteointerpol::GetRecordForDate(int file) { Station(file).GetRecordForDate(input_->EndKey()); }

void meteointerpol::ReadGridListRecord() { input_->GridList().ReadRecord(input_->EndKey()); }

void meteointerpol::NextRegressionRecord(int) {
    input_->Regression().NextRecord(input_->EndKey(), method != 3);
    regression = input_->Regression().Parameters();
}

void meteointerpol::ReadStationDescription(int file) { Station(file).ReadDescription(); }

void meteointerpol::FindStartDate(int file) {
    Station(file).FindStartDate(MeteoDate{startHour, startDay, startMonth, startYear});
}

void meteointerpol::FindStartDateInGridList() {
    input_->GridList().FindStartDate(MeteoDate{startHour, startDay, startMonth, startYear});
}

void meteointerpol::FindStartDateInRegressionFile(int) {
    input_->Regression().FindStartDate(MeteoDate{startHour, startDay, startMonth, startYear});
}

void meteointerpol::WriteOutputGrid() { WriteStatisticGrids(gridIndex, true, false); }
