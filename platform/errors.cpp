// The thread's error variable and the mapping of host errors onto the Windows Sockets numbers.
#include "platform/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

thread_local int t_error = 0;

struct ErrnoMapping {
    int hostErrno;
    int code;
};

// Host socket errors and their Windows Sockets counterparts. EPIPE has none of its own: Windows
// reports a send on a connection the peer has dropped as a reset, and so do we. On Windows the
// sockets report the WSA numbers themselves; the C library's errno names (those it has) are
// mapped all the same, for the file calls.
constexpr ErrnoMapping kErrnoMap[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
#ifdef ESOCKTNOSUPPORT
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
#endif
    {EOPNOTSUPP, WSAEOPNOTSUPP},
#ifdef EPFNOSUPPORT
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
#endif
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
#ifdef ESHUTDOWN
    {ESHUTDOWN, WSAESHUTDOWN},
#endif
#ifdef ETOOMANYREFS
    {ETOOMANYREFS, WSAETOOMANYREFS},
#endif
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
#ifdef EHOSTDOWN
    {EHOSTDOWN, WSAEHOSTDOWN},
#endif
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

struct CodeText {
    int code;
    const char* text;
};

constexpr CodeText kCodeTexts[] = {
    {0, "no error"},
    {ENOENT_CODE, "no such host or file"},
    {EAGAIN_CODE, "resource temporarily unavailable"},
    {WSAEINTR, "interrupted function call"},
    {WSAEBADF, "file handle is not valid"},
    {WSAEACCES, "permission denied"},
    {WSAEFAULT, "bad address"},
    {WSAEINVAL, "invalid argument"},
    {WSAEMFILE, "too many open files"},
    {WSAEWOULDBLOCK, "resource temporarily unavailable"},
    {WSAEINPROGRESS, "operation now in progress"},
    {WSAEALREADY, "operation already in progress"},
    {WSAENOTSOCK, "socket operation on nonsocket"},
    {WSAEDESTADDRREQ, "destination address required"},
    {WSAEMSGSIZE, "message too long"},
    {WSAEPROTOTYPE, "protocol wrong type for socket"},
    {WSAENOPROTOOPT, "bad protocol option"},
    {WSAEPROTONOSUPPORT, "protocol not supported"},
    {WSAESOCKTNOSUPPORT, "socket type not supported"},
    {WSAEOPNOTSUPP, "operation not supported"},
    {WSAEPFNOSUPPORT, "protocol family not supported"},
    {WSAEAFNOSUPPORT, "address family not supported by protocol family"},
    {WSAEADDRINUSE, "address already in use"},
    {WSAEADDRNOTAVAIL, "cannot assign requested address"},
    {WSAENETDOWN, "network is down"},
    {WSAENETUNREACH, "network is unreachable"},
    {WSAENETRESET, "network dropped connection on reset"},
    {WSAECONNABORTED, "software caused connection abort"},
    {WSAECONNRESET, "connection reset by peer"},
    {WSAENOBUFS, "no buffer space available"},
    {WSAEISCONN, "socket is already connected"},
    {WSAENOTCONN, "socket is not connected"},
    {WSAESHUTDOWN, "cannot send after socket shutdown"},
    {WSAETOOMANYREFS, "too many references"},
    {WSAETIMEDOUT, "connection timed out"},
    {WSAECONNREFUSED, "connection refused"},
    {WSAELOOP, "cannot translate name"},
    {WSAENAMETOOLONG, "name too long"},
    {WSAEHOSTDOWN, "host is down"},
    {WSAEHOSTUNREACH, "no route to host"},
    {WSASYSNOTREADY, "network subsystem is unavailable"},
    {WSAVERNOTSUPPORTED, "socket library version out of range"},
    {WSANOTINITIALISED, "socket library not started"},
    {WSAHOST_NOT_FOUND, "host not found"},
    {WSATRY_AGAIN, "nonauthoritative host not found"},
    {WSANO_RECOVERY, "this is a nonrecoverable error"},
    {WSANO_DATA, "valid name, no data record of requested type"},
};

// Texts made at run time (plain host numbers, unknown codes) are kept for the life of the
// program, so the pointers handed out stay valid.
std::mutex g_textMutex;
std::map<int, std::string>& madeTexts() {
    static std::map<int, std::string> texts;
    return texts;
}

}  // namespace

void platSetError(int code) {
    t_error = code;
}

int platGetError() {
    return t_error;
}

int platErrorFromErrno(int hostErrno) {
    for (const auto& m : kErrnoMap) {
        if (m.hostErrno == hostErrno) return m.code;
    }
    return hostErrno;
}

int platSetErrorFromErrno() {
    int code = platErrorFromErrno(errno);
    platSetError(code);
    return code;
}

const char* platErrorText(int code) {
    for (const auto& t : kCodeTexts) {
        if (t.code == code) return t.text;
    }
    std::lock_guard<std::mutex> lock(g_textMutex);
    auto& texts = madeTexts();
    auto it = texts.find(code);
    if (it != texts.end()) return it->second.c_str();
    std::string text;
    if (code > 0 && code < WSABASEERR) {
        // A plain host number without a socket meaning (a file error, say): the host's text.
        char buf[256] = {};
#ifdef _WIN32
        strerror_s(buf, sizeof buf, code);
        text = buf;
#else
        text = strerror_r(code, buf, sizeof buf);
#endif
    } else {
        text = "error " + std::to_string(code);
    }
    return texts.emplace(code, std::move(text)).first->second.c_str();
}
