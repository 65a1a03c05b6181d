// External file coupling: the settings of "[ExternalCoupling]", the incoming grids of each
// coupling period and the outgoing grids and statistics files written at its end.
#include "setup/coupling.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <type_traits>

#include "kernel/gridio.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/nodata.hpp"
#include "kernel/signals.hpp"
#include "setup/setupfiles.hpp"

namespace {

constexpr const char* kErrorHead = "FATAL: -----------------error------------\n";
constexpr const char* kReason =
    "\npossible reason: parameter missing or a linefeed \nbefore the end of the parameter block";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// One value of its own line: the rest of the line is skipped after it. A number that is not
// finite counts as no value.
template <class T>
bool ReadLineValue(std::FILE* f, const char* format, T* value) {
    if (std::fscanf(f, format, value) != 1) return false;
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(*value)) return false;
    }
    ReadLineRest(f);
    return true;
}

}  // namespace

bool ExternalCoupling::Accumulates(const std::string& code) {
    return code == "Sum" || code == "Mean" || IsRunningTotal(code);
}

bool ExternalCoupling::IsRunningTotal(const std::string& code) { return StartsWith(code, "SumTotal"); }

void ExternalCoupling::ReadSettings(const std::string& controlFile) {
    ControlFileScope control(owner_, controlFile, "FATAL: error opening ", 14);
    DiagLog& log = *owner_.log;
    auto fail = [&](const std::string& what, bool withReason = true) {
        log << kErrorHead << what << controlFile << (withReason ? kReason : "") << "[end-entry]";
        throw ModelError(10);
    };
    // Settings of an earlier reading are forgotten.
    mode_ = 0;
    semaphoreFile_.clear();
    waitInterval_ = 100;
    periodLetter_ = 'I';
    externalTimeStep_ = 0;
    incoming_.clear();
    outgoing_.clear();
    statistics_.clear();
    outgoingSemaphore_.clear();
    outgoingContent_.clear();
    stepCount_ = 0;
    if (!owner_.SeekSection("[ExternalCoupling]", false)) return;
    std::FILE* f = control.stream();
    if (!ReadLineValue(f, "%d", &mode_)) {
        log << kErrorHead << "error reading coupling mode for " << controlFile
            << "\npossible reason: parameter missing or a linefeed \nbefore the end of the parameter block\n"
            << "[end-entry]";
        throw ModelError(10);
    }
    if (mode_ == 0) return;
    if (owner_.size > 1) {
        log << kErrorHead
            << "external coupling does not work when running in MPI mode with more than 1 instance (i.e. you should "
               "use the non-MPI-version)"
            << "[end-entry]";
        throw ModelError(1009);
    }
    if (ReadControlWord(f, &semaphoreFile_) != 1) fail("error reading name of the external groundwater table grid for ");
    ReadLineRest(f);
    long wait = 0;
    if (!ReadLineValue(f, "%ld", &wait))
        fail("error reading of wait interval for scanning for external gw table grid ");
    waitInterval_ = wait;
    int letter = std::fgetc(f);
    while (letter == ' ' || letter == '\t') letter = std::fgetc(f);
    if (letter == EOF || std::string("IHDMY").find(static_cast<char>(letter)) == std::string::npos)
        fail("error reading Coupling Mode (I, H, D, M or Y) for external gw table grid ");
    periodLetter_ = static_cast<char>(letter);
    ReadLineRest(f);
    if (!ReadLineValue(f, "%d", &externalTimeStep_))
        fail("error reading time step of the external model (should be given in minutes after coupling mode) ");
    ReadGridLists(f, controlFile);
    if (ReadControlWord(f, &outgoingSemaphore_) != 1)
        fail("error reading semaphore file name for file to be written by talvo ");
    ReadLineRest(f);
    if (ReadControlWord(f, &outgoingContent_) != 1)
        fail("error reading semaphore Content for file to be written by talvo ");
    ReadLineRest(f);
}

