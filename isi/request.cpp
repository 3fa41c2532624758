// The request record and its item arrays: building, copying, freeing.
#include <cstdlib>
#include <cstring>

#include "isi/isi.h"
#include "platform/errors.h"

namespace {

constexpr const char* kDefaultSpecifier = "*.*.*";

// A malloc'd copy of count items (none for count 0); false when memory runs out.
template <typename T>
bool copyItems(const T* items, size_t count, T** out) {
    *out = nullptr;
    if (count == 0) return true;
    *out = static_cast<T*>(std::malloc(count * sizeof(T)));
    if (*out == nullptr) {
        platSetError(WSAENOBUFS);
        return false;
    }
    std::memcpy(*out, items, count * sizeof(T));
    return true;
}

ISI_DATA_REQUEST* allocRequest() {
    auto* request = static_cast<ISI_DATA_REQUEST*>(std::malloc(sizeof(ISI_DATA_REQUEST)));
    if (request == nullptr) {
        platSetError(WSAENOBUFS);
        return nullptr;
    }
    isiInitDataRequest(request);
    return request;
}

}  // namespace

/* isiInitDataRequest: type undefined, minimal gap, generic format, gzip, no items. */
void isiInitDataRequest(ISI_DATA_REQUEST* request) {
    if (request == nullptr) return;
    request->type = ISI_REQUEST_TYPE_UNDEF;
    request->policy = ISI_REQUEST_POLICY_MIN_GAP;
    request->format = ISI_FORMAT_GENERIC;
    request->compress = ISI_COMP_GZIP;
    request->nreq = 0;
    request->twind = nullptr;
    request->seqno = nullptr;
}

void isiClearDataRequest(ISI_DATA_REQUEST* request) {
    if (request == nullptr) return;
    std::free(request->twind);
    std::free(request->seqno);
    isiInitDataRequest(request);
}

ISI_DATA_REQUEST* isiFreeDataRequest(ISI_DATA_REQUEST* request) {
    if (request != nullptr) {
        isiClearDataRequest(request);
        std::free(request);
    }
    return nullptr;
}

/* isiAllocSimpleDataRequest: a time-window request, one item per stream of the specifier, each
 * with beg and end. None when the specifier is invalid or memory runs out. */
ISI_DATA_REQUEST* isiAllocSimpleDataRequest(REAL64 beg, REAL64 end, const char* specifier) {
    std::vector<ISI_STREAM_ID> names;
    if (!isiExpandStreamNames(specifier, &names)) return nullptr;
    std::vector<ISI_TWIND_ITEM> items;
    for (const ISI_STREAM_ID& name : names) {
        ISI_TWIND_ITEM item = {};
        item.name = name;
        item.beg = beg;
        item.end = end;
        item.status = ISI_ITEM_ACTIVE;
        items.push_back(item);
    }
    ISI_DATA_REQUEST* request = allocRequest();
    if (request == nullptr) return nullptr;
    if (!copyItems(items.data(), items.size(), &request->twind)) return isiFreeDataRequest(request);
    request->type = ISI_REQUEST_TYPE_TWIND;
    request->nreq = static_cast<uint32_t>(items.size());
    return request;
}

ISI_DATA_REQUEST* AllocSimpleTwindRequest(const char* specifier) {
    return isiAllocSimpleDataRequest(UTIL_TIME_UNDEFINED, UTIL_TIME_UNDEFINED, specifier);
}

ISI_DATA_REQUEST* isiAllocDefaultDataRequest() {
    return isiAllocSimpleDataRequest(UTIL_TIME_END_OF_LOOP, UTIL_TIME_FOREVER, kDefaultSpecifier);
}

/* isiAllocSimpleSeqnoRequest: a seqno request with one item per distinct station of the
 * specifier, each from beg to end. None when the specifier is invalid or an argument missing. */
ISI_DATA_REQUEST* isiAllocSimpleSeqnoRequest(const ISI_SEQNO_VALUE* beg, const ISI_SEQNO_VALUE* end,
                                             const char* specifier) {
    if (beg == nullptr || end == nullptr) {
        platSetError(WSAEINVAL);
        return nullptr;
    }
    std::vector<ISI_STREAM_ID> names;
    if (!isiExpandStreamNames(specifier, &names)) return nullptr;
    std::vector<ISI_SEQNO_ITEM> items;
    for (const ISI_STREAM_ID& name : names) {
        bool seen = false;
        for (const ISI_SEQNO_ITEM& item : items)
            seen = seen || std::strcmp(item.site, name.sta) == 0;
        if (seen) continue;
        ISI_SEQNO_ITEM item = {};
        std::memcpy(item.site, name.sta, sizeof(item.site));
        item.beg = *beg;
        item.end = *end;
        item.status = ISI_ITEM_ACTIVE;
        items.push_back(item);
    }
    ISI_DATA_REQUEST* request = allocRequest();
    if (request == nullptr) return nullptr;
    if (!copyItems(items.data(), items.size(), &request->seqno)) return isiFreeDataRequest(request);
    request->type = ISI_REQUEST_TYPE_SEQNO;
    request->nreq = static_cast<uint32_t>(items.size());
    return request;
}

