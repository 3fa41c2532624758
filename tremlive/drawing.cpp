// Drawing of the trace view and the overview strip into off-screen images.
#include "tremlive/drawing.h"

#include <QFontMetrics>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "tremlive/tracewalk.h"
#include "util/util.h"

namespace tremlive {

namespace {

// Pixel values beyond these cannot be on any screen; converting them is clamped first.
constexpr double kPixelLimit = 1 << 20;
// A time axis longer than this (seconds) is not labelled: the settings allow a day at most, so
// only window times from before the first update could get here.
constexpr double kMaxAxisSpan = 10 * 86400.0;
// Time-label formats of the display program's time formatter.
constexpr int kDateFormat = 14;    // "07 Dec 2026 (341)"
constexpr int kTimeFormat = 15;    // "04:05:06"
constexpr int kReadoutFormat = 1;  // "Dec 07, 2026 04:05:06.789"
constexpr int kTickLength = 4;
// Time labels an axis carries at most (fewer when they would overlap).
constexpr double kMaxAxisLabels = 10;
constexpr int kViewFontPixels = 11;
constexpr const char* kNoDataText = "no data";

// GDI's FillRect: right and bottom edges excluded, an empty rectangle draws nothing.
void fillGdiRect(QPainter& p, int left, int top, int right, int bottom, const QColor& color) {
    if (right <= left || bottom <= top) return;
    p.fillRect(QRect(left, top, right - left, bottom - top), color);
}

// A line with GDI's pixels; width 2 (the strip's pens) goes through Qt.
void gdiLine(QPainter& p, int x0, int y0, int x1, int y1, const QColor& color, int width = 1,
             bool dotted = false) {
    if (width == 1) {
        CGdiLines lines(&p);
        lines.Line(x0, y0, x1, y1, color, dotted);
        return;
    }
    if (x0 == x1 && y0 == y1) return;
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(x0, y0, x1, y1);
}

// Calls plot for every pixel of the line from (x0, y0) toward (x1, y1), the end left out: along
// the longer axis one pixel a step, the other coordinate rounded.
template <class Plot>
void rasterize(int x0, int y0, int x1, int y1, Plot&& plot) {
    const int64_t dx = int64_t(x1) - x0, dy = int64_t(y1) - y0;
    const int64_t adx = dx < 0 ? -dx : dx, ady = dy < 0 ? -dy : dy;
    const int sx = dx > 0 ? 1 : -1, sy = dy > 0 ? 1 : -1;
    // Step i of n along the longer axis moves the other coordinate by
    // floor((2 * i * minor + n) / (2 * n)); kept as a running quotient and remainder.
    const bool xMajor = adx >= ady;
    const int64_t n = xMajor ? adx : ady, minor = xMajor ? ady : adx;
    int64_t rem = n;  // (2 * i * minor + n) less the whole steps taken, times 2n
    int x = x0, y = y0;
    for (int64_t i = 0; i < n; ++i) {
        plot(x, y, i);
        rem += 2 * minor;
        if (rem >= 2 * n) {
            rem -= 2 * n;
            if (xMajor) {
                y += sy;
            } else {
                x += sx;
            }
        }
        if (xMajor) {
            x += sx;
        } else {
            y += sy;
        }
    }
}

QRect gdiRect(int left, int top, int right, int bottom) {
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

QString dttostr(double t, int code) {
    return QString::fromLatin1(util_dttostr(t, code));
}

}  // namespace

int ToPixel(double v) {
    if (std::isnan(v)) return 0;
    return int(std::clamp(v, -kPixelLimit, kPixelLimit));
}

QFont ViewFont() {
    QFont font("DejaVu Sans");
    font.setPixelSize(kViewFontPixels);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

int MeasureAxisHeight(const QFont& font) {
    QFontMetrics fm(font);
    return 2 * fm.boundingRect(QRect(0, 0, 1000, 100), Qt::TextSingleLine, "WWW").height() + 8;
}

QString ReadoutTimeText(double t) {
    return dttostr(t, kReadoutFormat);
}

int64_t AxisTickStep(double span) {
    static constexpr int64_t kSteps[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                         600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
    for (int64_t step : kSteps)
        if (double(step) * kMaxAxisLabels >= span) return step;
    return kSteps[std::size(kSteps) - 1];
}

QString ChannelLabel(const CDisplayChannel& ch) {
    // A location of blanks (the wire's "none") or nothing at all adds no part.
    const bool noLocation = ch.location.find_first_not_of(' ') == std::string::npos;
    std::string name = ch.station + "." + ch.channel;
    if (!noLocation) name += "." + ch.location;
    return QString::fromStdString(name);
}

// Newest packets first: the displayed window is usually at the live edge, so the answer comes
// from the first packet or two, not from a look at every packet of the buffered hours (which
// took a fifth of a redraw). Packets wholly outside the window are passed by their times alone.
bool HasSamplesBetween(const CDisplayChannel& ch, double start, double end) {
    for (auto it = ch.packets().rbegin(); it != ch.packets().rend(); ++it) {
        const CTracePacket& p = **it;
        if (p.endTime() < start || p.firstTime > end) continue;
        const int32_t from = p.firstIndexAtOrAfter(start);
        if (p.firstIndexAfter(end, from) > from) return true;
    }
    return false;
}

// ---- CGdiLines ---------------------------------------------------------------------------------

CGdiLines::CGdiLines(QPainter* painter) : painter_(painter) {
    QPaintDevice* device = painter->device();
    if (device != nullptr && device->devType() == QInternal::Image) {
        auto* image = static_cast<QImage*>(device);
        // The painter has detached the image already, so bits() copies nothing.
        if (image->format() == QImage::Format_RGB32 || image->format() == QImage::Format_ARGB32) {
            bits_ = image->bits();
            stride_ = image->bytesPerLine();
            width_ = image->width();
            height_ = image->height();
        }
    }
}

void CGdiLines::plot(int x, int y, QRgb rgb) {
    if (bits_ != nullptr) {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
        *pixel(x, y) = rgb;
        return;
    }
    if (!points_.empty() && rgb != pointsColor_) Flush();
    pointsColor_ = rgb;
    points_.emplace_back(x, y);
}

void CGdiLines::Line(int x0, int y0, int x1, int y1, const QColor& color, bool dotted) {
    constexpr int64_t kDotLength = 3;
    const QRgb rgb = color.rgb();
    rasterize(x0, y0, x1, y1, [&](int x, int y, int64_t i) {
        if (!dotted || (i / kDotLength) % 2 == 0) plot(x, y, rgb);
    });
}

void CGdiLines::Run(int x, int lo, int hi, const QColor& color) {
    const QRgb rgb = color.rgb();
    if (bits_ != nullptr) {
        if (x < 0 || x >= width_) return;
        lo = std::max(lo, 0);
        hi = std::min(hi, height_ - 1);
        for (int y = lo; y <= hi; ++y) *pixel(x, y) = rgb;
        return;
    }
    for (int y = lo; y <= hi; ++y) plot(x, y, rgb);
}

void CGdiLines::Flush() {
    if (points_.empty()) return;
    painter_->setPen(QPen(QColor::fromRgb(pointsColor_), 1));
    painter_->drawPoints(points_.data(), int(points_.size()));
    points_.clear();
}

// ---- CTracePen --------------------------------------------------------------------------------

CTracePen::CTracePen(QPainter* painter, const QColor& color, bool plain)
    : lines_(painter), color_(color), plain_(plain) {}

void CTracePen::MoveTo(int x, int y) {
    cx_ = x;
    cy_ = y;
}

void CTracePen::LineTo(int x, int y) {
    if (plain_ || x != cx_) {
        lines_.Line(cx_, cy_, x, y, color_);
    } else if (y > cy_) {
        addRun(x, cy_, y - 1);  // downward: the end row is left out
    } else if (y < cy_) {
        addRun(x, y + 1, cy_);
    }
    cx_ = x;
    cy_ = y;
}

// The segments of one column form one run of rows as long as they touch; a run that does not
// touch the pending one (after a move) flushes it first. Same colour everywhere, so the order
// in which pixels are set does not matter.
void CTracePen::addRun(int x, int lo, int hi) {
    if (haveRun_ && x == runX_ && lo <= runHi_ + 1 && hi >= runLo_ - 1) {
        runLo_ = std::min(runLo_, lo);
        runHi_ = std::max(runHi_, hi);
        return;
    }
    Flush();
    haveRun_ = true;
    runX_ = x;
    runLo_ = lo;
    runHi_ = hi;
}

void CTracePen::Flush() {
    if (haveRun_) lines_.Run(runX_, runLo_, runHi_, color_);
    haveRun_ = false;
    lines_.Flush();
}

// ---- CTraceDrawing ----------------------------------------------------------------------------

CTraceDrawing::CTraceDrawing() : font(ViewFont()) {
    axisHeight = MeasureAxisHeight(font);
}

void CTraceDrawing::LayoutBands(CTraceBuffers& buffers, int w, int h) {
    width = w;
    height = h;
    int n = int(buffers.channels.size());
    if (n == 0) return;
    int bandHeight = (h - axisHeight) / n;  // the remainder stays background at the top
    for (int i = 0; i < n; ++i) {
        CDisplayChannel& ch = *buffers.channels[size_t(i)];
        ch.band.left = 2;
        ch.band.right = w - 1;
        ch.band.bottom = axisHeight + i * bandHeight;
        ch.band.top = axisHeight + i * bandHeight + bandHeight - 1;
        ch.plot.left = ch.band.left + kPlotOffset;
        ch.plot.right = ch.band.right - 1;
        ch.plot.bottom = ch.band.bottom + 1;
        ch.plot.top = ch.band.top - 1;
    }
}

bool CTraceDrawing::RedrawAll(CTraceBuffers& buffers, int w, int h) {
    if (w < kMinRedrawSize && h < kMinRedrawSize) return false;
    QImage image(std::max(w, 1), std::max(h, 1), QImage::Format_RGB32);
    std::vector<int> newTicks;
    {
        std::lock_guard<std::mutex> data(buffers.dataLock);
        if (buffers.autoFit) {
            for (size_t i = 0; i < buffers.channels.size(); ++i) buffers.FitScale(i, 0);
        }
        LayoutBands(buffers, w, h);
        image.fill(kNavy);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setFont(font);
        gdiLine(painter, 0, 0, 0, h, kBlack);
        drawTimeAxis(buffers, painter, &newTicks);
        for (size_t i = 0; i < buffers.channels.size(); ++i) DrawChannel(buffers, i, painter);
        painter.end();
    }
    // The data lock is released first: the bitmap lock is never taken inside it.
    std::lock_guard<std::mutex> bitmapGuard(bitmapLock);
    bitmap = std::move(image);
    ticks = std::move(newTicks);
    return true;
}

void CTraceDrawing::drawTimeAxis(CTraceBuffers& buffers, QPainter& painter,
                                 std::vector<int>* newTicks) {
    const int H = height;
    const int W = width;
    const int A = axisHeight;
    const double ds = buffers.displayedStart;
    const double de = buffers.displayedEnd;
    QFontMetrics fm(font);
    painter.setPen(kWhite);

    const int64_t step = AxisTickStep(de - ds);

    QString cornerDate = dttostr(ds, kDateFormat);
    QRect cornerSize = fm.boundingRect(QRect(0, 0, 10000, 1000), Qt::TextSingleLine, cornerDate);
    int th = cornerSize.height();
    painter.drawText(gdiRect(1, H - 2 * th - 1, 1 + cornerSize.width(), H - th - 1),
                     Qt::AlignLeft | Qt::AlignBottom | Qt::TextSingleLine, cornerDate);

    newTicks->clear();
    const int top = H - (A - 1);
    gdiLine(painter, kAxisLeft, top, W - 1, top, kWhite);
    gdiLine(painter, kAxisLeft, top, kAxisLeft, H - 1, kWhite);
    gdiLine(painter, W - 1, H - 1, W - 1, top, kBlack);
    gdiLine(painter, W - 1, H - 1, kAxisLeft, H - 1, kBlack);

    lastLabelRight_ = -100;
    if (!(de - ds <= kMaxAxisSpan) || !std::isfinite(ds)) return;
    // The first multiple of the step at or after the start, then every step.
    const int64_t first = int64_t(std::ceil(ds / double(step))) * step;
    for (int64_t s = first; double(s) < de; s += step) {
        int x = ToPixel((double(s) - ds) * double(W - 1 - kAxisLeft) / (de - ds) + kAxisLeft);
        QString time = dttostr(double(s), kTimeFormat);
        QString date = dttostr(double(s), kDateFormat);
        QRect tr = fm.boundingRect(QRect(0, 0, 10000, 1000), Qt::TextSingleLine, time);
        QRect dr = fm.boundingRect(QRect(0, 0, 10000, 1000), Qt::TextSingleLine, date);
        int thw = tr.width() / 2 + 1;
        int dhw = dr.width() / 2 + 1;
        int th1 = tr.height();
        int dh = dr.height();
        int left = std::min(x - thw, x - dhw);
        if (left <= lastLabelRight_ || left <= 100) continue;
        lastLabelRight_ = std::max(x + thw, x + dhw);
        painter.setPen(kWhite);
        painter.drawText(gdiRect(x - thw, H - 2 * th1 - 1, x + thw, H - th1 - 1),
                         Qt::AlignHCenter | Qt::AlignBottom | Qt::TextSingleLine, time);
        painter.drawText(gdiRect(x - dhw, H - dh - 1, x + dhw, H - 1),
                         Qt::AlignHCenter | Qt::AlignBottom | Qt::TextSingleLine, date);
        newTicks->push_back(x);
        gdiLine(painter, x, top, x, top + kTickLength, kWhite);
        gdiLine(painter, x + 1, top, x + 1, top + kTickLength, kBlack);
    }
}

void CTraceDrawing::DrawChannel(CTraceBuffers& buffers, size_t index, QPainter& painter) {
    CDisplayChannel& ch = *buffers.channels[index];
    if (ch.receivedPackets < kAutoScalePackets) buffers.FitScale(index, 1);
    const int H = height;
    const int L = ch.band.left, R = ch.band.right, B = ch.band.bottom, T = ch.band.top;
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setFont(font);

    fillGdiRect(painter, L - 1, H - T - 1, R + 1, H - B + 1, kNavy);
    fillGdiRect(painter, L, H - T, L + 99, H - B, kLightGrey);

    // The scale bracket beside the two scale values.
    gdiLine(painter, L + 92, H - B - 8, L + 92, H - T + 8, kBlack);
    gdiLine(painter, L + 92, H - B - 8, L + 96, H - B - 8, kBlack);
    gdiLine(painter, L + 92, H - T + 8, L + 96, H - T + 8, kBlack);

    painter.setPen(kBlack);
    // A band with nothing to show says so, and shows no scale: with no sample the scale would be
    // only its starting value, no amplitude of this channel.
    const bool empty = !HasSamplesBetween(ch, buffers.displayedStart, buffers.displayedEnd);
    if (!empty) {
        painter.drawText(gdiRect(L, H - T + 8, L + 90, H - T + 21), Qt::AlignRight | Qt::AlignTop,
                         QString::number(ch.scaleMax));
        painter.drawText(gdiRect(L, H - B - 21, L + 90, H - B + 8), Qt::AlignRight | Qt::AlignTop,
                         QString::number(ch.scaleMin));
    }
    painter.drawText(gdiRect(L + 5, H - T, L + 90, H - B),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, ChannelLabel(ch));

    drawTrace(ch, buffers, painter);
    drawGaps(ch, buffers, painter);
    if (empty) {
        painter.setPen(kLightGrey);
        painter.drawText(gdiRect(ch.plot.left, H - ch.plot.top, ch.plot.right, H - ch.plot.bottom),
                         Qt::AlignCenter | Qt::TextSingleLine, kNoDataText);
    }
}

void CTraceDrawing::drawTrace(const CDisplayChannel& ch, const CTraceBuffers& buffers,
                              QPainter& painter) {
    const int H = height;
    const double ds = buffers.displayedStart;
    const double de = buffers.displayedEnd;
    const int pl = ch.plot.left, pr = ch.plot.right, pb = ch.plot.bottom, pt = ch.plot.top;
    const int64_t mn = ch.scaleMin, mx = ch.scaleMax;
    if (mx <= mn) return;
    CTracePen pen(&painter, kYellow, plainTraces);
    auto xRaw = [=](double t) { return (t - ds) * double(pr - pl) / (de - ds) + pl; };
    auto rowOf = [=](int32_t sample) {
        int64_t v = std::clamp<int64_t>(sample, mn, mx);
        return H - int(pb + (v - mn) * int64_t(pt - pb) / (mx - mn));
    };
    // A collapsed band turns the rows upside down; the fast walk needs them in order.
    WalkTrace(pen, ch, ds, de, xRaw, rowOf, plainTraces || pt < pb);
}

void CTraceDrawing::drawGaps(const CDisplayChannel& ch, const CTraceBuffers& buffers,
                             QPainter& painter) {
    const int H = height;
    const double ds = buffers.displayedStart;
    const double de = buffers.displayedEnd;
    const int pl = ch.plot.left, pr = ch.plot.right, pb = ch.plot.bottom, pt = ch.plot.top;
    auto xOf = [&](double t) { return ToPixel((t - ds) * double(pr - pl) / (de - ds) + pl); };
    const int top = H - pt - 1;
    const int bottom = H - pb + 2;
    double d = ds;
    double lastInterval = -1.0;
    // The packets wholly before the window are passed unseen: d never falls below its start, so
    // each of them would only be skipped.
    const auto& packets = ch.packets();
    for (size_t k = ch.FirstPacketReaching(ds); k < packets.size(); ++k) {
        const auto& p = packets[k];
        double f = p->firstTime;
        double l = p->lastTime;
        double s = double(p->interval);
        if (d > l) continue;
        if (d > f) {
            d = l;  // overlaps what was already covered
            continue;
        }
        if (std::fabs(d - f) > s) fillGdiRect(painter, xOf(d), top, xOf(f), bottom, kGapBlue);
        d = p->endTime();
        lastInterval = s;
    }
    if (lastInterval > -1.0 && std::fabs(d - de) > lastInterval)
        fillGdiRect(painter, xOf(d), top, pr, bottom, kGapBlue);
}

QRect CTraceDrawing::RedrawChannels(CTraceBuffers& buffers, bool all,
                                    const std::function<void(size_t)>& change) {
    std::lock_guard<std::mutex> bitmapGuard(bitmapLock);
    std::lock_guard<std::mutex> data(buffers.dataLock);
    if (buffers.channels.empty()) return QRect();
    std::vector<size_t> which;
    if (all) {
        for (size_t i = 0; i < buffers.channels.size(); ++i) which.push_back(i);
    } else if (selected >= 0 && size_t(selected) < buffers.channels.size()) {
        which.push_back(size_t(selected));
    }
    for (size_t i : which) change(i);
    if (bitmap.isNull()) return QRect();
    bitmap.bits();  // unshare before painting: lines write into the pixels directly
    QPainter painter(&bitmap);
    for (size_t i : which) DrawChannel(buffers, i, painter);
    painter.end();
    if (all) return QRect(0, 0, width, height);
    if (which.empty()) return QRect();
    const CBandRect& b = buffers.channels[which[0]]->band;
    return gdiRect(b.left, height - b.top, b.right, height - b.bottom);
}

void CTraceDrawing::Paint(QPainter& painter, const CTraceBuffers& buffers) {
    std::lock_guard<std::mutex> bitmapGuard(bitmapLock);
    if (bitmap.isNull()) return;
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.drawImage(0, 0, bitmap);
    const int H = height;
    // The band rectangles change only in a layout, on this thread: read without the data lock.
    if (selected >= 0 && size_t(selected) < buffers.channels.size()) {
        const CBandRect& band = buffers.channels[size_t(selected)]->band;
        int x0 = band.left + 4, x1 = band.left + 96;
        int a = band.bottom + 4, b = band.top - 4;
        gdiLine(painter, x0, H - b, x1, H - b, kGrey);
        gdiLine(painter, x0, H - b, x0, H - a, kGrey);
        gdiLine(painter, x1, H - a, x1, H - b, kWhite);
        gdiLine(painter, x1 + 1, H - a, x1 + 1, H - b, kWhite);
        gdiLine(painter, x1, H - a, x0, H - a, kWhite);
        gdiLine(painter, x1, H - a + 1, x0, H - a + 1, kWhite);
    }
    for (int x : ticks) gdiLine(painter, x, H - axisHeight, x, 1, kBlack, 1, true);
}

int CTraceDrawing::BandAt(const CTraceBuffers& buffers, int y) const {
    int up = height - y;
    for (size_t i = 0; i < buffers.channels.size(); ++i) {
        const CBandRect& b = buffers.channels[i]->band;
        if (b.bottom <= up && up <= b.top) return int(i);
    }
    return -1;
}

std::optional<QString> CTraceDrawing::Readout(const CTraceBuffers& buffers, int x, int y) const {
    int up = height - y;
    for (const auto& ch : buffers.channels) {
        const CBandRect& p = ch->plot;
        if (x < p.left || x > p.right || up < p.bottom || up > p.top) continue;
        if (p.right <= p.left || p.top <= p.bottom) return std::nullopt;
        double ds = buffers.displayedStart, de = buffers.displayedEnd;
        double time = ds + (de - ds) * double(x - p.left) / double(p.right - p.left);
        double span = double(ch->scaleMax) - double(ch->scaleMin);
        double amplitude =
            span * double(up - p.bottom) / double(p.top - p.bottom) + double(ch->scaleMin) + 0.5;
        return QString("A:%1 T:%2").arg(qint64(amplitude)).arg(ReadoutTimeText(time));
    }
    return std::nullopt;
}

// ---- COverviewDrawing -------------------------------------------------------------------------

void COverviewDrawing::Clear() {
    std::lock_guard<std::mutex> lock(bitmapLock);
    bitmap = QImage();
}

double COverviewDrawing::ReadoutTime(const CTraceBuffers& buffers, int x) const {
    return buffers.bufferedStart + (buffers.bufferedEnd - buffers.bufferedStart) *
                                       double(x - kStripMargin) / double(width - 2 * kStripMargin);
}

double COverviewDrawing::ClickTime(const CTraceBuffers& buffers, int x) const {
    return buffers.bufferedStart + double(x - kStripMargin) *
                                       (buffers.bufferedEnd - buffers.bufferedStart) /
                                       double(width - 2 * kStripMargin);
}

void COverviewDrawing::Redraw(CTraceBuffers& buffers, int selected, int w, int h) {
    width = w;
    height = h;
    const int W = w, H = h;
    QImage image(std::max(w, 1), std::max(h, 1), QImage::Format_RGB32);
    image.fill(kStripBlue);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setFont(ViewFont());
    gdiLine(painter, 1, 0, W, 0, kWhite, 2);
    gdiLine(painter, 1, 0, 1, H, kWhite, 2);
    gdiLine(painter, W, H, W, 0, kGrey, 2);
    gdiLine(painter, W, H, 1, H, kGrey, 2);
    {
        std::lock_guard<std::mutex> data(buffers.dataLock);
        const double bs = buffers.bufferedStart, be = buffers.bufferedEnd;
        if (selected >= 0 && size_t(selected) < buffers.channels.size()) {
            const CDisplayChannel& ch = *buffers.channels[size_t(selected)];
            // Range pass: the strip's own range, the channel's scale is not touched.
            bool any = false;
            int32_t lo = std::numeric_limits<int32_t>::max();
            int32_t hi = std::numeric_limits<int32_t>::min();
            const auto& packets = ch.packets();
            for (size_t k = ch.FirstPacketReaching(bs); k < packets.size(); ++k) {
                const auto& p = packets[k];
                int32_t from = p->firstIndexAtOrAfter(bs);
                int32_t to = p->firstIndexAfter(be, from);
                const int32_t* v = p->samples.data();
                any = any || from < to;
                if (from == 0 && to == p->count && to > 0) {
                    lo = std::min(lo, p->minSample);
                    hi = std::max(hi, p->maxSample);
                    continue;
                }
                for (int32_t j = from; j < to; ++j) {
                    lo = std::min(lo, v[j]);
                    hi = std::max(hi, v[j]);
                }
            }
            if (!any) {
                lo = kInitialScaleMin;
                hi = kInitialScaleMax;
            }
            CTracePen pen(&painter, kYellow);
            const double xspan = double((W - kStripMargin) - kStripMargin);
            const double yspan = double((H - kStripMargin) - kStripMargin);
            auto xRaw = [=](double t) { return (t - bs) * xspan / (be - bs) + kStripMargin + 0.5; };
            // A constant signal sits in the middle row.
            auto rowOf = [=](int32_t v) {
                if (hi <= lo) return H - H / 2;
                return H -
                       ToPixel((double(v) - lo) * yspan / (double(hi) - lo) + kStripMargin + 0.5);
            };
            WalkTrace(pen, ch, bs, be, xRaw, rowOf, plainStrip);
        }
        int u = ToPixel(kStripMargin +
                        (W - 2 * kStripMargin) * (buffers.displayedStart - bs) / (be - bs) + 0.5);
        int g = ToPixel(kStripMargin +
                        (W - 2 * kStripMargin) * (buffers.displayedEnd - bs) / (be - bs) + 0.5);
        painter.setPen(QPen(kWhite, 2, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
        QPoint path[] = {{u, H - kStripMargin},
                         {g, H - kStripMargin},
                         {g, kStripMargin},
                         {u, kStripMargin},
                         {u, H - kStripMargin}};
        painter.drawPolyline(path, 5);
    }
    painter.end();
    std::lock_guard<std::mutex> lock(bitmapLock);
    bitmap = image;
}

}  // namespace tremlive
