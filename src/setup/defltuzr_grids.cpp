// Zone, elevation, standard and variable grids: the grid definitions of the control file, the
// header of the zone grid, the zone grid itself, the standard grids created from their default
// values or read from their files, the variable grids and the land-use layer grids.
//
// The definitions are registered by name in step 1, when the grid measures are not known yet;
// each grid's data, rows and write code follow when it is read or created (steps 6 to 8).
#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kernel/gridio.hpp"
#include "kernel/hotloop.hpp"
#include "kernel/snow_methods.hpp"
#include "kernel/threading.hpp"
#include "setup/defltuzr.hpp"
#include "setup/derivedgrids.hpp"

namespace {

// A row of a grid made from its default value: the value on the valid zone cells (above nodata,
// or other than nodata), nodata elsewhere. Only comparisons and copies, so any build gives the
// same bits.
TALVO_HOT_LOOP void DefinedRow(double* out, const double* zone, int ncols, double value, double nodata,
                               bool validIsAboveNodata) {
    if (validIsAboveNodata)
        for (int c = 1; c <= ncols; ++c) out[c] = zone[c] > nodata ? value : nodata;
    else
        for (int c = 1; c <= ncols; ++c) out[c] = zone[c] != nodata ? value : nodata;
}

constexpr const char* kNoFreeEntry = "FATAL: no free grid found in memory (at position ";
constexpr const char* kNoFreeVariableEntry = "FATAL: no free grid found in memory (an Position ";

// The next non-blank line of a control file (blank lines are skipped as scanf skips them); the
// whole line is consumed, its first 1200 characters are returned.
std::string NextLine(std::FILE* f) {
    int ch = 0;
    while ((ch = std::fgetc(f)) != EOF && std::strchr(" \t\r\n\v\f", ch) != nullptr) {
    }
    std::string line;
    while (ch != EOF && ch != '\n') {
        if (line.size() < static_cast<std::size_t>(modelobject::kLineLength)) line.push_back(static_cast<char>(ch));
        ch = std::fgetc(f);
    }
    return line;
}

// Whitespace-separated items of a line, read as scanf reads "%s", "%d" and "%lf".
class LineItems {
public:
    explicit LineItems(const std::string& line) : text_(line) {}
    bool Word(std::string* out) {
        Skip();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        if (pos_ == start) return false;
        *out = text_.substr(start, pos_ - start);
        return true;
    }
    bool Number(double* out) {
        Skip();
        const char* start = text_.c_str() + pos_;
        char* end = nullptr;
        const double v = std::strtod(start, &end);
        if (end == start) return false;
        pos_ += static_cast<std::size_t>(end - start);
        *out = v;
        return true;
    }
    bool Int(int* out) {
        Skip();
        const char* start = text_.c_str() + pos_;
        char* end = nullptr;
        const long n = std::strtol(start, &end, 10);
        if (end == start || n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max()) return false;
        pos_ += static_cast<std::size_t>(end - start);
        *out = static_cast<int>(n);
        return true;
    }

private:
    void Skip() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    const std::string& text_;
    std::size_t pos_ = 0;
};

// A header value that is a usable number of rows or columns.
bool ValidCount(double v) { return std::isfinite(v) && v >= 1 && v <= std::numeric_limits<std::int32_t>::max(); }

}  // namespace

GridDefinition* defaultini::DefinitionAt(int index) {
    for (GridDefinition& d : gridDefinitions_)
        if (d.index == index) return &d;
    return nullptr;
}

GridDefinition* defaultini::DefinitionNamed(const std::string& internalName) {
    for (GridDefinition& d : gridDefinitions_)
        if (d.internalName == internalName) return &d;
    return nullptr;
}

void defaultini::DefineGrid(GridDefinition def, const char* noRoomText) {
    // The grid is read from its file name and written under its output name ("outname"), so
    // that an output never overwrites the input it was read from unless the names agree.
    def.index = RegisterSetupGrid(def.outName.empty() ? def.fileName : def.outName, def.internalName, nullptr, 0, 1, 0,
                                  noRoomText);
    gridDefinitions_.push_back(std::move(def));
}

