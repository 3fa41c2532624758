#include "gleaner/timefields.h"

#include <cmath>
#include <cstdio>

#include "util/util.h"

namespace {

struct FORMAT_INFO {
    const char* mask;
    const char* templ;
    const char* label;
};

constexpr FORMAT_INFO kFormats[kTimeFormatCount] = {
    {"00.00.0000 00:00:00", "__.__.____ __:__:__", "MM.DD.YYYY hour:min:sec"},
    {"0000.000 00:00:00", "____.___ __:__:__", "YYYY.DDD-hour:min:sec"},
    {"00:00:00 00/00/0000", "__:__:__ __/__/____", "hour:min:sec DD/MM/YYYY"},
};

int validFormat(int format) {
    return format >= 0 && format < kTimeFormatCount ? format : 0;
}

int daysInMonth(int year, int month) {
    static constexpr int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return kLengths[month - 1] + (month == 2 && utilIsLeapYear(year) ? 1 : 0);
}

// Day of year to month and day; past the last day of the year the month becomes 13.
void ydayToMonthDay(int year, int yday, int* month, int* day) {
    int m = 1;
    while (m <= 12 && yday > daysInMonth(year, m)) yday -= daysInMonth(year, m++);
    *month = m;
    *day = yday;
}

std::string printf6(const char* format, int a, int b, int c, int d, int e, int f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a, b, c, d, e, f);
    return buf;
}

}  // namespace

const char* gleanerFieldMask(int format) {
    return kFormats[validFormat(format)].mask;
}
const char* gleanerFieldTemplate(int format) {
    return kFormats[validFormat(format)].templ;
}
const char* gleanerFieldLabel(int format) {
    return kFormats[validFormat(format)].label;
}

std::string gleanerFieldText(int format, const GLEANER_FIELD_TIME& t) {
    switch (validFormat(format)) {
        case 1: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%04d.%03d %02d:%02d:%02d", t.year,
                          utilMonthDayToYday(t.year, t.month, t.day), t.hour, t.minute, t.second);
            return buf;
        }
        case 2:
            return printf6("%02d:%02d:%02d %02d/%02d/%04d", t.hour, t.minute, t.second, t.day,
                           t.month, t.year);
        default:
            return printf6("%02d.%02d.%04d %02d:%02d:%02d", t.month, t.day, t.year, t.hour,
                           t.minute, t.second);
    }
}

bool gleanerParseFieldText(int format, const std::string& text, GLEANER_FIELD_TIME* t) {
    GLEANER_FIELD_TIME v;
    switch (validFormat(format)) {
        case 1: {
            int yday = 0;
            if (std::sscanf(text.c_str(), "%4d%*[., ]%3d%*[ ]%2d%*[: ]%2d%*[: ]%2d", &v.year, &yday,
                            &v.hour, &v.minute, &v.second) != 5)
                return false;
            ydayToMonthDay(v.year, yday, &v.month, &v.day);
            break;
        }
        case 2:
            if (std::sscanf(text.c_str(),
                            "%2d%*[:, ]%2d%*[,: ]%2d%*[:, ]%2d%*[:,// ]%2d%*[:,// ]%4d", &v.hour,
                            &v.minute, &v.second, &v.day, &v.month, &v.year) != 6)
                return false;
            break;
        default:
            if (std::sscanf(text.c_str(),
                            "%2d%*[., ]%2d%*[., ]%4d%*[:, ]%2d%*[:,// ]%2d%*[:,// ]%2d", &v.month,
                            &v.day, &v.year, &v.hour, &v.minute, &v.second) != 6)
                return false;
            break;
    }
    *t = v;
    return true;
}

bool gleanerCheckFieldTime(const GLEANER_FIELD_TIME& t) {
    if (t.month < 1 || t.month > 12) return false;
    if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59)
        return false;
    return t.day >= 0 && t.day <= daysInMonth(t.year, t.month);
}

bool gleanerReadField(int format, const std::string& text, GLEANER_FIELD_TIME* t) {
    GLEANER_FIELD_TIME v;
    if (!gleanerParseFieldText(format, text, &v) || !gleanerCheckFieldTime(v)) return false;
    *t = v;
    return true;
}

double gleanerFieldToEpoch(const GLEANER_FIELD_TIME& t) {
    return utilYdhmsmToTime(t.year, utilMonthDayToYday(t.year, t.month, t.day), t.hour, t.minute,
                            t.second, 0);
}

GLEANER_FIELD_TIME gleanerSplitTime(double epochSeconds) {
    int yday = 0, msec = 0;
    GLEANER_FIELD_TIME t;
    utilTimeToYdhmsm(epochSeconds, &t.year, &yday, &t.hour, &t.minute, &t.second, &msec);
    utilYdayToMonthDay(t.year, yday, &t.month, &t.day);
    return t;
}

std::string gleanerListTime(int format, double epochSeconds) {
    GLEANER_FIELD_TIME t = gleanerSplitTime(epochSeconds);
    switch (validFormat(format)) {
        case 1: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%04d.%03d-%02d:%02d:%02d", t.year,
                          utilMonthDayToYday(t.year, t.month, t.day), t.hour, t.minute, t.second);
            return buf;
        }
        case 2:
            return printf6("%02d:%02d:%02d %02d.%02d.%04d", t.hour, t.minute, t.second, t.day,
                           t.month, t.year);
        default:
            return printf6("%02d.%02d.%04d %02d:%02d:%02d", t.month, t.day, t.year, t.hour,
                           t.minute, t.second);
    }
}
