// TCP client (and test server) sockets over Windows Sockets 2. The contracts are those of net.h
// and the same as on POSIX hosts: Winsock reports the WSA numbers the error variable holds, so
// its errors need no mapping, but a few of its answers differ and are made to agree here (a
// connect's outcome, a send on a dropped connection, a time-out).
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <algorithm>
#include <climits>
#include <mutex>
#include <vector>

#include "platform/errors.h"

namespace {

int g_startError = 0;

// WSAStartup once per process; the library is never cleaned up (the process's end does that).
bool started() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        g_startError = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (g_startError != 0) platSetError(g_startError);
    return g_startError == 0;
}

int setSocketError() {
    int code = WSAGetLastError();
    // A send or receive on a connection the peer has reset or shut: POSIX hosts say reset, and
    // so does this layer.
    if (code == WSAECONNABORTED || code == WSAENETRESET) code = WSAECONNRESET;
    platSetError(code);
    return code;
}

sockaddr_in toSockaddr(const PLAT_INADDR& address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address.addr;
    sa.sin_port = address.port;
    return sa;
}

bool setIntOption(PLAT_SOCKET sock, int level, int name, int value) {
    if (setsockopt(sock, level, name, reinterpret_cast<const char*>(&value), sizeof value) != 0) {
        setSocketError();
        return false;
    }
    return true;
}

// select() with a millisecond time-out; the same contract as platWaitReadable. Not WSAPoll: before
// Windows 10 version 2004 it never reports a non-blocking connect that failed. Such a connect
// shows in the exception set, and counts as "ready" as on POSIX hosts (the caller then asks
// platConnectResult).
int waitFor(PLAT_SOCKET sock, bool forWrite, int64_t timeoutMs) {
    if (sock == PLAT_INVALID_SOCKET) {
        platSetError(WSAENOTSOCK);
        return -1;
    }
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(sock, &ready);
    FD_SET(sock, &failed);
    timeval timeout{};
    if (timeoutMs >= 0) {
        const int64_t ms = std::min<int64_t>(timeoutMs, int64_t(INT32_MAX));
        timeout.tv_sec = long(ms / 1000);
        timeout.tv_usec = long(ms % 1000 * 1000);
    }
    int rc = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed,
                    timeoutMs < 0 ? nullptr : &timeout);
    if (rc == SOCKET_ERROR) {
        setSocketError();
        return -1;
    }
    return rc == 0 ? 0 : 1;
}

constexpr int kMaxPieces = 8;

// The pieces as Winsock buffers; false when there are more than one call takes or a piece is
// larger than a WSABUF can say.
bool toBuffers(const PLAT_IOVEC* pieces, int count, WSABUF* out) {
    if (pieces == nullptr || count < 0 || count > kMaxPieces) return false;
    for (int i = 0; i < count; ++i) {
        if (pieces[i].len > ULONG_MAX) return false;
        out[i].buf = static_cast<char*>(pieces[i].base);
        out[i].len = ULONG(pieces[i].len);
    }
    return true;
}

std::mutex g_modeMutex;
// Sockets this layer has put in non-blocking mode (there are few at a time): Winsock cannot be
// asked for a socket's mode.
std::vector<PLAT_SOCKET>& nonBlockingSockets() {
    static std::vector<PLAT_SOCKET> sockets;
    return sockets;
}

bool isNonBlocking(PLAT_SOCKET sock) {
    std::lock_guard<std::mutex> lock(g_modeMutex);
    for (PLAT_SOCKET s : nonBlockingSockets())
        if (s == sock) return true;
    return false;
}

void noteMode(PLAT_SOCKET sock, bool nonBlocking) {
    std::lock_guard<std::mutex> lock(g_modeMutex);
    auto& sockets = nonBlockingSockets();
    for (auto it = sockets.begin(); it != sockets.end(); ++it) {
        if (*it == sock) {
            sockets.erase(it);
            break;
        }
    }
    if (nonBlocking) sockets.push_back(sock);
}

// Makes a call on a socket in blocking mode not wait: Winsock has no per-call flag for it, so the
// socket is non-blocking for the life of this object, then blocking again.
class NonBlockingForCall {
  public:
    explicit NonBlockingForCall(PLAT_SOCKET sock) : sock_(sock), restore_(!isNonBlocking(sock)) {
        u_long on = 1;
        if (restore_) ioctlsocket(sock_, FIONBIO, &on);
    }
    ~NonBlockingForCall() {
        if (!restore_) return;
        int saved = WSAGetLastError();
        u_long off = 0;
        ioctlsocket(sock_, FIONBIO, &off);
        WSASetLastError(saved);
    }
    NonBlockingForCall(const NonBlockingForCall&) = delete;
    NonBlockingForCall& operator=(const NonBlockingForCall&) = delete;

  private:
    PLAT_SOCKET sock_;
    bool restore_;
};

}  // namespace

bool platNetworkStart() {
    return started();
}

