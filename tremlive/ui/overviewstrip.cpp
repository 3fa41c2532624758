// The overview strip widget.
#include "tremlive/ui/overviewstrip.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>

#include "tremlive/ui/traceview.h"

namespace tremlive {

COverviewStrip::COverviewStrip(CTremliveSession& session, CTraceView* view, QWidget* parent)
    : QWidget(parent), session_(session), view_(view) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setCursor(Qt::ArrowCursor);
}

void COverviewStrip::Redraw() {
    if (!session_.acquisition.Running()) return;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    drawing_.Redraw(view_->buffers(), view_->drawing().selected, width(), height());
    QGuiApplication::restoreOverrideCursor();
    update();
}

void COverviewStrip::Clear() {
    drawing_.Clear();
    update();
}

void COverviewStrip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    std::lock_guard<std::mutex> lock(drawing_.bitmapLock);
    if (drawing_.bitmap.isNull()) {
        painter.fillRect(rect(), kLightGrey);
        return;
    }
    painter.drawImage(0, 0, drawing_.bitmap);
}

void COverviewStrip::resizeEvent(QResizeEvent*) {
    Redraw();
}

void COverviewStrip::mouseMoveEvent(QMouseEvent* event) {
    int x = event->position().toPoint().x();
    int w = width();
    if (!session_.acquisition.Running() || x < kStripMargin || x > w - kStripMargin) return;
    if (w <= 2 * kStripMargin) return;
    drawing_.width = w;
    double t;
    {
        std::lock_guard<std::mutex> data(view_->buffers().dataLock);
        t = drawing_.ReadoutTime(view_->buffers(), x);
    }
    emit readout(ReadoutTimeText(t));
}

void COverviewStrip::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    int w = width();
    if (w <= 2 * kStripMargin) return;
    drawing_.width = w;
    double t;
    {
        std::lock_guard<std::mutex> data(view_->buffers().dataLock);
        t = drawing_.ClickTime(view_->buffers(), event->position().toPoint().x());
    }
    view_->buffers().MoveDisplayedWindow(t);
    Redraw();
    view_->RedrawAll();
}

}  // namespace tremlive
