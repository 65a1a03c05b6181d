#pragma once
// Irrigation ("[irrigation]"): per step the amount every irrigated cell receives, drawn from
// groundwater (up to the pumping capacity) or from surface water (up to what the reservoirs and
// rivers of the discharge routing can give), added to "precipitation" and reported per
// subbasin in two zone statistics tables. The cell work runs on process 0 over the whole grid
// between a gather and a scatter of the grids it reads and writes.
//
// Files: irrigate.cpp (section, grids, records, links, teardown), irrigate_step.cpp (the time
// step), irrigate_riverflow.cpp (the river records), irrigation_demand.hpp (one cell's amount),
// irrigation_supply.hpp (the surface-water supply per subbasin).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/zonestat.hpp"
#include "submodel/teilmod.hpp"
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

    struct StatOutput {
        std::string fileName;
        int code = 0;
        std::vector<zoneFZT> records;  // 0..N
        std::unique_ptr<zonalstatistic> stat;
    };
    StatOutput groundwaterStat, surfaceStat;
    // This step's surface-water records as the discharge routing takes them. The statistics
    // table folds the totals of its output interval into its own records, which then no longer
    // hold what the cells of this step received.
    std::vector<zoneFZT> withdrawal;  // 0..N

    // Grid-store entries of the grids looked up.
    int precipitationIndex = 0, codesIndex = 0, pumpingIndex = 0, amountsIndex = 0, soilMoistureIndex = 0;
    int lowerIndex = 0, upperIndex = 0, ratioIndex = 0, rootDepthIndex = 0, subbasinIndex = 0;
    // Cell weights of the statistics over the whole grid on process 0.
    Matrix cellWeights;
    bool hasCellWeights = false;

    // Links.
    RunoffArray* Qg = nullptr;
    riverflow_table* riverflow = nullptr;
    RunoffArray* maxirrig = nullptr;
    RunoffArray* maxirrigFromReservoirs = nullptr;
    RoutingTargetRows* routingTarget = nullptr;
    SubbasinValues* abfrel = nullptr;
    std::vector<int> tracerInputIndex;  // 1..tracerCount; 0: no input concentration
    std::vector<int> soilStoreIndex;    // 1..tracerCount

    // Seconds spent in the gathers and scatters, and in the whole step (for the benchmark).
    double transferSeconds = 0, stepSeconds = 0;

private:
    void Construct();
    void ReadStatistics(StatOutput& out);
    void CreateStatistic(StatOutput& out, const char* title);
    int Required(const std::string& name);
    void ReleaseAll();

    // Step work (irrigate_step.cpp).
    struct WholeGrids;
    void CellAmounts(WholeGrids& w);
    void SurfaceSupply(WholeGrids& w);
    void AddToPrecipitation(WholeGrids& w);
    int SubbasinOf(const WholeGrids& w, int r, int c) const;
    // Adds a cell's value to the record of its subbasin as the zone statistics weigh it.
    void AddRecord(StatOutput& out, int r, int c, int zone, double value, double weight);
    int CodeOf(const WholeGrids& w, int r, int c) const;
    [[noreturn]] void BadRoutingTarget(const irrigation::SupplyResult& result);

    // River records (irrigate_riverflow.cpp).
    std::vector<irrigation::RiverChannel> ReadChannels(int subbasins) const;
    void WriteChannels(const std::vector<irrigation::RiverChannel>& channels) const;

    int tableCount_ = 0;
};
