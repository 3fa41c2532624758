// The walk over a channel's packets that turns samples into pen moves, shared by the trace view
// and the overview strip.
//
// Per sample the old program did: skip samples before the window, stop a packet at the first
// sample after it, and draw a line to the sample when it follows the previous one within 1.1
// intervals (else only move there). Drawn that way a dense trace costs a line per sample. The
// fast walk gives the same pixels at a fraction of the cost: it visits only the samples inside
// the window, and of the samples that fall into one pixel column it computes the pixel row of
// the extremes only. The vertical segments of one column cover every row between the highest
// and the lowest sample, except the last sample's row when the trace only arrives there at the
// end (a line leaves out its end pixel); that one case is settled by looking at the rows.
#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "tremlive/buffers.h"
#include "tremlive/drawing.h"

namespace tremlive {

// Whether the line from the previous sample goes on to t. A jump back in time (a packet out of
// order, or one sent twice) breaks the line as a gap does.
inline bool JoinsPrevious(double t, double previous, float interval) {
    return std::fabs(t - previous) <= kJoinIntervals * double(interval);
}

// Within a packet consecutive sample times differ by the interval up to rounding; the fast walk
// relies on that, so it keeps to packets whose times are far from the limits of a double.
inline bool OrdinaryPacket(const CTracePacket& p) {
    constexpr double kMaxTime = 1e10;      // seconds since 1970: the 24th century
    constexpr double kMinInterval = 1e-4;  // seconds; rounding of times stays far below it
    return double(p.interval) >= kMinInterval && std::fabs(p.firstTime) < kMaxTime &&
           std::fabs(p.endTime()) < kMaxTime;
}

// xRaw(t): the column before truncation, non-decreasing in t; rowOf(v): the screen row of a
// sample value (clamping included), non-increasing in v. lo and hi bound the samples' times. The
// packets that lie wholly before lo are passed by the channel's search, unseen.
template <class XRaw, class RowOf>
void WalkTrace(CTracePen& pen, const CDisplayChannel& channel, double lo, double hi, XRaw xRaw,
               RowOf rowOf, bool plain) {
    const auto& packets = channel.packets();
    double previous = -1.0;
    for (size_t k = channel.FirstPacketReaching(lo); k < packets.size(); ++k) {
        const CTracePacket& p = *packets[k];
        const int32_t* v = p.samples.data();
        if (plain || !OrdinaryPacket(p)) {
            for (int32_t j = 0; j < p.count; ++j) {
                double t = p.timeOf(j);
                if (t < lo) continue;
                if (t > hi) break;
                int x = ToPixel(xRaw(t));
                int row = rowOf(v[j]);
                if (JoinsPrevious(t, previous, p.interval)) {
                    pen.LineTo(x, row);
                } else {
                    pen.MoveTo(x, row);
                }
                previous = t;
            }
            continue;
        }
        // A packet wholly outside [lo, hi] is passed by its times alone: the buffered hours hold
        // thousands of them per channel, and their index arithmetic was a good part of a redraw.
        if (p.endTime() < lo || p.firstTime > hi) continue;
        const int32_t from = p.firstIndexAtOrAfter(lo);
        const int32_t to = p.firstIndexAfter(hi, from);
        if (from >= to) continue;
        // Samples per column, for the guess of where a column ends.
        double first = xRaw(p.timeOf(from));
        double perSample = to - from > 1 ? (xRaw(p.timeOf(to - 1)) - first) / (to - 1 - from) : 0;
        // Its reciprocal, so that the guess costs no division per column (it is only a guess).
        const double samplesPerColumn =
            perSample > 0 && std::isfinite(perSample) ? 1.0 / perSample : 0.0;
        // xRaw of sample j: the test that ended the column before has just computed it.
        double raw = first;
        int32_t j = from;
        while (j < to) {
            const double t = p.timeOf(j);
            const int x = ToPixel(raw);
            // e: the first index after j in another column. Guessed from the slope, then
            // settled with the exact column of the samples around it.
            int32_t e = j + 1;
            if (samplesPerColumn > 0) {
                double guess = std::ceil((std::floor(raw) + 1 - raw) * samplesPerColumn);
                if (guess > 1) e = int32_t(std::min<double>(j + guess, to));
            }
            while (e > j + 1 && ToPixel(xRaw(p.timeOf(e - 1))) > x) --e;
            double next = 0.0;
            while (e < to && ToPixel(next = xRaw(p.timeOf(e))) <= x) ++e;

            const int r1 = rowOf(v[j]);
            if (JoinsPrevious(t, previous, p.interval)) {
                pen.LineTo(x, r1);
            } else {
                pen.MoveTo(x, r1);
            }
            if (e - j > 1) {
                // Start points of the column's segments: j .. e-2; the end: e-1.
                int32_t vmin = v[j], vmax = v[j];
                for (int32_t i = j + 1; i < e - 1; ++i) {
                    vmin = std::min(vmin, v[i]);
                    vmax = std::max(vmax, v[i]);
                }
                const int rk = rowOf(v[e - 1]);
                const int top = rowOf(vmax);  // rows grow downward, values upward
                const int bottom = rowOf(vmin);
                if (top != bottom || top != rk) {
                    int runLo = std::min(top, rk), runHi = std::max(bottom, rk);
                    bool lastCovered;
                    if (rk > top && rk < bottom) {
                        lastCovered = true;
                    } else if (rk < top || rk > bottom) {
                        lastCovered = false;
                    } else {
                        // The last row is an extreme of the start points: covered only when the
                        // trace was there before and left it. The values of that row are those
                        // beyond a threshold, found by bisection on the monotonic row mapping.
                        const bool atTop = rk == top;
                        int64_t a = vmin, b = vmax;  // the threshold lies in a..b
                        while (a < b) {
                            if (atTop) {  // the lowest value still in the top row
                                int64_t m = a + (b - a) / 2;
                                bool there = rowOf(int32_t(m)) == rk;
                                b = there ? m : b;
                                a = there ? a : m + 1;
                            } else {  // the highest value still in the bottom row
                                int64_t m = a + (b - a + 1) / 2;
                                bool there = rowOf(int32_t(m)) == rk;
                                a = there ? m : a;
                                b = there ? b : m - 1;
                            }
                        }
                        const int32_t threshold = int32_t(a);
                        lastCovered = false;
                        bool seen = false;
                        for (int32_t i = j; i < e - 1 && !lastCovered; ++i) {
                            bool there = atTop ? v[i] >= threshold : v[i] <= threshold;
                            if (seen && !there) lastCovered = true;
                            seen = seen || there;
                        }
                    }
                    if (!lastCovered) {
                        if (rk == runLo) {
                            ++runLo;
                        } else {
                            --runHi;
                        }
                    }
                    if (runLo <= runHi) pen.Run(x, runLo, runHi);
                }
                pen.MoveTo(x, rk);
            }
            previous = p.timeOf(e - 1);
            j = e;
            raw = next;
        }
    }
}

}  // namespace tremlive
