#include "routing/routingclass.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "routing/channel_pass.hpp"
#include "routing/routing_messages.hpp"

routingclass::routingclass(const RoutingDescriptionArgs& a)
    : modelobject(a.log, a.controlFileName, 0, a.textOutput, a.doublePrecision, a.record) {
    SetModuleName("routingmodel");
    gridStore = a.gridStore;
    tgCode_ = a.tgCode;
    nSb_ = a.nSb;
    nSub_ = std::max(1, a.nSub);
    dt_ = a.dt;
    areaTG_ = a.area;
    factorTG_ = a.factor;
    nTr_ = a.nTr;
    tracerDescriptors_ = a.tracers;
    lakeModelling_ = a.lakeModelling;
    lakeReadGrids_ = a.lakeReadGrids;
    nOL_ = a.counts.ol;
    nSUM_ = a.counts.sum;
    nAmp_ = a.counts.amp;
    nZL_ = a.counts.zl;
    nAL_ = a.counts.al;
    nSP_ = a.counts.sp;
    zoneIndex_ = a.zoneIndex;
    zoneSize_ = a.zoneSize;
    zoneFactor_ = a.zoneFactor;
    // Every conversion between the TG's area and its zones divides by the area factor.
    if (!(factorTG_ > 0) || !std::isfinite(factorTG_))
        Fatal("the area factor (AErel) of subbasin " + std::to_string(tgCode_) + " must be greater than 0", 17);
    if (zoneIndex_ == nullptr || zoneSize_ == nullptr || zoneFactor_ == nullptr || ZoneIndexOf(tgCode_) == 0)
        Fatal("there is no subbasin with code " + std::to_string(tgCode_), 41);

    const auto tracers = static_cast<std::size_t>(nTr_ + 1);
    loads_.assign(tracers, 0.0);
    loadSums_.assign(tracers, 0.0);
    abstraction_.assign(tracers, 0.0);
    fillTracers_.assign(tracers, 0.0);
    elements_.resize(static_cast<std::size_t>(TributaryCount() + nZL_ + 1));
    elements_[0].code = tgCode_;
    elements_[0].areaWeight = (*zoneSize_)[static_cast<std::size_t>(ZoneIndexOf(tgCode_))];
    inflows_.resize(static_cast<std::size_t>(nZL_ + 1));
    inflowConst_.assign(tracers, std::vector<double>(static_cast<std::size_t>(nZL_ + 1), 0.0));
    abstractionCodes_.assign(static_cast<std::size_t>(nAL_ + 1), 0);
    reservoirCodes_.assign(static_cast<std::size_t>(nSP_ + 1), 0);
    abstractions_.resize(static_cast<std::size_t>(nAL_ + 1));
    reservoirs_.resize(static_cast<std::size_t>(nSP_ + 1));
    lakeGrids_ = a.lakeGrids;
    elementVector_.assign(tracers, 0.0);
}

routingclass::~routingclass() = default;

void routingclass::Fatal(const std::string& text, int code) {
    *log << "FATAL: " << text << "[end-entry]";
    throw ModelError(code);
}

int routingclass::ZoneIndexOf(int code) const {
    if (zoneIndex_ == nullptr || code < 0 || static_cast<std::size_t>(code) >= zoneIndex_->size()) return 0;
    const int i = (*zoneIndex_)[static_cast<std::size_t>(code)];
    return (i >= 1 && i <= nSb_) ? i : 0;
}

int routingclass::FlowIndex(int k) const {
    if (k <= TributaryCount()) return ZoneIndexOf(elements_[static_cast<std::size_t>(k)].code);
    return nSb_ + elements_[static_cast<std::size_t>(k)].code;
}

void routingclass::AllocateOutletSeries() {
    if (!outlet_.empty()) return;
    outlet_.assign(static_cast<std::size_t>((nTr_ + 1) * (nSub_ + 1)), 0.0);
    work_ = outlet_;
    outletShares_.assign(static_cast<std::size_t>(nSub_ + 1), 0.0);
}

