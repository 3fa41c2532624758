// Calendar conversions of the library's time value (seconds since 1970, no leap seconds).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "util/util.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int daysInYear(int year) {
    return utilIsLeapYear(year) ? 366 : 365;
}

int daysInMonth(int year, int month) {
    return month == 2 && utilIsLeapYear(year) ? 29 : kDaysInMonth[month - 1];
}

// Days from 0001-01-01 to 1970-01-01 in the proleptic Gregorian calendar.
constexpr int64_t kDaysYear1To1970 = 719162;
// Days in 400, 100, 4 and 1 Gregorian years counted from year 1: the last century of 400
// years and the last year of 4 have one day more, 36525 and 366.
constexpr int64_t kDays400 = 146097;
constexpr int64_t kDays100 = 36524;
constexpr int64_t kDays4 = 1461;
constexpr int64_t kDays1 = 365;

// Division rounding towards minus infinity (b > 0), so that years before 1 still count right.
constexpr int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return a % b < 0 ? q - 1 : q;
}

// Days from 1970-01-01 to January 1 of year (negative before 1970). Closed form, so a hostile
// year costs no more than an ordinary one; no int year can overflow the 64-bit count.
constexpr int64_t daysToYear(int year) {
    int64_t before = int64_t(year) - 1;  // whole years since year 1
    return before * kDays1 + floorDiv(before, 4) - floorDiv(before, 100) + floorDiv(before, 400) -
           kDaysYear1To1970;
}

// First day (from 1970) without a date: 10000-01-01.
constexpr int64_t kDayEnd = daysToYear(10000);
static_assert(kDayEnd * kSecondsPerDay == int64_t(UTIL_TIME_END_DATE));
static_assert(daysToYear(1) * kSecondsPerDay == int64_t(UTIL_TIME_FIRST_DATE));

// Year and day of year (from 1) of a day count from 1970 (negative before 1970), through whole
// 400-, 100-, 4- and 1-year blocks counted from 0001-01-01. The last day of a 400-year block
// (or of a 4-year block) would make a fifth century (or year): it is day 366 of the last one.
// The caller keeps the day within years 1..9999 so that the year fits an int.
void dayToYearYday(int64_t day, int* year, int* yday) {
    int64_t rest = day + kDaysYear1To1970;
    int64_t cycles = floorDiv(rest, kDays400);
    rest -= cycles * kDays400;
    int64_t centuries = std::min<int64_t>(rest / kDays100, 3);
    rest -= centuries * kDays100;
    int64_t quads = rest / kDays4;
    rest -= quads * kDays4;
    int64_t years = std::min<int64_t>(rest / kDays1, 3);
    rest -= years * kDays1;
    *year = int(cycles * 400 + centuries * 100 + quads * 4 + years + 1);
    *yday = int(rest) + 1;
}

}  // namespace

bool utilIsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Outside years 1..9999 (NaN and infinities included) the record holds the time and no date:
// year, day, month and clock fields 0 and month name "   ".
void utilTimeSplit(REAL64 time, UTIL_TSPLIT* out) {
    if (out == nullptr) return;
    *out = UTIL_TSPLIT{};
    out->time = time;
    std::memcpy(out->mname, "   ", sizeof out->mname);
    // Checked before any conversion to an integer: beyond this the conversion is undefined.
    if (!(time >= UTIL_TIME_FIRST_DATE && time < UTIL_TIME_END_DATE)) return;
    int64_t day = int64_t(std::floor(time / double(kSecondsPerDay)));
    // The division may round the last instant of 9999 up to the next day.
    if (day >= kDayEnd) return;
    double secondOfDay = time - double(day) * double(kSecondsPerDay);
    dayToYearYday(day, &out->year, &out->yday);
    out->yyyyddd = out->year * 1000 + out->yday;
    utilYdayToMonthDay(out->year, out->yday, &out->month, &out->mday);
    std::memcpy(out->mname, kMonthNames[out->month - 1], sizeof out->mname);
    out->hour = int32_t(secondOfDay / 3600.0);
    secondOfDay -= out->hour * 3600.0;
    out->minute = int32_t(secondOfDay / 60.0);
    out->second = REAL32(secondOfDay - out->minute * 60.0);
}

