// COverviewStrip, the 35-pixel strip below the view: the selected channel over the whole
// buffered window, and a click moves the displayed window there.
#pragma once

#include <QWidget>

#include "tremlive/drawing.h"
#include "tremlive/session.h"

namespace tremlive {

class CTraceView;

class COverviewStrip : public QWidget {
    Q_OBJECT
  public:
    COverviewStrip(CTremliveSession& session, CTraceView* view, QWidget* parent = nullptr);
    COverviewDrawing& drawing() { return drawing_; }
    // Redraws while the session's acquisition runs; otherwise leaves the strip as it is.
    void Redraw();
    void Clear();

  signals:
    void readout(const QString& text);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    const CTremliveSession& session_;
    CTraceView* view_;
    COverviewDrawing drawing_;
};

}  // namespace tremlive
