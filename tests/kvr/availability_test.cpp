// Spans, gaps, overlaps and coverage from crafted catalogue rows, and the missing parts a fetch
// would ask for.
#include "kvr/availability.h"

#include <gtest/gtest.h>

namespace {

constexpr double T0 = 1796601600.0;  // 2026-12-07 00:00:00 UTC

struct Row {
    const char* sta;
    const char* ch;
    const char* loc;
    double sps;
    double start;  // seconds after T0
    double length;
    const char* cpath = "x";
};

KVR_AVAILABILITY build(const std::vector<Row>& rows, double begin = 0, double end = 0,
                       double tolerance = -1) {
    KVR_AVAILABILITY a;
    for (const Row& r : rows) {
        KVR_AVAILABILITY_ROW row;
        row.station = r.sta;
        row.channel = r.ch;
        row.location = r.loc;
        row.cpath = r.cpath;
        row.sps = r.sps;
        row.tbegin = T0 + r.start;
        row.tqty = r.length;
        kvrAvailabilityAddRow(&a, row);
    }
    kvrAvailabilityFinish(&a, begin > 0 ? T0 + begin : 0, end > 0 ? T0 + end : 0, tolerance);
    return a;
}

}  // namespace

// One catalogue: rows that touch, a gap of exactly the tolerance, a gap just over it, an
// overlap, rows out of order, one code at two rates, a located channel and one without.
TEST(Availability, SpansGapsOverlapsPerChannelAndRate) {
    // At 20 sps the default tolerance is 0.025 s.
    const KVR_AVAILABILITY a = build({
        {"abc", "BHZ", "??", 20, 0, 100},
        {"abc", "BHZ", "??", 20, 100.025, 100},  // gap of exactly the tolerance: joined
        {"ABC", "bhz", "  ", 20, 300, 100},      // another spelling, after a gap of 99.975 s
        {"abc", "BHZ", "??", 20, 250, 30},       // out of order, inside that gap
        {"abc", "BHZ", "??", 20, 390, 20},       // overlaps the row before by 10 s
        {"abc", "BHZ", "??", 20, 410.026, 90},   // just over the tolerance: a gap
        {"abc", "BHZ", "??", 40, 0, 50},         // the same code at another rate
        {"abc", "BHZ", "00", 20, 0, 500},        // a located channel
    });
    ASSERT_EQ(a.channels.size(), 3u);
    const KVR_CHANNEL_AVAILABILITY& none = a.channels[1];  // "??" sorts after "00"
    EXPECT_EQ(none.location, "??");
    EXPECT_DOUBLE_EQ(none.sps, 20);
    EXPECT_EQ(none.rows, 6u);
    ASSERT_EQ(none.spans.size(), 4u);
    EXPECT_DOUBLE_EQ(none.spans[0].start, T0);
    EXPECT_DOUBLE_EQ(none.spans[0].end, T0 + 200.025);
    EXPECT_DOUBLE_EQ(none.spans[1].start, T0 + 250);
    EXPECT_DOUBLE_EQ(none.spans[2].start, T0 + 300);
    EXPECT_DOUBLE_EQ(none.spans[2].end, T0 + 410);
    EXPECT_NEAR(none.spans[3].start, T0 + 410.026, 1e-6);
    ASSERT_EQ(none.overlaps.size(), 1u);
    EXPECT_DOUBLE_EQ(none.overlaps[0].start, T0 + 390);
    EXPECT_DOUBLE_EQ(none.overlaps[0].end, T0 + 400);
    // The window runs from the earliest row to the latest end of all channels: 0 .. 500.026.
    ASSERT_EQ(none.gaps.size(), 3u);
    EXPECT_TRUE(none.gaps[0].bounded);
    EXPECT_NEAR(none.gaps[0].length(), 49.975, 1e-6);
    EXPECT_NEAR(none.gaps[2].length(), 0.026, 1e-6);
    EXPECT_EQ(none.earliest, T0);
    EXPECT_NEAR(none.latest, T0 + 500.026, 1e-6);
    EXPECT_NEAR(none.coverage, 100.0 * (200.025 + 30 + 110 + 90) / 500.026, 1e-6);

    const KVR_CHANNEL_AVAILABILITY& located = a.channels[0];
    EXPECT_EQ(located.location, "00");
    EXPECT_EQ(located.spans.size(), 1u);
    ASSERT_EQ(located.gaps.size(), 1u);  // the window's last 0.026 s, at its edge
    EXPECT_FALSE(located.gaps[0].bounded);

    const KVR_CHANNEL_AVAILABILITY& fast = a.channels[2];
    EXPECT_DOUBLE_EQ(fast.sps, 40);
    EXPECT_NEAR(fast.coverage, 100.0 * 50 / 500.026, 1e-6);
}

