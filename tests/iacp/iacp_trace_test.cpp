// The traffic log of a handshake and one frame each way, byte for byte (the time stamps by
// pattern).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "iacp/iacp.h"
#include "platform/clock.h"
#include "tools/iacp_peer.h"
#include "support/log_capture.h"

namespace fs = std::filesystem;
using iacptest::IacpPeer;
using iacptest::PeerFrame;

namespace {

// The client's process id as it appears in its handshake dump: hex bytes and their text.
std::string pidHex() {
    uint32_t pid = platProcessId();
    char hex[16];
    std::snprintf(hex, sizeof hex, "%02x %02x %02x %02x", pid >> 24, (pid >> 16) & 0xff,
                  (pid >> 8) & 0xff, pid & 0xff);
    return hex;
}

std::string pidText() {
    uint32_t pid = platProcessId();
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned c = (pid >> shift) & 0xff;
        text += (c >= 0x20 && c < 0x7f) ? char(c) : '.';
    }
    return text;
}

TEST(IacpTrace, HandshakeAndOneFrameEachWayAreLoggedByteForByte) {
    const fs::path trace =
        fs::temp_directory_path() / ("found-trace-" + std::to_string(platProcessId()) + ".log");
    fs::remove(trace);
    const std::vector<uint8_t> request = {'I', 'S', 'I', ' ', 'r', 'e', 'q', 'u', 'e', 's',
                                          't', ' ', 'p', 'a', 'y', 'l', 'o', 'a', 'd', '!'};
    PeerFrame received;
    IacpPeer peer;
    peer.start([&](IacpPeer& p) {
        EXPECT_TRUE(p.acceptAndHandshake());
        EXPECT_TRUE(p.readFrame(&received));
        EXPECT_TRUE(p.sendFrame(1012, {0x00, 'x', 0xff}));
        EXPECT_TRUE(p.waitForClientClose());
    });

    iacptest::CapturedLog log;
    IACP_OPTIONS options;
    const std::string traceFile = trace.string();
    options.tracefile = traceFile.c_str();
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, log.handle(), 0);
    ASSERT_NE(iacp, nullptr);
    EXPECT_TRUE(log.contains("logging traffic to " + trace.string()));
    const std::string name = iacp->peer_name;

    IACP_WIRE_FRAME out;
    out.type = 1001;
    out.payload = const_cast<uint8_t*>(request.data());
    out.payload_len = uint32_t(request.size());
    ASSERT_TRUE(iacpSendFrame(iacp, &out));
    uint8_t buf[64];
    IACP_WIRE_FRAME in;
    ASSERT_TRUE(iacpRecvFrame(iacp, &in, buf, sizeof buf));
    iacpClose(iacp);
    peer.join();
    EXPECT_EQ(received.payload, request);

    std::stringstream ss;
    {
        std::ifstream file(trace, std::ios::binary);
        ss << file.rdbuf();
    }
    fs::remove(trace);
    // Every entry begins with the local time "%Y:%j-%H:%M:%S".
    const std::string text = std::regex_replace(
        ss.str(),
        std::regex("^[0-9]{4}:[0-9]{3}-[0-9]{2}:[0-9]{2}:[0-9]{2}: ", std::regex::multiline),
        "T: ");

    const std::string pad4(12 * 3, ' ');
    const std::string pad8(8 * 3, ' ');
    const std::string before = "pid?@" + name;
    const std::string after = "pid4242@" + name;
    const std::string expected =
        "T: SEND preamble peer=" + before +
        " seqno=0 type=1 payload len=52\n"
        "00000000 49 41 43 50 00 00 00 00 00 00 00 01 00 00 00 34 | IACP...........4\n"
        "T: SEND payload (52 bytes)\n"
        "00000000 00 00 00 04 00 00 00 02 00 00 00 04 " +
        pidHex() + " | ............" + pidText() +
        "\n"
        "00000010 00 00 00 03 00 00 00 04 00 00 75 30 00 00 00 04 | ..........u0....\n"
        "00000020 00 00 00 04 00 00 00 00 00 00 00 05 00 00 00 04 | ................\n"
        "00000030 00 00 00 00" +
        pad4 +
        " | ....\n"
        "T: SEND signature preamble peer=" +
        before +
        " seqno=0 id=0 len=0\n"
        "00000000 00 00 00 00 00 00 00 00" +
        pad8 +
        " | ........\n"
        "T: RECV preamble peer=" +
        before +
        " seqno=0 type=1 payload len=52\n"
        "00000000 49 41 43 50 00 00 00 00 00 00 00 01 00 00 00 34 | IACP...........4\n"
        "T: RECV payload (52 bytes)\n"
        "00000000 00 00 00 04 00 00 00 02 00 00 00 04 00 00 10 92 | ................\n"
        "00000010 00 00 00 03 00 00 00 04 00 00 75 30 00 00 00 04 | ..........u0....\n"
        "00000020 00 00 00 04 00 00 00 00 00 00 00 05 00 00 00 04 | ................\n"
        "00000030 00 00 00 00" +
        pad4 +
        " | ....\n"
        "T: RECV signature preamble peer=" +
        before +
        " seqno=0 id=0 len=0\n"
        "00000000 00 00 00 00 00 00 00 00" +
        pad8 +
        " | ........\n"
        "T: SEND preamble peer=" +
        after +
        " seqno=1 type=1001 payload len=20\n"
        "00000000 49 41 43 50 00 00 00 01 00 00 03 e9 00 00 00 14 | IACP............\n"
        "T: SEND payload (20 bytes)\n"
        "00000000 49 53 49 20 72 65 71 75 65 73 74 20 70 61 79 6c | ISI request payl\n"
        "00000010 6f 61 64 21" +
        pad4 +
        " | oad!\n"
        "T: SEND signature preamble peer=" +
        after +
        " seqno=1 id=0 len=0\n"
        "00000000 00 00 00 00 00 00 00 00" +
        pad8 +
        " | ........\n"
        "T: RECV preamble peer=" +
        after +
        " seqno=1 type=1012 payload len=3\n"
        "00000000 49 41 43 50 00 00 00 01 00 00 03 f4 00 00 00 03 | IACP............\n"
        "T: RECV payload (3 bytes)\n"
        "00000000 00 78 ff" +
        std::string(13 * 3, ' ') +
        " | .x.\n"
        "T: RECV signature preamble peer=" +
        after +
        " seqno=1 id=0 len=0\n"
        "00000000 00 00 00 00 00 00 00 00" +
        pad8 + " | ........\n";
    EXPECT_EQ(text, expected);
}

TEST(IacpTrace, UnopenableTrafficLogIsIgnored) {
    IacpPeer peer;
    peer.start([](IacpPeer& p) {
        EXPECT_TRUE(p.acceptAndHandshake());
        EXPECT_TRUE(p.waitForClientClose());
    });
    iacptest::CapturedLog log(LOG_WARNING);
    IACP_OPTIONS options;
    options.tracefile = "/nonexistent-dir/trace.log";
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, log.handle(), 0);
    ASSERT_NE(iacp, nullptr);
    EXPECT_EQ(iacp->trace, nullptr);
    EXPECT_TRUE(log.contains("iacpInitHandle: fopen: /nonexistent-dir/trace.log: "));
    EXPECT_TRUE(log.contains("(ignored)"));
    iacpClose(iacp);
    peer.join();
}

}  // namespace
