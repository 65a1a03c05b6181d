// The block of one routing description in the storage content file: the delay lines of its
// flow indices, the outflows of its sub-channels, the river records of its channels and the
// contents of its reservoirs.
#include <string>

#include "routing/routingclass.hpp"
#include "routing/state_reader.hpp"
#include "submodel/riverflow_table.hpp"

void routingclass::WriteHistoryBlock(std::FILE* f, int i, int count, const char* kind) const {
    for (int t = 0; t <= nTr_; ++t) {
        std::fprintf(f, "%d %d (tracer/flow index and %s)\n", t, i, kind);
        const routing::TracerLine<const double> line = DelayLine(t, i);
        for (int v = 1; v <= count; ++v) {
            std::fprintf(f, "%g ", static_cast<std::size_t>(v) < line.size() ? line[static_cast<std::size_t>(v)] : 0.0);
            if (v % 10 == 0) std::fprintf(f, "\n");
        }
        // A tributary ends every tracer's values with a line end, an inflow only the last one.
        if (kind[0] == 't' || t == nTr_) std::fprintf(f, "\n");
    }
}

void routingclass::WriteSubChannels(std::FILE* f, const Element& el, int t) const {
    if (!el.built || el.table.m < 1) return;
    for (int s = 1; s <= static_cast<int>(el.table.m); ++s) {
        for (int v = 1; v <= nSub_; ++v) std::fprintf(f, "%g ", el.Qaus[static_cast<std::size_t>(s)][static_cast<std::size_t>(v)]);
        std::fprintf(f, " (wqtab[local tributary %d].Qaus[subchannel %d][1..%d])\n", t, s, nSub_);
        std::fprintf(f, "%g (wqtab[local tributary %d].qvzuq[subchannel %d])\n", el.qvzuq[static_cast<std::size_t>(s)], t, s);
    }
}

void routingclass::WriteRiverRecord(std::FILE* f, int i) const {
    if (riverflow_ == nullptr) return;
    const riverflow_table& r = riverflow_[i];
    for (int t = 0; t <= nTr_ && t < 10; ++t) std::fprintf(f, "%lg ", r.flow_mm[t]);
    std::fprintf(f, "(riverflow_table[%d].flow_mm[%d])\n", i, nTr_ + 1);
    std::fprintf(f, "%lg %lg (riverflow_table[%d].flowm3s/speed\n", r.flowm3s, r.speed, i);
}

void routingclass::WriteStorage(std::FILE* f) const {
    std::fprintf(f, "%d (routing subbasin with tributaries", tgCode_);
    for (int k = 1; k <= nOL_; ++k) std::fprintf(f, " %d", elements_[static_cast<std::size_t>(k)].code);
    std::fprintf(f, "\n");
    for (int t = 1; t <= TributaryCount(); ++t) {
        const Element& el = elements_[static_cast<std::size_t>(t)];
        auto block = [&](int i) {
            WriteHistoryBlock(f, i, el.table.length, "tributary subbasin");
            WriteSubChannels(f, el, t);
            WriteRiverRecord(f, i);
        };
        for (int c : el.joined) block(ZoneIndexOf(c));
        block(FlowIndex(t));
    }
    // An inflow's block carries its own channel element.
    for (int z = 1; z <= nZL_; ++z) {
        const int k = TributaryCount() + z;
        const Element& el = elements_[static_cast<std::size_t>(k)];
        WriteHistoryBlock(f, FlowIndex(k), el.table.length, "external inflow");
        WriteSubChannels(f, el, z);
    }
    std::fprintf(f, "%d (number of reservoirs)\n", nSP_);
    for (int r = 1; r <= nSP_; ++r) {
        for (double c : reservoirs_[static_cast<std::size_t>(r)]->Content()) std::fprintf(f, "%lg ", c);
        std::fprintf(f, " (reservoir %d)\n", r);
    }
    std::fprintf(f, "\n\n");
}