ISI_DATA_REQUEST* isiRequestSetFormat(ISI_DATA_REQUEST* request, uint32_t code) {
    if (request != nullptr) request->format = code;
    return request;
}

ISI_DATA_REQUEST* isiRequestSetCompress(ISI_DATA_REQUEST* request, uint32_t code) {
    if (request != nullptr) request->compress = code;
    return request;
}

ISI_DATA_REQUEST* isiRequestSetPolicy(ISI_DATA_REQUEST* request, uint32_t code) {
    if (request != nullptr) request->policy = code;
    return request;
}

/* isiCopyDataRequest: a new request with the codes of request and its items of the request's
 * kind (only the active ones when activeOnly). None when memory runs out. */
ISI_DATA_REQUEST* isiCopyDataRequest(const ISI_DATA_REQUEST* request, bool activeOnly) {
    if (request == nullptr) {
        platSetError(WSAEINVAL);
        return nullptr;
    }
    ISI_DATA_REQUEST* copy = allocRequest();
    if (copy == nullptr) return nullptr;
    copy->type = request->type;
    copy->policy = request->policy;
    copy->format = request->format;
    copy->compress = request->compress;
    bool ok = true;
    if (request->type == ISI_REQUEST_TYPE_TWIND && request->twind != nullptr) {
        std::vector<ISI_TWIND_ITEM> kept;
        for (uint32_t i = 0; i < request->nreq; ++i) {
            if (!activeOnly || request->twind[i].status == ISI_ITEM_ACTIVE) {
                kept.push_back(request->twind[i]);
            }
        }
        ok = copyItems(kept.data(), kept.size(), &copy->twind);
        copy->nreq = static_cast<uint32_t>(kept.size());
    } else if (request->type == ISI_REQUEST_TYPE_SEQNO && request->seqno != nullptr) {
        std::vector<ISI_SEQNO_ITEM> kept;
        for (uint32_t i = 0; i < request->nreq; ++i) {
            if (!activeOnly || request->seqno[i].status == ISI_ITEM_ACTIVE) {
                kept.push_back(request->seqno[i]);
            }
        }
        ok = copyItems(kept.data(), kept.size(), &copy->seqno);
        copy->nreq = static_cast<uint32_t>(kept.size());
    }
    if (!ok) return isiFreeDataRequest(copy);
    return copy;
}

/* isiAppendTwindReq / isiAppendSeqnoReq: true when the item was appended. */
bool isiAppendTwindReq(std::vector<ISI_TWIND_ITEM>* list, const ISI_TWIND_ITEM* item) {
    if (list == nullptr || item == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    list->push_back(*item);
    return true;
}

bool isiAppendSeqnoReq(std::vector<ISI_SEQNO_ITEM>* list, const ISI_SEQNO_ITEM* item) {
    if (list == nullptr || item == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    list->push_back(*item);
    return true;
}

/* isiCopyTwindListToDataRequest: the list replaces the request's time-window items, each marked
 * active. False when memory runs out (the request is then left as it was). */
bool isiCopyTwindListToDataRequest(const std::vector<ISI_TWIND_ITEM>& list,
                                   ISI_DATA_REQUEST* request) {
    if (request == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    ISI_TWIND_ITEM* items = nullptr;
    if (!copyItems(list.data(), list.size(), &items)) return false;
    for (size_t i = 0; i < list.size(); ++i) items[i].status = ISI_ITEM_ACTIVE;
    std::free(request->twind);
    request->twind = items;
    request->nreq = static_cast<uint32_t>(list.size());
    return true;
}

bool isiCopySeqnoListToDataRequest(const std::vector<ISI_SEQNO_ITEM>& list,
                                   ISI_DATA_REQUEST* request) {
    if (request == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    ISI_SEQNO_ITEM* items = nullptr;
    if (!copyItems(list.data(), list.size(), &items)) return false;
    for (size_t i = 0; i < list.size(); ++i) items[i].status = ISI_ITEM_ACTIVE;
    std::free(request->seqno);
    request->seqno = items;
    request->nreq = static_cast<uint32_t>(list.size());
    return true;
}
