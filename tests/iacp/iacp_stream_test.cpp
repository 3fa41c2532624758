// Frames over a real socket however the byte stream is cut: the client reads ahead of the frame
// it is reading and writes each frame in one gathered write, and neither may show.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

// The frames the peer sends, by payload length and signature length: empty, small, a full
// signature, and payloads on both sides of the client's direct-read size and at the ISI limit.
struct FrameShape {
    uint32_t payload;
    uint32_t sig;
};
const std::vector<FrameShape> kShapes = {{0, 0},     {5, 0},     {8, 40},   {4095, 0},  {4096, 0},
                                         {1, 0},     {32768, 0}, {3, 0},    {20000, 7}, {0, 0},
                                         {24640, 0}, {16, 0},    {70000, 0}};

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(seed * 131 + i * 7 + (i >> 8));
    return out;
}

// The peer's frames (seqno 1 on: its handshake reply was frame 0) as one byte stream.
std::vector<uint8_t> streamOf(const std::vector<FrameShape>& shapes) {
    std::vector<uint8_t> wire;
    for (size_t i = 0; i < shapes.size(); ++i) {
        auto frame = iacptest::encodeFrame(uint32_t(i + 1), uint32_t(1000 + i),
                                           pattern(shapes[i].payload, uint32_t(i)), uint32_t(i),
                                           pattern(shapes[i].sig, uint32_t(i + 50)));
        wire.insert(wire.end(), frame.begin(), frame.end());
    }
    return wire;
}

// How the peer cuts the stream: the sizes of its writes in turn (repeated), 0 for one write of
// everything. A short pause after each write lets the pieces arrive apart.
struct Cutting {
    const char* name;
    std::vector<size_t> writes;
};

void PrintTo(const Cutting& c, std::ostream* os) {
    *os << c.name;
}

class IacpStream : public ::testing::TestWithParam<Cutting> {};

TEST_P(IacpStream, EveryFrameArrivesWholeAndInOrderThenThePeersCloseIsAReset) {
    const Cutting& cutting = GetParam();
    const std::vector<uint8_t> wire = streamOf(kShapes);
    CapturedLog log(LOG_DEBUG);
    IacpPeer peer;
    peer.start([&](IacpPeer& p) {
        // A client that lost bytes fails in seconds, not after the default 30; the 70000-byte
        // frame cut into 16-byte writes still has time to arrive whole.
        HandshakeReply reply;
        reply.timeout = 20000;
        ASSERT_TRUE(p.acceptAndHandshake(reply));
        if (cutting.writes.empty()) {
            EXPECT_TRUE(p.sendRaw(wire));
        } else {
            size_t at = 0;
            for (size_t k = 0; at < wire.size(); ++k) {
                size_t n = std::min(cutting.writes[k % cutting.writes.size()], wire.size() - at);
                EXPECT_TRUE(p.sendRaw(
                    std::vector<uint8_t>(wire.begin() + long(at), wire.begin() + long(at + n))));
                at += n;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        p.closeClient();
    });
    IACP_OPTIONS options;
    options.maxerr = IACP_ERR_NONE;
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, log.handle(), 0);
    ASSERT_NE(iacp, nullptr);
    log.clear();
    const uint64_t bytesBefore = iacp->recv_stats.bytes;

    std::vector<uint8_t> buf(70000 + 64, 0xEE);
    for (size_t i = 0; i < kShapes.size(); ++i) {
        IACP_WIRE_FRAME frame;
        ASSERT_TRUE(iacpRecvFrame(iacp, &frame, buf.data(), 70000)) << "frame " << i;
        EXPECT_EQ(frame.seqno, i + 1);
        EXPECT_EQ(frame.type, 1000 + i);
        EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + frame.payload_len),
                  pattern(kShapes[i].payload, uint32_t(i)))
            << "frame " << i;
        EXPECT_EQ(frame.sig_id, i);
        EXPECT_EQ(std::vector<uint8_t>(frame.sig, frame.sig + frame.sig_len),
                  pattern(kShapes[i].sig, uint32_t(i + 50)));
        for (size_t k = 70000; k < buf.size(); ++k) ASSERT_EQ(buf[k], 0xEE) << "byte " << k;
    }
    EXPECT_EQ(iacp->recv_stats.bytes - bytesBefore, wire.size());
    EXPECT_EQ(iacp->recv_stats.frames, kShapes.size() + 1);  // and the handshake reply

    peer.join();
    IACP_WIRE_FRAME after;
    EXPECT_FALSE(iacpRecvFrame(iacp, &after, buf.data(), 70000));
    EXPECT_EQ(platGetError(), WSAECONNRESET);
    // Only the read's own debug line; the frame read adds nothing for a reset.
    EXPECT_EQ(log.messages().size(), 1u);
    EXPECT_TRUE(log.contains(std::string(": read: ") + platErrorText(WSAECONNRESET)));
    iacpClose(iacp);
}

