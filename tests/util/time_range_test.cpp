// Calendar conversions over their whole range, and time values a peer may send that have no
// date at all (NaN, infinities, huge values): defined results, never undefined conversions.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "util/util.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kDay = 86400.0;

// Times without a date anywhere in util.
const double kNoDate[] = {
    kNaN,
    kInf,
    -kInf,
    1e300,
    -1e300,
    std::numeric_limits<double>::max(),
    1e15,
    -1e15,
    6.8e16,  // a year past INT_MAX when counted in an int
    9223372036854775807.0,
    -9223372036854775808.0,
    UTIL_TIME_END_DATE,
    UTIL_TIME_FIRST_DATE - 0.5,
};

// Times from 10000-01-01 on (or rounding to it) have no printable date either.
const double kNotPrintable[] = {UTIL_TIME_END_DATE, UTIL_TIME_END_DATE - 0.0004, 1e12};

// Blank widths of codes 0..9; codes 14 and 15 give an empty text.
const int kBlankWidth[] = {21, 25, 19, 16, 7, 16, 14, 19, 16, 7};

void expectBlanks(double time, int code, const std::string& text) {
    int base = code % 1000;
    size_t width = base <= 9 ? size_t(kBlankWidth[base]) : 0;
    EXPECT_EQ(text, std::string(width, ' ')) << time << " code " << code;
}

TEST(UtilTimeRange, FormatsGiveBlanksWithoutADate) {
    const int codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 14, 15, 1000, 1004, 1008, 1015};
    auto check = [&](double time) {
        for (int code : codes) {
            char buf[UTIL_TIMESTRING_STATIC_LEN];
            expectBlanks(time, code, utilTimeString(time, code, buf));
            expectBlanks(time, code, utilLttostr(time, code));
        }
        // The older formatter: blanks whatever their width.
        for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 10, 14, 15}) {
            std::string text = util_dttostr(time, code);
            EXPECT_EQ(text.find_first_not_of(' '), std::string::npos) << time << " code " << code;
        }
        EXPECT_STREQ(utilTimeString(time, 12, nullptr), "<UNSUPPORTED FORMAT CODE>");
    };
    for (double time : kNoDate) check(time);
    for (double time : kNotPrintable) check(time);
}

