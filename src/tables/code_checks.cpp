#include "tables/code_checks.hpp"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <set>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/matrix.hpp"
#include "kernel/modelobject.hpp"

namespace {

constexpr const char* kRule = "-----------------------------------------------------------------------";

struct KindTexts {
    const char* checking;
    const char* replacing;
    int error;
};

KindTexts Texts(CodeGridKind kind) {
    switch (kind) {
        case CodeGridKind::Soil: return {"1.: checking soil type codes", "2.:replacing soil type codes ", 32};
        case CodeGridKind::Irrigation:
            return {"1.: checking codes in irrigation grid", "2.:replacing codes in irrigation grid ", 31};
        case CodeGridKind::Landuse:
            return {"1.: checking codes in land use grid", "2.:replacing codes in land use grid ", 31};
        case CodeGridKind::MultilayerLanduse:
            return {"1.: checking codes in land use grid", "2.:replacing codes in land use grid ", 311};
    }
    return {"", "", 31};
}

// The integer part of a cell value as a code; false when it is no number or outside int32.
bool CodeOf(double value, std::int64_t& code) {
    const double t = std::trunc(value);
    if (!(t >= std::numeric_limits<std::int32_t>::min() && t <= std::numeric_limits<std::int32_t>::max()))
        return false;
    code = static_cast<std::int64_t>(t);
    return true;
}

[[noreturn]] void MissingCode(DiagLog& log, CodeGridKind kind, double value, const std::string& fileName,
                              const std::string& internalName) {
    const std::string rule = std::string(kRule) + "\n";
    switch (kind) {
        case CodeGridKind::Soil:
            log << "FATAL: \n" << rule << "soil type " << value << " in grid " << fileName << " (" << internalName
                << ")\n" << "is not present in the control file \n" << rule << "\n";
            break;
        case CodeGridKind::Irrigation:
            log << "FATAL: \n" << rule << "irrigation type " << value << " in grid " << fileName << " ("
                << internalName << ")\nis not present in the irrigation table in the control file \n" << rule << "\n";
            break;
        case CodeGridKind::Landuse:
        case CodeGridKind::MultilayerLanduse:
            log << "FATAL: \n" << rule << "land use " << value << " in grid " << fileName << " (" << internalName
                << (kind == CodeGridKind::Landuse ? ")\nis not present in the land use table in the control file \n"
                                                  : ")\nis not present in the multilayer-landuse-table in the control "
                                                    "file \n")
                << rule << "\n";
            break;
    }
    log << "[end-entry]";
    throw ModelError(Texts(kind).error);
}

}  // namespace

