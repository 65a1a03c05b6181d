#pragma once
// The irrigation settings "[irrigation]" and the irrigation table "[irrigation_table]": per
// irrigation type the method (fixed dates, schedule rules, demand by suction or by the ratio
// of real to potential evapotranspiration), the origin of the water and the events.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class DiagLog;
class modelobject;

struct irrigation_entry {
    static constexpr std::size_t kMaxNameLength = 50;
    // Largest number of events of one irrigation type (one a day over a leap year).
    static constexpr std::int32_t kMaxEvents = 366;

    std::int32_t code = 0;
    std::string name;
    std::int32_t method = 0;
    std::int32_t origin = 0;
    double psi_dry = 0;
    double psi_wet = 0;
    double minRatio = 0;  // method 4
    std::int32_t tabcnt = 0;
    // Events 1..tabcnt (element 0 unused); methods 1 and 2 only.
    std::vector<std::int64_t> months;
    std::vector<std::int64_t> days;
    std::vector<double> amounts;
};

// Fills the events of entry from a schedule text of method 2 ("starting from MM DD with XX mm
// to MM DD with YY mm every ZZ days" or "starting from MM DD with XX mm AA times every ZZ
// days", several schemes in a row). daysPerMonth: January..December. A wrong description is
// reported through ReportIrrigationDescriptionError (code 29).
void ParseIrrigationSchedule(DiagLog& log, irrigation_entry& entry, std::string_view text,
                             const std::array<int, 12>& daysPerMonth, std::int32_t position);

// Logs the message on the two schedule forms and the demand methods and throws 29.
[[noreturn]] void ReportIrrigationDescriptionError(DiagLog& log, std::int32_t position);

// Reads "[irrigation]" and, when its switch is not 0, "[irrigation_table]" through reader's
// control-file stream (only for soilModelVariant 2 or more; otherwise nothing is read).
// Returns the switch; table receives records 0..count (record 0 holds the count as its code),
// or stays empty when the switch is 0. Failures throw ModelError (17, 29).
int ReadIrrigationSections(modelobject& reader, int soilModelVariant, std::vector<irrigation_entry>& table);
