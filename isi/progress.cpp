// Request progress: where a reconnect has to resume each item, and which items are done.
#include "isi/isi.h"

namespace {

// An item ends once the next sample would lie beyond its end time. The tolerance keeps a
// sample that falls exactly on the end time (up to rounding) from being counted as beyond it.
constexpr double kEndToleranceIntervals = 1e-3;

bool reachesEnd(const ISI_TS_PACKET* packet, REAL64 interval, REAL64 end) {
    if (packet->tols >= end) return true;
    return interval > 0.0 && packet->tols + interval > end + interval * kEndToleranceIntervals;
}

}  // namespace

void isiUpdateRequestProgress(ISI_DATA_REQUEST* request, const ISI_TS_PACKET* packet) {
    if (request == nullptr || packet == nullptr) return;
    if (request->type != ISI_REQUEST_TYPE_TWIND || request->twind == nullptr) return;
    for (uint32_t i = 0; i < request->nreq; ++i) {
        ISI_TWIND_ITEM& item = request->twind[i];
        if (!isiStreamIdEqual(&item.name, &packet->name)) continue;
        REAL64 interval = isiSrateToInterval(packet->factor, packet->multiplier);
        if (request->policy == ISI_REQUEST_POLICY_MIN_DELAY) {
            item.beg = UTIL_TIME_END_OF_LOOP;  // a reconnect skips what was missed
        } else {
            item.beg = packet->tols + interval;  // a reconnect continues after the last sample
        }
        // Only a real end time can be reached: -4 (forever), -3 and -1 never complete.
        if (item.end >= 0.0 && reachesEnd(packet, interval, item.end)) {
            item.status = ISI_ITEM_COMPLETE;
        }
        return;
    }
}
