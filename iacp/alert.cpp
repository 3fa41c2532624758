// Alert codes and the error classes that steer connect retries.
#include <cstdio>

#include "iacp/iacp.h"
#include "platform/errors.h"
#include "util/util.h"

namespace {

constexpr const char* kAlertTexts[] = {
    "no error",                          // IACP_ALERT_NONE
    "normal disconnect",                 // IACP_ALERT_DISCONNECT
    "request complete",                  // IACP_ALERT_REQUEST_COMPLETE
    "I/O error",                         // IACP_ALERT_IO_ERROR
    "server fault",                      // IACP_ALERT_SERVER_FAULT
    "too many active connections",       // IACP_ALERT_SERVER_BUSY
    "frame signature failed to verify",  // IACP_ALERT_FAILED_AUTH
    "access to server refused",          // IACP_ALERT_ACCESS_DENIED
    "client request refused",            // IACP_ALERT_REQUEST_DENIED
    "shutdown in progress",              // IACP_ALERT_SHUTDOWN
    "illegal frame received",            // IACP_ALERT_PROTOCOL_ERROR
    "unexpected frame data",             // IACP_ALERT_ILLEGAL_DATA
};
constexpr long kAlertCount = long(sizeof kAlertTexts / sizeof kAlertTexts[0]);

// Socket errors that may clear up by themselves; a connect failing with one is retried.
constexpr int kTransientErrors[] = {WSAEINTR,        WSAENETDOWN,   WSAENETUNREACH,
                                    WSAENETRESET,    WSAECONNRESET, WSAETIMEDOUT,
                                    WSAECONNREFUSED, WSAEHOSTDOWN,  WSAEHOSTUNREACH};

}  // namespace

long iacpAlertCode(const IACP_WIRE_FRAME* frame) {
    // The code is a 4-byte value; a shorter payload holds none.
    if (frame == nullptr || frame->type != IACP_TYPE_ALERT || frame->payload == nullptr ||
        frame->payload_len < 4) {
        platSetError(WSAEINVAL);
        return -1;
    }
    uint32_t code = 0;
    utilUnpackUINT32(frame->payload, &code);
    return long(code);
}

const char* iacpAlertString(long code) {
    if (code >= 0 && code < kAlertCount) return kAlertTexts[code];
    // One buffer per thread, so two threads never see each other's number.
    static thread_local char text[32];
    std::snprintf(text, sizeof text, "alert code %lu", static_cast<unsigned long>(code));
    return text;
}

int iacpErrorClass(int error) {
    for (int transient : kTransientErrors) {
        if (error == transient) return IACP_ERR_TRANSIENT;
    }
    return IACP_ERR_FATAL;
}

const char* iacpErrorClassString(int errclass) {
    switch (errclass) {
        case IACP_ERR_NONE:
            return "NONE";
        case IACP_ERR_TRANSIENT:
            return "TRANSIENT";
        case IACP_ERR_NONFATAL:
            return "NON-FATAL";
        case IACP_ERR_FATAL:
            return "FATAL";
        default:
            return "UNKNOWN?";
    }
}
