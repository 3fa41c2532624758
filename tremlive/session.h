// One Tremlive's state: the settings file and the values read from it, the configured station
// list, the auto-run switch, the acquisition run, and where messages go when they are not to be
// shown as boxes. main creates one and gives it to the windows, which reach it through the
// reference they are built with; a test makes its own, on a settings file of its own, so that
// nothing one test changes reaches the next.
#pragma once

#include <functional>
#include <string>

#include "tremlive/acquisition.h"
#include "tremlive/settings.h"

namespace tremlive {

enum class MessageKind { Information, Warning, Error };

class CTremliveSession {
  public:
    explicit CTremliveSession(std::string file = kSettingsFileName)
        : settingsFile(std::move(file)) {}
    CTremliveSession(const CTremliveSession&) = delete;
    CTremliveSession& operator=(const CTremliveSession&) = delete;

    // Reads the -CONFIG- section, or the station list, from the settings file.
    void LoadConfig() { LoadConfigSection(settingsFile, &settings); }
    void LoadStationList() { LoadStations(settingsFile, &stations); }

    std::string settingsFile;
    // User-interface thread only; the acquisition thread gets a copy of what it needs when it
    // starts.
    TremliveSettings settings;
    CStationList stations;
    bool autoRun = false;
    CAcquisitionRunner acquisition;
    // Takes every message the windows would show in a box (the snapshot prints them, tests
    // record them); none: the box.
    std::function<void(const std::string& caption, const std::string& text, MessageKind kind)>
        messageHook;
};

}  // namespace tremlive
