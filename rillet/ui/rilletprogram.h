// The window program's start-up: Windows sockets, the KVR database, the settings and groups, then
// the main window. A failing step shows its message box and ends the program before any window
// is shown, with the same exit code as the headless recorder.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "rillet/settings.h"
#include "rillet/startup.h"

class CKvrCatalogue;
class CRecorder;
class CRilletDlg;
class CRilletLog;

inline constexpr const char* kSocketsFailedText = "Windows sockets initialization failed.";
inline constexpr const char* kDatabaseFailedText = "KVR database open error";
inline constexpr const char* kSettingsFailedText = "Load groups open error";

class CRilletProgram {
  public:
    explicit CRilletProgram(std::string rilletIni = kRilletIni, std::string kvrIni = kKvrIni);
    ~CRilletProgram();

    // The steps that can fail, replaceable for tests. By default: utilNetworkInit, data source
    // "KVR", a message box (also written to standard error).
    std::function<bool()> networkInit;
    std::function<bool(CKvrCatalogue&)> openDatabase;
    std::function<void(const QString&)> showMessage;
    // Whether the desktop has a notification area; by default as Qt reports it.
    std::optional<bool> trayAvailable;

    // Runs the start-up and shows the main window: 0, or the exit code after a failure's box.
    // Needs a QApplication.
    int Start();

    CRilletDlg* Dialog() const { return dialog_.get(); }
    CRilletSettings& Settings() { return settings_; }
    CKvrCatalogue& Catalogue() { return *catalogue_; }
    CRilletLog& Log() { return *log_; }

  private:
    std::unique_ptr<CRilletLog> log_;
    CRilletSettings settings_;
    std::unique_ptr<CKvrCatalogue> catalogue_;
    CRecorderLocks locks_;
    std::unique_ptr<CRecorder> recorder_;
    std::unique_ptr<CRilletDlg> dialog_;
};
