// Fuzz target of the routing description reader: the fuzzed bytes are the lines after the
// R-square offset of "[routing_model]". Both passes run over them with a zone table of three
// subbasins; every outcome but a ModelError with a FATAL entry is a failure.
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "routing/description.hpp"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// Checks what the parser hands over against the limits of the network.
class CheckingSink : public routing::DescriptionSink {
public:
    explicit CheckingSink(const routing::NetworkTotals& t) : totals_(t) {}
    void Begin(int n, int tg, double, double factor, const routing::ElementCounts& c) override {
        Check(n >= 1 && n <= totals_.nDesc);
        Check(tg == 3 || tg == 5 || tg == 9);
        Check(factor > 0);
        counts_ = c;
        elements_ = c.ol + c.sum + c.zl + c.al + c.sp;
    }
    void Channel(int e, int code, const std::vector<int>& joined, const double v[10]) override {
        Check(e >= 1 && e <= elements_);
        Check(joined.size() <= 9);
        for (int i = 0; i < 10; ++i) Check(v[i] == v[i]);
        (void)code;
    }
    void Inflow(int e, const routing::InflowDef& s) override {
        Check(e >= 1 && e <= elements_);
        Check(s.z >= 1 && s.z <= totals_.counts.zl);
        Check(s.fileName.size() <= 299);
    }
    void Abstraction(int e, routing::TextCursor& c) override {
        Check(e >= 1 && e <= elements_);
        Check(c.pos <= c.text.size());
    }
    void Reservoir(int e, routing::TextCursor& c) override {
        Check(e >= 1 && e <= elements_);
        Check(c.pos <= c.text.size());
    }

private:
    routing::NetworkTotals totals_;
    routing::ElementCounts counts_;
    int elements_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 40000) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    std::ostringstream console;
    DiagLog log("", 4);
    log.SetConsole(console);
    std::vector<int> zoneIndex(10, 0);
    zoneIndex[3] = 1;
    zoneIndex[5] = 2;
    zoneIndex[9] = 3;
    routing::RoutingTargets targets;
    targets.Allocate(3);

    std::FILE* f = fmemopen(text.data(), text.size() + (text.empty() ? 1 : 0), "r");
    if (f == nullptr) return 0;
    try {
        const routing::NetworkTotals totals = routing::CountDescriptions(f, log);
        std::rewind(f);
        routing::NetworkContext ctx;
        ctx.zoneIndex = &zoneIndex;
        ctx.nSb = 3;
        ctx.maxZoneCode = 9;
        ctx.nZL = totals.counts.zl;
        ctx.moduleName = "routing_model";
        ctx.targets = &targets;
        CheckingSink sink(totals);
        std::string line;
        if (routing::ReadLine(f, line)) {
            const int n = routing::ReadDescriptions(f, line, ctx, sink, log);
            Check(n <= totals.nDesc);
            // An accepted network routes every subbasin to an outlet.
            Check(routing::FindCycle(targets.next()).empty());
        }
    } catch (const ModelError& e) {
        Check(e.code() == 17 || (e.code() >= 38 && e.code() <= 42));
        Check(!console.str().empty());
    }
    std::fclose(f);
    for (int v : targets.tributaries()) Check(v >= 0 && v <= 3);
    for (int v : targets.next()) Check(v >= 0 && v <= 3);
    return 0;
}
