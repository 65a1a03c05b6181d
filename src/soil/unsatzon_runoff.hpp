#pragma once
// Subbasin runoff arithmetic: the travel-time zone of a cell and the single linear storage
// a runoff component passes before the outlet. Plain numbers in and out.
#include <mpi.h>

#include <cmath>

// Reduction over arrays of zone records (registered as commutative): adds n and RelCellSum,
// clears sx, and keeps zonenwert and rel of inout.
extern "C" void SumZoneRecords(void* in, void* inout, int* count, MPI_Datatype* type);

namespace soilrunoff {

// Zone (whole model steps, 1 = outlet zone) of a flow travel time in seconds for a step of
// dtMinutes: ceil(t / 60 / dt).
inline int FlowTimeZone(double seconds, double dtMinutes) {
    return static_cast<int>(std::ceil(seconds / 60.0 / dtMinutes));
}

// Storage factor exp(-dt / k) for a recession constant k and a step dt (both minutes); 0 when
// the water is routed at once or k is not positive.
inline double StorageFactor(double dtMinutes, double kMinutes, bool immediately) {
    if (immediately || !(kMinutes > 0)) return 0.0;
    return std::exp(-dtMinutes / kMinutes);
}

// Outflow of a single linear storage in a step: inflow (1 - f) + f x previous outflow.
inline double StorageOutflow(double inflow, double previous, double f) { return inflow * (1.0 - f) + f * previous; }

// Flow-weighted concentration of the storage outflow; 0 when the outflow is not positive.
inline double StorageConcentration(double inflow, double cIn, double previous, double cPrevious, double f,
                                   double outflow) {
    if (!(outflow > 0)) return 0.0;
    return (inflow * cIn * (1.0 - f) + previous * cPrevious * f) / outflow;
}

}  // namespace soilrunoff
