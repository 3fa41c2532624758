// isiReadGenericTS: the next time-series packet, hiding heartbeats, alerts and lost connections.
#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "isi/internal.h"
#include "platform/clock.h"
#include "platform/errors.h"

namespace {

constexpr uint32_t kReconnectPauseMs = 5000;
// The pause is slept in slices so that a stop request ends it early.
constexpr uint32_t kPauseSliceMs = 100;
constexpr int kStopValue = 1;

std::atomic<uint32_t> g_reconnectPauseMs{kReconnectPauseMs};

enum class Step { kOk, kFailed, kStopped, kComplete };

// The client's stop flag, or the cancel flag its connections wait on (set by a caller that has
// no client handle yet, or wants every wait to end at once).
bool stopRequested(ISI_CLIENT* client) {
    return client->stop.load() == kStopValue ||
           (client->attr.cancel != nullptr && client->attr.cancel->load() != 0);
}

void closeConnection(ISI_CLIENT* client) {
    client->iacp = iacpClose(client->iacp);
}

int countItems(const ISI_DATA_REQUEST& request, int status) {
    int count = 0;
    for (uint32_t i = 0; i < request.nreq; ++i) {
        if (request.type == ISI_REQUEST_TYPE_TWIND && request.twind != nullptr &&
            request.twind[i].status == status) {
            ++count;
        }
        if (request.type == ISI_REQUEST_TYPE_SEQNO && request.seqno != nullptr &&
            request.seqno[i].status == status) {
            ++count;
        }
    }
    return count;
}

// Puts a request copy back as the client's request (after a reconnect whose acknowledgment
// failed and wiped it), taking over its arrays.
void restoreRequest(ISI_CLIENT* client, ISI_DATA_REQUEST* saved) {
    ISI_DATA_REQUEST* copy = isiCopyDataRequest(saved, false);
    if (copy == nullptr) return;
    isiClearDataRequest(&client->datreq);
    client->datreq = *copy;
    client->datreq_index.valid = false;
    std::free(copy);
}

// Reconnect ("isiReadGenericTS:ReadNextFrame:Reconnect"): a new connection that has accepted
// the still active items of the client's request.
Step Reconnect(ISI_CLIENT* client) {
    // Nothing left to ask for: every item has had its data (only a time-window request can
    // tell), so there is no request to re-send.
    if (countItems(client->datreq, ISI_ITEM_ACTIVE) == 0 &&
        countItems(client->datreq, ISI_ITEM_COMPLETE) > 0) {
        return Step::kComplete;
    }
    ISI_DATA_REQUEST* request = isiCopyDataRequest(&client->datreq, true);
    if (request == nullptr) return Step::kFailed;
    while (true) {
        if (stopRequested(client)) {
            isiFreeDataRequest(request);
            return Step::kStopped;
        }
        logioMsg(client->lp, LOG_DEBUG, "contacting %s:%d", client->server.c_str(), client->port);
        client->iacp = iacpOpen(client->server.c_str(), client->port, &client->attr, client->lp,
                                client->debug);
        if (client->iacp == nullptr) {
            int error = platGetError();
            restoreRequest(client, request);
            isiFreeDataRequest(request);
            platSetError(error);
            return Step::kFailed;
        }
        logioMsg(client->lp, LOG_INFO, "reconnected to %s", iacpPeerIdent(client->iacp));
        int status = 0;
        bool sent = isiSendDataRequest(client, request, &status);
        // An acknowledgment that ends in an alert refuses the request for now (a busy or
        // shutting-down server): try again after the pause rather than read from nothing.
        if (sent && status == 0) {
            isiFreeDataRequest(request);
            return Step::kOk;
        }
        int error = platGetError();
        const char* why = sent ? iacpAlertString(status) : platErrorText(error);
        logioMsg(client->lp, LOG_INFO, "error sending request to %s: %s",
                 iacpPeerIdent(client->iacp), why);
        restoreRequest(client, request);
        closeConnection(client);
        isi_detail::pauseBeforeReconnect(client);
    }
}

// ReadNextFrame ("isiReadGenericTS:ReadNextFrame"): one whole frame into the client's buffer,
// reconnecting as often as needed.
Step ReadNextFrame(ISI_CLIENT* client) {
    while (true) {
        if (client->iacp == nullptr) {
            Step step = Reconnect(client);
            if (step != Step::kOk) return step;
        }
        if (iacpRecvFrame(client->iacp, &client->frame, client->buf, ISI_MAX_FRAME_PAYLOAD)) {
            return Step::kOk;
        }
        if (stopRequested(client)) {
            // The wait was cancelled: no failure to report.
            closeConnection(client);
            return Step::kStopped;
        }
        const int error = platGetError();
        logioMsg(client->lp, LOG_INFO, "%s: %s: %s", iacpPeerIdent(client->iacp),
                 "isiReadGenericTS:ReadNextFrame", platErrorText(error));
        ++client->lostConnections;
        client->lostCause = platErrorText(error);
        closeConnection(client);
        isi_detail::pauseBeforeReconnect(client);
        if (stopRequested(client)) return Step::kStopped;
    }
}

ISI_TS_PACKET* packetFrame(ISI_CLIENT* client, int* status) {
    static const char* fid = "isiReadGenericTS";
    if (!isiReadTSHeader(client->buf, client->frame.payload_len, &client->raw)) {
        logioMsg(client->lp, LOG_INFO, "%s: %s: bad packet: %s", fid, iacpPeerIdent(client->iacp),
                 platErrorText(platGetError()));
        *status = ISI_STATUS_FAILED;
        return nullptr;
    }
    isiUpdateRequestProgress(&client->datreq, &client->raw, &client->datreq_index);
    if (client->decompress == 0) {
        *status = ISI_STATUS_DATA;
        return &client->raw;
    }
    ISI_TS_PACKET* packet = isiConvertTS(&client->raw, &client->converted);
    if (packet == nullptr) {
        logioMsg(client->lp, LOG_INFO, "%s: %s: isiConvertTS: %s", fid, iacpPeerIdent(client->iacp),
                 platErrorText(platGetError()));
        *status = ISI_STATUS_FAILED;
        return nullptr;
    }
    *status = ISI_STATUS_DATA;
    return packet;
}

}  // namespace

