// kvrdb built without the ISI library: sitechan load is not available.
#include "kvrdb/sitechan_load.h"

bool kvrdbSitechanLoadAvailable() {
    return false;
}

bool kvrdbReadServerChannels(const std::string&, std::vector<KVR_SITECHAN_ROW>*,
                             std::string* error) {
    if (error) *error = "not built with the ISI library";
    return false;
}
