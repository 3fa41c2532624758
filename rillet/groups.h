// The recorder's group list: one CRecorderGroup per loaded "GROUP%d" section of rillet.ini, each
// with the channels that SITECHAN knows a rate for, and the per-channel recording state that the
// worker keeps (pending run, current file, resume point).
//
// The list is built by CRilletSettings::LoadSettings before the worker starts and never changes
// shape afterwards; only the worker touches the channel states.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A pending run never holds more than this many samples: one file append, one catalogue statement
// and one settings write serve up to 4900 samples.
inline constexpr int kMaxPendingSamples = 4900;
// Room of the run buffer (a little more than the largest run).
inline constexpr int kRunBufferSamples = 5000;
// Size of the per-packet conversion area; larger packets are taken in pieces of this size.
inline constexpr int kMaxPacketSamples = 4096;
// Channels at or below this rate (samples per second) are written packet by packet.
inline constexpr double kPacketByPacketRate = 1.0;
// Location code the catalogue and the configuration use for "no location".
inline constexpr const char* kNoLocation = "??";

struct CRecorderChannel {
    std::string channel;    // upper case
    std::string location;   // upper case, "??" for none
    double sampleRate = 0;  // samples per second, from SITECHAN, > 0

    double nextTime = 0;  // epoch seconds of the next expected sample; 0 = unknown

    std::string cpath;      // current file relative to the data directory ("sta\\HH\\name"), or ""
    double fileStart = 0;   // epoch seconds of the current file's first sample; 0 = no open file
    double fileLength = 0;  // seconds of data in the current file

    double runStart = 0;     // epoch seconds of the pending run's first sample
    double runDuration = 0;  // seconds
    int32_t runCount = 0;    // samples held
    std::array<float, kRunBufferSamples> run{};

    int32_t listRow = -1;  // row in the window's channel list (set by the window layer)
    double calib = -1.0;
    double calper = -1.0;

    bool badPacketLogged = false;  // one log line per channel for refused packets

    // Set while the pending run cannot be written and packets that do not fit it are refused;
    // lastWriteAttempt (epoch seconds) paces the retries.
    bool refusing = false;
    double lastWriteAttempt = 0;
    // The end of the data written so far, in whole seconds, waiting to be stored as the
    // channel's resume time with the next batch.
    int64_t resumeTime = 0;
    bool resumeDirty = false;
};

struct CRecorderGroup {
    int section = 0;  // n of the "GROUP%d" section it was loaded from; its resume keys live there
    std::string station;      // lower case, as loaded
    uint32_t sizeLimit = 0;   // disk-loop limit in bytes (SIZEMB * 1048576, below 2 GiB)
    int32_t fileLength = 60;  // minutes per file
    std::vector<CRecorderChannel> channels;
};

// The key of a channel's resume time in its "GROUP%d" section: the channel code, with "." and the
// location code when the channel has one.
std::string ResumeTimeKey(const CRecorderChannel& channel);

// True for a location code that means "none": empty, two blanks or "??".
bool IsNoLocation(const std::string& location);
