// The silting-up model's time step: the parallel cell loop (built-in laws or the formulas of
// the section), the copy to the cells of response units, the zone statistics and the grids.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>

#include "kernel/nodata.hpp"
#include "kernel/exprparser.hpp"
#include "kernel/threading.hpp"
#include "lateral/siltingup.hpp"
#include "submodel/zonesums.hpp"
#include "setup/spinup.hpp"
#include "setup/tracer_ini.hpp"
#include "tables/landuse_entry.hpp"

// The first failing cell of a step (smallest row, then column) with what failed there.
struct siltingupclass::CellFailure {
    int code = 0;  // 0: none
    int row = INT_MAX, column = INT_MAX;
    int expression = -1;  // position in the formula list, -1 when no formula failed
    std::string message;  // the parser's answer, or what made the result unusable

    bool Before(const CellFailure& other) const {
        return row < other.row || (row == other.row && column < other.column);
    }
};

bool siltingupclass::OwnCell(int r, int c) const {
    if ((*zoneGrid)[r][c] == nodata) return false;
    if (mpiRegions != nullptr && mpiRegions->holds(r) && (*mpiRegions)[r][c] != rank) return false;
    return true;
}

int siltingupclass::SubbasinOf(int r, int c) const {
    const long code = std::lround((*zoneGrid)[r][c]);
    if (code < 0 || zoneIndex == nullptr || code >= static_cast<long>(zoneIndex->size())) return 0;
    return (*zoneIndex)[static_cast<std::size_t>(code)];
}

const landuse_entry* siltingupclass::LanduseAt(const Matrix* grid, int r, int c) const {
    if (settings.landuseTable == nullptr || grid == nullptr) return nullptr;
    // Land-use grids hold table positions; record 0 holds the number of records.
    const double v = (*grid)[r][c];
    if (v == nodata || v < 1 || v > settings.landuseTable[0].GetNumber()) return nullptr;
    return &settings.landuseTable[static_cast<int>(v)];
}

const siltingupclass::SoilValues& siltingupclass::SoilAt(int r, int c) const {
    const double v = soilTypes != nullptr ? (*soilTypes)[r][c] : 0.0;
    if (v >= 1 && v < static_cast<double>(soilValues_.size())) return soilValues_[static_cast<std::size_t>(v)];
    return soilValues_[0];
}

void siltingupclass::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    teilmodellklasse::run(h, d, m, y);
    if (flowControl == 0) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    if (waterInput == nullptr) SelectInputGrid(interceptionFirst);
    // Whether surface routing keeps the store between steps is decided once, at the first step.
    // Surface routing registers its weights as a stack without a 2-D grid, so entries without
    // one are searched too; otherwise the water it leaves on the surface would be dropped.
    if (!routingWeightsLooked) {
        routingWeightsFound = FindGrid("SurfaceRoutingWeights", true) > 0;
        routingWeightsLooked = true;
    }
    for (StatOutput* s : {&statDisposition, &statRunoff})
        if (s->stat) s->stat->Reset();
    ResetTracerStatistics();

    ComputeCells(d, m, y);
    CopyResponseUnits();
    AddStatistics();
    // The records of every table reach process 0 in one exchange; the tables step where they did.
    std::vector<zonalstatistic*> stats{statDisposition.stat.get(), statRunoff.stat.get()};
    AppendTracerStatistics(stats);
    ReduceStatisticsTogether(stats);
    for (StatOutput* s : {&statDisposition, &statRunoff})
        if (s->stat) s->stat->StepReduced(year, month, day, hour);
    for (OwnGrid* g : {&disposition, &rainPause, &kineticEnergy, &timeSinceTillage, &directRunoff})
        if (g->index > 0) WriteStatisticGrids(g->index, true, false);
    for (int t = 1; t <= tracerCount; ++t) {
        TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
        if (rec.statistics) rec.statistics->StepReduced(year, month, day, hour);
        if (rec.storageIndex > 0) WriteStatisticGrids(rec.storageIndex, true, false);
    }
}

