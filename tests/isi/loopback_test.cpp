// isiInitiateDataRequest and isiReadGenericTS against a scripted server on loopback.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "isi/isi.h"
#include "isi/loopback_peer.h"
#include "isi/packet_builder.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "tools/iacp_peer.h"
#include "support/log_capture.h"

namespace {

using iacptest::IacpPeer;
using isitest::WireRequest;

constexpr double kT0 = 1.7e9;  // a round start time of the test streams

class IsiLoopback : public ::testing::Test {
  protected:
    void SetUp() override {
        isiSetReconnectPauseForTests(0);
        isiInitOpenParams(&params_);
        params_.port = peer_.port();
        params_.lp = log_.handle();
        // A refused reconnect fails at once instead of being retried every ten seconds.
        params_.attr.maxerr = IACP_ERR_NONE;
        ASSERT_TRUE(peer_.listening());
    }

    // The client's log tells what went wrong when a scenario fails.
    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : log_.messages())
            std::fprintf(stderr, "log: %s\n", line.c_str());
    }

    ISI_CLIENT* initiate(const ISI_DATA_REQUEST* request) {
        return isiInitiateDataRequest("127.0.0.1", &params_, request);
    }

    // Sends a 20 sps packet of n samples starting at tofs.
    static bool sendPacket(IacpPeer& peer, const char* chn, double tofs, int n, bool compressed,
                           int32_t first = 0) {
        std::vector<int32_t> samples;
        for (int i = 0; i < n; ++i) samples.push_back(first + i * 1000 - (i % 3) * 77);
        ISI_TS_PACKET h = isitest::makeHeader("STA", chn, "", 20, 1, tofs, n);
        return peer.sendFrame(ISI_IACP_GENERIC_TS, isitest::samplePayload(h, samples, compressed));
    }

    IacpPeer peer_;
    iacptest::CapturedLog log_{LOG_DEBUG};
    ISI_OPEN_PARAMS params_;
};

TEST_F(IsiLoopback, DefaultRequestGoesOutAndANullAcknowledgmentLeavesNoItems) {
    WireRequest seen;
    peer_.start([&](IacpPeer& p) {
        ASSERT_TRUE(p.acceptAndHandshake());
        ASSERT_TRUE(isitest::readRequest(p, &seen));
        ASSERT_TRUE(p.sendFrame(IACP_TYPE_NULL));
        p.waitForClientClose();
    });
    ISI_CLIENT* client = initiate(nullptr);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->datreq.type, ISI_REQUEST_TYPE_UNDEF);
    EXPECT_EQ(client->datreq.nreq, 0u);
    isiCloseClient(client);
    peer_.join();

    std::vector<uint32_t> order = {ISI_IACP_REQ_FORMAT, ISI_IACP_REQ_COMPRESS, ISI_IACP_REQ_POLICY,
                                   ISI_IACP_REQ_TWIND, IACP_TYPE_NULL};
    EXPECT_EQ(seen.types, order);
    EXPECT_EQ(seen.format, ISI_FORMAT_GENERIC);
    EXPECT_EQ(seen.compress, ISI_COMP_GZIP);
    EXPECT_EQ(seen.policy, ISI_REQUEST_POLICY_MIN_GAP);
    ASSERT_EQ(seen.twind.size(), 1u);
    EXPECT_STREQ(seen.twind[0].name.sta, "*");
    EXPECT_STREQ(seen.twind[0].name.loc, "*");
    EXPECT_EQ(seen.twind[0].beg, -3.0);
    EXPECT_EQ(seen.twind[0].end, -4.0);
    EXPECT_EQ(seen.endPayload, std::vector<uint8_t>(4, 0));
    EXPECT_TRUE(log_.contains("*** beg ISI_DATA_REQUEST ***"));  // dumped at level 7
}

