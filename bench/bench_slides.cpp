// One snow slide pass over a 1000 x 1000 basin on process 0 (the gathers and scatters around it
// excluded): every basin cell visited in elevation order, with and without glacier parts.
// Reports visited cells per second; the target is at least 5e6.
#include <benchmark/benchmark.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <vector>

#include "bench_support.hpp"
#include "surface/glacier_slides.hpp"

namespace {

constexpr int kSize = 1000;

struct Basin {
    std::deque<Matrix> grids;
    glacier::SlideGrids g;

    Matrix& Make(double v) {
        memory_handling mh;
        grids.push_back(mh.matrix(1, kSize, 1, kSize, kSize));
        grids.back().fill(v);
        return grids.back();
    }

    explicit Basin(bool glaciers) {
        g.nrows = g.ncols = kSize;
        Matrix& zone = Make(1);
        Matrix& z = Make(0);
        for (int r = 1; r <= kSize; ++r)
            for (int c = 1; c <= kSize; ++c) {
                z[r][c] = 3000 - 2.0 * r + 300 * std::sin(c * 0.01) * std::cos(r * 0.013);
                if (c > kSize / 2) zone[r][c] = 2;
            }
        // Elevation order built once, as the model does at construction.
        std::vector<std::pair<double, int>> order;
        order.reserve(static_cast<std::size_t>(kSize) * kSize);
        for (int r = 1; r <= kSize; ++r)
            for (int c = 1; c <= kSize; ++c) order.push_back({z[r][c], (r - 1) * kSize + (c - 1)});
        std::stable_sort(order.begin(), order.end(), [](auto& a, auto& b) { return a.first < b.first; });
        Matrix& orow = Make(0);
        Matrix& ocol = Make(0);
        std::size_t k = 0;
        for (int r = 1; r <= kSize; ++r)
            for (int c = 1; c <= kSize; ++c, ++k) {
                orow[r][c] = order[k].second / kSize + 1;
                ocol[r][c] = order[k].second % kSize + 1;
            }
        g.zone = &zone;
        g.orderRow = &orow;
        g.orderCol = &ocol;
        for (int d = 1; d <= 4; ++d) g.fraction[d] = &Make(0.25);
        g.slope = &Make(35);
        g.maxDeposition = &Make(5);
        g.T = &Make(100);
        g.L = &Make(5);
        g.S = &Make(95);
        if (glaciers) {
            g.glacierFraction = &Make(0.3);
            g.TG = &Make(50);
            g.LG = &Make(0);
            g.SG = &Make(50);
        }
        g.input = &Make(0);
        g.mobile = &Make(0);
        g.deposition = &Make(0);
    }
};

void SlidePass(benchmark::State& state) {
    Basin b(state.range(0) != 0);
    std::int64_t visits = 0;
    for (auto _ : state) {
        visits += glacier::SlidePass(b.g, {30.0, 0.01});
        benchmark::DoNotOptimize(b.g.T);
    }
    state.counters["cell_visits_per_s"] = benchmark::Counter(static_cast<double>(visits), benchmark::Counter::kIsRate);
}
BENCHMARK(SlidePass)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return talvo_bench::RunUnderMpi(argc, argv); }