void siltingupclass::ComputeCells(std::int64_t d, std::int64_t m, std::int64_t y) {
    const int jd = landuse_entry::JulianDay(d, m, y);
    const bool units = responseUnitGrid != nullptr && masterUnitGrid != nullptr;
    CellFailure first;
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
    {
        CellFailure local;
#pragma omp for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            if (!zoneGrid->holds(r)) continue;
            const auto [c0, c1] = BasinColumnsOfRow(r);
            // Each row has its own formula variables and parser.
            std::unique_ptr<ExprVariables> variables;
            std::unique_ptr<ExprParser> parser;
            if (method == 3) {
                variables = std::make_unique<ExprVariables>();
                parser = std::make_unique<ExprParser>(variables.get());
            }
            for (int c = c0; c <= c1; ++c) {
                if (!OwnCell(r, c)) continue;
                if (units && (*masterUnitGrid)[r][c] == nodata) continue;
                bool ok;
                try {
                    ok = ComputeCell(r, c, jd, d, m, y, parser.get(), local);
                } catch (const ModelError& e) {
                    ok = false;
                    if (local.code == 0) local.code = e.code();
                } catch (...) {
                    ok = false;
                    if (local.code == 0) local.code = 103;
                }
                if (!ok) {
                    if (local.row == INT_MAX) {
                        local.row = r;
                        local.column = c;
                    }
                    break;
                }
            }
        }
#pragma omp critical(siltingup_failure)
        if (local.code != 0 && local.Before(first)) first = local;
    }
    ThrowCellFailure(first, d, m, y);
}

bool siltingupclass::EvaluateGroup(ExprParser& parser, std::size_t from, std::size_t to, CellFailure& failure) {
    for (std::size_t i = from; i < to; ++i) {
        std::string answer = parser.Evaluate(expressions[i]);
        if (answer.find("Error") != std::string::npos) {
            failure.code = 403;
            failure.expression = static_cast<int>(i);
            failure.message = std::move(answer);
            return false;
        }
    }
    return true;
}

namespace {

// Value of a result variable, 0 when the formulas did not define it.
double Result(const ExprVariables& v, const char* name) {
    double x = 0.0;
    v.Get(name, x);
    return x;
}

// The last formula of [from, to) that assigns name ("Z=..." in either case), else the last one.
int AssigningExpression(const std::vector<std::string>& list, std::size_t from, std::size_t to, char name) {
    int found = to > from ? static_cast<int>(to) - 1 : -1;
    for (std::size_t i = from; i < to; ++i) {
        const std::string& e = list[i];
        if (e.size() > 1 && std::toupper(static_cast<unsigned char>(e[0])) == name && e[1] == '=')
            found = static_cast<int>(i);
    }
    return found;
}

}  // namespace

