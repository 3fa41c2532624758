// gleaner_fetch_bench: what a retrieval run costs beyond moving its bytes.
//
// 24 channels, one hour, 100 samples per second (8.64 million samples) are fetched from isi-sim
// running in this process and converted: spool, read-back, KVR 4.0 files and FILELIST rows on an
// SQLite catalogue. The baseline moves the same frame bytes through a plain loopback socket pump
// (32 KB sends, TCP_NODELAY as isi-sim) and writes the same number of output bytes to a file. The
// figure is run time / baseline time, each the best of several runs; our goal is at most 2. For
// reference, the same window read through the client library alone (packets dropped) shows what the
// run adds to the protocol.
//
// isi-sim keeps built packets in its cache (as a disk-loop server serves stored packets), and a
// first run warms it, so the server's sample synthesis is not counted against the run.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/gleaner/fetch_rig.h"
#include "bench/support/loopback_pump.h"
#include "gleaner/retrieval.h"
#include "kvr/dsn.h"
#include "platform/clock.h"
#include "server/server.h"

namespace {

using benchsupport::kFetchChannels;
using benchsupport::kFetchRate;
using benchsupport::kFetchSamplesPerPacket;
using benchsupport::kFetchSeconds;
constexpr int kRuns = 3;
constexpr size_t kChunk = 32768;
constexpr double kGoal = 2.0;

using benchsupport::seconds;

// Notes when the run enters its conversion phases.
class SilentHost : public benchsupport::QuietHost {
  public:
    double decoding = 0.0;
    double writing = 0.0;
    void SetStatusText(const std::string& text) override {
        if (text == kDecodingStatus) decoding = seconds();
        if (text == kWritingStatus) writing = seconds();
    }
};

// Seconds to read the window through isiReadGenericTS and drop every packet: what the library
// and the server cost without the run's spool and conversion.
double bareRead(const RETRIEVAL_INPUT& in) {
    ISI_OPEN_PARAMS params;
    isiInitOpenParams(&params);
    params.port = in.port;
    params.lp = in.log;
    ISI_DATA_REQUEST* request =
        isiAllocTwindRequest(in.begin, in.end, in.streams.data(), uint32_t(in.streams.size()));
    isiRequestSetCompress(request, ISI_COMP_NONE);
    double start = seconds();
    ISI_CLIENT* client = isiInitiateDataRequest(in.server.c_str(), &params, request);
    isiFreeDataRequest(request);
    if (client == nullptr) return -1.0;
    int status = ISI_STATUS_DATA;
    while (status == ISI_STATUS_DATA) isiReadGenericTS(client, &status);
    isiCloseClient(client);
    return status == ISI_STATUS_DONE ? seconds() - start : -1.0;
}

// Seconds to write bytes into a new file in folder, in blocks of kChunk.
double writeFile(const std::string& folder, uint64_t bytes) {
    const std::string path = folder + "/baseline.bin";
    std::vector<char> buf(kChunk, 0x5a);
    double start = seconds();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return -1.0;
    for (uint64_t left = bytes; left > 0;) {
        size_t n = size_t(std::min<uint64_t>(left, buf.size()));
        if (std::fwrite(buf.data(), 1, n, f) != n) break;
        left -= n;
    }
    std::fclose(f);
    double elapsed = seconds() - start;
    std::filesystem::remove(path);
    return elapsed;
}

}  // namespace

int main() {
    benchsupport::FetchRig rig;
    if (!rig.Start("gleaner_fetch_bench", kFetchChannels, "B%02d.HHZ", kFetchRate,
                   kFetchSamplesPerPacket, kFetchSeconds, size_t(512) << 20))
        return 1;
    const std::string& dir = rig.dir;
    RETRIEVAL_INPUT& input = rig.input;

    std::printf(
        "gleaner retrieval of %d channels x %.0f s x %d sps from isi-sim over loopback, "
        "converted to KVR 4.0 files and FILELIST rows (SQLite), vs. a loopback pump of "
        "the same bytes plus writing the output bytes to disk (best of %d)\n",
        kFetchChannels, kFetchSeconds, kFetchRate, kRuns);
    double bestRun = HUGE_VAL, bestBase = HUGE_VAL, bestBare = HUGE_VAL;
    uint64_t samples = 0, packets = 0, wire = 0, output = 0;
    double receiving = 0.0, decoding = 0.0, flushing = 0.0;
    for (int i = 0; i <= kRuns; ++i) {
        std::filesystem::remove_all(dir + "/data");
        std::filesystem::create_directory(dir + "/data");
        SilentHost host;
        RETRIEVAL_RESULT result;
        double start = seconds();
        RetrievalThread(input, host, &result);
        double elapsed = seconds() - start;
        if (!result.complete || result.runFailed) {
            std::fprintf(stderr, "gleaner_fetch_bench: the run did not complete\n");
            return 1;
        }
        samples = 0;
        for (const GLEANER_RESULT_ENTRY& e : result.results) samples += e.samples;
        packets = result.packets;
        // Every frame as sent: preamble, packet header, 4 bytes a sample, signature preamble.
        wire =
            packets * (IACP_PREAMBLE_LEN + IACP_SIGPREAMBLE_LEN + ISI_TS_HEADER_LEN) + samples * 4;
        uint64_t files = 0;
        for (auto& e : std::filesystem::recursive_directory_iterator(dir + "/data"))
            if (e.is_regular_file()) ++files;
        output = files * 512 + samples * 4;
        if (i == 0) continue;  // warms isi-sim's packet cache
        if (elapsed < bestRun) {
            receiving = host.decoding - start;
            decoding = host.writing - host.decoding;
            flushing = start + elapsed - host.writing;
        }
        bestRun = std::min(bestRun, elapsed);
        double base = benchsupport::pump(wire, kChunk) + writeFile(dir, output);
        if (base > 0.0) bestBase = std::min(bestBase, base);
        double bare = bareRead(input);
        if (bare > 0.0) bestBare = std::min(bestBare, bare);
    }
    rig.server->stop();
    double ratio = bestRun / bestBase;
    std::printf("  %llu packets, %.2f Msamples, %.1f MB on the wire, %.1f MB written\n",
                static_cast<unsigned long long>(packets), samples / 1e6, wire / 1e6, output / 1e6);
    std::printf("  run: receiving %.3f s, decoding and writing %.3f s, last blocks %.3f s\n",
                receiving, decoding, flushing);
    std::printf("  run %.3f s, baseline %.3f s: ratio %.2f (goal <= %.1f)\n", bestRun, bestBase,
                ratio, kGoal);
    std::printf(
        "  for reference: isiReadGenericTS alone, packets dropped, %.3f s (%.2f x baseline): "
        "run / read %.2f\n",
        bestBare, bestBare / bestBase, bestRun / bestBare);
    return 0;
}