INSTANTIATE_TEST_SUITE_P(
    Iacp, IacpStream,
    ::testing::Values(Cutting{"AllInOneWrite", {}},
                      Cutting{"SmallAndOddWrites", {1, 7, 16, 23, 4095, 9000, 3}},
                      Cutting{"PreambleSizedWrites", {16}}, Cutting{"LargeWrites", {40000}}),
    [](const auto& info) { return std::string(info.param.name); });

// A frame cut short by a stalled peer ends with the time-out and the message of the piece in
// which the bytes stopped; only a stall in the preamble is silent. A peer that trickles the rest
// of the frame, each byte well within the time-out, is held to the time-out for the whole frame.
struct StallCase {
    const char* name;
    size_t bytesSent;  // of a frame of 100 payload bytes and no signature
    const char* message;
    int trickleMs = 0;  // then the rest, one byte after each such pause
};

void PrintTo(const StallCase& c, std::ostream* os) {
    *os << c.name;
}

class IacpStall : public ::testing::TestWithParam<StallCase> {};

TEST_P(IacpStall, ReadTimesOutWithThePiecesMessage) {
    const StallCase& sc = GetParam();
    CapturedLog log(LOG_DEBUG);
    IacpPeer peer;
    peer.start([&](IacpPeer& p) {
        HandshakeReply reply;
        reply.timeout = 200;  // the server's value is taken below the floor
        ASSERT_TRUE(p.acceptAndHandshake(reply));
        auto wire = iacptest::encodeFrame(1, 1012, pattern(100, 1));
        EXPECT_TRUE(
            p.sendRaw(std::vector<uint8_t>(wire.begin(), wire.begin() + long(sc.bytesSent))));
        for (size_t at = sc.bytesSent; sc.trickleMs > 0 && at < wire.size(); ++at) {
            std::this_thread::sleep_for(std::chrono::milliseconds(sc.trickleMs));
            if (!p.sendRaw({wire[at]})) break;  // the client has given up
        }
        EXPECT_TRUE(p.waitForClientClose());
    });
    IACP_OPTIONS options;
    options.maxerr = IACP_ERR_NONE;
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, log.handle(), 0);
    ASSERT_NE(iacp, nullptr);
    log.clear();
    uint8_t buf[128];
    IACP_WIRE_FRAME frame;
    const int64_t start = platMonotonicMs();
    EXPECT_FALSE(iacpRecvFrame(iacp, &frame, buf, sizeof buf));
    EXPECT_EQ(platGetError(), WSAETIMEDOUT);
    EXPECT_LT(platMonotonicMs() - start, 200 + 300);  // the time-out, and a little
    if (sc.message[0] == '\0') {
        EXPECT_TRUE(log.messages().empty());
    } else {
        EXPECT_EQ(log.messages().size(), 1u);
        EXPECT_TRUE(log.contains(std::string(sc.message) + platErrorText(WSAETIMEDOUT)))
            << sc.message;
    }
    iacpClose(iacp);
    peer.join();
}

