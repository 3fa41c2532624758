// Acknowledgment frames from a hostile server, then everything the client does with the
// acknowledged request: progress updates, the reconnect copy and the dump. The tail of the input
// is also tried as a stream specifier.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "isi/isi.h"

namespace {

const uint32_t kTypes[] = {IACP_TYPE_NULL,      IACP_TYPE_ALERT,       IACP_TYPE_NOP,
                           ISI_IACP_REQ_FORMAT, ISI_IACP_REQ_COMPRESS, ISI_IACP_REQ_POLICY,
                           ISI_IACP_REQ_TWIND,  ISI_IACP_REQ_SEQNO,    ISI_IACP_GENERIC_TS,
                           ISI_IACP_STREAM_SOH};

void discard(const char*) {}

LOGIO* quietLog() {
    static LOGIO* lp = [] {
        auto* handle = new LOGIO;
        logioInit(handle, nullptr, discard, "fuzz");
        logioSetThreshold(handle, LOG_DEBUG);  // every line built, none written
        return handle;
    }();
    return lp;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto client = std::make_unique<ISI_CLIENT>();
    client->lp = quietLog();
    isiInitDataRequest(&client->datreq);
    isiBeginAcknowledgment(client.get());

    // Frames: type selector, payload length, payload (exact-size copies).
    size_t at = 0;
    int status = 0;
    int result = 1;
    while (result == 1 && at + 2 <= size) {
        uint32_t type = kTypes[data[at] % (sizeof(kTypes) / sizeof(kTypes[0]))];
        size_t length = data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        std::vector<uint8_t> payload(data + at, data + at + length);
        at += length;
        IACP_WIRE_FRAME frame;
        frame.type = type;
        frame.payload_len = static_cast<uint32_t>(payload.size());
        frame.payload = payload.empty() ? nullptr : payload.data();
        result = isiAcknowledgmentFrame(client.get(), &frame, &status);
    }

    ISI_DATA_REQUEST* request = &client->datreq;
    ISI_TS_PACKET packet = {};
    for (uint32_t i = 0; i < request->nreq && request->twind != nullptr; ++i) {
        packet.name = request->twind[i].name;
        packet.factor = static_cast<int16_t>(i * 7 - 3);
        packet.multiplier = 1;
        packet.tols = request->twind[i].end;
        isiUpdateRequestProgress(request, &packet);
    }
    ISI_DATA_REQUEST* copy = isiCopyDataRequest(request, true);
    isiLogDataRequest(quietLog(), LOG_DEBUG, copy);
    isiFreeDataRequest(copy);
    isiClearDataRequest(&client->datreq);

    std::string specifier(reinterpret_cast<const char*>(data + at), size - at);
    ISI_DATA_REQUEST* simple = isiAllocSimpleDataRequest(-2.0, -4.0, specifier.c_str());
    isiLogDataRequest(quietLog(), LOG_DEBUG, simple);
    isiFreeDataRequest(simple);
    return 0;
}
