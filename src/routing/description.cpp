#include "routing/description.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"

namespace routing {

ElementCounts& ElementCounts::operator+=(const ElementCounts& o) {
    ol += o.ol;
    zl += o.zl;
    al += o.al;
    sp += o.sp;
    amp += o.amp;
    sum += o.sum;
    return *this;
}

int CountKeyword(const std::string& text, const char* keyword) {
    int n = 0;
    for (std::size_t p = text.find(keyword); p != std::string::npos; p = text.find(keyword, p + 1)) ++n;
    return n;
}

ElementCounts CountElements(const std::string& text) {
    ElementCounts c;
    c.ol = CountKeywordOL(text);
    c.sum = CountKeywordSUMTRIB(text);
    c.amp = CountAmpersand(text);
    c.zl = CountKeywordZL(text);
    c.al = CountKeywordAL(text);
    c.sp = CountKeywordSP(text);
    return c;
}

namespace {
bool Has(const std::string& s, const char* k) { return s.find(k) != std::string::npos; }

bool HasContinuationKeyword(const std::string& s) {
    return Has(s, "SUMTRIB") || Has(s, "OL") || Has(s, "AL") || Has(s, "ZL") || Has(s, "SP");
}

[[noreturn]] void Fatal(DiagLog& log, const std::string& text, int code) {
    log << "FATAL: " << text << "[end-entry]";
    throw ModelError(code);
}
}  // namespace

bool HasAnyKeyword(const std::string& line) { return Has(line, "TG") || HasContinuationKeyword(line); }

bool ReadLine(std::FILE* f, std::string& line) {
    char buf[kLineBuffer];
    if (!std::fgets(buf, sizeof buf, f)) return false;
    line = buf;
    return true;
}

bool AtEnd(std::FILE* f) {
    const int c = std::fgetc(f);
    if (c == EOF) return true;
    std::ungetc(c, f);
    return false;
}

NetworkTotals CountDescriptions(std::FILE* f, DiagLog& log) {
    const char* eof = "error reading a routing description from control file! (eof reached).";
    NetworkTotals t;
    if (AtEnd(f)) Fatal(log, eof, 38);
    std::string line;
    while (ReadLine(f, line) && HasAnyKeyword(line)) {
        if (Has(line, "TG")) ++t.nDesc;
        t.counts += CountElements(line);
        if (AtEnd(f)) Fatal(log, eof, 38);
    }
    const ElementCounts& c = t.counts;
    log << "number inbetween areas (routings)    : " << t.nDesc << "[end-entry]";
    log << "number tributaries  total      (OL)  : " << c.ol + c.amp + c.sum << "[end-entry]";
    log << " - flowing into another at the end   : " << c.ol << "[end-entry]";
    log << " - flowing into another at the start : " << c.amp + c.sum << "[end-entry]";
    log << "so the total of routingchannels is   : " << c.ol + c.sum << "[end-entry]";
    log << "number of inflows              (ZL)  : " << c.zl << "[end-entry]";
    log << "number of abstractions         (AL)  : " << c.al << "[end-entry]";
    log << "number reservoirs              (SP)  : " << c.sp << "[end-entry]";
    return t;
}

void RoutingTargets::Allocate(int nSb) {
    tributaries().assign(static_cast<std::size_t>(2 * nSb + 1), 0);
    next().assign(static_cast<std::size_t>(nSb + 1), 0);
    description().assign(static_cast<std::size_t>(nSb + 1), 0);
}

namespace {

// The reading of one joined text: integers after keywords, numbers after "=" and words.
class Parser {
public:
    Parser(const std::string& text, int n, const NetworkContext& ctx, DescriptionSink& sink, DiagLog& log)
        : text_(text), n_(n), ctx_(ctx), sink_(sink), log_(log) {}
    void Run();

private:
    bool ReadInt(int& value);
    bool ReadNumber(double& value);
    bool ReadNumberAfterEquals(double& value);
    std::string ReadWord();
    void ReadChannelValues(double c[10], const char* element, int code, int failCode);
    int ZoneIndexOf(int code) const;
    void CheckTributary(int tgCode, int e, int code, bool lineBreak);
    int AddTributary(int zoneIndex, int tgIndex, int offset);
    void ParseTG();
    void ParseOL();
    void ParseSUMTRIB();
    void ParseZL();
    template <class F>
    void ParseHandOver(const char* keyword, F&& handOver);

