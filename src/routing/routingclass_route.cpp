// The routing step of one routing description: the tributary channels, the channels of joined
// subbasins and the inflows, each through its delay line and its two linear storages, added at
// the outlet of the routing subbasin with their area weights.
#include <algorithm>

#include "routing/channel_pass.hpp"
#include "routing/routingclass.hpp"
#include "setup/tracer_ini.hpp"
#include "submodel/riverflow_table.hpp"

void routingclass::PrepareRouting() {
    // A description of its own zone alone has no element that gave it its outlet series.
    AllocateOutletSeries();
    const auto tracers = static_cast<std::size_t>(nTr_ + 1);
    halfLives_.assign(tracers, 0.0);
    for (int t = 1; t <= nTr_ && tracerDescriptors_ != nullptr; ++t)
        halfLives_[static_cast<std::size_t>(t)] = tracerDescriptors_[t].half_time;
    tg_ = static_cast<std::size_t>(ZoneIndexOf(tgCode_));
    stepElements_.assign(elements_.size(), StepElement{});
    for (std::size_t k = 1; k < elements_.size(); ++k) {
        StepElement& e = stepElements_[k];
        const Element& el = elements_[k];
        e.flow = static_cast<std::size_t>(FlowIndex(static_cast<int>(k)));
        const int slot = LineSlot(static_cast<int>(e.flow));
        e.pass = el.built && el.table.m >= 1 && slot >= 0;
        if (slot >= 0) e.lines = lineStart_[static_cast<std::size_t>(slot)];
    }
    prepared_ = true;
}

void routingclass::Route(int year, int month, int day, int hour) {
    if (working_ == nullptr || history_ == nullptr) return;
    if (!prepared_) PrepareRouting();
    const bool realDate = month >= 1;
    RunoffArray& W = *working_;
    auto& H = *history_;
    const int K = TributaryCount();
    const std::size_t tg = tg_;

    if (irrigationTable_ != nullptr && realDate && maxirrig_ != nullptr) WithdrawFromTributaries();

    // The outlet starts with the runoff of the TG's own zone.
    const double w0 = elements_[0].areaWeight;
    for (int s = 1; s <= nSub_; ++s) {
        Outlet(0, s) = w0 * H(0, s, tg);
        for (int t = 1; t <= nTr_; ++t)
            Outlet(t, s) = H(t, s, tg);
    }

    for (int k = 1; k < static_cast<int>(elements_.size()); ++k) {
        Element& el = elements_[static_cast<std::size_t>(k)];
        const StepElement& e = stepElements_[static_cast<std::size_t>(k)];
        const std::size_t i = e.flow;
        if (k <= K && realDate && riverflow_ != nullptr) TakeRiverExchange(el);
        double joinedArea = 0;
        if (k > nOL_ && k <= K) joinedArea = JoinSubbasins(el, i);
        if (k > K && inflows_[static_cast<std::size_t>(k - K)].mode == routing::kInflowIntern) {
            // The abstraction that feeds an internal inflow delivers m3/s.
            for (int s = 1; s <= nSub_; ++s) H(0, s, i) = M3sToMm(H(0, s, i), el.p.A, dt_);
            for (int t = 0; t <= nTr_; ++t) W[static_cast<std::size_t>(t)][i] = H(t, 1, i);
        }
        FillWorkSeries(i);
        if (e.pass) PassChannel(el, lineData_.data() + e.lines);
        AddToOutlet(k, el, i, joinedArea);
    }

    CloseOutlet(tg);
    if (irrigationTable_ != nullptr && realDate && maxirrig_ != nullptr) WithdrawAtOutlet(tg);
    RouteOutletElements(year, month, day, hour);
}

void routingclass::WithdrawFromTributaries() {
    auto& H = *history_;
    RunoffArray& mi = *maxirrig_;
    for (int k = 1; k <= TributaryCount(); ++k) {
        const Element& el = elements_[static_cast<std::size_t>(k)];
        auto withdraw = [&](int code) {
            const auto i = static_cast<std::size_t>(ZoneIndexOf(code));
            if (i == 0 || i >= irrigationTable_->size() || mi[0][i] != 0) return;
            for (int t = 0; t <= nTr_; ++t) mi[static_cast<std::size_t>(t)][i] = H(t, 1, i);
            const double demand = (*irrigationTable_)[i].sx;
            for (int s = 1; s <= nSub_; ++s) H(0, s, i) -= demand;
        };
        for (int c : el.joined) withdraw(c);
        withdraw(el.code);
    }
}

