#include "gleaner/retrieval.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "gleaner/spool.h"
#include "isi/isi.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "util/util.h"

namespace {

constexpr int kReturnConverted = 0;
constexpr int kReturnRequestFailed = 1;
constexpr int kReturnFailed = -1;
constexpr int kProgressStep = 10;  // percent between the decoding phase's progress updates

std::string streamText(const ISI_STREAM_ID& name) {
    char text[ISI_STREAM_NAME_WIRE_LEN + 3];
    return isiStreamIdString(&name, text, sizeof text);
}

std::string withThousands(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace

const char* gleanerPhaseName(RetrievalPhase phase) {
    switch (phase) {
        case RetrievalPhase::Checking:
            return "checking";
        case RetrievalPhase::Connecting:
            return "connecting";
        case RetrievalPhase::Receiving:
            return "receiving";
        case RetrievalPhase::Converting:
            return "converting";
        case RetrievalPhase::Writing:
            return "writing";
        case RetrievalPhase::Finished:
            break;
    }
    return "finished";
}

RETRIEVAL_INPUT gleanerRunInput(const std::string& server, int port, double begin, double end,
                                std::vector<ISI_STREAM_ID> streams) {
    RETRIEVAL_INPUT in;
    in.server = server;
    in.port = port;
    in.begin = begin;
    in.end = end;
    in.streams = std::move(streams);
    // A server that refuses fails the request or asks Abort/Retry/Ignore, instead of being
    // retried for ever behind a disabled dialog or a silent command.
    in.connectRetryClass = IACP_ERR_NONE;
    return in;
}

CRetrievalRun::CRetrievalRun(RETRIEVAL_INPUT input, CRetrievalHost& host)
    : in_(std::move(input)), host_(host) {}

void CRetrievalRun::SetPhase(RetrievalPhase phase) {
    phase_ = phase;
    host_.SetPhase(phase);
}

void CRetrievalRun::Finish() {
    host_.SetStatusText("");
    host_.SetProgress(0);
    host_.SetWaitCursor(false);
    SetPhase(RetrievalPhase::Finished);
    host_.RunFinished();
}

// A failure that ends the run with its own message.
int CRetrievalRun::FailureReport(const std::string& text, int returnValue) {
    ShowFailure(text);
    Finish();
    return out_.returnValue = returnValue;
}

// The message of a failure, without ending the run.
void CRetrievalRun::ShowFailure(const std::string& text) {
    host_.SetWaitCursor(false);
    host_.ShowMessage(text, kSiphonTitle, true);
    out_.runFailed = true;
    if (out_.failure.empty()) out_.failure = text;
}

std::string CRetrievalRun::FailureCause(int error) const {
    return iacpFailureText(in_.server.c_str(), in_.port, error, IACP_DEF_AT_TIMEO);
}

// The concrete streams of the request: every name checked against the server's configuration
// list, wildcards expanded. A name the list lacks is noted (no data will come for it); a run
// whose names all lack a stream asks for nothing. False after a failure report.
bool CRetrievalRun::ResolveStreams(const ISI_OPEN_PARAMS& params) {
    ISI_CNF_LIST* list = isiGetCnfList(in_.server.c_str(), &params);
    if (list == nullptr) {
        if (StopRequested()) return false;
        ShowFailure(std::string(kInitiateRequestError) + ": " + FailureCause(platGetError()));
        return false;
    }
    isiExpandStreamPatterns(in_.streams, *list, &out_.requestedStreams, &out_.unknownStreams);
    isiFreeList(list);
    return true;
}

int CRetrievalRun::Run() {
    out_ = RETRIEVAL_RESULT{};
    SetPhase(RetrievalPhase::Checking);
    KvrConnection db;
    if (!db.openString(in_.connectString)) {
        if (in_.log) logioMsg(in_.log, LOG_ERR, "RetrievalThread: %s", db.message().c_str());
        // The fixed text first, as the operator knows it, then the driver's reason.
        const std::string text = std::string(kDatabaseOpenError) + db.message();
        host_.ShowMessage(text, "", false);
        out_.runFailed = true;
        out_.failure = text;
        Finish();
        return out_.returnValue = kReturnFailed;
    }
    // The data directory and the catalogue are both needed to store anything and to know what
    // is stored: a run that cannot have them is not started, rather than fetching a window only
    // to drop it.
    KVR_STORE store;
    std::string storeError;
    const bool haveStore =
        in_.dataDirectory
            ? kvrStoreFromFolder(*in_.dataDirectory, "--data-dir", false, &store, &storeError)
            : kvrStoreFromProfile(&store, &storeError, in_.kvrProfile);
    if (!haveStore || !kvrStoreCheckWritable(store, &storeError))
        return FailureReport(storeError, kReturnFailed);
    CKvrWriter writer(&db, kCreatorName);
    writer.SetStore(store);
    writer.SetNoteSink([this](const std::string& text) { host_.Note(text); });
    std::vector<KVR_FILELIST_ROW> none;
    KVR_SQL_RESULT probe = kvrSelectFileListRows(db, "1=0", &none);
    if (!probe.ok()) return FailureReport(kNoFileList + probe.message, kReturnFailed);

    if (!spool_.Create(in_.spoolDirectory)) return FailureReport(kSpoolCreateError, kReturnFailed);
    spool_.SetLimitForTests(in_.spoolLimitBytesForTests);

    SetPhase(RetrievalPhase::Connecting);
    utilNetworkInit();
    ISI_OPEN_PARAMS params;
    isiInitOpenParams(&params);
    params.port = in_.port;
    params.lp = in_.log;
    if (in_.connectRetryClass >= 0) params.attr.maxerr = uint32_t(in_.connectRetryClass);
    params.attr.cancel = in_.stop;

    if (in_.streams.empty()) {
        spool_.Close();
        return FailureReport(kAllocRequestError, kReturnRequestFailed);
    }
    bool aborted = false;
    if (!ResolveStreams(params)) {
        if (!StopRequested()) {
            spool_.Close();
            Finish();
            return out_.returnValue = kReturnRequestFailed;
        }
    } else if (!out_.requestedStreams.empty()) {
        const std::vector<std::vector<RETRIEVAL_WINDOW>> rounds = PlanRounds();
        out_.nothingMissing = rounds.empty();
        out_.complete = true;
        // One request a round; a later round that cannot be sent ends the receiving, and what
        // the earlier ones brought is converted.
        for (size_t round = 0; round < rounds.size() && out_.complete && !aborted; ++round) {
            if (StopRequested()) break;
            ISI_DATA_REQUEST* request = AllocRequest(rounds[round]);
            if (request == nullptr) {
                spool_.Close();
                return FailureReport(kAllocRequestError, kReturnRequestFailed);
            }
            ISI_CLIENT* client = isiInitiateDataRequest(in_.server.c_str(), &params, request);
            isiFreeDataRequest(request);
            if (client == nullptr) {
                if (StopRequested()) break;
                const std::string failure =
                    std::string(kInitiateRequestError) + ": " + FailureCause(platGetError());
                if (round == 0) {
                    spool_.Close();
                    return FailureReport(failure, kReturnRequestFailed);
                }
                ShowFailure(failure);
                out_.complete = false;
                break;
            }
            out_.requested = true;
            ++out_.rounds;
            SetPhase(RetrievalPhase::Receiving);
            out_.complete = Receive(client, &aborted);
            isiCloseClient(client);
        }
        if (out_.rounds < rounds.size()) out_.complete = false;  // stopped, or a round failed
    } else {
        // Nothing to ask for: no name matched a stream.
        out_.complete = true;
    }
    if (StopRequested() && !out_.stopped) {
        out_.stopped = true;
        out_.stoppedIn = out_.requested ? RetrievalPhase::Receiving : RetrievalPhase::Connecting;
    }
    if (aborted) {
        // Everything received goes with the spool.
        spool_.Close();
        out_.runFailed = true;
        out_.complete = false;
        Finish();
        return out_.returnValue = kReturnFailed;
    }
    if (out_.stopped)
        host_.Note("stopping: storing the " + withThousands(out_.samplesReceived) +
                   " samples received");

    SetPhase(RetrievalPhase::Converting);
    Convert(writer);
    SetPhase(RetrievalPhase::Writing);
    host_.SetProgress(0);
    host_.SetStatusText(kWritingStatus);
    spool_.Close();
    writer.FlushAll();
    host_.SetProgress(100);
    host_.SetStatusText(kWritingStatus);
    out_.results = writer.Results();
    out_.accounts = writer.Accounts();
    out_.rowErrors = writer.RowErrors();
    if (writer.DroppedBlocks() > 0) {
        // Not silent: a run that lost blocks did not deliver the window.
        out_.complete = false;
        ShowFailure(kKvrWriteError);
    }
    Finish();
    return out_.returnValue = kReturnConverted;
}

std::vector<std::vector<RETRIEVAL_WINDOW>> CRetrievalRun::PlanRounds() {
    std::vector<std::vector<RETRIEVAL_WINDOW>> rounds;
    std::string why;
    if (in_.planner) {
        if (in_.planner(out_.requestedStreams, &rounds, &why)) return rounds;
        host_.Note("the whole window is asked for: " + why);
        rounds.clear();
    }
    std::vector<RETRIEVAL_WINDOW> all;
    for (const ISI_STREAM_ID& name : out_.requestedStreams) all.push_back({name, in_.begin, in_.end});
    rounds.push_back(std::move(all));
    return rounds;
}

ISI_DATA_REQUEST* CRetrievalRun::AllocRequest(const std::vector<RETRIEVAL_WINDOW>& windows) const {
    std::vector<ISI_STREAM_ID> names;
    for (const RETRIEVAL_WINDOW& w : windows) names.push_back(w.name);
    ISI_DATA_REQUEST* request =
        isiAllocTwindRequest(in_.begin, in_.end, names.data(), uint32_t(names.size()));
    if (request == nullptr) return nullptr;
    for (size_t i = 0; i < windows.size() && i < request->nreq; ++i) {
        request->twind[i].beg = windows[i].begin;
        request->twind[i].end = windows[i].end;
    }
    isiRequestSetFormat(request, ISI_FORMAT_GENERIC);
    isiRequestSetCompress(request, ISI_COMP_NONE);
    return request;
}

// True when the server finished the whole request and every packet reached the spool.
bool CRetrievalRun::Receive(ISI_CLIENT* client, bool* aborted) {
    const bool whole = ReceivePackets(client, aborted);
    if (*aborted) {
        out_.packets = spool_.Records();
        return false;
    }
    // The spool buffers its writes: the last of them may fail only now.
    const bool spooled = spool_.Flush();
    if (!spooled && !out_.runFailed) ShowFailure(kSpoolWriteError);  // once, if Append saw it
    out_.packets = spool_.Records();
    return whole && spooled;
}

bool CRetrievalRun::Requested(const ISI_STREAM_ID& name) const {
    // The names asked for are the server's own, so a packet's name is nearly always one of them
    // to the byte; matching without regard to case is the rarer, dearer way.
    for (const ISI_STREAM_ID& asked : out_.requestedStreams)
        if (isiStreamIdEqual(&asked, &name)) return true;
    for (const ISI_STREAM_ID& asked : out_.requestedStreams)
        if (isiStreamIdMatches(&asked, &name)) return true;
    return false;
}

void CRetrievalRun::CountUnrequested(const ISI_TS_PACKET& packet) {
    for (RETRIEVAL_UNREQUESTED& u : out_.unrequested)
        if (isiStreamIdEqual(&u.name, &packet.name)) {
            ++u.packets;
            u.samples += packet.nsamp;
            return;
        }
    out_.unrequested.push_back({packet.name, 1, packet.nsamp});
    host_.Note("packets of " + streamText(packet.name) + ", which was not asked for, are refused");
}

bool CRetrievalRun::ReceivePackets(ISI_CLIENT* client, bool* aborted) {
    for (;;) {
        if (StopRequested()) {
            out_.stopped = true;
            out_.stoppedIn = RetrievalPhase::Receiving;
            return false;
        }
        int status = ISI_STATUS_FAILED;
        ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
        switch (status) {
            case ISI_STATUS_DATA:
                if (!Requested(packet->name)) {
                    CountUnrequested(*packet);
                    break;
                }
                if (!spool_.Append(*packet)) {
                    ShowFailure(kSpoolWriteError);
                    return false;
                }
                out_.samplesReceived += packet->nsamp;
                if (in_.progressIntervalSeconds > 0.0) {
                    const double now = platNow();
                    if (now - lastProgress_ < in_.progressIntervalSeconds) break;
                    lastProgress_ = now;
                }
                host_.SetProgress(gleanerProgress(packet->tols, in_.begin, in_.end));
                host_.SetStatusText(
                    gleanerPacketStatus(packet->name.sta, packet->name.chn, packet->tols));
                break;
            case ISI_STATUS_DONE:
                // The server has sent the whole window: the phase ends at 100%, whatever the
                // last packet shown said.
                host_.SetProgress(100);
                if (spool_.Records() > 0) host_.SetStatusText(kReceivedStatus);
                return true;
            case ISI_STATUS_STOPPED:
                return false;
            default:
                if (StopRequested()) break;  // stops at the loop's top
                switch (host_.AskIoError(kIoErrorQuestion, kSiphonTitle)) {
                    case IoAnswer::Abort:
                        *aborted = true;
                        return false;
                    case IoAnswer::Ignore:
                        return false;
                    case IoAnswer::Retry:
                        break;
                }
                break;
        }
    }
}

void CRetrievalRun::Convert(CKvrWriter& writer) {
    if (!spool_.Rewind()) return;
    CSpoolReader reader(spool_.Descriptor());
    host_.SetProgress(0);
    host_.SetStatusText(kDecodingStatus);
    std::vector<REAL32> samples;
    SPOOL_RECORD record;
    const uint64_t total = spool_.Records();
    uint64_t done = 0, converted = 0;
    int shown = 0;
    // A stop before the conversion keeps everything that arrived; one that comes while it runs
    // ends it.
    const bool stoppedBefore = out_.stopped;
    while (reader.ReadRecord(&record) > 0) {
        if (!stoppedBefore && StopRequested()) {
            // A stop while converting ends at once: what is converted is written with its rows
            // (the writer's last blocks), the rest of the spool goes with it.
            if (!out_.stopped) {
                out_.stopped = true;
                out_.stoppedIn = RetrievalPhase::Converting;
            }
            out_.samplesNotConverted = out_.samplesReceived - converted;
            host_.Note("stopping: storing the " + withThousands(converted) + " of " +
                       withThousands(out_.samplesReceived) +
                       " samples received converted so far; the rest is not stored");
            break;
        }
        const int progress = total == 0 ? 100 : int(++done * 100 / total);
        if (progress / kProgressStep != shown / kProgressStep) {
            shown = progress;
            host_.SetProgress(progress);
            host_.SetStatusText(kDecodingStatus);
        }
        converted += record.nsamp;
        const double interval = isiSrateToInterval(record.factor, record.multiplier);
        // The samples by their type: integers and floats alike become 32-bit floats (KVR's own
        // sample type), 64-bit floats rounded to nearest.
        ISI_TS_PACKET view{};
        view.nsamp = record.nsamp;
        view.compress = ISI_COMP_NONE;
        view.order = ISI_ORDER_HOST;
        view.datatype = record.datatype;
        view.nbytes = record.nbytes;
        view.data = record.data.get();
        if (!isiSamplesToFloat(&view, &samples)) {
            Refuse(record, record.nsamp,
                   std::string("samples of ") + isiDataTypeString(record.datatype) +
                       " cannot be converted");
            continue;
        }
        std::string why;
        if (!writer.AddSamples(record.station, record.channel, record.location, 1.0 / interval,
                               record.tofs, int(samples.size()), samples.data(), &why))
            Refuse(record, samples.size(), why);
        record.data.reset();
    }
    if (shown != 100) {
        host_.SetProgress(100);
        host_.SetStatusText(kDecodingStatus);
    }
}

void CRetrievalRun::Refuse(const SPOOL_RECORD& record, uint64_t samples, const std::string& why) {
    ++out_.recordsSkipped;
    for (RETRIEVAL_REFUSED& r : out_.refused)
        if (r.station == record.station && r.channel == record.channel &&
            r.location == record.location && r.why == why) {
            ++r.packets;
            r.samples += samples;
            return;
        }
    host_.Note("packets of " + gleanerStreamName(record.station, record.channel, record.location) +
               " refused: " + why);
    out_.refused.push_back({record.station, record.channel, record.location, why, 1, samples});
}

int gleanerProgress(double tols, double begin, double end) {
    double position = (tols - begin) * 100.0 / (end - begin);
    if (!std::isfinite(position)) return 0;
    position = std::max(-1e9, std::min(1e9, position));
    return int(position);
}

std::string gleanerPacketStatus(const char* station, const char* channel, double tols) {
    char time[UTIL_TIMESTRING_STATIC_LEN];
    utilTimeString(tols, 0, time);
    char text[128];
    std::snprintf(text, sizeof text, "%s:%s %s", station, channel, time);
    return text;
}

int RetrievalThread(const RETRIEVAL_INPUT& input, CRetrievalHost& host, RETRIEVAL_RESULT* result) {
    CRetrievalRun run(input, host);
    run.Run();
    *result = run.Result();
    return result->returnValue;
}
