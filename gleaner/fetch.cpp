#include "gleaner/fetch.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "kvr/kvrfile.h"
#include "kvr/store.h"
#include "platform/clock.h"
#include "platform/display.h"
#include "platform/signals.h"
#include "util/util.h"

namespace {

constexpr int kBarWidth = 30;
constexpr double kRedrawSeconds = 0.1;  // a terminal's bar is redrawn at most this often
constexpr int kLogStep = 10;            // percent between the lines written to a file or pipe

class CFetchHost : public CRetrievalHost {
  public:
    CFetchHost(const FETCH_OPTIONS& options, std::FILE* err) : options_(options), err_(err) {}

    void SetPhase(RetrievalPhase phase) override {
        phase_ = phase;
        if (options_.onPhaseForTests) options_.onPhaseForTests(phase);
    }
    void SetStatusText(const std::string& text) override {
        status_ = utilPrintableString(text);
        // A packet's status changes all the time; a phase's text is shown whenever it is set.
        packetStatus_ = phase_ == RetrievalPhase::Receiving && text != kReceivedStatus;
        if (options_.onStatusForTests) options_.onStatusForTests(text);
        Draw();
    }
    void Note(const std::string& text) override {
        EndLine();
        std::fprintf(err_, "gleaner: %s\n", utilPrintableString(text).c_str());
    }
    void SetProgress(int position) override { progress_ = position; }
    void SetWaitCursor(bool) override {}
    void ShowMessage(const std::string& text, const std::string& title, bool) override {
        EndLine();
        std::fprintf(err_, "gleaner: %s%s%s\n", title.c_str(), title.empty() ? "" : ": ",
                     utilPrintableString(Trimmed(text)).c_str());
    }
    IoAnswer AskIoError(const std::string&, const std::string&) override {
        EndLine();
        IoAnswer answer = gleanerFetchAnswer(options_.onError, retries_, options_.retries);
        if (answer == IoAnswer::Retry) ++retries_;
        static const char* const kNames[] = {"abort", "retry", "ignore"};
        std::fprintf(err_, "gleaner: NRTS server i/o error: %s\n", kNames[int(answer)]);
        return answer;
    }
    void RunFinished() override { EndLine(); }

  private:
    static std::string Trimmed(std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    }
    void Draw() {
        if (status_.empty()) return;
        const bool phase = !packetStatus_;
        const double now = platNow();
        if (!tty_) {
            // Logs get a line per tenth of the window, not one per packet.
            if (!phase && progress_ / kLogStep == lastStep_) return;
            lastStep_ = progress_ / kLogStep;
            std::fprintf(err_, "%3d%% %s\n", progress_, status_.c_str());
            return;
        }
        if (!phase && now - lastDraw_ < kRedrawSeconds) return;
        lastDraw_ = now;
        int filled = std::max(0, std::min(kBarWidth, progress_ * kBarWidth / 100));
        std::fprintf(err_, "\r[%s%s] %3d%% %s\033[K", std::string(filled, '#').c_str(),
                     std::string(kBarWidth - filled, '.').c_str(), progress_, status_.c_str());
        std::fflush(err_);
        open_ = true;
    }
    void EndLine() {
        if (open_) std::fputc('\n', err_);
        open_ = false;
    }

