#pragma once
// Base of every model object: module name, diagnostics log, control-file access, grid
// geometry, dates, MPI rank and size, the grid store and the output settings.
//
// The operations live in files by concern: this header's basics and the running statistics in
// modelobject.cpp, control-file access and the text log in controlfile.cpp; the grid store,
// grid files, output by write code and the row transfers add their own files.
#include <array>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "kernel/controlfile.hpp"
#include "kernel/decomposition.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/matrix.hpp"
#include "kernel/regioncells.hpp"
#include "kernel/valuebound.hpp"
#include "kernel/zonerecord.hpp"

// Date key: orders dates; a run has ended when the current key reaches the end key.
constexpr std::int64_t DateKey(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour) {
    return year * 93000 + month * 7750 + day * 250 + hour;
}

class modelobject : public memory_handling {
public:
    // Longest control-file line remainder, file name and token the system handles.
    static constexpr int kLineLength = 1200;
    static constexpr int kModuleNameLength = 100;

    modelobject(DiagLog* log, const std::string& controlFileName, int unused, bool textOutput,
                bool doublePrecision, const ObjectRecord& record);
    ~modelobject() override;
    modelobject(const modelobject&) = delete;
    modelobject& operator=(const modelobject&) = delete;

    // --- text log and dates
    virtual void WriteLog(const std::string& text);
    virtual void SetEndDate(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour);
    virtual void SetRunInterval(int n) { runInterval = n; }
    virtual int GetRunInterval() const { return runInterval; }
    virtual double GetHourOffset() const { return hourOffset; }
    virtual void SetStatus(int word) { status = word; }
    void SetReferenceValues(double x, double y, double cell, const Matrix* mask);

    // --- control-file access
    // Finds the line whose first token is the section name; the stream then stands after it.
    virtual int SeekSection(const std::string& section, bool fatal);
    // One value per line read with a scanf format; the rest of the line goes to rest.
    int ReadValue(std::FILE* stream, const char* format, double* target, const std::string& key,
                  std::string* rest = nullptr);
    int ReadValue(std::FILE* stream, const char* format, float* target, const std::string& key,
                  std::string* rest = nullptr);
    int ReadValue(std::FILE* stream, const char* format, int* target, const std::string& key,
                  std::string* rest = nullptr);
    int ReadValue(std::FILE* stream, const char* format, long* target, const std::string& key,
                  std::string* rest = nullptr);
    // A whitespace-delimited token of at most kLineLength - 1 characters; a longer one is a
    // control-file error.
    int ReadValue(std::FILE* stream, const char* format, std::string* target, const std::string& key,
                  std::string* rest = nullptr);
    int ReadTwoValues(std::FILE* stream, const char* format, double* t1, double* t2, const std::string& key,
                      std::string* rest = nullptr);
    int ReadTwoValues(std::FILE* stream, const char* format, long* t1, long* t2, const std::string& key,
                      std::string* rest = nullptr);
    int ReadTwoValues(std::FILE* stream, const char* format, int* t1, int* t2, const std::string& key,
                      std::string* rest = nullptr);
    // A file name (at most kLineLength characters) and a code on one line, as the statistics
    // outputs are named; the rest of the line is skipped. Either missing is a control-file error.
    void ReadFileNameAndCode(std::FILE* stream, std::string* name, int* code, const std::string& key);
    // A value that may be absent: 1 when one was read, 0 (target untouched) when none could
    // be converted. The rest of the line is skipped either way.
    int ReadOptionalValue(std::FILE* stream, const char* format, double* target, const std::string& key);
    // A count ("%d"); below 0 is a control-file error.
    int ReadCount(std::FILE* stream, int* target, const std::string& key, std::string* rest = nullptr);
    // A count of which 0 or less means that nothing follows: a negative count becomes 0.
    void ReadCountOrNone(std::FILE* stream, int* target, const std::string& key);
    // Every number taken from the control file passes here: NaN or an infinite value is a
    // control-file error naming the key and the section last looked for.
    void RequireFinite(double value, const std::string& key);
    // A value no basin can have (outside range) is a control-file error (17) naming the key, the
    // section last looked for, the value and the range.
    void RequireInRange(double value, const std::string& key, const ValueBound& range);
    // ReadValue, then RequireInRange.
    int ReadBoundedValue(std::FILE* stream, const char* format, double* target, const std::string& key,
                         const ValueBound& range, std::string* rest = nullptr);
    int ReadBoundedValue(std::FILE* stream, const char* format, int* target, const std::string& key,
                         const ValueBound& range, std::string* rest = nullptr);
    // A method code outside the known ones is a control-file error (17) listing them.
    void RequireKnownMethod(int method, const std::string& key, std::initializer_list<int> known);
    // The section last looked for with SeekSection.
    const std::string& CurrentSection() const { return currentSection_; }
    [[noreturn]] void ControlFileError(const std::string& key, const std::string& place);
    [[noreturn]] void WriteError(const std::string& fileName, int number);
    [[noreturn]] void ReadError(const std::string& fileName, int number);
    // The stream of the preprocessed control file (null until a derived class opens it).
    std::FILE* ControlStream() const { return controlFile.get(); }

