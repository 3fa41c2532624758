// refetch_bench: what a fetch moves from the server when most of its window is stored already.
//
// 24 channels, one hour, 100 samples per second, 100 samples a packet, from isi-sim in this
// process. The archive holds the hour but for three 10-second holes per channel (made by fetching
// the four pieces around them). The fetch of the whole hour then asks only for the holes, one
// request a round (gleanerFetchMissing, gleanerFetchRounds, the retrieval run as "gleaner fetch"
// runs them); the baseline is the single request of the whole window that every fetch sent
// before. The figure is the data bytes received (every frame's preamble, packet header and
// samples), against the holes' own samples plus two packets at each hole edge; three runs, each
// on the archive made anew.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/gleaner/fetch_rig.h"
#include "gleaner/fetch.h"
#include "kvr/dsn.h"
#include "platform/clock.h"
#include "server/server.h"

using namespace benchsupport;  // the rig and the window it fetches

namespace {

constexpr int kRuns = 3;
constexpr double kHoleSeconds = 10.0;
constexpr double kHoleStarts[] = {600.0, 1800.0, 3000.0};  // seconds into the hour
constexpr int kPacketsPerEdge = 2;
constexpr uint64_t kFrameOverhead = IACP_PREAMBLE_LEN + IACP_SIGPREAMBLE_LEN + ISI_TS_HEADER_LEN;

// Bytes of the frames a run received: each packet's preamble and header, 4 bytes a sample.
uint64_t ReceivedBytes(const RETRIEVAL_RESULT& result) {
    uint64_t samples = 0;
    for (const GLEANER_RESULT_ENTRY& a : result.accounts) samples += a.samplesReceived;
    return result.packets * kFrameOverhead + samples * 4;
}

bool Run(const RETRIEVAL_INPUT& input, RETRIEVAL_RESULT* result) {
    QuietHost host;
    RetrievalThread(input, host, result);
    return result->returnValue == 0 && !result->runFailed;
}

}  // namespace

int main() {
    FetchRig rig;
    if (!rig.Start("refetch_bench", kFetchChannels, "R%02d.HHZ", kFetchRate, kFetchSamplesPerPacket,
                   kFetchSeconds, 0))
        return 1;
    const RETRIEVAL_INPUT& input = rig.input;
    const double begin = input.begin;
    std::string error;
    KvrConnection db;
    if (!db.openString(input.connectString)) {
        std::fprintf(stderr, "refetch_bench: %s\n", db.message().c_str());
        return 1;
    }
    KVR_STORE store;
    if (!kvrStoreFromFolder(*input.dataDirectory, "--data-dir", true, &store, &error)) return 1;

    // The holes' samples, and the most the re-fetch may move: them plus two packets an edge.
    const uint64_t holeSamples = uint64_t(std::size(kHoleStarts)) * kFetchChannels *
                                 uint64_t(std::lround(kHoleSeconds * kFetchRate - 1));
    const uint64_t packetBytes = kFrameOverhead + kFetchSamplesPerPacket * 4;
    const uint64_t allowed = holeSamples * 4 + uint64_t(std::size(kHoleStarts)) * 2 *
                                                   kPacketsPerEdge * kFetchChannels * packetBytes;
    std::printf(
        "re-fetch of %d channels x %.0f s x %d sps with %zu holes of %.0f s a channel, "
        "isi-sim in-process (%d runs):\n",
        kFetchChannels, kFetchSeconds, kFetchRate, std::size(kHoleStarts), kHoleSeconds, kRuns);
    for (int run = 1; run <= kRuns; ++run) {
        // The archive with its holes: the four pieces around them, fetched in turn.
        std::filesystem::remove_all(store.dataDirectory);
        std::filesystem::create_directories(store.dataDirectory);
        db.execute("delete from FILELIST");
        double from = begin;
        for (size_t h = 0; h <= std::size(kHoleStarts); ++h) {
            RETRIEVAL_INPUT piece = input;
            piece.begin = from;
            piece.end = h < std::size(kHoleStarts) ? begin + kHoleStarts[h] : input.end;
            RETRIEVAL_RESULT r;
            if (!Run(piece, &r)) return 1;
            if (h < std::size(kHoleStarts)) from = piece.end + kHoleSeconds;
        }
        // The fetch that asks only for what is missing.
        std::vector<std::vector<KVR_SPAN>> missing;
        if (!gleanerFetchMissing(db, store, input.begin, input.end, input.streams, &missing, &error)) {
            std::fprintf(stderr, "refetch_bench: %s\n", error.c_str());
            return 1;
        }
        RETRIEVAL_INPUT holes = input;
        const std::vector<std::vector<RETRIEVAL_WINDOW>> rounds =
            gleanerFetchRounds(input.streams, missing);
        holes.planner = [&rounds](const std::vector<ISI_STREAM_ID>&,
                                  std::vector<std::vector<RETRIEVAL_WINDOW>>* planned,
                                  std::string*) {
            *planned = rounds;
            return true;
        };
        RETRIEVAL_RESULT refetch;
        const double t1 = platNow();
        if (!Run(holes, &refetch)) return 1;
        const double refetchSeconds = platNow() - t1;
        if (!gleanerFetchMissing(db, store, input.begin, input.end, input.streams, &missing, &error)) return 1;
        // Today's fetch of the same window: the whole of it in one request.
        RETRIEVAL_RESULT whole;
        const double t0 = platNow();
        if (!Run(input, &whole)) return 1;
        const double wholeSeconds = platNow() - t0;
        size_t left = 0;
        for (const auto& m : missing) left += m.size();
        const uint64_t bytes = ReceivedBytes(refetch);
        std::printf(
            "  run %d: %zu requests, %.3f MB received in %.2f s (holes and 2 packets an "
            "edge: %.3f MB, %s); whole window: %.3f MB in %.2f s (%.0f times); %zu parts "
            "still missing\n",
            run, rounds.size(), bytes / 1e6, refetchSeconds, allowed / 1e6,
            bytes <= allowed ? "ok" : "OVER", ReceivedBytes(whole) / 1e6, wholeSeconds,
            double(ReceivedBytes(whole)) / double(bytes), left);
    }
    return 0;
}
