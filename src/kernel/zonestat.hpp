#pragma once
// Zone statistics: a grid (or, for the routing, a series per subbasin) turned into a
// tab-separated table with one dated row per output interval and one column per zone, plus a
// column of the whole basin. Rows are buffered (2,097,152 bytes per output) and appended to
// the file in blocks: when the buffer is full, on request and at the end of the run.
//
// Statistics output code: 1000 or less switches the output off (every operation returns at
// once); above that kind = code / 1000 and interval = code mod 1000 steps per row:
//   kind 1 basin total, mean     kind 2 every zone and total, mean
//   kind 3 basin total, sum      kind 4 every zone and total, sum
//   kind 5 selected zones, mean  kind 6 selected zones, sum
// A kind above 6 writes the basin total and sums like kind 3.
//
// Calling order per output: construct; WriteHeader once; per step Reset, AddValue for every
// own cell, Step (collective); FlushBuffer on request; Release before deletion.
#include <memory>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kernel/replacingfile.hpp"
#include "kernel/controlfile.hpp"
#include "kernel/outputcodes.hpp"
#include "kernel/zonerecord.hpp"

class DiagLog;
class Matrix;

class zonalstatistic {
public:
    static constexpr long kBufferBytes = 2097152;
    static constexpr int kTitleLength = 1200;
    static constexpr int kFileNameLength = 1200;

    // Never throws: a failure (a selected code without zone, no memory) is stored in *error
    // (else 0) and leaves ok() false. selectedCodes holds the codes of the selected zones in
    // the order of the zone records; at most min(nzones, maxSelected) of them are used.
    zonalstatistic(int* error, DiagLog* log, const Matrix* weights, int nrows, int ncols, zoneFZT* records,
                   int nzones, long outputCode, int decimals, const std::string& fileName,
                   const std::string& pathPrefix, int maxSelected, const std::vector<int>& selectedCodes);
    virtual ~zonalstatistic();
    zonalstatistic(const zonalstatistic&) = delete;
    zonalstatistic& operator=(const zonalstatistic&) = delete;

    virtual void Open(const char* mode);
    virtual void Close();

    // Appends the buffered rows to the table (mode "a+") and empties the buffer.
    virtual void FlushBuffer();
    // Adds a cell value to the record of zone position zone; the weight grid, where it has a
    // value at (row, column), scales value and weight. Callers serialise the calls.
    virtual void AddValue(int row, int column, int zone, double value, double weight);
    // Counts the step and clears n, sx and RelCellSum of every record.
    virtual void Reset();
    // With reduce > 0 first sums the records over all processes (collective). Process 0 then
    // accumulates the interval and, when it is complete, buffers a row dated (year, month, day,
    // hour). The other processes return after the reduction.
    virtual void Step(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour, int reduce);
    // Step with reduce 1 for records the caller has already summed over all processes, together
    // with those of other statistics (ReduceZoneRecordSets over records() 0..zoneCount()).
    void StepReduced(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour);
    zoneFZT* records() const { return records_; }
    int zoneCount() const { return nzones_; }
    // Step with reduce for records that process 0 alone fills while every other process keeps
    // them at zero (values per subbasin that process 0 computes): the same totals without the
    // exchange between the processes. Not collective.
    void StepFilledOnRoot(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour);
    // Process 0 only: starts the table anew with its three header lines and registers the
    // output in the table of statistics outputs. Returns the entry used, -1 when none.
    virtual int WriteHeader(const std::string& gridName, const std::string& subModelName, OutputCodeEntry* table,
                            int tableSize);
    // Writes what is buffered, frees the buffers and leaves the table of statistics outputs.
    virtual void Release();

    // Statistics of a grid that may hold missing values, which the caller leaves out: a zone
    // without any value in a row's interval is written as nodata instead of 0, and a sum over
    // steps adds each step's mean over the zone's valid cells.
    void SetMissingAsNodata(bool on);

    // Adds value with weight to record z, weighed also with the cell's area weight *g where there
    // is one above nodata (g null: the weight grid has none for the cell).
    static void AddWeighted(zoneFZT& z, double value, double weight, const double* g, double nodata) {
        z.n += weight;
        if (g != nullptr && *g > nodata) {
            z.RelCellSum += *g * weight;
            z.sx += value * *g * weight;
            return;
        }
        z.RelCellSum += weight;
        z.sx += weight * value;
    }

