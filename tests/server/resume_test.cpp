// Connections lost in the middle of a request: the client reconnects and the data goes on.
#include <chrono>
#include <cmath>

#include "platform/clock.h"
#include "sim_fixture.h"

namespace simtest {
namespace {

struct ResumeCase {
    const char* name;
    const char* fault;
    uint64_t connections;  // the server sees this many connections in all
};

void PrintTo(const ResumeCase& c, std::ostream* os) {
    *os << c.fault;
}

class ResumeTest : public SimTest, public ::testing::WithParamInterface<ResumeCase> {};

// Policy 2: whatever breaks the connection, the data resumes right after the last sample
// received, with no hole and no duplicate.
TEST_P(ResumeTest, ResumesRightAfterTheLastSampleReceived) {
    startServer({"ANMO.BHZ.00:20:40", "ANMO.VHZ:0.1:3"}, withFault(GetParam().fault));
    const double begin = std::floor(platNow()) - 2000.0 + 0.02;
    const double end = begin + 120.0;
    ISI_CLIENT* client = openWindow(begin, end, "ANMO.BHZ.00+ANMO.VHZ", ISI_COMP_IDA);
    ASSERT_NE(client, nullptr);
    std::vector<Received> packets;
    EXPECT_EQ(readAll(client, &packets), ISI_STATUS_DONE);
    isiCloseClient(client);

    for (const char* name : {"ANMO.BHZ.00", "ANMO.VHZ"}) {
        const isisim::SimStream& s = stream(name);
        expectExact(packets, s, s.indexAtOrAfter(begin), s.indexAtOrBefore(end));
    }
    EXPECT_EQ(server_->stats().connections, GetParam().connections);
    // Every later request asks for its items from after what had arrived.
    std::vector<isisim::SimRequestRecord> requests = server_->requests();
    ASSERT_EQ(requests.size(), GetParam().connections);
    for (size_t i = 1; i < requests.size(); ++i) {
        ASSERT_FALSE(requests[i].items.empty());
        bool advanced = false;
        for (const ISI_TWIND_ITEM& item : requests[i].items) {
            EXPECT_GE(item.beg, begin);
            EXPECT_EQ(item.end, end);
            advanced = advanced || item.beg > begin;
        }
        EXPECT_TRUE(advanced) << "request " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ResumeTest,
                         ::testing::Values(ResumeCase{"ClosedThreeTimes", "close:4:3", 4},
                                           ResumeCase{"PayloadOver32768", "oversize:3", 2},
                                           ResumeCase{"FrameWithoutTag", "badtag:5", 2},
                                           ResumeCase{"AlertNormalDisconnect", "alert:6:1", 2},
                                           ResumeCase{"AlertServerFault", "alert:2:4", 2},
                                           // A stall shorter than the I/O time-out is only a pause.
                                           ResumeCase{"StallWithinTimeout", "stall:3:0.3", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// Alert 1 ("normal disconnect"): after the pause the client asks again for the items still
// active only, each from just past its last sample.
TEST_F(ResumeTest, AlertOneReconnectsAfterThePauseForActiveItemsOnly) {
    constexpr uint32_t kPauseMs = 300;
    isiSetReconnectPauseForTests(kPauseMs);
    startServer({"ANMO.BHZ:20:50", "KONO.LHZ.00:1:30"}, withFault("alert:8:1"));
    const double begin = std::floor(platNow()) - 2000.0;
    ISI_DATA_REQUEST* request =
        isiAllocSimpleDataRequest(begin, begin + 600.0, "ANMO.BHZ+KONO.LHZ.00");
    // The first item covers 10 s only: five packets, complete before the alert.
    for (uint32_t i = 0; i < request->nreq; ++i)
        if (std::string(request->twind[i].name.sta) == "ANMO") request->twind[i].end = begin + 10.0;
    ISI_OPEN_PARAMS p = params();
    ISI_CLIENT* client = isiInitiateDataRequest("127.0.0.1", &p, request);
    isiFreeDataRequest(request);
    ASSERT_NE(client, nullptr);

    std::vector<Received> packets;
    double slowest = 0.0;
    for (int status = ISI_STATUS_DATA; status == ISI_STATUS_DATA;) {
        double t0 = platNow();
        ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
        slowest = std::max(slowest, platNow() - t0);
        if (packet != nullptr && status == ISI_STATUS_DATA) packets.push_back(toReceived(*packet));
        ASSERT_LT(packets.size(), 1000u);
    }
    isiCloseClient(client);
    // One read spanned the pause before the reconnect. platNow() counts whole milliseconds as a
    // double of seconds since 1970: a span of exactly the pause may come out a hair below it.
    EXPECT_GE(slowest, kPauseMs / 1000.0 - 1e-6);

    std::vector<isisim::SimRequestRecord> requests = server_->requests();
    ASSERT_EQ(requests.size(), 2u);
    ASSERT_EQ(requests[1].items.size(), 1u);
    const ISI_TWIND_ITEM& again = requests[1].items[0];
    EXPECT_STREQ(again.name.sta, "KONO");
    // The LHZ packet received last before the alert ends the part already had.
    double lastLhz = 0.0;
    for (size_t i = 0; i < 8; ++i)
        if (packets[i].stream == "KONO.LHZ.00") lastLhz = packets[i].tols;
    EXPECT_EQ(again.beg, lastLhz + 1.0);
    const isisim::SimStream& lhz = stream("KONO.LHZ.00");
    expectExact(packets, lhz, lhz.indexAtOrAfter(begin), lhz.indexAtOrBefore(begin + 600.0));
    const isisim::SimStream& bhz = stream("ANMO.BHZ");
    expectExact(packets, bhz, bhz.indexAtOrAfter(begin), bhz.indexAtOrBefore(begin + 10.0));
}

// Small packets that are due together travel in one write, but none is held back: the packets
// sent before a stall arrive before it ends, and the rest after it, in order.
TEST_F(ResumeTest, PacketsBeforeAStallArriveBeforeItEnds) {
    constexpr double kStallSeconds = 2.0;
    startServer({"ANMO.BHZ:20:20"}, withFault("stall:5:2"));
    const double begin = std::floor(platNow()) - 2000.0;
    ISI_CLIENT* client = openWindow(begin, begin + 20.0, "ANMO.BHZ");
    ASSERT_NE(client, nullptr);
    std::vector<Received> packets;
    const double start = platNow();
    ASSERT_EQ(readAll(client, &packets, 5), ISI_STATUS_DATA);
    EXPECT_LT(platNow() - start, kStallSeconds / 2) << "packets held back during the stall";
    EXPECT_EQ(readAll(client, &packets), ISI_STATUS_DONE);
    isiCloseClient(client);
    const isisim::SimStream& s = stream("ANMO.BHZ");
    expectExact(packets, s, s.indexAtOrAfter(begin), s.indexAtOrBefore(begin + 20.0));
}

}  // namespace
}  // namespace simtest
