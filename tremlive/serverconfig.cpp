#include "tremlive/serverconfig.h"

#include <cstring>

#include "iacp/iacp.h"
#include "isi/isi.h"
#include "platform/errors.h"
#include "util/util.h"

namespace tremlive {

namespace {

// Samples per second of a configuration entry: factor times multiplier for a rate (as the
// settings page shows it), the inverse of the interval for a factor that is a period.
double entryRate(int factor, int multiplier) {
    if (factor >= 0) return double(factor) * double(multiplier);
    double interval = isiSrateToInterval(factor, multiplier);
    return interval > 0.0 ? 1.0 / interval : 0.0;
}

std::string field(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

}  // namespace

bool LoadStationsFromServer(const std::string& server, int port, CStationList* list,
                            std::string* cause, const std::atomic<int>* cancel) {
    utilNetworkInit();
    ISI_OPEN_PARAMS params;
    isiInitOpenParams(&params);
    params.port = port;
    // A server that cannot be reached fails the query at once instead of being retried for ever.
    params.attr.maxerr = IACP_ERR_NONE;
    params.attr.cancel = cancel;
    LOGIO quiet;
    logioInit(&quiet, "stderr", nullptr, "tremlive");
    logioSetThreshold(&quiet, LOG_WARNING);
    params.lp = &quiet;
    ISI_CNF_LIST* cnf = isiGetCnfList(server.c_str(), &params);
    if (cnf == nullptr) {
        if (cause != nullptr)
            *cause = iacpFailureText(server.c_str(), port, platGetError(), params.attr.at_timeo);
        return false;
    }
    list->clear();
    for (uint32_t i = 0; i < cnf->nentry; ++i) {
        const ISI_STREAM_CNF& e = cnf->entry[i];
        CChannelConfig c;
        c.channel = field(e.name.chn, sizeof e.name.chn);
        c.location = field(e.name.loc, sizeof e.name.loc);
        c.samplesPerSecond = entryRate(e.factor, e.multiplier);
        c.selected = 0;
        list->merge(field(e.name.sta, sizeof e.name.sta), c);
    }
    isiFreeList(cnf);
    return true;
}

CConfigLoader::~CConfigLoader() {
    cancel_.store(1);
    if (thread_.joinable()) thread_.join();
}

bool CConfigLoader::Start(Load load, Done done) {
    if (busy_.exchange(true)) return false;
    if (thread_.joinable()) thread_.join();  // the last load, which has ended
    cancel_.store(0);
    thread_ = std::thread([this, load = std::move(load), done = std::move(done)] {
        CStationList list;
        std::string cause;
        const bool ok = load(&list, &cause);
        busy_.store(false);
        done(ok, std::move(list), std::move(cause));
    });
    return true;
}

}  // namespace tremlive
