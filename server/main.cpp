// isi-sim: a stand-in ISI server for tests, benchmarks, the demonstration and operators who want
// to try the programs without a real server.
#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "logio/logio.h"
#include "platform/clock.h"
#ifdef ISISIM_WITH_MSEED
#include "server/mseed.h"
#endif
#include "commandline/program.h"
#include "server/server.h"

namespace {

std::atomic<bool> g_interrupted{false};

void onSignal(int) {
    g_interrupted = true;
}

constexpr uint32_t kPollMs = 100;

}  // namespace

int main(int argc, char** argv) {
    using namespace isisim;
    CLI::App app{
        "isi-sim: a stand-in ISI server. Serves synthetic streams (or miniSEED files) over the ISI "
        "protocol: time-window requests with live data and a disk loop computed on the fly, the "
        "configuration and state-of-health lists, heartbeats, and faults on demand for tests.\n"
        "Synthetic sample k of a stream lies at k / rate seconds since 1970; its value is a fixed "
        "function of the stream name and k (see the README)."};
    programAddVersion(app, "isi-sim");
    SimServerOptions options;
    std::vector<std::string> streamTexts, mseedFiles, faultTexts;
    std::string configFile, portFile, logDest = "stderr";
    int samplesPerPacket = kDefaultSamplesPerPacket;
    double history = kDefaultHistorySeconds, runSeconds = 0.0;
    bool debug = false, quiet = false;
    [[maybe_unused]] bool keepTimes = false;  // --keep-times, where --mseed is built

    app.add_option("--host", options.host, "Address to listen on")->capture_default_str();
    app.add_option("-p,--port", options.port, "TCP port; 0 picks a free one")
        ->capture_default_str();
    app.add_option("--port-file", portFile, "Write the port listened on into this file");
    app.add_option("-s,--stream", streamTexts,
                   "A synthetic stream STA.CHN[.LOC]:RATE[:SAMPLES_PER_PACKET], e.g. "
                   "ANMO.BHZ.00:20 or ANMO.VHZ:0.1 (repeatable)");
    app.add_option("-c,--config", configFile,
                   "Stream file: lines of STATION CHANNEL LOCATION RATE [SAMPLES_PER_PACKET], "
                   "LOCATION \"--\" for none, \"#\" comments")
        ->check(CLI::ExistingFile);
    app.add_option("--samples-per-packet", samplesPerPacket,
                   "Samples per packet of streams that do not give their own")
        ->capture_default_str()
        ->check(CLI::Range(1, kMaxSamplesPerPacket));
    app.add_option("--history", history, "Seconds of the disk loop of synthetic streams")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--heartbeat", options.heartbeat,
                   "Seconds without a frame before a heartbeat (0: none)")
        ->capture_default_str();
    app.add_option("--timeout", options.ioTimeoutMs,
                   "Milliseconds one frame read or write may take")
        ->capture_default_str();
    size_t cacheMegabytes = 0;
    app.add_option(
           "--packet-cache", cacheMegabytes,
           "Keep up to this many megabytes of built packets for clients asking for the same "
           "data again (0: compute every packet as it is sent)")
        ->capture_default_str();
#ifdef ISISIM_WITH_MSEED
    app.add_option("--mseed", mseedFiles, "Serve the records of these miniSEED files as streams")
        ->check(CLI::ExistingFile);
    app.add_flag("--keep-times", keepTimes,
                 "Serve miniSEED data at its own times (default: shifted so the newest sample is "
                 "now)");
#endif
    app.add_option("--fault", faultTexts,
                   "Inject a fault (repeatable): close:N[:K] closes after N packets, "
                   "alert:N:CODE[:K] sends an alert, stall:N:SECONDS[:K] sends nothing, "
                   "badtag:N[:K] sends a frame without the IACP tag, oversize:N[:K] a payload "
                   "over 32768 bytes; each on K connections (default 1)");
    app.add_option("--log", logDest, "Log destination: a file, \"stdout\" or \"stderr\"")
        ->capture_default_str();
    app.add_flag("--debug", debug, "Log handshakes and other details too");
    app.add_flag("-q,--quiet", quiet, "No log lines");
    app.add_option("--run-seconds", runSeconds,
                   "Stop after this many seconds (0: until interrupted)")
        ->capture_default_str();
    if (int rc = programParse(app, argc, argv); rc >= 0) return rc;

    options.packetCacheBytes = cacheMegabytes << 20;
    std::vector<SimStream> streams;
    std::string error;
    for (const std::string& text : streamTexts) {
        SimStream s;
        if (!simParseStreamSpec(text, samplesPerPacket, history, &s, &error)) {
            std::fprintf(stderr, "isi-sim: %s\n", error.c_str());
            return 2;
        }
        streams.push_back(s);
    }
    if (!configFile.empty() &&
        !simReadStreamFile(configFile, samplesPerPacket, history, &streams, &error)) {
        std::fprintf(stderr, "isi-sim: %s\n", error.c_str());
        return 2;
    }
#ifdef ISISIM_WITH_MSEED
    std::vector<std::string> warnings;
    if (!mseedFiles.empty() && !simLoadMseed(mseedFiles, keepTimes, samplesPerPacket, platNow(),
                                             &streams, &error, &warnings)) {
        std::fprintf(stderr, "isi-sim: %s\n", error.c_str());
        return 2;
    }
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "isi-sim: warning: %s\n", utilPrintableString(warning).c_str());
#endif
    if (streams.empty()) streams = simDefaultStreams(samplesPerPacket, history);
    for (const std::string& text : faultTexts) {
        SimFault fault;
        if (!simParseFault(text, &fault, &error)) {
            std::fprintf(stderr, "isi-sim: %s\n", error.c_str());
            return 2;
        }
        options.faults.push_back(fault);
    }

    LOGIO log;
    if (!quiet) {
        if (!logioInit(&log, logDest.c_str(), nullptr, "isi-sim")) {
            std::fprintf(stderr, "isi-sim: cannot log to %s\n", logDest.c_str());
            return 2;
        }
        if (debug) logioSetThreshold(&log, LOG_DEBUG);
        options.log = &log;
    }

    SimServer server(std::move(streams), options);
    if (!server.start(&error)) {
        std::fprintf(stderr, "isi-sim: %s\n", error.c_str());
        return 1;
    }
    if (!portFile.empty()) {
        // Written whole under a temporary name and renamed, so a reader never sees half of it.
        std::string tmp = portFile + ".tmp";
        std::ofstream(tmp) << server.port() << "\n";
        std::rename(tmp.c_str(), portFile.c_str());
    }
    for (const SimStream& s : server.streams()) {
        if (options.log)
            logioMsg(options.log, LOG_INFO, "stream %s: %s samples per second, %d per packet",
                     s.text().c_str(), simRateText(s.rate()).c_str(), s.samplesPerPacket());
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    double start = platNow();
    while (!g_interrupted && (runSeconds <= 0.0 || platNow() - start < runSeconds))
        platSleepMs(kPollMs);
    server.stop();
    if (options.log) logioMsg(options.log, LOG_INFO, "stopped");
    return 0;
}
