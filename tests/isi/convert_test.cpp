// The time-series header, conversion into host order, sample intervals and request progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "isi/isi.h"
#include "isi/packet_builder.h"
#include "platform/errors.h"

namespace {

using isitest::makeHeader;
using isitest::payloadOf;

struct Converted {
    ISI_TS_PACKET raw = {};
    ISI_TS_PACKET converted = {};
    ~Converted() { isiClearTSPacket(&converted); }
};

TEST(IsiTimeSeriesHeader, RefusesPayloadsShorterThanTheyClaim) {
    ISI_TS_PACKET h = makeHeader("STA", "BHZ", "", 20, 1, 1000.0, 4);
    h.compress = ISI_COMP_NONE;
    h.order = 1;
    struct Case {
        const char* what;
        std::vector<uint8_t> payload;
    };
    std::vector<uint8_t> ok = payloadOf(h, std::vector<uint8_t>(16, 0));
    const Case cases[] = {
        {"shorter than the header", std::vector<uint8_t>(ok.begin(), ok.begin() + 63)},
        {"nbytes beyond the payload", payloadOf(h, std::vector<uint8_t>(16, 0), 17)},
        {"samples beyond nbytes", payloadOf(h, std::vector<uint8_t>(15, 0))},
        {"nbytes near 2^32", payloadOf(h, std::vector<uint8_t>(16, 0), 0xFFFFFFF0u)},
    };
    for (const Case& c : cases) {
        ISI_TS_PACKET p = {};
        std::vector<uint8_t> payload = c.payload;
        platSetError(0);
        EXPECT_FALSE(isiReadTSHeader(payload.data(), static_cast<uint32_t>(payload.size()), &p))
            << c.what;
        EXPECT_EQ(platGetError(), WSAEMSGSIZE) << c.what;
    }
    EXPECT_TRUE(isiReadTSHeader(ok.data(), static_cast<uint32_t>(ok.size()), nullptr) == false);
    ISI_TS_PACKET p = {};
    ASSERT_TRUE(isiReadTSHeader(ok.data(), static_cast<uint32_t>(ok.size()), &p));
    EXPECT_EQ(p.data, ok.data() + ISI_TS_HEADER_LEN);
}

// Big-endian samples become host order: reversed on a little-endian host, as they are on a
// big-endian one.
constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

TEST(IsiConvertTS, SwapsBigEndianSamplesInPlaceByType) {
    struct Case {
        uint8_t datatype;
        std::vector<uint8_t> wire;
        std::vector<uint8_t> host;  // on a little-endian host
    };
    const Case cases[] = {
        {ISI_TYPE_INT8, {0x01, 0x02}, {0x01, 0x02}},
        {ISI_TYPE_INT16, {0x01, 0x02, 0x03, 0x04}, {0x02, 0x01, 0x04, 0x03}},
        {ISI_TYPE_INT32, {0x01, 0x02, 0x03, 0x04}, {0x04, 0x03, 0x02, 0x01}},
        {ISI_TYPE_INT64, {1, 2, 3, 4, 5, 6, 7, 8}, {8, 7, 6, 5, 4, 3, 2, 1}},
        // Floats follow the header's byte order as integers of their width do.
        {ISI_TYPE_REAL32, {1, 2, 3, 4}, {4, 3, 2, 1}},
        {ISI_TYPE_REAL64, {1, 2, 3, 4, 5, 6, 7, 8}, {8, 7, 6, 5, 4, 3, 2, 1}},
    };
    for (const Case& c : cases) {
        ISI_TS_PACKET h = makeHeader("STA", "BHZ", "", 1, 1, 0.0, 0);
        h.datatype = c.datatype;
        h.compress = ISI_COMP_NONE;
        h.order = 1;
        uint32_t size = c.datatype == ISI_TYPE_INT8                                       ? 1
                        : c.datatype == ISI_TYPE_INT16                                    ? 2
                        : (c.datatype == ISI_TYPE_INT32 || c.datatype == ISI_TYPE_REAL32) ? 4
                                                                                          : 8;
        h.nsamp = static_cast<uint32_t>(c.wire.size()) / size;
        std::vector<uint8_t> payload = payloadOf(h, c.wire);
        Converted cv;
        ASSERT_TRUE(
            isiReadTSHeader(payload.data(), static_cast<uint32_t>(payload.size()), &cv.raw));
        ISI_TS_PACKET* out = isiConvertTS(&cv.raw, &cv.converted);
        ASSERT_EQ(out, &cv.raw) << int(c.datatype);
        EXPECT_EQ(out->order, ISI_ORDER_HOST);
        EXPECT_EQ(std::vector<uint8_t>(out->data, out->data + c.host.size()),
                  kLittleEndianHost ? c.host : c.wire)
            << int(c.datatype);
    }
    // Long runs, whole blocks of the fast path and a tail after them: every value reversed,
    // nothing past the samples touched.
    for (uint32_t width : {2u, 4u, 8u}) {
        for (uint32_t count : {1u, 3u, 16u, 37u, 6000u}) {
            ISI_TS_PACKET h = makeHeader("STA", "BHZ", "", 1, 1, 0.0, 0);
            h.datatype = width == 2 ? ISI_TYPE_INT16 : width == 4 ? ISI_TYPE_INT32 : ISI_TYPE_INT64;
            h.compress = ISI_COMP_NONE;
            h.order = 1;
            h.nsamp = count;
            std::vector<uint8_t> wire(size_t(count) * width + 5);
            for (size_t i = 0; i < wire.size(); ++i) wire[i] = uint8_t(i * 7 + 3);
            std::vector<uint8_t> payload = payloadOf(h, wire);
            Converted cv;
            ASSERT_TRUE(
                isiReadTSHeader(payload.data(), static_cast<uint32_t>(payload.size()), &cv.raw));
            ASSERT_EQ(isiConvertTS(&cv.raw, &cv.converted), &cv.raw);
            std::vector<uint8_t> expected = wire;
            for (size_t v = 0; v < count && kLittleEndianHost; ++v)
                std::reverse(expected.begin() + v * width, expected.begin() + (v + 1) * width);
            EXPECT_EQ(std::vector<uint8_t>(cv.raw.data, cv.raw.data + wire.size()), expected)
                << width << "-byte samples, " << count;
        }
    }
}

// Big-endian samples of every type, as a server sends them, end as the floats of their values:
// exact where a float holds the value, else the nearest float.
TEST(IsiSamplesToFloat, EveryTypeByItsValue) {
    auto be = [](uint64_t v, int width) {
        std::vector<uint8_t> out(static_cast<size_t>(width), 0);
        for (int i = 0; i < width; ++i) out[size_t(i)] = uint8_t(v >> (8 * (width - 1 - i)));
        return out;
    };
    auto bits32 = [](float f) { return uint64_t(std::bit_cast<uint32_t>(f)); };
    auto bits64 = [](double d) { return std::bit_cast<uint64_t>(d); };
    struct Case {
        uint8_t datatype;
        int width;
        std::vector<uint64_t> wire;  // the values' bit patterns
        std::vector<float> expected;
    };
    const Case cases[] = {
        {ISI_TYPE_INT8, 1, {uint8_t(-5), 127}, {-5.0f, 127.0f}},
        {ISI_TYPE_INT16, 2, {uint16_t(-300), 32767}, {-300.0f, 32767.0f}},
        {ISI_TYPE_INT32, 4, {uint32_t(-7), 16777217u}, {-7.0f, 16777216.0f}},
        {ISI_TYPE_INT64, 8, {uint64_t(-(int64_t(1) << 40)), 3}, {-1099511627776.0f, 3.0f}},
        {ISI_TYPE_REAL32, 4, {bits32(6.109f), bits32(-1e-30f)}, {6.109f, -1e-30f}},
        {ISI_TYPE_REAL64,
         8,
         {bits64(6.109), bits64(1e300), bits64(0.1)},
         {6.109f, std::numeric_limits<float>::infinity(), 0.1f}},
    };
    for (const Case& c : cases) {
        ISI_TS_PACKET h = makeHeader("STA", "BHZ", "", 1, 1, 0.0, 0);
        h.datatype = c.datatype;
        h.compress = ISI_COMP_NONE;
        h.order = 1;
        h.nsamp = uint32_t(c.wire.size());
        std::vector<uint8_t> data;
        for (uint64_t v : c.wire) {
            auto bytes = be(v, c.width);
            data.insert(data.end(), bytes.begin(), bytes.end());
        }
        std::vector<uint8_t> payload = payloadOf(h, data);
        Converted cv;
        ASSERT_TRUE(isiReadTSHeader(payload.data(), uint32_t(payload.size()), &cv.raw));
        ISI_TS_PACKET* packet = isiConvertTS(&cv.raw, &cv.converted);
        ASSERT_NE(packet, nullptr);
        std::vector<REAL32> samples;
        ASSERT_TRUE(isiSamplesToFloat(packet, &samples)) << isiDataTypeString(c.datatype);
        EXPECT_EQ(samples, c.expected) << isiDataTypeString(c.datatype);
    }
    // Still big-endian, compressed, or a native packet: nothing plain to give.
    ISI_TS_PACKET h = makeHeader("STA", "BHZ", "", 1, 1, 0.0, 1);
    h.compress = ISI_COMP_NONE;
    h.order = 1;
    std::vector<uint8_t> payload = payloadOf(h, {0, 0, 0, 1});
    Converted cv;
    ASSERT_TRUE(isiReadTSHeader(payload.data(), uint32_t(payload.size()), &cv.raw));
    std::vector<REAL32> samples{1.0f};
    EXPECT_FALSE(isiSamplesToFloat(&cv.raw, &samples));
    EXPECT_EQ(platGetError(), WSAEINVAL);
    EXPECT_TRUE(samples.empty());
    cv.raw.order = ISI_ORDER_HOST;
    cv.raw.datatype = 11;
    EXPECT_FALSE(isiSamplesToFloat(&cv.raw, &samples));
    EXPECT_EQ(platGetError(), WSAEOPNOTSUPP);
}

TEST(IsiConvertTS, HostOrderAndNativeUncompressedPacketsPassUntouched) {
    for (uint8_t datatype : {ISI_TYPE_INT32, uint8_t{11}, uint8_t{18}}) {
        ISI_TS_PACKET h = makeHeader("STA", "BHZ", "", 1, 1, 0.0, 1);
        h.datatype = datatype;
        h.compress = ISI_COMP_NONE;
        h.order = datatype == ISI_TYPE_INT32 ? ISI_ORDER_HOST : 1;
        std::vector<uint8_t> payload = payloadOf(h, {1, 2, 3, 4});
        Converted cv;
        ASSERT_TRUE(
            isiReadTSHeader(payload.data(), static_cast<uint32_t>(payload.size()), &cv.raw));
        ASSERT_EQ(isiConvertTS(&cv.raw, &cv.converted), &cv.raw);
        EXPECT_EQ(cv.raw.order, h.order);
        EXPECT_EQ(payload[64], 1);
    }
}

TEST(IsiConvertTS, DecompressesInt32IntoHostOrder) {
    std::vector<int32_t> samples = {100, 99, 101, 5000, -70000, 2000000, -1};
    ISI_TS_PACKET h = makeHeader("STA", "BHZ", "00", 20, 1, 1000.0, 0);
    std::vector<uint8_t> payload = isitest::samplePayload(h, samples, true);
    Converted cv;
    // A packet of no samples first: the buffer it gets must be the one later grown and freed.
    std::vector<uint8_t> empty = isitest::samplePayload(h, {}, true);
    ASSERT_TRUE(isiReadTSHeader(empty.data(), static_cast<uint32_t>(empty.size()), &cv.raw));
    ASSERT_EQ(isiConvertTS(&cv.raw, &cv.converted), &cv.converted);
    EXPECT_EQ(cv.converted.nsamp, 0u);
    EXPECT_GT(cv.converted.nalloc, 0u);

    ASSERT_TRUE(isiReadTSHeader(payload.data(), static_cast<uint32_t>(payload.size()), &cv.raw));
    ISI_TS_PACKET* out = isiConvertTS(&cv.raw, &cv.converted);
    ASSERT_EQ(out, &cv.converted);
    EXPECT_EQ(out->compress, ISI_COMP_NONE);
    EXPECT_EQ(out->order, ISI_ORDER_HOST);
    EXPECT_EQ(out->sampsiz, 4);
    EXPECT_EQ(out->nbytes, 4 * samples.size());
    EXPECT_EQ(out->tofs, 1000.0);
    EXPECT_STREQ(out->name.loc, "00");
    EXPECT_EQ(isitest::samplesOf(out), samples);

    // The buffer is reused and only grows.
    uint32_t grown = out->nalloc;
    std::vector<uint8_t> small = isitest::samplePayload(h, {1}, true);
    ASSERT_TRUE(isiReadTSHeader(small.data(), static_cast<uint32_t>(small.size()), &cv.raw));
    ASSERT_EQ(isiConvertTS(&cv.raw, &cv.converted), &cv.converted);
    EXPECT_EQ(cv.converted.nalloc, grown);
    EXPECT_EQ(cv.converted.nsamp, 1u);
}

TEST(IsiConvertTS, DecompressesNativePacketsBehindTheirHeader) {
    struct Case {
        uint8_t datatype;
        uint32_t headerLength;
    };
    const Case cases[] = {{11, 60}, {13, 60}, {14, 60}, {16, 60}, {15, 64}, {12, 64}};
    std::vector<int32_t> samples = {7, -7, 70000, 1};
    for (const Case& c : cases) {
        std::vector<uint8_t> data(c.headerLength, 0xAB);
        if (c.datatype == 12) data[56] = 0x0C;  // neither 0x03 nor 0x30
        std::vector<uint8_t> coded = isitest::encodeIdacmp(samples);
        data.insert(data.end(), coded.begin(), coded.end());
        ISI_TS_PACKET h = makeHeader("STA", "BHZ", "", 1, 1, 0.0, 4);
        h.datatype = c.datatype;
        h.compress = ISI_COMP_IDA;
        std::vector<uint8_t> payload = payloadOf(h, data);
        Converted cv;
        ASSERT_TRUE(
            isiReadTSHeader(payload.data(), static_cast<uint32_t>(payload.size()), &cv.raw));
        ISI_TS_PACKET* out = isiConvertTS(&cv.raw, &cv.converted);
        ASSERT_EQ(out, &cv.converted) << int(c.datatype);
        EXPECT_EQ(out->nbytes, c.headerLength + 16);
        EXPECT_EQ(out->compress, ISI_COMP_NONE);
        EXPECT_EQ(std::memcmp(out->data, data.data(), c.headerLength), 0);
        EXPECT_EQ(std::vector<uint8_t>(out->data + c.headerLength, out->data + c.headerLength + 16),
                  isitest::bigEndian32(samples))
            << int(c.datatype);
    }
}

TEST(IsiConvertTS, RefusesWhatItCannotConvert) {
    struct Case {
        const char* what;
        uint8_t compress;
        uint8_t datatype;
        uint8_t order;
        std::vector<uint8_t> data;
        uint32_t nsamp;
        int error;
    };
    std::vector<uint8_t> type12(70, 0);
    type12[56] = 0x10;
    std::vector<uint8_t> type12b(70, 0);
    type12b[56] = 0x01;
    const Case cases[] = {
        {"steim2", ISI_COMP_STEIM2, ISI_TYPE_INT32, 0, {0, 0}, 1, WSAEOPNOTSUPP},
        {"gzip", ISI_COMP_GZIP, ISI_TYPE_INT32, 0, {0, 0}, 1, WSAEOPNOTSUPP},
        {"idacmp int16", ISI_COMP_IDA, ISI_TYPE_INT16, 0, {0, 0}, 1, WSAEOPNOTSUPP},
        {"idacmp type 17", ISI_COMP_IDA, 17, 0, std::vector<uint8_t>(80, 0), 1, WSAEOPNOTSUPP},
        {"type 12 flag 0x10", ISI_COMP_IDA, 12, 0, type12, 1, WSAEOPNOTSUPP},
        {"type 12 flag 0x01", ISI_COMP_IDA, 12, 0, type12b, 1, WSAEOPNOTSUPP},
        {"native shorter than its header", ISI_COMP_IDA, 11, 0, std::vector<uint8_t>(59, 0), 0,
         WSAEMSGSIZE},
        {"more samples than coded bytes", ISI_COMP_IDA, ISI_TYPE_INT32, 0, {0, 0}, 3, WSAEMSGSIZE},
        {"compressed data ends early",
         ISI_COMP_IDA,
         ISI_TYPE_INT32,
         0,
         {0x02, 0x80},
         2,
         WSAEMSGSIZE},
        {"unknown uncompressed type", ISI_COMP_NONE, 9, 1, {0, 0, 0, 0}, 1, WSAEINVAL},
    };
    for (const Case& c : cases) {
        ISI_TS_PACKET h = makeHeader("STA", "BHZ", "", 1, 1, 0.0, c.nsamp);
        h.compress = c.compress;
        h.datatype = c.datatype;
        h.order = c.order;
        std::vector<uint8_t> payload = payloadOf(h, c.data);
        Converted cv;
        ASSERT_TRUE(isiReadTSHeader(payload.data(), static_cast<uint32_t>(payload.size()), &cv.raw))
            << c.what;
        platSetError(0);
        EXPECT_EQ(isiConvertTS(&cv.raw, &cv.converted), nullptr) << c.what;
        EXPECT_EQ(platGetError(), c.error) << c.what;
    }
}

TEST(IsiSampleInterval, FollowsTheSignsOfFactorAndMultiplier) {
    struct Case {
        int factor, multiplier;
        double interval;
    };
    const Case cases[] = {{20, 1, 0.05}, {-10, 1, 10.0}, {1, -10, 10.0}, {40, 2, 0.05},
                          {-1, -2, 0.5}, {0, 5, 0.0},    {100, 1, 0.01}, {-600, 60, 10.0}};
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(isiSrateToInterval(c.factor, c.multiplier), c.interval)
            << c.factor << "/" << c.multiplier;
    }
    EXPECT_EQ(isiSrateToInterval(0, 0), 0.0);  // no rate, and no NaN
}

