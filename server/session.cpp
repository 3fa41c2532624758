#include "server/session.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "iacp/iacp.h"
#include "platform/clock.h"
#include "server/idacmp.h"
#include "util/util.h"

namespace isisim {

namespace {

// Request frames are a few dozen bytes; anything far larger is no request.
constexpr uint32_t kMaxRequestPayload = 4096;
// A handshake holds a count and a few 12-byte parameters.
constexpr uint32_t kMaxHandshakePayload = 1024;
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
// More items than any station list needs; a request beyond it is refused rather than stored.
constexpr size_t kMaxRequestItems = 10000;
// The payload of the oversized frame a fault sends: past the client's 32768-byte limit.
constexpr uint32_t kOversizePayload = ISI_MAX_FRAME_PAYLOAD + 1024;
// Longest single idle wait while serving, so a stop or a due heartbeat is never missed by much.
constexpr double kMaxIdleSeconds = 1.0;
// Packets sent back to back before the clock is read again and every item looked at anew.
constexpr int kMaxBurst = 256;

constexpr uint8_t kSampleSize = 4;
constexpr uint8_t kBigEndian = 1;

// The inline big-endian store of one sample: the packer of util is a call per sample.
inline void storeBigEndian(uint8_t* out, int32_t value) {
    auto v = uint32_t(value);
    out[0] = uint8_t(v >> 24);
    out[1] = uint8_t(v >> 16);
    out[2] = uint8_t(v >> 8);
    out[3] = uint8_t(v);
}

// The header of a packet of samples first..last of stream, big-endian in its own sample type;
// the caller sets compression, sample size and data bytes.
ISI_TS_PACKET packetHeader(const SimStream& stream, int64_t first, int64_t last) {
    ISI_TS_PACKET header{};
    header.name = stream.name();
    simRateToFactorMultiplier(stream.rate(), &header.factor, &header.multiplier);
    header.tofs = stream.timeOf(first);
    header.tols = stream.timeOf(last);
    header.nsamp = uint32_t(last - first + 1);
    header.datatype = stream.sampleType();
    header.order = kBigEndian;
    return header;
}

uint32_t valueOf(const SimFrame& frame) {
    uint32_t value = 0;
    if (frame.payload.size() >= 4) utilUnpackUINT32(frame.payload.data(), &value);
    return value;
}

std::string timeText(double t) {
    if (t == UTIL_TIME_UNDEFINED) return "undefined";
    if (t == UTIL_TIME_BEG_OF_LOOP) return "beg";
    if (t == UTIL_TIME_END_OF_LOOP) return "end";
    if (t == UTIL_TIME_FOREVER) return "forever";
    char buf[UTIL_TIMESTRING_STATIC_LEN + 1];
    char epoch[32];
    std::snprintf(epoch, sizeof epoch, "%.6f", t);
    return std::string(utilTimeString(t, 0, buf)) + " (" + epoch + ")";
}

const char* ioText(SimIo io) {
    switch (io) {
        case SimIo::Ok:
            return "ok";
        case SimIo::Closed:
            return "client closed the connection";
        case SimIo::Failed:
            return "I/O error or time-out";
        case SimIo::Stopped:
            return "server stopping";
        case SimIo::BadFrame:
            return "illegal frame received";
    }
    return "?";
}

}  // namespace

SimSession::SimSession(SimServer& server, PLAT_SOCKET sd, uint64_t id, std::string peerName)
    : server_(server),
      peer_(sd, server.stopping(), server.options().ioTimeoutMs),
      id_(id),
      peerName_(std::move(peerName)) {}

void SimSession::log(int level, const char* format, ...) {
    LOGIO* lp = server_.options().log;
    if (lp == nullptr) return;
    char text[LOGIO_MAX_MSG_LEN];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    logioMsg(lp, level, "connection %llu: %s", static_cast<unsigned long long>(id_), text);
}

void SimSession::finish(const char* reason) {
    if (finished_) return;
    finished_ = true;
    peer_.flush();  // packets queued before a fault or the end still go out
    log(LOG_INFO, "closed after %llu packets and %llu heartbeats: %s",
        static_cast<unsigned long long>(packets_), static_cast<unsigned long long>(heartbeats_),
        reason);
}

void SimSession::run() {
    log(LOG_INFO, "connected from %s", peerName_.c_str());
    if (!handshake()) return;
    requestLoop();
    finish("done");
}

bool SimSession::handshake() {
    SimFrame frame;
    SimIo io = peer_.recvFrame(&frame, kMaxHandshakePayload, false);
    if (io != SimIo::Ok || frame.type != IACP_TYPE_HANDSHAKE) {
        if (io == SimIo::Ok) peer_.sendValueFrame(IACP_TYPE_ALERT, IACP_ALERT_PROTOCOL_ERROR);
        finish(io == SimIo::Ok ? "first frame is no handshake" : ioText(io));
        return false;
    }
    // Parameter list: count, then (type, length, value) each; only 4-byte values interest us.
    const std::vector<uint8_t>& p = frame.payload;
    uint32_t clientPid = 0, timeout = server_.options().ioTimeoutMs;
    uint32_t count = 0;
    size_t at = 0;
    if (p.size() >= 4) at += utilUnpackUINT32(p.data(), &count);
    for (uint32_t i = 0; i < count && at + 8 <= p.size(); ++i) {
        uint32_t type = 0, length = 0, value = 0;
        at += utilUnpackUINT32(p.data() + at, &type);
        at += utilUnpackUINT32(p.data() + at, &length);
        if (length > p.size() - at) break;
        if (length == 4) utilUnpackUINT32(p.data() + at, &value);
        at += length;
        if (type == IACP_PARAM_PID) clientPid = value;
        if (type == IACP_PARAM_TIMEOUT && value > 0) timeout = value;
    }
    // The reply: our process id, the client's own time-out back, and system buffer sizes.
    const uint32_t params[][2] = {{IACP_PARAM_PID, platProcessId()},
                                  {IACP_PARAM_TIMEOUT, timeout},
                                  {IACP_PARAM_SNDBUF, 0},
                                  {IACP_PARAM_RCVBUF, 0}};
    uint8_t reply[4 + 4 * 12];
    size_t n = utilPackUINT32(reply, 4);
    for (const auto& param : params) {
        n += utilPackUINT32(reply + n, param[0]);
        n += utilPackUINT32(reply + n, 4);
        n += utilPackUINT32(reply + n, param[1]);
    }
    if ((io = peer_.sendFrame(IACP_TYPE_HANDSHAKE, reply, uint32_t(n))) != SimIo::Ok) {
        finish(ioText(io));
        return false;
    }
    log(LOG_DEBUG, "handshake with pid %lu", static_cast<unsigned long>(clientPid));
    return true;
}

void SimSession::requestLoop() {
    SimRequestRecord request;
    request.connection = id_;
    bool seqnoItems = false;
    for (;;) {
        SimFrame frame;
        SimIo io = peer_.recvFrame(&frame, kMaxRequestPayload, true);
        if (io == SimIo::BadFrame) peer_.sendValueFrame(IACP_TYPE_ALERT, IACP_ALERT_PROTOCOL_ERROR);
        if (io != SimIo::Ok) return finish(ioText(io));
        switch (frame.type) {
            case ISI_IACP_REQ_FORMAT:
                request.format = valueOf(frame);
                break;
            case ISI_IACP_REQ_COMPRESS:
                request.compress = valueOf(frame);
                break;
            case ISI_IACP_REQ_POLICY:
                request.policy = valueOf(frame);
                break;
            case ISI_IACP_REQ_TWIND:
                if (request.items.size() >= kMaxRequestItems) {
                    log(LOG_INFO, "request of more than %zu items refused", kMaxRequestItems);
                    peer_.sendValueFrame(IACP_TYPE_ALERT, IACP_ALERT_REQUEST_DENIED);
                    return finish("request refused");
                }
                if (frame.payload.size() >= size_t(ISI_TWIND_WIRE_LEN)) {
                    ISI_TWIND_ITEM item{};
                    isiUnpackTwindItem(frame.payload.data(), &item);
                    request.items.push_back(item);
                }
                break;
            case ISI_IACP_REQ_SEQNO:
                seqnoItems = true;
                break;
            case IACP_TYPE_NULL: {
                if (seqnoItems) {
                    log(LOG_INFO, "sequence-number request refused (only time windows served)");
                    peer_.sendValueFrame(IACP_TYPE_ALERT, IACP_ALERT_REQUEST_DENIED);
                    return finish("request refused");
                }
                server_.recordRequest(request);
                std::vector<Item> items;
                uint32_t compress = ISI_COMP_NONE;
                if (!acknowledge(request, &items, &compress)) return;
                serve(items, compress);
                return;
            }
            case ISI_IACP_REQ_SOH:
                sendSohList();
                break;
            case ISI_IACP_REQ_CNF:
                sendCnfList();
                break;
            case IACP_TYPE_NOP:
                break;
            case IACP_TYPE_ALERT:
                return finish("client sent an alert");
            default:
                log(LOG_INFO, "frame type %lu not supported",
                    static_cast<unsigned long>(frame.type));
                if (peer_.sendFrame(IACP_TYPE_ENOSUCH, nullptr, 0) != SimIo::Ok)
                    return finish("I/O error");
                break;
        }
    }
}

void SimSession::sendSohList() {
    double now = platNow();
    size_t sent = 0;
    for (const SimStream& s : server_.streams()) {
        ISI_STREAM_SOH soh{};
        soh.name = s.name();
        int64_t first = s.firstIndex(now), last = s.lastIndex(now);
        soh.tofs = s.timeOf(first);
        soh.tols = s.timeOf(last);
        soh.tslw = soh.tols;
        soh.nseg = s.segmentsHeld();
        soh.nrec = s.packetsHeld(now);
        uint8_t wire[ISI_STREAM_SOH_WIRE_LEN];
        isiPackStreamSoh(wire, &soh);
        if (peer_.sendFrame(ISI_IACP_STREAM_SOH, wire, sizeof wire) != SimIo::Ok) return;
        ++sent;
    }
    peer_.sendFrame(IACP_TYPE_NULL, nullptr, 0);
    log(LOG_INFO, "state-of-health list, %zu entries", sent);
}

void SimSession::sendCnfList() {
    size_t sent = 0;
    for (const SimStream& s : server_.streams()) {
        ISI_STREAM_CNF cnf{};
        cnf.name = s.name();
        simRateToFactorMultiplier(s.rate(), &cnf.factor, &cnf.multiplier);
        cnf.calib = 1.0f;
        cnf.calper = 1.0f;
        utilCopyBounded(cnf.inst, "isi-sim", sizeof cnf.inst);
        uint8_t wire[ISI_STREAM_CNF_WIRE_LEN];
        isiPackStreamCnf(wire, &cnf);
        if (peer_.sendFrame(ISI_IACP_STREAM_CNF, wire, sizeof wire) != SimIo::Ok) return;
        ++sent;
    }
    peer_.sendFrame(IACP_TYPE_NULL, nullptr, 0);
    log(LOG_INFO, "configuration list, %zu entries", sent);
}

bool SimSession::acknowledge(const SimRequestRecord& request, std::vector<Item>* items,
                             uint32_t* compress) {
    // Only generic packets are served; difference compression unless plain samples are asked.
    const uint32_t format = ISI_FORMAT_GENERIC;
    *compress = (request.compress == ISI_COMP_NONE || request.compress == ISI_COMP_UNDEF)
                    ? ISI_COMP_NONE
                    : ISI_COMP_IDA;
    log(LOG_INFO, "data request: policy %s, format %s, compress %s (served as %s), %zu items",
        isiPolicyString(request.policy), isiFormatString(request.format),
        isiCompressString(request.compress), isiCompressString(*compress), request.items.size());

    double now = platNow();
    const std::vector<SimStream>& streams = server_.streams();
    std::vector<bool> taken(streams.size(), false);
    for (size_t i = 0; i < request.items.size(); ++i) {
        const ISI_TWIND_ITEM& asked = request.items[i];
        char name[32];
        log(LOG_INFO, "item %zu: %s from %s to %s", i + 1,
            isiStreamIdString(&asked.name, name, sizeof name), timeText(asked.beg).c_str(),
            timeText(asked.end).c_str());
        for (size_t s = 0; s < streams.size(); ++s) {
            if (taken[s] || !simNameMatches(asked.name, streams[s].name())) continue;
            taken[s] = true;
            const SimStream& stream = streams[s];
            Item item;
            item.stream = &stream;
            item.ack = asked;
            item.ack.name = stream.name();
            int64_t first = stream.firstIndex(now), last = stream.lastIndex(now);
            if (asked.beg == UTIL_TIME_BEG_OF_LOOP) {
                item.next = first;
            } else if (asked.beg >= 0.0) {
                item.next = std::max(first, stream.indexAtOrAfter(asked.beg));
            } else {  // end of loop, and undefined taken the same way: the newest packet
                item.next = stream.newestPacketStart(now);
            }
            if (asked.end == UTIL_TIME_END_OF_LOOP) {
                item.end = last;
            } else if (asked.end == UTIL_TIME_BEG_OF_LOOP) {
                item.end = first;
            } else if (asked.end >= 0.0) {
                item.end = stream.indexAtOrBefore(asked.end);
            } else {  // forever, and undefined taken the same way
                item.end = kNever;
            }
            items->push_back(item);
        }
    }

    SimIo io = peer_.sendValueFrame(ISI_IACP_REQ_FORMAT, format);
    if (io == SimIo::Ok) io = peer_.sendValueFrame(ISI_IACP_REQ_COMPRESS, *compress);
    if (io == SimIo::Ok) io = peer_.sendValueFrame(ISI_IACP_REQ_POLICY, request.policy);
    for (size_t i = 0; io == SimIo::Ok && i < items->size(); ++i) {
        uint8_t wire[ISI_TWIND_WIRE_LEN];
        isiPackTwindItem(wire, &(*items)[i].ack);
        io = peer_.sendFrame(ISI_IACP_REQ_TWIND, wire, sizeof wire);
    }
    if (io == SimIo::Ok) io = peer_.sendValueFrame(IACP_TYPE_NULL, 0);
    if (io != SimIo::Ok) {
        finish(ioText(io));
        return false;
    }
    lastSend_ = platNow();
    log(LOG_INFO, "acknowledged with %zu streams", items->size());
    return true;
}

bool SimSession::applyFaults() {
    const std::vector<SimFault>& faults = server_.options().faults;
    for (size_t i = 0; i < faults.size(); ++i) {
        const SimFault& fault = faults[i];
        if (fault.afterPackets != packets_ || !server_.takeFault(i)) continue;
        switch (fault.kind) {
            case SimFaultKind::Close:
                log(LOG_INFO, "fault: closing the connection");
                finish("fault");
                return false;
            case SimFaultKind::Alert:
                log(LOG_INFO, "fault: alert %u (%s)", unsigned(fault.arg),
                    iacpAlertString(long(fault.arg)));
                peer_.sendValueFrame(IACP_TYPE_ALERT, uint32_t(fault.arg));
                finish("fault");
                return false;
            case SimFaultKind::Stall: {
                log(LOG_INFO, "fault: stalling for %g seconds", fault.arg);
                SimIo io = peer_.idle(int64_t(fault.arg * 1000.0));
                if (io != SimIo::Ok) {
                    finish(ioText(io));
                    return false;
                }
                lastSend_ = platNow();
                break;
            }
            case SimFaultKind::BadTag: {
                log(LOG_INFO, "fault: frame with a bad tag");
                uint8_t zero[4] = {};
                if (peer_.sendFrame(IACP_TYPE_NOP, zero, sizeof zero, "IACX") != SimIo::Ok) {
                    finish("I/O error");
                    return false;
                }
                break;
            }
            case SimFaultKind::Oversize: {
                log(LOG_INFO, "fault: frame with a %lu-byte payload",
                    static_cast<unsigned long>(kOversizePayload));
                std::vector<uint8_t> big(kOversizePayload, 0);
                if (peer_.sendFrame(ISI_IACP_GENERIC_TS, big.data(), kOversizePayload) !=
                    SimIo::Ok) {
                    finish("I/O error");
                    return false;
                }
                break;
            }
        }
    }
    return true;
}

SimPacketCache::Payload SimSession::buildPacket(const SimStream& stream, int64_t first,
                                                int64_t last, uint32_t compress) {
    if (stream.sampleType() != ISI_TYPE_INT32) return buildRealPacket(stream, first, last);
    auto count = int(last - first + 1);
    samples_.resize(size_t(count));
    stream.fill(first, count, samples_.data());

    ISI_TS_PACKET header = packetHeader(stream, first, last);
    header.compress = uint8_t(compress);
    header.sampsiz = kSampleSize;

    auto payload = std::make_shared<std::vector<uint8_t>>(ISI_TS_HEADER_LEN +
                                                          size_t(count) * kIdacmpMaxBytesPerSample);
    uint8_t* data = payload->data() + ISI_TS_HEADER_LEN;
    if (compress == ISI_COMP_IDA) {
        header.nbytes = uint32_t(simEncodeIdacmp(samples_.data(), size_t(count), data));
    } else {
        for (int i = 0; i < count; ++i) storeBigEndian(data + 4 * i, samples_[size_t(i)]);
        header.nbytes = uint32_t(count) * kSampleSize;
    }
    isiPackTSHeader(payload->data(), &header);
    payload->resize(ISI_TS_HEADER_LEN + header.nbytes);
    return payload;
}

// Floats travel uncompressed whatever the request asked (the difference compression is of
// integers), big-endian as everything else; the header says so.
SimPacketCache::Payload SimSession::buildRealPacket(const SimStream& stream, int64_t first,
                                                    int64_t last) {
    auto count = int(last - first + 1);
    reals_.resize(size_t(count));
    stream.fillReals(first, count, reals_.data());

    ISI_TS_PACKET header = packetHeader(stream, first, last);
    header.compress = ISI_COMP_NONE;
    const bool single = stream.sampleType() == ISI_TYPE_REAL32;
    header.sampsiz = single ? 4 : 8;
    header.nbytes = uint32_t(count) * header.sampsiz;

    auto payload = std::make_shared<std::vector<uint8_t>>(ISI_TS_HEADER_LEN + header.nbytes);
    uint8_t* data = payload->data() + ISI_TS_HEADER_LEN;
    for (int i = 0; i < count; ++i) {
        if (single)
            utilPackREAL32(data + 4 * i, REAL32(reals_[size_t(i)]));
        else
            utilPackREAL64(data + 8 * i, reals_[size_t(i)]);
    }
    isiPackTSHeader(payload->data(), &header);
    return payload;
}

bool SimSession::sendPacket(Item& item, int64_t last, uint32_t compress) {
    const SimStream& stream = *item.stream;
    SimPacketCache& cache = server_.packetCache();
    SimPacketKey key{&stream, item.next, int32_t(last - item.next + 1), compress};
    SimPacketCache::Payload payload = cache.find(key);
    if (payload == nullptr) {
        payload = buildPacket(stream, item.next, last, compress);
        cache.insert(key, payload);
    }
    SimIo io = peer_.queueFrame(ISI_IACP_GENERIC_TS, payload->data(), uint32_t(payload->size()));
    if (io != SimIo::Ok) {
        finish(ioText(io));
        return false;
    }
    item.next = last + 1;
    ++packets_;
    server_.countPacket();
    lastSend_ = platNow();
    return true;
}

void SimSession::refresh(Item& item, double now, double* nextDue) {
    item.ready = false;
    if (item.done) return;
    const SimStream& s = *item.stream;
    // A client that falls behind the disk loop continues with its oldest data.
    item.next = std::max(item.next, s.firstIndex(now));
    if (item.next > item.end) {
        item.done = true;
        return;
    }
    // A stored stream whose last sample has gone out has nothing more to send, ever: the item
    // waits (heartbeats keep the connection) instead of being due with an empty packet.
    if (!s.isSynthetic() && item.next > s.lastIndex(now)) return;
    item.readyLast = std::min(s.packetEnd(item.next), item.end);
    if (item.readyLast <= s.lastIndex(now)) {
        item.ready = true;
        item.readyTime = s.timeOf(item.next);
    } else if (s.isSynthetic()) {
        *nextDue = std::min(*nextDue, s.timeOf(item.readyLast));
    }
}

void SimSession::serve(std::vector<Item>& items, uint32_t compress) {
    // A heartbeat period of zero or less turns heartbeats off.
    const double heartbeat =
        server_.options().heartbeat > 0.0 ? server_.options().heartbeat : HUGE_VAL;
    for (;;) {
        double now = platNow();
        double nextDue = HUGE_VAL;
        bool active = false;
        for (Item& item : items) {
            refresh(item, now, &nextDue);
            active = active || !item.done;
        }
        if (!active) {
            peer_.sendValueFrame(IACP_TYPE_ALERT, IACP_ALERT_REQUEST_COMPLETE);
            return finish("request complete");
        }
        // What is due at this moment goes out oldest first; only the item that was sent is looked
        // at again, until a burst has gone out and the clock is read anew.
        int sent = 0;
        for (; sent < kMaxBurst; ++sent) {
            Item* due = nullptr;
            for (Item& item : items) {
                if (item.ready && (due == nullptr || item.readyTime < due->readyTime)) due = &item;
            }
            if (due == nullptr) break;
            if (!applyFaults() || !sendPacket(*due, due->readyLast, compress)) return;
            refresh(*due, now, &nextDue);
        }
        if (sent > 0) continue;
        if (now - lastSend_ >= heartbeat) {
            if (peer_.sendFrame(IACP_TYPE_NOP, nullptr, 0) != SimIo::Ok) return finish("I/O error");
            ++heartbeats_;
            server_.countHeartbeat();
            lastSend_ = now;
            continue;
        }
        double wait = std::min({nextDue, lastSend_ + heartbeat, now + kMaxIdleSeconds}) - now;
        SimIo io = peer_.idle(std::max<int64_t>(1, int64_t(std::ceil(wait * 1000.0))));
        if (io != SimIo::Ok) return finish(ioText(io));
    }
}

}  // namespace isisim
