#pragma once
// Interception of one vegetation layer of one cell: the layer catches the covered share of its
// input up to its capacity, lets the rest through and evaporates from its storage with the
// evaporation demand of the step. Plain numbers in and out; the interception model runs it for
// every layer of every cell.
#include <algorithm>

namespace interception {

// Glacier share at which a cell counts as glacier only.
constexpr double kGlacierOnly = 0.99999;

// How the storage evaporates: not at all, from the potential transpiration (methods 1 and 11),
// or from the potential interception evaporation (methods 2 and 12).
enum class Evaporation { None, FromTranspiration, FromInterceptionDemand };

Evaporation EvaporationOfMethod(int method);

// Method codes above 10 run before the snow model.
inline bool RunsBeforeSnow(int method) { return method > 10; }

// Capacity of a layer in mm: the land use's capacity per unit leaf area, or the maximum water
// layer thickness where the land use gives none (negative), times the leaf area index.
inline double Capacity(double intercepCap, double lai, double maxThickness) {
    return (intercepCap < 0 ? maxThickness : intercepCap) * lai;
}

struct LayerFluxes {
    double throughfall = 0;  // what passes the layer, mm
    double direct = 0;       // the uncovered share of the input, part of the throughfall
    double overflow = 0;     // what the full storage spills, part of the throughfall
    double evaporation = 0;  // taken from the storage, mm
    double demandTaken = 0;  // by which the potential transpiration was lowered, mm
};

// One step of one layer. storage and etp (the layer's potential transpiration) are updated in
// place; ei is the layer's potential interception evaporation.
// input = throughfall + change of storage + evaporation, exactly in exact arithmetic.
// Inline: it runs once per layer and cell in the model's hot loop.
inline LayerFluxes InterceptLayer(double input, double cover, double capacity, Evaporation mode, double& storage,
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

// Mass of a non-evaporating tracer that the overflow releases from a store of mass `mass`,
// when the storage held `storageBefore` mm before it was capped at `capacity`: the overflow's
// share of the mass, at most the overflow at the highest concentration allowed.
double ReleasedTracerMass(double mass, double storageBefore, double capacity, double maxConcentration);

}  // namespace interception
