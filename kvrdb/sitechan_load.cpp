// kvrdb sitechan load: the channels and rates of an ISI server's configuration list.
#include "kvrdb/sitechan_load.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "isi/isi.h"
#include "platform/errors.h"

namespace {

// Codes come NUL-padded from the wire; a blank-padded code loses its padding here.
std::string code(const char* text, size_t size) {
    std::string s(text, strnlen(text, size));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

bool kvrdbSitechanLoadAvailable() {
    return true;
}

bool kvrdbReadServerChannels(const std::string& server, std::vector<KVR_SITECHAN_ROW>* rows,
                             std::string* error) {
    rows->clear();
    ISI_OPEN_PARAMS params;
    if (!isiInitOpenParams(&params)) {
        *error = "cannot set up the client";
        return false;
    }
    // A one-shot tool: a refused or unreachable server ends the attempt instead of being retried
    // for ever as the recorder's connection is.
    params.attr.maxerr = IACP_ERR_NONE;
    // The failure is said once, below, in words; the library's own lines only when they warn.
    LOGIO log;
    logioInit(&log, "stderr", nullptr, "kvrdb");
    logioSetThreshold(&log, LOG_WARNING);
    params.lp = &log;
    std::string host = server;
    size_t colon = server.rfind(':');
    if (colon != std::string::npos) {
        host = server.substr(0, colon);
        char* end = nullptr;
        long port = std::strtol(server.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || port < 1 || port > 65535 || host.empty()) {
            *error = "not HOST[:PORT]: " + server;
            return false;
        }
        params.port = static_cast<int>(port);
    }
    ISI_CNF_LIST* list = isiGetCnfList(host.c_str(), &params);
    if (list == nullptr) {
        *error = "cannot get the configuration list: " +
                 iacpFailureText(host.c_str(), params.port, platGetError(), params.attr.at_timeo);
        return false;
    }
    for (uint32_t i = 0; i < list->nentry; ++i) {
        const ISI_STREAM_CNF& cnf = list->entry[i];
        double interval = isiSrateToInterval(cnf.factor, cnf.multiplier);
        // A stream without a usable rate would give the recorder a channel it cannot time.
        if (!(interval > 0)) continue;
        KVR_SITECHAN_ROW row;
        row.sta = code(cnf.name.sta, sizeof cnf.name.sta);
        row.chan = code(cnf.name.chn, sizeof cnf.name.chn);
        row.lcode = code(cnf.name.loc, sizeof cnf.name.loc);
        row.sps = 1.0 / interval;
        rows->push_back(std::move(row));
    }
    isiFreeList(list);
    return true;
}
