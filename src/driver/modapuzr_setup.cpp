// The set-up of this build. The set-up object of the system (control-file preprocessing,
// standard and variable grids, derived grids, load balancing, parameter tables) takes this place
// when it is part of the build; until then a basic set-up prepares the domain of a run that needs
// nothing more: it reads the output control, the model period, the zone grid and the elevation
// model (text grids), divides the rows among the processes in bands ("MPIRegions", "MPIHelper"),
// ranks the zones, reads the coupling settings and builds the hydrologic response units of the
// spin-up. Whatever it cannot do (symbols, standard and variable grids) stops the run with a
// FATAL entry instead of being ignored.
#include "driver/modapuzr_setup.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mpi.h>

#include <deque>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "setup/coupling.hpp"
#include "setup/mpiregions.hpp"

namespace {

constexpr int kUnavailableCode = 2011;

class BasicSetup : public ModelSetup, public modelobject {
public:
    BasicSetup(DiagLog* log_, const std::string& controlFile, GridStore* store)
        : modelobject(log_, controlFile, 0, false, false, ObjectRecord{}), userFile_(controlFile) {
        SetModuleName("defaults");
        gridStore = store;
    }

    void Initialise(SubmodelSettings& s, SpinUpState& spinUp) override;
    double GetMaxElevation() override { return maxElevation_; }
    int ReadSubsteps() override;
    void SetStatus(int word) override { modelobject::SetStatus(word); }
    void SetEndDate(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h) override {
        modelobject::SetEndDate(y, m, d, h);
    }
    // The basic set-up keeps no standard grids: nothing is due in a step.
    void UpdatePeriodicGrids(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void UpdateDynamicLanduseParameters(std::int64_t, std::int64_t, std::int64_t, std::int64_t, int) override {}
    void WriteStandardGrids(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void WriteVariableGrids(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void ResetStandardGridStatistics() override {}
    void AddStandardGridStatistics() override {}
    void StepStandardGridStatistics(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void WriteStandardGridStatisticLines() override {}
    bool IsExternallyCoupled() override { return coupling_.IsCoupled(); }
    char GetCouplingModeLetter() override { return coupling_.PeriodLetter(); }
    std::string GetSemaphoreFileName() override { return coupling_.SemaphoreFileName(); }
    long GetCouplingWaitInterval() override { return static_cast<long>(coupling_.WaitInterval()); }
    void ReadExternalGrids(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) override {
        coupling_.ReadGrids(y, m, d, h);
    }
    bool HasExternalGWTable() override { return coupling_.HasExternalGWTable(); }
    double GetExternalTimeStep() override { return coupling_.ExternalTimeStep(); }
    void WriteExternalOutput(std::int64_t d, std::int64_t m, std::int64_t y, bool endOfDay, bool endOfMonth,
                             bool endOfYear) override {
        coupling_.Write(d, m, y, endOfDay, endOfMonth, endOfYear, static_cast<int>(zoneRecords_.size()) - 1);
    }
    void AccumulateExternalOutput() override { coupling_.Accumulate(); }
    std::string GetExternalSemaphoreFileName() override { return coupling_.OutgoingSemaphoreFileName(); }
    const char* GetExternalSemaphoreContent() override { return coupling_.OutgoingSemaphoreContent().c_str(); }
    void LinkExternalGrids(OutputCodeEntry* table, int count) override { coupling_.Link(table, count); }

private:
    [[noreturn]] void Refuse(const std::string& what) {
        *log << "FATAL: " << what << " is not available in this build" << "[end-entry]";
        throw ModelError(kUnavailableCode);
    }
    void Compile();
    void OpenCompiled();
    void ReadOutputControl(SubmodelSettings& s);
    void ReadModelTime(SubmodelSettings& s);
    void ReadGridNames();
    void RefuseUnsupportedSections();
    void RegisterDecompositionGrids();
    int RegisterUnitGrid(const std::string& fileName, const std::string& internalName, int first, int last,
                         const char* noRoomText);
    Matrix ReadTextGrid(const std::string& name, bool defineGeometry);
    void Decompose();
    void RankZones();
    int ReadInt(const char* key) {
        int v = 0;
        ReadValue(ControlStream(), "%d", &v, key);
        return v;
    }

    std::string userFile_;
    std::string zoneFile_, elevationFile_;
    Matrix zone_, elevation_;
    double maxElevation_ = 0;
    std::vector<ColumnRange> columns_;
    std::vector<int> zoneIndex_;
    std::vector<zoneFZT> zoneRecords_;
    std::vector<HaloRecord> sendHalo_, recvHalo_;
    std::vector<std::int64_t> cellsPerProcess_;
    int maxZoneCode_ = 0;
    std::vector<int> rowOwner_;  // owner of every row, 1-based
    Matrix regions_, helper_;
    std::deque<Matrix> unitGrids_;
    ExternalCoupling coupling_{*this};
};

void BasicSetup::Compile() {
    const std::string compiled = StrFormat("%s_%d.$$$", userFile_.c_str(), rank);
    FileHandle in = OpenFile(userFile_, "rb");
    if (!in) {
        *log << "FATAL: error opening " << userFile_ << "[end-entry]";
        throw ModelError(28);
    }
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in.get())) > 0;) text.append(buf, n);
    if (text.find("$set") != std::string::npos) Refuse("the control-file symbol \"$set\"");
    FileHandle out = OpenFile(compiled, "wb");
    if (!out || std::fwrite(text.data(), 1, text.size(), out.get()) != text.size()) WriteError(compiled, 18);
    if (std::fclose(out.release()) != 0) WriteError(compiled, 18);
    controlFileName = compiled;
}

void BasicSetup::OpenCompiled() {
    controlFile = OpenFile(controlFileName, "rt");
    if (!controlFile) {
        *log << "FATAL: error opening " << controlFileName << "[end-entry]";
        throw ModelError(28);
    }
}

void BasicSetup::ReadOutputControl(SubmodelSettings& s) {
    SeekSection("[output_interval]", true);
    ReadValue(ControlStream(), "%d", &s.runInterval, "output control");
    int second = 0, third = 0;
    double minutes = 0;
    std::string rest;
    if (std::fscanf(ControlStream(), "%d", &second) == 1) rest = ReadLineRest(ControlStream());
    if (std::fscanf(ControlStream(), "%d", &third) == 1) rest = ReadLineRest(ControlStream());
    if (std::fscanf(ControlStream(), "%lf", &minutes) == 1) rest = ReadLineRest(ControlStream());
    s.warningSwitch = static_cast<unsigned>(second) > 1 ? 1 : second;
    s.thirdSwitch = static_cast<unsigned>(third) > 1 ? 0 : third;
    s.minToIntEnd = minutes < 0 ? 0 : minutes;
    // Key lines up to the first empty line.
    for (;;) {
        std::string line = ReadLineRest(ControlStream());
        const std::size_t start = line.find_first_not_of(" \t");
        if (line.empty() || line.back() != '\n' || start == std::string::npos || line[start] == '\n') break;
        line = line.substr(start);
        auto value = [&](const char* key) -> std::string {
            const std::size_t k = line.find(key);
            const std::size_t eq = k == std::string::npos ? k : line.find('=', k);
            if (eq == std::string::npos) return std::string();
            char token[1201] = {0};
            return std::sscanf(line.c_str() + eq + 1, "%1200s", token) == 1 ? std::string(token) : std::string();
        };
        if (line.find("WriteAsciiGrids") != std::string::npos)
            s.textOutput = value("WriteAsciiGrids") == "1";
        else if (line.find("WriteDoubleGrids") != std::string::npos)
            s.doublePrecision = value("WriteDoubleGrids") == "1";
        else if (line.find("InitialStateDirectory") != std::string::npos)
            s.record.inputPath = value("InitialStateDirectory");
        else if (line.find("DefaultOutputDirectory") != std::string::npos)
            s.record.outputPath = value("DefaultOutputDirectory");
    }

    SeekSection("[output_list]", true);
    const int count = ReadInt("number of subbasins in output list");
    s.outputList.assign(1, std::max(count, 0));
    for (int i = 1; i <= count; ++i) s.outputList.push_back(ReadInt("codes in output-list"));
    for (int i = 2; i <= count; ++i) {
        if (s.outputList[static_cast<std::size_t>(i)] <= s.outputList[static_cast<std::size_t>(i) - 1]) {
            *log << "FATAL: \nError in control file: order of subbasin codes in output_list!\nif output should be "
                    "written for a specified set of subbasins,\n(specified by a statcode of 5 for averaging in time "
                    "or 6 for summing in time)\nthan the codes has to be arranged in ascendend order\n.look in "
                    "[output_list]\n"
                 << "[end-entry]";
            throw ModelError(97);
        }
    }

    SeekSection("[coordinates]", true);
    ReadValue(ControlStream(), "%lf", &s.latitude, "geographic latitude");
    ReadValue(ControlStream(), "%lf", &s.longitude, "geographic longitude");
    ReadValue(ControlStream(), "%lf", &s.meridian, "reference meridian");
    ReadValue(ControlStream(), "%lf", &s.timeShift, "time shift of data time to lokal time");

    SeekSection("[meteo_data_count]", true);
    s.meteoCount = std::max(ReadInt("number of meteorological variables"), 0);
    s.meteoNames.assign(1, std::string());
    SeekSection("[meteo_names]", s.meteoCount > 0);
    for (int i = 1; i <= s.meteoCount; ++i) {
        char name[201] = {0};
        if (std::fscanf(ControlStream(), "%200s", name) != 1) name[0] = 0;
        ReadLineRest(ControlStream());
        s.meteoNames.emplace_back(name);
    }
}

void BasicSetup::ReadModelTime(SubmodelSettings& s) {
    SeekSection("[model_time]", true);
    long v[8] = {0};
    const char* keys[8] = {"starting hour in ", "starting day in ", "starting month in ", "starting year in ",
                           "end hour in ",      "and day in ",      "end month in ",      "end year in "};
    for (int i = 0; i < 8; ++i) ReadValue(ControlStream(), "%ld", &v[i], keys[i]);
    for (int i : {3, 7})
        if (v[i] <= 999) v[i] += 1900;
    for (int i : {2, 6}) v[i] = std::clamp(v[i], 1L, 12L);
    daysPerMonth[1] = (v[7] % 4 == 0 && v[7] % 100 != 0) ? 29 : 28;
    for (int i : {5, 1}) v[i] = std::clamp(v[i], 1L, static_cast<long>(daysPerMonth[static_cast<std::size_t>(v[i + 1] - 1)]));
    s.startHour = v[0];
    s.startDay = v[1];
    s.startMonth = v[2];
    s.startYear = v[3];
    s.endHour = v[4];
    s.endDay = v[5];
    s.endMonth = v[6];
    s.endYear = v[7];
    modelobject::SetEndDate(v[7], v[6], v[5], v[4]);
}

void BasicSetup::ReadGridNames() {
    std::string name;
    SeekSection("[zone_grid]", true);
    ReadValue(ControlStream(), "%s", &zoneFile_, " Name for ");
    SeekSection("[elevation_model]", true);
    ReadValue(ControlStream(), "%s", &elevationFile_, " Name for ");
    SeekSection("[standard_grids]", true);
    if (ReadInt("couner/number of grids ") > 0) Refuse("reading standard grids");
}

void BasicSetup::RefuseUnsupportedSections() {
    if (SeekSection("[variable_grids]", false) && ReadInt("number of variable grids") > 0)
        Refuse("reading variable grids");
}

Matrix BasicSetup::ReadTextGrid(const std::string& fileName, bool defineGeometry) {
    const std::string path =
        (inputPath.empty() || fileName.empty() || fileName[0] == '/' || fileName[0] == '~') ? fileName
                                                                                           : inputPath + fileName;
    FileHandle f = OpenFile(path, "rb");
    if (!f) {
        *log << "FATAL: still error opening " << path << " - no retry." << "[end-entry]";
        throw ModelError(21);
    }
    char magic[5] = {0};
    if (std::fread(magic, 1, 4, f.get()) != 4 || std::strncmp(magic, "ncol", 4) != 0) Refuse("a grid format other than text (" + path + ")");
    std::rewind(f.get());
    double h[6] = {0};
    for (double& v : h) {
        char key[64];
        if (std::fscanf(f.get(), "%63s%lf", key, &v) != 2) {
            *log << "FATAL: error reading ascii grid " << path << " in ASCII-Format in row " << 0 << ", col " << 0
                 << "[end-entry]";
            throw ModelError(22);
        }
    }
    if (defineGeometry) {
        if (!(h[0] >= 1 && h[1] >= 1 && h[0] < 1e8 && h[1] < 1e8)) {
            *log << "FATAL: error reading ascii grid " << path << " in ASCII-Format in row " << 0 << ", col " << 0
                 << "[end-entry]";
            throw ModelError(22);
        }
        ncols = static_cast<std::int32_t>(h[0]);
        nrows = static_cast<std::int32_t>(h[1]);
        xllcorner = h[2];
        yllcorner = h[3];
        cellsize = h[4];
        nodata = h[5];
    } else if (std::floor(h[0]) != ncols || std::floor(h[1]) != nrows || std::floor(h[2]) != std::floor(xllcorner) ||
               std::floor(h[3]) != std::floor(yllcorner) || h[4] != cellsize || h[5] > nodata) {
        *log << "FATAL: " << path << " has not the specified grid measures (in " << moduleName << ")!\n"
             << "[end-entry]";
        throw ModelError(24);
    }
    Matrix m = matrix(1, nrows, 1, ncols, nrows);
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
            if (std::fscanf(f.get(), "%lf", &m[r][c]) != 1) {
                *log << "FATAL: error reading ascii grid " << path << " in ASCII-Format in row " << r << ", col " << c
                     << "[end-entry]";
                throw ModelError(22);
            }
    return m;
}

// Rows in contiguous bands of about equal numbers of basin cells, the first band to process 0.
void BasicSetup::Decompose() {
    columns_.assign(static_cast<std::size_t>(nrows) + 1, ColumnRange{1, 0});
    std::vector<long> cellsInRow(static_cast<std::size_t>(nrows) + 1, 0);
    long total = 0;
    for (int r = 1; r <= nrows; ++r) {
        for (int c = 1; c <= ncols; ++c) {
            if (zone_[r][c] == nodata) continue;
            ColumnRange& cr = columns_[static_cast<std::size_t>(r)];
            if (cellsInRow[static_cast<std::size_t>(r)]++ == 0) cr.first = c;
            cr.last = c;
        }
        total += cellsInRow[static_cast<std::size_t>(r)];
    }
    cellsPerProcess_.assign(static_cast<std::size_t>(size), 0);
    rowOwner_.assign(static_cast<std::size_t>(nrows) + 1, 0);
    long seen = 0;
    int owner = 0;
    firstRow = 1;
    lastRow = 0;
    bool started = rank == 0;
    for (int r = 1; r <= nrows; ++r) {
        // The row goes to the process whose share of the cells it starts in.
        owner = total > 0 ? static_cast<int>(std::min<long>(size - 1, seen * size / total)) : (r - 1) * size / nrows;
        seen += cellsInRow[static_cast<std::size_t>(r)];
        cellsPerProcess_[static_cast<std::size_t>(owner)] += cellsInRow[static_cast<std::size_t>(r)];
        rowOwner_[static_cast<std::size_t>(r)] = owner;
        if (owner == rank) {
            if (!started) firstRow = r;
            started = true;
            lastRow = r;
        }
    }
    if (!started || lastRow < firstRow) {
        firstRow = 1;
        lastRow = 0;
    }
}

// The owner grid and the strip table of the bands: a row's basin columns form one strip of
// the row's owner, so that rows and their cells move between process 0 and the owners.
void BasicSetup::RegisterDecompositionGrids() {
    if (size > 1 && ncols < 4) {
        *log << "FATAL: MPI-Regions: a grid of " << ncols << " columns cannot be divided among " << size
             << " processes (at least 4 columns are needed)" << "[end-entry]";
        throw ModelError(120);
    }
    regions_ = matrix(1, nrows, 1, ncols, nrows);
    helper_ = matrix(1, nrows, 1, ncols, nrows);
    regions_.fill(nodata);
    helper_.fill(0.0);
    for (int r = 1; r <= nrows; ++r) {
        const ColumnRange& cr = columns_[static_cast<std::size_t>(r)];
        if (cr.last < cr.first) continue;
        const int owner = rowOwner_[static_cast<std::size_t>(r)];
        for (int c = cr.first; c <= cr.last; ++c) regions_[r][c] = owner;
        if (rank == 0) {
            helper_[r][0] = cr.first - 1;
            helper_[r][1] = owner;
            helper_[r][2] = cr.last - cr.first + 1;
        } else if (owner == rank) {
            helper_[r][1] = cr.first;
            helper_[r][2] = cr.last - cr.first + 1;
        }
    }
    int index = FirstFreeGridIndex();
    RegisterGrid(index, "MPIRegions", &regions_, nullptr, 0, "MPIRegions", 0, 1, nrows);
    index = FirstFreeGridIndex();
    RegisterGrid(index, "MPIHelper", &helper_, nullptr, 0, "MPIHelper", 0, 1, nrows);
    FindDecompositionGrids();
}

// A unit grid of the spin-up, owned by the set-up.
int BasicSetup::RegisterUnitGrid(const std::string& fileName, const std::string& internalName, int first, int last,
                                 const char* noRoomText) {
    const int index = FirstFreeGridIndex();
    if (index > GridStore::kMaxIndex) {
        *log << noRoomText << GridStore::kMaxIndex + 1 << ")" << "[end-entry]";
        throw ModelError(12);
    }
    unitGrids_.push_back(matrix(first, last, 1, ncols, nrows));
    RegisterGrid(index, fileName, &unitGrids_.back(), nullptr, 0, internalName, 0, first, last);
    return index;
}

void BasicSetup::RankZones() {
    std::map<long, long> counts;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
            const double v = zone_[r][c];
            if (v == nodata) continue;
            const long code = static_cast<long>(std::floor(v + 0.5));
            if (code < 0 || code > 32767) {
                *log << "FATAL: wrong zone index in " << zoneFile_ << "!\n Zones have to range from 0 to " << 32767
                     << "!" << "[end-entry]";
                throw ModelError(3);
            }
            ++counts[code];
        }
    long total = 0;
    for (const auto& [code, n] : counts) total += n;
    if (total == 0) {
        *log << "FATAL: all cells in " << zoneFile_ << " are NODATA!" << "[end-entry]";
        throw ModelError(7);
    }
    maxZoneCode_ = counts.empty() ? 0 : static_cast<int>(counts.rbegin()->first);
    zoneIndex_.assign(static_cast<std::size_t>(maxZoneCode_) + 1, 0);
    zoneRecords_.assign(1, zoneFZT{0, 0, 1.0, static_cast<double>(total) * cellsize * cellsize / 1000000.0, 0});
    for (const auto& [code, n] : counts) {
        zoneIndex_[static_cast<std::size_t>(code)] = static_cast<int>(zoneRecords_.size());
        const double nd = static_cast<double>(n);
        zoneRecords_.push_back(zoneFZT{nd, nd, static_cast<double>(code), nd / static_cast<double>(total), nd});
    }
}

void BasicSetup::Initialise(SubmodelSettings& s, SpinUpState& spinUp) {
    Compile();
    OpenCompiled();
    ReadOutputControl(s);
    inputPath = s.record.inputPath;
    outputPath = s.record.outputPath;
    ReadModelTime(s);
    ReadGridNames();
    RefuseUnsupportedSections();
    controlFile.reset();

    // Every process reads the two grids whole; they are small in the runs this set-up serves.
    zone_ = ReadTextGrid(zoneFile_, true);
    elevation_ = ReadTextGrid(elevationFile_, false);
    (*gridStore)[1].grid = &zone_;
    (*gridStore)[1].fileName = zoneFile_;
    (*gridStore)[1].hasFileName = true;
    (*gridStore)[1].internalName = "[zone_grid]";
    (*gridStore)[1].hasInternalName = true;
    (*gridStore)[2].grid = &elevation_;
    (*gridStore)[2].fileName = elevationFile_;
    (*gridStore)[2].hasFileName = true;
    (*gridStore)[2].internalName = "[elevation_model]";
    (*gridStore)[2].hasInternalName = true;
    for (int i : {1, 2}) {
        (*gridStore)[i].firstRow = 1;
        (*gridStore)[i].lastRow = nrows;
    }
    maxElevation_ = -1e300;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
            if (zone_[r][c] != nodata && elevation_[r][c] != nodata) maxElevation_ = std::max(maxElevation_, elevation_[r][c]);
    Decompose();
    basinColumns = &columns_;
    sendHalo = &sendHalo_;
    recvHalo = &recvHalo_;
    textOutput = s.textOutput;
    doublePrecision = s.doublePrecision;
    RegisterDecompositionGrids();
    RankZones();
    coupling_.ReadSettings(controlFileName);

    s.controlFileName = controlFileName;
    s.standardGridCount = 0;
    s.zoneIndex = &zoneIndex_;
    s.zoneRecords = &zoneRecords_;
    s.zoneCount = static_cast<int>(zoneRecords_.size()) - 1;
    s.maxZoneCode = maxZoneCode_;
    s.ncols = ncols;
    s.nrows = nrows;
    s.firstRow = firstRow;
    s.lastRow = lastRow;
    s.xll = xllcorner;
    s.yll = yllcorner;
    s.cellsize = cellsize;
    s.nodata = nodata;
    s.record.basinColumns = &columns_;
    s.record.sendHalo = &sendHalo_;
    s.record.recvHalo = &recvHalo_;
    s.cellsPerProcess = &cellsPerProcess_;
    static_cast<SpinUpSettings&>(spinUp) = CreateHydrologicResponseUnits(
        *this, controlFileName, &spinUp.responseUnits,
        [this](const std::string& file, const std::string& name, int first, int last, const char* noRoom) {
            return RegisterUnitGrid(file, name, first, last, noRoom);
        });
}

int BasicSetup::ReadSubsteps() {
    FileHandle f = OpenFile(controlFileName, "rt");
    if (!f) {
        *log << "FATAL: Error opening " << controlFileName << "[end-entry]";
        throw ModelError(28);
    }
    controlFile = std::move(f);
    int n = 1;
    if (SeekSection("[soil_surface_groundwater_substeps]", false))
        ReadValue(ControlStream(), "%d", &n, "sub step counter from [soil_surface_groundwater_substeps] not found");
    if (std::fclose(controlFile.release()) != 0) {
        *log << "FATAL: error closing " << controlFileName << "[end-entry]";
        throw ModelError(11);
    }
    return n;
}

}  // namespace

std::unique_ptr<ModelSetup> MakeDefaultSetup(unsigned& error, DiagLog* log, const std::string& controlFile,
                                             OutputCodeEntry*, int, GridStore* store) {
    error = 0;
    return std::make_unique<BasicSetup>(log, controlFile, store);
}
