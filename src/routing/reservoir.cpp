#include "kernel/nodata.hpp"
#include "routing/reservoir.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/modelobject.hpp"
#include "routing/abstraction.hpp"
#include "routing/channel_pass.hpp"
#include "routing/element_rows.hpp"
#include "setup/tracer_ini.hpp"

namespace routing {

namespace {
const char* const kBalanceColumns[] = {
    "YY",        "MM",        "DD",        "HH",        "W[m]",      "A[m2]",     "V[m3]",     "Qin[m3]",
    "Qin[mm]",   "Qin[m3s]",  "Qout[m3]",  "Qout[mm]",  "Qout[m3s]", "Irrig[m3]", "Irrig[mm]", "Irrig[m3s]",
    "QGW[m3]",   "QGW[mm]",   "QGW[m3s]",  "ETR[m3]",   "ETR[mm]",   "ETR[m3s]",  "PREC[m3]",  "PREC[mm]",
    "PREC[m3s]", "dV[m3]",    "dV[mm]",    "dV[m3s]",   "Abstr[m3]", "Abstr[mm]", "Abstr[m3s]", "Err[m3]",
    "Err[mm]",   "Err[m3s]"};

bool Behind(const std::string& text, std::size_t& pos, const char* key) {
    const std::size_t p = text.find(key, pos);
    if (p == std::string::npos) return false;
    pos = p + std::char_traits<char>::length(key);
    return true;
}

bool Number(const std::string& text, std::size_t& pos, double& v) {
    if (pos >= text.size()) return false;
    const char* start = text.c_str() + pos;
    char* end = nullptr;
    const double x = std::strtod(start, &end);
    if (end == start) return false;
    v = x;
    pos += static_cast<std::size_t>(end - start);
    return true;
}

}  // namespace

Reservoir::Reservoir(int code, int tgCode, DiagLog& log, const TracerDescriptor* tracers, int nTr, double dt,
                     const std::string& outputPath)
    : code_(code), tgCode_(tgCode), log_(&log), tracers_(tracers), nTr_(nTr), dt_(dt), outputPath_(outputPath) {
    content_.assign(static_cast<std::size_t>(nTr_ + 1), 0.0);
    previous_ = content_;
    lakeContent_ = content_;
    capacity_ = static_cast<int>(std::max(1L, kElementBufferBytes / (8L * (nTr_ + 35L))));
}

Reservoir::~Reservoir() {
    try {
        EndOutput();
    } catch (const ModelError&) {
        // A destructor cannot report further; the log holds the failure.
    }
}

void Reservoir::Fatal(const std::string& text, int code) {
    *log_ << "FATAL: " << text << "[end-entry]";
    throw ModelError(code);
}

void Reservoir::ReadParams(const std::string& text, std::size_t& pos) {
    const std::string head = "for reservoir " + std::to_string(code_) + ": ";
    auto require = [&](const char* key) {
        if (text.find(key) == std::string::npos) Fatal(head + "no \"" + key + " =\" found!", 35);
        if (!Behind(text, pos, key) || !Behind(text, pos, "="))
            Fatal(head + "no \"" + key + " =\" found after the values before it", 35);
    };
    require("file");
    pos = std::min(text.find_first_not_of(" \t", pos), text.size());
    const std::size_t end = std::min(text.find_first_of(" \t\r\n)", pos), text.size());
    fileName_ = text.substr(pos, end - pos);
    pos = end;
    if (fileName_.empty()) Fatal(head + "no balance file name after \"file =\"", 35);
    fileName_ = modelobject::ExpandPath(outputPath_, fileName_);
    require("V0");
    if (!Number(text, pos, content_[0])) Fatal(head + "no initial volume after \"V0 =\"", 35);
    require("C0");
    double c[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    int read = 0;
    while (read < 9 && Number(text, pos, c[read])) ++read;
    for (int t = 1; t <= nTr_ && t <= 9; ++t) content_[static_cast<std::size_t>(t)] = c[t - 1];
    // Fewer than nine concentrations end the reading of the element: dTmin keeps its default.
    if (read == 9 && text.find("dTmin", pos) != std::string::npos) {
        Behind(text, pos, "dTmin");
        if (!Behind(text, pos, "=") || !Number(text, pos, dTmin_)) Fatal(head + "no value after \"dTmin =\"", 35);
    }
    if (!(dTmin_ > 0) || !std::isfinite(dTmin_))
        Fatal(head + "the outflow sub-step dTmin must be greater than 0 seconds", 35);
    if (dTmin_ > dt_ * 60)
        *log_ << "WARNING: " << head << "the outflow sub-step dTmin (" << dTmin_ << " s) is longer than the time step ("
              << dt_ * 60 << " s): the reservoir releases no outflow" << "[end-entry]";
    buffer_.assign(static_cast<std::size_t>(capacity_) * static_cast<std::size_t>(kColumns + 4 + nTr_), 0.0);
}

void Reservoir::ReadRules(std::FILE* controlFile) {
    const std::string section = "[abstraction_rule_reservoir_" + std::to_string(code_) + "]";
    SeekRuleSection(controlFile, section, *log_);
    rule_ = ParseRules(ReadSectionLines(controlFile), section, *log_);
}

void Reservoir::OpenOutput() {
    table_.SetName(fileName_);
    const bool written = StartElementFile(table_, [&](std::FILE* f) {
        auto head = [&] {
            for (std::size_t i = 0; i < std::size(kBalanceColumns); ++i)
                std::fprintf(f, "%s%s", i ? "\t" : "", kBalanceColumns[i]);
            for (int t = 1; t <= nTr_ && tracers_ != nullptr; ++t) std::fprintf(f, "\t%s", tracers_[t].name.c_str());
        };
        head();
        std::fprintf(f, "\nreservoir_%d\n", code_);
        head();
        std::fprintf(f, "\n");
    });
    if (!written) {
        const int reason = errno;
        *log_ << "FATAL: error opening " << fileName_ << " for reservoir " << code_ << "[end-entry]";
        LogSystemReason(*log_, reason);
        throw ModelError(37);
    }
}

double Reservoir::Step(std::vector<Abstraction*>& abstractions, int year, int month, int day, int hour, double Qin) {
    if (rule_.Empty()) return 0.0;
    const SeasonalPosition p = rule_.Position(month, day);
    const bool active = rule_.Active(p.k, year, month, day, hour, true);
    const int n = static_cast<int>(std::floor(dt_ * 60 / dTmin_));
    const auto R = static_cast<std::size_t>(rule_.nRows);
    const double cap = rule_.targetCap[static_cast<std::size_t>(p.k)];
    // Above a one-row table there is no segment to extrapolate along.
    const double topSlope = R >= 2 ? RuleTable::Mix(rule_.s, p, static_cast<int>(R) - 1) : 0.0;
    const double topFlow = RuleTable::Mix(rule_.y, p, static_cast<int>(R));
    double V = content_[0];
    double Qmean = 0;
    for (Abstraction* a : abstractions)
        if (a->Mode() == kAbstractionFromReservoir) a->rate = 0;
    for (int i = 1; i <= n; ++i) {
        const double V1 = V + Qin * dTmin_;
        double Q = 0;
        if (!rule_.flowMode && V1 > rule_.x[R]) {
            Q = topFlow + topSlope * (V1 - rule_.x[R]);
            if (lake_) {
                if (VolumeToLevel(V1) > ReferenceLevel() + 0.5 && Qin > Q) Q = Qin;
            } else {
                Q = Qin;
            }
        } else if (active) {
            Q = rule_.Lookup(p, V1);
        }
        if (cap > 0) Q = std::min(Q, cap);
        double V2 = V1 - Q * dTmin_;
        if (V2 < 0) {
            Q += V2 / dTmin_;
            V2 = 0;
        }
        Qmean += std::max(Q, 0.0) / n;
        for (Abstraction* a : abstractions) {
            if (a->Mode() != kAbstractionFromReservoir) continue;
            double v = a->Step(year, month, day, hour, V2) * dTmin_;
            V2 -= v;
            if (V2 < 0) {
                v += V2;
                V2 = 0;
            }
            // The rate field holds the volume of the step until the step ends.
            a->rate = std::max(a->rate, 0.0) + v;
        }
        V = V2;
    }
    for (Abstraction* a : abstractions)
        if (a->Mode() == kAbstractionFromReservoir) a->rate /= dt_ * 60;
    return Qmean;
}

void Reservoir::FirstOutflow(int year, int month, int day, int hour) {
    std::vector<Abstraction*> none;
    Qout_ = Step(none, year, month, day, hour, 0.0);
    if (Qout_ * dt_ * 60 > content_[0]) Qout_ = content_[0] / 60 / dt_;
}

void Reservoir::Route(double Qin, const std::vector<double>& cIn, std::vector<Abstraction*>& abstractions, double Virr,
                      double Vabs, int year, int month, int day, int hour) {
    const double ts = 60 * dt_;
    ReservoirBalance& b = balance_;
    b = ReservoirBalance{};
    b.Irrig.m3 = Virr;
    b.Abstr.m3 = Vabs;
    b.Qin.m3 = Qin * ts;
    if (lake_) {
        const double a = grids_.cellsize * grids_.cellsize;
        EachLakeCell([&](int r, int c) {
            if (!((*grids_.ponding)[r][c] > 0)) return;
            if (grids_.transpiration) b.ETR.m3 += (*grids_.transpiration)[r][c] * a / 1000;
            if (grids_.downflow && grids_.baseflow) {
                const double g = (*grids_.downflow)[r][c];
                if (std::fabs(g) > 1e-10) b.QGW.m3 += g * a * ts;
                else b.QGW.m3 -= (*grids_.baseflow)[r][c] * a * ts;
            }
            // A step without precipitation data brings no water to the lake.
            if (grids_.precipitation && !NoData((*grids_.precipitation)[r][c], grids_.nodata))
                b.PREC.m3 += (*grids_.precipitation)[r][c] * a / 1000;
        });
        CollectLakeCells(lakeContent_);
        DistributeLevel(lakeContent_[0]);
        int wet = 0;
        EachLakeCell([&](int r, int c) { wet += (*grids_.ponding)[r][c] > 0 ? 1 : 0; });
        b.A = wet * a;
        previous_ = content_;
        content_ = lakeContent_;
    }
    double V = content_[0] - Virr;
    V = std::max(0.0, V - Vabs);
    content_[0] = V;
    if (year >= 1) {
        for (int t = 1; t <= nTr_; ++t) {
            double& c = content_[static_cast<std::size_t>(t)];
            if (tracers_ != nullptr && tracers_[t].radioactive == 1 && tracers_[t].half_time > 0)
                c *= std::exp(-(dt_ / 60 / 24) / (tracers_[t].half_time * kHalfLifeScale));
            c = MixConcentration(c, static_cast<std::size_t>(t) < cIn.size() ? cIn[static_cast<std::size_t>(t)] : 0.0, V,
                                 b.Qin.m3);
        }
    }
    Qout_ = Step(abstractions, year, month, day, hour, Qin);
    if (year >= 1) {
        for (Abstraction* a : abstractions) {
            if (a->Mode() != kAbstractionFromReservoir) continue;
            const double v = dt_ * a->rate * 60;
            b.Abstr.m3 += v;
            V -= v;
        }
        V += b.Qin.m3;
    }
    if (Qout_ * dt_ * 60 > V) Qout_ = V / 60 / dt_;
    if (year >= 1) {
        V -= Qout_ * ts;
        content_[0] = V;
        DistributeLevel(V);
    }
    content_[0] = V;
    b.Qout.m3 = ts * Qout_;
    if (lake_) {
        b.dV.m3 = b.Qin.m3 + b.QGW.m3 + b.PREC.m3 - b.ETR.m3 - b.Irrig.m3 - b.Abstr.m3 - b.Qout.m3;
        b.Err.m3 = V - previous_[0] - b.dV.m3;
    }
    for (ReservoirBalance::Term* t : {&b.Qin, &b.Qout, &b.Irrig, &b.Abstr, &b.QGW, &b.ETR, &b.PREC, &b.dV, &b.Err}) {
        t->m3s = t->m3 / ts;
        t->mm = b.A > 0 ? t->m3 / b.A * 1000 : 0.0;
    }
}

void Reservoir::AddOutputRow(int year, int month, int day, int hour) {
    if (buffer_.empty()) return;
    if (rows_ >= capacity_) Flush();
    const std::size_t width = static_cast<std::size_t>(kColumns + 4 + nTr_);
    double* row = buffer_.data() + static_cast<std::size_t>(rows_) * width;
    const ReservoirBalance& b = balance_;
    std::size_t i = 0;
    for (double v : {double(year), double(month), double(day), double(hour), VolumeToLevel(content_[0]), b.A, content_[0]})
        row[i++] = v;
    for (const ReservoirBalance::Term* t : {&b.Qin, &b.Qout, &b.Irrig, &b.QGW, &b.ETR, &b.PREC, &b.dV, &b.Abstr, &b.Err}) {
        row[i++] = t->m3;
        row[i++] = t->mm;
        row[i++] = t->m3s;
    }
    for (int t = 1; t <= nTr_; ++t) row[i++] = content_[static_cast<std::size_t>(t)];
    ++rows_;
}

void Reservoir::Flush() {
    if (rows_ == 0) return;
    AppendRows(table_, buffer_, rows_, static_cast<std::size_t>(kColumns + 4 + nTr_), *log_);
    rows_ = 0;
}

void Reservoir::EndOutput() {
    if (!NormalEndPending() && !levelVolume_.Finish()) LevelVolumeFailed();
    if (table_.name().empty()) return;
    EndElementFile(table_, buffer_, rows_, static_cast<std::size_t>(kColumns + 4 + nTr_), *log_);
}

}  // namespace routing
