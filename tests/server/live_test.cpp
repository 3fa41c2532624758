// Live data: requests that begin at the newest data and never end, heartbeats while idle, and
// many clients at once.
#include <atomic>
#include <cmath>
#include <thread>

#include "platform/clock.h"
#include "sim_fixture.h"

namespace simtest {
namespace {

class LiveTest : public SimTest {
  protected:
    ISI_CLIENT* openLive(const char* specifier, uint32_t policy) {
        ISI_DATA_REQUEST* request =
            isiAllocSimpleDataRequest(UTIL_TIME_END_OF_LOOP, UTIL_TIME_FOREVER, specifier);
        isiRequestSetCompress(request, ISI_COMP_IDA);
        isiRequestSetPolicy(request, policy);
        ISI_OPEN_PARAMS p = params();
        ISI_CLIENT* client = isiInitiateDataRequest("127.0.0.1", &p, request);
        isiFreeDataRequest(request);
        return client;
    }
};

// Policy 3: after a lost connection the client asks for the newest data again and skips what
// it missed meanwhile.
TEST_F(LiveTest, PolicyThreeResumesAtTheNewestData) {
    // The pause is longer than a packet, so by the reconnect newer packets are there.
    constexpr uint32_t kPauseMs = 400;
    isiSetReconnectPauseForTests(kPauseMs);
    startServer({"LIVE.BHZ:20:2"}, withFault("close:3:1"));
    ISI_CLIENT* client = openLive("LIVE.BHZ", ISI_REQUEST_POLICY_MIN_DELAY);
    ASSERT_NE(client, nullptr);
    std::vector<Received> packets;
    EXPECT_EQ(readAll(client, &packets, 5), ISI_STATUS_DATA);
    isiCloseClient(client);

    std::vector<isisim::SimRequestRecord> requests = server_->requests();
    ASSERT_EQ(requests.size(), 2u);
    ASSERT_EQ(requests[1].items.size(), 1u);
    EXPECT_EQ(requests[1].items[0].beg, UTIL_TIME_END_OF_LOOP);
    ASSERT_EQ(packets.size(), 5u);
    // Before the drop, packets follow each other; the first after it leaves a gap.
    EXPECT_NEAR(packets[1].tofs, packets[0].tols + 0.05, 1e-6);
    EXPECT_NEAR(packets[2].tofs, packets[1].tols + 0.05, 1e-6);
    EXPECT_GT(packets[3].tofs, packets[2].tols + 0.05 + 0.1);
    const isisim::SimStream& s = stream("LIVE.BHZ");
    std::vector<Received> after(packets.begin() + 3, packets.end());
    expectExact(after, s, s.indexAtOrAfter(after.front().tofs),
                s.indexAtOrBefore(after.back().tols));
}

TEST_F(LiveTest, HeartbeatsNeverReachTheCaller) {
    isisim::SimServerOptions options;
    options.heartbeat = 0.02;
    startServer({"LIVE.BHZ:20:4"}, options);  // a packet every 0.2 s, heartbeats between
    ISI_CLIENT* client = openLive("LIVE.BHZ", ISI_REQUEST_POLICY_MIN_GAP);
    ASSERT_NE(client, nullptr);
    std::vector<Received> packets;
    // Read until some heartbeats have certainly gone by (bounded by the packet count).
    while (packets.size() < 100 && (packets.size() < 4 || server_->stats().heartbeats < 3))
        ASSERT_EQ(readAll(client, &packets, 1), ISI_STATUS_DATA);
    isiCloseClient(client);
    EXPECT_GE(server_->stats().heartbeats, 3u);
    const isisim::SimStream& s = stream("LIVE.BHZ");
    expectExact(packets, s, s.indexAtOrAfter(packets.front().tofs),
                s.indexAtOrBefore(packets.back().tols));
}

// Sixty-four clients are served at the same time: each holds its connection open until all
// have had their first packet, which a server serving one at a time could never give.
TEST_F(LiveTest, SixtyFourClientsAreServedAtOnce) {
    constexpr int kClients = 64;
    startServer({"ANMO.BHZ:20:20", "ANMO.BHN:20:20", "KONO.LHZ.00:1:5"});
    const double begin = std::floor(platNow()) - 500.0;
    const double end = begin + 20.0;
    std::atomic<int> started{0};
    std::atomic<int> exact{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            const char* name = i % 3 == 0 ? "ANMO.BHZ" : i % 3 == 1 ? "ANMO.BHN" : "KONO.LHZ.00";
            ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(begin, end, name);
            isiRequestSetCompress(request, i % 2 == 0 ? ISI_COMP_IDA : ISI_COMP_NONE);
            ISI_OPEN_PARAMS p = params();
            ISI_CLIENT* client = isiInitiateDataRequest("127.0.0.1", &p, request);
            isiFreeDataRequest(request);
            if (client == nullptr) return;
            std::vector<Received> packets;
            int status = readAll(client, &packets, 1);
            ++started;
            double until = platNow() + 30.0;  // generous bound
            while (started < kClients && platNow() < until) platSleepMs(5);
            if (status == ISI_STATUS_DATA) status = readAll(client, &packets);
            isiCloseClient(client);
            const isisim::SimStream& s = stream(name);
            uint64_t hash = isisim::simStreamHash(s.name());
            int64_t k = s.indexAtOrAfter(begin);
            bool ok = status == ISI_STATUS_DONE;
            for (const Received& r : packets) {
                ok = ok && r.tofs == s.timeOf(k);
                for (int32_t v : r.samples) ok = ok && v == isisim::simSyntheticSample(hash, k++);
            }
            if (ok && k == s.indexAtOrBefore(end) + 1) ++exact;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(started.load(), kClients);
    EXPECT_EQ(exact.load(), kClients);
    EXPECT_EQ(server_->stats().connections, uint64_t(kClients));
}

}  // namespace
}  // namespace simtest