    // --- running statistics
    virtual void ResetStatistics(double threshold);
    virtual void AddToStatistics(double value, double weight);
    virtual void GetStatistics(double* count, double* min, double* max, double* sum, double* mean,
                               double* stddev) const;
    // Linear interpolation (extrapolates outside [x1, x2]; y1 when x1 == x2).
    virtual double Interpolate(double x1, double y1, double x2, double y2, double x) const;

    // --- grid store: registration and lookup of the grids shared between model objects
    // Fills entry index (1..999) with the grid or stack, its names and its write code; any
    // other index is error 12.
    virtual void RegisterGrid(int index, const std::string& fileName, Matrix* grid, Stack* stack, int levels,
                              const std::string& internalName, long writeCode, std::int64_t firstRow,
                              std::int64_t lastRow);
    // Frees what the store owns in entry index and clears it; releasing twice is harmless.
    virtual void ReleaseGrid(int index);
    // Index of the grid named name, 0 when absent. Without all, a stack entry ends the search.
    virtual int FindGrid(const std::string& name, bool all = false) const;
    // Index of the grid named name; absent is error 33.
    virtual int GetGridIndex(const std::string& name) const;
    // Index of the first of the names present; none present is error 33.
    virtual int GetGridIndexOf3(const std::string& a, const std::string& b, const std::string& c) const;
    virtual int GetGridIndexOf4(const std::string& a, const std::string& b, const std::string& c,
                                const std::string& d) const;
    // First entry without file name and internal name (1..999), or 1000 when the store is full.
    int FirstFreeGridIndex() const;
    // Output of the grid of entry index by its write code.
    virtual void WriteStatisticGrids(int index, bool ownCells, bool skipStatistics);

    // --- grid and stack files (text, binary double or float, GIF)
    // prefix + name unless name begins with "/" or "~".
    static std::string ExpandPath(const std::string& prefix, const std::string& name);
    // Reads a grid file into *target (collective unless local). fillMode 0 leaves nodata holes
    // of the basin, 1 fills them with the nearest value, 2 with fillValue. allocate makes the
    // reader allocate *target; keepWhole keeps all rows on process 0; halo adds one row above
    // and below the own rows and exchanges them.
    virtual void ReadGrid(const std::string& fileName, Matrix* target, int fillMode = 0, bool allocate = true,
                          bool verbose = false, double fillValue = -9999.0, bool report = false,
                          bool keepWhole = false, bool local = false, bool halo = false);
    // Reads a grid whole into a newly allocated *target on process 0 (collective: a text grid is
    // parsed in shares by every process); the other processes' *target holds no rows. For grids
    // read before the rows are divided among the processes.
    void ReadGridIntoRoot(const std::string& fileName, Matrix* target, double fillValue);
    // Reads a grid into a newly allocated *target holding the own rows with one halo row each
    // side (collective), as ReadGrid with halo does: process 0 holds every cell of its rows (of
    // all rows with wholeOnRoot), the others the cells they own and the halo. A text grid parsed
    // in shares goes from the parsers straight to the processes keeping its rows.
    void ReadGridOwnRows(const std::string& fileName, Matrix* target, int fillMode, bool verbose, double fillValue,
                         bool wholeOnRoot);
    // Reads a stack file into a newly allocated *target (collective); returns its levels.
    virtual int ReadStack(const std::string& fileName, Stack* target, bool keepWhole = false);
    // Writes the rows this process holds, the others as nodata (not collective).
    virtual void WriteGrid(const std::string& fileName, const Matrix& grid, bool text, bool doubleValues);
    // The lines of text grid files process 0 is about to write with WriteGrid (the grids of
    // process 0; null where it writes none, the same count on every process) formatted by every
    // process, a block of rows each, from the values process 0 sends; process 0 keeps them for
    // the write of each grid (collective). Nothing is shared with one process.
    void FormatTextRowsTogether(const std::vector<const Matrix*>& grids);
    // Moves the lines formatted for grid out into *text; false when there are none.
    bool TakeFormattedTextRows(const Matrix& grid, std::string* text);
    // Forgets the lines formatted for grids that were not written.
    void DropFormattedTextRows() { formattedTextRows_.clear(); }
    // Binary files of several grids, each as WriteGrid writes it, in one pass over the rows.
    // Reports nothing: returns how many files (in order) were written; the caller writes the
    // rest with WriteGrid, which reports the fault.
    int WriteBinaryGrids(const std::vector<std::pair<std::string, const Matrix*>>& files, bool doubleValues);
    // As WriteBinaryGrids, collective: rows holds two values per process, the first and last row it
    // writes (process 0 needs every process's, the others their own; process 0 writes none of its
    // own): each other process writes those rows of the files from its own copies (rows it holds
    // as process 0 does), process 0 the other rows, and it checks and counts every row from its
    // whole copies. Returns on process 0 the files committed, 0 (nothing left behind) when any
    // process could not write; 0 elsewhere.
    int WriteBinaryGridsShared(const std::vector<std::pair<std::string, const Matrix*>>& files, bool doubleValues,
                               const std::vector<int>& rows);
    // As WriteGrid, after setting the cells outside each row's basin columns to nodata.
    virtual void WriteGridOwnCells(const std::string& fileName, Matrix& grid, bool text, bool doubleValues);
    // Text: process 0 alone writes. Binary: collective MPI-IO write of every process's cells.
    virtual void WriteStack(const std::string& fileName, const Stack& stack, int levels, bool text,
                            bool doubleValues);

