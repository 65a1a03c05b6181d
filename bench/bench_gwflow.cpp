// Over-relaxation sweeps of one 1000 x 1000 groundwater layer. Reports cell-iterations per
// second per thread count, a plain Gauss-Seidel loop of the same arithmetic as reference, the
// thread efficiency and, under mpiexec, sweeps per second of the layer split into bands of
// rows over the processes with its halo exchange and maximum per sweep, and the parallel
// efficiency against every process sweeping the whole layer at the same time.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "lateral/gwflow_numerics.hpp"

namespace {

constexpr int kSize = 1000;

// One layer with halo rows 0 and kSize + 1: fixed heads in the first and last column, a
// smooth start field, uniform transmissivity and storage.
struct Layer {
    int rows = kSize, cols = kSize;
    std::vector<std::vector<double>> h, h0, hp, tx, ty, q, st, top;
    std::vector<double*> ph, ph0, php, ptx, pty, pq, pst, ptop;
    std::vector<std::uint8_t> update;
    std::vector<gwnum::SorCell> cells;
    std::vector<double> lanes;
    gwnum::SorLayer view;

    Layer() {
        for (auto* g : {&h, &h0, &hp, &tx, &ty, &q, &st, &top}) g->assign(kSize + 2, std::vector<double>(kSize + 2, 0.0));
        update.assign(static_cast<std::size_t>(kSize + 2) * (kSize + 2), 0);
        for (int r = 1; r <= kSize; ++r)
            for (int c = 1; c <= kSize; ++c) {
                h[r][c] = h0[r][c] = hp[r][c] = 10 + std::sin(r * 0.01) * std::cos(c * 0.013);
                tx[r][c] = c < kSize ? 1e-3 : 0;
                ty[r][c] = r < kSize ? 1e-3 : 0;
                q[r][c] = -9999;
                st[r][c] = 1e-3;
                top[r][c] = 20;
                update[static_cast<std::size_t>(r * (kSize + 2) + c)] = (c > 1 && c < kSize) ? 1 : 0;
            }
        auto rows_of = [](std::vector<std::vector<double>>& g, std::vector<double*>& p) {
            for (auto& row : g) p.push_back(row.data());
            return p.data();
        };
        view.nrows = kSize;
        view.ncols = kSize;
        view.h = rows_of(h, ph);
        view.h0 = rows_of(h0, ph0);
        view.hp = rows_of(hp, php);
        view.tx = rows_of(tx, ptx);
        view.ty = rows_of(ty, pty);
        view.fixQ = rows_of(q, pq);
        view.st = rows_of(st, pst);
        view.st1 = view.st;
        view.top = rows_of(top, ptop);
        view.update = update.data();
        view.stride = kSize + 2;
        view.cellsize = 100;
        view.dt = 86400;
        view.sor = 1.5;
        // The cell terms of the step, as the model prepares them before its sweeps.
        cells.resize(static_cast<std::size_t>(kSize) * (kSize + 2));
        lanes.resize(static_cast<std::size_t>(gwnum::LaneTermsSize(1, kSize, kSize + 2)));
        gwnum::PrepareSweeps(view, 1, kSize, cells.data(), lanes.data());
        view.cells = cells.data();
        view.lanes = lanes.data();
        view.cellsFirstRow = 1;
    }
};

// The same arithmetic as a plain Gauss-Seidel loop on one thread: no masks per cell beyond the
// fixed columns, no atomic accesses, no adaptive bookkeeping.
double ReferenceSweep(Layer& L) {
    double maxChange = 0;
    const double area = 1e4, sdt = 1e-3 * area / 86400;
    for (int r = 1; r <= kSize; ++r) {
        double* h = L.h[r].data();
        for (int c = 2; c < kSize; ++c) {
            const double cn = r > 1 ? L.ty[r - 1][c] : 0, cs = L.ty[r][c], ce = L.tx[r][c], cw = L.tx[r][c - 1];
            const double sum = cn * (r > 1 ? L.h[r - 1][c] : 0) + cs * L.h[r + 1][c] + ce * h[c + 1] + cw * h[c - 1];
            const double hn = (sdt * L.h0[r][c] + sum) / (cn + cs + ce + cw + sdt);
            maxChange = std::max(maxChange, std::fabs(hn - h[c]) / 5);
            h[c] += 1.5 * (hn - h[c]);
        }
    }
    return maxChange;
}

void BM_SorSweep(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    omp_set_num_threads(threads);
    Layer layer;
    for (auto _ : state) benchmark::DoNotOptimize(gwnum::SorSweep(layer.view, 1, kSize).maxChange);
    state.counters["cell_iterations"] =
        benchmark::Counter(static_cast<double>(kSize) * kSize, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(std::to_string(threads) + " threads");
}
BENCHMARK(BM_SorSweep)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

// Ten sweeps in a row as a layer's solve makes them where one process's team overlaps them (the
// next sweep begins in the first pieces while the last pieces of the sweep before are swept);
// against BM_SorSweep's rate, what the overlap gains over sweeps one after the other.
void BM_OverlappedSweeps(benchmark::State& state) {
    constexpr int kSweeps = 10;
    const int threads = static_cast<int>(state.range(0));
    omp_set_num_threads(threads);
    Layer layer;
    for (auto _ : state) {
        // A limit below every change: the sweeps end at the count.
        const gwnum::SweepsResult r = gwnum::SweepUntil(layer.view, 1, kSize, kSweeps, -1.0);
        if (r.sweeps == 0)
            for (int i = 0; i < kSweeps; ++i) benchmark::DoNotOptimize(gwnum::SorSweep(layer.view, 1, kSize).maxChange);
        benchmark::DoNotOptimize(r.last.maxChange);
    }
    state.counters["cell_iterations"] = benchmark::Counter(static_cast<double>(kSize) * kSize * kSweeps,
                                                           benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(std::to_string(threads) + " threads");
}
BENCHMARK(BM_OverlappedSweeps)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReferenceSweep(benchmark::State& state) {
    Layer layer;
    for (auto _ : state) benchmark::DoNotOptimize(ReferenceSweep(layer));
    state.counters["cell_iterations"] =
        benchmark::Counter(static_cast<double>(kSize) * kSize, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReferenceSweep)->Unit(benchmark::kMillisecond)->UseRealTime();

// Seconds per sweep of rows first..last, with the halo exchange and the maximum of the change
// over all processes that the model makes per sweep.
double TimeSweeps(Layer& L, int first, int last, int sweeps, bool exchange) {
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    MPI_Barrier(MPI_COMM_WORLD);
    const double t0 = MPI_Wtime();
    for (int i = 0; i < sweeps; ++i) {
        if (exchange) {
            const int up = rank > 0 ? rank - 1 : MPI_PROC_NULL, down = rank + 1 < size ? rank + 1 : MPI_PROC_NULL;
            MPI_Sendrecv(L.h[first].data(), kSize + 2, MPI_DOUBLE, up, 0, L.h[last + 1].data(), kSize + 2, MPI_DOUBLE,
                         down, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
            MPI_Sendrecv(L.h[last].data(), kSize + 2, MPI_DOUBLE, down, 1, L.h[first - 1].data(), kSize + 2,
                         MPI_DOUBLE, up, 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        }
        double m = gwnum::SorSweep(L.view, first, last).maxChange, all = 0;
        MPI_Allreduce(&m, &all, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    }
    double t = (MPI_Wtime() - t0) / sweeps, tmax = t;
    MPI_Allreduce(&t, &tmax, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    return tmax;
}

// Figures that compare runs: thread efficiency in one process at the threads OMP_NUM_THREADS
// gives (the cores when unset), parallel efficiency over the processes (every process first
// sweeps the whole layer, so both figures see the same load).
void ReportScaling(int maxThreads) {
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    const int sweeps = 20;
    Layer layer;
    if (size == 1) {
        omp_set_num_threads(1);
        const double t1 = TimeSweeps(layer, 1, kSize, sweeps, false);
        omp_set_num_threads(maxThreads);
        const double tn = TimeSweeps(layer, 1, kSize, sweeps, false);
        const double ref = [&] {
            const double t0 = MPI_Wtime();
            for (int i = 0; i < sweeps; ++i) benchmark::DoNotOptimize(ReferenceSweep(layer));
            return (MPI_Wtime() - t0) / sweeps;
        }();
        std::printf("cell-iterations per second: 1 thread %.3g, %d threads %.3g; reference loop %.3g (ratio %.2f)\n",
                    kSize * double(kSize) / t1, maxThreads, kSize * double(kSize) / tn, kSize * double(kSize) / ref,
                    ref / t1);
        std::printf("thread efficiency at %d threads: %.2f\n", maxThreads, t1 / (maxThreads * tn));
    }
    omp_set_num_threads(1);
    const double whole = TimeSweeps(layer, 1, kSize, sweeps, false);
    const int first = rank * kSize / size + 1, last = (rank + 1) * kSize / size;
    const double band = TimeSweeps(layer, first, last, sweeps, true);
    if (rank == 0)
        std::printf("%d processes, 1 thread each: %.1f sweeps per second (one process alone: %.1f), parallel efficiency "
                    "%.2f\n",
                    size, 1.0 / band, 1.0 / whole, whole / (size * band));
}

}  // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    int size = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    // The benchmarks set their own thread counts: the scaling report takes the one of the start.
    const int threads = omp_get_max_threads();
    benchmark::Initialize(&argc, argv);
    // Under mpiexec only the scaling over processes is measured.
    if (size == 1) benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ReportScaling(threads);
    MPI_Finalize();
    return 0;
}
