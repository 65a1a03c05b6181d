// The grid store operations of modelobject: registration, release and the searches by name.
#include "kernel/gridstore.hpp"

#include <set>

#include "kernel/modelobject.hpp"

WriteCodeDigits SplitWriteCode(long code) {
    WriteCodeDigits d{};
    d.units = static_cast<int>(code % 10);
    d.tens = static_cast<int>((code % 100) / 10);
    d.hundreds = static_cast<int>((code % 1000) / 100);
    d.thousands = static_cast<int>((code % 10000) / 1000);
    d.minFlag = (d.hundreds == 1 || d.hundreds == 3) ? 1 : 0;
    d.maxFlag = (d.hundreds == 2 || d.hundreds == 3) ? 1 : 0;
    return d;
}

std::size_t GridStore::HeldBytes() const {
    std::set<const void*> counted;
    std::size_t bytes = 0;
    for (const GridStoreEntry& e : entries_) {
        if (e.grid != nullptr && counted.insert(e.grid).second) bytes += e.grid->bytes();
        if (e.stack != nullptr && counted.insert(e.stack).second) bytes += e.stack->bytes();
        for (const Matrix* own : {&e.sumGrid, &e.missingSteps, &e.minGrid, &e.maxGrid, &e.vegGrid})
            bytes += own->bytes();
    }
    return bytes;
}

namespace {
constexpr int kFirstIndex = 1;
constexpr int kStoreEnd = 1000;  // one past the highest usable index

// Refuses an index the store cannot hold: 1000 is the store running full, anything else
// outside 1..999 a caller's mistake; both would write past the table.
void CheckIndex(DiagLog* log, GridStore* store, int index, const char* operation) {
    if (index == kStoreEnd && std::string(operation) == "RegisterGrid") {
        if (log) *log << "FATAL: no free grid in memory,(max. " << kStoreEnd << ")!" << "[end-entry]";
        throw ModelError(12);
    }
    if (index < kFirstIndex || index > GridStore::kMaxIndex) {
        if (log)
            *log << "FATAL: " << operation << ": grid-store index " << index << " outside 1.." << GridStore::kMaxIndex
                 << "[end-entry]";
        throw ModelError(12);
    }
    if (store == nullptr) {
        if (log) *log << "FATAL: " << operation << ": no grid store given" << "[end-entry]";
        throw ModelError(12);
    }
}
}  // namespace

int modelobject::FirstFreeGridIndex() const {
    if (gridStore == nullptr) return kStoreEnd;
    for (int i = kFirstIndex; i < kStoreEnd; ++i) {
        const GridStoreEntry& e = (*gridStore)[i];
        if (!e.hasFileName && !e.hasInternalName) return i;
    }
    return kStoreEnd;
}

void modelobject::RegisterGrid(int index, const std::string& fileName, Matrix* grid, Stack* stack, int levels,
                               const std::string& internalName, long writeCode, std::int64_t first,
                               std::int64_t last) {
    CheckIndex(log, gridStore, index, "RegisterGrid");
    GridStoreEntry& e = (*gridStore)[index];
    e.fileName = fileName;
    e.hasFileName = true;
    if (!e.ownsBaseFileName) {
        e.baseFileName = fileName;
        e.ownsBaseFileName = true;
    }
    e.internalName = internalName;
    e.hasInternalName = true;
    e.grid = grid;
    e.stack = stack;
    e.levels = levels;
    e.extremesStarted = 0;
    e.stepCount = 0;
    e.missingSteps = Matrix();
    e.stackCopied = 0;
    const WriteCodeDigits d = SplitWriteCode(writeCode);
    e.units = d.units;
    e.tens = d.tens;
    e.minFlag = d.minFlag;
    e.maxFlag = d.maxFlag;
    e.thousands = d.thousands;
    e.firstRow = first;
    e.lastRow = last;

    // The statistics grids are written here rather than left to a cleared allocation's lazy
    // pages: the first step's passes run in a team of threads, and a page first read (the zero
    // page) and then written there costs a fault and a flush of every thread's address cache,
    // all threads contending for the same page-table lock. Written once here (by contiguous
    // blocks of rows where a team fills a large grid), each page takes one plain fault.
    const int f = static_cast<int>(first), l = static_cast<int>(last);
    if (e.tens != 0) {
        e.sumGrid = FilledMatrix(f, l, 1, ncols, nrows, 0.0);
        e.sumFileName = fileName;
    }
    if (e.minFlag) {
        e.minGrid = FilledMatrix(f, l, 1, ncols, nrows, 0.0);
        e.minFileName = fileName;
    }
    if (e.maxFlag) {
        e.maxGrid = FilledMatrix(f, l, 1, ncols, nrows, 0.0);
        e.maxFileName = fileName;
    }
    if (e.thousands != 0) {
        e.vegGrid = FilledMatrix(f, l, 1, ncols, nrows, 0.0);
        e.vegFileName = fileName;
    }
    if (e.units == 8) WriteStatisticGrids(index, true, false);
}

