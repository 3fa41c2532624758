// Calendar conversions of the library's time value (seconds since 1970, no leap seconds).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "util/util.h"

namespace {

namespace chr = std::chrono;

constexpr int64_t kSecondsPerDay = 86400;
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// The Gregorian calendar repeats itself every 400 years, which have this many days.
constexpr int kYearsPerCycle = 400;
constexpr int64_t kDaysPerCycle = 146097;

// Division rounding towards minus infinity (b > 0), so that years before 1 still count right.
constexpr int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return a % b < 0 ? q - 1 : q;
}

// The year of the same place in the 400-year cycle that <chrono>'s calendar holds (1 to 400):
// every calendar question of year is answered for it, the whole cycles between counted apart.
constexpr int yearInCycle(int year) {
    return int(1 +
               (int64_t(year) - 1 - floorDiv(int64_t(year) - 1, kYearsPerCycle) * kYearsPerCycle));
}

// Days from 1970-01-01 to January 1 of year (negative before 1970). Any int year: the whole
// 400-year cycles are counted apart, so a hostile year costs no more than an ordinary one and no
// int year can overflow the 64-bit count.
constexpr int64_t daysToYear(int year) {
    const int64_t cycles = floorDiv(int64_t(year) - 1, kYearsPerCycle);
    const chr::sys_days newYear{chr::year(yearInCycle(year)) / chr::January / 1};
    return cycles * kDaysPerCycle + newYear.time_since_epoch().count();
}

int daysInYear(int year) {
    return utilIsLeapYear(year) ? 366 : 365;
}

int daysInMonth(int year, int month) {
    const chr::year_month_day_last last{chr::year(yearInCycle(year)),
                                        chr::month_day_last(chr::month(unsigned(month)))};
    return int(unsigned(last.day()));
}

// First day (from 1970) without a date: 10000-01-01.
constexpr int64_t kDayEnd = daysToYear(10000);
static_assert(kDayEnd * kSecondsPerDay == int64_t(UTIL_TIME_END_DATE));
static_assert(daysToYear(1) * kSecondsPerDay == int64_t(UTIL_TIME_FIRST_DATE));

// Year and day of year (from 1) of a day count from 1970 (negative before 1970). The caller keeps
// the day within years 1..9999, which <chrono>'s calendar holds.
void dayToYearYday(int64_t day, int* year, int* yday) {
    const chr::sys_days date{chr::days(day)};
    const chr::year y = chr::year_month_day(date).year();
    *year = int(y);
    *yday = int((date - chr::sys_days(y / chr::January / 1)).count()) + 1;
}

}  // namespace

bool utilIsLeapYear(int year) {
    return chr::year(yearInCycle(year)).is_leap();
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
