// Timed reads and writes on the connection's non-blocking socket.
//
// Each transfer first tries the socket and waits for it (with the I/O time-out) only when
// nothing can move now; a transfer that is ready thus costs one call, not a wait and a call.
// Once a wait has said "ready", what follows is exactly the classic wait-then-transfer step,
// with its messages. Reads go through the connection's read-ahead buffer: a frame's preamble,
// payload and signature preamble usually come out of one read call, often with the next frame.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "iacp/private.h"
#include "logio/logio.h"
#include "platform/clock.h"
#include "platform/errors.h"

namespace {

constexpr const char* kReadLabel = "read_to";
constexpr const char* kWriteLabel = "write_to";
constexpr int kMaxWritePieces = 4;
// A piece of at least kDirectPiece bytes still to read is followed by a read-ahead of only
// kShortReadAhead bytes (bytes read ahead are copied once more when they are served).
constexpr uint32_t kDirectPiece = 4096;
constexpr uint32_t kShortReadAhead = 512;

// What is left of a frame's time; a deadline that has passed leaves a wait of none, which
// reports a time-out unless the socket is ready at once.
int64_t msUntil(int64_t deadlineMs) {
    return std::max<int64_t>(0, deadlineMs - platMonotonicMs());
}

// Interrupted or not-ready waits are tried again; everything else ends the transfer.
bool isRetryable(int error) {
    return error == EAGAIN_CODE || error == WSAEINTR || error == WSAEWOULDBLOCK;
}

// Makes room for the read-ahead at the first read; without it (no memory) a read asks the
// socket for exactly what it needs, as before.
uint8_t* readAhead(IACP_CONNECTION* iacp) {
    if (!iacp->rbuf) {
        iacp->rbuf.reset(new (std::nothrow) uint8_t[IACP_RECV_BUFLEN]);
        iacp->rbuf_pos = iacp->rbuf_end = 0;
    }
    return iacp->rbuf.get();
}

// Moves the total bytes of the pieces, trying first and waiting only when the socket takes
// nothing. sent receives the bytes written, also on failure.
bool writePieces(IACP_CONNECTION* iacp, const PLAT_IOVEC* pieces, int count, uint64_t total,
                 uint64_t* sent, int64_t deadlineMs) {
    const int64_t timeoutMs = iacp->attr.at_timeo;
    const int toSec = int(timeoutMs / 1000);
    const int toUsec = int(timeoutMs % 1000 * 1000);
    // A socket that is none gets its error from the wait, as it always has.
    bool waitFirst = iacp->sd == PLAT_INVALID_SOCKET;
    *sent = 0;
    while (*sent < total) {
        bool waited = false;
        if (waitFirst) {
            int ready = iacpWaitReady(iacp, true, msUntil(deadlineMs));
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
            waited = true;
        }
        PLAT_IOVEC left[kMaxWritePieces];
        int nleft = platIovecRemainder(pieces, count, *sent, left);
        long rc = platSendNow(iacp->sd, left, nleft);
        if (rc > 0) {
            *sent += uint64_t(rc);
            waitFirst = false;
            continue;
        }
        if (rc == 0) {
            platSetError(WSAECONNRESET);
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: %s: send: %s: to=%d.%06d",
                     iacp->peer_ident, kWriteLabel, platErrorText(WSAECONNRESET), toSec, toUsec);
            return false;
        }
        int error = platGetError();
        if (error == WSAEWOULDBLOCK && !waited) {
            waitFirst = true;  // full for now: wait for room
            continue;
        }
        if (isRetryable(error)) {
            logioMsg(iacp->lp, LOG_INFO, "%s: %s: send: %s (IGNORED): to=%d.%06d", iacp->peer_ident,
                     kWriteLabel, platErrorText(error), toSec, toUsec);
            waitFirst = true;
            continue;
        }
        logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: %s: send: %s: to=%d.%06d", iacp->peer_ident,
                 kWriteLabel, platErrorText(error), toSec, toUsec);
        return false;
    }
    return true;
}

}  // namespace

int iacpWaitReady(const IACP_CONNECTION* iacp, bool writable, int64_t timeoutMs) {
    auto wait = [&](int64_t ms) {
        return writable ? platWaitWritable(iacp->sd, ms) : platWaitReadable(iacp->sd, ms);
    };
    if (iacp->attr.cancel == nullptr) return wait(timeoutMs);
    for (int64_t left = timeoutMs;;) {
        if (iacp->attr.cancel->load() != 0) {
            platSetError(WSAECONNABORTED);
            return -1;
        }
        int64_t slice = std::min(left, IACP_CANCEL_SLICE_MS);
        int ready = wait(slice);
        left -= slice;
        if (ready != 0 || left <= 0) return ready;
    }
}

