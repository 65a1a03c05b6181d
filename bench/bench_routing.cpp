// The routing time step over a synthetic network of 10,000 subbasins: a binary tree in which
// every subbasin has a routing description whose tributary channels (none, one or two) come
// from its two children. Channels of 200 m to 3 km give flow times under one hour, delays of
// up to about ten sub-intervals at a 5-minute step and one to four sub-channels. Reports reach
// steps per second (channel elements x steps / s) for water alone with one sub-interval and
// for nine tracers with four sub-intervals, and the set-up time of the descriptions; the same
// network with 100 reservoirs (outflow sub-steps of 60 s) at the outlets of the first
// descriptions gives reservoir steps per second, and a lake of 10,000 cells its exchange with
// the cells per step. Routing runs on process 0 in one thread.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "bench_support.hpp"
#include "kernel/controlfile.hpp"
#include "routing/abfluss.hpp"
#include "routing/reservoir.hpp"
#include "setup/tracer_ini.hpp"

namespace {

constexpr int kSubbasins = 10000;
constexpr int kSteps = 1000;

struct Network {
    Network(int nSub, int nTr, int reservoirs = 0) {
        dir = talvo_bench::EnterScratchDirectory("routing");
        WriteControlFile(nSub, reservoirs);
        memory_handling mh;
        zones = mh.matrix(1, 1, 1, 1, 1);
        zones[1][1] = 1;
        store[1].grid = &zones;
        store[1].internalName = "[zone_grid]";
        store[1].hasInternalName = true;
        index.assign(kSubbasins + 1, 0);
        records.assign(kSubbasins + 1, zoneFZT{0, 0, 0, 1.0 / kSubbasins, 0});
        records[0].rel = 10.0 * kSubbasins;
        for (int c = 1; c <= kSubbasins; ++c) {
            index[static_cast<std::size_t>(c)] = c;
            records[static_cast<std::size_t>(c)].zonenwert = c;
        }
        settings.controlFileName = "bench.ctl";
        settings.zoneIndex = &index;
        settings.zoneRecords = &records;
        settings.zoneCount = kSubbasins;
        settings.maxZoneCode = kSubbasins;
        settings.ncols = settings.nrows = 1;
        settings.firstRow = settings.lastRow = 1;
        settings.cellsize = 1000;
        settings.startHour = settings.endHour = 1;
        settings.startDay = settings.endDay = 1;
        settings.startMonth = settings.endMonth = 1;
        settings.startYear = settings.endYear = 2000;
        settings.gridStore = &store;
        log = std::make_unique<DiagLog>("bench_diag.xml", 0);
        log->SetConsole(quiet);
        tracers.assign(static_cast<std::size_t>(nTr + 1), TracerDescriptor{});
        for (int t = 1; t <= nTr; ++t) {
            tracers[static_cast<std::size_t>(t)].radioactive = 1;
            tracers[static_cast<std::size_t>(t)].half_time = 10.0 * t;
        }
        const auto start = std::chrono::steady_clock::now();
        unsigned error = 0;
        model = std::make_unique<abflussmodellklasse>(error, log.get(), settings, tracers.data(), nTr);
        if (error != 0) throw ModelError(static_cast<int>(error));
        runoff.assign(static_cast<std::size_t>(nTr + 1), std::vector<double>(kSubbasins + 1, 0.2));
        model->SetRunoffSource(&runoff);
        model->CheckConnectionsAndInitRouting();
        setupSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (int n = 1; n <= model->DescriptionCount(); ++n) {
            const routingclass& r = model->Description(n);
            for (int k = 1; k <= r.TributaryCount(); ++k) {
                ++channels;
                subChannels += r.ElementAt(k).table.m;
                maxDelay = std::max(maxDelay, r.ElementAt(k).table.maxDelta);
            }
        }
    }
    ~Network() {
        if (model) model->Finish();
        model.reset();
        log.reset();
        std::error_code ec;
        std::filesystem::current_path(std::filesystem::temp_directory_path(), ec);
        std::filesystem::remove_all(dir, ec);
    }
    void WriteControlFile(int nSub, int reservoirs) const {
        std::ostringstream s;
        s << "[routing_model]\n1\n5 time step\n10 30 10 " << nSub
          << "\nQstat.txt 0\nnone.txt\n0\n0\n";
        // Subbasin c flows into c / 2: descriptions from the largest code down, so that every
        // description stands after those of its tributaries.
        for (int p = kSubbasins; p >= 1; --p) {
            s << "TG " << p << " = 10 = 1";
            for (int c : {2 * p, 2 * p + 1}) {
                if (c > kSubbasins) continue;
                const double L = 200 + (c * 37) % 2800;
                s << " OL " << c << " = 1 = 2 = 1 = 50 = 1 = 40 = 20 = 0.01 = " << L << " = 10";
            }
            if (p <= reservoirs) s << " SP " << p << " = file = res" << p << ".txt V0 = 1e6 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 60";
            s << "\n";
        }
        s << "end\n[output_interval]\n1\n0\n0\n";
        for (int p = 1; p <= reservoirs; ++p) s << "[abstraction_rule_reservoir_" << p << "]\n2\n0 0\n1e9 1e4\n\n";
        std::ofstream("bench.ctl") << s.str();
    }
    void Steps(int n) {
        for (int i = 0; i < n; ++i) {
            ++step;
            for (int c = 1; c <= kSubbasins; c += 97) runoff[0][static_cast<std::size_t>(c)] = 0.1 + (step % 24) * 0.02;
            model->run(1 + step % 24, 1 + (step / 24) % 28, 1, 2000);
        }
    }

