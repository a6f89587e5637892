#include "base/calendar.h"

CivilDate CivilDateFromDays(std::int64_t days) {
    // Counted from 0000-03-01, so that the leap day is the last day of its year and each 400-year era
    // has the same 146,097 days; the division rounds towards negative infinity.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto dayOfEra = static_cast<std::uint32_t>(z - era * 146097);  // 0 to 146096
    const std::uint32_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::uint32_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);  // 0 to 365
    const std::uint32_t monthFromMarch = (5 * dayOfYear + 2) / 153;  // 0 (March) to 11 (February)
    CivilDate date;
    date.day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    date.month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    date.year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}
