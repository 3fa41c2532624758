// What the recorder checks before it records, the same for the window and the headless front end:
// a data directory, something to record, and that no other recorder works in the same settings
// folder or on the same station's disk loop. Each refusal has its own exit status.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "commandline/exit_usage.h"

class CRilletSettings;
class PlatFolderLock;

// Exit statuses of a start-up failure (headless and window alike), after kExitUsage (2).
inline constexpr int kExitSockets = 3;
inline constexpr int kExitDatabase = 4;
inline constexpr int kExitSettings = 5;
inline constexpr int kExitLocked = 6;  // another recorder holds the folder or a station's loop
inline constexpr int kExitNoDataDirectory = 7;  // the store's data directory: not named, not there,
                                                // or not writable
inline constexpr int kExitNothingToRecord = 8;  // no rillet.ini, no GROUPS, no channel with a rate

// Name of the lock file, beside rillet.ini and in each station's folder under the data directory.
inline constexpr const char* kRecorderLockFile = "rillet.lock";

// The locks one recorder holds for its whole life; released when destroyed.
class CRecorderLocks {
  public:
    CRecorderLocks();
    ~CRecorderLocks();

    // After LoadSettings: 0 when the recorder may start, holding the lock of the settings folder
    // and of every station's folder (made when missing); otherwise the exit status, with a
    // message naming what is missing or who holds the lock. Nothing is locked on failure.
    int Check(const CRilletSettings& settings, std::string* message);
    // Lets every lock go (a later start-up step refused the start).
    void Release();

  private:
    bool Lock(const std::string& file, const std::string& what, std::string* message);

    std::vector<std::unique_ptr<PlatFolderLock>> locks_;
};
