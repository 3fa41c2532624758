// rillet: the continuous recorder, in the current folder (or the folder given with -C).
//
// Without options it opens its main window (and a notification-area icon where the desktop has
// one); it is ended from the icon's menu, with Enter or Escape in the window, or by SIGINT,
// SIGTERM or SIGHUP. "--headless" records without a window: status texts go to standard output,
// everything else to the daily log, and the same signals stop it. Either way the stop is orderly
// and takes under a second: the read ends, every pending run is written with its row and resume
// time, and the program exits 0. "--status" reports how far the recorder of the folder has got
// and exits.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "rillet/catalogue.h"
#include "rillet/frontends.h"
#include "rillet/settings.h"
#include "rillet/status.h"
#include "tools/program.h"

namespace {

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

    std::error_code ec;
    if (!folder.empty()) std::filesystem::current_path(folder, ec);
    if (ec) {
        std::fprintf(stderr, "rillet: cannot change into %s: %s\n", folder.c_str(),
                     ec.message().c_str());
        return kExitUsage;
    }
    if (status) return RunStatus(maxLag);
    if (!headless) return RunWindow(argv[0]);
    return RunHeadless(verbose);
}
