// "gleaner fetch": the retrieval run without a window, for scripts and cron. The status text, a
// progress bar and at the end a line per stream go to standard error; the input/output question
// is answered by the --on-error policy. SIGINT, SIGTERM and SIGHUP stop the run within a second
// wherever it is: what arrived is still written and catalogued (a stop while converting keeps
// what is converted by then, and says what is not). The exit statuses are the kFetch constants
// below.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "gleaner/retrieval.h"
#include "kvr/availability.h"

enum class FetchOnError { RetryThenIgnore, Retry, Ignore, Abort };

struct FETCH_OPTIONS {
    std::string server;  // HOST or HOST:PORT
    std::string begin;   // any form utilParseTime takes
    std::string end;
    std::string dataDirectory;         // empty: the store's data directory (kvr/store.h)
    std::vector<std::string> streams;  // STA.CHN[.LOC] each (or joined by "+"), wildcards allowed
    FetchOnError onError = FetchOnError::RetryThenIgnore;
    int retries = 3;  // answers "retry" this many times, then the policy's fallback
    std::string spoolDirectory;
    std::string connectString = gleanerCatalogueConnectString();
    // The catalogue's password from the first line of this file instead (kvrReadPasswordFile).
    std::string passwordFile;
    std::string kvrProfile = KVR_PROFILE;  // where the store's data directory is read
    // Called with every status text and every phase the run shows (tests act on them).
    std::function<void(const std::string&)> onStatusForTests;
    std::function<void(RetrievalPhase)> onPhaseForTests;
};

inline constexpr int kFetchComplete = 0;  // every stream's whole window received and stored
inline constexpr int kFetchFailed = 1;    // a failure, or samples received but not stored
inline constexpr int kFetchPartial = 4;   // everything received is stored, some window not whole
inline constexpr int kFetchNothing = 3;   // no sample at all arrived
inline constexpr int kFetchUsage = 2;  // bad option, time, stream or data directory (as kExitUsage)
inline constexpr int kFetchStoppedBase = 128;  // + the signal: stopped, what arrived is stored

// A fetch asks the server only for what the stored Gleaner files of each stream lack, in rounds
// of one request each (a request carries one window per stream): round k asks every stream for
// its k-th missing part. Past this many parts in a stream, the parts closest together are joined
// (asking again for the few stored samples between them), so a run sends at most this many
// requests.
inline constexpr size_t kFetchMaxRounds = 8;

// What the archive holds of one requested stream's window, before and after the run.
struct FETCH_ARCHIVE {
    bool wholeBefore = false;  // nothing was missing: nothing was asked for it
    bool wholeAfter = false;   // nothing is missing now
};

// One requested stream's account at the end of a run.
struct FETCH_STREAM_SUMMARY {
    std::string stream;  // as requested
    // Without the archive's account: received from the window's first to its last sample
    // without a break. With it: the stored files hold the whole window after the run.
    bool whole = false;
    bool stored = false;        // everything received is in files with rows
    bool alreadyWhole = false;  // stored whole before the run, not asked for
    std::string line;           // the text printed for it, escaped
};

// The answer to the i/o question after retriesSoFar retries.
IoAnswer gleanerFetchAnswer(FetchOnError policy, int retriesSoFar, int maxRetries);
// The per-stream accounts of a finished run: the names the server lacks, then each stream asked
// for, then the streams the server sent unasked (refused, nothing stored). None for a run that
// failed or stopped before its request: it asked for nothing.
// archive (when given) holds one entry per stream of result.requestedStreams, in their order.
std::vector<FETCH_STREAM_SUMMARY> gleanerFetchSummary(
    const RETRIEVAL_INPUT& input, const RETRIEVAL_RESULT& result,
    const std::vector<FETCH_ARCHIVE>* archive = nullptr);

// The request windows each of streams (concrete names) still lacks in [begin, end]
// (kvrMissingParts), from its stored Gleaner files under the store: the whole window for a
// stream with none. At most kFetchMaxRounds per stream. False with *error when the catalogue
// cannot be read.
bool gleanerFetchMissing(KvrConnection& db, const KVR_STORE& store, double begin, double end,
                         const std::vector<ISI_STREAM_ID>& streams,
                         std::vector<std::vector<KVR_SPAN>>* missing, std::string* error);
// The rounds that ask for them: round k holds the k-th window of every stream that has one.
std::vector<std::vector<RETRIEVAL_WINDOW>> gleanerFetchRounds(
    const std::vector<ISI_STREAM_ID>& streams, const std::vector<std::vector<KVR_SPAN>>& missing);
// The exit status of a finished run; stopSignal is the signal that stopped it, or 0.
int gleanerFetchStatus(const RETRIEVAL_RESULT& result,
                       const std::vector<FETCH_STREAM_SUMMARY>& summary, int stopSignal);

// Builds the run's input (gleanerRunInput); false with a message for a bad server, time or stream,
// the arguments in it escaped, ready to print.
bool gleanerFetchInput(const FETCH_OPTIONS& options, RETRIEVAL_INPUT* input, std::string* error);
// Runs the fetch: makes a missing --data-dir, installs the stop signals, runs the retrieval, and
// writes progress, a line per stream and a verdict to err. Returns the exit status (kFetch*).
int gleanerFetch(const FETCH_OPTIONS& options, std::FILE* err);
