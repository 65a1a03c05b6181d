#pragma once
// Readers of the meteorological input files: station data files, regression files and grid
// lists. Each reader finds the record of the model start date, then hands out one record per
// time step; station and regression records are read in blocks of about 2 MiB, between which
// the file is closed and its byte offset kept. Failures are logged through the DiagLog as
// FATAL entries and thrown as ModelError (49 open, 50 close, 51 start date missing, 19 a
// record whose date cannot be read).
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/diaglog.hpp"
#include "kernel/modelobject.hpp"
#include "meteo/meteotext.hpp"

// A record date in the order the system passes dates.
struct MeteoDate {
    std::int64_t hour = 0, day = 0, month = 0, year = 0;
    std::int64_t Key() const { return DateKey(year, month, day, hour); }
    bool operator==(const MeteoDate&) const = default;
};

// Station count, altitudes and coordinates from lines 2 to 4 of a station file or grid list;
// the arrays are 1-based (entry 0 unused).
struct StationHeader {
    int count = 0;
    std::vector<double> altitude, x, y;
};

// Reads the header of a station file or grid list (lines 1 to 4; line 5 is never read here). A
// station file (stations) must give at least one station on line 2 (error 19); more coordinates
// on lines 3 and 4 than line 2 gives altitudes are warned of.
StationHeader ReadStationHeader(DiagLog* log, const std::string& sectionName, const std::string& fileName,
                                int additionalColumns, bool stations);

class StationFile {
public:
    // nodata is N of the interpolator's section: values outside [-N, N] become -N-1.
    StationFile(DiagLog* log, std::string sectionName, double nodata);

    void SetFile(const std::string& fileName, int additionalColumns);
    // Reads the header; the current values become missing. Returns the station count.
    int ReadDescription();
    // Positions the file at the record of the start date and takes that record.
    void FindStartDate(const MeteoDate& start);
    // Reads the next block of records; false when the file holds no further record. A line
    // without a date after a record at or beyond the end key (a footer) ends the data.
    bool ReadRecords(std::int64_t endKey);
    // Takes the next record as the current one; false when the data have ended (the current
    // record has reached the end key, the file has no further record, or an end marker).
    bool GetRecordForDate(std::int64_t endKey);
    // Whether GetRecordForDate would take a further record, without taking it (reads the next
    // block when the current one is used up).
    bool HasNextRecord(std::int64_t endKey);
    // HasNextRecord from what is read already: 1 or 0, or -1 when it would read the next block.
    int BufferedNextRecord(std::int64_t endKey) const;
    // Back to the start record: the next GetRecordForDate takes it again.
    void Rewind(const MeteoDate& start);

    // Records per block for n stations: about 2 MiB, at least one record.
    static int BlockCapacityFor(std::int64_t stations);
    // Smaller blocks (at least one record), for checks of the block boundaries; call after
    // ReadDescription and before the first block is read.
    void LimitBlockCapacity(int records);

    const std::string& FileName() const { return fileName_; }
    int AdditionalColumns() const { return additionalColumns_; }
    int StationCount() const { return header_.count; }
    // 1-based arrays of stations 1..StationCount().
    const std::vector<double>& Altitude() const { return header_.altitude; }
    const std::vector<double>& X() const { return header_.x; }
    const std::vector<double>& Y() const { return header_.y; }
    // Current values, 1-based; the precipitation correction changes them in place.
    std::vector<double>& Values() { return values_; }
    const std::vector<double>& Values() const { return values_; }
    bool AllEqual() const { return allEqual_; }
    void SetAllEqual(bool flag) { allEqual_ = flag; }
    const MeteoDate& Date() const { return date_; }
    std::int64_t ReadPosition() const { return readPosition_; }
    std::int64_t StartPosition() const { return startPosition_; }
    int BlockCapacity() const { return capacity_; }
    double Missing() const { return missing_; }

private:
    // Station values of a record from token `first` on; returns the count of unreadable ones.
    int ParseValues(const std::vector<std::string_view>& tokens, double* out) const;
    void WarnUnreadable(int count, const MeteoDate& date) const;
    void UpdateAllEqual();
    void CloseOrFail(LineFile& file) const;

    DiagLog* log_;
    std::string section_;
    double nodata_;
    double missing_;
    std::string fileName_;
    int additionalColumns_ = 0;
    StationHeader header_;
    std::vector<double> values_;
    bool allEqual_ = false;
    MeteoDate date_;
    std::int64_t readPosition_ = 0;
    std::int64_t startPosition_ = 0;
    // Record block: dates and values (stations of one record contiguous).
    int capacity_ = 0;
    int fill_ = 0;
    int next_ = 0;
    std::vector<MeteoDate> blockDates_;
    std::vector<double> blockValues_;
};

