// iacp: one TCP connection to an ISI server, its handshake, and the self-delimiting frames that
// every ISI message travels in.
//
// Wire frame (all integers 32-bit unsigned, big-endian):
//   0  tag "IACP"          4  seqno (0 for the first frame, +1 each, wrapping)
//   8  type                12 payload length      16 payload
//   16+len signature id    20+len signature length (<= 40)    24+len signature bytes
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "logio/logio.h"
#include "platform/net.h"

inline constexpr uint32_t IACP_TAG_LEN = 4;
inline constexpr uint32_t IACP_PREAMBLE_LEN = 16;
inline constexpr uint32_t IACP_SIGPREAMBLE_LEN = 8;
inline constexpr uint32_t IACP_MAXSIGLEN = 40;
inline constexpr uint32_t IACP_HANDSHAKE_REPLY_BUFLEN = 64;
// Read-ahead of a connection: a run of small frames (heartbeats, list entries, short packets)
// comes in with one read call. Large payloads are read straight into the caller's buffer, with
// only a little read ahead behind them.
inline constexpr uint32_t IACP_RECV_BUFLEN = 65536;

// Frame types of the connection layer (ISI's start at 1000).
inline constexpr uint32_t IACP_TYPE_NULL = 0;
inline constexpr uint32_t IACP_TYPE_HANDSHAKE = 1;
inline constexpr uint32_t IACP_TYPE_ALERT = 100;
inline constexpr uint32_t IACP_TYPE_NOP = 101;  // heartbeat
inline constexpr uint32_t IACP_TYPE_ENOSUCH = 102;

// Handshake parameter types.
inline constexpr uint32_t IACP_PARAM_PID = 2;
inline constexpr uint32_t IACP_PARAM_TIMEOUT = 3;
inline constexpr uint32_t IACP_PARAM_SNDBUF = 4;
inline constexpr uint32_t IACP_PARAM_RCVBUF = 5;

// Alert codes.
inline constexpr uint32_t IACP_ALERT_NONE = 0;
inline constexpr uint32_t IACP_ALERT_DISCONNECT = 1;
inline constexpr uint32_t IACP_ALERT_REQUEST_COMPLETE = 2;
inline constexpr uint32_t IACP_ALERT_IO_ERROR = 3;
inline constexpr uint32_t IACP_ALERT_SERVER_FAULT = 4;
inline constexpr uint32_t IACP_ALERT_SERVER_BUSY = 5;
inline constexpr uint32_t IACP_ALERT_FAILED_AUTH = 6;
inline constexpr uint32_t IACP_ALERT_ACCESS_DENIED = 7;
inline constexpr uint32_t IACP_ALERT_REQUEST_DENIED = 8;
inline constexpr uint32_t IACP_ALERT_SHUTDOWN = 9;
inline constexpr uint32_t IACP_ALERT_PROTOCOL_ERROR = 10;
inline constexpr uint32_t IACP_ALERT_ILLEGAL_DATA = 11;

// Error classes of a failed connect.
inline constexpr int IACP_ERR_NONE = 0;
inline constexpr int IACP_ERR_TRANSIENT = 1;
inline constexpr int IACP_ERR_NONFATAL = 2;
inline constexpr int IACP_ERR_FATAL = 3;

inline constexpr uint32_t IACP_DEF_AT_TIMEO = 30000;  // ms; also the floor of any time-out
inline constexpr uint32_t IACP_DEF_SNDBUFSIZ = 0;
inline constexpr uint32_t IACP_DEF_RCVBUFSIZ = 0;
inline constexpr uint32_t IACP_DEF_MAXERROR = IACP_ERR_NONFATAL;
inline constexpr uint32_t IACP_DEF_RESERVED = 1;
inline constexpr uint32_t IACP_DEF_RETRY_DELAY = 10000;  // ms
// Longest a wait goes without looking at the cancel flag.
inline constexpr int64_t IACP_CANCEL_SLICE_MS = 100;

struct IACP_OPTIONS {
    uint32_t at_timeo = IACP_DEF_AT_TIMEO;  // I/O time-out, ms
    uint32_t sndbuf = IACP_DEF_SNDBUFSIZ;   // SO_SNDBUF when nonzero
    uint32_t rcvbuf = IACP_DEF_RCVBUFSIZ;   // SO_RCVBUF when nonzero
    uint32_t maxerr = IACP_DEF_MAXERROR;    // highest error class retried on connect
    uint32_t reserved = IACP_DEF_RESERVED;
    uint32_t retry_delay = IACP_DEF_RETRY_DELAY;  // ms between connect attempts
    const char* tracefile = nullptr;              // traffic log file name, or none
    // When given and nonzero, every wait of the connection (connect, read, write) ends within
    // IACP_CANCEL_SLICE_MS with WSAECONNABORTED: another thread's way to stop a connection that
    // waits for a silent peer. Owned by the caller; it must outlive the connection.
    const std::atomic<int>* cancel = nullptr;
};

