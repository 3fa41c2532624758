// The band layout, traces, gap shading, time axis, paint step, readouts and the overview strip,
// checked on the pixels of the off-screen images.
#include "tremlive/drawing.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <chrono>

#include "tremlive/qt_app.h"
#include "tremlive/trem_fixture.h"

using namespace tremlive;
using tremtest::AddChannel;
using tremtest::MakePacket;

namespace {

constexpr double T = 1796616306.0;        // 2026-12-07 04:05:06 UTC
constexpr double kAxis90 = 1796616270.0;  // 04:04:30, a multiple of 90 s

class Drawing : public ::testing::Test {
  protected:
    void SetUp() override { drawing_.axisHeight = 34; }
    // A channel whose own scale is left alone (past its first packets, no automatic fit).
    CDisplayChannel& channel(int32_t mn, int32_t mx) {
        CDisplayChannel& ch = AddChannel(&b_, "ABC", "BHZ", "00");
        ch.receivedPackets = 100;
        ch.scaleMin = mn;
        ch.scaleMax = mx;
        return ch;
    }
    void window(double start, double length) {
        b_.displayedStart = start;
        b_.displayedEnd = start + length;
        b_.bufferedStart = start - 1000;
        b_.bufferedEnd = start + length;
    }
    QColor at(int x, int y) const { return drawing_.bitmap.pixelColor(x, y); }
    int countColour(int x0, int x1, int y0, int y1, const QColor& c) const {
        int n = 0;
        for (int x = x0; x <= x1; ++x)
            for (int y = y0; y <= y1; ++y)
                if (at(x, y) == c) ++n;
        return n;
    }

