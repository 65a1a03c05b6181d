#pragma once
// Discharge routing ("[routing_model]"): routes the runoff of every subbasin through the network
// of routing descriptions (channels with water-level/discharge tables, inflows, abstractions,
// reservoirs) to the subbasin outlets. It runs on MPI process 0; on the other processes it is
// switched off and keeps only the requested flow control for the lake coupling.
#include <memory>
#include <string>
#include <vector>

#include "kernel/zonestat.hpp"
#include "routing/description.hpp"
#include "routing/routingclass.hpp"
#include "submodel/teilmod.hpp"

struct riverflow_table;

class abflussmodellklasse : public teilmodellklasse {
public:
    // settings carries the model's start date in place of the end date.
    abflussmodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings,
                        const TracerDescriptor* descriptors, int tracerCount = 0, int lakeReadGrids = 0);
    ~abflussmodellklasse() override;
    // The title of the routed-discharge table for an output unit.
    static const char* UnitTitle(int unit);

    // --- links (each returns at once when the module is not active)
    virtual void SetRunoffSource(RunoffArray* qg);
    virtual void SetRiverflowTable(riverflow_table* table);
    virtual void SetIrrigationTable(std::vector<zoneFZT>* table);
    virtual RunoffArray* GetMaxIrrig() { return Active() ? &maxirrig : nullptr; }
    virtual RunoffArray* GetMaxIrrigFromReservoirs() { return Active() ? &maxirrigFromReservoirs : nullptr; }
    // The three network arrays side by side: [0] tributaries, [1] next subbasin, [2] description.
    virtual std::vector<int>* GetRoutingTarget() { return Active() ? targets.arrays : nullptr; }
    virtual SubbasinValues* GetAbfrel() { return Active() ? &abfrel[0] : nullptr; }
    // Sets the output unit when active; returns the flow control.
    virtual int SetOutputUnit(int unit);
    // Flow arrays, connections of internal inflows, channel fillings and initialisation passes.
    virtual void CheckConnectionsAndInitRouting();
    virtual void ReadLakeCodes(const std::string& section);
    virtual void InitLakeModel(bool interceptionFirst);
    // Gives the ponding storage and tracer concentrations of the lake cells from process 0 back
    // to the cells' processes (all processes call it; nothing moves unless the grid is divided):
    // after each step and after the set-up, whose initialisation passes level the lakes again.
    void DistributeLakePonding();
    // The state section of the storage content file: read at set-up for start modes other than
    // 0, 2 and 4, written first (the file created anew) at the end of the run.
    virtual void ReadStorageState(const std::string* fileName, unsigned startMode);
    virtual void WriteStorageState();
    [[noreturn]] virtual void StorageMismatch(const std::string& name, double controlValue, double fileValue);
    // Occurrences of text in line, overlapping ones included.
    virtual int CountSubstring(const std::string& line, const std::string& text) const;
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;
    // Writes the buffered rows of the routed discharge, the tracers and the element files.
    virtual void WriteOutputs();
    virtual void Finish();

    // Routed discharge of subbasin tg in the output unit (mm per step or m3/s).
    double SimulatedDischarge(int tg) const;
    // Number of initialisation passes for the largest flow times of the descriptions.
    static int InitialisationPasses(const std::vector<double>& largestFlowTimes, double dt);

    bool Active() const { return flowControl != 0; }
    // True on a process other than 0 when the routing is switched on: it runs on process 0,
    // whose arrays the sub-models coupled to it (irrigation) use there alone.
    bool RunsOnProcessZeroOnly() const { return !Active() && routingRequested != 0 && rank != 0; }
    int DescriptionCount() const { return nDesc; }
    routingclass& Description(int n) { return *routings[static_cast<std::size_t>(n)]; }
    const routing::RoutingTargets& Targets() const { return targets; }

    // ---- fields
    riverflow_table* riverflowTable = nullptr;  // the soil model's river records; not owned
    routing::ElementCounts totals;               // over all descriptions
    int nDesc = 0;
    std::string statFileName, observedFileName;
    long statOutputCode = 0;
    int descriptorCount = 0;
    std::vector<zoneFZT>* irrigationTable = nullptr;
    RunoffArray maxirrig, maxirrigFromReservoirs;
    routing::RoutingTargets targets;
    int rSquareOffset = 0;
    int rSquareCounter = 0;
    std::unique_ptr<TimeSeriesTable> observed;
    std::unique_ptr<routstatistic> statistic;  // routed discharge per subbasin
    std::vector<zoneFZT> statRecords;
    int headerResult = -1;
    int observedInflow = 0;
    SubbasinValues abfrel[2];
    RunoffArray savedRunoff;
    RunoffArray working;
    RunoffArray* runoffSource = nullptr;  // Qg of surface routing or the soil model; not owned
    routing::FlowHistory inflowHistory;
    ObservationWindow window;                // 21 rows of ncol+1 values, or empty
    int observedDate[4] = {0, 0, 0, 0};
    std::vector<int> observedColumn;  // per subbasin index, 0 = none
    int largestDelayLine = 0;
    int endOfTableCounter = 0;
    // The observed table's rows follow the steps one by one: the minutes of the last row read
    // (-1 before the start row) and its date, against which the next row's date is checked.
    long long observedMinutes = -1;
    int lastObservedDate[4] = {0, 0, 0, 0};
    void CheckObservedRow();
    int ncol = 0;
    int nSub = 0;
    double qmin = 0, qmax = 0, nIntervals = 0;
    std::vector<std::unique_ptr<routingclass>> routings;  // 1..nDesc
    // The descriptions with inflow elements, the only ones that read inflows in a step; found
    // at the first step (the network is complete by then).
    std::vector<int> inflowDescriptions;
    bool inflowDescriptionsFound = false;
    int outputUnit = 0;
    int lakeReadGrids = 0;
    int routingRequested = 0;
    Matrix precOnLakes;
    int precOnLakesIndex = 0;
    int nSb = 0;
    int nTr = 0;
    int startDate[4] = {0, 0, 0, 0};  // year, month, day, hour

    // Goodness of fit per lag 0..20 and subbasin, of the values and of their logarithms.
    LagTables fitValues, fitLogs;
    struct TracerOutput {
        std::vector<zoneFZT> records;
        std::unique_ptr<zonalstatistic> statistic;
        std::string fileName;
    };
    std::vector<TracerOutput> tracerOutputs;  // 1..nTr
    std::vector<double> decayPerStep, decayPerSubInterval;
    std::string storageFileName;  // as given at set-up, without path
    int initialisationPasses = 0;
    // Lake coupling: flag of "[lake_model]", grid-store indices and lake cells per process.
    int lakeModelling = 0;
    int lakeCodesIndex = 0;
    int pondingIndex = 0;
    std::vector<std::int64_t> lakeCellsPerRank;
    int waterInputIndex = 0;       // grid of the water input that falls on the lakes
    routing::LakeGrids lakeGrids;  // the grids the lakes of the descriptions work on
    routing::LakeGrids ownLakeGrids;  // this process's grids of the lake cells
    // With the grid divided among processes: the lake cells of every process (all on process 0)
    // and process 0's copy of the lake rows of the grids the lakes work on.
    bool lakeCellsDivided = false;
    RegionCells lakeCells;
    struct LakeRows {
        Matrix codes, maxPonding, zones, elevation, ponding, transpiration, downflow, baseflow, precipitation;
        std::vector<Stack> tracers;  // [1..nTr], level 0 only
    } lakeRows;
    bool finished = false;

