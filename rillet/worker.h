// The recorder's worker thread: one ISI stream request for every channel of every group, kept
// open for the life of the process. Each connection cycle asks every channel for data from its
// next time on (the newest data when none is known), hands each packet to CRecorder, and starts
// over when the server ends the cycle. An orderly stop (RequestStop) ends the read, writes every
// pending run and returns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "rillet/log.h"
#include "rillet/metrics.h"

struct ISI_CLIENT;
struct ISI_DATA_REQUEST;
struct ISI_TS_PACKET;
struct LOGIO;
class CRecorder;
class CRilletLog;
class CRilletSettings;

// Where the worker shows its progress: the main window, or standard output when headless. Called
// on the worker's thread; an implementation must not wait for the thread that stops the worker.
class CRecorderView {
  public:
    virtual ~CRecorderView() = default;
    virtual void SetStatusLine(const std::string& text) = 0;
    // The time of the latest packet of channel c of group g (column "Last count time" of the
    // window's row of that channel).
    virtual void SetLastCountTime(size_t g, size_t c, const std::string& text) = 0;
};

class CRecorderWorker {
  public:
    CRecorderWorker(CRilletSettings& settings, CRecorder& recorder, CRilletLog& log,
                    CRecorderView& view);

    // The thread routine: prepares the channel states, runs connection cycles until a stop is
    // requested, then writes every pending run.
    void RecorderThread();
    // One connection cycle: build the request, connect, read until the cycle ends, close. True
    // when it ended to ask again for packets the recorder refused (the next begins at once).
    bool RunConnection();
    // Routes one packet to its channel; updates the view unless silent.
    void HandlePacket(const ISI_TS_PACKET& packet);

    // From any thread (a signal watcher, the window): ends the connection at once, whatever it
    // waits for; the thread then writes every pending run and returns.
    void RequestStop();
    bool StopRequested() const { return stop_.load(); }

    // Packets received since the worker was made (counted in silent mode too); the window's
    // counter line shows it.
    uint64_t PacketCount() const { return packets_.load(); }

    // Silent mode: no status line or list update per packet. On at start, as in the window.
    void SetSilent(bool on) { silent_.store(on ? 1 : 0); }
    // Where the protocol library logs (none: standard output).
    void SetLibraryLog(LOGIO* lp) { libraryLog_ = lp; }
    // The metrics file (rillet/metrics.h), written every kMetricsSeconds while the worker runs
    // and once more when it ends; empty (the default) for none. Set before the thread starts.
    void SetMetricsFile(const std::string& file) { metricsFile_ = file; }
    // Writes the metrics file now when one is set (a failure is logged once per cause).
    void WriteMetrics();

    // The request of one cycle: one time-window item per channel, groups in load order; names in
    // lower case, location "  " for none; begin = next time or -3.0 (newest data); end = forever.
    // Allocated with malloc as the library frees it. None when memory runs out.
    ISI_DATA_REQUEST* BuildRequest() const;

    // The status line after a packet: station, channel and first-sample time.
    static std::string StatusText(const ISI_TS_PACKET& packet);

  private:
    // Sleeps up to milliseconds, waking early for a stop.
    void PauseUnlessStopped(uint32_t milliseconds) const;
    // Logs the request of a connection: the server, and per station its channels and the time
    // each is asked from.
    void LogRequest() const;
    static std::string LastCause();

    CRilletSettings& settings_;
    CRecorder& recorder_;
    std::vector<float> samples_;  // the packet at hand as floats, the buffer kept between packets
    CRilletLog& log_;
    CRecorderView& view_;
    LOGIO* libraryLog_ = nullptr;
    const std::string server_;  // "HOST:PORT", printable
    // A server away, and a connection lost while reading: one line when each starts and ends.
    CFailureEpisode unreachable_;
    CFailureEpisode lost_;
    // Writes the metrics when the last write is kMetricsSeconds ago.
    void KeepMetrics();
    std::string metricsFile_;
    double lastMetrics_ = 0;
    CConnectionCounts connection_;
    CFailureEpisode metricsFailing_;

    std::atomic<bool> stop_{false};
    // The connection layer's cancel flag: set with stop_, it ends any wait of the connection
    // (connect to a silent host, a read between heartbeats) within a fraction of a second.
    std::atomic<int> cancel_{0};
    std::atomic<int> silent_{1};
    std::atomic<uint64_t> packets_{0};
    std::mutex clientLock_;  // guards client_ against RequestStop while it is opened or closed
    ISI_CLIENT* client_ = nullptr;
};