    // --- MPI row distribution and halo exchange (all processes call them together)
    // Links "MPIRegions" and "MPIHelper" from the grid store when present and not linked yet.
    void FindDecompositionGrids();
    // A grid argument replaces the data of the entry at index (null: the entry's data).
    void MPIScatterGrid(int index, Matrix* grid = nullptr);
    void MPIGatherGrid(int index, Matrix* grid = nullptr);
    // On process 0 a full grid of all processes' cells; empty elsewhere and with one process.
    // Cells no process owns are nodata, or with outsideCells the values of the lowest process
    // holding their row (what one process would have).
    Matrix MPIGatherGridCopy(int index, const Matrix* grid = nullptr, bool outsideCells = false);
    // levels: needed when index is below 1 (0: the entry's levels).
    void MPIScatterStack(int index, Stack* stack = nullptr, int levels = 0);
    void MPISynchroniseStack(int index, Stack* stack = nullptr);
    Stack MPISynchroniseStackCopy(int index, const Stack* stack = nullptr);
    // Halo exchange of a grid (message tag = row); a negative index does nothing.
    void MPIExchangeHalo(int index, Matrix* grid = nullptr);
    // Halo exchanges of several grids carried out together (one wait for all); the messages of
    // the grids keep their order, so equal row tags pair up grid by grid.
    void MPIExchangeHalos(std::span<Matrix* const> grids);
    // The halo exchange of a grid (as MPIExchangeHalo; none for a negative index) and the maximum
    // of value over all processes, carried out together (one wait for both); returns the maximum.
    double MPIExchangeHaloAndMax(int index, double value, Matrix* grid = nullptr);
    // Halo exchange of a stack (message tag 0).
    void MPIExchangeHaloStack(int index, Stack* stack = nullptr);
    // Sums n, sx (and RelCellSum with withCellSums) of records 0..n over all processes into
    // process 0; the other processes get 0 in these fields.
    void MPIReduceZoneRecords(zoneFZT* records, int n, bool withCellSums);
    // The masked cells' values of every process to process 0 (into target, or the value grid).
    void MPICollectRegionValues(int valueIndex, int maskIndex, std::span<const std::int64_t> cellsPerProcess,
                                Matrix* target = nullptr);
    // The masked cells' values from process 0 to their owners.
    void MPIDistributeRegionValues(int valueIndex, int maskIndex, std::span<const std::int64_t> cellsPerProcess);
    // The same transfers over a list of cells gathered once, so that process 0 needs no rows of
    // the mask or of the value grids beyond its own. MPIGatherRegionCells (collective) lists
    // every process's own masked cells on process 0; the counts must match them (else 120).
    RegionCells MPIGatherRegionCells(int maskIndex, std::span<const std::int64_t> cellsPerProcess);
    // For each grid of the same cells at once (one check and one message per process): the
    // others send the values of their cells; process 0 stores every cell's value into the
    // target, its own cells copied from the values (nothing to copy when the target is the values).
    void MPICollectRegionCells(const RegionCells& cells, std::span<const CellValuePair> grids);
    // For each grid of the same cells at once (the target is the source on process 0; one check
    // and one message per process): process 0 sends the values of the source at the other
    // processes' cells to them and copies its own cells from the source into the values; the
    // others store what they receive into the values.
    void MPIDistributeRegionCells(const RegionCells& cells, std::span<const CellValuePair> grids);

