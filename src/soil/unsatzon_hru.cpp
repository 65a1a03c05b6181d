// Hydrologic response units: after the column pass every dependent cell takes its master
// cell's soil grids and stacks, so that the unit behaves as one column.
#include <algorithm>
#include <cmath>

#include "kernel/threading.hpp"
#include "setup/spinup.hpp"
#include "soil/unsatzon.hpp"

namespace {
enum UnitFailure { UnitOk = 0, UnitBeyondTable = 1, MasterNotHeld = 2 };
}  // namespace

void unsatzonmodellklasse::ResponseUnitPass() {
    if (flowControl == 0 || in.responseUnits == nullptr || in.masterResponseUnits == nullptr) return;
    // The grids in the order of the copy; names that are absent are left out.
    std::vector<Matrix*> grids;
    auto add = [&](const std::string& name) {
        const int i = FindGrid(name, true);
        if (i > 0 && (*gridStore)[i].grid != nullptr) grids.push_back((*gridStore)[i].grid);
    };
    auto addOwn = [&](Matrix& m) {
        if (!m.empty()) grids.push_back(&m);
    };
    add("ponding_storage");
    addOwn(own.drainageLevel);
    add("irrigation_amounts");
    add("PermafrostThawDepth");
    addOwn(own.maxPumping);
    add("ThawDepthTMod");
    add("frozenSoilInGroundwater");
    add("ETR2ETP");
    if (in.waterInput != nullptr) grids.push_back(in.waterInput);
    add("real_evaporation");
    add("SurfStorSiltingUp");
    for (Matrix* m : in.realTranspiration)
        if (m != nullptr) grids.push_back(m);
    for (Matrix* m : {&own.groundwaterDistance, &own.groundwaterLevel, &own.baseflow}) grids.push_back(m);
    addOwn(own.soilBaseflow);
    addOwn(own.drainageFlow);
    if (groundwaterActive != 0) {
        add("river_exfiltration");
        add("river_infiltration");
    }
    for (const char* name : {"directflow", "interflow", "macropore_infiltration", "groundwater_recharge", "Percolation",
                             "Capillar_Uprise", "infiltration_excess", "total_infiltration", "Theta_in_GWLEVEL",
                             "SB_1_grid", "SB_2_grid", "ROOTgrid", "number_of_substeps"})
        add(name);
    std::vector<Stack*> stacks;
    if (heat.on()) stacks.push_back(&own.soilTemperature);
    for (Stack* s : {&own.theta, &own.geodeticHeads, &own.hydraulicHeads, &own.qDown}) stacks.push_back(s);

    const std::vector<HydrologicResponseUnit>* units = settings.responseUnits;
    const double unitCount = units != nullptr ? static_cast<double>(units->size()) : 0.0;
    const int levels = nlayers;
    int failure = UnitOk;
    double failedUnit = 0;
#pragma omp parallel for schedule(runtime) reduction(max : failure, failedUnit) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        const ColumnRange cols = ColumnsOf(r);
        for (int c = cols.first; c <= cols.last; ++c) {
            if (!IsOwnCell(r, c) || (*in.masterResponseUnits)[r][c] != nodata) continue;
            const double unit = (*in.responseUnits)[r][c];
            if (!(unit >= 0) || std::trunc(unit) >= unitCount) {
                failure = std::max(failure, static_cast<int>(UnitBeyondTable));
                failedUnit = std::max(failedUnit, unit);
                continue;
            }
            const HydrologicResponseUnit& u = (*units)[static_cast<std::size_t>(unit)];
            const int m = u.row, n = u.column;
            if (m < firstRow || m > lastRow || n < 1 || n > ncols) {
                failure = std::max(failure, static_cast<int>(MasterNotHeld));
                failedUnit = std::max(failedUnit, unit);
                continue;
            }
            for (Matrix* g : grids)
                if (g->holds(m) && g->holds(r)) (*g)[r][c] = (*g)[m][n];
            for (Stack* s : stacks)
                for (int l = 0; l <= levels; ++l) (*s)[r][c][l] = (*s)[m][n][l];
        }
    }
    if (failure == UnitOk) return;
    if (failure == UnitBeyondTable)
        *log << "FATAL: hydrologic response unit " << failedUnit << " is not in the table of units ("
             << static_cast<long>(unitCount) << " units) in " << moduleName << "[end-entry]";
    else
        *log << "FATAL: the master cell of hydrologic response unit " << failedUnit
             << " lies outside the rows of process " << rank << " in " << moduleName << "[end-entry]";
    throw ModelError(kResponseUnitCode);
}