    struct App {
        App() { tremtest::EnsureApp(); }
    } app_;  // before the drawing, which measures its font
    CTraceBuffers b_;
    CTraceDrawing drawing_;
};

TEST_F(Drawing, AxisHeightComesFromTheMeasuredFont) {
    EXPECT_EQ(MeasureAxisHeight(ViewFont()), 34);
    EXPECT_EQ(CTraceDrawing().axisHeight, 34);
}

TEST_F(Drawing, ThreeBandsOf155RowsAboveTheAxis) {
    for (int i = 0; i < 3; ++i) channel(-3000, 3000);
    drawing_.LayoutBands(b_, 800, 500);
    const CBandRect& band0 = b_.channels[0]->band;
    const CBandRect& band2 = b_.channels[2]->band;
    EXPECT_EQ(band0.bottom, 34);
    EXPECT_EQ(band0.top, 188);
    EXPECT_EQ(b_.channels[1]->band.bottom, 189);
    EXPECT_EQ(band2.bottom, 344);
    EXPECT_EQ(band2.top, 498);
    EXPECT_EQ(band0.left, 2);
    EXPECT_EQ(band0.right, 799);
    const CBandRect& plot = b_.channels[0]->plot;
    EXPECT_EQ(plot.left, 104);
    EXPECT_EQ(plot.right, 798);
    EXPECT_EQ(plot.bottom, 35);
    EXPECT_EQ(plot.top, 187);

    // The top row 499 (screen row 0) stays background.
    window(T - 900, 900);
    ASSERT_TRUE(drawing_.RedrawAll(b_, 800, 500));
    EXPECT_EQ(at(400, 0), kNavy);
    EXPECT_EQ(at(50, 500 - 498), kLightGrey);  // label panel of the top band
}

TEST_F(Drawing, TinyViewIsNotRedrawn) {
    channel(-3000, 3000);
    EXPECT_FALSE(drawing_.RedrawAll(b_, 20, 20));
    EXPECT_TRUE(drawing_.bitmap.isNull());
    EXPECT_TRUE(drawing_.RedrawAll(b_, 20, 40));  // only both sides below 30 stop it
}

TEST_F(Drawing, SamplesOutsideTheScaleAreDrawnAtThePlotEdges) {
    CDisplayChannel& ch = channel(-100, 100);
    window(T - 100, 100);
    std::vector<int32_t> s;
    for (int i = 0; i < 100; ++i) s.push_back(i % 2 ? 100000 : -100000);
    ch.AddPacket(MakePacket(T - 100, 1.0f, s));
    ASSERT_TRUE(drawing_.RedrawAll(b_, 600, 300));
    const int H = 300;
    const CBandRect& p = ch.plot;
    int topRow = H - p.top, bottomRow = H - p.bottom;
    EXPECT_GT(countColour(p.left, p.right, topRow, topRow, kYellow), 0);
    EXPECT_GT(countColour(p.left, p.right, bottomRow, bottomRow, kYellow), 0);
    EXPECT_EQ(countColour(p.left, p.right, topRow - 3, topRow - 1, kYellow), 0);
    EXPECT_EQ(countColour(p.left, p.right, bottomRow + 1, bottomRow + 3, kYellow), 0);
}

TEST_F(Drawing, HoleBreaksTheLineAndIsShaded) {
    CDisplayChannel& ch = channel(-100, 100);
    window(T - 100, 100);
    ch.AddPacket(MakePacket(T - 80, 1.0f, std::vector<int32_t>(20, 50)));
    // Ten samples missing: the next packet starts at T - 50 instead of T - 60.
    ch.AddPacket(MakePacket(T - 50, 1.0f, std::vector<int32_t>(50, -50)));
    ASSERT_TRUE(drawing_.RedrawAll(b_, 600, 300));
    const int H = 300;
    const CBandRect& p = ch.plot;
    auto x = [&](double t) {
        return int((t - b_.displayedStart) * (p.right - p.left) / 100.0 + p.left);
    };
    // Before the first packet: shaded from the displayed start.
    EXPECT_EQ(at(x(T - 90), H - (p.top + p.bottom) / 2), kGapBlue);
    // Inside the hole: shaded, and no yellow from the end of one packet to the start of the next.
    EXPECT_EQ(at(x(T - 55), H - (p.top + p.bottom) / 2), kGapBlue);
    EXPECT_EQ(countColour(x(T - 61) + 1, x(T - 50) - 1, H - p.top, H - p.bottom, kYellow), 0);
    // Within each packet the line is drawn.
    EXPECT_GT(countColour(x(T - 79), x(T - 62), 0, H - 1, kYellow), 0);
    EXPECT_GT(countColour(x(T - 49), x(T - 2), 0, H - 1, kYellow), 0);
}

TEST_F(Drawing, LineJoinsWithinElevenTenthsOfAnInterval) {
    struct Case {
        double secondStart;
        bool joined;
    } cases[] = {{T - 50 + 1.0, true},
                 {T - 50 + 1.1, true},
                 {T - 50 + 1.15, false},
                 {T - 70, false}};  // a packet back in time breaks the line too
    for (const Case& c : cases) {
        b_.channels.clear();
        CDisplayChannel& ch = channel(-100, 100);
        window(T - 100, 100);
        ch.AddPacket(MakePacket(T - 51, 1.0f, {100, 100}));  // last sample at T - 50
        ch.AddPacket(MakePacket(c.secondStart, 1.0f, {-100, -100}));
        ASSERT_TRUE(drawing_.RedrawAll(b_, 1100, 300));
        const int H = 300;
        const CBandRect& p = ch.plot;
        // The join is a steep line from the top row down to the bottom row: look for yellow in
        // the middle rows.
        int mid = H - (p.top + p.bottom) / 2;
        int yellow = countColour(p.left, p.right, mid - 2, mid + 2, kYellow);
        EXPECT_EQ(yellow > 0, c.joined) << c.secondStart - T;
    }
}

// Data with gaps, overlaps, duplicates and packets out of order, dense and sparse, drawn the
// fast way and sample by sample: the images must be identical.
TEST_F(Drawing, FastDrawingGivesThePixelsOfThePlainOne) {
    const double start = T - 900;
    struct Layout {
        int w, h;
        float interval;
        double span;
        int levels;  // distinct sample values; few make many samples share a row
    } layouts[] = {{900, 400, 0.01f, 900, 6001}, {300, 200, 0.05f, 120, 6001},
                   {1200, 600, 1.0f, 900, 6001}, {700, 300, 0.025f, 30, 6001},
                   {900, 400, 0.01f, 900, 5},    {500, 150, 0.1f, 600, 3}};
    for (const Layout& l : layouts) {
        b_.channels.clear();
        window(start, l.span);
        for (int c = 0; c < 3; ++c) {
            CDisplayChannel& ch = channel(-2000, 2000);
            ch.receivedPackets = c == 1 ? 2 : 100;  // one channel fits itself to its buffer
            uint32_t seed = 12345u + uint32_t(c);
            auto next = [&seed, &l] {
                seed = seed * 1103515245u + 12345u;
                return int32_t((seed >> 8) % uint32_t(l.levels)) - l.levels / 2;
            };
            double t = start - 30;
            int n = int(l.span / l.interval / 40) + 3;
            std::vector<double> starts;
            for (int k = 0; k < 40; ++k) {
                starts.push_back(t);
                t += n * double(l.interval);
                if (k % 7 == 3) t += 10 * double(l.interval);    // a hole
                if (k % 11 == 5) t -= 4 * double(l.interval);    // an overlap
                if (k % 13 == 6) t += 0.5 * double(l.interval);  // a jitter
            }
            std::swap(starts[10], starts[12]);  // out of order
            starts.push_back(starts[20]);       // sent again
            for (double s0 : starts) {
                std::vector<int32_t> v(static_cast<size_t>(n));
                for (int32_t& x : v) x = next();
                ch.AddPacket(MakePacket(s0, l.interval, v));
            }
        }
        b_.autoFit = 1;
        drawing_.plainTraces = false;
        ASSERT_TRUE(drawing_.RedrawAll(b_, l.w, l.h));
        QImage fast = drawing_.bitmap;
        for (auto& ch : b_.channels) ch->receivedPackets = ch->receivedPackets == 2 ? 2 : 100;
        drawing_.plainTraces = true;
        ASSERT_TRUE(drawing_.RedrawAll(b_, l.w, l.h));
        QImage plain = drawing_.bitmap;
        ASSERT_EQ(fast.size(), plain.size());
        int differing = 0;
        for (int y = 0; y < fast.height(); ++y)
            for (int x = 0; x < fast.width(); ++x)
                if (fast.pixel(x, y) != plain.pixel(x, y)) ++differing;
        EXPECT_EQ(differing, 0) << l.w << "x" << l.h << " interval " << l.interval;
        EXPECT_GT(countColour(0, l.w - 1, 0, l.h - 1, kYellow), 0);

        // The strip over the whole buffer, of the channel with the most packets in it.
        b_.bufferedStart = start - 60;
        COverviewDrawing strip;
        strip.Redraw(b_, 2, l.w, kStripHeight);
        QImage fastStrip = strip.bitmap;
        strip.plainStrip = true;
        strip.Redraw(b_, 2, l.w, kStripHeight);
        EXPECT_TRUE(fastStrip == strip.bitmap) << "strip " << l.w << " interval " << l.interval;
    }
}

TEST_F(Drawing, TimeAxisLabelsFallOnRoundStepsWithoutOverlap) {
    // At most ten labels, on the next round step: 15 min is 90 s a tenth, so 2 min; 71 min
    // (a whole record of the Chile earthquake) 10 min; a day 3 h.
    struct Step {
        double span;
        int64_t step;
    } steps[] = {{5, 1}, {120, 15}, {900, 120}, {4260, 600}, {86400, 10800}, {864000, 86400}};
    for (const Step& c : steps) EXPECT_EQ(AxisTickStep(c.span), c.step) << c.span;

    channel(-3000, 3000);
    struct Case {
        double span;
        int width;
        int step;
    } cases[] = {{900, 1200, 120}, {900, 600, 120}, {5, 1200, 1}, {5, 300, 1}, {4260, 1200, 600}};
    for (const Case& c : cases) {
        window(kAxis90, c.span);
        ASSERT_TRUE(drawing_.RedrawAll(b_, c.width, 400));
        const std::vector<int>& ticks = drawing_.ticks;
        ASSERT_FALSE(ticks.empty()) << c.span << " " << c.width;
        int last = -1000;
        int candidates = 0;
        for (int64_t s = int64_t(kAxis90); double(s) < kAxis90 + c.span; ++s) {
            if (s % c.step != 0) continue;
            int x = int(double(s - int64_t(kAxis90)) * (c.width - 1 - 103) / c.span + 103);
            ++candidates;
            bool drawn = std::find(ticks.begin(), ticks.end(), x) != ticks.end();
            if (drawn) {
                EXPECT_GT(x - last, 100) << "labels overlap at " << x;  // a date is ~103 px wide
                last = x;
            }
        }
        // A candidate in or near the label column (x = 103 for a start on a step) is skipped.
        EXPECT_LE(int(ticks.size()), candidates);
        EXPECT_GT(ticks.front(), 103 + 50);
        // Tick marks: white at x, black at x + 1, below the strip's top edge.
        int row = 400 - (34 - 1) + 1;
        EXPECT_EQ(at(ticks.front(), row), kWhite);
        EXPECT_EQ(at(ticks.front() + 1, row), kBlack);
    }
    // 900 s from 04:04:30 on 1200 pixels: every label fits, at 04:06:00, 04:08:00, ... 04:18:00.
    window(kAxis90, 900);
    ASSERT_TRUE(drawing_.RedrawAll(b_, 1200, 400));
    ASSERT_EQ(drawing_.ticks.size(), 7u);
    EXPECT_EQ(drawing_.ticks[0], int(90.0 * 1096 / 900 + 103));
}

// A band is named without a trailing dot when its channel has no location; a band with nothing
// in the displayed window says "no data" and shows no scale, which would be no amplitude of it.
TEST_F(Drawing, BandsAreNamedAndAnEmptyOneSaysSo) {
    EXPECT_EQ(ChannelLabel(AddChannel(&b_, "SIM1", "BHZ", "  ")), "SIM1.BHZ");
    EXPECT_EQ(ChannelLabel(AddChannel(&b_, "SIM1", "BHZ", "")), "SIM1.BHZ");
    b_.channels.clear();
    CDisplayChannel& empty = channel(-3000, 3000);
    CDisplayChannel& full = channel(-100, 100);
    EXPECT_EQ(ChannelLabel(full), "ABC.BHZ.00");
    window(T - 100, 100);
    full.AddPacket(MakePacket(T - 100, 1.0f, std::vector<int32_t>(100, 50)));
    empty.AddPacket(MakePacket(T - 300, 1.0f, std::vector<int32_t>(100, 50)));  // before
    ASSERT_TRUE(drawing_.RedrawAll(b_, 600, 300));
    const int H = 300;
    for (const CDisplayChannel* ch : {&empty, &full}) {
        const bool isEmpty = ch == &empty;
        const CBandRect& p = ch->plot;
        const int middle = H - (p.top + p.bottom) / 2;
        int marked = 0;  // anything but background and trace in the middle of the plot
        for (int x = p.left; x <= p.right; ++x)
            for (int y = middle - 5; y <= middle + 5; ++y)
                if (at(x, y) != kNavy && at(x, y) != kYellow && at(x, y) != kGapBlue) ++marked;
        EXPECT_EQ(marked > 0, isEmpty) << ChannelLabel(*ch).toStdString();
        // The scale values: text on the label panel's grey in its top and bottom rows.
        const CBandRect& b = ch->band;
        const int panel = 2 * 13 * 90;
        int scaleText =
            panel - countColour(b.left, b.left + 89, H - b.top + 8, H - b.top + 20, kLightGrey) -
            countColour(b.left, b.left + 89, H - b.bottom - 21, H - b.bottom - 9, kLightGrey);
        EXPECT_EQ(scaleText > 0, !isEmpty) << ChannelLabel(*ch).toStdString();
    }
}

TEST_F(Drawing, PaintAddsTheSelectionMarkerAndTheGrid) {
    channel(-3000, 3000);
    channel(-3000, 3000);
    window(kAxis90, 900);
    drawing_.selected = 1;
    ASSERT_TRUE(drawing_.RedrawAll(b_, 1200, 400));
    QImage screen(1200, 400, QImage::Format_RGB32);
    screen.fill(Qt::red);
    {
        QPainter p(&screen);
        drawing_.Paint(p, b_);
    }
    const int H = 400;
    const CBandRect& band = b_.channels[1]->band;
    int x0 = band.left + 4, x1 = band.left + 96;
    int a = band.bottom + 4, top = band.top - 4;
    EXPECT_EQ(screen.pixelColor(x0 + 10, H - top), kGrey);
    EXPECT_EQ(screen.pixelColor(x0, H - top + 10), kGrey);
    EXPECT_EQ(screen.pixelColor(x1 + 1, H - a - 10), kWhite);
    EXPECT_EQ(screen.pixelColor(x0 + 10, H - a + 1), kWhite);
    // The other band has no marker.
    const CBandRect& other = b_.channels[0]->band;
    EXPECT_EQ(screen.pixelColor(other.left + 14, H - (other.top - 4)), kLightGrey);
    // The dotted grid runs up the view at every tick.
    int x = drawing_.ticks.front();
    int black = 0;
    for (int y = 2; y < H - 34; ++y)
        if (screen.pixelColor(x, y) == kBlack) ++black;
    EXPECT_GT(black, (H - 40) / 3);
    EXPECT_LT(black, H - 36);  // dotted, not solid
}

TEST_F(Drawing, ReadoutShowsAmplitudeAndTimeUnderTheMouse) {
    CDisplayChannel& ch = channel(-3000, 3000);
    window(T + 0.789, 900);
    drawing_.LayoutBands(b_, 800, 500);
    const int H = 500;
    const CBandRect& p = ch.plot;
    struct Case {
        int x, row;
        const char* text;
    } cases[] = {
        {p.left, H - p.top, "A:3000 T:Dec 07, 2026 04:05:06.789"},
        // -3000 + 0.5 truncates toward zero.
        {p.left, H - p.bottom, "A:-2999 T:Dec 07, 2026 04:05:06.789"},
        {p.right, H - p.top, "A:3000 T:Dec 07, 2026 04:20:06.789"},
    };
    for (const Case& c : cases) {
        std::optional<QString> text = drawing_.Readout(b_, c.x, c.row);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(text->toStdString(), c.text);
    }
    EXPECT_FALSE(drawing_.Readout(b_, p.left - 1, H - p.top).has_value());
    EXPECT_FALSE(drawing_.Readout(b_, p.left, H - p.top - 1).has_value());
    EXPECT_EQ(drawing_.BandAt(b_, H - ch.band.top), 0);
    EXPECT_EQ(drawing_.BandAt(b_, H - ch.band.top - 1), -1);
}

TEST_F(Drawing, StripShowsTheSelectedChannelAndTheDisplayedWindow) {
    CDisplayChannel& ch = channel(-3000, 3000);
    window(T - 900, 900);
    ch.AddPacket(MakePacket(T - 500, 1.0f, std::vector<int32_t>(100, 42)));
    COverviewDrawing strip;
    strip.Redraw(b_, 0, 400, kStripHeight);
    const int W = 400, H = kStripHeight;
    // A constant signal sits in the middle row.
    int x = int((T - 450 - b_.bufferedStart) * (W - 8) / (b_.bufferedEnd - b_.bufferedStart) + 4.5);
    EXPECT_EQ(strip.bitmap.pixelColor(x, H - H / 2), kYellow);
    // The marker of the displayed window: its left side at u.
    int u = int(
        4 + (W - 8) * (b_.displayedStart - b_.bufferedStart) / (b_.bufferedEnd - b_.bufferedStart) +
        0.5);
    EXPECT_EQ(strip.bitmap.pixelColor(u, H / 2 + 5), kWhite);
    EXPECT_EQ(strip.bitmap.pixelColor(W / 4, H / 2), kStripBlue);
    // Clicks at the margins name the buffered start and end.
    EXPECT_DOUBLE_EQ(strip.ClickTime(b_, 4), b_.bufferedStart);
    EXPECT_DOUBLE_EQ(strip.ClickTime(b_, W - 4), b_.bufferedEnd);
}

TEST_F(Drawing, AbsurdPacketsAndWindowsNeitherCrashNorStall) {
    CDisplayChannel& ch = channel(-3000, 3000);
    ch.receivedPackets = 0;
    window(T - 900, 900);
    ch.AddPacket(MakePacket(1e300, 1.0f, {1, 2, 3}));
    ch.AddPacket(MakePacket(-1e300, 1.0f, {1, 2, 3}));
    ch.AddPacket(MakePacket(T - 10, 1e-30f, std::vector<int32_t>(1000, 7)));
    ch.AddPacket(MakePacket(T - 10, 3e30f, {4, 5}));
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(drawing_.RedrawAll(b_, 400, 200));
    COverviewDrawing strip;
    strip.Redraw(b_, 0, 400, kStripHeight);
    // Window times from before the first update: all zero.
    CTraceBuffers fresh;
    AddChannel(&fresh, "ABC", "BHZ", "00");
    EXPECT_TRUE(drawing_.RedrawAll(fresh, 400, 200));
    strip.Redraw(fresh, 0, 400, kStripHeight);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

}  // namespace
