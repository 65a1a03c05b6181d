// Special output files: the header lines, the row buffer filled at every step and the
// writing of the buffered rows by process 0 after a maximum reduction over the processes.
#include <mpi.h>

#include <algorithm>
#include <cerrno>

#include "submodel/teilmod_pointoutput.hpp"
#include "kernel/gridio.hpp"
#include "kernel/signals.hpp"

using namespace special_output_keys;

namespace {

constexpr double kMissing = -9999.0;

int ProcessCount() {
    int initialised = 0, size = 1;
    MPI_Initialized(&initialised);
    if (initialised) MPI_Comm_size(MPI_COMM_WORLD, &size);
    return size;
}

// Process 0's result of a step that only it performs, known to every process afterwards.
int ShareFromRoot(int code) {
    if (ProcessCount() > 1) MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
    return code;
}

}  // namespace

SpecialOutputFile::SpecialOutputFile(DiagLog* log_, const std::string& block, teilmodellklasse& owner_,
                                     unsigned numSubSteps_)
    : log(log_), owner(owner_), numSubSteps(numSubSteps_) {
    header = ReadStringValue(block, "header");
    filename = modelobject::ExpandPath(owner.outputPath, ReadStringValue(block, "filename"));
    // The first entity's text begins at the block's own "{".
    std::size_t pos = 0;
    while (block.find("entity", pos) != std::string::npos) {
        const std::string text = ExtractEntityBlock(block, &pos);
        if (text.empty()) break;
        entities.push_back(std::make_unique<SpecialOutputEntity>(log, text, owner, numSubSteps));
    }
    for (const auto& e : entities) columns += e->Points();
    capacity = std::max<std::int64_t>(1, kBufferBytes / ((static_cast<std::int64_t>(columns) + 1) * 8 + 32));
    dates.resize(static_cast<std::size_t>(capacity));
    values.assign(static_cast<std::size_t>(capacity) * (static_cast<std::size_t>(columns) + 1), kMissing);
    WriteHeader();
}

SpecialOutputFile::~SpecialOutputFile() {
    if (rowsInUse == 0) return;
    // Rows still buffered here are left over from a run that did not end normally. With one
    // process they are written (unless the file of the run before still stands); with several
    // the collective write is not safe any more.
    if (ProcessCount() == 1) {
        if (!table.TakesHeldRows()) return;
        try {
            Flush();
        } catch (...) {
        }
    } else if (log != nullptr) {
        *log << "WARNING: " << static_cast<long>(rowsInUse) << " rows of special output for " << filename
             << " were not written" << "[end-entry]";
    }
}

void SpecialOutputFile::WriteHeader() {
    int error = 0;
    int reason = 0;
    if (owner.rank == 0) {
        std::string text = "YY\tMM\tDD\tHH";
        for (const auto& e : entities)
            for (int i = 0; i < e->Points(); ++i) {
                const auto k = static_cast<std::size_t>(i);
                text += StrFormat("\t%s/%d/%d", e->Symbol.c_str(), e->columns[k], e->rows[k]);
                if (e->HasLevels()) text += StrFormat("/%d", e->levels[k]);
            }
        text += StrFormat("\n%s\nYY\tMM\tDD\tHH", header.c_str());
        for (const auto& e : entities)
            for (int i = 0; i < e->Points(); ++i) {
                const auto k = static_cast<std::size_t>(i);
                text += StrFormat("\t%s/%lg/%lg", e->Symbol.c_str(), e->x[k], e->y[k]);
                if (e->HasLevels()) text += StrFormat("/%d", e->levels[k]);
            }
        text += "\n";
        table.SetName(filename);
        std::FILE* f = table.Open(false);
        if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() || !table.Close()) {
            reason = errno;
            table.Close();
            error = 1007;
        }
    }
    if (ShareFromRoot(error) != 0) {
        *log << "FATAL: error opening file for special output of file\n"
             << filename << "\n-> check file name, disk space or user rights" << "[end-entry]";
        LogSystemReason(*log, reason);
        throw ModelError(1007);
    }
}

