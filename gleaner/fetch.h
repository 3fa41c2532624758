// "gleaner fetch": the retrieval run without a window, for scripts and cron. The status text
// and a progress bar go to standard error; the input/output question is answered by the
// --on-error policy. Exit status: 0 the whole window arrived and was written, 1 failure, 2 only
// part of it arrived.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gleaner/retrieval.h"

enum class FetchOnError { RetryThenIgnore, Retry, Ignore, Abort };

struct FETCH_OPTIONS {
    std::string server;  // HOST or HOST:PORT
    std::string begin;   // epoch seconds or "YYYY:DDD-HH:MM:SS"
    std::string end;
    std::string dataDirectory;         // empty: DIR of [DATA] in kvr.ini
    std::vector<std::string> streams;  // STA.CHN[.LOC]
    FetchOnError onError = FetchOnError::RetryThenIgnore;
    int retries = 3;  // answers "retry" this many times, then the policy's fallback
    std::string spoolDirectory;
    std::string connectString = kKvrConnectString;
};

inline constexpr int kFetchComplete = 0;
inline constexpr int kFetchFailed = 1;
inline constexpr int kFetchPartial = 2;

// The answer to the i/o question after retriesSoFar retries.
IoAnswer gleanerFetchAnswer(FetchOnError policy, int retriesSoFar, int maxRetries);
// The exit status of a finished run.
int gleanerFetchStatus(const RETRIEVAL_RESULT& result);

// Builds the run's input; false with a message for a bad server, time or stream.
bool gleanerFetchInput(const FETCH_OPTIONS& options, RETRIEVAL_INPUT* input, std::string* error);
// Runs the fetch; progress and messages go to err. Returns the exit status.
int gleanerFetch(const FETCH_OPTIONS& options, std::FILE* err);
