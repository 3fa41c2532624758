// MainFrame, Tremlive's only top-level window: the idle and running toolbars, the status bar
// with its readout pane, the trace view above the overview strip, the 1-second refresh timer,
// and every command.
#pragma once

#include <QMainWindow>
#include <QStyle>
#include <QTimer>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "tremlive/refresh.h"
#include "tremlive/session.h"

class QLabel;
class QToolBar;
class QAction;

namespace tremlive {

class CTraceView;
class COverviewStrip;

// Command identifiers of the toolbars and the internal messages.
enum Command : int {
    ID_RUN = 32771,
    ID_CONFIG = 32772,
    ID_FIT_DISPLAYED = 32773,
    ID_STOP = 32775,
    ID_EXPAND_VERTICAL = 32776,
    ID_CONTRACT_VERTICAL = 32777,
    ID_SHIFT_DOWN = 32778,
    ID_SHIFT_UP = 32779,
    ID_FIT_BUFFERED = 32782,
    ID_AUTO_FIT = 32784,
    ID_APP_ABOUT = 57664,
    ID_CMD_UPDATE_VIEW = 555,
    ID_CMD_ACQUISITION_ENDED = 556,
};

inline constexpr int kTraceViewId = 901;
inline constexpr int kOverviewStripId = 902;
inline constexpr int kReadoutPaneWidth = 250;
inline constexpr int kRefreshTimerMs = 1000;
// How long closing the window waits for the acquisition thread: the library's 30 s read
// time-out, the thread's 2 s pause and some slack.
inline constexpr int kCloseWaitMs = 40000;

class MainFrame : public QMainWindow {
    Q_OBJECT
  public:
    // The session outlives the window.
    explicit MainFrame(CTremliveSession& session, QWidget* parent = nullptr);
    ~MainFrame() override;

    // Carries out a command. shift overrides the keyboard state (tests); none reads it.
    void OnCommand(int id, std::optional<bool> shift = std::nullopt);
    // One tick of timer 1.
    void OnTimer();
    // The refresh: window times, purge, full redraw of the view and the strip.
    void Refresh();

    CTraceView* view() const { return view_; }
    COverviewStrip* strip() const { return strip_; }
    QToolBar* toolBar() const { return toolBar_; }
    QLabel* readoutPane() const { return readout_; }
    // The run's state at the left of the status bar: stopped, running (server and channels), or
    // stopping until the acquisition thread has ended.
    QLabel* statePane() const { return state_; }
    QTimer* refreshTimer() { return &timer_; }
    bool Running() const;
    // The clock of the refresh (seconds since 1970); tests replace it.
    void SetClock(std::function<double()> clock) { clock_ = std::move(clock); }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void loadIdleToolbar();
    void loadRunningToolbar();
    QAction* addCommand(int id, const QString& prompt, const QString& tip,
                        QStyle::StandardPixmap icon);
    void layoutChildren();
    bool eventFilter(QObject* watched, QEvent* event) override;

    CTremliveSession& session_;
    QToolBar* toolBar_ = nullptr;
    QLabel* readout_ = nullptr;
    QLabel* state_ = nullptr;
    QWidget* central_ = nullptr;
    CTraceView* view_ = nullptr;
    COverviewStrip* strip_ = nullptr;
    QAction* autoFit_ = nullptr;
    QTimer timer_;
    CRefreshCountdown countdown_;
    std::function<double()> clock_;

    // The thread's way back to this window; emptied when the window goes away, so a thread
    // that outlives it posts nothing.
    struct EndTarget {
        std::mutex mutex;
        MainFrame* frame = nullptr;
    };
    std::shared_ptr<EndTarget> endTarget_;
};

}  // namespace tremlive
