#pragma once
// The input files of one interpolator, chosen by its method and kept on one date: one or two
// station files, a regression file, or a grid list. Positions every file at the model start
// date, advances them together by one record per step, checks that they agree in their dates,
// recognises the end of the data and goes back to the start for spin-up repetitions.
#include <array>
#include <memory>
#include <string>

#include "meteo/meteofiles.hpp"

// Minutes from date a to date b (Gregorian calendar; hour 24 is hour 0 of the next day).
std::int64_t MinutesBetween(const MeteoDate& a, const MeteoDate& b);

class MeteoInputFiles {
public:
    MeteoInputFiles(DiagLog* log, std::string sectionName, int method, double nodata, const MeteoDate& start,
                    const MeteoDate& end);

    // Which files a method reads.
    static int StationFileCount(int method);
    static bool UsesRegressionFile(int method) { return method == 2 || method == 3; }
    static bool UsesGridList(int method) { return method == 9; }

    void SetStationFile(int index, const std::string& fileName, int additionalColumns);
    void SetRegressionFile(const std::string& fileName);
    void SetGridList(const std::string& fileName, int additionalColumns);

    // Reads the station file headers (a second file must describe the same stations) and
    // takes their start records; the current date becomes that of the first file.
    void OpenStationFiles();
    void OpenRegressionFile();
    void OpenGridList();
    // All of the above that the method needs, in that order.
    void Open();

    // Takes the next record of every file (at the end of each step).
    void AdvanceRecords();
    bool IsAtEnd() const { return atEnd_; }
    // Whether the station or regression data or the grid list end with the current record
    // before the end date (the WARNING naming the file that ends is then logged): the run ends
    // with this step.
    bool DataEndWithThisRecord();
    // DataEndWithThisRecord from the records read already, without a WARNING: 1 when the data
    // end, 0 when not, -1 when the answer needs a read of a file.
    int BufferedDataEnd() const;
    // When the run ends with its second record, the one interval of its data has nothing to
    // be compared with: it must be the modules' time step, else the pair is named (52).
    void CheckOnlyInterval(std::int64_t stepMinutes);
    void GetDate(std::int64_t* hour, std::int64_t* day, std::int64_t* month, std::int64_t* year) const;
    const MeteoDate& Date() const { return date_; }
    // The current date becomes the end date: the next AdvanceRecords ends the data.
    void EndAtCurrentDate();
    // Back to the start records; the next AdvanceRecords takes them again.
    void Rewind();

    int Method() const { return method_; }
    std::int64_t EndKey() const { return endKey_; }
    const MeteoDate& EndDate() const { return end_; }
    StationFile& Station(int index) { return *stations_[static_cast<std::size_t>(index)]; }
    const StationFile& Station(int index) const { return *stations_[static_cast<std::size_t>(index)]; }
    RegressionFile& Regression() { return *regression_; }
    const RegressionFile& Regression() const { return *regression_; }
    GridListFile& GridList() { return *gridList_; }
    const GridListFile& GridList() const { return *gridList_; }

private:
    void CheckSameStations() const;
    void CheckStationDates() const;
    void CheckRegressionDate(const MeteoDate& stationDate) const;
    // The file whose dates are the dates of this input.
    const std::string& LeadingFileName() const;
    void AdvanceAllFiles();
    // The dates must advance by the step between the first two records.
    void CheckStepLength(const MeteoDate& before);
    // Data of fileName that end before the end date of the run are reported once.
    void WarnEarlyEnd(const std::string& fileName);

    DiagLog* log_;
    std::string section_;
    int method_;
    MeteoDate start_;
    MeteoDate end_;
    std::int64_t endKey_;
    MeteoDate date_;
    bool atEnd_ = false;
    std::int64_t stepMinutes_ = 0;  // 0 until the second record is taken
    // The first pair of records, while its interval is the only one known: a missing second
    // record makes that interval longer than the ones that follow.
    bool firstIntervalOnly_ = false;
    MeteoDate firstPairStart_;
    MeteoDate firstPairEnd_;
    // Logs the FATAL entry for the pair (from, to), the note (if any) as a further entry, and
    // throws 52.
    [[noreturn]] void StepLengthError(const MeteoDate& from, const MeteoDate& to, std::int64_t minutes,
                                      const char* note = nullptr) const;
    bool rewound_ = false;
    bool earlyEndWarned_ = false;
    int stationCount_ = 0;
    std::array<std::unique_ptr<StationFile>, 2> stations_;
    std::unique_ptr<RegressionFile> regression_;
    std::unique_ptr<GridListFile> gridList_;
};
