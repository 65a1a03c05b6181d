// The model period ("[model_time]"), the radiation-correction switch and the number of
// coupling sub-steps.
#include <algorithm>

#include "setup/defltuzr.hpp"
#include "setup/model_period.hpp"

namespace {
bool IsLeapYear(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::int64_t Clamp(std::int64_t value, std::int64_t low, std::int64_t high) {
    return std::min(std::max(value, low), high);
}
}  // namespace

void defaultini::ReadModelTime() {
    SeekSection("[model_time]", true);
    static const char* const kKeys[8] = {"starting hour in ", "starting day in ", "starting month in ",
                                         "starting year in ", "end hour in ",      "and day in ",
                                         "end month in ",       "end year in "};
    long values[8] = {};
    for (int i = 0; i < 8; ++i) ReadValue(ControlStream(), "%ld", &values[i], kKeys[i]);

    std::int64_t sHour = values[0], sDay = values[1], sMonth = values[2], sYear = values[3];
    std::int64_t eHour = values[4], eDay = values[5], eMonth = values[6], eYear = values[7];
    // Two-digit years count from 1900.
    if (sYear <= 999) sYear += 1900;
    if (eYear <= 999) eYear += 1900;
    CheckModelPeriod(PeriodDate{sHour, sDay, sMonth, sYear}, PeriodDate{eHour, eDay, eMonth, eYear});
    sMonth = Clamp(sMonth, 1, 12);
    eMonth = Clamp(eMonth, 1, 12);
    // February follows the end year (Gregorian rule); the other months keep their lengths.
    daysPerMonth[1] = IsLeapYear(eYear) ? 29 : 28;
    eDay = Clamp(eDay, 1, daysPerMonth[static_cast<std::size_t>(eMonth - 1)]);
    sDay = Clamp(sDay, 1, daysPerMonth[static_cast<std::size_t>(sMonth - 1)]);

    startHour_ = sHour;
    startDay_ = sDay;
    startMonth_ = sMonth;
    startYear_ = sYear;
    hour = sHour;
    day = sDay;
    month = sMonth;
    year = sYear;
    SetEndDate(eYear, eMonth, eDay, eHour);
}

void defaultini::CheckModelPeriod(const PeriodDate& start, const PeriodDate& end) {
    const std::string fault = ModelPeriodFault(start, end);
    if (fault.empty()) return;
    *log << "FATAL: error in control file, [model_time]: " << fault << " (start " << PeriodDateText(start)
         << ", end " << PeriodDateText(end) << ")" << "[end-entry]";
    throw ModelError(17);
}

void defaultini::ReadRadiationCorrection() {
    SeekSection("[radiation_correction]", true);
    int value = 0;
    if (std::fscanf(ControlStream(), "%d", &value) == 1) {
        radiationCorrection_ = value;
        ReadLineRest(ControlStream());
    }
}

int defaultini::ReadSubsteps() {
    controlFile = OpenFile(controlFileName, "r");
    if (!controlFile) {
        FailOnFile(*log, "Error opening " + controlFileName, 28);
    }
    int substeps = 1;
    if (SeekSection("[soil_surface_groundwater_substeps]", false)) {
        ReadValue(ControlStream(), "%d", &substeps,
                  "sub step counter from [soil_surface_groundwater_substeps] not found");
        RequireInRange(substeps, "sub step counter", bound::AtLeast(1));
    }
    CloseControlFile();
    return substeps;
}
