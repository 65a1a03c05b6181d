// Reading and writing of stack files (several levels per cell): text, or binary doubles or
// floats with the 12-value header of binary grids, the values of a cell one after another.
#include <sys/stat.h>

#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
#include <vector>

#include "kernel/gridio.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/mpirows.hpp"

namespace {

using gridio::Format;

const char* KindName(Format f) {
    switch (f) {
        case Format::Text: return "ascii";
        case Format::Float: return "float";
        default: return "double";
    }
}

class StackReader {
public:
    StackReader(modelobject& o, const std::string& fileName, Stack* target, bool keepWhole)
        : o_(o), fileName_(fileName), target_(target), keepWhole_(keepWhole) {}

    int Run() {
        collective_ = o_.size > 1;
        reader_ = o_.rank == 0;
        name_ = modelobject::ExpandPath(o_.inputPath, fileName_);
        int error = 0;
        if (target_ == nullptr) {
            *o_.log << "FATAL: error reading stack " << name_ << " (no stack given to read into)" << "[end-entry]";
            error = 22;
        }
        if (error == 0 && reader_) error = gridio::Attempt([&] { OpenAndReadHeader(); });
        gridio::ThrowAgreed(error, collective_);
        if (collective_) ShareHeader();
        if (gridio::CheckMeasures(o_, name_, &header_, reader_) != 0) throw ModelError(24);
        CheckLevels();
        PlanRows();
        error = reader_ ? CheckFileLength() : 0;
        if (error == 0) error = gridio::Attempt([&] { work_ = o_.matrix3d(workFrom_, workTo_, 1, o_.ncols, levels_, o_.nrows); });
        if (collective_ && !readAll_) {
            error = ReadOwnRowsMpi(error);
        } else if (reader_ && error == 0) {
            error = gridio::Attempt([&] {
                if (format_ == Format::Text)
                    ReadText();
                else
                    ReadBinaryRows();
                CloseFile();
            });
        }
        gridio::ThrowAgreed(error, collective_);
        Distribute();
        *target_ = std::move(work_);
        std::copy(header_.begin(), header_.end(), o_.header.begin());
        return levels_;
    }

private:
    void OpenAndReadHeader() {
        if (name_.size() > gridio::kMaxFileName) {
            *o_.log << "FATAL: error opening " << name_ << " (file name longer than 1200 characters)"
                    << "[end-entry]";
            throw ModelError(21);
        }
        file_ = OpenFile(name_, "rb");
        if (!file_) {
            FailOnFile(*o_.log, "error opening " + name_, 21);
        }
        format_ = gridio::DetectFormat(file_.get(), "stack", &header_);
        if (format_ == Format::Text) {
            scanner_.emplace(file_.get());
            std::string keyword;
            for (double& v : header_) {
                if (!scanner_->Token(&keyword) || !scanner_->Number(&v)) {
                    *o_.log << "FATAL: error reading header of ascii stack " << name_ << "[end-entry]";
                    throw ModelError(22);
                }
            }
        } else if (format_ != Format::Double && format_ != Format::Float) {
            *o_.log << "FATAL: could not recognise file format (ascii, double or double) for stack " << name_
                    << "[end-entry]";
            throw ModelError(22);
        }
        levelValue_ = std::floor(header_[11]);
    }

    void ShareHeader() {
        gridio::BroadcastText(&name_);
        double shared[8];
        shared[0] = static_cast<double>(format_);
        std::copy(header_.begin(), header_.begin() + 6, shared + 1);
        shared[7] = levelValue_;
        MPI_Bcast(shared, 8, MPI_DOUBLE, 0, MPI_COMM_WORLD);
        format_ = static_cast<Format>(static_cast<int>(shared[0]));
        levelValue_ = shared[7];
        if (!reader_) {
            header_.fill(0);
            std::copy(shared + 1, shared + 7, header_.begin());
            header_[11] = levelValue_;
        }
        MPI_Barrier(MPI_COMM_WORLD);
    }

    // One row of a stack must fit one message and one allocation.
    void CheckLevels() {
        const double perRow = (levelValue_ + 1) * static_cast<double>(o_.ncols);
        if (levelValue_ >= 0 && perRow <= INT_MAX) {
            levels_ = static_cast<int>(levelValue_);
            return;
        }
        if (reader_)
            *o_.log << "FATAL: error reading " << KindName(format_) << " stack " << name_
                    << ": invalid number of levels " << header_[11] << "[end-entry]";
        throw ModelError(22);
    }

