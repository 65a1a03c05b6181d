#pragma once
// Irrigation ("[irrigation]"): per step the amount every irrigated cell receives, drawn from
// groundwater (up to the pumping capacity) or from surface water (up to what the reservoirs and
// rivers of the discharge routing can give), added to "precipitation" and reported per
// subbasin in two zone statistics tables. Every process works on its own cells; the sums per
// subbasin are added in the row order of the whole grid, passed from owner to owner, so that they
// do not depend on the number of processes; the supply per subbasin is worked out on process 0.
//
// Files: irrigate.cpp (section, grids, records, links, teardown), irrigate_step.cpp (the time
// step), irrigate_riverflow.cpp (the river records), irrigation_demand.hpp (one cell's amount),
// irrigation_supply.hpp (the surface-water supply per subbasin).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/roworder.hpp"
#include "kernel/zonestat.hpp"
#include "submodel/ownoutputs.hpp"
#include "submodel/teilmod.hpp"
#include "surface/irrigation_demand.hpp"
#include "surface/irrigation_supply.hpp"

struct riverflow_table;

// Rows 0..2 of subbasin positions; row 1 names the subbasins whose unmet demand is drawn from
// rivers and the next subbasin of each chain below them (entries 1..N).
// The discharge routing's three network arrays side by side; row 1 holds, per subbasin, the
// subbasin its river flows into.
using RoutingTargetRows = std::vector<int>;

class irrigationclass : public teilmodellklasse {
public:
    static constexpr int kRoutingMissing = 60;

    irrigationclass(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    ~irrigationclass() override;

    void SetQg(RunoffArray* qg);
    // The surface-water records per subbasin, handed to the discharge routing; null when off.
    std::vector<zoneFZT>* GetIrrigationTable();
    void SetRiverflowTable(riverflow_table* table);
    void SetMaxIrrigation(RunoffArray* maxIrrigation, RunoffArray* fromReservoirs);
    void SetRoutingTarget(RoutingTargetRows* rows);
    void SetAbfrel(SubbasinValues* abfrel);
    void LinkSoilTracerStores();
    void FlushStatistics();
    void InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount) override;
    void FreeTracerGrids() override;
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;

    // Off, or switched to doing nothing by "SpinUp-switch" 1.
    bool Inert() const { return flowControl == 0 || settings.spinUpSwitch == 1; }
    // The amounts the rules keep (see kept_): written at the run's end beside the
    // soil model's irrigation amounts, when that grid is written for a warm start, and read back
    // when the run is one (a missing file starts from the amounts the cells received).
    void StartKeptAmounts(bool warmStart);
    static std::string KeptAmountsFileName(const std::string& amountsFileName);

    using StatOutput = ::StatOutput;
    StatOutput groundwaterStat, surfaceStat;
    // This step's surface-water records as the discharge routing takes them. The statistics
    // table folds the totals of its output interval into its own records, which then no longer
    // hold what the cells of this step received.
    std::vector<zoneFZT> withdrawal;  // 0..N

    // Grid-store entries of the grids looked up.
    int precipitationIndex = 0, codesIndex = 0, pumpingIndex = 0, amountsIndex = 0, soilMoistureIndex = 0;
    int lowerIndex = 0, upperIndex = 0, ratioIndex = 0, rootDepthIndex = 0, subbasinIndex = 0;
    // Cell weights of the statistics over the whole grid on process 0 (for the tables).
    Matrix cellWeights;
    int cellWeightsIndex = 0;
    bool hasCellWeights = false;
    // Every cell of every process adds a whole number to the sums of weights (its weight, whole
    // and at most 2^20, or 1 without one): those sums are exact in any order.
    bool wholeWeights_ = false;

    // Links.
    RunoffArray* Qg = nullptr;
    riverflow_table* riverflow = nullptr;
    RunoffArray* maxirrig = nullptr;
    RunoffArray* maxirrigFromReservoirs = nullptr;
    RoutingTargetRows* routingTarget = nullptr;
    SubbasinValues* abfrel = nullptr;
    std::vector<int> tracerInputIndex;  // 1..tracerCount; 0: no input concentration
    std::vector<int> soilStoreIndex;    // 1..tracerCount

    // Seconds spent passing sums and values between the processes, and in the whole step (for the
    // benchmark).
    double transferSeconds = 0, stepSeconds = 0;

private:
    void Construct();
    void ReadStatistics(StatOutput& out);
    void CreateStatistic(StatOutput& out, const char* title);
    int Required(const std::string& name);
    void ReleaseAll();

    // Step work (irrigate_step.cpp), on the own cells of each process.
    struct Grids;
    struct Shortage;
    Grids StepGrids();
    void CellAmounts(const Grids& g);
    void RecordAmounts(const Grids& g);
    // Process 0: the supply from reservoirs and rivers; the factors of a shortage.
    Shortage SurfaceSupply();
    // Every process learns process 0's failure code and whether there is a shortage (with its
    // factors), and process 0's river concentrations of every tracer.
    void ShareShortage(Shortage& s, int failure);
    void AfterShortage(const Shortage& s);
    // The amounts of the own cells (under a shortage the surface water's reduced) added to the
    // precipitation, the tracers mixed with the water of their origin.
    void AddToPrecipitation(const Grids& g, const Shortage& shortage);
    // Collective: the sums process 0 takes after the supply (the surface-water records of a
    // shortage, the tracers' records) in one pass along the row order.
    void RecordAfterSupply(const Grids& g, bool shortage);
    int SubbasinOf(const Grids& g, int r, int c) const;
    int CodeOf(const Grids& g, int r, int c) const;
    double CellWeight(const Grids& g, int r, int c) const;
    // Adds a cell's value to the sums (n, sx, RelCellSum, from sums[first] on) of its subbasin as
    // the zone statistics weigh them; zones: the records' count. Without weight the RelCellSum
    // is left to the caller (a copy of another record's sum of the same weights).
    template <class To>
    void AddRecord(const To& to, std::size_t first, std::size_t zones, double area, int zone, double value,
                   bool weight = true) const;
    // Collective: whether the weights of the cells are whole numbers on every process.
    bool WholeWeightsEverywhere();
    // Process 0: the accumulated sums into the records' fields n, sx, RelCellSum.
    void TakeSums(const double* sums, std::vector<zoneFZT>& records) const;
    [[noreturn]] void BadRoutingTarget(const irrigation::SupplyResult& result);

    // River records (irrigate_riverflow.cpp).
    std::vector<irrigation::RiverChannel> ReadChannels(int subbasins) const;
    void WriteChannels(const std::vector<irrigation::RiverChannel>& channels) const;

    int tableCount_ = 0;
    RowOrder order_;
    std::vector<irrigation::Rule> rules_;             // per irrigation code 0..tableCount_
    std::vector<std::vector<double>> riverConc_;      // per tracer: process 0's river concentrations
    std::vector<int> riverConcLengths_;               // per tracer: their lengths (ShareShortage)
    std::vector<double> sums_;
    // Per own cell with an irrigation rule, the amount the rule decided in the last step (nodata
    // elsewhere). The soil-moisture and ETR/ETP rules hold their amount from step to step; the
    // grid "irrigation_amounts" holds what the cells received instead, which a shortage reduces
    // and to which the soil model adds the water its columns draw from groundwater: taken as the
    // rule's amount, a lasting shortage would reduce it once more in every step (the water
    // irrigated would depend on the step length), and groundwater irrigation would grow without
    // bound.
    Matrix kept_;
    int keptIndex_ = 0;  // its grid-store entry; 0: not written
};
