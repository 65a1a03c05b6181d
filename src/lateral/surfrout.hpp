#pragma once
// Surface runoff routing on the grid ("[SurfaceRoutingModel]"): the direct runoff of each
// coupling pass flows from cell to cell over the eight neighbours in adaptive sub steps until
// it reaches a river cell; the runoff of the river cells and the interflow then travel through
// the flow-travel-time zones of their subbasin into two single linear storages, which with the
// base flow give the total runoff handed to the discharge routing.
//
// Files by concern: surfrout.cpp (construction, grids, links, end), surfrout_step.cpp (the
// coupling pass and its sub steps), surfrout_cells.cpp (per-cell directions, velocities and
// fluxes), surfrout_zones.cpp (travel-time zones and subbasin runoff), surfrout_state.cpp
// (state section of the storage content file), surfrout_quiet.cpp (per-cell tables and the
// flags that let the sub steps skip quiet cells). The physics of one cell lives in
// surfrout_flowdir.*, surfrout_velocity.* and surfrout_storage.*.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kernel/exactsum.hpp"
#include "kernel/mpirows.hpp"
#include "kernel/steptimes.hpp"
#include "kernel/zonestat.hpp"
#include "lateral/surfrout_flowdir.hpp"
#include "lateral/surfrout_velocity.hpp"
#include "submodel/teilmod.hpp"

namespace surfrout {

// Eight per-cell flag bytes (each 0 or 1) of consecutive columns as one word.
inline std::uint64_t LoadFlags(const unsigned char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// True for +0 only: -0 and NaN do not pass (bit pattern compared).
inline bool PositiveZero(double x) { return std::bit_cast<std::uint64_t>(x) == 0; }

// True when the fluxes q[1..8] are all 0 (+0 or -0; a NaN is not 0), as q[d] == 0 for each:
// the bits of each without the sign bit, or-ed together, without a branch per direction.
inline bool SendsNothing(const double* q) {
    std::uint64_t bits = 0;
    for (int d = 1; d <= 8; ++d) bits |= std::bit_cast<std::uint64_t>(q[d]) << 1;
    return bits == 0;
}

// Number of flags set in a word of LoadFlags (a sum of eight bytes of 0 or 1 in the top byte).
inline int FlagCount(std::uint64_t w) { return static_cast<int>((w * 0x0101010101010101ull) >> 56); }

// Removes the flag of the lowest column from a word of LoadFlags (not 0) and returns that
// column's offset 0..7.
inline int TakeFirstFlag(std::uint64_t* w) {
    if constexpr (std::endian::native == std::endian::little) {
        const int bit = std::countr_zero(*w);
        *w &= *w - 1;
        return bit / 8;
    } else {
        const int bit = 63 - std::countl_zero(*w);
        *w &= ~(std::uint64_t{1} << bit);
        return (63 - bit) / 8;
    }
}

}  // namespace surfrout

class surfaceroutingclass : public teilmodellklasse {
public:
    static constexpr int kLevels = 9;  // stack levels 0..9
    static constexpr int kMaxTracers = 9;

    surfaceroutingclass(unsigned& error, DiagLog* log, const SubmodelSettings& settings, unsigned numSubSteps = 1);
    ~surfaceroutingclass() override;