bool siltingupclass::ComputeCell(int r, int c, int jd, std::int64_t d, std::int64_t m, std::int64_t y,
                                 ExprParser* parser, CellFailure& failure) {
    const double dt = timeInterval;
    double& input = (*waterInput)[r][c];
    // A step without precipitation data brings no water.
    if (NoData(input, nodata)) input = 0.0;
    double& store = (*surfaceStore)[r][c];
    if (!routingWeightsFound) store = 0.0;

    // Tillage of the first land-use layer; cover of the highest layer with a land use.
    const landuse_entry* first = LanduseAt(landuse[1], r, c);
    std::int32_t count = 0;
    const std::int32_t* days = nullptr;
    if (first != nullptr) first->GetSoilTillage(&count, &days);
    const bool tilled = silting::HasTillage(days);
    int layer = 1;
    for (int l = landuseLayers; l >= 1; --l) {
        if ((*landuse[static_cast<std::size_t>(l)])[r][c] != nodata) {
            layer = l;
            break;
        }
    }
    const double residue =
        first != nullptr ? first->ValueAtDate(nullptr, landuse_entry::Parameter::SR_ResidCovrg, d, m, y, 1, r, c,
                                              (*elevation)[r][c])
                         : 0.0;
    const double cover = std::min(1.0, residue + (*vegetationCover[static_cast<std::size_t>(layer)])[r][c]);
    const SoilValues& soil = SoilAt(r, c);

    double& tsbb = timeSinceTillage.data[r][c];
    tsbb = silting::TimeSinceTillage(jd, count, days, tsbb);
    const double P = silting::RainIntensity(input, dt);
    double& pause = rainPause.data[r][c];
    pause = silting::NextRainPause(pause, P, dt);
    double& energy = kineticEnergy.data[r][c];
    double& disp = disposition.data[r][c];

    double W, I0, Iinf, V;
    if (method == 3) {
        ExprVariables& v = parser->Variables();
        v.Clear();
        for (int k = 0; k < 10; ++k) v.Add(kVariableNames[k], soil.par[k + 1]);
        v.Add("K", soil.K);
        v.Add("L", soil.sand);
        v.Add("M", soil.clay);
        v.Add("N", soil.silt);
        v.Add("O", tsbb);
        v.Add("P", P);
        v.Add("Q", energy);
        v.Add("R", dt);
        if (!EvaluateGroup(*parser, 0, firstCapacityExpression, failure)) return false;
        disp = Result(v, "Z");
        Iinf = Result(v, "Y");
        I0 = Result(v, "X");
        W = Result(v, "W");
        const char names[4] = {'Z', 'Y', 'X', 'W'};
        const double values[4] = {disp, Iinf, I0, W};
        for (int k = 0; k < 4; ++k) {
            if (std::isfinite(values[k])) continue;
            const char name = names[k];
            failure.code = 403;
            failure.expression = AssigningExpression(expressions, 0, firstCapacityExpression, name);
            failure.message = std::string("result ") + name + " is not a finite number";
            return false;
        }
        energy = silting::NextKineticEnergy(energy, silting::StepEnergy(P, W, cover, dt), pause,
                                            minRainPause[static_cast<std::size_t>(SubbasinOf(r, c))], tsbb);
        v.Set("Q", energy);
        if (!EvaluateGroup(*parser, firstCapacityExpression, expressions.size(), failure)) return false;
        V = Result(v, "V");
        if (!std::isfinite(V)) {
            failure.code = 403;
            failure.expression = AssigningExpression(expressions, firstCapacityExpression, expressions.size(), 'V');
            failure.message = "result V is not a finite number";
            return false;
        }
        v.Clear();
    } else {
        Iinf = soil.laws.finalRate;
        W = silting::RainEnergyPerMm(P);
        disp = silting::Disposition(soil.laws, parameters.H, tsbb);
        I0 = parameters.A;
        energy = silting::NextKineticEnergy(energy, silting::StepEnergy(P, W, cover, dt), pause,
                                            minRainPause[static_cast<std::size_t>(SubbasinOf(r, c))], tsbb);
        V = silting::InfiltrationCapacity(disp, energy, I0, Iinf, dt);
    }

    // The step's input and the water left on the surface split into what infiltrates (the water
    // input of the soil model) and the direct runoff (added by the soil model to its direct flow,
    // which surface routing moves on). Both are handed on, so the store is empty until surface
    // routing fills it again: each millimetre has one owner.
    const silting::WaterSplit split = silting::SplitWater(input, store, V, tilled);
    if (tracerCount > 0) MoveTracers(r, c, input, store);
    input = split.infiltration;
    const double Q = split.runoff;
    directRunoff.data[r][c] = Q;
    store = 0.0;
    return true;
}

void siltingupclass::MoveTracers(int r, int c, double input, double store) {
    // The step's input joins the water on the surface (its tracer store holds, for a tracer
    // carried as mass, the tracer of that water; for an evaporating tracer its concentration).
    // All of that water leaves: the direct runoff and the infiltrating rest both carry the mixed
    // water's concentration, which the flux grid hands on to the soil model. So the store's
    // tracer leaves with its water, and the input's concentration is never applied to the
    // store's water (a rounding-size input with an extreme concentration charges nothing).
    const double water = std::max(input, 0.0) + store;
    for (int t = 1; t <= tracerCount; ++t) {
        TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
        const TracerDescriptor& d = tracerDescriptors[t];
        double& s = rec.storage[r][c];
        if (d.radioactive == 1) s *= rec.decayPerStep;
        const Matrix* flux = static_cast<std::size_t>(t) < incomingFlux.size() ? incomingFlux[static_cast<std::size_t>(t)]
                                                                               : nullptr;
        const double cin = input > 0 && flux != nullptr ? (*flux)[r][c] : 0.0;
        if (d.evaporating == 1) {
            if (input > 0) s = WeightedMean(s, cin, store, input);
            if (water > 0) rec.flux[r][c] = s;
            continue;
        }
        // Without water on the surface and tracer left in the store, the input's water leaves
        // as it came.
        const bool inputAlone = store <= 0 && s == 0;
        if (input > 0) s += input * cin;
        if (!(water > 0)) continue;
        const double mixed = inputAlone ? cin : s / water;
        const double conc = mixed > 0 ? std::min(mixed, d.max_conc) : 0.0;
        // Above the tracer's maximum concentration the surplus stays in the store.
        s = !inputAlone && mixed > d.max_conc ? s - conc * water : 0.0;
        rec.flux[r][c] = conc;
    }
}

