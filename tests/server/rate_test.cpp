// Sample rates as fractions, and finding samples by time the way a resuming client asks.
#include "server/rate.h"

#include <gtest/gtest.h>

#include "isi/isi.h"

namespace {

using isisim::SimRate;

TEST(SimRateTest, TextsBecomeReducedFractionsThatTravelAsFactorAndMultiplier) {
    struct Case {
        const char* text;
        int32_t p, q;
        int16_t factor, multiplier;
    };
    const Case cases[] = {{"20", 20, 1, 20, 1},         {"0.1", 1, 10, -10, 1},
                          {"2.5", 5, 2, 5, 2},          {"1/30", 1, 30, -30, 1},
                          {"40.000", 40, 1, 40, 1},     {"0.05", 1, 20, -20, 1},
                          {"32767", 32767, 1, 32767, 1}};
    for (const Case& c : cases) {
        SimRate rate;
        std::string error;
        ASSERT_TRUE(isisim::simParseRate(c.text, &rate, &error)) << c.text << ": " << error;
        EXPECT_EQ(rate.p, c.p) << c.text;
        EXPECT_EQ(rate.q, c.q) << c.text;
        int16_t f, m;
        isisim::simRateToFactorMultiplier(rate, &f, &m);
        EXPECT_EQ(f, c.factor) << c.text;
        EXPECT_EQ(m, c.multiplier) << c.text;
        // The client's reading of the header gives back the interval the server counts with.
        EXPECT_DOUBLE_EQ(isiSrateToInterval(f, m), double(c.q) / c.p) << c.text;
    }
}

TEST(SimRateTest, RefusesTextsThatAreNoUsableRate) {
    for (const char* text :
         {"", "0", "0.0", "-1", "abc", "20x", "1/0", "40000", "0.00001", "/3", "1.2.3"}) {
        SimRate rate;
        std::string error;
        EXPECT_FALSE(isisim::simParseRate(text, &rate, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(SimRateTest, MiniseedRatesBecomeTheNearestSmallFraction) {
    struct Case {
        double rate;
        bool ok;
        int32_t p, q;
    };
    const Case cases[] = {{20.0, true, 20, 1},    {0.1, true, 1, 10}, {1.0 / 3.0, true, 1, 3},
                          {40000.0, false, 0, 0}, {0.0, false, 0, 0}, {-5.0, false, 0, 0}};
    for (const Case& c : cases) {
        SimRate rate;
        ASSERT_EQ(isisim::simRateFromDouble(c.rate, &rate), c.ok) << c.rate;
        if (!c.ok) continue;
        EXPECT_EQ(rate.p, c.p) << c.rate;
        EXPECT_EQ(rate.q, c.q) << c.rate;
    }
}

// A client resumes at "last sample time + interval" in floating point; the server must find
// exactly the next sample, for any rate and at today's times, and a time between samples must
// round to the right side.
TEST(SimRateTest, SampleLookupSurvivesTheClientsRounding) {
    const char* rates[] = {"20", "0.1", "1/3", "2.5", "100", "32767"};
    for (const char* text : rates) {
        SimRate rate;
        ASSERT_TRUE(isisim::simParseRate(text, &rate, nullptr));
        int16_t f, m;
        isisim::simRateToFactorMultiplier(rate, &f, &m);
        double interval = isiSrateToInterval(f, m);
        int64_t k0 = int64_t(1.8e9 * rate.p / rate.q);
        for (int64_t k = k0; k < k0 + 200; ++k) {
            double t = isisim::simSampleTime(rate, 0.0, k);
            ASSERT_EQ(isisim::simIndexAtOrAfter(rate, 0.0, t), k) << text;
            ASSERT_EQ(isisim::simIndexAtOrBefore(rate, 0.0, t), k) << text;
            ASSERT_EQ(isisim::simIndexAtOrAfter(rate, 0.0, t + interval), k + 1) << text;
            ASSERT_EQ(isisim::simIndexAtOrAfter(rate, 0.0, t + interval / 2), k + 1) << text;
            ASSERT_EQ(isisim::simIndexAtOrBefore(rate, 0.0, t + interval / 2), k) << text;
        }
    }
}

TEST(SimRateTest, SampleKLiesAtKOverRateExactly) {
    SimRate rate{20, 1};
    EXPECT_EQ(isisim::simSampleTime(rate, 0.0, 35934000001LL), 35934000001.0 / 20.0);
    SimRate tenth{1, 10};
    EXPECT_EQ(isisim::simSampleTime(tenth, 0.0, 179670000), 1796700000.0);
}

}  // namespace