int routingclass::SetChannel(int k, int code, const std::vector<int>& joined, int nSub, int observedFlag, double qmin,
                             double qmax, double n, const double values[10]) {
    if (k < 1 || k >= static_cast<int>(elements_.size()))
        Fatal("channel element " + std::to_string(k) + " outside the elements of subbasin " + std::to_string(tgCode_),
              41);
    Element& el = elements_[static_cast<std::size_t>(k)];
    el.code = code;
    el.joined = (k > nOL_ && k <= TributaryCount()) ? joined : std::vector<int>{};
    el.p = routing::ChannelWithDefaults(values);
    nSub_ = nSub;
    observedFlag_ = observedFlag;
    if (!routing::ValidTableRange(qmin, qmax, n, nSub)) Fatal(routing::kTableRangeMessage, 17);
    AllocateOutletSeries();

    const std::string name = k > TributaryCount() ? "inflow " + std::to_string(code)
                                                  : "subbasin " + std::to_string(code);
    switch (routing::BuildWQTable(el.p, qmin, qmax, n, dt_, nSub, el.table)) {
        case routing::TableStatus::Ok:
            break;
        case routing::TableStatus::BadRange:
            Fatal(routing::kTableRangeMessage, 17);
        case routing::TableStatus::NoVelocity:
            Fatal("the channel of " + name + " to the outlet of subbasin " + std::to_string(tgCode_) +
                      " has no positive flow velocity for every discharge class\n"
                      "(check its widths, depth, Manning-Strickler coefficients, slope and length)",
                  17);
        case routing::TableStatus::TooManySubChannels:
            Fatal("the channel of " + name + " to the outlet of subbasin " + std::to_string(tgCode_) +
                      " needs a delay line too long to hold\n(check its length, slope and the time sub-intervals)",
                  17);
    }
    const auto m = static_cast<std::size_t>(el.table.m);
    el.Qaus.assign(m + 1, static_cast<std::size_t>(nSub + 1), 0.0);
    el.qvzuq.assign(m + 2, 0.0);
    el.writePos.assign(m + 2, 0);
    el.cm = std::exp(-1 / el.p.km);
    el.cf = std::exp(-1 / el.p.kf);
    el.built = true;
    prepared_ = false;
    return el.table.length;
}

namespace {
// Reads the code behind the keyword at or after cursor.pos; false when there is none.
bool ElementCode(routing::TextCursor& cursor, const char* keyword, int& code) {
    const std::size_t p = cursor.text.find(keyword, cursor.pos);
    if (p == std::string::npos) return false;
    cursor.pos = p + 2;
    const char* start = cursor.text.c_str() + cursor.pos;
    char* end = nullptr;
    code = static_cast<int>(std::strtol(start, &end, 10));
    cursor.pos += static_cast<std::size_t>(end - start);
    return true;
}
}  // namespace

void routingclass::SetAblaufModus(std::FILE* /*controlFile*/, int k, routing::TextCursor& cursor, int nSub, int year,
                                  int month, int day, int hour) {
    const int a = k - TributaryCount() - nZL_;
    int code = 0;
    if (a < 1 || a > nAL_ || !ElementCode(cursor, "AL", code)) Fatal("no abstraction \"AL\" where one was counted", 41);
    abstractionCodes_[static_cast<std::size_t>(a)] = code;
    nSub_ = nSub;
    if (TributaryCount() + nZL_ == 0) AllocateOutletSeries();
    const std::size_t eq = cursor.text.find('=', cursor.pos);
    if (eq == std::string::npos) Fatal("missing \"=\" and mode for abstraction " + std::to_string(code), 44);
    cursor.pos = eq + 1;
    auto al = std::make_unique<routing::Abstraction>(code, *log, tracerDescriptors_, nTr_, outputPath, areaTG_,
                                                     factorTG_, dt_);
    al->ReadMode(cursor.text, cursor.pos, year, month, day, hour);
    abstractionPtrs_.push_back(al.get());
    abstractions_[static_cast<std::size_t>(a)] = std::move(al);
}

void routingclass::SetSpeicherParams(std::FILE* /*controlFile*/, int k, routing::TextCursor& cursor, int nSub) {
    const int r = k - TributaryCount() - nZL_ - nAL_;
    int code = 0;
    if (r < 1 || r > nSP_ || !ElementCode(cursor, "SP", code)) Fatal("no reservoir \"SP\" where one was counted", 41);
    reservoirCodes_[static_cast<std::size_t>(r)] = code;
    nSub_ = nSub;
    if (TributaryCount() + nZL_ == 0) AllocateOutletSeries();
    auto sp = std::make_unique<routing::Reservoir>(code, tgCode_, *log, tracerDescriptors_, nTr_, dt_, outputPath);
    sp->ReadParams(cursor.text, cursor.pos);
    sp->OpenOutput();
    reservoirs_[static_cast<std::size_t>(r)] = std::move(sp);
}

void routingclass::InitLakes() {
    if (!lakeModelling_ || lakeGrids_ == nullptr) return;
    for (int r = 1; r <= nSP_; ++r) {
        routing::Reservoir& sp = *reservoirs_[static_cast<std::size_t>(r)];
        sp.InitLake(*lakeGrids_, ZoneIndexOf(tgCode_));
        if (!sp.IsLake()) continue;  // no lake cells: a reservoir
        if (lakeReadGrids_ != 0) sp.InitFromLakeCells();
        else sp.DistributeLevel(sp.Volume());
        // The first outflow follows the volume the lake holds now.
        sp.FirstOutflow(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day), static_cast<int>(hour));
    }
}

void routingclass::DistributeLakeVolumes() {
    for (int r = 1; r <= nSP_ && static_cast<std::size_t>(r) < reservoirs_.size(); ++r) {
        routing::Reservoir* sp = reservoirs_[static_cast<std::size_t>(r)].get();
        if (sp != nullptr && sp->IsLake()) sp->DistributeLevel(sp->Volume());
    }
}

