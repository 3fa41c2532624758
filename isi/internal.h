// Private to isi/: names of the steps used in messages and helpers shared by its files.
#pragma once

#include "isi/isi.h"

namespace isi_detail {

// Sleeps the reconnect pause in short steps, returning early once the client's stop flag is 1.
void pauseBeforeReconnect(ISI_CLIENT* client);

// Reads the acknowledgment of a request just sent on the client's connection.
bool receiveDataRequestAcknowledgment(ISI_CLIENT* client, int* status);

}  // namespace isi_detail
