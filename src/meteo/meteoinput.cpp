#include "meteo/meteoinput.hpp"

namespace {
// Days since 1 March of year 0 in the Gregorian calendar (the record dates are real dates).
std::int64_t DayNumber(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe;
}
}  // namespace

std::int64_t MinutesBetween(const MeteoDate& a, const MeteoDate& b) {
    const std::int64_t ta = DayNumber(a.year, a.month, a.day) * 1440 + a.hour * 60;
    const std::int64_t tb = DayNumber(b.year, b.month, b.day) * 1440 + b.hour * 60;
    return tb - ta;
}

MeteoInputFiles::MeteoInputFiles(DiagLog* log, std::string sectionName, int method, double nodata,
                                 const MeteoDate& start, const MeteoDate& end)
    : log_(log), section_(std::move(sectionName)), method_(method), start_(start), end_(end), endKey_(end.Key()),
      date_(start) {
    stationCount_ = StationFileCount(method);
    for (int i = 0; i < stationCount_; ++i)
        stations_[static_cast<std::size_t>(i)] = std::make_unique<StationFile>(log, section_, nodata);
    if (UsesRegressionFile(method)) regression_ = std::make_unique<RegressionFile>(log, section_, nodata);
    if (UsesGridList(method)) gridList_ = std::make_unique<GridListFile>(log, section_, nodata);
}

int MeteoInputFiles::StationFileCount(int method) {
    switch (method) {
        case 1: case 3: case 4: case 5: case 7: case 10: case 11: case 12: return 1;
        case 6: case 8: return 2;
        default: return 0;
    }
}

void MeteoInputFiles::SetStationFile(int index, const std::string& fileName, int additionalColumns) {
    if (index < stationCount_) Station(index).SetFile(fileName, additionalColumns);
}

void MeteoInputFiles::SetRegressionFile(const std::string& fileName) {
    if (regression_) regression_->SetFile(fileName);
}

void MeteoInputFiles::SetGridList(const std::string& fileName, int additionalColumns) {
    if (gridList_) gridList_->SetFile(fileName, additionalColumns);
}

void MeteoInputFiles::CheckSameStations() const {
    const StationFile& first = Station(0);
    const StationFile& second = Station(1);
    if (second.StationCount() != first.StationCount()) {
        *log_ << "FATAL: \n------- Error 73 in Interpolation input data ---------\n"
              << "meteorological station files " << second.FileName() << " \nand " << first.FileName()
              << " contain a different number of stations \n(" << second.StationCount() << " and "
              << first.StationCount() << ", resp.)\n"
              << "these data has to be identical in both files for interpolation method 6\n"
              << "------- Program terminated due to input data error ---------\n\n" << "[end-entry]";
        throw ModelError(73);
    }
    for (int k = 1; k <= first.StationCount(); ++k) {
        const auto i = static_cast<std::size_t>(k);
        if (second.Altitude()[i] == first.Altitude()[i] && second.X()[i] == first.X()[i] &&
            second.Y()[i] == first.Y()[i])
            continue;
        *log_ << "FATAL: \n------- Error 73 in Interpolation input data ---------\n"
              << "Altitude and/or coordinates of station " << k << " are different in\nmeteorological station files "
              << second.FileName() << "\nH: " << second.Altitude()[i] << ",\tX: " << second.X()[i]
              << "\tY: " << second.Y()[i] << "\nand\n" << first.FileName() << "\nH: " << first.Altitude()[i]
              << ",\tX: " << first.X()[i] << "\tY: " << first.Y()[i] << "\n"
              << "These data has to be identical in both files for interpolation method 6\n"
              << "------- Program terminated due to input data error ---------\n\n" << "[end-entry]";
        throw ModelError(73);
    }
}

void MeteoInputFiles::OpenStationFiles() {
    for (int i = 0; i < stationCount_; ++i) {
        Station(i).ReadDescription();
        if (i == 1) CheckSameStations();
        Station(i).FindStartDate(start_);
    }
    if (stationCount_ > 0) date_ = Station(0).Date();
}

