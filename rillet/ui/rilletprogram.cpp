#include "rillet/ui/rilletprogram.h"

#include <QMessageBox>
#include <QSystemTrayIcon>
#include <cstdio>

#include "rillet/catalogue.h"
#include "rillet/log.h"
#include "rillet/recorder.h"
#include "rillet/ui/rilletdlg.h"
#include "util/util.h"

CRilletProgram::CRilletProgram(std::string rilletIni, std::string kvrIni)
    : log_(std::make_unique<CRilletLog>()),
      settings_(*log_, std::move(rilletIni), std::move(kvrIni)),
      catalogue_(std::make_unique<CKvrCatalogue>(*log_, settings_)) {
    networkInit = [] { return utilNetworkInit(); };
    openDatabase = [](CKvrCatalogue& catalogue) { return catalogue.OpenKvrDatabase(); };
    showMessage = [](const QString& text) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        QMessageBox::critical(nullptr, "Rillet", text);
    };
}

// The window goes first: it stops the worker, which uses the recorder and the catalogue.
CRilletProgram::~CRilletProgram() {
    dialog_.reset();
}

int CRilletProgram::Start() {
    if (!networkInit()) {
        showMessage(kSocketsFailedText);
        return kExitSockets;
    }
    if (!openDatabase(*catalogue_)) {
        QString text = kDatabaseFailedText;
        const std::string& why = catalogue_->Connection().message();
        if (!why.empty()) std::fprintf(stderr, "%s\n", why.c_str());
        showMessage(text);
        return kExitDatabase;
    }
    auto lookup = [this](const std::string& sta, const std::string& chan, const std::string& loc) {
        return catalogue_->LookupSampleRate(sta, chan, loc);
    };
    if (!settings_.LoadSettings(lookup)) {
        showMessage(kSettingsFailedText);
        return kExitSettings;
    }
    std::string problem;
    if (int code = locks_.Check(settings_, &problem); code != 0) {
        log_->WriteLog(problem);
        showMessage(QString::fromStdString(problem));
        return code;
    }
    recorder_ = std::make_unique<CRecorder>(settings_, *catalogue_, *log_);
    const bool tray = trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    dialog_ = std::make_unique<CRilletDlg>(settings_, *recorder_, *log_, tray);
    dialog_->show();
    return 0;
}
