// The thread's error variable, as the Windows Sockets interface keeps it.
//
// Every failing library call leaves one of these codes here. The codes are the Windows Sockets
// numbers (and the two plain C numbers the library uses), whatever the host: the host's own
// socket and file errors are mapped onto them by platErrorFromErrno().
#pragma once

#include <string>

// Plain C error numbers the library uses as they are.
inline constexpr int ENOENT_CODE = 2;   // no such host or file
inline constexpr int EAGAIN_CODE = 11;  // try again

// Windows Sockets error numbers. On Windows the system headers define them as macros of the
// same values, and those are used.
#ifdef _WIN32
#include <winsock2.h>
#else
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// The first Windows Sockets number; codes below it are plain C numbers.
inline constexpr int WSABASEERR = 10000;
#endif

// Sets and reads the calling thread's error variable (0 means no error).
void platSetError(int code);
int platGetError();

// The code the host's errno value stands for (a socket errno maps to its WSA number, anything
// without a counterpart is kept as it is).
int platErrorFromErrno(int hostErrno);

// Sets the thread's error variable from the host's current errno and returns the code.
int platSetErrorFromErrno();

// A readable text for any code: WSA numbers, the plain numbers, or "error N" for an unknown one.
// The pointer stays valid for the life of the program.
const char* platErrorText(int code);
