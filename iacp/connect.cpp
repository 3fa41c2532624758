// Opening, connecting, handshaking and closing an IACP connection, and its accessors.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "iacp/private.h"
#include "logio/logio.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "util/util.h"

namespace {

constexpr uint32_t kHandshakeParamCount = 4;
// The shortest time-out a server's handshake may set.
constexpr uint32_t kMinServerTimeoutMs = 100;
constexpr uint32_t kHandshakeValueLen = 4;
// Count, then four parameters of type, length and a 4-byte value: 52 bytes.
constexpr uint32_t kHandshakeLen = 4 + kHandshakeParamCount * (4 + 4 + kHandshakeValueLen);

void setProvisionalIdent(IACP_CONNECTION* iacp) {
    std::string ident = std::string("pid?@") + iacp->peer_name;
    utilCopyBounded(iacp->peer_ident, ident.c_str(), sizeof iacp->peer_ident);
}

// Applies the server's handshake parameters in order. False when the list runs past the end of
// the payload (nothing is read beyond it).
bool applyServerHandshake(IACP_CONNECTION* iacp, const uint8_t* payload, uint32_t len) {
    uint32_t count = 0;
    uint32_t pos = 0;
    if (len < 4) return false;
    pos += uint32_t(utilUnpackUINT32(payload, &count));
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t type = 0;
        uint32_t valueLen = 0;
        if (len - pos < 8) return false;
        pos += uint32_t(utilUnpackUINT32(payload + pos, &type));
        pos += uint32_t(utilUnpackUINT32(payload + pos, &valueLen));
        if (len - pos < valueLen) return false;
        bool known = valueLen == kHandshakeValueLen &&
                     (type == IACP_PARAM_PID || type == IACP_PARAM_TIMEOUT ||
                      type == IACP_PARAM_SNDBUF || type == IACP_PARAM_RCVBUF);
        if (!known) {
            logioMsg(iacp->lp, LOG_WARNING, "skip unknown handshake parameter: type %lu, len=%lu",
                     static_cast<unsigned long>(type), static_cast<unsigned long>(valueLen));
            pos += valueLen;
            continue;
        }
        uint32_t value = 0;
        pos += uint32_t(utilUnpackUINT32(payload + pos, &value));
        std::lock_guard<std::mutex> lock(iacp->mutex);
        switch (type) {
            case IACP_PARAM_PID:
                iacp->peer_pid = value;
                break;
            // The server's time-out is taken when it is shorter, below the client's floor too, but
            // not a longer one: a frame may take the time-out, and the client's own is what its
            // user allows a server to hold it. None at all would fail every wait at once.
            case IACP_PARAM_TIMEOUT:
                iacp->attr.at_timeo = std::min(std::max(value, kMinServerTimeoutMs),
                                               std::max(iacp->attr.at_timeo, kMinServerTimeoutMs));
                break;
            case IACP_PARAM_SNDBUF:
                iacp->attr.sndbuf = value;
                break;
            case IACP_PARAM_RCVBUF:
                iacp->attr.rcvbuf = value;
                break;
        }
    }
    return true;
}

}  // namespace

void iacpInitOptions(IACP_OPTIONS* options) {
    if (options != nullptr) *options = IACP_OPTIONS{};
}

