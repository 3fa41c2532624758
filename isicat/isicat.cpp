#include "isicat/isicat.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "platform/clock.h"
#include "platform/errors.h"

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// Names come from the server: escaped, so a control character cannot forge a line or a column.
std::string nameColumns(const ISI_STREAM_ID& name) {
    return utilPrintableString(name.sta) + "\t" + utilPrintableString(name.chn) + "\t" +
           utilPrintableString(isicatLocationText(name.loc));
}

// Sample i of a host-order packet of samples of type T in text: integers as they are, floats
// with every digit they need to be read back exactly. False past the data.
template <typename T>
bool valueText(const ISI_TS_PACKET& packet, uint32_t i, std::string* text) {
    if (uint64_t(packet.nbytes) < uint64_t(sizeof(T)) * (i + 1)) return false;
    T v;
    std::memcpy(&v, packet.data + size_t(sizeof(T)) * i, sizeof(T));
    if constexpr (std::is_integral_v<T>)
        *text = std::to_string(v);
    else
        *text = format(sizeof(T) == sizeof(float) ? "%.9g" : "%.17g", double(v));
    return true;
}

// Sample i of a host-order packet in its own type's text. False past the data or for a type
// without samples.
bool sampleText(const ISI_TS_PACKET& packet, uint32_t i, std::string* text) {
    switch (packet.datatype) {
        case ISI_TYPE_INT8:
            return valueText<int8_t>(packet, i, text);
        case ISI_TYPE_INT16:
            return valueText<int16_t>(packet, i, text);
        case ISI_TYPE_INT32:
            return valueText<int32_t>(packet, i, text);
        case ISI_TYPE_INT64:
            return valueText<int64_t>(packet, i, text);
        case ISI_TYPE_REAL32:
            return valueText<float>(packet, i, text);
        case ISI_TYPE_REAL64:
            return valueText<double>(packet, i, text);
        default:
            return false;
    }
}

}  // namespace

bool isicatParseServer(const std::string& serverText, std::string* host, int* port) {
    const std::string text = serverText;  // host may be the very string given
    size_t colon = text.rfind(':');
    *port = ISI_DEFAULT_PORT;
    *host = text.substr(0, colon);
    if (colon == std::string::npos) return !host->empty();
    std::string portText = text.substr(colon + 1);
    if (host->empty() || portText.empty() ||
        portText.find_first_not_of("0123456789") != std::string::npos || portText.size() > 5)
        return false;
    *port = std::atoi(portText.c_str());
    return *port >= 1 && *port <= 65535;
}

bool isicatParseTime(const std::string& text, double now, double* time) {
    if (text == "beg") {
        *time = UTIL_TIME_BEG_OF_LOOP;
    } else if (text == "end") {
        *time = UTIL_TIME_END_OF_LOOP;
    } else if (text == "forever") {
        *time = UTIL_TIME_FOREVER;
    } else {
        return utilParseTime(text.c_str(), now, time);
    }
    return true;
}

bool isicatWindowIsPossible(double begin, double end) {
    // Markers stand for moments only the server knows; two real times must be in order.
    return utilIsTimeMarker(begin) || utilIsTimeMarker(end) || begin <= end;
}

std::vector<std::string> isicatUnknownStreams(const std::string& specifier,
                                              const ISI_CNF_LIST& list) {
    std::vector<ISI_STREAM_ID> patterns, unmatched;
    if (!isiParseStreamNames(specifier, &patterns, nullptr)) return {specifier};
    isiExpandStreamPatterns(patterns, list, nullptr, &unmatched);
    std::vector<std::string> unknown;
    for (const ISI_STREAM_ID& name : unmatched) {
        char text[ISI_STREAM_NAME_WIRE_LEN + 3];
        unknown.push_back(isiStreamIdString(&name, text, sizeof text));
    }
    return unknown;
}

std::string isicatLocationText(const char* loc) {
    std::string s(loc);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s.empty() ? "--" : std::string(loc);
}

std::string isicatCnfLine(const ISI_STREAM_CNF& cnf) {
    double interval = isiSrateToInterval(cnf.factor, cnf.multiplier);
    double rate = interval != 0.0 ? 1.0 / interval : 0.0;
    return nameColumns(cnf.name) + format("\t%.6f\n", rate);
}

std::string isicatSohLine(const ISI_STREAM_SOH& soh) {
    return nameColumns(soh.name) + format("\t%.6f\t%.6f\n", soh.tofs, soh.tols);
}

std::string isicatPacketLine(const ISI_TS_PACKET& packet, bool withSamples) {
    std::string line =
        nameColumns(packet.name) + format("\t%.6f\t%.6f\t%lu\t%.6f", packet.tofs, packet.tols,
                                          static_cast<unsigned long>(packet.nsamp),
                                          isiSrateToInterval(packet.factor, packet.multiplier));
    if (withSamples) {
        line += "\t";
        // Converted packets hold host-order samples; native packet formats have no sample column.
        const bool plain = packet.compress == ISI_COMP_NONE && packet.order == ISI_ORDER_HOST &&
                           packet.data != nullptr;
        for (uint32_t i = 0; plain && i < packet.nsamp; ++i) {
            std::string value;
            if (!sampleText(packet, i, &value)) break;
            if (i > 0) line += ",";
            line += value;
        }
    }
    return line + "\n";
}

