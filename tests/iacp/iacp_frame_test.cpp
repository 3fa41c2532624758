// Sending and receiving frames against the loopback peer.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "iacp/iacp.h"
#include "platform/errors.h"
#include "tools/iacp_peer.h"
#include "support/log_capture.h"

using iacptest::CapturedLog;
using iacptest::HandshakeReply;
using iacptest::IacpPeer;
using iacptest::PeerFrame;

namespace {

// A connection to a peer that has answered the handshake and then runs script.
class Connected {
  public:
    explicit Connected(std::function<void(IacpPeer&)> script, HandshakeReply reply = {},
                       LOGIO* lp = nullptr) {
        peer_.start([reply, script = std::move(script)](IacpPeer& p) {
            if (!p.acceptAndHandshake(reply)) {
                ADD_FAILURE() << "no handshake";
                return;
            }
            script(p);
        });
        IACP_OPTIONS options;
        options.retry_delay = 20;
        options.maxerr = IACP_ERR_NONE;
        iacp_ = iacpOpen("127.0.0.1", peer_.port(), &options, lp, 0);
    }
    ~Connected() {
        iacpClose(iacp_);
        peer_.join();
    }
    IACP_CONNECTION* get() { return iacp_; }
    void join() { peer_.join(); }

  private:
    IacpPeer peer_;
    IACP_CONNECTION* iacp_ = nullptr;
};

std::vector<uint8_t> bytes(size_t n, uint8_t first = 0) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(first + i);
    return out;
}

TEST(IacpFrame, EmptyPayloadTravelsAsPreambleAndSignaturePreambleOnly) {
    std::vector<uint8_t> wire;
    PeerFrame next;
    Connected c([&](IacpPeer& p) {
        EXPECT_TRUE(p.readBytes(24, &wire));
        EXPECT_TRUE(p.readFrame(&next));
    });
    ASSERT_NE(c.get(), nullptr);
    EXPECT_TRUE(iacpSendEmptyMessage(c.get(), 1002));
    EXPECT_TRUE(iacpSendValueFrame(c.get(), 1003, 0x01020304));
    c.join();
    const std::vector<uint8_t> expected = {'I', 'A', 'C', 'P', 0, 0, 0, 1, 0, 0, 3, 0xea,
                                           0,   0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(wire, expected);
    EXPECT_EQ(next.seqno, 2u);
    EXPECT_EQ(next.type, 1003u);
    EXPECT_EQ(next.payload, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(c.get()->send_stats.frames, 3u);  // handshake, empty, value
    EXPECT_EQ(c.get()->send_stats.bytes, (16 + 52 + 8) + 24 + (24 + 4));
    EXPECT_EQ(c.get()->send_stats.maxlen, 52u);
}

TEST(IacpFrame, ReceivedFrameCarriesItsFieldsAndSignature) {
    const std::vector<uint8_t> sig = bytes(40, 0x80);
    Connected c([&](IacpPeer& p) {
        EXPECT_TRUE(p.sendFrame(1012, bytes(5, 'a'), 7, sig));
        EXPECT_TRUE(p.sendFrame(101));  // a heartbeat with no payload
        EXPECT_TRUE(p.waitForClientClose());
    });
    ASSERT_NE(c.get(), nullptr);
    uint8_t buf[16];
    IACP_WIRE_FRAME frame;
    ASSERT_TRUE(iacpRecvFrame(c.get(), &frame, buf, sizeof buf));
    EXPECT_TRUE(frame.accepted);
    EXPECT_EQ(frame.seqno, 1u);  // the peer's handshake reply was its frame 0
    EXPECT_EQ(frame.type, 1012u);
    EXPECT_EQ(frame.payload, buf);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), frame.payload_len), "abcde");
    EXPECT_EQ(frame.sig_id, 7u);
    EXPECT_EQ(std::vector<uint8_t>(frame.sig, frame.sig + frame.sig_len), sig);
    ASSERT_TRUE(iacpRecvFrame(c.get(), &frame, buf, sizeof buf));
    EXPECT_EQ(frame.type, 101u);
    EXPECT_EQ(frame.payload_len, 0u);
    EXPECT_EQ(platGetError(), 0);
}

// Frames the client must refuse, each with the error and message it gives. The bytes past the
// caller's buffer are watched by a guard.
struct BadFrameCase {
    const char* name;
    std::vector<uint8_t> wire;
    uint32_t buflen;
    bool ok;
    int error;
    const char* message;
};

