// A failure to reach or read a server in words an operator can act on.
#include <string>

#include "iacp/iacp.h"
#include "platform/errors.h"

std::string iacpFailureText(const char* server, int port, int error, uint32_t timeoutMs) {
    const std::string host = server != nullptr ? server : "";
    const std::string where = host + ":" + std::to_string(port);
    switch (error) {
        case ENOENT_CODE:
        case WSAHOST_NOT_FOUND:
        case WSANO_DATA:
            return "no such host " + host;
        case WSAECONNREFUSED:
            return "connection refused by " + where + " (nothing listens there)";
        case WSAETIMEDOUT:
            return "time-out after " + std::to_string(timeoutMs / 1000) + " s: " + where +
                   " did not answer in time";
        case WSAECONNRESET:
            return where + " closed the connection";
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAEHOSTDOWN:
            return where + " cannot be reached (" + platErrorText(error) + ")";
        case WSAEPROTOTYPE:
            return where + " does not answer as an ISI server (no IACP frame)";
        case WSAECONNABORTED:
            return "the exchange with " + where + " was broken off";
        default:
            return where + ": " + platErrorText(error);
    }
}
