// The links of the routing model to its neighbours, the set-up passes before the first step,
// the per-step outputs and the end of the run.
#include <algorithm>
#include <cmath>

#include "kernel/statefiles.hpp"
#include "routing/abfluss.hpp"
#include "routing/connections.hpp"
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

int abflussmodellklasse::InitialisationPasses(const std::vector<double>& largestFlowTimes, double dt) {
    double S = 0;
    for (double t : largestFlowTimes) S += std::trunc(t);
    const double n = std::ceil(S / dt * 60);
    // A flow time too long to count passes by is no network anyone routes.
    if (!(n < 1.0e6)) return 1000000;
    return std::max(1, static_cast<int>(n));
}

void abflussmodellklasse::FillHistory() {
    const auto flows = std::min(working[0].size(), inflowHistory.Flows());
    if (flows > 1 && nTr == 0 && nSub == 1) {
        // One value per flow index: the history is the working runoff.
        std::copy(working[0].begin() + 1, working[0].begin() + static_cast<std::ptrdiff_t>(flows), inflowHistory.At(1));
        return;
    }
    for (std::size_t i = 1; i < flows; ++i) {
        double* h = inflowHistory.At(i);
        for (int t = 0; t <= nTr; ++t) h[t] = working[static_cast<std::size_t>(t)][i];
        for (int s = 2; s <= nSub; ++s) std::copy_n(h, nTr + 1, h + (s - 1) * (nTr + 1));
    }
}

void abflussmodellklasse::ConnectInternalInflows() {
    *log << "checking connection of internal inflows and abstractions" << "[end-entry]";
    std::vector<routing::InternalInflow> inflows;
    std::vector<routing::InternalAbstraction> abstractions;
    std::vector<std::pair<int, int>> where;  // description and number of each internal abstraction
    for (int n = 1; n <= nDesc; ++n) {
        routingclass& r = Description(n);
        for (int z = 1; z <= r.InflowCount(); ++z)
            if (r.InflowAt(z).mode == routing::kInflowIntern) inflows.push_back({n, r.TGCode(), r.InflowAt(z).code});
        for (int a = 1; a <= r.AbstractionCount(); ++a)
            if (r.AbstractionAt(a).Internal()) {
                abstractions.push_back({n, r.TGCode(), r.AbstractionCode(a)});
                where.emplace_back(n, a);
            }
    }
    const std::vector<int> source = routing::ConnectInternalFlows(inflows, abstractions, *log);
    for (std::size_t i = 0; i < inflows.size(); ++i) {
        routingclass& receiver = Description(inflows[i].description);
        const auto [n, a] = where[static_cast<std::size_t>(source[i])];
        const int tributary = receiver.TributaryCount() > 0 ? receiver.FlowIndex(1) : 0;
        Description(n).AbstractionAt(a).Connect(&receiver, (*zoneIndex)[static_cast<std::size_t>(receiver.TGCode())],
                                                tributary, receiver.Area(), receiver.Factor());
    }
}

void abflussmodellklasse::CheckConnectionsAndInitRouting() {
    if (!Active()) return;
    if (runoffSource == nullptr || working.empty())
        Fatal("No valid discharges for discharge routing!\nYou have to run the model including at least precipitation "
              "interpolation and soil model\nif discharges are wished.",
              43);
    for (std::size_t t = 0; t < working.size(); ++t) {
        std::vector<double>& w = working[t];
        std::fill(w.begin(), w.end(), 0.0);
        if (t < runoffSource->size())
            for (int i = 1; i <= nSb && static_cast<std::size_t>(i) < (*runoffSource)[t].size(); ++i)
                w[static_cast<std::size_t>(i)] = (*runoffSource)[t][static_cast<std::size_t>(i)];
    }
    for (int n = 1; n <= nDesc; ++n)
        Description(n).AllocFlowArrays(&working, &inflowHistory, window.empty() ? nullptr : &window, &observedColumn);
    FillHistory();
    ConnectInternalInflows();
    for (int n = 1; n <= nDesc; ++n) Description(n).InitChannelFlows();

    std::vector<double> flowTimes;
    for (int n = 1; n <= nDesc; ++n) flowTimes.push_back(Description(n).LargestFlowTime());
    initialisationPasses = InitialisationPasses(flowTimes, timeInterval);
    if (lakeReadGrids != 0) return;
    RouteInitialisationPasses();
}

void abflussmodellklasse::RouteInitialisationPasses() {
    *log << "routing the initialization discharges (" << initialisationPasses << " times)";
    const std::size_t flows = savedRunoff.empty() ? 0 : savedRunoff[0].size();
    for (int pass = 0; pass < initialisationPasses; ++pass) {
        for (int t = 0; t <= nTr; ++t)
            std::copy_n(working[static_cast<std::size_t>(t)].begin(), flows, savedRunoff[static_cast<std::size_t>(t)].begin());
        FillHistory();
        for (int n = 1; n <= nDesc; ++n) Description(n).Route(0, 0, 0, 0);
        *log << ".";
        for (int t = 0; t <= nTr; ++t)
            std::copy_n(savedRunoff[static_cast<std::size_t>(t)].begin(), std::min<std::size_t>(flows, nSb + 1),
                        working[static_cast<std::size_t>(t)].begin());
    }
    *log << "[end-entry]";
}

void abflussmodellklasse::WriteOutputs() {
    if (!Active() || finished) return;
    if (statistic) statistic->WriteLine();
    for (std::size_t k = 1; k < tracerOutputs.size(); ++k)
        if (tracerOutputs[k].statistic) tracerOutputs[k].statistic->WriteLine();
    for (int n = 1; n <= nDesc; ++n) Description(n).FlushElementFiles();
}

void abflussmodellklasse::Finish() {
    if (!Active() || finished) return;
    finished = true;
    if (status != 0) WriteStateDeferred([&] { WriteStorageState(); });
    FreeTracerOutputs();
    if (status != 0 && rank == 0 && observed) {
        for (auto* tables : {&fitValues, &fitLogs})
            for (auto& lag : *tables) lag.resize(static_cast<std::size_t>(nSb + 1));
        if (statistic) statistic->WriteEfficiency(fitValues, fitLogs);
    }
    observed.reset();
    if (statistic) statistic->Release();
    statistic.reset();
    for (int n = 1; n <= nDesc; ++n) Description(n).FreeMemory();
    routings.clear();
    nDesc = 0;
    if (rank == 0 && precOnLakesIndex > 0 && gridStore != nullptr) {
        ReleaseGrid(precOnLakesIndex);
        precOnLakesIndex = 0;
    }
}
