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

// What one run's thread shares with whoever stops it: the run flag, the cancel flag of the
// thread's connections and the client it reads. The thread holds its own reference, so a runner
// that gave up waiting never leaves it reading freed flags.
class CAcquisitionControl {
  public:
    // 1 while the run goes on: set just before the thread starts, cleared by Stop. The thread
    // only reads it.
    std::atomic<int> running{0};
    // The cancel flag of the thread's connections (IACP_OPTIONS::cancel): set by Stop, so that
    // connects and waits end before any client exists to stop.
    std::atomic<int> cancel{0};

    bool Running() const { return running.load() == 1; }
    // Clears the run flag, sets the cancel flag and the stop flag of the client being read, so
    // that a connect or a read waiting on a silent server returns within a fraction of a second.
    void Stop();
    // The client Stop reaches (none while the thread closes it). Stop runs on another thread:
    // the mutex keeps it from stopping a client being closed, and a client published after a
    // Stop is stopped at once.
    void PublishClient(ISI_CLIENT* client);

  private:
    std::mutex clientMutex_;
    ISI_CLIENT* client_ = nullptr;
};

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

// The thread routine. Runs while control's run flag is 1, then sets the client's stop flag, waits
// stopPauseMs, closes the client and calls onEnded. Returns 0.
int AcquisitionThread(CTraceBuffers* buffers, CAcquisitionParams params,
                      CAcquisitionControl& control);

// Starts the thread at the lowest priority and lets the owner wait for its end. The thread holds
// its own reference to the buffers and to its run control, so an owner that gives up waiting can
// never leave it writing into freed channels.
class CAcquisitionRunner {
  public:
    CAcquisitionRunner();
    ~CAcquisitionRunner();
    // Starts the thread with a run control of its own, its run flag set.
    void Start(std::shared_ptr<CTraceBuffers> buffers, CAcquisitionParams params);
    // Stops the current run (CAcquisitionControl::Stop); the thread ends at its next test of the
    // run flag.
    void Stop() { control_->Stop(); }
    // Whether the current run's flag is set: from Start until Stop, whether or not the thread has
    // ended yet.
    bool Running() const { return control_->Running(); }
    // The current run's control (before any Start, a stopped one).
    CAcquisitionControl& control() { return *control_; }
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
    std::shared_ptr<CAcquisitionControl> control_;
};

}  // namespace tremlive
