#pragma once
// Exchange of a soil column with a river in its cell and with an external groundwater table.
// Plain column arrays and numbers in, numbers out; the soil model finds the grids and records.
#include "soil/soilcolumn.hpp"

namespace soilriver {

// River and bed of the cell.
struct River {
    double depth = 0;      // bed below the surface, m
    double width = 0;      // m
    double leakage = 0;    // "kolmation"
    double flowm3s = 0;    // discharge of the channel
    double speed = 0;      // m/s
    double taken = 0;      // m3/s the soil already took in this step
    bool linked = false;   // a river record exists for the cell
};

// Fills rIn / rOut (m/s) of the column for one iteration and sets the infiltration (A) and
// exfiltration (B) totals. interaction: 0 none, 1 exfiltration only, 2 both ways.
void Exchange(const soil_entry& soil, soilcolumn::ColumnState& col, const soilcolumn::CellValues& cell,
              int interaction, const River& river, double& infiltration, double& exfiltration);

// Water (mm) above field capacity from the table layer g to the last-but-one layer.
double DrainablePoreVolume(const soil_entry& soil, const double* fieldCapacity, int g, int n);

// Moves the column to the external table elevation Ze: fills to saturation when it rises,
// drains to field capacity when it falls. theta, the table layer g and the table distance
// change; returns the water added (mm, negative when removed).
double ApplyExternalTable(const soil_entry& soil, soilcolumn::ColumnState& col, int& g, double& distance, double Ze);

}  // namespace soilriver
