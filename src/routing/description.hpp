#pragma once
// The routing network of "[routing_model]": a list of routing descriptions, one per routing
// subbasin (TG), each a first line holding "TG" and continuation lines holding "SUMTRIB", "OL",
// "AL", "ZL" or "SP". Keywords are plain substrings. The list is read twice: the first pass
// counts descriptions and elements, the second joins the lines of each description into one
// text and parses it, handing every element to a sink in a fixed order. Every malformed input
// is a "FATAL: " entry and a ModelError; no text is ever read beyond its end.
#include <cstdio>
#include <string>
#include <vector>

class DiagLog;

namespace routing {

// Longest line (with its line end) and longest joined description text.
constexpr int kLineBuffer = 1200;
constexpr std::size_t kMaxJoinedText = 12000;
constexpr int kMaxJoinedCodes = 9;
constexpr std::size_t kMaxModeWord = 19;
constexpr std::size_t kMaxInflowFileName = 299;

// Element counts of a text: occurrences of "OL", "ZL", "AL", "SP", "&" and "SUMTRIB".
struct ElementCounts {
    int ol = 0, zl = 0, al = 0, sp = 0, amp = 0, sum = 0;
    ElementCounts& operator+=(const ElementCounts& o);
};

// Occurrences of keyword in text, each search restarting one character after a match.
int CountKeyword(const std::string& text, const char* keyword);
ElementCounts CountElements(const std::string& text);
inline int CountKeywordOL(const std::string& line) { return CountKeyword(line, "OL"); }
inline int CountKeywordSUMTRIB(const std::string& line) { return CountKeyword(line, "SUMTRIB"); }
inline int CountAmpersand(const std::string& line) { return CountKeyword(line, "&"); }
inline int CountKeywordZL(const std::string& line) { return CountKeyword(line, "ZL"); }
inline int CountKeywordAL(const std::string& line) { return CountKeyword(line, "AL"); }
inline int CountKeywordSP(const std::string& line) { return CountKeyword(line, "SP"); }
// Whether the line holds one of "TG", "OL", "SUMTRIB", "ZL", "AL", "SP".
bool HasAnyKeyword(const std::string& line);

// Reads one line as a buffer of kLineBuffer characters does (a longer line takes several reads);
// false at the end of the file.
bool ReadLine(std::FILE* f, std::string& line);
// Whether nothing is left to read.
bool AtEnd(std::FILE* f);

struct NetworkTotals {
    int nDesc = 0;
    ElementCounts counts;
};

// First pass from the line after the R-square offset: counts and logs the eight count lines.
NetworkTotals CountDescriptions(std::FILE* f, DiagLog& log);

// The three network arrays: [0] subbasins that flow into another, in parsing order (entries
// 1..2*nSb), [1] the zone index each of them flows into, [2] the description of a subbasin.
// They are held side by side, so that a pointer to the first reaches all three.
struct RoutingTargets {
    std::vector<int> arrays[3];
    std::vector<int>& tributaries() { return arrays[0]; }
    std::vector<int>& next() { return arrays[1]; }
    std::vector<int>& description() { return arrays[2]; }
    const std::vector<int>& tributaries() const { return arrays[0]; }
    const std::vector<int>& next() const { return arrays[1]; }
    const std::vector<int>& description() const { return arrays[2]; }
    void Allocate(int nSb);
};

// Kind of an inflow: constant value, fed by an internal abstraction, dated file.
enum InflowMode : int { kInflowConstant = 1, kInflowIntern = 3, kInflowExtern = 4 };

struct InflowDef {
    int z = 0;
    int mode = kInflowConstant;
    std::string fileName;
    int firstRow = 0;
    int column = 0;
    double value = 0;
};

// The joined text of a description and the position the parsing has reached in it.
struct TextCursor {
    const std::string& text;
    std::size_t pos = 0;
};

// What a parsed description builds; called in the order of the elements.
class DescriptionSink {
public:
    virtual ~DescriptionSink() = default;
    virtual void Begin(int n, int tgCode, double area, double factor, const ElementCounts& counts) = 0;
    virtual void Channel(int e, int code, const std::vector<int>& joined, const double values[10]) = 0;
    virtual void Inflow(int e, const InflowDef& def) = 0;
    // The abstraction and the reservoir read their element from the cursor and leave it behind
    // what they read.
    virtual void Abstraction(int e, TextCursor& cursor) = 0;
    virtual void Reservoir(int e, TextCursor& cursor) = 0;
};

struct NetworkContext {
    const std::vector<int>* zoneIndex = nullptr;  // code -> zone index 1..nSb
    int nSb = 0;
    int maxZoneCode = 0;
    int nZL = 0;  // inflows of the whole basin
    std::string moduleName;
    RoutingTargets* targets = nullptr;
};

// Parses the joined text of description n.
void ParseDescription(const std::string& text, int n, const NetworkContext& ctx, DescriptionSink& sink,
                      DiagLog& log);

// The zone indices of a cycle in the next-subbasin links (next[i] is the subbasin that i flows
// into, 0 for none), in flow order starting from the smallest index in it; empty without one.
std::vector<int> FindCycle(const std::vector<int>& next);
// A cycle of the network is FATAL (17), naming the subbasins and descriptions in it.
void RefuseCycles(const RoutingTargets& targets, const NetworkContext& ctx, DiagLog& log);

// Second pass: line is the first line after the R-square offset; returns the number of
// descriptions read.
int ReadDescriptions(std::FILE* f, std::string line, const NetworkContext& ctx, DescriptionSink& sink,
                     DiagLog& log);

}  // namespace routing
