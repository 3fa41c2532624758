#include "rillet/ui/programicon.h"

#include <QPainter>
#include <QPixmap>
#include <QPolygonF>

namespace {

constexpr int kIconSize = 32;  // pixels; Qt scales it for the tray and the title bar

}  // namespace

QIcon RilletIcon() {
    QPixmap pixmap(kIconSize, kIconSize);
    pixmap.fill(QColor(0x10, 0x30, 0x60));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x80, 0xff, 0x80), 2));
    // A quiet trace with one event in the middle.
    const double y[] = {16, 15, 17, 16, 10, 25, 5, 27, 12, 19, 15, 17, 16, 16};
    QPolygonF trace;
    const int points = static_cast<int>(sizeof y / sizeof y[0]);
    for (int i = 0; i < points; ++i)
        trace << QPointF(2 + i * (kIconSize - 4.0) / (points - 1), y[i]);
    painter.drawPolyline(trace);
    painter.end();
    return QIcon(pixmap);
}
