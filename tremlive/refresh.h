// The refresh countdown of the main window's 1-second timer. The first tick after Run refreshes;
// after that the countdown runs from REFRESHTIME down through 0, so a refresh comes every
// REFRESHTIME + 1 ticks (REFRESHTIME 3: at 1, 5, 9 s after Run).
#pragma once

namespace tremlive {

class CRefreshCountdown {
  public:
    void Reset() { countdown_ = 0; }
    // One timer tick while acquisition runs; true when this tick refreshes.
    bool Tick(int refreshTime) {
        int old = countdown_;
        countdown_ = old - 1;
        if (old != 0) return false;
        countdown_ = refreshTime;
        return true;
    }

  private:
    int countdown_ = 0;
};

}  // namespace tremlive