PLAT_SOCKET platTcpSocket() {
    if (!started()) return PLAT_INVALID_SOCKET;
    // Not inherited by child processes, like SOCK_CLOEXEC elsewhere.
    SOCKET sd = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (sd == INVALID_SOCKET) {
        setSocketError();
        return PLAT_INVALID_SOCKET;
    }
    return sd;
}

void platCloseSocket(PLAT_SOCKET sock) {
    if (sock == PLAT_INVALID_SOCKET) return;
    int saved = WSAGetLastError();
    noteMode(sock, false);
    closesocket(sock);
    WSASetLastError(saved);
}

void platShutdownSocket(PLAT_SOCKET sock) {
    if (sock == PLAT_INVALID_SOCKET) return;
    int saved = WSAGetLastError();
    shutdown(sock, SD_BOTH);
    WSASetLastError(saved);
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
    u_long mode = on ? 1 : 0;
    if (ioctlsocket(sock, FIONBIO, &mode) != 0) {
        setSocketError();
        return false;
    }
    noteMode(sock, on);
    return true;
}

bool platConnect(PLAT_SOCKET sock, const PLAT_INADDR& address) {
    sockaddr_in sa = toSockaddr(address);
    if (connect(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
    setSocketError();
    return false;
}

bool platConnectResult(PLAT_SOCKET sock) {
    int soerr = 0;
    int len = sizeof soerr;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soerr), &len) != 0) {
        setSocketError();
        return false;
    }
    if (soerr != 0) {
        platSetError(soerr);
        return false;
    }
    return true;
}

bool platPeerAddress(PLAT_SOCKET sock, PLAT_INADDR* address) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (address == nullptr) {
        platSetError(WSAEFAULT);
        return false;
    }
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        setSocketError();
        return false;
    }
    address->addr = sa.sin_addr.s_addr;
    address->port = sa.sin_port;
    return true;
}

int platWaitReadable(PLAT_SOCKET sock, int64_t timeoutMs) {
    return waitFor(sock, false, timeoutMs);
}

int platWaitWritable(PLAT_SOCKET sock, int64_t timeoutMs) {
    return waitFor(sock, true, timeoutMs);
}

long platRecv(PLAT_SOCKET sock, void* buf, size_t len) {
    int want = len > size_t(INT_MAX) ? INT_MAX : int(len);
    int got = recv(sock, static_cast<char*>(buf), want, 0);
    if (got == SOCKET_ERROR) {
        setSocketError();
        return -1;
    }
    return long(got);
}

long platSend(PLAT_SOCKET sock, const void* buf, size_t len) {
    int want = len > size_t(INT_MAX) ? INT_MAX : int(len);
    int sent = send(sock, static_cast<const char*>(buf), want, 0);
    if (sent == SOCKET_ERROR) {
        setSocketError();
        return -1;
    }
    return long(sent);
}

long platRecvNow(PLAT_SOCKET sock, const PLAT_IOVEC* pieces, int count) {
    WSABUF buffers[kMaxPieces];
    if (!toBuffers(pieces, count, buffers)) {
        platSetError(WSAEINVAL);
        return -1;
    }
    NonBlockingForCall mode(sock);
    DWORD got = 0;
    DWORD flags = 0;
    if (WSARecv(sock, buffers, DWORD(count), &got, &flags, nullptr, nullptr) != 0) {
        setSocketError();
        return -1;
    }
    return long(got);
}

long platSendNow(PLAT_SOCKET sock, const PLAT_IOVEC* pieces, int count) {
    WSABUF buffers[kMaxPieces];
    if (!toBuffers(pieces, count, buffers)) {
        platSetError(WSAEINVAL);
        return -1;
    }
    NonBlockingForCall mode(sock);
    DWORD sent = 0;
    if (WSASend(sock, buffers, DWORD(count), &sent, 0, nullptr, nullptr) != 0) {
        setSocketError();
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
    // Windows' SO_REUSEADDR lets a second listener take a port in use; the exclusive option
    // gives what SO_REUSEADDR gives elsewhere (a restarted server gets its port back).
    if (!setIntOption(sd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1)) {
        platCloseSocket(sd);
        return PLAT_INVALID_SOCKET;
    }
    sockaddr_in sa = toSockaddr(address);
    if (bind(sd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(sd, backlog) != 0) {
        setSocketError();
        platCloseSocket(sd);
        return PLAT_INVALID_SOCKET;
    }
    return sd;
}

uint16_t platLocalPort(PLAT_SOCKET sock) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        setSocketError();
        return 0;
    }
    return ntohs(sa.sin_port);
}

PLAT_SOCKET platAccept(PLAT_SOCKET listener) {
    for (;;) {
        SOCKET sd = accept(listener, nullptr, nullptr);
        if (sd != INVALID_SOCKET) return sd;
        if (WSAGetLastError() != WSAEINTR) {
            setSocketError();
            return PLAT_INVALID_SOCKET;
        }
    }
}
