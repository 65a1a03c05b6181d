// The channel set-up of the discharge routing: building the water-level/discharge table of a
// channel with flood plains (100 classes) and looking up the class of runoffs in it; reports
// tables and lookups per second.
#include <benchmark/benchmark.h>

#include "routing/channel.hpp"

namespace {

const double kChannel[10] = {2, 4, 20, 2000, 0.1, 40, 0.5, 0.001, 50000, 100};

void BuildTable(benchmark::State& state) {
    const routing::ChannelParams p = routing::ChannelWithDefaults(kChannel);
    for (auto _ : state) {
        routing::WQTable t;
        benchmark::DoNotOptimize(routing::BuildWQTable(p, 10, 1000, 100, 60, 4, t));
        benchmark::DoNotOptimize(t.length);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BuildTable);

void ClassLookup(benchmark::State& state) {
    routing::WQTable t;
    routing::BuildWQTable(routing::ChannelWithDefaults(kChannel), 10, 1000, 100, 60, 4, t);
    double q = 0;
    for (auto _ : state) {
        q = q > 5 ? 0 : q + 0.001;
        benchmark::DoNotOptimize(routing::WQClassIndex(t, q, 60));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ClassLookup);

}  // namespace

BENCHMARK_MAIN();