void routingclass::ReadAbstractionRules(std::FILE* controlFile) {
    for (int a = 1; a <= nAL_; ++a) abstractions_[static_cast<std::size_t>(a)]->ReadRules(controlFile);
}

void routingclass::ReadReservoirRules(std::FILE* controlFile) {
    for (int r = 1; r <= nSP_; ++r) {
        routing::Reservoir& sp = *reservoirs_[static_cast<std::size_t>(r)];
        sp.ReadRules(controlFile);
        sp.FirstOutflow(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day), static_cast<int>(hour));
    }
}

void routingclass::FlushElementFiles() {
    for (int a = 1; a <= nAL_ && static_cast<std::size_t>(a) < abstractions_.size(); ++a)
        if (abstractions_[static_cast<std::size_t>(a)]) abstractions_[static_cast<std::size_t>(a)]->Flush();
    for (int r = 1; r <= nSP_ && static_cast<std::size_t>(r) < reservoirs_.size(); ++r)
        if (reservoirs_[static_cast<std::size_t>(r)]) reservoirs_[static_cast<std::size_t>(r)]->Flush();
}

void routingclass::CheckArea() {
    auto s = [&](int i) -> double& { return (*zoneSize_)[static_cast<std::size_t>(i)]; };
    const int tg = ZoneIndexOf(tgCode_);
    double S = 0;
    for (int k = 0; k <= nOL_; ++k) {
        const int i = FlowIndex(k);
        double w = i > 0 ? s(i) : 0.0;
        if (k >= 1 && i == tg) w = 0;
        elements_[static_cast<std::size_t>(k)].areaWeight = w;
        S += w;
    }
    for (int k = nOL_ + 1; k <= TributaryCount(); ++k) {
        Element& el = elements_[static_cast<std::size_t>(k)];
        double w = s(FlowIndex(k));
        for (int c : el.joined) w += s(ZoneIndexOf(c));
        el.areaWeight = w;
        S += w;
    }
    for (int k = 0; k <= TributaryCount(); ++k) {
        double& w = elements_[static_cast<std::size_t>(k)].areaWeight;
        w = S > 0 ? w / S * factorTG_ : 0.0;
    }
    s(tg) = S;
    (*zoneFactor_)[static_cast<std::size_t>(tg)] = factorTG_;
    if (s(0) > 0) {
        const double zoneArea = s(0) * S;
        if (std::fabs(zoneArea - areaTG_) > 0.001) {
            *log << "INFO: Basin " << tgCode_ << ": area in contr.file: " << areaTG_ << " <-> zone-grid " << zoneArea
                 << " (adjusted to the latter)" << "[end-entry]";
            for (int a = 1; a <= nAL_; ++a)
                if (abstractions_[static_cast<std::size_t>(a)]) abstractions_[static_cast<std::size_t>(a)]->SetArea(zoneArea);
            areaTG_ = zoneArea;
        }
    }
}

int routingclass::MaxStorageElements(int nMin) const {
    int m = nMin;
    for (std::size_t k = 1; k < elements_.size(); ++k)
        if (elements_[k].built) m = std::max(m, elements_[k].table.length);
    return m;
}

int routingclass::WQClassIndex(int k, double q) const {
    return routing::WQClassIndex(elements_[static_cast<std::size_t>(k)].table, q, dt_);
}

double routingclass::MaxOfSeries(const std::vector<double>& series) const {
    if (series.size() < 2) return 0.0;
    double m = series[1];
    for (int s = 2; s <= nSub_ && s < static_cast<int>(series.size()); ++s) m = std::max(m, series[static_cast<std::size_t>(s)]);
    return m;
}

double routingclass::MixConcentration(double a, double b, double wa, double wb) const {
    return routing::MixConcentration(a, b, wa, wb);
}

void routingclass::FreeMemory() {
    FinishWQTables();
    for (auto& a : abstractions_)
        if (a) a->EndOutput();
    for (auto& r : reservoirs_)
        if (r) r->EndOutput();
    *log << " free memory TG " << tgCode_;
    for (int k = 1; k < static_cast<int>(elements_.size()); ++k) {
        const Element& el = elements_[static_cast<std::size_t>(k)];
        if (k <= TributaryCount()) {
            *log << ", OL " << k << " (Subb. " << el.code;
            for (int c : el.joined) *log << ", " << c;
            *log << ")";
        } else {
            *log << ", (only ZL's)";
        }
    }
    lineData_.clear();
    lineStart_.clear();
    lineLength_.clear();
    lineIndex_.clear();
    outlet_.clear();
    work_.clear();
    elements_.clear();
    *log << ", --> ZLs...";
    inflows_.clear();
    inflowConst_.clear();
    *log << ", --> ALs...";
    abstractionCodes_.clear();
    abstractionPtrs_.clear();
    abstractions_.clear();
    *log << ", --> SPs...";
    reservoirCodes_.clear();
    reservoirs_.clear();
    *log << " Rest...";
    loads_.clear();
    loadSums_.clear();
    abstraction_.clear();
    fillTracers_.clear();
    *log << " ok" << "[end-entry]";
}