    const std::string& text_;
    const int n_;
    const NetworkContext& ctx_;
    DescriptionSink& sink_;
    DiagLog& log_;
    std::size_t pos_ = 0;
    int e_ = 0;
    int tgCode_ = 0;
    int tgIndex_ = 0;
    ElementCounts counts_;
};

bool Parser::ReadInt(int& value) {
    std::size_t p = pos_;
    while (p < text_.size() && std::isspace(static_cast<unsigned char>(text_[p]))) ++p;
    bool negative = false;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) negative = text_[p++] == '-';
    if (p >= text_.size() || !std::isdigit(static_cast<unsigned char>(text_[p]))) return false;
    long long v = 0;
    while (p < text_.size() && std::isdigit(static_cast<unsigned char>(text_[p]))) {
        if (v < INT_MAX) v = v * 10 + (text_[p] - '0');  // saturates: a huge code is no code
        ++p;
    }
    if (v > INT_MAX) v = INT_MAX;
    value = static_cast<int>(negative ? -v : v);
    pos_ = p;
    return true;
}

bool Parser::ReadNumber(double& value) {
    if (pos_ >= text_.size()) return false;
    const char* start = text_.c_str() + pos_;
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    if (end == start || !std::isfinite(v)) return false;
    value = v;
    pos_ += static_cast<std::size_t>(end - start);
    return true;
}

bool Parser::ReadNumberAfterEquals(double& value) {
    const std::size_t eq = text_.find('=', pos_);
    if (eq == std::string::npos) return false;
    pos_ = eq + 1;
    return ReadNumber(value);
}

std::string Parser::ReadWord() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    return text_.substr(start, pos_ - start);
}

void Parser::ReadChannelValues(double c[10], const char* element, int code, int failCode) {
    for (int i = 0; i < 10; ++i)
        if (!ReadNumberAfterEquals(c[i]))
            Fatal(log_,
                  "missing \"=\" or number for channel value " + std::to_string(i + 1) + " of " + element + " " +
                      std::to_string(code) + " in routing description " + std::to_string(n_),
                  failCode);
}

int Parser::ZoneIndexOf(int code) const {
    if (code < 0 || code > ctx_.maxZoneCode || ctx_.zoneIndex == nullptr) return 0;
    if (static_cast<std::size_t>(code) >= ctx_.zoneIndex->size()) return 0;
    const int i = (*ctx_.zoneIndex)[static_cast<std::size_t>(code)];
    return (i >= 1 && i <= ctx_.nSb) ? i : 0;
}

void Parser::CheckTributary(int tgCode, int e, int code, bool lineBreak) {
    if (ZoneIndexOf(code) == 0)
        Fatal(log_,
              "there cant be a tributary with code " + std::to_string(code) + " for no subbasin (according to zones)" +
                  (lineBreak ? "\n" : ""),
              41);
    if (code == tgCode)
        Fatal(log_,
              "subbasin " + std::to_string(tgCode) + ": code of tributary " + std::to_string(e) + " (" +
                  std::to_string(code) +
                  ") is equal to subbasin code!\nIt is not allowed to rout the outflow of a subbasin back into \n"
                  "the same subbasin. Use a reservoir instead." +
                  (lineBreak ? "\n" : ""),
              41);
}

