// One interpolation step of 50 stations onto a 1000 x 1000 grid with inverse-distance weighting
// (weight 2), the nearest station (Thiessen) and the elevation regression fitted to the
// stations; reports cells and cell-station pairs per second at 1 and 8 threads, the thread
// efficiency at 8 threads, and, for inverse distance, the rate of a plain stand-alone loop of the
// same arithmetic on the same grid and stations (built for the baseline processor and for AVX2),
// so that the ratio is measured side by side.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <map>
#include <vector>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

#include "bench_domain.hpp"
#include "meteo/meteoint.hpp"

namespace {

constexpr int kSize = 1000;
constexpr int kStations = 50;
constexpr double kCell = 100.0;
constexpr double kMaxDistance = 1e9;

// A scattered, fixed pattern of stations over the domain (as written to the station file, so the
// reference loop reads the same rounded coordinates).
double StationX(int k) { return std::stod(std::to_string((37 * k % 97 + 0.5) * kSize * kCell / 97.0)); }
double StationY(int k) { return std::stod(std::to_string((61 * k % 89 + 0.5) * kSize * kCell / 89.0)); }
double StationValue(int k) { return std::stod(std::to_string(5.0 + 0.1 * k)); }

// One-thread time per benchmark name, for the efficiency of the 8-thread run.
std::map<std::string, double>& OneThreadSeconds() {
    static std::map<std::string, double> times;
    return times;
}

// Time of one step of the model's inverse distance per number of threads, for its ratio to the
// plain loops.
std::map<int, double>& InverseDistanceSeconds() {
    static std::map<int, double> times;
    return times;
}

// Rate counters, and the thread efficiency against the 1-thread run of the same name.
void Report(benchmark::State& state, const std::string& name, int threads, double seconds, bool pairs) {
    const double cells = static_cast<double>(kSize) * kSize;
    state.counters["cells"] = benchmark::Counter(cells, benchmark::Counter::kIsIterationInvariantRate);
    if (pairs) {
        state.counters["pairs_per_core"] = benchmark::Counter(
            cells * kStations / threads, benchmark::Counter::kIsIterationInvariantRate);
    }
    const double perStep = seconds / static_cast<double>(state.iterations());
    if (threads == 1) OneThreadSeconds()[name] = perStep;
    const auto one = OneThreadSeconds().find(name);
    if (threads > 1 && one != OneThreadSeconds().end())
        state.counters["efficiency"] = one->second / (threads * perStep);
}

// The input files and the grids of the domain, in a directory of their own.
struct Domain : talvo_bench::OneZoneDomain {
    explicit Domain(int method) : OneZoneDomain("meteo", kSize, kCell) {
        WriteFiles(method);
        memory_handling mh;
        for (Matrix* m : {&zones, &elevation, &relArea, &coordX, &coordY}) *m = mh.matrix(1, kSize, 1, kSize, kSize);
        for (int r = 1; r <= kSize; ++r)
            for (int c = 1; c <= kSize; ++c) {
                zones[r][c] = 1;
                elevation[r][c] = 200 + r * 0.5 + c * 0.25;
                relArea[r][c] = 1;
                coordX[r][c] = (c - 0.5) * kCell;
                coordY[r][c] = (kSize - r + 0.5) * kCell;
            }
        talvo_bench::NameGridEntry(store[1], &zones, "zones");
        talvo_bench::NameGridEntry(store[2], &elevation, "elevation");
        talvo_bench::NameGridEntry(store[3], &relArea, "RelCellArea");
        talvo_bench::NameGridEntry(store[4], &coordX, "CoordX");
        talvo_bench::NameGridEntry(store[5], &coordY, "CoordY");
        settings.startDay = settings.startMonth = 1;
        settings.startYear = 2000;
        settings.endDay = settings.endMonth = 1;
        settings.endYear = 2001;
    }

    void WriteFiles(int method) const {
        std::ofstream st("stations.dat");
        st << "stations\n";
        const char* labels = "YY MM DD HH";
        std::string z = labels, x = labels, y = labels, v = "2000 1 1 0";
        for (int k = 0; k < kStations; ++k) {
            const double sx = StationX(k);
            const double sy = StationY(k);
            for (auto [line, value] : {std::pair{&z, 300.0 + 10 * k}, {&x, sx}, {&y, sy}, {&v, 5.0 + 0.1 * k}}) {
                *line += ' ';
                *line += std::to_string(value);
            }
        }
        st << z << "\n" << x << "\n" << y << "\nfifth\n" << v << "\n";
        // Methods 10 and 11 take the inversion parameters where the others name a regression file.
        const char* third = method == 10 || method == 11 ? "500 2000 100 0 0" : "none";
        std::ofstream ctl("bench.ctl");
        ctl << "[temperature]\n" << method << "\nstations.dat\n" << third
            << "\ntemperature.asc\n0\n1.0\nstat.txt 0\n9999\n2\n0.5\n1e9\n0\n1\n-1000\n-1000\n1000\n1000\n0\n";
    }

