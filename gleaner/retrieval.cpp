#include "gleaner/retrieval.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "gleaner/spool.h"
#include "isi/isi.h"
#include "platform/clock.h"
#include "util/util.h"

namespace {

constexpr int kReturnConverted = 0;
constexpr int kReturnRequestFailed = 1;
constexpr int kReturnFailed = -1;
constexpr int kProgressStep = 10;  // percent between the decoding phase's progress updates

class CRun {
  public:
    CRun(const RETRIEVAL_INPUT& input, CRetrievalHost& host, RETRIEVAL_RESULT* result)
        : in_(input), host_(host), out_(*result) {}

    int Run();

  private:
    void Finish() {
        host_.SetStatusText("");
        host_.SetProgress(0);
        host_.SetWaitCursor(false);
        host_.RunFinished();
    }
    // A failure that ends the run with its own message.
    int FailureReport(const std::string& text, int returnValue) {
        ShowFailure(text);
        Finish();
        return returnValue;
    }
    // The message of a failure, without ending the run.
    void ShowFailure(const std::string& text) {
        host_.SetWaitCursor(false);
        host_.ShowMessage(text, kSiphonTitle, true);
        out_.runFailed = true;
    }
    // The request of one round (none: every stream over the whole window), or none.
    ISI_DATA_REQUEST* AllocRequest(const std::vector<RETRIEVAL_WINDOW>& windows) const;
    bool Receive(ISI_CLIENT* client, bool* aborted);
    bool ReceivePackets(ISI_CLIENT* client, bool* aborted);
    void Convert(CKvrWriter& writer);
    void Refuse(const SPOOL_RECORD& record, uint64_t samples, const std::string& why);