// Puts a tributary at the first free entry from offset on; returns its position.
int Parser::AddTributary(int zoneIndex, int tgIndex, int offset) {
    std::vector<int>& list = ctx_.targets->tributaries();
    std::size_t p = static_cast<std::size_t>(offset < 1 ? 1 : offset);
    while (p < list.size() && list[p] > 0) ++p;
    if (p >= list.size())
        Fatal(log_,
              "there are more tributaries than the " + std::to_string(list.size() - 1) +
                  " the routing network can hold (twice the number of subbasins)",
              41);
    list[p] = zoneIndex;
    ctx_.targets->next()[static_cast<std::size_t>(zoneIndex)] = tgIndex;
    return static_cast<int>(p);
}

void Parser::ParseTG() {
    pos_ = text_.find("TG");
    if (pos_ == std::string::npos) Fatal(log_, "there is no subbasin code after \"TG\"", 41);
    pos_ += 2;
    if (!ReadInt(tgCode_))
        Fatal(log_, "there is no subbasin code after \"TG\" in routing description " + std::to_string(n_), 41);
    tgIndex_ = ZoneIndexOf(tgCode_);
    if (tgIndex_ == 0) Fatal(log_, "there is no subbasin with code " + std::to_string(tgCode_), 41);
    double area = 0, factor = 0;
    if (!ReadNumberAfterEquals(area) || !ReadNumberAfterEquals(factor))
        Fatal(log_, "missing \"=\" or number for the area or the area factor of subbasin " + std::to_string(tgCode_),
              41);
    if (!(factor > 0))
        Fatal(log_,
              "the area factor (AErel) of subbasin " + std::to_string(tgCode_) + " must be greater than 0, not " +
                  std::to_string(factor),
              17);
    sink_.Begin(n_, tgCode_, area, factor, counts_);
    if (ctx_.targets) ctx_.targets->description()[static_cast<std::size_t>(tgIndex_)] = n_;
}

void Parser::ParseOL() {
    int found = 0;
    for (std::size_t p = text_.find("OL", pos_); p != std::string::npos; p = text_.find("OL", pos_)) {
        ++found;
        ++e_;
        pos_ = p + 2;
        int code = 0;
        if (!ReadInt(code)) Fatal(log_, "there is no subbasin code after \"OL\" (tributary " + std::to_string(e_) + ")", 41);
        CheckTributary(tgCode_, e_, code, true);
        double c[10];
        ReadChannelValues(c, "tributary", code, 41);
        sink_.Channel(e_, code, {}, c);
        if (ctx_.targets) AddTributary(ZoneIndexOf(code), tgIndex_, 1);
    }
    if (found != counts_.ol)
        Fatal(log_,
              "routing description " + std::to_string(n_) + " holds \"OL\" before the values of its \"TG\" element;" +
                  " the keywords must not occur in other text",
              41);
}

void Parser::ParseSUMTRIB() {
    pos_ = 0;
    for (std::size_t p = text_.find("SUMTRIB"); p != std::string::npos; p = text_.find("SUMTRIB", pos_)) {
        ++e_;
        pos_ = p + 7;
        int code = 0;
        if (!ReadInt(code)) Fatal(log_, "there is no subbasin code after \"SUMTRIB\" (tributary " + std::to_string(e_) + ")", 41);
        CheckTributary(tgCode_, e_, code, false);
        const int first = ctx_.targets ? AddTributary(ZoneIndexOf(code), tgIndex_, 1) : 0;
        // The joined codes: "&" followed by a code, up to the first blank, "(" or "k".
        const std::size_t behindCode = pos_;
        std::size_t end = text_.find_first_of(" (k", behindCode);
        if (end == std::string::npos) end = text_.size();
        std::vector<int> joined;
        for (std::size_t a = text_.find('&', behindCode); a != std::string::npos && a < end; a = text_.find('&', a + 1)) {
            if (static_cast<int>(joined.size()) == kMaxJoinedCodes)
                Fatal(log_,
                      "there cant be more than " + std::to_string(kMaxJoinedCodes) +
                          " codes joined with \"&\" to the tributary " + std::to_string(code),
                      41);
            pos_ = a + 1;
            int c = 0;
            if (!ReadInt(c) || ZoneIndexOf(c) == 0) {
                const std::string shown = ReadInt(c) ? std::to_string(c) : text_.substr(a + 1, 10);
                Fatal(log_, "there cant be a tributary with code " + shown + " for no subbasin (according to zones)", 41);
            }
            joined.push_back(c);
            if (ctx_.targets) AddTributary(ZoneIndexOf(c), tgIndex_, first + static_cast<int>(joined.size()));
        }
        pos_ = behindCode;
        double values[10];
        ReadChannelValues(values, "tributary", code, 41);
        sink_.Channel(e_, code, joined, values);
    }
}

