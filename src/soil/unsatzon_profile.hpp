#pragma once
// The start state of one soil column: where its water table lies, the hydrostatic water
// contents and heads above it, the layer that holds the water table afterwards, the drain
// layer and the water content of the root zone. Plain numbers in, numbers out.
//
// Heads are the geodetic heads of the column: heads[0] the surface elevation, heads[k] the
// bottom of layer k (k = 1..n), in m. Per-layer arrays are indexed 1..n (element 0 as stated).
#include <span>

class soil_entry;

namespace soil_profile {

// Centre of layer k (1..n+1): for k = n+1 the centre of a virtual layer of the last layer's
// thickness below the profile.
double LayerCentre(std::span<const double> heads, int n, int k);

// The layer above the initial water table from the groundwater level parameter (> 0):
// floor((n - 1) / level) + 1, held within 0..n.
int WaterTableLayerFromLevel(int n, double level);

// The layer above the water table for a depth below the surface (m, positive downward): 0
// when the depth is at most the first layer's thickness, else the smallest g with
// heads[0] - heads[g + 1] >= depth, n when none.
int WaterTableLayerFromDepth(std::span<const double> heads, int n, double depth);

// Water contents (theta[0] = theta_s of layer 1) and hydraulic heads (hh[0] = heads[0]) with
// layers g+1..n saturated and layers 1..g in hydrostatic equilibrium with the water table at
// the centre of layer g + 1.
void HydrostaticColumn(const soil_entry& soil, std::span<const double> heads, int n, int g, std::span<double> theta,
                       std::span<double> hh);

// Where the saturated zone of a column starts, walking up from layer n - 1.
struct WaterTable {
    double level;         // groundwater layer (n when no layer above the last one is saturated)
    double thetaAbove;    // water content of the layer above it (theta[1] when none found)
    double distance;      // top of that layer below the surface (negative), or the profile bottom
};
WaterTable FindWaterTable(std::span<const double> theta, std::span<const double> thetaSat,
                          std::span<const double> heads, int n);

// Layer that holds a drain at depth (m): 0 for a depth of 0.01 m or less; n below the profile.
int DrainageLayer(std::span<const double> heads, int n, double depth);

// Mean water content of the root zone (depth in m), as the start grid of relative soil
// moisture holds it: theta[1] without roots.
double RootZoneWater(std::span<const double> theta, std::span<const double> thickness, int n, double rootDepth);

}  // namespace soil_profile
