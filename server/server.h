// isi-sim, the stand-in ISI server: listens on a TCP port, serves each client on a thread of its
// own, and answers the handshake, data requests (time windows, with difference compression or
// plain big-endian 32-bit samples), the configuration and state-of-health lists, with heartbeats
// while idle. Faults can be injected for tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "isi/isi.h"
#include "logio/logio.h"
#include "server/cache.h"
#include "server/stream.h"

namespace isisim {

enum class SimFaultKind {
    Close,     // close the connection
    Alert,     // send alert code `arg`, then close
    Stall,     // send nothing for `arg` seconds (no heartbeats either)
    BadTag,    // send one frame whose tag is not "IACP"
    Oversize,  // send one type-1012 frame with a payload over 32768 bytes
};

// A fault fires on a connection once `afterPackets` packets have been sent on it, on at most
// `times` connections in all.
struct SimFault {
    SimFaultKind kind = SimFaultKind::Close;
    uint64_t afterPackets = 0;
    int times = 1;
    double arg = 0.0;
};

// "close:N[:K]", "alert:N:CODE[:K]", "stall:N:SECONDS[:K]", "badtag:N[:K]", "oversize:N[:K]".
bool simParseFault(const std::string& text, SimFault* fault, std::string* error);

struct SimServerOptions {
    std::string host = "127.0.0.1";    // address to listen on
    uint16_t port = ISI_DEFAULT_PORT;  // 0 picks a free port
    double heartbeat = 10.0;           // seconds without a frame before a heartbeat
    uint32_t ioTimeoutMs = 30000;      // limit of one frame read or write
    std::vector<SimFault> faults;
    LOGIO* log = nullptr;  // none: no log lines
    // Bytes of built packets kept for reuse (0: none, every packet is computed when sent).
    size_t packetCacheBytes = 0;
};

// A data request as the server received it (before any wildcard was expanded).
struct SimRequestRecord {
    uint64_t connection = 0;
    uint32_t policy = 0;
    uint32_t format = 0;
    uint32_t compress = 0;
    std::vector<ISI_TWIND_ITEM> items;
};

struct SimServerStats {
    uint64_t connections = 0;
    uint64_t packets = 0;
    uint64_t heartbeats = 0;
    uint64_t faultsFired = 0;
};

class SimSession;

class SimServer {
  public:
    SimServer(std::vector<SimStream> streams, SimServerOptions options);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds, listens and starts accepting. False with a reason when the port cannot be had.
    bool start(std::string* error);
    // Ends every session and the listener; waits for their threads.
    void stop();
    uint16_t port() const { return port_; }

    const std::vector<SimStream>& streams() const { return streams_; }
    const SimServerOptions& options() const { return options_; }
    std::vector<SimRequestRecord> requests() const;
    SimServerStats stats() const;

    // Used by the sessions.
    bool takeFault(size_t index);
    void recordRequest(const SimRequestRecord& record);
    void countPacket() { ++packets_; }
    void countHeartbeat() { ++heartbeats_; }
    const std::atomic<bool>* stopping() const { return &stopping_; }
    SimPacketCache& packetCache() { return cache_; }

  private:
    void acceptLoop();
    void reapFinished();

    std::vector<SimStream> streams_;
    SimServerOptions options_;
    PLAT_SOCKET listener_ = PLAT_INVALID_SOCKET;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;

    mutable std::mutex mutex_;  // guards what follows
    struct Running {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::list<Running> sessions_;
    std::vector<int> faultsLeft_;
    std::vector<SimRequestRecord> requests_;
    uint64_t connections_ = 0;
    uint64_t faultsFired_ = 0;

    std::atomic<uint64_t> packets_{0};
    std::atomic<uint64_t> heartbeats_{0};
    SimPacketCache cache_;
};

}  // namespace isisim
