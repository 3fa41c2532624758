// Connecting and handshaking against the loopback peer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "iacp/iacp.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "support/log_capture.h"
#include "tools/iacp_peer.h"

using iacptest::CapturedLog;
using iacptest::HandshakeReply;
using iacptest::IacpPeer;
using iacptest::PeerFrame;

namespace {

IACP_OPTIONS quickOptions() {
    IACP_OPTIONS options;
    options.retry_delay = 20;
    return options;
}

struct HandshakeCase {
    const char* name;
    uint32_t optionTimeout;      // what the client asks for
    uint32_t expectSentTimeout;  // what its handshake carries
    HandshakeReply reply;
    uint32_t expectTimeout;  // in force after the handshake
    uint32_t expectSndbuf;
    uint32_t expectRcvbuf;
};

void PrintTo(const HandshakeCase& c, std::ostream* os) {
    *os << c.name;
}

class HandshakeValues : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(HandshakeValues, ClientSendsItsParametersAndTakesTheServers) {
    const HandshakeCase& c = GetParam();
    IacpPeer peer;
    ASSERT_TRUE(peer.listening());
    peer.start([&](IacpPeer& p) {
        EXPECT_TRUE(p.acceptAndHandshake(c.reply));
        EXPECT_TRUE(p.waitForClientClose());
    });
    IACP_OPTIONS options = quickOptions();
    options.at_timeo = c.optionTimeout;
    CapturedLog log;
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, log.handle(), 0);
    ASSERT_NE(iacp, nullptr) << platErrorText(platGetError());
    EXPECT_EQ(iacpGetTimeout(iacp), c.expectTimeout);
    EXPECT_EQ(iacp->attr.sndbuf, c.expectSndbuf);
    EXPECT_EQ(iacp->attr.rcvbuf, c.expectRcvbuf);
    EXPECT_EQ(iacp->peer_pid, c.reply.pid);
    std::string ident = std::string("pid") + std::to_string(c.reply.pid) + "@" + iacp->peer_name;
    EXPECT_STREQ(iacpPeerIdent(iacp), ident.c_str());
    EXPECT_STREQ(iacp->peer_addr, "127.0.0.1");
    EXPECT_EQ(iacp->seqno, 1u);  // the handshake used seqno 0
    iacpClose(iacp);
    peer.join();

    const PeerFrame& hs = peer.clientHandshake();
    EXPECT_EQ(hs.seqno, 0u);
    EXPECT_EQ(hs.payload.size(), 52u);
    std::vector<std::pair<uint32_t, uint32_t>> params;
    ASSERT_TRUE(iacptest::decodeHandshakePayload(hs.payload, &params));
    std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {iacptest::kParamPid, platProcessId()},
        {iacptest::kParamTimeout, c.expectSentTimeout},
        {iacptest::kParamSndbuf, 0},
        {iacptest::kParamRcvbuf, 0}};
    EXPECT_EQ(params, expected);
}

HandshakeReply reply(uint32_t timeout, uint32_t sndbuf = 0, uint32_t rcvbuf = 0,
                     std::vector<iacptest::HandshakeParam> extra = {}) {
    HandshakeReply r;
    r.pid = 777;
    r.timeout = timeout;
    r.sndbuf = sndbuf;
    r.rcvbuf = rcvbuf;
    r.extra = std::move(extra);
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Iacp, HandshakeValues,
    ::testing::Values(
        // A time-out below the floor is raised before it is offered.
        HandshakeCase{"OptionBelowFloorRaised", 5000, 30000, reply(30000), 30000, 0, 0},
        HandshakeCase{"OptionAboveFloorKept", 45000, 45000, reply(45000), 45000, 0, 0},
        // The server's value is taken as it is, even below the floor, but never one longer than
        // the client's own (a server could hold it for days) or none at all.
        HandshakeCase{"ServerValueTaken", 30000, 30000, reply(5000), 5000, 0, 0},
        HandshakeCase{"LongerServerValueBounded", 30000, 30000, reply(0xFFFFFFFFu), 30000, 0, 0},
        HandshakeCase{"ZeroServerValueRaised", 30000, 30000, reply(0), 100, 0, 0},
        HandshakeCase{"ServerBufferSizes", 30000, 30000, reply(30000, 65536, 131072), 30000, 65536,
                      131072},
        // Parameters of unknown type are skipped by their length, whatever it is.
        HandshakeCase{"UnknownParametersSkipped", 30000, 30000, reply(6000, 0, 0, {{99, {1, 2}}}),
                      6000, 0, 0},
        // A known type with a length other than 4 is skipped the same way; the reply still
        // fits the 64-byte handshake buffer.
        HandshakeCase{"OddLengthParameterSkipped", 30000, 30000, reply(6000, 0, 0, {{3, {}}}), 6000,
                      0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IacpHandshake, UnknownParameterIsReportedAtWarningLevel) {
    IacpPeer peer;
    peer.start([](IacpPeer& p) {
        EXPECT_TRUE(p.acceptAndHandshake(reply(30000, 0, 0, {{99, {1, 2, 3}}})));
        EXPECT_TRUE(p.waitForClientClose());
    });
    CapturedLog log(LOG_WARNING);
    IACP_OPTIONS options = quickOptions();
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, log.handle(), 0);
    ASSERT_NE(iacp, nullptr);
    iacpClose(iacp);
    peer.join();
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{"skip unknown handshake parameter: type 99, len=3"});
}

