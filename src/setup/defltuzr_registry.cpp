// Grid-store registrations of the set-up. Every grid the set-up enters takes the first entry
// that has no internal name, whatever other objects have registered before, and its index is
// kept: output, statistics, periodic re-reading and destruction walk this list instead of
// assuming that the set-up's grids stand at consecutive indices.
#include "setup/defltuzr.hpp"

namespace {
// Write-code digits as the store keeps them.
void SetWriteCode(GridStoreEntry& entry, long code) {
    entry.units = static_cast<std::int32_t>(code % 10);
    entry.tens = static_cast<std::int32_t>((code % 100) / 10);
    const long hundreds = (code % 1000) / 100;
    entry.minFlag = (hundreds == 1 || hundreds == 3) ? 1 : 0;
    entry.maxFlag = (hundreds == 2 || hundreds == 3) ? 1 : 0;
    entry.thousands = static_cast<std::int32_t>((code % 10000) / 1000);
}
}  // namespace

int defaultini::FirstFreeEntry() const {
    for (int i = 1; i <= GridStore::kMaxIndex; ++i)
        if (!(*gridStore)[i].hasInternalName) return i;
    return GridStore::kMaxIndex + 1;
}

int defaultini::FindSetupGrid(const std::string& name) const {
    if (!gridStore) return 0;
    for (int i = 1; i <= GridStore::kMaxIndex; ++i) {
        const GridStoreEntry& e = (*gridStore)[i];
        if (e.hasInternalName && e.internalName == name) return i;
    }
    return 0;
}

int defaultini::RegisterSetupGrid(const std::string& fileName, const std::string& internalName, Matrix* grid,
                                  long writeCode, int first, int last, const char* noRoomText) {
    const int index = FirstFreeEntry();
    if (index > GridStore::kMaxIndex) {
        *log << noRoomText << GridStore::kMaxIndex + 1 << ")" << "[end-entry]";
        throw ModelError(12);
    }
    GridStoreEntry& entry = (*gridStore)[index];
    entry = GridStoreEntry{};
    entry.fileName = fileName;
    entry.hasFileName = true;
    entry.baseFileName = fileName;
    entry.ownsBaseFileName = true;
    entry.internalName = internalName.substr(0, kModuleNameLength);
    entry.hasInternalName = true;
    entry.grid = grid;
    SetWriteCode(entry, writeCode);
    entry.firstRow = first;
    entry.lastRow = last;
    registered_.push_back(index);
    return index;
}

Matrix* defaultini::CreateOwnedGrid(int first, int last) {
    ownedGrids_.push_back(matrix(first, last, 1, ncols, nrows));
    return &ownedGrids_.back();
}

void defaultini::SharedGridRows(int* first, int* last) const {
    if (rank == 0) {
        *first = 1;
        *last = nrows;
        return;
    }
    *first = firstRow > 1 ? firstRow - 1 : firstRow;
    *last = lastRow < nrows ? lastRow + 1 : lastRow;
}
