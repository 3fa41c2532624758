// Whole byte streams from a hostile server, read off a real socket: the first byte chooses the
// exchange (a data request with its acknowledgment and packets, or one of the two lists), the
// rest is what the server sends. The client must end cleanly: frames and lists fail, the read
// reconnects (to a closed loopback port, refused at once) and reports status 2.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "isi/isi.h"
#include "platform/errors.h"

namespace {

constexpr size_t kMaxStream = 200000;  // fits the socket buffers, so one thread can write it all
constexpr int kClosedLoopbackPort = 1;
constexpr int kMaxReads = 10000;

void discard(const char*) {}

LOGIO* quietLog() {
    static LOGIO* lp = [] {
        auto* handle = new LOGIO;
        logioInit(handle, nullptr, discard, "fuzz");
        logioSetThreshold(handle, LOG_DEBUG);
        isiSetReconnectPauseForTests(0);
        return handle;
    }();
    return lp;
}

IACP_CONNECTION* connectionOn(int sd, const IACP_OPTIONS* options) {
    auto* iacp = new IACP_CONNECTION;
    iacpInitHandle(iacp, "127.0.0.1", kClosedLoopbackPort, options, quietLog(), 0);
    iacp->sd = sd;
    return iacp;
}

void readData(int sd, const IACP_OPTIONS& options) {
    auto client = std::make_unique<ISI_CLIENT>();
    client->server = "127.0.0.1";
    client->port = kClosedLoopbackPort;
    client->attr = options;
    client->lp = quietLog();
    isiInitDataRequest(&client->datreq);
    client->iacp = connectionOn(sd, &options);
    ISI_DATA_REQUEST* request = isiAllocDefaultDataRequest();
    int status = 0;
    if (isiSendDataRequest(client.get(), request, &status)) {
        for (int n = 0; n < kMaxReads; ++n) {
            ISI_TS_PACKET* packet = isiReadGenericTS(client.get(), &status);
            if (packet != nullptr) {
                volatile uint32_t sum = 0;
                for (uint32_t i = 0; i < packet->nbytes; ++i) sum = sum + packet->data[i];
                continue;
            }
            if (status != ISI_STATUS_FAILED || client->iacp == nullptr) break;
        }
    }
    isiFreeDataRequest(request);
    isiCloseClient(client.release());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kMaxStream) return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
    int bufferSize = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    size_t sent = 0;
    while (sent < size - 1) {
        ssize_t n = write(pair[1], data + 1 + sent, size - 1 - sent);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    shutdown(pair[1], SHUT_WR);  // the end of the server's stream

    IACP_OPTIONS options;
    iacpInitOptions(&options);
    options.maxerr = IACP_ERR_NONE;  // the reconnect fails at once
    switch (data[0] % 3) {
        case 0:
            readData(pair[0], options);
            break;
        case 1: {
            IACP_CONNECTION* iacp = connectionOn(pair[0], &options);
            std::vector<ISI_STREAM_SOH> list;
            isiIacpRecvStreamSohList(iacp, &list);
            iacpClose(iacp);
            break;
        }
        default: {
            IACP_CONNECTION* iacp = connectionOn(pair[0], &options);
            std::vector<ISI_STREAM_CNF> list;
            isiIacpRecvStreamCnfList(iacp, &list);
            iacpClose(iacp);
            break;
        }
    }
    close(pair[1]);
    return 0;
}
