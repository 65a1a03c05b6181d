// The time step of the routing model: runoff and inflows into the network, the routing of every
// description in control-file order, irrigation around it, the comparison with observed
// discharge and the routed-discharge and tracer tables.
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "routing/abfluss.hpp"
#include "setup/tracer_ini.hpp"

double abflussmodellklasse::SimulatedDischarge(int tg) const {
    const double q = working[0][static_cast<std::size_t>(tg)];
    if (outputUnit != 1) return q;
    const double area = abfrel[0][0] * abfrel[0][static_cast<std::size_t>(tg)];
    const int d = targets.description()[static_cast<std::size_t>(tg)];
    if (d < 1) return q * area * 16.6666667 / timeInterval;
    return area * 16.6666667 / timeInterval * q / routings[static_cast<std::size_t>(d)]->Factor();
}

void abflussmodellklasse::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    hour = h;
    day = d;
    month = m;
    year = y;
    CollectLakeCells();
    if (rank != 0) {
        DistributeLakePonding();
        return;
    }
    if (!Active()) return;
    if (!omp_in_parallel()) teilmodellklasse::run(h, d, m, y);
    if (runoffSource == nullptr || working.empty() || inflowHistory.Empty())
        Fatal("No valid discharges for discharge routing!\nYou have to run the model including at least precipitation "
              "interpolation and soil model\nif discharges are wished.",
              43);
    const int yy = static_cast<int>(y), mm = static_cast<int>(m), dd = static_cast<int>(d), hh = static_cast<int>(h);

    if (irrigationTable != nullptr) IrrigationDemand();
    for (int t = 0; t <= nTr && static_cast<std::size_t>(t) < runoffSource->size(); ++t) {
        const std::vector<double>& q = (*runoffSource)[static_cast<std::size_t>(t)];
        std::vector<double>& w = working[static_cast<std::size_t>(t)];
        for (int i = 1; i <= nSb && static_cast<std::size_t>(i) < q.size(); ++i) w[static_cast<std::size_t>(i)] = q[static_cast<std::size_t>(i)];
    }
    if (!inflowDescriptionsFound) {
        for (int n = 1; n <= nDesc; ++n)
            if (Description(n).InflowCount() > 0) inflowDescriptions.push_back(n);
        inflowDescriptionsFound = true;
    }
    for (int n : inflowDescriptions) Description(n).ReadInflows(working, yy, mm, dd, hh);
    FillHistory();
    for (int n = 1; n <= nDesc; ++n) {
        if (n + 4 <= nDesc) Description(n + 4).PrefetchFields();
        if (n + 2 <= nDesc) Description(n + 2).Prefetch();
        if (n < nDesc) Description(n + 1).PrefetchChannels();
        Description(n).Route(yy, mm, dd, hh);
        if (riverflowTable != nullptr) Description(n).RefreshRiverflowTable();
    }
    if (irrigationTable != nullptr) IrrigationAvailability();
    if (observed) CompareWithObserved();
    WriteStatistics();
    DistributeLakePonding();
}

void abflussmodellklasse::IrrigationDemand() {
    std::vector<zoneFZT>& table = *irrigationTable;
    for (int tg = 1; tg <= nSb && static_cast<std::size_t>(tg) < table.size(); ++tg) {
        for (auto& row : maxirrig) row[static_cast<std::size_t>(tg)] = 0;
        zoneFZT& r = table[static_cast<std::size_t>(tg)];
        r.sx = r.RelCellSum > 0 ? r.sx / r.RelCellSum : 0.0;
        r.sx = std::max(0.0, r.sx - maxirrigFromReservoirs[0][static_cast<std::size_t>(tg)]);
    }
}

