// A type-1012 payload from a hostile server: header decoding, request progress and conversion
// (byte swapping and decompression) must stay inside the payload and the converted buffer.
#include <cstdint>
#include <cstring>

#include "isi/isi.h"

namespace {

ISI_TS_PACKET g_converted = {};  // kept between inputs, as in a client: it only grows

// Reads every byte the packet says it holds, so a data pointer or length that is off shows.
uint32_t touch(const ISI_TS_PACKET* packet) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < packet->nbytes; ++i) sum += packet->data[i];
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > ISI_MAX_FRAME_PAYLOAD) return 0;  // the frame read refuses larger payloads
    // An exact-size copy, so any read past the payload is caught.
    auto* payload = new uint8_t[size == 0 ? 1 : size];
    if (size > 0) std::memcpy(payload, data, size);
    ISI_TS_PACKET raw = {};
    if (isiReadTSHeader(payload, static_cast<uint32_t>(size), &raw)) {
        ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(0.0, 1e9, "A.B+*.*.*");
        if (request != nullptr) {
            request->twind[0].name = raw.name;
            isiUpdateRequestProgress(request, &raw);
            isiFreeDataRequest(request);
        }
        ISI_TS_PACKET* out = isiConvertTS(&raw, &g_converted);
        if (out != nullptr) {
            volatile uint32_t sink = touch(out);
            (void)sink;
            if (out == &g_converted && out->nbytes > out->nalloc) __builtin_trap();
        }
        volatile double interval = isiSrateToInterval(raw.factor, raw.multiplier);
        (void)interval;
    }
    delete[] payload;
    return 0;
}
