// The recorder's group list: one CRecorderGroup per loaded "GROUP%d" section of rillet.ini, each
// with the configuration of the channels that SITECHAN knows a rate for.
//
// The list is built by CRilletSettings::LoadSettings before the worker starts and never changes
// shape afterwards, so a channel is named by its place in it (group g, channel c). What the
// recorder keeps per channel while it runs is CRecorder's (CChannelState); the window's rows are
// the window's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A pending run never holds more than this many samples: one file append, one catalogue statement
// and one settings write serve up to 4900 samples.
inline constexpr int kMaxPendingSamples = 4900;
// The most samples of a packet taken at once; larger packets (a server may send up to 6540) are
// taken in pieces of this size, each of which fits an empty run.
inline constexpr int kMaxPacketSamples = 4096;
static_assert(kMaxPacketSamples <= kMaxPendingSamples);
// Channels at or below this rate (samples per second) are written packet by packet.
inline constexpr double kPacketByPacketRate = 1.0;
// Location code the catalogue and the configuration use for "no location".
inline constexpr const char* kNoLocation = "??";

// One configured channel of a group.
struct CChannelConfig {
    std::string channel;    // upper case
    std::string location;   // upper case, "??" for none
    double sampleRate = 0;  // samples per second, from SITECHAN, > 0
    // The station records this channel code under another location too: its files carry the
    // location in their names (kvr/store.h), so that the two can never share a file.
    bool locationInName = false;
};

struct CRecorderGroup {
    int section = 0;  // n of the "GROUP%d" section it was loaded from; its resume keys live there
    std::string station;      // lower case, as loaded
    uint32_t sizeLimit = 0;   // disk-loop limit in bytes (SIZEMB * 1048576, below 2 GiB)
    int32_t fileLength = 60;  // minutes per file
    std::vector<CChannelConfig> channels;
};

// The key of a channel's resume time in its "GROUP%d" section: the channel code, with "." and the
// location code when the channel has one.
std::string ResumeTimeKey(const CChannelConfig& channel);

// True for a location code that means "none": empty, two blanks or "??".
bool IsNoLocation(const std::string& location);
