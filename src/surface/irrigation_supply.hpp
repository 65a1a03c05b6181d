#pragma once
// Surface-water supply of irrigation per subbasin: what the reservoirs give, what the rivers
// give along the chains of the routing-target row, the supply factors and the reduction of a
// cell's amount under a shortage. Plain numbers in and out; vectors are indexed by subbasin
// position 1..N (element 0 unused).
#include <span>
#include <vector>

namespace irrigation {

// The part of a river record that irrigation lowers.
struct RiverChannel {
    double flowm3s = 0;  // discharge, m3/s
    double flowMm = 0;   // channel flow in mm (flow_mm of water)
    double area = 0;     // channel catchment area
    bool routed = false; // the record belongs to a routing object
};

struct SupplyInput {
    std::span<const double> demand;       // D(s): mean surface-water demand, mm
    std::span<const double> area;         // a(s): subbasin area, km2
    std::span<const int> targets;         // row 1 of the routing-target arrays
    double dt = 1440;                     // step, minutes
};

struct SupplyResult {
    std::vector<double> fromReservoirs;  // A(s)
    std::vector<double> factor;          // F(s)
    bool shortage = false;
    int badSubbasin = 0;  // a target or chain entry outside 1..N, or a cyclic chain: its subbasin
    bool cyclic = false;
};

// Mean demand of a subbasin from its records: sx / RelCellSum, 0 when no cell weighs in.
inline double MeanDemand(double sx, double relCellSum) { return relCellSum > 0 ? sx / relCellSum : 0.0; }

// Draws the demands from the reservoirs and rivers. maxirrig (water the rivers can supply)
// is lowered along the chains and ends as the supply factors; fromReservoirs (the reservoir
// capacity) is left to the caller to overwrite with A(s). channels is empty when no river
// records are linked. On a bad row the result names the subbasin and nothing is changed
// beyond the walk so far.
SupplyResult DrawSurfaceWater(const SupplyInput& in, std::span<const double> sxOfSubbasin,
                              std::span<double> maxirrig, std::span<const double> reservoirs,
                              std::span<RiverChannel> channels);

// A surface-water cell's amount under a shortage: the blend of the river factor F and the
// reservoir share r = min(A / m, 1), weighted by p = m / (m + F).
double ReducedAmount(double amount, double reservoirCapacity, double fromReservoirs, double factor);

}  // namespace irrigation
