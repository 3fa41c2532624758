// Request progress: where a reconnect has to resume each item, and which items are done.
#include <cstring>

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

namespace {

void appendKey(std::string& key, const ISI_STREAM_ID& name) {
    key.append(name.sta, strnlen(name.sta, sizeof name.sta));
    key += '\0';
    key.append(name.chn, strnlen(name.chn, sizeof name.chn));
    key += '\0';
    key.append(name.loc, strnlen(name.loc, sizeof name.loc));
}

// The item of the packet's stream, or none. The first of items with the same name is taken.
ISI_TWIND_ITEM* findItem(ISI_DATA_REQUEST* request, const ISI_TS_PACKET* packet,
                         ISI_REQUEST_INDEX* index) {
    if (index == nullptr) {
        for (uint32_t i = 0; i < request->nreq; ++i) {
            if (isiStreamIdEqual(&request->twind[i].name, &packet->name)) return &request->twind[i];
        }
        return nullptr;
    }
    if (!index->valid) {
        index->items.clear();
        for (uint32_t i = 0; i < request->nreq; ++i) {
            std::string key;
            appendKey(key, request->twind[i].name);
            index->items.emplace(std::move(key), i);
        }
        index->valid = true;
    }
    index->key.clear();
    appendKey(index->key, packet->name);
    auto it = index->items.find(index->key);
    if (it == index->items.end() || it->second >= request->nreq) return nullptr;
    return &request->twind[it->second];
}

}  // namespace

void isiUpdateRequestProgress(ISI_DATA_REQUEST* request, const ISI_TS_PACKET* packet,
                              ISI_REQUEST_INDEX* index) {
    if (request == nullptr || packet == nullptr) return;
    if (request->type != ISI_REQUEST_TYPE_TWIND || request->twind == nullptr) return;
    ISI_TWIND_ITEM* found = findItem(request, packet, index);
    if (found == nullptr) return;
    ISI_TWIND_ITEM& item = *found;
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
}