void ExternalCoupling::ReadGridLists(std::FILE* f, const std::string& controlFile) {
    DiagLog& log = *owner_.log;
    auto fail = [&](const char* what) {
        log << kErrorHead << what << controlFile << kReason << "[end-entry]";
        throw ModelError(10);
    };
    auto word = [&](std::string* w, std::size_t max = modelobject::kLineLength) { return ReadControlWord(f, w, max) == 1; };

    int count = 0;
    if (!ReadLineValue(f, "%d", &count)) fail("error reading number of external grids to read in ");
    incoming_.clear();
    for (int i = 0; i < count; ++i) {
        IncomingGrid g;
        if (!word(&g.fileName) || !word(&g.internalName) || std::fscanf(f, "%d%d", &g.fillCode, &g.renameCode) != 2)
            fail("error reading external (read) grid name/entity/fill code/rename code ");
        incoming_.push_back(std::move(g));
    }
    if (count > 0) ReadLineRest(f);

    if (!ReadLineValue(f, "%d", &count)) fail("error reading number of external grids to write in ");
    outgoing_.clear();
    for (int i = 0; i < count; ++i) {
        OutgoingGrid g;
        if (!word(&g.fileName) || !word(&g.internalName) || !word(&g.writeCode, kWriteCodeLength))
            fail("error reading external (write) grid name/entity/Writecode");
        if (Accumulates(g.writeCode)) {
            g.accumulation = owner_.matrix(1, owner_.nrows, 1, owner_.ncols, owner_.nrows);
            g.accumulation.fill(0.0);
        }
        outgoing_.push_back(std::move(g));
    }
    if (count > 0) ReadLineRest(f);

    if (!ReadLineValue(f, "%d", &count)) fail("error reading number of external Stats to write in ");
    statistics_.clear();
    for (int i = 0; i < count; ++i) {
        OutgoingStatistic s;
        if (!word(&s.fileName) || !word(&s.entityName) || !word(&s.writeCode, kWriteCodeLength))
            fail("error reading external (write) Statfile name/entity/writecode");
        statistics_.push_back(std::move(s));
    }
    if (count > 0) ReadLineRest(f);
}

void ExternalCoupling::Link(const OutputCodeEntry* table, int entries) {
    DiagLog& log = *owner_.log;
    auto grid = [&](const std::string& name) -> Matrix* {
        const int index = owner_.FindGrid(name, true);
        return index > 0 ? (*owner_.gridStore)[index].grid : nullptr;
    };
    for (IncomingGrid& g : incoming_) {
        g.grid = grid(g.internalName);
        if (g.grid != nullptr) continue;
        log << kErrorHead << "error looking for internal grid to read from " << g.fileName << ", with internal name \""
            << g.internalName << "\"\npossible reason: internal name of the grid is wrong (case sensitive!)"
            << "[end-entry]";
        throw ModelError(1003);
    }
    for (OutgoingGrid& g : outgoing_) {
        g.grid = grid(g.internalName);
        if (g.grid != nullptr) continue;
        log << kErrorHead << "error looking for internal grid to write to " << g.fileName << " with internal name \""
            << g.internalName << "\"\npossible reason: internal name of the grid is wrong (case sensitive!)"
            << "[end-entry]";
        throw ModelError(1004);
    }
    table_ = table;
    tableEntries_ = entries;
    for (OutgoingStatistic& s : statistics_) {
        s.tableIndex = -1;
        for (int i = 0; table != nullptr && i < entries && s.tableIndex < 0; ++i) {
            const OutputCodeEntry& e = table[i];
            if (e.isFree() || e.title == nullptr) continue;
            std::string title = *e.title;
            std::replace(title.begin(), title.end(), ' ', '_');
            if (title.find(s.entityName) != std::string::npos) s.tableIndex = i;
        }
        if (s.tableIndex < 0) {
            log << kErrorHead << "error looking for zonal statistic with internal name \"" << s.entityName
                << "\"\npossible reason: name of the statistic entity is wrong (case sensitive!)" << "[end-entry]";
            throw ModelError(1005);
        }
        s.sums.assign(static_cast<std::size_t>(std::max<std::int64_t>(table[s.tableIndex].valueCount, 1)), 0.0);
    }
}

bool ExternalCoupling::HasExternalGWTable() const {
    return std::any_of(incoming_.begin(), incoming_.end(),
                       [](const IncomingGrid& g) { return g.internalName == "GWTableExtern"; });
}

void ExternalCoupling::ReadGrids(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour) {
    namespace fs = std::filesystem;
    DiagLog& log = *owner_.log;
    for (IncomingGrid& g : incoming_) {
        const std::string path = modelobject::ExpandPath(owner_.inputPath, g.fileName);
        try {
            owner_.ReadGrid(g.fileName, g.grid, g.fillCode, false);
        } catch (const ModelError&) {
            log << "FATAL: error reading external grid " << path << "[end-entry]";
            throw ModelError(1001);
        }
        ResetCtrlCHandler();
        if (g.renameCode == 1) {
            std::string target = StrFormat("%s_%.4ld_%.2ld_%.2ld_%.2ld_%ld", path.c_str(), static_cast<long>(year),
                                           static_cast<long>(month), static_cast<long>(day), static_cast<long>(hour),
                                           static_cast<long>(std::clock()));
            // An earlier file of the same clock reading is never replaced.
            std::error_code ec;
            for (int n = 1; fs::exists(target, ec); ++n) target = StrFormat("%s_%d", target.c_str(), n);
            if (std::rename(path.c_str(), target.c_str()) != 0) {
                log << "FATAL: error renaming external grid " << path << " nach " << target << "[end-entry]";
                throw ModelError(1002);
            }
        } else if (g.renameCode == 0 && std::remove(path.c_str()) != 0) {
            log << "FATAL: error deleting external grid " << path << "[end-entry]";
            throw ModelError(1002);
        }
    }
    if (std::remove(semaphoreFile_.c_str()) != 0) {
        log << "FATAL: error deleting semaphore file " << semaphoreFile_ << "[end-entry]";
        throw ModelError(1001);
    }
}

