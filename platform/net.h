// TCP sockets, name resolution and waits with a time-out: what the library needs of the
// Windows Sockets interface. Every failing call sets the thread's error variable (errors.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
using PLAT_SOCKET = SOCKET;
inline constexpr PLAT_SOCKET PLAT_INVALID_SOCKET = INVALID_SOCKET;
#else
using PLAT_SOCKET = int;
inline constexpr PLAT_SOCKET PLAT_INVALID_SOCKET = -1;
#endif

// An IPv4 address and port, both in network byte order, as in a sockaddr_in.
struct PLAT_INADDR {
    uint32_t addr = 0;
    uint16_t port = 0;
};

// Starts the socket library (Winsock 2.2 on Windows, nothing elsewhere). Every call below starts
// it too when needed, so calling this is optional. False with the error set when it cannot.
bool platNetworkStart();

// Host-name lookup of name into an IPv4 address (network order). False when unknown.
bool platLookupHostName(const char* name, uint32_t* addr);
// Parses dotted text ("127.0.0.1") into an address (network order). False when malformed.
bool platParseDotted(const char* text, uint32_t* addr);
// Reverse lookup of addr into its host name. False when the address has no name.
bool platLookupAddress(uint32_t addr, std::string* name);
// Dotted text of addr.
std::string platDottedText(uint32_t addr);

PLAT_SOCKET platTcpSocket();
void platCloseSocket(PLAT_SOCKET sock);
// Shuts both directions down; errors are ignored.
void platShutdownSocket(PLAT_SOCKET sock);

bool platSetKeepAlive(PLAT_SOCKET sock, bool on);
bool platSetSendBufferSize(PLAT_SOCKET sock, int bytes);
bool platSetRecvBufferSize(PLAT_SOCKET sock, int bytes);
bool platSetNoDelay(PLAT_SOCKET sock, bool on);
bool platSetNonBlocking(PLAT_SOCKET sock, bool on);

// Blocking connect to address. On a non-blocking socket a connect that cannot finish at once
// fails with WSAEWOULDBLOCK or WSAEINPROGRESS; wait until the socket is writable, then ask
// platConnectResult.
bool platConnect(PLAT_SOCKET sock, const PLAT_INADDR& address);
// The outcome of a connect started on a non-blocking socket once it is writable: true when
// connected, else false with the error variable set to the reason.
bool platConnectResult(PLAT_SOCKET sock);
// The address of the peer of a connected socket.
bool platPeerAddress(PLAT_SOCKET sock, PLAT_INADDR* address);

// Waits until the socket is readable (or writable) or timeoutMs passes.
// Returns 1 when ready, 0 on time-out (error variable untouched), -1 on failure (error set).
int platWaitReadable(PLAT_SOCKET sock, int64_t timeoutMs);
int platWaitWritable(PLAT_SOCKET sock, int64_t timeoutMs);

// Reads or writes what the socket takes now. Returns the byte count, 0 when the peer closed
// (recv only), -1 on failure with the error set (WSAEWOULDBLOCK when nothing is ready).
long platRecv(PLAT_SOCKET sock, void* buf, size_t len);
long platSend(PLAT_SOCKET sock, const void* buf, size_t len);

// One piece of a scattered read or a gathered write.
struct PLAT_IOVEC {
    void* base = nullptr;
    size_t len = 0;
};
// Reads what has arrived into the pieces in turn (scatter), or writes what the socket takes
// from the pieces in turn (gather), in one call and never waiting, whether or not the socket is
// in non-blocking mode. The same contract as platRecv and platSend otherwise: WSAEWOULDBLOCK
// when nothing can move now. A gathered write never modifies the pieces' bytes.
long platRecvNow(PLAT_SOCKET sock, const PLAT_IOVEC* pieces, int count);
long platSendNow(PLAT_SOCKET sock, const PLAT_IOVEC* pieces, int count);
// What is left of pieces[0..count) once their first done bytes have moved: the unfinished pieces,
// the first of them cut at its front, go to left (room for count). Returns how many there are.
int platIovecRemainder(const PLAT_IOVEC* pieces, int count, uint64_t done, PLAT_IOVEC* left);

// Server side, for the stand-in server and tests: listens on host:port (port 0 picks a free one).
PLAT_SOCKET platListenTcp(const char* host, uint16_t port, int backlog);
// The local port of a bound socket (host order), or 0 on failure.
uint16_t platLocalPort(PLAT_SOCKET sock);
// Blocking accept; PLAT_INVALID_SOCKET on failure.
PLAT_SOCKET platAccept(PLAT_SOCKET listener);
