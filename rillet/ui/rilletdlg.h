// CRilletDlg: the recorder's main window. It lists every recorded channel with the time of its
// latest packet, shows the worker's status and the number of packets received, and carries the
// "Silent mode" box (ticked at start: the worker then reports only its connection steps). It
// starts the session's worker when it is made and stops it when the program ends; it keeps the
// map from channels to its rows.
//
// The program also shows a notification-area icon (tool tip "NRTS->KVR"). A left click on it
// opens the pop-up menu "Активизировать программу" / "Завершить работу"; closing the window only
// hides it. Where the desktop has no notification area nobody could bring a hidden window back,
// so closing then ends the program.
//
// Every way of ending (the pop-up's exit, Enter, Escape, a close without a notification area, a
// session logout, SIGTERM through the program) goes through OnRecorderExit: the icon is removed,
// the worker stops at the next packet boundary and writes every pending run with its row and
// resume time, as the headless recorder does on SIGTERM. programEnded() then tells the program to
// leave its event loop.
//
// Qt has no system menu: "&About Rillet..." is on the window's context menu (right click).
#pragma once

#include <QDialog>
#include <QSystemTrayIcon>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QMenu;
class QTimer;
class QTreeWidget;
class CRecorderSession;
class CRecorderWorker;

// Command numbers of the window's actions, kept as the actions' data (scripts and tests name them).
inline constexpr int kIdAbout = 16;             // system menu "&About Rillet..."
inline constexpr int kIdPopupExit = 40001;      // "Завершить работу"
inline constexpr int kIdPopupActivate = 40002;  // "Активизировать программу"
inline constexpr int kIdRecorderExit = 8888;    // posted by the pop-up's exit

// Name of the registered tray notification message; here the object name of the tray icon, whose
// activated() signal carries those notifications.
inline constexpr const char* kTrayMessageName = "NRTSREADMESSAGE";
inline constexpr const char* kTrayToolTip = "NRTS->KVR";
// Column "Last count time" of a row no packet has reached yet.
inline constexpr const char* kNoCountTime = "---------";
// Refresh of the counter line, milliseconds.
inline constexpr int kCounterIntervalMs = 3000;

class CRilletDlg : public QDialog {
    Q_OBJECT
  public:
    // Fills the channel list, puts up the notification-area icon when trayAvailable, starts the
    // session's worker (silent) and the counter timer. The session must be open.
    CRilletDlg(CRecorderSession& session, bool trayAvailable, QWidget* parent = nullptr);
    // Ends the program the orderly way if that has not happened yet.
    ~CRilletDlg() override;

    QTreeWidget* ChannelList() const { return channelList_; }
    QLabel* StatusLine() const { return statusLine_; }
    QLabel* CounterLine() const { return counterLine_; }
    QCheckBox* SilentMode() const { return silentMode_; }
    QTimer* CounterTimer() const { return counterTimer_; }
    QAction* AboutAction() const { return aboutAction_; }
    QMenu* PopupMenu() const { return popupMenu_; }
    QSystemTrayIcon* TrayIcon() const { return trayIcon_; }  // none without a notification area
    CRecorderWorker& Worker() const;
    // The list row of channel c of group g.
    int Row(size_t g, size_t c) const { return rows_.at(g).at(c); }
    bool Ended() const { return ended_; }

  public slots:
    // From the worker, through queued calls (they run on this window's thread).
    void SetStatusText(const QString& text);
    void SetLastCountTime(int row, const QString& text);

    void ShowAbout();
    void OnPopupActivate();
    // Posts OnRecorderExit, so that the pop-up menu has closed before the program ends.
    void OnPopupExit();
    // The orderly end; does nothing the second time.
    void OnRecorderExit();
    // A notification from the icon. Only a left click (Trigger) opens the pop-up menu, right-
    // aligned at the cursor. False, and nothing done, while the menu is already open.
    bool OnTrayNotify(QSystemTrayIcon::ActivationReason reason);
    // Enter and Escape (accept, reject) end the dialog, and with it the program, the orderly way.
    void done(int result) override;

  signals:
    // After OnRecorderExit has stopped the worker: the program may leave its event loop.
    void programEnded();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    class CWindowView;

    void FillRows();
    void OnCounterTimer();

    CRecorderSession& session_;
    bool trayAvailable_;
    bool ended_ = false;
    bool menuOpen_ = false;
    bool columnsSized_ = false;

    QTreeWidget* channelList_ = nullptr;
    QLabel* statusLine_ = nullptr;
    QLabel* counterLine_ = nullptr;
    QCheckBox* silentMode_ = nullptr;
    QTimer* counterTimer_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QMenu* popupMenu_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;

    std::vector<std::vector<int>> rows_;  // [group][channel] -> list row
    std::unique_ptr<CWindowView> view_;   // the session's worker reports to it until stopped
};
