// Decoding the ISI difference compression.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "isi/idacmp_encoder.h"
#include "isi/isi.h"
#include "platform/errors.h"

namespace {

std::vector<int32_t> decode(const std::vector<uint8_t>& bytes, uint32_t nsamp, bool* ok,
                            int32_t* last = nullptr, size_t* used = nullptr) {
    std::vector<int32_t> out(nsamp + 1, 0x5A5A5A5A);
    *ok = isiDecodeIdacmp(bytes.data(), bytes.size(), nsamp, out.data(), last, used);
    EXPECT_EQ(out[nsamp], 0x5A5A5A5A) << "wrote past the samples asked for";
    out.resize(nsamp);
    return out;
}

TEST(IsiIdacmp, SingleCodesDecodeToTheirValues) {
    struct Case {
        std::vector<uint8_t> bytes;
        int32_t value;
    };
    const Case cases[] = {
        {{0x00}, 0},
        {{0x03}, -1},
        {{0x02}, 1},
        {{0x7E}, 63},
        {{0x7F}, -63},
        {{0x80, 0x01}, 64},
        {{0x81, 0x01}, -64},
        {{0xFE, 0x7F}, 8191},
        {{0x80, 0x80, 0x01}, 8192},
        {{0x80, 0x80, 0x80, 0x01}, 1 << 20},
        {{0x80, 0x80, 0x80, 0x80, 0x01}, 1 << 27},
        {{0xFE, 0xFF, 0xFF, 0xFF, 0x0F}, INT32_MAX},
        {{0x81, 0x80, 0x80, 0x80, 0x10}, INT32_MIN},
    };
    for (const Case& c : cases) {
        bool ok = false;
        int32_t last = 0;
        size_t used = 0;
        std::vector<int32_t> out = decode(c.bytes, 1, &ok, &last, &used);
        ASSERT_TRUE(ok) << c.value;
        EXPECT_EQ(out[0], c.value);
        EXPECT_EQ(last, c.value);
        EXPECT_EQ(used, c.bytes.size());
    }
}

// Differences of every code length (1 to 5 bytes) in both signs, and the wrap-around jumps
// between the extremes, both in the word-at-a-time part and in the byte-checked tail.
TEST(IsiIdacmp, RoundTripsEveryCodeLength) {
    std::vector<int32_t> samples = {0,         5,       -58,       100,        -8000,     8191,
                                    300000,    -700000, 120000000, -130000000, INT32_MAX, INT32_MIN,
                                    INT32_MAX, 0,       -1,        INT32_MIN};
    for (int i = 0; i < 1000; ++i) {
        int32_t previous = samples.back();
        int32_t step = (i % 5 == 0) ? (1 << (i % 31)) : (i % 7) - 3;
        samples.push_back(static_cast<int32_t>(static_cast<uint32_t>(previous) +
                                               static_cast<uint32_t>(i % 2 ? step : -step)));
    }
    std::vector<uint8_t> bytes = isitest::encodeIdacmp(samples);
    std::vector<size_t> lengths(6, 0);
    {
        std::vector<uint8_t> one;
        int64_t previous = 0;
        for (int32_t s : samples) {
            one.clear();
            isitest::appendIdacmpValue(static_cast<int64_t>(s) - previous, &one);
            previous = s;
            ++lengths[one.size()];
        }
    }
    for (int length = 1; length <= 5; ++length) EXPECT_GT(lengths[length], 0u) << length;

    for (size_t n : {samples.size(), size_t{1}, size_t{7}, size_t{9}}) {
        bool ok = false;
        int32_t last = 0;
        std::vector<int32_t> out = decode(bytes, static_cast<uint32_t>(n), &ok, &last);
        ASSERT_TRUE(ok);
        EXPECT_EQ(out, std::vector<int32_t>(samples.begin(), samples.begin() + n));
        EXPECT_EQ(last, samples[n - 1]);
    }
}

TEST(IsiIdacmp, MalformedInputFailsWithoutOverrun) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        uint32_t nsamp;
    };
    std::vector<uint8_t> longRun(20, 0x02);
    std::vector<uint8_t> sixByteCode = {0x80, 0x80, 0x80, 0x80, 0x80, 0x01};
    std::vector<uint8_t> sixAfterRun(longRun);
    sixAfterRun.insert(sixAfterRun.end(), sixByteCode.begin(), sixByteCode.end());
    sixAfterRun.insert(sixAfterRun.end(), 10, 0x02);
    // The same beyond the first 64-byte block, where the block-wise path runs.
    std::vector<uint8_t> sixInBlocks(100, 0x02);
    sixInBlocks.insert(sixInBlocks.end(), sixByteCode.begin(), sixByteCode.end());
    sixInBlocks.insert(sixInBlocks.end(), 100, 0x02);
    std::vector<uint8_t> endlessInBlocks(100, 0x02);
    endlessInBlocks.insert(endlessInBlocks.end(), 100, 0x80);
    const Case cases[] = {
        {"no bytes for one sample", {}, 1},
        {"code ends inside continuation", {0x02, 0x80}, 2},
        {"more samples than codes", longRun, 21},
        {"six-byte code in the tail", sixByteCode, 1},
        {"six-byte code after a long run", sixAfterRun, 22},
        {"continuation bits all the way", std::vector<uint8_t>(16, 0xFF), 1},
        {"six-byte code among blocks", sixInBlocks, 201},
        {"continuation to the end among blocks", endlessInBlocks, 101},
        {"long input short of samples", std::vector<uint8_t>(300, 0x7F), 301},
    };
    for (const Case& c : cases) {
        bool ok = true;
        platSetError(0);
        decode(c.bytes, c.nsamp, &ok);
        EXPECT_FALSE(ok) << c.what;
        EXPECT_EQ(platGetError(), WSAEMSGSIZE) << c.what;
    }
}

}  // namespace