const Matrix* ExternalCoupling::ZoneGrid() const {
    return owner_.gridStore != nullptr ? (*owner_.gridStore)[1].grid : nullptr;
}

// Cells outside the zone grid become nodata, the others add the grid's value of the step.
void ExternalCoupling::AddStep(OutgoingGrid& g) {
    const Matrix* zone = ZoneGrid();
    const Matrix& grid = *g.grid;
    Matrix& acc = g.accumulation;
    const int nrows = owner_.nrows, ncols = std::min({owner_.ncols, acc.ncols(), grid.ncols()});
    const double nodata = owner_.nodata;
    const std::size_t stride = static_cast<std::size_t>(owner_.ncols) + 1;
    if (g.missingSteps.empty()) g.missingSteps.assign((static_cast<std::size_t>(nrows) + 1) * stride, 0.0);
    double* gaps = g.missingSteps.data();
#pragma omp parallel for schedule(runtime)
    for (int r = 1; r <= nrows; ++r) {
        if (!acc.holds(r)) continue;
        double* a = acc[r];
        const double* z = zone != nullptr && zone->holds(r) ? (*zone)[r] : nullptr;
        const double* v = grid.holds(r) ? grid[r] : nullptr;
        double* missing = gaps + static_cast<std::size_t>(r) * stride;
        for (int c = 1; c <= ncols; ++c) {
            if (z == nullptr || z[c] == nodata || v == nullptr)
                a[c] = nodata;
            else if (NoData(v[c], nodata))
                missing[c] += 1;  // a step without data (no valid station value) adds nothing
            else
                a[c] += v[c];
        }
    }
}

void ExternalCoupling::RestartAccumulation(OutgoingGrid& g) {
    const Matrix* zone = ZoneGrid();
    Matrix& acc = g.accumulation;
    const double nodata = owner_.nodata;
    for (int r = 1; r <= owner_.nrows; ++r) {
        if (!acc.holds(r)) continue;
        const double* z = zone != nullptr && zone->holds(r) ? (*zone)[r] : nullptr;
        for (int c = 1; c <= std::min(owner_.ncols, acc.ncols()); ++c)
            acc[r][c] = z != nullptr && z[c] != nodata ? 0.0 : nodata;
    }
    std::fill(g.missingSteps.begin(), g.missingSteps.end(), 0.0);
}

void ExternalCoupling::Accumulate() {
    // A running-total grid takes only the last step of each period (added when it is
    // written); sums and means of a period take every step.
    for (OutgoingGrid& g : outgoing_)
        if (g.writeCode == "Sum" || g.writeCode == "Mean") AddStep(g);
    for (OutgoingStatistic& s : statistics_) {
        if (!Accumulates(s.writeCode) || table_ == nullptr || s.tableIndex < 0) continue;
        const OutputCodeEntry& e = table_[s.tableIndex];
        const std::int64_t n = std::min<std::int64_t>(e.valueCount, static_cast<std::int64_t>(s.sums.size()));
        for (std::int64_t i = 1; i < n && e.lastValues != nullptr; ++i)
            s.sums[static_cast<std::size_t>(i)] += e.lastValues[i];
    }
    ++stepCount_;
}

void ExternalCoupling::Write(std::int64_t day, std::int64_t month, std::int64_t year, bool endOfDay, bool endOfMonth,
                             bool endOfYear, int zoneCount) {
    ++stepCount_;
    for (OutgoingGrid& g : outgoing_) WriteOutgoingGrid(g, day, month, year, endOfDay, endOfMonth, endOfYear);
    for (OutgoingStatistic& s : statistics_) WriteStatistic(s, zoneCount);
    stepCount_ = 0;
}

