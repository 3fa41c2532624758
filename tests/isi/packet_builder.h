// Building type-1012 payloads for tests: a header packed by the library's own packer, then the
// data as the test wants it.
#pragma once

#include <cstring>
#include <optional>
#include <vector>

#include "isi/idacmp_encoder.h"
#include "isi/isi.h"
#include "platform/errors.h"

namespace isitest {

inline ISI_TS_PACKET makeHeader(const char* sta, const char* chn, const char* loc, int16_t factor,
                                int16_t multiplier, double tofs, uint32_t nsamp) {
    ISI_TS_PACKET p = {};
    isiSetStreamId(&p.name, sta, chn, loc);
    p.factor = factor;
    p.multiplier = multiplier;
    p.tofs = tofs;
    p.tols = tofs + (nsamp > 0 ? nsamp - 1 : 0) * isiSrateToInterval(factor, multiplier);
    p.nsamp = nsamp;
    p.datatype = ISI_TYPE_INT32;
    return p;
}

// Header and data; nbytes is set from the data unless the test forces a value (any 32-bit one).
inline std::vector<uint8_t> payloadOf(ISI_TS_PACKET header, const std::vector<uint8_t>& data,
                                      std::optional<uint32_t> forcedNbytes = std::nullopt) {
    header.nbytes = forcedNbytes.value_or(static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> payload(ISI_TS_HEADER_LEN);
    isiPackTSHeader(payload.data(), &header);
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

inline std::vector<uint8_t> bigEndian32(const std::vector<int32_t>& samples) {
    std::vector<uint8_t> out;
    for (int32_t s : samples) {
        uint32_t u = static_cast<uint32_t>(s);
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>(u >> shift));
    }
    return out;
}

// A time-series payload of samples, uncompressed big-endian or idacmp.
inline std::vector<uint8_t> samplePayload(const ISI_TS_PACKET& header,
                                          const std::vector<int32_t>& samples, bool compressed) {
    ISI_TS_PACKET h = header;
    h.nsamp = static_cast<uint32_t>(samples.size());
    h.compress = compressed ? ISI_COMP_IDA : ISI_COMP_NONE;
    h.order = compressed ? ISI_ORDER_HOST : 1;
    h.sampsiz = 4;
    return payloadOf(h, compressed ? encodeIdacmp(samples) : bigEndian32(samples));
}

// Type-1012 payloads a client must refuse one by one, each with the error it reports: a header cut
// short, fewer data bytes than samples, idacmp data that ends early, a compression it cannot
// decode, a data type it does not know. Four samples of sta.chn at 20 sps from tofs.
struct BadPacket {
    std::vector<uint8_t> payload;
    int error;
};
inline std::vector<BadPacket> badPackets(const char* sta, const char* chn, double tofs) {
    ISI_TS_PACKET h = makeHeader(sta, chn, "", 20, 1, tofs, 4);
    h.compress = ISI_COMP_NONE;
    h.order = 1;
    std::vector<BadPacket> bad;
    bad.push_back({std::vector<uint8_t>(40, 0), WSAEMSGSIZE});
    bad.push_back({payloadOf(h, {0, 0, 0}), WSAEMSGSIZE});
    h.compress = ISI_COMP_IDA;
    bad.push_back({payloadOf(h, {0x02, 0x02, 0x02, 0x80}), WSAEMSGSIZE});
    h.compress = ISI_COMP_STEIM2;
    bad.push_back({payloadOf(h, std::vector<uint8_t>(64, 0)), WSAEOPNOTSUPP});
    h.compress = ISI_COMP_NONE;
    h.datatype = 42;
    bad.push_back({payloadOf(h, std::vector<uint8_t>(16, 0)), WSAEINVAL});
    return bad;
}

inline std::vector<int32_t> samplesOf(const ISI_TS_PACKET* p) {
    std::vector<int32_t> out(p->nsamp);
    std::memcpy(out.data(), p->data, p->nsamp * sizeof(int32_t));
    return out;
}

}  // namespace isitest
