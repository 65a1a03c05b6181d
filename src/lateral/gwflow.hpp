#pragma once
// Multi-layer groundwater flow ("[groundwater_flow]"): the heads of a stack of aquifer layers
// solved every step by successive over-relaxation, leakage between the layers, the base flow
// handed back to the soil model, a control-point file and tracer concentrations per layer.
//
// Files by concern: gwflow.cpp (section, lake settings, life cycle), gwflow_grids.cpp (grid
// look-ups, created grids, start heads), gwflow_step.cpp (the time step and its passes),
// gwflow_output.cpp (write codes, control point), gwflow_tracer.cpp (tracer grids and
// mixing) and gwflow_numerics.* (the solver's arithmetic).
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kernel/replacingfile.hpp"
#include "kernel/zonestat.hpp"
#include "lateral/gwflow_numerics.hpp"
#include "submodel/teilmod.hpp"

struct riverflow_table;

class gwflowclass : public teilmodellklasse {
public:
    static constexpr long kBufferBytes = 2097152;
    static constexpr double kEdgeValue = -8888.0;

    gwflowclass(unsigned& error, DiagLog* log, const SubmodelSettings& settings, unsigned numSubSteps);
    ~gwflowclass() override;

    void SetNumSubSteps(unsigned n) override { numSubSteps = n; }
    void CreateTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                           int tableCount);
    void FreeTracerGrids() override;
    // Kept for the soil model's exchange; the groundwater model does not read them.
    int SetRiverflowTable(riverflow_table* table);
    int SetQg(RunoffArray* qg);
    void BeginTimeStep(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;
    void WriteOutputs(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    void FlushStatistics();

    // What a layer's solve found on this process, for the report after the solves: the sum, count
    // and largest of the changes of the cells whose heads turned, and the adaptive factors of the
    // last sweep.
    struct SolveReport {
        std::int64_t oscillations = 0, factorCount = 0;
        double oscillationSum = 0, oscillationMax = 0, factorSum = 0;
    };
    // One aquifer layer: its names and write codes, the grids looked up and the grids created.
    struct Layer {
        std::string headName, oldName, oldOldName, oldIterName, txName, tyName, balanceName;
        long headCode = 0, txCode = 0, tyCode = 0, balanceCode = 0;
        Matrix* thickness = nullptr;
        Matrix* kx = nullptr;
        Matrix* ky = nullptr;
        Matrix* storage = nullptr;
        Matrix* fixH = nullptr;
        Matrix* fixQ = nullptr;
        Matrix* kolmation = nullptr;  // interface to the layer below (none in the last layer)
        Matrix head, headOld, headOldOld, headIter, tx, ty, flowX, flowY, balance, leakage, top;
        int headIndex = 0, oldIndex = 0, oldOldIndex = 0, iterIndex = 0, txIndex = 0, tyIndex = 0, flowXIndex = 0,
            flowYIndex = 0, balanceIndex = 0, leakageIndex = 0, topIndex = 0;
        int sweeps = 0;  // sweeps of the last step
        double lastChange = 0;
        int bandFirst = 0;  // first row of the band of row groups of the last step's sweeps
        SolveReport report;
    };
    // Tracer grids and statistics of one tracer in one layer.
    struct TracerLayer {
        Matrix conc;
        int index = 0;
        std::string fileName, statFileName;
        std::vector<zoneFZT> zones;
        std::unique_ptr<zonalstatistic> stat;
    };
    struct GwTracer {
        std::vector<TracerLayer> layers;  // 1..L
        Matrix flux;
        // The values of the layer whose new values were last copied, as the step found them: the
        // layer below mixes with them, as the layer above saw its own values when it mixed.
        Matrix above;
        int fluxIndex = 0;
        double decay = 1.0;
        bool decays = false;  // radioactive flag of the descriptor not 0
    };
    // A control-point record: date and six values per layer.
    struct ControlRecord {
        std::int64_t year = 0, month = 0, day = 0, hour = 0;
        std::vector<double> values;
    };

    // ---- settings
    int method = 0;
    int maxiter = 0;
    double maxErrorAllowed = 0;
    double alpha = 1;
    double sorParameter = 1;
    bool adaptive = false;
    int gridReadParameter = 0;
    int layerCount = 0;
    int controlRow = 0, controlCol = 0;
    std::string controlFileOut;
    int usePondFlag = 0;
    bool usePond = false;
    int lakeFlowControl = 0, lakeInitMethod = 0;

    std::vector<Layer> layers;  // 1..L
    std::vector<GwTracer> gwTracers;  // 1..n

    // ---- linked grids
    Matrix* elevation = nullptr;
    Matrix* recharge = nullptr;
    Matrix* gwDistance = nullptr;
    Matrix* soilTypes = nullptr;
    Matrix* baseflow = nullptr;
    int baseflowIndex = 0;
    int storage1Index = 0;
    Matrix* cellSizeX = nullptr;
    Matrix* cellSizeY = nullptr;
    Matrix* glacier = nullptr;
    Matrix* thawDepth = nullptr;
    Matrix* frozenSoil = nullptr;
    Matrix* surfStorage = nullptr;
    Matrix* pond = nullptr;
    Matrix* lakeCodes = nullptr;
    riverflow_table* riverflow = nullptr;
    RunoffArray* qg = nullptr;

    // ---- step state
    double dx = 0, dy = 0;
    double dtSeconds = 0;
    std::int64_t tracerTableStep_ = -1;  // the date of the step whose rows the tracer tables hold
    std::int64_t oscillations = 0;
    double oscillationSum = 0, oscillationMax = 0;
    double factorSum = 0;
    std::int64_t factorCount = 0;
    std::vector<std::uint8_t> activeMask;  // (nrows + 2) x (ncols + 2): active cells
    std::vector<std::uint8_t> freeMask;    // active and not fixed-head (per layer, refilled)
    std::vector<gwnum::SorCell> sorCells;  // own rows x (ncols + 2): the solved layer's cell terms
    std::vector<double> sorLanes;          // the same terms laid out for the sweeps in vector registers
    std::vector<gwnum::RowSpan> sorSpans;  // own rows: the columns the sweeps update
    // Own rows: the first and last column in the zone grid (FillActiveMask); the passes of a step
    // give the cells beyond them (outside the basin) their constant values without looking them up.
    std::vector<gwnum::RowSpan> zoneSpans;
    // Per thread two rows of ncols + 2 cells as the faces see them: the row whose faces are
    // computed and the row below it, which becomes the next row's own cells.
    std::vector<gwnum::FaceSide> faceSides_;
    // agreementLag blocks of own rows x (ncols + 2): heads (and iterates) of the sweeps within the
    // limit whose agreement is still on its way, the block of sweep n at n % agreementLag
    std::vector<double> trialHeads;

    // ---- control point
    std::size_t controlCapacity = 0;
    std::vector<ControlRecord> controlRecords;
    std::size_t controlCount = 0;
    bool controlHere = false;
    // The control-point table: the table of the run before stays until this run's first rows.
    TableFile controlTable;

    // Capacity of the control-point buffer for L layers.
    static std::size_t ControlCapacity(int layerCount);
    // "_old" (or another suffix) before the last '.' of the file part of name.
    static std::string InsertSuffix(const std::string& name, const std::string& suffix);
    // Appends the buffered records to the control-point file and empties the buffer.
    void WriteControlPointFluxes(const std::string& file, const std::string& name, std::size_t count,
                                 const std::vector<ControlRecord>& records);

    // Whether a process waits for the processes to agree on the largest change after every sweep,
    // also where its own change shows that the sweeps go on (without a trial sweep meanwhile), and
    // for all its halo rows before a sweep, also for the rows below while it sweeps the rows
    // above, sweeps its rows in one piece and waits in MPI_Wait. A variable, so that a test can
    // compare both ways (they give the same results bit for bit).
    static inline bool waitForEveryAgreement = false;
    // How many sweeps a process within the limit sweeps on before it waits for the agreement on
    // the sweep at which it came within it (at least 1): the agreement goes on while it sweeps,
    // at the cost of that many sweeps taken back where the solve ended there. A variable, so that
    // a test can compare lags (they give the same results bit for bit).
    static inline int agreementLag = 3;

    // Passes of one step (public for the tests).
    void ComputeLeakage(int l);
    void StartLayerStep(int l);
    void ComputeTransmissivities();
    // The sweeps' view of layer l (its cell terms as last prepared).
    gwnum::SorLayer SweepView(int l);
    std::int64_t CountOscillations(int l);
    void ComputeFluxesAndBaseflow();
    void ComputeLayerBalance(int l, double dt);

private:
    void ReadSection();
    void CheckControlPoint();
    void ReadPondFlag();
    void ReadLayerNames();
    void ReadLakeModel(const std::string& section);
    void LookUpGrids();
    void SetLayerOneThickness();
    // Aquifer grids no aquifer can have (a thickness of 0 or below, a negative conductivity or
    // leakage, a storage coefficient outside [0, 1]) stop the construction on every process.
    void CheckAquiferGrids();
    void CreateLayerGrids();
    // The set-up's passes visit only the own cells in the zones: listed once per own row, in
    // column order (the order in which a scan of the row with InZone and Own meets them).
    void ListOwnZoneCells();
    std::span<const int> OwnZoneColumns(int r) const {
        const std::size_t i = static_cast<std::size_t>(r - firstRow);
        return {ownZoneColumns_.data() + ownZoneRowStart_[i], ownZoneRowStart_[i + 1] - ownZoneRowStart_[i]};
    }
    std::vector<int> ownZoneColumns_;
    std::vector<std::size_t> ownZoneRowStart_;  // own rows + 1: where each row's columns start
    void StartHeads(Layer& L, int l);
    void OpenControlPointFile();
    int TakeEntry(bool tracer = false);
    Matrix HaloMatrix();
    Matrix OwnMatrix();
    void Register(int& index, Matrix& m, const std::string& file, const std::string& name, long code, bool halo);
    void ReleaseAll();
    void FillActiveMask();
    // The passes of ComputeFluxesAndBaseflow on one own row.
    void FluxRow(int l, int r);
    void BaseflowRow(int r);
    // Sets h, h0 and hoo of the active fixed-head cells of layer l to their fixed heads.
    void SetFixedHeads(int l);
    // Marks the cells the sweeps of layer l update (freeMask): active cells without a fixed head.
    void MarkFreeCells(int l);
    // Adds the layers' oscillation figures over the processes, all layers together, and writes
    // each layer's report line in layer order; the model keeps the last layer's figures.
    void ReportSolves();
    std::vector<double> reportSums_;  // the figures ReportSolves sends and receives
    // The halo exchanges of the grid entries indices and of the linked grids given (those not
    // null), in this order, carried out together with one wait.
    void ExchangeHalos(std::span<const int> indices, std::initializer_list<Matrix*> linked = {});
    void SolveLayer(int l);
    // The last own row a sweep can reach before the halo rows below the own rows are needed, at a
    // whole number of row groups from the first row of the band of groups (lastRow: no such halo
    // rows).
    int SweepSplit(int bandFirst) const;
    // The first halo row below the first own row (lastRow + 2: none); rows from two above it on
    // read it.
    int FirstHaloRowBelow() const;
    // The heads (and with adaptive factors the previous iterates) of the cells the sweeps update,
    // kept before a sweep that may turn out not to be needed, and put back.
    // Block `slot` of the kept heads (slot < agreementLag); KeepTrialHeads keeps own rows from..to.
    void KeepTrialHeads(const gwnum::SorLayer& view, int slot, int from, int to);
    void RestoreTrialHeads(const gwnum::SorLayer& view, int slot);
    // The agreements of the processes on the sweeps' largest changes still under way
    // (gwflow_step.cpp); kept with the model so that their buffers outlive any one solve.
    struct SweepMaxima;
    std::shared_ptr<SweepMaxima> sweepMaxima_;
    // A sweep within the limit on this process whose agreement is still to be looked at.
    struct SweepCandidate {
        int sweep;
        gwnum::SweepResult result;
    };
    std::vector<SweepCandidate> candidates_;
    void AppendControlRecord();
    // Which of a cell's six inflows (north, east, south, west, above, below) bring the concentration
    // of the cell they come from rather than the cell's own.
    struct MixFaces {
        bool from[6];
    };
    // Both are defined beside the balance, the only caller, and taken into its cell loops.
    // A tracer's rows a row r of layer l mixes with (null where there is no such row): its
    // concentrations in the row, the rows above and below and the layer below, the values of the
    // layer above as they were before their copy, and the new concentrations.
    struct TracerRows {
        const double *conc = nullptr, *north = nullptr, *south = nullptr, *above = nullptr, *below = nullptr;
        double* flux = nullptr;
    };
    // rows[t] for every tracer t (from 1).
    void TracerRowsOf(int l, int r, TracerRows* rows) const;
    // The balance and the mixing of row r of layer l (zoneCodes: the number of zone codes
    // zoneIndex maps, 0 without it; mixRows: a block of the tracers' rows to fill); kept: the row
    // of the water of its mixed cells (kKeep; else each mixed cell is added to the zone sums at once).
    template <bool kKeep>
    void BalanceRow(int l, int r, double dt, double zoneCodes, TracerRows* mixRows, double* kept);
    // Both take the tracers 1 to slots - 1 (slots: gwTracers.size(), counted once per pass).
    // Mixes the tracers of cell c of the row given by rows: the start water volume, the six
    // inflow volumes of the step (north, east, south, west, above, below) and the water the new
    // concentration belongs to.
    [[gnu::always_inline]] inline void TracerMixing(const TracerRows* rows, std::size_t slots, int c, double volume,
                                                    const double* inflow, double water, const MixFaces& faces);
    // Adds a mixed cell's new concentrations and the water it keeps to the tracers' zone sums
    // (zone and rel: its row of the zone grid and of the cell areas, null where there is none;
    // zones: the number of zone codes zoneIndex maps, 0 without it).
    [[gnu::always_inline]] inline void AddTracerZones(int l, const TracerRows* rows, std::size_t slots, double zones,
                                                      const double* zone, const double* rel, int c, double water);
    void CopyTracers(int l);

    // Cell look-ups of every pass, defined here so that the cell loops inline them.
    bool Own(int r, int c) const {
        return mpiRegions == nullptr || !mpiRegions->holds(r) || static_cast<int>((*mpiRegions)[r][c]) == rank;
    }
    double ZoneValue(int r, int c) const {
        return zoneGrid != nullptr && zoneGrid->holds(r) ? (*zoneGrid)[r][c] : nodata;
    }
    bool InZone(int r, int c) const { return ZoneValue(r, c) != nodata; }
    // The columns of row r a pass looks at one by one: those of its zone span (every column before
    // the first step's FillActiveMask); the others are outside the zone grid.
    gwnum::RowSpan ZoneColumns(int r) const {
        const std::size_t i = static_cast<std::size_t>(r - firstRow);
        return i < zoneSpans.size() ? zoneSpans[i] : gwnum::RowSpan{1, ncols};
    }
    // Sets the cells of row (the row of a grid) beyond span to v.
    void FillBeyond(double* row, gwnum::RowSpan span, double v) const {
        if (span.first > span.last) {
            std::fill(row + 1, row + ncols + 1, v);
            return;
        }
        std::fill(row + 1, row + span.first, v);
        std::fill(row + span.last + 1, row + ncols + 1, v);
    }
    double Glacier(int r, int c) const {
        if (glacier == nullptr) return 0.0;
        const double g = (*glacier)[r][c];
        return g < 0 ? 0.0 : (g > 1 ? 1.0 : g);
    }
    // Glacier(r, c) from the row of the glacier grid (null: no glacier grid).
    static double GlacierOf(const double* row, int c) {
        if (row == nullptr) return 0.0;
        const double g = row[c];
        return g < 0 ? 0.0 : (g > 1 ? 1.0 : g);
    }
    bool ZonesConnect(int r1, int c1, int r2, int c2) const {
        return flowControl != 3 || ZoneValue(r1, c1) == ZoneValue(r2, c2);
    }
    double Dx(int r, int c) const { return cellSizeX != nullptr ? (*cellSizeX)[r][c] : dx; }
    double Dy(int r, int c) const { return cellSizeY != nullptr ? (*cellSizeY)[r][c] : dy; }
    int HaloFirst() const { return firstRow > 1 ? firstRow - 1 : 1; }
    int HaloLast() const { return lastRow < nrows ? lastRow + 1 : nrows; }
    // Whether the own rows are worth a team of threads (see gwnum::threadedCells).
    bool Threaded() const {
        return static_cast<std::int64_t>(lastRow - firstRow + 1) * ncols >= gwnum::threadedCells;
    }
    std::int64_t Cell(int r, int c) const { return static_cast<std::int64_t>(r) * (ncols + 2) + c; }
    std::vector<int> createdIndices_;
    std::vector<int> haloIndices_;       // the entries of the step's exchanges together
    std::vector<Matrix*> haloGrids_;
};
