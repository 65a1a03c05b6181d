#pragma once
// The meteorological input: interpolation of one input onto the grid (`meteointerpol`),
// precipitation correction ("[precipitation_correction]", required) and regional superposition
// ("[RegionalSuperposition]").
//
// meteointerpol reads the control-file section named after its input, positions its station
// files, regression file or grid list at the model start date (MeteoInputFiles), registers its
// result grid under the section name and computes it in every step: interpolation, scaling,
// limits, scenario change, scaling grid, zone statistics. Its operations live in files by
// concern: construction and the section in meteoint.cpp, the time step in meteoint_step.cpp,
// the per-cell methods in meteoint_methods.cpp, the preparations made once at construction
// (anisotropy, rotated coordinates, mesh direction, look-up stations, station mesh) in
// meteoint_geometry.cpp, and the elevation regression fitted to the stations of a step in
// meteoint_regression.cpp.
//
// The precipitation correction (precicorr.hpp) and the regional superposition
// (superposition.hpp) work on the interpolators' stations and results.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "submodel/teilmod.hpp"
#include "kernel/tsplines.hpp"
#include "kernel/zonegroups.hpp"
#include "kernel/zonestat.hpp"
#include "meteo/meteoinput.hpp"

class meteointerpol : public modelobject {
public:
    static constexpr int kMaxMethod = 12;
    // Look-up stations of a cell for bilinear interpolation, in this order (0 = none).
    enum Corner { kUpperRight, kUpperLeft, kLowerLeft, kLowerRight };
    // The elevation regression of a step: zone limits and the lines of zones 1..3 (index 0
    // unused).
    struct RegressionSet {
        double h1 = 0, h2 = 0;
        std::array<double, 4> a{}, b{};
    };

    // name: the input's section name and the internal name of its result grid, registered at
    // gridIndex. A failure code goes into error (103 for anything but a model error).
    meteointerpol(unsigned& error, DiagLog* log, const std::string& name, const SubmodelSettings& settings,
                  int gridIndex);
    ~meteointerpol() override;

