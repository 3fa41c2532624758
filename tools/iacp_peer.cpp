// The loopback IACP peer of the tests.
#include "tools/iacp_peer.h"

#include <cstring>

#include "platform/errors.h"
#include "util/util.h"

namespace iacptest {

namespace {

constexpr size_t kPreambleLen = 16;
constexpr size_t kSigPreambleLen = 8;
// The peer refuses to swallow absurd lengths from a broken client.
constexpr uint32_t kMaxPeerPayload = 1u << 20;

uint32_t getBe32(const uint8_t* p) {
    uint32_t value = 0;
    utilUnpackUINT32(p, &value);
    return value;
}

}  // namespace

std::vector<uint8_t> be32(uint32_t value) {
    std::vector<uint8_t> out(4);
    utilPackUINT32(out.data(), value);
    return out;
}

std::vector<uint8_t> encodeFrame(uint32_t seqno, uint32_t type, const std::vector<uint8_t>& payload,
                                 uint32_t sigId, const std::vector<uint8_t>& sig) {
    std::vector<uint8_t> out = {'I', 'A', 'C', 'P'};
    for (uint32_t v : {seqno, type, uint32_t(payload.size())}) {
        auto b = be32(v);
        out.insert(out.end(), b.begin(), b.end());
    }
    out.insert(out.end(), payload.begin(), payload.end());
    for (uint32_t v : {sigId, uint32_t(sig.size())}) {
        auto b = be32(v);
        out.insert(out.end(), b.begin(), b.end());
    }
    out.insert(out.end(), sig.begin(), sig.end());
    return out;
}

std::vector<uint8_t> encodeHandshakePayload(const HandshakeReply& reply) {
    std::vector<HandshakeParam> params = reply.extra;
    params.push_back({kParamPid, be32(reply.pid)});
    params.push_back({kParamTimeout, be32(reply.timeout)});
    params.push_back({kParamSndbuf, be32(reply.sndbuf)});
    params.push_back({kParamRcvbuf, be32(reply.rcvbuf)});
    std::vector<uint8_t> out = be32(uint32_t(params.size()));
    for (const auto& param : params) {
        for (uint32_t v : {param.type, uint32_t(param.value.size())}) {
            auto b = be32(v);
            out.insert(out.end(), b.begin(), b.end());
        }
        out.insert(out.end(), param.value.begin(), param.value.end());
    }
    return out;
}

bool decodeHandshakePayload(const std::vector<uint8_t>& payload,
                            std::vector<std::pair<uint32_t, uint32_t>>* params) {
    if (payload.size() < 4 || params == nullptr) return false;
    params->clear();
    uint32_t count = getBe32(payload.data());
    size_t pos = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (payload.size() - pos < 8) return false;
        uint32_t type = getBe32(&payload[pos]);
        uint32_t len = getBe32(&payload[pos + 4]);
        pos += 8;
        if (len != 4 || payload.size() - pos < 4) return false;
        params->emplace_back(type, getBe32(&payload[pos]));
        pos += 4;
    }
    return pos == payload.size();
}

IacpPeer::IacpPeer(uint16_t port) {
    listener_ = platListenTcp("127.0.0.1", port, 4);
    if (listener_ != PLAT_INVALID_SOCKET) port_ = platLocalPort(listener_);
}

IacpPeer::~IacpPeer() {
    join();
    closeClient();
    closeListener();
}

void IacpPeer::start(std::function<void(IacpPeer&)> script) {
    join();
    thread_ = std::thread([this, script = std::move(script)] { script(*this); });
}

void IacpPeer::join() {
    if (thread_.joinable()) thread_.join();
}

bool IacpPeer::accept(int64_t timeoutMs) {
    if (listener_ == PLAT_INVALID_SOCKET) return false;
    if (platWaitReadable(listener_, timeoutMs) != 1) return false;
    closeClient();
    client_ = platAccept(listener_);
    seqno_ = 0;
    return client_ != PLAT_INVALID_SOCKET;
}

bool IacpPeer::answerHandshake(const HandshakeReply& reply) {
    if (!readFrame(&clientHandshake_) || clientHandshake_.type != kTypeHandshake) return false;
    return sendFrame(reply.frameType, encodeHandshakePayload(reply));
}

bool IacpPeer::acceptAndHandshake(const HandshakeReply& reply) {
    return accept() && answerHandshake(reply);
}

bool IacpPeer::readBytes(size_t n, std::vector<uint8_t>* out, int64_t timeoutMs) {
    out->assign(n, 0);
    size_t got = 0;
    while (got < n) {
        if (platWaitReadable(client_, timeoutMs) != 1) return false;
        long rc = platRecv(client_, out->data() + got, n - got);
        if (rc <= 0) return false;
        got += size_t(rc);
    }
    return true;
}

bool IacpPeer::readFrame(PeerFrame* frame, int64_t timeoutMs) {
    std::vector<uint8_t> preamble;
    if (!readBytes(kPreambleLen, &preamble, timeoutMs)) return false;
    if (std::memcmp(preamble.data(), "IACP", 4) != 0) return false;
    frame->seqno = getBe32(&preamble[4]);
    frame->type = getBe32(&preamble[8]);
    uint32_t len = getBe32(&preamble[12]);
    if (len > kMaxPeerPayload || !readBytes(len, &frame->payload, timeoutMs)) return false;
    std::vector<uint8_t> sigpreamble;
    if (!readBytes(kSigPreambleLen, &sigpreamble, timeoutMs)) return false;
    frame->sigId = getBe32(&sigpreamble[0]);
    uint32_t siglen = getBe32(&sigpreamble[4]);
    return siglen <= kMaxPeerPayload && readBytes(siglen, &frame->sig, timeoutMs);
}

bool IacpPeer::waitForClientClose(int64_t timeoutMs) {
    uint8_t buf[512];
    for (;;) {
        if (platWaitReadable(client_, timeoutMs) != 1) return false;
        long rc = platRecv(client_, buf, sizeof buf);
        if (rc == 0) return true;
        if (rc < 0) return platGetError() == WSAECONNRESET;
    }
}

bool IacpPeer::sendFrame(uint32_t type, const std::vector<uint8_t>& payload, uint32_t sigId,
                         const std::vector<uint8_t>& sig) {
    return sendRaw(encodeFrame(seqno_++, type, payload, sigId, sig));
}

bool IacpPeer::sendRaw(const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (platWaitWritable(client_, kPeerWaitMs) != 1) return false;
        long rc = platSend(client_, bytes.data() + sent, bytes.size() - sent);
        if (rc <= 0) return false;
        sent += size_t(rc);
    }
    return true;
}

void IacpPeer::closeClient() {
    if (client_ == PLAT_INVALID_SOCKET) return;
    platCloseSocket(client_);
    client_ = PLAT_INVALID_SOCKET;
}

void IacpPeer::closeListener() {
    if (listener_ == PLAT_INVALID_SOCKET) return;
    platCloseSocket(listener_);
    listener_ = PLAT_INVALID_SOCKET;
}

}  // namespace iacptest
