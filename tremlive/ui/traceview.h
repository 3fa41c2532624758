// CTraceView, the large child window: owns the channel buffers and their drawing, starts the
// session's acquisition run, copies the off-screen image to the screen and turns mouse events
// into a selection and readouts.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "tremlive/buffers.h"
#include "tremlive/drawing.h"
#include "tremlive/session.h"

namespace tremlive {

class CTraceView : public QWidget {
    Q_OBJECT
  public:
    explicit CTraceView(CTremliveSession& session, QWidget* parent = nullptr);

    CTraceBuffers& buffers() { return *buffers_; }
    CTraceDrawing& drawing() { return drawing_; }

    // Builds the display channels from the session's station list and starts the session's
    // acquisition run; ended is called on the thread when it ends.
    void StartAcquisition(std::function<void()> ended);
    void RedrawAll();
    // A scale command on the selected channel, or on all of them.
    void RedrawChannels(bool all, const std::function<void(size_t)>& change);
    void ClearView();
    // The library log the thread uses (none: standard output).
    void SetAcquisitionLog(LOGIO* log) { log_ = log; }

  signals:
    void updateView();  // the selected channel changed (the frame's command 555)
    void readout(const QString& text);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    CTremliveSession& session_;
    std::shared_ptr<CTraceBuffers> buffers_;
    CTraceDrawing drawing_;
    LOGIO* log_ = nullptr;
};

}  // namespace tremlive
