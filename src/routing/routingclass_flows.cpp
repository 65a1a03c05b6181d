// The flows of a routing description: external inflows, river records and delay lines.
#include <algorithm>

#include "routing/routingclass.hpp"
#include "submodel/riverflow_table.hpp"

namespace {
// Rows of an inflow table are read in blocks of this many bytes.
constexpr std::uint64_t kInflowBlockBytes = 1000000;

void RowDate(const TimeSeriesTable& t, int& y, int& m, int& d, int& h) {
    t.GetDate(y, m, d, h);
    if (y < 1000) y += 1900;
}
}  // namespace

void routingclass::SetInflow(int k, int code, int mode, const std::string& fileName, int firstRow, int column,
                             int year, int month, int day, int hour, double value) {
    const int z = k - TributaryCount();
    if (z < 1 || z > nZL_) Fatal("inflow element " + std::to_string(k) + " outside the inflows of subbasin " +
                                     std::to_string(tgCode_), 42);
    InflowElement& in = inflows_[static_cast<std::size_t>(z)];
    in.code = code;
    in.mode = mode;
    prepared_ = false;
    in.fileName = fileName;
    if (mode != routing::kInflowExtern) {
        if (!(value >= 0))
            Fatal(StrFormat("the constant inflow %g m3/s of inflow %d of subbasin %d must be >= 0", value, code,
                            tgCode_),
                  17);
        inflowConst_[0][static_cast<std::size_t>(z)] = value;
        return;
    }
    in.table = std::make_unique<TimeSeriesTable>();
    // A table whose first data row cannot be read is a file that cannot be opened for the inflow.
    try {
        in.table->Open(fileName, 0, kInflowBlockBytes, log);
    } catch (const ModelError&) {
        Fatal("error opening " + fileName + " for inflow " + std::to_string(z), 37);
    }
    TimeSeriesTable& t = *in.table;
    if (t.State() == TimeSeriesTable::kCannotOpen || t.State() == TimeSeriesTable::kNotOpened)
        FailOnFile(*log, "error opening " + fileName + " for inflow " + std::to_string(z), 37, t.OpenError());
    if (t.State() == TimeSeriesTable::kFormatError)
        Fatal("error opening " + fileName + " for inflow " + std::to_string(z), 37);

    // Stand on row firstRow - 1 (rows counted from 0), then search the start date from there.
    t.SetRow(-1);
    long row = -1;
    while (row < static_cast<long>(firstRow) - 1) {
        t.NextRow();
        if (t.State() == TimeSeriesTable::kAtEnd)
            Fatal("error searching in " + fileName + " for row " + std::to_string(firstRow) +
                      "\nactual reached row: " + std::to_string(row + 1),
                  38);
        ++row;
    }
    std::fill(std::begin(inflowDate_), std::end(inflowDate_), 0);
    t.MoveRow(-1);
    for (;;) {
        t.NextRow();
        if (t.State() == TimeSeriesTable::kAtEnd)
            Fatal("starting date " + std::to_string(day) + "." + std::to_string(month) + "." + std::to_string(year) +
                      ", " + std::to_string(hour) + ". h in " + fileName + " not found (search started at row " +
                      std::to_string(firstRow) + ")",
                  38);
        RowDate(t, inflowDate_[0], inflowDate_[1], inflowDate_[2], inflowDate_[3]);
        if (inflowDate_[0] == year && inflowDate_[1] == month && inflowDate_[2] == day && inflowDate_[3] == hour) break;
    }
    if (t.Columns() < nTr_ + column - 4)
        Fatal("there is not the required number of columns in " + fileName + " for reading ZL[" + std::to_string(z) +
                  "] and the follwoing " + std::to_string(nTr_) + " tracer values starting from column " +
                  std::to_string(column),
              38);
    for (int tr = 0; tr <= nTr_; ++tr) inflowConst_[static_cast<std::size_t>(tr)][static_cast<std::size_t>(z)] = t.GetValue(tr);
}