bool iacpInitHandle(IACP_CONNECTION* iacp, const char* server, int port,
                    const IACP_OPTIONS* options, LOGIO* lp, int debug) {
    if (iacp == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    iacp->sd = PLAT_INVALID_SOCKET;
    iacp->connect_time = 0;
    iacp->port = port;
    iacp->peer_addr[0] = '\0';
    utilCopyBounded(iacp->peer_name, server != nullptr ? server : "", sizeof iacp->peer_name);
    iacp->peer_pid = 0;
    setProvisionalIdent(iacp);
    iacp->attr = options != nullptr ? *options : IACP_OPTIONS{};
    if (iacp->attr.at_timeo < IACP_DEF_AT_TIMEO) iacp->attr.at_timeo = IACP_DEF_AT_TIMEO;
    iacp->last_read = iacp->last_write = 0.0;
    iacp->recv_stats = IACP_TRAFFIC_STATS{};
    iacp->send_stats = IACP_TRAFFIC_STATS{};
    iacp->seqno = 0;
    iacp->lp = lp;
    iacp->debug = debug;
    iacp->send_failed = false;
    iacp->trace = nullptr;
    iacp->tracefile = nullptr;
    iacpResetReadAhead(iacp);

    if (iacp->attr.tracefile != nullptr) {
        // The connection keeps its own copy: the caller's options may not outlive it.
        iacp->tracefile = strdup(iacp->attr.tracefile);
        iacp->attr.tracefile = iacp->tracefile;
        if (iacp->tracefile != nullptr) iacp->trace = std::fopen(iacp->tracefile, "ab");
        if (iacp->trace != nullptr) {
            logioMsg(lp, LOG_INFO, "logging traffic to %s", iacp->tracefile);
        } else {
            int error = platErrorFromErrno(errno);
            logioMsg(lp, LOG_WARNING, "%s: fopen: %s: %s (ignored)", "iacpInitHandle",
                     iacp->attr.tracefile != nullptr ? iacp->attr.tracefile : "?",
                     platErrorText(error));
        }
    }
    return true;
}

bool iacpClientHandshake(IACP_CONNECTION* iacp) {
    static const char* kFunc = "iacpClientHandshake";
    if (iacp == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    uint8_t payload[kHandshakeLen];
    uint8_t* p = payload;
    const uint32_t params[kHandshakeParamCount][2] = {
        {IACP_PARAM_PID, platProcessId()},
        {IACP_PARAM_TIMEOUT, iacp->attr.at_timeo},
        {IACP_PARAM_SNDBUF, iacp->attr.sndbuf},
        {IACP_PARAM_RCVBUF, iacp->attr.rcvbuf},
    };
    p += utilPackUINT32(p, kHandshakeParamCount);
    for (const auto& param : params) {
        p += utilPackUINT32(p, param[0]);
        p += utilPackUINT32(p, kHandshakeValueLen);
        p += utilPackUINT32(p, param[1]);
    }

    IACP_WIRE_FRAME frame;
    frame.type = IACP_TYPE_HANDSHAKE;
    frame.payload = payload;
    frame.payload_len = kHandshakeLen;
    if (!iacpSendFrame(iacp, &frame)) {
        int error = platGetError();
        logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: iacpSendFrame failed", kFunc);
        platSetError(error);
        return false;
    }

    uint8_t reply[IACP_HANDSHAKE_REPLY_BUFLEN];
    IACP_WIRE_FRAME answer;
    if (!iacpRecvFrame(iacp, &answer, reply, sizeof reply)) {
        int error = platGetError();
        logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: iacpRecvFrame failed", kFunc);
        platSetError(error);
        return false;
    }
    if (answer.type != IACP_TYPE_HANDSHAKE ||
        !applyServerHandshake(iacp, answer.payload, answer.payload_len)) {
        logioMsg(iacp->lp, iacpFailureLevel(iacp), "%s: protocol error (not IACP_TYPE_HANDSHAKE)",
                 kFunc);
        platSetError(WSAEPROTOTYPE);
        return false;
    }
    if (iacp->attr.sndbuf != 0) platSetSendBufferSize(iacp->sd, int(iacp->attr.sndbuf));
    if (iacp->attr.rcvbuf != 0) platSetRecvBufferSize(iacp->sd, int(iacp->attr.rcvbuf));
    std::string ident = "pid" + std::to_string(iacp->peer_pid) + "@" + iacp->peer_name;
    utilCopyBounded(iacp->peer_ident, ident.c_str(), sizeof iacp->peer_ident);
    platSetError(0);
    return true;
}

namespace {

// The TCP connect, started without blocking and waited for within the I/O time-out (in slices
// when there is a cancel flag), so that a host that never answers costs the time-out, not the
// system's own connect time-out of minutes, and a stop is not held up by it.
bool connectSocket(IACP_CONNECTION* iacp, const PLAT_INADDR& address) {
    platSetNonBlocking(iacp->sd, true);
    if (platConnect(iacp->sd, address)) return true;
    int error = platGetError();
    if (error != WSAEINPROGRESS && error != WSAEWOULDBLOCK) return false;
    int ready = iacpWaitReady(iacp, true, int64_t(iacp->attr.at_timeo));
    if (ready < 0) return false;
    if (ready == 0) {
        platSetError(WSAETIMEDOUT);
        return false;
    }
    return platConnectResult(iacp->sd);
}

// Sleeps milliseconds, in slices when the connection has a cancel flag; false as soon as the
// flag is set.
bool pauseUnlessCancelled(const IACP_CONNECTION* iacp, uint32_t milliseconds) {
    if (iacp->attr.cancel == nullptr) {
        platSleepMs(milliseconds);
        return true;
    }
    for (int64_t left = milliseconds; left > 0; left -= IACP_CANCEL_SLICE_MS) {
        if (iacp->attr.cancel->load() != 0) return false;
        platSleepMs(uint32_t(std::min<int64_t>(left, IACP_CANCEL_SLICE_MS)));
    }
    return iacp->attr.cancel->load() == 0;
}

}  // namespace

bool iacpConnect(IACP_CONNECTION* iacp) {
    static const char* kFunc = "iacpConnect";
    if (iacp == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    // The address is resolved once; an unknown name is never worth a retry.
    PLAT_INADDR address;
    if (!utilSetHostAddr(&address, iacp->peer_name, iacp->port)) {
        int error = platGetError();
        logioMsg(iacp->lp, LOG_INFO, "%s: server %s: %s", kFunc, iacp->peer_name,
                 platErrorText(error));
        platSetError(error);
        return false;
    }

    for (;;) {
        iacp->sd = platTcpSocket();
        if (iacp->sd == PLAT_INVALID_SOCKET) {
            int error = platGetError();
            logioMsg(iacp->lp, LOG_INFO, "%s: socket: %s", kFunc, platErrorText(error));
            platSetError(error);
            return false;
        }
        iacpResetReadAhead(iacp);
        platSetKeepAlive(iacp->sd, true);
        // Requests are small frames answered by the server: sent at once, not held back
        // until the server acknowledges the previous segment.
        platSetNoDelay(iacp->sd, true);
        if (iacp->attr.sndbuf != 0) platSetSendBufferSize(iacp->sd, int(iacp->attr.sndbuf));
        if (iacp->attr.rcvbuf != 0) platSetRecvBufferSize(iacp->sd, int(iacp->attr.rcvbuf));

        int error = 0;
        if (!connectSocket(iacp, address)) {
            error = platGetError();
            // A cancelled connect is the caller's stop, not a failure worth a line.
            bool cancelled = iacp->attr.cancel != nullptr && iacp->attr.cancel->load() != 0;
            int level =
                iacpErrorClass(error) == IACP_ERR_TRANSIENT || cancelled ? LOG_DEBUG : LOG_INFO;
            logioMsg(iacp->lp, level, "%s: connect: %s", kFunc, platErrorText(error));
        } else {
            platSetNonBlocking(iacp->sd, true);
            iacp->connect_time = int64_t(platNow());
            PLAT_INADDR peer;
            if (platPeerAddress(iacp->sd, &peer)) {
                std::string dotted = platDottedText(peer.addr);
                std::string name;
                utilCopyBounded(iacp->peer_addr, dotted.c_str(), sizeof iacp->peer_addr);
                if (!platLookupAddress(peer.addr, &name)) name = dotted;
                utilCopyBounded(iacp->peer_name, name.c_str(), sizeof iacp->peer_name);
            }
            setProvisionalIdent(iacp);
            if (iacpClientHandshake(iacp)) return true;
            error = platGetError();
        }

        platCloseSocket(iacp->sd);
        iacp->sd = PLAT_INVALID_SOCKET;
        if (iacpErrorClass(error) > int(iacp->attr.maxerr)) {
            platSetError(error);
            return false;
        }
        logioMsg(iacp->lp, LOG_DEBUG, "%s: delay %lu msec", kFunc,
                 static_cast<unsigned long>(iacp->attr.retry_delay));
        if (!pauseUnlessCancelled(iacp, iacp->attr.retry_delay)) {
            platSetError(WSAECONNABORTED);
            return false;
        }
    }
}

IACP_CONNECTION* iacpOpen(const char* server, int port, const IACP_OPTIONS* options, LOGIO* lp,
                          int debug) {
    static const char* kFunc = "iacpOpen";
    if (server == nullptr || port <= 0) {
        logioMsg(lp, LOG_INFO, "%s: invalid argument(s)", kFunc);
        platSetError(WSAEINVAL);
        return nullptr;
    }
    auto* iacp = new (std::nothrow) IACP_CONNECTION;
    if (iacp == nullptr) {
        logioMsg(lp, LOG_ERR, "%s: malloc: %s", kFunc, platErrorText(WSAENOBUFS));
        platSetError(WSAENOBUFS);
        return nullptr;
    }
    iacpInitHandle(iacp, server, port, options, lp, debug);
    if (debug > 0 && lp != nullptr) logioSetThreshold(lp, LOG_DEBUG);
    if (!iacpConnect(iacp)) {
        int error = platGetError();
        logioMsg(lp, LOG_INFO, "%s: unable to connect to %s:%d", kFunc, server, port);
        iacpClose(iacp);
        platSetError(error);
        return nullptr;
    }
    return iacp;
}

IACP_CONNECTION* iacpClose(IACP_CONNECTION* iacp) {
    if (iacp == nullptr) return nullptr;
    if (iacp->sd != PLAT_INVALID_SOCKET) {
        platShutdownSocket(iacp->sd);
        platCloseSocket(iacp->sd);
        iacp->sd = PLAT_INVALID_SOCKET;
    }
    logioMsg(iacp->lp, LOG_DEBUG, "%s: %s: connection closed", iacp->peer_ident, "iacpClose");
    if (iacp->trace != nullptr) std::fclose(iacp->trace);
    std::free(iacp->tracefile);
    delete iacp;
    return nullptr;
}

int iacpGetDebug(IACP_CONNECTION* iacp) {
    if (iacp == nullptr) {
        platSetError(WSAEINVAL);
        return 0;
    }
    std::lock_guard<std::mutex> lock(iacp->mutex);
    return iacp->debug;
}

uint32_t iacpGetTimeout(IACP_CONNECTION* iacp) {
    if (iacp == nullptr) {
        platSetError(WSAEINVAL);
        return 0;
    }
    std::lock_guard<std::mutex> lock(iacp->mutex);
    return iacp->attr.at_timeo;
}

uint32_t iacpGetRetryDelay(IACP_CONNECTION* iacp) {
    if (iacp == nullptr) {
        platSetError(WSAEINVAL);
        return 0;
    }
    std::lock_guard<std::mutex> lock(iacp->mutex);
    return iacp->attr.retry_delay;
}

uint32_t iacpGetMaxError(IACP_CONNECTION* iacp) {
    if (iacp == nullptr) {
        platSetError(WSAEINVAL);
        return 0;
    }
    std::lock_guard<std::mutex> lock(iacp->mutex);
    return iacp->attr.maxerr;
}

const char* iacpPeerIdent(IACP_CONNECTION* iacp) {
    if (iacp == nullptr) {
        platSetError(WSAEINVAL);
        return "NULL";
    }
    std::lock_guard<std::mutex> lock(iacp->mutex);
    return iacp->peer_ident;
}
