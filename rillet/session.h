// CRecorderSession: one run of the recorder, the same for the window and the headless front end.
// It owns the log, the settings, the catalogue, the locks, the recorder and the worker with its
// thread. Open runs the start-up (sockets, catalogue, settings and groups, locks, log); Start runs
// the worker against a view the front end supplies; Stop is the orderly end.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "rillet/settings.h"
#include "rillet/startup.h"

class CKvrCatalogue;
class CRecorder;
class CRecorderView;
class CRecorderWorker;
class CRilletLog;
class CRilletSettings;

// The texts of the start-up failures that are not said by CRecorderLocks::Check.
inline constexpr const char* kSocketsFailedText = "Windows sockets initialization failed.";
inline constexpr const char* kDatabaseFailedText = "KVR database open error";
inline constexpr const char* kSettingsFailedText = "Load groups open error";

// A start-up that failed: the exit status, the text an operator is shown, and the driver's reason
// behind it (empty when there is none). A refusal of the checks and locks is also a warning of
// the log (written to standard error too where warnings are echoed): logged says so.
struct CStartFailure {
    int exitCode = 0;
    std::string message;
    std::string detail;
    bool logged = false;
};

class CRecorderSession {
  public:
    // The settings files; tests point them elsewhere.
    explicit CRecorderSession(std::string rilletIni = kRilletIni, std::string kvrIni = KVR_PROFILE);
    // Stops a running worker the orderly way.
    ~CRecorderSession();

    // The steps that can fail, replaceable for tests. By default: utilNetworkInit, and data
    // source "KVR".
    std::function<bool()> networkInit;
    std::function<bool(CKvrCatalogue&)> openDatabase;

    // The start-up, in this order: sockets, the catalogue, the settings and groups (which turn
    // the log on), then the checks and locks of CRecorderLocks (a refusal is also a warning of
    // the log). True when the recorder may start; otherwise false with *failure filled and
    // nothing locked.
    bool Open(CStartFailure* failure);

    // The metrics file the worker writes (rillet/metrics.h), instead of the settings' METRICS;
    // empty keeps the settings'. Before Start.
    void SetMetricsFile(const std::string& file) { metricsFile_ = file; }

    // After a successful Open: makes the recorder and the worker (silent as asked) and starts
    // the worker's thread. The view must outlive the session's Stop.
    void Start(CRecorderView& view, bool silent);
    // The orderly end: the worker stops, writes every pending run with its row and resume time,
    // and its thread is joined; then "Recorder stopped" is logged. Does nothing when no worker
    // runs (before Start, or the second time).
    void Stop();
    bool Running() const { return thread_.joinable(); }

    CRilletLog& Log() { return *log_; }
    CRilletSettings& Settings() { return *settings_; }
    CKvrCatalogue& Catalogue() { return *catalogue_; }
    // After Start.
    CRecorder& Recorder() { return *recorder_; }
    CRecorderWorker& Worker() { return *worker_; }

  private:
    std::unique_ptr<CRilletLog> log_;
    std::unique_ptr<CRilletSettings> settings_;
    std::unique_ptr<CKvrCatalogue> catalogue_;
    CRecorderLocks locks_;
    std::unique_ptr<CRecorder> recorder_;
    std::unique_ptr<CRecorderWorker> worker_;
    std::thread thread_;
    std::string metricsFile_;
};