TEST_F(IsiLoopback, AcknowledgmentMixingItemKindsFailsWithStatus10) {
    peer_.start([&](IacpPeer& p) {
        WireRequest seen;
        ASSERT_TRUE(p.acceptAndHandshake());
        ASSERT_TRUE(isitest::readRequest(p, &seen));
        std::vector<uint8_t> twind(ISI_TWIND_WIRE_LEN, 0), seqno(ISI_SEQNO_ITEM_WIRE_LEN, 0);
        p.sendFrame(ISI_IACP_REQ_TWIND, twind);
        p.sendFrame(ISI_IACP_REQ_SEQNO, seqno);
        p.sendFrame(IACP_TYPE_NULL);
        p.waitForClientClose();
    });
    ISI_CLIENT* client = isiOpenClient("127.0.0.1", &params_);
    ASSERT_NE(client, nullptr);
    ISI_DATA_REQUEST* request = isiAllocDefaultDataRequest();
    int status = 0;
    EXPECT_FALSE(isiSendDataRequest(client, request, &status));
    EXPECT_EQ(status, ISI_ACK_PROTOCOL);
    EXPECT_TRUE(log_.contains("isiAppendSeqnoReq"));
    isiFreeDataRequest(request);
    isiCloseClient(client);
    peer_.join();
}

TEST_F(IsiLoopback, HeartbeatsAndUnknownFramesNeverReachTheCaller) {
    peer_.start([&](IacpPeer& p) {
        WireRequest seen;
        ASSERT_TRUE(isitest::acceptRequest(p, &seen));
        sendPacket(p, "BHZ", kT0, 20, true, -500);
        p.sendFrame(IACP_TYPE_NOP);
        p.sendFrame(5000, {1, 2, 3});
        p.sendFrame(IACP_TYPE_NOP);
        sendPacket(p, "BHZ", kT0 + 1.0, 20, false, 900);
        isitest::sendAlert(p, IACP_ALERT_REQUEST_COMPLETE);
        p.waitForClientClose();
    });
    ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(kT0, kT0 + 2.0, "STA.BHZ");
    ISI_CLIENT* client = initiate(request);
    isiFreeDataRequest(request);
    ASSERT_NE(client, nullptr);
    int status = -1;
    std::vector<double> starts;
    while (ISI_TS_PACKET* packet = isiReadGenericTS(client, &status)) {
        ASSERT_EQ(status, ISI_STATUS_DATA);
        EXPECT_EQ(packet->nsamp, 20u);
        EXPECT_EQ(packet->compress, ISI_COMP_NONE);
        int32_t* samples = reinterpret_cast<int32_t*>(packet->data);
        EXPECT_EQ(samples[0], starts.empty() ? -500 : 900);
        EXPECT_EQ(samples[19], (starts.empty() ? -500 : 900) + 19000 - 77);
        starts.push_back(packet->tofs);
    }
    EXPECT_EQ(status, ISI_STATUS_DONE);
    EXPECT_EQ(starts, (std::vector<double>{kT0, kT0 + 1.0}));
    EXPECT_TRUE(log_.contains("heartbeat"));
    EXPECT_TRUE(log_.contains("frame type 5000 ignored"));
    // Finished for good: no reconnect, the same answer again.
    EXPECT_EQ(isiReadGenericTS(client, &status), nullptr);
    EXPECT_EQ(status, ISI_STATUS_DONE);
    isiCloseClient(client);
    peer_.join();
}

