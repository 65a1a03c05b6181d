#include "setup/setupfiles.hpp"

#include <mpi.h>

#include <cctype>

ControlFileScope::ControlFileScope(modelobject& owner, const std::string& fileName, const char* openText,
                                   int openCode)
    : owner_(owner), fileName_(fileName), saved_(std::move(owner.controlFile)) {
    owner_.controlFile = OpenFile(fileName_, "rt");
    if (!owner_.controlFile) {
        owner_.controlFile = std::move(saved_);
        *owner_.log << openText << fileName_ << "[end-entry]";
        throw ModelError(openCode);
    }
}

ControlFileScope::~ControlFileScope() { owner_.controlFile = std::move(saved_); }

void ControlFileScope::Close() {
    std::FILE* f = owner_.controlFile.release();
    if (f != nullptr && std::fclose(f) != 0) {
        FailOnFile(*owner_.log, "error closing " + fileName_, 11);
    }
}

int ReadControlWord(std::FILE* stream, std::string* word, std::size_t maxLength) {
    word->clear();
    if (stream == nullptr) return 0;
    int ch = std::fgetc(stream);
    while (ch != EOF && std::isspace(ch)) ch = std::fgetc(stream);
    if (ch == EOF) return 0;
    while (ch != EOF && !std::isspace(ch)) {
        if (word->size() >= maxLength) {
            std::ungetc(ch, stream);
            return -1;
        }
        word->push_back(static_cast<char>(ch));
        ch = std::fgetc(stream);
    }
    if (ch != EOF) std::ungetc(ch, stream);
    return 1;
}

bool OwnsCell(modelobject& owner, int row, int column) {
    owner.FindDecompositionGrids();
    const Matrix* regions = owner.mpiRegions;
    if (regions == nullptr) return row >= owner.firstRow && row <= owner.lastRow;
    double v = 0;
    return HeldValue(regions, row, column, &v) && v > -1.0 && v < 2147483647.0 && static_cast<int>(v) == owner.rank;
}

int AgreeOnError(int code) {
    int initialised = 0, finalised = 0, size = 1;
    MPI_Initialized(&initialised);
    MPI_Finalized(&finalised);
    if (!initialised || finalised) return code;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    if (size < 2) return code;
    int agreed = code;
    MPI_Allreduce(&code, &agreed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    return agreed;
}
