#include "rillet/worker.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "isi/isi.h"
#include "kvr/kvrfile.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "rillet/log.h"
#include "rillet/recorder.h"
#include "rillet/settings.h"
#include "util/util.h"

namespace {

// Pause before a new connection cycle, so that a server that answers every request with "request
// complete" is not hammered in a tight loop.
constexpr uint32_t kCyclePauseMs = 1000;
constexpr uint32_t kStopPollMs = 50;

// Copies a code into a NUL-padded name field of size n + 1, lower-cased and cut to n characters.
void PutName(char* field, size_t n, const std::string& code) {
    std::memset(field, 0, n + 1);
    for (size_t i = 0; i < n && i < code.size(); ++i)
        field[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(code[i])));
}

std::string_view NameView(const char* field, size_t n) {
    return std::string_view(field, strnlen(field, n));
}

}  // namespace

CRecorderWorker::CRecorderWorker(CRilletSettings& settings, CRecorder& recorder, CRilletLog& log,
                                 CRecorderView& view)
    : settings_(settings),
      recorder_(recorder),
      log_(log),
      view_(view),
      server_(CRilletSettings::Printable(settings.Server()) + ":" +
              std::to_string(settings.Port())),
      unreachable_(log, "server " + server_ + " unreachable", "connection attempts retried"),
      lost_(log, "connection to " + server_ + " down", "reconnects retried"),
      metricsFailing_(log, "metrics file not written", "writes retried") {}

void CRecorderWorker::WriteMetrics() {
    if (metricsFile_.empty()) return;
    lastMetrics_ = platNowCoarse();
    std::string error;
    const std::string text = RilletMetricsText(settings_, recorder_, connection_, platNow());
    if (RilletWriteMetrics(metricsFile_, text, &error))
        metricsFailing_.Succeeded();
    else
        metricsFailing_.Failed("Metrics: " + error + " (a line when it is written again)");
}

void CRecorderWorker::KeepMetrics() {
    if (!metricsFile_.empty() && platNowCoarse() - lastMetrics_ >= kMetricsSeconds) WriteMetrics();
}

// The cause of the library call that just failed, in words.
std::string CRecorderWorker::LastCause() {
    const int error = platGetError();
    return error != 0 ? platErrorText(error) : "no cause given";
}

void CRecorderWorker::LogRequest() const {
    // One line per station: what is asked of the server, from when.
    const auto& groups = settings_.Groups();
    for (size_t g = 0; g < groups.size(); ++g) {
        if (groups[g].channels.empty()) continue;
        std::string line = "Asked " + server_ + " for " + groups[g].station + ":";
        for (size_t c = 0; c < groups[g].channels.size(); ++c) {
            const double from = recorder_.State(g, c).nextTime;
            char when[UTIL_TIMESTRING_STATIC_LEN + 1];
            line += (c == 0 ? " " : ", ") + ResumeTimeKey(groups[g].channels[c]) + " from " +
                    (from != 0 ? utilTimeString(from, 0, when) : "the newest data");
        }
        log_.WriteLog(line);
    }
}

void CRecorderWorker::RecorderThread() {
    recorder_.PrepareChannels();
    connection_ = CConnectionCounts{};
    WriteMetrics();
    while (!stop_.load()) {
        // A cycle ended to fetch refused packets again starts over at once.
        if (!RunConnection() && !stop_.load()) PauseUnlessStopped(kCyclePauseMs);
    }
    // Orderly stop: what is pending is written now, with its row and resume time, rather than
    // asked for again at the next start (the server's loop may have dropped it by then).
    recorder_.FlushAll();
    connection_.running = false;
    connection_.connected = false;
    WriteMetrics();
}

