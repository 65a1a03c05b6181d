#pragma once
// Interception ("[interception_model]"): per cell and vegetation layer the water held on the
// leaves, the throughfall and the evaporation from the leaves. Layer 0 holds the cell totals;
// "throughfall0" is the water that reaches the ground. Methods 1 and 2 run after the snow
// model on its outflow, 11 and 12 before it on the precipitation.
//
// Files: interzep.cpp (section, grids, statistics, links, teardown), interzep_step.cpp (the
// time step), interception_physics.hpp (one layer of one cell).
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/zonegroups.hpp"
#include "kernel/zonelanes.hpp"
#include "kernel/zonestat.hpp"
#include "submodel/ownoutputs.hpp"
#include "submodel/teilmod.hpp"
#include "submodel/zonesums.hpp"
#include "surface/interception_physics.hpp"

// The file name of vegetation layer k: "_Layer_k" inserted before the last '.', or appended
// to a name without '.'. Layer 0 keeps the name.
std::string LayerFileName(const std::string& name, int layer);

class interzeptionsmodellklasse : public teilmodellklasse {
public:
    interzeptionsmodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    ~interzeptionsmodellklasse() override;

    // Above 10 interception runs before snow; 0 when the module is off.
    int GetMethod() const { return flowControl > 0 ? method : 0; }
    // The base tracer set-up, then the input concentration of every tracer.
    void LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount);
    void FreeTracerGrids() override;
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;
    void FlushStatistics();

    using OwnGrid = ::OwnGrid;
    // The three grids and statistics of one layer (0: the cell totals).
    struct Layer {
        OwnGrid throughfall, storage, evaporation;
        std::vector<zoneFZT> throughfallRecords, storageRecords, evaporationRecords;
        std::unique_ptr<zonalstatistic> throughfallStat, storageStat, evaporationStat;
    };
    // Inputs of one vegetation layer (1..n); evaporation demands also of layer 0.
    struct LayerInputs {
        const Matrix* landuse = nullptr;
        const Matrix* lai = nullptr;
        const Matrix* cover = nullptr;
    };

    // ---- parameters of "[interception_model]"
    int method = 0;
    std::string outflowName, evaporationName, storageName;
    int outflowCode = 0, evaporationCode = 0, storageCode = 0;
    std::string outflowStatName, evaporationStatName, storageStatName;
    int outflowStatCode = 0, evaporationStatCode = 0, storageStatCode = 0;
    double maxThickness = 0;
    int readGrid = 0;

    int layerCount = 1;
    std::vector<Layer> layers;            // 0..layerCount
    std::vector<LayerInputs> vegetation;  // 1..layerCount
    std::vector<Matrix*> potentialTranspiration;           // 0..layerCount
    std::vector<const Matrix*> interceptionDemand;         // 0..layerCount
    std::vector<const Matrix*> realTranspiration;          // 0..layerCount
    const Matrix* waterInput = nullptr;
    const Matrix* elevation = nullptr;
    const Matrix* glacier = nullptr;
    const Matrix* responseUnitGrid = nullptr;
    const Matrix* masterUnitGrid = nullptr;
    std::vector<const Matrix*> tracerInput;  // 1..tracerCount; null: no input concentration

private:
    void Construct();
    void ReadSection();
    void ReadStatistics(std::string& name, int& code, const char* key);
    void LinkInputGrids();
    void CreateGrids();
    void CreateGrid(OwnGrid& grid, const std::string& name, int writeCode, bool read);
    void CreateStatistics();
    std::unique_ptr<zonalstatistic> MakeStatistic(std::vector<zoneFZT>& records, const std::string& fileName,
                                                  int code, const std::string& title);
    void ReleaseAll();

    // Step work (interzep_step.cpp).
    struct RowView;
    // The cell work of the own rows (inside a parallel region: each thread takes rows).
    void InterceptRows(interception::Evaporation mode);
    // The zone statistics and the tracers' tables of the own cells, in row order.
    void AddCellStatistics(bool statistics);
    // Whether cell c of the row in view is in the basin and this process's.
    bool OwnCell(const RowView& view, int c) const;
    void ClearCell(int r, int c);
    void OneLayer(RowView& view, int r, int c, double P, interception::Evaporation mode);
    void SeveralLayers(RowView& view, int r, int c, double P, interception::Evaporation mode);
    // Capacity and cover of layer k at the cell; false when the layer has no land use there.
    bool Vegetation(const RowView& view, int k, int c, double* capacity, double* cover) const;
    // Points the view at row r of every grid the cell work reads or writes.
    void PointRows(RowView& view, int r);
    void TracersOfCell(int r, int c, double P, double cover, double storageBefore, double capacity,
                       const interception::LayerFluxes& f);
    // The outputs of the step's zone statistics that are on, each with its grid.
    void StartStatistics();
    // Adds the cell's values of the outputs of the lanes this thread owns, zone set in share.
    void AddStatistics(ZoneCellWeight& weight, const ZoneLaneShare& share, int r, int c, int zone, double g) const;
    // The share of cell (r, c) covered by glacier, 0..1.
    double GlacierShare(int r, int c) const {
        return glacier != nullptr ? std::clamp((*glacier)[r][c], 0.0, 1.0) : 0.0;
    }
    struct StatTarget {
        ZoneSumTarget target;
        const Matrix* grid;
        const zonalstatistic* statistic;
    };
    std::vector<StatTarget> statTargets_;
    // The tables the zone group tasks fill: the statistics of statTargets_ in order, then the
    // active tracers' tables (their tracers in statTracers_).
    std::vector<const zonalstatistic*> statOutputs_;
    std::vector<int> statTracers_;
    ZoneGroupTasks zoneTasks_;
    ZoneCellWeight statWeight_{nullptr, 0, 0};
    CellZoneGrid statZones_;
    template <class F>
    void ForEachStatistic(F&& f) {
        for (Layer& l : layers)
            for (zonalstatistic* s : {l.evaporationStat.get(), l.storageStat.get(), l.throughfallStat.get()})
                if (s != nullptr) f(*s);
    }

    // Row r of the grids of one layer, for the cell work along a row.
    struct LayerRow {
        double* storage = nullptr;
        double* evaporation = nullptr;
        double* throughfall = nullptr;
        double* etp = nullptr;
        const double* ei = nullptr;
        const double* landuse = nullptr;
        const double* lai = nullptr;
        const double* cover = nullptr;
    };
    // Row r of every grid of the cell work, as one thread sees it.
    struct RowView {
        std::vector<LayerRow> layers;  // 0..layerCount
        const double* input = nullptr;
        const double* zones = nullptr;
        const double* regions = nullptr;
    };
    std::vector<RowView> views_;  // one per thread
    long landuseCount_ = 0;
    bool constructed_ = false;
};