    // --- output by write code (writecode.cpp; WriteStatisticGrids above writes an entry's grid)
    // The stack of entry index by the units digit of its write code (collective).
    virtual void WriteStackByCode(int index);

private:
    // Writes a statistics grid of entry index on process 0 (gathered first for own cells).
    void WriteStatisticGrid(int index, Matrix& grid, const std::string& name, bool own);
    // Writes the grid of entry index on process 0 (gathered first for own cells).
    void WriteEntryGrid(int index, const std::string& name, bool own);
    // Adds the step to the vegetation-period grid of entry index; writes it at the period's end.
    void UpdateVegetationGrid(int index, bool own);

public:

    const std::string& ModuleName() const { return moduleName; }
    // Sets the module name, cut to 100 characters as the system holds it.
    void SetModuleName(const std::string& name) { moduleName = name.substr(0, kModuleNameLength); }

    // ---- fields (in the order the system defines them)
    int status = 0;
    DiagLog* log = nullptr;
    std::string moduleName;
    double hourOffset = 0.0;
    std::array<int, 12> daysPerMonth{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::string controlFileName;
    FileHandle controlFile;

    double statCount = 0, statMin = 0, statMax = 0, statSum = 0, statSumSquares = 0, statThreshold = 0;

    std::int32_t ncols = 0, nrows = 0;
    std::int32_t firstRow = 0, lastRow = 0;  // own rows of this process
    double xllcorner = 0, yllcorner = 0, cellsize = 0, nodata = -9999.0;
    const Matrix* relCellArea = nullptr;

    double refX = 0, refY = 0, refCellsize = 0;
    const Matrix* refMask = nullptr;
    std::array<double, 12> header{};

    std::vector<ColumnRange>* basinColumns = nullptr;
    // The columns of row r that a cell loop visits: the row's basin columns where they are known,
    // otherwise the whole row.
    ColumnRange BasinColumnsOfRow(int r) const {
        if (basinColumns != nullptr && r < static_cast<int>(basinColumns->size()))
            return (*basinColumns)[static_cast<std::size_t>(r)];
        return ColumnRange{1, ncols};
    }

    std::int64_t hour = 0, day = 0, month = 0, year = 0;
    std::int64_t endHour = 0, endDay = 0, endMonth = 0, endYear = 0;
    std::int64_t endKey = 0;

    bool textOutput = false;
    bool doublePrecision = false;
    std::string outputPath;
    std::string inputPath;

    GridStore* gridStore = nullptr;
    Matrix* mpiRegions = nullptr;
    Matrix* mpiHelper = nullptr;
    int rank = 0;
    int size = 1;
    std::vector<HaloRecord>* sendHalo = nullptr;
    std::vector<HaloRecord>* recvHalo = nullptr;
    int runInterval = 1;

    // --- GIF grids (gifreader.cpp): conversion of the resampled colour indices into values,
    // set by the module that reads GIF grids; georeference and mask are the reference values.
    void SetGifConversion(int split, double a1, double b1, double a2, double b2);
    std::int32_t gifSplit = 0;
    double gifA1 = 0, gifB1 = 0, gifA2 = 0, gifB2 = 0;

protected:
    const std::string& MemoryOwnerName() const override { return moduleName; }

private:
    std::string currentSection_;
    // Lines of text grid files formatted together (FormatTextRowsTogether), until written.
    struct FormattedTextRows {
        const Matrix* grid;
        std::string text;
    };
    std::vector<FormattedTextRows> formattedTextRows_;

    template <class T>
    int ReadOne(std::FILE* stream, const char* format, T* target, const std::string& key, std::string* rest);
    template <class T>
    int ReadPair(std::FILE* stream, const char* format, T* t1, T* t2, const std::string& key, std::string* rest);
};

// Reads the rest of the current line (at most 1200 characters, a longer remainder stays for the
// next read), as the control-file readers skip comments.
std::string ReadLineRest(std::FILE* stream);
