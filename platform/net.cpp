// TCP client (and test server) sockets over the host's BSD socket interface.
#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"

namespace {

sockaddr_in toSockaddr(const PLAT_INADDR& address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address.addr;
    sa.sin_port = address.port;
    return sa;
}

bool setIntOption(PLAT_SOCKET sock, int level, int name, int value) {
    if (setsockopt(sock, level, name, &value, sizeof value) != 0) {
        platSetErrorFromErrno();
        return false;
    }
    return true;
}

// poll() with a millisecond time-out; the same contract as platWaitReadable.
int waitFor(PLAT_SOCKET sock, short events, int64_t timeoutMs) {
    if (sock < 0) {
        platSetError(WSAENOTSOCK);
        return -1;
    }
    pollfd pfd{};
    pfd.fd = sock;
    pfd.events = events;
    int timeout = timeoutMs < 0 ? -1 : (timeoutMs > INT32_MAX ? INT32_MAX : int(timeoutMs));
    int rc = poll(&pfd, 1, timeout);
    if (rc < 0) {
        platSetErrorFromErrno();
        return -1;
    }
    if (rc == 0) return 0;
    if (pfd.revents & POLLNVAL) {
        platSetError(WSAENOTSOCK);
        return -1;
    }
    // An error or hang-up is "ready": the next read or write reports what happened.
    return 1;
}

}  // namespace

bool platNetworkStart() {
    return true;
}

PLAT_SOCKET platTcpSocket() {
    int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sd < 0) {
        platSetErrorFromErrno();
        return PLAT_INVALID_SOCKET;
    }
    return sd;
}

// Closing never changes the thread's error variable: callers close on their way out of a
// failure and report the error that caused it.
void platCloseSocket(PLAT_SOCKET sock) {
    if (sock < 0) return;
    int saved = errno;
    close(sock);
    errno = saved;
}

void platShutdownSocket(PLAT_SOCKET sock) {
    if (sock < 0) return;
    int saved = errno;
    shutdown(sock, SHUT_RDWR);
    errno = saved;
}

bool platSetKeepAlive(PLAT_SOCKET sock, bool on) {
    return setIntOption(sock, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
}

bool platSetSendBufferSize(PLAT_SOCKET sock, int bytes) {
    return setIntOption(sock, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool platSetRecvBufferSize(PLAT_SOCKET sock, int bytes) {
    return setIntOption(sock, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool platSetNoDelay(PLAT_SOCKET sock, bool on) {
    return setIntOption(sock, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

bool platSetNonBlocking(PLAT_SOCKET sock, bool on) {
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0) {
        platSetErrorFromErrno();
        return false;
    }
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (fcntl(sock, F_SETFL, flags) < 0) {
        platSetErrorFromErrno();
        return false;
    }
    return true;
}

bool platConnect(PLAT_SOCKET sock, const PLAT_INADDR& address) {
    sockaddr_in sa = toSockaddr(address);
    if (connect(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
    if (errno != EINTR) {
        platSetErrorFromErrno();
        return false;
    }
    // An interrupted blocking connect goes on in the background; wait for its outcome.
    pollfd pfd{};
    pfd.fd = sock;
    pfd.events = POLLOUT;
    while (poll(&pfd, 1, -1) < 0) {
        if (errno != EINTR) {
            platSetErrorFromErrno();
            return false;
        }
    }
    return platConnectResult(sock);
}

bool platConnectResult(PLAT_SOCKET sock) {
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0) {
        platSetErrorFromErrno();
        return false;
    }
    if (soerr != 0) {
        platSetError(platErrorFromErrno(soerr));
        return false;
    }
    return true;
}

bool platPeerAddress(PLAT_SOCKET sock, PLAT_INADDR* address) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (address == nullptr) {
        platSetError(WSAEFAULT);
        return false;
    }
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        platSetErrorFromErrno();
        return false;
    }
    address->addr = sa.sin_addr.s_addr;
    address->port = sa.sin_port;
    return true;
}

int platWaitReadable(PLAT_SOCKET sock, int64_t timeoutMs) {
    return waitFor(sock, POLLIN, timeoutMs);
}

int platWaitWritable(PLAT_SOCKET sock, int64_t timeoutMs) {
    return waitFor(sock, POLLOUT, timeoutMs);
}

long platRecv(PLAT_SOCKET sock, void* buf, size_t len) {
    ssize_t got = recv(sock, buf, len, 0);
    if (got < 0) {
        platSetErrorFromErrno();
        return -1;
    }
    return long(got);
}

long platSend(PLAT_SOCKET sock, const void* buf, size_t len) {
    // MSG_NOSIGNAL: a peer that has gone away is an error to report, not a signal that ends
    // the program.
    ssize_t sent = send(sock, buf, len, MSG_NOSIGNAL);
    if (sent < 0) {
        platSetErrorFromErrno();
        return -1;
    }
    return long(sent);
}

namespace {

// The pieces as the host's iovec array; false when there are more than one call takes.
bool toIovecs(const PLAT_IOVEC* pieces, int count, iovec* out, int max) {
    if (pieces == nullptr || count < 0 || count > max) return false;
    for (int i = 0; i < count; ++i) {
        out[i].iov_base = pieces[i].base;
        out[i].iov_len = pieces[i].len;
    }
    return true;
}

constexpr int kMaxPieces = 8;

}  // namespace

long platRecvNow(PLAT_SOCKET sock, const PLAT_IOVEC* pieces, int count) {
    iovec iov[kMaxPieces];
    if (!toIovecs(pieces, count, iov, kMaxPieces)) {
        platSetError(WSAEINVAL);
        return -1;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = size_t(count);
    ssize_t got = recvmsg(sock, &msg, MSG_DONTWAIT);
    if (got < 0) {
        platSetErrorFromErrno();
        return -1;
    }
    return long(got);
}

long platSendNow(PLAT_SOCKET sock, const PLAT_IOVEC* pieces, int count) {
    iovec iov[kMaxPieces];
    if (!toIovecs(pieces, count, iov, kMaxPieces)) {
        platSetError(WSAEINVAL);
        return -1;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = size_t(count);
    // MSG_NOSIGNAL as in platSend.
    ssize_t sent = sendmsg(sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        platSetErrorFromErrno();
        return -1;
    }
    return long(sent);
}

PLAT_SOCKET platListenTcp(const char* host, uint16_t port, int backlog) {
    PLAT_INADDR address;
    address.port = htons(port);
    if (host != nullptr && !platParseDotted(host, &address.addr) &&
        !platLookupHostName(host, &address.addr)) {
        platSetError(ENOENT_CODE);
        return PLAT_INVALID_SOCKET;
    }
    PLAT_SOCKET sd = platTcpSocket();
    if (sd == PLAT_INVALID_SOCKET) return sd;
    if (!setIntOption(sd, SOL_SOCKET, SO_REUSEADDR, 1)) {
        platCloseSocket(sd);
        return PLAT_INVALID_SOCKET;
    }
    sockaddr_in sa = toSockaddr(address);
    if (bind(sd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(sd, backlog) != 0) {
        platSetErrorFromErrno();
        platCloseSocket(sd);
        return PLAT_INVALID_SOCKET;
    }
    return sd;
}

uint16_t platLocalPort(PLAT_SOCKET sock) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        platSetErrorFromErrno();
        return 0;
    }
    return ntohs(sa.sin_port);
}

PLAT_SOCKET platAccept(PLAT_SOCKET listener) {
    for (;;) {
        int sd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (sd >= 0) return sd;
        if (errno != EINTR) {
            platSetErrorFromErrno();
            return PLAT_INVALID_SOCKET;
        }
    }
}