void PrintTo(const BadFrameCase& c, std::ostream* os) {
    *os << c.name;
}

class IacpBadFrame : public ::testing::TestWithParam<BadFrameCase> {};

TEST_P(IacpBadFrame, ReadFailsWithTheDescribedErrorAndNeverWritesPastTheBuffer) {
    const BadFrameCase& bc = GetParam();
    CapturedLog log;
    Connected c(
        [&](IacpPeer& p) {
            EXPECT_TRUE(p.sendRaw(bc.wire));
            EXPECT_TRUE(p.waitForClientClose());
        },
        {}, log.handle());
    ASSERT_NE(c.get(), nullptr);
    log.clear();
    std::vector<uint8_t> buf(bc.buflen + 64, 0xEE);
    IACP_WIRE_FRAME frame;
    EXPECT_EQ(iacpRecvFrame(c.get(), &frame, buf.data(), bc.buflen), bc.ok);
    EXPECT_EQ(platGetError(), bc.error);
    for (size_t i = bc.buflen; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE) << "byte " << i;
    if (bc.message[0] != '\0') {
        EXPECT_TRUE(log.contains(bc.message)) << bc.message;
    } else {
        EXPECT_TRUE(log.messages().empty());
    }
}

std::vector<uint8_t> frameWire(uint32_t len, uint32_t siglen) {
    return iacptest::encodeFrame(1, 1012, bytes(len), 0, bytes(siglen));
}

std::vector<uint8_t> untagged() {
    auto wire = frameWire(4, 0);
    wire[3] = 'X';
    return wire;
}

