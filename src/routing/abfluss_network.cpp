// The second reading of the routing descriptions: one routing object per description, with its
// channels and inflows, then the checks and table files of every description.
#include "routing/abfluss.hpp"

class NetworkBuilder : public routing::DescriptionSink {
public:
    explicit NetworkBuilder(abflussmodellklasse& m) : m_(m) {}

    void Begin(int n, int tgCode, double area, double factor, const routing::ElementCounts& counts) override {
        RoutingDescriptionArgs a;
        a.log = m_.log;
        a.controlFileName = m_.controlFileName;
        a.textOutput = m_.textOutput;
        a.doublePrecision = m_.doublePrecision;
        a.record = m_.settings.record;
        a.gridStore = m_.gridStore;
        a.dt = m_.timeInterval;
        a.area = area;
        a.factor = factor;
        a.nSb = m_.nSb;
        a.nSub = m_.nSub;
        a.counts = counts;
        a.tgCode = tgCode;
        a.zoneSize = &m_.abfrel[0];
        a.zoneFactor = &m_.abfrel[1];
        a.zoneIndex = m_.zoneIndex;
        a.nTr = m_.nTr;
        a.tracers = m_.tracerDescriptors;
        a.lakeReadGrids = m_.lakeReadGrids;
        a.lakeModelling = m_.lakeModelling != 0;
        a.lakeGrids = &m_.lakeGrids;
        if (static_cast<int>(m_.routings.size()) != n) m_.routings.resize(static_cast<std::size_t>(n));
        m_.routings.push_back(std::make_unique<routingclass>(a));
        current_ = m_.routings.back().get();
    }
    void Channel(int e, int code, const std::vector<int>& joined, const double values[10]) override {
        current_->SetChannel(e, code, joined, m_.nSub, m_.observedInflow, m_.qmin, m_.qmax, m_.nIntervals, values);
    }
    void Inflow(int e, const routing::InflowDef& s) override {
        current_->SetInflow(e, s.z, s.mode, s.fileName, s.firstRow, s.column, m_.startDate[0], m_.startDate[1],
                            m_.startDate[2], m_.startDate[3], s.value);
    }
    void Abstraction(int e, routing::TextCursor& cursor) override {
        current_->SetAblaufModus(m_.ControlStream(), e, cursor, m_.nSub, m_.startDate[0], m_.startDate[1],
                                 m_.startDate[2], m_.startDate[3]);
    }
    void Reservoir(int e, routing::TextCursor& cursor) override {
        current_->SetSpeicherParams(m_.ControlStream(), e, cursor, m_.nSub);
    }

private:
    abflussmodellklasse& m_;
    routingclass* current_ = nullptr;
};

void abflussmodellklasse::BuildNetwork() {
    std::FILE* f = ControlStream();
    if (routing::AtEnd(f)) Fatal("rerror reading routing description \n2nd run, (1st run: o.k.)", 38);
    std::string line;
    routing::ReadLine(f, line);
    routing::NetworkContext ctx;
    ctx.zoneIndex = zoneIndex;
    ctx.nSb = nSb;
    ctx.maxZoneCode = maxZoneCode;
    ctx.nZL = totals.zl;
    ctx.moduleName = moduleName;
    ctx.targets = &targets;
    routings.clear();
    routings.resize(1);
    NetworkBuilder builder(*this);
    nDesc = routing::ReadDescriptions(f, line, ctx, builder, *log);

    // The rules, once every element exists: abstractions first, then the reservoirs with their
    // first outflow.
    for (int n = 1; n <= nDesc; ++n) Description(n).ReadAbstractionRules(f);
    for (int n = 1; n <= nDesc; ++n) Description(n).ReadReservoirRules(f);
    largestDelayLine = 0;
    for (int n = 1; n <= nDesc; ++n) largestDelayLine = Description(n).MaxStorageElements(largestDelayLine);
    for (int n = 1; n <= nDesc; ++n) {
        Description(n).CheckArea();
        Description(n).WriteWQTables();
        Description(n).SetIrrigationArrays(&maxirrig, &maxirrigFromReservoirs);
    }
}
