// The acquisition thread: one open-ended stream request to the ISI server for every display
// channel, packets appended to the channel they belong to, and one end notice when it stops.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "isi/isi.h"
#include "tremlive/buffers.h"

namespace tremlive {

// Command identifiers the thread and the view send to the main window.
inline constexpr int ID_UPDATE_VIEW = 555;
inline constexpr int ID_ACQUISITION_ENDED = 556;

// The shared run flag: set to 1 just before the thread starts, cleared by Stop. The thread only
// reads it.
extern std::atomic<int> g_running;

// What the thread needs; copied from the settings when acquisition starts.
struct CAcquisitionParams {
    std::string server;
    int port = ISI_DEFAULT_PORT;
    int bufferedTime = 7200;  // seconds back from the clock where the request starts
    LOGIO* log = nullptr;     // the library's log; none: standard output
    // Posted once when the thread ends (the frame's command 556). Called on the thread.
    std::function<void()> onEnded;
    // Pause between noticing the cleared run flag and closing the client, in milliseconds. None
    // by default: every wait of the client is cut short by the stop, so that acquisition ends
    // within a second of Stop.
    uint32_t stopPauseMs = 0;
};

// "+STA.CHN.LOC" per display channel, in channel order, nothing in between.
std::string BuildStreamSpecifier(const CTraceBuffers& buffers);

// The index of the first display channel the stream belongs to (station and channel compared
// without regard to case, location byte for byte), or -1.
int MatchChannel(const CTraceBuffers& buffers, const ISI_STREAM_ID& name);

// A converted packet's samples on the drawing's scale of whole counts, by their type: integers as
// they are (64-bit ones clamped), floats (isiSamplesToFloat) at their nearest count. False for a
// type without plain samples or fewer data bytes than samples.
bool SamplesAsCounts(const ISI_TS_PACKET& packet, std::vector<int32_t>* counts);

// Copies a received packet into the buffer of its channel under the data lock, its samples as
// SamplesAsCounts gives them. False when it matches no channel or cannot be drawn: no samples, a
// type without plain samples or fewer bytes than announced, or an interval or times that are not
// finite positive numbers.
bool HandlePacket(CTraceBuffers* buffers, const ISI_TS_PACKET& packet);

// The thread routine. Runs while g_running is 1, then sets the client's stop flag, waits
// stopPauseMs, closes the client and calls onEnded. Returns 0.
int AcquisitionThread(CTraceBuffers* buffers, CAcquisitionParams params);

// Starts the thread at the lowest priority and lets the owner wait for its end. The thread holds
// its own reference to the buffers, so an owner that gives up waiting can never leave it
// writing into freed channels.
class CAcquisitionRunner {
  public:
    ~CAcquisitionRunner();
    // Sets g_running to 1 and starts the thread.
    void Start(std::shared_ptr<CTraceBuffers> buffers, CAcquisitionParams params);
    // Clears g_running and sets the stop flag of the thread's client and the cancel flag of its
    // connections, so that a connect or a read waiting on a silent server returns within a
    // fraction of a second; the thread then ends at its next test of the flag.
    static void Stop();
    // True when no thread runs or it ended within timeoutMs.
    bool WaitForEnd(uint32_t timeoutMs);
    bool Active() const { return thread_.joinable(); }

  private:
    // Shared with the thread, which may outlive a runner that stopped waiting.
    struct EndState {
        std::mutex mutex;
        std::condition_variable ended;
        bool finished = false;
    };
    std::thread thread_;
    std::shared_ptr<EndState> end_;
};

}  // namespace tremlive
