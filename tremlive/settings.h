// Tremlive's settings: the values of the "-CONFIG-" section of ".\\TREMLIVE.INI", the configured
// station list of "-STATIONS-" and the station sections, and the auto-run switch. The values
// themselves live in the program's session (session.h); these functions read and write a file.
//
// File layout (Windows private-profile form, read and written key by key):
//   [-CONFIG-]    SERVER, PORT, DISPLAYEDTIME, BUFFEREDTIME, REFRESHTIME, DELAY  (integers "%d")
//   [-STATIONS-]  N, STATION0 .. STATION<N-1>  (an empty STATION%d is skipped)
//   [<station>]   N, and per channel k: CH<k>, CH<k>.SpS ("%.4f"), CH<k>.LCODE (empty reads as
//                 two blanks), CH<k>.Selected ("1"/"0", any nonzero reads as selected)
#pragma once

#include <string>
#include <vector>

namespace tremlive {

inline constexpr const char* kSettingsFileName = ".\\TREMLIVE.INI";
inline constexpr const char* kConfigSection = "-CONFIG-";
inline constexpr const char* kStationsSection = "-STATIONS-";
// The location code an empty LCODE stands for: the ISI name of "no location".
inline constexpr const char* kBlankLocation = "  ";

inline constexpr const char* kDefaultServer = "localhost";
inline constexpr int kDefaultPort = 39136;
inline constexpr int kDefaultDisplayedTime = 900;
inline constexpr int kDefaultBufferedTime = 7200;
inline constexpr int kDefaultRefreshTime = 1;
inline constexpr int kDefaultDelay = 0;

// The ranges the settings pages accept.
struct IntRange {
    int lo;
    int hi;
    bool contains(int v) const { return v >= lo && v <= hi; }
};
inline constexpr IntRange kPortRange{10000, 60000};
inline constexpr IntRange kDisplayedTimeRange{1, 86400};
inline constexpr IntRange kBufferedTimeRange{1, 86400};
inline constexpr IntRange kRefreshTimeRange{1, 60};
inline constexpr IntRange kDelayRange{0, 3600};

struct TremliveSettings {
    std::string server = kDefaultServer;
    int port = kDefaultPort;
    int displayedTime = kDefaultDisplayedTime;  // seconds
    int bufferedTime = kDefaultBufferedTime;    // seconds
    int refreshTime = kDefaultRefreshTime;      // seconds of the refresh countdown
    int delay = kDefaultDelay;                  // seconds the live edge stays behind the clock
};

struct CChannelConfig {
    std::string channel;
    std::string location;
    double samplesPerSecond = 0.0;  // 0 or less: unknown
    int selected = 0;
};

struct CStationConfig {
    std::string station;
    std::vector<CChannelConfig> channels;
};

class CStationList {
  public:
    std::vector<CStationConfig> stations;

    void clear() { stations.clear(); }
    // Appends as read from the file: no duplicate check.
    CStationConfig& appendStation(const std::string& station);
    // Finds the station without regard to case (or appends it) and adds the channel unless one
    // with the same channel and location code, both compared without regard to case, exists.
    void merge(const std::string& station, const CChannelConfig& channel);
    // Empties this list and refills it from other by merging.
    void copyFrom(const CStationList& other);
    CStationConfig* findStation(const std::string& station);
};

// Reads the six -CONFIG- keys of file into *settings. A value the settings pages would refuse (a
// DISPLAYEDTIME of 0, a negative BUFFEREDTIME, a port of 0) is replaced by its default, with a
// line on standard error: such a value would otherwise divide by zero or never refresh.
void LoadConfigSection(const std::string& file, TremliveSettings* settings);
void LoadStations(const std::string& file, CStationList* list);
void SaveStations(const std::string& file, const CStationList& list);
int CountSelected(const CStationList& list);
// Writes SERVER and PORT, or the four display times.
void SaveNetworkSettings(const std::string& file, const TremliveSettings& settings);
void SaveDisplaySettings(const std::string& file, const TremliveSettings& settings);

// True when an argument, upper-cased, starts with "/RUN" (so /run, /Run and /RUNNOW count).
bool ParseAutoRun(const std::vector<std::string>& args);

// "%.2f" for a known rate, "-" otherwise: the channel list's "Samp./sec." column.
std::string FormatSamplesPerSecond(double samplesPerSecond);

bool EqualNoCase(const std::string& a, const std::string& b);

}  // namespace tremlive

namespace tremlive {

// The settings pages' check of an integer field: the value, or the message the page shows
// ("Please enter an integer." or "Please enter an integer between 10000 and 60000.").
bool ValidateIntegerField(const std::string& text, IntRange range, int* value,
                          std::string* message);

}  // namespace tremlive
