// base/calendar.h: dates of the proleptic Gregorian calendar from a count of days, for what turns a
// time into a date (a date-time value's text, an archive entry's Unix time).
#pragma once
#include <cstdint>

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1 to 12
    unsigned day;    // 1 to 31
};

// The date `days` days after 1970-01-01 (before it when negative).
CivilDate CivilDateFromDays(std::int64_t days);
