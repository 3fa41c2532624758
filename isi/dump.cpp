// The printed dump of a request, one log line each.
#include <cinttypes>
#include <cstdio>

#include "isi/isi.h"

namespace {

const char* nameOf(uint32_t code, std::initializer_list<const char*> names) {
    if (code >= names.size()) return "UNKNOWN";
    return names.begin()[code];
}

// Times a server may send are not bounded; the calendar breakdown of one far beyond any real
// date (or not a number) would take long, so those print as plain seconds.
constexpr double kLastCalendarTime = 253402300799.0;  // 9999-12-31 23:59:59

// Time-window begin or end: the special values by their text, any other time by code 0.
const char* twindTimeString(REAL64 value, char* buf, size_t len) {
    if (value == UTIL_TIME_BEG_OF_LOOP) return "<  beg of disk loop >";
    if (value == UTIL_TIME_END_OF_LOOP) return "<  end of disk loop >";
    if (value == UTIL_TIME_FOREVER) return "<       forever     >";
    if (!(value <= kLastCalendarTime)) {
        std::snprintf(buf, len, "%.17g", value);
        return buf;
    }
    // Every time before 1970 prints as blanks; -1 stands for them all, so that a hostile value
    // far below any calendar never reaches the breakdown.
    return utilTimeString(value < 0.0 ? UTIL_TIME_UNDEFINED : value, 0, buf);
}

// The level the handle shows (none means the default handle of standard output).
int shownLevel(LOGIO* lp) {
    return lp != nullptr ? logioGetThreshold(lp) : LOGIO_DEFAULT_THRESHOLD;
}

const char* seqnoString(const ISI_SEQNO_VALUE& seqno, char* buf, size_t len) {
    switch (seqno.signature) {
        case ISI_SEQNO_SIG_BEG:
            return "[    beg of disk loop    ]";
        case ISI_SEQNO_SIG_END:
            return "[    end of disk loop    ]";
        case ISI_SEQNO_SIG_FOREVER:
            return "[        forever         ]";
        case ISI_SEQNO_SIG_UNDEF:
            return "[    undefined seqno     ]";
        default:
            break;
    }
    std::snprintf(buf, len, "%08lx %08lx %08lx", static_cast<unsigned long>(seqno.signature),
                  static_cast<unsigned long>(seqno.counter >> 32),
                  static_cast<unsigned long>(seqno.counter & 0xFFFFFFFFu));
    return buf;
}

}  // namespace

const char* isiRequestTypeString(uint32_t code) {
    return nameOf(code, {"undefined", "sequence number", "time window"});
}
const char* isiPolicyString(uint32_t code) {
    return nameOf(code, {"undefined", "none", "minimal gap", "minimal delay"});
}
const char* isiFormatString(uint32_t code) {
    return nameOf(code, {"undefined", "generic", "native"});
}
const char* isiCompressString(uint32_t code) {
    return nameOf(code, {"undefined", "uncompressed", "idacmp", "steim1", "steim2", "gzip"});
}

/* isiLogDataRequest: writes the request's codes and items at level; nothing for no request or
 * a level the handle does not show. */
void isiLogDataRequest(LOGIO* lp, int level, const ISI_DATA_REQUEST* request) {
    // Every request sent is dumped at level 7; build the lines only when they will be shown.
    if (request == nullptr || level > shownLevel(lp)) return;
    logioMsg(lp, level, "*** beg ISI_DATA_REQUEST ***");
    logioMsg(lp, level, "       type = %lu (%s)", static_cast<unsigned long>(request->type),
             isiRequestTypeString(request->type));
    logioMsg(lp, level, "     policy = %lu (%s)", static_cast<unsigned long>(request->policy),
             isiPolicyString(request->policy));
    logioMsg(lp, level, "     format = %lu (%s)", static_cast<unsigned long>(request->format),
             isiFormatString(request->format));
    logioMsg(lp, level, "   compress = %lu (%s)", static_cast<unsigned long>(request->compress),
             isiCompressString(request->compress));
    logioMsg(lp, level, "       nreq = %lu\n", static_cast<unsigned long>(request->nreq));
    char item[256];
    for (uint32_t i = 0; i < request->nreq; ++i) {
        if (request->type == ISI_REQUEST_TYPE_TWIND && request->twind != nullptr) {
            const ISI_TWIND_ITEM& tw = request->twind[i];
            char begBuf[64], endBuf[64];
            std::snprintf(item, sizeof(item), "'%s'.'%s'.'%s' %s %s", tw.name.sta, tw.name.chn,
                          tw.name.loc, twindTimeString(tw.beg, begBuf, sizeof(begBuf)),
                          twindTimeString(tw.end, endBuf, sizeof(endBuf)));
        } else if (request->type == ISI_REQUEST_TYPE_SEQNO && request->seqno != nullptr) {
            const ISI_SEQNO_ITEM& sq = request->seqno[i];
            char begBuf[64], endBuf[64];
            std::snprintf(item, sizeof(item), "%s %s %s", sq.site,
                          seqnoString(sq.beg, begBuf, sizeof(begBuf)),
                          seqnoString(sq.end, endBuf, sizeof(endBuf)));
        } else {
            continue;
        }
        logioMsg(lp, level, "   %d: %s", static_cast<int>(i + 1), item);
    }
    logioMsg(lp, level, "*** end ISI_DATA_REQUEST ***");
}
