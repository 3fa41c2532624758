// The per-connection traffic log: three entries per frame, each flushed as it is written.
#include <cstdio>
#include <mutex>
#include <string>

#include "iacp/private.h"
#include "platform/clock.h"
#include "util/util.h"

namespace {

constexpr const char* kTraceTimeFormat = "%Y:%j-%H:%M:%S";

// A receiving and a sending thread share one traffic log; an entry (heading and dump) is
// written whole before the other thread's next one.
std::mutex g_traceMutex;

// The entry labels, by direction: preamble, payload, signature preamble.
struct TraceLabels {
    const char* preamble;
    const char* payload;
    const char* sigPreamble;
};
constexpr TraceLabels kSendLabels = {"SEND preamble", "SEND payload", "SEND signature preamble"};
constexpr TraceLabels kRecvLabels = {"RECV preamble", "RECV payload", "RECV signature preamble"};

const TraceLabels& labels(IacpDirection dir) {
    return dir == IacpDirection::Send ? kSendLabels : kRecvLabels;
}

}  // namespace

void iacpTracePreamble(IACP_CONNECTION* iacp, IacpDirection dir, const uint8_t* preamble,
                       const IACP_WIRE_FRAME* frame) {
    if (iacp->trace == nullptr) return;
    std::lock_guard<std::mutex> lock(g_traceMutex);
    std::string when = platLocalTimeText(kTraceTimeFormat);
    std::fprintf(iacp->trace, "%s: %s peer=%s seqno=%lu type=%lu payload len=%lu\n", when.c_str(),
                 labels(dir).preamble, iacp->peer_ident, static_cast<unsigned long>(frame->seqno),
                 static_cast<unsigned long>(frame->type),
                 static_cast<unsigned long>(frame->payload_len));
    utilHexDump(iacp->trace, preamble, IACP_PREAMBLE_LEN);
    std::fflush(iacp->trace);
}

void iacpTracePayload(IACP_CONNECTION* iacp, IacpDirection dir, const uint8_t* payload,
                      uint32_t len) {
    if (iacp->trace == nullptr) return;
    std::lock_guard<std::mutex> lock(g_traceMutex);
    std::string when = platLocalTimeText(kTraceTimeFormat);
    std::fprintf(iacp->trace, "%s: %s (%lu bytes)\n", when.c_str(), labels(dir).payload,
                 static_cast<unsigned long>(len));
    utilHexDump(iacp->trace, payload, long(len));
    std::fflush(iacp->trace);
}

void iacpTraceSigPreamble(IACP_CONNECTION* iacp, IacpDirection dir, const uint8_t* sigpreamble,
                          const IACP_WIRE_FRAME* frame) {
    if (iacp->trace == nullptr) return;
    std::lock_guard<std::mutex> lock(g_traceMutex);
    std::string when = platLocalTimeText(kTraceTimeFormat);
    std::fprintf(
        iacp->trace, "%s: %s peer=%s seqno=%lu id=%lu len=%lu\n", when.c_str(),
        labels(dir).sigPreamble, iacp->peer_ident, static_cast<unsigned long>(frame->seqno),
        static_cast<unsigned long>(frame->sig_id), static_cast<unsigned long>(frame->sig_len));
    utilHexDump(iacp->trace, sigpreamble, IACP_SIGPREAMBLE_LEN);
    std::fflush(iacp->trace);
}