    // ---- operations in the order of their slots
    virtual void SetWarnings(int value) { warningSwitch = value; }
    virtual void SetHourOffset(double hours) { hourOffset = hours; }
    virtual void GetDate(std::int64_t* h, std::int64_t* d, std::int64_t* m, std::int64_t* y) const;
    virtual void run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y);
    // run up to the zone statistics' sums of this process: the caller sums them over the
    // processes (ReduceZoneRecordSets over ZoneStatistics()'s records, together with other
    // statistics) and then calls ZoneStatistics().StepReduced with the step's date.
    // deferTeamStatistics: sums that a team of threads would make are left to
    // AccumulateStatisticsTogether (the function tells whether they were), so that the sums of
    // several inputs share one team.
    bool RunBeforeReduction(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y,
                            bool deferTeamStatistics = false);
    // The zone sums that RunBeforeReduction left to a team, of every input in one team run: each
    // statistic gets the additions of its own run, in the same order. tasks: kept by the caller
    // from step to step (its stretches serve again while the inputs stay the same).
    static void AccumulateStatisticsTogether(const std::vector<meteointerpol*>& inputs, ZoneGroupTasks& tasks);
    zonalstatistic& ZoneStatistics() { return *statistics_; }
    const zonalstatistic& ZoneStatistics() const { return *statistics_; }
    virtual void AdvanceRecords();
    virtual bool IsAtEnd() const;
    // Whether the input data end with the current record, before the end date.
    bool DataEndWithThisStep();
    // DataEndWithThisStep from the records read already, without a WARNING: 1 or 0, or -1
    // when the answer needs a read.
    int BufferedDataEnd() const;
    // The one interval of a run of two records against the modules' time step.
    void CheckOnlyInterval(std::int64_t stepMinutes);
    virtual void EndAtCurrentDate();
    virtual void FlushStatistics();
    virtual void Rewind();
    virtual void ReadStationRecords(int file);
    virtual void ReadRegressionRecords(int index);
    virtual void GetRecordForDate(int file);
    virtual void ReadGridListRecord();
    virtual void NextRegressionRecord(int index);
    virtual void ReadControlSection();
    virtual void ReadStationDescription(int file);
    virtual void FindStartDate(int file);
    virtual void FindStartDateInGridList();
    virtual void FindStartDateInRegressionFile(int index);
    virtual void MeanStationDistances();
    virtual void StationMeshToGrid(int file);
    virtual void ChooseLookUpStations(int files);
    virtual void DetermineMeshDirection();
    virtual void CreateRotatedCoordinates();
    virtual void CheckAnisotropy();
    // The first station of file 0 strictly inside the box around (x, y), in rotated
    // coordinates; 0 when there is none.
    virtual int FindStationInBox(double x, double y, double xFrom, double xTo, double yFrom, double yTo) const;
    virtual bool AnyNonZero(const int* flags, int n) const;
    virtual double ScenarioChange(double x, double y, int row, int column) const;
    // Per-cell methods: weights is the calling thread's array of n + 1 doubles.
    virtual double IDWWeights(double x, double y, int file, double* weights) const;
    virtual double IDWWeightsAnisotropic(double x, double y, int file, double* weights) const;
    virtual double Thiessen(double x, double y, int file) const;
    virtual double ThiessenWithLapseRate(double x, double y, double z, double lapse, double inversionHeight,
                                         double upperLapse) const;
    virtual double RegressionValue(double x, double y, double z) const;
    // Between the four look-up stations of the cell (row, column), in rotated coordinates.
    virtual double Bilinear(double x, double y, int file, int row, int column, double* weights) const;
    // The same between the given look-up stations (upper right, upper left, lower left, lower
    // right; 0 = none).
    double Bilinear(double x, double y, int file, const std::array<int, 4>& corners, double* weights) const;
    // The look-up stations of a cell whose (rotated) coordinates are x, y.
    std::array<int, 4> CornersAt(double x, double y) const;
    virtual double Determinant3(const double* a, const double* b, const double* c) const;
    // Fits the regression parameters to the current values of station file 0 (methods 10 and
    // 11); the time loop calls it before run.
    virtual void ComputeElevationRegression(int file);
    virtual void WriteOutputGrid();

    // The regression of set 0 (methods 2, 3, 10, 11; every value -N-1 otherwise) and its
    // replacement.
    RegressionSet GetRegressionSet(int index) const;
    void SetRegressionSet(int index, const std::array<double, 4>& a, const std::array<double, 4>& b, double h2);

    // Sets the scenario change of the day (or loads the scenario grid of the month).
    void UpdateScenario(std::int64_t d, std::int64_t m);

    // ---- access for the precipitation correction and the tests
    bool HasStations() const { return MeteoInputFiles::StationFileCount(method) > 0; }
    StationFile& Station(int file) { return input_->Station(file); }
    const Matrix& ResultGrid() const { return result; }
    const std::string& Description() const { return description; }
    const std::array<double, RegressionFile::kParameters>& RegressionParameters() const { return regression; }
    // True when the progress line is due at this step hour (run interval and hour offset).
    bool ProgressLineDue(std::int64_t stepHour) const;
    // Describes a method's line of the statistics header (empty for an unknown method).
    std::string DescribeMethod() const;
    // Look-up station of a corner of an own cell (0 = none).
    int LookUpStation(int row, int column, Corner corner) const;
    // What an evaluation at a point needs of its cell, whichever process holds the cell's row.
    struct PointCell {
        int row = 0, column = 0;
        bool held = false;  // false: no process holds the row
        double x = 0, y = 0, elevation = 0, scenario = 0;
        double coordX = 0, coordY = 0;  // "CoordX", "CoordY" of the cell, not rotated
        std::array<int, 4> corners{0, 0, 0, 0};
    };
    // Fills the cells of the list from the process holding each row (the lowest rank where two
    // share it): the cell's (rotated) coordinates with its look-up stations, its coordinates,
    // its elevation and its value of the scenario grid of the month (scenario methods 5 and 6).
    // Collective.
    void SharePointCells(std::vector<PointCell>& cells);
    // The columns of the station mesh, each with its station numbers from the south; empty
    // without a mesh.
    const std::vector<std::vector<int>>& MeshColumns() const { return meshColumns_; }

    // ---- fields
    std::string name;  // section name: the module name up to its first blank
    int method = 0;
    int warningSwitch = 0;
    int gridIndex = 0;
    struct StationLine {
        std::string fileName;
        std::string line;  // the whole control-file line
        int additionalColumns = 0;
    };
    std::array<StationLine, 2> stationLines;
    std::string regressionFileName;
    std::string resultGridName;
    long writeCode = 0;
    double scalingFactor = 1.0;
    std::string statFileName;
    long statCode = 0;
    double N = 9999.0;  // nodata value of the section: valid station values are not below -N
    std::int64_t intN = 9999;
    double idwWeight = 2.0;
    double idwFraction = 0.0;
    double maxDistance = 0.0;  // squared when the weight is 2
    double anisotropySlope = 0.0;  // radians
    double anisotropyRatio = 1.0;
    double lowerLimit = 0, lowerReplacement = 0, upperLimit = 0, upperReplacement = 0;
    int SzenUse = 0, SzenMeth = 0, SzenNum = 0;
    // Scenario points: columns 1..15 (x, y, January..December, the change of the day).
    std::vector<std::array<double, 16>> scenarioTable;
    std::array<std::string, 13> scenarioGridNames;  // months 1..12
    int scenarioGridIndex = 0;
    int scenarioMonth = 0;
    Matrix scenarioGrid;
    // Methods 10 and 11.
    double lowerInversion = 0, upperInversion = 0, tolerance = 0, clusterRange = 0, upperLapseAbove = -9999.0;
    int overlap = 0;
    // Method 12.
    double lapseRate = 0, inversionHeight = -9999.0, fixedUpperLapse = -9999.0;
    bool pType = false;
    // Method 9: the GIF mapping of the grids read.
    double gifF1 = 0, gifX1 = 0, gifF2 = 0, gifX2 = 0;
    int gifThreshold = 0;

    int weightingMode = 2000;
    std::array<double, RegressionFile::kParameters> regression{};
    std::string description;
    Matrix result;
    const Matrix* coordX = nullptr;
    const Matrix* coordY = nullptr;
    Matrix rotatedX, rotatedY;
    int rotatedXIndex = 0, rotatedYIndex = 0;
    // Per station file: rotated station coordinates and the distance from the lower-left corner.
    std::array<std::vector<double>, 2> stationRotX, stationRotY, stationDistance;
    double meanHorizontal = -9999.0, meanVertical = -9999.0, boxFraction = 0.25;
    const Matrix* zoneGrid = nullptr;
    const Matrix* elevation = nullptr;
    const Matrix* scalingGrid = nullptr;
    const Matrix* responseUnits = nullptr;
    const Matrix* masterResponseUnits = nullptr;
    bool useResponseUnits = false;
    // The set-up's unit table (record per unit number: row and column of the master cell).
    const std::vector<HydrologicResponseUnit>* unitTable_ = nullptr;
    bool unitWarningGiven_ = false;
    std::int64_t startHour = 0, startDay = 0, startMonth = 0, startYear = 0;

