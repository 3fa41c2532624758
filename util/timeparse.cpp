// utilParseTime: the time texts every command-line tool accepts.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/util.h"

namespace {

constexpr int kMonthsPerYear = 12;

// "YYYY-MM-DDTHH:MM:SS[.fff]" with an optional "Z"; only UTC is accepted, so an offset such as
// "+02:00" is refused rather than misread.
bool parseIso8601(const char* text, double* t) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, consumed = 0;
    double second = 0.0;
    if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%lf%n", &year, &month, &day, &hour, &minute, &second,
                    &consumed) != 6)
        return false;
    const char* rest = text + consumed;
    if (*rest == 'Z') ++rest;
    if (*rest != '\0' || !std::isdigit(static_cast<unsigned char>(text[0])) || month < 1 ||
        month > kMonthsPerYear || day < 1 || hour > 23 || hour < 0 || minute > 59 || minute < 0 ||
        !(second >= 0.0 && second < 60.0))
        return false;
    const int yday = utilMonthDayToYday(year, month, day);
    int checkMonth = 0, checkDay = 0;
    if (yday < 1) return false;
    utilYdayToMonthDay(year, yday, &checkMonth, &checkDay);
    if (checkMonth != month || checkDay != day) return false;
    *t = utilYdhmsmToTime(year, yday, hour, minute, 0, 0) + second;
    return true;
}

// "now" or "now-SECONDS".
bool parseNow(const char* text, double now, double* t) {
    if (std::strncmp(text, "now", 3) != 0) return false;
    if (text[3] == '\0') {
        *t = now;
        return true;
    }
    if (text[3] != '-' || !std::isdigit(static_cast<unsigned char>(text[4]))) return false;
    char* end = nullptr;
    const double back = std::strtod(text + 4, &end);
    if (*end != '\0' || !std::isfinite(back)) return false;
    *t = now - back;
    return true;
}

}  // namespace

bool utilParseTime(const char* text, double now, double* t) {
    if (text == nullptr || t == nullptr || *text == '\0') return false;
    double value = 0.0;
    if (parseNow(text, now, &value) || parseIso8601(text, &value)) {
        // A time before 1970 is one of the request markers, never a moment.
    } else if (std::strchr(text, ':') != nullptr) {
        // "YYYY:DDD-HH:MM:SS[.mmm]" in full: the shorter forms utilAttodt also takes are not
        // offered, so a mistyped time is refused rather than cut to a day.
        int year, yday, hour, minute, consumed = 0;
        double second;
        if (std::sscanf(text, "%4d:%3d-%2d:%2d:%lf%n", &year, &yday, &hour, &minute, &second,
                        &consumed) != 5 ||
            text[consumed] != '\0')
            return false;
        value = utilAttodt(text);
    } else {
        // Epoch seconds must be a plain decimal number, not "inf", "1e9" or "-5".
        if (std::strspn(text, "0123456789.") != std::strlen(text)) return false;
        value = utilAttodt(text);
    }
    if (!(value >= 0.0) || !std::isfinite(value)) return false;
    *t = value;
    return true;
}