void SpecialOutputFile::FinishTable() {
    int error = 0;
    int reason = 0;
    if (owner.rank == 0 && !table.Finish()) {
        reason = errno;
        error = 18;
    }
    if (ShareFromRoot(error) != 0) {
        *log << "FATAL: write error " << filename << " ! (" << 18 << ")" << "[end-entry]";
        LogSystemReason(*log, reason);
        throw ModelError(18);
    }
}

void SpecialOutputFile::Step(std::int64_t hour_, std::int64_t day_, std::int64_t month_, std::int64_t year_,
                             int subStep, int k) {
    if (newRow) {
        if (rowsInUse >= capacity) Flush();
        dates[static_cast<std::size_t>(rowsInUse)] = RowDate{year_, month_, day_, hour_};
        std::fill(Row(rowsInUse), Row(rowsInUse) + columns + 1, kMissing);
        ++rowsInUse;
        newRow = false;
    }
    double* row = Row(rowsInUse - 1);
    int column = 1;
    for (const auto& e : entities) {
        for (int i = 0; i < e->Points(); ++i, ++column) {
            // Values that are no fluxes are sampled at the end of the step only.
            if (subStep != 0 && !e->flux) continue;
            double v = 0;
            if (!e->Value(i, owner, &v)) {
                row[column] = kMissing;
            } else if (!e->flux) {
                row[column] = v;
            } else if (subStep != 0) {
                row[column] = k <= 1 ? v : row[column] + v;
            }
        }
    }
    if (subStep == 0) {
        if (rowsInUse >= capacity) Flush();
        newRow = true;
    }
}

void SpecialOutputFile::Flush() {
    gridio::SignalScope signals(ResetCtrlCHandler);
    const bool root = owner.rank == 0;
    std::FILE* f = nullptr;
    int error = 0;
    int reason = 0;
    if (root) {
        *log << "write " << filename << "[end-entry]";
        f = table.Open(true);
        if (f == nullptr) {
            reason = errno;
            error = 65;
        }
    }
    if (ShareFromRoot(error) != 0) {
        *log << "FATAL: \nerror opening file " << filename << "[end-entry]";
        LogSystemReason(*log, reason);
        rowsInUse = 0;
        throw ModelError(65);
    }
    const std::size_t count = static_cast<std::size_t>(rowsInUse) * (static_cast<std::size_t>(columns) + 1);
    std::vector<double> reduced;
    const double* result = values.data();
    if (ProcessCount() > 1) {
        reduced.assign(root ? count : 0, kMissing);
        MPI_Reduce(values.data(), root ? reduced.data() : nullptr, static_cast<int>(count), MPI_DOUBLE, MPI_MAX, 0,
                   MPI_COMM_WORLD);
        result = reduced.data();
    }
    if (root) {
        std::string text;
        for (std::int64_t r = 0; r < rowsInUse; ++r) {
            const RowDate& d = dates[static_cast<std::size_t>(r)];
            text += StrFormat("%ld\t%ld\t%ld\t%ld", static_cast<long>(d.year), static_cast<long>(d.month),
                              static_cast<long>(d.day), static_cast<long>(d.hour));
            const double* row = result + r * (columns + 1);
            for (int c = 1; c <= columns; ++c) text += StrFormat("\t%g", row[c]);
            text += "\n";
        }
        // The rows put the file in place; a failed write leaves the file as it was.
        if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || !table.Close()) {
            reason = errno;
            table.Close();
            error = 18;
        }
    }
    const std::int64_t rows = rowsInUse;
    rowsInUse = 0;
    if (ShareFromRoot(error) != 0) {
        *log << "FATAL: write error " << filename << " ! (" << 18 << ")" << "[end-entry]";
        LogSystemReason(*log, reason);
        throw ModelError(18);
    }
    if (root)
        *log << "(" << static_cast<long>((static_cast<std::int64_t>(columns) * 8 + 32) * rows) << " of "
             << kBufferBytes << " buffer-bytes)" << "[end-entry]";
}