// Request progress: resume points under each policy and the completion test.
TEST(IsiRequestProgress, AdvancesTheMatchingItemAndCompletesAtItsEnd) {
    struct Case {
        const char* what;
        uint32_t policy;
        double end;
        double tols;  // of a 20 sps packet
        double expectBeg;
        int expectStatus;
    };
    const Case cases[] = {
        {"minimal gap resumes after the last sample", ISI_REQUEST_POLICY_MIN_GAP, -4.0, 1000.0,
         1000.05, ISI_ITEM_ACTIVE},
        {"minimal delay resumes at the newest data", ISI_REQUEST_POLICY_MIN_DELAY, -4.0, 1000.0,
         -3.0, ISI_ITEM_ACTIVE},
        {"last sample exactly at the end", ISI_REQUEST_POLICY_MIN_GAP, 1000.0, 1000.0, 1000.05,
         ISI_ITEM_COMPLETE},
        {"one sample short of the end", ISI_REQUEST_POLICY_MIN_GAP, 1000.05, 1000.0, 1000.05,
         ISI_ITEM_ACTIVE},
        {"end between two samples", ISI_REQUEST_POLICY_MIN_GAP, 1000.03, 1000.0, 1000.05,
         ISI_ITEM_COMPLETE},
        {"end of disk loop never completes", ISI_REQUEST_POLICY_NONE, -3.0, 1000.0, 1000.05,
         ISI_ITEM_ACTIVE},
        {"completes under minimal delay too", ISI_REQUEST_POLICY_MIN_DELAY, 999.0, 1000.0, -3.0,
         ISI_ITEM_COMPLETE},
    };
    for (const Case& c : cases) {
        ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(900.0, c.end, "OTHER.BHZ+STA.BHZ");
        ASSERT_NE(request, nullptr);
        request->policy = c.policy;
        ISI_TS_PACKET p = isitest::makeHeader("STA", "BHZ", "", 20, 1, c.tols - 0.95, 20);
        p.tols = c.tols;
        isiUpdateRequestProgress(request, &p);
        EXPECT_EQ(request->twind[0].beg, 900.0) << c.what;
        EXPECT_DOUBLE_EQ(request->twind[1].beg, c.expectBeg) << c.what;
        EXPECT_EQ(request->twind[1].status, c.expectStatus) << c.what;
        isiFreeDataRequest(request);
    }
}

TEST(IsiRequestProgress, PacketOfAnUnrequestedStreamChangesNothing) {
    ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(900.0, 950.0, "STA.BHZ.00");
    ASSERT_NE(request, nullptr);
    ISI_TS_PACKET p = isitest::makeHeader("STA", "BHZ", "", 20, 1, 990.0, 20);  // no location
    isiUpdateRequestProgress(request, &p);
    EXPECT_EQ(request->twind[0].beg, 900.0);
    EXPECT_EQ(request->twind[0].status, ISI_ITEM_ACTIVE);
    isiFreeDataRequest(request);
}

}  // namespace