void MeteoInputFiles::OpenRegressionFile() {
    if (!regression_) return;
    regression_->FindStartDate(start_);
    date_ = regression_->Date();
}

void MeteoInputFiles::OpenGridList() {
    if (!gridList_) return;
    gridList_->ReadDescription();
    gridList_->FindStartDate(start_);
    date_ = gridList_->Date();
}

void MeteoInputFiles::Open() {
    OpenStationFiles();
    OpenRegressionFile();
    OpenGridList();
}

void MeteoInputFiles::CheckStationDates() const {
    bool same = true;
    for (int i = 1; i < stationCount_; ++i) same = same && Station(i).Date() == Station(0).Date();
    if (same) return;
    *log_ << "FATAL: error reading date from stationfiles:" << "[end-entry]";
    for (int i = 0; i < stationCount_; ++i) {
        const MeteoDate& d = Station(i).Date();
        *log_ << "file " << Station(i).FileName() << ": YYYY=" << d.year << ", MM=" << d.month << ", DD=" << d.day
              << ", HH=" << d.hour << "[end-entry]";
    }
    throw ModelError(73);
}

void MeteoInputFiles::CheckRegressionDate(const MeteoDate& stationDate) const {
    const MeteoDate& r = regression_->Date();
    if (r == stationDate) return;
    *log_ << "FATAL: -----------------------------------------------------------------------------\n"
             "error in date column of "
          << section_ << " for IDW*Regress \n\nDate from station/regress file " << Station(0).FileName() << ":\n"
          << stationDate.day << "." << stationDate.month << "." << stationDate.year << " " << stationDate.hour
          << " h\n\nbut date from regres file " << regression_->FileName() << ":\n"
          << r.day << "." << r.month << "." << r.year << " " << r.hour << " h\n\n"
          << "-----------------------------------------------------------------------------\n" << "[end-entry]";
    throw ModelError(52);
}

const std::string& MeteoInputFiles::LeadingFileName() const {
    if (stationCount_ > 0) return Station(0).FileName();
    if (regression_) return regression_->FileName();
    return gridList_->FileName();
}

void MeteoInputFiles::CheckStepLength(const MeteoDate& before) {
    // After a rewind the start record is taken again: no step lies between the two dates.
    if (rewound_) {
        rewound_ = false;
        return;
    }
    const std::int64_t minutes = MinutesBetween(before, date_);
    if (stepMinutes_ == 0 && minutes > 0) {
        stepMinutes_ = minutes;
        firstIntervalOnly_ = true;
        firstPairStart_ = before;
        firstPairEnd_ = date_;
        return;
    }
    const bool second = firstIntervalOnly_;
    firstIntervalOnly_ = false;
    if (minutes > 0 && minutes == stepMinutes_) return;
    // The second interval shorter than the first: the first pair lacks a record between them.
    if (second && minutes > 0 && minutes < stepMinutes_) {
        const std::int64_t first = stepMinutes_;
        stepMinutes_ = minutes;
        StepLengthError(firstPairStart_, firstPairEnd_, first);
    }
    StepLengthError(before, date_, minutes);
}

void MeteoInputFiles::CheckOnlyInterval(std::int64_t stepMinutes) {
    if (!firstIntervalOnly_ || date_.Key() < endKey_ || stepMinutes <= 0 || stepMinutes_ == stepMinutes) return;
    const std::int64_t minutes = stepMinutes_;
    stepMinutes_ = stepMinutes;
    StepLengthError(firstPairStart_, firstPairEnd_, minutes,
                    "the run holds only two records: their interval is compared with the time step of the modules");
}

void MeteoInputFiles::StepLengthError(const MeteoDate& from, const MeteoDate& to, std::int64_t minutes,
                                      const char* note) const {
    *log_ << "FATAL: the dates of " << LeadingFileName() << " do not advance by one time step: " << from.day << "."
          << from.month << "." << from.year << " " << from.hour << " h is followed by " << to.day << "." << to.month
          << "." << to.year << " " << to.hour << " h";
    if (stepMinutes_ > 0) {
        *log_ << ", " << minutes << " minutes later instead of one step of " << stepMinutes_ << " minutes";
    } else {
        *log_ << " (a record repeated, or records out of order)";
    }
    *log_ << "[end-entry]";
    if (note != nullptr) *log_ << "ERROR: " << note << "[end-entry]";
    throw ModelError(52);
}

