// The window front end: the Qt application, the start-up through CRilletProgram, and the stop
// signals, which end the program the orderly way as the pop-up's exit does.
#include <QApplication>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "platform/signals.h"
#include "rillet/frontends.h"
#include "rillet/ui/rilletdlg.h"
#include "rillet/ui/rilletprogram.h"
#include "commandline/exit_usage.h"

namespace {

// How often the window looks for a recorded stop signal (a handler may do no more than record it).
constexpr int kStopSignalPollMs = 150;

bool HasDisplay() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

}  // namespace

int RunWindow(char* programName, const std::string& metricsFile) {
    if (!HasDisplay()) {
        std::fprintf(stderr, "rillet: no display for the window; use --headless\n");
        return kExitUsage;
    }
    platInstallStopSignals();
    int argc = 1;
    char* argv[] = {programName, nullptr};
    QApplication app(argc, argv);
    // Qt adopts the user's locale; every number the recorder writes as text (headers, SQL, INI
    // values, log lines) keeps the decimal point whatever it is.
    std::setlocale(LC_NUMERIC, "C");
    // Closing the window hides it; the program ends only the orderly way.
    app.setQuitOnLastWindowClosed(false);

    CRilletProgram program;
    program.Session().SetMetricsFile(metricsFile);
    int code = program.Start();
    if (code != 0) return code;
    CRilletDlg* dlg = program.Dialog();
    QObject::connect(dlg, &CRilletDlg::programEnded, &app, &QApplication::quit,
                     Qt::QueuedConnection);

    QTimer signalPoll;
    QObject::connect(&signalPoll, &QTimer::timeout, dlg, [dlg, &signalPoll] {
        if (platStopSignal() == 0) return;
        signalPoll.stop();
        std::fprintf(stdout, "Stopping: writing pending data\n");
        std::fflush(stdout);
        dlg->OnRecorderExit();
    });
    signalPoll.start(kStopSignalPollMs);
    app.exec();
    dlg->OnRecorderExit();  // a quit from elsewhere (session end): still the orderly way
    return 0;
}
