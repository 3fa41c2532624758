// The server's stream configuration as a station list: the query behind "Load config from ISI
// server", run on a thread of its own so that the window keeps painting while a server answers
// (or does not).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tremlive/settings.h"

namespace tremlive {

// Loads the server's configuration list into list (emptied first) with every channel unselected,
// stations and channels in the server's order. False, with list untouched and the cause in words
// in *cause (when given), when the server cannot be asked. cancel, when given and set, ends the
// wait within a fraction of a second.
bool LoadStationsFromServer(const std::string& server, int port, CStationList* list,
                            std::string* cause = nullptr, const std::atomic<int>* cancel = nullptr);

// One load at a time on a thread of its own. The result goes to done on that thread: a window
// carries it to its own thread. Destroying the loader cancels a load under way and waits for it
// (a fraction of a second), so done never runs after the loader is gone.
class CConfigLoader {
  public:
    using Load = std::function<bool(CStationList* list, std::string* cause)>;
    using Done = std::function<void(bool ok, CStationList list, std::string cause)>;

    ~CConfigLoader();
    // Starts load (a call of LoadStationsFromServer, or a test's stand-in) unless one is under
    // way; false then.
    bool Start(Load load, Done done);
    bool Busy() const { return busy_.load(); }
    // The cancel flag to give LoadStationsFromServer.
    const std::atomic<int>* CancelFlag() const { return &cancel_; }

  private:
    std::thread thread_;
    std::atomic<bool> busy_{false};
    std::atomic<int> cancel_{0};
};

}  // namespace tremlive
