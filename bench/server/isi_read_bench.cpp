// isi_read_bench: how close the client library comes to the loopback's own speed.
//
// The same window of one fast synthetic stream is read through isiReadGenericTS from isi-sim
// running in this process (frames, headers, decoding, up to "request complete"), and the same
// number of bytes is then moved by a plain socket pump (one thread writes a buffer, another
// reads it). The figure is the client's throughput as a fraction of the pump's; each side is the
// best of several runs. Our goal: at least 0.6. The time isiInitiateDataRequest takes before
// (connect, handshake, request and acknowledgment) is shown beside it, not counted in it.
//
// isi-sim computes its synthetic samples as it sends them, which costs the server more than a
// disk-loop server reading stored packets. The run is therefore made twice: as isi-sim runs by
// default, and with its packet cache, which serves repeated windows from memory the way a real
// server serves its stored packets; the second is the client's own figure (a first, uncounted
// read fills the cache), and its two ratios are repeated on the last line.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/support/loopback_pump.h"
#include "isi/isi.h"
#include "platform/clock.h"
#include "server/server.h"

namespace {

constexpr int kRuns = 9;  // the loopback is shared with whatever else runs: best of several
constexpr double kWindowSeconds = 600.0;  // at 20000 sps: 12 million samples
constexpr const char* kStream = "BENCH.HHZ:20000:6000";
constexpr size_t kPumpChunk = 32768;
constexpr double kGoal = 0.6;

using benchsupport::seconds;

struct ClientRun {
    double setup = 0.0;    // isiInitiateDataRequest: connect, handshake, request, acknowledgment
    double seconds = 0.0;  // isiReadGenericTS from the first call to "request complete"
    uint64_t bytes = 0;    // every frame byte the server sent for the request's packets
    uint64_t samples = 0;
    bool ok = false;
};

ClientRun readWindow(uint16_t port, double begin, uint32_t compress, LOGIO* log) {
    ClientRun run;
    ISI_OPEN_PARAMS params;
    isiInitOpenParams(&params);
    params.port = port;
    params.lp = log;
    ISI_DATA_REQUEST* request =
        isiAllocSimpleDataRequest(begin, begin + kWindowSeconds, "BENCH.HHZ");
    isiRequestSetCompress(request, compress);
    double start = seconds();
    ISI_CLIENT* client = isiInitiateDataRequest("127.0.0.1", &params, request);
    isiFreeDataRequest(request);
    if (client == nullptr) return run;
    run.setup = seconds() - start;
    start = seconds();
    int status = ISI_STATUS_DATA;
    while (status == ISI_STATUS_DATA) {
        ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
        if (status != ISI_STATUS_DATA) break;
        run.samples += packet->nsamp;
        // The frame as sent: preamble, header, data as it travelled, signature preamble.
        run.bytes +=
            IACP_PREAMBLE_LEN + IACP_SIGPREAMBLE_LEN + ISI_TS_HEADER_LEN + client->raw.nbytes;
    }
    run.seconds = seconds() - start;
    run.ok = status == ISI_STATUS_DONE;
    isiCloseClient(client);
    return run;
}

}  // namespace

int main() {
    isisim::SimStream stream;
    std::string error;
    if (!isisim::simParseStreamSpec(kStream, 6000, 86400.0, &stream, &error)) {
        std::fprintf(stderr, "isi_read_bench: %s\n", error.c_str());
        return 1;
    }
    LOGIO log;
    logioInit(&log, "stderr", nullptr, "isi_read_bench");
    logioSetThreshold(&log, LOG_WARNING);
    const double begin = std::floor(platNow()) - 3600.0;

    std::printf(
        "isiReadGenericTS from isi-sim over loopback vs. a plain socket pump of the same "
        "bytes (best of %d)\n",
        kRuns);
    std::vector<double> cachedRatios;  // uncompressed, idacmp
    for (size_t cacheBytes : {size_t(0), size_t(256) << 20}) {
        isisim::SimServerOptions options;
        options.port = 0;
        options.packetCacheBytes = cacheBytes;
        isisim::SimServer server({stream}, options);
        if (!server.start(&error)) {
            std::fprintf(stderr, "isi_read_bench: %s\n", error.c_str());
            return 1;
        }
        std::printf(" %s\n", cacheBytes == 0 ? "samples computed as sent (isi-sim's default):"
                                             : "packets served from isi-sim's packet cache:");
        for (uint32_t compress : {ISI_COMP_NONE, ISI_COMP_IDA}) {
            if (cacheBytes != 0) readWindow(server.port(), begin, compress, &log);
            ClientRun best;
            double bestPump = HUGE_VAL;
            for (int i = 0; i < kRuns; ++i) {
                ClientRun run = readWindow(server.port(), begin, compress, &log);
                if (!run.ok) {
                    std::fprintf(stderr, "isi_read_bench: the request did not complete\n");
                    return 1;
                }
                if (best.seconds == 0.0 || run.seconds < best.seconds) best = run;
                double p = benchsupport::pump(run.bytes, kPumpChunk);
                if (p > 0.0) bestPump = std::min(bestPump, p);
            }
            double clientRate = best.bytes / best.seconds / 1e6;
            double pumpRate = best.bytes / bestPump / 1e6;
            double ratio = clientRate / pumpRate;
            std::printf(
                "  %-12s %6.1f MB in %6.4f s (after %6.4f s of set-up): client %7.1f MB/s "
                "(%5.1f Msamples/s), pump %7.1f MB/s, ratio %.2f\n",
                isiCompressString(compress), best.bytes / 1e6, best.seconds, best.setup, clientRate,
                best.samples / best.seconds / 1e6, pumpRate, ratio);
            if (cacheBytes != 0) cachedRatios.push_back(ratio);
        }
        server.stop();
    }
    std::printf("client/pump ratio with packets from the cache: %s %.2f, %s %.2f (goal >= %.1f)\n",
                isiCompressString(ISI_COMP_NONE), cachedRatios.at(0),
                isiCompressString(ISI_COMP_IDA), cachedRatios.at(1), kGoal);
    return 0;
}