private:
    void Construct(const SubmodelSettings& s);
    void LookUpGrids();
    void ReadMethodLines();
    void RequireFiniteMethodParameters();
    void ReadLimitsAndScenarios();
    void ReadScenarioTable();
    void ReadStationFileLine(int i);
    void CreateResultGrid();
    void LoadScenarioGrid(int month);
    void CreateStatistics();
    void OpenInputFiles();
    void CheckRunInterval();
    // The time step, by concern.
    void CheckStepDate(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) const;
    void LogProgress(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) const;
    void ReadGridOfStep();
    bool StepHasValues();
    void CellLoop();
    double CellValue(int r, int c, double x, double y, double* weights, bool* noStation) const;
    // Scaling, limits, scenario and scaling grid of a cell's value; in the header like OwnCell.
    double Finish(double v, double x, double y, int r, int c) const {
        v *= scalingFactor;
        if (v < lowerLimit) {
            v = lowerReplacement;
        } else if (v > upperLimit) {
            v = upperReplacement;
        }
        if (SzenUse == 1) {
            const double s = ScenarioChange(x, y, r, c);
            v = (SzenMeth == 1 || SzenMeth == 6) ? v + s : v * s;
        }
        if (scalingGrid != nullptr) v *= (*scalingGrid)[r][c];
        return v;
    }
    void WarnCellsWithoutStation() const;
    // deferTeam: the sums a team would make are left to AccumulateStatisticsTogether (true
    // returned) after the cells' zones are found.
    bool AccumulateStatistics(bool deferTeam = false);
    // The zone positions of the own cells (cellZones_), found at the first step.
    void FindCellZones();
    // The same by a team of threads, for grids without response units: the zone of every own
    // cell first (cellZones_, ncols + 1 a row from firstRow), then the sums of this input alone
    // as AccumulateStatisticsTogether makes them (one task per group of zones).
    void AccumulateStatisticsThreaded();
    std::vector<int> cellZones_;
    bool cellZonesFound_ = false;
    ZoneGroupTasks zoneTasks_;
    void CopyFromMasterCell(int r, int c);
    // The rows that tell whether a cell of one row is this process's own: a basin cell of its
    // region that is no dependent cell of a response unit. Taken once per row by the row loops.
    struct OwnRow {
        const double* zones;
        const double* regions;  // null without regions
        const double* masters;  // null without response units
        double nodata, rank;
        bool Own(int c) const {
            return zones[c] != nodata && (regions == nullptr || regions[c] == rank) &&
                   (masters == nullptr || masters[c] != nodata);
        }
    };
    OwnRow OwnRowOf(int r) const {
        return {(*zoneGrid)[r], mpiRegions != nullptr ? (*mpiRegions)[r] : nullptr,
                useResponseUnits ? (*masterResponseUnits)[r] : nullptr, nodata, static_cast<double>(rank)};
    }
    // In the header: the cell loops of both source files ask it for every cell.
    bool OwnCell(int r, int c) const { return OwnRowOf(r).Own(c); }
    // First and last basin column of row r (1..ncols where the ranges are not known).
    std::pair<int, int> BasinColumns(int r) const;
    // Construction steps of the station methods, in order.
    void PrepareStations();
    double Idw(double x, double y, int file, double* weights) const;
    // The cell loop of plain inverse distance with weight 2 and of the nearest station, row by
    // row over blocks of cells; false (nothing done) where the step needs the general loop.
    bool StationKernelLoop();
    // The cell loop of a step whose valid station values are all equal, for every method that
    // gives that value as it is; false (nothing done) otherwise.
    bool UniformLoop();
    // Methods 7 and 8: the splines of the station mesh of the step into the spline grids.
    void EvaluateSplines();
    void SplineToGrid(int file, Matrix& target);
    int FindNeighbour(int station, int dx, int dy) const;

    std::optional<MeteoInputFiles> input_;
    std::unique_ptr<zonalstatistic> statistics_;
    std::vector<zoneFZT> zoneRecords_;
    const std::vector<int>* zoneIndex_ = nullptr;
    int zoneCount_ = 0;
    OutputCodeEntry* outputCodes_ = nullptr;
    // The subbasins of "[output_list]" that the zone table shows under statistics codes 5 and 6.
    std::vector<int> selectedZones_;
    int selectedZoneCount_ = 0;
    int outputCodeCount_ = 0;
    // The first valid value of an all-equal record, used for every cell of the step.
    double uniformValue_ = 0;
    bool uniformStep_ = false;
    bool regressionValid_ = true;
    bool nodataWarned_ = false;
    // Per own cell (row-major from firstRow): set when IDW found no station within reach.
    std::vector<unsigned char> noStation_;
    // Per thread: the weights array of the cell loop.
    std::vector<double> scratch_;
    int scratchStride_ = 1;
    // Inverse distance with weight 2 and the nearest station: the stations with a valid value of
    // the step, contiguous,
    // and per thread the coordinates, columns and results of the own cells of a row.
    std::vector<double> idwX_, idwY_, idwValue_;
    std::vector<double> rowScratch_;
    std::vector<int> rowColumns_;
    // Methods 10 and 11: set once the regression is fitted to the current record.
    bool regressionFitted_ = false;
    // Methods 5 and 6: the four look-up stations per own cell, row-major from firstRow.
    std::vector<std::array<int, 4>> lookUp_;
    // Methods 7 and 8: the mesh (columns of station numbers from the south), its node values
    // and the spline evaluated onto the grid for the first and second station file.
    std::vector<std::vector<int>> meshColumns_;
    Matrix meshX_, meshY_, meshValues_;
    std::unique_ptr<TSplines> splines_;
    Matrix splineGrid_, secondSplineGrid_;
};

#include "meteo/precicorr.hpp"
#include "meteo/superposition.hpp"