void routingclass::ReadInflows(RunoffArray& working, int year, int month, int day, int hour) {
    for (int z = 1; z <= nZL_; ++z) {
        InflowElement& in = inflows_[static_cast<std::size_t>(z)];
        if (in.mode != routing::kInflowExtern || !in.table) continue;
        TimeSeriesTable& t = *in.table;
        if (t.State() == TimeSeriesTable::kAtEnd)
            Fatal("error reading from " + in.fileName + " (or from its buffer) for inflow " + std::to_string(in.code) +
                      "\nreached end of file!",
                  39);
        int y, m, d, h;
        RowDate(t, y, m, d, h);
        if (y != year || m != month || d != day || h != hour)
            Fatal("error comparing dates in " + in.fileName + ":\n     read: " + std::to_string(y) + "." +
                      std::to_string(m) + "." + std::to_string(d) + ", " + std::to_string(h) +
                      ". h,\nshould be: " + std::to_string(year) + "." + std::to_string(month) + "." +
                      std::to_string(day) + ", " + std::to_string(hour) + ". h.\n",
                  36);
        const int k = TributaryCount() + z;
        const auto i = static_cast<std::size_t>(FlowIndex(k));
        for (int tr = 1; tr <= nTr_; ++tr) {
            const double v = t.GetValue(tr);
            working[static_cast<std::size_t>(tr)][i] = v <= -9998 ? 0.0 : v;
        }
        const double q = t.GetValue(0);
        // A discharge below 0 (other than the missing-value mark) or not a number would route
        // water that does not exist.
        if (!(q >= 0 || q <= -9998))
            Fatal(StrFormat("the inflow %g m3/s of inflow %d in %s on %d.%d.%d, %d. h is not a discharge: it must "
                            "be >= 0 (or -9999 for none)",
                            q, in.code, in.fileName.c_str(), d, m, y, h),
                  17);
        working[0][i] = M3sToMm(q <= -9998 ? 0.0 : q, elements_[static_cast<std::size_t>(k)].p.A, dt_);
        t.NextRow();
    }
}

void routingclass::FillRiverflowTable(riverflow_table* table, int description) {
    riverflow_ = table;
    if (riverflow_ == nullptr) return;
    for (int k = 1; k <= TributaryCount(); ++k) {
        const Element& el = elements_[static_cast<std::size_t>(k)];
        auto fill = [&](int code) {
            riverflow_table& r = riverflow_[ZoneIndexOf(code)];
            r.channel = k;
            r.routingObject = description;
            r.area = el.p.A;
        };
        for (int c : el.joined) fill(c);
        fill(el.code);
    }
    RefreshRiverflowTable();
}

void routingclass::RefreshRiverflowTable() {
    if (riverflow_ == nullptr) return;
    for (int k = 1; k <= TributaryCount(); ++k) {
        const Element& el = elements_[static_cast<std::size_t>(k)];
        auto refresh = [&](int code) {
            const int i = ZoneIndexOf(code);
            riverflow_table& r = riverflow_[i];
            for (int t = 0; t <= std::min(nTr_, 9); ++t)
                r.flow_mm[t] = working_ ? (*working_)[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)] : 0.0;
            r.soilExchange = 0;
            r.gwExchange = 0;
            r.flowm3s = MmToM3s(r.flow_mm[0], el.p.A, dt_);
            r.speed = el.built ? el.table.v[static_cast<std::size_t>(WQClassIndex(k, r.flow_mm[0]))] : 0.0;
        };
        for (int c : el.joined) refresh(c);
        refresh(el.code);
    }
}

int routingclass::LineSlot(int i) const {
    for (std::size_t n = 0; n < lineIndex_.size(); ++n)
        if (lineIndex_[n] == i) return static_cast<int>(n);
    return -1;
}

int routingclass::EnsureSlot(int i, std::size_t length) {
    int slot = LineSlot(i);
    if (slot >= 0 && lineLength_[static_cast<std::size_t>(slot)] >= length) return slot;
    // A description holds the lines of its few flow indices only; they are laid out anew when
    // one is added or grows (during the set-up), the others keeping their values.
    if (slot < 0) {
        slot = static_cast<int>(lineIndex_.size());
        lineIndex_.push_back(i);
        lineLength_.push_back(0);
        lineStart_.push_back(0);
    }
    std::vector<std::size_t> length2 = lineLength_;
    length2[static_cast<std::size_t>(slot)] = length;
    const auto tracers = static_cast<std::size_t>(nTr_ + 1);
    std::vector<double> data;
    std::vector<std::size_t> start2(lineStart_.size());
    std::size_t size = 0;
    for (std::size_t n = 0; n < lineIndex_.size(); ++n) {
        start2[n] = size;
        size += tracers * length2[n];
    }
    data.assign(size, 0.0);
    for (std::size_t n = 0; n < lineIndex_.size(); ++n)
        std::copy_n(lineData_.begin() + static_cast<std::ptrdiff_t>(lineStart_[n]), tracers * lineLength_[n],
                    data.begin() + static_cast<std::ptrdiff_t>(start2[n]));
    lineData_ = std::move(data);
    prepared_ = false;
    lineStart_ = std::move(start2);
    lineLength_ = std::move(length2);
    return slot;
}