void defaultini::ReadStandardGrids() {
    gridDefinitions_.clear();
    standardGridCount_ = 0;
    static const char* const kFixed[2][2] = {{"[zone_grid]", "[zone_grid]"},
                                              {"[elevation_model]", "[elevation_model]"}};
    for (const auto& fixed : kFixed) {
        SeekSection(fixed[0], true);
        GridDefinition def;
        ReadValue(ControlStream(), "%s", &def.fileName, " Name for ");
        def.internalName = fixed[1];
        def.outName = def.fileName;
        DefineGrid(std::move(def), kNoFreeEntry);
    }
    SeekSection("[standard_grids]", true);
    int count = 0;
    ReadCountOrNone(ControlStream(), &count, "couner/number of grids ");
    for (int i = 1; i <= count; ++i) {
        DefineGrid(ReadStandardGridLine(i), kNoFreeEntry);
        ++standardGridCount_;
    }
}

GridDefinition defaultini::ReadStandardGridLine(int number) {
    const std::string line = NextLine(ControlStream());
    GridDefinition def;
    std::vector<std::string> unreadable;
    switch (ParseStandardGridLine(line, &def, &unreadable)) {
        case GridLineResult::NoNames:
            ControlFileError(StrFormat("\nerror reading a grid name or identifier %d in\n", number), moduleName);
        case GridLineResult::NoFillCode:
            ControlFileError(StrFormat("\nerror reading the fillcode for standard grid %d (found neither in old nor "
                                       "in new style standard grid definition) in\n",
                                       number),
                             moduleName);
        case GridLineResult::Ok: break;
    }
    RequireFinite(def.defaultValue, StrFormat("defaultValue of standard grid %d", number));
    for (const std::string& key : unreadable)
        *log << "WARNING: standard grid " << number << " (" << def.internalName << "): no value could be read for \""
             << key << "\"; its default is used" << "[end-entry]";
    return def;
}

void defaultini::ReadGridHeader(std::int32_t* ncolsOut, std::int32_t* nrowsOut, double* xll, double* yll,
                                double* cell, double* nodataOut) {
    gridio::SignalScope signals(DisableCtrlCHandler);
    const std::string name = ExpandPath(inputPath, gridDefinitions_.empty() ? std::string() : gridDefinitions_[0].fileName);
    FileHandle f = OpenFile(name, "rb");
    if (!f) {
        FailOnFile(*log, "error opening " + name, 21);
    }
    double h[gridio::kHeaderValues] = {};
    char head[4] = {};
    // Bytes a value takes at the least: one character of a text grid (a digit), or the binary size.
    double bytesPerValue = 1;
    if (std::fread(head, 1, 4, f.get()) == 4 && std::memcmp(head, "ncol", 4) == 0) {
        std::rewind(f.get());
        for (int i = 0; i < 6; ++i) {
            if (std::fscanf(f.get(), "%*s%lf", &h[i]) != 1) {
                *log << "FATAL: error reading " << name << "[end-entry]";
                throw ModelError(22);
            }
        }
    } else {
        std::rewind(f.get());
        const std::size_t doubles = std::fread(h, sizeof(double), gridio::kHeaderValues, f.get());
        bytesPerValue = sizeof(double);
        if (doubles >= 6 && h[5] == gridio::kBinaryNodata) {
            if (doubles < static_cast<std::size_t>(gridio::kHeaderValues)) {
                *log << "FATAL: error reading double value from the header of " << name << "[end-entry]";
                throw ModelError(22);
            }
        } else {
            std::rewind(f.get());
            float s[gridio::kHeaderValues] = {};
            const std::size_t floats = std::fread(s, sizeof(float), gridio::kHeaderValues, f.get());
            if (floats < 6 || std::isnan(s[5]) || s[5] != static_cast<float>(gridio::kBinaryNodata)) {
                *log << "FATAL: could not recognise file format (ascii, double or double) for " << name
                     << "[end-entry]";
                throw ModelError(22);
            }
            if (floats < static_cast<std::size_t>(gridio::kHeaderValues)) {
                *log << "FATAL: error reading double value #" << static_cast<long>(floats + 1)
                     << " from the header of " << name << "[end-entry]";
                throw ModelError(22);
            }
            for (int i = 0; i < gridio::kHeaderValues; ++i) h[i] = s[i];
            bytesPerValue = sizeof(float);
        }
    }
    struct stat st {};
    const double fileBytes = fstat(fileno(f.get()), &st) == 0 ? static_cast<double>(st.st_size) : -1;
    if (std::fclose(f.release()) != 0) {
        FailOnFile(*log, "error closing grid " + name, 23);
    }
    // The geometry of the whole model comes from here: a size that allocates nothing or
    // overflows, or a measure that is no number, would corrupt every later step.
    bool usable = ValidCount(std::floor(h[0])) && ValidCount(std::floor(h[1]));
    for (int i = 2; i < 6; ++i) usable = usable && std::isfinite(h[i]);
    if (!usable || !(h[4] > 0)) {
        *log << "FATAL: error reading " << name << ": the header gives no usable grid (ncols " << h[0] << ", nrows "
             << h[1] << ", cellsize " << h[4] << ")" << "[end-entry]";
        throw ModelError(22);
    }
    // The whole grid is allocated from these counts: a file that cannot hold them (a count typed
    // wrongly) is refused before, instead of taking the machine's memory.
    const double values = std::floor(h[0]) * std::floor(h[1]);
    const double least = values * bytesPerValue + (bytesPerValue > 1 ? gridio::kHeaderValues * bytesPerValue : 0);
    if (fileBytes >= 0 && fileBytes < least) {
        *log << "FATAL: error reading " << name << ": its " << fileBytes << " bytes cannot hold the ncols x nrows = "
             << std::floor(h[0]) << " x " << std::floor(h[1]) << " values of its header" << "[end-entry]";
        throw ModelError(22);
    }
    // Cells above nodata are the basin's, and the owner grid marks them with process numbers
    // from 0 up, the cells outside with nodata: a nodata of 0 or more leaves codes and process
    // numbers that it cannot tell apart.
    if (!(h[5] < 0)) {
        *log << "FATAL: error reading " << name << ": its nodata value " << h[5]
             << " is not negative; the model's grids need a negative nodata value such as -9999" << "[end-entry]";
        throw ModelError(22);
    }
    *ncolsOut = static_cast<std::int32_t>(std::floor(h[0]));
    *nrowsOut = static_cast<std::int32_t>(std::floor(h[1]));
    *xll = h[2];
    *yll = h[3];
    *cell = h[4];
    *nodataOut = h[5];
}

