// The synthetic samples and the difference-compression encoder, checked against the client's
// decoder.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "isi/isi.h"
#include "server/idacmp.h"
#include "server/synthetic.h"

namespace {

uint64_t hashOf(const char* sta, const char* chn, const char* loc) {
    ISI_STREAM_ID name;
    isiSetStreamId(&name, sta, chn, loc);
    return isisim::simStreamHash(name);
}

// The formula is documented for users to recompute samples; these values pin it.
TEST(SyntheticSamplesTest, MatchTheDocumentedFormula) {
    uint64_t h = hashOf("ANMO", "BHZ", "00");
    EXPECT_EQ(h, 0x9f11544fe87c3f9aULL);
    EXPECT_EQ(isisim::simSyntheticSample(h, 0), 620);
    EXPECT_EQ(isisim::simSyntheticSample(h, 35934000000LL), 8);
    EXPECT_EQ(isisim::simSyntheticSample(h, -5), -14);
    EXPECT_EQ(isisim::simSyntheticSample(hashOf("ANMO", "BHZ", ""), 1), -1668);
}

size_t codeLength(int32_t value) {
    uint8_t out[isisim::kIdacmpMaxBytesPerSample];
    return isisim::simEncodeIdacmp(&value, 1, out);
}

TEST(SyntheticSamplesTest, EveryCodeLengthTurnsUpWithinAFewDozenSamples) {
    uint64_t h = hashOf("SIM1", "BHZ", "");
    for (int64_t start : {int64_t(0), int64_t(35934000000LL), int64_t(1796700000)}) {
        int seen[6] = {};
        std::vector<int32_t> s(200);
        isisim::simSyntheticSamples(h, start, int(s.size()), s.data());
        for (size_t i = 1; i < s.size(); ++i)
            ++seen[codeLength(int32_t(uint32_t(s[i]) - uint32_t(s[i - 1])))];
        for (int len = 1; len <= 5; ++len) EXPECT_GT(seen[len], 0) << "length " << len;
        for (int32_t v : s) {
            EXPECT_GE(v, -(1 << 30));
            EXPECT_LT(v, 1 << 30);
        }
    }
}

TEST(IdacmpEncoderTest, KnownCodes) {
    struct Case {
        int32_t value;
        std::vector<uint8_t> code;
    };
    const Case cases[] = {{0, {0x00}},
                          {-1, {0x03}},
                          {63, {0x7e}},
                          {64, {0x80, 0x01}},
                          {-64, {0x81, 0x01}},
                          {8191, {0xfe, 0x7f}},
                          {8192, {0x80, 0x80, 0x01}},
                          {INT32_MIN, {0x81, 0x80, 0x80, 0x80, 0x10}}};
    for (const Case& c : cases) {
        uint8_t out[5];
        size_t n = isisim::simEncodeIdacmp(&c.value, 1, out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.code) << c.value;
    }
}

// Whatever the samples, the client's decoder gives them back and uses every byte.
TEST(IdacmpEncoderTest, IsTheExactInverseOfTheClientsDecoder) {
    std::mt19937 random(7);
    std::vector<std::vector<int32_t>> sequences = {
        {0},
        {INT32_MAX, INT32_MIN, INT32_MAX, 0, -1, 1, INT32_MIN, INT32_MIN},
        {1, 2, 3, 4, 5},
    };
    std::vector<int32_t> wide(5000), small(5000), synthetic(6540);
    for (int32_t& v : wide) v = int32_t(random());
    for (int32_t& v : small) v = int32_t(random() % 200) - 100;
    isisim::simSyntheticSamples(hashOf("ANMO", "BHZ", "00"), 1796700000, int(synthetic.size()),
                                synthetic.data());
    sequences.push_back(wide);
    sequences.push_back(small);
    sequences.push_back(synthetic);
    for (const std::vector<int32_t>& in : sequences) {
        std::vector<uint8_t> code(in.size() * isisim::kIdacmpMaxBytesPerSample);
        size_t n = isisim::simEncodeIdacmp(in.data(), in.size(), code.data());
        std::vector<int32_t> out(in.size());
        int32_t last = 0;
        size_t used = 0;
        ASSERT_TRUE(isiDecodeIdacmp(code.data(), n, uint32_t(in.size()), out.data(), &last, &used));
        EXPECT_EQ(out, in);
        EXPECT_EQ(used, n);
        EXPECT_EQ(last, in.back());
    }
}

}  // namespace
