// The acquisition thread: the stream specifier and matching rules, packets a server should not
// send, and end to end against the stand-in server on loopback.
#include "tremlive/acquisition.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <thread>

#include "platform/net.h"
#include "server/sim_fixture.h"
#include "tremlive/trem_fixture.h"

using namespace tremlive;
using tremtest::AddChannel;

namespace {

ISI_STREAM_ID streamId(const char* sta, const char* chn, const char* loc) {
    ISI_STREAM_ID id;
    isiSetStreamId(&id, sta, chn, loc);
    return id;
}

TEST(StreamSpecifier, OnePiecePerChannelInOrderWithLocationAsConfigured) {
    CTraceBuffers b;
    AddChannel(&b, "ABC", "BHZ", "00");
    AddChannel(&b, "ABC", "BHN", "00");
    EXPECT_EQ(BuildStreamSpecifier(b), "+ABC.BHZ.00+ABC.BHN.00");
    AddChannel(&b, "XYZ", "LHZ", "  ");
    EXPECT_EQ(BuildStreamSpecifier(b), "+ABC.BHZ.00+ABC.BHN.00+XYZ.LHZ.  ");
}

TEST(Matching, StationAndChannelIgnoreCaseLocationIsExact) {
    CTraceBuffers b;
    AddChannel(&b, "ABC", "BHZ", "00");
    AddChannel(&b, "ABC", "BHZ", "00");  // a twin: never gets anything
    AddChannel(&b, "XYZ", "LHZ", "  ");
    AddChannel(&b, "XYZ", "LHN", "aa");
    struct Case {
        const char *sta, *chn, *loc;
        int channel;
    } cases[] = {
        {"ABC", "BHZ", "00", 0}, {"abc", "bhz", "00", 0},   {"ABC", "BHZ", "10", -1},
        {"XYZ", "LHZ", "", 2},   {"xyz", "lhz", "  ", 2},   {"XYZ", "LHN", "AA", -1},
        {"XYZ", "LHN", "aa", 3}, {"ABCD", "BHZ", "00", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchChannel(b, streamId(c.sta, c.chn, c.loc)), c.channel)
            << c.sta << "." << c.chn << "." << c.loc;
}

TEST(Matching, PacketsThatCannotBeDrawnAreDropped) {
    CTraceBuffers b;
    AddChannel(&b, "ABC", "BHZ", "00");
    int32_t samples[4] = {1, 2, 3, 4};
    auto packet = [&] {
        ISI_TS_PACKET p{};
        p.name = streamId("ABC", "BHZ", "00");
        p.factor = 20;
        p.multiplier = 1;
        p.tofs = 1796616306.0;
        p.tols = p.tofs + 0.15;
        p.nsamp = 4;
        p.nbytes = sizeof samples;
        p.datatype = ISI_TYPE_INT32;
        p.compress = ISI_COMP_NONE;
        p.data = reinterpret_cast<uint8_t*>(samples);
        return p;
    };
    struct Case {
        const char* name;
        void (*spoil)(ISI_TS_PACKET*);
        bool kept;
    } cases[] = {
        {"sound", [](ISI_TS_PACKET*) {}, true},
        {"no samples", [](ISI_TS_PACKET* p) { p->nsamp = 0; }, false},
        {"zero rate", [](ISI_TS_PACKET* p) { p->factor = 0; }, false},
        {"infinite time", [](ISI_TS_PACKET* p) { p->tofs = INFINITY; }, false},
        {"nan end", [](ISI_TS_PACKET* p) { p->tols = NAN; }, false},
        {"short data", [](ISI_TS_PACKET* p) { p->nbytes = 12; }, false},
        {"a native packet", [](ISI_TS_PACKET* p) { p->datatype = 11; }, false},
        {"absurd but finite time", [](ISI_TS_PACKET* p) { p->tofs = 1e300; }, true},
    };
    size_t kept = 0;
    for (const Case& c : cases) {
        ISI_TS_PACKET p = packet();
        c.spoil(&p);
        EXPECT_EQ(HandlePacket(&b, p), c.kept) << c.name;
        if (c.kept) ++kept;
    }
    ASSERT_EQ(b.channels[0]->packets().size(), kept);
    EXPECT_EQ(b.channels[0]->receivedPackets, kept);
    const CTracePacket& first = *b.channels[0]->packets()[0];
    EXPECT_EQ(first.samples, (std::vector<int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(first.interval, 0.05f);
    EXPECT_EQ(first.count, 4);
    EXPECT_EQ(first.station, "ABC");

    // Integers are drawn as they are; floats at their nearest count.
    double reals[4] = {1.4, -2.6, 6.109, 3e9};
    ISI_TS_PACKET p = packet();
    p.datatype = ISI_TYPE_REAL64;
    p.nbytes = sizeof reals;
    p.data = reinterpret_cast<uint8_t*>(reals);
    ASSERT_TRUE(HandlePacket(&b, p));
    EXPECT_EQ(b.channels[0]->packets().back()->samples,
              (std::vector<int32_t>{1, -3, 6, 2147483647}));
}

class Acquisition : public simtest::SimTest {
  protected:
    void TearDown() override {
        runner_.Stop();
        runner_.WaitForEnd(kEndBoundMs);
        SimTest::TearDown();
    }
    void start(int bufferedTime) {
        CAcquisitionParams params;
        params.server = "127.0.0.1";
        params.port = server_->port();
        params.bufferedTime = bufferedTime;
        params.log = &log_;
        params.onEnded = [this] { ++ended_; };
        runner_.Start(buffers_, params);
    }
    // Waits (bounded) until pred holds under the data lock.
    bool waitFor(const std::function<bool()>& pred) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until) {
            {
                std::lock_guard<std::mutex> lock(buffers_->dataLock);
                if (pred()) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    size_t packets(size_t channel) { return buffers_->channels[channel]->packets().size(); }

    // Far beyond what a stop takes (a fraction of a second), so a failure shows as a failure.
    static constexpr uint32_t kEndBoundMs = 10000;
    std::shared_ptr<CTraceBuffers> buffers_ = std::make_shared<CTraceBuffers>();
    CAcquisitionRunner runner_;
    std::atomic<int> ended_{0};
};

TEST_F(Acquisition, PacketsReachTheirChannelsAndStopEndsTheThread) {
    startServer({"ABC.BHZ.00:10:10", "ABC.BHZ.10:10:10", "XYZ.LHZ:10:10"});
    AddChannel(buffers_.get(), "abc", "bhz", "00");
    AddChannel(buffers_.get(), "ABC", "BHZ", "00");
    AddChannel(buffers_.get(), "XYZ", "lhz", "  ");
    AddChannel(buffers_.get(), "ABC", "BHZ", "20");  // not served
    start(30);
    ASSERT_TRUE(waitFor([&] { return packets(0) >= 30 && packets(2) >= 30; }));

    auto stopped = std::chrono::steady_clock::now();
    runner_.Stop();
    ASSERT_TRUE(runner_.WaitForEnd(kEndBoundMs));
    auto took = std::chrono::steady_clock::now() - stopped;
    EXPECT_EQ(ended_.load(), 1);
    EXPECT_LT(took, std::chrono::milliseconds(1000));  // no pause before closing

    std::lock_guard<std::mutex> lock(buffers_->dataLock);
    EXPECT_EQ(packets(1), 0u);  // the twin of channel 0
    EXPECT_EQ(packets(3), 0u);
    EXPECT_EQ(buffers_->channels[0]->receivedPackets, packets(0));
    // Every sample is the server's: channel 0 holds ABC.BHZ.00, not ABC.BHZ.10.
    for (size_t c : {size_t(0), size_t(2)}) {
        const isisim::SimStream& s = stream(c == 0 ? "ABC.BHZ.00" : "XYZ.LHZ");
        uint64_t hash = isisim::simStreamHash(s.name());
        for (const auto& p : buffers_->channels[c]->packets()) {
            int64_t k = s.indexAtOrAfter(p->firstTime);
            ASSERT_EQ(s.timeOf(k), p->firstTime);
            ASSERT_EQ(p->interval, 0.1f);
            for (int32_t j = 0; j < p->count; ++j)
                ASSERT_EQ(p->samples[size_t(j)], isisim::simSyntheticSample(hash, k + j));
        }
    }
    // The request began BUFFEREDTIME back from the clock.
    double oldest = buffers_->channels[0]->packets().front()->firstTime;
    EXPECT_LT(
        oldest,
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
            25);
    // The server saw one request with one entry per display channel, generic and compressed.
    std::vector<isisim::SimRequestRecord> requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].items.size(), 4u);
    EXPECT_EQ(requests[0].format, ISI_FORMAT_GENERIC);
    EXPECT_EQ(requests[0].compress, ISI_COMP_IDA);
    EXPECT_EQ(requests[0].items[0].end, UTIL_TIME_FOREVER);
}

TEST_F(Acquisition, RequestCompleteRepeatsTheRequestAndAppendsTheResentPackets) {
    isisim::SimServerOptions options;
    isisim::SimFault fault;
    ASSERT_TRUE(isisim::simParseFault("alert:5:2:1", &fault, nullptr));
    options.faults.push_back(fault);
    startServer({"ABC.BHZ.00:10:10"}, options);
    AddChannel(buffers_.get(), "ABC", "BHZ", "00");
    start(20);
    // 20 s of history is 20 packets; after the repeat the first ones come again.
    ASSERT_TRUE(waitFor([&] {
        std::map<double, int> seen;
        for (const auto& p : buffers_->channels[0]->packets())
            if (++seen[p->firstTime] == 2) return true;
        return false;
    }));
    runner_.Stop();
    ASSERT_TRUE(runner_.WaitForEnd(kEndBoundMs));
    std::vector<isisim::SimRequestRecord> requests = server_->requests();
    ASSERT_GE(requests.size(), 2u);
    // Both requests begin at the one start time of the thread.
    EXPECT_EQ(requests[0].items[0].beg, requests[1].items[0].beg);
}

TEST_F(Acquisition, StopEndsTheThreadWhileTheServerSendsOnlyHeartbeats) {
    isisim::SimServerOptions options;
    options.heartbeat = 1.0;
    // One packet every 100,000 s: after the request nothing but heartbeats arrives. (At one every
    // 1000 s the newest packet fell inside the request's first second about once a thousand runs.)
    startServer({"ABC.BHZ.00:0.001:100"}, options);
    AddChannel(buffers_.get(), "ABC", "BHZ", "00");
    start(1);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (server_->requests().empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), until);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto stopped = std::chrono::steady_clock::now();
    runner_.Stop();
    // The read returns at the next heartbeat with the stop flag set, not with the next packet.
    ASSERT_TRUE(runner_.WaitForEnd(kEndBoundMs));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
    EXPECT_EQ(ended_.load(), 1);
    EXPECT_EQ(packets(0), 0u);
}

// Stop ends acquisition within a second whether the server is away or silent.
TEST_F(Acquisition, StopEndsTheThreadWhileTheServerCannotBeReached) {
    startServer({"ABC.BHZ.00:10:10"});
    uint16_t port = server_->port();
    server_->stop();  // nothing listens there now: every connection is refused
    AddChannel(buffers_.get(), "ABC", "BHZ", "00");
    CAcquisitionParams params;
    params.server = "127.0.0.1";
    params.port = port;
    params.log = &log_;
    params.onEnded = [this] { ++ended_; };
    runner_.Start(buffers_, params);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    runner_.Stop();
    // A slice of the retry pause, not the library's endless retries.
    ASSERT_TRUE(runner_.WaitForEnd(1000));
    EXPECT_EQ(ended_.load(), 1);

    // A server that takes the connection and never answers the handshake: the connect is cut
    // short by the stop too.
    PLAT_SOCKET silent = platListenTcp("127.0.0.1", 0, 4);
    ASSERT_NE(silent, PLAT_INVALID_SOCKET);
    params.port = platLocalPort(silent);
    runner_.Start(buffers_, params);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    runner_.Stop();
    ASSERT_TRUE(runner_.WaitForEnd(1000));
    EXPECT_EQ(ended_.load(), 2);
    platCloseSocket(silent);
}

}  // namespace
