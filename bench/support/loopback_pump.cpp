#include "bench/support/loopback_pump.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace benchsupport {

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double pump(uint64_t bytes, size_t chunk) {
    PLAT_SOCKET listener = platListenTcp("127.0.0.1", 0, 1);
    if (listener == PLAT_INVALID_SOCKET) return -1.0;
    uint16_t port = platLocalPort(listener);
    std::thread sender([&] {
        PLAT_SOCKET sd = platAccept(listener);
        if (sd == PLAT_INVALID_SOCKET) return;
        // As isi-sim's sockets: a 32 KiB write is less than a loopback segment, and Nagle's
        // rule would hold each one back until the last is acknowledged.
        platSetNoDelay(sd, true);
        std::vector<uint8_t> buf(chunk, 0x5a);
        for (uint64_t left = bytes; left > 0;) {
            long n = platSend(sd, buf.data(), size_t(std::min<uint64_t>(left, buf.size())));
            if (n <= 0) break;
            left -= uint64_t(n);
        }
        platCloseSocket(sd);
    });
    double start = seconds();
    PLAT_SOCKET sd = platTcpSocket();
    PLAT_INADDR address;
    platParseDotted("127.0.0.1", &address.addr);
    uint8_t portBytes[2] = {uint8_t(port >> 8), uint8_t(port)};
    std::memcpy(&address.port, portBytes, 2);  // network order
    double elapsed = -1.0;
    if (platConnect(sd, address)) {
        std::vector<uint8_t> buf(chunk);
        uint64_t got = 0;
        while (got < bytes) {
            long n = platRecv(sd, buf.data(), buf.size());
            if (n <= 0) break;
            got += uint64_t(n);
        }
        if (got == bytes) elapsed = seconds() - start;
    }
    platCloseSocket(sd);
    sender.join();
    platCloseSocket(listener);
    return elapsed;
}

}  // namespace benchsupport