TEST(IacpHandshake, ReplyOfAnotherTypeFailsWithoutRetry) {
    IacpPeer peer;
    peer.start([](IacpPeer& p) {
        HandshakeReply r;
        r.frameType = 100;
        EXPECT_TRUE(p.acceptAndHandshake(r));
        EXPECT_TRUE(p.waitForClientClose());
    });
    CapturedLog log(LOG_DEBUG);
    IACP_OPTIONS options = quickOptions();
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, log.handle(), 0);
    EXPECT_EQ(iacp, nullptr);
    EXPECT_EQ(platGetError(), WSAEPROTOTYPE);
    peer.join();
    EXPECT_TRUE(log.contains("iacpClientHandshake: protocol error (not IACP_TYPE_HANDSHAKE)"));
    EXPECT_FALSE(log.contains("delay"));
    EXPECT_TRUE(log.contains("iacpOpen: unable to connect to 127.0.0.1:"));
}

TEST(IacpHandshake, TruncatedParameterListFailsAndReadsNothingBeyondIt) {
    IacpPeer peer;
    peer.start([](IacpPeer& p) {
        ASSERT_TRUE(p.accept());
        PeerFrame hs;
        ASSERT_TRUE(p.readFrame(&hs));
        // Claims three parameters but carries one.
        std::vector<uint8_t> payload = {0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 4, 0, 0, 0, 9};
        EXPECT_TRUE(p.sendFrame(1, payload));
        EXPECT_TRUE(p.waitForClientClose());
    });
    IACP_OPTIONS options = quickOptions();
    EXPECT_EQ(iacpOpen("127.0.0.1", peer.port(), &options, nullptr, 0), nullptr);
    EXPECT_EQ(platGetError(), WSAEPROTOTYPE);
    peer.join();
}

TEST(IacpConnect, UnknownHostFailsAtOnceWithEnoent) {
    CapturedLog log(LOG_DEBUG);
    IACP_OPTIONS options = quickOptions();
    IACP_CONNECTION* iacp = iacpOpen("no-such-host.invalid", 39136, &options, log.handle(), 0);
    EXPECT_EQ(iacp, nullptr);
    EXPECT_EQ(platGetError(), ENOENT_CODE);
    EXPECT_TRUE(log.contains("iacpConnect: server no-such-host.invalid: "));
    // No socket was made: no connect attempt, no retry.
    EXPECT_FALSE(log.contains("connect: "));
    EXPECT_FALSE(log.contains("delay"));
}

TEST(IacpConnect, InvalidArgumentsFail) {
    struct Case {
        const char* server;
        int port;
    };
    for (Case c : {Case{nullptr, 39136}, Case{"127.0.0.1", 0}, Case{"127.0.0.1", -1}}) {
        CapturedLog log;
        platSetError(0);
        EXPECT_EQ(iacpOpen(c.server, c.port, nullptr, log.handle(), 0), nullptr);
        EXPECT_EQ(platGetError(), WSAEINVAL);
        EXPECT_EQ(log.messages(), std::vector<std::string>{"iacpOpen: invalid argument(s)"});
    }
}