    const RETRIEVAL_INPUT& in_;
    CRetrievalHost& host_;
    RETRIEVAL_RESULT& out_;
    CSpoolFile spool_;
    double lastProgress_ = 0.0;
};

int CRun::Run() {
    KvrConnection db;
    if (!db.openString(in_.connectString)) {
        if (in_.log) logioMsg(in_.log, LOG_ERR, "RetrievalThread: %s", db.message().c_str());
        host_.ShowMessage(kDatabaseOpenError, "", false);
        out_.runFailed = true;
        Finish();
        return kReturnFailed;
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
    std::vector<KVR_FILELIST_ROW> none;
    KVR_SQL_RESULT probe = kvrSelectFileListRows(db, "1=0", &none);
    if (!probe.ok()) return FailureReport(kNoFileList + probe.message, kReturnFailed);

    if (!spool_.Create(in_.spoolDirectory)) return FailureReport(kSpoolCreateError, kReturnFailed);
    spool_.SetLimitForTests(in_.spoolLimitBytesForTests);

    utilNetworkInit();
    ISI_OPEN_PARAMS params;
    isiInitOpenParams(&params);
    params.port = in_.port;
    params.lp = in_.log;
    if (in_.connectRetryClass >= 0) params.attr.maxerr = uint32_t(in_.connectRetryClass);

    // One request a round; a later round that cannot be sent ends the receiving, and what the
    // earlier ones brought is converted.
    std::vector<std::vector<RETRIEVAL_WINDOW>> rounds = in_.rounds;
    if (rounds.empty()) rounds.emplace_back();
    out_.complete = true;
    bool aborted = false;
    for (size_t round = 0; round < rounds.size() && out_.complete && !aborted; ++round) {
        ISI_DATA_REQUEST* request = AllocRequest(rounds[round]);
        if (request == nullptr) {
            spool_.Close();
            return FailureReport(kAllocRequestError, kReturnRequestFailed);
        }
        ISI_CLIENT* client = isiInitiateDataRequest(in_.server.c_str(), &params, request);
        isiFreeDataRequest(request);
        if (client == nullptr && round == 0) {
            spool_.Close();
            return FailureReport(kInitiateRequestError, kReturnRequestFailed);
        }
        if (client == nullptr) {
            ShowFailure(kInitiateRequestError);
            out_.complete = false;
            break;
        }
        out_.complete = Receive(client, &aborted);
        isiCloseClient(client);
    }
    if (aborted) {
        // Everything received goes with the spool.
        spool_.Close();
        out_.runFailed = true;
        out_.complete = false;
        Finish();
        return kReturnFailed;
    }

    Convert(writer);
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

ISI_DATA_REQUEST* CRun::AllocRequest(const std::vector<RETRIEVAL_WINDOW>& windows) const {
    std::string streams;
    for (const RETRIEVAL_WINDOW& w : windows) streams += "+" + w.stream;
    ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(
        in_.begin, in_.end, windows.empty() ? in_.streamList.c_str() : streams.c_str());
    if (request == nullptr) return nullptr;
    // The specifier's names become the items in order, one each.
    for (size_t i = 0; i < windows.size() && i < request->nreq; ++i) {
        request->twind[i].beg = windows[i].begin;
        request->twind[i].end = windows[i].end;
    }
    isiRequestSetFormat(request, ISI_FORMAT_GENERIC);
    isiRequestSetCompress(request, ISI_COMP_NONE);
    return request;
}

// True when the server finished the whole request and every packet reached the spool.
bool CRun::Receive(ISI_CLIENT* client, bool* aborted) {
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

bool CRun::ReceivePackets(ISI_CLIENT* client, bool* aborted) {
    for (;;) {
        if (in_.stopRequested && in_.stopRequested()) {
            out_.stopped = true;
            return false;
        }
        int status = ISI_STATUS_FAILED;
        ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
        switch (status) {
            case ISI_STATUS_DATA:
                if (!spool_.Append(*packet)) {
                    ShowFailure(kSpoolWriteError);
                    return false;
                }
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
                if (in_.stopRequested && in_.stopRequested()) break;  // stops at the loop's top
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

void CRun::Convert(CKvrWriter& writer) {
    if (!spool_.Rewind()) return;
    CSpoolReader reader(spool_.Descriptor());
    host_.SetProgress(0);
    host_.SetStatusText(kDecodingStatus);
    std::vector<int32_t> samples;
    SPOOL_RECORD record;
    const uint64_t total = spool_.Records();
    uint64_t done = 0;
    int shown = 0;
    while (reader.ReadRecord(&record) > 0) {
        const int progress = total == 0 ? 100 : int(++done * 100 / total);
        if (progress / kProgressStep != shown / kProgressStep) {
            shown = progress;
            host_.SetProgress(progress);
            host_.SetStatusText(kDecodingStatus);
        }
        const double interval = isiSrateToInterval(record.factor, record.multiplier);
        size_t width = record.datatype == ISI_TYPE_INT16   ? sizeof(int16_t)
                       : record.datatype == ISI_TYPE_INT32 ? sizeof(int32_t)
                                                           : 0;
        if (width == 0) {
            Refuse(record, record.nsamp, "sample type " + std::to_string(record.datatype));
            continue;
        }
        // Never more samples than the data bytes hold.
        const size_t count = std::min<size_t>(record.nsamp, record.nbytes / width);
        samples.resize(count);
        for (size_t i = 0; i < count; ++i) {
            if (width == sizeof(int16_t)) {
                int16_t v;
                std::memcpy(&v, record.data.get() + i * width, sizeof v);
                samples[i] = v;
            } else {
                std::memcpy(&samples[i], record.data.get() + i * width, sizeof(int32_t));
            }
        }
        std::string why;
        if (!writer.AddSamples(record.station, record.channel, record.location, 1.0 / interval,
                               record.tofs, int(count), samples.data(), &why))
            Refuse(record, count, why);
        record.data.reset();
    }
    if (shown != 100) {
        host_.SetProgress(100);
        host_.SetStatusText(kDecodingStatus);
    }
}

void CRun::Refuse(const SPOOL_RECORD& record, uint64_t samples, const std::string& why) {
    ++out_.recordsSkipped;
    for (RETRIEVAL_REFUSED& r : out_.refused)
        if (r.station == record.station && r.channel == record.channel &&
            r.location == record.location && r.why == why) {
            ++r.packets;
            r.samples += samples;
            return;
        }
    gleanerPrintLine("packets of " +
                     gleanerStreamName(record.station, record.channel, record.location) +
                     " refused: " + why);
    out_.refused.push_back({record.station, record.channel, record.location, why, 1, samples});
}

}  // namespace

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
    *result = RETRIEVAL_RESULT{};
    CRun run(input, host, result);
    result->returnValue = run.Run();
    return result->returnValue;
}
