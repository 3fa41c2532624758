// miniSEED files as stored streams of the stand-in server (read with libmseed 2.19).
#pragma once

#include <string>
#include <vector>

#include "server/stream.h"

namespace isisim {

// Reads the data records of every file and makes one stored stream per station, channel and
// location (the network code is dropped; the stream name has no place for it). Records that
// continue the one before within half an interval join its segment; others start a new one.
// Samples are served as they are, never rounded: a stream whose records all hold integers as
// 32-bit integers (ISI_TYPE_INT32), one whose records all decode to 32-bit floats (the float
// encoding, and the gain-ranged ones) as 32-bit floats (ISI_TYPE_REAL32), and any other as 64-bit
// floats (ISI_TYPE_REAL64), which hold the others exactly. A record that cannot be served (text,
// an encoding that does not decode, a rate that differs from the stream's first or cannot be
// carried in a packet header) is left out with a line in warnings naming its file and record.
// Unless keepTimes is set, all streams move by one common offset so that the newest sample of all
// lies at now.
bool simLoadMseed(const std::vector<std::string>& files, bool keepTimes, int samplesPerPacket,
                  double now, std::vector<SimStream>* streams, std::string* error,
                  std::vector<std::string>* warnings = nullptr);

}  // namespace isisim