void modelobject::ReleaseGrid(int index) {
    CheckIndex(log, gridStore, index, "ReleaseGrid");
    // Everything the entry owns goes with the reset; the producer's grid and stack stay.
    (*gridStore)[index] = GridStoreEntry{};
}

int modelobject::FindGrid(const std::string& name, bool all) const {
    if (gridStore == nullptr) return 0;
    for (int i = kFirstIndex; i < kStoreEnd; ++i) {
        const GridStoreEntry& e = (*gridStore)[i];
        if (!e.hasFileName) return 0;
        if (!all && e.grid == nullptr) return 0;
        if (e.hasInternalName && e.internalName == name) return i;
    }
    return 0;
}

namespace {
// Searches up to index 999, ending before the first entry without internal name.
int SearchByName(const GridStore* store, const std::string& name) {
    if (store == nullptr) return 0;
    for (int i = kFirstIndex; i <= GridStore::kMaxIndex; ++i) {
        const GridStoreEntry& e = (*store)[i];
        if (!e.hasInternalName) return 0;
        if (e.internalName == name) return i;
    }
    return 0;
}
}  // namespace

int modelobject::GetGridIndex(const std::string& name) const {
    const int i = SearchByName(gridStore, name);
    if (i > 0) return i;
    if (log)
        *log << "FATAL: \n---------------- !!! ERROR !!!  --------------------------\n" << name
             << " not found in memory,\nThese data are needed within " << moduleName
             << " \nif they are interpolated data, please specify an interpolator for\n" << name
             << " in the control file or read it in as a standardfile,\n"
                "-----------------------------------------------------------\n"
             << "[end-entry]";
    throw ModelError(33);
}

namespace {
// The first of the alternative names found in the store; none of them is fatal (33).
int FirstOfAlternatives(const modelobject& o, GridStore* store, std::initializer_list<const std::string*> names,
                        const std::string& list) {
    for (const std::string* n : names) {
        const int i = SearchByName(store, *n);
        if (i > 0) return i;
    }
    if (o.log)
        *o.log << "FATAL: \n---------------- !!! ERROR !!!  ------------------------------------\n"
               << "Wether " << list << " \nwhere found in memory,\n"
               << "One of these data sets has to be present within " << o.moduleName << " \n"
               << "If the data are to be interpolated, please specify an interpolatior for\n"
               << list << " in the control file,\n"
               << "or read it as a standard grid \n"
               << "-----------------------------------------------------------------------\n"
               << "[end-entry]";
    throw ModelError(33);
}
}  // namespace

int modelobject::GetGridIndexOf3(const std::string& a, const std::string& b, const std::string& c) const {
    return FirstOfAlternatives(*this, gridStore, {&a, &b, &c}, a + ", " + b + " or " + c);
}

int modelobject::GetGridIndexOf4(const std::string& a, const std::string& b, const std::string& c,
                                 const std::string& d) const {
    return FirstOfAlternatives(*this, gridStore, {&a, &b, &c, &d}, a + ", " + b + ", " + c + " or " + d);
}
