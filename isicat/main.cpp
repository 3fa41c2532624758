// isicat: lists an ISI server's streams and their time ranges, and prints the packets of one
// time-window request, one line each.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "commandline/program.h"
#include "isicat/isicat.h"
#include "logio/logio.h"
#include "platform/clock.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
    CLI::App app{"isicat: an ISI client for the command line"};
    programAddVersion(app, "isicat");
    app.require_subcommand(1);
    std::string server, trafficLog;
    bool debug = false;
    std::string beginText = "end", endText = "forever";
    ISICAT_DATA_ARGS data;
    int compress = int(ISI_COMP_IDA), policy = int(ISI_REQUEST_POLICY_MIN_GAP);

    auto addCommon = [&](CLI::App* cmd) {
        cmd->add_option("server", server, "HOST[:PORT] (default port 39136)")->required();
        cmd->add_option("--traffic-log", trafficLog, "Append a trace of every frame to FILE");
        cmd->add_flag("--debug", debug, "Log the library's debug messages on standard error");
    };
    CLI::App* cnf = app.add_subcommand(
        "cnf", "Print the configuration list: station, channel, location, samples per second");
    addCommon(cnf);
    CLI::App* soh = app.add_subcommand(
        "soh",
        "Print the state-of-health list: station, channel, location, oldest and newest "
        "sample time");
    addCommon(soh);
    CLI::App* dat = app.add_subcommand(
        "data",
        "Send one time-window request and print one line per packet: station, channel, "
        "location, first and last sample time, samples, sample interval[, samples]");
    addCommon(dat);
    dat->add_option("specifier", data.specifier,
                    "Streams: STA.CHN[.LOC] pieces joined by \"+\", \"*\" as wildcard")
        ->required();
    const std::string timeHelp = std::string(" time: ") + UTIL_TIME_FORMS + ", beg, end or forever";
    dat->add_option("--begin", beginText, std::string("Begin") + timeHelp)->capture_default_str();
    dat->add_option("--end", endText, std::string("End") + timeHelp)->capture_default_str();
    dat->add_option("--compress", compress, "1 uncompressed, 2 ISI difference compression")
        ->capture_default_str()
        ->check(CLI::Range(1, 2));
    dat->add_option("--policy", policy, "1 none, 2 minimal gap, 3 minimal delay")
        ->capture_default_str()
        ->check(CLI::Range(1, 3));
    dat->add_flag("--samples", data.samples, "Add a column of the samples joined by \",\"");
    dat->add_option("--count", data.count, "Stop after N packets")->check(CLI::PositiveNumber);
    if (int rc = programParse(app, argc, argv); rc >= 0) return rc;

    ISI_OPEN_PARAMS params;
    isiInitOpenParams(&params);
    if (!isicatParseServer(server, &server, &params.port)) {
        std::fprintf(stderr, "isicat: bad server \"%s\" (HOST[:PORT])\n", server.c_str());
        return 2;
    }
    // A refused or unreachable server is an answer for an operator, not a reason to wait: every
    // connect failure ends the attempt at once instead of being retried for ever.
    params.attr.maxerr = IACP_ERR_NONE;
    // SIGINT, SIGTERM and SIGHUP end every wait for the server at once (the commands then exit
    // 128 + the signal); a second one ends the program where it is.
    platInstallStopSignals();
    params.attr.cancel = platStopSignalFlag();
    if (!trafficLog.empty()) params.attr.tracefile = trafficLog.c_str();
    LOGIO log;
    logioInit(&log, "stderr", nullptr, "isicat");
    // Failures are said once by the commands, in words; the library's lines with --debug.
    logioSetThreshold(&log, LOG_WARNING);
    if (debug) {
        params.debug = 1;
        logioSetThreshold(&log, LOG_DEBUG);
    }
    params.lp = &log;

    if (*cnf) return isicatCnf(server, params, stdout, stderr);
    if (*soh) return isicatSoh(server, params, stdout, stderr);
    double now = platNow();
    if (!isicatParseTime(beginText, now, &data.begin) ||
        !isicatParseTime(endText, now, &data.end)) {
        std::fprintf(
            stderr, "isicat: bad time \"%s\"; use %s, beg, end or forever\n",
            utilPrintableString(isicatParseTime(beginText, now, &data.begin) ? endText : beginText)
                .c_str(),
            UTIL_TIME_FORMS);
        return kIsicatUsage;
    }
    data.compress = uint32_t(compress);
    data.policy = uint32_t(policy);
    return isicatData(server, params, data, stdout, stderr);
}
