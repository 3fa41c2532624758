// The coverage picture and the day plot, checked by their size and by the colours of spans, gaps
// and traces where the data put them. KVR_PLOTS_SAVE=DIR keeps the pictures for a look.
#include "kvrdb/plots.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

using namespace kvrplot;

namespace {

constexpr double D0 = 1796601600.0;  // 2026-12-07 00:00:00 UTC
constexpr double kHour = 3600.0;

void Keep(const QImage& image, const char* name) {
    if (const char* dir = std::getenv("KVR_PLOTS_SAVE"))
        image.save(QString(dir) + "/" + name, "PNG");
}

KVR_AVAILABILITY Coverage(int channels) {
    KVR_AVAILABILITY a;
    for (int i = 0; i < channels; ++i) {
        KVR_CHANNEL_AVAILABILITY c;
        c.station = "ST" + std::to_string(i);
        c.channel = "BHZ";
        c.location = i % 2 ? "00" : "??";
        c.sps = 20;
        a.channels.push_back(c);
    }
    a.begin = D0;
    a.end = D0 + 48 * kHour;
    return a;
}

}  // namespace

TEST(Plots, CoverageRowsShowSpansAndGapsWhereTheyLie) {
    StartOffscreen();
    KVR_AVAILABILITY a = Coverage(3);
    a.channels[0].spans = {{D0, D0 + 48 * kHour}};
    a.channels[1].spans = {{D0, D0 + 6 * kHour}, {D0 + 12 * kHour, D0 + 48 * kHour}};
    a.channels[1].gaps = {{D0 + 6 * kHour, D0 + 12 * kHour, true}};
    // A gap of one second is narrower than a pixel and still shows.
    a.channels[2].spans = {{D0 + 24 * kHour, D0 + 30 * kHour}, {D0 + 30 * kHour + 1, a.end}};
    a.channels[2].gaps = {{D0, D0 + 24 * kHour, false}, {D0 + 30 * kHour, D0 + 30 * kHour + 1}};
    const QImage image = DrawCoverage(a);
    Keep(image, "coverage.png");
    ASSERT_EQ(image.width(), kCoverageWidth);
    ASSERT_EQ(image.height(), kCoverageTop + 3 * kMaxRowHeight + kAxisHeight);
    auto at = [&](double t, int row) {
        return image.pixelColor(CoverageX(t, a.begin, a.end), CoverageRowY(row, 3));
    };
    EXPECT_EQ(at(D0 + 3 * kHour, 0), kSpanGreen);
    EXPECT_EQ(at(D0 + 3 * kHour, 1), kSpanGreen);
    EXPECT_EQ(at(D0 + 9 * kHour, 1), kGapRed);
    EXPECT_EQ(at(D0 + 13 * kHour, 1), kSpanGreen);
    EXPECT_EQ(at(D0 + 12 * kHour, 2), kGapRed);
    EXPECT_EQ(at(D0 + 30 * kHour, 2), kGapRed);
    EXPECT_EQ(at(D0 + 36 * kHour, 2), kSpanGreen);
    // Left of the plot: the names, never a bar.
    EXPECT_NE(image.pixelColor(kLabelWidth - 5, CoverageRowY(0, 3)), kSpanGreen);

    // A thousand channels: a row each, the last one's gap still where it lies.
    a = Coverage(1000);
    for (KVR_CHANNEL_AVAILABILITY& c : a.channels) c.spans = {{a.begin, a.end}};
    a.channels[999].spans = {{a.begin, D0 + 40 * kHour}};
    a.channels[999].gaps = {{D0 + 40 * kHour, a.end, false}};
    const QImage many = DrawCoverage(a);
    Keep(many, "coverage-1000.png");
    EXPECT_EQ(many.height(), kCoverageTop + 1000 * kMinRowHeight + kAxisHeight);
    EXPECT_EQ(many.pixelColor(CoverageX(D0 + 44 * kHour, a.begin, a.end), CoverageRowY(999, 1000)),
              kGapRed);
    EXPECT_EQ(many.pixelColor(CoverageX(D0 + 44 * kHour, a.begin, a.end), CoverageRowY(998, 1000)),
              kSpanGreen);
    EXPECT_TRUE(DrawCoverage(Coverage(0)).isNull());
}

// A day of a 20 sps sine with an hour missing and one huge spike: lines in turn of colour, the
// missing hour blank, the spike clipped within a line's spacing, every line scaled alike.
TEST(Plots, DayPlotDrawsLinesInTurnLeavesGapsBlankAndClips) {
    StartOffscreen();
    KVR_CHANNEL_DAY day;
    day.station = "ABC";
    day.channel = "BHZ";
    day.location = "00";
    day.dayStart = D0;
    const double sps = 20;
    for (const auto& [from, to] : {std::pair{0.0, 5 * kHour}, std::pair{6 * kHour, 24 * kHour}}) {
        KVR_DAY_SEGMENT s;
        s.start = D0 + from;
        s.sps = sps;
        for (int i = 0; i < int((to - from) * sps); ++i)
            s.samples.push_back(float(1000 + 100 * std::sin((from + i / sps) / 7)));
        day.segments.push_back(std::move(s));
    }
    day.segments[1].samples[size_t(12 * kHour * sps)] = 1e9f;  // at 18:00, the start of line 36
    const QImage image = DrawDayPlot(day, 30);
    Keep(image, "dayplot.png");
    ASSERT_EQ(image.width(), kDayWidth);
    ASSERT_EQ(image.height(), kDayHeight);
    const int lines = 48;
    auto count = [&](int line, const QColor& colour, int x0, int x1) {
        const int y0 = DayLineY(line, lines);
        const double spacing = double(kDayHeight - kDayTop - kDayBottom) / lines;
        int n = 0;
        for (int x = x0; x <= x1; ++x)
            for (int y = y0 - int(spacing); y <= y0 + int(spacing); ++y)
                if (image.pixelColor(x, y) == colour) ++n;
        return n;
    };
    const int left = DayX(0, 1800), right = DayX(1800, 1800);
    for (int line : {0, 1, 2, 3, 20, 47})
        EXPECT_GT(count(line, kTraceColours[line % 4], left, right), 200) << line;
    // 05:00 .. 06:00 is lines 10 and 11: nothing of their colours drawn there (their neighbours'
    // colours differ).
    for (int line : {10, 11}) EXPECT_EQ(count(line, kTraceColours[line % 4], left, right), 0);
    // The spike stays within a spacing of its line: the line two above shows none of its colour.
    EXPECT_GT(count(36, kTraceColours[0], left, left + 2), 0);
    const int y36 = DayLineY(36, lines), y34 = DayLineY(34, lines);
    for (int y = y34 - 5; y < y34 + 5; ++y) EXPECT_NE(image.pixelColor(left, y), kTraceColours[0]);
    EXPECT_GT(y36, y34);
    EXPECT_TRUE(DrawDayPlot(day, 7).isNull());
}
