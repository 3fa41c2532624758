#include "server/peer.h"

#include <algorithm>
#include <cstring>

#include "iacp/iacp.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "util/util.h"

namespace isisim {

namespace {

// Longest single wait, so that a stop is noticed within this many milliseconds.
constexpr int64_t kWaitSliceMs = 100;

// A write is what is queued, then a frame's preamble, payload and signature preamble.
constexpr int kMaxWritePieces = 4;
// Queued frames go out in one write once they reach this many bytes.
constexpr size_t kQueueBytes = 64 * 1024;
// A payload of more bytes is not copied into the queue: it goes out from where it lies.
constexpr uint32_t kMaxQueuedPayload = 4096;

bool wouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR || error == EAGAIN_CODE;
}

}  // namespace

SimPeer::SimPeer(PLAT_SOCKET sd, const std::atomic<bool>* stopping, uint32_t ioTimeoutMs)
    : sd_(sd), stopping_(stopping), ioTimeoutMs_(ioTimeoutMs) {
    platSetNonBlocking(sd_, true);
    platSetNoDelay(sd_, true);
}

SimPeer::~SimPeer() {
    platShutdownSocket(sd_);
    platCloseSocket(sd_);
}

SimIo SimPeer::readAll(uint8_t* buf, size_t n, bool idleStart) {
    size_t got = 0;
    double deadline = platNow() + ioTimeoutMs_ / 1000.0;
    while (got < n) {
        if (stopping_->load()) return SimIo::Stopped;
        long rc = platRecv(sd_, buf + got, n - got);
        if (rc > 0) {
            if (got == 0 && idleStart) deadline = platNow() + ioTimeoutMs_ / 1000.0;
            got += size_t(rc);
            continue;
        }
        if (rc == 0) return SimIo::Closed;
        if (!wouldBlock(platGetError())) return SimIo::Failed;
        if (!(idleStart && got == 0) && platNow() > deadline) return SimIo::Failed;
        if (platWaitReadable(sd_, kWaitSliceMs) < 0 && !wouldBlock(platGetError()))
            return SimIo::Failed;
    }
    return SimIo::Ok;
}

SimIo SimPeer::writeAll(const PLAT_IOVEC* pieces, int count) {
    uint64_t total = 0;
    for (int i = 0; i < count; ++i) total += pieces[i].len;
    uint64_t put = 0;
    double deadline = platNow() + ioTimeoutMs_ / 1000.0;
    while (put < total) {
        if (stopping_->load()) return SimIo::Stopped;
        PLAT_IOVEC left[kMaxWritePieces];
        int nleft = platIovecRemainder(pieces, count, put, left);
        long rc = platSendNow(sd_, left, nleft);
        if (rc > 0) {
            put += uint64_t(rc);
            continue;
        }
        if (rc == 0 || !wouldBlock(platGetError())) return SimIo::Failed;
        if (platNow() > deadline) return SimIo::Failed;
        if (platWaitWritable(sd_, kWaitSliceMs) < 0 && !wouldBlock(platGetError()))
            return SimIo::Failed;
    }
    return SimIo::Ok;
}

SimIo SimPeer::recvFrame(SimFrame* frame, uint32_t maxPayload, bool idle) {
    uint8_t preamble[IACP_PREAMBLE_LEN];
    SimIo io = readAll(preamble, sizeof preamble, idle);
    if (io != SimIo::Ok) return io;
    if (std::memcmp(preamble, "IACP", IACP_TAG_LEN) != 0) return SimIo::BadFrame;
    uint32_t length = 0;
    utilUnpackUINT32(preamble + 4, &frame->seqno);
    utilUnpackUINT32(preamble + 8, &frame->type);
    utilUnpackUINT32(preamble + 12, &length);
    if (length > maxPayload) return SimIo::BadFrame;
    frame->payload.resize(length);
    if ((io = readAll(frame->payload.data(), length, false)) != SimIo::Ok) return io;
    uint8_t sigPreamble[IACP_SIGPREAMBLE_LEN];
    if ((io = readAll(sigPreamble, sizeof sigPreamble, false)) != SimIo::Ok) return io;
    uint32_t sigLen = 0;
    utilUnpackUINT32(sigPreamble + 4, &sigLen);
    if (sigLen > IACP_MAXSIGLEN) return SimIo::BadFrame;
    uint8_t sig[IACP_MAXSIGLEN];
    return readAll(sig, sigLen, false);
}

SimIo SimPeer::sendFrame(uint32_t type, const uint8_t* payload, uint32_t length, const char* tag) {
    uint8_t preamble[IACP_PREAMBLE_LEN];
    packPreamble(preamble, tag, type, length);
    // No signature: id 0, length 0.
    uint8_t sigPreamble[IACP_SIGPREAMBLE_LEN] = {};
    // Whatever is queued, then the frame with its payload from where it lies: one write.
    PLAT_IOVEC pieces[kMaxWritePieces] = {{pending_.data(), pending_.size()},
                                          {preamble, sizeof preamble},
                                          {const_cast<uint8_t*>(payload), length},
                                          {sigPreamble, sizeof sigPreamble}};
    SimIo io = writeAll(pieces, kMaxWritePieces);
    pending_.clear();
    if (io == SimIo::Ok) ++framesSent_;
    return io;
}

SimIo SimPeer::queueFrame(uint32_t type, const uint8_t* payload, uint32_t length) {
    if (length > kMaxQueuedPayload) return sendFrame(type, payload, length);
    size_t at = pending_.size();
    pending_.resize(at + IACP_PREAMBLE_LEN + length + IACP_SIGPREAMBLE_LEN);
    uint8_t* p = pending_.data() + at;
    packPreamble(p, "IACP", type, length);
    if (length > 0) std::memcpy(p + IACP_PREAMBLE_LEN, payload, length);
    std::memset(p + IACP_PREAMBLE_LEN + length, 0, IACP_SIGPREAMBLE_LEN);
    ++framesSent_;
    return pending_.size() >= kQueueBytes ? flush() : SimIo::Ok;
}

SimIo SimPeer::flush() {
    if (pending_.empty()) return SimIo::Ok;
    PLAT_IOVEC piece{pending_.data(), pending_.size()};
    SimIo io = writeAll(&piece, 1);
    pending_.clear();
    return io;
}

void SimPeer::packPreamble(uint8_t* out, const char* tag, uint32_t type, uint32_t length) {
    std::memcpy(out, tag, IACP_TAG_LEN);
    utilPackUINT32(out + 4, seqno_++);
    utilPackUINT32(out + 8, type);
    utilPackUINT32(out + 12, length);
}

SimIo SimPeer::sendValueFrame(uint32_t type, uint32_t value) {
    uint8_t payload[4];
    utilPackUINT32(payload, value);
    return sendFrame(type, payload, sizeof payload);
}

SimIo SimPeer::idle(int64_t milliseconds) {
    if (SimIo io = flush(); io != SimIo::Ok) return io;
    double until = platNow() + milliseconds / 1000.0;
    for (;;) {
        if (stopping_->load()) return SimIo::Stopped;
        auto left = int64_t((until - platNow()) * 1000.0);
        if (left <= 0) return SimIo::Ok;
        int rc = platWaitReadable(sd_, std::min(left, kWaitSliceMs));
        if (rc < 0 && !wouldBlock(platGetError())) return SimIo::Failed;
        if (rc > 0) {
            uint8_t scratch[512];
            long got = platRecv(sd_, scratch, sizeof scratch);
            if (got == 0) return SimIo::Closed;
            if (got < 0 && !wouldBlock(platGetError())) return SimIo::Failed;
        }
    }
}

}  // namespace isisim