void Parser::ParseZL() {
    pos_ = 0;
    for (std::size_t p = text_.find("ZL"); p != std::string::npos; p = text_.find("ZL", pos_)) {
        ++e_;
        pos_ = p + 2;
        InflowDef def;
        if (!ReadInt(def.z)) Fatal(log_, "there is no inflow number after \"ZL\" (element " + std::to_string(e_) + ")", 42);
        if (def.z > ctx_.nZL)
            Fatal(log_,
                  "there is/are only " + std::to_string(ctx_.nZL) +
                      " inflow(s) for the entire basin,\n but the codes ranges from 1 to at least " +
                      std::to_string(def.z) + "! in " + ctx_.moduleName,
                  42);
        if (def.z < 1)
            Fatal(log_, "the inflow numbers range from 1 to " + std::to_string(ctx_.nZL) + ", not " +
                            std::to_string(def.z) + "! in " + ctx_.moduleName,
                  42);
        const std::size_t eq = text_.find('=', pos_);
        if (eq == std::string::npos) Fatal(log_, "missing \"=\" and mode for inflow " + std::to_string(def.z), 42);
        pos_ = eq + 1;
        const std::string mode = ReadWord();
        const std::string unsupported =
            "the modus \"" + mode.substr(0, 40) + "\" is not supported for inflow " + std::to_string(def.z);
        if (mode.size() > kMaxModeWord) Fatal(log_, unsupported, 42);
        if (mode == "constant") {
            def.mode = kInflowConstant;
            if (!ReadNumber(def.value)) Fatal(log_, "missing constant value for inflow " + std::to_string(def.z), 42);
        } else if (mode == "extern") {
            def.mode = kInflowExtern;
            def.fileName = ReadWord();
            if (def.fileName.empty() || def.fileName.size() > kMaxInflowFileName)
                Fatal(log_,
                      "the file name of inflow " + std::to_string(def.z) + " is missing or longer than " +
                          std::to_string(kMaxInflowFileName) + " characters",
                      42);
            if (!ReadInt(def.firstRow) || !ReadInt(def.column))
                Fatal(log_, "missing start row or column for inflow " + std::to_string(def.z), 42);
        } else if (mode == "intern") {
            def.mode = kInflowIntern;
        } else {
            Fatal(log_, unsupported, 42);
        }
        sink_.Inflow(e_, def);
        double c[10];
        ReadChannelValues(c, "inflow", def.z, 42);
        sink_.Channel(e_, def.z, {}, c);
    }
}

template <class F>
void Parser::ParseHandOver(const char* keyword, F&& handOver) {
    std::size_t from = 0;
    for (std::size_t p = text_.find(keyword); p != std::string::npos; p = text_.find(keyword, from)) {
        ++e_;
        TextCursor cursor{text_, p};
        handOver(e_, cursor);
        from = cursor.pos > p + 2 ? cursor.pos : p + 2;
    }
}

