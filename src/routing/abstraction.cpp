#include "routing/abstraction.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "routing/element_rows.hpp"
#include "routing/channel.hpp"
#include "routing/routingclass.hpp"
#include "setup/tracer_ini.hpp"

namespace routing {

namespace {
constexpr std::uint64_t kInputBlockRows = 1000000;

// A word of the text from pos: blanks skipped, ended by a blank, '=' or ')'.
std::string Word(const std::string& text, std::size_t& pos) {
    pos = std::min(text.find_first_not_of(" \t\r\n", pos), text.size());
    const std::size_t end = std::min(text.find_first_of(" \t\r\n=)", pos), text.size());
    std::string w = text.substr(pos, end - pos);
    pos = end;
    return w;
}

bool Number(const std::string& text, std::size_t& pos, double& v) {
    if (pos >= text.size()) return false;
    const char* start = text.c_str() + pos;
    char* end = nullptr;
    v = std::strtod(start, &end);
    if (end == start) return false;
    pos += static_cast<std::size_t>(end - start);
    return true;
}

// Moves pos behind the next occurrence of key; false when there is none.
bool Behind(const std::string& text, std::size_t& pos, const char* key) {
    const std::size_t p = text.find(key, pos);
    if (p == std::string::npos) return false;
    pos = p + std::char_traits<char>::length(key);
    return true;
}
}  // namespace

Abstraction::Abstraction(int code, DiagLog& log, const TracerDescriptor* tracers, int nTr,
                         const std::string& outputPath, double areaNumerator, double areaDivisor, double dt)
    : code_(code), log_(&log), tracers_(tracers), nTr_(nTr), outputPath_(outputPath), areaNumerator_(areaNumerator),
      areaDivisor_(areaDivisor), dt_(dt) {
    capacity_ = std::max(1L, kElementBufferBytes / ((nTr_ + 1) * 8L + 32L));
}

Abstraction::~Abstraction() {
    try {
        EndOutput();
    } catch (const ModelError&) {
        // A destructor cannot report further; the log holds the failure.
    }
}

void Abstraction::Fatal(const std::string& text, int code) {
    *log_ << "FATAL: " << text << "[end-entry]";
    throw ModelError(code);
}

void Abstraction::ReadMode(const std::string& text, std::size_t& pos, int year, int month, int day, int hour) {
    const std::string name = std::to_string(code_);
    const std::string mode = Word(text, pos);
    if (mode == "intern") mode_ = kAbstractionIntern;
    else if (mode == "extern") mode_ = kAbstractionExtern;
    else if (mode == "from_file") mode_ = kAbstractionFromFile;
    else if (mode == "intern_with_rule") mode_ = kAbstractionInternRule;
    else if (mode == "extern_with_rule") mode_ = kAbstractionExternRule;
    else if (mode == "intern_with_rule_from_reservoir") mode_ = kAbstractionFromReservoir;
    else Fatal("the modus \"" + mode.substr(0, 60) + "\" is not supported for abstraction " + name, 44);

    if (mode_ == kAbstractionExtern || mode_ == kAbstractionExternRule) outputFile_ = Word(text, pos);
    if (mode_ == kAbstractionFromFile) {
        double column = 0;
        if (!Behind(text, pos, "input_file") || !Behind(text, pos, "=") || (inputFile_ = Word(text, pos)).empty() ||
            !Behind(text, pos, "=") || !Number(text, pos, column) || !Behind(text, pos, "=") ||
            (outputFile_ = Word(text, pos)).empty())
            Fatal("abstraction " + name + " (from_file): \"input_file = <file> ... = <column> ... = <output file>\" expected",
                  44);
        if (!(column >= 0 && column < 1e6)) Fatal("invalid table column for abstraction " + name, 44);
        column_ = static_cast<int>(column);
    }
    if (HasFile() && outputFile_.empty()) Fatal("missing output file name for abstraction " + name, 44);
    if (mode_ == kAbstractionIntern || mode_ == kAbstractionExtern) {
        if (!Number(text, pos, threshold_) || !Number(text, pos, fraction_) || !Number(text, pos, maximum_))
            Fatal("missing threshold, fraction or maximum for abstraction " + name, 44);
        const std::string unit = Word(text, pos);
        if (unit.find("m^3/s") != std::string::npos || unit.find("m3/s") != std::string::npos ||
            unit.find("m3s") != std::string::npos) {
            threshold_ = M3sToMm(threshold_, Area(), dt_);
            maximum_ = M3sToMm(maximum_, Area(), dt_);
        }
    }
    if (mode_ == kAbstractionFromFile) OpenInput(year, month, day, hour);
    if (HasFile()) CreateOutput();
}

void Abstraction::OpenInput(int year, int month, int day, int hour) {
    const std::string name = std::to_string(code_);
    input_ = std::make_unique<TimeSeriesTable>();
    try {
        input_->Open(inputFile_, 0, kInputBlockRows, log_);
    } catch (const ModelError&) {
        Fatal("error opening " + inputFile_ + " for abstraction " + name, 37);
    }
    TimeSeriesTable& t = *input_;
    if (t.State() == TimeSeriesTable::kCannotOpen)
        FailOnFile(*log_, "error opening " + inputFile_ + " for abstraction " + name, 37, t.OpenError());
    if (t.State() == TimeSeriesTable::kNotOpened || t.State() == TimeSeriesTable::kFormatError)
        Fatal("error opening " + inputFile_ + " for abstraction " + name, 37);
    t.SetRow(-1);
    for (;;) {
        t.NextRow();
        if (t.State() == TimeSeriesTable::kAtEnd)
            Fatal("starting date " + std::to_string(day) + "." + std::to_string(month) + "." + std::to_string(year) +
                      ", " + std::to_string(hour) + ". h in " + inputFile_ + " not found.",
                  38);
        int y = 0, m = 0, d = 0, h = 0;
        t.GetDate(y, m, d, h);
        if (y <= 999) y += 1900;
        if (y == year && m == month && d == day && h == hour) break;
    }
}

void Abstraction::CreateOutput() {
    outputFile_ = modelobject::ExpandPath(outputPath_, outputFile_);
    table_.SetName(outputFile_);
    const bool written = StartElementFile(table_, [&](std::FILE* f) {
        auto head = [&] {
            std::fprintf(f, "YY\tMM\tDD\tHH\tm^3/s");
            for (int t = 1; t <= nTr_ && tracers_ != nullptr; ++t) std::fprintf(f, "\t%s", tracers_[t].name.c_str());
            std::fprintf(f, "\n");
        };
        head();
        std::fprintf(f, "abstraction_%d\n", code_);
        head();
    });
    if (!written) {
        const int reason = errno;
        *log_ << "FATAL: error opening " << outputFile_ << " for abstraction " << code_ << "[end-entry]";
        LogSystemReason(*log_, reason);
        throw ModelError(37);
    }
    buffer_.assign(static_cast<std::size_t>(capacity_) * static_cast<std::size_t>(nTr_ + 5), 0.0);
}

void Abstraction::ReadRules(std::FILE* controlFile) {
    if (mode_ != kAbstractionInternRule && mode_ != kAbstractionExternRule && mode_ != kAbstractionFromReservoir)
        return;
    const std::string section = "[abstraction_rule_abstraction_" + std::to_string(code_) + "]";
    SeekRuleSection(controlFile, section, *log_);
    rule_ = ParseRules(ReadSectionLines(controlFile), section, *log_);
}

void Abstraction::SetArea(double area) {
    if (area > 0 && areaNumerator_ > 0) {
        threshold_ *= areaNumerator_ / area;
        maximum_ *= areaNumerator_ / area;
    }
    areaNumerator_ = area;
}

void Abstraction::Connect(const routingclass* receiver, int receivingIndex, int tributaryIndex, double area,
                          double factor) {
    receiver_ = receiver;
    receivingIndex_ = receivingIndex;
    tributaryIndex_ = tributaryIndex;
    linkArea_ = area;
    linkFactor_ = factor;
}

double Abstraction::TributaryFlow() const {
    if (receiver_ == nullptr || tributaryIndex_ < 1 || linkFactor_ == 0) return 0.0;
    const routing::TracerLine<const double> line = receiver_->DelayLine(0, tributaryIndex_);
    return line.size() > 1 ? MmToM3s(line[1], linkArea_ / linkFactor_, dt_) : 0.0;
}

double Abstraction::RuleAmount(int month, int day, double Q) {
    if (rule_.Empty()) return 0.0;
    const SeasonalPosition p = rule_.Position(month, day);
    const auto R = static_cast<std::size_t>(rule_.nRows);
    double result = 0;
    if (!rule_.flowMode && Q > rule_.x[R]) result = rule_.y[static_cast<std::size_t>(p.k)][R];
    else result = rule_.Lookup(p, Q);
    if (receivingIndex_ > 0 && tributaryIndex_ > 0) {
        const double q = TributaryFlow();
        const double cap = rule_.targetCap[static_cast<std::size_t>(p.k)];
        if (result + q > cap) result = std::max(0.0, cap - q);
    }
    return M3sToMm(result, Area(), dt_);
}

double Abstraction::Step(int year, int month, int day, int hour, double V) {
    if (rule_.Empty() || month < 1) return 0.0;
    const SeasonalPosition p = rule_.Position(month, day);
    if (!rule_.Active(p.k, year, month, day, hour, false)) return 0.0;
    const auto R = static_cast<std::size_t>(rule_.nRows);
    double q = 0;
    if (!rule_.flowMode && V > rule_.x[R]) q = rule_.y[static_cast<std::size_t>(p.k)][R];
    else q = rule_.Lookup(p, V);
    if (receivingIndex_ >= 1 && tributaryIndex_ >= 1) {
        const double F = TributaryFlow();
        const double cap = rule_.targetCap[static_cast<std::size_t>(p.k)];
        if (q + F > cap) q = std::max(0.0, cap - F);
    }
    return std::max(0.0, q);
}

double Abstraction::Abstract(double& A, double Q, int year, int month, int day, int hour) {
    const double r = Q - A;
    double w = 0;
    switch (mode_) {
        case kAbstractionIntern:
        case kAbstractionExtern:
            w = threshold_ <= r ? (Q - threshold_) * fraction_ : 0.0;
            if (r - w < threshold_) w = r - threshold_;
            w = std::clamp(w, 0.0, std::max(0.0, maximum_));
            break;
        case kAbstractionFromFile: {
            TimeSeriesTable& t = *input_;
            if (month > 0 && t.State() == TimeSeriesTable::kAtEnd)
                Fatal("error reading from " + inputFile_ + " (or from its buffer) for abstraction " +
                          std::to_string(code_) + "\nreached end of file!",
                      39);
            double v = t.GetValue(column_);
            if (v <= -9998) {
                if (!nodataWarned_)
                    *log_ << "WARNING: " << inputFile_ << " holds no value (" << v << ") for abstraction " << code_
                          << " on " << day << "." << month << "." << year << ", " << hour
                          << " h: nothing is abstracted where a value is missing" << "[end-entry]";
                nodataWarned_ = true;
                v = 0;
            }
            w = M3sToMm(v, Area(), dt_);
            if (month > 0) t.NextRow();
            break;
        }
        case kAbstractionInternRule:
        case kAbstractionExternRule:
        case kAbstractionFromReservoir:
            w = RuleAmount(month, day, MmToM3s(Q, Area(), dt_));
            break;
        default:
            break;
    }
    // What is not there cannot be taken, and an abstraction never adds water.
    w = std::clamp(w, 0.0, std::max(0.0, r));
    A += w;
    return w;
}

void Abstraction::AddRow(int year, int month, int day, int hour, const std::vector<double>& values) {
    if (!HasFile() || buffer_.empty()) return;
    if (rows_ >= capacity_) Flush();
    const std::size_t width = static_cast<std::size_t>(nTr_ + 5);
    double* row = buffer_.data() + static_cast<std::size_t>(rows_) * width;
    row[0] = year;
    row[1] = month;
    row[2] = day;
    row[3] = hour;
    for (std::size_t v = 0; v < width - 4; ++v) row[4 + v] = v < values.size() ? values[v] : 0.0;
    ++rows_;
}

void Abstraction::Flush() {
    if (!HasFile() || rows_ == 0) return;
    AppendRows(table_, buffer_, rows_, static_cast<std::size_t>(nTr_ + 5), *log_);
    rows_ = 0;
}

void Abstraction::EndOutput() {
    if (!HasFile() || table_.name().empty()) return;
    EndElementFile(table_, buffer_, rows_, static_cast<std::size_t>(nTr_ + 5), *log_);
}

}  // namespace routing
