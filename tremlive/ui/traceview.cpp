// The trace view widget.
#include "tremlive/ui/traceview.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>

namespace tremlive {

namespace {

// Shows the wait cursor for the life of the object.
struct WaitCursor {
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
};

}  // namespace

CTraceView::CTraceView(CTremliveSession& session, QWidget* parent)
    : QWidget(parent), session_(session), buffers_(std::make_shared<CTraceBuffers>()) {
    setAttribute(Qt::WA_OpaquePaintEvent);  // invalidations never erase
    setAutoFillBackground(false);
    setMouseTracking(true);
    setCursor(Qt::ArrowCursor);
}

void CTraceView::StartAcquisition(std::function<void()> ended) {
    const TremliveSettings& settings = session_.settings;
    {
        std::lock_guard<std::mutex> bitmap(drawing_.bitmapLock);
        std::lock_guard<std::mutex> data(buffers_->dataLock);
        buffers_->ClearChannels();
        for (const CStationConfig& s : session_.stations.stations) {
            for (const CChannelConfig& c : s.channels) {
                if (!c.selected) continue;
                auto ch = std::make_unique<CDisplayChannel>();
                ch->station = s.station;
                ch->channel = c.channel;
                ch->location = c.location;
                ch->samplesPerSecond = c.samplesPerSecond;
                buffers_->channels.push_back(std::move(ch));
            }
        }
        buffers_->displayedTime = settings.displayedTime;
        buffers_->bufferedTime = settings.bufferedTime;
        buffers_->delay = settings.delay;
        drawing_.selected = 0;
        drawing_.LayoutBands(*buffers_, width(), height());
    }
    CAcquisitionParams params;
    params.server = settings.server;
    params.port = settings.port;
    params.bufferedTime = settings.bufferedTime;
    params.log = log_;
    params.onEnded = std::move(ended);
    session_.acquisition.Start(buffers_, std::move(params));
}

void CTraceView::RedrawAll() {
    WaitCursor wait;
    if (drawing_.RedrawAll(*buffers_, width(), height())) update();
}

void CTraceView::RedrawChannels(bool all, const std::function<void(size_t)>& change) {
    QRect dirty = drawing_.RedrawChannels(*buffers_, all, change);
    if (!dirty.isEmpty()) update(dirty);
}

void CTraceView::ClearView() {
    {
        std::lock_guard<std::mutex> bitmap(drawing_.bitmapLock);
        std::lock_guard<std::mutex> data(buffers_->dataLock);
        buffers_->ClearChannels();
    }
    {
        std::lock_guard<std::mutex> bitmap(drawing_.bitmapLock);
        drawing_.bitmap = QImage();
        drawing_.ticks.clear();
    }
    update();
}

void CTraceView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QSize size;
    {
        std::lock_guard<std::mutex> bitmap(drawing_.bitmapLock);
        size = drawing_.bitmap.size();
    }
    // Without an image, or beyond an image older than a resize, the view shows the light grey
    // of its window class.
    QRegion uncovered = QRegion(rect()) - QRegion(QRect(QPoint(0, 0), size));
    for (const QRect& r : uncovered) painter.fillRect(r, kLightGrey);
    if (!size.isEmpty()) drawing_.Paint(painter, *buffers_);
}

void CTraceView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    int index = drawing_.BandAt(*buffers_, event->position().toPoint().y());
    if (index < 0) return;
    drawing_.selected = index;
    update(QRect(0, 0, kLabelColumnWidth, height()));
    emit updateView();
}

void CTraceView::mouseMoveEvent(QMouseEvent* event) {
    QPoint p = event->position().toPoint();
    std::optional<QString> text;
    {
        std::lock_guard<std::mutex> data(buffers_->dataLock);
        text = drawing_.Readout(*buffers_, p.x(), p.y());
    }
    if (text) emit readout(*text);
}

}  // namespace tremlive