class RegressionFile {
public:
    // The eleven parameters of a record, in file order.
    enum Parameter { a1, b1, h1, a2, b2, h2, a3, b3, p0, px, py, kParameters };
    static constexpr int kBlockCapacity = 16384;
    static constexpr int kBinaryRecordBytes = 120;

    RegressionFile(DiagLog* log, std::string sectionName, double nodata);

    void SetFile(const std::string& fileName);
    // Tells text from binary form, positions the file at the record of the start date and
    // takes that record.
    void FindStartDate(const MeteoDate& start);
    // As for station files: a footer after the records of the model period ends the data.
    bool ReadRecords(std::int64_t endKey);
    // Smaller blocks (at least one record), for checks of the block boundaries; call before
    // the first block is read.
    void LimitBlockCapacity(int records);
    // Takes the next record. With checkEnd the data end once the current date has reached
    // the end key (the interpolator that also reads a station file leaves that to the station
    // file). False when the data have ended.
    bool NextRecord(std::int64_t endKey, bool checkEnd);
    // Whether NextRecord would take a further record, without taking it.
    bool HasNextRecord(std::int64_t endKey, bool checkEnd);
    // HasNextRecord from what is read already: 1 or 0, or -1 when it would read the next block.
    int BufferedNextRecord(std::int64_t endKey, bool checkEnd) const;
    void Rewind(const MeteoDate& start);

    const std::string& FileName() const { return fileName_; }
    bool IsText() const { return text_; }
    const MeteoDate& Date() const { return date_; }
    const std::array<double, kParameters>& Parameters() const { return params_; }
    std::int64_t ReadPosition() const { return readPosition_; }
    std::int64_t StartPosition() const { return startPosition_; }

private:
    enum class Read { Record, End, BadDate };
    // Reads one record of either form into date (year as written) and values.
    Read ReadOne(LineFile& file, MeteoDate* date, double* values, int* unreadable);
    void WarnUnreadable(int count, const MeteoDate& date) const;
    void OpenForBlock(LineFile& file) const;
    void CloseOrFail(LineFile& file) const;

    DiagLog* log_;
    std::string section_;
    double nodata_;
    std::string fileName_;
    bool text_ = false;
    MeteoDate date_;
    std::array<double, kParameters> params_{};
    std::int64_t readPosition_ = 0;
    std::int64_t startPosition_ = 0;
    int capacity_ = kBlockCapacity;
    int fill_ = 0;
    int next_ = 0;
    std::vector<MeteoDate> blockDates_;
    std::vector<double> blockValues_;
    std::string line_;
    std::vector<std::string_view> tokens_;
};

class GridListFile {
public:
    GridListFile(DiagLog* log, std::string sectionName, double nodata);

    void SetFile(const std::string& fileName, int additionalColumns);
    // Reads the header like that of a station file; returns the column count.
    int ReadDescription();
    void FindStartDate(const MeteoDate& start);
    // Reads the next record; false when the data have ended. The file stays open between
    // records and is closed at the end.
    bool ReadRecord(std::int64_t endKey);
    // Whether ReadRecord would take a further record, without taking it (the open file is put
    // back where it was).
    bool HasNextRecord(std::int64_t endKey);
    // HasNextRecord without the file: 0 at the end key, else -1 (the answer needs a read).
    int BufferedNextRecord(std::int64_t endKey) const { return date_.Key() >= endKey ? 0 : -1; }
    void Rewind(const MeteoDate& start);

    const std::string& FileName() const { return fileName_; }
    int AdditionalColumns() const { return additionalColumns_; }
    const StationHeader& Header() const { return header_; }
    const MeteoDate& Date() const { return date_; }
    // The grid file named for the current date, "-9999" when none belongs to it.
    const std::string& GridName() const { return gridName_; }
    // The last grid name that was not "-9999" (kept by the interpolator that reads the grids).
    std::string lastValidName;
    bool IsOpen() const { return file_.IsOpen(); }
    std::int64_t ReadPosition() const { return readPosition_; }
    std::int64_t StartPosition() const { return startPosition_; }

private:
    std::string GridNameOf(const std::vector<std::string_view>& tokens, const MeteoDate& date) const;
    void CloseOrFail();

    DiagLog* log_;
    std::string section_;
    std::string fileName_;
    int additionalColumns_ = 0;
    StationHeader header_;
    MeteoDate date_;
    std::string gridName_;
    std::int64_t readPosition_ = 0;
    std::int64_t startPosition_ = 0;
    LineFile file_;
};
