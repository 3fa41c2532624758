// One client connection of the stand-in server, from handshake to close.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "logio/logio.h"
#include "server/peer.h"
#include "server/server.h"

namespace isisim {

class SimSession {
  public:
    SimSession(SimServer& server, PLAT_SOCKET sd, uint64_t id, std::string peerName);
    void run();

  private:
    // One item of the request being served.
    struct Item {
        const SimStream* stream = nullptr;
        ISI_TWIND_ITEM ack{};
        int64_t next = 0;  // index of the next sample to send
        int64_t end = 0;   // index of the last sample to send (INT64_MAX: never ends)
        bool done = false;
        // Whether the packet that starts at next, ending at readyLast, is due (at the moment
        // the item was last looked at), and the time of its first sample.
        bool ready = false;
        int64_t readyLast = 0;
        double readyTime = 0.0;
    };

    bool handshake();
    // Reads request frames until a data request is complete or the connection ends.
    void requestLoop();
    void sendSohList();
    void sendCnfList();
    bool acknowledge(const SimRequestRecord& request, std::vector<Item>* items, uint32_t* compress);
    void serve(std::vector<Item>& items, uint32_t compress);
    // Brings the item up to the moment now: skips what the disk loop no longer holds, notes
    // whether its next packet is due, and else lowers nextDue to the time it will be.
    void refresh(Item& item, double now, double* nextDue);
    bool sendPacket(Item& item, int64_t last, uint32_t compress);
    SimPacketCache::Payload buildPacket(const SimStream& stream, int64_t first, int64_t last,
                                        uint32_t compress);
    SimPacketCache::Payload buildRealPacket(const SimStream& stream, int64_t first, int64_t last);
    // Applies any fault due now; false when it ended the connection.
    bool applyFaults();
    void log(int level, const char* format, ...) LOGIO_PRINTF_FORMAT(3, 4);
    void finish(const char* reason);

    SimServer& server_;
    SimPeer peer_;
    uint64_t id_;
    std::string peerName_;
    uint64_t packets_ = 0;
    uint64_t heartbeats_ = 0;
    double lastSend_ = 0.0;
    bool finished_ = false;
    std::vector<int32_t> samples_;
    std::vector<double> reals_;
};

}  // namespace isisim
