#pragma once
// Reader of dated text tables (observed discharge, inflows, abstractions): a header of lines
// that do not begin with a digit, then one row per line of year, month, day, hour and the
// values. The table is never held whole: rows are loaded block by block, each block filling a
// byte budget, and the file is open only while a block is loaded, so that many tables can be
// open at once without holding file handles.
#include <cstdint>
#include <string>
#include <vector>

class DiagLog;

class TimeSeriesTable {
public:
    // States of a table.
    enum : int {
        kNotOpened = 0,
        kMoreRows = 1,    // a block is loaded and more rows follow in the file
        kLastBlock = 2,   // the last rows of the file are loaded
        kCannotOpen = 3,
        kAtEnd = 4,       // the cursor was advanced past the last row of the file
        kFormatError = 5  // the header or a row cannot be read
    };
    // Value of a column outside the table, the nodata value of grid files.
    static constexpr double kNoValue = -9999.0;

    TimeSeriesTable() = default;
    // The log, when given, receives the "FATAL: " entry of the two failures that throw.
    TimeSeriesTable(const std::string& fileName, int mode, std::uint64_t budget, DiagLog* log = nullptr);

    // Learns the layout from the first data row and loads the first block; returns the number
    // of header lines. Does nothing unless the state is 0. Throws 202 when the file cannot be
    // read after the header, 201 when the first data row lacks its four date integers.
    std::int64_t Open(const std::string& fileName, int mode, std::uint64_t budget, DiagLog* log = nullptr);
    void LoadBlock();
    void Reload();

    // Cursor moves: -1 (before the first row) .. rows in block; anything else is ignored.
    void SetRow(std::int64_t row);
    void MoveRow(std::int64_t offset);
    // Next row, loading the next block when the cursor is on the last row of a block; on the
    // last row of the file, or the last readable one, the state becomes 4 and the cursor stays.
    void NextRow();

    // The current row's date (low 32 bits of each field); zeros when the cursor is on no row.
    void GetDate(int& year, int& month, int& day, int& hour) const;
    // Value column 0 .. columns-1 of the current row; -9999.0 for any other column or when
    // the cursor is on no row.
    double GetValue(std::int64_t column) const;

    // Frees the rows; the table is then in state 0 and may be opened again.
    void Clear();

    int State() const { return state_; }
    // The operating system's reason why the file could not be opened (state 3), else 0.
    int OpenError() const { return openError_; }
    std::int64_t Columns() const { return columns_; }
    std::int64_t Row() const { return cursor_; }
    std::int64_t RowsInBlock() const { return rowsInBlock_; }
    std::int64_t RowsPerBlock() const { return rowsPerBlock_; }
    int Mode() const { return mode_; }
    // The log of the entry naming an unreadable row found past the first block.
    void SetLog(DiagLog* log) { log_ = log; }
    const std::string& FileName() const { return fileName_; }

private:
    struct RowDate {
        std::int64_t year, month, day, hour;
    };
    bool OnRow() const { return cursor_ >= 0 && cursor_ < rowsInBlock_; }
    [[noreturn]] void Fail(int code, const char* what);

    std::string fileName_;
    std::vector<RowDate> dates_;
    std::vector<double> values_;  // row r, column c at r * columns + c
    std::int64_t cursor_ = -1;
    std::int64_t rowsInBlock_ = 0;
    std::int64_t rowsPerBlock_ = 0;
    std::int64_t columns_ = 0;
    std::uint64_t budget_ = 0;
    std::int64_t nextRowPosition_ = 0;
    std::int64_t fileSize_ = 0;
    std::int64_t afterLastValue_ = 0;  // file position after the last value read
    std::int64_t rowsBefore_ = 0;      // data rows of the blocks loaded before
    int mode_ = 0;
    int state_ = kNotOpened;
    int openError_ = 0;
    DiagLog* log_ = nullptr;
};