void abflussmodellklasse::IrrigationAvailability() {
    std::vector<zoneFZT>& table = *irrigationTable;
    auto rel = [&](int i) { return static_cast<std::size_t>(i) < table.size() ? table[static_cast<std::size_t>(i)].rel : 0.0; };
    const std::vector<int>& order = targets.tributaries();
    for (std::size_t p = 1; p < order.size() && order[p] >= 1; ++p) {
        const int s = order[p];
        double a = 0;
        if (targets.description()[static_cast<std::size_t>(s)] < 1) {
            // Runoff not taken upstream is available below; a subbasin without irrigated cells
            // has no share to spread it over.
            const double share = rel(s);
            a = share != 0 ? -(working[0][static_cast<std::size_t>(s)] * abfrel[0][static_cast<std::size_t>(s)] / share) : 0.0;
        } else {
            a = static_cast<std::size_t>(s) < table.size() ? table[static_cast<std::size_t>(s)].sx : 0.0;
        }
        a = std::max(0.0, a);
        // Follow the links downstream; a loop in them ends after every subbasin was visited.
        int t = targets.next()[static_cast<std::size_t>(s)];
        for (int guard = 0; t >= 1 && t <= nSb && guard < nSb; ++guard) {
            const double share = rel(t);
            if (share != 0) maxirrig[0][static_cast<std::size_t>(t)] += rel(s) * a / share;
            t = targets.next()[static_cast<std::size_t>(t)];
        }
    }
}

void abflussmodellklasse::CompareWithObserved() {
    if (endOfTableCounter > 9) {
        *log << "INFO: observed runoff: actual date " << static_cast<long>(day) << "." << static_cast<long>(month) << "."
             << static_cast<long>(year) << " " << static_cast<long>(hour) << "h not found (end of discharge file at "
             << observedDate[2] << "." << observedDate[1] << "." << observedDate[0] << ", " << observedDate[3] << "h)"
             << "[end-entry]";
        ShiftWindow();
        // Past the end of the table there is no observation: a missing value, so that the
        // channels fed by an observed subbasin take its simulated inflow again.
        std::fill(window[20].begin() + 1, window[20].end(), TimeSeriesTable::kNoValue);
        return;
    }
    ++rSquareCounter;
    const long kind = statOutputCode / 1000;
    const int firstSelected = outputList.size() > 1 && zoneIndex != nullptr && outputList[1] >= 0 &&
                                      static_cast<std::size_t>(outputList[1]) < zoneIndex->size()
                                  ? (*zoneIndex)[static_cast<std::size_t>(outputList[1])]
                                  : 0;
    for (int tg = 1; tg <= nSb; ++tg) {
        const int c = observedColumn[static_cast<std::size_t>(tg)];
        const bool output = kind == 2 || kind == 4 || ((kind == 5 || kind == 6) && tg == firstSelected);
        if (output && statistic && static_cast<std::size_t>(tg) < statistic->observedValues().size())
            statistic->observedValues()[static_cast<std::size_t>(tg)] = window[11][static_cast<std::size_t>(c)];
        if (c >= 1 && rSquareCounter > rSquareOffset) AddFitSums(tg, c);
    }
    ShiftWindow();
    TimeSeriesTable& t = *observed;
    // At the end of the table the cursor stays on its last row: that row is no observation of
    // the later steps.
    const bool ended = t.State() == TimeSeriesTable::kAtEnd;
    for (int c = 1; c <= ncol; ++c)
        window[20][static_cast<std::size_t>(c)] = ended ? TimeSeriesTable::kNoValue : t.GetValue(c - 1);
    t.NextRow();
    CheckObservedRow();
    if (t.State() != TimeSeriesTable::kAtEnd) {
        t.GetDate(observedDate[0], observedDate[1], observedDate[2], observedDate[3]);
        if (observedDate[0] <= 999) observedDate[0] += 1900;
    } else {
        *log << "INFO: end of discharge file reached!" << "[end-entry]";
        ++endOfTableCounter;
    }
}

void abflussmodellklasse::AddFitSums(int tg, int c) {
    const double x = SimulatedDischarge(tg);
    for (int L = 0; L <= 20; ++L) {
        const double o = window[static_cast<std::size_t>(L)][static_cast<std::size_t>(c)];
        if (!(o > 0)) continue;
        FitSums& v = fitValues[static_cast<std::size_t>(L)][static_cast<std::size_t>(tg)];
        v.observed += 1;
        v.sumObs += o;
        v.pairs += 1;
        v.sumObs2 += o * o;
        v.sumDev += x - o;
        v.sumDev2 += (x - o) * (x - o);
        if (!(x > 0)) continue;
        FitSums& g = fitLogs[static_cast<std::size_t>(L)][static_cast<std::size_t>(tg)];
        const double lo = std::log(o), lx = std::log(x);
        g.observed += 1;
        g.sumObs += lo;
        g.sumObs2 += lo * lo;
        g.pairs += 1;
        g.sumDev += lx - lo;
        g.sumDev2 += (lx - lo) * (lx - lo);
    }
}

