// The sub-model base: construction, the module section, the base step and the error flag.
#include "submodel/teilmod.hpp"

#include <cerrno>
#include <cmath>
#include <iomanip>
#include <limits>

void TakeGridOfSettings(modelobject& o, const SubmodelSettings& s) {
    o.gridStore = s.gridStore;
    o.ncols = s.ncols;
    o.nrows = s.nrows;
    o.firstRow = s.firstRow;
    o.lastRow = s.lastRow;
    o.xllcorner = s.xll;
    o.yllcorner = s.yll;
    o.cellsize = s.cellsize;
    o.nodata = s.nodata;
}

teilmodellklasse::teilmodellklasse(DiagLog* log_, const std::string& name, const SubmodelSettings& s,
                                   unsigned numSubSteps_)
    : modelobject(log_, s.controlFileName, 0, s.textOutput, s.doublePrecision, s.record),
      numSubSteps(numSubSteps_),
      settings(s) {
    SetModuleName(name);
    if (s.zoneIndex == nullptr) return;

    runInterval = s.runInterval;
    outputList = s.outputList;
    if (outputList.empty()) outputList.push_back(0);
    TakeGridOfSettings(*this, s);
    zoneIndex = s.zoneIndex;
    zoneRecords = s.zoneRecords;
    zoneCount = s.zoneCount;
    maxZoneCode = s.maxZoneCode;
    SetEndDate(s.endYear, s.endMonth, s.endDay, s.endHour);
    timeShift = s.timeShift;
    minToIntEnd = s.minToIntEnd;
    hourOffset = s.minToIntEnd / 60.0;

    if (gridStore != nullptr) {
        const int rel = FindGrid("RelCellArea");
        relCellArea = rel > 0 ? (*gridStore)[rel].grid : nullptr;
        zoneGrid = (*gridStore)[1].grid;
    }
    latitude = s.latitude;
    longitude = s.longitude;
    meridian = s.meridian;
    *log << "DEBUG: initializing module " << moduleName << "[end-entry]";
}

teilmodellklasse::~teilmodellklasse() {
    // The store must not keep pointers to grids that go with this object.
    for (std::size_t i = 1; i < tracers.size(); ++i) {
        if (gridStore == nullptr) break;
        if (tracers[i].storageIndex > 0) ReleaseGrid(tracers[i].storageIndex);
        if (tracers[i].fluxIndex > 0) ReleaseGrid(tracers[i].fluxIndex);
    }
}

void teilmodellklasse::LogBanner(const char* sourceName) {
    *log << "file " << sourceName << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
}

void teilmodellklasse::ReadModuleSection(bool required) {
    if (zoneIndex == nullptr) return;
    controlFile = OpenFile(controlFileName, "rt");
    if (!controlFile) {
        const int reason = errno;
        *log << "FATAL: error opening " << controlFileName << "[end-entry]";
        LogSystemReason(*log, reason);
        throw ModelError(28);
    }
    const std::string section = "[" + moduleName + "]";
    if (!SeekSection(section, required)) {
        flowControl = 0;
        controlFile.reset();
        return;
    }
    ReadValue(ControlStream(), "%d", &flowControl, "flow control parameter for " + section);
    ReadValue(ControlStream(), "%lf", &timeInterval, "time interval for " + section);

    const double offsetHours = minToIntEnd / 60.0;
    const bool offsetTooLong = offsetHours > timeInterval / 60.0 + 0.00001;
    // A module that runs needs a positive step: every rate per step divides by it. A step of 0
    // or below is named as such before it is compared with min_to_int_end.
    if (!(timeInterval > 0) && (flowControl != 0 || offsetTooLong)) {
        *log << "FATAL: the time step " << timeInterval << " minutes as given in the section for the module "
             << moduleName << " must be greater than 0" << "[end-entry]";
        throw ModelError(63);
    }
    if (offsetTooLong) {
        *log << "FATAL: \n-------- error --------\n\nthe time step " << timeInterval
             << " minutes as given in the section for the module " << moduleName
             << " \nis shorter than the parameter min_to_int_end with " << minToIntEnd
             << "\nmin_to_int_end is the fourth parameter of [program_output]; it gives the shift from the\n"
                "hour of the meteorological data to the end of the time step. It is 0 when the hour marks\n"
                "the end of the step (as hour 24 for daily steps) and the variable $time (1440 for daily\n"
                "steps) when the hour marks its start (as hour 00).\n-------- error --------"
             << "[end-entry]";
        *log << "ERROR: min_to_int_end is the fourth value of the section [output_interval] of the control file"
             << "[end-entry]";
        throw ModelError(63);
    }
    // Nor can a day hold no step or more steps than any number counts.
    if (flowControl != 0 && !(std::isfinite(timeInterval) && std::isfinite(1440.0 / timeInterval))) {
        *log << "FATAL: the time step " << timeInterval << " minutes as given in the section for the module "
             << moduleName << " gives no finite number of steps per day" << "[end-entry]";
        throw ModelError(63);
    }
    // The step is counted in whole minutes of an int wherever modules compare their steps.
    if (flowControl != 0 && timeInterval > std::numeric_limits<int>::max()) {
        *log << "FATAL: the time step " << timeInterval << " minutes as given in the section for the module "
             << moduleName << " is longer than " << std::numeric_limits<int>::max() << " minutes" << "[end-entry]";
        throw ModelError(63);
    }
    stepsPerDay = timeInterval > 0 ? 1440.0 / timeInterval : 0.0;
    if (flowControl != 0) return;

    std::FILE* f = controlFile.release();
    if (std::fclose(f) != 0) {
        FailOnFile(*log, "error closing " + controlFileName, 11);
    }
}

void teilmodellklasse::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (flowControl == 0) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    // A run interval below 1 logs every step, as 1 does.
    if (runInterval > 1) {
        const std::int64_t k = h + static_cast<std::int64_t>(hourOffset);
        if (k % runInterval != 0) return;
    }
    *log << std::setw(20) << moduleName << " " << static_cast<long>(d) << "." << static_cast<long>(m) << "."
         << static_cast<long>(y) << " " << static_cast<long>(h) << ". h " << "(time of meteo data)"
         << "[end-entry]";
}

void teilmodellklasse::ReportFPE(unsigned i1, unsigned i2, unsigned i3, unsigned i4, double a1, double a2,
                                 double a3, double a4, double a5) {
    if (fpeFlag.load() == 1) {
        *log << "INFO: fpe in i1: " << static_cast<long>(i1) << ", i2: " << static_cast<long>(i2)
             << ", i3: " << static_cast<long>(i3) << ", i4: " << static_cast<long>(i4) << "\na1: " << a1
             << " a2: " << a2 << " a3: " << a3 << " a4: " << a4 << " a5: " << a5 << " " << "[end-entry]";
        fpeFlag.store(2);
    } else {
        fpeFlag.store(0);
    }
}

double teilmodellklasse::WeightedMean(double a, double b, double wa, double wb) const {
    const double w = wa + wb;
    return w == 0 ? 0.0 : (a * wa + b * wb) / w;
}

double teilmodellklasse::ScaledRatio(double x, double y, double z) const {
    return y == z ? 0.0 : x * y / (y - z);
}

int FirstFreeGridEntry(const GridStore& store) {
    for (int i = 1; i < 1000; ++i)
        if (store[i].grid == nullptr && store[i].stack == nullptr) return i;
    return 1000;
}

