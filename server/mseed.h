// miniSEED files as stored streams of the stand-in server (read with libmseed 2.19).
#pragma once

#include <string>
#include <vector>

#include "server/stream.h"

namespace isisim {

// Reads the data records of every file and makes one stored stream per station, channel and
// location (the network code is dropped; the stream name has no place for it). Records that
// continue the one before within half an interval join its segment; others start a new one.
// Integer samples are taken as they are, float samples rounded; text records are skipped, as are
// records whose rate differs from the stream's first or cannot be carried in a packet header.
// Unless keepTimes is set, all streams move by one common offset so that the newest sample of all
// lies at now.
bool simLoadMseed(const std::vector<std::string>& files, bool keepTimes, int samplesPerPacket,
                  double now, std::vector<SimStream>* streams, std::string* error);

}  // namespace isisim
