#pragma once
// Checks of the model period of "[model_time]": both dates must exist and the end must not lie
// before the start.
#include <cstdint>
#include <string>

struct PeriodDate {
    std::int64_t hour = 0, day = 0, month = 0, year = 0;
};

// Days of a month for the check of a date; February has 29 days in every year divisible by 4,
// so that a date the calendars of the model accept is never refused.
int DaysInMonthForCheck(std::int64_t month, std::int64_t year);

// "" when the period is sound, else what is wrong with it (hours run 1..24).
std::string ModelPeriodFault(const PeriodDate& start, const PeriodDate& end);

// day.month.year hour h
std::string PeriodDateText(const PeriodDate& d);