INSTANTIATE_TEST_SUITE_P(
    Iacp, IacpStall,
    ::testing::Values(StallCase{"InThePreamble", 9, ""},
                      StallCase{"InThePayload", 16 + 50,
                                "iacpRecvFrame: ERROR: read_to (data payload): "},
                      StallCase{"InTheSignaturePreamble", 16 + 100 + 3,
                                "iacpRecvFrame: ERROR: read_to (sig preamble): "},
                      StallCase{"TricklingThePayload", 16 + 2,
                                "iacpRecvFrame: ERROR: read_to (data payload): ", 40}),
    [](const auto& info) { return std::string(info.param.name); });

// Frames larger than the socket's send buffer leave in several partial writes, each resumed
// where the last stopped, and still arrive byte for byte.
TEST(IacpSend, FramesLargerThanTheSendBufferArriveWhole) {
    const std::vector<uint32_t> sizes = {0, 1, 70000, 1u << 20, 3};
    std::vector<PeerFrame> received(sizes.size());
    IacpPeer peer;
    peer.start([&](IacpPeer& p) {
        ASSERT_TRUE(p.acceptAndHandshake());
        for (auto& frame : received) EXPECT_TRUE(p.readFrame(&frame));
        EXPECT_TRUE(p.waitForClientClose());
    });
    IACP_OPTIONS options;
    options.maxerr = IACP_ERR_NONE;
    options.sndbuf = 4096;
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, nullptr, 0);
    ASSERT_NE(iacp, nullptr);
    const uint64_t bytesBefore = iacp->send_stats.bytes;
    uint64_t expected = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::vector<uint8_t> payload = pattern(sizes[i], uint32_t(i));
        IACP_WIRE_FRAME frame;
        frame.type = 2000 + uint32_t(i);
        frame.payload = payload.data();
        frame.payload_len = sizes[i];
        EXPECT_TRUE(iacpSendFrame(iacp, &frame)) << "frame " << i;
        expected += 16 + sizes[i] + 8;
    }
    EXPECT_EQ(iacp->send_stats.bytes - bytesBefore, expected);
    iacpClose(iacp);
    peer.join();
    for (size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(received[i].seqno, i + 1);  // after the handshake, frame 0
        EXPECT_EQ(received[i].type, 2000 + i);
        EXPECT_EQ(received[i].payload, pattern(sizes[i], uint32_t(i))) << "frame " << i;
        EXPECT_TRUE(received[i].sig.empty());
    }
}

// A frame whose payload has no buffer: the preamble has gone out, the failure is the payload's.
TEST(IacpSend, MissingPayloadBufferFailsAsThePayloadPiece) {
    CapturedLog log(LOG_DEBUG);
    std::vector<uint8_t> preamble;
    IacpPeer peer;
    peer.start([&](IacpPeer& p) {
        ASSERT_TRUE(p.acceptAndHandshake());
        EXPECT_TRUE(p.readBytes(16, &preamble));
        EXPECT_TRUE(p.waitForClientClose());
    });
    IACP_OPTIONS options;
    options.maxerr = IACP_ERR_NONE;
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, log.handle(), 0);
    ASSERT_NE(iacp, nullptr);
    log.clear();
    const uint64_t bytesBefore = iacp->send_stats.bytes;
    IACP_WIRE_FRAME frame;
    frame.type = 1000;
    frame.payload = nullptr;
    frame.payload_len = 10;
    EXPECT_FALSE(iacpSendFrame(iacp, &frame));
    EXPECT_EQ(platGetError(), WSAEINVAL);
    EXPECT_TRUE(log.contains("write_to: NULL buf!"));
    EXPECT_TRUE(log.contains(std::string(": iacpSendFrame: error sending 10 byte message: ") +
                             platErrorText(WSAEINVAL)));
    EXPECT_EQ(iacp->send_stats.bytes - bytesBefore, 16u);
    EXPECT_TRUE(iacp->send_failed);
    iacpClose(iacp);
    peer.join();
    ASSERT_EQ(preamble.size(), 16u);
    EXPECT_EQ(std::string(preamble.begin(), preamble.begin() + 4), "IACP");
}

}  // namespace
