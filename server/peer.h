// The server side of one IACP connection: timed reads and writes on a non-blocking socket, whole
// frames out (one write each, or queued runs of them in one write) and in.
//
// Every wait is cut into short slices so that a server stop ends it quickly; a wait that has not
// begun a frame ("idle") has no time limit, one inside a frame the I/O time-out.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/net.h"

namespace isisim {

struct SimFrame {
    uint32_t seqno = 0;
    uint32_t type = 0;
    std::vector<uint8_t> payload;
};

enum class SimIo {
    Ok,
    Closed,    // the peer closed the connection
    Failed,    // socket error or time-out
    Stopped,   // the server is stopping
    BadFrame,  // no "IACP" tag, or a payload or signature over the limit
};

class SimPeer {
  public:
    SimPeer(PLAT_SOCKET sd, const std::atomic<bool>* stopping, uint32_t ioTimeoutMs);
    ~SimPeer();
    SimPeer(const SimPeer&) = delete;
    SimPeer& operator=(const SimPeer&) = delete;

    // Reads one frame whose payload may be up to maxPayload bytes. Unless idle, the frame must
    // begin within the I/O time-out too.
    SimIo recvFrame(SimFrame* frame, uint32_t maxPayload, bool idle);
    // Sends one frame with the next seqno, behind whatever is queued, in one write. The tag is
    // "IACP" unless a fault asks for another.
    SimIo sendFrame(uint32_t type, const uint8_t* payload, uint32_t length,
                    const char* tag = "IACP");
    SimIo sendValueFrame(uint32_t type, uint32_t value);
    // Queues one "IACP" frame behind others, for a run of frames that are due together: they
    // go out in one write when the queue is full, or with anything else that is sent, or before
    // a wait or the close (flush). Saves a system call per frame when many small packets are
    // due; a larger payload is sent at once instead of being copied.
    SimIo queueFrame(uint32_t type, const uint8_t* payload, uint32_t length);
    SimIo flush();
    // Waits up to milliseconds for the peer to close or send; bytes that arrive meanwhile are
    // dropped (a client sends nothing while it is served). Ok when the time passed quietly.
    SimIo idle(int64_t milliseconds);

    uint64_t framesSent() const { return framesSent_; }

  private:
    SimIo readAll(uint8_t* buf, size_t n, bool idleStart);
    SimIo writeAll(const PLAT_IOVEC* pieces, int count);
    void packPreamble(uint8_t* out, const char* tag, uint32_t type, uint32_t length);

    PLAT_SOCKET sd_;
    const std::atomic<bool>* stopping_;
    uint32_t ioTimeoutMs_;
    uint32_t seqno_ = 0;
    uint64_t framesSent_ = 0;
    std::vector<uint8_t> pending_;  // queued frames, whole
};

}  // namespace isisim