TEST_F(IsiLoopback, Alert1ReconnectsForTheActiveItemsAfterTheirLastSample) {
    WireRequest second;
    peer_.start([&](IacpPeer& p) {
        WireRequest first;
        ASSERT_TRUE(isitest::acceptRequest(p, &first));
        sendPacket(p, "BHZ", kT0, 20, true);        // ends at kT0 + 0.95
        sendPacket(p, "BHN", kT0 + 1.0, 20, true);  // reaches the BHN item's end
        isitest::sendAlert(p, IACP_ALERT_DISCONNECT);
        p.waitForClientClose();
        ASSERT_TRUE(isitest::acceptRequest(p, &second));
        isitest::sendAlert(p, IACP_ALERT_REQUEST_COMPLETE);
        p.waitForClientClose();
    });
    ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(kT0, -4.0, "STA.BHZ+STA.BHN+STA.BHE");
    request->twind[1].end = kT0 + 1.95;
    ISI_CLIENT* client = initiate(request);
    isiFreeDataRequest(request);
    ASSERT_NE(client, nullptr);
    int status = -1;
    int packets = 0;
    while (isiReadGenericTS(client, &status) != nullptr) ++packets;
    EXPECT_EQ(packets, 2);
    EXPECT_EQ(status, ISI_STATUS_DONE);
    isiCloseClient(client);
    peer_.join();

    ASSERT_EQ(second.twind.size(), 2u);  // BHN is complete and left out
    EXPECT_STREQ(second.twind[0].name.chn, "BHZ");
    EXPECT_DOUBLE_EQ(second.twind[0].beg, kT0 + 1.0);
    EXPECT_EQ(second.twind[0].end, -4.0);
    EXPECT_STREQ(second.twind[1].name.chn, "BHE");
    EXPECT_EQ(second.twind[1].beg, kT0);  // no data yet: unchanged
    EXPECT_EQ(second.policy, ISI_REQUEST_POLICY_MIN_GAP);
    EXPECT_TRUE(log_.contains("normal disconnect"));
    EXPECT_TRUE(log_.contains("reconnected to"));
}

TEST_F(IsiLoopback, MinimalDelayResumesAtTheNewestDataAfterADroppedConnection) {
    WireRequest second;
    peer_.start([&](IacpPeer& p) {
        WireRequest first;
        ASSERT_TRUE(isitest::acceptRequest(p, &first));
        sendPacket(p, "BHZ", kT0, 20, true);
        p.closeClient();  // dropped without a word
        ASSERT_TRUE(isitest::acceptRequest(p, &second));
        isitest::sendAlert(p, IACP_ALERT_REQUEST_COMPLETE);
        p.waitForClientClose();
    });
    ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(kT0, -4.0, "STA.BHZ+STA.BHN");
    isiRequestSetPolicy(request, ISI_REQUEST_POLICY_MIN_DELAY);
    ISI_CLIENT* client = initiate(request);
    isiFreeDataRequest(request);
    ASSERT_NE(client, nullptr);
    int status = -1;
    while (isiReadGenericTS(client, &status) != nullptr) {
    }
    EXPECT_EQ(status, ISI_STATUS_DONE);
    isiCloseClient(client);
    peer_.join();
    ASSERT_EQ(second.twind.size(), 2u);
    EXPECT_EQ(second.policy, ISI_REQUEST_POLICY_MIN_DELAY);
    EXPECT_EQ(second.twind[0].beg, -3.0);
    EXPECT_EQ(second.twind[1].beg, kT0);
}

TEST_F(IsiLoopback, OversizedPayloadLeadsToAReconnect) {
    WireRequest second;
    peer_.start([&](IacpPeer& p) {
        WireRequest first;
        ASSERT_TRUE(isitest::acceptRequest(p, &first));
        std::vector<uint8_t> big(ISI_MAX_FRAME_PAYLOAD + 1, 0);
        p.sendFrame(ISI_IACP_GENERIC_TS, big);
        p.waitForClientClose();
        ASSERT_TRUE(isitest::acceptRequest(p, &second));
        sendPacket(p, "BHZ", kT0 + 5.0, 10, true);
        isitest::sendAlert(p, IACP_ALERT_REQUEST_COMPLETE);
        p.waitForClientClose();
    });
    ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(kT0, -4.0, "STA.BHZ");
    ISI_CLIENT* client = initiate(request);
    isiFreeDataRequest(request);
    ASSERT_NE(client, nullptr);
    int status = -1;
    ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->tofs, kT0 + 5.0);
    EXPECT_EQ(isiReadGenericTS(client, &status), nullptr);
    EXPECT_EQ(status, ISI_STATUS_DONE);
    isiCloseClient(client);
    peer_.join();
    EXPECT_EQ(second.twind.size(), 1u);
}

