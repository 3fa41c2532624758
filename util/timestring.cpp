// Text forms of the library's time value: utilTimeString (format codes 0..15, and 1000..1015
// counted from 1999) and the display program's older util_dttostr.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "util/util.h"

namespace {

// The seconds as "%06.3f" prints them in the C locale: printf would write a decimal comma under
// a locale that has one (a window program adopts the user's), and a time text is read back by
// machines.
struct SecondsText {
    char text[8];  // the seconds of a minute: "00.000" to "59.999"
};
SecondsText secondsText(double seconds) {
    SecondsText out{};
    char digits[32];
    auto [end, ec] =
        std::to_chars(digits, digits + sizeof digits - 1, seconds, std::chars_format::fixed, 3);
    size_t n = static_cast<size_t>(end - digits);
    if (ec != std::errc() || n >= sizeof out.text) return {"00.000"};
    size_t pad = n < 6 ? 6 - n : 0;
    std::memset(out.text, '0', pad);
    std::memcpy(out.text + pad, digits, n);
    out.text[pad + n] = '\0';
    return out;
}

constexpr int kSecondsPerDay = 86400;
constexpr int kSecondsPerYear = 365 * kSecondsPerDay;  // durations count years of 365 days
constexpr int kEpoch1999Codes = 1000;
constexpr int kMaxCode = 15;
constexpr const char* kUnsupported = "<UNSUPPORTED FORMAT CODE>";
constexpr const char* kBadDttostr = "Bad dttostr input!";

// Index 0 is three blanks so that a month number indexes the table directly.
constexpr const char* kMonthNames[] = {"   ", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Width of the blank text given for a time without a calendar date, codes 0..9. Codes 14 and
// 15 give an empty text.
constexpr int kBlankWidth[] = {21, 25, 19, 16, 7, 16, 14, 19, 16, 7};
// The same for util_dttostr, codes 0..15 (unused entries 0).
constexpr int kDttostrBlankWidth[] = {20, 25, 19, 17, 7, 14, 14, 19, 0, 0, 21, 0, 0, 0, 17, 8};

char g_timeString[UTIL_TIMESTRING_STATIC_LEN];
char g_shortTimeString[UTIL_SHORT_TIMESTRING_LEN];
char g_dttostr[UTIL_SHORT_TIMESTRING_LEN];

char* blanks(char* buf, size_t size, int width) {
    size_t n = size_t(width) < size ? size_t(width) : size - 1;
    std::memset(buf, ' ', n);
    buf[n] = '\0';
    return buf;
}

// True when the formats can print the time: from 1970 (times before it have no date here) to
// the end of 9999 once rounded to the millisecond, as codes 0, 1 and 3 and the millisecond
// carry round it. Checked before any conversion to an integer: NaN, infinities and huge values
// would make those conversions undefined.
bool printable(double time) {
    return time >= 0.0 && std::floor(time * 1000.0 + 0.5) / 1000.0 < UTIL_TIME_END_DATE;
}

// Whole seconds and milliseconds, the milliseconds rounded half up. A rounding that reaches
// 1000 carries into the seconds, so no text ever shows a fourth millisecond digit.
void wholeAndMsec(double time, int64_t* whole, int* msec) {
    double seconds = std::floor(time);
    int ms = int(std::floor((time - seconds) * 1000.0 + 0.5));
    if (ms >= 1000) {
        ms -= 1000;
        seconds += 1.0;
    }
    *whole = int64_t(seconds);
    *msec = ms;
}

struct Duration {
    int years, days, hours, minutes, seconds, msec;
};

Duration duration(double time) {
    int64_t whole = 0;
    Duration d{};
    wholeAndMsec(time, &whole, &d.msec);
    d.years = int(whole / kSecondsPerYear);
    whole %= kSecondsPerYear;
    d.days = int(whole / kSecondsPerDay);
    whole %= kSecondsPerDay;
    d.hours = int(whole / 3600);
    d.minutes = int(whole % 3600 / 60);
    d.seconds = int(whole % 60);
    return d;
}

// The codes that both formatters print alike: the duration (2) and the calendar forms 4, 6, 7,
// 14 and 15 from the breakdown of the whole seconds.
void formatSharedCode(int code, REAL64 time, const struct tm& tm, char* buf, size_t size) {
    switch (code) {
        case 2: {
            Duration d = duration(time);
            std::snprintf(buf, size, "%2.2d:%3.3d-%2.2d:%2.2d:%2.2d.%3.3d", d.years, d.days,
                          d.hours, d.minutes, d.seconds, d.msec);
            break;
        }
        case 4:
            std::snprintf(buf, size, "%4.4d%3.3d", tm.tm_year + 1900, tm.tm_yday + 1);
            break;
        case 6:
            std::snprintf(buf, size, "%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d", tm.tm_year + 1900,
                          tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            break;
        case 7:
            std::snprintf(buf, size, "%4.4d %2.2d %2.2d %2.2d %2.2d %2.2d", tm.tm_year + 1900,
                          tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            break;
        case 14:
            std::snprintf(buf, size, "%02d %s %04d (%03d)", tm.tm_mday, kMonthNames[tm.tm_mon + 1],
                          tm.tm_year + 1900, tm.tm_yday + 1);
            break;
        case 15:
            std::snprintf(buf, size, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
            break;
    }
}

char* formatTime(REAL64 time, int code, char* buf, size_t size) {
    if (code >= kEpoch1999Codes) {
        time += UTIL_1999_EPOCH_OFFSET;
        code -= kEpoch1999Codes;
    }
    if (code < 0 || code > kMaxCode || (code >= 10 && code <= 13)) {
        std::snprintf(buf, size, "%s", kUnsupported);
        return buf;
    }
    struct tm tm {};
    if (!printable(time) || !utilGmtime(int64_t(std::floor(time)), &tm)) {
        return blanks(buf, size, code <= 9 ? kBlankWidth[code] : 0);
    }
    // Codes 0, 1 and 3 print the seconds with three decimals: split the time rounded to the
    // millisecond so that 59.9996 reads as the next minute, not as second 60.000.
    UTIL_TSPLIT ts{};
    if (code == 0 || code == 1 || code == 3)
        utilTimeSplit(std::floor(time * 1000.0 + 0.5) / 1000.0, &ts);
    switch (code) {
        case 0:
            std::snprintf(buf, size, "%4.4d:%3.3d-%2.2d:%2.2d:%s", ts.year, ts.yday, ts.hour,
                          ts.minute, secondsText(ts.second).text);
            break;
        case 1:
            std::snprintf(buf, size, "%s %2.2d, %4.4d %2.2d:%2.2d:%s", ts.mname, ts.mday, ts.year,
                          ts.hour, ts.minute, secondsText(ts.second).text);
            break;
        case 3:
            std::snprintf(buf, size, "%4.4d%3.3d%2.2d%2.2d%s", ts.year, ts.yday, ts.hour, ts.minute,
                          secondsText(ts.second).text);
            break;
        case 5:
            std::snprintf(buf, size, "%s %2.2d/%2.2d/%4.4d", kDayNames[tm.tm_wday], tm.tm_mon + 1,
                          tm.tm_mday, tm.tm_year + 1900);
            break;
        case 8: {
            Duration d = duration(time);
            std::snprintf(buf, size, "%3.3d-%2.2d:%2.2d:%2.2d.%3.3d", d.days, d.hours, d.minutes,
                          d.seconds, d.msec);
            break;
        }
        case 9:
            std::snprintf(buf, size, "%2.2d%3.3d%2.2d", tm.tm_year + 1900 - 2000, tm.tm_yday + 1,
                          tm.tm_hour);
            break;
        default:
            formatSharedCode(code, time, tm, buf, size);
            break;
    }
    return buf;
}

}  // namespace

char* utilTimeString(REAL64 time, int code, char* buf) {
    if (buf == nullptr) return formatTime(time, code, g_timeString, sizeof g_timeString);
    return formatTime(time, code, buf, UTIL_TIMESTRING_STATIC_LEN);
}

char* utilLttostr(REAL64 time, int code) {
    return formatTime(time, code, g_shortTimeString, sizeof g_shortTimeString);
}

char* util_dttostr(REAL64 time, int code) {
    if (code < 0 || code > kMaxCode || code == 8 || code == 9 || (code >= 11 && code <= 13)) {
        return utilCopyBounded(g_dttostr, kBadDttostr, sizeof g_dttostr);
    }
    // Formatted in a roomy buffer, then cut to the static one.
    char buf[64];
    const size_t size = sizeof buf;
    if (!printable(time)) return blanks(g_dttostr, sizeof g_dttostr, kDttostrBlankWidth[code]);
    int64_t whole = 0;
    int ms = 0;
    wholeAndMsec(time, &whole, &ms);
    struct tm tm {};
    if (!utilGmtime(whole, &tm)) {
        return blanks(g_dttostr, sizeof g_dttostr, kDttostrBlankWidth[code]);
    }
    // This formatter's month names count from "Jan" for January (tm_mon 0).
    const char* mname = kMonthNames[tm.tm_mon + 1];
    switch (code) {
        case 0:
            std::snprintf(buf, size, "%2.2d:%3.3d-%2.2d:%2.2d:%2.2d.%3.3d", tm.tm_year,
                          tm.tm_yday + 1, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
            break;
        case 1:
            std::snprintf(buf, size, "%s %2.2d, %4.4d %2.2d:%2.2d:%2.2d.%3.3d", mname, tm.tm_mday,
                          tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
            break;
        case 3:
            std::snprintf(buf, size, "%2.2d%3.3d%2.2d%2.2d%2.2d%3.3d", tm.tm_year, tm.tm_yday + 1,
                          tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
            break;
        case 5:
            std::snprintf(buf, size, "%s %2.2d/%2.2d/%2.2d", kDayNames[tm.tm_wday], tm.tm_mon + 1,
                          tm.tm_mday, tm.tm_year);
            break;
        case 10:
            std::snprintf(buf, size, "%4.4d:%3.3d-%2.2d:%2.2d:%2.2d.%3.3d", tm.tm_year + 1900,
                          tm.tm_yday + 1, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
            break;
        default:
            formatSharedCode(code, time, tm, buf, size);
            break;
    }
    return utilCopyBounded(g_dttostr, buf, sizeof g_dttostr);
}
