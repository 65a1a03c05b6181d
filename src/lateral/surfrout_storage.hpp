#pragma once
// Time stepping of overland flow and the linear storages of subbasin runoff: sub-step limits
// that divide the coupling step evenly, the sub step chosen from the stable step, and the
// single linear storage. Pure functions: plain numbers in, numbers out.

namespace surfrout {

// A sub-step limit made a whole fraction of the coupling step T [s]: T / floor(T / limit), or
// T when the limit exceeds T. A limit <= 0 counts as T.
double WholeFraction(double T, double limit);

// The sub-step plan of one coupling step.
struct SubStepPlan {
    double dt = 0;       // s
    double count = 0;    // floor(T / dt) + 1
    double refresh = 0;  // first sub step at which all velocities are recomputed
};

// Sub step from the global stable step: T / (floor(T / stable) + 1), clamped to the limits
// (a shortest step <= 0 sets no lower limit; a longest step <= 0 counts as T).
SubStepPlan PlanSubSteps(double stable, double T, double shortest, double longest);

// The next refresh sub step after k reached the current one.
double NextRefresh(double refresh, double count, double T, double longest);

// Single linear storage over dt with constant k (same unit): returns the new outflow
// (= storage content per step) from the inflow of the step and the previous value. A storage
// constant that is missing (null link) passes the inflow on unchanged.
double LinearStorage(double inflow, double previous, double dt, const double* k);

// Flow-weighted concentration mixing of a linear storage's tracer.
double StorageConcentration(double inflow, double inflowConc, double previous, double previousConc, double dt,
                            const double* k, double updated);

}  // namespace surfrout