routing::TracerLine<double> routingclass::Line(int t, int i) {
    const auto slot = static_cast<std::size_t>(EnsureSlot(i, 0));
    return {lineData_.data() + lineStart_[slot] + static_cast<std::size_t>(t), lineLength_[slot],
            static_cast<std::size_t>(nTr_ + 1)};
}

routing::TracerLine<const double> routingclass::DelayLine(int t, int i) const {
    const int n = LineSlot(i);
    if (n < 0) return {};
    const auto slot = static_cast<std::size_t>(n);
    return {lineData_.data() + lineStart_[slot] + static_cast<std::size_t>(t), lineLength_[slot],
            static_cast<std::size_t>(nTr_ + 1)};
}

// Delay line of flow index i for every tracer: nSub + length + 1 entries, 1..nSub+length
// holding the runoff of i, or the observed value of the step where it replaces the runoff: as
// in every step, only a value that is not negative (a missing one is), and only the water's line
// (the tracers' lines hold concentrations, not discharge).
void routingclass::FillLine(int i, int length) {
    const int n = nSub_ + length;
    double observed = -1;
    bool useObserved = false;
    if (observedFlag_ == 1 && window_ != nullptr && observedColumns_ != nullptr && i <= nSb_ &&
        static_cast<std::size_t>(i) < observedColumns_->size()) {
        const int col = (*observedColumns_)[static_cast<std::size_t>(i)];
        if (col > 0 && window_->size() > 10 && static_cast<std::size_t>(col) < (*window_)[10].size()) {
            observed = (*window_)[10][static_cast<std::size_t>(col)];
            useObserved = observed >= 0;
        }
    }
    // A flow index met by two channels keeps the longer of their lines.
    EnsureSlot(i, static_cast<std::size_t>(n + 1));
    for (int t = 0; t <= nTr_; ++t) {
        const routing::TracerLine<double> line = Line(t, i);
        double v = 0;
        if (useObserved && t == 0) v = observed;
        else if (working_ != nullptr) v = (*working_)[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)];
        line[0] = 0;
        for (std::size_t y = 1; y < line.size(); ++y) line[y] = v;
    }
}

void routingclass::AllocFlowArrays(RunoffArray* working, routing::FlowHistory* history,
                                   const ObservationWindow* window, const std::vector<int>* observedColumns) {
    working_ = working;
    history_ = history;
    window_ = window;
    observedColumns_ = observedColumns;
    for (int z = 1; z <= nZL_; ++z) {
        const int k = TributaryCount() + z;
        if (inflows_[static_cast<std::size_t>(z)].mode != routing::kInflowConstant || working_ == nullptr) continue;
        (*working_)[0][static_cast<std::size_t>(FlowIndex(k))] =
            M3sToMm(inflowConst_[0][static_cast<std::size_t>(z)], elements_[static_cast<std::size_t>(k)].p.A, dt_);
    }
    for (int k = 1; k < static_cast<int>(elements_.size()); ++k) {
        const Element& el = elements_[static_cast<std::size_t>(k)];
        for (int c : el.joined) FillLine(ZoneIndexOf(c), el.table.length);
        FillLine(FlowIndex(k), el.table.length);
    }
}

void routingclass::InitChannelFlows() {
    for (int k = 1; k < static_cast<int>(elements_.size()); ++k) {
        Element& el = elements_[static_cast<std::size_t>(k)];
        if (!el.built || el.table.m < 1) continue;
        const double q0 =
            working_ ? (*working_)[0][static_cast<std::size_t>(FlowIndex(k))] : 0.0;
        const int c = WQClassIndex(k, q0);
        // Each sub-channel's block spans the largest delay plus the sub-intervals, so that a
        // slower higher class never writes into the next block.
        const int stride = el.table.Stride(nSub_);
        for (int j = 1; j <= static_cast<int>(el.table.m); ++j) {
            std::fill_n(el.Qaus[static_cast<std::size_t>(j)] + 1, nSub_, q0);
            el.qvzuq[static_cast<std::size_t>(j)] = 0;
            el.writePos[static_cast<std::size_t>(j)] = nSub_ + (j - 1) * stride + el.table.delta[static_cast<std::size_t>(c)];
        }
    }
}

double routingclass::LargestFlowTime() const {
    double t = 0;
    for (std::size_t k = 1; k < elements_.size(); ++k) {
        const Element& el = elements_[k];
        if (!el.built) continue;
        for (int c = 1; c <= el.table.Classes(); ++c) t = std::max(t, el.table.t[static_cast<std::size_t>(c)]);
    }
    return t;
}
