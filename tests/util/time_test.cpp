// Time formats and calendar conversions.
#include <gtest/gtest.h>

#include <string>

#include "util/util.h"

namespace {

struct FormatCase {
    double time;
    int code;
    const char* expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.time << " code " << c.code;
}

class UtilTimeString : public ::testing::TestWithParam<FormatCase> {};

TEST_P(UtilTimeString, FormatsTheCode) {
    const FormatCase& c = GetParam();
    char buf[UTIL_TIMESTRING_STATIC_LEN];
    EXPECT_STREQ(utilTimeString(c.time, c.code, buf), c.expected);
    EXPECT_STREQ(utilTimeString(c.time, c.code, nullptr), c.expected);
}

// 2024-02-29 13:14:15.678 UTC, day 60 of a leap year, a Thursday.
constexpr double kLeapDay = 1709212455.678;

INSTANTIATE_TEST_SUITE_P(
    Util, UtilTimeString,
    ::testing::Values(
        FormatCase{0.0, 0, "1970:001-00:00:00.000"},
        FormatCase{0.0, 1004, "1999001"},  // codes from 1000 count from 1999
        FormatCase{0.0, 1000, "1999:001-00:00:00.000"},
        FormatCase{kLeapDay, 0, "2024:060-13:14:15.678"},
        FormatCase{kLeapDay, 1, "Feb 29, 2024 13:14:15.678"},
        FormatCase{kLeapDay, 2, "54:072-13:14:15.678"},
        FormatCase{kLeapDay, 3, "2024060131415.678"}, FormatCase{kLeapDay, 4, "2024060"},
        FormatCase{kLeapDay, 5, "Thu 02/29/2024"}, FormatCase{kLeapDay, 6, "20240229131415"},
        FormatCase{kLeapDay, 7, "2024 02 29 13 14 15"}, FormatCase{kLeapDay, 8, "072-13:14:15.678"},
        FormatCase{kLeapDay, 9, "2406013"}, FormatCase{kLeapDay, 14, "29 Feb 2024 (060)"},
        FormatCase{kLeapDay, 15, "13:14:15"}, FormatCase{86400.5, 8, "001-00:00:00.500"},
        FormatCase{31622400.0, 8, "001-00:00:00.000"},  // 366 days: one year and one day
        FormatCase{1.0625, 8, "000-00:00:01.063"},  // milliseconds round half up (exact in binary)
        // A rounding that reaches the next second carries instead of printing "1000".
        FormatCase{59.9996, 8, "000-00:01:00.000"}, FormatCase{59.9996, 0, "1970:001-00:01:00.000"},
        FormatCase{kLeapDay, 10, "<UNSUPPORTED FORMAT CODE>"},
        FormatCase{kLeapDay, 12, "<UNSUPPORTED FORMAT CODE>"},
        FormatCase{kLeapDay, 13, "<UNSUPPORTED FORMAT CODE>"},
        FormatCase{kLeapDay, 16, "<UNSUPPORTED FORMAT CODE>"},
        FormatCase{kLeapDay, -1, "<UNSUPPORTED FORMAT CODE>"},
        FormatCase{kLeapDay, 1016, "<UNSUPPORTED FORMAT CODE>"},
        // Before 1970 there is no calendar date: blanks of the code's width.
        FormatCase{-1.0, 0, "                     "},
        FormatCase{-1.0, 1, "                         "},
        FormatCase{-1.0, 2, "                   "}, FormatCase{-1.0, 3, "                "},
        FormatCase{-1.0, 4, "       "}, FormatCase{-1.0, 5, "                "},
        FormatCase{-1.0, 6, "              "}, FormatCase{-1.0, 7, "                   "},
        FormatCase{-1.0, 8, "                "}, FormatCase{-1.0, 9, "       "},
        FormatCase{-86400.0, 14, ""}, FormatCase{-0.5, 15, ""},
        // ...but a 1999-based time before 1999 still has one.
        FormatCase{-86400.0, 1004, "1998365"}));

TEST(UtilTimeString, ShortFormsUseTheirOwnStaticBuffers) {
    char* a = utilLttostr(0.0, 0);
    EXPECT_STREQ(a, "1970:001-00:00:00.000");
    EXPECT_STREQ(utilLttostr(kLeapDay, 1), "Feb 29, 2024 13:14:15.678");
    EXPECT_EQ(utilLttostr(0.0, 4), a);
}

TEST(UtilDttostr, OlderFormatter) {
    struct Case {
        double time;
        int code;
        const char* expected;
    } cases[] = {
        {kLeapDay, 0, "124:060-13:14:15.678"},
        {kLeapDay, 1, "Feb 29, 2024 13:14:15.678"},
        {kLeapDay, 2, "54:072-13:14:15.678"},
        {kLeapDay, 3, "124060131415678"},
        {kLeapDay, 4, "2024060"},
        {kLeapDay, 5, "Thu 02/29/124"},
        {kLeapDay, 6, "20240229131415"},
        {kLeapDay, 7, "2024 02 29 13 14 15"},
        {kLeapDay, 10, "2024:060-13:14:15.678"},
        {kLeapDay, 14, "29 Feb 2024 (060)"},
        {kLeapDay, 15, "13:14:15"},
        {0.0, 1, "Jan 01, 1970 00:00:00.000"},
        {0.9996, 10, "1970:001-00:00:01.000"},
        {kLeapDay, 8, "Bad dttostr input!"},
        {kLeapDay, 9, "Bad dttostr input!"},
        {kLeapDay, 11, "Bad dttostr input!"},
        {kLeapDay, 16, "Bad dttostr input!"},
        {kLeapDay, -1, "Bad dttostr input!"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(util_dttostr(c.time, c.code), c.expected) << c.code;
    }
    std::string before1970 = util_dttostr(-5.0, 0);
    EXPECT_FALSE(before1970.empty());
    EXPECT_EQ(before1970.find_first_not_of(' '), std::string::npos);
}

TEST(UtilCalendar, LeapYears) {
    for (int y : {1996, 2000, 2004, 2024, 2400}) EXPECT_TRUE(utilIsLeapYear(y)) << y;
    for (int y : {1900, 1970, 2100, 2023, 2200}) EXPECT_FALSE(utilIsLeapYear(y)) << y;
}

TEST(UtilCalendar, DayOfYearAndMonthDay) {
    struct Case {
        int year, yday, month, mday;
    } cases[] = {
        {2000, 60, 2, 29},   {1900, 60, 3, 1},    {2023, 60, 3, 1},  {2024, 1, 1, 1},
        {2024, 366, 12, 31}, {2023, 365, 12, 31}, {2024, 31, 1, 31}, {2024, 32, 2, 1},
    };
    for (const auto& c : cases) {
        int month = 0;
        int mday = 0;
        utilYdayToMonthDay(c.year, c.yday, &month, &mday);
        EXPECT_EQ(month, c.month) << c.year << ":" << c.yday;
        EXPECT_EQ(mday, c.mday) << c.year << ":" << c.yday;
        EXPECT_EQ(utilMonthDayToYday(c.year, c.month, c.mday), c.yday);
    }
}

TEST(UtilCalendar, TimeFromAndToFields) {
    EXPECT_DOUBLE_EQ(utilYdhmsmToTime(2024, 60, 13, 14, 15, 678), kLeapDay);
    EXPECT_DOUBLE_EQ(utilYdhmsmToTime(1970, 0, 0, 0, 0, 0), 0.0);  // day 0 counts as 1
    EXPECT_DOUBLE_EQ(utilYdhmsmToTime(1969, 365, 0, 0, 0, 0), -86400.0);
    EXPECT_DOUBLE_EQ(utilYdhmsmToTime(1968, 1, 0, 0, 0, 0), -2 * 365 * 86400.0 + -86400.0);
    EXPECT_DOUBLE_EQ(utilYdToTime(2024060), utilYdhmsmToTime(2024, 60, 0, 0, 0, 0));

    struct Case {
        double time;
        int year, yday, hour, minute, second, msec;
    } cases[] = {
        {kLeapDay, 2024, 60, 13, 14, 15, 678}, {0.0, 1970, 1, 0, 0, 0, 0},
        {59.9996, 1970, 1, 0, 1, 0, 0},  // a millisecond of 1000 is the next second
        {-1.0, 1969, 365, 23, 59, 59, 0},      {-0.25, 1969, 365, 23, 59, 59, 750},
        {951782400.0, 2000, 60, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        int f[6] = {};
        utilTimeToYdhmsm(c.time, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
        EXPECT_EQ(f[0], c.year) << c.time;
        EXPECT_EQ(f[1], c.yday) << c.time;
        EXPECT_EQ(f[2], c.hour) << c.time;
        EXPECT_EQ(f[3], c.minute) << c.time;
        EXPECT_EQ(f[4], c.second) << c.time;
        EXPECT_EQ(f[5], c.msec) << c.time;
    }
}

TEST(UtilCalendar, SplitTimeCountsBackwardsBefore1970) {
    struct Case {
        double time;
        int yyyyddd, month, mday, hour, minute;
        float second;
        const char* mname;
    } cases[] = {
        {kLeapDay, 2024060, 2, 29, 13, 14, 15.678f, "Feb"},
        {-1.5, 1969365, 12, 31, 23, 59, 58.5f, "Dec"},
        {-366.0 * 86400, 1968366, 12, 31, 0, 0, 0.0f, "Dec"},  // 1968 is a leap year
        {-365.0 * 86400 - 366.0 * 86400, 1968001, 1, 1, 0, 0, 0.0f, "Jan"},
    };
    for (const auto& c : cases) {
        UTIL_TSPLIT ts{};
        utilTimeSplit(c.time, &ts);
        EXPECT_EQ(ts.yyyyddd, c.yyyyddd) << c.time;
        EXPECT_EQ(ts.year, c.yyyyddd / 1000);
        EXPECT_EQ(ts.yday, c.yyyyddd % 1000);
        EXPECT_EQ(ts.month, c.month) << c.time;
        EXPECT_EQ(ts.mday, c.mday) << c.time;
        EXPECT_STREQ(ts.mname, c.mname);
        EXPECT_EQ(ts.hour, c.hour) << c.time;
        EXPECT_EQ(ts.minute, c.minute) << c.time;
        EXPECT_NEAR(ts.second, c.second, 1e-3) << c.time;
    }
}

}  // namespace