INSTANTIATE_TEST_SUITE_P(
    Iacp, IacpBadFrame,
    ::testing::Values(BadFrameCase{"PayloadOfBufferLength", frameWire(64, 0), 64, true, 0, ""},
                      BadFrameCase{"PayloadOneOverBuffer", frameWire(65, 0), 64, false, WSAEINVAL,
                                   "iacpRecvFrame: payload too big (len=65, buflen=64)!"},
                      BadFrameCase{"SignatureOf40", frameWire(8, 40), 64, true, 0, ""},
                      BadFrameCase{
                          "SignatureOf41", frameWire(8, 41), 64, false, WSAEINVAL,
                          "iacpRecvFrame: signature block too big (len=41, IACP_MAXSIGLEN=40)!"},
                      BadFrameCase{"TagMissing", untagged(), 64, false, WSAEPROTOTYPE,
                                   "iacpRecvFrame: ERROR: IACP tag missing"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IacpFrame, PeerClosingDuringThePreambleIsAResetWithoutMessage) {
    CapturedLog log;
    Connected c(
        [](IacpPeer& p) {
            EXPECT_TRUE(p.sendRaw({'I', 'A', 'C', 'P', 0, 0}));
            p.closeClient();
        },
        {}, log.handle());
    ASSERT_NE(c.get(), nullptr);
    c.join();
    log.clear();
    uint8_t buf[64];
    IACP_WIRE_FRAME frame;
    EXPECT_FALSE(iacpRecvFrame(c.get(), &frame, buf, sizeof buf));
    EXPECT_EQ(platGetError(), WSAECONNRESET);
    EXPECT_TRUE(log.messages().empty());
}

TEST(IacpFrame, ServerTimeOutEndsAQuietReadWithoutMessage) {
    CapturedLog log;
    HandshakeReply reply;
    reply.timeout = 200;  // the server's value is taken below the floor
    Connected c([](IacpPeer& p) { EXPECT_TRUE(p.waitForClientClose()); }, reply, log.handle());
    ASSERT_NE(c.get(), nullptr);
    log.clear();
    uint8_t buf[64];
    IACP_WIRE_FRAME frame;
    EXPECT_FALSE(iacpRecvFrame(c.get(), &frame, buf, sizeof buf));
    EXPECT_EQ(platGetError(), WSAETIMEDOUT);
    EXPECT_TRUE(log.messages().empty());
}

TEST(IacpFrame, AfterOneFailedSendEverySendFailsWithoutWriting) {
    CapturedLog log(LOG_DEBUG);
    Connected c([](IacpPeer& p) { p.closeClient(); }, {}, log.handle());
    ASSERT_NE(c.get(), nullptr);
    c.join();
    const std::vector<uint8_t> payload = bytes(4096);
    IACP_WIRE_FRAME frame;
    frame.type = 1000;
    frame.payload = const_cast<uint8_t*>(payload.data());
    frame.payload_len = uint32_t(payload.size());
    // The first sends may still land in the socket buffers; the reset shows within a few.
    int sent = 0;
    while (sent < 1000 && iacpSendFrame(c.get(), &frame)) ++sent;
    ASSERT_LT(sent, 1000);
    EXPECT_EQ(platGetError(), WSAECONNRESET);
    EXPECT_TRUE(log.contains(": iacpSendFrame: error sending "));
    EXPECT_TRUE(c.get()->send_failed);

    const uint64_t bytesBefore = c.get()->send_stats.bytes;
    const uint32_t seqnoBefore = c.get()->seqno;
    log.clear();
    EXPECT_FALSE(iacpSendFrame(c.get(), &frame));
    EXPECT_FALSE(iacpSendEmptyMessage(c.get(), 0));
    EXPECT_EQ(c.get()->send_stats.bytes, bytesBefore);
    EXPECT_EQ(c.get()->seqno, seqnoBefore);
    EXPECT_TRUE(log.messages().empty());
}

TEST(IacpFrame, NoConnectionOrFrameIsAnInvalidArgument) {
    uint8_t buf[4];
    IACP_WIRE_FRAME frame;
    const std::function<bool()> calls[] = {
        [&] { return iacpSendFrame(nullptr, &frame); },
        [&] { return iacpRecvFrame(nullptr, &frame, buf, sizeof buf); },
        [&] { return iacpSendEmptyMessage(nullptr, 0); },
        [&] { return iacpSendValueFrame(nullptr, 0, 1); },
        [&] { return iacpConnect(nullptr); },
        [&] { return iacpClientHandshake(nullptr); },
    };
    for (const auto& call : calls) {
        platSetError(0);
        EXPECT_FALSE(call());
        EXPECT_EQ(platGetError(), WSAEINVAL);
    }
}

TEST(IacpAlert, CodesAndTexts) {
    uint8_t code12[4] = {0, 0, 0, 12};
    uint8_t code2[4] = {0, 0, 0, 2};
    IACP_WIRE_FRAME alert;
    alert.type = IACP_TYPE_ALERT;
    alert.payload = code2;
    alert.payload_len = 4;
    EXPECT_EQ(iacpAlertCode(&alert), 2);
    alert.payload = code12;
    EXPECT_EQ(iacpAlertCode(&alert), 12);
    EXPECT_STREQ(iacpAlertString(12), "alert code 12");
    EXPECT_STREQ(iacpAlertString(0), "no error");
    EXPECT_STREQ(iacpAlertString(2), "request complete");
    EXPECT_STREQ(iacpAlertString(11), "unexpected frame data");

    IACP_WIRE_FRAME notAlert = alert;
    notAlert.type = IACP_TYPE_NOP;
    IACP_WIRE_FRAME empty = alert;
    empty.payload_len = 0;
    IACP_WIRE_FRAME shortPayload = alert;
    shortPayload.payload_len = 2;
    for (const IACP_WIRE_FRAME* f :
         {&notAlert, &empty, &shortPayload, static_cast<IACP_WIRE_FRAME*>(nullptr)}) {
        platSetError(0);
        EXPECT_EQ(iacpAlertCode(f), -1);
        EXPECT_EQ(platGetError(), WSAEINVAL);
    }
}

TEST(IacpErrorClass, TransientCodesAreRetriedAndEverythingElseIsFatal) {
    for (int code : {WSAEINTR, WSAENETDOWN, WSAENETUNREACH, WSAENETRESET, WSAECONNRESET,
                     WSAETIMEDOUT, WSAECONNREFUSED, WSAEHOSTDOWN, WSAEHOSTUNREACH}) {
        EXPECT_EQ(iacpErrorClass(code), IACP_ERR_TRANSIENT) << code;
    }
    for (int code : {0, ENOENT_CODE, WSAEINVAL, WSAEPROTOTYPE, WSAECONNABORTED, WSAEWOULDBLOCK}) {
        EXPECT_EQ(iacpErrorClass(code), IACP_ERR_FATAL) << code;
    }
    EXPECT_STREQ(iacpErrorClassString(0), "NONE");
    EXPECT_STREQ(iacpErrorClassString(1), "TRANSIENT");
    EXPECT_STREQ(iacpErrorClassString(2), "NON-FATAL");
    EXPECT_STREQ(iacpErrorClassString(3), "FATAL");
    EXPECT_STREQ(iacpErrorClassString(4), "UNKNOWN?");
}

}  // namespace