void routingclass::TakeRiverExchange(const Element& el) {
    auto& H = *history_;
    auto take = [&](int code) {
        const int i = ZoneIndexOf(code);
        if (i == 0) return;
        riverflow_table& r = riverflow_[i];
        // The soil model's exchange arrives in m3/s over the channel's catchment.
        r.soilExchange = r.area > 0 ? M3sToMm(r.soilExchange, r.area, dt_) : 0.0;
        for (int s = 1; s <= nSub_; ++s) H(0, s, i) -= r.soilExchange;
    };
    for (int c : el.joined) take(c);
    take(el.code);
}

double routingclass::JoinSubbasins(const Element& el, std::size_t own) {
    auto& H = *history_;
    auto weight = [&](std::size_t i) {
        const double g = (*zoneFactor_)[i];
        return g != 0 ? (*zoneSize_)[i] / g : 0.0;
    };
    double Sa = 0;
    for (int s = 1; s <= nSub_; ++s) {
        const auto ss = static_cast<std::size_t>(s);
        Sa = 0;
        double Sq = 0;
        std::fill(loadSums_.begin(), loadSums_.end(), 0.0);
        auto add = [&](std::size_t i) {
            const double a = weight(i);
            const double q = a * H(0, ss, i);
            Sa += a;
            Sq += q;
            for (int t = 1; t <= nTr_; ++t) loadSums_[static_cast<std::size_t>(t)] += q * H(t, ss, i);
        };
        for (int c : el.joined) add(static_cast<std::size_t>(ZoneIndexOf(c)));
        add(own);
        H(0, ss, own) = Sa != 0 ? Sq / Sa : 0.0;
        // No combined flow carries no load: the concentrations are 0.
        for (int t = 1; t <= nTr_; ++t)
            H(t, ss, own) = Sq != 0 ? loadSums_[static_cast<std::size_t>(t)] / Sq : 0.0;
    }
    return Sa;
}

void routingclass::FillWorkSeries(std::size_t i) {
    auto& H = *history_;
    if (observedFlag_ == 1 && window_ != nullptr && observedColumns_ != nullptr && i <= static_cast<std::size_t>(nSb_) &&
        i < observedColumns_->size() && window_->size() > 10) {
        const int col = (*observedColumns_)[i];
        if (col > 0 && static_cast<std::size_t>(col) < (*window_)[10].size() && (*window_)[10][static_cast<std::size_t>(col)] >= 0) {
            // The observed discharge replaces the water; the tracers keep the previous series.
            for (int s = 1; s <= nSub_; ++s) Work(0, s) = (*window_)[10][static_cast<std::size_t>(col)];
            return;
        }
    }
    // Both hold the sub-intervals one after the other with their tracers side by side.
    const double* h = H.At(i);
    double* w = &Work(0, 1);
    for (std::size_t k = 0, n = static_cast<std::size_t>(nSub_ * (nTr_ + 1)); k < n; ++k) w[k] = h[k];
}

void routingclass::PassChannel(Element& el, double* lines) {
    const routing::ChannelPassState state{&el.table, el.cm, el.cf, dt_, nSub_};
    routing::PassChannel(state, lines, work_.data(), static_cast<std::size_t>(nTr_ + 1), halfLives_, decay_, el.Qaus,
                         el.qvzuq.data(), el.writePos.data());
}

void routingclass::AddToOutlet(int k, const Element& el, std::size_t i, double joinedArea) {
    const std::size_t tg = tg_;
    double scale = 0;
    if (k > TributaryCount()) {
        scale = areaTG_ > 0 ? el.p.A / areaTG_ * factorTG_ : 0.0;
    } else if (k > nOL_) {
        const double z = (*zoneSize_)[tg];
        scale = z != 0 ? factorTG_ / z * joinedArea : 0.0;
    } else {
        const double g = (*zoneFactor_)[i];
        scale = g != 0 ? el.areaWeight / g : 0.0;
    }
    if (nTr_ == 0) {
        for (int s = 1; s <= nSub_; ++s) Outlet(0, s) += scale * Work(0, s);
        return;
    }
    for (int s = 1; s <= nSub_; ++s) {
        const double v = scale * Work(0, s), before = Outlet(0, s);
        for (int t = 1; t <= nTr_; ++t) {
            double& o = Outlet(t, s);
            o = routing::MixConcentration(o, Work(t, s), before, v);
        }
        Outlet(0, s) = before + v;
    }
}

