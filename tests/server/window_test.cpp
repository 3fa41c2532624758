// Time-window requests for data in the past: what arrives is exactly the window, sample for
// sample, and the request ends with "request complete".
#include <cmath>

#include "platform/clock.h"
#include "sim_fixture.h"

namespace simtest {
namespace {

class PastWindowTest : public SimTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(PastWindowTest, SeveralStreamsArriveSampleExactThenComplete) {
    startServer({"ANMO.BHZ.00:20:50", "ANMO.BHN:20:64", "ANMO.VHZ:0.1:5", "KONO.LHZ.10:1:30"});
    // Begin and end between samples and inside packets, so both ends are trimmed.
    const double begin = std::floor(platNow()) - 3000.0 + 0.013;
    const double end = begin + 777.7;
    ISI_CLIENT* client =
        openWindow(begin, end, "ANMO.BHZ.00+ANMO.BHN+ANMO.VHZ+KONO.LHZ.10", GetParam());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->datreq.compress, GetParam());

    std::vector<Received> packets;
    EXPECT_EQ(readAll(client, &packets), ISI_STATUS_DONE);
    isiCloseClient(client);

    for (const char* name : {"ANMO.BHZ.00", "ANMO.BHN", "ANMO.VHZ", "KONO.LHZ.10"}) {
        const isisim::SimStream& s = stream(name);
        expectExact(packets, s, s.indexAtOrAfter(begin), s.indexAtOrBefore(end));
    }
    EXPECT_EQ(server_->stats().connections, 1u);
}

INSTANTIATE_TEST_SUITE_P(BothCompressions, PastWindowTest,
                         ::testing::Values(ISI_COMP_NONE, ISI_COMP_IDA), [](const auto& info) {
                             return std::string(info.param == ISI_COMP_NONE ? "Uncompressed"
                                                                            : "Idacmp");
                         });

TEST_F(PastWindowTest, WildcardIsAnsweredWithTheMatchingStreams) {
    startServer({"ANMO.BHZ.00:20:50", "ANMO.BHN:20:50", "KONO.BHZ:20:50"});
    const double begin = std::floor(platNow()) - 100.0;
    ISI_CLIENT* client = openWindow(begin, begin + 10.0, "anmo.*.*");
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(client->datreq.nreq, 2u);
    EXPECT_STREQ(client->datreq.twind[0].name.sta, "ANMO");
    EXPECT_STREQ(client->datreq.twind[0].name.loc, "00");
    EXPECT_STREQ(client->datreq.twind[1].name.chn, "BHN");
    EXPECT_STREQ(client->datreq.twind[1].name.loc, "  ");
    std::vector<Received> packets;
    EXPECT_EQ(readAll(client, &packets), ISI_STATUS_DONE);
    isiCloseClient(client);
    const isisim::SimStream& s = stream("ANMO.BHN");
    expectExact(packets, s, s.indexAtOrAfter(begin), s.indexAtOrBefore(begin + 10.0));
}

TEST_F(PastWindowTest, BeginOfDiskLoopStartsAtTheOldestSampleHeld) {
    startServer({"ANMO.BHZ:20:50"}, {}, 60.0);
    const double end = std::floor(platNow()) - 30.0;
    double before = platNow();
    ISI_CLIENT* client = openWindow(UTIL_TIME_BEG_OF_LOOP, end, "ANMO.BHZ");
    ASSERT_NE(client, nullptr);
    std::vector<Received> packets;
    EXPECT_EQ(readAll(client, &packets), ISI_STATUS_DONE);
    double after = platNow();
    isiCloseClient(client);
    ASSERT_FALSE(packets.empty());
    // The loop holds the last 60 s at the moment of the request.
    // The clock counts milliseconds, and a sample within a hundredth of an interval of a time
    // counts as lying on it.
    EXPECT_GE(packets.front().tofs, before - 60.0 - 0.002);
    EXPECT_LE(packets.front().tofs, after - 60.0 + 0.05 + 0.002);
    const isisim::SimStream& s = stream("ANMO.BHZ");
    expectExact(packets, s, s.indexAtOrAfter(packets.front().tofs), s.indexAtOrBefore(end));
}

TEST_F(PastWindowTest, AlertRequestCompleteEndsWithStatusOne) {
    startServer({"ANMO.BHZ:20:50"}, withFault("alert:2:2"));
    const double begin = std::floor(platNow()) - 1000.0;
    ISI_CLIENT* client = openWindow(begin, begin + 100.0, "ANMO.BHZ");
    ASSERT_NE(client, nullptr);
    std::vector<Received> packets;
    EXPECT_EQ(readAll(client, &packets), ISI_STATUS_DONE);
    isiCloseClient(client);
    EXPECT_EQ(packets.size(), 2u);
    EXPECT_EQ(server_->stats().connections, 1u);
}

}  // namespace
}  // namespace simtest