namespace {

constexpr std::int64_t kNoCell = std::numeric_limits<std::int64_t>::max();

// Whether a cell of the basin holds no code of the table (irrigation: only values above 0 are
// codes).
bool Missing(CodeGridKind kind, double value, const std::set<std::int64_t>& known) {
    if (kind == CodeGridKind::Irrigation && !(value > 0)) return false;
    std::int64_t code = 0;
    return !CodeOf(value, code) || known.count(code) == 0;
}

// The place (r - 1) * ncols + c - 1 of the first cell in row order, of the rows both grids
// hold, whose zone value is above nodata and whose code is missing; kNoCell when there is none.
std::int64_t FirstMissingCell(CodeGridKind kind, const Matrix& grid, const Matrix& zones, std::int32_t nrows,
                              std::int32_t ncols, double nodata, const std::set<std::int64_t>& known) {
    std::int64_t first = kNoCell;
#pragma omp parallel for schedule(runtime) reduction(min : first)
    for (std::int32_t r = 1; r <= nrows; ++r) {
        if (!grid.holds(r) || !zones.holds(r)) continue;
        const double* g = grid[r];
        const double* z = zones[r];
        for (std::int32_t c = 1; c <= ncols; ++c) {
            if (!(z[c] > nodata) || !Missing(kind, g[c], known)) continue;
            first = std::min(first, static_cast<std::int64_t>(r - 1) * ncols + (c - 1));
            break;
        }
    }
    return first;
}

double CellValue(const Matrix& grid, std::int32_t ncols, std::int64_t cell) {
    return grid[static_cast<std::int32_t>(cell / ncols) + 1][static_cast<std::int32_t>(cell % ncols) + 1];
}

// The table position of each code that differs from its record's position, each logged (with
// a log); with a code given twice the later record wins.
std::map<std::int64_t, std::int32_t> CodePositions(DiagLog* log, const std::vector<std::int32_t>& codes) {
    std::map<std::int64_t, std::int32_t> position;
    for (std::size_t i = 1; i < codes.size(); ++i) {
        if (codes[i] == static_cast<std::int32_t>(i)) continue;
        if (log) *log << codes[i] << " replaced by " << static_cast<int>(i) << " ..." << "[end-entry]";
        position[codes[i]] = static_cast<std::int32_t>(i);
    }
    return position;
}

// Every cell of the held rows whose integer part is a code of the map gets its position; with
// zones, only the cells whose zone value is above nodata. Each cell is read once before it is
// written, so a table that swaps two codes never chains the replacements. A value such as 3.7
// passed the check as code 3 and is replaced as code 3: kept as it is, it would later be read as
// table position 3, the entry of whatever code stands there.
void ReplaceCodes(Matrix& grid, const Matrix* zones, std::int32_t nrows, std::int32_t ncols, double nodata,
                  const std::map<std::int64_t, std::int32_t>& position) {
    if (position.empty()) return;
#pragma omp parallel for schedule(runtime)
    for (std::int32_t r = 1; r <= nrows; ++r) {
        if (!grid.holds(r) || (zones && !zones->holds(r))) continue;
        double* g = grid[r];
        const double* z = zones ? (*zones)[r] : nullptr;
        for (std::int32_t c = 1; c <= ncols; ++c) {
            if (z && !(z[c] > nodata)) continue;
            std::int64_t code = 0;
            if (!CodeOf(g[c], code)) continue;
            const auto it = position.find(code);
            if (it != position.end()) g[c] = it->second;
        }
    }
}

std::set<std::int64_t> KnownCodes(const std::vector<std::int32_t>& codes) {
    return std::set<std::int64_t>(codes.begin() + (codes.empty() ? 0 : 1), codes.end());
}

}  // namespace

void CheckAndReplaceCodes(DiagLog& log, CodeGridKind kind, Matrix& grid, const Matrix& zones, std::int32_t nrows,
                          std::int32_t ncols, double nodata, const std::vector<std::int32_t>& codes,
                          const std::string& fileName, const std::string& internalName) {
    const KindTexts texts = Texts(kind);
    log << texts.checking << "[end-entry]";
    const std::int64_t missing = FirstMissingCell(kind, grid, zones, nrows, ncols, nodata, KnownCodes(codes));
    if (missing != kNoCell) MissingCode(log, kind, CellValue(grid, ncols, missing), fileName, internalName);
    log << texts.replacing << fileName << "[end-entry]";
    ReplaceCodes(grid, nullptr, nrows, ncols, nodata, CodePositions(&log, codes));
}

void CheckMultilayerLayerCodes(DiagLog& log, std::vector<multilayer_landuse_entry>& multilayer,
                               const std::vector<landuse_entry>& landuse, double nodata) {
    const std::vector<std::int32_t> landuseCodes = TableCodes(landuse);
    const std::set<std::int32_t> known(landuseCodes.begin() + 1, landuseCodes.end());
    const std::string rule = std::string(kRule) + "\n";
    for (std::size_t r = 1; r < multilayer.size(); ++r) {
        const multilayer_landuse_entry& m = multilayer[r];
        for (std::int32_t j = 1; j <= m.layerCount; ++j) {
            // A record without layer codes has an empty first layer.
            const bool present = m.HasLayerCode(j);
            const std::int32_t code = present ? m.layerCodes[static_cast<std::size_t>(j)] : 0;
            if (!present || code <= nodata) {
                if (j > 1) continue;
                log << "FATAL: \n\n" << rule
                    << "Error: the first Layer code of each MultiLayer-Landuse Entry \nmust be a valid entry (not "
                       "9999 or larger):\nHere, line "
                    << static_cast<int>(r) << " contains " << (present ? static_cast<double>(code) : nodata)
                    << " as first layer code.\n" << rule << "\n" << "[end-entry]";
                throw ModelError(312);
            }
            if (known.count(code) == 0) {
                log << "FATAL: \n" << rule << "Error: not all layer codes from landuse " << m.code
                    << " from MultiLayer_Landuse-Table\nare present in the landuse-table in the control file: Here, "
                       "code "
                    << code << " is missing.\n" << rule << "\n" << "[end-entry]";
                throw ModelError(312);
            }
        }
    }
    for (std::size_t i = 1; i < landuseCodes.size(); ++i) {
        const std::int32_t c = landuseCodes[i];
        if (c == static_cast<std::int32_t>(i)) continue;
        for (std::size_t r = 1; r < multilayer.size(); ++r) {
            multilayer_landuse_entry& m = multilayer[r];
            for (std::int32_t j = 1; j <= m.layerCount && m.HasLayerCode(j); ++j) {
                const std::size_t jj = static_cast<std::size_t>(j);
                if (jj >= m.layerCodesAsRead.size() || m.layerCodesAsRead[jj] != c) continue;
                m.layerCodes[jj] = static_cast<std::int32_t>(i);
                log << "Code replacement in MultiLayer-Landuse " << static_cast<int>(r) << ": changed Layer-Code #"
                    << j << " from " << c << " to " << static_cast<int>(i) << "[end-entry]";
            }
        }
    }
}