// A window cuts spans, gaps and overlaps and keeps a gap that began before it bounded; a wider
// tolerance joins what the default keeps apart; rows that cannot count are reported, not counted.
TEST(Availability, WindowToleranceAndRowsThatCannotCount) {
    const std::vector<Row> rows = {
        {"abc", "BHZ", "??", 20, 0, 100},
        {"abc", "BHZ", "??", 20, 105, 100},
        {"abc", "BHZ", "??", 20, 300, 100},
        {"abc", "BHZ", "??", 20, 350, 0, "zero"},
        {"abc", "BHZ", "??", 20, 360, -5, "negative"},
        {"abc", "BHZ", "??", 0, 370, 10, "norate"},
    };
    KVR_AVAILABILITY a = build(rows, 150, 350);
    ASSERT_EQ(a.channels.size(), 1u);
    const KVR_CHANNEL_AVAILABILITY& c = a.channels[0];
    ASSERT_EQ(c.spans.size(), 2u);
    EXPECT_DOUBLE_EQ(c.spans[0].start, T0 + 150);
    EXPECT_DOUBLE_EQ(c.spans[1].end, T0 + 350);
    ASSERT_EQ(c.gaps.size(), 1u);
    EXPECT_TRUE(c.gaps[0].bounded);
    EXPECT_DOUBLE_EQ(c.gaps[0].start, T0 + 205);
    EXPECT_DOUBLE_EQ(c.coverage, 100.0 * (55 + 50) / 200);
    ASSERT_EQ(a.problems.size(), 3u);
    EXPECT_EQ(a.problems[0].cpath, "zero");
    EXPECT_EQ(a.problems[0].what, "TQTY is 0");
    EXPECT_EQ(a.problems[1].what, "TQTY is negative");
    EXPECT_EQ(a.problems[2].what, "SPS is not a positive rate");

    a = build(rows, 0, 0, 5.0);
    EXPECT_EQ(a.channels[0].spans.size(), 2u);  // 0..205 joined, 300..400

    // Nothing in the window: no channel.
    EXPECT_TRUE(build(rows, 1000, 2000).channels.empty());
}

// What a fetch of the window [B, E] (E a sample time, included) asks for: the holes between
// stored spans, and the edges only when a whole sample interval is missing there.
TEST(Availability, MissingPartsOfAWindow) {
    const double interval = 0.01, E = T0 + 3600 - interval;
    // Stored from 4 ms after B (the server's samples lie off the window's second) with a hole.
    std::vector<KVR_SPAN> spans = {{T0 + 0.004, T0 + 100.004}, {T0 + 110.004, T0 + 3600.004}};
    std::vector<KVR_SPAN> missing = kvrMissingParts(spans, T0, E, interval);
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_NEAR(missing[0].start, T0 + 99.999, 1e-6);  // the first missing sample is at 100.004
    EXPECT_NEAR(missing[0].end, T0 + 109.999, 1e-6);   // the last at 109.994

    // The window's last sample is not stored: asked for alone.
    missing = kvrMissingParts({{T0, E}}, T0, E, interval);
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_NEAR(missing[0].start, E - 0.005, 1e-6);
    EXPECT_DOUBLE_EQ(missing[0].end, E);
    // Complete: nothing. Nothing stored: the whole window.
    EXPECT_TRUE(kvrMissingParts({{T0, E + interval}}, T0, E, interval).empty());
    missing = kvrMissingParts({}, T0, E, interval);
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_DOUBLE_EQ(missing[0].start, T0);
    EXPECT_DOUBLE_EQ(missing[0].end, E);
}