// Reads a grid whole into process 0 (the zone grid and "river_links", before the rows are
// divided among the processes): every process takes part, so that a text grid is parsed in
// shares; the others keep nothing of it.
void defaultini::ReadWholeGridOnRoot(GridDefinition& def) {
    Matrix grid;
    ReadGridIntoRoot(def.fileName, &grid, def.defaultValue);
    if (rank == 0) UpdateSetupGrid(def.index, AdoptOwnedGrid(std::move(grid)), def.writeCode, 1, nrows);
}

void defaultini::ReadZoneGrid() {
    // Process 0 reads the header; its error code and the measures reach every process in one
    // message (the counts are whole numbers below 2^31, exact as doubles), so that every process
    // fails with process 0's code and none is left waiting in the next collective step.
    double shared[7] = {};
    if (rank == 0) {
        shared[0] = gridio::Attempt([&] { ReadGridHeader(&ncols, &nrows, &xllcorner, &yllcorner, &cellsize, &nodata); });
        const double measures[6] = {static_cast<double>(ncols), static_cast<double>(nrows), xllcorner, yllcorner,
                                    cellsize, nodata};
        std::copy(measures, measures + 6, shared + 1);
    }
    if (size > 1) MPI_Bcast(shared, 7, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (const int code = static_cast<int>(shared[0]); code != 0) {
        if (rank != 0) *log << "FATAL: reading the header of the zone grid failed on process 0" << "[end-entry]";
        throw ModelError(code);
    }
    if (rank != 0) {
        ncols = static_cast<std::int32_t>(shared[1]);
        nrows = static_cast<std::int32_t>(shared[2]);
        xllcorner = shared[3];
        yllcorner = shared[4];
        cellsize = shared[5];
        nodata = shared[6];
    }
    // Every process reads alike and ends with the same code; the others say where it failed.
    const int code = gridio::Attempt([&] {
        ReadWholeGridOnRoot(gridDefinitions_.front());
        if (GridDefinition* links = DefinitionNamed("river_links")) ReadWholeGridOnRoot(*links);
    });
    FailAlike(code, "reading the zone grid");
    zoneData_ = (*gridStore)[gridDefinitions_.front().index].grid;
}

// Whether process 0 keeps every row of a standard grid. Most consumers read the own rows of a
// grid, so process 0 holds its own rows with the halo as the others do; these work on process
// 0's whole copy: the terrain of the radiation correction's shadows and the elevation's
// derived grids are made from process 0's elevation model; process 0 checks given cell sizes and
// relative cell areas on every row and hands the shared rows on; the soil model's glacier table
// counts every cell of its zones there (also outside the basin), the glaciers of the dynamic
// glacier methods are built and stepped there, the snow slides move the snow there down the
// slide fractions (only when the snow model runs a slide method: otherwise nobody reads them
// whole). A grid written by its write code takes its cells outside the basin from process 0's
// copy, and a periodic grid is read again into it.
bool defaultini::WholeOnProcessZero(const GridDefinition& def) const {
    static const char* const kWholeGridConsumers[] = {"[elevation_model]", "CellSizeX",       "CellSizeY",
                                                      "RelCellArea",       "zonegrid_soilmodel", "GlacierizedCells",
                                                      "GlacierCodes",      "debris_on_glaciers"};
    static const char* const kSlideFractions[] = {"slidefraction1", "slidefraction2", "slidefraction3",
                                                  "slidefraction4"};
    if (def.variable || def.writeCode != 0 || def.HasPeriodicity()) return true;
    for (const char* name : kWholeGridConsumers)
        if (def.internalName == name) return true;
    for (const char* name : kSlideFractions)
        if (def.internalName == name) return slideFractionsWhole_;
    return false;
}

// The flow control parameter (first line of the section) and the method (third line), read as
// the snow model reads them but quietly: the snow model reports what is wrong with its section.
// Whatever cannot be read counts as slides, the grids are then whole as the slides use them.
// The answer never changes a result: a snow model with slides whose fractions process 0 holds
// only in rows gathers its whole copies itself.
bool defaultini::SnowSlidesSwitchedOn() const {
    FileHandle f = OpenFile(controlFileName, "r");
    if (!f) return true;
    char token[kLineLength];
    while (std::fscanf(f.get(), "%1199s", token) == 1) {
        ReadLineRest(f.get());
        if (std::strcmp(token, "[snow_model]") != 0) continue;
        int flowControl = 0, method = 0;
        double step = 0;
        if (std::fscanf(f.get(), "%d", &flowControl) != 1) return true;
        ReadLineRest(f.get());
        if (std::fscanf(f.get(), "%lf", &step) != 1) return true;
        ReadLineRest(f.get());
        if (std::fscanf(f.get(), "%d", &method) != 1) return true;
        return flowControl != 0 && IsSnowSlideMethod(method);
    }
    return false;
}

// The rows of a standard grid on this process: see WholeOnProcessZero.
void defaultini::DefinedGridRows(const GridDefinition& def, int* first, int* last) const {
    if (rank == 0 && WholeOnProcessZero(def)) {
        *first = 1;
        *last = nrows;
        return;
    }
    *first = std::max(1, firstRow - 1);
    *last = std::min(nrows, lastRow + 1);
}

// A grid of a definition read from its file: the rows of DefinedGridRows, the own rows with one
// halo row each side elsewhere.
void defaultini::ReadDefinedGrid(GridDefinition& def, double fillValue) {
    Matrix grid;
    ReadGridOwnRows(def.fileName, &grid, def.fillCode, true, fillValue, WholeOnProcessZero(def));
    int first = 0, last = 0;
    DefinedGridRows(def, &first, &last);
    UpdateSetupGrid(def.index, AdoptOwnedGrid(std::move(grid)), def.writeCode, first, last);
    (*gridStore)[def.index].readFileName = def.fileName;
}

// A grid of a definition created from its default value on the valid zone cells. Its halo
// cells need no exchange: the zone grid holds its halo cells as their owners do (distributed
// before), so each process makes them as their owner makes them.
void defaultini::CreateDefinedGrid(GridDefinition& def, bool validIsAboveNodata) {
    int first = 0, last = 0;
    DefinedGridRows(def, &first, &last);
    Matrix* grid = CreateOwnedGridToBeSet(first, last);
    const Matrix* zone = (*gridStore)[gridDefinitions_.front().index].grid;
    const double value = def.defaultValue, none = nodata;
    // A row the zone grid lacks counts as nodata throughout.
    const bool noneValid = validIsAboveNodata ? none > none : none != none;
    // Each row from the zone grid's row alone; the threads share the rows (and fault the grid's
    // fresh pages in together).
#pragma omp parallel for schedule(static) if (WorthThreads(first, last, ncols))
    for (int r = first; r <= last; ++r) {
        if (zone && zone->holds(r))
            DefinedRow((*grid)[r], (*zone)[r], ncols, value, none, validIsAboveNodata);
        else
            std::fill((*grid)[r] + 1, (*grid)[r] + ncols + 1, noneValid ? value : none);
    }
    UpdateSetupGrid(def.index, grid, def.writeCode, first, last);
}

// A standard grid read unfilled from the zone grid's own file (the soil model's zones often
// are the zone grid): reading it again would give every process the zone grid's values on
// the same cells, as the zone grid was read and distributed the same way. The conditions are
// the same on every process, so all of them read it or none.
bool defaultini::ReadsTheZoneGrid(const GridDefinition& def) const {
    const GridDefinition& zone = gridDefinitions_.front();
    return &def != &zone && !def.variable && def.readCode > 0 && def.fillCode == 0 && !def.HasPeriodicity() &&
           def.fileName == zone.fileName && (*gridStore)[zone.index].grid != nullptr;
}

// The copy of the zone grid over the rows of the definition: the zone grid holds every row
// there (process 0 all rows, the others their own rows with the halo rows), cells it does not
// hold as nodata, as a read leaves them. Process 0 logs the read the copy stands for.
void defaultini::CopyZoneGrid(GridDefinition& def) {
    if (rank == 0) *log << "reading " << def.fileName << " for " << moduleName << "..." << "[end-entry]";
    int first = 0, last = 0;
    DefinedGridRows(def, &first, &last);
    const Matrix& zone = *(*gridStore)[gridDefinitions_.front().index].grid;
    Matrix* grid = CreateOwnedGridToBeSet(first, last);
#pragma omp parallel for schedule(static) if (WorthThreads(first, last, ncols))
    for (int r = first; r <= last; ++r) std::copy(zone[r], zone[r] + ncols + 1, (*grid)[r]);
    UpdateSetupGrid(def.index, grid, def.writeCode, first, last);
    (*gridStore)[def.index].readFileName = def.fileName;
}

void defaultini::CreateStandardGridData() {
    slideFractionsWhole_ = SnowSlidesSwitchedOn();
    for (GridDefinition& def : gridDefinitions_) {
        if (def.variable || (*gridStore)[def.index].grid || def.internalName == "river_links") continue;
        if (def.readCode <= 0)
            CreateDefinedGrid(def, false);
        else if (ReadsTheZoneGrid(def))
            CopyZoneGrid(def);
        else
            ReadDefinedGrid(def, def.defaultValue);
        if (!def.persistent) KeepFirstValues(def);
    }
}

void defaultini::KeepFirstValues(GridDefinition& def) {
    // The values a non-persistent periodic grid returns to.
    const Matrix& grid = *(*gridStore)[def.index].grid;
    def.firstValues = matrix(grid.firstRow(), grid.lastRow(), 1, ncols, nrows);
    const int from = grid.firstRow(), to = grid.lastRow();
#pragma omp parallel for schedule(static) if (WorthThreads(from, to, ncols))
    for (int r = from; r <= to; ++r)
        if (grid.holds(r)) std::copy(grid[r], grid[r] + ncols + 1, def.firstValues[r]);
}

void defaultini::KeepMappedCodes() {
    // The code grids now hold table positions in place of the codes read: a grid that returns to
    // its first values returns to these positions, as the sub-models index the tables with them.
    for (GridDefinition& def : gridDefinitions_)
        if (!def.variable && !def.persistent && !def.firstValues.empty() &&
            (def.internalName == "landuse" || def.internalName == "soil_types" ||
             def.internalName == "irrigation_codes"))
            KeepFirstValues(def);
}

void defaultini::ReadVariableGridLine(int number) {
    const std::string line = NextLine(ControlStream());
    GridDefinition def;
    def.variable = true;
    LineItems items(line);
    double defaultValue = 0;
    if (!items.Word(&def.fileName) || !items.Word(&def.internalName) || !items.Int(&def.fillCode) ||
        !items.Number(&defaultValue))
        ControlFileError(StrFormat("\nfile for vargrid %d or the identifier or the fillcode or the defaultvalue "
                                   "(which is new in version 7.7) in ",
                                   number),
                         moduleName);
    RequireFinite(defaultValue, StrFormat("defaultvalue of variable grid %d", number));
    def.defaultValue = defaultValue;
    def.outName = def.fileName;
    int writeCode = 0;
    ReadValue(ControlStream(), "%d", &writeCode, "Writegrid for a variable grid ");
    ReadValue(ControlStream(), "%d", &def.readCode, "Readgrid for a variable grid ");
    def.writeCode = writeCode;
    def.index = RegisterSetupGrid(def.fileName, def.internalName, nullptr, 0, 1, 0, kNoFreeVariableEntry);
    // Only read code 1 reads the file, with the fill value 0; any other code creates the grid.
    if (def.readCode == 1)
        ReadDefinedGrid(def, 0.0);
    else
        CreateDefinedGrid(def, true);
    variableGridIndices_.push_back(def.index);
    gridDefinitions_.push_back(std::move(def));
}

int defaultini::ReadVariableGrids() {
    OpenControlFile();
    SeekSection("[variable_grids]", true);
    int count = 0;
    ReadCountOrNone(ControlStream(), &count, " number of variable grids ");
    if (count <= 0) {
        CloseControlFile();
        return 0;
    }
    if (FirstFreeEntry() > GridStore::kMaxIndex) {
        *log << kNoFreeVariableEntry << GridStore::kMaxIndex + 1 << ")\n" << "[end-entry]";
        CloseControlFile();
        throw ModelError(12);
    }
    for (int k = 1; k <= count; ++k) ReadVariableGridLine(k);
    CloseControlFile();
    standardGridCount_ += count;
    return count;
}

void defaultini::CreateLanduseGrids() {
    const int layers = tables_ ? std::max(tables_->MultilayerLayerCount(), 0) : 0;
    landuseLayers_.assign(static_cast<std::size_t>(layers) + 1, nullptr);
    const int landuseIndex = FindSetupGrid("landuse");
    if (landuseIndex == 0) return;
    const Matrix* landuse = (*gridStore)[landuseIndex].grid;
    landuseLayers_[0] = (*gridStore)[landuseIndex].grid;
    if (FirstFreeEntry() > GridStore::kMaxIndex) {
        *log << kNoFreeEntry << GridStore::kMaxIndex + 1 << ")\n" << "[end-entry]";
        throw ModelError(12);
    }
    FindDecompositionGrids();
    const Matrix* zone = zoneData_;
    int first = 0, last = 0;
    SharedGridRows(&first, &last);
    for (int layer = 1; layer <= layers; ++layer) {
        const std::string name = StrFormat("%s%d", "landuse", layer);
        Matrix* grid = CreateOwnedGrid(first, last);
        const int index = RegisterSetupGrid(name, name, grid, 0, first, last, kNoFreeEntry);
        // Each cell's code from its own land use alone (the table is only read): rows on the team.
#pragma omp parallel for schedule(static) if (WorthThreads(first, last, ncols))
        for (int r = first; r <= last; ++r) {
            // Own cells lie in the own rows only: the other rows are nodata throughout.
            const bool held = r >= firstRow && r <= lastRow && zone && zone->holds(r) && landuse &&
                              landuse->holds(r) && mpiRegions && mpiRegions->holds(r);
            if (!held) {
                std::fill((*grid)[r] + 1, (*grid)[r] + ncols + 1, nodata);
                continue;
            }
            for (int c = 1; c <= ncols; ++c) {
                const bool own = (*zone)[r][c] > nodata && (*mpiRegions)[r][c] == rank;
                (*grid)[r][c] =
                    own ? tables_->MultilayerLanduseCode(static_cast<int>((*landuse)[r][c]), layer) : nodata;
            }
        }
        landuseLayers_[static_cast<std::size_t>(layer)] = grid;
        MPIExchangeHalo(index);
        ++standardGridCount_;
    }
}

double defaultini::GridMaximum(int index) {
    double maximum = nodata;
    const Matrix* grid = index > 0 ? (*gridStore)[index].grid : nullptr;
    if (grid) {
        const auto& ranges = zones_.columns;
        for (int r = firstRow; r <= lastRow; ++r) {
            if (!grid->holds(r) || r < 0 || static_cast<std::size_t>(r) >= ranges.size()) continue;
            const double* row = (*grid)[r];
            const ColumnRange range = ranges[static_cast<std::size_t>(r)];
            for (int c = std::max(range.first, 1); c <= std::min(range.last, ncols); ++c)
                if (row[c] > maximum) maximum = row[c];
        }
    }
    if (size > 1) {
        double global = maximum;
        MPI_Reduce(&maximum, &global, 1, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
        MPI_Bcast(&global, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
        maximum = global;
    }
    return maximum;
}

void defaultini::FillFromNeighbours(int row, int col, Matrix& grid) const {
    ::FillFromNeighbours(grid, row, col, nrows, ncols, nodata);
}