namespace isi_detail {

void pauseBeforeReconnect(ISI_CLIENT* client) {
    uint32_t left = g_reconnectPauseMs.load();
    while (left > 0 && !stopRequested(client)) {
        uint32_t slice = std::min(left, kPauseSliceMs);
        platSleepMs(slice);
        left -= slice;
    }
}

}  // namespace isi_detail

void isiSetReconnectPauseForTests(uint32_t milliseconds) {
    g_reconnectPauseMs = milliseconds;
}

uint32_t isiReconnectPause() {
    return g_reconnectPauseMs.load();
}

const char* isiPacketFailureText(int error) {
    switch (error) {
        case WSAEMSGSIZE:
            return "its header announces more samples or data than its frame holds";
        case WSAEOPNOTSUPP:
            return "its compression or sample type cannot be decoded";
        case WSAEINVAL:
            return "its sample type is unknown";
        case WSAENOBUFS:
            return "there was no memory to decode it";
        default:
            return platErrorText(error);
    }
}

void isiSetStopFlag(ISI_CLIENT* client, int value) {
    if (client != nullptr) client->stop = value;
}

/* isiReadGenericTS: the next packet with status 0; none with status 1 (request complete), 2
 * (failure) or 3 (stopped). None with WSAEINVAL and no status when status is none. */
ISI_TS_PACKET* isiReadGenericTS(ISI_CLIENT* client, int* status) {
    static const char* fid = "isiReadGenericTS";
    if (status == nullptr) {
        platSetError(WSAEINVAL);
        return nullptr;
    }
    if (client == nullptr) {
        platSetError(WSAEINVAL);
        *status = ISI_STATUS_FAILED;
        return nullptr;
    }
    while (true) {
        if (stopRequested(client)) {
            platSetError(0);
            *status = ISI_STATUS_STOPPED;
            return nullptr;
        }
        if (client->complete) {
            *status = ISI_STATUS_DONE;
            return nullptr;
        }
        switch (ReadNextFrame(client)) {
            case Step::kOk:
                break;
            case Step::kStopped:
                continue;  // reported at the top of the pass
            case Step::kComplete:
                client->complete = true;
                continue;
            case Step::kFailed:
                *status = ISI_STATUS_FAILED;
                return nullptr;
        }
        const IACP_WIRE_FRAME& frame = client->frame;
        switch (frame.type) {
            case IACP_TYPE_ALERT: {
                long code = iacpAlertCode(&frame);
                logioMsg(client->lp, LOG_DEBUG, "%s: %s: %s", fid, iacpPeerIdent(client->iacp),
                         iacpAlertString(code));
                closeConnection(client);
                if (code == IACP_ALERT_REQUEST_COMPLETE) {
                    client->complete = true;
                    *status = ISI_STATUS_DONE;
                    return nullptr;
                }
                ++client->lostConnections;
                client->lostCause = std::string("server alert: ") + iacpAlertString(code);
                isi_detail::pauseBeforeReconnect(client);
                continue;
            }
            case IACP_TYPE_NOP:
                logioMsg(client->lp, LOG_DEBUG, "%s: %s: heartbeat", fid,
                         iacpPeerIdent(client->iacp));
                continue;
            case ISI_IACP_GENERIC_TS:
                return packetFrame(client, status);
            default:
                logioMsg(client->lp, LOG_DEBUG, "%s: %s: frame type %lu ignored", fid,
                         iacpPeerIdent(client->iacp), static_cast<unsigned long>(frame.type));
                continue;
        }
    }
}
