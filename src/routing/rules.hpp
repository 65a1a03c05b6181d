#pragma once
// Operating rules of reservoirs and abstractions: a seasonal table that turns a volume (or a
// flow) into a flow, one column per day of the year of its head line, with per-column weekday
// and hour windows and an optional cap. The sections "[abstraction_rule_reservoir_%d]" and
// "[abstraction_rule_abstraction_%d]" share one grammar:
//   head line  nRows day_1 .. day_nCols   (only nRows: one column on day 1)
//   nRows rows x y_1 .. y_nCols
//   key lines  TargetCap = .. | WeekDays = .. | start_hour = .. | stop_hour = .. | TableIndex = Flow
// ending at a line with "[", an empty line or the end of the file.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class DiagLog;

namespace routing {

// Where a date falls between the rule's columns: the upper column k (1-based) and the weight w
// of column k (column k-1 takes 1 - w).
struct SeasonalPosition {
    int k = 1;
    double w = 1.0;
};

// Day of the year with February of 28 days (29 February counts as 1 March); months below 1
// count no month lengths.
int DayOfYear(int month, int day);
// Days since 1 January 1970 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, long long m, long long d);

// Weekday of the calendar date at hour - 1 (hour 0 belongs to the previous day): Monday 1 ..
// Sunday 7. Proleptic Gregorian calendar; no time zone and no daylight saving take part.
int Weekday(int year, int month, int day, int hour);

struct RuleTable {
    int nRows = 0, nCols = 1;
    std::vector<int> day;                  // [1..nCols]
    std::vector<double> x;                 // [1..nRows]
    std::vector<std::vector<double>> y, s;  // [1..nCols][1..nRows]
    std::vector<double> targetCap;         // [1..nCols], -1 = none
    std::vector<std::int64_t> weekDays;    // [1..nCols], -1 = none
    std::vector<int> startHour, stopHour;  // [1..nCols], -1 = none
    bool flowMode = false;                 // "TableIndex = Flow": x holds flows, y volumes

    bool Empty() const { return nRows < 1; }
    SeasonalPosition Position(int month, int day) const;
    // Table quantity q[k][j] combined over the two columns of the position.
    static double Mix(const std::vector<std::vector<double>>& q, const SeasonalPosition& p, int j);
    // The weekday and hour window of column k. A reservoir column without WeekDays is always
    // active; an abstraction column without them never is. No date (month < 1): not active.
    bool Active(int k, int year, int month, int day, int hour, bool reservoir) const;
    // Flow (volume mode) of volume V below the top row, 0 below the first row; the largest row
    // j < nRows that V exceeds gives the segment. In flow mode the roles of x and y swap.
    double Lookup(const SeasonalPosition& p, double V) const;
};

// Parses the lines of a section (after its name line; each line without its line end). Stops at
// the section's end. A head line that is not a row count followed by rising days of the year
// (1 to 366), or that counts more rows than the section has lines, is a FATAL entry with code 34
// naming the section.
RuleTable ParseRules(const std::vector<std::string>& lines, const std::string& section, DiagLog& log);

// Rewinds the control file and positions it after the line whose first word is the section
// name; FATAL "section ... not found in control file", code 34, when there is none.
void SeekRuleSection(std::FILE* f, const std::string& section, DiagLog& log);
// Notes every rule section of the control file as read: processes other than 0 build no
// reservoirs or abstractions, but the sections are theirs all the same.
void NoteRuleSections(std::FILE* f);
// Reads the section's lines from the current position up to its end.
std::vector<std::string> ReadSectionLines(std::FILE* f);

}  // namespace routing
