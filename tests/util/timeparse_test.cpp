// The time texts every program takes where a time is typed.
#include <gtest/gtest.h>

#include "util/util.h"

namespace {

TEST(UtilParseTime, EveryFormGivesTheSameMomentAndNonsenseIsRefused) {
    const double kNow = 1765188000.0;  // 2025-12-08 10:00:00 UTC, day 342
    struct Case {
        const char* text;
        bool ok;
        double expected;
    } cases[] = {
        {"1765188000", true, kNow},
        {"1765188000.25", true, kNow + 0.25},
        {"2025:342-10:00:00", true, kNow},
        {"2025:342-10:00:00.500", true, kNow + 0.5},
        {"2025-12-08T10:00:00Z", true, kNow},
        {"2025-12-08T10:00:00", true, kNow},
        {"2025-12-08T10:00:01.5Z", true, kNow + 1.5},
        {"2024-02-29T00:00:00Z", true, 1709164800.0},
        {"now", true, kNow},
        {"now-600", true, kNow - 600.0},
        {"now-0.5", true, kNow - 0.5},
        {"now+5", true, kNow + 5.0},
        // Before 1970 and far from now, in every form.
        {"1964-03-27T21:11:24.987Z", true, -181882115.013},
        {"1964:087-21:11:24.987", true, -181882115.013},
        {"-181882115.013", true, -181882115.013},
        {"1900-01-01T00:00:00Z", true, -2208988800.0},
        {"2100-12-31T23:59:59Z", true, 4133980799.0},
        {"1969-12-31T23:59:55Z", true, -5.0},
        // Refused: impossible dates, offsets, the request markers (the last seconds of 1969),
        // not numbers, almost numbers, empty.
        {"2025-02-29T00:00:00Z", false, 0},
        {"2025-13-01T00:00:00Z", false, 0},
        {"2025-12-08T24:00:00Z", false, 0},
        {"2025-12-08T10:00:00+02:00", false, 0},
        {"2025:366-00:00:00", false, 0},
        {"2025:342-10:00", false, 0},
        {"2025:342", false, 0},
        {"1969-12-31T23:59:59Z", false, 0},
        {"-2", false, 0},
        {"now-", false, 0},
        {"now+-5", false, 0},
        {"2025:342-10:00:1e1", false, 0},
        {" 1765188000", false, 0},
        {"+1765188000", false, 0},
        {"-", false, 0},
        {"inf", false, 0},
        {"nan", false, 0},
        {"1e9", false, 0},
        {"yesterday", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        double t = -99.0;
        EXPECT_EQ(utilParseTime(c.text, kNow, &t), c.ok) << c.text;
        if (c.ok)
            EXPECT_DOUBLE_EQ(t, c.expected) << c.text;
        else
            EXPECT_EQ(t, -99.0) << c.text;
    }
    EXPECT_EQ(utilPrintableString("A\nB\\"), "A\\nB\\\\");
}

}  // namespace