void abflussmodellklasse::ShiftWindow() {
    std::rotate(window.begin(), window.begin() + 1, window.end());
}

void abflussmodellklasse::WriteStatistics() {
    if (statistic) {
        statistic->Reset();
        for (int tg = 1; tg <= nSb; ++tg) {
            zoneFZT& r = statRecords[static_cast<std::size_t>(tg)];
            r.n += 1;
            r.RelCellSum += 1;
            r.sx += SimulatedDischarge(tg);
        }
        statistic->Accumulate(year, month, day, hour);
    }
    for (int k = 1; k <= nTr && static_cast<std::size_t>(k) < tracerOutputs.size(); ++k) {
        TracerOutput& out = tracerOutputs[static_cast<std::size_t>(k)];
        if (!out.statistic) continue;
        out.statistic->Reset();
        for (int tg = 1; tg <= nSb; ++tg) {
            zoneFZT& r = out.records[static_cast<std::size_t>(tg)];
            r.n += 1;
            r.RelCellSum += 1;
            r.sx += working[static_cast<std::size_t>(k)][static_cast<std::size_t>(tg)];
        }
        // Only this process routes: its records are the whole basin's, no reduction.
        out.statistic->Step(year, month, day, hour, 0);
    }
}

void abflussmodellklasse::InitTracerOutputs() {
    const auto tracers = static_cast<std::size_t>(nTr + 1);
    decayPerStep.assign(tracers, 0.0);
    decayPerSubInterval.assign(tracers, 0.0);
    tracerOutputs.clear();
    tracerOutputs.resize(tracers);
    if (!Active() || nTr < 1 || tracerDescriptors == nullptr) return;
    for (int k = 1; k <= nTr; ++k) {
        const TracerDescriptor& d = tracerDescriptors[k];
        if (d.radioactive == 1 && d.half_time > 0) {
            decayPerStep[static_cast<std::size_t>(k)] = std::exp(-(timeInterval / 60 / 24) / (d.half_time * 1.442695041111));
            decayPerSubInterval[static_cast<std::size_t>(k)] =
                std::exp(-(timeInterval / nSub / 60 / 24) / (1.442695041111 * d.half_time));
        }
        TracerOutput& out = tracerOutputs[static_cast<std::size_t>(k)];
        out.records.assign(static_cast<std::size_t>(nSb + 1), zoneFZT{});
        for (int i = 0; i <= nSb && zoneRecords != nullptr && static_cast<std::size_t>(i) < zoneRecords->size(); ++i) {
            const zoneFZT& z = (*zoneRecords)[static_cast<std::size_t>(i)];
            zoneFZT& r = out.records[static_cast<std::size_t>(i)];
            r.zonenwert = z.zonenwert;
            r.rel = z.rel;
            r.RelCellSum = z.RelCellSum;
        }
        out.fileName = StrFormat("%s%.3s%.5s.%.3s", d.path.c_str(), d.name.c_str(), moduleName.c_str(), d.statext.c_str());
        std::vector<int> selected;
        for (std::size_t i = 1; i < outputList.size(); ++i) selected.push_back(outputList[i]);
        int error = 0;
        out.statistic = std::make_unique<zonalstatistic>(&error, log, nullptr, nrows, ncols, out.records.data(), nSb,
                                                         d.statcode, 99, out.fileName, outputPath,
                                                         outputList.empty() ? 0 : outputList[0], selected);
        if (error != 0) throw ModelError(103);
        out.statistic->WriteHeader(StrFormat("tracer concentration for tracer %d (%s) ", k, d.name.c_str()),
                                   moduleName, settings.outputCodes, settings.outputCodeCount);
    }
}

void abflussmodellklasse::FreeTracerOutputs() {
    for (TracerOutput& out : tracerOutputs) {
        if (out.statistic) out.statistic->Release();
        out.statistic.reset();
        out.records.clear();
    }
    tracerOutputs.clear();
}
