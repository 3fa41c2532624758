#include "server/server.h"

#include <cstring>
#include <sstream>

#include "platform/errors.h"
#include "server/session.h"
#include "util/util.h"

namespace isisim {

namespace {

constexpr int kListenBacklog = 128;
constexpr int64_t kAcceptSliceMs = 100;

bool parseNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return *end == '\0' && *value >= 0.0;
}

}  // namespace

bool simParseFault(const std::string& text, SimFault* fault, std::string* error) {
    std::vector<std::string> f;
    std::stringstream ss(text);
    for (std::string part; std::getline(ss, part, ':');) f.push_back(part);
    auto bad = [&]() {
        if (error)
            *error = "bad fault \"" + text +
                     "\" (close:N[:K], alert:N:CODE[:K], stall:N:SECONDS[:K], badtag:N[:K], "
                     "oversize:N[:K])";
        return false;
    };
    if (f.size() < 2) return bad();
    SimFault out;
    size_t timesAt = 2;
    if (f[0] == "close") {
        out.kind = SimFaultKind::Close;
    } else if (f[0] == "alert" || f[0] == "stall") {
        out.kind = f[0] == "alert" ? SimFaultKind::Alert : SimFaultKind::Stall;
        if (f.size() < 3 || !parseNumber(f[2], &out.arg)) return bad();
        timesAt = 3;
    } else if (f[0] == "badtag") {
        out.kind = SimFaultKind::BadTag;
    } else if (f[0] == "oversize") {
        out.kind = SimFaultKind::Oversize;
    } else {
        return bad();
    }
    double n = 0, k = 1;
    if (!parseNumber(f[1], &n)) return bad();
    if (f.size() > timesAt && !parseNumber(f[timesAt], &k)) return bad();
    if (f.size() > timesAt + 1 || k < 1) return bad();
    out.afterPackets = uint64_t(n);
    out.times = int(k);
    *fault = out;
    return true;
}

SimServer::SimServer(std::vector<SimStream> streams, SimServerOptions options)
    : streams_(std::move(streams)),
      options_(std::move(options)),
      cache_(options_.packetCacheBytes) {
    for (const SimFault& fault : options_.faults) faultsLeft_.push_back(fault.times);
}

SimServer::~SimServer() {
    stop();
}

bool SimServer::start(std::string* error) {
    listener_ = platListenTcp(options_.host.c_str(), options_.port, kListenBacklog);
    if (listener_ == PLAT_INVALID_SOCKET) {
        if (error)
            *error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
                     ": " + platErrorText(platGetError());
        return false;
    }
    port_ = platLocalPort(listener_);
    if (options_.log)
        logioMsg(options_.log, LOG_INFO, "listening on %s:%u with %zu streams",
                 options_.host.c_str(), unsigned(port_), streams_.size());
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void SimServer::stop() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listener_ != PLAT_INVALID_SOCKET) {
        platCloseSocket(listener_);
        listener_ = PLAT_INVALID_SOCKET;
    }
    std::list<Running> sessions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions.swap(sessions_);
    }
    for (Running& r : sessions)
        if (r.thread.joinable()) r.thread.join();
}

void SimServer::acceptLoop() {
    while (!stopping_) {
        int ready = platWaitReadable(listener_, kAcceptSliceMs);
        reapFinished();
        if (ready <= 0) continue;
        PLAT_SOCKET sd = platAccept(listener_);
        if (sd == PLAT_INVALID_SOCKET) continue;
        PLAT_INADDR address;
        std::string peerName = "?";
        if (platPeerAddress(sd, &address)) {
            // The port is kept in network order: read its two bytes as big-endian.
            uint8_t raw[2];
            uint16_t port = 0;
            std::memcpy(raw, &address.port, sizeof raw);
            utilUnpackUINT16(raw, &port);
            peerName = platDottedText(address.addr) + ":" + std::to_string(port);
        }
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t id = ++connections_;
        sessions_.push_back(Running{std::thread([this, sd, id, peerName, finished] {
                                        SimSession(*this, sd, id, peerName).run();
                                        *finished = true;
                                    }),
                                    finished});
    }
}

void SimServer::reapFinished() {
    std::list<Running> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (it->finished->load()) {
                done.splice(done.end(), sessions_, it++);
            } else {
                ++it;
            }
        }
    }
    for (Running& r : done) r.thread.join();
}

bool SimServer::takeFault(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= faultsLeft_.size() || faultsLeft_[index] <= 0) return false;
    --faultsLeft_[index];
    ++faultsFired_;
    return true;
}

void SimServer::recordRequest(const SimRequestRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(record);
}

std::vector<SimRequestRecord> SimServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

SimServerStats SimServer::stats() const {
    SimServerStats s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s.connections = connections_;
        s.faultsFired = faultsFired_;
    }
    s.packets = packets_;
    s.heartbeats = heartbeats_;
    return s;
}

}  // namespace isisim
