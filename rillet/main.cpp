// rillet: the continuous recorder. "--headless" records without a window, in the current folder
// (or the folder given with -C): status texts go to standard output, everything else to the
// daily log. SIGINT or SIGTERM stops it in order: the read ends, every pending run is written
// with its row and resume time, and the program exits 0.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "rillet/catalogue.h"
#include "rillet/log.h"
#include "rillet/recorder.h"
#include "rillet/settings.h"
#include "rillet/worker.h"
#include "util/util.h"

namespace {

// Start-up failures, each with its own exit code.
constexpr int kExitSockets = 3;
constexpr int kExitDatabase = 4;
constexpr int kExitSettings = 5;
constexpr int kExitUsage = 2;

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
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!utilNetworkInit()) {
        std::fprintf(stderr, "Windows sockets initialization failed.\n");
        return kExitSockets;
    }
    CRilletLog log;
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"rillet: continuous recorder of ISI streams into KVR 2.0 files"};
    bool headless = false;
    bool verbose = false;
    std::string folder;
    app.add_flag("--headless", headless, "record without a window");
    app.add_flag("--verbose", verbose, "show every packet on the status line (silent mode off)");
    app.add_option("-C", folder, "change into this folder first (rillet.ini, log)");
    CLI11_PARSE(app, argc, argv);

    if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
        std::fprintf(stderr, "rillet: cannot change into %s: %s\n", folder.c_str(),
                     std::strerror(errno));
        return kExitUsage;
    }
    if (!headless) {
        std::fprintf(stderr, "rillet: the window is not built in this version; use --headless\n");
        return kExitUsage;
    }
    return RunHeadless(verbose);
}