namespace {

bool SeveralProcesses(const modelobject& o) {
    int initialised = 0, finalised = 0;
    MPI_Initialized(&initialised);
    MPI_Finalized(&finalised);
    return initialised && !finalised && o.size > 1;
}

// Runs the whole-grid part on process 0; every process then fails with the code process 0
// failed with, so that no process is left waiting in the scatter that would follow.
template <class Check>
void OnProcessZero(modelobject& o, Check check) {
    int code = 0;
    if (o.rank == 0) {
        try {
            check();
        } catch (const ModelError& e) {
            code = e.code();
        }
    }
    if (SeveralProcesses(o)) MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (code != 0) throw ModelError(code);
}

// The grid at index and the zone grid; a process without them logs it and gets null.
const Matrix* CodeGridOrNull(modelobject& o, int index, const Matrix** zones) {
    const GridStoreEntry& entry = (*o.gridStore)[index];
    *zones = (*o.gridStore)[1].grid;
    if (entry.grid && *zones) return entry.grid;
    *o.log << "FATAL: code check of grid " << entry.fileName << " (" << entry.internalName
           << "): the grid or the zone grid is not in memory" << "[end-entry]";
    return nullptr;
}

// Process 0 checks and rewrites the grid at index, which it holds whole; the callers then send
// its rows to their owners.
void CheckOnProcessZero(modelobject& o, int index, CodeGridKind kind, const std::vector<std::int32_t>& codes,
                        const std::function<void()>& afterRewrite) {
    OnProcessZero(o, [&] {
        const Matrix* zones = nullptr;
        if (!CodeGridOrNull(o, index, &zones)) throw ModelError(33);
        const GridStoreEntry& entry = (*o.gridStore)[index];
        CheckAndReplaceCodes(*o.log, kind, *entry.grid, *zones, o.nrows, o.ncols, o.nodata, codes, entry.fileName,
                             entry.internalName);
        if (afterRewrite) afterRewrite();
    });
}

// Every process checks and rewrites the cells it holds of the grid at index: process 0 every
// cell of its rows, the others their own cells and halo cells (those whose zone value is above
// nodata; the rest of their rows holds no values). Every cell of the basin is checked by its
// owner at least, so the first missing code in row order over all processes is the one a check
// of the whole grid finds first; process 0 reports it, and every process fails with its code.
void CheckByRows(modelobject& o, int index, CodeGridKind kind, const std::vector<std::int32_t>& codes,
                 const std::function<void()>& afterRewrite) {
    const Matrix* zones = nullptr;
    const Matrix* grid = CodeGridOrNull(o, index, &zones);
    const KindTexts texts = Texts(kind);
    if (grid && o.rank == 0) *o.log << texts.checking << "[end-entry]";
    // Each process's first missing cell (-1: no grid) and the value there, as two integers.
    std::int64_t found[2] = {grid ? FirstMissingCell(kind, *grid, *zones, o.nrows, o.ncols, o.nodata, KnownCodes(codes))
                                  : -1,
                             0};
    if (found[0] >= 0 && found[0] != kNoCell) {
        const double value = CellValue(*grid, o.ncols, found[0]);
        std::memcpy(&found[1], &value, sizeof value);
    }
    std::vector<std::int64_t> all(found, found + 2);
    if (SeveralProcesses(o)) {
        all.resize(2 * static_cast<std::size_t>(o.size));
        MPI_Allgather(found, 2, MPI_INT64_T, all.data(), 2, MPI_INT64_T, MPI_COMM_WORLD);
    }
    std::size_t first = 0;
    for (std::size_t p = 2; p < all.size(); p += 2)
        if (all[p] < all[first]) first = p;
    if (all[first] < 0) throw ModelError(33);
    if (all[first] != kNoCell) {
        if (o.rank != 0) throw ModelError(texts.error);
        double value = 0;
        std::memcpy(&value, &all[first + 1], sizeof value);
        const GridStoreEntry& entry = (*o.gridStore)[index];
        MissingCode(*o.log, kind, value, entry.fileName, entry.internalName);
    }
    DiagLog* log = o.rank == 0 ? o.log : nullptr;
    if (log) *log << texts.replacing << (*o.gridStore)[index].fileName << "[end-entry]";
    ReplaceCodes(*(*o.gridStore)[index].grid, o.rank == 0 ? nullptr : zones, o.nrows, o.ncols, o.nodata,
                 CodePositions(log, codes));
    if (afterRewrite) OnProcessZero(o, afterRewrite);
}

void CheckCodeGrid(modelobject& o, int index, CodeGridRows rows, CodeGridKind kind,
                   const std::vector<std::int32_t>& codes, const std::function<void()>& afterRewrite) {
    if (rows == CodeGridRows::WholeOnProcessZero)
        CheckOnProcessZero(o, index, kind, codes, afterRewrite);
    else
        CheckByRows(o, index, kind, codes, afterRewrite);
}

// After a check on process 0, its rows go to their owners.
void DistributeGrid(modelobject& o, int index, CodeGridRows rows) {
    if (rows != CodeGridRows::WholeOnProcessZero) return;
    o.MPIScatterGrid(index);
    o.MPIExchangeHalo(index);
}

}  // namespace

