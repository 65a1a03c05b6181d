// Grid-store registrations of the set-up. Every grid the set-up enters takes the first entry
// that has no internal name, whatever other objects have registered before, and its index is
// kept: output, statistics, periodic re-reading and destruction walk this list instead of
// assuming that the set-up's grids stand at consecutive indices.
#include "setup/defltuzr.hpp"

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
    RegisterGrid(index, fileName, grid, nullptr, 0, internalName.substr(0, kModuleNameLength), writeCode, first,
                 last);
    registered_.push_back(index);
    return index;
}

Matrix* defaultini::CreateOwnedGrid(int first, int last) {
    ownedGrids_.push_back(matrix(first, last, 1, ncols, nrows));
    return &ownedGrids_.back();
}

Matrix* defaultini::CreateOwnedGrid(int first, int last, double v) {
    ownedGrids_.push_back(FilledMatrix(first, last, 1, ncols, nrows, v));
    return &ownedGrids_.back();
}

Matrix* defaultini::CreateOwnedGridToBeSet(int first, int last) {
    ownedGrids_.push_back(UnsetMatrix(first, last, 1, ncols, nrows));
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

void defaultini::UpdateSetupGrid(int index, Matrix* grid, long writeCode, int first, int last) {
    const GridStoreEntry& entry = (*gridStore)[index];
    RegisterGrid(index, entry.fileName, grid, nullptr, 0, entry.internalName, writeCode, first, last);
}

Matrix* defaultini::AdoptOwnedGrid(Matrix grid) {
    ownedGrids_.push_back(std::move(grid));
    return &ownedGrids_.back();
}
