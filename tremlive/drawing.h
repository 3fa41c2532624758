// The drawing of the live view and of its overview strip into off-screen images: band layout,
// traces with the 1.1-interval line rule, gap shading, the time axis, the paint step's selection
// marker and grid, and the mouse readouts. No widgets here: the view and strip widgets own one
// of these each, hand it their size and copy its image to the screen.
//
// Pixels follow the old GDI drawing: a line leaves out its last pixel (a 1-pixel QPen with
// Qt::FlatCap), filled rectangles exclude their right and bottom edges, antialiasing is off.
// Vertical values of band and plot rectangles are measured upward from the bottom edge; a value
// y is drawn at screen row H - y.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <QString>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "tremlive/buffers.h"

namespace tremlive {

// Colours, from the 0x00BBGGRR values of the old program.
inline const QColor kNavy(0x00, 0x00, 0x80);       // 0x800000: view and band background
inline const QColor kLightGrey(0xC0, 0xC0, 0xC0);  // label panel, empty view
inline const QColor kYellow(0xFF, 0xFF, 0x00);     // 0x00FFFF: traces
inline const QColor kGapBlue(0x00, 0x00, 0xC0);    // 0xC00000: gap shading
inline const QColor kStripBlue(0x00, 0x00, 0xFF);  // 0xFF0000: strip background
inline const QColor kGrey(0x80, 0x80, 0x80);
inline const QColor kBlack(0, 0, 0);
inline const QColor kWhite(0xFF, 0xFF, 0xFF);

// Geometry of a band: label panel width and where the plot begins, in pixels from band left.
inline constexpr int kPlotOffset = 102;
inline constexpr int kLabelColumnWidth = 104;
inline constexpr int kAxisLeft = 103;
inline constexpr int kMinRedrawSize = 30;
// Packets a channel must have received before it stops fitting itself to its whole buffer.
inline constexpr uint32_t kAutoScalePackets = 5;
// Consecutive samples further apart than this many intervals break the line.
inline constexpr double kJoinIntervals = 1.1;
// The overview strip: height and margin, in pixels.
inline constexpr int kStripHeight = 35;
inline constexpr int kStripMargin = 4;

// The small sans-serif font of every text of the view.
QFont ViewFont();
// 2 * height of "WWW" + 8: the two text lines of the time axis and their padding.
int MeasureAxisHeight(const QFont& font);

// Straight lines with the pixels of the old program's move-to/line-to: every pixel from the start
// toward the end, the end itself left out, whatever the direction (Qt's own lines leave out the
// lower-right end instead). Into an image the pixels are written directly; onto any other device
// they go through the painter as points.
class CGdiLines {
  public:
    explicit CGdiLines(QPainter* painter);
    ~CGdiLines() { Flush(); }
    // Dotted: three pixels on, three off, as a cosmetic dotted pen.
    void Line(int x0, int y0, int x1, int y1, const QColor& color, bool dotted = false);
    // Rows lo..hi of column x.
    void Run(int x, int lo, int hi, const QColor& color);
    void Flush();

  private:
    void plot(int x, int y, QRgb rgb);
    QRgb* pixel(int x, int y) const {
        return reinterpret_cast<QRgb*>(bits_ + qsizetype(y) * stride_) + x;
    }
    QPainter* painter_;
    // The pixels of the painter's device when it is an image (none otherwise), taken once: each
    // of QImage's own pixel accessors checks for sharing, a good part of a dense trace's cost.
    uchar* bits_ = nullptr;
    qsizetype stride_ = 0;
    int width_ = 0;
    int height_ = 0;
    std::vector<QPoint> points_;
    QRgb pointsColor_ = 0;
};

// The trace pen: move-to and line-to with the line rule above. Consecutive segments in one pixel
// column merge into one run of rows, so a dense trace costs one run per column instead of one
// line per sample; plain mode draws every segment (the reference the tests compare against).
class CTracePen {
  public:
    CTracePen(QPainter* painter, const QColor& color, bool plain = false);
    ~CTracePen() { Flush(); }
    void MoveTo(int x, int y);
    void LineTo(int x, int y);
    // Rows lo..hi of column x, as the vertical segments of one column would draw them.
    void Run(int x, int lo, int hi) { addRun(x, lo, hi); }
    void Flush();