void CheckLanduseGrid(modelobject& o, int index, const std::vector<landuse_entry>& landuse,
                      std::vector<multilayer_landuse_entry>& multilayer, CodeGridRows rows) {
    if (index <= 0) return;
    if (multilayer.empty()) {
        CheckCodeGrid(o, index, rows, CodeGridKind::Landuse, TableCodes(landuse), nullptr);
    } else {
        CheckCodeGrid(o, index, rows, CodeGridKind::MultilayerLanduse, TableCodes(multilayer),
                      [&] { CheckMultilayerLayerCodes(*o.log, multilayer, landuse, o.nodata); });
        // Every process holds the same table, so the array sizes agree before the broadcast.
        for (std::size_t r = 1; r < multilayer.size() && SeveralProcesses(o); ++r) {
            std::vector<std::int32_t>& codes = multilayer[r].layerCodes;
            codes.resize(static_cast<std::size_t>(multilayer[r].layerCount) + 1, 0);
            MPI_Bcast(codes.data(), static_cast<int>(codes.size()), MPI_INT32_T, 0, MPI_COMM_WORLD);
        }
    }
    DistributeGrid(o, index, rows);
}

void RecheckLanduseGrid(modelobject& o, int index, const std::vector<landuse_entry>& landuse,
                        const std::vector<multilayer_landuse_entry>& multilayer, CodeGridRows rows) {
    if (index <= 0) return;
    if (multilayer.empty())
        CheckCodeGrid(o, index, rows, CodeGridKind::Landuse, TableCodes(landuse), nullptr);
    else
        CheckCodeGrid(o, index, rows, CodeGridKind::MultilayerLanduse, TableCodes(multilayer), nullptr);
    DistributeGrid(o, index, rows);
}

void CheckIrrigationGrid(modelobject& o, int index, const std::vector<irrigation_entry>& irrigation,
                         CodeGridRows rows) {
    if (index <= 0) return;
    CheckCodeGrid(o, index, rows, CodeGridKind::Irrigation, TableCodes(irrigation), nullptr);
    DistributeGrid(o, index, rows);
}

void CheckSoilGrid(modelobject& o, int index, const std::vector<soil_entry>& soil, CodeGridRows rows) {
    if (index <= 0) return;
    CheckCodeGrid(o, index, rows, CodeGridKind::Soil, TableCodes(soil), nullptr);
    DistributeGrid(o, index, rows);
}
