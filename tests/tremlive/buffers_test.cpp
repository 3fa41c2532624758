// Window times, purge and the scale arithmetic of the channel buffers.
#include "tremlive/buffers.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "tremlive/refresh.h"
#include "tremlive/trem_fixture.h"

using namespace tremlive;
using tremtest::AddChannel;
using tremtest::MakePacket;

namespace {

constexpr double T = 1796616306.0;  // 2026-12-07 04:05:06 UTC

TEST(WindowTimes, LiveEdgeFollowsTheClockAndALeftBehindDisplayStays) {
    CTraceBuffers b;
    b.UpdateWindowTimes(T);
    EXPECT_EQ(b.bufferedStart, T - 7200);
    EXPECT_EQ(b.bufferedEnd, T);
    EXPECT_EQ(b.displayedStart, T - 900);
    EXPECT_EQ(b.displayedEnd, T);

    b.MoveDisplayedWindow(T - 3000);
    double start = std::floor(T - 3000 - 450);
    EXPECT_EQ(b.displayedStart, start);
    EXPECT_EQ(b.displayedEnd, start + 900);

    // Later updates leave it in place until the buffered start passes the displayed start...
    b.UpdateWindowTimes(T + 100);
    EXPECT_EQ(b.displayedStart, start);
    b.UpdateWindowTimes(start + 7200 - 1);
    EXPECT_EQ(b.displayedStart, start);
    // The test looks at the buffered start of the update before: the one that moves the
    // buffer past the display leaves it, the next one jumps to the buffered start.
    b.UpdateWindowTimes(start + 7200 + 5);
    EXPECT_EQ(b.displayedStart, start);
    b.UpdateWindowTimes(start + 7200 + 6);
    EXPECT_EQ(b.displayedStart, start + 6);
    EXPECT_EQ(b.displayedEnd, start + 6 + 900);
    EXPECT_EQ(b.bufferedStart, start + 6);
}

TEST(WindowTimes, DelayHoldsTheLiveEdgeBehindTheClock) {
    CTraceBuffers b;
    b.delay = 30;
    b.UpdateWindowTimes(T);
    EXPECT_EQ(b.bufferedEnd, T - 30);
    EXPECT_EQ(b.displayedEnd, T - 30);
}

TEST(WindowTimes, MoveIsKeptInsideTheBufferAtBothEnds) {
    CTraceBuffers b;
    b.UpdateWindowTimes(T);
    struct Case {
        double centre;
        double start;
    } cases[] = {
        {T - 7200, T - 7200},  // the strip's left margin
        {T, T - 900},          // the right margin
        {T - 1e9, T - 7200},  {T + 1e9, T - 900}, {T - 3000.3, std::floor(T - 3000.3 - 450)},
    };
    for (const Case& c : cases) {
        b.MoveDisplayedWindow(c.centre);
        EXPECT_EQ(b.displayedStart, c.start);
        EXPECT_EQ(b.displayedEnd, c.start + 900);
    }
}

TEST(Purge, RemovesEveryPacketEndingBeforeTheBufferedStartWhereverItStands) {
    CTraceBuffers b;
    CDisplayChannel& ch = AddChannel(&b, "ABC", "BHZ", "00");
    b.UpdateWindowTimes(T);
    double bs = b.bufferedStart;
    ch.AddPacket(MakePacket(bs + 10, 1.0f, {1}));                // stays
    ch.AddPacket(MakePacket(bs - 0.001, 1.0f, {2}));             // ends 1 ms early: goes
    ch.AddPacket(MakePacket(bs - 9, 1.0f, {3, 3, 3, 3}));        // ends at bs - 6: goes
    ch.AddPacket(MakePacket(bs, 1.0f, {4}));                     // ends exactly at bs: stays
    ch.AddPacket(MakePacket(bs - 4, 1.0f, {5, 5, 5, 5, 5, 5}));  // overlaps: stays
    b.PurgeOldPackets();
    ASSERT_EQ(ch.packets().size(), 3u);
    EXPECT_EQ(ch.packets()[0]->samples[0], 1);
    EXPECT_EQ(ch.packets()[1]->samples[0], 4);
    EXPECT_EQ(ch.packets()[2]->samples[0], 5);
}

// A redraw starts at the first packet that can reach its window; whatever the packets' order, no
// packet it passes has anything at or after that time, and a purge keeps the search in step.
TEST(PacketSearch, PassesOnlyPacketsWhollyBeforeTheTime) {
    CTraceBuffers b;
    b.bufferedTime = 150;
    b.UpdateWindowTimes(T);
    CDisplayChannel& ch = AddChannel(&b, "ABC", "BHZ", "00");
    auto add = [&](double first, float interval, double lastTime) {
        auto p = MakePacket(first, interval, std::vector<int32_t>(10, 1));
        if (lastTime != 0) p->lastTime = lastTime;  // the server's own last time
        ch.AddPacket(std::move(p));
    };
    add(T - 100, 1.0f, 0);     // ends at T - 90
    add(T - 50, 1.0f, 0);      // ends at T - 40
    add(T - 200, 1.0f, 0);     // older than the one before it, ends at T - 190
    add(T - 30, 1.0f, T + 5);  // ends at T - 20, its last time is later
    add(T - 1000, 0.0f, 0);    // cannot be placed: nothing after it is passed
    add(T - 2000, 1.0f, 0);
    struct Case {
        double t;
        size_t first;
    } cases[] = {{T - 95, 0}, {T - 60, 1}, {T - 35, 3},
                 {T + 4, 3},  {T + 6, 4},  {std::numeric_limits<double>::quiet_NaN(), 0}};
    for (const Case& c : cases) EXPECT_EQ(ch.FirstPacketReaching(c.t), c.first) << c.t - T;

    b.PurgeOldPackets();  // the packets last at T - 191, T - 1000 and T - 1991 go
    ASSERT_EQ(ch.packets().size(), 3u);
    EXPECT_EQ(ch.FirstPacketReaching(T - 35), 2u);
    EXPECT_EQ(ch.FirstPacketReaching(T + 6), 3u);
}

struct ScaleCase {
    const char* name;
    int32_t min, max;
    int32_t wantMin, wantMax;
};

TEST(Scale, ExpandContractAndShift) {
    CTraceBuffers b;
    CDisplayChannel& ch = AddChannel(&b, "ABC", "BHZ", "00");
    using Op = void (*)(CTraceBuffers&);
    struct Case {
        const char* name;
        Op op;
        int32_t min, max, wantMin, wantMax;
    } cases[] = {
        {"expand", [](CTraceBuffers& x) { x.ExpandScale(0); }, -3000, 3000, -1500, 1500},
        {"expand narrow", [](CTraceBuffers& x) { x.ExpandScale(0); }, 0, 2, 0, 2},
        {"expand odd", [](CTraceBuffers& x) { x.ExpandScale(0); }, 4, 5, 3, 5},
        {"contract", [](CTraceBuffers& x) { x.ContractScale(0); }, -3000, 3000, -6000, 6000},
        {"contract narrow", [](CTraceBuffers& x) { x.ContractScale(0); }, 4, 5, 3, 5},
        {"shift up", [](CTraceBuffers& x) { x.ShiftScale(0, ShiftDirection::Up); }, -3000, 3000,
         -3600, 2400},
        {"shift down", [](CTraceBuffers& x) { x.ShiftScale(0, ShiftDirection::Down); }, -3000, 3000,
         -2400, 3600},
        {"shift tiny", [](CTraceBuffers& x) { x.ShiftScale(0, ShiftDirection::Up); }, 0, 2, -1, 1},
    };
    for (const Case& c : cases) {
        ch.scaleMin = c.min;
        ch.scaleMax = c.max;
        c.op(b);
        EXPECT_EQ(ch.scaleMin, c.wantMin) << c.name;
        EXPECT_EQ(ch.scaleMax, c.wantMax) << c.name;
    }
}

TEST(Scale, RepeatedContractAndShiftSaturateAndNeverEmpty) {
    CTraceBuffers b;
    CDisplayChannel& ch = AddChannel(&b, "ABC", "BHZ", "00");
    for (int i = 0; i < 40; ++i) {
        b.ContractScale(0);
        ASSERT_LT(ch.scaleMin, ch.scaleMax);
    }
    EXPECT_EQ(ch.scaleMin, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(ch.scaleMax, std::numeric_limits<int32_t>::max());
    for (int i = 0; i < 40; ++i) {
        b.ShiftScale(0, ShiftDirection::Down);
        ASSERT_LT(ch.scaleMin, ch.scaleMax);
    }
    ch.scaleMin = 1000;
    ch.scaleMax = std::numeric_limits<int32_t>::max();
    for (int i = 0; i < 40; ++i) b.ShiftScale(0, ShiftDirection::Down);
    EXPECT_EQ(ch.scaleMax, std::numeric_limits<int32_t>::max());
    EXPECT_LT(ch.scaleMin, ch.scaleMax);
    for (int i = 0; i < 40; ++i) b.ExpandScale(0);
    EXPECT_LT(ch.scaleMin, ch.scaleMax);
}

TEST(Scale, FitTakesTheSamplesInRangeOrKeepsTheScale) {
    CTraceBuffers b;
    CDisplayChannel& ch = AddChannel(&b, "ABC", "BHZ", "00");
    b.UpdateWindowTimes(T);
    b.FitScale(0, 0);  // nothing buffered: the scale stays
    EXPECT_EQ(ch.scaleMin, -3000);
    EXPECT_EQ(ch.scaleMax, 3000);

    ch.AddPacket(MakePacket(T - 100, 1.0f, {5}));
    b.FitScale(0, 0);
    EXPECT_EQ(ch.scaleMin, 4);
    EXPECT_EQ(ch.scaleMax, 6);

    ch.AddPacket(MakePacket(T - 50, 1.0f, {0, 100, -50}));
    b.FitScale(0, 0);
    EXPECT_EQ(ch.scaleMin, -50);
    EXPECT_EQ(ch.scaleMax, 100);

    // Older than the displayed window: only the whole-buffer fit sees it.
    ch.AddPacket(MakePacket(T - 2000, 1.0f, {-9000, 9000}));
    // Partly after the displayed end: the sample past it is not taken.
    ch.AddPacket(MakePacket(T - 0.5, 1.0f, {7, 7777}));
    b.FitScale(0, 0);
    EXPECT_EQ(ch.scaleMin, -50);
    EXPECT_EQ(ch.scaleMax, 100);
    b.FitScale(0, 1);
    EXPECT_EQ(ch.scaleMin, -9000);
    EXPECT_EQ(ch.scaleMax, 9000);
}

TEST(Scale, FitOfAnEmptyOldScaleWidensIt) {
    CTraceBuffers b;
    CDisplayChannel& ch = AddChannel(&b, "ABC", "BHZ", "00");
    ch.scaleMin = ch.scaleMax = 10;
    b.FitScale(0, 1);
    EXPECT_EQ(ch.scaleMin, 9);
    EXPECT_EQ(ch.scaleMax, 11);
}

// The index search must agree with the per-sample time test on every packet, including awkward
// intervals where f + j * s rounds.
TEST(Packets, IndexSearchAgreesWithTheSampleWalk) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> offset(-50.0, 50.0);
    const float intervals[] = {0.01f, 0.025f, 1.0f / 3.0f, 0.1f, 7.0f};
    for (int round = 0; round < 400; ++round) {
        float s = intervals[round % 5];
        auto p = MakePacket(T + offset(rng), s, std::vector<int32_t>(1 + round % 97, 0));
        double lo = p->timeOf(round % 13) + (round % 3 - 1) * 1e-9;
        double hi = lo + offset(rng) + 50.0;
        int32_t a = 0;
        while (a < p->count && p->timeOf(a) < lo) ++a;
        int32_t z = a;
        while (z < p->count && !(p->timeOf(z) > hi)) ++z;
        ASSERT_EQ(p->firstIndexAtOrAfter(lo), a) << round;
        ASSERT_EQ(p->firstIndexAfter(hi, a), z) << round;
    }
}

TEST(Refresh, CountdownRefreshesEveryRefreshTimePlusOneTicks) {
    struct Case {
        int refreshTime;
        std::vector<int> ticks;
    } cases[] = {{3, {1, 5, 9, 13}}, {1, {1, 3, 5, 7, 9, 11, 13}}};
    for (const Case& c : cases) {
        CRefreshCountdown countdown;
        countdown.Reset();
        std::vector<int> refreshed;
        for (int tick = 1; tick <= 13; ++tick)
            if (countdown.Tick(c.refreshTime)) refreshed.push_back(tick);
        EXPECT_EQ(refreshed, c.ticks) << c.refreshTime;
    }
}

}  // namespace