void routingclass::ReadHistoryBlock(routing::StateReader& r, int i, int count) {
    for (int t = 0; t <= nTr_; ++t) {
        ++r.position;
        if (r.Integer("error reading tracer code") != t) r.Fail("error reading tracer code");
        if (r.Integer("error reading tributary index") != i) r.Fail("error reading tributary index");
        r.SkipLine();
        const routing::TracerLine<double> line = Line(t, i);
        for (int v = 1; v <= count; ++v) {
            const double x = r.Value();
            if (static_cast<std::size_t>(v) < line.size()) line[static_cast<std::size_t>(v)] = x;
        }
    }
}

void routingclass::RestoreWritePositions(Element& el, int i) {
    if (!el.built || el.table.m < 1) return;
    // Behind its last stored value a block holds nothing, so the last value that is not 0 marks
    // where the block's water ends; a block without water starts behind its sub-intervals.
    const routing::TracerLine<const double> line = DelayLine(0, i);
    const int stride = el.table.Stride(nSub_);
    for (int j = 1; j <= static_cast<int>(el.table.m); ++j) {
        const int first = (j - 1) * stride;
        int p = first + nSub_;
        for (int y = first + nSub_ + 1; y <= first + stride && static_cast<std::size_t>(y) < line.size(); ++y)
            if (line[static_cast<std::size_t>(y)] != 0) p = y;
        el.writePos[static_cast<std::size_t>(j)] = p;
    }
}

void routingclass::ReadSubChannels(routing::StateReader& r, Element& el) {
    if (!el.built || el.table.m < 1) return;
    for (int s = 1; s <= static_cast<int>(el.table.m); ++s) {
        for (int v = 1; v <= nSub_; ++v) el.Qaus[static_cast<std::size_t>(s)][static_cast<std::size_t>(v)] = r.Value();
        r.SkipLine();
        el.qvzuq[static_cast<std::size_t>(s)] = r.Value();
        r.SkipLine();
    }
}

void routingclass::ReadRiverRecord(routing::StateReader& r, int i) {
    if (riverflow_ == nullptr) return;
    riverflow_table& rec = riverflow_[i];
    for (int t = 0; t <= nTr_ && t < 10; ++t) rec.flow_mm[t] = r.Value();
    r.SkipLine();
    rec.flowm3s = r.Value();
    rec.speed = r.Value();
    r.SkipLine();
}

void routingclass::ReadStorage(std::FILE* f, const std::string& path) {
    routing::StateReader r(f, path, *log);
    r.position = 1;
    if (r.Integer("error reading subbasin code") != tgCode_) r.Fail("error reading subbasin code");
    // The tributary codes of the first line are for the reader of the file.
    r.SkipLine();
    for (int t = 1; t <= TributaryCount(); ++t) {
        Element& el = elements_[static_cast<std::size_t>(t)];
        auto block = [&](int i) {
            ReadHistoryBlock(r, i, el.table.length);
            r.SkipLine();
            ReadSubChannels(r, el);
            ReadRiverRecord(r, i);
        };
        for (int c : el.joined) block(ZoneIndexOf(c));
        block(FlowIndex(t));
        RestoreWritePositions(el, FlowIndex(t));
    }
    for (int z = 1; z <= nZL_; ++z) {
        const int k = TributaryCount() + z;
        Element& el = elements_[static_cast<std::size_t>(k)];
        ReadHistoryBlock(r, FlowIndex(k), el.table.length);
        r.SkipLine();
        ReadSubChannels(r, el);
        RestoreWritePositions(el, FlowIndex(k));
    }
    ++r.position;
    if (r.Integer("error reading reservoir code") != nSP_) r.Fail("error reading reservoir code");
    r.SkipLine();
    for (int k = 1; k <= nSP_; ++k) {
        for (double& c : reservoirs_[static_cast<std::size_t>(k)]->Content()) c = r.Value();
        r.SkipLine();
    }
}
