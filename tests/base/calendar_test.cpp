// Dates from day counts, on both sides of the leap days and of the 400-year era's start.
#include <gtest/gtest.h>

#include <cstdint>

#include "base/calendar.h"

namespace {

struct DateRow {
    std::int64_t days;  // after 1970-01-01
    std::int64_t year;
    unsigned month;
    unsigned day;
};
// clang-format off
const DateRow kDates[] = {
    {0, 1970, 1, 1}, {-1, 1969, 12, 31},
    {-25569, 1899, 12, 30},                          // a date-time value's day 0
    {-25509, 1900, 2, 28}, {-25508, 1900, 3, 1},     // 1900 has no leap day
    {11016, 2000, 2, 29}, {11017, 2000, 3, 1},       // 2000 has one
    {47540, 2100, 2, 28}, {47541, 2100, 3, 1}, {-135081, 1600, 2, 29},
    {24855, 2038, 1, 19}, {2932896, 9999, 12, 31}, {-719162, 1, 1, 1},
    {-719468, 0, 3, 1}, {-719469, 0, 2, 29},         // the first day of an era, and the day before
    {-719529, -1, 12, 31},
};
// clang-format on

TEST(CivilDateFromDays, GivesTheGregorianDateOfEachRow) {
    for (const DateRow& row : kDates) {
        const CivilDate date = CivilDateFromDays(row.days);
        EXPECT_EQ(date.year, row.year) << row.days;
        EXPECT_EQ(date.month, row.month) << row.days;
        EXPECT_EQ(date.day, row.day) << row.days;
    }
}

}  // namespace
