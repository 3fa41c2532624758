// The server's acknowledgment of a data request: the request restated as it will be served.
#include "isi/internal.h"
#include "platform/errors.h"

namespace {

constexpr const char* kFid = "isiSendDataRequest:ReceiveDataRequestAcknowledgment";
constexpr uint32_t kValueLength = 4;

enum { kAckFailed = -1, kAckComplete = 0, kAckMore = 1 };

int protocolFailure(int* status) {
    *status = ISI_ACK_PROTOCOL;
    return kAckFailed;
}

// A frame too short for what its type carries.
int shortFrame(ISI_CLIENT* client, const IACP_WIRE_FRAME* frame, int* status) {
    platSetError(WSAEMSGSIZE);
    logioMsg(client->lp, LOG_INFO, "%s: short type %lu frame (len=%lu)", kFid,
             static_cast<unsigned long>(frame->type),
             static_cast<unsigned long>(frame->payload_len));
    return protocolFailure(status);
}

uint32_t frameValue(const IACP_WIRE_FRAME* frame) {
    uint32_t value = 0;
    utilUnpackUINT32(frame->payload, &value);
    return value;
}

// The collected items replace the request's; every item becomes active.
int finish(ISI_CLIENT* client, int* status) {
    bool ok = true;
    if (client->datreq.type == ISI_REQUEST_TYPE_TWIND) {
        ok = isiCopyTwindListToDataRequest(client->ack_twind, &client->datreq);
        client->datreq_index.valid = false;
        if (!ok) {
            logioMsg(client->lp, LOG_INFO, "%s: isiCopyTwindListToDataRequest: %s", kFid,
                     platErrorText(platGetError()));
        }
    } else if (client->datreq.type == ISI_REQUEST_TYPE_SEQNO) {
        ok = isiCopySeqnoListToDataRequest(client->ack_seqno, &client->datreq);
        if (!ok) {
            logioMsg(client->lp, LOG_INFO, "%s: isiCopySeqnoListToDataRequest: %s", kFid,
                     platErrorText(platGetError()));
        }
    }
    client->ack_twind.clear();
    client->ack_seqno.clear();
    if (!ok) {
        *status = ISI_ACK_BAD_ARGS;
        return kAckFailed;
    }
    return kAckComplete;
}

}  // namespace

void isiBeginAcknowledgment(ISI_CLIENT* client) {
    client->ack_twind.clear();
    client->ack_seqno.clear();
    isiClearDataRequest(&client->datreq);
    client->datreq_index.valid = false;
}

/* isiAcknowledgmentFrame: 1 when the acknowledgment goes on, 0 when this frame ended it (status
 * 0 or the alert code), -1 on failure (status 10 or 99). */
int isiAcknowledgmentFrame(ISI_CLIENT* client, const IACP_WIRE_FRAME* frame, int* status) {
    if (client == nullptr || frame == nullptr || status == nullptr ||
        (frame->payload == nullptr && frame->payload_len > 0)) {
        if (status != nullptr) *status = ISI_ACK_BAD_ARGS;
        platSetError(WSAEINVAL);
        return kAckFailed;
    }
    switch (frame->type) {
        case ISI_IACP_REQ_FORMAT:
        case ISI_IACP_REQ_COMPRESS:
        case ISI_IACP_REQ_POLICY: {
            if (frame->payload_len < kValueLength) return shortFrame(client, frame, status);
            uint32_t value = frameValue(frame);
            if (frame->type == ISI_IACP_REQ_FORMAT) client->datreq.format = value;
            if (frame->type == ISI_IACP_REQ_COMPRESS) client->datreq.compress = value;
            if (frame->type == ISI_IACP_REQ_POLICY) client->datreq.policy = value;
            return kAckMore;
        }
        case ISI_IACP_REQ_TWIND: {
            if (frame->payload_len < static_cast<uint32_t>(ISI_TWIND_WIRE_LEN)) {
                return shortFrame(client, frame, status);
            }
            // The first item fixes the kind of the whole list.
            if (!client->ack_seqno.empty()) {
                platSetError(WSAEINVAL);
                logioMsg(client->lp, LOG_INFO, "%s: isiAppendTwindReq: %s", kFid,
                         platErrorText(WSAEINVAL));
                return protocolFailure(status);
            }
            ISI_TWIND_ITEM item;
            isiUnpackTwindItem(frame->payload, &item);
            isiAppendTwindReq(&client->ack_twind, &item);
            client->datreq.type = ISI_REQUEST_TYPE_TWIND;
            return kAckMore;
        }
        case ISI_IACP_REQ_SEQNO: {
            if (frame->payload_len < static_cast<uint32_t>(ISI_SEQNO_ITEM_WIRE_LEN)) {
                return shortFrame(client, frame, status);
            }
            if (!client->ack_twind.empty()) {
                platSetError(WSAEINVAL);
                logioMsg(client->lp, LOG_INFO, "%s: isiAppendSeqnoReq: %s", kFid,
                         platErrorText(WSAEINVAL));
                return protocolFailure(status);
            }
            ISI_SEQNO_ITEM item;
            isiUnpackSeqnoItem(frame->payload, &item);
            isiAppendSeqnoReq(&client->ack_seqno, &item);
            client->datreq.type = ISI_REQUEST_TYPE_SEQNO;
            return kAckMore;
        }
        case IACP_TYPE_NOP:
            return kAckMore;
        case IACP_TYPE_NULL:
            *status = 0;
            return finish(client, status);
        case IACP_TYPE_ALERT: {
            long code = iacpAlertCode(frame);
            if (code < 0) return shortFrame(client, frame, status);
            *status = static_cast<int>(code);
            int saved = *status;
            int result = finish(client, status);
            if (result == kAckComplete) *status = saved;
            return result;
        }
        default:
            platSetError(WSAEPROTOTYPE);
            logioMsg(client->lp, LOG_INFO, "%s: unexpected type %lu frame received", kFid,
                     static_cast<unsigned long>(frame->type));
            return protocolFailure(status);
    }
}

namespace isi_detail {

/* receiveDataRequestAcknowledgment (ReceiveDataRequestAcknowledgment): true when the
 * acknowledgment ended with a null frame or an alert; false with status 3 on a failed read or
 * 10/99 on a protocol failure. */
bool receiveDataRequestAcknowledgment(ISI_CLIENT* client, int* status) {
    isiBeginAcknowledgment(client);
    while (true) {
        if (!iacpRecvFrame(client->iacp, &client->frame, client->buf, ISI_MAX_FRAME_PAYLOAD)) {
            logioMsg(client->lp, LOG_INFO, "%s: iacpRecvFrame: %s", kFid,
                     platErrorText(platGetError()));
            *status = ISI_ACK_IO_ERROR;
            return false;
        }
        int result = isiAcknowledgmentFrame(client, &client->frame, status);
        if (result == kAckComplete) return true;
        if (result == kAckFailed) {
            client->ack_twind.clear();
            client->ack_seqno.clear();
            return false;
        }
    }
}

}  // namespace isi_detail