struct IACP_WIRE_FRAME {
    uint32_t seqno = 0;
    uint32_t type = 0;
    uint32_t payload_len = 0;
    uint8_t* payload = nullptr;  // the caller's buffer
    bool accepted = false;
    uint32_t sig_id = 0;
    uint32_t sig_len = 0;
    uint8_t sig[IACP_MAXSIGLEN] = {};
};

struct IACP_TRAFFIC_STATS {
    uint64_t bytes = 0;  // preamble, payload and signature bytes
    uint64_t frames = 0;
    uint32_t maxlen = 0;  // largest payload
    uint64_t total = 0;   // payload total
    double mean = 0.0;    // total / frames
};

struct IACP_CONNECTION {
    PLAT_SOCKET sd = PLAT_INVALID_SOCKET;
    int64_t connect_time = 0;  // seconds since 1970 of the last successful connect
    int port = 0;
    char peer_addr[16] = {};   // dotted
    char peer_name[256] = {};  // server name, then the reverse-resolved peer name
    uint32_t peer_pid = 0;
    char peer_ident[256] = {};  // "pid%lu@%s", or "pid?@%s" before the handshake
    IACP_OPTIONS attr;
    double last_read = 0.0;
    double last_write = 0.0;
    IACP_TRAFFIC_STATS recv_stats;
    IACP_TRAFFIC_STATS send_stats;
    uint32_t seqno = 0;  // next outgoing seqno
    std::mutex mutex;
    LOGIO* lp = nullptr;
    int debug = 0;
    bool send_failed = false;
    FILE* trace = nullptr;      // traffic log, or none
    char* tracefile = nullptr;  // own copy of its name
    // Bytes read off the socket ahead of the frame piece being read, served before the socket
    // is read again: rbuf[rbuf_pos, rbuf_end). Allocated (IACP_RECV_BUFLEN) at the first read;
    // emptied whenever a new socket is made. Touched only by the one receiving thread.
    std::unique_ptr<uint8_t[]> rbuf;
    uint32_t rbuf_pos = 0;
    uint32_t rbuf_end = 0;
};

IACP_CONNECTION* iacpOpen(const char* server, int port, const IACP_OPTIONS* options, LOGIO* lp,
                          int debug);
bool iacpInitHandle(IACP_CONNECTION* iacp, const char* server, int port,
                    const IACP_OPTIONS* options, LOGIO* lp, int debug);
bool iacpConnect(IACP_CONNECTION* iacp);
// Waits like platWaitReadable / platWaitWritable, ending early with -1 and WSAECONNABORTED when
// the connection's cancel flag is set.
int iacpWaitReady(const IACP_CONNECTION* iacp, bool writable, int64_t timeoutMs);
bool iacpClientHandshake(IACP_CONNECTION* iacp);
bool iacpSendFrame(IACP_CONNECTION* iacp, IACP_WIRE_FRAME* frame);
bool iacpRecvFrame(IACP_CONNECTION* iacp, IACP_WIRE_FRAME* frame, uint8_t* buf, uint32_t buflen);
bool iacpSendEmptyMessage(IACP_CONNECTION* iacp, uint32_t type);
bool iacpSendValueFrame(IACP_CONNECTION* iacp, uint32_t type, uint32_t value);
// The alert code of a type-100 frame with a payload, else -1 with WSAEINVAL.
long iacpAlertCode(const IACP_WIRE_FRAME* frame);
const char* iacpAlertString(long code);
int iacpErrorClass(int error);
const char* iacpErrorClassString(int errclass);
IACP_CONNECTION* iacpClose(IACP_CONNECTION* iacp);  // returns none

int iacpGetDebug(IACP_CONNECTION* iacp);
uint32_t iacpGetTimeout(IACP_CONNECTION* iacp);
uint32_t iacpGetRetryDelay(IACP_CONNECTION* iacp);
uint32_t iacpGetMaxError(IACP_CONNECTION* iacp);
const char* iacpPeerIdent(IACP_CONNECTION* iacp);  // "NULL" for none

// A failure to connect to, or read from, server:port in words an operator can act on: "no such
// host HOST", "connection refused by HOST:PORT (nothing listens there)", "time-out after N s: ...",
// "HOST:PORT closed the connection", and the error's own text otherwise. timeoutMs is the I/O
// time-out that ran out (for WSAETIMEDOUT).
std::string iacpFailureText(const char* server, int port, int error, uint32_t timeoutMs);

// Fills options with the defaults.
void iacpInitOptions(IACP_OPTIONS* options);
