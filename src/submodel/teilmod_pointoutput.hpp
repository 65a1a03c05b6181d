#pragma once
// Special output ("[special_output]"): time series of grid values at chosen points, written to
// tab-separated text files. Each file has entities, each naming a grid of the grid store and a
// list of points (map coordinates, with a level for multi-level grids). Every process fills
// the points whose cells it owns; process 0 writes the rows after a maximum reduction.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/replacingfile.hpp"
#include "submodel/teilmod.hpp"

class SpecialOutputClass;
class SpecialOutputFile;

// Key lookup in the text of a "[special_output]" block. A key counts only as a whole word
// followed by "=" (so that "ID" is never found inside "header = an_ID_text;"); its value text
// runs from that "=" to the next ";". Single values come from the first occurrence of their
// key, lists from the last.
namespace special_output_keys {
// Offset of the first (or, with last, the last) occurrence of the key, npos when absent.
std::size_t FindKey(const std::string& text, const std::string& key, bool last);
// The value text of the key; false when the key or its ";" is missing.
bool ValueText(const std::string& text, const std::string& key, bool last, std::string* value);
// One integer; false when the key is missing or its value is no integer.
bool ReadIntValue(const std::string& text, const std::string& key, long* value);
// The first word of the value (empty when the key is missing or the value is blank).
std::string ReadStringValue(const std::string& text, const std::string& key);
// The pieces of the value split at tab, blank, ";" and ","; empty when the key is missing.
// false names the first piece that is no number.
bool ReadDoubleList(const std::string& text, const std::string& key, std::vector<double>* values, std::string* bad);
bool ReadIntList(const std::string& text, const std::string& key, std::vector<std::int32_t>* values,
                 std::string* bad);
// The text from the first "{" at or after *pos to the next "}" (both included); *pos moves
// past that "}". Empty when there is no such pair.
std::string ExtractEntityBlock(const std::string& text, std::size_t* pos);
}  // namespace special_output_keys

// One entity of an output file: a grid and its points.
class SpecialOutputEntity {
public:
    // Reads "ID", "Symbol", "Xcoords", "Ycoords" and "Level" from the entity text; errors
    // 1006 to 1008 for coordinates and levels that do not fit.
    SpecialOutputEntity(DiagLog* log, const std::string& text, teilmodellklasse& owner, unsigned numSubSteps);

    int Points() const { return numPoints; }
    bool HasLevels() const { return !levels.empty(); }
    // The value of point i on this process; false when the process does not own the cell or
    // the grid has no value there.
    bool Value(int i, teilmodellklasse& owner, double* value) const;

    DiagLog* log = nullptr;
    int numPoints = 0;
    int gridIndex = 0;  // grid-store index, 0 when no grid has the name
    double xll = 0, yll = 0, cellsize = 0;
    std::int32_t ncols = 0, nrows = 0;
    std::string ID;
    std::string Symbol;
    std::vector<double> x, y;
    std::vector<std::int32_t> levels;  // empty or one per point
    std::vector<std::int32_t> columns, rows;
    bool flux = false;
    unsigned numSubSteps = 1;
    int accumulation = 0;  // 0 sampled at the end of a step, 1 summed over the sub-steps

private:
    void ReadPoints(const std::string& text);
    void LocatePoints();
};

// One output file with its row buffer.
class SpecialOutputFile {
public:
    static constexpr long kBufferBytes = 2097152;

    // Builds the entities of the block text and, on process 0, creates the file with its two
    // header lines (error 1007 on every process when that fails).
    SpecialOutputFile(DiagLog* log, const std::string& block, teilmodellklasse& owner, unsigned numSubSteps);
    ~SpecialOutputFile();
    SpecialOutputFile(const SpecialOutputFile&) = delete;
    SpecialOutputFile& operator=(const SpecialOutputFile&) = delete;

    void Step(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year, int subStep, int k);
    // Writes the buffered rows (collective: process 0 writes the maximum over all processes).
    void Flush();
    // At the normal end: a file that holds only its header is put in place (collective).
    void FinishTable();

    int Columns() const { return columns; }
    std::int64_t Capacity() const { return capacity; }
    std::int64_t RowsInUse() const { return rowsInUse; }
    const std::string& FileName() const { return filename; }
    const std::vector<std::unique_ptr<SpecialOutputEntity>>& Entities() const { return entities; }

private:
    void WriteHeader();
    double* Row(std::int64_t r) { return values.data() + r * (columns + 1); }

    DiagLog* log = nullptr;
    teilmodellklasse& owner;
    int columns = 0;
    struct RowDate {
        std::int64_t year, month, day, hour;
    };
    std::vector<RowDate> dates;   // rows 0..capacity-1
    std::vector<double> values;   // columns + 1 per row, values in 1..columns
    std::int64_t capacity = 1;
    std::int64_t rowsInUse = 0;
    std::string header;
    std::string filename;
    // Process 0's file: the header waits under its temporary name until the first rows (or the
    // normal end), so that a failed run leaves the file of the run before.
    TableFile table;
    std::vector<std::unique_ptr<SpecialOutputEntity>> entities;
    unsigned numSubSteps = 1;
    bool newRow = true;
};

class SpecialOutputClass : public teilmodellklasse {
public:
    SpecialOutputClass(const SubmodelSettings& settings, unsigned numSubSteps, unsigned& error, DiagLog* log);
    ~SpecialOutputClass() override;

    // Called with (date, 1, k) after every inner sub-step k and with (date, 0, 0) at the end of
    // the step.
    void Step(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year, int subStep, int k);
    // Writes every file that holds rows (collective).
    void FlushAll();

    int NumFiles() const { return numfiles; }
    const SpecialOutputFile& File(int i) const { return *files[static_cast<std::size_t>(i)]; }

private:
    void ReadSection();

    std::vector<std::unique_ptr<SpecialOutputFile>> files;
    int numfiles = 0;
};
