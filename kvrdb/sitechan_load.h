// kvrdb sitechan load: the channels and rates of an ISI server's configuration list.
#pragma once

#include <string>
#include <vector>

#include "kvr/catalog.h"

// False when kvrdb was built without the ISI library.
bool kvrdbSitechanLoadAvailable();
// Asks server ("HOST" or "HOST:PORT", default port 39136) for its configuration list. The rows
// carry the codes as the server spells them; the caller normalises them.
bool kvrdbReadServerChannels(const std::string& server, std::vector<KVR_SITECHAN_ROW>* rows,
                             std::string* error);