// A port nobody listens on: a peer's, closed again.
uint16_t refusedPort() {
    IacpPeer probe;
    return probe.port();
}

TEST(IacpConnect, RefusedConnectionIsFatalAboveTheRetryCeiling) {
    CapturedLog log(LOG_DEBUG);
    IACP_OPTIONS options = quickOptions();
    options.maxerr = IACP_ERR_NONE;
    EXPECT_EQ(iacpOpen("127.0.0.1", refusedPort(), &options, log.handle(), 0), nullptr);
    EXPECT_EQ(platGetError(), WSAECONNREFUSED);
    EXPECT_EQ(log.count("iacpConnect: connect: connection refused"), 1);
    EXPECT_FALSE(log.contains("delay"));
}

TEST(IacpConnect, RefusedConnectionIsRetriedEveryDelayUntilTheServerAppears) {
    const uint16_t port = refusedPort();
    CapturedLog log(LOG_DEBUG);
    IACP_CONNECTION* iacp = nullptr;
    std::thread client([&] {
        IACP_OPTIONS options = quickOptions();
        iacp = iacpOpen("127.0.0.1", port, &options, log.handle(), 0);
    });
    // Let it fail a few times, then start listening on the port.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (log.count("iacpConnect: delay 20 msec") < 3 &&
           std::chrono::steady_clock::now() < deadline) {
        platSleepMs(5);
    }
    EXPECT_GE(log.count("iacpConnect: delay 20 msec"), 3);
    EXPECT_GE(log.count("iacpConnect: connect: connection refused"), 3);
    IacpPeer peer(port);
    ASSERT_TRUE(peer.listening());
    EXPECT_TRUE(peer.acceptAndHandshake());
    client.join();
    ASSERT_NE(iacp, nullptr);
    EXPECT_EQ(iacp->peer_pid, 4242u);
    iacpClose(iacp);
}

TEST(IacpConnect, AccessorsGiveTheOptionsInForce) {
    IacpPeer peer;
    peer.start([](IacpPeer& p) {
        EXPECT_TRUE(p.acceptAndHandshake());
        EXPECT_TRUE(p.waitForClientClose());
    });
    IACP_OPTIONS options = quickOptions();
    options.maxerr = IACP_ERR_TRANSIENT;
    LOGIO lp;
    ASSERT_TRUE(logioInit(
        &lp, nullptr, [](const char*) {}, "t"));
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, &lp, 1);
    ASSERT_NE(iacp, nullptr);
    EXPECT_EQ(iacpGetDebug(iacp), 1);
    EXPECT_EQ(iacpGetRetryDelay(iacp), 20u);
    EXPECT_EQ(iacpGetMaxError(iacp), uint32_t(IACP_ERR_TRANSIENT));
    EXPECT_EQ(logioGetThreshold(&lp), LOG_DEBUG);  // debug raises the handle's threshold
    iacpClose(iacp);
    peer.join();
    EXPECT_STREQ(iacpPeerIdent(nullptr), "NULL");
    EXPECT_EQ(iacpClose(nullptr), nullptr);
}

}  // namespace

// The cancel flag ends a wait for a peer that never answers within a slice: here a listener that
// takes the connection into its backlog and never answers the handshake.
TEST(IacpConnect, CancelFlagEndsAWaitForASilentPeerWithinASlice) {
    PLAT_SOCKET listener = platListenTcp("127.0.0.1", 0, 0);
    ASSERT_NE(listener, PLAT_INVALID_SOCKET);
    IACP_OPTIONS options = quickOptions();
    options.maxerr = IACP_ERR_NONE;
    std::atomic<int> cancel{0};
    options.cancel = &cancel;
    std::thread canceller([&] {
        platSleepMs(300);
        cancel = 1;
    });
    double started = platNow();
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", platLocalPort(listener), &options, nullptr, 0);
    double took = platNow() - started;
    canceller.join();
    EXPECT_EQ(iacp, nullptr);
    EXPECT_EQ(platGetError(), WSAECONNABORTED);
    EXPECT_LT(took, 0.3 + 2.0 * IACP_CANCEL_SLICE_MS / 1000.0);
    platCloseSocket(listener);
}
