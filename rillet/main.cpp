// rillet: the continuous recorder, in the current folder (or the folder given with -C).
//
// Without options it opens its main window (and a notification-area icon where the desktop has
// one); it is ended from the icon's menu, with Enter or Escape in the window, or by SIGINT,
// SIGTERM or SIGHUP. "--headless" records without a window: status texts go to standard output,
// everything else to the daily log, and the same signals stop it. Either way the stop is orderly
// and takes under a second: the read ends, every pending run is written with its row and resume
// time, and the program exits 0. "--status" reports how far the recorder of the folder has got
// and exits.
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "rillet/catalogue.h"
#include "rillet/cmdline.h"
#include "rillet/frontends.h"
#include "rillet/settings.h"
#include "rillet/status.h"
#include "commandline/exit_usage.h"
#include "waveform_version.h"

namespace {

int RunStatus(double maxLag) {
    RilletStatusOptions options;
    options.rilletIni = kRilletIni;
    options.kvrIni = KVR_PROFILE;
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
    RilletCommandLine line;
    if (int rc = rilletParseCommandLine(argc, argv, RILLET_PROGRAM_NAME, WAVEFORM_TOOLS_VERSION,
                                        &line, stdout, stderr);
        rc >= 0)
        return rc;

    std::error_code ec;
    if (!line.folder.empty()) std::filesystem::current_path(line.folder, ec);
    if (ec) {
        std::fprintf(stderr, "rillet: cannot change into %s: %s\n", line.folder.c_str(),
                     ec.message().c_str());
        return kExitUsage;
    }
    if (line.status) return RunStatus(line.maxLag);
    if (!line.headless) return RunWindow(argv[0], line.metrics);
    return RunHeadless(line.verbose, line.metrics);
}
