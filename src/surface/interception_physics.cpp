#include "surface/interception_physics.hpp"

#include <algorithm>

namespace interception {

Evaporation EvaporationOfMethod(int method) {
    if (method == 1 || method == 11) return Evaporation::FromTranspiration;
    if (method == 2 || method == 12) return Evaporation::FromInterceptionDemand;
    return Evaporation::None;
}

LayerFluxes InterceptLayer(double input, double cover, double capacity, Evaporation mode, double& storage,
                           double& etp, double ei) {
    LayerFluxes f;
    f.direct = (1.0 - cover) * input;
    f.throughfall = f.direct;
    storage += cover * input;
    if (storage > capacity) {
        f.overflow = storage - capacity;
        f.throughfall += f.overflow;
        storage = capacity;
    }
    switch (mode) {
        case Evaporation::FromTranspiration:
            if (etp < storage) {
                f.evaporation = etp;
                storage -= etp;
                f.demandTaken = etp;
                etp = 0;
            } else {
                f.evaporation = storage;
                etp -= storage;
                f.demandTaken = storage;
                storage = 0;
            }
            break;
        case Evaporation::FromInterceptionDemand:
            f.evaporation = std::min(ei, storage);
            storage -= f.evaporation;
            f.demandTaken = std::min(etp, f.evaporation);
            etp -= f.demandTaken;
            break;
        case Evaporation::None:
            break;
    }
    return f;
}

double ReleasedTracerMass(double mass, double storageBefore, double capacity, double maxConcentration) {
    if (storageBefore <= capacity || storageBefore <= 0) return 0.0;
    const double spill = storageBefore - capacity;
    return std::min(mass * spill / storageBefore, spill * maxConcentration);
}

}  // namespace interception
