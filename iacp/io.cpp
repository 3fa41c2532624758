// Timed reads and writes on the connection's non-blocking socket.
#include <cstdio>

#include "iacp/private.h"
#include "logio/logio.h"
#include "platform/clock.h"
#include "platform/errors.h"

namespace {

constexpr const char* kReadLabel = "read_to";
constexpr const char* kWriteLabel = "write_to";

// Interrupted or not-ready waits are tried again; everything else ends the transfer.
bool isRetryable(int error) {
    return error == EAGAIN_CODE || error == WSAEINTR || error == WSAEWOULDBLOCK;
}

}  // namespace

int iacpFailureLevel(const IACP_CONNECTION* iacp) {
    return iacp->debug ? LOG_INFO : LOG_DEBUG;
}

bool iacpReadTo(IACP_CONNECTION* iacp, uint8_t* buf, uint32_t n) {
    if (n == 0) return true;
    const int64_t timeoutMs = iacp->attr.at_timeo;
    uint32_t got = 0;
    while (got < n) {
        int ready = platWaitReadable(iacp->sd, timeoutMs);
        if (ready == 0) {
            platSetError(WSAETIMEDOUT);
            return false;
        }
        if (ready < 0) {
            int error = platGetError();
            if (isRetryable(error)) {
                logioMsg(iacp->lp, LOG_INFO, "%s: %s: select: %s (IGNORED)", iacp->peer_ident,
                         kReadLabel, platErrorText(error));
                continue;
            }
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: %s: select: %s", iacp->peer_ident,
                     kReadLabel, platErrorText(error));
            return false;
        }
        long rc = platRecv(iacp->sd, buf + got, n - got);
        if (rc == 0) {
            platSetError(WSAECONNRESET);
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: read: %s", iacp->peer_ident,
                     platErrorText(WSAECONNRESET));
            return false;
        }
        if (rc < 0) {
            int error = platGetError();
            if (isRetryable(error)) {
                logioMsg(iacp->lp, LOG_INFO, "%s: %s: ReadBytes: %s (IGNORED), return FALSE",
                         iacp->peer_ident, kReadLabel, platErrorText(error));
            } else {
                logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: %s: ReadBytes: %s, return FALSE",
                         iacp->peer_ident, kReadLabel, platErrorText(error));
            }
            return false;
        }
        got += uint32_t(rc);
    }
    std::lock_guard<std::mutex> lock(iacp->mutex);
    iacp->last_read = platNow();
    iacp->recv_stats.bytes += n;
    platSetError(0);
    return true;
}

// Called with the connection's mutex held (the send path holds it for the whole frame).
bool iacpWriteTo(IACP_CONNECTION* iacp, const uint8_t* buf, uint32_t n) {
    if (n == 0) return true;
    if (buf == nullptr) {
        logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: NULL buf!", kWriteLabel);
        platSetError(WSAEINVAL);
        return false;
    }
    const int64_t timeoutMs = iacp->attr.at_timeo;
    const int toSec = int(timeoutMs / 1000);
    const int toUsec = int(timeoutMs % 1000 * 1000);
    uint32_t sent = 0;
    while (sent < n) {
        int ready = platWaitWritable(iacp->sd, timeoutMs);
        if (ready == 0) {
            platSetError(WSAETIMEDOUT);
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: %s: select: %s: to=%d.%06d",
                     iacp->peer_ident, kWriteLabel, platErrorText(WSAETIMEDOUT), toSec, toUsec);
            return false;
        }
        if (ready < 0) {
            int error = platGetError();
            if (isRetryable(error)) {
                logioMsg(iacp->lp, LOG_INFO, "%s: %s: select: %s (IGNORED): to=%d.%06d",
                         iacp->peer_ident, kWriteLabel, platErrorText(error), toSec, toUsec);
                continue;
            }
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: %s: select: %s: to=%d.%06d",
                     iacp->peer_ident, kWriteLabel, platErrorText(error), toSec, toUsec);
            return false;
        }
        long rc = platSend(iacp->sd, buf + sent, n - sent);
        if (rc == 0) {
            platSetError(WSAECONNRESET);
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: %s: send: %s: to=%d.%06d",
                     iacp->peer_ident, kWriteLabel, platErrorText(WSAECONNRESET), toSec, toUsec);
            return false;
        }
        if (rc < 0) {
            int error = platGetError();
            if (isRetryable(error)) {
                logioMsg(iacp->lp, LOG_INFO, "%s: %s: send: %s (IGNORED): to=%d.%06d",
                         iacp->peer_ident, kWriteLabel, platErrorText(error), toSec, toUsec);
                continue;
            }
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: %s: send: %s: to=%d.%06d",
                     iacp->peer_ident, kWriteLabel, platErrorText(error), toSec, toUsec);
            return false;
        }
        sent += uint32_t(rc);
    }
    iacp->last_write = platNow();
    iacp->send_stats.bytes += n;
    return true;
}