  private:
    void addRun(int x, int lo, int hi);
    CGdiLines lines_;
    QColor color_;
    bool plain_;
    int cx_ = 0, cy_ = 0;
    bool haveRun_ = false;
    int runX_ = 0, runLo_ = 0, runHi_ = 0;
};

class CTraceDrawing {
  public:
    CTraceDrawing();

    // Guards the image and the tick list. Taken before the data lock when both are needed.
    std::mutex bitmapLock;
    QImage bitmap;           // null: none yet (paint draws nothing)
    std::vector<int> ticks;  // x of the time labels of the last full redraw

    int axisHeight = 34;  // A
    int width = 0;        // W as of the last layout
    int height = 0;       // H as of the last layout
    int selected = -1;    // selected channel; -1 none
    QFont font;
    // Draws every sample the straightforward way (for tests that compare against it).
    bool plainTraces = false;

    // Computes W, H and every channel's band and plot rectangles. Caller holds the data lock.
    void LayoutBands(CTraceBuffers& buffers, int w, int h);
    // Full redraw into a new image; false (nothing done) when the size is below 30 x 30.
    bool RedrawAll(CTraceBuffers& buffers, int w, int h);
    // One band into an image of the current size. Caller holds the data lock.
    void DrawChannel(CTraceBuffers& buffers, size_t index, QPainter& painter);
    // Partial redraw after a scale command: under the bitmap lock, then the data lock, runs
    // change on each affected channel and draws it again. Returns the screen rectangle to
    // repaint (empty when there is no image yet).
    QRect RedrawChannels(CTraceBuffers& buffers, bool all,
                         const std::function<void(size_t)>& change);
    // The paint step: the image, the selection marker and the grid. Caller holds neither lock.
    void Paint(QPainter& painter, const CTraceBuffers& buffers);

    // The channel whose band holds screen row y (x not tested), or -1.
    int BandAt(const CTraceBuffers& buffers, int y) const;
    // "A:%d T:%s" over a plot rectangle, or nothing. Caller holds the data lock.
    std::optional<QString> Readout(const CTraceBuffers& buffers, int x, int y) const;

  private:
    void drawTimeAxis(CTraceBuffers& buffers, QPainter& painter, std::vector<int>* newTicks);
    void drawTrace(const CDisplayChannel& ch, const CTraceBuffers& buffers, QPainter& painter);
    void drawGaps(const CDisplayChannel& ch, const CTraceBuffers& buffers, QPainter& painter);
    int lastLabelRight_ = -100;
};

class COverviewDrawing {
  public:
    std::mutex bitmapLock;  // guards the image only
    QImage bitmap;
    int width = 0;
    int height = 0;
    // Draws every sample the straightforward way (for tests that compare against it).
    bool plainStrip = false;

    // The whole buffered window of channel selected (none when -1) with the displayed-window
    // marker. Takes the data lock for the samples.
    void Redraw(CTraceBuffers& buffers, int selected, int w, int h);
    void Clear();
    // The buffered time under x, for the readout and for a click.
    double ReadoutTime(const CTraceBuffers& buffers, int x) const;
    double ClickTime(const CTraceBuffers& buffers, int x) const;
};

// Text of a time in the readout form "Dec 07, 2026 04:05:06.789".
QString ReadoutTimeText(double t);

// Seconds between the time labels of an axis span seconds long: the smallest round step (1, 2,
// 5, 10, 15 or 30 seconds or minutes, 1, 2, 3, 6, 12 or 24 hours) that gives at most ten labels.
// Labels fall on UTC multiples of it.
int64_t AxisTickStep(double span);

// A band's name: "ANMO.BHZ.00", or "ANMO.BHZ" for a channel without location.
QString ChannelLabel(const CDisplayChannel& ch);

// Whether the channel has a sample between start and end. Caller holds the data lock.
bool HasSamplesBetween(const CDisplayChannel& ch, double start, double end);

// Double to pixel: truncation toward zero, with values no screen can show (and NaN) held to a
// range where the conversion is defined.
int ToPixel(double v);

}  // namespace tremlive