namespace {

// The signal that stopped the command (the value of the cancel flag the caller gave), or 0.
int stoppedBy(const ISI_OPEN_PARAMS& params) {
    return params.attr.cancel != nullptr ? params.attr.cancel->load() : 0;
}

int stoppedStatus(int signal, const char* what, FILE* err) {
    std::fprintf(err, "isicat: stopped by signal %d %s\n", signal, what);
    return kIsicatStoppedBase + signal;
}

// The cause of a failed list or request, in words.
std::string failure(const std::string& host, const ISI_OPEN_PARAMS& params) {
    return iacpFailureText(utilPrintableString(host).c_str(), params.port, platGetError(),
                           std::max(params.attr.at_timeo, IACP_DEF_AT_TIMEO));
}

template <typename List, typename Entry>
int printList(const std::string& host, const ISI_OPEN_PARAMS& params, const char* what,
              List* (*get)(const char*, const ISI_OPEN_PARAMS*), std::string (*line)(const Entry&),
              FILE* out, FILE* err) {
    List* list = get(host.c_str(), &params);
    if (list == nullptr) {
        if (int signal = stoppedBy(params)) return stoppedStatus(signal, "while waiting", err);
        std::fprintf(err, "isicat: cannot get the %s list: %s\n", what,
                     failure(host, params).c_str());
        return kIsicatFailed;
    }
    for (uint32_t i = 0; i < list->nentry; ++i) std::fputs(line(list->entry[i]).c_str(), out);
    isiFreeList(list);
    std::fflush(out);
    return kIsicatDone;
}

}  // namespace

int isicatCnf(const std::string& host, const ISI_OPEN_PARAMS& params, FILE* out, FILE* err) {
    return printList<ISI_CNF_LIST, ISI_STREAM_CNF>(host, params, "configuration", isiGetCnfList,
                                                   isicatCnfLine, out, err);
}

int isicatSoh(const std::string& host, const ISI_OPEN_PARAMS& params, FILE* out, FILE* err) {
    return printList<ISI_SOH_LIST, ISI_STREAM_SOH>(host, params, "state-of-health", isiGetSohList,
                                                   isicatSohLine, out, err);
}

int isicatData(const std::string& host, const ISI_OPEN_PARAMS& params, const ISICAT_DATA_ARGS& args,
               FILE* out, FILE* err) {
    if (!isicatWindowIsPossible(args.begin, args.end)) {
        std::fprintf(err, "isicat: the window begins after it ends\n");
        return kIsicatUsage;
    }
    std::vector<ISI_STREAM_ID> patterns;
    std::string why;
    if (!isiParseStreamNames(args.specifier, &patterns, &why)) {
        std::fprintf(err, "isicat: %s\n", why.c_str());
        return kIsicatUsage;
    }
    // A stream the server does not have would be waited for in silence (for ever, with "forever").
    ISI_CNF_LIST* list = isiGetCnfList(host.c_str(), &params);
    if (list == nullptr) {
        if (int signal = stoppedBy(params)) return stoppedStatus(signal, "while connecting", err);
        std::fprintf(err, "isicat: cannot get the configuration list: %s\n",
                     failure(host, params).c_str());
        return kIsicatFailed;
    }
    const std::vector<std::string> unknown = isicatUnknownStreams(args.specifier, *list);
    isiFreeList(list);
    for (const std::string& name : unknown)
        std::fprintf(err, "isicat: %s:%d has no stream %s\n", utilPrintableString(host).c_str(),
                     params.port, utilPrintableString(name).c_str());
    if (!unknown.empty()) return kIsicatUnknownStream;
    // The patterns go to the server as they are: it expands the wildcards.
    ISI_DATA_REQUEST* request =
        isiAllocTwindRequest(args.begin, args.end, patterns.data(), uint32_t(patterns.size()));
    if (request == nullptr) {
        std::fprintf(err, "isicat: no memory for the request\n");
        return kIsicatFailed;
    }
    isiRequestSetCompress(request, args.compress);
    isiRequestSetPolicy(request, args.policy);
    ISI_CLIENT* client = isiInitiateDataRequest(host.c_str(), &params, request);
    isiFreeDataRequest(request);
    if (client == nullptr) {
        if (int signal = stoppedBy(params)) return stoppedStatus(signal, "while connecting", err);
        std::fprintf(err, "isicat: data request failed: %s\n", failure(host, params).c_str());
        return kIsicatFailed;
    }
    long packets = 0, refused = 0;
    int status = kIsicatDone;
    std::vector<int> causesSaid;
    for (;;) {
        int readStatus = ISI_STATUS_FAILED;
        ISI_TS_PACKET* packet = isiReadGenericTS(client, &readStatus);
        if (readStatus == ISI_STATUS_DATA && packet != nullptr) {
            std::fputs(isicatPacketLine(*packet, args.samples).c_str(), out);
            std::fflush(out);
            if (++packets == args.count) break;
            continue;
        }
        if (int signal = stoppedBy(params)) {
            status = stoppedStatus(signal,
                                   ("after " + std::to_string(packets) + " packets").c_str(), err);
            break;
        }
        if (readStatus == ISI_STATUS_DONE || readStatus == ISI_STATUS_STOPPED) break;
        const int error = platGetError();
        if (!isiIsConnected(client)) {
            // The connection was lost and could not be made again.
            std::fprintf(err, "isicat: the connection was lost and not made again: %s\n",
                         failure(host, params).c_str());
            status = kIsicatFailed;
            break;
        }
        // A packet refused: said once per cause, counted, and reading goes on.
        ++refused;
        if (std::find(causesSaid.begin(), causesSaid.end(), error) == causesSaid.end()) {
            causesSaid.push_back(error);
            std::fprintf(err, "isicat: a packet was refused: %s\n", isiPacketFailureText(error));
        }
    }
    isiCloseClient(client);
    if (refused > 0) {
        std::fprintf(err, "isicat: %ld packet(s) refused, %ld printed\n", refused, packets);
        if (packets == 0 && status == kIsicatDone) status = kIsicatFailed;
    }
    return status;
}