    void PlanRows() {
        ownFrom_ = std::max(1, o_.firstRow);
        ownTo_ = std::min(o_.nrows, o_.lastRow);
        readAll_ = format_ == Format::Text || keepWhole_;
        workFrom_ = readAll_ && reader_ ? 1 : ownFrom_;
        workTo_ = readAll_ && reader_ ? o_.nrows : ownTo_;
    }

    // A file too short for its header's cells is refused before the stack is allocated.
    int CheckFileLength() {
        struct stat st {};
        if (!file_ || fstat(fileno(file_.get()), &st) != 0) return 0;
        const double values = static_cast<double>(o_.nrows) * o_.ncols * (levels_ + 1.0);
        const double size = static_cast<double>(st.st_size);
        if (format_ == Format::Text) {
            if (values <= size) return 0;
            // Each value takes at least one character and a separator, so the file runs out (or
            // holds a word) before the last value: that value is the one named, as by the read.
            ReadTextValues(false);
            return 22;
        }
        const double vs = gridio::ValueSize(format_);
        const double present = std::floor(size / vs) - gridio::kHeaderValues;
        if (present >= values) return 0;
        const long long cell = static_cast<long long>(present) / (levels_ + 1);
        ReadError(static_cast<int>(cell / o_.ncols) + 1, static_cast<int>(cell % o_.ncols) + 1);
        return 22;
    }

    void ReadError(int r, int c) {
        *o_.log << "FATAL: error reading " << KindName(format_) << " stack " << name_ << "at row " << r << ", column "
                << c << "[end-entry]";
    }

    void ReadText() {
        if (!ReadTextValues(true)) throw ModelError(22);
    }

    // The text values in file order, into the stack when store is set (else only read); false
    // after the first value that cannot be read or is not finite, which is logged.
    bool ReadTextValues(bool store) {
        const int per = levels_ + 1;
        double scratch = 0;
        for (int r = 1; r <= o_.nrows; ++r) {
            for (int c = 1; c <= o_.ncols; ++c) {
                for (int l = 0; l < per; ++l) {
                    double& v = store ? work_[r][c][l] : scratch;
                    if (scanner_->Number(&v)) {
                        if (!FiniteValue(v, r, c, l)) return false;
                        continue;
                    }
                    *o_.log << "FATAL: error reading ascii stack " << name_ << "at row " << r << ", column " << c
                            << ", level " << l << "[end-entry]";
                    return false;
                }
            }
        }
        return true;
    }

    long long RowOffset(int r) const {
        return (gridio::kHeaderValues + static_cast<long long>(r - 1) * o_.ncols * (levels_ + 1)) *
               gridio::ValueSize(format_);
    }
    std::size_t RowValues() const { return static_cast<std::size_t>(o_.ncols) * static_cast<std::size_t>(levels_ + 1); }

    // Converts what was read of row r (got values) into the stack; false on a short read.
    bool Store(int r, std::size_t got) {
        if (format_ == Format::Float) std::copy(floats_.begin(), floats_.begin() + static_cast<long>(got), work_[r][1]);
        if (got != RowValues()) {
            ReadError(r, static_cast<int>(got / static_cast<std::size_t>(levels_ + 1)) + 1);
            return false;
        }
        const double* values = work_[r][1];
        const int per = levels_ + 1;
        for (std::size_t i = 0; i < got; ++i) {
            const int cell = static_cast<int>(i / static_cast<std::size_t>(per));
            if (!FiniteValue(values[i], r, cell + 1, static_cast<int>(i) - cell * per)) return false;
        }
        return true;
    }

    // NaN or an infinite value would spread into every grid derived from the stack.
    bool FiniteValue(double v, int r, int c, int level) const {
        if (std::isfinite(v)) return true;
        *o_.log << "FATAL: error reading " << KindName(format_) << " stack " << name_ << ": value " << v << " at row "
                << r << ", column " << c << ", level " << level << " is not a finite number" << "[end-entry]";
        return false;
    }
    void* RowBuffer(int r) {
        if (format_ != Format::Float) return work_[r][1];
        floats_.resize(RowValues());
        return floats_.data();
    }