    Matrix zones, elevation, relArea, coordX, coordY;
};

// Arguments: the method (1 inverse distance, 4 Thiessen, 10 elevation regression fitted to the
// stations, refitted in every step as the time loop does) and the number of threads.
void BM_InterpolationStep(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    omp_set_num_threads(threads);
    Domain domain(method);
    unsigned error = 0;
    meteointerpol ip(error, domain.log.get(), "temperature", domain.settings, 6);
    if (error != 0) {
        state.SkipWithError("the interpolator could not be built");
        return;
    }
    const std::string label = method == 1 ? "inverse distance" : method == 4 ? "Thiessen" : "elevation regression";
    state.SetLabel(label);
    double seconds = 0;
    for (auto _ : state) {
        const double start = omp_get_wtime();
        if (method == 10 || method == 11) ip.ComputeElevationRegression(0);
        ip.run(0, 1, 1, 2000);
        benchmark::DoNotOptimize(ip.ResultGrid()[kSize / 2][kSize / 2]);
        seconds += omp_get_wtime() - start;
    }
    Report(state, label, threads, seconds, method != 10);
    if (method == 1) InverseDistanceSeconds()[threads] = seconds / static_cast<double>(state.iterations());
}
BENCHMARK(BM_InterpolationStep)
    ->ArgsProduct({{1, 4, 10}, {1, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The plain loop: inverse-distance weighting with weight 2 (squared distances, squared maximum
// distance) over the same cell centres and stations, written the straightforward way, one row.
struct PlainStations {
    std::vector<double> x, y, value;
    double maxD2 = kMaxDistance * kMaxDistance;
};

// Compiled without the assumption that a comparison or division may trap (the values are the
// same), so that the compiler may vectorise the selections.
#define TALVO_PLAIN_LOOP __attribute__((optimize("no-trapping-math")))
TALVO_PLAIN_LOOP __attribute__((always_inline)) inline void PlainRowBody(const PlainStations& s, int r, double* out) {
    const double y = (kSize - r - 0.5) * kCell, maxD2 = s.maxD2;
    double sum[kSize], weightSum[kSize];
    for (int c = 0; c < kSize; ++c) sum[c] = weightSum[c] = 0;
    // Station by station over the cells of the row: every cell takes its stations in order.
    for (int k = 0; k < kStations; ++k) {
        const auto i = static_cast<std::size_t>(k);
        const double sx = s.x[i], sy = s.y[i], v = s.value[i];
        for (int c = 0; c < kSize; ++c) {
            const double x = (c + 0.5) * kCell;
            const double d2 = (sx - x) * (sx - x) + (sy - y) * (sy - y);
            const double inverse = 1.0 / d2;
            const double w = d2 == 0 ? 1.0 : d2 <= maxD2 ? inverse : 0.0;
            weightSum[c] += w;
            sum[c] += w * v;
        }
    }
    for (int c = 0; c < kSize; ++c) out[c] = sum[c] / weightSum[c];
}

// The same loop compiled for the baseline processor and, where the processor has it, for AVX2
// (the compiler vectorises it across the cells of the row).
TALVO_PLAIN_LOOP void PlainRow(const PlainStations& s, int r, double* out) { PlainRowBody(s, r, out); }
TALVO_PLAIN_LOOP __attribute__((target("avx2"))) void PlainRowAvx2(const PlainStations& s, int r, double* out) {
    PlainRowBody(s, r, out);
}

// Arguments: threads, and 1 for the AVX2 build of the loop. Reports the model's inverse distance
// step (measured just before at the same threads) as a share of the plain loop's speed.
void BM_InverseDistanceReference(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const bool avx2 = state.range(1) != 0;
    if (avx2 && !__builtin_cpu_supports("avx2")) {
        state.SkipWithError("the processor has no AVX2");
        return;
    }
    omp_set_num_threads(threads);
    PlainStations s;
    for (int k = 0; k < kStations; ++k) {
        s.x.push_back(StationX(k));
        s.y.push_back(StationY(k));
        s.value.push_back(StationValue(k));
    }
    std::vector<double> out(static_cast<std::size_t>(kSize) * kSize);
    double seconds = 0;
    for (auto _ : state) {
        const double start = omp_get_wtime();
#pragma omp parallel for schedule(static)
        for (int r = 0; r < kSize; ++r) {
            double* row = out.data() + static_cast<std::size_t>(r) * kSize;
            if (avx2) {
                PlainRowAvx2(s, r, row);
            } else {
                PlainRow(s, r, row);
            }
        }
        benchmark::DoNotOptimize(out[out.size() / 2]);
        seconds += omp_get_wtime() - start;
    }
    state.SetLabel(avx2 ? "inverse distance, plain loop for AVX2" : "inverse distance, plain loop");
    Report(state, avx2 ? "reference avx2" : "reference", threads, seconds, true);
    const auto model = InverseDistanceSeconds().find(threads);
    if (model != InverseDistanceSeconds().end() && model->second > 0)
        state.counters["model_share_of_plain"] = seconds / static_cast<double>(state.iterations()) / model->second;
}
BENCHMARK(BM_InverseDistanceReference)
    ->ArgsProduct({{1, 8}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