void siltingupclass::ThrowCellFailure(const CellFailure& local, std::int64_t d, std::int64_t m, std::int64_t y) {
    // Every process fails together: the largest code wins, and a formula failure names the
    // formula of the lowest position.
    int mine[2] = {local.code, local.code == 403 ? -local.expression : INT_MIN};
    int all[2] = {0, INT_MIN};
    MPI_Allreduce(mine, all, 2, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    if (all[0] == 0) return;
    if (all[0] == 403) {
        const int e = -all[1];
        const std::string text = e >= 0 && static_cast<std::size_t>(e) < expressions.size() ? expressions[e] : "";
        const std::string message = local.code == 403 && local.expression == e ? local.message
                                                                                  : "failed on another process";
        *log << "FATAL: \n-----------------error------------\nin instance " << moduleName << "\nexpression " << text
             << " could not be parsed correctly. " << "Parser message: " << message << "[end-entry]";
        throw ModelError(403);
    }
    if (local.code != 0 && local.row != INT_MAX) {
        // Replays the land-use lookup of the failing cell with the log, which names the cause.
        const landuse_entry* lu = LanduseAt(landuse[1], local.row, local.column);
        try {
            if (lu != nullptr)
                lu->ValueAtDate(log, landuse_entry::Parameter::SR_ResidCovrg, d, m, y, 1, local.row, local.column,
                                (*elevation)[local.row][local.column]);
        } catch (...) {
        }
    }
    *log << "FATAL: silting-up step failed at " << (local.code != 0 ? "this" : "another") << " process with code "
         << all[0] << "[end-entry]";
    throw ModelError(all[0]);
}

void siltingupclass::CopyResponseUnits() {
    if (responseUnitGrid == nullptr || masterUnitGrid == nullptr || settings.responseUnits == nullptr) return;
    const auto& units = *settings.responseUnits;
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!zoneGrid->holds(r)) continue;
        for (int c = 1; c <= ncols; ++c) {
            if (!OwnCell(r, c) || (*masterUnitGrid)[r][c] != nodata) continue;
            const double id = (*responseUnitGrid)[r][c];
            const bool valid = id >= 1 && id < static_cast<double>(units.size()) && id == std::floor(id);
            const HydrologicResponseUnit* u = valid ? &units[static_cast<std::size_t>(id)] : nullptr;
            if (u == nullptr || !zoneGrid->holds(u->row) || u->column < 1 || u->column > ncols) {
                // The cell keeps its own values.
                if (!unitWarningGiven_) {
                    *log << "WARNING: " << moduleName << ": cell " << r << "," << c << " names the response unit "
                         << id << ", which is not in the list of units; such cells keep their own values"
                         << "[end-entry]";
                    unitWarningGiven_ = true;
                }
                continue;
            }
            const int mr = u->row, mc = u->column;
            for (Matrix* g : {surfaceStore, &timeSinceTillage.data, &rainPause.data, &kineticEnergy.data,
                              &disposition.data, waterInput, &directRunoff.data})
                (*g)[r][c] = (*g)[mr][mc];
            // The master's water leaves with the master's tracer.
            for (int t = 1; t <= tracerCount; ++t) {
                TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
                rec.storage[r][c] = rec.storage[mr][mc];
                rec.flux[r][c] = rec.flux[mr][mc];
            }
        }
    }
}