    const FETCH_OPTIONS& options_;
    std::FILE* err_;
    RetrievalPhase phase_ = RetrievalPhase::Checking;
    bool packetStatus_ = false;
    std::string status_;
    int progress_ = 0;
    int retries_ = 0;
    bool open_ = false;
    bool tty_ = platIsTerminal(err_);
    double lastDraw_ = 0.0;
    int lastStep_ = -1;
};

// The folder the run writes into, checked before anything is asked of the server: --data-dir
// (made when missing), else the store's data directory, into *chosen. Warns when the rows will be
// relative to a folder other than the store's (kvrdb check would look for them in the wrong place).
bool PrepareDataDirectory(const FETCH_OPTIONS& options, std::FILE* err, KVR_STORE* chosen) {
    KVR_STORE& store = *chosen;
    std::string error;
    const bool given = !options.dataDirectory.empty();
    const bool ready =
        (given ? kvrStoreFromFolder(options.dataDirectory, "--data-dir", true, &store, &error)
               : kvrStoreFromProfile(&store, &error, options.kvrProfile)) &&
        kvrStoreCheckWritable(store, &error);
    if (!ready) {
        std::fprintf(err, "gleaner fetch: %s\n", utilPrintableString(error).c_str());
        return false;
    }
    if (!given) return true;
    KVR_STORE catalogue;
    std::string why;
    std::error_code ec;
    const bool same = kvrStoreFromProfile(&catalogue, &why, options.kvrProfile) &&
                      std::filesystem::equivalent(store.dataDirectory, catalogue.dataDirectory, ec);
    if (!same)
        std::fprintf(err,
                     "gleaner fetch: warning: the rows will be relative to %s, which is not the "
                     "store's data directory (%s); check them with \"kvrdb check --data-dir %s\"\n",
                     utilPrintableString(store.dataDirectory).c_str(),
                     catalogue.dataDirectory.empty()
                         ? utilPrintableString(why).c_str()
                         : utilPrintableString(catalogue.dataDirectory).c_str(),
                     utilPrintableString(store.dataDirectory).c_str());
    return true;
}

bool parseTime(const std::string& text, double* t) {
    return utilParseTime(text.c_str(), platNow(), t);
}

std::string streamText(const ISI_STREAM_ID& name) {
    char text[ISI_STREAM_NAME_WIRE_LEN + 3];
    return isiStreamIdString(&name, text, sizeof text);
}

// The account's stream is the requested one: codes without regard to case, a location of none
// as the store writes it.
bool sameStream(const ISI_STREAM_ID& asked, const std::string& sta, const std::string& chn,
                const std::string& loc) {
    ISI_STREAM_ID name;
    isiSetStreamId(&name, sta.c_str(), chn.c_str(), kvrLocationIsNone(loc) ? "" : loc.c_str());
    return isiStreamIdMatches(&asked, &name);
}

std::string timeText(double t) {
    char text[UTIL_TIMESTRING_STATIC_LEN];
    return utilTimeString(t, 0, text);
}

std::string plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// One stream's line: what arrived, what was written, what was already there, what went wrong.
FETCH_STREAM_SUMMARY summarise(const std::string& name, const RETRIEVAL_INPUT& input,
                               const GLEANER_RESULT_ENTRY* account,
                               const std::vector<const RETRIEVAL_REFUSED*>& refused,
                               const FETCH_ARCHIVE* archive) {
    FETCH_STREAM_SUMMARY out;
    out.stream = name;
    if (archive != nullptr && archive->wholeBefore && account == nullptr && refused.empty()) {
        out.whole = out.stored = out.alreadyWhole = true;
        out.line = utilPrintableString(name + ": already stored whole, nothing asked");
        return out;
    }
    std::string line = name + ": ";  // escaped once, whole, at the end
    uint64_t refusedSamples = 0;
    for (const RETRIEVAL_REFUSED* r : refused) refusedSamples += r->samples;
    if (account == nullptr || account->samplesReceived == 0) {
        line += refusedSamples == 0 ? "nothing received (no data in the window)" : "nothing stored";
    } else {
        const GLEANER_RESULT_ENTRY& a = *account;
        const double interval = 1.0 / a.sps;
        constexpr double kSlack = 1e-6;
        out.whole = a.receivedBreaks == 0 && a.firstReceived <= input.begin + interval + kSlack &&
                    a.lastReceived >= input.end - interval - kSlack;
        line += "received " + plural(a.samplesReceived, "sample", "samples") + " " +
                timeText(a.firstReceived) + " .. " + timeText(a.lastReceived) + "; ";
        if (a.samples == 0 && a.samplesLost == 0)
            line += "nothing new, every sample was already stored";
        else
            line += "wrote " + std::to_string(a.samples) + " (" +
                    plural(uint64_t(a.filesCreated), "file", "files") + " new, " +
                    std::to_string(a.filesExtended) + " extended), " +
                    std::to_string(a.samplesAlreadyStored) + " already stored";
        line += ", " + plural(uint64_t(a.rowsWritten), "row", "rows") + " written";
        if (a.samplesLost > 0) line += "; " + std::to_string(a.samplesLost) + " LOST";
        if (a.rowErrors > 0)
            line += "; " + plural(uint64_t(a.rowErrors), "row", "rows") + " rolled back";
        if (archive != nullptr) out.whole = archive->wholeAfter;
        if (!out.whole) line += "; the window is not whole";
        out.stored = a.samplesLost == 0 && a.rowErrors == 0;
    }
    for (const RETRIEVAL_REFUSED* r : refused) {
        line += "; " + std::to_string(r->samples) + " samples refused: " + r->why;
        out.stored = false;
    }
    if (refused.empty() && (account == nullptr || account->samplesReceived == 0)) out.stored = true;
    out.line = utilPrintableString(line);
    return out;
}

}  // namespace

