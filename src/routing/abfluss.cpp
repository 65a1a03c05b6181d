// The links of the routing model to its neighbours and its end.
#include "routing/abfluss.hpp"

#include "submodel/riverflow_table.hpp"

void abflussmodellklasse::SetRunoffSource(RunoffArray* qg) {
    if (!Active()) return;
    if (qg == nullptr)
        Fatal("No valid discharges for discharge routing!\nYou have to run the model including at least precipitation "
              "interpolation and soil model\nif discharges are wished.",
              43);
    runoffSource = qg;
    working.assign(static_cast<std::size_t>(nTr + 1),
                   std::vector<double>(static_cast<std::size_t>(nSb + totals.zl + totals.al + 3), 0.0));
}

void abflussmodellklasse::SetRiverflowTable(riverflow_table* table) {
    if (!Active()) return;
    riverflowTable = table;
    for (int n = 1; n <= nDesc; ++n) Description(n).FillRiverflowTable(table, n);
}

void abflussmodellklasse::SetIrrigationTable(std::vector<zoneFZT>* table) {
    if (!Active()) return;
    irrigationTable = table;
    for (int n = 1; n <= nDesc; ++n) Description(n).SetIrrigationTable(table);
}

int abflussmodellklasse::SetOutputUnit(int unit) {
    if (Active()) outputUnit = unit;
    return flowControl;
}

void abflussmodellklasse::CheckConnectionsAndInitRouting() {
    if (!Active()) return;
    // The flow arrays and the first channel fillings; the initialisation passes of the routing
    // step follow with it.
    for (int n = 1; n <= nDesc; ++n) {
        Description(n).AllocFlowArrays(working.empty() ? nullptr : &working, window.empty() ? nullptr : &window,
                                       &observedColumn);
        Description(n).InitChannelFlows();
    }
}

void abflussmodellklasse::InitLakeModel(bool /*interceptionFirst*/) {}

void abflussmodellklasse::ReadStorageState(const std::string* /*fileName*/, unsigned /*warmStart*/) {}

void abflussmodellklasse::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (!Active()) return;
    teilmodellklasse::run(h, d, m, y);
    Fatal("the routing time step is not available in this build", kUnavailableCode);
}

void abflussmodellklasse::Finish() {
    if (!Active()) return;
    for (int n = 1; n <= nDesc; ++n) Description(n).FreeMemory();
    routings.clear();
    nDesc = 0;
}
