// Calendar conversions of the library's time value (seconds since 1970, no leap seconds).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "util/util.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int kEpochYear = 1970;
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int daysInYear(int year) {
    return utilIsLeapYear(year) ? 366 : 365;
}

int daysInMonth(int year, int month) {
    return month == 2 && utilIsLeapYear(year) ? 29 : kDaysInMonth[month - 1];
}

// Days from 1970-01-01 to January 1 of year (negative before 1970).
int64_t daysToYear(int year) {
    int64_t days = 0;
    for (int y = kEpochYear; y < year; ++y) days += daysInYear(y);
    for (int y = year; y < kEpochYear; ++y) days -= daysInYear(y);
    return days;
}

// Year and day of year (from 1) of a day count from 1970, counted year by year.
void dayToYearYday(int64_t day, int* year, int* yday) {
    int y = kEpochYear;
    while (day >= daysInYear(y)) day -= daysInYear(y++);
    while (day < 0) day += daysInYear(--y);
    *year = y;
    *yday = int(day) + 1;
}

}  // namespace

bool utilIsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

void utilTimeSplit(REAL64 time, UTIL_TSPLIT* out) {
    if (out == nullptr) return;
    int64_t day = int64_t(std::floor(time / double(kSecondsPerDay)));
    double secondOfDay = time - double(day) * double(kSecondsPerDay);
    out->time = time;
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
    int yday = mday;
    for (int m = 1; m < month && m <= 12; ++m) yday += daysInMonth(year, m);
    return yday;
}

void utilTimeToYdhmsm(REAL64 time, int* year, int* yday, int* hour, int* minute, int* second,
                      int* msec) {
    double whole = std::floor(time);
    int ms = int(std::floor((time - whole) * 1000.0 + 0.5));
    int64_t seconds = int64_t(whole);
    if (ms >= 1000) {
        ms = 0;
        ++seconds;
    }
    int64_t day = seconds / kSecondsPerDay;
    int64_t secondOfDay = seconds % kSecondsPerDay;
    if (secondOfDay < 0) {
        secondOfDay += kSecondsPerDay;
        --day;
    }
    int y = 0;
    int d = 0;
    dayToYearYday(day, &y, &d);
    if (year != nullptr) *year = y;
    if (yday != nullptr) *yday = d;
    if (hour != nullptr) *hour = int(secondOfDay / 3600);
    if (minute != nullptr) *minute = int(secondOfDay % 3600 / 60);
    if (second != nullptr) *second = int(secondOfDay % 60);
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