REAL64 utilYdhmsmToTime(int year, int yday, int hour, int minute, int second, int msec) {
    if (yday == 0) yday = 1;
    double days = double(daysToYear(year) + yday - 1);
    return days * double(kSecondsPerDay) + hour * 3600.0 + minute * 60.0 + second + msec * 0.001;
}

REAL64 utilYdToTime(int32_t yyyyddd) {
    return utilYdhmsmToTime(yyyyddd / 1000, yyyyddd % 1000, 0, 0, 0, 0);
}

void utilYdayToMonthDay(int year, int yday, int* month, int* mday) {
    int m = 1;
    while (m < 12 && yday > daysInMonth(year, m)) yday -= daysInMonth(year, m++);
    if (month != nullptr) *month = m;
    if (mday != nullptr) *mday = yday;
}

int utilMonthDayToYday(int year, int month, int mday) {
    // Counted wide: a day of month near INT_MAX must not overflow; such a sum stops at INT_MAX.
    int64_t yday = mday;
    for (int m = 1; m < month && m <= 12; ++m) yday += daysInMonth(year, m);
    return int(std::min<int64_t>(yday, INT32_MAX));
}

// Outside years 1..9999 (after the millisecond carry), NaN and infinities: every field 0.
void utilTimeToYdhmsm(REAL64 time, int* year, int* yday, int* hour, int* minute, int* second,
                      int* msec) {
    int y = 0, d = 0, h = 0, m = 0, s = 0, ms = 0;
    if (time >= UTIL_TIME_FIRST_DATE && time < UTIL_TIME_END_DATE) {
        double whole = std::floor(time);
        ms = int(std::floor((time - whole) * 1000.0 + 0.5));
        int64_t seconds = int64_t(whole);
        if (ms >= 1000) {
            ms = 0;
            ++seconds;
        }
        int64_t day = floorDiv(seconds, kSecondsPerDay);
        int64_t secondOfDay = seconds - day * kSecondsPerDay;
        if (day < kDayEnd) {
            dayToYearYday(day, &y, &d);
            h = int(secondOfDay / 3600);
            m = int(secondOfDay % 3600 / 60);
            s = int(secondOfDay % 60);
        } else {
            ms = 0;
        }
    }
    if (year != nullptr) *year = y;
    if (yday != nullptr) *yday = d;
    if (hour != nullptr) *hour = h;
    if (minute != nullptr) *minute = m;
    if (second != nullptr) *second = s;
    if (msec != nullptr) *msec = ms;
}

bool utilGmtime(int64_t seconds, struct tm* out) {
    return platGmTime(seconds, out);
}

// Accepted forms: "YYYY:DDD-HH:MM:SS[.fff]", "YYYY:DDD-HH:MM", "YYYY:DDD" and plain epoch
// seconds ("1234567890.5"). Anything else is undefined (-1.0).
REAL64 utilAttodt(const char* text) {
    if (text == nullptr) return UTIL_TIME_UNDEFINED;
    int year = 0, yday = 0, hour = 0, minute = 0, consumed = 0;
    double second = 0.0;
    if (std::sscanf(text, "%4d:%3d-%2d:%2d:%lf%n", &year, &yday, &hour, &minute, &second,
                    &consumed) == 5 &&
        text[consumed] == '\0') {
    } else if (consumed = 0, second = 0.0,
               std::sscanf(text, "%4d:%3d-%2d:%2d%n", &year, &yday, &hour, &minute, &consumed) ==
                       4 &&
                   text[consumed] == '\0') {
    } else if (consumed = 0, hour = minute = 0,
               std::sscanf(text, "%4d:%3d%n", &year, &yday, &consumed) == 2 &&
                   text[consumed] == '\0') {
    } else {
        char* end = nullptr;
        double epoch = std::strtod(text, &end);
        if (end == text || *end != '\0') return UTIL_TIME_UNDEFINED;
        return epoch;
    }
    if (yday < 1 || yday > daysInYear(year) || hour > 23 || minute > 59 || second < 0.0 ||
        second >= 60.0 || hour < 0 || minute < 0) {
        return UTIL_TIME_UNDEFINED;
    }
    return utilYdhmsmToTime(year, yday, hour, minute, 0, 0) + second;
}
