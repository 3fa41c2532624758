// The server's state-of-health (1001 -> 1009 entries) and configuration (1002 -> 1011 entries)
// lists: one request frame, one frame per stream, a closing null frame.
#include <cstdlib>
#include <cstring>
#include <new>

#include "isi/isi.h"
#include "platform/clock.h"
#include "platform/errors.h"

namespace {

constexpr double kMsPerSecond = 1000.0;

// Collects entries of entryType until the null frame. bufLen bounds one frame, so a larger
// frame fails the read; an entry frame of any size other than wireLen fails the collection.
template <typename Entry, int (*Unpack)(const uint8_t*, Entry*)>
bool recvList(IACP_CONNECTION* iacp, uint32_t entryType, uint32_t bufLen, uint32_t wireLen,
              std::vector<Entry>* list) {
    if (iacp == nullptr || list == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    std::vector<uint8_t> buf(bufLen);
    IACP_WIRE_FRAME frame;
    double timeout = iacpGetTimeout(iacp) / kMsPerSecond;
    double lastEntry = platNow();
    while (true) {
        if (!iacpRecvFrame(iacp, &frame, buf.data(), bufLen)) return false;
        if (frame.type == IACP_TYPE_NULL) return true;
        if (frame.type == entryType) {
            if (frame.payload_len != wireLen) {
                platSetError(WSAEMSGSIZE);
                return false;
            }
            Entry entry;
            Unpack(frame.payload, &entry);
            list->push_back(entry);
            lastEntry = platNow();
            continue;
        }
        if (frame.type == IACP_TYPE_ALERT) {
            platSetError(WSAECONNABORTED);
            return false;
        }
        if (frame.type == IACP_TYPE_ENOSUCH) {
            platSetError(WSAEOPNOTSUPP);
            return false;
        }
        // Heartbeats and anything else: keep waiting, but not past the I/O time-out without
        // an entry.
        if (platNow() - lastEntry > timeout) {
            platSetError(WSAETIMEDOUT);
            return false;
        }
    }
}

// One block: the counted header, then the entries.
template <typename List, typename Entry>
List* toCountedArray(const std::vector<Entry>& entries) {
    constexpr size_t offset = (sizeof(List) + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);
    void* block = std::malloc(offset + entries.size() * sizeof(Entry) + 1);
    if (block == nullptr) {
        platSetError(WSAENOBUFS);
        return nullptr;
    }
    auto* list = static_cast<List*>(block);
    list->nentry = static_cast<uint32_t>(entries.size());
    list->entry = reinterpret_cast<Entry*>(static_cast<uint8_t*>(block) + offset);
    if (!entries.empty()) std::memcpy(list->entry, entries.data(), entries.size() * sizeof(Entry));
    return list;
}

template <typename List, typename Entry>
List* requestList(ISI_CLIENT* client, const char* fid, uint32_t requestType, const char* recvName,
                  bool (*recv)(IACP_CONNECTION*, std::vector<Entry>*)) {
    if (client == nullptr || client->iacp == nullptr) {
        platSetError(WSAEINVAL);
        return nullptr;
    }
    if (!iacpSendEmptyMessage(client->iacp, requestType)) {
        logioMsg(client->lp, LOG_INFO, "%s: iacpSendEmptyMessage failed", fid);
        return nullptr;
    }
    std::vector<Entry> entries;
    if (!recv(client->iacp, &entries)) {
        int error = platGetError();
        logioMsg(client->lp, LOG_INFO, "%s: %s failed", fid, recvName);
        platSetError(error);
        return nullptr;
    }
    return toCountedArray<List>(entries);
}

template <typename List>
List* getList(const char* server, const ISI_OPEN_PARAMS* params, List* (*request)(ISI_CLIENT*)) {
    ISI_CLIENT* client = isiOpenClient(server, params);
    if (client == nullptr) return nullptr;
    List* list = request(client);
    int error = platGetError();
    isiCloseClient(client);
    platSetError(error);
    return list;
}

}  // namespace

/* isiIacpRecvStreamSohList / isiIacpRecvStreamCnfList: true with every entry up to the null
 * frame; false with WSAECONNABORTED (alert), WSAEOPNOTSUPP (type 102), WSAETIMEDOUT (no entry
 * for the I/O time-out), WSAEMSGSIZE (an entry of the wrong size) or the read's error. */
bool isiIacpRecvStreamSohList(IACP_CONNECTION* iacp, std::vector<ISI_STREAM_SOH>* list) {
    return recvList<ISI_STREAM_SOH, isiUnpackStreamSoh>(
        iacp, ISI_IACP_STREAM_SOH, ISI_SOH_FRAME_BUFLEN, ISI_STREAM_SOH_WIRE_LEN, list);
}

bool isiIacpRecvStreamCnfList(IACP_CONNECTION* iacp, std::vector<ISI_STREAM_CNF>* list) {
    return recvList<ISI_STREAM_CNF, isiUnpackStreamCnf>(
        iacp, ISI_IACP_STREAM_CNF, ISI_CNF_FRAME_BUFLEN, ISI_STREAM_CNF_WIRE_LEN, list);
}

/* isiRequestSoh / isiRequestCnf: the server's list as a counted array (free with isiFreeList),
 * or none; nothing partial is left behind. */
ISI_SOH_LIST* isiRequestSoh(ISI_CLIENT* client) {
    return requestList<ISI_SOH_LIST, ISI_STREAM_SOH>(client, "isiRequestSoh", ISI_IACP_REQ_SOH,
                                                     "isiIacpRecvStreamSohList",
                                                     isiIacpRecvStreamSohList);
}

ISI_CNF_LIST* isiRequestCnf(ISI_CLIENT* client) {
    return requestList<ISI_CNF_LIST, ISI_STREAM_CNF>(client, "isiRequestCnf", ISI_IACP_REQ_CNF,
                                                     "isiIacpRecvStreamCnfList",
                                                     isiIacpRecvStreamCnfList);
}

/* isiGetSohList / isiGetCnfList: open a client, fetch the list, close at once. None when the
 * client cannot be opened or the list not read. */
ISI_SOH_LIST* isiGetSohList(const char* server, const ISI_OPEN_PARAMS* params) {
    return getList<ISI_SOH_LIST>(server, params, isiRequestSoh);
}

ISI_CNF_LIST* isiGetCnfList(const char* server, const ISI_OPEN_PARAMS* params) {
    return getList<ISI_CNF_LIST>(server, params, isiRequestCnf);
}

ISI_SOH_LIST* isiFreeList(ISI_SOH_LIST* list) {
    std::free(list);
    return nullptr;
}

ISI_CNF_LIST* isiFreeList(ISI_CNF_LIST* list) {
    std::free(list);
    return nullptr;
}
