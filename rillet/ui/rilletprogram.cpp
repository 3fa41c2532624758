#include "rillet/ui/rilletprogram.h"

#include <QMessageBox>
#include <QSystemTrayIcon>
#include <cstdio>

#include "rillet/ui/rilletdlg.h"

CRilletProgram::CRilletProgram(std::string rilletIni, std::string kvrIni)
    : session_(std::move(rilletIni), std::move(kvrIni)) {
    showMessage = [](const QString& text) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        QMessageBox::critical(nullptr, "Rillet", text);
    };
}

// The window goes first: it stops the session's worker, which reports to it.
CRilletProgram::~CRilletProgram() {
    dialog_.reset();
}

int CRilletProgram::Start() {
    CStartFailure failure;
    if (!session_.Open(&failure)) {
        if (!failure.detail.empty()) std::fprintf(stderr, "%s\n", failure.detail.c_str());
        showMessage(QString::fromStdString(failure.message));
        return failure.exitCode;
    }
    const bool tray = trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    dialog_ = std::make_unique<CRilletDlg>(session_, tray);
    dialog_->show();
    return 0;
}