    void ReadBinaryRows() {
        const std::size_t vs = static_cast<std::size_t>(gridio::ValueSize(format_));
        for (int r = workFrom_; r <= workTo_; ++r) {
            std::size_t got = 0;
            if (fseeko(file_.get(), RowOffset(r), SEEK_SET) == 0) got = std::fread(RowBuffer(r), vs, RowValues(), file_.get());
            if (!Store(r, got)) throw ModelError(22);
        }
    }

    int ReadOwnRowsMpi(int error) {
        if (reader_ && error == 0) error = gridio::Attempt([&] { CloseFile(); });
        gridio::MpiFile f;
        if (const int opened = f.Open(name_, MPI_MODE_RDONLY); opened != MPI_SUCCESS && error == 0) {
            *o_.log << "FATAL: error opening " << name_ << "[end-entry]";
            LogMpiFileReason(*o_.log, opened);
            error = 22;
        }
        const MPI_Datatype type = format_ == Format::Float ? MPI_FLOAT : MPI_DOUBLE;
        for (int r = workFrom_; r <= workTo_ && error == 0; ++r) {
            MPI_Status status;
            int got = 0;
            if (MPI_File_read_at(f.get(), RowOffset(r), RowBuffer(r), static_cast<int>(RowValues()), type, &status) ==
                MPI_SUCCESS)
                MPI_Get_count(&status, type, &got);
            if (!Store(r, static_cast<std::size_t>(std::max(got, 0)))) error = 22;
        }
        if (const int closed = f.Close(); closed != MPI_SUCCESS && error == 0) {
            *o_.log << "FATAL: error closing grid " << name_ << "[end-entry]";
            LogMpiFileReason(*o_.log, closed);
            error = 23;
        }
        return error;
    }

    void CloseFile() {
        if (!file_) return;
        if (std::fclose(file_.release()) != 0) {
            FailOnFile(*o_.log, "error closing stack " + name_, 23);
        }
    }

    // Only a stack that process 0 read whole is scattered; the other processes then clear the
    // cells of their rows that they do not own, and process 0 keeps its own rows.
    void Distribute() {
        const bool distributed = mpirows::Distributed(o_);
        if (distributed && readAll_)
            mpirows::TransferStack(o_, work_, levels_, mpirows::Direction::Scatter, name_, false);
        if (distributed && o_.rank != 0) {
            const Matrix& regions = *o_.mpiRegions;
            for (int r = workFrom_; r <= workTo_; ++r) {
                if (!regions.holds(r)) continue;
                for (int c = 1; c <= o_.ncols; ++c)
                    if (regions[r][c] != o_.rank) std::fill(work_[r][c], work_[r][c] + levels_ + 1, o_.nodata);
            }
        }
        if (reader_ && readAll_ && !keepWhole_ && (workFrom_ != ownFrom_ || workTo_ != ownTo_)) {
            Stack own = o_.matrix3d(ownFrom_, ownTo_, 1, o_.ncols, levels_, o_.nrows);
            const std::size_t n = RowValues() + static_cast<std::size_t>(levels_ + 1);
            for (int r = ownFrom_; r <= ownTo_; ++r) std::copy(work_.rowBlock(r), work_.rowBlock(r) + n, own.rowBlock(r));
            work_ = std::move(own);
        }
    }

    modelobject& o_;
    std::string fileName_;
    Stack* target_;
    bool keepWhole_;
    bool collective_ = false, reader_ = false, readAll_ = false;
    std::string name_;
    FileHandle file_;
    Format format_ = Format::Unknown;
    std::array<double, gridio::kHeaderValues> header_{};
    std::optional<gridio::TextScanner> scanner_;
    double levelValue_ = 0;
    int levels_ = 0;
    int ownFrom_ = 1, ownTo_ = 0, workFrom_ = 1, workTo_ = 0;
    Stack work_;
    std::vector<float> floats_;
};

}  // namespace

int modelobject::ReadStack(const std::string& fileName, Stack* target, bool keepWhole) {
    gridio::SignalScope signals(DisableCtrlCHandler);
    return StackReader(*this, fileName, target, keepWhole).Run();
}