    std::filesystem::path dir;
    GridStore store;
    Matrix zones;
    std::vector<int> index;
    std::vector<zoneFZT> records;
    SubmodelSettings settings;
    std::ostringstream quiet;
    std::unique_ptr<DiagLog> log;
    std::vector<TracerDescriptor> tracers;
    std::unique_ptr<abflussmodellklasse> model;
    RunoffArray runoff;
    double setupSeconds = 0;
    long channels = 0;
    double subChannels = 0;
    int maxDelay = 0;
    long step = 0;
};

void BM_RoutingSteps(benchmark::State& state) {
    const int nSub = static_cast<int>(state.range(0)), nTr = static_cast<int>(state.range(1));
    const int reservoirs = static_cast<int>(state.range(2));
    Network net(nSub, nTr, reservoirs);
    // On a shared machine the wall clock also counts the time other programs hold the core:
    // the rate per second of this thread's own processor time is given beside it.
    const std::clock_t cpuStart = std::clock();
    for (auto _ : state) net.Steps(kSteps);
    const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    state.counters["reach_steps_per_s"] =
        benchmark::Counter(static_cast<double>(net.channels) * kSteps, benchmark::Counter::kIsIterationInvariantRate);
    if (cpuSeconds > 0)
        state.counters["reach_steps_per_cpu_s"] = static_cast<double>(net.channels) * kSteps * state.iterations() / cpuSeconds;
    state.counters["channels"] = static_cast<double>(net.channels);
    state.counters["mean_subchannels"] = net.subChannels / static_cast<double>(net.channels);
    state.counters["max_delay"] = net.maxDelay;
    state.counters["setup_s"] = net.setupSeconds;
    state.counters["init_passes"] = net.model->initialisationPasses;
    if (reservoirs > 0)
        state.counters["reservoir_steps_per_s"] =
            benchmark::Counter(static_cast<double>(reservoirs) * kSteps, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RoutingSteps)
    ->Args({1, 0, 0})
    ->Args({1, 0, 100})
    ->Args({4, 9, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// One lake of 100 x 100 cells on a sloping bottom: the step takes its water from the cells and
// gives it back with one level.
void BM_LakeExchange(benchmark::State& state) {
    constexpr int n = 100;
    memory_handling mh;
    Matrix grids[6];
    for (Matrix& g : grids) {
        g = mh.matrix(1, n, 1, n, n);
        g.fill(0);
    }
    Matrix &codes = grids[0], &ponding = grids[1], &maxPonding = grids[2], &zones = grids[3], &elevation = grids[4];
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) {
            codes[r][c] = 1;
            zones[r][c] = 1;
            elevation[r][c] = 100 + 0.001 * (r + c);
            maxPonding[r][c] = (110 - elevation[r][c]) * 1000;
        }
    std::vector<int> zoneIndex = {0, 1};
    routing::LakeGrids g;
    g.codes = &codes;
    g.ponding = &ponding;
    g.maxPonding = &maxPonding;
    g.zones = &zones;
    g.elevation = &elevation;
    g.transpiration = &grids[5];
    g.zoneIndex = &zoneIndex;
    g.nrows = g.ncols = n;
    g.cellsize = 100;
    const auto dir = talvo_bench::EnterScratchDirectory("lake");
    std::ostringstream quiet;
    DiagLog log("bench_diag.xml", 0);
    log.SetConsole(quiet);
    routing::Reservoir lake(1, 1, log, nullptr, 0, 60, "");
    std::size_t pos = 0;
    lake.ReadParams("file = lake1.txt V0 = 2e8 C0 = 0 0 0 0 0 0 0 0 0", pos);
    lake.InitLake(g, 1);
    lake.DistributeLevel(lake.Volume());
    std::vector<routing::Abstraction*> none;
    const std::vector<double> c = {0};
    constexpr int kLakeSteps = 200;
    for (auto _ : state)
        for (int i = 0; i < kLakeSteps; ++i) lake.Route(10, c, none, 0, 0, 2000, 1, 1, 1 + i % 24);
    state.counters["lake_step_ms"] =
        benchmark::Counter(kLakeSteps * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["points"] = static_cast<double>(lake.Levels().size());
    log.Close();
    std::error_code ec;
    std::filesystem::current_path(std::filesystem::temp_directory_path(), ec);
    std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_LakeExchange)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_RoutingSetUp(benchmark::State& state) {
    for (auto _ : state) {
        Network net(1, 0);
        benchmark::DoNotOptimize(net.channels);
    }
    state.counters["descriptions"] = kSubbasins;
}
BENCHMARK(BM_RoutingSetUp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
