#include "gleaner/fetch.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "kvr/kvrfile.h"
#include "platform/clock.h"
#include "util/util.h"

namespace {

constexpr int kBarWidth = 30;
constexpr double kRedrawSeconds = 0.1;  // a terminal's bar is redrawn at most this often
constexpr int kLogStep = 10;            // percent between the lines written to a file or pipe

class CFetchHost : public CRetrievalHost {
  public:
    CFetchHost(const FETCH_OPTIONS& options, std::FILE* err) : options_(options), err_(err) {}

    void SetStatusText(const std::string& text) override {
        status_ = text;
        Draw();
    }
    void SetProgress(int position) override { progress_ = position; }
    void SetWaitCursor(bool) override {}
    void ShowMessage(const std::string& text, const std::string& title, bool) override {
        EndLine();
        std::fprintf(err_, "gleaner: %s%s%s\n", title.c_str(), title.empty() ? "" : ": ",
                     Trimmed(text).c_str());
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
        // A packet status has "STA:CHN time"; phase texts ("Decoding data") are always shown.
        const bool phase =
            status_.find(' ') == std::string::npos || status_.find(':') > status_.find(' ');
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
    std::string status_;
    int progress_ = 0;
    int retries_ = 0;
    bool open_ = false;
    bool tty_ = isatty(fileno(err_)) != 0;
    double lastDraw_ = 0.0;
    int lastStep_ = -1;
};

bool parseTime(const std::string& text, double* t) {
    *t = utilAttodt(text.c_str());
    return *t >= 0.0;
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

int gleanerFetchStatus(const RETRIEVAL_RESULT& result) {
    if (result.runFailed || result.returnValue != 0) return kFetchFailed;
    return result.complete ? kFetchComplete : kFetchPartial;
}

bool gleanerFetchInput(const FETCH_OPTIONS& options, RETRIEVAL_INPUT* input, std::string* error) {
    RETRIEVAL_INPUT in;
    in.server = options.server;
    size_t colon = options.server.rfind(':');
    if (colon != std::string::npos) {
        in.server = options.server.substr(0, colon);
        char* end = nullptr;
        long port = std::strtol(options.server.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || port <= 0 || port > 65535 ||
            end == options.server.c_str() + colon + 1) {
            *error = "bad port in --server " + options.server;
            return false;
        }
        in.port = int(port);
    }
    if (in.server.empty()) {
        *error = "no server";
        return false;
    }
    if (!parseTime(options.begin, &in.begin)) {
        *error = "bad --begin time " + options.begin;
        return false;
    }
    if (!parseTime(options.end, &in.end)) {
        *error = "bad --end time " + options.end;
        return false;
    }
    if (in.end <= in.begin) {
        *error = "Wrong time interval";
        return false;
    }
    if (options.streams.empty()) {
        *error = "no stream";
        return false;
    }
    for (const std::string& s : options.streams) {
        std::vector<std::string> parts;
        size_t start = 0;
        for (;;) {
            size_t dot = s.find('.', start);
            parts.push_back(s.substr(start, dot == std::string::npos ? dot : dot - start));
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
        std::string why;
        bool ok = (parts.size() == 2 || parts.size() == 3) && parts[0].size() <= ISI_STALEN &&
                  parts[1].size() <= ISI_CHNLEN &&
                  (parts.size() == 2 || parts[2].size() <= ISI_LOCLEN);
        for (size_t i = 0; ok && i < parts.size(); ++i)
            ok = gleanerCodeIsSafe(parts[i], false, &why) &&
                 parts[i].find_first_of("+,:;* ") == std::string::npos;
        if (!ok) {
            *error = "bad stream " + s + " (STA.CHN[.LOC] expected)";
            return false;
        }
        in.streamList += "+" + s;
    }
    if (!options.dataDirectory.empty()) in.dataDirectory = options.dataDirectory;
    in.spoolDirectory = options.spoolDirectory;
    in.connectString = options.connectString;
    // A server that refuses is an error for a script, answered by --on-error, not waited for.
    in.connectRetryClass = IACP_ERR_NONE;
    *input = in;
    return true;
}

int gleanerFetch(const FETCH_OPTIONS& options, std::FILE* err) {
    RETRIEVAL_INPUT input;
    std::string error;
    if (!gleanerFetchInput(options, &input, &error)) {
        std::fprintf(err, "gleaner fetch: %s\n", error.c_str());
        return kFetchFailed;
    }
    LOGIO log;
    logioInit(&log, "stderr", nullptr, "gleaner");
    logioSetThreshold(&log, LOG_WARNING);
    input.log = &log;
    CFetchHost host(options, err);
    RETRIEVAL_RESULT result;
    RetrievalThread(input, host, &result);
    for (const GLEANER_RESULT_ENTRY& e : result.results) {
        char first[UTIL_TIMESTRING_STATIC_LEN], last[UTIL_TIMESTRING_STATIC_LEN];
        const bool located = !kvrLocationIsNone(e.location);
        std::fprintf(err, "%s.%s%s%s: %llu samples at %.3f sps, %s .. %s\n", e.station.c_str(),
                     e.channel.c_str(), located ? "." : "", located ? e.location.c_str() : "",
                     static_cast<unsigned long long>(e.samples), e.sps,
                     utilTimeString(e.firstSample, 0, first),
                     utilTimeString(e.lastSample, 0, last));
    }
    return gleanerFetchStatus(result);
}