void routingclass::CloseOutlet(std::size_t tg) {
    RunoffArray& W = *working_;
    auto& H = *history_;
    double total = 0;
    const auto T = static_cast<std::size_t>(nTr_ + 1), S = static_cast<std::size_t>(nSub_ + 1);
    const double* out = outlet_.data();
    double* h = H.At(tg);  // sub-interval s of tracer t at [(s - 1) * T + t]
    for (std::size_t s = 1; s < S; ++s) {
        for (std::size_t t = 0; t < T; ++t) h[(s - 1) * T + t] = out[t * S + s];
        total += out[s];
    }
    Outlet(0, 0) = total;
    if (nTr_ > 0) {
        // The tracers' mean weighted by each sub-interval's share of the water.
        double* share = outletShares_.data();
        if (total > 0)
            for (int s = 1; s <= nSub_; ++s) share[s] = Outlet(0, s) / total;
        for (int t = 1; t <= nTr_; ++t) {
            double c = 0;
            if (total > 0)
                for (int s = 1; s <= nSub_; ++s) c += share[s] * Outlet(t, s);
            Outlet(t, 0) = c;
            W[static_cast<std::size_t>(t)][tg] = c;
        }
    }
    W[0][tg] = total / nSub_;
}

void routingclass::WithdrawAtOutlet(std::size_t tg) {
    RunoffArray& W = *working_;
    auto& H = *history_;
    RunoffArray& mi = *maxirrig_;
    if (tg >= irrigationTable_->size() || mi[0][tg] != 0) return;
    const double z = (*zoneSize_)[tg];
    const zoneFZT& r = (*irrigationTable_)[tg];
    // A subbasin without irrigated cells has no share to scale by: nothing is available there
    // and nothing is taken.
    mi[0][tg] = IrrigationMmPerOutletMm(tg) * W[0][tg];
    for (int t = 1; t <= nTr_; ++t) mi[static_cast<std::size_t>(t)][tg] = W[static_cast<std::size_t>(t)][tg];
    const double e = z != 0 ? (r.rel / z) * r.sx * factorTG_ : 0.0;
    // The cells received e in this step, sized by what this outlet offered in the step before:
    // all of it leaves the outlet, as at the tributaries, also where this step's flow is smaller.
    // The flow then falls below 0 and the channels below make up the difference.
    for (int s = 1; s <= nSub_; ++s) H(0, s, tg) -= e;
    W[0][tg] -= e;
}

double routingclass::IrrigationMmPerOutletMm(std::size_t tg) const {
    if (irrigationTable_ == nullptr || tg >= irrigationTable_->size() || factorTG_ == 0) return 0.0;
    const double rel = (*irrigationTable_)[tg].rel;
    return rel != 0 ? (*zoneSize_)[tg] / rel / factorTG_ : 0.0;
}

void routingclass::FeedInternalInflow(const routing::Abstraction& al, double water, const std::vector<double>& tracers) {
    if (al.Mode() != routing::kAbstractionIntern && al.Mode() != routing::kAbstractionInternRule &&
        al.Mode() != routing::kAbstractionFromReservoir)
        return;
    auto& H = *history_;
    RunoffArray& W = *working_;
    const auto i = static_cast<std::size_t>(nSb_ + al.Code());
    if (i >= W[0].size() || i >= H.Flows()) return;
    for (int s = 1; s <= nSub_; ++s) {
        H(0, s, i) = water;
        for (int t = 1; t <= nTr_; ++t) H(t, s, i) = tracers[static_cast<std::size_t>(t)];
    }
    W[0][i] = water;
}

