#include "isicat/isicat.h"


#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/errors.h"

namespace {

// Pause after a failed read before the next, so a server that stays away is not hammered.
constexpr uint32_t kFailurePauseMs = 1000;

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

std::string trimmed(const char* code) {
    std::string text(code);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
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
    // Markers (negative) stand for moments only the server knows; two real times must be in order.
    return begin < 0.0 || end < 0.0 || begin <= end;
}

std::vector<std::string> isicatUnknownStreams(const std::string& specifier,
                                              const ISI_CNF_LIST& list) {
    std::vector<std::string> unknown;
    std::vector<ISI_STREAM_ID> names;
    if (!isiExpandStreamNames(specifier.c_str(), &names)) return {specifier};
    auto matches = [](const char* pattern, const char* code) {
        return utilWildcardMatch(trimmed(pattern).c_str(), trimmed(code).c_str());
    };
    for (const ISI_STREAM_ID& name : names) {
        bool found = false;
        for (uint32_t i = 0; i < list.nentry && !found; ++i) {
            const ISI_STREAM_ID& have = list.entry[i].name;
            found = matches(name.sta, have.sta) && matches(name.chn, have.chn) &&
                    matches(name.loc, have.loc);
        }
        if (!found) {
            std::string text = std::string(name.sta) + "." + name.chn;
            if (!trimmed(name.loc).empty()) {
                text += '.';
                text += trimmed(name.loc);
            }
            unknown.push_back(text);
        }
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
        // Converted packets hold host-order integers; other data types have no sample column.
        bool hostOrder = packet.compress == ISI_COMP_NONE && packet.order == ISI_ORDER_HOST;
        for (uint32_t i = 0; hostOrder && packet.data != nullptr && i < packet.nsamp; ++i) {
            long value;
            if (packet.datatype == ISI_TYPE_INT32 && packet.nbytes >= 4 * (i + 1)) {
                int32_t v;
                std::memcpy(&v, packet.data + 4 * i, sizeof v);
                value = v;
            } else if (packet.datatype == ISI_TYPE_INT16 && packet.nbytes >= 2 * (i + 1)) {
                int16_t v;
                std::memcpy(&v, packet.data + 2 * i, sizeof v);
                value = v;
            } else if (packet.datatype == ISI_TYPE_INT8 && packet.nbytes >= i + 1) {
                value = int8_t(packet.data[i]);
            } else {
                break;
            }
            if (i > 0) line += ",";
            line += std::to_string(value);
        }
    }
    return line + "\n";
}

int isicatCnf(const std::string& host, const ISI_OPEN_PARAMS& params, FILE* out, FILE* err) {
    ISI_CNF_LIST* list = isiGetCnfList(host.c_str(), &params);
    if (list == nullptr) {
        std::fprintf(err, "isicat: cannot get the configuration list from %s:%d: %s\n",
                     host.c_str(), params.port, platErrorText(platGetError()));
        return 1;
    }
    for (uint32_t i = 0; i < list->nentry; ++i)
        std::fputs(isicatCnfLine(list->entry[i]).c_str(), out);
    isiFreeList(list);
    std::fflush(out);
    return 0;
}

int isicatSoh(const std::string& host, const ISI_OPEN_PARAMS& params, FILE* out, FILE* err) {
    ISI_SOH_LIST* list = isiGetSohList(host.c_str(), &params);
    if (list == nullptr) {
        std::fprintf(err, "isicat: cannot get the state-of-health list from %s:%d: %s\n",
                     host.c_str(), params.port, platErrorText(platGetError()));
        return 1;
    }
    for (uint32_t i = 0; i < list->nentry; ++i)
        std::fputs(isicatSohLine(list->entry[i]).c_str(), out);
    isiFreeList(list);
    std::fflush(out);
    return 0;
}

int isicatData(const std::string& host, const ISI_OPEN_PARAMS& params, const ISICAT_DATA_ARGS& args,
               FILE* out, FILE* err) {
    if (!isicatWindowIsPossible(args.begin, args.end)) {
        std::fprintf(err, "isicat: the window begins after it ends\n");
        return kIsicatUsage;
    }
    // A stream the server does not have would be waited for in silence (for ever, with "forever").
    ISI_CNF_LIST* list = isiGetCnfList(host.c_str(), &params);
    if (list == nullptr) {
        std::fprintf(err, "isicat: cannot get the configuration list from %s:%d: %s\n",
                     utilPrintableString(host).c_str(), params.port, platErrorText(platGetError()));
        return kIsicatFailed;
    }
    const std::vector<std::string> unknown = isicatUnknownStreams(args.specifier, *list);
    isiFreeList(list);
    for (const std::string& name : unknown)
        std::fprintf(err, "isicat: %s:%d has no stream %s\n", utilPrintableString(host).c_str(),
                     params.port, utilPrintableString(name).c_str());
    if (!unknown.empty()) return kIsicatUnknownStream;
    ISI_DATA_REQUEST* request =
        isiAllocSimpleDataRequest(args.begin, args.end, args.specifier.c_str());
    if (request == nullptr) {
        std::fprintf(err, "isicat: invalid stream specifier \"%s\"\n",
                     utilPrintableString(args.specifier).c_str());
        return kIsicatUsage;
    }
    isiRequestSetCompress(request, args.compress);
    isiRequestSetPolicy(request, args.policy);
    ISI_CLIENT* client = isiInitiateDataRequest(host.c_str(), &params, request);
    isiFreeDataRequest(request);
    if (client == nullptr) {
        std::fprintf(err, "isicat: data request to %s:%d failed: %s\n",
                     utilPrintableString(host).c_str(), params.port, platErrorText(platGetError()));
        return kIsicatFailed;
    }
    long packets = 0;
    for (;;) {
        int status = ISI_STATUS_FAILED;
        ISI_TS_PACKET* packet = isiReadGenericTS(client, &status);
        if (status == ISI_STATUS_DATA && packet != nullptr) {
            std::fputs(isicatPacketLine(*packet, args.samples).c_str(), out);
            std::fflush(out);
            if (args.count > 0 && ++packets >= args.count) break;
        } else if (status == ISI_STATUS_DONE) {
            break;
        } else if (status == ISI_STATUS_STOPPED) {
            break;
        } else {
            std::fprintf(err, "isicat: read failed: %s\n", platErrorText(platGetError()));
            platSleepMs(kFailurePauseMs);
        }
    }
    isiCloseClient(client);
    return kIsicatDone;
}