ISI_DATA_REQUEST* CRecorderWorker::BuildRequest() const {
    auto* request = static_cast<ISI_DATA_REQUEST*>(std::malloc(sizeof(ISI_DATA_REQUEST)));
    if (request == nullptr) return nullptr;
    isiInitDataRequest(request);
    request->type = ISI_REQUEST_TYPE_TWIND;
    request->format = ISI_FORMAT_GENERIC;
    request->compress = ISI_COMP_IDA;

    size_t count = 0;
    for (const auto& g : settings_.Groups()) count += g.channels.size();
    if (count > 0) {
        request->twind = static_cast<ISI_TWIND_ITEM*>(std::calloc(count, sizeof(ISI_TWIND_ITEM)));
        if (request->twind == nullptr) return isiFreeDataRequest(request);
    }
    size_t i = 0;
    const auto& groups = settings_.Groups();
    for (size_t g = 0; g < groups.size(); ++g) {
        for (size_t c = 0; c < groups[g].channels.size(); ++c) {
            const CChannelConfig& ch = groups[g].channels[c];
            const double nextTime = recorder_.State(g, c).nextTime;
            ISI_TWIND_ITEM& item = request->twind[i++];
            PutName(item.name.sta, ISI_STALEN, groups[g].station);
            PutName(item.name.chn, ISI_CHNLEN, ch.channel);
            PutName(item.name.loc, ISI_LOCLEN, IsNoLocation(ch.location) ? "  " : ch.location);
            item.beg = nextTime != 0 ? nextTime : UTIL_TIME_END_OF_LOOP;
            item.end = UTIL_TIME_FOREVER;
            item.status = 0;
        }
    }
    request->nreq = static_cast<uint32_t>(count);
    return request;
}

bool CRecorderWorker::RunConnection() {
    utilNetworkInit();
    ISI_OPEN_PARAMS params;
    isiInitOpenParams(&params);
    params.port = settings_.Port();
    params.lp = libraryLog_;
    // The connection layer would retry a refused connect on its own, every retry_delay, for as
    // long as the server stays away, and nothing could stop it. It reports every failure at once
    // instead; the retries, at the same pace, are made here and end when a stop is requested.
    const uint32_t retryPauseMs = params.attr.retry_delay;
    params.attr.maxerr = IACP_ERR_NONE;
    params.attr.cancel = &cancel_;

    ISI_DATA_REQUEST* request = BuildRequest();
    if (request == nullptr) return false;

    view_.SetStatusLine("Connecting...");
    ISI_CLIENT* client = nullptr;
    while (client == nullptr && !stop_.load()) {
        client = isiInitiateDataRequest(settings_.Server().c_str(), &params, request);
        if (client != nullptr || stop_.load()) break;
        ++connection_.connectFailures;
        KeepMetrics();
        unreachable_.Failed("Cannot connect to " + server_ + ": " + LastCause() +
                            "; trying again every " + std::to_string(retryPauseMs / 1000) +
                            " s (a line when connected)");
        PauseUnlessStopped(retryPauseMs);
    }
    isiFreeDataRequest(request);
    if (client == nullptr) return false;  // stopped while connecting
    unreachable_.Succeeded();
    ++connection_.connections;
    connection_.connected = true;
    {
        std::lock_guard<std::mutex> guard(clientLock_);
        client_ = client;
        if (stop_.load()) isiSetStopFlag(client, 1);
    }

    view_.SetStatusLine("Connected...");
    log_.WriteLog("Connected...");
    LogRequest();
    int failuresInARow = 0;
    bool resync = false;
    uint64_t lostSoFar = client->lostConnections;
    for (;;) {
        int status = ISI_STATUS_FAILED;
        ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
        KeepMetrics();
        if (client->lostConnections != lostSoFar) {
            // The library lost the connection (and may have made it anew already): said once,
            // with the cause; the line when packets flow again says how long it lasted.
            connection_.lost += client->lostConnections - lostSoFar;
            lostSoFar = client->lostConnections;
            lost_.Failed("Connection to " + server_ + " lost: " + client->lostCause +
                         "; reconnecting (a line when packets flow again)");
        }
        if (status != ISI_STATUS_DATA || packet == nullptr) {
            // Between packets too (heartbeats, reconnects): the last writes' resume times are
            // not left waiting for the next packet. A packet taken does it itself.
            recorder_.KeepTime();
        }
        if (status == ISI_STATUS_DATA && packet != nullptr) {
            failuresInARow = 0;
            lost_.Succeeded();
            packets_.fetch_add(1);
            HandlePacket(*packet);
            // Packets were refused while a run could not be written; now that it is, a new
            // request fetches them again from each channel's next time.
            if ((resync = recorder_.TakeResyncRequest())) break;
        } else if (status == ISI_STATUS_DONE || status == ISI_STATUS_STOPPED) {
            if (status == ISI_STATUS_DONE) log_.WriteLog("Server " + server_ + " ended the request");
            break;
        } else if (stop_.load()) {
            break;
        } else if (isiIsConnected(client)) {
            // One packet failed (a bad header, a data type that cannot be converted): it is
            // dropped and reading goes on at once, however many follow in a row.
            failuresInARow = 0;
        } else {
            // A reconnect that failed (server away): counted, and after the first a pause.
            lost_.Failed("Connection to " + server_ + " lost: " + LastCause() +
                         "; reconnecting (a line when packets flow again)");
            if (++failuresInARow > 1) PauseUnlessStopped(retryPauseMs);
        }
    }

    {
        std::lock_guard<std::mutex> guard(clientLock_);
        client_ = nullptr;
    }
    isiCloseClient(client);
    connection_.connected = false;
    view_.SetStatusLine("Connection closed");
    log_.WriteLog("Connection closed");
    return resync;
}