void MeteoInputFiles::WarnEarlyEnd(const std::string& fileName) {
    if (earlyEndWarned_ || date_.Key() >= endKey_) return;
    earlyEndWarned_ = true;
    *log_ << "WARNING: the data of " << fileName << " end with " << date_.day << "." << date_.month << "."
          << date_.year << " " << date_.hour << " h, before the end date " << end_.day << "." << end_.month << "."
          << end_.year << " " << end_.hour << " h of [model_time]; the run ends there" << "[end-entry]";
}

void MeteoInputFiles::AdvanceRecords() {
    const MeteoDate before = date_;
    AdvanceAllFiles();
    if (atEnd_) {
        WarnEarlyEnd(LeadingFileName());
    } else {
        CheckStepLength(before);
    }
}

void MeteoInputFiles::AdvanceAllFiles() {
    if (stationCount_ > 0) {
        for (int i = 0; i < stationCount_; ++i) {
            if (!Station(i).GetRecordForDate(endKey_)) atEnd_ = true;
        }
        date_ = Station(0).Date();
        CheckStationDates();
    }
    if (regression_ && !atEnd_) {
        const MeteoDate stationDate = date_;
        // With a station file beside it, the station file decides the end of the data.
        if (regression_->NextRecord(endKey_, method_ != 3)) {
            date_ = regression_->Date();
            if (method_ == 3) CheckRegressionDate(stationDate);
        } else {
            atEnd_ = true;
        }
    }
    if (gridList_ && !atEnd_) {
        if (!gridList_->ReadRecord(endKey_)) atEnd_ = true;
        date_ = gridList_->Date();
    }
}

bool MeteoInputFiles::DataEndWithThisRecord() {
    if (atEnd_ || date_.Key() >= endKey_) return false;
    const std::string* ending = nullptr;
    for (int i = 0; i < stationCount_ && !ending; ++i)
        if (!Station(i).HasNextRecord(endKey_)) ending = &Station(i).FileName();
    // As in AdvanceAllFiles: beside a station file the regression file does not check the end date.
    if (!ending && regression_ && !regression_->HasNextRecord(endKey_, method_ != 3))
        ending = &regression_->FileName();
    if (!ending && gridList_ && !gridList_->HasNextRecord(endKey_)) ending = &gridList_->FileName();
    if (!ending) return false;
    WarnEarlyEnd(*ending);
    return true;
}

int MeteoInputFiles::BufferedDataEnd() const {
    if (atEnd_ || date_.Key() >= endKey_) return 0;
    // The files in the order DataEndWithThisRecord asks them; the first that ends decides.
    for (int i = 0; i < stationCount_; ++i)
        if (const int next = Station(i).BufferedNextRecord(endKey_); next != 1) return next == 0 ? 1 : -1;
    if (regression_)
        if (const int next = regression_->BufferedNextRecord(endKey_, method_ != 3); next != 1) return next == 0 ? 1 : -1;
    if (gridList_)
        if (const int next = gridList_->BufferedNextRecord(endKey_); next != 1) return next == 0 ? 1 : -1;
    return 0;
}

void MeteoInputFiles::GetDate(std::int64_t* hour, std::int64_t* day, std::int64_t* month, std::int64_t* year) const {
    *hour = date_.hour;
    *day = date_.day;
    *month = date_.month;
    *year = date_.year;
}

void MeteoInputFiles::EndAtCurrentDate() {
    end_ = date_;
    endKey_ = date_.Key();
}

void MeteoInputFiles::Rewind() {
    atEnd_ = false;
    rewound_ = true;
    for (int i = 0; i < stationCount_; ++i) Station(i).Rewind(start_);
    if (regression_) regression_->Rewind(start_);
    if (gridList_) gridList_->Rewind(start_);
    date_ = start_;
}
