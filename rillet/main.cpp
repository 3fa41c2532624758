// rillet: the continuous recorder, in the current folder (or the folder given with -C).
//
// Without options it opens its main window (and a notification-area icon where the desktop has
// one); it is ended from the icon's menu, with Enter or Escape in the window, or by SIGINT,
// SIGTERM or SIGHUP. "--headless" records without a window: status texts go to standard output,
// everything else to the daily log, and the same signals stop it. Either way the stop is orderly
// and takes under a second: the read ends, every pending run is written with its row and resume
// time, and the program exits 0. "--status" reports how far the recorder of the folder has got
// and exits.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "rillet/catalogue.h"
#include "rillet/log.h"
#include "rillet/recorder.h"
#include "rillet/settings.h"
#include "rillet/startup.h"
#include "rillet/status.h"
#include "rillet/ui/rilletdlg.h"
#include "rillet/ui/rilletprogram.h"
#include "rillet/worker.h"
#include "tools/program.h"
#include "util/util.h"

namespace {

class CConsoleView : public CRecorderView {
  public:
    void SetStatusLine(const std::string& text) override {
        std::fprintf(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }
    void SetLastCountTime(int32_t, const std::string&) override {}
};

int RunHeadless(bool verbose) {
    // The signals are taken by sigwait below, in this thread; every thread started from here on
    // inherits the block, so none of them is interrupted by them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!utilNetworkInit()) {
        std::fprintf(stderr, "Windows sockets initialization failed.\n");
        return kExitSockets;
    }
    CRilletLog log;
    log.SetWarningEcho(true);
    CRilletSettings settings(log);
    CKvrCatalogue catalogue(log, settings);
    if (!catalogue.OpenKvrDatabase()) {
        std::fprintf(stderr, "KVR database open error\n");
        const std::string& why = catalogue.Connection().message();
        if (!why.empty()) std::fprintf(stderr, "%s\n", why.c_str());
        return kExitDatabase;
    }
    auto lookup = [&](const std::string& sta, const std::string& chan, const std::string& loc) {
        return catalogue.LookupSampleRate(sta, chan, loc);
    };
    if (!settings.LoadSettings(lookup)) {
        std::fprintf(stderr, "Load groups open error\n");
        return kExitSettings;
    }
    CRecorderLocks locks;
    std::string problem;
    if (int code = locks.Check(settings, &problem); code != 0) {
        log.WriteWarning(problem);
        return code;
    }

    CConsoleView view;
    CRecorder recorder(settings, catalogue, log);
    CRecorderWorker worker(settings, recorder, log, view);
    worker.SetSilent(!verbose);
    std::thread thread([&] { worker.RecorderThread(); });

    int signalNumber = 0;
    while (sigwait(&stopSignals, &signalNumber) != 0) {
    }
    std::fprintf(stdout, "Stopping (%s): writing pending data\n", strsignal(signalNumber));
    std::fflush(stdout);
    worker.RequestStop();
    thread.join();
    log.WriteLog("Recorder stopped");
    std::fprintf(stdout, "Stopped\n");
    return 0;
}

int RunStatus(double maxLag) {
    RilletStatusOptions options;
    options.rilletIni = kRilletIni;
    options.kvrIni = kKvrIni;
    options.maxLagSeconds = maxLag;
    options.now = platNow();
    options.openCatalogue = [](CKvrCatalogue& catalogue, std::string* why) {
        if (catalogue.OpenKvrDatabase()) return true;
        *why = catalogue.Connection().message();
        return false;
    };
    return rilletReportStatus(options, stdout, stderr);
}

// SIGINT, SIGTERM and SIGHUP reach the window's thread through this pipe (a signal handler may only
// write to it).
int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

bool HasDisplay() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

int RunWindow(char* programName) {
    if (!HasDisplay()) {
        std::fprintf(stderr, "rillet: no display for the window; use --headless\n");
        return kExitUsage;
    }
    signal(SIGPIPE, SIG_IGN);
    int argc = 1;
    char* argv[] = {programName, nullptr};
    QApplication app(argc, argv);
    // Qt adopts the user's locale; every number the recorder writes as text (headers, SQL, INI
    // values, log lines) keeps the decimal point whatever it is.
    std::setlocale(LC_NUMERIC, "C");
    // Closing the window hides it; the program ends only the orderly way.
    app.setQuitOnLastWindowClosed(false);

    CRilletProgram program;
    int code = program.Start();
    if (code != 0) return code;
    CRilletDlg* dlg = program.Dialog();
    QObject::connect(dlg, &CRilletDlg::programEnded, &app, &QApplication::quit,
                     Qt::QueuedConnection);

    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, dlg, [dlg] {
            std::fprintf(stdout, "Stopping: writing pending data\n");
            std::fflush(stdout);
            dlg->OnRecorderExit();
        });
        struct sigaction action = {};
        action.sa_handler = OnStopSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGHUP, &action, nullptr);
    }
    app.exec();
    dlg->OnRecorderExit();  // a quit from elsewhere (session end): still the orderly way
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"rillet: continuous recorder of ISI streams into KVR 2.0 files"};
    programAddVersion(app, "rillet");
    bool headless = false;
    bool verbose = false;
    std::string folder;
    app.add_flag("--headless", headless, "record without a window");
    app.add_flag("--verbose", verbose,
                 "with --headless: a status line per packet (silent mode off); the window "
                 "always starts silent");
    app.add_option("-C", folder, "change into this folder first (rillet.ini, log)");
    bool status = false;
    double maxLag = kDefaultMaxLagSeconds;
    CLI::Option* statusFlag = app.add_flag(
        "--status", status,
        "print each channel's newest stored sample, its lag and file, and each station's disk "
        "loop, without disturbing a recorder at work (exit 0 all current, 1 a channel lags or "
        "has no data, 2 no settings or catalogue)");
    app.add_option("--max-lag", maxLag, "with --status: seconds a channel may lag (default 300)")
        ->check(CLI::NonNegativeNumber)
        ->needs(statusFlag);
    app.get_option("--headless")->excludes(statusFlag);
    if (int rc = programParse(app, argc, argv); rc >= 0) return rc;

    if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
        std::fprintf(stderr, "rillet: cannot change into %s: %s\n", folder.c_str(),
                     std::strerror(errno));
        return kExitUsage;
    }
    if (status) return RunStatus(maxLag);
    if (!headless) return RunWindow(argv[0]);
    return RunHeadless(verbose);
}