private:
    friend class NetworkBuilder;
    void InitTracerOutputs();
    void FreeTracerOutputs();
    void IrrigationDemand();
    void IrrigationAvailability();
    // What rivers and reservoirs offer irrigation in the next step, kept by the state file.
    void WriteIrrigationAvailability(std::FILE* f) const;
    void ReadIrrigationAvailability(std::FILE* f, const std::string& name);
    void CompareWithObserved();
    void AddFitSums(int tg, int column);
    void ShiftWindow();
    void WriteStatistics();
    void FillHistory();
    void ConnectInternalInflows();
    void RouteInitialisationPasses();
    void CollectLakeCells();
    // The water input of the lake cells into "PrecOnLakes" on process 0.
    void CollectWaterInput();
    void Construct();
    void ReadTableSettings();
    void ReadObservedDescriptors();
    void RegisterPrecOnLakes();
    // The lake grids of this process (their pointers null where a grid is missing).
    routing::LakeGrids FindLakeGrids();
    // Process 0's lake rows: allocated over the rows of the lake cells, the static grids and
    // the state of the cells gathered into them.
    void GatherLakeRows();
    void BuildNetwork();
    void SkipToDescriptions();
    void ReadOutputUnit();
    void CreateStatistic();
    void OpenObservedTable();
    void FillObservationWindow();
    [[noreturn]] void Fatal(const std::string& text, int code);
};
