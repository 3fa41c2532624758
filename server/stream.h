// The streams the stand-in server offers: synthetic ones, computed on the fly over a disk loop of
// the last `history` seconds, and stored ones read from miniSEED files.
//
// Samples of a stream are numbered by one index. A synthetic stream's index is the absolute
// sample number (sample k at k / rate seconds since 1970). A stored stream numbers its samples
// 0, 1, 2, ... across its contiguous segments, so a gap in time is no gap in index.
//
// Packets are cut on fixed boundaries of the index (every samples-per-packet samples; within a
// stored segment counted from its first sample), so live data arrives in whole, aligned packets,
// while a window that begins or ends inside a packet gets that packet trimmed to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "isi/isi.h"
#include "server/rate.h"

namespace isisim {

// The largest packet whose worst-case compressed data (5 bytes a sample) still fits one
// 32768-byte frame payload behind the 64-byte header.
inline constexpr int kMaxSamplesPerPacket = int((ISI_MAX_FRAME_PAYLOAD - ISI_TS_HEADER_LEN) / 5);
inline constexpr int kDefaultSamplesPerPacket = 100;
inline constexpr double kDefaultHistorySeconds = 86400.0;

// One contiguous run of stored samples. Integer samples are given in samples; SimStream::stored
// packs them (differences in blocks, a few bytes a sample for seismic data) and empties samples.
// Floating-point samples are given in reals and kept as they are (a 32-bit float is exact in a
// double), so that they are served bit for bit.
struct SimSegment {
    double t0 = 0.0;   // time of the first sample (after any shift)
    int64_t base = 0;  // index of the first sample
    std::vector<int32_t> samples;
    std::vector<double> reals;
    int64_t count = 0;                   // samples held
    std::vector<uint8_t> packed;         // blocks of kSimPackBlock samples
    std::vector<uint32_t> blockOffsets;  // where each block starts in packed
};
// Samples a packed block holds: each block starts afresh, so a packet decodes one or two.
inline constexpr int kSimPackBlock = 1024;
// The largest packet of 64-bit floats (8 bytes a sample, sent uncompressed) that fits one frame.
inline constexpr int kMaxReal64SamplesPerPacket =
    int((ISI_MAX_FRAME_PAYLOAD - ISI_TS_HEADER_LEN) / 8);

class SimStream {
  public:
    // A synthetic stream; history is the length of its disk loop in seconds.
    static SimStream synthetic(const ISI_STREAM_ID& name, SimRate rate, int samplesPerPacket,
                               double history);
    // A stored stream from time-ordered, non-overlapping segments (bases are assigned here). Its
    // samples are of sampleType: ISI_TYPE_INT32 (the segments' samples), or ISI_TYPE_REAL32 or
    // ISI_TYPE_REAL64 (their reals; packets of 64-bit floats hold at most
    // kMaxReal64SamplesPerPacket samples).
    static SimStream stored(const ISI_STREAM_ID& name, SimRate rate, int samplesPerPacket,
                            std::vector<SimSegment> segments, uint8_t sampleType = ISI_TYPE_INT32);

    const ISI_STREAM_ID& name() const { return name_; }
    SimRate rate() const { return rate_; }
    int samplesPerPacket() const { return spp_; }
    bool isSynthetic() const { return synthetic_; }
    // The data type code of the stream's packets (ISI_TYPE_INT32 unless stored as floats).
    uint8_t sampleType() const { return sampleType_; }
    std::string text() const;  // "STA.CHN.LOC" or "STA.CHN"

    // Oldest and newest index held at time now; empty when lastIndex < firstIndex.
    int64_t firstIndex(double now) const;
    int64_t lastIndex(double now) const;
    double timeOf(int64_t k) const;
    int64_t indexAtOrAfter(double t) const;
    int64_t indexAtOrBefore(double t) const;
    // Last index of the packet that holds k.
    int64_t packetEnd(int64_t k) const;
    // First index of the newest whole packet held at time now.
    int64_t newestPacketStart(double now) const;
    // Samples k .. k+count-1, all inside one packet: integers of an integer stream, or the values
    // of a floating-point stream.
    void fill(int64_t k, int count, int32_t* out) const;
    void fillReals(int64_t k, int count, double* out) const;

    uint32_t segmentsHeld() const;
    uint32_t packetsHeld(double now) const;

    // Moves every stored sample by seconds (miniSEED streams shifted to the present).
    void shift(double seconds);

  private:
    const SimSegment* segmentOf(int64_t k) const;
    static void pack(SimSegment& seg);

    ISI_STREAM_ID name_{};
    SimRate rate_;
    int spp_ = kDefaultSamplesPerPacket;
    bool synthetic_ = true;
    uint8_t sampleType_ = ISI_TYPE_INT32;
    double history_ = kDefaultHistorySeconds;
    uint64_t hash_ = 0;
    std::vector<SimSegment> segments_;
};

// A name pattern of a request item matches a stream: "*" and "?" are wildcards, letters compare
// without regard to case, and a blank, empty or "--" location matches a stream without one.
bool simNameMatches(const ISI_STREAM_ID& pattern, const ISI_STREAM_ID& stream);

// Parses "STA.CHN[.LOC]:RATE[:SAMPLES_PER_PACKET]" (LOC "--" or absent: none).
bool simParseStreamSpec(const std::string& text, int defaultSamplesPerPacket, double history,
                        SimStream* stream, std::string* error);

// Reads a stream file: one stream a line, "STATION CHANNEL LOCATION RATE [SAMPLES_PER_PACKET]"
// separated by blanks or tabs, LOCATION "--" for none; "#" starts a comment. Errors name the
// line.
bool simReadStreamFile(const std::string& path, int defaultSamplesPerPacket, double history,
                       std::vector<SimStream>* streams, std::string* error);

// The streams the server offers when none is given.
std::vector<SimStream> simDefaultStreams(int samplesPerPacket, double history);

}  // namespace isisim
