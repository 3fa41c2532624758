#include "rillet/session.h"

#include "rillet/catalogue.h"
#include "rillet/log.h"
#include "rillet/recorder.h"
#include "rillet/settings.h"
#include "rillet/worker.h"
#include "util/util.h"

CRecorderSession::CRecorderSession(std::string rilletIni, std::string kvrIni)
    : log_(std::make_unique<CRilletLog>()),
      settings_(std::make_unique<CRilletSettings>(*log_, std::move(rilletIni), std::move(kvrIni))),
      catalogue_(std::make_unique<CKvrCatalogue>(*log_, *settings_)) {
    networkInit = [] { return utilNetworkInit(); };
    openDatabase = [](CKvrCatalogue& catalogue) { return catalogue.OpenKvrDatabase(); };
}

CRecorderSession::~CRecorderSession() {
    Stop();
}

bool CRecorderSession::Open(CStartFailure* failure) {
    *failure = CStartFailure();
    if (!networkInit()) {
        *failure = {kExitSockets, kSocketsFailedText, ""};
        return false;
    }
    if (!openDatabase(*catalogue_)) {
        *failure = {kExitDatabase, kDatabaseFailedText, catalogue_->Connection().message()};
        return false;
    }
    auto lookup = [this](const std::string& sta, const std::string& chan, const std::string& loc) {
        return catalogue_->LookupSampleRate(sta, chan, loc);
    };
    if (!settings_->LoadSettings(lookup)) {
        *failure = {kExitSettings, kSettingsFailedText, ""};
        return false;
    }
    std::string problem;
    if (int code = locks_.Check(*settings_, &problem); code != 0) {
        log_->WriteWarning(problem);
        *failure = {code, problem, "", true};
        return false;
    }
    // Another data directory's loop of a station is not ours to trim: that recorder keeps it.
    if (!catalogue_->ClaimStations(&problem)) {
        locks_.Release();
        log_->WriteWarning(problem);
        *failure = {kExitLocked, problem, "", true};
        return false;
    }
    return true;
}

void CRecorderSession::Start(CRecorderView& view, bool silent) {
    recorder_ = std::make_unique<CRecorder>(*settings_, *catalogue_, *log_);
    worker_ = std::make_unique<CRecorderWorker>(*settings_, *recorder_, *log_, view);
    worker_->SetSilent(silent);
    worker_->SetMetricsFile(metricsFile_.empty() ? settings_->MetricsFile() : metricsFile_);
    thread_ = std::thread([this] { worker_->RecorderThread(); });
}

void CRecorderSession::Stop() {
    if (!thread_.joinable()) return;
    worker_->RequestStop();
    thread_.join();
    log_->WriteLog("Recorder stopped");
}
