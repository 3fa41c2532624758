// iacp-loopback: shows the IACP connection layer at work without a real server.
//
// Starts an IACP peer inside the process on a loopback port, connects to it with iacpOpen
// (connect and handshake), sends one frame and receives one, closes, and prints the traffic log
// the connection wrote.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "iacp/iacp.h"
#include "logio/logio.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "tools/iacp_peer.h"
#include "commandline/program.h"
#include "util/util.h"

namespace {

constexpr uint32_t kDemoRequestType = 1001;  // an ISI-range frame type, for show
constexpr uint32_t kDemoReplyType = 1012;

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Connects to an in-process IACP peer on 127.0.0.1, handshakes, sends one frame and\n"
        "receives one, then prints the connection's traffic log."};
    programAddVersion(app, "iacp-loopback");
    std::string tracePath;
    bool debug = false;
    bool keep = false;
    app.add_option("--trace", tracePath, "traffic log file (default: a file under /tmp)");
    app.add_flag("--debug", debug, "show the library's debug messages (log level 7)");
    app.add_flag("--keep", keep, "keep the traffic log file instead of removing it");
    if (int rc = programParse(app, argc, argv); rc >= 0) return rc;

    if (tracePath.empty()) {
        tracePath = "/tmp/iacp-loopback-" + std::to_string(platProcessId()) + ".trace";
    }
    std::remove(tracePath.c_str());

    LOGIO log;
    if (!logioInit(&log, "stdout", nullptr, "iacp-loopback")) {
        std::cerr << "iacp-loopback: log: " << platErrorText(platGetError()) << "\n";
        return 1;
    }
    utilNetworkInit();

    // The stand-in server: answers the handshake, reads one frame, answers with one.
    iacptest::IacpPeer peer;
    if (!peer.listening()) {
        std::cerr << "iacp-loopback: cannot listen on 127.0.0.1: " << platErrorText(platGetError())
                  << "\n";
        return 1;
    }
    bool peerOk = false;
    peer.start([&](iacptest::IacpPeer& p) {
        iacptest::HandshakeReply reply;
        reply.pid = platProcessId();
        iacptest::PeerFrame request;
        peerOk = p.acceptAndHandshake(reply) && p.readFrame(&request) &&
                 p.sendFrame(kDemoReplyType, bytesOf("reply from the loopback peer")) &&
                 p.waitForClientClose();
    });

    IACP_OPTIONS options;
    options.tracefile = tracePath.c_str();
    std::cout << "connecting to 127.0.0.1:" << peer.port() << "\n";
    IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, &log, debug ? 1 : 0);
    if (iacp == nullptr) {
        std::cerr << "iacp-loopback: iacpOpen failed: " << platErrorText(platGetError()) << "\n";
        peer.closeListener();
        peer.join();
        return 1;
    }
    std::cout << "connected to " << iacpPeerIdent(iacp) << ", I/O time-out " << iacpGetTimeout(iacp)
              << " ms\n";

    std::vector<uint8_t> request = bytesOf("hello from the client");
    IACP_WIRE_FRAME out;
    out.type = kDemoRequestType;
    out.payload = request.data();
    out.payload_len = uint32_t(request.size());
    bool ok = iacpSendFrame(iacp, &out);
    if (ok) std::cout << "sent frame seqno " << out.seqno << " type " << out.type << "\n";

    uint8_t buf[64];
    IACP_WIRE_FRAME in;
    ok = ok && iacpRecvFrame(iacp, &in, buf, sizeof buf);
    if (ok) {
        std::cout << "received frame seqno " << in.seqno << " type " << in.type << ": \""
                  << std::string(reinterpret_cast<char*>(in.payload), in.payload_len) << "\"\n";
    } else {
        std::cerr << "iacp-loopback: exchange failed: " << platErrorText(platGetError()) << "\n";
    }
    iacpClose(iacp);
    peer.join();
    ok = ok && peerOk;

    std::cout << "\ntraffic log " << tracePath << ":\n";
    std::ifstream trace(tracePath);
    std::cout << trace.rdbuf();
    if (!keep) std::remove(tracePath.c_str());
    return ok ? 0 : 1;
}
