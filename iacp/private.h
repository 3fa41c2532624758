// Internal helpers shared by the files of the connection layer.
#pragma once

#include <cstdint>

#include "iacp/iacp.h"

// Level of a message about a failed read, write, send or handshake: shown with the debug flag,
// hidden at the default threshold otherwise.
int iacpFailureLevel(const IACP_CONNECTION* iacp);

// The deadline of a frame that starts now: the connection's I/O time-out from now, on the
// monotonic clock (platMonotonicMs). A whole frame, not each wait within it, must be done by then,
// so that a peer that trickles its bytes cannot hold the connection much past the time-out.
int64_t iacpFrameDeadline(const IACP_CONNECTION* iacp);

// Timed read of exactly n bytes ("read_to"), served from the read-ahead first; every wait ends by
// deadlineMs (iacpFrameDeadline). True when all bytes are in; else false with the error variable
// set (WSAETIMEDOUT when the deadline passed first).
bool iacpReadTo(IACP_CONNECTION* iacp, uint8_t* buf, uint32_t n, int64_t deadlineMs);
// Forgets what the read-ahead holds: the bytes of a socket that is no more.
void iacpResetReadAhead(IACP_CONNECTION* iacp);
// Timed write ("write_to") of up to four pieces in turn, as one gathered stream, done by
// deadlineMs. True when all bytes are out; else false with the error variable set. done receives
// the number of pieces fully written (also on success), so a failure belongs to pieces[*done].
bool iacpWriteTo(IACP_CONNECTION* iacp, const PLAT_IOVEC* pieces, int count, int* done,
                 int64_t deadlineMs);

// Traffic log entries of one frame piece; nothing when the connection has no traffic log.
enum class IacpDirection { Send, Recv };
void iacpTracePreamble(IACP_CONNECTION* iacp, IacpDirection dir, const uint8_t* preamble,
                       const IACP_WIRE_FRAME* frame);
void iacpTracePayload(IACP_CONNECTION* iacp, IacpDirection dir, const uint8_t* payload,
                      uint32_t len);
void iacpTraceSigPreamble(IACP_CONNECTION* iacp, IacpDirection dir, const uint8_t* sigpreamble,
                          const IACP_WIRE_FRAME* frame);

// Adds one complete frame of len payload bytes to a direction's statistics.
void iacpCountFrame(IACP_TRAFFIC_STATS* stats, uint32_t len);
