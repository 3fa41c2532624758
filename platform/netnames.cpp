// Host names and dotted addresses, through the resolver calls POSIX hosts and Windows Sockets
// share. On Windows the socket library must be started first; platNetworkStart does it once.
#include "platform/net.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

bool platLookupHostName(const char* name, uint32_t* addr) {
    if (name == nullptr || addr == nullptr || *name == '\0' || !platNetworkStart()) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return false;
    *addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(result);
    return true;
}

bool platParseDotted(const char* text, uint32_t* addr) {
    if (text == nullptr || addr == nullptr || !platNetworkStart()) return false;
    in_addr in{};
    if (inet_pton(AF_INET, text, &in) != 1) return false;
    *addr = in.s_addr;
    return true;
}

bool platLookupAddress(uint32_t addr, std::string* name) {
    if (name == nullptr || !platNetworkStart()) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0) {
        return false;
    }
    *name = host;
    return true;
}

std::string platDottedText(uint32_t addr) {
    in_addr in{};
    in.s_addr = addr;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}
