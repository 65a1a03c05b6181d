#pragma once
// Silting-up of the soil surface of tilled land ("[SiltingUpModel]"): per cell and step the rain
// intensity and its kinetic energy since the last rain pause, the time since the last soil
// tillage, a silting-up disposition and an infiltration capacity that falls with the energy;
// the water on the surface beyond the capacity leaves as direct runoff, the rest stays in the
// water-input grid for the soil model. The laws are built in (methods 1 and 2) or written as
// formulas in the control file (method 3). The cell physics is in siltingup_physics.hpp.
//
// Files: siltingup.cpp (construction, grids, links, teardown), siltingup_config.cpp (section),
// siltingup_step.cpp (time step, cell loop, response units, statistics).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/zonestat.hpp"
#include "lateral/siltingup_physics.hpp"
#include "submodel/ownoutputs.hpp"
#include "submodel/teilmod.hpp"
#include "submodel/zonesums.hpp"

class ExprParser;
class ExprVariables;

class siltingupclass : public teilmodellklasse {
public:
    siltingupclass(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    ~siltingupclass() override;

    // Chooses the water-input grid once: with interception first "snowcover_outflow",
    // "throughfall0", "precipitation", else "throughfall0", "snowcover_outflow", "precipitation".
    // LinkTracerGrids, called after it, takes the input's concentration in the same order.
    void SelectInputGrid(bool interceptionFirst);
    void UpdateInputGrid(bool interceptionFirst);
    void LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount);
    void FreeTracerGrids() override;
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;
    // Writes the buffered lines of the SDISP and QDSU statistics.
    void WriteStatistics();

    using OwnGrid = ::OwnGrid;
    using StatOutput = ::StatOutput;
    // The soil values the cell step needs, per soil table position.
    struct SoilValues {
        double K = 1, sand = 0, silt = 0, clay = 0;
        double par[11] = {0};  // "SU_PAR00".."SU_PAR10"
        silting::SoilLaws laws;  // of the built-in laws with the section's parameters
    };
    // Variables of the formulas, in the order they are set for a cell.
    static constexpr const char* kVariableNames[18] = {"A", "B", "C", "D", "E", "F", "G", "H", "I",
                                                       "J", "K", "L", "M", "N", "O", "P", "Q", "R"};

    // ---- section values
    int method = 0;
    StatOutput statDisposition, statRunoff;  // SDISP, QDSU
    OwnGrid disposition, rainPause, kineticEnergy, timeSinceTillage, directRunoff;
    int readGrid = 0;
    silting::BuiltInParameters parameters;
    std::vector<std::string> expressions;
    // Expressions [0, firstCapacityExpression) run before the energy, the rest after it.
    std::size_t firstCapacityExpression = 0;
    // Per subbasin index 1..zoneCount: the code given in the section (-1 taken from below, 0
    // none) and the minimum rain pause in days.
    std::vector<int> subbasinCodes;
    std::vector<double> minRainPause;

    // ---- linked grids
    bool routingWeightsLooked = false;
    bool routingWeightsFound = false;
    const Matrix* elevation = nullptr;
    Matrix* waterInput = nullptr;
    bool interceptionFirst = false;
    int landuseLayers = 1;
    std::vector<const Matrix*> landuse;           // 1..landuseLayers
    std::vector<const Matrix*> vegetationCover;   // 1..landuseLayers
    const Matrix* soilTypes = nullptr;
    Matrix* surfaceStore = nullptr;
    const Matrix* responseUnitGrid = nullptr;
    const Matrix* masterUnitGrid = nullptr;
    std::vector<const Matrix*> incomingFlux;  // tracer flux concentrations, 1..tracerCount

private:
    // Construction (siltingup.cpp, siltingup_config.cpp).
    void Construct();
    void LinkInputGrids();
    void ReadSection();
    void ReadMethodAndStatistics();
    void ReadGridName(OwnGrid& grid, const char* nameKey, const char* codeKey);
    void ReadSubbasinGroups();
    void ReadReadGrid();
    void ReadExpressionBlock();
    void SplitExpressions();
    void CloseControlFile();
    void CreateStatistic(StatOutput& out, const char* title);
    void CreateGrids();
    void CreateGrid(OwnGrid& grid, const char* name, bool fromFile);
    int NextFreeEntry() const;
    void PrepareSoilValues();
    void ReleaseAll();

    // Time step (siltingup_step.cpp).
    struct CellFailure;
    void ComputeCells(std::int64_t day, std::int64_t month, std::int64_t year);
    bool ComputeCell(int r, int c, int jd, std::int64_t day, std::int64_t month, std::int64_t year,
                     ExprParser* parser, CellFailure& failure);
    void MoveTracers(int r, int c, double input, double store);
    bool EvaluateGroup(ExprParser& parser, std::size_t from, std::size_t to, CellFailure& failure);
    void ThrowCellFailure(const CellFailure& local, std::int64_t day, std::int64_t month, std::int64_t year);
    void CopyResponseUnits();
    // The tables' zone sums of the step, in the order of the cells, with threads.
    void AddStatistics();
    std::vector<ZoneSumTarget> statTargets_;  // the step's outputs: disposition, runoff, tracers
    std::vector<std::size_t> statSumBase_;    // the first sum of each output (AddStatistics)
    // Per piece of rows and sum: the addends kept in the order of the cells, and the cells
    // counted (kept from step to step).
    std::vector<std::vector<double>> statAddends_;
    std::vector<std::int64_t> statCounts_;
    bool OwnCell(int r, int c) const;
    int SubbasinOf(int r, int c) const;
    const landuse_entry* LanduseAt(const Matrix* grid, int r, int c) const;
    const SoilValues& SoilAt(int r, int c) const;

    std::vector<SoilValues> soilValues_;  // per soil table position; [0] the default soil
    bool constructed_ = false;
    bool unitWarningGiven_ = false;
};
