#pragma once
// Precipitation correction for gauge undercatch ("[precipitation_correction]", required).
// With regional superposition off the station values (and regression parameters) of the
// precipitation interpolator are corrected before the interpolators run, with temperature and
// wind evaluated at each station by their own interpolators; with it on the "precipitation"
// grid is corrected cell by cell after the superposition.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kernel/modelobject.hpp"
#include "meteo/meteoint.hpp"
#include "meteo/precicorr_physics.hpp"

struct SubmodelSettings;

class precicorrclass : public modelobject {
public:
    // inputs and names: the interpolators and their section names, positions 1..n.
    precicorrclass(unsigned& error, DiagLog* log, const std::vector<meteointerpol*>& inputs,
                   const std::vector<std::string>& names, const SubmodelSettings& settings);
    ~precicorrclass() override = default;
    virtual void CorrectStations();
    virtual void CorrectGrid();
    virtual void SetMaxElevation(double value) { maxElevation = value; }
    int GetFlowControl() const { return doIt; }
    // The interpolator's value at (x, y, z) by its own method and settings; buffer holds at
    // least its station count + 1 doubles.
    double InterpolateAtPoint(meteointerpol& ip, double* buffer, double x, double y, double z);

    const undercatch::Coefficients& Coefficients() const { return k_; }
    bool AllInterpolators() const { return !notAllInterpolators_; }

    int doIt = 1;
    double maxElevation = 0;

private:
    void Construct(const std::vector<meteointerpol*>& inputs, const std::vector<std::string>& names,
                   const SubmodelSettings& s);
    void ReadSection();
    // Position of name among the interpolators (1-based), 0 when none.
    static int FindInterpolator(const std::vector<meteointerpol*>& inputs, const std::vector<std::string>& names,
                                const std::string& name);
    bool SuperpositionSwitchedOn();
    void CorrectStationValues(double* buffer);
    void CorrectRegression(double* buffer);
    void BlendScenario(meteointerpol& ip) const;
    // The cell (row, column) of a point, as the point evaluation takes it.
    std::pair<int, int> CellOf(double x, double y) const;
    // The shared values of a point's cell for ip, taken from the cells shared at the start of
    // the station variant; a cell not shared yet is shared on the spot (collective: every
    // process evaluates the same points).
    const meteointerpol::PointCell& PointCellOf(meteointerpol& ip, int row, int column);
    // Shares the cells of the precipitation stations (and of the place-less point of the
    // regression refit) for the temperature and wind interpolators.
    void SharePointCells();

    undercatch::Coefficients k_;
    meteointerpol* precipitation_ = nullptr;
    meteointerpol* temperature_ = nullptr;
    meteointerpol* wind_ = nullptr;
    Matrix* precipitationGrid_ = nullptr;
    const Matrix* temperatureGrid_ = nullptr;
    const Matrix* windGrid_ = nullptr;
    // N of each input's section (valid values are not below -N); for a grid without
    // interpolator the grid nodata value's magnitude.
    double precipitationN_ = 9999, temperatureN_ = 9999, windN_ = 9999;
    bool temperatureAbsent_ = false, windAbsent_ = false;
    bool notAllInterpolators_ = false;
    int method_ = 0;
    int stations_ = 0;
    int regionSets_ = 1;
    std::vector<double> stationTemperature_, stationWind_;
    std::vector<double> buffer_;
    // Per interpolator the shared cells by row * (ncols + 1) + column.
    std::map<const meteointerpol*, std::map<long, meteointerpol::PointCell>> pointCells_;
    bool regionsLookedUp_ = false;
};
