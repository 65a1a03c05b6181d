#pragma once
// Output by write code: the date tests and the file names of the grids and stacks written by
// modelobject::WriteStatisticGrids and modelobject::WriteStackByCode.
//
// Write-code digits: units = when the grid or stack itself is written; tens = period of a
// running sum (1 run, 2 year, 3 month, 4 day) or mean (5-8 likewise); hundreds = minimum (1),
// maximum (2) or both (3) over the run; thousands = sum (1) or mean (2) over the vegetation
// period.
//
// The calendar of these tests has February at 28 days in every year: in a leap year
// 28 February ends the month, and 29 February goes into the sum that ends on 31 March.
#include <array>
#include <cstdint>
#include <string>

struct GridStoreEntry;

namespace writecode {

// The date an output is taken at.
struct OutputDate {
    std::int64_t year = 0, month = 0, day = 0, hour = 0;
};

// The period ends the write code looks at, all on one date.
struct PeriodEnds {
    bool run = false, day = false, month = false, year = false;
};

// The step ends a day when the integer part of the hour offset plus the hour is 24.
bool EndOfDay(double hourOffset, std::int64_t hour);
// End of day on the last day of the month of the output calendar, whose February has 28 days
// in every year (whatever calendar the writing object keeps for its own dates).
bool EndOfMonth(double hourOffset, const OutputDate& d);
// End of day on 31 December.
bool EndOfYear(double hourOffset, const OutputDate& d);
PeriodEnds Ends(double hourOffset, const OutputDate& d, std::int64_t endKey);

// Whether the period of a tens digit (1..8) has ended.
bool PeriodEnded(int tens, const PeriodEnds& ends);

// An output file name cut into its directory part (up to and including the last "/") and the
// prefix of the rest: the text before its first "." (a leading "." does not count, so a name
// such as ".rain" keeps its whole text as prefix).
struct NameParts {
    std::string directory;
    std::string prefix;
};
NameParts SplitName(const std::string& fileName);

// "<prefix>_YYYYMMDD.HHH", with "_NNN" added for the counter-th repeat of the same date.
// Stacks cut the prefix to at most four characters.
std::string DatedName(const std::string& fileName, const OutputDate& d, std::int64_t counter, bool stack);
// The dated name of the entry at date d: a repeat of the entry's last dated date counts up,
// any other date starts the counter anew; the entry remembers the date.
std::string NextDatedName(GridStoreEntry& e, const std::string& fileName, const OutputDate& d, bool stack);
// Name of the sum or mean of the period of tens digit 1..8: ".sum"/".mit" for the run,
// "_YY00", "_YYMM" and "_YYMM.DDs"/"_YYMM.DDm" for year, month and day.
std::string PeriodName(const std::string& fileName, int tens, const OutputDate& d);
// ".min" or ".max".
std::string ExtremeName(const std::string& fileName, bool maximum);
// "<prefix>_00YY_vegper.sum" (thousands 1) or ".mit" (2); YY is the year modulo 100.
std::string VegetationName(const std::string& fileName, int thousands, std::int64_t year);
// The name of an input grid after its holes were filled.
std::string FilledName(const std::string& fileName);

// How a grid or stack is written by its units digit on one date.
enum class NameKind { None, Plain, Dated, Filled };
struct UnitsOutput {
    NameKind kind = NameKind::None;
    // A dated (or filled) write at the end of the run is followed by one under the plain name.
    bool plainAgain = false;
};
UnitsOutput GridOutput(int units, const PeriodEnds& ends);
UnitsOutput StackOutput(int units, const PeriodEnds& ends);

// The name that the vegetation-period grids of an entry carry after "VegetationStart" and the
// like: the text after "_Layer_" in the base file name up to its first ".", else "1".
std::string VegetationSuffix(const std::string& baseFileName);

}  // namespace writecode