    // The cells of one row added with weight 1 (or their own), the row's weights looked up once:
    // Add(column, zone, value) counts exactly as AddValue(row, column, zone, value, 1.0) does,
    // without a call per cell. Valid while the statistics and the weight grid live.
    class RowAdder {
    public:
        void Add(int column, int zone, double value) const { Add(column, zone, value, 1.0); }
        // The same with the cell's own weight: AddValue(row, column, zone, value, weight).
        void Add(int column, int zone, double value, double weight) const {
            if (records_ == nullptr || zone < 0 || zone > nzones_) return;
            AddWeighted(records_[zone], value, weight,
                        weights_ != nullptr && column >= 1 && column <= columns_ ? &weights_[column] : nullptr, nodata_);
        }
        // The same addition made to record, a copy of one of the statistics' records that the
        // caller writes back.
        void AddTo(zoneFZT& record, int column, double value, double weight) const {
            if (records_ == nullptr) return;
            const bool weighted = weights_ != nullptr && column >= 1 && column <= columns_;
            AddWeighted(record, value, weight, weighted ? &weights_[column] : nullptr, nodata_);
        }
        // For the columns c1..c2 in order whose zones[c] is a zone of the statistics: cell(c, add)
        // with add(value, weight) counting as Add(c, zones[c], value, weight) does. The adder's
        // fields are held in locals, as the stores into the records cannot change them.
        template <class Cell>
        void AddCells(int c1, int c2, const int* zones, Cell cell) const {
            if (records_ == nullptr) return;
            zoneFZT* const records = records_;
            const int highest = nzones_;
            const double* const weights = weights_;
            const int columns = columns_;
            const double nodata = nodata_;
            for (int c = c1; c <= c2; ++c) {
                const int zone = zones[c];
                if (zone < 0 || zone > highest) continue;
                zoneFZT& record = records[zone];
                const double* g = weights != nullptr && c >= 1 && c <= columns ? &weights[c] : nullptr;
                cell(c, [&](double value, double weight) { AddWeighted(record, value, weight, g, nodata); });
            }
        }

    private:
        friend class zonalstatistic;
        zoneFZT* records_ = nullptr;  // null: the statistics are off
        int nzones_ = 0;
        const double* weights_ = nullptr;  // the weight grid's row, null where it has none
        int columns_ = 0;
        double nodata_ = 0;
    };
    RowAdder Row(int row) const;

    // The name the sub-models use for writing the buffered rows.
    void WriteLine() { FlushBuffer(); }

    bool ok() const { return ok_; }
    bool active() const { return kind_ > 0; }
    int kind() const { return kind_; }
    int interval() const { return interval_; }
    const std::string& fileName() const { return fileName_; }
    const std::string& title() const { return title_; }
    std::uint64_t bufferedRows() const { return rowsInBuffer_; }
    // Process 0: whether the next row may fill the buffer, so that the next Step writes the
    // table (and logs it). False on the other processes.
    bool NextRowMayWrite() const { return active() && rowsInBuffer_ + 1 >= capacity_; }
    std::uint64_t capacity() const { return capacity_; }
    std::int64_t valuesPerRow() const { return valueCount_; }
    // Values of the last row written, 1-based (column valuesPerRow() - 1 is the basin total).
    const std::vector<double>& lastValues() const { return lastValues_; }

protected:
    struct RowDate {
        std::int64_t year, month, day, hour;
    };

    int Construct(const Matrix* weights, int nrows, int ncols, zoneFZT* records, int nzones, long outputCode,
                  int decimals, const std::string& fileName, const std::string& pathPrefix, int maxSelected,
                  const std::vector<int>& selectedCodes);
    // Zone position of column j of a table with zone columns (kinds 2, 4, 5, 6), 0 for none.
    int ColumnZone(int j) const;
    // Number of zone columns: all zones for kinds 2 and 4, the selected ones for 5 and 6.
    int ZoneColumns() const;
    // Columns of a row: the zone columns and, except for the routing, the basin total.
    int Columns() const { return ZoneColumns() + (hasTotal_ ? 1 : 0); }
    // Mean of a record, 0 when nothing was added.
    static double RecordMean(const zoneFZT& z);
    // Adds the running totals of the interval to the records (interval of 2 or more).
    void AddIntervalTotals();
    void SaveIntervalTotals();
    void ClearIntervalTotals();
    // Kinds that sum the steps of an interval (the others average them).
    bool SumsSteps() const { return !(kind_ == 1 || kind_ == 2 || kind_ == 5); }
    // With missing values left out: counts the zones that have values in this step and, for
    // sums, brings each step to the weight of the zone's first valid step of the interval.
    void NoteValidZones();
    // For sums: a zone without values in this step keeps the weight of its earlier steps.
    void KeepIntervalWeights();
    // Starts a buffered row; Append adds the next value to it and to the last-row values.
    void OpenRow(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour);
    void Append(double value);
    // Appends a zone's value where its kind has a column for it.
    void AppendZone(int zone, double value);
    // Step after the reduction (reduced: every process took part in one).
    void Advance(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour, bool reduced);
    // The first free entry of the table from index from on, or -1 with a WARNING.
    int FindFreeEntry(OutputCodeEntry* table, int tableSize, int from) const;
    // Fills entry index with this output's date, value count and arrays.
    void Register(OutputCodeEntry* table, int index);
    void Unregister();
    void WriteText(const std::string& text);
    // The first header line up to the zone codes, which also go into the code array.
    void WriteZoneCodes();
    // The title line "<grid>_submodel:<sub-model>"; the title keeps at most 1199 characters.
    void SetTitle(const std::string& gridName, const std::string& subModelName);