void Parser::Run() {
    counts_ = CountElements(text_);
    ParseTG();
    ParseOL();
    ParseSUMTRIB();
    ParseZL();
    ParseHandOver("AL", [&](int e, TextCursor& c) { sink_.Abstraction(e, c); });
    ParseHandOver("SP", [&](int e, TextCursor& c) { sink_.Reservoir(e, c); });
}

}  // namespace

void ParseDescription(const std::string& text, int n, const NetworkContext& ctx, DescriptionSink& sink,
                      DiagLog& log) {
    Parser(text, n, ctx, sink, log).Run();
}

int ReadDescriptions(std::FILE* f, std::string line, const NetworkContext& ctx, DescriptionSink& sink,
                     DiagLog& log) {
    int n = 0;
    while (Has(line, "TG")) {
        ++n;
        log << "reading routing description " << n << "[end-entry]";
        std::string joined;
        bool more = true;
        while (more) {
            if (line.empty() || line.back() != '\n') {
                if (AtEnd(f))
                    Fatal(log, "unexpected end of control file reached reading routing descriptions", 38);
                Fatal(log, "string is too long (max. " + std::to_string(kLineBuffer) + " chars):\n" + line, 40);
            }
            line.pop_back();
            joined += line;
            if (joined.size() > kMaxJoinedText)
                Fatal(log,
                      "string is too long (max. " + std::to_string(kMaxJoinedText) + " chars):\n" +
                          joined.substr(0, 200),
                      40);
            if (AtEnd(f) || !ReadLine(f, line))
                Fatal(log, "unexpected end of control file reached reading routing descriptions", 38);
            more = !Has(line, "TG") && HasContinuationKeyword(line);
        }
        ParseDescription(joined, n, ctx, sink, log);
    }
    if (ctx.targets != nullptr) RefuseCycles(*ctx.targets, ctx, log);
    return n;
}

void RefuseCycles(const RoutingTargets& targets, const NetworkContext& ctx, DiagLog& log) {
    // Water routed in a circle never reaches an outlet: such a network is refused.
    const std::vector<int> cycle = FindCycle(targets.next());
    if (cycle.empty()) return;
    auto name = [&](int zone) {
        int code = zone;
        for (int c = 0; ctx.zoneIndex != nullptr && c < static_cast<int>(ctx.zoneIndex->size()); ++c)
            if ((*ctx.zoneIndex)[static_cast<std::size_t>(c)] == zone) code = c;
        const std::size_t z = static_cast<std::size_t>(zone);
        const int description = z < targets.description().size() ? targets.description()[z] : 0;
        return "TG " + std::to_string(code) + " (routing description " + std::to_string(description) + ")";
    };
    std::string text = "the routing network has a cycle: ";
    for (int zone : cycle) text += name(zone) + " flows into ";
    text += name(cycle.front()) + "; the outflow of a subbasin must not come back to it";
    Fatal(log, text, 17);
}

std::vector<int> FindCycle(const std::vector<int>& next) {
    // Colour walk: 1 = on the path being followed, 2 = known to reach an outlet or a cycle
    // found before. Each subbasin has one downstream link, so a path is a plain chain.
    const std::size_t n = next.size();
    std::vector<int> state(n, 0);
    for (std::size_t start = 1; start < n; ++start) {
        std::vector<std::size_t> path;
        std::size_t i = start;
        while (i > 0 && i < n && state[i] == 0) {
            state[i] = 1;
            path.push_back(i);
            i = next[i] > 0 ? static_cast<std::size_t>(next[i]) : 0;
        }
        if (i > 0 && i < n && state[i] == 1) {
            std::vector<int> cycle;
            auto at = std::find(path.begin(), path.end(), i);
            const auto smallest = std::min_element(at, path.end());
            for (auto it = smallest; it != path.end(); ++it) cycle.push_back(static_cast<int>(*it));
            for (auto it = at; it != smallest; ++it) cycle.push_back(static_cast<int>(*it));
            return cycle;
        }
        for (std::size_t k : path) state[k] = 2;
    }
    return {};
}

}  // namespace routing