void ExternalCoupling::WriteOutgoingGrid(OutgoingGrid& g, std::int64_t day, std::int64_t month, std::int64_t year,
                                         bool endOfDay, bool endOfMonth, bool endOfYear) {
    const bool text = owner_.textOutput, doubles = owner_.doublePrecision;
    const std::string& code = g.writeCode;
    if (!Accumulates(code)) {
        owner_.WriteGrid(g.fileName, *g.grid, text, doubles);
        return;
    }
    AddStep(g);
    if (code == "Mean") {
        // The mean over the cell's steps with data; a cell without any has none.
        const double steps = static_cast<double>(stepCount_);
        const std::size_t stride = static_cast<std::size_t>(owner_.ncols) + 1;
        for (int r = 1; r <= owner_.nrows; ++r) {
            if (!g.accumulation.holds(r)) continue;
            for (int c = 1; c <= std::min(owner_.ncols, g.accumulation.ncols()); ++c) {
                double& a = g.accumulation[r][c];
                if (a == owner_.nodata) continue;
                const std::size_t cell = static_cast<std::size_t>(r) * stride + static_cast<std::size_t>(c);
                const double withData = steps - g.missingSteps[cell];
                a = withData > 0 ? a / withData : owner_.nodata;
            }
        }
    }
    owner_.WriteGrid(g.fileName, g.accumulation, text, doubles);
    if (!IsRunningTotal(code)) {
        RestartAccumulation(g);
        return;
    }
    // Dated copies of a running total at the end of a day, month or year.
    const std::size_t slash = g.fileName.find_last_of("/\\");
    const std::string dir = slash == std::string::npos ? std::string() : g.fileName.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? g.fileName : g.fileName.substr(slash + 1);
    const int y = static_cast<int>(year), m = static_cast<int>(month), d = static_cast<int>(day);
    if (endOfDay && StartsWith(code, "SumTotal_D"))
        owner_.WriteGrid(StrFormat("%sSumTotal_EndOf_Day_%.04d_%.02d_%.02d_%s", dir.c_str(), y, m, d, name.c_str()),
                         g.accumulation, text, doubles);
    if (endOfMonth && (StartsWith(code, "SumTotal_M") || StartsWith(code, "SumTotal_DM")))
        owner_.WriteGrid(StrFormat("%sSumTotal_EndOf_Month_%.04d_%.02d_%s", dir.c_str(), y, m, name.c_str()),
                         g.accumulation, text, doubles);
    if (endOfYear && (code == "SumTotal_Y" || code == "SumTotal_MY" || code == "SumTotal_DMY"))
        owner_.WriteGrid(StrFormat("%sSumTotal_EndOf_Year_%.04d_%s", dir.c_str(), y, name.c_str()), g.accumulation,
                         text, doubles);
}

// The statistics file is created anew: a header line with the title and the zone count, then
// one line per value with its zone code. Every step of the writing is checked.
void ExternalCoupling::WriteStatistic(OutgoingStatistic& s, int zoneCount) {
    if (table_ == nullptr || s.tableIndex < 0) return;
    const OutputCodeEntry& e = table_[s.tableIndex];
    DiagLog& log = *owner_.log;
    if (e.isFree() || e.title == nullptr) {
        log << "FATAL: the zonal statistic " << s.entityName << " of the external coupling is no longer available"
            << "[end-entry]";
        throw ModelError(1005);
    }
    const std::string path = modelobject::ExpandPath(owner_.outputPath, s.fileName);
    gridio::SignalScope signals(ResetCtrlCHandler);
    FileHandle f = OpenFile(path, "w");
    if (!f) {
        log << "FATAL: error creating " << path << " for the external coupling" << "[end-entry]";
        throw ModelError(26);
    }
    const std::string& title = *e.title;
    std::string text = title.size() > kTitleLength
                           ? StrFormat("%s...; %d Gebiete\n", title.substr(0, kTitleLength).c_str(), zoneCount)
                           : StrFormat("%s; %d zones\n", title.c_str(), zoneCount);
    const std::int64_t n = std::min<std::int64_t>(e.valueCount, static_cast<std::int64_t>(s.sums.size()));
    for (std::int64_t i = 1; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const double current = e.lastValues[i];
        double value = current;
        if (s.writeCode == "Sum") {
            value = s.sums[k] + current;
            s.sums[k] = 0;
        } else if (IsRunningTotal(s.writeCode)) {
            s.sums[k] += current;
            value = s.sums[k];
        } else if (s.writeCode == "Mean") {
            value = (s.sums[k] + current) / static_cast<double>(stepCount_);
            s.sums[k] = 0;
        }
        const long long code = e.codes != nullptr ? static_cast<long long>(e.codes[i]) : 0;
        text += StrFormat("%lld\t%f\n", code, value);
    }
    if (std::fwrite(text.data(), 1, text.size(), f.get()) != text.size() || std::fflush(f.get()) != 0)
        owner_.WriteError(path, 18);
    if (std::fclose(f.release()) != 0) {
        FailOnFile(log, "error closing " + path, 27);
    }
}
