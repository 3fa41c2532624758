// Scripting an ISI server on the loopback IACP peer: reading a client's request frames and
// answering with acknowledgments and packets.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "isi/isi.h"
#include "tools/iacp_peer.h"

namespace isitest {

// A request as the peer read it off the wire.
struct WireRequest {
    uint32_t format = 0, compress = 0, policy = 0;
    std::vector<ISI_TWIND_ITEM> twind;
    std::vector<uint32_t> types;  // every frame type in order, the closing null frame included
    std::vector<uint8_t> endPayload;
};

inline uint32_t valueOf(const iacptest::PeerFrame& frame) {
    uint32_t value = 0;
    if (frame.payload.size() >= 4) utilUnpackUINT32(frame.payload.data(), &value);
    return value;
}

// Reads the frames of one request up to its closing null frame.
inline bool readRequest(iacptest::IacpPeer& peer, WireRequest* request) {
    for (;;) {
        iacptest::PeerFrame frame;
        if (!peer.readFrame(&frame)) return false;
        request->types.push_back(frame.type);
        switch (frame.type) {
            case ISI_IACP_REQ_FORMAT:
                request->format = valueOf(frame);
                break;
            case ISI_IACP_REQ_COMPRESS:
                request->compress = valueOf(frame);
                break;
            case ISI_IACP_REQ_POLICY:
                request->policy = valueOf(frame);
                break;
            case ISI_IACP_REQ_TWIND: {
                if (frame.payload.size() != ISI_TWIND_WIRE_LEN) return false;
                ISI_TWIND_ITEM item;
                isiUnpackTwindItem(frame.payload.data(), &item);
                request->twind.push_back(item);
                break;
            }
            case IACP_TYPE_NULL:
                request->endPayload = frame.payload;
                return true;
            default:
                break;
        }
    }
}

inline std::vector<uint8_t> valuePayload(uint32_t value) {
    std::vector<uint8_t> payload(4);
    utilPackUINT32(payload.data(), value);
    return payload;
}

// Acknowledges a request by restating it, then a null frame.
inline bool acknowledge(iacptest::IacpPeer& peer, const WireRequest& request) {
    bool ok = peer.sendFrame(ISI_IACP_REQ_FORMAT, valuePayload(request.format)) &&
              peer.sendFrame(ISI_IACP_REQ_COMPRESS, valuePayload(request.compress)) &&
              peer.sendFrame(ISI_IACP_REQ_POLICY, valuePayload(request.policy));
    for (const ISI_TWIND_ITEM& item : request.twind) {
        std::vector<uint8_t> payload(ISI_TWIND_WIRE_LEN);
        isiPackTwindItem(payload.data(), &item);
        ok = ok && peer.sendFrame(ISI_IACP_REQ_TWIND, payload);
    }
    return ok && peer.sendFrame(IACP_TYPE_NULL, valuePayload(0));
}

// Accepts a connection, reads its request and acknowledges it as it came.
inline bool acceptRequest(iacptest::IacpPeer& peer, WireRequest* request) {
    return peer.acceptAndHandshake() && readRequest(peer, request) && acknowledge(peer, *request);
}

// Accepts a connection, reads its list request and answers with a configuration list of the
// given streams ("STA.CHN[.LOC]"), all at 20 samples per second, then closes it.
inline bool answerCnfList(iacptest::IacpPeer& peer, const std::vector<const char*>& streams) {
    iacptest::PeerFrame request;
    if (!peer.acceptAndHandshake() || !peer.readFrame(&request)) return false;
    bool ok = true;
    for (const char* text : streams) {
        ISI_STREAM_CNF cnf{};
        if (!isiParseStreamName(text, &cnf.name, nullptr)) return false;
        cnf.factor = 20;
        cnf.multiplier = 1;
        std::vector<uint8_t> entry(ISI_STREAM_CNF_WIRE_LEN);
        isiPackStreamCnf(entry.data(), &cnf);
        ok = ok && peer.sendFrame(ISI_IACP_STREAM_CNF, entry);
    }
    ok = ok && peer.sendFrame(IACP_TYPE_NULL);
    peer.closeClient();
    return ok;
}

inline bool sendAlert(iacptest::IacpPeer& peer, uint32_t code) {
    return peer.sendFrame(IACP_TYPE_ALERT, valuePayload(code));
}

}  // namespace isitest