    void CreateTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                           int tableCount);
    void FreeTracerGrids() override;
    void SetQBb(RunoffArray* qbb);
    void SetQI(RunoffArray* qi);
    void SetQD(RunoffArray* qd);
    void SetKelsqd(SubbasinValues* k);
    void SetKelsqi(SubbasinValues* k);
    RunoffArray* GetQg();
    void InitFlowTimeZones();
    void ShiftFlowTimeZones(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;
    void RouteFlowTimeZones(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    // Writes the state section (after the sections of earlier writers when append is set)
    // and frees everything.
    void ModelEnd(bool append);
    void FlushStatistics();

    // Per-cell operations of the sub steps (own cells inside the basin).
    void FillFromNeighbours(int row, int col, Matrix& grid) const;
    void ComputePlanCurvature();
    void FillCurvatureGapsOnProcessZero(Matrix& k);
    void ComputeSlopes(int row, int col, double* slope, double* aspect, int* type) const;
    void ComputeFlowWeights(int row, int col, int* type, long k, double slope, double aspect);
    void ComputeVelocities(int row, int col, long k, long refresh, int type);
    double StableSubTimeStep() const;
    // The time the fastest flow of a cell with a share above 0.0001 takes to cross it (1e36 if none).
    double StableStepOfCell(int r, int c) const {
        double best = 1e36;
        for (int d = 1; d <= 8; ++d)
            if (weights[r][c][d] > 0.0001 && velocity[r][c][d] > 1e-5)
                best = std::min(best, cellsize / velocity[r][c][d]);
        return best;
    }
    void ComputeCellFluxes(int row, int col, double dt);
    double ComputeRoughness(double v, double depth, double residueCover, double rootSlope, int row, int col,
                            int landuseCode, int cultivation);

    // State section of the storage content file.
    void WriteStorageFile(bool append);
    void ReadStorageFile();
    void ReadVelocityStack();
    void WriteSharedTracerStores();
    void ReadCheckStorageValue(std::FILE* f, double value, const std::string& key);
    [[noreturn]] void StorageMismatch(const std::string& key, double inControl, double inFile);

    // ---- parameters
    int method = 0;
    std::array<std::string, 5> statNames;  // QD, QI, QB, QG, surface storage
    std::array<int, 5> statCodes{};
    std::string velocityStackName, fluxStackName;
    int velocityStackCode = 0, fluxStackCode = 0;
    double aNLTolerance = 0;
    int aNLIterations = 0;
    double velocityTolerance = 0;
    int velocityIterations = 0;
    double minSubStep = 0, maxSubStep = 0;
    double minCropDepth = 0;
    double concentrationFactor = 1.0;
    int readGrids = 0;
    std::string storageFileName;
    bool constructed = false;

    // ---- grids
    const Matrix* elevation = nullptr;
    std::vector<const Matrix*> landuseLayers;  // 1..n
    const Matrix* soilTypes = nullptr;
    Matrix* surfaceStorage = nullptr;  // "SurfStorSiltingUp", mm
    Matrix* directflow = nullptr;
    const Matrix* interflow = nullptr;
    const Matrix* riverDepth = nullptr;
    const Matrix* riverWidth = nullptr;
    const Matrix* riverLinks = nullptr;
    const Matrix* flowTimes = nullptr;
    const Matrix* cellArea = nullptr;  // "RelCellArea"
    Matrix* curvature = nullptr;
    Matrix* qIn = nullptr;
    Matrix* qOut = nullptr;
    Matrix* criticalShear = nullptr;
    Stack velocity, fluxes, weights;
    Matrix velocityGrid, fluxGrid, totalInput;
    Matrix ownCurvature, ownQIn, ownQOut, ownCriticalShear;
    int velocityIndex = 0, fluxIndex = 0, totalInputIndex = 0, curvatureIndex = 0;
    std::vector<int> ownedEntries;  // grid-store entries this module registered

    // Copies of the zone grid and the terrain over the own rows and one halo row each side.
    Matrix zoneHalo, terrain;
    int lo = 0, hi = -1;  // rows held with halo
    // Land-use table position and layer of every own cell (-1: none) and its dated values.
    Matrix cellLanduse, cellLayer, residueCover, stemDiameter;

    // ---- tracers
    struct SurfaceTracer {
        Matrix* concQD = nullptr;
        const Matrix* concQI = nullptr;
        Matrix* surfaceStore = nullptr;  // storage concentration kept between calls
        // Silting-up's store (shared) holds the tracer's mass in mg/m2 for a tracer that does not
        // evaporate, as silting-up mixes the step's input into it; surface routing's own store,
        // and silting-up's of an evaporating tracer, hold the concentration.
        bool storeHoldsMass = false;
        Matrix ownStore;
        int storeIndex = 0;
        int sharedIndex = 0;  // grid-store entry of silting-up's store when surface routing uses it
        Matrix conc;  // storage concentration during a pass, with halo rows
        Matrix inflow;
    };
    std::vector<SurfaceTracer> surfaceTracers;  // 1..tracerCount
    // Per tracer beside the water's surface-storage table (while that one is written): the
    // concentration of the surface storage, weighed with the storage, per subbasin.
    std::vector<std::vector<zoneFZT>> storageTracerRecords;
    std::vector<std::unique_ptr<zonalstatistic>> storageTracerStats;  // 1..tracerCount

    // ---- per subbasin
    RunoffArray Qg, QD, QDd, QI, QIi;
    RunoffArray* qd = nullptr;
    RunoffArray* qi = nullptr;
    RunoffArray* QBb = nullptr;
    SubbasinValues* kelsqd = nullptr;
    SubbasinValues* kelsqi = nullptr;
    bool linksReported = false;
    std::array<std::vector<zoneFZT>, 5> statRecords;
    std::array<std::unique_ptr<zonalstatistic>, 5> statistics;

    // Travel-time zones: records [tracer][subbasin][zone 0..maxzeit] in one block each.
    std::vector<double> maxzeit;
    std::vector<zoneFZT> zonesQD, zonesQI;
    std::vector<std::size_t> zoneOffset;  // per tracer x subbasin
    zoneFZT* ZoneQD(int t, int s) { return &zonesQD[zoneOffset[Slot(t, s)]]; }
    zoneFZT* ZoneQI(int t, int s) { return &zonesQI[zoneOffset[Slot(t, s)]]; }
    // The cells' contributions to those records, summed exactly (same layout): the subbasin
    // sums then do not depend on how the cells are split among processes.
    std::vector<ExactZoneSums> exactQD, exactQI;
    std::vector<std::int64_t> zoneCells;  // cells per record of the water in a pass's end (EndPass)
    std::vector<std::int64_t> unitAreaCells;  // of those, the cells of relative area 1
    // Where one thread of a pass's end adds its cells: the first thread to the records' own sums
    // (touched null), every other to sums of its own (ThreadZoneSums), merged afterwards; exact
    // sums and counts merged in any order come out as one thread's.
    struct ZoneSumTarget {
        ExactZoneSums* qd = nullptr;
        ExactZoneSums* qi = nullptr;
        std::int64_t* cells = nullptr;
        std::int64_t* unitAreaCells = nullptr;
        unsigned char* touched = nullptr;  // 1 for each record added to
    };
    struct ThreadZoneSums {
        std::vector<ExactZoneSums> qd, qi;
        std::vector<std::int64_t> cells, unitAreaCells;
        std::vector<unsigned char> touched;
    };
    std::vector<ThreadZoneSums> threadZoneSums;  // threads 1, 2, ... of the team
    ExactZoneSums* ExactQD(int t, int s) { return &exactQD[zoneOffset[Slot(t, s)]]; }
    ExactZoneSums* ExactQI(int t, int s) { return &exactQI[zoneOffset[Slot(t, s)]]; }
    std::size_t Slot(int t, int s) const {
        return static_cast<std::size_t>(t) * static_cast<std::size_t>(zoneCount + 1) + static_cast<std::size_t>(s);
    }

    // ---- sub-step state
    double lastStep = 0;  // sub step of the last pass [s]
    long lastSubSteps = 0;
    double clipped = 0;   // water created by the outflow clip in the last pass [m3], own cells
    std::atomic<bool> roughnessFallback{false};
    // Cells whose sub step provably leaves every value as it is are skipped (surfrout_quiet.cpp);
    // switched off only to compare with the full computation.
    bool skipQuietCells = true;
    // Shares of an aspect along a flow direction are looked up (OnAxisAspectWeights); switched off
    // only to compare with computing them.
    bool lookUpOnAxisShares = true;
    long quietCellPasses = 0;  // velocity and storage passes of cells skipped in the last call
    long keptSharePasses = 0;  // velocity passes in the last call that kept a cell's shares
    bool fallbackReported = false;
    // The own rows whose 3 x 3 neighbourhoods hold no cell of another process (inner) and the
    // others (edge), each in row order. The passes compute the inner rows while a halo exchange
    // travels: those read no value it brings, nor a flag taken from such a value.
    std::vector<int> innerRows, edgeRows;
    int Subbasin(int r, int c) const;
    // Travel-time zone of a basin cell: 1 without "flow_times" and for a travel time of 0.
    int FlowTimeZone(int r, int c) const;
    // Stops the run when a basin cell's zone is negative, nodata or beyond a million.
    void CheckFlowTimes();
    bool OwnBasinCell(int r, int c) const;
    bool IsRiver(int r, int c) const { return (*riverDepth)[r][c] > 0 && (*riverWidth)[r][c] > 0; }
    double CouplingStep() const;
    // Threads pay off only beyond a few thousand cells; results are the same either way.
    bool Threaded() const { return static_cast<long>(lastRow - firstRow + 1) * ncols > 4096; }

private:
    void ReadParameters();
    void CheckSubStepLimits();
    void CreateGrids();
    void CreateStatistics();
    void CreateStorageTracerStatistics(OutputCodeEntry* table, int tableCount);
    void LinkLanduse();
    void BuildHaloCopies();
    // Lists the own basin cells by row (ownStart, ownCols) for the set-up and the passes.
    void ListOwnCells();
    std::span<const int> OwnColumns(int r) const;
    int NextFreeEntry();
    int RegisterOwn(const std::string& name, Matrix* grid, Stack* stack, int levels, const std::string& file,
                    long code, int first, int last);
    void StartPass();
    // The end of a pass: the storage tables, the subbasins' zone sums of the direct flow and
    // interflow and the tracers' stores, shared among the threads.
    void EndPass();
    // The storage table of the water (lane 0) or of tracer lane, its plain sums added in row
    // order; a tracer's lane also keeps the tracer's store and clears its concentration.
    void StorageTableLane(int lane);
    // One own row of the pass's end, its zone sums added to to; the store of tracer t is kept
    // where storeInRows[t] holds.
    void EndPassRow(int r, double nsub, const ZoneSumTarget& to, const bool* storeInRows);
    // Threads of the pass's end: each after the first keeps sums of every record.
    int EndPassTeam() const;
    // Adds the sums of threads 1 .. team - 1 to the records' own and empties them.
    void MergeThreadZoneSums(int team);
    // The velocity pass of a sub step: the inner rows while the levels' exchange travels, the
    // edge rows once it is in; the fluxes' exchange starts after them.
    void VelocityPass(long k, long refresh);
    // The velocity pass of the given own rows (of innerRows or edgeRows).
    void VelocityRows(std::span<const int> rows, long k, long refresh);
    // The storage pass: the inner rows while the fluxes' halo exchange travels, the edge rows
    // once it is in (with tracers the tracer inflows of the inner rows while it travels, the
    // storages of the inner rows once the edge rows' levels are sent); starts the levels' exchange.
    void StoragePass(double dt, bool skipQuiet);
    // With tracers: each computed cell's tracer inflow of the given rows, from the
    // concentrations before any cell changes them; the cells computed are kept in storageWork.
    void TracerInflowRows(std::span<const int> rows, double dt, bool skipQuiet);
    // The storages of the given rows; returns the water the outflow clip created [m3].
    double StorageRows(std::span<const int> rows, double dt, bool skipQuiet);
    // A place in a pass's rows: the row rows[row] from its chunk of 8 columns chunk on.
    struct RowPlace {
        std::size_t row = 0;
        int chunk = 0;
    };
    // Cells a kind of pass (velocity, storage) computed the last time, by own row (index
    // r - firstRow) and by chunk of 8 columns (index (r - firstRow) * ChunksPerRow() + chunk).
    struct PassWork {
        std::vector<int>* rows;
        std::vector<unsigned char>* chunks;
    };
    PassWork VelocityWorkCounts() { return {&rowWork, &chunkWork}; }
    PassWork StorageWorkCounts() { return {&storageRowWork, &storageChunkWork}; }
    // The chunk counts to start with: every own cell counts, as in rowWork (set up with the
    // own cells); the storage passes start from the velocity passes' counts.
    void PrepareWorkCounts();
    // The threads' parts of rows in a team: consecutive chunks of 8 columns in row order, the
    // parts about equal in cells computed by the last pass of the kind (plus a little per chunk
    // for the scan of its flags); thread t of threads takes shareStart[t] up to
    // shareStart[t + 1]. Wet cells gather in a few rows, so a part may end within a row. A
    // call's sub steps pass over the same rows hundreds of times; a row stays with one thread,
    // whose core keeps its values in its cache from pass to pass, as long as the water moves
    // little (rows handed out as the threads come would move between the cores in every pass).
    void ShareRows(std::span<const int> rows, int threads, PassWork work);
    // After a pass over rows: the rows' counts from countedWork (the counts of the rows one
    // thread computed whole), those of the rows two threads shared from their chunks.
    void KeepWorkCounts(std::span<const int> rows, PassWork work);
    // The calling thread's part of a pass over rowCount rows (those ShareRows shared for the
    // process's threads): rows[first] .. rows[end - 1], each from chunk From(i) up to To(i).
    struct ThreadPart {
        std::size_t first = 0, end = 0;
        int firstChunk = 0, lastEnd = 0, chunks = 0;
        int From(std::size_t i) const { return i == first ? firstChunk : 0; }
        int To(std::size_t i) const { return i + 1 == end ? lastEnd : chunks; }
    };
    ThreadPart PartOfThisThread(std::size_t rowCount) const;
    int ChunksPerRow() const { return (ncols + 7) / 8; }
    // Starts the halo exchange of the depths and the tracers' concentrations (levelExchange).
    void StartLevelExchange();
    void UpdateDatedValues();
    void ListDatedCells();
    // f: the cell's flag index (FlagIndex(r, c)).
    void BuildNeighbourhood(int r, int c, std::size_t f, surfrout::Neighbourhood* out) const;
    // The per-cell operations on a neighbourhood built once per cell and sub step.
    void SlopesAt(int r, int c, std::size_t f, const surfrout::Neighbourhood& n, bool river, double* slope, double* aspect,
                  int* type) const;
    // Returns true when the shares came out bit for bit as they were (or were not computed).
    bool WeightsAt(int r, int c, const surfrout::Neighbourhood& n, int* type, long k, double slope, double aspect);
    // What WeightsAt writes for a cell whose shares and type (as WeightsAt left it) stay: its
    // level, and the count of unchanged shares.
    void KeepWeights(int r, int c, int type, long k);
    // ComputeCellFluxes with finiteAround telling whether every tracer concentration of the 3 x 3
    // neighbourhood is finite (concFinite), which lets the tracer inflow pass over the
    // neighbours that send nothing.
    void CellFluxes(int r, int c, std::size_t f, double dt, bool finiteAround);
    // The cells f .. f + 7 (one byte each) whose 3 x 3 neighbourhood has every tracer
    // concentration finite.
    std::uint64_t FiniteAround(std::size_t f) const;
    // Reads n only when the cell holds water and its fluxes are not kept (KeepsFluxes).
    void VelocitiesAt(int r, int c, const surfrout::Neighbourhood& n, long k, long refresh, int type);
    // The velocity pass scales the cell's fluxes of the sub step before to its water (shares
    // as they were, between two refreshes).
    bool KeepsFluxes(int r, int c, long k, long refresh) const;
    void RouteSubbasin(int s, double dtMinutes);
    void ReleaseAll();

    // ---- quiet cells (surfrout_quiet.cpp)
    // A quiet cell is dry, sends nothing and sees the same water levels as in its last pass: its
    // velocity or storage pass would write back the values it holds, so it is skipped.
    // Own basin cells by row: the columns ownCols[ownStart[r - firstRow] .. ownStart[r - firstRow + 1]).
    struct CellAt {
        int r, c;
    };
    double stableSubStep = 1e36;  // the first velocity pass's stable sub step over the own cells
    std::vector<CellAt> datedCells;  // own cells of cultivated land uses, in row order
    const landuse_entry* datedCellsOf = nullptr;  // the table the list was taken from
    std::vector<int> ownStart, ownCols;
    std::vector<int> ownSubbasin;  // Subbasin of each own cell (same index), taken at the first pass's end
    // Cells of each own row (index r - firstRow) that the last velocity pass over the row computed:
    // the weights by which the velocity passes share the rows among the threads.
    std::vector<int> rowWork, countedWork;  // countedWork: this pass's counts until it ends
    // The same per chunk of 8 columns of each own row (index (r - firstRow) * ChunksPerRow() + chunk).
    std::vector<unsigned char> chunkWork;
    // The cells the last storage pass computed, as rowWork and chunkWork.
    std::vector<int> storageRowWork;
    std::vector<unsigned char> storageChunkWork;
    std::vector<RowPlace> shareStart;  // the threads' parts of the pass's rows
    // Flags of the cells of rows lo - 1 .. hi + 1 and columns 0 .. ncols + 1; cells that do not
    // exist for this process keep "unchanged, sends nothing, finite".
    std::vector<unsigned char> levelChanged;  // depth or storage changed in the last storage pass
    std::vector<unsigned char> sendsNothing;  // fluxes 1-8 all 0
    std::vector<unsigned char> concFinite;    // every tracer concentration finite
    std::vector<unsigned char> calm;          // sendsNothing and concFinite both, kept beside them
    std::vector<unsigned char> settled;       // the velocity pass changes nothing while levels stay
    std::vector<unsigned char> dry;           // storage pass changes nothing without inflow
    std::vector<unsigned char> storageWork;   // cells the current storage pass computes (tracers)
    // 1 once a velocity pass computed the cell's shares; with cellType the type they left. Shares
    // are computed from the levels of the 3 x 3 neighbourhood (and the fixed terrain, curvature
    // and river flag, a moved river marking the level changed): while no level changed they come
    // out as they are.
    std::vector<unsigned char> sharesKnown;
    std::vector<unsigned char> cellType;
    // Basin cells in rows lo..hi that another process computes, with their depth seen last.
    struct ForeignCell {
        int r, c;
        std::size_t flag;  // FlagIndex(r, c)
        double level;
    };
    std::vector<ForeignCell> foreignCells;
    void SplitRows();
    // The exchanges of the sub steps under way: the levels after a storage pass (and at the
    // start of a call), the fluxes after a velocity pass.
    mpirows::HaloExchange levelExchange, fluxExchange;
    // The call's own rows of the step-times table (TALVO_STEP_TIMES).
    enum CallPart { kCallEnds, kVelocityPasses, kStoragePasses, kHaloWaits, kSubStepAgreement };
    PartSeconds callTimes{"surface routing: start and end", "surface routing: velocity passes",
                          "surface routing: storage passes", "surface routing: halo waits",
                          "surface routing: sub-step agreement"};
    // Storage and depth of each own cell (index of ownCols) as the last call left them.
    struct LevelSeen {
        double storage, depth;
    };
    std::vector<LevelSeen> levelSeen;
    // Per cell of the own rows (same index): bit d set when neighbour d (0: the cell) is in the
    // grid and not nodata in the zone grid (exists), and when its zone value is > 0 (inside).
    std::vector<std::uint16_t> existsMask, insideMask;
    // A row of flags holds columns 0 .. ncols + 1 and eight more, so that the flags of eight
    // cells from any column 1 .. ncols on, and of their neighbours, are read as one word each
    // without reaching into the next row.
    std::size_t FlagStride() const { return static_cast<std::size_t>(ncols) + 10; }
    std::size_t FlagIndex(int r, int c) const {
        return static_cast<std::size_t>(r - lo + 1) * FlagStride() + static_cast<std::size_t>(c);
    }
    std::vector<unsigned char> ownFlag;  // 1 for own basin cells, 0 elsewhere
    // 1 for own river cells, taken from the river grids at the start of each call of run.
    std::vector<unsigned char> riverFlag;
    void BuildQuietCells();
    // At the start of a call, for an own cell (index i of ownCols, flag index f): marks its level
    // changed when its storage or depth differs from what the last sub steps left (or the river
    // moved), and takes its dry and finite flags anew from the water the call starts with.
    void NoteStartOfCall(int r, int c, std::size_t i, std::size_t f, bool riverMoved);
    // Writes, for the quiet cells (flags of columns c0 .. c0 + 7) of a call's first two velocity
    // passes, the count of unchanged shares that computing them would write.
    void KeepQuietShares(int r, int c0, std::uint64_t quiet, long k);
    void NoteForeignLevels();
    void NoteForeignFluxes();
    // The cells f .. f + 7 of a row whose velocity / storage pass must be computed, one byte
    // each (1: compute): own basin cells, all of them unless quiet cells are skipped. changed
    // receives LevelsChangedAround(f) where quiet cells are skipped and the block holds own cells
    // (0 elsewhere), so that the pass takes the neighbourhoods' levels once per block.
    std::uint64_t VelocityWork(std::size_t f, bool skip, std::uint64_t* changed) const;
    // The cells f .. f + 7 (one byte each) a level of whose 3 x 3 neighbourhood changed in the
    // last storage pass or since the last call.
    std::uint64_t LevelsChangedAround(std::size_t f) const;
    std::uint64_t StorageWork(std::size_t f, bool skip) const;
    bool Settled(int r, int c, long k, bool sameWeights) const;
    bool DryAfterStorage(int r, int c, bool river) const;
};

// Looked up for every cell at the end of each pass: defined here so that the loops take it in.
inline int surfaceroutingclass::Subbasin(int r, int c) const {
    const int code = static_cast<int>((*(*gridStore)[1].grid)[r][c]);
    if (code < 0 || static_cast<std::size_t>(code) >= zoneIndex->size()) return 0;
    return (*zoneIndex)[static_cast<std::size_t>(code)];
}

// The masks of a block of eight cells, looked at in every sub step for every block of the own
// rows: defined here so that the passes take them in.
inline std::uint64_t surfaceroutingclass::LevelsChangedAround(std::size_t f) const {
    const std::size_t stride = FlagStride();
    std::uint64_t changed = 0;
    for (const std::size_t row : {f - stride, f, f + stride})
        changed |= surfrout::LoadFlags(&levelChanged[row - 1]) | surfrout::LoadFlags(&levelChanged[row]) |
                   surfrout::LoadFlags(&levelChanged[row + 1]);
    return changed;
}

inline std::uint64_t surfaceroutingclass::FiniteAround(std::size_t f) const {
    const std::size_t stride = FlagStride();
    std::uint64_t finite = ~std::uint64_t{0};
    for (const std::size_t row : {f - stride, f, f + stride})
        finite &= surfrout::LoadFlags(&concFinite[row - 1]) & surfrout::LoadFlags(&concFinite[row]) &
                  surfrout::LoadFlags(&concFinite[row + 1]);
    return finite;
}

inline std::uint64_t surfaceroutingclass::VelocityWork(std::size_t f, bool skip, std::uint64_t* changed) const {
    *changed = 0;
    const std::uint64_t own = surfrout::LoadFlags(&ownFlag[f]);
    if (!skip || own == 0) return own;
    // Quiet: settled, and no level of the 3 x 3 neighbourhood changed.
    *changed = LevelsChangedAround(f);
    return own & (~surfrout::LoadFlags(&settled[f]) | *changed);
}

inline std::uint64_t surfaceroutingclass::StorageWork(std::size_t f, bool skip) const {
    const std::uint64_t own = surfrout::LoadFlags(&ownFlag[f]);
    if (!skip || own == 0) return own;
    // Quiet: dry, nothing sent by the cell or a neighbour, with tracers every concentration of
    // the 3 x 3 neighbourhood finite (without tracers every cell counts as finite).
    const std::size_t stride = FlagStride();
    std::uint64_t quiet = surfrout::LoadFlags(&dry[f]);
    for (const std::size_t row : {f - stride, f, f + stride})
        quiet &= surfrout::LoadFlags(&calm[row - 1]) & surfrout::LoadFlags(&calm[row]) &
                 surfrout::LoadFlags(&calm[row + 1]);
    return own & ~quiet;
}

inline bool surfaceroutingclass::Settled(int r, int c, long k, bool sameWeights) const {
    if (k < 1 || !sameWeights || !surfrout::PositiveZero(totalInput[r][c])) return false;
    const double* v = velocity[r][c];
    const double* q = fluxes[r][c];
    for (int d = 1; d <= 8; ++d)
        if (!surfrout::PositiveZero(v[d])) return false;
    for (int d = 0; d <= 8; ++d)
        if (!surfrout::PositiveZero(q[d])) return false;
    return true;
}