TEST(UtilTimeRange, FormatsPrintTheLastYear) {
    struct Case {
        double time;
        int code;
        const char* expected;
    } cases[] = {
        {UTIL_TIME_END_DATE - 1.0, 0, "9999:365-23:59:59.000"},
        {UTIL_TIME_END_DATE - 0.001, 1, "Dec 31, 9999 23:59:59.999"},
        {UTIL_TIME_END_DATE - 1.0, 5, "Fri 12/31/9999"},
        {UTIL_TIME_END_DATE - 1.0, 6, "99991231235959"},
        {UTIL_TIME_END_DATE - 1.0, 14, "31 Dec 9999 (365)"},
        {UTIL_TIME_END_DATE - 1.0 - UTIL_1999_EPOCH_OFFSET, 1004, "9999365"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(utilTimeString(c.time, c.code, nullptr), c.expected) << c.code;
    }
    EXPECT_STREQ(util_dttostr(UTIL_TIME_END_DATE - 0.001, 10), "9999:365-23:59:59.999");
}

TEST(UtilTimeRange, SplitAndFieldsHaveNoDate) {
    for (double time : kNoDate) {
        UTIL_TSPLIT ts{};
        ts.year = 77;
        utilTimeSplit(time, &ts);
        if (std::isnan(time)) {
            EXPECT_TRUE(std::isnan(ts.time));
        } else {
            EXPECT_EQ(ts.time, time);
        }
        EXPECT_EQ(ts.yyyyddd, 0) << time;
        EXPECT_EQ(ts.year, 0) << time;
        EXPECT_EQ(ts.yday, 0) << time;
        EXPECT_EQ(ts.month, 0) << time;
        EXPECT_EQ(ts.mday, 0) << time;
        EXPECT_STREQ(ts.mname, "   ");
        EXPECT_EQ(ts.hour, 0) << time;
        EXPECT_EQ(ts.minute, 0) << time;
        EXPECT_EQ(ts.second, 0.0f) << time;

        int f[6] = {1, 1, 1, 1, 1, 1};
        utilTimeToYdhmsm(time, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
        for (int v : f) EXPECT_EQ(v, 0) << time;
    }
    // A millisecond carry into year 10000 has no date either.
    int f[6] = {1, 1, 1, 1, 1, 1};
    utilTimeToYdhmsm(UTIL_TIME_END_DATE - 0.0004, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
    for (int v : f) EXPECT_EQ(v, 0);
}

TEST(UtilTimeRange, FirstAndLastDates) {
    UTIL_TSPLIT ts{};
    utilTimeSplit(UTIL_TIME_FIRST_DATE, &ts);
    EXPECT_EQ(ts.yyyyddd, 1001);
    EXPECT_STREQ(ts.mname, "Jan");
    utilTimeSplit(UTIL_TIME_END_DATE - 0.5, &ts);
    EXPECT_EQ(ts.yyyyddd, 9999365);
    EXPECT_EQ(ts.hour, 23);
    EXPECT_EQ(ts.minute, 59);
    EXPECT_NEAR(ts.second, 59.5f, 1e-3);

    EXPECT_EQ(utilYdhmsmToTime(1, 1, 0, 0, 0, 0), UTIL_TIME_FIRST_DATE);
    EXPECT_EQ(utilYdhmsmToTime(10000, 1, 0, 0, 0, 0), UTIL_TIME_END_DATE);
    EXPECT_EQ(utilYdToTime(1001), UTIL_TIME_FIRST_DATE);
    // Years outside the calendar still give finite, ordered times at once.
    double top = utilYdhmsmToTime(INT_MAX, 366, 23, 59, 59, 999);
    double bottom = utilYdhmsmToTime(INT_MIN, 0, 0, 0, 0, 0);
    EXPECT_TRUE(std::isfinite(top));
    EXPECT_TRUE(std::isfinite(bottom));
    EXPECT_GT(top, UTIL_TIME_END_DATE);
    EXPECT_LT(bottom, UTIL_TIME_FIRST_DATE);
    EXPECT_LT(utilYdhmsmToTime(0, 1, 0, 0, 0, 0), UTIL_TIME_FIRST_DATE);
    EXPECT_EQ(utilYdhmsmToTime(0, 1, 0, 0, 0, 0), UTIL_TIME_FIRST_DATE - 366 * kDay);  // leap
    EXPECT_EQ(utilYdhmsmToTime(-100, 1, 0, 0, 0, 0) - utilYdhmsmToTime(-101, 1, 0, 0, 0, 0),
              365 * kDay);
    // A hostile day of month saturates instead of overflowing.
    EXPECT_EQ(utilMonthDayToYday(2024, 12, INT_MAX), INT_MAX);
    EXPECT_EQ(utilMonthDayToYday(2024, 12, INT_MIN), INT_MIN + 335);
}

// Every day of years 1 to 9999, walked from 1970 one day at a time in both directions with the
// leap-year rule alone, against the conversions both ways.
TEST(UtilTimeRange, EveryDayMatchesADayByDayWalk) {
    struct Walk {
        long day;
        int year, yday;
    };
    auto check = [](const Walk& w) {
        double midnight = double(w.day) * kDay;
        UTIL_TSPLIT ts{};
        utilTimeSplit(midnight + 45296.25, &ts);  // 12:34:56.25
        int f[6] = {};
        utilTimeToYdhmsm(midnight + 86399.9996, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
        bool ok = ts.year == w.year && ts.yday == w.yday && ts.hour == 12 && ts.minute == 34 &&
                  ts.second == 56.25f && utilYdhmsmToTime(w.year, w.yday, 0, 0, 0, 0) == midnight;
        // The millisecond carry reaches the next day.
        Walk next = w;
        if (++next.yday > (utilIsLeapYear(w.year) ? 366 : 365)) next = {w.day + 1, w.year + 1, 1};
        bool carry = f[0] == next.year && f[1] == next.yday && f[2] == 0 && f[3] == 0 &&
                     f[4] == 0 && f[5] == 0;
        if (w.year == 9999 && next.year == 10000) carry = f[0] == 0 && f[1] == 0;
        return ok && carry;
    };
    long failures = 0;
    Walk w{0, 1970, 1};
    for (; w.year < 10000; ++w.day) {
        if (!check(w) && ++failures < 10) ADD_FAILURE() << w.year << ":" << w.yday;
        if (++w.yday > (utilIsLeapYear(w.year) ? 366 : 365)) w.yday = 1, ++w.year;
    }
    EXPECT_EQ(w.day, 2932897);  // 10000-01-01
    w = {-1, 1969, 365};
    for (; w.year >= 1; --w.day) {
        if (!check(w) && ++failures < 10) ADD_FAILURE() << w.year << ":" << w.yday;
        if (--w.yday < 1) --w.year, w.yday = utilIsLeapYear(w.year) ? 366 : 365;
    }
    EXPECT_EQ(w.day, -719163);  // the day before 0001-01-01
    EXPECT_EQ(failures, 0);
}

}  // namespace
