// Internal helpers shared by the files of the connection layer.
#pragma once

#include <cstdint>

#include "iacp/iacp.h"

// Level of a message about a failed read, write, send or handshake: shown with the debug flag,
// hidden at the default threshold otherwise.
int iacpFailureLevel(const IACP_CONNECTION* iacp);

// Timed read of exactly n bytes with the connection's I/O time-out ("read_to"), served from the
// read-ahead first. True when all bytes are in; else false with the error variable set.
bool iacpReadTo(IACP_CONNECTION* iacp, uint8_t* buf, uint32_t n);
// Forgets what the read-ahead holds: the bytes of a socket that is no more.
void iacpResetReadAhead(IACP_CONNECTION* iacp);
// Timed write ("write_to") of up to four pieces in turn, as one gathered stream. True when all
// bytes are out; else false with the error variable set. done receives the number of pieces
// fully written (also on success), so a failure belongs to pieces[*done].
bool iacpWriteTo(IACP_CONNECTION* iacp, const PLAT_IOVEC* pieces, int count, int* done);

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