int iacpFailureLevel(const IACP_CONNECTION* iacp) {
    return iacp->debug ? LOG_INFO : LOG_DEBUG;
}

int64_t iacpFrameDeadline(const IACP_CONNECTION* iacp) {
    return platMonotonicMs() + int64_t(iacp->attr.at_timeo);
}

bool iacpReadTo(IACP_CONNECTION* iacp, uint8_t* buf, uint32_t n, int64_t deadlineMs) {
    if (n == 0) return true;
    uint8_t* ahead = readAhead(iacp);
    uint32_t got = 0;
    if (ahead != nullptr && iacp->rbuf_pos < iacp->rbuf_end) {
        got = std::min(n, iacp->rbuf_end - iacp->rbuf_pos);
        std::memcpy(buf, ahead + iacp->rbuf_pos, got);
        iacp->rbuf_pos += got;
    }
    // A socket that is none gets its error from the wait, as it always has.
    bool waitFirst = iacp->sd == PLAT_INVALID_SOCKET;
    while (got < n) {
        bool waited = false;
        if (waitFirst) {
            int ready = iacpWaitReady(iacp, false, msUntil(deadlineMs));
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
            waited = true;
        }
        // The read-ahead is empty here: the rest of this piece goes straight to the caller's
        // buffer, what has arrived after it into the read-ahead. Behind a large piece (a data
        // payload) only a little is read ahead, enough for the signature preamble and the next
        // preamble, so that the next payload too lands in its buffer without a copy.
        PLAT_IOVEC pieces[2];
        pieces[0].base = buf + got;
        pieces[0].len = n - got;
        pieces[1].base = ahead;
        pieces[1].len = n - got >= kDirectPiece ? kShortReadAhead : IACP_RECV_BUFLEN;
        long rc = platRecvNow(iacp->sd, pieces, ahead != nullptr ? 2 : 1);
        if (rc > 0) {
            if (uint64_t(rc) > n - got) {
                iacp->rbuf_pos = 0;
                iacp->rbuf_end = uint32_t(uint64_t(rc) - (n - got));
                got = n;
            } else {
                got += uint32_t(rc);
            }
            waitFirst = false;
            continue;
        }
        if (rc == 0) {
            platSetError(WSAECONNRESET);
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: read: %s", iacp->peer_ident,
                     platErrorText(WSAECONNRESET));
            return false;
        }
        int error = platGetError();
        if (error == WSAEWOULDBLOCK && !waited) {
            waitFirst = true;  // nothing has arrived yet: wait for it
            continue;
        }
        if (isRetryable(error)) {
            logioMsg(iacp->lp, LOG_INFO, "%s: %s: ReadBytes: %s (IGNORED), return FALSE",
                     iacp->peer_ident, kReadLabel, platErrorText(error));
        } else {
            logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: %s: ReadBytes: %s, return FALSE",
                     iacp->peer_ident, kReadLabel, platErrorText(error));
        }
        return false;
    }
    // One thread receives per connection and nothing else reads these: no lock. The coarse
    // clock: this runs three times a frame.
    iacp->last_read = platNowCoarse();
    iacp->recv_stats.bytes += n;
    platSetError(0);
    return true;
}

void iacpResetReadAhead(IACP_CONNECTION* iacp) {
    iacp->rbuf_pos = iacp->rbuf_end = 0;
}

// Called with the connection's mutex held (the send path holds it for the whole frame).
bool iacpWriteTo(IACP_CONNECTION* iacp, const PLAT_IOVEC* pieces, int count, int* done,
                 int64_t deadlineMs) {
    *done = 0;
    if (count > kMaxWritePieces) {
        platSetError(WSAEINVAL);
        return false;
    }
    // A piece of bytes without a buffer fails in its turn, after the pieces before it are out.
    int usable = 0;
    uint64_t total = 0;
    while (usable < count && (pieces[usable].len == 0 || pieces[usable].base != nullptr)) {
        total += pieces[usable].len;
        ++usable;
    }
    uint64_t sent = 0;
    bool ok = writePieces(iacp, pieces, usable, total, &sent, deadlineMs);
    int error = platGetError();

    // The pieces fully written count as written, each as if it had been a write of its own.
    uint64_t complete = 0;
    int completed = 0;
    while (completed < usable && complete + pieces[completed].len <= sent) {
        complete += pieces[completed].len;
        ++completed;
    }
    *done = completed;
    if (complete > 0) {
        iacp->last_write = platNow();
        iacp->send_stats.bytes += complete;
    }
    if (!ok) {
        platSetError(error);
        return false;
    }
    if (usable < count) {
        logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: NULL buf!", kWriteLabel);
        platSetError(WSAEINVAL);
        return false;
    }
    return true;
}
