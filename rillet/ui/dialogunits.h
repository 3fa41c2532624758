// Dialog units, the size measure the window's layout is given in: a horizontal unit is a quarter
// of the font's average character width, a vertical unit an eighth of its height.
#pragma once

#include <QFontMetrics>
#include <QSize>
#include <QWidget>

inline QSize DialogUnitsToPixels(const QWidget* widget, QSize units) {
    QFontMetrics metrics(widget->font());
    return QSize(units.width() * metrics.averageCharWidth() / 4,
                 units.height() * metrics.height() / 8);
}
