// Text files of the water-level/discharge tables, one per channel element, for inspection.
#include <cerrno>
#include <cmath>
#include <cstring>

#include "routing/routingclass.hpp"

namespace {
// Storage constant back from its retention factor c = exp(-1/k).
double StorageConstant(double c) {
    if (!(c > 0)) return -9999;
    if (c == 1) return 0;
    return -1 / std::log(c);
}
}  // namespace

void routingclass::WriteTableFile(int k, std::FILE* f) const {
    const Element& el = elements_[static_cast<std::size_t>(k)];
    const routing::WQTable& t = el.table;
    if (k > TributaryCount()) {
        std::fprintf(f, "waterlevel-discharge-table for the channel of inflow %d to the outlet of subbasin %d\n", el.code,
                     tgCode_);
    } else if (k > nOL_ && !el.joined.empty()) {
        std::fprintf(f, "waterlevel-discharge-table for the channel of subbasins %d", el.code);
        for (std::size_t j = 0; j + 1 < el.joined.size(); ++j) std::fprintf(f, ", %d", el.joined[j]);
        std::fprintf(f, " and %d to the outlet of subbasin %d\n", el.joined.back(), tgCode_);
    } else {
        std::fprintf(f, "waterlevel-discharge-table for the channel of subbasin %d to the outlet of subbasin %d\n",
                     el.code, tgCode_);
    }
    std::fprintf(f, "input parameters from the control file:\n");
    std::fprintf(f, "------------------------------------------\n");
    std::fprintf(f, "storage constant mean channel [h] : %7.2f\n", StorageConstant(el.cm));
    std::fprintf(f, "storage constant flood plain [h]  : %7.2f\n", StorageConstant(el.cf));
    std::fprintf(f, "width of the mean channel [m]     : %7.2f\n", el.p.bm);
    std::fprintf(f, "width of flood plains  [m]        : %7.2f\n", el.p.bf);
    std::fprintf(f, "depth of mean channel  [m]        : %7.2f\n", el.p.D);
    std::fprintf(f, "Manning-coef. mean chan[m^(1/3)/s]: %7.2f\n", el.p.Mm);
    std::fprintf(f, "Manning-ceof. flood pl.[m^(1/3)/s]: %7.2f\n", el.p.Mf);
    std::fprintf(f, "slope angle            [1/1]      : %7.4f\n", el.p.sqrtI * el.p.sqrtI);
    std::fprintf(f, "channel length         [m]        : %7.1f\n", el.p.L);
    std::fprintf(f, "catchment area         [km^2]     : %7.2f\n", el.p.A);
    std::fprintf(f, "min. spec. discharge   [l/s/km^2] : %7.1f\n", t.qmin);
    std::fprintf(f, "max. spec. discharge   [l/s/km^2] : %7.1f\n", t.qmax);
    std::fprintf(f, "intervals for w-q-table[-]        : %7.0f\n", t.n + 1);
    std::fprintf(f, "sub-intervals (time)   [-]        : %7d  \n", nSub_);
    std::fprintf(f, "number of sub-channels            : %7.0f\n", t.m);
    std::fprintf(f, "total number of storage elements  : %7d  \n", t.length + nSub_);
    const std::string rule(79, '-');
    const std::string header = rule + "\n" +
                               "  #    q      q       Q     dm    df     v      vm     vf     t   delta   Qm/Q \n"
                               "     [mm]  l/s/km2 [m^3/s]  [m]   [m]   [m/s]  [m/s]  [m/s]  [h]  [Int]   [1/1]\n" +
                               rule + "\n";
    std::fwrite(header.data(), 1, header.size(), f);
    for (int c = 1; c <= static_cast<int>(t.n) + 1; ++c) {
        const auto i = static_cast<std::size_t>(c);
        std::fprintf(f, "%3d  %5.3f %6.1f %7.2f  %5.2f %5.2f %5.2f  %5.2f  %5.2f  %5.2f  %3d   %5.3f\n", c, t.qmm[i],
                     t.q[i], t.Q[i], t.dm[i], t.df[i], t.v[i], t.vm[i], t.vf[i], t.t[i], t.delta[i], t.share[i]);
    }
}

void routingclass::WriteWQTables() {
    for (int k = 1; k < static_cast<int>(elements_.size()); ++k) {
        if (!elements_[static_cast<std::size_t>(k)].built) continue;
        char name[101];
        if (k > TributaryCount())
            std::snprintf(name, sizeof name, "wq_tabZL.%.3d", elements_[static_cast<std::size_t>(k)].code);
        else
            std::snprintf(name, sizeof name, "wq_table.%.3d", FlowIndex(k));
        // Each table waits under its temporary name until the normal end (FreeMemory), so
        // that a failed run leaves the tables of the run before.
        auto table = std::make_unique<TableFile>(name);
        std::FILE* f = table->Open(false);
        if (f != nullptr) WriteTableFile(k, f);
        if (f == nullptr || !table->Close()) {
            WQTableFailed(name);
            continue;
        }
        wqTables_.push_back(std::move(table));
    }
}

void routingclass::WQTableFailed(const std::string& name) const {
    const int reason = errno;
    *log << "FATAL: error opening file " << name << " (check user rights or disk space)" << "[end-entry]";
    LogSystemReason(*log, reason);
}

void routingclass::FinishWQTables() {
    if (!NormalEndPending())
        for (const auto& table : wqTables_)
            if (!table->Finish()) WQTableFailed(table->name());
    wqTables_.clear();
}