IoAnswer gleanerFetchAnswer(FetchOnError policy, int retriesSoFar, int maxRetries) {
    switch (policy) {
        case FetchOnError::Abort:
            return IoAnswer::Abort;
        case FetchOnError::Ignore:
            return IoAnswer::Ignore;
        case FetchOnError::Retry:
            // Retrying for ever would hang a cron job: past the retries the run gives up.
            return retriesSoFar < maxRetries ? IoAnswer::Retry : IoAnswer::Abort;
        case FetchOnError::RetryThenIgnore:
            break;
    }
    return retriesSoFar < maxRetries ? IoAnswer::Retry : IoAnswer::Ignore;
}

std::vector<FETCH_STREAM_SUMMARY> gleanerFetchSummary(const RETRIEVAL_INPUT& input,
                                                      const RETRIEVAL_RESULT& result,
                                                      const std::vector<FETCH_ARCHIVE>* archive) {
    std::vector<FETCH_STREAM_SUMMARY> out;
    // Lines only for what was asked: a run that failed or stopped before its request asked for
    // nothing (a run that found everything stored asked for nothing too, and says so).
    if (!result.requested && !result.nothingMissing &&
        !(result.returnValue == 0 && result.requestedStreams.empty()))
        return out;
    for (const ISI_STREAM_ID& name : result.unknownStreams) {
        FETCH_STREAM_SUMMARY s;
        s.stream = streamText(name);
        s.stored = true;
        s.line = utilPrintableString(s.stream + ": the server has no such stream (see isicat cnf)");
        out.push_back(s);
    }
    std::vector<bool> refusedUsed(result.refused.size());
    for (size_t n = 0; n < result.requestedStreams.size(); ++n) {
        const ISI_STREAM_ID& name = result.requestedStreams[n];
        const GLEANER_RESULT_ENTRY* account = nullptr;
        for (const GLEANER_RESULT_ENTRY& a : result.accounts)
            if (account == nullptr && sameStream(name, a.station, a.channel, a.location))
                account = &a;
        std::vector<const RETRIEVAL_REFUSED*> refused;
        for (size_t i = 0; i < result.refused.size(); ++i) {
            const RETRIEVAL_REFUSED& r = result.refused[i];
            if (!refusedUsed[i] && sameStream(name, r.station, r.channel, r.location)) {
                refused.push_back(&r);
                refusedUsed[i] = true;
            }
        }
        out.push_back(
            summarise(streamText(name), input, account, refused,
                      archive != nullptr && n < archive->size() ? &(*archive)[n] : nullptr));
    }
    // What the server sent unasked was refused before the spool; it never makes a window whole
    // and nothing of it is stored.
    for (const RETRIEVAL_UNREQUESTED& u : result.unrequested) {
        FETCH_STREAM_SUMMARY s;
        s.stream = streamText(u.name);
        s.whole = true;
        s.stored = true;
        s.line = utilPrintableString(s.stream + ": not asked for, " + std::to_string(u.packets) +
                                     " packets (" + std::to_string(u.samples) +
                                     " samples) refused, nothing stored");
        out.push_back(s);
    }
    return out;
}

int gleanerFetchStatus(const RETRIEVAL_RESULT& result,
                       const std::vector<FETCH_STREAM_SUMMARY>& summary, int stopSignal) {
    if (result.returnValue != 0) return kFetchFailed;
    if (stopSignal != 0 && !result.runFailed && result.rowErrors == 0)
        return kFetchStoppedBase + stopSignal;
    bool stored = !result.runFailed && result.rowErrors == 0;
    bool whole = true, alreadyStored = false;
    for (const FETCH_STREAM_SUMMARY& s : summary) {
        stored = stored && s.stored;
        whole = whole && s.whole;
        alreadyStored = alreadyStored || s.alreadyWhole;
    }
    if (!stored) return kFetchFailed;
    if (stopSignal != 0) return kFetchStoppedBase + stopSignal;
    uint64_t received = 0;
    for (const GLEANER_RESULT_ENTRY& a : result.accounts) received += a.samplesReceived;
    if (received == 0 && !alreadyStored) return kFetchNothing;
    return whole ? kFetchComplete : kFetchPartial;
}