TEST_F(IsiLoopback, BadPacketsFailAloneAndReadingGoesOn) {
    peer_.start([&](IacpPeer& p) {
        WireRequest first;
        ASSERT_TRUE(isitest::acceptRequest(p, &first));
        for (const auto& bad : isitest::badPackets("STA", "BHZ", kT0))
            p.sendFrame(ISI_IACP_GENERIC_TS, bad.payload);
        sendPacket(p, "BHZ", kT0 + 9.0, 3, true, 7);
        isitest::sendAlert(p, IACP_ALERT_REQUEST_COMPLETE);
        p.waitForClientClose();
    });
    ISI_DATA_REQUEST* request = isiAllocSimpleDataRequest(kT0, -4.0, "STA.BHZ");
    ISI_CLIENT* client = initiate(request);
    isiFreeDataRequest(request);
    ASSERT_NE(client, nullptr);
    int status = -1;
    for (const auto& bad : isitest::badPackets("STA", "BHZ", kT0)) {
        EXPECT_EQ(isiReadGenericTS(client, &status), nullptr);
        EXPECT_EQ(status, ISI_STATUS_FAILED);
        EXPECT_EQ(platGetError(), bad.error);
        EXPECT_TRUE(isiIsConnected(client));  // a packet failed, not the connection
    }
    ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(reinterpret_cast<int32_t*>(packet->data)[0], 7);
    EXPECT_EQ(isiReadGenericTS(client, &status), nullptr);
    EXPECT_EQ(status, ISI_STATUS_DONE);
    isiCloseClient(client);
    peer_.join();
}

TEST_F(IsiLoopback, StopFlagEndsAWaitingRead) {
    std::atomic<bool> done{false};
    peer_.start([&](IacpPeer& p) {
        WireRequest first;
        ASSERT_TRUE(isitest::acceptRequest(p, &first));
        // Heartbeats until the client goes away (bounded).
        for (int i = 0; i < 1000 && !done; ++i) {
            if (!p.sendFrame(IACP_TYPE_NOP)) break;
            platSleepMs(10);
        }
    });
    ISI_CLIENT* client = initiate(nullptr);
    ASSERT_NE(client, nullptr);
    std::thread stopper([&] {
        platSleepMs(50);
        isiSetStopFlag(client, 1);
    });
    int status = -1;
    platSetError(WSAEINVAL);
    EXPECT_EQ(isiReadGenericTS(client, &status), nullptr);
    EXPECT_EQ(status, ISI_STATUS_STOPPED);
    EXPECT_EQ(platGetError(), 0);
    stopper.join();
    done = true;
    isiCloseClient(client);
    peer_.join();
}

TEST_F(IsiLoopback, ReconnectThatCannotConnectFailsWithStatus2) {
    peer_.start([&](IacpPeer& p) {
        WireRequest first;
        ASSERT_TRUE(isitest::acceptRequest(p, &first));
        p.closeListener();
        p.closeClient();
    });
    ISI_CLIENT* client = initiate(nullptr);
    ASSERT_NE(client, nullptr);
    peer_.join();
    int status = -1;
    EXPECT_EQ(isiReadGenericTS(client, &status), nullptr);
    EXPECT_EQ(status, ISI_STATUS_FAILED);
    // Calling again goes on trying (and fails again) rather than hanging.
    EXPECT_EQ(isiReadGenericTS(client, &status), nullptr);
    EXPECT_EQ(status, ISI_STATUS_FAILED);
    isiCloseClient(client);
}

}  // namespace