void routingclass::RouteOutletElements(int year, int month, int day, int hour) {
    // Abstractions take their share at the outlet (from the last reservoir where there is one),
    // then the reservoirs route what is left, in the order of their elements.
    reservoirWithdrawal_ = 0;
    availableOutletFlow_ = 0;
    if (nAL_ == 0 && nSP_ == 0) return;
    RunoffArray& W = *working_;
    auto& H = *history_;
    const auto tg = static_cast<std::size_t>(ZoneIndexOf(tgCode_));
    const bool realDate = month >= 1;
    const double area = areaTG_ / factorTG_;
    const double ts = dt_ * 60;
    const bool irrigation = irrigationTable_ != nullptr && realDate && maxirrigFromReservoirs_ != nullptr;
    // The reservoir gives what irrigation took from it, which irrigation counts over its subbasin.
    const double perOutlet = IrrigationMmPerOutletMm(tg);
    const double Virr = irrigation && perOutlet > 0
                            ? ts * MmToM3s((*maxirrigFromReservoirs_)[0][tg] / perOutlet, area, dt_)
                            : 0.0;
    std::vector<double>& v = elementVector_;

    if (nAL_ > 0) {
        const routing::Reservoir* last = nSP_ > 0 ? reservoirs_[static_cast<std::size_t>(nSP_)].get() : nullptr;
        availableOutletFlow_ = last ? M3sToMm((last->Volume() - Virr) / dt_ / 60, area, dt_) : W[0][tg];
        for (int a = 1; a <= nAL_; ++a) {
            routing::Abstraction& al = *abstractions_[static_cast<std::size_t>(a)];
            if (al.Mode() == routing::kAbstractionFromReservoir) continue;
            const double q = al.Abstract(reservoirWithdrawal_, availableOutletFlow_, year, month, day, hour);
            v[0] = MmToM3s(q, area, dt_);
            for (int t = 1; t <= nTr_; ++t)
                v[static_cast<std::size_t>(t)] = last ? last->Content()[static_cast<std::size_t>(t)] : W[static_cast<std::size_t>(t)][tg];
            if (year >= 1) al.AddRow(year, month, day, hour, v);
            if (!last) {
                W[0][tg] -= q;
                for (int s = 1; s <= nSub_; ++s) H(0, s, tg) -= q;
            }
            for (int t = 1; t <= nTr_; ++t) v[static_cast<std::size_t>(t)] = W[static_cast<std::size_t>(t)][tg];
            FeedInternalInflow(al, v[0], v);
        }
    }

    for (int r = 1; r <= nSP_; ++r) {
        routing::Reservoir& sp = *reservoirs_[static_cast<std::size_t>(r)];
        const bool isLast = r == nSP_;
        const double irr = isLast ? Virr : 0.0;
        const double abstracted = isLast && realDate ? ts * MmToM3s(reservoirWithdrawal_, area, dt_) : 0.0;
        const double Qin = MmToM3s(W[0][tg], area, dt_);
        for (int t = 1; t <= nTr_; ++t) v[static_cast<std::size_t>(t)] = W[static_cast<std::size_t>(t)][tg];
        sp.Route(Qin, v, abstractionPtrs_, irr, abstracted, year, month, day, hour);
        for (routing::Abstraction* al : abstractionPtrs_) {
            if (al->Mode() != routing::kAbstractionFromReservoir) continue;
            v[0] = al->rate;
            for (int t = 1; t <= nTr_; ++t) v[static_cast<std::size_t>(t)] = sp.Content()[static_cast<std::size_t>(t)];
            if (year >= 1) al->AddRow(year, month, day, hour, v);
            for (int t = 1; t <= nTr_; ++t) v[static_cast<std::size_t>(t)] = W[static_cast<std::size_t>(t)][tg];
            FeedInternalInflow(*al, v[0], v);
        }
        W[0][tg] = M3sToMm(sp.Outflow(), area, dt_);
        for (int t = 1; t <= nTr_; ++t) W[static_cast<std::size_t>(t)][tg] = sp.Content()[static_cast<std::size_t>(t)];
        for (int t = 0; t <= nTr_; ++t)
            for (int s = 1; s <= nSub_; ++s)
                H(t, s, tg) = W[static_cast<std::size_t>(t)][tg];
        if (realDate) {
            if (isLast && maxirrigFromReservoirs_ != nullptr) {
                (*maxirrigFromReservoirs_)[0][tg] = perOutlet * M3sToMm(sp.Volume() / 60 / dt_, area, dt_);
                for (int t = 1; t <= nTr_; ++t)
                    (*maxirrigFromReservoirs_)[static_cast<std::size_t>(t)][tg] = sp.Content()[static_cast<std::size_t>(t)];
            }
            sp.AddOutputRow(year, month, day, hour);
        }
    }
}
