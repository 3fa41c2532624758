// utilParseTime: the time texts every program accepts where a time is typed.
//
// Each form is read character by character: a text that is almost a time (a blank, an exponent,
// a missing field) is refused, never read as some other time.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "util/util.h"

namespace {

constexpr int kMonthsPerYear = 12;
constexpr int kLastHour = 23;
constexpr int kLastMinute = 59;
constexpr double kSecondsPerMinute = 60.0;

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Exactly n digits at *p, advancing past them.
bool fixedDigits(const char*& p, int n, int* value) {
    int v = 0;
    for (int i = 0; i < n; ++i, ++p) {
        if (!isDigit(*p)) return false;
        v = v * 10 + (*p - '0');
    }
    *value = v;
    return true;
}

bool literal(const char*& p, char c) {
    if (*p != c) return false;
    ++p;
    return true;
}

// "SS" or "SS.f..." (one or more fraction digits).
bool seconds(const char*& p, double* second) {
    int whole = 0;
    if (!fixedDigits(p, 2, &whole)) return false;
    double fraction = 0.0;
    if (*p == '.') {
        ++p;
        if (!isDigit(*p)) return false;
        double scale = 0.1;
        for (; isDigit(*p); ++p, scale /= 10) fraction += (*p - '0') * scale;
    }
    *second = whole + fraction;
    return *second < kSecondsPerMinute;
}

bool clockTime(const char*& p, int* hour, int* minute, double* second) {
    return fixedDigits(p, 2, hour) && literal(p, ':') && fixedDigits(p, 2, minute) &&
           literal(p, ':') && seconds(p, second) && *hour <= kLastHour && *minute <= kLastMinute;
}

// "YYYY-MM-DDTHH:MM:SS[.fff]" with an optional "Z"; only UTC is accepted, so an offset such as
// "+02:00" is refused rather than misread.
bool parseIso8601(const char* p, double* t) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0.0;
    if (!fixedDigits(p, 4, &year) || !literal(p, '-') || !fixedDigits(p, 2, &month) ||
        !literal(p, '-') || !fixedDigits(p, 2, &day) || !literal(p, 'T') ||
        !clockTime(p, &hour, &minute, &second))
        return false;
    literal(p, 'Z');
    if (*p != '\0' || month < 1 || month > kMonthsPerYear || day < 1) return false;
    const int yday = utilMonthDayToYday(year, month, day);
    int checkMonth = 0, checkDay = 0;
    if (yday < 1) return false;
    utilYdayToMonthDay(year, yday, &checkMonth, &checkDay);
    if (checkMonth != month || checkDay != day) return false;
    *t = utilYdhmsmToTime(year, yday, hour, minute, 0, 0) + second;
    return true;
}

// "YYYY:DDD-HH:MM:SS[.mmm]" in full: the shorter forms utilAttodt also takes are not offered, so
// a mistyped time is refused rather than cut to a day.
bool parseYearDay(const char* p, double* t) {
    int year = 0, yday = 0, hour = 0, minute = 0;
    double second = 0.0;
    if (!fixedDigits(p, 4, &year) || !literal(p, ':') || !fixedDigits(p, 3, &yday) ||
        !literal(p, '-') || !clockTime(p, &hour, &minute, &second) || *p != '\0')
        return false;
    const int daysInYear = utilIsLeapYear(year) ? 366 : 365;
    if (yday < 1 || yday > daysInYear) return false;
    *t = utilYdhmsmToTime(year, yday, hour, minute, 0, 0) + second;
    return true;
}

// A plain decimal number of seconds: digits with an optional fraction, and a leading "-" when
// negative is allowed. Not "inf", "1e9", "+5" or " 5".
bool parseDecimal(const char* p, bool negativeAllowed, double* value) {
    const char* start = p;
    if (negativeAllowed && *p == '-') ++p;
    if (!isDigit(*p)) return false;
    while (isDigit(*p)) ++p;
    if (*p == '.') {
        ++p;
        if (!isDigit(*p)) return false;
        while (isDigit(*p)) ++p;
    }
    if (*p != '\0') return false;
    *value = std::strtod(start, nullptr);
    return std::isfinite(*value);
}

// "now", "now-SECONDS" or "now+SECONDS".
bool parseNow(const char* text, double now, double* t) {
    if (std::strncmp(text, "now", 3) != 0) return false;
    if (text[3] == '\0') {
        *t = now;
        return true;
    }
    if (text[3] != '-' && text[3] != '+') return false;
    double offset = 0.0;
    if (!parseDecimal(text + 4, false, &offset)) return false;
    *t = text[3] == '-' ? now - offset : now + offset;
    return true;
}

}  // namespace

bool utilParseTime(const char* text, double now, double* t) {
    if (text == nullptr || t == nullptr || *text == '\0') return false;
    double value = 0.0;
    if (!parseNow(text, now, &value) && !parseIso8601(text, &value) &&
        !parseYearDay(text, &value) && !parseDecimal(text, true, &value))
        return false;
    if (!std::isfinite(value) || value < UTIL_TIME_FIRST_DATE || value >= UTIL_TIME_END_DATE ||
        utilIsTimeMarker(value))  // a server would read it as the marker, not as the moment
        return false;
    *t = value;
    return true;
}
