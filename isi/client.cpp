// Client records: open parameters, opening and closing, sending a data request.
#include <cstring>
#include <new>

#include "isi/internal.h"
#include "platform/errors.h"

namespace {

constexpr const char* kDefaultServer = "localhost";
constexpr uint32_t kEndOfRequestValue = 0;

bool sendValue(IACP_CONNECTION* iacp, uint32_t type, uint32_t value) {
    return iacpSendValueFrame(iacp, type, value);
}

bool sendItemFrame(IACP_CONNECTION* iacp, uint32_t type, uint8_t* payload, int length) {
    IACP_WIRE_FRAME frame;
    frame.type = type;
    frame.payload_len = static_cast<uint32_t>(length);
    frame.payload = payload;
    return iacpSendFrame(iacp, &frame);
}

// SendTwindRequest: one type-1007 frame per item, in array order.
bool SendTwindRequest(IACP_CONNECTION* iacp, const ISI_DATA_REQUEST* request) {
    uint8_t payload[ISI_TWIND_WIRE_LEN];
    for (uint32_t i = 0; i < request->nreq && request->twind != nullptr; ++i) {
        int length = isiPackTwindItem(payload, &request->twind[i]);
        if (!sendItemFrame(iacp, ISI_IACP_REQ_TWIND, payload, length)) return false;
    }
    return true;
}

bool SendSeqnoRequest(IACP_CONNECTION* iacp, const ISI_DATA_REQUEST* request) {
    uint8_t payload[ISI_SEQNO_ITEM_WIRE_LEN];
    for (uint32_t i = 0; i < request->nreq && request->seqno != nullptr; ++i) {
        int length = isiPackSeqnoItem(payload, &request->seqno[i]);
        if (!sendItemFrame(iacp, ISI_IACP_REQ_SEQNO, payload, length)) return false;
    }
    return true;
}

}  // namespace

/* isiInitOpenParams: true with the defaults filled in; false with WSAEINVAL for none. */
bool isiInitOpenParams(ISI_OPEN_PARAMS* params) {
    if (params == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    params->port = ISI_DEFAULT_PORT;
    iacpInitOptions(&params->attr);
    params->debug = 0;
    params->lp = nullptr;
    params->decompress = 1;
    return true;
}

/* isiOpenClient: a connected client record, or none when the connection cannot be made (the
 * cause is logged by iacpOpen) or memory runs out. */
ISI_CLIENT* isiOpenClient(const char* server, const ISI_OPEN_PARAMS* params) {
    ISI_OPEN_PARAMS defaults;
    if (params == nullptr) {
        isiInitOpenParams(&defaults);
        params = &defaults;
    }
    auto* client = new (std::nothrow) ISI_CLIENT;
    if (client == nullptr) {
        platSetError(WSAENOBUFS);
        return nullptr;
    }
    client->server = server != nullptr ? server : kDefaultServer;
    client->port = params->port;
    client->attr = params->attr;
    if (params->attr.tracefile != nullptr) {
        client->tracefile = params->attr.tracefile;
        client->attr.tracefile = client->tracefile.c_str();
    }
    client->lp = params->lp;
    client->debug = params->debug;
    isiInitDataRequest(&client->datreq);
    client->iacp =
        iacpOpen(client->server.c_str(), client->port, &client->attr, client->lp, client->debug);
    if (client->iacp == nullptr) {
        int error = platGetError();
        delete client;
        platSetError(error);
        return nullptr;
    }
    client->decompress = params->decompress;
    return client;
}

/* isiCloseClient: closes the connection and frees the record; returns none. */
ISI_CLIENT* isiCloseClient(ISI_CLIENT* client) {
    if (client == nullptr) return nullptr;
    iacpClose(client->iacp);
    isiClearDataRequest(&client->datreq);
    isiClearTSPacket(&client->converted);
    delete client;
    return nullptr;
}

/* isiIacpSendDataRequest: true when every frame of the request was written. */
bool isiIacpSendDataRequest(IACP_CONNECTION* iacp, const ISI_DATA_REQUEST* request) {
    if (iacp == nullptr || request == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    if (!sendValue(iacp, ISI_IACP_REQ_FORMAT, request->format)) return false;
    if (!sendValue(iacp, ISI_IACP_REQ_COMPRESS, request->compress)) return false;
    if (!sendValue(iacp, ISI_IACP_REQ_POLICY, request->policy)) return false;
    if (request->type == ISI_REQUEST_TYPE_TWIND && !SendTwindRequest(iacp, request)) return false;
    if (request->type == ISI_REQUEST_TYPE_SEQNO && !SendSeqnoRequest(iacp, request)) return false;
    isiLogDataRequest(iacp->lp, LOG_DEBUG, request);
    return sendValue(iacp, IACP_TYPE_NULL, kEndOfRequestValue);
}

/* isiSendDataRequest: true when the request was sent and its acknowledgment read; the
 * acknowledged request then replaces the client's. Status 0, or the alert code that ended the
 * acknowledgment; on failure 99 (bad arguments), 3 (I/O) or 10 (protocol). */
bool isiSendDataRequest(ISI_CLIENT* client, const ISI_DATA_REQUEST* request, int* status) {
    static const char* fid = "isiSendDataRequest";
    if (client == nullptr || request == nullptr || status == nullptr) {
        if (status != nullptr) *status = ISI_ACK_BAD_ARGS;
        platSetError(WSAEINVAL);
        return false;
    }
    if (!isiIacpSendDataRequest(client->iacp, request)) {
        logioMsg(client->lp, LOG_INFO, "%s: isiIacpSendDataRequest failed", fid);
        *status = ISI_ACK_IO_ERROR;
        return false;
    }
    if (!isi_detail::receiveDataRequestAcknowledgment(client, status)) {
        logioMsg(client->lp, LOG_INFO, "%s: ReceiveDataRequestAcknowledgment failed", fid);
        return false;
    }
    return true;
}

/* isiInitiateDataRequest: an open client whose request (the default one when none is given)
 * has been acknowledged, or none. The caller keeps its request. */
ISI_CLIENT* isiInitiateDataRequest(const char* server, const ISI_OPEN_PARAMS* params,
                                   const ISI_DATA_REQUEST* request) {
    static const char* fid = "isiInitiateDataRequest";
    ISI_CLIENT* client = isiOpenClient(server, params);
    if (client == nullptr) return nullptr;
    ISI_DATA_REQUEST* defaultRequest = nullptr;
    if (request == nullptr) {
        defaultRequest = isiAllocDefaultDataRequest();
        request = defaultRequest;
    }
    int status = 0;
    bool ok = request != nullptr && isiSendDataRequest(client, request, &status);
    int error = platGetError();
    isiFreeDataRequest(defaultRequest);
    if (!ok) {
        logioMsg(client->lp, LOG_INFO, "%s: isiSendDataRequest: %s", fid, platErrorText(error));
        isiCloseClient(client);
        platSetError(error);
        return nullptr;
    }
    return client;
}

bool isiIsConnected(const ISI_CLIENT* client) {
    return client != nullptr && client->iacp != nullptr;
}