    bool ok_ = false;
    DiagLog* log_ = nullptr;
    zoneFZT* records_ = nullptr;
    std::vector<RowDate> rowDates_;   // one per buffered row
    std::vector<double> rowValues_;   // valueCount_ doubles per buffered row, 1-based
    RowDate lastDate_{0, 0, 0, 0};
    std::int64_t valueCount_ = 0;     // columns + 1
    std::int64_t stride_ = 0;         // doubles per buffered row
    bool hasTotal_ = true;
    std::vector<double> lastValues_;  // 1-based
    std::vector<double> secondValues_;
    std::vector<double> areas_;
    std::string title_;
    std::vector<std::int64_t> codes_;
    std::uint64_t capacity_ = 0;
    std::uint64_t rowsInBuffer_ = 0;
    std::uint64_t valuesInRow_ = 0;
    const Matrix* weights_ = nullptr;
    int weightRows_ = 0, weightCols_ = 0;
    double nodata_ = -9999.0;
    int nzones_ = 0;
    int decimals_ = 0;
    int kind_ = -1;
    int interval_ = 0;
    int selected_ = 0;
    std::vector<int> selectedCodes_;  // 1-based
    std::string fileName_;
    TableFile table_file_;
    std::FILE* out_ = nullptr;  // the table while it is open
    double mean_ = 0;
    int stepCounter_ = 0;
    std::vector<double> accN_, accSx_, accRel_;  // running totals of the interval, 0..nzones
    std::vector<int> selectedZone_;              // selected position j -> zone position, 1-based
    bool missingAsNodata_ = false;
    std::vector<int> validSteps_;                // steps of the interval with values, 0..nzones
    std::vector<double> referenceWeight_;        // weight of the first such step, 0..nzones
    int rank_ = 0;
    // Where this output is registered, to leave the table when it is released.
    OutputCodeEntry* table_ = nullptr;
    int tableIndex_ = -1;
    bool released_ = false;
};

// The reduction of Step for several statistics with records of their own: the records of every
// active one among stats (null entries left out) summed over the processes in one collective, as
// each one's Step with reduce would sum them. The caller then steps each with StepReduced, in
// its own order. Collective.
void ReduceStatisticsTogether(std::span<zonalstatistic* const> stats);

// Goodness-of-fit sums of one subbasin for one time shift, as the routing forms them.
struct FitSums {
    double pairs = 0;     // number of compared pairs
    double sumDev = 0;    // sum of the deviations d of simulated from observed values
    double sumDev2 = 0;   // sum of d squared
    double observed = 0;  // number of observed values
    double sumObs = 0;    // sum of the observed values
    double sumObs2 = 0;   // sum of their squares
};
// Index 0..20 = time shift -10..+10; each table is indexed by zone position (1-based).
using LagTables = std::array<std::vector<FitSums>, 21>;

// R-square and the coefficient of variation of one set of sums (1.0 where they are undefined).
double FitRSquare(const FitSums& s);
double FitCoefficientOfVariation(const FitSums& s);

// The statistics of the routed discharge per subbasin: no basin-total column, rows by
// Accumulate on process 0 alone, and blocks of goodness-of-fit values at the end of the run.
// It publishes a second entry in the table of statistics outputs, "observed Runoff", whose
// per-subbasin values the routing fills with the observed discharge.
class routstatistic : public zonalstatistic {
public:
    static constexpr int kObservedTitleLength = 500;

    // As zonalstatistic; areas holds the area of each zone position (1-based), written in the
    // header line of areas.
    routstatistic(int* error, DiagLog* log, const Matrix* weights, int nrows, int ncols, zoneFZT* records,
                  const std::vector<double>& areas, int nzones, long outputCode, int decimals,
                  const std::string& fileName, const std::string& pathPrefix, int maxSelected,
                  const std::vector<int>& selectedCodes);
    ~routstatistic() override;

    // Registers two entries (its own and "observed Runoff" right after it); returns the first.
    int WriteHeader(const std::string& gridName, const std::string& subModelName, OutputCodeEntry* table,
                    int tableSize) override;
    void Release() override;
    // Flushes the rows, then appends the four blocks of goodness-of-fit values for the shifts
    // -10..+10: linear and logarithmic R-square, linear and logarithmic coefficient of variation.
    virtual void WriteEfficiency(const LagTables& linear, const LagTables& logarithmic);
    // Adds the step's records to the interval and buffers a row when the interval is complete.
    virtual void Accumulate(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour);

    // The observed values per zone position (1-based), filled by the routing.
    std::vector<double>& observedValues() { return obsValues_; }

private:
    // One block of 21 lines; keepInRecords stores the values at shift 0 in the zone records.
    void WriteEfficiencyBlock(const LagTables& sums, bool coefficient, const char* label, const char* labelAtZero,
                              bool keepInRecords);
    void UnregisterObserved();

    std::vector<double> zoneAreas_;  // 1-based per zone position
    std::int64_t obsCount_ = 0;
    RowDate obsDate_{0, 0, 0, 0};
    std::vector<double> obsValues_;
    std::vector<double> obsSecond_;
    std::vector<double> obsAreas_;
    std::vector<std::int64_t> obsCodes_;
    std::string obsTitle_ = "observed Runoff";
    int obsTableIndex_ = -1;
};