void siltingupclass::AddStatistics() {
    const bool sums = (statDisposition.stat && statDisposition.stat->active()) ||
                      (statRunoff.stat && statRunoff.stat->active()) || tracerCount > 0;
    if (!sums) return;
    // Outputs: the disposition, the runoff, then the tracers' tables. The sums n, RelCellSum and
    // sx of zone z of output k are sum base[k] + 3 z + 0, 1, 2.
    const int outputs = 2 + std::max(tracerCount, 0);
    statTargets_.assign(static_cast<std::size_t>(outputs), ZoneSumTarget{});
    statTargets_[0] = SumTargetOf(statDisposition.stat.get(), statDisposition.records);
    statTargets_[1] = SumTargetOf(statRunoff.stat.get(), statRunoff.records);
    for (int t = 1; t <= tracerCount; ++t) {
        TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
        statTargets_[static_cast<std::size_t>(1 + t)] = SumTargetOf(rec.statistics.get(), rec.zones);
    }
    statSumBase_.assign(static_cast<std::size_t>(outputs) + 1, 0);
    for (std::size_t k = 0; k < static_cast<std::size_t>(outputs); ++k)
        statSumBase_[k + 1] = statSumBase_[k] + (statTargets_[k].on() ? 3 * (static_cast<std::size_t>(statTargets_[k].highest) + 1) : 0);
    const std::size_t sumCount = statSumBase_.back();
    if (sumCount == 0) return;

    // The tables' sums are plain sums in the order of the cells. The threads take pieces of
    // consecutive rows and keep each cell's addends per piece and sum (a zero changes no sum,
    // the records being cleared at the step's start, and is not kept); then each sum adds its
    // addends piece after piece. The counts of cells (the sums of weights of 1 of the
    // disposition and the runoff) are whole and so summed in any order.
    const bool threaded = WorthThreads(firstRow, lastRow, ncols);
    const int rows = std::max(0, lastRow - firstRow + 1);
    const std::size_t pieces = threaded ? static_cast<std::size_t>(std::min(rows, 4 * omp_get_max_threads())) : 1;
    const std::size_t lists = pieces * sumCount;
    if (statAddends_.size() < lists) statAddends_.resize(lists);
    for (std::size_t j = 0; j < lists; ++j) statAddends_[j].clear();
    statCounts_.assign(lists, 0);
#pragma omp parallel if (threaded)
    {
        ZoneCellWeight weight(relCellArea, nrows, ncols);
#pragma omp for schedule(dynamic)
        for (std::size_t p = 0; p < pieces; ++p) {
            std::vector<double>* kept = statAddends_.data() + p * sumCount;
            std::int64_t* counts = statCounts_.data() + p * sumCount;
            // The addends AddValue would make, taken from a record of zeros (0 + x is x).
            const auto keep = [&](std::size_t k, int zone, double value, double w, bool count) {
                const ZoneSumTarget& target = statTargets_[k];
                if (!target.on() || zone < 0 || zone > target.highest) return;
                zoneFZT part{};
                weight.Add(ZoneSumTarget{&part, 0}, 0, value, w);
                const std::size_t at = statSumBase_[k] + 3 * static_cast<std::size_t>(zone);
                if (count)
                    ++counts[at];
                else if (part.n != 0)
                    kept[at].push_back(part.n);
                if (part.RelCellSum != 0) kept[at + 1].push_back(part.RelCellSum);
                if (part.sx != 0) kept[at + 2].push_back(part.sx);
            };
            const int r0 = firstRow + static_cast<int>(p * static_cast<std::size_t>(rows) / pieces);
            const int r1 = firstRow + static_cast<int>((p + 1) * static_cast<std::size_t>(rows) / pieces);
            for (int r = r0; r < r1; ++r) {
                if (!zoneGrid->holds(r)) continue;
                for (int c = 1; c <= ncols; ++c) {
                    if (!OwnCell(r, c)) continue;
                    const int zone = SubbasinOf(r, c);
                    const double Q = directRunoff.data[r][c];
                    weight.At(r, c);
                    keep(0, zone, disposition.data[r][c], 1.0, true);
                    keep(1, zone, Q, 1.0, true);
                    // The direct runoff's concentration, weighed with the runoff.
                    for (int t = 1; t <= tracerCount; ++t)
                        keep(static_cast<std::size_t>(1 + t), zone, tracers[static_cast<std::size_t>(t)].flux[r][c], Q,
                             false);
                }
            }
        }
#pragma omp for schedule(dynamic)
        for (std::size_t i = 0; i < sumCount; ++i) {
            std::size_t k = 0;
            while (statSumBase_[k + 1] <= i) ++k;
            const std::size_t at = i - statSumBase_[k];
            zoneFZT& record = statTargets_[k].records[at / 3];
            double& field = at % 3 == 0 ? record.n : at % 3 == 1 ? record.RelCellSum : record.sx;
            double sum = field;
            std::int64_t cells = 0;
            for (std::size_t p = 0; p < pieces; ++p) {
                for (const double v : statAddends_[p * sumCount + i]) sum += v;
                cells += statCounts_[p * sumCount + i];
            }
            if (cells != 0) sum += static_cast<double>(cells);
            field = sum;
        }
    }
}