bool gleanerFetchMissing(KvrConnection& db, const KVR_STORE& store, double begin, double end,
                         const std::vector<ISI_STREAM_ID>& streams,
                         std::vector<std::vector<KVR_SPAN>>* missing, std::string* error) {
    missing->clear();
    for (const ISI_STREAM_ID& name : streams) {
        std::vector<GLEANER_STORED_FILE> files;
        if (!gleanerStoredFiles(db, store, name.sta, name.chn, name.loc, kCreatorName, 0.0, &files,
                                error))
            return false;
        std::vector<KVR_SPAN> stored, spans, overlaps;
        double interval = 0.0, newest = -HUGE_VAL;
        for (const GLEANER_STORED_FILE& f : files) {
            // A file whose row disagrees with it (a run stopped between the two) is asked for
            // again: the writer skips the samples it holds and puts its row right.
            if (!f.rowAgrees) continue;
            stored.push_back({f.start, f.start + double(f.samples) / f.rate});
            // The rate of the newest file is the one the server sends now.
            if (f.start > newest) {
                newest = f.start;
                interval = 1.0 / f.rate;
            }
        }
        std::vector<KVR_SPAN> lacking = {{begin, end}};
        if (!stored.empty()) {
            kvrMergeSpans(std::move(stored), 0.5 * interval, &spans, &overlaps);
            lacking = kvrMissingParts(spans, begin, end, interval);
        }
        kvrJoinParts(&lacking, kFetchMaxRounds);
        missing->push_back(std::move(lacking));
    }
    return true;
}

std::vector<std::vector<RETRIEVAL_WINDOW>> gleanerFetchRounds(
    const std::vector<ISI_STREAM_ID>& streams, const std::vector<std::vector<KVR_SPAN>>& missing) {
    std::vector<std::vector<RETRIEVAL_WINDOW>> rounds;
    for (size_t n = 0; n < streams.size() && n < missing.size(); ++n)
        for (size_t k = 0; k < missing[n].size(); ++k) {
            if (rounds.size() <= k) rounds.resize(k + 1);
            rounds[k].push_back({streams[n], missing[n][k].start, missing[n][k].end});
        }
    return rounds;
}

bool gleanerFetchInput(const FETCH_OPTIONS& options, RETRIEVAL_INPUT* input, std::string* error) {
    std::string server = options.server;
    int port = ISI_DEFAULT_PORT;
    size_t colon = options.server.rfind(':');
    if (colon != std::string::npos) {
        server = options.server.substr(0, colon);
        char* end = nullptr;
        long value = std::strtol(options.server.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || value <= 0 || value > 65535 ||
            end == options.server.c_str() + colon + 1) {
            *error = "bad port in --server " + utilPrintableString(options.server);
            return false;
        }
        port = int(value);
    }
    if (server.empty()) {
        *error = "no server";
        return false;
    }
    double begin = 0.0, end = 0.0;
    if (!parseTime(options.begin, &begin)) {
        *error =
            "bad --begin time " + utilPrintableString(options.begin) + "; use " + UTIL_TIME_FORMS;
        return false;
    }
    if (!parseTime(options.end, &end)) {
        *error = "bad --end time " + utilPrintableString(options.end) + "; use " + UTIL_TIME_FORMS;
        return false;
    }
    if (end <= begin) {
        *error = "Wrong time interval";
        return false;
    }
    if (options.streams.empty()) {
        *error = "no stream";
        return false;
    }
    // Each argument is a name or names joined by "+", wildcards allowed: the run expands them
    // against the server's list.
    std::vector<ISI_STREAM_ID> streams;
    for (const std::string& text : options.streams) {
        std::vector<ISI_STREAM_ID> names;
        std::string why;
        if (!isiParseStreamNames(text, &names, &why)) {
            *error = "bad stream: " + why;
            return false;
        }
        streams.insert(streams.end(), names.begin(), names.end());
    }
    RETRIEVAL_INPUT in = gleanerRunInput(server, port, begin, end, std::move(streams));
    if (!options.dataDirectory.empty()) in.dataDirectory = options.dataDirectory;
    in.spoolDirectory = options.spoolDirectory;
    in.connectString = options.connectString;
    in.kvrProfile = options.kvrProfile;
    *input = in;
    return true;
}

