// The pictures of what the archive holds, drawn into images with Qt's painter (no window): the
// coverage of many channels over a window, and the day plot of one channel. Built where Qt's GUI
// module is found; the numbers come from kvr/ (availability.h, channel_day.h).
#pragma once

#include <QColor>
#include <QImage>
#include <string>

#include "kvr/availability.h"
#include "kvr/channel_day.h"

namespace kvrplot {

// Colours the tests look for where the data put them.
inline const QColor kSpanGreen(0x2E, 0x8B, 0x57);  // data
inline const QColor kGapRed(0xE0, 0x40, 0x30);     // no data inside the window
inline const QColor kRowLight(0xFF, 0xFF, 0xFF);   // row backgrounds, alternating
inline const QColor kRowShade(0xF0, 0xF0, 0xF0);
// The day plot's lines, in turn from the top.
inline const QColor kTraceColours[] = {QColor(0x00, 0x00, 0x00), QColor(0xC0, 0x00, 0x00),
                                       QColor(0x00, 0x00, 0xC0), QColor(0x00, 0x80, 0x00)};

// Geometry of the coverage picture, in pixels.
inline constexpr int kCoverageWidth = 1200;
inline constexpr int kLabelWidth = 150;  // channel names left of the plot
inline constexpr int kCoverageTop = 40;  // title above the first row
inline constexpr int kAxisHeight = 40;   // the time axis below the last row
inline constexpr int kRightMargin = 20;
inline constexpr int kMaxRowHeight = 18;  // a few channels get rows this tall
inline constexpr int kMinRowHeight = 3;   // a thousand channels still one row each

// The coverage picture: one row per channel over the window a->begin .. a->end, spans as bars,
// gaps in a contrasting colour, the channel's name on the left (every row's while they fit, else
// every n-th), a UTC time axis whose ticks suit the window (minutes, hours, days or months), and
// a title with the window. A null image when there is no channel or no window.
QImage DrawCoverage(const KVR_AVAILABILITY& a);
// The x of time t in a coverage picture of width kCoverageWidth over [begin, end).
int CoverageX(double t, double begin, double end);
// The y of the middle of row `row` of a picture of `rows` channels.
int CoverageRowY(int row, int rows);

// Geometry of the day plot.
inline constexpr int kDayWidth = 1400;
inline constexpr int kDayHeight = 1000;
inline constexpr int kDayLeft = 70;  // hour labels
inline constexpr int kDayTop = 50;   // title
inline constexpr int kDayBottom = 30;
inline constexpr int kDayRight = 20;
// How the lines are scaled: the amplitude below which this fraction of the day's samples lie
// (around each line's median) takes kScaleSpacing of a line's spacing; larger ones are clipped at
// kClipSpacing.
inline constexpr double kScalePercentile = 0.995;
inline constexpr double kScaleSpacing = 0.45;
inline constexpr double kClipSpacing = 1.0;

// The day plot ("helicorder"): the day from day.dayStart in lines of lineMinutes (15, 30 or 60)
// from the top, colours in turn, each line around its own median and all scaled alike, clipped,
// gaps left blank, UTC times of the lines on the left, the stream and day in the title.
QImage DrawDayPlot(const KVR_CHANNEL_DAY& day, int lineMinutes);
// The y of the middle of line `line` (from 0 at the top) of a day plot of `lines` lines, and the
// x of second `second` of a line of lineSeconds.
int DayLineY(int line, int lines);
int DayX(double second, double lineSeconds);

// Makes the application object that fonts and images need, on Qt's off-screen platform unless
// another was chosen; once per process.
void StartOffscreen();

// Saves an image as PNG; false with *error when it cannot be written.
bool SavePng(const QImage& image, const std::string& path, std::string* error);

}  // namespace kvrplot
