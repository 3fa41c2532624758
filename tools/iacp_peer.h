// A small in-process IACP peer on a loopback socket, standing in for an ISI server in tests.
//
// The peer listens on 127.0.0.1 and runs a script on a thread of its own while the test's thread
// talks to it through the client library:
//
//     iacptest::IacpPeer peer;
//     peer.start([](iacptest::IacpPeer& p) {
//         EXPECT_TRUE(p.acceptAndHandshake());           // answer the client's handshake
//         EXPECT_TRUE(p.sendFrame(1012, payload));        // then send what the test needs
//     });
//     IACP_CONNECTION* iacp = iacpOpen("127.0.0.1", peer.port(), &options, nullptr, 0);
//     ...
//     peer.join();
//
// Every wait of the peer is bounded (kPeerWaitMs by default), so a client that misbehaves makes
// the script's expectations fail instead of hanging the test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace iacptest {

// A generous bound for any single wait of the peer.
inline constexpr int64_t kPeerWaitMs = 10000;

inline constexpr uint32_t kTypeHandshake = 1;
inline constexpr uint32_t kParamPid = 2;
inline constexpr uint32_t kParamTimeout = 3;
inline constexpr uint32_t kParamSndbuf = 4;
inline constexpr uint32_t kParamRcvbuf = 5;

// One frame as it travelled on the wire.
struct PeerFrame {
    uint32_t seqno = 0;
    uint32_t type = 0;
    std::vector<uint8_t> payload;
    uint32_t sigId = 0;
    std::vector<uint8_t> sig;
};

// A handshake parameter as (type, value bytes); the length is the size of the value.
struct HandshakeParam {
    uint32_t type = 0;
    std::vector<uint8_t> value;
};

// What the peer answers to a client's handshake.
struct HandshakeReply {
    uint32_t frameType = kTypeHandshake;  // anything else makes the handshake fail
    uint32_t pid = 4242;
    uint32_t timeout = 30000;  // milliseconds
    uint32_t sndbuf = 0;
    uint32_t rcvbuf = 0;
    std::vector<HandshakeParam> extra;  // sent before the four known parameters
};

// Wire encodings, for tests that send raw or malformed bytes.
std::vector<uint8_t> encodeFrame(uint32_t seqno, uint32_t type, const std::vector<uint8_t>& payload,
                                 uint32_t sigId = 0, const std::vector<uint8_t>& sig = {});
std::vector<uint8_t> encodeHandshakePayload(const HandshakeReply& reply);
std::vector<uint8_t> be32(uint32_t value);
// The values of a handshake payload by parameter type (as the client sent them).
bool decodeHandshakePayload(const std::vector<uint8_t>& payload,
                            std::vector<std::pair<uint32_t, uint32_t>>* params);

class IacpPeer {
  public:
    // Listens on 127.0.0.1:port; port 0 picks a free one.
    explicit IacpPeer(uint16_t port = 0);
    ~IacpPeer();
    IacpPeer(const IacpPeer&) = delete;
    IacpPeer& operator=(const IacpPeer&) = delete;

    bool listening() const { return listener_ != PLAT_INVALID_SOCKET; }
    uint16_t port() const { return port_; }

    // Runs script(*this) on the peer's thread; join() waits for it (the destructor joins too).
    void start(std::function<void(IacpPeer&)> script);
    void join();

    // Accepts one client connection.
    bool accept(int64_t timeoutMs = kPeerWaitMs);
    // Reads the client's handshake frame (type 1) and answers it.
    bool answerHandshake(const HandshakeReply& reply = {});
    bool acceptAndHandshake(const HandshakeReply& reply = {});
    // The client's handshake as last read by answerHandshake.
    const PeerFrame& clientHandshake() const { return clientHandshake_; }

    // Reads one whole frame from the client.
    bool readFrame(PeerFrame* frame, int64_t timeoutMs = kPeerWaitMs);
    // Reads exactly n raw bytes.
    bool readBytes(size_t n, std::vector<uint8_t>* out, int64_t timeoutMs = kPeerWaitMs);
    // True once the client has closed its end (everything it sent before is discarded).
    bool waitForClientClose(int64_t timeoutMs = kPeerWaitMs);

    // Sends a frame with the peer's own next seqno (0, 1, ...).
    bool sendFrame(uint32_t type, const std::vector<uint8_t>& payload = {}, uint32_t sigId = 0,
                   const std::vector<uint8_t>& sig = {});
    bool sendRaw(const std::vector<uint8_t>& bytes);

    // Closes the accepted connection, or stops listening.
    void closeClient();
    void closeListener();

  private:
    PLAT_SOCKET listener_ = PLAT_INVALID_SOCKET;
    PLAT_SOCKET client_ = PLAT_INVALID_SOCKET;
    uint16_t port_ = 0;
    uint32_t seqno_ = 0;
    PeerFrame clientHandshake_;
    std::thread thread_;
};

}  // namespace iacptest
