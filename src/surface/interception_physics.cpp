#include "surface/interception_physics.hpp"

#include <algorithm>

namespace interception {

Evaporation EvaporationOfMethod(int method) {
    if (method == 1 || method == 11) return Evaporation::FromTranspiration;
    if (method == 2 || method == 12) return Evaporation::FromInterceptionDemand;
    return Evaporation::None;
}

double ReleasedTracerMass(double mass, double storageBefore, double capacity, double maxConcentration) {
    if (storageBefore <= capacity || storageBefore <= 0) return 0.0;
    const double spill = storageBefore - capacity;
    return std::min(mass * spill / storageBefore, spill * maxConcentration);
}

}  // namespace interception
