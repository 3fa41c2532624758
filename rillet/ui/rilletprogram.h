// The window program's start-up: the session's start-up (sockets, the KVR database, the settings
// and groups, the locks), then the main window. A failing step shows its message box and ends the
// program before any window is shown, with the same exit code as the headless recorder.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "rillet/session.h"

class CRilletDlg;

class CRilletProgram {
  public:
    explicit CRilletProgram(std::string rilletIni = kRilletIni, std::string kvrIni = KVR_PROFILE);
    ~CRilletProgram();

    // Shows a start-up failure; by default a message box (its text also written to standard
    // error). Replaceable for tests, as are the session's steps.
    std::function<void(const QString&)> showMessage;
    // Whether the desktop has a notification area; by default as Qt reports it.
    std::optional<bool> trayAvailable;

    // Runs the start-up and shows the main window, which starts the recorder: 0, or the exit
    // code after a failure's box. Needs a QApplication.
    int Start();

    CRilletDlg* Dialog() const { return dialog_.get(); }
    CRecorderSession& Session() { return session_; }
    CRilletSettings& Settings() { return session_.Settings(); }

  private:
    CRecorderSession session_;
    std::unique_ptr<CRilletDlg> dialog_;
};
