#include <cstdio>
#include <string>

#include "platform/signals.h"
#include "rillet/frontends.h"
#include "rillet/log.h"
#include "rillet/session.h"
#include "rillet/worker.h"

namespace {

class CConsoleView : public CRecorderView {
  public:
    void SetStatusLine(const std::string& text) override {
        std::fprintf(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }
    void SetLastCountTime(size_t, size_t, const std::string&) override {}
};

}  // namespace

int RunHeadless(bool verbose, const std::string& metricsFile) {
    // From here on a stop signal is only recorded: one that comes during the start-up ends the
    // recorder as soon as it runs, the orderly way.
    platInstallStopSignals();

    CConsoleView view;  // before the session, whose worker reports to it until stopped
    CRecorderSession session;
    session.Log().SetWarningEcho(true);
    CStartFailure failure;
    if (!session.Open(&failure)) {
        // A refusal of the checks has been said on standard error with the log's warning.
        if (!failure.logged) std::fprintf(stderr, "%s\n", failure.message.c_str());
        if (!failure.detail.empty()) std::fprintf(stderr, "%s\n", failure.detail.c_str());
        return failure.exitCode;
    }
    session.SetMetricsFile(metricsFile);
    session.Start(view, !verbose);

    const int signal = platWaitForStopSignal(-1);  // waits for ever: never 0
    std::fprintf(stdout, "Stopping (%s): writing pending data\n", platStopSignalName(signal));
    std::fflush(stdout);
    session.Stop();
    std::fprintf(stdout, "Stopped\n");
    return 0;
}