int gleanerFetch(const FETCH_OPTIONS& options, std::FILE* err) {
    RETRIEVAL_INPUT input;
    std::string error;
    if (!gleanerFetchInput(options, &input, &error)) {
        std::fprintf(err, "gleaner fetch: %s\n", error.c_str());
        return kFetchUsage;
    }
    if (!options.passwordFile.empty()) {
        KVR_CREDENTIALS credentials = kvrCatalogueCredentials(KVR_DSN, KVR_USER, KVR_PASSWORD);
        if (!kvrReadPasswordFile(options.passwordFile, &credentials.password, &error)) {
            std::fprintf(err, "gleaner fetch: %s\n", utilPrintableString(error).c_str());
            return kFetchUsage;
        }
        input.connectString = kvrConnectString(KVR_DSN, credentials);
    }
    KVR_STORE store;
    if (!PrepareDataDirectory(options, err, &store)) return kFetchUsage;
    // Only what the stored files lack is asked for, once the run knows its concrete streams. A
    // catalogue that cannot be read leaves the whole window to the run, which says why it cannot
    // store it.
    KvrConnection db;
    std::vector<FETCH_ARCHIVE> archive;
    bool known = false;
    if (db.openString(input.connectString)) {
        const double begin = input.begin, end = input.end;
        input.planner = [&db, &store, &archive, &known, begin, end](
                            const std::vector<ISI_STREAM_ID>& streams,
                            std::vector<std::vector<RETRIEVAL_WINDOW>>* rounds,
                            std::string* why) {
            std::vector<std::vector<KVR_SPAN>> missing;
            if (!gleanerFetchMissing(db, store, begin, end, streams, &missing, why)) return false;
            *rounds = gleanerFetchRounds(streams, missing);
            archive.assign(streams.size(), FETCH_ARCHIVE{});
            for (size_t n = 0; n < streams.size(); ++n) archive[n].wholeBefore = missing[n].empty();
            known = true;
            return true;
        };
    }
    LOGIO log;
    logioInit(&log, "stderr", nullptr, "gleaner");
    logioSetThreshold(&log, LOG_WARNING);
    input.log = &log;
    platInstallStopSignals();
    // Every wait for the server ends at the first stop signal; a second one ends the program.
    input.stop = platStopSignalFlag();
    CFetchHost host(options, err);
    CRetrievalRun run(input, host);
    run.Run();
    const RETRIEVAL_RESULT& result = run.Result();
    const int signal = platStopSignal();
    if (signal != 0)
        std::fprintf(err, "gleaner fetch: stopped by signal %d while %s\n", signal,
                     gleanerPhaseName(result.stoppedIn));
    std::vector<std::vector<KVR_SPAN>> missing;
    std::string why;
    if (known && gleanerFetchMissing(db, store, input.begin, input.end, result.requestedStreams,
                                     &missing, &why))
        for (size_t n = 0; n < archive.size() && n < missing.size(); ++n)
            archive[n].wholeAfter = missing[n].empty();
    else
        known = false;
    const std::vector<FETCH_STREAM_SUMMARY> summary =
        gleanerFetchSummary(input, result, known ? &archive : nullptr);
    for (const FETCH_STREAM_SUMMARY& s : summary) std::fprintf(err, "%s\n", s.line.c_str());
    const int status = gleanerFetchStatus(result, summary, signal);
    static const std::map<int, const char*> kVerdicts = {
        {kFetchComplete, "complete"},
        {kFetchFailed, "FAILED (see the lines above)"},
        {kFetchPartial, "partial: part of the window did not arrive"},
        {kFetchNothing, "nothing received"}};
    auto verdict = kVerdicts.find(status);
    std::fprintf(err, "gleaner fetch: %s (exit %d)\n",
                 verdict != kVerdicts.end() ? verdict->second : "stopped", status);
    return status;
}
