// The per-channel sample buffers of the live view: every display channel keeps the packets
// received for it, unchanged and in arrival order, while they overlap the buffered window. The
// view-wide window times (displayed and buffered start and end) and each channel's vertical
// scale live here too, with the arithmetic that moves and scales them.
//
// Times are seconds since 1970-01-01 00:00 UTC. Sample j of a packet lies at
// first-sample time + j * interval, in double precision from the packet's 32-bit interval.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tremlive {

// One received packet as stored in a channel's buffer.
// The fields every redraw reads come first, so that a walk over many packets touches one cache
// line of each.
struct CTracePacket {
    double firstTime = 0.0;
    double lastTime = 0.0;
    float interval = 0.0f;  // seconds between samples
    int32_t count = 0;
    // The least and greatest of the count samples, set by CDisplayChannel::AddPacket: a fit over
    // a window takes a packet that lies wholly inside it from these, not from its samples.
    int32_t minSample = 0;
    int32_t maxSample = 0;
    std::vector<int32_t> samples;
    std::string station;
    std::string channel;

    double timeOf(int64_t j) const { return firstTime + double(j) * double(interval); }
    // End for gap purposes: one interval past the last sample.
    double endTime() const { return firstTime + double(count) * double(interval); }
    // The first index whose time is at or after t (count when none).
    int32_t firstIndexAtOrAfter(double t) const;
    // The first index at or after from whose time is after t (count when none).
    int32_t firstIndexAfter(double t, int32_t from) const;
};

// Screen rectangles with vertical values measured upward from the view's bottom edge.
struct CBandRect {
    int32_t left = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    int32_t top = 0;
};

inline constexpr int32_t kInitialScaleMin = -3000;
inline constexpr int32_t kInitialScaleMax = 3000;

// One display channel: its names, scale and screen rectangles, and the packets received for it in
// arrival order. Packets come only through AddPacket and go only through PurgeBefore, which keep
// beside them how far in time each leading run of packets reaches: a redraw finds the first
// packet that can reach its window by one search, instead of a look at each of the thousands the
// buffered hours hold.
class CDisplayChannel {
  public:
    uint32_t receivedPackets = 0;
    CBandRect plot;
    CBandRect band;
    std::string station;
    std::string channel;
    std::string location;
    double samplesPerSecond = 0.0;  // from the settings; shown nowhere
    int32_t scaleMin = kInitialScaleMin;
    int32_t scaleMax = kInitialScaleMax;

    const std::vector<std::unique_ptr<CTracePacket>>& packets() const { return packets_; }
    // Appends as received and notes the packet's extremes (the received-packet count is the
    // caller's).
    void AddPacket(std::unique_ptr<CTracePacket> packet);
    // Deletes every packet whose last sample lies before t.
    void PurgeBefore(double t);
    // The index of the first packet that may have a sample, its first or last time or its end at
    // or after t: every packet before it lies wholly before t. Packets out of time order are
    // allowed; a packet that cannot be placed in time (an interval that is not a finite positive
    // number, times that are not finite) stops the search there.
    size_t FirstPacketReaching(double t) const;

  private:
    std::vector<std::unique_ptr<CTracePacket>> packets_;
    // reach_[k]: the latest of the first, last and end times of packets_[0..k], non-decreasing;
    // infinite from a packet that cannot be placed in time on.
    std::vector<double> reach_;
};

enum class ShiftDirection { Up, Down };

// The channels, their buffers and scales, and the window times, with the data lock that guards
// them. The acquisition thread appends; everything else runs on the user-interface thread.
class CTraceBuffers {
  public:
    // Guards packet lists, received-packet counters, scales and window times. Whoever also needs
    // the view's bitmap lock takes that one first.
    std::mutex dataLock;

    std::vector<std::unique_ptr<CDisplayChannel>> channels;

    double displayedStart = 0.0;
    double displayedEnd = 0.0;
    double bufferedStart = 0.0;
    double bufferedEnd = 0.0;
    int autoFit = 0;

    // Window lengths and the delay, in whole seconds; copied from the settings by the owner.
    int displayedTime = 900;
    int bufferedTime = 7200;
    int delay = 0;

    // Caller holds the data lock. Takes ownership of the packet.
    void AppendPacket(size_t channel, std::unique_ptr<CTracePacket> packet);

    // Moves the four window times to now (seconds since 1970) minus the delay. Takes the lock.
    void UpdateWindowTimes(double now);
    // Deletes every packet whose last sample lies before the buffered start. Takes the lock.
    void PurgeOldPackets();
    // Puts the displayed window around t, kept inside the buffered window. Takes the lock.
    void MoveDisplayedWindow(double t);

    // Scale arithmetic; caller holds the data lock.
    void FitScale(size_t channel, int wholeBuffer);
    void ExpandScale(size_t channel);
    void ContractScale(size_t channel);
    void ShiftScale(size_t channel, ShiftDirection direction);

    // Deletes all channels and their packets; caller holds the data lock.
    void ClearChannels() { channels.clear(); }
};

}  // namespace tremlive
