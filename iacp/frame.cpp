// Sending and receiving whole frames: preamble, payload, signature preamble, signature.
#include <cstring>

#include "iacp/private.h"
#include "logio/logio.h"
#include "platform/errors.h"
#include "util/util.h"

namespace {

constexpr uint8_t kTag[IACP_TAG_LEN] = {'I', 'A', 'C', 'P'};
constexpr const char* kSendFrame = "iacpSendFrame";
constexpr const char* kRecvFrame = "iacpRecvFrame";

void encodePreamble(uint8_t* out, const IACP_WIRE_FRAME* frame) {
    std::memcpy(out, kTag, IACP_TAG_LEN);
    utilPackUINT32(out + 4, frame->seqno);
    utilPackUINT32(out + 8, frame->type);
    utilPackUINT32(out + 12, frame->payload_len);
}

}  // namespace

void iacpCountFrame(IACP_TRAFFIC_STATS* stats, uint32_t len) {
    ++stats->frames;
    stats->total += len;
    if (len > stats->maxlen) stats->maxlen = len;
    stats->mean = double(stats->total) / double(stats->frames);
}

bool iacpSendFrame(IACP_CONNECTION* iacp, IACP_WIRE_FRAME* frame) {
    if (iacp == nullptr || frame == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    // Held until the whole frame is out, so frames of several threads never interleave.
    std::lock_guard<std::mutex> lock(iacp->mutex);
    if (iacp->send_failed) {
        // A frame cut short has left the stream out of step; nothing more may follow it.
        platSetError(WSAESHUTDOWN);
        return false;
    }
    frame->seqno = iacp->seqno++;
    frame->sig_id = 0;
    frame->sig_len = 0;

    uint8_t preamble[IACP_PREAMBLE_LEN];
    encodePreamble(preamble, frame);
    uint8_t sigpreamble[IACP_SIGPREAMBLE_LEN];
    utilPackUINT32(sigpreamble, frame->sig_id);
    utilPackUINT32(sigpreamble + 4, frame->sig_len);

    // The frame goes out in one gathered write: a small frame leaves as one segment instead of
    // three. A failure is reported for the piece in which it stopped.
    enum { kPreamble, kPayload, kSigPreamble };
    PLAT_IOVEC pieces[3];
    pieces[kPreamble].base = preamble;
    pieces[kPreamble].len = IACP_PREAMBLE_LEN;
    pieces[kPayload].base = frame->payload;
    pieces[kPayload].len = frame->payload_len;
    pieces[kSigPreamble].base = sigpreamble;
    pieces[kSigPreamble].len = IACP_SIGPREAMBLE_LEN;
    // A client frame carries no signature bytes (length 0).
    int done = 0;
    bool sent = iacpWriteTo(iacp, pieces, 3, &done, iacpFrameDeadline(iacp));
    int writeError = platGetError();
    if (done > kPreamble) iacpTracePreamble(iacp, IacpDirection::Send, preamble, frame);
    if (done > kPayload) {
        iacpTracePayload(iacp, IacpDirection::Send, frame->payload, frame->payload_len);
    }
    if (done > kSigPreamble) iacpTraceSigPreamble(iacp, IacpDirection::Send, sigpreamble, frame);
    platSetError(writeError);

    const char* failed = nullptr;
    long failedSize = 0;
    if (!sent) {
        switch (done) {
            case kPreamble:
                failed = "%s: %s: error sending %ld byte message preamble: %s";
                failedSize = IACP_PREAMBLE_LEN;
                break;
            case kPayload:
                failed = "%s: %s: error sending %ld byte message: %s";
                failedSize = long(frame->payload_len);
                break;
            default:
                failed = "%s: %s: error sending %ld byte signature preamble: %s";
                failedSize = IACP_SIGPREAMBLE_LEN;
                break;
        }
    }
    if (failed != nullptr) {
        int error = platGetError();
        logioMsg(iacp->lp, iacpFailureLevel(iacp), failed, iacp->peer_ident, kSendFrame, failedSize,
                 platErrorText(error));
        iacp->send_failed = true;
        platSetError(error);
        return false;
    }
    iacpCountFrame(&iacp->send_stats, frame->payload_len);
    return true;
}

bool iacpRecvFrame(IACP_CONNECTION* iacp, IACP_WIRE_FRAME* frame, uint8_t* buf, uint32_t buflen) {
    if (iacp == nullptr || frame == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    frame->accepted = false;
    // The whole frame, from the wait for its first byte to its last, within one time-out.
    const int64_t deadline = iacpFrameDeadline(iacp);

    uint8_t preamble[IACP_PREAMBLE_LEN];
    if (!iacpReadTo(iacp, preamble, IACP_PREAMBLE_LEN, deadline)) {
        int error = platGetError();
        // Time-outs and resets are the caller's to tell apart by the code; they are not news.
        if (error != WSAETIMEDOUT && error != WSAECONNRESET) {
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: ERROR: read_to (data preamble): %s",
                     kRecvFrame, platErrorText(error));
            platSetError(error);
        }
        return false;
    }
    if (std::memcmp(preamble, kTag, IACP_TAG_LEN) != 0) {
        logioMsg(iacp->lp, LOG_INFO, "%s: ERROR: IACP tag missing", kRecvFrame);
        platSetError(WSAEPROTOTYPE);
        return false;
    }
    utilUnpackUINT32(preamble + 4, &frame->seqno);
    utilUnpackUINT32(preamble + 8, &frame->type);
    utilUnpackUINT32(preamble + 12, &frame->payload_len);
    frame->payload = buf;
    if (frame->payload_len > buflen || (buf == nullptr && frame->payload_len > 0)) {
        logioMsg(iacp->lp, LOG_INFO, "%s: %s: payload too big (len=%lu, buflen=%lu)!",
                 iacp->peer_ident, kRecvFrame, static_cast<unsigned long>(frame->payload_len),
                 static_cast<unsigned long>(buf == nullptr ? 0 : buflen));
        platSetError(WSAEINVAL);
        return false;
    }
    iacpTracePreamble(iacp, IacpDirection::Recv, preamble, frame);

    if (!iacpReadTo(iacp, buf, frame->payload_len, deadline)) {
        int error = platGetError();
        logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: ERROR: read_to (data payload): %s",
                 kRecvFrame, platErrorText(error));
        platSetError(error);
        return false;
    }
    iacpTracePayload(iacp, IacpDirection::Recv, buf, frame->payload_len);

    uint8_t sigpreamble[IACP_SIGPREAMBLE_LEN];
    if (!iacpReadTo(iacp, sigpreamble, IACP_SIGPREAMBLE_LEN, deadline)) {
        int error = platGetError();
        logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: ERROR: read_to (sig preamble): %s",
                 kRecvFrame, platErrorText(error));
        platSetError(error);
        return false;
    }
    utilUnpackUINT32(sigpreamble, &frame->sig_id);
    utilUnpackUINT32(sigpreamble + 4, &frame->sig_len);
    if (frame->sig_len > IACP_MAXSIGLEN) {
        logioMsg(iacp->lp, LOG_INFO,
                 "%s: %s: signature block too big (len=%lu, IACP_MAXSIGLEN=%lu)!", iacp->peer_ident,
                 kRecvFrame, static_cast<unsigned long>(frame->sig_len),
                 static_cast<unsigned long>(IACP_MAXSIGLEN));
        platSetError(WSAEINVAL);
        return false;
    }
    iacpTraceSigPreamble(iacp, IacpDirection::Recv, sigpreamble, frame);
    if (!iacpReadTo(iacp, frame->sig, frame->sig_len, deadline)) {
        int error = platGetError();
        logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: ERROR: read_to (sig payload): %s",
                 kRecvFrame, platErrorText(error));
        platSetError(error);
        return false;
    }

    // The signature is kept with the frame but not checked.
    frame->accepted = true;
    std::lock_guard<std::mutex> lock(iacp->mutex);
    iacpCountFrame(&iacp->recv_stats, frame->payload_len);
    return true;
}

bool iacpSendEmptyMessage(IACP_CONNECTION* iacp, uint32_t type) {
    IACP_WIRE_FRAME frame;
    frame.type = type;
    frame.payload_len = 0;
    frame.payload = nullptr;
    return iacpSendFrame(iacp, &frame);
}

bool iacpSendValueFrame(IACP_CONNECTION* iacp, uint32_t type, uint32_t value) {
    uint8_t payload[4];
    IACP_WIRE_FRAME frame;
    frame.type = type;
    frame.payload_len = uint32_t(utilPackUINT32(payload, value));
    frame.payload = payload;
    return iacpSendFrame(iacp, &frame);
}
