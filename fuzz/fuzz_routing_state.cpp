// Fuzz target of the reader of a routing description's block in the storage content file: the
// fuzzed bytes are the block of a description with a tributary, a joined channel and an inflow,
// one tracer and two sub-intervals. Every outcome but a read block or a ModelError 71 with a
// FATAL entry is a failure, and what was read must be finite.
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "routing/routingclass.hpp"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 20000) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    std::ostringstream console;
    DiagLog log("", 4);
    log.SetConsole(console);

    std::vector<int> zoneIndex(10, 0);
    zoneIndex[3] = 1;
    zoneIndex[5] = 2;
    zoneIndex[9] = 3;
    SubbasinValues zoneSize{100, 0.3, 0.2, 0.5}, zoneFactor{1, 1, 1, 1};
    RoutingDescriptionArgs a;
    a.log = &log;
    a.controlFileName = "fuzz.ctl";
    a.area = 100;
    a.nSb = 3;
    a.nSub = 2;
    a.counts.ol = 1;
    a.counts.sum = 1;
    a.counts.amp = 1;
    a.counts.zl = 1;
    a.tgCode = 9;
    a.zoneSize = &zoneSize;
    a.zoneFactor = &zoneFactor;
    a.zoneIndex = &zoneIndex;
    a.nTr = 1;
    routingclass r(a);
    const double river[10] = {2, 4, 10, 50, 1, 30, 20, 0.001, 20000, 30};
    const double joined[10] = {1, 1, 10, 50, 1, 30, 20, 0.001, 3000, 20};
    r.SetChannel(1, 3, {}, 2, 0, 10, 1000, 2, river);
    r.SetChannel(2, 5, {3}, 2, 0, 10, 1000, 2, joined);
    r.SetInflow(3, 1, routing::kInflowConstant, "", 0, 0, 2020, 1, 1, 1, 1.5);
    r.SetChannel(3, 1, {}, 2, 0, 10, 1000, 2, river);
    r.CheckArea();
    RunoffArray working(2, std::vector<double>(8, 0.5));
    routing::FlowHistory history;
    history.Assign(2, 2, 5);
    for (int t = 0; t <= 1; ++t)
        for (int s = 1; s <= 2; ++s)
            for (std::size_t i = 0; i < 5; ++i) history(t, s, i) = 0.5;
    r.AllocFlowArrays(&working, &history, nullptr, nullptr);
    r.InitChannelFlows();

    std::FILE* f = fmemopen(text.data(), text.size() + (text.empty() ? 1 : 0), "r");
    if (f == nullptr) return 0;
    try {
        r.ReadStorage(f, "fuzz.ftz");
    } catch (const ModelError& e) {
        Check(e.code() == 71);
        Check(console.str().find("(position ") != std::string::npos);
    }
    std::fclose(f);
    for (int k = 1; k <= 3; ++k) {
        const routingclass::Element& el = r.ElementAt(k);
        for (std::size_t j = 0; j < el.Qaus.size(); ++j)
            for (double v : el.Qaus.Row(j)) Check(std::isfinite(v));
        for (double v : el.qvzuq) Check(std::isfinite(v));
    }
    for (int t = 0; t <= 1; ++t)
        for (int i = 1; i <= 4; ++i)
            for (std::size_t y = 0, n = r.DelayLine(t, i).size(); y < n; ++y)
                Check(std::isfinite(r.DelayLine(t, i)[y]));
    return 0;
}