void CRecorderWorker::HandlePacket(const ISI_TS_PACKET& packet) {
    CRecorderPacket p;
    p.station = NameView(packet.name.sta, ISI_STALEN);
    p.channel = NameView(packet.name.chn, ISI_CHNLEN);
    p.location = NameView(packet.name.loc, ISI_LOCLEN);
    p.interval = isiSrateToInterval(packet.factor, packet.multiplier);
    p.firstTime = packet.tofs;
    p.lastTime = packet.tols;
    p.sampleCount = packet.nsamp;
    // The samples by their data type, as 32-bit floats: integers exactly up to 2^24, larger ones
    // and 64-bit floats rounded to the nearest float.
    if (isiSamplesToFloat(&packet, &samples_)) {
        p.samples = samples_.data();
        p.dataBytes = samples_.size() * sizeof(float);
    } else if (packet.data != nullptr) {
        p.unconvertedType = isiDataTypeString(packet.datatype);
    }
    size_t g = 0, c = 0;
    const bool taken = recorder_.HandlePacket(p, &g, &c);
    if (!taken) recorder_.KeepTime();  // a packet taken has done it

    if (silent_.load() != 0) return;
    std::string text = StatusText(packet);
    view_.SetStatusLine(text);
    if (taken) {
        char when[UTIL_TIMESTRING_STATIC_LEN + 1];
        view_.SetLastCountTime(g, c, utilTimeString(packet.tofs, 0, when));
    }
}

std::string CRecorderWorker::StatusText(const ISI_TS_PACKET& packet) {
    // The channel as the window's rows show it, "BHZ.00", or "BHZ" for a stream without location.
    std::string channel(NameView(packet.name.chn, ISI_CHNLEN));
    std::string_view location = NameView(packet.name.loc, ISI_LOCLEN);
    if (!location.empty() && !kvrLocationIsNone(location)) channel += "." + std::string(location);
    // The codes come from the server: a newline or an escape sequence in them is shown, not
    // obeyed, on the console and in the window.
    const std::string station = utilPrintableString(NameView(packet.name.sta, ISI_STALEN));
    channel = utilPrintableString(channel);
    char when[UTIL_TIMESTRING_STATIC_LEN + 1];
    char text[128];
    std::snprintf(text, sizeof text, " %-5s  %-4s  %s ", station.c_str(), channel.c_str(),
                  utilTimeString(packet.tofs, 0, when));
    return text;
}

void CRecorderWorker::RequestStop() {
    stop_.store(true);
    cancel_.store(1);
    std::lock_guard<std::mutex> guard(clientLock_);
    if (client_ != nullptr) isiSetStopFlag(client_, 1);
}

void CRecorderWorker::PauseUnlessStopped(uint32_t milliseconds) const {
    for (uint32_t waited = 0; waited < milliseconds && !stop_.load(); waited += kStopPollMs)
        platSleepMs(kStopPollMs);
}
